// SPDX-License-Identifier: Apache-2.0
#include "TMainForm.h"

#include "ActionBinding.h"
#include "HoverItemDelegate.h"
#include "PackageQuery.h"
#include "SysVersion.h"
#include "TreeIcons.h"
#include "ui_TMainForm.h"

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/OpenURL.h"
#include "common/ProcessLauncher.h"
#include "common/RegistryAccess.h"
#include "common/UserFolder.h"
#include "common/widgets/ListAddRow.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "token/DesktopRegistration.h"
#include "common/widgets/WindowPlacement.h"
#include "token/ModuleInfo.h"
#include "token/TUSB.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QPixmap>
#include <QShowEvent>
#include <QTimer>

namespace kx {

namespace {

struct TimerSpec
{
    const char* name;
    int interval;
};

constexpr TimerSpec kTimers[] = {
    {"TFindUSBKey", 100},   {"TCloseProject", 500}, {"TCheckInit", 400},
    {"TSetFocusUPIN", 100}, {"TRegCert", 1000},     {"TimerCert", 2000},
};

// Rows of the system check that are completed later, and the label of a version.
constexpr int kBrowserRow = 1;
constexpr int kProviderRow = 3;
const QString kVersionLabel = QStringLiteral(" Version：");

// A field label: the text followed by a colon, unless the text already ends with one (the
// Chinese texts bring their own full-width colon).
QString WithColon(const QString& text)
{
    if (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A))) {
        return text;
    }
    return text + QLatin1Char(':');
}

// The page control's sheets by page index.
QWidget* sheetFor(Ui::TMainForm& ui, int pageIndex)
{
    switch (pageIndex) {
    case TMainForm::PageKeyInfo:
        return ui.TabSheet1;
    case TMainForm::PageUserPIN:
        return ui.TabSheet2;
    case TMainForm::PageKeyName:
        return ui.TabSheet3;
    case TMainForm::PageLogin:
        return ui.TabSheet4;
    case TMainForm::PageCertificates:
        return ui.TabSheet5;
    case TMainForm::PageSystemInfo:
        return ui.TabSheet6;
    case TMainForm::PageAbout:
        return ui.TabSheet7;
    case TMainForm::PageFinger:
        return ui.TabSheet15;
    case TMainForm::PageFingerPictures:
        return ui.TabSheet17;
    case TMainForm::PageRemoteUnlock:
        return ui.TabSheet20;
    default:
        return nullptr;
    }
}

} // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent), m_ui(std::make_unique<Ui::TMainForm>()),
      m_keyTable(std::make_unique<std::array<TR7Info, kKeyTableSize>>())
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("TMainForm"));
    setFixedSize(674, 432);
    // PIN fields show one "*" per character.
    setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    m_ui->tv->setHeaderHidden(true);
    // The node under the mouse is highlighted.
    m_ui->tv->setMouseTracking(true);
    m_ui->tv->viewport()->setAttribute(Qt::WA_Hover);
    m_ui->tv->setItemDelegate(new HoverItemDelegate(m_ui->tv));
    m_ui->tvCert->setHeaderHidden(true);
    createTimers();
    createActions();
    createCertActions();
    createFingerActions();
    createUnlockActions();
    createSystemCheck();
    ApplyTexts();
    SwitchFingerTexts(0);
    InitialiseMainWindow();
    CentreOnScreen(this);
}

TMainForm::~TMainForm()
{
    if (m_libraryOpened) {
        uninit_pkcs11();
    }
}

