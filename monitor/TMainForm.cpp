// SPDX-License-Identifier: Apache-2.0
#include "TMainForm.h"

#include "MonitorCommands.h"
#include "MonitorKeys.h"
#include "MonitorReminders.h"
#include "MonitorTray.h"
#include "SystemCleanup.h"
#include "TProjectConfigForm.h"
#include "TUPinSetForm.h"

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/OpenURL.h"
#include "common/ProcessLauncher.h"
#include "common/widgets/MessageBox.h"
#include "keyservice/KeyPresence.h"
#include "keyservice/KeyService.h"
#include "keyservice/KeyServiceTexts.h"
#include "keyservice/StoreRegistration.h"
#include "token/CertRegistration.h"
#include "token/DesktopRegistration.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace kx::mon {

namespace {

// At the end the desktop registration and the keys get this long before the monitor leaves them
// to themselves: together well under a second, whatever a tool or a key does.
constexpr int kDesktopRegistrationEndMs = 300;
constexpr int kKeysEndMs = 500;

struct TimerEntry
{
    const char* name;
    int interval;
    void (TMainForm::*handler)();
};

void sendToManager(const char* text)
{
    SendCommand(QString::fromLatin1(text), QString::fromLatin1(kManagerWindowClass));
}

} // namespace

TMainForm::TMainForm(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("TMainForm"));
    setWindowFlag(Qt::Tool); // no task-bar button should it ever be shown
    m_commands = new MonitorCommands(this);
    connect(m_commands, &MonitorCommands::regCertRequested, this, [this] { timer("TRegCertXE")->start(); });
    connect(m_commands, &MonitorCommands::updateRequested, this, &TMainForm::answerPromptBoxNo);
    connect(m_commands, &MonitorCommands::closeRequested, this, [this] { close(); }); // hides unless exiting
    m_tray = new MonitorTray(this);
    connect(m_tray, &MonitorTray::showMainRequested, this, &TMainForm::AcShowMainExecute);
    connect(m_tray, &MonitorTray::advancedRequested, this, &TMainForm::AcAdvancedExecute);
    connect(m_tray, &MonitorTray::exitRequested, this, &TMainForm::AcExitExecute);
    connect(m_tray, &MonitorTray::balloonShown, this, &TMainForm::balloonShown);
    m_keys = new MonitorKeys(this);
    connect(m_keys, &MonitorKeys::trayWanted, m_tray, &MonitorTray::show);
    connect(m_keys, &MonitorKeys::removalNoticed, this, [] { sendToManager("CLOSE"); });
    connect(m_keys, &MonitorKeys::insertionCompleted, this, &TMainForm::insertionCompleted);
    connect(m_keys, &MonitorKeys::uninitialisedKeyFound, this,
            [this] { m_tray->balloon(Lang("Init_Info"), BalloonNotifier::Icon::Application); });
    connect(m_keys, &MonitorKeys::knownKeyGone, this, &TMainForm::knownKeyGone);
    connect(m_keys, &MonitorKeys::lastKeyGone, this, &TMainForm::lastKeyGone);
    m_registration = new StoreRegistration(m_keys->service(), this);
    connect(m_registration, &StoreRegistration::failureToReport, this,
            [this](const QString& text) { NoticeBox(this, text, {.topmost = true}); });
    // A key's root certificate enters the desktop's trusted authorities only when the user says so.
    connect(
        m_registration, &StoreRegistration::rootToConfirm, this,
        [this](const QByteArray& der, const QString& question) {
            m_registration->answerRoot(der, QuestionBox(this, question));
        },
        // Asked once the registration that found it has finished, not in the middle of it.
        Qt::QueuedConnection);
    m_reminders = new MonitorReminders(m_keys->service(), m_userConfig, m_userConfigPath, this);
    // A write a key was left with is finished or undone when the key is seen again: said once.
    connect(&m_keys->service(), &KeyService::journalSettled, this, [this](int keyIndex, const SettledWrite& settled) {
        m_tray->balloon(JournalSettledText(keyInfo(keyIndex).labelText().trimmed(), settled),
                        BalloonNotifier::Icon::Information);
    });
    createTimers();
    FormCreate();
}

TMainForm::~TMainForm()
{
    FormDestroy();
}

QTimer* TMainForm::timer(const char* name) const
{
    return findChild<QTimer*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

QAction* TMainForm::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

void TMainForm::createTimers()
{
    static const TimerEntry kTimers[] = {
        {"TCloseMainForm", 1, &TMainForm::TCloseMainFormTimer},
        {"TCloseProject", 500, &TMainForm::TCloseProjectTimer},
        {"TCheckDefaultUPIN", 500, &TMainForm::TCheckDefaultUPINTimer},
        {"TRegCertXE", 1000, &TMainForm::TRegCertXETimer},
    };
    for (const TimerEntry& entry : kTimers) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(entry.name));
        t->setInterval(entry.interval);
        connect(t, &QTimer::timeout, this, entry.handler);
    }
}

