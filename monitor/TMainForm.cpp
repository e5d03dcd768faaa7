// SPDX-License-Identifier: Apache-2.0
#include "TMainForm.h"

#include "DesktopNotifications.h"
#include "SystemCleanup.h"
#include "TProjectConfigForm.h"
#include "TUPinSetForm.h"
#include "TrayMenuNotice.h"

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/ProcessLauncher.h"
#include "common/widgets/MessageBox.h"
#include "token/CertRegistration.h"
#include "token/DesktopRegistration.h"
#include "token/TUSB.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kx::mon {

namespace {

struct TimerEntry
{
    const char* name;
    int interval;
    void (TMainForm::*handler)();
};

} // namespace

QIcon MainIcon()
{
    static const QIcon icon = [] {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        // A key: a round bow with a hole and a toothed blade.
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(0x1f, 0x6f, 0xb5));
        painter.drawEllipse(QRectF(2, 8, 16, 16));
        painter.drawRect(QRectF(16, 13, 14, 6));
        painter.drawRect(QRectF(24, 19, 3, 5));
        painter.drawRect(QRectF(19, 19, 3, 4));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QRectF(6, 12, 6, 8));
        return QIcon(pixmap);
    }();
    return icon;
}

TMainForm::TMainForm(QWidget* parent)
    : QWidget(parent), m_keyTable(std::make_unique<std::array<TR7Info, kKeyTableSize>>())
{
    setObjectName(QStringLiteral("TMainForm"));
    setWindowFlag(Qt::Tool); // no task-bar button should it ever be shown
    m_endpoint = new CommandEndpoint(QString::fromLatin1(kMonitorWindowClass), this);
    connect(m_endpoint, &CommandEndpoint::commandReceived, this, &TMainForm::handleCommand);
    connect(m_endpoint, &CommandEndpoint::systemCommandReceived, this, [this](quint32 command) {
        if (command == SC_CLOSE) {
            close(); // hides unless an exit was asked for
        }
    });
    m_tray = new QSystemTrayIcon(this);
    m_tray->setObjectName(QStringLiteral("TrayIcon1"));
    m_menu = new QMenu(this);
    m_menu->setObjectName(QStringLiteral("PopupMenu1"));
    m_tray->setContextMenu(m_menu);
    m_notifications = new DesktopNotifications(this);
    m_menuNotice = new TrayMenuNotice(m_menu, m_notifications, this);
    m_balloons = std::make_unique<BalloonNotifier>(m_tray, m_notifications, m_menuNotice);
    m_balloons->setApplicationIconPath(QStringLiteral("security-high"));
    createTimers();
    createActions();
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
        {"TFindUSBKey", 500, &TMainForm::TFindUSBKeyTimer},
        {"TCheckInit", 400, &TMainForm::TCheckInitTimer},
        {"TCCIDRemove", 100, &TMainForm::TCCIDRemoveTimer},
        {"TUSBRemove", 1000, &TMainForm::TUSBRemoveTimer},
        {"TRegCertXE", 1000, &TMainForm::TRegCertXETimer},
    };
    for (const TimerEntry& entry : kTimers) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(entry.name));
        t->setInterval(entry.interval);
        connect(t, &QTimer::timeout, this, entry.handler);
    }
}

void TMainForm::createActions()
{
    auto make = [this](const char* name, void (TMainForm::*execute)()) {
        auto* a = new QAction(this);
        a->setObjectName(QString::fromLatin1(name));
        connect(a, &QAction::triggered, this, execute);
        m_menu->addAction(a);
        return a;
    };
    QAction* showMain = make("AcShowMain", &TMainForm::AcShowMainExecute);
    make("AcAdvanced", &TMainForm::AcAdvancedExecute);
    make("AcExit", &TMainForm::AcExitExecute);
    m_menu->setDefaultAction(showMain);
    // A single click on the icon does nothing; a double click runs the default entry.
    connect(m_tray, &QSystemTrayIcon::activated, this, [showMain](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) {
            showMain->trigger();
        }
    });
}