QTimer* TMainForm::timer(const char* name) const
{
    return findChild<QTimer*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

QAction* TMainForm::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

QAction* TMainForm::makeAction(const char* name, void (TMainForm::*execute)(), QAbstractButton* button)
{
    auto* a = new QAction(this);
    a->setObjectName(QString::fromLatin1(name));
    connect(a, &QAction::triggered, this, execute);
    if (button) {
        BindButtonToAction(button, a);
    }
    return a;
}

void TMainForm::createActions()
{
    makeAction("AcFindKeyRefresh", &TMainForm::AcFindKeyRefreshExecute, m_ui->Button7);
    makeAction("AcLogin", &TMainForm::AcLoginExecute, m_ui->btnlogon);
    makeAction("AcCancel", &TMainForm::AcCancelExecute, m_ui->RzButton3);
    makeAction("Aclogout", &TMainForm::AclogoutExecute, m_ui->btnLogout);
    makeAction("AcSetUserPIN", &TMainForm::AcSetUserPINExecute, m_ui->btnSetUPIN);
    makeAction("AcSetKeyName", &TMainForm::AcSetKeyNameExecute, m_ui->btnSetKeyName);
    // The fingerprint logon is offered only on keys with a sensor.
    auto* fingerLogon = new QAction(this);
    fingerLogon->setObjectName(QStringLiteral("AcFingerlogon"));
    fingerLogon->setVisible(false);
    BindButtonToAction(m_ui->Button20, fingerLogon);

    connect(m_ui->edtUPIN, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_ui->Label10->setText(QString::number(text.size()));
        AcLoginUpdate();
    });
    for (QLineEdit* edit : {m_ui->edtOldUPin, m_ui->edtNewUPin1, m_ui->edtNewUPin2}) {
        connect(edit, &QLineEdit::textChanged, this, &TMainForm::AcSetUserPINUpdate);
    }
    connect(m_ui->edtNewUPin1, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN, text); });
    connect(m_ui->edtKeyName, &QLineEdit::textChanged, this, &TMainForm::AcSetKeyNameUpdate);
    m_ui->edtUPIN->installEventFilter(this);
    m_ui->edtNewUPin2->installEventFilter(this);
    connect(m_ui->tv, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { tvChange(current); });
    m_ui->Label19->installEventFilter(this);
    m_ui->Label20->installEventFilter(this);
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
    connect(timer("TSetFocusUPIN"), &QTimer::timeout, this, [this] {
        timer("TSetFocusUPIN")->stop();
        m_ui->edtUPIN->setFocus();
    });
}