void TMainForm::ApplyTexts()
{
    m_tray->applyTexts();
}

int TMainForm::KeyCount() const
{
    return m_keys->KeyCount();
}

int TMainForm::CurrentKeyIndex() const
{
    return m_keys->CurrentKeyIndex();
}

int TMainForm::ExpectedKeyCount() const
{
    return m_keys->ExpectedKeyCount();
}

bool TMainForm::DefaultPINPromptActive() const
{
    return m_reminders->DefaultPINPromptActive();
}

bool TMainForm::CycleReminderActive() const
{
    return m_reminders->CycleReminderActive();
}

const TR7Info& TMainForm::keyInfo(int keyIndex) const
{
    return m_keys->keyInfo(keyIndex);
}

QSystemTrayIcon* TMainForm::trayIcon() const
{
    return m_tray->icon();
}

TrayMenuNotice* TMainForm::menuNotice() const
{
    return m_tray->menuNotice();
}

QMenu* TMainForm::trayMenu() const
{
    return m_tray->menu();
}

KeyPresence* TMainForm::presence() const
{
    return &m_keys->presence();
}

KeyService& TMainForm::keys() const
{
    return m_keys->service();
}

bool TMainForm::trayShown() const
{
    return m_tray->shown();
}

TUPinSetForm* TMainForm::pinDialog() const
{
    return m_reminders->pinDialog();
}

void TMainForm::FormCreate()
{
    ApplyTexts();
    m_userConfig = TUserConfigInfo();
    m_appInfo = TAPPInfo();
    ReadInstalledAPPInfo(m_appInfo);
    // A PID value that cannot be read leaves the list empty: no device is watched.
    ParsePIDList(m_appInfo.PID, PIDList);
    m_keys->setProductIDs(PIDList);
    m_registration->setProvider(m_appInfo.CSPName, m_appInfo.RegCertMode);
    m_userConfigPath = UserConfigPath(m_appInfo.CfgPath);
    ReadUserConfig(m_userConfigPath, m_userConfig);
    openTokenLibrary();
    m_wtsRegistered = RegisterSessionNotification();
}

void TMainForm::openTokenLibrary()
{
    m_keys->openLibrary(m_appInfo, [this](int result) {
        if (result != 0) {
            m_libraryReady = false;
            timer("TCloseProject")->start();
            return;
        }
        m_libraryReady = true;
        DesktopRegistration::instance().configure(DesktopRegistration::settingsFor(m_appInfo, m_userConfig));
        // Certificates left in the store by a run that ended without its clean-up (killed, or the
        // machine lost power) may belong to keys pulled since; the store is made to match the keys
        // present now.
        RemoveStoreCertsOfCSP(m_appInfo.CSPName);
        EnumerateKeys([this](int) {
            settleJournals();
            m_registration->registerAll(true, false, false, [this] {
                if (KeyCount() > 0) {
                    timer("TCheckDefaultUPIN")->start();
                }
            });
        });
    });
}

void TMainForm::EnumerateKeys(std::function<void(int)> done)
{
    m_keys->EnumerateKeys(std::move(done));
}

void TMainForm::FormDestroy()
{
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    for (QTimer* t : findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly)) {
        t->stop();
    }
    // NSS's tools and the keys get a moment each; neither holds the end up for longer.
    DesktopRegistration::instance().shutdown(kDesktopRegistrationEndMs);
    KeyService& keys = m_keys->service();
    const int current = keys.CurrentKeyIndex();
    keys.finish(kKeysEndMs, [&keys, current] {
        if (keys.libraryOpened()) {
            keys.directory()->withKey(keys.keyId(current), [](int position) { return token_logout(position); });
        }
    });
    m_keys->presence().setLibraryReady(false);
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    sendToManager("CLOSE");
    if (m_wtsRegistered) {
        UnregisterSessionNotification();
    }
    m_tray->end(m_displayLost);
    Q_EMIT destroyedCleanly();
}

void TMainForm::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    timer("TCloseMainForm")->start();
}

void TMainForm::TCloseMainFormTimer()
{
    timer("TCloseMainForm")->stop();
    hide();
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (!m_exitRequested && !m_endingLogOff) {
        event->ignore();
        hide();
        return;
    }
    event->accept();
    FormDestroy();
    QCoreApplication::quit();
}