void TMainForm::ApplyTexts()
{
    const LanguageTexts& texts = Language();
    setFont(QFont(texts.fontName(), texts.fontSize()));
    m_menu->setFont(font());
    action("AcShowMain")->setText(Lang("Main_Form_PopupMenu_listMain"));
    action("AcAdvanced")->setText(Lang("Main_Form_PopupMenu_Advanced"));
    action("AcExit")->setText(Lang("Main_Form_PopupMenu_Close"));
    m_tray->setIcon(MainIcon());
    m_tray->setToolTip(Lang("P_Caption"));
    m_menu->setTitle(Lang("P_Caption").trimmed());
}

void TMainForm::FormCreate()
{
    ApplyTexts();
    ArrivalCountdown = kArrivalTicks;
    KeyCount = 0;
    CurrentKeyIndex = 0;
    m_usb = new TUSB(this);
    connect(m_usb, &TUSB::OnArrival, this, &TMainForm::USBArrival);
    connect(m_usb, &TUSB::OnRemoval, this, &TMainForm::USBRemoval);
    m_userConfig = TUserConfigInfo();
    m_appInfo = TAPPInfo();
    ReadAPPInfo(APPInfoPath(), m_appInfo);
    // A PID value that cannot be read leaves the list empty: no device is watched.
    ParsePIDList(m_appInfo.PID, PIDList);
    m_userConfigPath = UserConfigPath(m_appInfo.CfgPath);
    ReadUserConfig(m_userConfigPath, m_userConfig);
    openTokenLibrary();
    WtsRegistered = RegisterSessionNotification();
}

void TMainForm::openTokenLibrary()
{
    m_libraryOpened = true;
    if (InitTokenLibrary(m_appInfo.PKCS11Lib, m_appInfo.USBEnumString, m_appInfo.OEMID, m_appInfo.APPName) != 0) {
        LibraryReady = false;
        timer("TCloseProject")->start();
        return;
    }
    LibraryReady = true;
    DesktopRegistration::instance().configure(DesktopRegistration::settingsFor(m_appInfo));
    // Certificates left in the store by a run that ended without its clean-up (killed, or the
    // machine lost power) may belong to keys pulled since; the store is made to match the keys
    // present now.
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    EnumerateKeys();
    registerAllKeys(true, false);
    if (KeyCount > 0) {
        timer("TCheckDefaultUPIN")->start();
    }
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
    if (m_libraryOpened) {
        token_logout(CurrentKeyIndex);
    }
    delete m_usb;
    m_usb = nullptr;
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    SendCommand(QStringLiteral("CLOSE"), QString::fromLatin1(kManagerWindowClass));
    if (m_libraryOpened) {
        uninit_pkcs11();
        m_libraryOpened = false;
    }
    if (WtsRegistered) {
        UnregisterSessionNotification();
    }
    if (!m_displayLost) {
        m_tray->hide();
        m_menuNotice->keysChanged(false);
    }
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
    if (!ExitRequested && !EndingLogOff) {
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
    EndingLogOff = true;
    close();
}

void TMainForm::sessionDisplayLost()
{
    EndingLogOff = true;
    m_displayLost = true;
    FormDestroy();
}

void TMainForm::TCloseProjectTimer()
{
    timer("TCloseProject")->stop();
    NoticeBox(this, Lang("K_pkcs11Init_Error"), {.questionIcon = true});
    ExitRequested = true;
    close();
}

void TMainForm::TCheckDefaultUPINTimer()
{
    timer("TCheckDefaultUPIN")->stop();
    CheckDefaultPIN();
}

bool TMainForm::trayShown() const
{
    return m_tray->isVisible();
}

void TMainForm::showTray(bool visible)
{
    m_tray->setVisible(visible);
    m_menuNotice->keysChanged(visible);
}

void TMainForm::balloon(const QString& text, BalloonNotifier::Icon icon)
{
    m_balloons->show(text, icon);
    Q_EMIT balloonShown(text);
}

void TMainForm::handleCommand(const QString& text)
{
    const QString command = text.toLower();
    if (command == QStringLiteral("regcert")) {
        timer("TRegCertXE")->start();
    } else if (command == QStringLiteral("update")) {
        answerPromptBoxNo();
    }
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
    return m_pinDialog != nullptr;
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
    ExitRequested = true;
    close();
}

} // namespace kx::mon
