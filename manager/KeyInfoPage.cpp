// SPDX-License-Identifier: Apache-2.0
#include "KeyInfoPage.h"

#include "ActionBinding.h"
#include "KeySession.h"
#include "ui_KeyInfoPage.h"

#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/widgets/ListAddRow.h"
#include "keyservice/FingerJobs.h"

namespace kx {

namespace {

QString versionText(int version)
{
    return QString::asprintf("%d.%.2d", version / 256, version % 256);
}

} // namespace

KeyInfoPage::KeyInfoPage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::KeyInfoPage>()), m_session(session)
{
    m_ui->setupUi(this);
    QAction* refresh = MakeAction(this, "AcFindKeyRefresh", &KeyInfoPage::AcFindKeyRefreshExecute, m_ui->Button7);
    connect(&m_session, &KeySession::keysCleared, m_ui->lv, &QTreeWidget::clear);
    connect(&m_session, &KeySession::importRunningChanged, refresh,
            [refresh](bool running) { refresh->setEnabled(!running); });
    ApplyTexts();
}

KeyInfoPage::~KeyInfoPage() = default;

void KeyInfoPage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcFindKeyRefresh"))->setText(Lang("Main_Form_btn_Refresh"));
    m_ui->lv->setHeaderLabels({Lang("Main_Form_ListView_Item1"), Lang("Main_Form_ListView_ITem2")});
    m_ui->lv->setAccessibleName(Lang("K_Info_Base"));
}

namespace {

// What the key information page shows, read on the key's lane.
struct KeyInfoRead
{
    int result = 0;
    TR7Info info;
    PinState pin;
    bool fingers = false;
    FingerRead finger;
};

} // namespace

void KeyInfoPage::ShowKeyInfo(int keyIndex)
{
    if (!m_session.keyIndexValid(keyIndex)) {
        return;
    }
    const bool sensor = m_session.FingerSupported();
    m_session.service().run<KeyInfoRead>(
        keyIndex, QStringLiteral("K_Wait_Info"),
        [sensor](KeyCall& key) {
            KeyInfoRead read;
            read.result = key.info(read.info);
            if (read.result != 0) {
                return read;
            }
            key.pinState(read.pin);
            // A key with a sensor also shows its user fingerprint state, read from the key's own
            // SKF application.
            if (sensor) {
                read.fingers = true;
                read.finger = ReadFingers(key, SkfUserType);
            }
            return read;
        },
        this,
        [this](KeyInfoRead& read, int index) {
            if (index < 0 || read.result != 0) {
                return;
            }
            m_session.service().setKeyInfo(index, read.info);
            // Only the key still selected fills the page.
            if (index == m_session.CurrentKeyIndex()) {
                showRead(m_session.keyInfo(index), read.pin, read.fingers ? &read.finger : nullptr);
            }
        });
}

void KeyInfoPage::showRead(const TR7Info& info, const PinState& pin, const FingerRead* finger)
{
    QTreeWidget* lv = m_ui->lv;
    lv->clear();
    ListAddRow(lv, Lang("K_Info_labelName"), info.labelText());
    ListAddRow(lv, Lang("K_Info_manufacture"), info.manufacturerText());
    ListAddRow(lv, Lang("K_Info_Sn"), info.serialText());
    ListAddRow(lv, Lang("K_Info_maxPinLen"), QString::number(info.maxPinLen));
    ListAddRow(lv, Lang("K_Info_minPinLen"), QString::number(info.minPinLen));
    // A module without a counter is shown as such, not as "-1" tries out of 0.
    const QString unknown = Lang("K_Count_Unknown");
    ListAddRow(lv, Lang("Admin_label_TryCount"), pin.countKnown() ? QString::number(pin.maxRetries()) : unknown);
    ListAddRow(lv, Lang("S_KeyTryTime"), pin.countKnown() ? QString::number(pin.retriesLeft()) : unknown);
    ListAddRow(lv, Lang("S_Key_Dead_State"), pin.values[4] != 0 ? Lang("S_Key_Dead_Yes") : Lang("S_Key_Dead_No"));
    ListAddRow(lv, Lang("K_Info_totalMemory"), FormatSize(info.totalMemory));
    ListAddRow(lv, Lang("K_Info_freeMemory"), FormatSize(info.freeMemory));
    ListAddRow(lv, Lang("K_Info_hardwareVer"), versionText(info.hardwareVersion));
    ListAddRow(lv, Lang("K_Info_firmVer"), versionText(info.firmwareVersion));
    if (finger) {
        if (finger->result != SAR_OK) {
            ListAddRow(lv, Lang("F_Finger_State"), Lang("P_SAR_APPLICATION_NOT_EXISTS"));
        } else {
            ListAddRow(lv, Lang("F_User_Try"), QString::number(finger->info.retryLeft));
            ListAddRow(lv, Lang("F_User_Count"), QString::number(finger->info.enrolledCount));
        }
    }
    lv->resizeColumnToContents(0);
}

void KeyInfoPage::AcFindKeyRefreshExecute()
{
    if (m_session.importRunning() || m_session.refreshing()) {
        return;
    }
    m_session.rescan([this](int result) {
        if (result == 0) {
            Q_EMIT keysRefreshed();
        }
    });
}

} // namespace kx
