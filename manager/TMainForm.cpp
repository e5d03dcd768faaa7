// SPDX-License-Identifier: Apache-2.0
#include "TMainForm.h"

#include "AboutPage.h"
#include "BannerView.h"
#include "CertificatePage.h"
#include "FingerPage.h"
#include "KeyInfoPage.h"
#include "KeyMessages.h"
#include "KeyNamePage.h"
#include "KeyTree.h"
#include "LoginPage.h"
#include "RemoteUnlockPage.h"
#include "SystemCheckPage.h"
#include "UserPinPage.h"
#include "ui_TMainForm.h"

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/ProcessLauncher.h"
#include "common/UserConfig.h"
#include "common/UserFolder.h"
#include "common/widgets/FocusKeeper.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/WindowFont.h"
#include "common/widgets/WindowPlacement.h"
#include "keyservice/KeyPresence.h"
#include "keyservice/KeyServiceTexts.h"
#include "keyservice/StoreRegistration.h"
#include "token/DesktopRegistration.h"
#include "token/TUSB.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QShowEvent>
#include <QTimer>

namespace kx {

namespace {

struct TimerSpec
{
    const char* name;
    int interval;
};

constexpr TimerSpec kTimers[] = {{"TFindUSBKey", 100}, {"TCloseProject", 500}, {"TCheckInit", 400}};

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::TMainForm>()), m_session(new KeySession(this))
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("TMainForm"));
    setFixedSize(674, 432);
    // PIN fields show one "*" per character.
    setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    m_tree = std::make_unique<KeyTree>(m_ui->tv, *m_session);
    // A key's root certificate enters the desktop's trusted authorities only when the user says so.
    StoreRegistration* registration = &m_session->registration();
    connect(
        registration, &StoreRegistration::rootToConfirm, this,
        [this, registration](const QByteArray& der, const QString& question) {
            registration->answerRoot(der, QuestionBox(this, question));
        },
        // Asked once the registration that found it has finished, not in the middle of it.
        Qt::QueuedConnection);
    connect(m_ui->tv, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { tvChange(current); });
    // Whether the user walks the tree with the keys or clicks in it.
    m_ui->tv->installEventFilter(this);
    m_ui->tv->viewport()->installEventFilter(this);
    createTimers();
    createPages();
    createBusyLine();
    // Buttons are greyed out while their key works; keyboard users keep their place.
    new FocusKeeper(this);
    ApplyTexts();
    SwitchFingerTexts(0);
    InitialiseMainWindow();
    CentreOnScreen(this);
}

TMainForm::~TMainForm()
{
    // The pages and the tree go after the session; none of them may reach it any more.
    m_ui->tv->blockSignals(true);
}

