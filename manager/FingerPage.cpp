// SPDX-License-Identifier: Apache-2.0
#include "FingerPage.h"

#include "ActionBinding.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "WaitCursor.h"
#include "finger/FingerHand.h"
#include "finger/TFingerInputForm.h"
#include "finger/TFingerStudyForm.h"
#include "finger/TFingerTestForm.h"
#include "ui_FingerPage.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"

#include <algorithm>

namespace kx {

FingerPage::FingerPage(KeySession& session, const FingerPictures& pictures, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::FingerPage>()), m_session(session), m_pictures(pictures)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcFingerTest", &FingerPage::AcFingerTestExecute, m_ui->btnFingerTest);
    MakeAction(this, "AcFingerUnlock", &FingerPage::AcFingerUnlockExecute, m_ui->btnFingerUnlock);
    MakeAction(this, "AcFingerDel", &FingerPage::AcFingerDelExecute, m_ui->btnFingerDel);
    // The learning button stays out of sight; learning follows an enrolment when configured.
    MakeAction(this, "AcFingerStudy", &FingerPage::AcFingerStudyExecute, m_ui->btnFingerStudy)->setVisible(false);
    connect(m_ui->FingerHandUser, &FingerHand::fingerClicked, this, &FingerPage::AcFingerInputExecute);
    connect(&m_session, &KeySession::fingerInfoRead, this, &FingerPage::showFingers);
    showPictures();
    ApplyTexts();
}

FingerPage::~FingerPage() = default;

QAction* FingerPage::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

void FingerPage::ApplyTexts()
{
    action("AcFingerTest")->setText(Lang("F_Finger_Test"));
    action("AcFingerUnlock")->setText(Lang("F_User_Unlock"));
    action("AcFingerDel")->setText(Lang("F_Finger_Del"));
    action("AcFingerStudy")->setText(QStringLiteral("指纹学习"));
    m_ui->PCFinger->setTabText(0, Lang("F_User_Finger"));
    m_ui->LFingerInfo1->setText(Lang("F_Finger_Info1"));
}

void FingerPage::showPictures()
{
    m_ui->FingerHandUser->setPictures(m_pictures);
}

void FingerPage::FingerPageRefresh(std::uint32_t userType)
{
    m_session.readFingerInfo(userType);
}

void FingerPage::showFingers()
{
    const kx::FingerInfo& info = m_session.skf().FingerInfo;
    FingerHand* hand = m_ui->FingerHandUser;
    hand->clearMarkers();
    for (int finger = 1; finger <= FingerHand::kFingers; ++finger) {
        if (Call_GMAPIs_Admin::FingerEnrolled(info, finger)) {
            hand->setMarker(finger, FingerPictures::kEnrolledMarker);
        }
    }
    // The test and delete-all actions are offered while there is something to test or delete.
    action("AcFingerTest")->setEnabled(info.enrolledCount > 0);
    action("AcFingerDel")->setEnabled(info.enrolledCount > 0);
}

bool FingerPage::selectedKeyLoggedIn()
{
    if (m_session.loggedIn(m_session.CurrentKeyIndex())) {
        return true;
    }
    InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
    return false;
}

void FingerPage::AcFingerInputExecute(int finger)
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    SelectedFinger = finger;
    skf.ReadFingerInfo(skf.SkfAppHandle, skf.FingerUserType, skf.FingerInfo);
    const bool enrolled = Call_GMAPIs_Admin::FingerEnrolled(skf.FingerInfo, finger);
    if (!selectedKeyLoggedIn()) {
        return;
    }
    if (enrolled) {
        if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
            return;
        }
        std::uint32_t result = SAR_OK;
        {
            const WaitCursor wait;
            result = skf.DeleteFinger(skf.SkfAppHandle, skf.FingerUserType, static_cast<std::uint32_t>(finger));
        }
        if (result == SAR_OK) {
            FingerPageRefresh(skf.FingerUserType);
        }
        ReportFingerResult(this, result);
        return;
    }
    const TAPPInfo& app = m_session.appInfo();
    TFingerInputForm dialog(skf, m_pictures, finger, skf.SkfAppHandle, skf.FingerUserType,
                            static_cast<std::uint32_t>(std::max(1, app.FingerRegTimes)), this);
    dialog.setWindowTitle(Lang("P_FingerInput"));
    dialog.exec();
    FingerPageRefresh(skf.FingerUserType);
    if (dialog.ResultCode == SAR_OK && app.FingerStudy > 0) {
        AcFingerStudyExecute();
    }
}

void FingerPage::AcFingerDelExecute()
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    if (!selectedKeyLoggedIn()) {
        return;
    }
    if (skf.FingerInfo.enrolledCount == 0) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
        return;
    }
    skf.ReadFingerInfo(skf.SkfAppHandle, skf.FingerUserType, skf.FingerInfo);
    std::uint32_t result = SAR_OK;
    for (const int finger : Call_GMAPIs_Admin::EnrolledFingers(skf.FingerInfo)) {
        const WaitCursor wait;
        result = skf.DeleteFinger(skf.SkfAppHandle, skf.FingerUserType, static_cast<std::uint32_t>(finger));
        if (result != SAR_OK) {
            break;
        }
    }
    // Fingers deleted before a failure are gone too; the page shows what the key holds now.
    FingerPageRefresh(skf.FingerUserType);
    ReportFingerResult(this, result);
}

void FingerPage::AcFingerUnlockExecute()
{
    if (!selectedKeyLoggedIn()) {
        return;
    }
    Call_GMAPIs_Admin& skf = m_session.skf();
    const std::uint32_t result = GMAPIs::SKF_UnblockFinger(skf.SkfAppHandle, skf.FingerUserType);
    if (result == SAR_OK) {
        InfoBox(this, Lang("Change_Yes"));
    } else if (result == SAR_PIN_LOCKED) {
        InfoBox(this, Lang("P_SAR_PIN_LOCKED"));
    } else {
        ReportFingerResult(this, result);
    }
}

void FingerPage::AcFingerTestExecute()
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    if (!FingerActionAllowed(this, skf.FingerInfo)) {
        return;
    }
    TFingerTestForm dialog(skf, m_pictures, skf.SkfAppHandle, skf.FingerUserType, m_ui->FingerHandUser->markers(),
                           this);
    dialog.setWindowTitle(Lang("F_User_Test"));
    dialog.exec();
}

void FingerPage::AcFingerStudyExecute()
{
    Call_GMAPIs_Admin& skf = m_session.skf();
    if (!FingerActionAllowed(this, skf.FingerInfo)) {
        return;
    }
    // Without a finger chosen on the page, the first enrolled finger is trained.
    int finger = SelectedFinger;
    if (finger < 1 || finger > FingerHand::kFingers) {
        const QList<int> enrolled = Call_GMAPIs_Admin::EnrolledFingers(skf.FingerInfo);
        finger = enrolled.isEmpty() ? 1 : enrolled.first();
    }
    TFingerStudyForm dialog(skf, m_pictures, skf.SkfAppHandle, skf.FingerUserType, finger, this);
    dialog.setWindowTitle(QStringLiteral("指纹学习"));
    dialog.exec();
}

} // namespace kx
