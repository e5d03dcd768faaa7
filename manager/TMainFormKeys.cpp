// SPDX-License-Identifier: Apache-2.0
// The key table of the main window: refreshing the key list, the key information page, login and
// logout, the not-initialised warning and the hot-plug search.

#include "TMainForm.h"

#include "TreeIcons.h"
#include "WaitCursor.h"
#include "ui_TMainForm.h"

#include "common/Delay.h"
#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/widgets/ListAddRow.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "token/LoginFailure.h"
#include "token/TUSB.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QApplication>
#include <QThread>
#include <QTimer>

namespace kx {

namespace {

QString versionText(int version)
{
    return QString::asprintf("%d.%.2d", version / 256, version % 256);
}

} // namespace

void TMainForm::showKeyInfoError()
{
    QTreeWidgetItem* root = m_ui->tv->topLevelItem(0);
    new QTreeWidgetItem(root, {Lang("K_GetKeyInfo_Error")});
    root->setExpanded(true);
    m_ui->tv->setCurrentItem(root);
    showPage(PageKeyInfo);
}

int TMainForm::RefreshKeyList()
{
    // 1. Forget the old keys.
    LoginState.fill(0);
    ClearSecretField(m_ui->edtUPIN);
    for (int i = 0; i < kKeyTableSize - 1; ++i) {
        (*m_keyTable)[static_cast<std::size_t>(i)] = TR7Info{};
    }
    m_ui->lv->clear();
    UpdateCertActions();
    QTreeWidgetItem* root = m_ui->tv->topLevelItem(0);
    {
        const QSignalBlocker blocker(m_ui->tv);
        qDeleteAll(root->takeChildren());
    }
    // 2. Enumerate.
    int count = 0;
    const int found = FindAndConnectKeys(count);
    KeyCount = 0;
    if (found != 0) {
        showKeyInfoError();
        return found;
    }
    KeyCount = std::clamp(count, 0, kKeyTableSize - 1);
    // 3. Every key's information.
    for (int i = 0; i < KeyCount; ++i) {
        const int result = token_get_info_ex(i, (*m_keyTable)[static_cast<std::size_t>(i)]);
        if (result != 0) {
            KeyCount = i;
            showKeyInfoError();
            return result;
        }
    }
    // 4. Fingerprint detection: the keys get fingerprint features only when the SKF library
    // reports a sensor; the library needs a moment after the enumeration.
    FingerSupported = false;
    FingerVein = false;
    action("AcFingerlogon")->setVisible(false);
    Delay(500);
    DetectFingerSensor();
    // 5. The key nodes.
    {
        const QSignalBlocker blocker(m_ui->tv);
        for (int i = 0; i < KeyCount; ++i) {
            addKeyNodes(i);
        }
        root->setExpanded(true);
        if (QTreeWidgetItem* first = root->child(0)) {
            first->setExpanded(true);
        }
        // 6. The key list root selected, every key present and logged out.
        m_ui->tv->setCurrentItem(root);
    }
    CurrentKeyIndex = 0;
    for (int i = 0; i < KeyCount; ++i) {
        LoginState[static_cast<std::size_t>(i)] = 1;
    }
    ShowKeyInfo(0);
    showPage(PageKeyInfo);
    updateActions();
    return 0;
}

void TMainForm::addKeyNodes(int keyIndex)
{
    QTreeWidgetItem* root = m_ui->tv->topLevelItem(0);
    auto* key = new QTreeWidgetItem(root, {keyInfo(keyIndex).labelText().trimmed()});
    auto child = [key](LangKey text, int image) {
        auto* node = new QTreeWidgetItem(key, {Language().text(text)});
        node->setIcon(0, TreeIcon(image));
    };
    child("Main_Form_btn_SetUPIN", 4);
    child("Main_Form_btn_SetKeyName", 11);
    child("Main_Form_Groupbox", 3);
    if (FingerSupported) {
        child("F_User_Finger", FingerVein ? 23 : 18);
    }
    child("P_Remoteunlock", 22);
}

void TMainForm::ShowKeyInfo(int keyIndex)
{
    if (keyIndex < 0 || keyIndex >= kKeyTableSize) {
        return;
    }
    TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(keyIndex)];
    if (token_get_info_ex(keyIndex, info) != 0) {
        return;
    }
    token_get_pin_state(CurrentKeyIndex, 1, m_pinState);
    QTreeWidget* lv = m_ui->lv;
    lv->clear();
    ListAddRow(lv, Lang("K_Info_labelName"), info.labelText());
    ListAddRow(lv, Lang("K_Info_manufacture"), info.manufacturerText());
    ListAddRow(lv, Lang("K_Info_Sn"), info.serialText());
    ListAddRow(lv, Lang("K_Info_maxPinLen"), QString::number(info.maxPinLen));
    ListAddRow(lv, Lang("K_Info_minPinLen"), QString::number(info.minPinLen));
    ListAddRow(lv, Lang("Admin_label_TryCount"), QString::number(m_pinState.maxRetries()));
    ListAddRow(lv, Lang("S_KeyTryTime"), QString::number(m_pinState.retriesLeft()));
    ListAddRow(lv, Lang("S_Key_Dead_State"),
               m_pinState.values[4] != 0 ? Lang("S_Key_Dead_Yes") : Lang("S_Key_Dead_No"));
    ListAddRow(lv, Lang("K_Info_totalMemory"), FormatSize(info.totalMemory));
    ListAddRow(lv, Lang("K_Info_freeMemory"), FormatSize(info.freeMemory));
    ListAddRow(lv, Lang("K_Info_hardwareVer"), versionText(info.hardwareVersion));
    ListAddRow(lv, Lang("K_Info_firmVer"), versionText(info.firmwareVersion));
    // A key with a sensor also shows its user fingerprint state, read from the key's own SKF
    // application.
    if (FingerSupported) {
        m_skf.SelectApplication(info.serialText().toLatin1());
        FingerInfo finger;
        if (m_skf.ReadFingerInfo(m_skf.SkfAppHandle, SkfUserType, finger) != SAR_OK) {
            ListAddRow(lv, Lang("F_Finger_State"), Lang("P_SAR_APPLICATION_NOT_EXISTS"));
        } else {
            ListAddRow(lv, Lang("F_User_Try"), QString::number(finger.retryLeft));
            ListAddRow(lv, Lang("F_User_Count"), QString::number(finger.enrolledCount));
        }
    }
    lv->resizeColumnToContents(0);
}