void TMainForm::createPages()
{
    m_keyInfoPage = new KeyInfoPage(*m_session, this);
    m_userPinPage = new UserPinPage(*m_session, this);
    m_keyNamePage = new KeyNamePage(*m_session, this);
    m_loginPage = new LoginPage(*m_session, m_fingerPictures, this);
    m_certificatePage = new CertificatePage(*m_session, this);
    m_systemCheckPage = new SystemCheckPage(*m_session, this);
    m_aboutPage = new AboutPage(this);
    m_fingerPage = new FingerPage(*m_session, m_fingerPictures, this);
    m_remoteUnlockPage = new RemoteUnlockPage(*m_session, this);
    // The pages in the order of the page control; the pictures sheet comes with the form.
    m_pages = {{{PageKeyInfo, m_keyInfoPage},
                {PageUserPIN, m_userPinPage},
                {PageKeyName, m_keyNamePage},
                {PageLogin, m_loginPage},
                {PageCertificates, m_certificatePage},
                {PageSystemInfo, m_systemCheckPage},
                {PageAbout, m_aboutPage},
                {PageFinger, m_fingerPage},
                {PageFingerPictures, m_ui->TabSheet17},
                {PageRemoteUnlock, m_remoteUnlockPage}}};
    for (int position = 0; position < static_cast<int>(m_pages.size()); ++position) {
        m_ui->RPC->insertWidget(position, m_pages[static_cast<std::size_t>(position)].second);
    }

    connect(m_session, &KeySession::keysCleared, this, [this] { m_tree->clearKeys(); });
    connect(m_session, &KeySession::listingFailed, this, &TMainForm::showKeyInfoError);
    connect(m_session, &KeySession::fingerSensorChecked, this, &TMainForm::fingerSensorChecked);
    connect(m_session, &KeySession::keysListed, this, &TMainForm::showKeyList);
    connect(m_session, &KeySession::keyRenamed, this,
            [this](int keyIndex, const QString& label) { m_tree->renameKey(keyIndex, label); });
    // The key tree leads to pages that re-read the key; an import keeps the key to itself.
    connect(m_session, &KeySession::importRunningChanged, m_ui->tv,
            [this](bool running) { m_ui->tv->setEnabled(!running); });
    connect(m_keyInfoPage, &KeyInfoPage::keysRefreshed, this, [this] { timer("TCheckInit")->start(); });
    // While the selected key works, its page says so; after two seconds the window says with what.
    connect(m_session, &KeySession::keyBusyChanged, this, &TMainForm::showKeyBusy);
    connect(m_session, &KeySession::selectedKeyChanged, this, &TMainForm::showKeyBusy);
    connect(m_session, &KeySession::keyWaiting, this, &TMainForm::showKeyWaiting);
    connect(m_session, &KeySession::keyBusyChanged, this, &TMainForm::updateActions);
    // A write a key was left with is finished or undone when the key is seen again: said once.
    connect(m_session, &KeySession::journalSettled, this, [this](int keyIndex, const SettledWrite& settled) {
        InfoBox(this, JournalSettledText(m_session->keyInfo(keyIndex).labelText().trimmed(), settled));
    });
    // A key whose session was lost is logged out: the user is told, and its certificates wait for
    // the next login.
    connect(m_session, &KeySession::loginLost, this, [this](int keyIndex) {
        if (keyIndex == m_session->CurrentKeyIndex() && ActivePageIndex() == PageCertificates) {
            showPage(PageLogin);
            m_loginPage->showKey(keyIndex);
        }
        InfoBox(this, Lang("K_Login_Lost"));
    });
    connect(m_loginPage, &LoginPage::loggedIn, this, &TMainForm::showCertificates);
    connect(m_certificatePage, &CertificatePage::loggedOut, this, [this] { showPage(PageLogin); });
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_ui->tv && event->type() == QEvent::KeyPress) {
        m_treeByKeyboard = true;
    } else if (watched == m_ui->tv->viewport() && event->type() == QEvent::MouseButtonPress) {
        m_treeByKeyboard = false;
    }
    return QMainWindow::eventFilter(watched, event);
}

QTimer* TMainForm::timer(const char* name) const
{
    return findChild<QTimer*>(QString::fromLatin1(name));
}

QAction* TMainForm::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name));
}

void TMainForm::createTimers()
{
    for (const TimerSpec& spec : kTimers) {
        auto* t = new QTimer(this);
        t->setObjectName(QString::fromLatin1(spec.name));
        t->setInterval(spec.interval);
    }
    connect(timer("TFindUSBKey"), &QTimer::timeout, this, &TMainForm::TFindUSBKeyTimer);
    connect(timer("TCloseProject"), &QTimer::timeout, this, &TMainForm::TCloseProjectTimer);
    connect(timer("TCheckInit"), &QTimer::timeout, this, &TMainForm::TCheckInitTimer);
}

void TMainForm::ApplyTexts()
{
    setFont(WindowFont());
    setWindowTitle(Lang("P_Caption") + QStringLiteral("  V") + QCoreApplication::applicationVersion());
    m_tree->applyTexts();
    m_ui->Image1->setTexts(Lang("P_Caption").trimmed(), Lang("Main_Form_Subtitle").trimmed());
    m_ui->tv->setAccessibleName(Lang("Main_Form_Treeview"));
    m_busyLine->setAccessibleName(Lang("K_Key_Status"));
    m_keyInfoPage->ApplyTexts();
    m_userPinPage->ApplyTexts();
    m_keyNamePage->ApplyTexts();
    m_loginPage->ApplyTexts();
    m_certificatePage->ApplyTexts();
    m_systemCheckPage->ApplyTexts();
    m_aboutPage->ApplyTexts();
    m_fingerPage->ApplyTexts();
    m_remoteUnlockPage->ApplyTexts();
}