void TMainForm::ApplyTexts()
{
    const LanguageTexts& texts = Language();
    setFont(QFont(texts.fontName(), texts.fontSize()));
    setWindowTitle(Lang("P_Caption") + QStringLiteral("  V") + QCoreApplication::applicationVersion());
    if (QTreeWidgetItem* root = m_ui->tv->topLevelItem(0)) {
        root->setText(0, Lang("Main_Form_Treeview"));
    }
    m_ui->lv->setHeaderLabels({Lang("Main_Form_ListView_Item1"), Lang("Main_Form_ListView_ITem2")});
    m_ui->LVSystemInfo->setHeaderLabels({Lang("CheckSys_Form_lv_Item1"), Lang("CheckSys_Form_lv_Item2")});

    auto caption = [this](const char* actionName, LangKey key) {
        if (QAction* a = action(actionName)) {
            a->setText(Language().text(key));
        }
    };
    caption("AcFindKeyRefresh", "Main_Form_btn_Refresh");
    caption("AcLogin", "Login_Form_btn_OK");
    caption("AcCancel", "C_Btn_Cancel");
    caption("Aclogout", "K_Logout");
    caption("AcSetUserPIN", "C_btn_Set");
    caption("AcSetKeyName", "C_btn_Set");
    caption("AcFingerlogon", "F_Logon");
    caption("AcFingerTest", "F_Finger_Test");
    caption("AcFingerUnlock", "F_User_Unlock");
    caption("AcFingerDel", "F_Finger_Del");
    caption("AcRequest", "P_Gen");
    caption("AcRemoteUnLock", "P_Unlock");
    caption("Acrefresh", "Main_Form_btn_Refresh");
    caption("AcInputCert", "Main_Form_btn_Import");
    caption("AcOutput", "Main_Form_btn_Output");
    caption("AcDel", "Main_Form_btn_Del");
    caption("AcListCert", "btn_ViewCert");
    caption("AcRegCert", "K_Cert_Reg");
    caption("AcUnRegCert", "K_Cert_UnReg");
    caption("AcDelCert", "K_Cert_Del");

    m_ui->Label14->setText(WithColon(Lang("Login_Form_label_keyname")));
    m_ui->RzLabel1->setText(WithColon(Lang("Lonin_Form_lable_Key")));
    m_ui->Label2->setText(WithColon(Lang("UPINSet_Form_OldPIN")));
    m_ui->Label3->setText(WithColon(Lang("UPINSet_Form_NewPIN1")));
    m_ui->Label47->setText(WithColon(Lang("UPINSet_Form_NewPIN1")));
    m_ui->Label4->setText(WithColon(Lang("UPINSet_Form_NewPIN2")));
    m_ui->Label48->setText(WithColon(Lang("UPINSet_Form_NewPIN2")));
    m_ui->Label8->setText(WithColon(Lang("KeyName_Form_Lable")));

    m_ui->Label17->setText(Lang("About_Form_Label_URL"));
    m_ui->Label18->setText(Lang("About_Form_Label_Email"));
    m_ui->Label15->setText(Lang("About_Form_label_CopyRight"));
    m_ui->Label20->setText(Lang("About_Form_Label_URL_Info"));
    m_ui->Label19->setText(Lang("About_Form_Label_Email_Info"));

    m_ui->PCFinger->setTabText(0, Lang("F_User_Finger"));
    m_ui->LFingerInfo1->setText(Lang("F_Finger_Info1"));

    m_ui->RzGroupBox8->setTitle(Lang("P_Remoteunlock"));
    m_ui->Label44->setText(WithColon(Lang("P_Request")));
    m_ui->Label45->setText(WithColon(Lang("P_Resporse")));
    m_ui->Label46->setText(WithColon(QStringLiteral("初始口令")));
    if (QAction* study = action("AcFingerStudy")) {
        study->setText(QStringLiteral("指纹学习"));
    }
}