void TMainForm::sessionTerminated()
{
    m_endingLogOff = true;
    close();
}

void TMainForm::sessionDisplayLost()
{
    m_endingLogOff = true;
    m_displayLost = true;
    FormDestroy();
}

void TMainForm::TCloseProjectTimer()
{
    timer("TCloseProject")->stop();
    NoticeBox(this, Lang("K_pkcs11Init_Error"), {.questionIcon = true});
    m_exitRequested = true;
    close();
}

void TMainForm::TCheckDefaultUPINTimer()
{
    timer("TCheckDefaultUPIN")->stop();
    CheckDefaultPIN();
}

void TMainForm::settleJournals()
{
    for (int i = 0; i < KeyCount(); ++i) {
        m_keys->service().settleJournal(i);
    }
}

void TMainForm::insertionCompleted()
{
    m_tray->balloon(Lang("K_Key_Arrival"), BalloonNotifier::Icon::Information);
    settleJournals();
    if (m_userConfig.URLOpenMode == 1) {
        OpenURL(this, m_userConfig.URL, m_userConfig.BrowserMode != 0);
    }
    // The plug-in, the expiry check and the default-PIN check follow the registration.
    m_registration->registerAll(true, true, false, [this] { afterInsertionRegistered(); });
}

void TMainForm::afterInsertionRegistered()
{
    startPlugin();
    const auto defaultPinCheck = [this] {
        if (KeyCount() == 1) {
            timer("TCheckDefaultUPIN")->start();
        }
    };
    if (m_userConfig.CertTips == 1) {
        checkExpiryFrom(0, defaultPinCheck);
    } else {
        defaultPinCheck();
    }
}

void TMainForm::checkExpiryFrom(int keyIndex, std::function<void()> done)
{
    if (keyIndex >= KeyCount()) {
        done();
        return;
    }
    CheckCertExpiry(keyIndex, [this, keyIndex, done](int) { checkExpiryFrom(keyIndex + 1, done); });
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

void TMainForm::knownKeyGone()
{
    // The keys that stay are registered again, and only then do the certificates of containers
    // no present key holds leave the store: a key that stays keeps its registration throughout.
    m_registration->registerAll(false, false, true, [this] {
        CloseDialogs();
        m_tray->balloon(Lang("K_Key_Remove"), BalloonNotifier::Icon::Information);
        m_keys->startCleanup();
    });
}

void TMainForm::lastKeyGone()
{
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
    m_registration->registerAll(true, false, true, [] { sendToManager("LoadCert"); });
}

void TMainForm::CloseDialogs()
{
    if (m_configDialog) {
        m_configDialog->reject();
    }
    if (TUPinSetForm* dialog = m_reminders->pinDialog()) {
        dialog->done(2);
    }
    if (KeyCount() <= 0) {
        answerPromptBoxNo();
    }
}

void TMainForm::handleCommand(const QString& text)
{
    m_commands->handleCommand(text);
}

void TMainForm::CheckCertExpiry(int keyIndex, std::function<void(int)> done)
{
    m_reminders->CheckCertExpiry(keyIndex, std::move(done));
}

void TMainForm::CheckDefaultPIN()
{
    m_reminders->CheckDefaultPIN();
}

void TMainForm::CheckPINCycle()
{
    m_reminders->CheckPINCycle();
}

void TMainForm::MonitorChangeUserPIN(std::function<void(int)> done)
{
    m_reminders->MonitorChangeUserPIN(std::move(done));
}

// The open message box captioned P_MSGTitle is answered "No". A box without a No button (a
// plain notice) is dismissed, as closing it would.
void TMainForm::answerPromptBoxNo()
{
    const QString title = Lang("P_MSGTitle");
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box || !box->isVisible() || box->windowTitle() != title) {
            continue;
        }
        if (QAbstractButton* no = box->button(QMessageBox::No)) {
            no->click();
        } else {
            box->done(QMessageBox::No);
        }
        return;
    }
}

bool TMainForm::pinDialogTitleShowing() const
{
    const QString title = Lang("Main_Form_btn_SetUPIN");
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && widget->windowTitle() == title) {
            return true;
        }
    }
    return m_reminders->pinDialog() != nullptr;
}

void TMainForm::AcShowMainExecute()
{
    if (pinDialogTitleShowing()) {
        return;
    }
    ProcessLauncher::current().startDetached(pathBesideExecutable(m_appInfo.APPMgrName), {},
                                             AppContext::current().executableFolder());
}

void TMainForm::AcExitExecute()
{
    m_exitRequested = true;
    close();
}

} // namespace kx::mon