void TMainForm::InitialiseMainWindow()
{
    // 1. The monitor's PIN dialog is open: the manager does not run beside it.
    if (WindowClassExists(QString::fromLatin1(kPinDialogWindowClass))) {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    // 2. and 3. The window's own application information and the listed product identifiers.
    TAPPInfo app;
    ReadInstalledAPPInfo(app);
    m_session->setAppInfo(app);
    QString pidError;
    if (ParsePIDList(app.PID, PIDList, &pidError) != 0) {
        InfoBox(this, pidError);
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    // The SKF library of the fingerprint and remote unlock functions; without it those
    // functions report that no key is there.
    SkfLibrary::Load(app.SKFLib);
    loadFingerPictures(QStringLiteral("res/Finger/"));
    // 5. Hot-plug notifications.
    m_presence = new KeyPresence(this);
    m_presence->setProductIDs(PIDList);
    connect(m_presence, &KeyPresence::listedArrival, this, &TMainForm::USBArrival);
    connect(m_presence, &KeyPresence::arrivalWaited, this, [this] { timer("TFindUSBKey")->start(); });
    connect(m_presence, &KeyPresence::listedRemoval, this, &TMainForm::USBRemoval);
    connect(m_presence, &KeyPresence::tokenCheckDue, this, &TMainForm::checkFixedTokens);
    connect(&m_session->service(), &KeyService::keysListed, m_presence, [this] {
        if (m_session->service().anyFixedKey()) {
            m_presence->watchFixedTokens();
        }
    });
    // 6. Pages without tabs; the key information first.
    showPage(PageKeyInfo);
    // 8. The three roots of the tree.
    BuildTreeRoots();
    // 10. The user configuration.
    TUserConfigInfo config{};
    const QString configPath = UserConfigPath(app.CfgPath);
    ReadUserConfig(configPath, config);
    m_session->setUserConfig(configPath, config);
    // 11. The banner's background picture beside the executable, when there is one.
    m_ui->Image1->setBackground(pathBesideExecutable(QStringLiteral("res/top_img.jpg")));
    // 13. The monitor, when it lies beside the manager; its own single-instance rule makes a
    // second start harmless.
    if (!app.APPMonName.isEmpty()) {
        const QString monitor = pathBesideExecutable(app.APPMonName);
        if (QFileInfo(monitor).isFile()) {
            ProcessLauncher::current().startDetached(monitor, {});
        }
    }
    m_endpoint = new CommandEndpoint(QString::fromLatin1(kManagerWindowClass), this);
    connect(m_endpoint, &CommandEndpoint::commandReceived, this, &TMainForm::handleCommand);
    connect(m_endpoint, &CommandEndpoint::systemCommandReceived, this, &TMainForm::handleSystemCommand);
    updateActions();
    m_initialised = true;
}

void TMainForm::openTokenLibrary()
{
    m_session->openLibrary([this](int result) {
        if (result == 0) {
            LibraryReady = true;
            m_presence->setLibraryReady(true);
            DesktopRegistration::instance().configure(
                DesktopRegistration::settingsFor(m_session->appInfo(), m_session->userConfig()));
            // The check for uninitialised keys follows the first key list.
            RefreshKeyList([this](int) { timer("TCheckInit")->start(); });
            return;
        }
        LibraryReady = false;
        timer("TCloseProject")->start();
        timer("TCheckInit")->start();
    });
}

int TMainForm::ActivePageIndex() const
{
    for (const auto& [index, page] : m_pages) {
        if (page == m_ui->RPC->currentWidget()) {
            return index;
        }
    }
    return -1;
}

void TMainForm::showPage(int pageIndex)
{
    for (const auto& [index, page] : m_pages) {
        if (index == pageIndex) {
            m_ui->RPC->setCurrentWidget(page);
        }
    }
}

void TMainForm::BuildTreeRoots()
{
    m_tree->buildRoots();
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous() && m_initialised) {
        // The token library opens 300 ms after the window is shown, so the window paints first.
        QTimer::singleShot(300, this, &TMainForm::openTokenLibrary);
    }
}

void TMainForm::TCloseProjectTimer()
{
    timer("TCloseProject")->stop();
    InfoBox(this, Lang("K_pkcs11Init_Error"));
    close();
}

void TMainForm::TCheckInitTimer()
{
    timer("TCheckInit")->stop();
    for (int i = 0; i < m_session->KeyCount(); ++i) {
        if (m_session->keyInfo(i).initialised == 0) {
            InfoBox(this, Lang("Init_Info"));
            return;
        }
    }
}

void TMainForm::showKeyInfoError()
{
    m_tree->showError();
    showPage(PageKeyInfo);
}

void TMainForm::tvChange(QTreeWidgetItem* node)
{
    if (!node) {
        return;
    }
    const auto [level, keyPosition, index] = m_tree->placeOf(node);
    // A new key selected empties what was typed for the last one.
    m_session->selectKey(keyPosition);

    const int k = m_session->CurrentKeyIndex();
    if (level == 0) {
        if (index == 1) {
            showPage(PageSystemInfo);
            m_systemCheckPage->RunSystemCheck();
        } else if (index == 2) {
            showPage(PageAbout);
        }
    } else if (level == 1) {
        showPage(PageKeyInfo);
        m_session->selectKey(index);
        m_keyInfoPage->ShowKeyInfo(index);
    } else if (m_session->keyIndexValid(k)) {
        switch (index) {
        case 0:
            showPage(PageUserPIN);
            break;
        case 1:
            showPage(PageKeyName);
            m_keyNamePage->showKey(k);
            break;
        case 2:
            if (m_session->LoginState(k) == KeySession::kLoggedIn) {
                m_certificatePage->LoadCertTree(k);
                m_certificatePage->UpdateCertActions();
                showPage(PageCertificates);
            } else {
                showPage(PageLogin);
                if (m_session->FingerSupported()) {
                    m_fingerPage->FingerPageRefresh(m_session->FingerUserType());
                }
                // A click puts the cursor into the PIN field; walking the tree with the keys
                // leaves the focus in the tree, so the next key goes on walking it.
                m_loginPage->showKey(k, !m_treeByKeyboard);
            }
            break;
        case 3:
            if (m_session->FingerSupported()) {
                m_fingerPage->FingerPageRefresh(m_session->FingerUserType());
                m_fingerPage->ApplyTexts();
                showPage(PageFinger);
            } else {
                showPage(PageRemoteUnlock);
            }
            break;
        case 4:
            showPage(PageRemoteUnlock);
            break;
        default:
            break;
        }
    }
    updateActions();
}

void TMainForm::RefreshKeyList(std::function<void(int)> done)
{
    m_session->refresh(std::move(done));
}

void TMainForm::showKeyList()
{
    // The key list root selected, every key present and logged out.
    m_tree->showKeys();
    m_keyInfoPage->ShowKeyInfo(0);
    showPage(PageKeyInfo);
    updateActions();
}

void TMainForm::showCertificates(int keyIndex)
{
    showPage(PageCertificates);
    m_certificatePage->LoadCertTree(keyIndex);
    m_certificatePage->UpdateCertActions();
    updateActions();
}

void TMainForm::loadFingerPictures(const QString& folder)
{
    m_fingerPictures.Load(pathBesideExecutable(folder));
    m_fingerPage->showPictures();
}

void TMainForm::fingerSensorChecked()
{
    // A key with a sensor brings the fingerprint texts and pictures, or those of a finger vein.
    if (m_session->FingerSupported()) {
        const bool vein = m_session->FingerVein();
        loadFingerPictures(vein ? QStringLiteral("res/FingerVein/") : QStringLiteral("res/Finger/"));
        SwitchFingerTexts(vein ? 2 : 1);
        ApplyTexts();
    }
}

void TMainForm::handleCommand(const QString& text)
{
    if (text == QStringLiteral("CLOSE")) {
        close();
    }
    if (text == QStringLiteral("LoadCert") && !m_session->importRunning()) {
        if (ActivePageIndex() == PageCertificates) {
            m_certificatePage->AcrefreshExecute();
        } else {
            m_session->setLoginState(m_session->CurrentKeyIndex(), KeySession::kLoggedOut);
        }
    }
}

void TMainForm::updateActions()
{
    m_loginPage->AcLoginUpdate();
    m_userPinPage->AcSetUserPINUpdate();
    m_keyNamePage->AcSetKeyNameUpdate();
    m_loginPage->AcFingerlogonUpdate();
    m_remoteUnlockPage->AcRemoteUnLockUpdate();
}

void TMainForm::handleSystemCommand(quint32 command)
{
    if (command == SC_RESTORE) {
        // A second manager was started: come back from the task bar and bring an open dialog
        // forward.
        showNormal();
        raise();
        activateWindow();
        if (QWidget* modal = QApplication::activeModalWidget();
            modal && modal != this && modal->isVisible() && modal->isEnabled()) {
            modal->raise();
            modal->activateWindow();
        }
    } else if (command == SC_CLOSE) {
        close();
    }
}

void TMainForm::closeImportDialog()
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (QString::fromLatin1(widget->metaObject()->className()).endsWith(QStringLiteral("TIMForm")) &&
            widget->isVisible()) {
            widget->close();
        }
    }
}

