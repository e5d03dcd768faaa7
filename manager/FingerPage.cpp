// SPDX-License-Identifier: Apache-2.0
#include "FingerPage.h"

#include "ActionBinding.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "finger/FingerHand.h"
#include "finger/FingerKeyAccess.h"
#include "finger/TFingerInputForm.h"
#include "finger/TFingerStudyForm.h"
#include "finger/TFingerTestForm.h"
#include "ui_FingerPage.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"
#include "keyservice/FingerJobs.h"

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
    connect(&m_session, &KeySession::keyBusyChanged, this, &FingerPage::showFingers);
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
    action("AcFingerStudy")->setText(Lang("F_Study"));
    m_ui->PCFinger->setTabText(0, Lang("F_User_Finger"));
    m_ui->PCFinger->setAccessibleName(Lang("F_User_Finger"));
    m_ui->LFingerInfo1->setText(Lang("F_Finger_Info1"));
    m_ui->FingerHandUser->applyTexts();
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
    const kx::FingerInfo& info = m_session.fingerInfo();
    FingerHand* hand = m_ui->FingerHandUser;
    hand->clearMarkers();
    for (int finger = 1; finger <= FingerHand::kFingers; ++finger) {
        if (Call_GMAPIs_Admin::FingerEnrolled(info, finger)) {
            hand->setMarker(finger, FingerPictures::kEnrolledMarker);
        }
    }
    // The test and delete-all actions are offered while there is something to test or delete,
    // and while the key is free.
    const bool free = !m_session.keyBusy(m_session.CurrentKeyIndex());
    action("AcFingerTest")->setEnabled(info.enrolledCount > 0 && free);
    action("AcFingerDel")->setEnabled(info.enrolledCount > 0 && free);
    action("AcFingerUnlock")->setEnabled(free);
}

bool FingerPage::selectedKeyLoggedIn()
{
    if (m_session.loggedIn(m_session.CurrentKeyIndex())) {
        return true;
    }
    InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
    return false;
}

std::shared_ptr<FingerKeyAccess> FingerPage::fingerKey(int keyIndex)
{
    return std::make_shared<ServiceFingerKey>(m_session.service(), m_session.service().keyId(keyIndex));
}

void FingerPage::AcFingerInputExecute(int finger)
{
    const int k = m_session.CurrentKeyIndex();
    // The fingers stay enabled while the key works, and a press meanwhile does nothing: a disabled
    // hand would take the keyboard focus off the finger just pressed, and the arrow keys would then
    // walk the key tree instead of the fingers.
    if (!m_session.keyIndexValid(k) || m_pending || m_session.keyBusy(k)) {
        return;
    }
    SelectedFinger = finger;
    const std::uint32_t userType = m_session.FingerUserType();
    // What the key holds now decides between enrolment and deletion.
    m_pending = m_session.service().run<FingerRead>(
        k, QStringLiteral("K_Wait_Info"), [userType](KeyCall& key) { return ReadFingers(key, userType); }, this,
        [this, finger, userType](FingerRead& read, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (keyIndex == m_session.CurrentKeyIndex()) {
                m_session.setFingerInfo(userType, read.info);
            }
            if (!selectedKeyLoggedIn() || keyIndex != m_session.CurrentKeyIndex()) {
                return;
            }
            if (Call_GMAPIs_Admin::FingerEnrolled(read.info, finger)) {
                deleteFinger(keyIndex, finger);
            } else {
                enrolFinger(keyIndex, finger);
            }
        });
}

void FingerPage::deleteFinger(int keyIndex, int finger)
{
    if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
        return;
    }
    const std::uint32_t userType = m_session.FingerUserType();
    const QByteArray key = m_session.service().keyId(keyIndex);
    m_pending = m_session.service().runOn<FingerDeletion>(
        key, QStringLiteral("K_Wait_Delete"),
        [userType, finger](KeyCall& call) { return DeleteFingers(call, userType, {finger}); }, this,
        [this, userType](FingerDeletion& deletion, int index) {
            m_pending = false;
            if (index == m_session.CurrentKeyIndex() && deletion.after.result == SAR_OK) {
                m_session.setFingerInfo(userType, deletion.after.info);
            }
            ReportFingerResult(this, deletion.result);
        });
}