void TMainForm::TCheckInitTimer()
{
    timer("TCheckInit")->stop();
    for (int i = 0; i < KeyCount; ++i) {
        if (keyInfo(i).initialised == 0) {
            InfoBox(this, Lang("Init_Info"));
            return;
        }
    }
}

void TMainForm::reportLoginFailure(int result, int retriesLeft, bool oldPin)
{
    switch (ClassifyLoginFailure(result, retriesLeft)) {
    case LoginFailure::Locked:
        InfoBox(this, Lang("K_Dead"));
        break;
    case LoginFailure::WrongPin:
        if (retriesLeft < 0) {
            // The module cannot count the tries left: say the PIN is wrong, not "-1 tries".
            InfoBox(this, Lang("K_PIN_Error"));
        } else if (oldPin) {
            InfoBox(this, FormatInt(Lang("K_OldCheck"), retriesLeft));
        } else {
            InfoBox(this, Lang("K_PIN_Error") + QStringLiteral("\r") + FormatInt(Lang("K_Try_Time"), retriesLeft));
        }
        break;
    case LoginFailure::KeyGone:
        InfoBox(this, Lang("K_Find_Error"));
        break;
    case LoginFailure::OtherError:
        InfoBox(this, (oldPin ? Lang("K_Set_No") : Lang("Change_No")) + Lang("K_ErrorCODE_Str") +
                          QStringLiteral(" = 0x") + HexCode(static_cast<std::uint32_t>(result)));
        break;
    }
}

bool TMainForm::refuseUnusableKey(int keyIndex)
{
    if (keyInfo(keyIndex).initialised == 0) {
        InfoBox(this, Lang("Init_Info"));
        return false;
    }
    token_get_pin_state(keyIndex, 1, m_pinState);
    if (m_pinState.values[4] == 1) {
        InfoBox(this, Lang("K_Dead"));
        return false;
    }
    return true;
}