void TMainForm::USBArrival()
{
    // The count of keys to expect was raised; the search starts after the arrival wait.
    SearchCountdown = 5;
}

void TMainForm::USBRemoval()
{
    // Every known key is asked for its information again: when all answer, the device that left
    // was none of them.
    m_session->service().checkAllKeysAnswer(this, [this](bool allAnswer) {
        if (allAnswer) {
            return;
        }
        SearchCountdown = 2;
        timer("TFindUSBKey")->start();
    });
}

void TMainForm::checkFixedTokens()
{
    if (m_session->refreshing() || m_session->importRunning() || timer("TFindUSBKey")->isActive()) {
        return;
    }
    if (m_session->KeyCount() == 0) {
        // A token that went away with its module comes back when the module answers again.
        RefreshKeyList([this](int result) {
            if (result == 0 && m_session->KeyCount() > 0) {
                timer("TCheckInit")->start();
            }
        });
        return;
    }
    USBRemoval();
}

int TMainForm::ExpectedKeyCount() const
{
    return m_presence ? m_presence->ExpectedKeyCount() : 0;
}

void TMainForm::TFindUSBKeyTimer()
{
    // One key list at a time: a tick that finds the last one still being read waits for the next.
    if (m_session->refreshing()) {
        return;
    }
    --SearchCountdown;
    if (SearchCountdown <= 0) {
        timer("TFindUSBKey")->stop();
        return;
    }
    RefreshKeyList([this](int result) {
        if (result != 0) {
            closeImportDialog();
            return;
        }
        if (m_session->KeyCount() >= ExpectedKeyCount()) {
            timer("TFindUSBKey")->stop();
            timer("TCheckInit")->start();
        }
    });
}