void FingerPage::enrolFinger(int keyIndex, int finger)
{
    const TAPPInfo& app = m_session.appInfo();
    const QByteArray key = m_session.service().keyId(keyIndex);
    TFingerInputForm dialog(fingerKey(keyIndex), m_pictures, finger, m_session.FingerUserType(),
                            static_cast<std::uint32_t>(std::max(1, app.FingerRegTimes)), this);
    dialog.setWindowTitle(Lang("P_FingerInput"));
    m_pending = true;
    dialog.exec();
    m_pending = false;
    // The key may have left, or another been chosen, while the dialog was open.
    if (m_session.service().indexOf(key) != m_session.CurrentKeyIndex()) {
        return;
    }
    FingerPageRefresh(m_session.FingerUserType());
    if (dialog.ResultCode == SAR_OK && app.FingerStudy > 0) {
        studyAfterEnrolment(key);
    }
}

void FingerPage::studyAfterEnrolment(const QByteArray& key)
{
    // Learning needs what the key holds after the enrolment, not what the page showed before it.
    const std::uint32_t userType = m_session.FingerUserType();
    m_session.service().runOn<FingerRead>(
        key, QStringLiteral("K_Wait_Info"), [userType](KeyCall& call) { return ReadFingers(call, userType); }, this,
        [this, userType](FingerRead& read, int keyIndex) {
            if (keyIndex < 0 || keyIndex != m_session.CurrentKeyIndex()) {
                return;
            }
            m_session.setFingerInfo(userType, read.info);
            AcFingerStudyExecute();
        });
}

void FingerPage::AcFingerDelExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending || !selectedKeyLoggedIn()) {
        return;
    }
    if (m_session.fingerInfo().enrolledCount == 0) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
        return;
    }
    const std::uint32_t userType = m_session.FingerUserType();
    // The fingers to delete are read again on the key's lane, right before the deletion.
    m_pending = m_session.service().run<FingerDeletion>(
        k, QStringLiteral("K_Wait_Delete"),
        [userType](KeyCall& key) {
            const FingerRead before = ReadFingers(key, userType);
            return DeleteFingers(key, userType, Call_GMAPIs_Admin::EnrolledFingers(before.info));
        },
        this,
        [this, userType](FingerDeletion& deletion, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (index == m_session.CurrentKeyIndex()) {
                m_session.setFingerInfo(userType, deletion.after.info);
            }
            ReportFingerResult(this, deletion.result);
        });
}

void FingerPage::AcFingerUnlockExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending || !selectedKeyLoggedIn()) {
        return;
    }
    const std::uint32_t userType = m_session.FingerUserType();
    m_pending = m_session.service().run<std::uint32_t>(
        k, QStringLiteral("K_Wait_Unlock"), [userType](KeyCall& key) { return UnblockFingers(key, userType); }, this,
        [this](std::uint32_t& result, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
            } else if (result == SAR_OK) {
                InfoBox(this, Lang("Change_Yes"));
            } else if (result == SAR_PIN_LOCKED) {
                InfoBox(this, Lang("P_SAR_PIN_LOCKED"));
            } else {
                ReportFingerResult(this, result);
            }
        });
}

void FingerPage::AcFingerTestExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || !FingerActionAllowed(this, m_session.fingerInfo())) {
        return;
    }
    TFingerTestForm dialog(fingerKey(k), m_pictures, m_session.FingerUserType(), m_ui->FingerHandUser->markers(), this);
    dialog.setWindowTitle(Lang("F_User_Test"));
    dialog.exec();
}

void FingerPage::AcFingerStudyExecute()
{
    const int k = m_session.CurrentKeyIndex();
    const kx::FingerInfo& info = m_session.fingerInfo();
    if (!m_session.keyIndexValid(k) || !FingerActionAllowed(this, info)) {
        return;
    }
    // Without a finger chosen on the page, the first enrolled finger is trained.
    int finger = SelectedFinger;
    if (finger < 1 || finger > FingerHand::kFingers) {
        const QList<int> enrolled = Call_GMAPIs_Admin::EnrolledFingers(info);
        finger = enrolled.isEmpty() ? 1 : enrolled.first();
    }
    TFingerStudyForm dialog(fingerKey(k), m_pictures, m_session.FingerUserType(), finger, this);
    dialog.setWindowTitle(Lang("F_Study"));
    dialog.exec();
}

} // namespace kx