void TMainForm::AcLoginExecute()
{
    const int k = CurrentKeyIndex;
    if (!keyIndexValid(k)) {
        return;
    }
    if (m_ui->edtUPIN->text().isEmpty()) {
        // An empty PIN is never sent to a key: it would cost a try. A key with a sensor logs in
        // by finger instead, exactly as its logon button does.
        if (FingerSupported && action("AcFingerlogon")->isVisible() &&
            m_skf.KeyHasSensor(keyInfo(k).serialText().toLatin1())) {
            AcFingerlogonExecute();
        }
        return;
    }
    // The field is emptied by every attempt, so a PIN typed for one key never reaches another.
    const SecretString pin(m_ui->edtUPIN->text());
    ClearSecretField(m_ui->edtUPIN);
    if (!refuseUnusableKey(k)) {
        return;
    }
    token_logout(k);
    LoginState[static_cast<std::size_t>(k)] = 1;
    int retriesLeft = -1;
    const int result = token_login(k, pin.text(), retriesLeft);
    if (result == 0) {
        const WaitCursor wait;
        // Fingerprint changes go through the SKF application, which has a login of its own.
        if (FingerSupported) {
            m_skf.SelectApplication(keyInfo(k).serialText().toLatin1());
            std::uint32_t skfRetries = 0;
            m_skf.VerifyPIN(m_skf.SkfAppHandle, m_skf.FingerUserType, pin.text(), skfRetries);
        }
        token_reload_all_objects(k);
        LoginState[static_cast<std::size_t>(k)] = 2;
        showPage(PageCertificates);
        LoadCertTree(k);
        UpdateCertActions();
    } else {
        reportLoginFailure(result, retriesLeft, false);
    }
    updateActions();
}

void TMainForm::AcLoginUpdate()
{
    const int minimum = keyIndexValid(CurrentKeyIndex) ? keyInfo(CurrentKeyIndex).minPinLen : 0;
    action("AcLogin")->setEnabled(m_ui->edtUPIN->text().size() >= minimum);
}

void TMainForm::AclogoutExecute()
{
    if (m_importRunning) {
        return;
    }
    token_logout(CurrentKeyIndex);
    if (FingerSupported) {
        m_skf.ClearSecureState(m_skf.SkfAppHandle);
    }
    if (CurrentKeyIndex >= 0 && CurrentKeyIndex < kKeyTableSize) {
        LoginState[static_cast<std::size_t>(CurrentKeyIndex)] = 1;
    }
    showPage(PageLogin);
}

void TMainForm::AcCancelExecute()
{
    ClearSecretField(m_ui->edtUPIN);
}

void TMainForm::AcFindKeyRefreshExecute()
{
    if (m_importRunning) {
        return;
    }
    if (RefreshKeyList() == 0) {
        timer("TCheckInit")->start();
    }
}

void TMainForm::USBArrival(TUSB* component)
{
    if (!LibraryReady || !PIDList.contains(component->ProductID)) {
        return;
    }
    if (ExpectedKeyCount < 0) {
        ExpectedKeyCount = 0;
    }
    ++ExpectedKeyCount;
    SearchCountdown = 5;
    QThread::msleep(100);
    timer("TFindUSBKey")->start();
}

void TMainForm::USBRemoval(TUSB* component)
{
    if (!LibraryReady || !PIDList.contains(component->ProductID)) {
        return;
    }
    --ExpectedKeyCount;
    bool allAnswer = KeyCount > 0;
    for (int i = 0; i < KeyCount && allAnswer; ++i) {
        allAnswer = token_get_info_ex(i, (*m_keyTable)[static_cast<std::size_t>(i)]) == 0;
    }
    if (allAnswer) {
        return; // the device pulled out was none of the known keys
    }
    SearchCountdown = 2;
    timer("TFindUSBKey")->start();
}

void TMainForm::TFindUSBKeyTimer()
{
    --SearchCountdown;
    if (SearchCountdown <= 0) {
        timer("TFindUSBKey")->stop();
        return;
    }
    if (RefreshKeyList() != 0) {
        closeImportDialog();
        return;
    }
    if (KeyCount >= ExpectedKeyCount) {
        timer("TFindUSBKey")->stop();
        timer("TCheckInit")->start();
    }
}

} // namespace kx