void TMainForm::createBusyLine()
{
    m_busyLine = new QLabel(m_ui->centralwidget);
    m_busyLine->setObjectName(QStringLiteral("lblKeyWorking"));
    m_busyLine->setGeometry(m_ui->RPC->x(), m_ui->RPC->geometry().bottom() - 22, m_ui->RPC->width(), 22);
    m_busyLine->setAutoFillBackground(true);
    m_busyLine->setBackgroundRole(QPalette::ToolTipBase);
    m_busyLine->setForegroundRole(QPalette::ToolTipText);
    m_busyLine->setFrameShape(QFrame::StyledPanel);
    m_busyLine->setIndent(4);
    m_busyLine->hide();
}

void TMainForm::showKeyBusy()
{
    const int k = m_session->CurrentKeyIndex();
    const bool busy = m_session->keyIndexValid(k) && m_session->keyBusy(k);
    // The pages of a working key show the busy cursor; the tree and the other keys stay usable.
    if (busy) {
        m_ui->RPC->setCursor(Qt::BusyCursor);
    } else {
        m_ui->RPC->unsetCursor();
        m_busyLine->hide();
    }
}

void TMainForm::showKeyWaiting(int keyIndex, const QString& step)
{
    const int k = m_session->CurrentKeyIndex();
    if (keyIndex != k && keyIndex != -1) {
        return;
    }
    const QString label = m_session->keyIndexValid(k) ? m_session->keyInfo(k).labelText().trimmed() : QString();
    m_busyLine->setText(KeyWaitingText(label, step));
    m_busyLine->raise();
    m_busyLine->show();
}

} // namespace kx
