// SPDX-License-Identifier: Apache-2.0
// The fingerprint features of the main window: finding the sensor when the key list is read, the
// fingerprint page with the ten fingers of the hands, enrolment, deletion, unblocking, test,
// learning, and the logon by finger.

#include "TMainForm.h"

#include "WaitCursor.h"
#include "finger/FingerHand.h"
#include "finger/TFingerInputForm.h"
#include "finger/TFingerStudyForm.h"
#include "finger/TFingerTestForm.h"
#include "finger/TFingerVerifyForm.h"
#include "ui_TMainForm.h"

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QPushButton>
#include <QToolButton>

namespace kx {

namespace {

// Capability values of the SKF library: above 1 a sensor, 5 a finger-vein sensor.
constexpr std::uint32_t kFingerVeinCapability = 5;

} // namespace

void TMainForm::createFingerActions()
{
    makeAction("AcFingerTest", &TMainForm::AcFingerTestExecute, m_ui->btnFingerTest);
    makeAction("AcFingerUnlock", &TMainForm::AcFingerUnlockExecute, m_ui->btnFingerUnlock);
    makeAction("AcFingerDel", &TMainForm::AcFingerDelExecute, m_ui->btnFingerDel);
    makeAction("AcFingerStudy", &TMainForm::AcFingerStudyExecute, m_ui->btnFingerStudy);
    // The learning button stays out of sight; learning follows an enrolment when configured.
    action("AcFingerStudy")->setVisible(false);
    connect(action("AcFingerlogon"), &QAction::triggered, this, &TMainForm::AcFingerlogonExecute);
    connect(m_ui->FingerHandUser, &FingerHand::fingerClicked, this, &TMainForm::AcFingerInputExecute);
    m_skf.fingerPageRefresh = [this](std::uint32_t userType) { FingerPageRefresh(userType); };
}

void TMainForm::loadFingerPictures(const QString& folder)
{
    m_fingerPictures.Load(pathBesideExecutable(folder));
    m_ui->FingerHandUser->setPictures(m_fingerPictures);
}

void TMainForm::DetectFingerSensor()
{
    if (m_skf.FullRefresh() != 0) {
        return;
    }
    const std::uint32_t capability = m_skf.CapabilityQuery();
    if (capability > 1) {
        FingerSupported = true;
        action("AcFingerlogon")->setVisible(true);
        loadFingerPictures(QStringLiteral("res/Finger/"));
        SwitchFingerTexts(1);
        ApplyTexts();
        if (windowTitle().startsWith(QStringLiteral("W2F"))) {
            action("AcFingerlogon")->setVisible(false);
        }
    }
    if (capability == kFingerVeinCapability) {
        FingerVein = true;
        loadFingerPictures(QStringLiteral("res/FingerVein/"));
        SwitchFingerTexts(2);
        ApplyTexts();
    }
}

void TMainForm::FingerPageRefresh(std::uint32_t userType)
{
    if (keyIndexValid(CurrentKeyIndex)) {
        m_skf.SelectApplication(keyInfo(CurrentKeyIndex).serialText().toLatin1());
    }
    m_skf.ReadFingerInfo(m_skf.SkfAppHandle, userType, m_skf.FingerInfo);
    if (userType == SkfUserType) {
        UserFingerCount = m_skf.FingerInfo.enrolledCount;
    }
    FingerHand* hand = m_ui->FingerHandUser;
    hand->clearMarkers();
    for (int finger = 1; finger <= FingerHand::kFingers; ++finger) {
        if (Call_GMAPIs_Admin::FingerEnrolled(m_skf.FingerInfo, finger)) {
            hand->setMarker(finger, FingerPictures::kEnrolledMarker);
        }
    }
    // The test and delete-all actions are offered while there is something to test or delete.
    const bool enrolled = m_skf.FingerInfo.enrolledCount > 0;
    action("AcFingerTest")->setEnabled(enrolled);
    action("AcFingerDel")->setEnabled(enrolled);
    AcFingerlogonUpdate();
}

bool TMainForm::selectedKeyLoggedIn() const
{
    return keyIndexValid(CurrentKeyIndex) && LoginState[static_cast<std::size_t>(CurrentKeyIndex)] == 2;
}

void TMainForm::reportFingerResult(std::uint32_t result)
{
    if (result == SAR_USER_NOT_LOGGED_IN) {
        InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
    } else if (result != SAR_OK) {
        InfoBox(this, FormatHex(Lang("P_FormatError"), result));
    }
}

void TMainForm::AcFingerInputExecute(int finger)
{
    SelectedFinger = finger;
    m_skf.ReadFingerInfo(m_skf.SkfAppHandle, m_skf.FingerUserType, m_skf.FingerInfo);
    const bool enrolled = Call_GMAPIs_Admin::FingerEnrolled(m_skf.FingerInfo, finger);
    if (!selectedKeyLoggedIn()) {
        InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
        return;
    }
    if (enrolled) {
        if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
            return;
        }
        std::uint32_t result = SAR_OK;
        {
            const WaitCursor wait;
            result = m_skf.DeleteFinger(m_skf.SkfAppHandle, m_skf.FingerUserType, static_cast<std::uint32_t>(finger));
        }
        if (result == SAR_OK) {
            FingerPageRefresh(m_skf.FingerUserType);
        }
        reportFingerResult(result);
        return;
    }
    TFingerInputForm dialog(m_skf, m_fingerPictures, finger, m_skf.SkfAppHandle, m_skf.FingerUserType,
                            static_cast<std::uint32_t>(std::max(1, m_appInfo.FingerRegTimes)), this);
    dialog.setWindowTitle(Lang("P_FingerInput"));
    dialog.exec();
    FingerPageRefresh(m_skf.FingerUserType);
    if (dialog.ResultCode == SAR_OK && m_appInfo.FingerStudy > 0) {
        AcFingerStudyExecute();
    }
}