void TMainForm::InitialiseMainWindow()
{
    // 1. The monitor's PIN dialog is open: the manager does not run beside it.
    if (WindowClassExists(QString::fromLatin1(kPinDialogWindowClass))) {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    // 2. Login states.
    LoginState.fill(0);
    // 3. The window's own application information and the listed product identifiers.
    ReadAPPInfo(APPInfoPath(), m_appInfo);
    QString pidError;
    if (ParsePIDList(m_appInfo.PID, PIDList, &pidError) != 0) {
        InfoBox(this, pidError);
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    // The SKF library of the fingerprint and remote unlock functions; without it those
    // functions report that no key is there.
    SkfLibrary::Load(m_appInfo.SKFLib);
    loadFingerPictures(QStringLiteral("res/Finger/"));
    // 4. The system list shows no small pictures.
    m_ui->LVSystemInfo->setIconSize(QSize(0, 0));
    // 5. Hot-plug notifications.
    m_usb = new TUSB(this);
    connect(m_usb, &TUSB::OnArrival, this, &TMainForm::USBArrival);
    connect(m_usb, &TUSB::OnRemoval, this, &TMainForm::USBRemoval);
    // 6. Pages without tabs; the key information first.
    showPage(PageKeyInfo);
    // 7. The certificate actions the language shows.
    action("AcDelCert")->setVisible(Language().switchOn("config_Cert_Del"));
    action("AcInputCert")->setVisible(Language().switchOn("config_Cert_Input"));
    action("AcDel")->setVisible(Language().switchOn("config_Cont_Del"));
    action("AcOutput")->setVisible(Language().switchOn("config_Cert_Output"));
    // 8. The three roots of the tree.
    BuildTreeRoots();
    // 9. Character count of the PIN field.
    m_ui->Label10->setText(QString::number(m_ui->edtUPIN->text().size()));
    // 10. The user configuration.
    m_userConfig = TUserConfigInfo{};
    m_userConfigPath = UserConfigPath(m_appInfo.CfgPath);
    ReadUserConfig(m_userConfigPath, m_userConfig);
    // 11. Pictures beside the executable.
    const QString banner = pathBesideExecutable(QStringLiteral("res/top_img.jpg"));
    if (QFileInfo::exists(banner)) {
        m_ui->Image1->setPixmap(QPixmap(banner));
    }
    // 13. The monitor, when it lies beside the manager; its own single-instance rule makes a
    // second start harmless.
    if (!m_appInfo.APPMonName.isEmpty()) {
        const QString monitor = pathBesideExecutable(m_appInfo.APPMonName);
        if (QFileInfo(monitor).isFile()) {
            ProcessLauncher::current().startDetached(monitor, {});
        }
    }
    // 14. A "W2F" product has no fingerprint logon.
    if (windowTitle().startsWith(QStringLiteral("W2F"))) {
        action("AcFingerlogon")->setVisible(false);
    }
    // 15. Strength meters start empty.
    ClearPINStrength(m_ui->PStrength_UPIN);
    ClearPINStrength(m_ui->PStrength_UPIN_RM);

    m_endpoint = new CommandEndpoint(QString::fromLatin1(kManagerWindowClass), this);
    connect(m_endpoint, &CommandEndpoint::commandReceived, this, &TMainForm::handleCommand);
    connect(m_endpoint, &CommandEndpoint::systemCommandReceived, this, &TMainForm::handleSystemCommand);
    updateActions();
    m_initialised = true;
}

void TMainForm::BuildTreeRoots()
{
    m_ui->tv->clear();
    struct Root
    {
        LangKey key;
        int image;
    };
    const Root roots[] = {
        {"Main_Form_Treeview", 9}, {"Main_Form_PopupMenu_CheceSystem", 10}, {"Main_Form_PopupMenu_About", 7}};
    for (const Root& r : roots) {
        auto* root = new QTreeWidgetItem(m_ui->tv, {Language().text(r.key)});
        root->setIcon(0, TreeIcon(r.image));
    }
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!event->spontaneous() && m_initialised) {
        // The token library opens 300 ms after the window is shown, so the window paints first.
        QTimer::singleShot(300, this, &TMainForm::openTokenLibrary);
    }
}

void TMainForm::openTokenLibrary()
{
    const int result =
        InitTokenLibrary(m_appInfo.PKCS11Lib, m_appInfo.USBEnumString, m_appInfo.OEMID, m_appInfo.APPName);
    m_libraryOpened = true;
    if (result == 0) {
        LibraryReady = true;
        DesktopRegistration::instance().configure(DesktopRegistration::settingsFor(m_appInfo));
        RefreshKeyList();
    } else {
        LibraryReady = false;
        timer("TCloseProject")->start();
    }
    timer("TCheckInit")->start();
}

void TMainForm::TCloseProjectTimer()
{
    timer("TCloseProject")->stop();
    InfoBox(this, Lang("K_pkcs11Init_Error"));
    close();
}

int TMainForm::ActivePageIndex() const
{
    for (int index = 0; index <= PageRemoteUnlock; ++index) {
        if (QWidget* sheet = sheetFor(*m_ui, index); sheet && m_ui->RPC->currentWidget() == sheet) {
            return index;
        }
    }
    return -1;
}

void TMainForm::showPage(int pageIndex)
{
    if (QWidget* sheet = sheetFor(*m_ui, pageIndex)) {
        m_ui->RPC->setCurrentWidget(sheet);
    }
}

QTreeWidgetItem* TMainForm::keyNode(int keyIndex) const
{
    QTreeWidgetItem* root = m_ui->tv->topLevelItem(0);
    return root ? root->child(keyIndex) : nullptr;
}

void TMainForm::tvChange(QTreeWidgetItem* node)
{
    if (!node) {
        return;
    }
    int level = 0;
    for (QTreeWidgetItem* up = node->parent(); up; up = up->parent()) {
        ++level;
    }
    QTreeWidgetItem* key = node;
    while (key->parent() && key->parent()->parent()) {
        key = key->parent();
    }
    const int keyPosition = key->parent() ? key->parent()->indexOfChild(key) : m_ui->tv->indexOfTopLevelItem(key);
    const int index = node->parent() ? node->parent()->indexOfChild(node) : m_ui->tv->indexOfTopLevelItem(node);
    if (keyPosition != CurrentKeyIndex) {
        // A PIN typed for one key is never offered to another.
        ClearSecretField(m_ui->edtUPIN);
    }
    CurrentKeyIndex = keyPosition;

    if (level == 0) {
        if (index == 1) {
            showPage(PageSystemInfo);
            RunSystemCheck();
        } else if (index == 2) {
            showPage(PageAbout);
        }
    } else if (level == 1) {
        showPage(PageKeyInfo);
        CurrentKeyIndex = index;
        ShowKeyInfo(CurrentKeyIndex);
    } else if (keyIndexValid(CurrentKeyIndex)) {
        const TR7Info& info = keyInfo(CurrentKeyIndex);
        switch (index) {
        case 0:
            showPage(PageUserPIN);
            break;
        case 1:
            showPage(PageKeyName);
            m_ui->edtKeyName->setText(info.labelText().trimmed());
            break;
        case 2:
            if (LoginState[static_cast<std::size_t>(CurrentKeyIndex)] == 2) {
                LoadCertTree(CurrentKeyIndex);
                UpdateCertActions();
                showPage(PageCertificates);
            } else {
                showPage(PageLogin);
                if (FingerSupported) {
                    FingerPageRefresh(m_skf.FingerUserType);
                }
                m_ui->Lkeyname->setText(info.labelText());
                timer("TSetFocusUPIN")->start();
            }
            break;
        case 3:
            if (FingerSupported) {
                FingerPageRefresh(m_skf.FingerUserType);
                m_ui->PCFinger->setTabText(0, Lang("F_User_Finger"));
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

void TMainForm::RunSystemCheck()
{
    QTreeWidget* list = m_ui->LVSystemInfo;
    list->clear();
    ListAddRow(list, Lang("S_System_Ver"), OSName());
    // The browser: a version in the registry, else the default browser's name and, once the
    // package database answered, its package's version; the browser itself is never started.
    QString browserRow = IEVersion();
    const BrowserInfo browser = browserRow.isEmpty() ? DefaultBrowser() : BrowserInfo{};
    if (browserRow.isEmpty()) {
        browserRow = (browser.name.isEmpty() ? QStringLiteral("Browser") : browser.name) + kVersionLabel;
    }
    ListAddRow(list, Lang("S_IE_Ver"), browserRow);
    // The provider counts as registered when its registry entry exists or the desktop's programs
    // load the key's module; the places that load it follow in brackets.
    const QStringList places = DesktopRegistration::registeredPlaces(DesktopRegistration::settingsFor(m_appInfo));
    QString registered = CSPInstalled(m_appInfo.CSPName).isEmpty() && places.isEmpty() ? Lang("S_CSP_NullInstall")
                                                                                       : Lang("S_CSP_Install");
    if (!places.isEmpty()) {
        registered += QStringLiteral(" (") + places.join(QStringLiteral("; ")) + QLatin1Char(')');
    }
    ListAddRow(list, Lang("S_CSP_State"), registered);
    // The provider's library: the module's own version until the package that installed it says.
    const QString provider = LibraryFile(m_appInfo.CSPLib);
    const ModuleInfo providerModule = ReadModuleInfo(provider);
    ListAddRow(list, Lang("S_CSP_Ver"), providerModule.read ? providerModule.versionText() : FileVersionText(provider));
    // The key's PKCS#11 module says its own version; its path tells which file was asked.
    const QString module = LibraryFile(m_appInfo.PKCS11Lib);
    const ModuleInfo moduleInfo = ReadModuleInfo(module);
    QString moduleRow = moduleInfo.read ? moduleInfo.versionText() : FileVersionText(module);
    if (!module.isEmpty()) {
        moduleRow += QStringLiteral(" (") + module + QLatin1Char(')');
    }
    ListAddRow(list, Lang("S_PKCS11_Ver"), moduleRow.trimmed());
    list->resizeColumnToContents(0);

    m_providerPackage->ask(provider);
    if (!browser.executable.isEmpty()) {
        m_browserPackage->ask(browser.executable);
    } else {
        m_browserPackage->ask(QString());
    }
    m_browserName = browser.name;
}

void TMainForm::createSystemCheck()
{
    m_providerPackage = new PackageQuery(this);
    m_browserPackage = new PackageQuery(this);
    // The package database answers later; the rows change only while the check they belong to
    // is shown.
    connect(m_providerPackage, &PackageQuery::answered, this, [this](const QString& package, const QString& version) {
        QTreeWidgetItem* row = m_ui->LVSystemInfo->topLevelItem(kProviderRow);
        if (row && !version.isEmpty()) {
            row->setText(1, version + QStringLiteral(" (") + package + QLatin1Char(')'));
        }
    });
    connect(m_browserPackage, &PackageQuery::answered, this, [this](const QString&, const QString& version) {
        QTreeWidgetItem* row = m_ui->LVSystemInfo->topLevelItem(kBrowserRow);
        if (row && !version.isEmpty() && !m_browserName.isEmpty()) {
            row->setText(1, m_browserName + kVersionLabel + version);
        }
    });
}

void TMainForm::handleCommand(const QString& text)
{
    if (text == QStringLiteral("CLOSE")) {
        close();
    }
    if (text == QStringLiteral("LoadCert") && !m_importRunning) {
        if (ActivePageIndex() == PageCertificates) {
            AcrefreshExecute();
        } else if (CurrentKeyIndex >= 0 && CurrentKeyIndex < kKeyTableSize) {
            LoginState[static_cast<std::size_t>(CurrentKeyIndex)] = 1;
        }
    }
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

void TMainForm::openAboutLink(bool mail)
{
    if (mail) {
        OpenURL(this, QStringLiteral("mailto:") + m_ui->Label19->text(), false);
    } else if (!OpenURL(this, m_ui->Label20->text(), false)) {
        OpenURL(this, m_ui->Label20->text(), true);
    }
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        if (enter && watched == m_ui->edtUPIN) {
            AcLoginExecute(); // Enter tries the login even while the button is disabled
            return true;
        }
        if (enter && watched == m_ui->edtNewUPin2) {
            AcSetUserPINExecute();
            return true;
        }
    } else if (event->type() == QEvent::FocusIn && watched == m_ui->edtUPIN) {
        m_ui->edtUPIN->setStyleSheet(QStringLiteral("background-color: rgb(255, 255, 0);"));
    } else if (event->type() == QEvent::FocusOut && watched == m_ui->edtUPIN) {
        m_ui->edtUPIN->setStyleSheet(QString());
    } else if (event->type() == QEvent::MouseButtonRelease && (watched == m_ui->Label19 || watched == m_ui->Label20)) {
        openAboutLink(watched == m_ui->Label19);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::updateActions()
{
    AcLoginUpdate();
    AcSetUserPINUpdate();
    AcSetKeyNameUpdate();
    AcFingerlogonUpdate();
    AcRemoteUnLockUpdate();
}

} // namespace kx
