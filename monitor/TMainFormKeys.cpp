// SPDX-License-Identifier: Apache-2.0
// The monitor's insertion and removal handling: enumeration, the arrival search, the removal
// check and clean-up, and the re-registration asked for by "RegCert".
#include "TMainForm.h"

#include "SystemCleanup.h"
#include "TProjectConfigForm.h"
#include "TUPinSetForm.h"

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/OpenURL.h"
#include "common/ProcessLauncher.h"
#include "common/TextFormat.h"
#include "common/widgets/MessageBox.h"
#include "token/CertRegistration.h"
#include "token/TUSB.h"
#include "token/TokenWrappers.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace kx::mon {

namespace {

void sendToManager(const char* text)
{
    SendCommand(QString::fromLatin1(text), QString::fromLatin1(kManagerWindowClass));
}

} // namespace

// FindAndConnectKeys, with the count held to the key table's size.
int TMainForm::connectKeys()
{
    int count = 0;
    const int result = FindAndConnectKeys(count);
    KeyCount = std::clamp(count, 0, kKeyTableSize);
    return result;
}

int TMainForm::EnumerateKeys()
{
    const int result = connectKeys();
    if (result != 0) {
        return result;
    }
    showTray(KeyCount > 0);
    for (int i = 0; i < KeyCount; ++i) {
        const int info = token_get_info_ex(i, (*m_keyTable)[static_cast<std::size_t>(i)]);
        if (info != 0) {
            KeyCount = 0;
            return info;
        }
    }
    CurrentKeyIndex = 0;
    return 0;
}

void TMainForm::registerAllKeys(bool reload, bool report)
{
    for (int i = 0; i < KeyCount; ++i) {
        if (reload) {
            token_reload_all_objects(i);
        }
        const int result = RegisterKeyCertificates(i, (*m_keyTable)[static_cast<std::size_t>(i)], m_appInfo.CSPName,
                                                   m_appInfo.RegCertMode);
        if (result != 0 && report) {
            NoticeBox(this, RegistrationFailureText(result), {.topmost = true});
        }
    }
}

void TMainForm::USBArrival(TUSB* component)
{
    if (!LibraryReady || !component || !PIDList.contains(component->ProductID)) {
        return;
    }
    if (ExpectedKeyCount < 0) {
        ExpectedKeyCount = 0;
    }
    ++ExpectedKeyCount;
    ArrivalCountdown = kArrivalTicks;
    ArrivalPending = true;
    // The device needs a moment before the token library can open it; the window thread waits.
    QThread::msleep(100);
    timer("TFindUSBKey")->start();
}

void TMainForm::TFindUSBKeyTimer()
{
    QTimer* search = timer("TFindUSBKey");
    if (--ArrivalCountdown <= 0) {
        search->stop();
        return;
    }
    if (EnumerateKeys() != 0 || KeyCount < ExpectedKeyCount) {
        return;
    }
    search->stop();
    balloon(Lang("K_Key_Arrival"), BalloonNotifier::Icon::Information);
    timer("TCheckInit")->start();
    if (m_userConfig.URLOpenMode == 1) {
        OpenURL(this, m_userConfig.URL, m_userConfig.BrowserMode != 0);
    }
    registerAllKeys(true, true);
    startPlugin();
    if (m_userConfig.CertTips == 1) {
        for (int i = 0; i < KeyCount; ++i) {
            CheckCertExpiry(i);
        }
    }
    if (KeyCount == 1) {
        timer("TCheckDefaultUPIN")->start();
    }
}

// The plug-in is started hidden, twice: once for its http port and once for its https port.
// Each parameter text is passed as the program's two arguments.
void TMainForm::startPlugin()
{
    if (m_appInfo.Plugin.isEmpty()) {
        return;
    }
    const QString program = pathBesideExecutable(m_appInfo.Plugin);
    if (!QFileInfo(program).isFile()) {
        return;
    }
    const QString folder = AppContext::current().executableFolder();
    ProcessLauncher::current().startDetached(program, {QStringLiteral("http"), QStringLiteral("51235")}, folder);
    ProcessLauncher::current().startDetached(program, {QStringLiteral("https"), QStringLiteral("51245")}, folder);
}

void TMainForm::TCheckInitTimer()
{
    timer("TCheckInit")->stop();
    for (int i = 0; i < KeyCount; ++i) {
        if (keyInfo(i).initialised == 0) {
            balloon(Lang("Init_Info"), BalloonNotifier::Icon::Application);
            return;
        }
    }
}

void TMainForm::USBRemoval(TUSB* component)
{
    if (!LibraryReady || !component || !PIDList.contains(component->ProductID)) {
        return;
    }
    sendToManager("CLOSE");
    --ExpectedKeyCount;
    ArrivalPending = false;
    timer("TCCIDRemove")->start();
}

void TMainForm::TCCIDRemoveTimer()
{
    timer("TCCIDRemove")->stop();
    if (ArrivalPending || KeyCount == 0) {
        return;
    }
    bool allAnswer = true;
    for (int i = 0; i < KeyCount; ++i) {
        if (token_get_info_ex(i, (*m_keyTable)[static_cast<std::size_t>(i)]) != 0) {
            allAnswer = false;
            break;
        }
    }
    if (allAnswer) {
        return;
    }
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    connectKeys();
    for (int i = 0; i < KeyCount; ++i) {
        TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(i)];
        if (token_get_info_ex(i, info) == 0) {
            RegisterKeyCertificates(i, info, m_appInfo.CSPName, m_appInfo.RegCertMode);
        }
    }
    CloseDialogs();
    balloon(Lang("K_Key_Remove"), BalloonNotifier::Icon::Information);
    timer("TUSBRemove")->start();
}

void TMainForm::CloseDialogs()
{
    if (m_configDialog) {
        m_configDialog->reject();
    }
    if (m_pinDialog) {
        m_pinDialog->done(2);
    }
    if (KeyCount <= 0) {
        answerPromptBoxNo();
    }
}

void TMainForm::TUSBRemoveTimer()
{
    timer("TUSBRemove")->stop();
    showTray(KeyCount > 0);
    if (KeyCount > 0) {
        return;
    }
    sendToManager("CLOSE");
    if (!m_appInfo.CloseAPP.isEmpty()) {
        // First forced, then asked: whatever survived the first is asked to end.
        EndUserProcesses(m_appInfo.CloseAPP, true);
        EndUserProcesses(m_appInfo.CloseAPP, false);
    }
    EmptyTlsSessionCache();
    IncrementUrlCacheHeader();
}

void TMainForm::TRegCertXETimer()
{
    timer("TRegCertXE")->stop();
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    registerAllKeys(true, false);
    sendToManager("LoadCert");
}

} // namespace kx::mon