void TMainForm::AcFingerDelExecute()
{
    if (!selectedKeyLoggedIn()) {
        InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
        return;
    }
    if (m_skf.FingerInfo.enrolledCount == 0) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    if (!QuestionBox(this, Lang("P_FingerDeleteInfo"))) {
        return;
    }
    m_skf.ReadFingerInfo(m_skf.SkfAppHandle, m_skf.FingerUserType, m_skf.FingerInfo);
    std::uint32_t result = SAR_OK;
    for (const int finger : Call_GMAPIs_Admin::EnrolledFingers(m_skf.FingerInfo)) {
        const WaitCursor wait;
        result = m_skf.DeleteFinger(m_skf.SkfAppHandle, m_skf.FingerUserType, static_cast<std::uint32_t>(finger));
        if (result != SAR_OK) {
            break;
        }
    }
    // Fingers deleted before a failure are gone too; the page shows what the key holds now.
    FingerPageRefresh(m_skf.FingerUserType);
    reportFingerResult(result);
}

void TMainForm::AcFingerUnlockExecute()
{
    if (!selectedKeyLoggedIn()) {
        InfoBox(this, Lang("P_SAR_USER_NOT_LOGGED_IN"));
        return;
    }
    const std::uint32_t result = GMAPIs::SKF_UnblockFinger(m_skf.SkfAppHandle, m_skf.FingerUserType);
    if (result == SAR_OK) {
        InfoBox(this, Lang("Change_Yes"));
    } else if (result == SAR_PIN_LOCKED) {
        InfoBox(this, Lang("P_SAR_PIN_LOCKED"));
    } else {
        reportFingerResult(result);
    }
}

bool TMainForm::fingerActionAllowed()
{
    if (m_skf.FingerInfo.retryLeft == 0) {
        InfoBox(this, Lang("P_SAR_PIN_LOCKED"));
        return false;
    }
    if (m_skf.FingerInfo.enrolledCount == 0) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return false;
    }
    return true;
}

void TMainForm::AcFingerTestExecute()
{
    if (!fingerActionAllowed()) {
        return;
    }
    TFingerTestForm dialog(m_skf, m_fingerPictures, m_skf.SkfAppHandle, m_skf.FingerUserType,
                           m_ui->FingerHandUser->markers(), this);
    dialog.setWindowTitle(Lang("F_User_Test"));
    dialog.exec();
}

void TMainForm::AcFingerStudyExecute()
{
    if (!fingerActionAllowed()) {
        return;
    }
    // Without a finger chosen on the page, the first enrolled finger is trained.
    int finger = SelectedFinger;
    if (finger < 1 || finger > FingerHand::kFingers) {
        const QList<int> enrolled = Call_GMAPIs_Admin::EnrolledFingers(m_skf.FingerInfo);
        finger = enrolled.isEmpty() ? 1 : enrolled.first();
    }
    TFingerStudyForm dialog(m_skf, m_fingerPictures, m_skf.SkfAppHandle, m_skf.FingerUserType, finger, this);
    dialog.setWindowTitle(QStringLiteral("指纹学习"));
    dialog.exec();
}

void TMainForm::AcFingerlogonExecute()
{
    const int k = CurrentKeyIndex;
    if (!keyIndexValid(k)) {
        return;
    }
    // A key without a sensor would take the empty PIN of the finger logon as a wrong PIN.
    if (!m_skf.KeyHasSensor(keyInfo(k).serialText().toLatin1())) {
        InfoBox(this, Lang("P_SAR_FINGER_NOT_EXIST"));
        return;
    }
    FingerPageRefresh(SkfUserType);
    if (!fingerActionAllowed()) {
        return;
    }
    TFingerVerifyForm dialog(m_skf, m_fingerPictures, k, m_skf.SkfAppHandle, m_skf.FingerUserType, this);
    dialog.setWindowTitle(Lang("P_FingerVerify"));
    dialog.exec();
    if (dialog.ResultCode != SAR_OK) {
        return;
    }
    FingerPageRefresh(SkfUserType);
    LoginState[static_cast<std::size_t>(k)] = 2;
    showPage(PageCertificates);
    {
        const WaitCursor wait;
        token_reload_all_objects(k);
    }
    LoadCertTree(k);
    UpdateCertActions();
    updateActions();
}

void TMainForm::AcFingerlogonUpdate()
{
    action("AcFingerlogon")->setEnabled(UserFingerCount > 0);
}

} // namespace kx
