// SPDX-License-Identifier: Apache-2.0
#include "SystemCheckPage.h"

#include "KeySession.h"
#include "PackageQuery.h"
#include "SysVersion.h"
#include "ui_SystemCheckPage.h"

#include "common/LanguageTexts.h"
#include "common/RegistryAccess.h"
#include "common/widgets/ListAddRow.h"
#include "token/DesktopRegistration.h"
#include "token/ModuleInfo.h"

namespace kx {

namespace {

// Rows of the system check that are completed later, and the label of a version.
constexpr int kBrowserRow = 1;
constexpr int kProviderRow = 3;
const QString kVersionLabel = QStringLiteral(" Version：");

} // namespace

SystemCheckPage::SystemCheckPage(const KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::SystemCheckPage>()), m_session(session)
{
    m_ui->setupUi(this);
    // The system list shows no small pictures.
    m_ui->LVSystemInfo->setIconSize(QSize(0, 0));
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
    ApplyTexts();
}

SystemCheckPage::~SystemCheckPage() = default;

void SystemCheckPage::ApplyTexts()
{
    m_ui->LVSystemInfo->setHeaderLabels({Lang("CheckSys_Form_lv_Item1"), Lang("CheckSys_Form_lv_Item2")});
    m_ui->LVSystemInfo->setAccessibleName(Lang("Main_Form_PopupMenu_CheceSystem"));
}

void SystemCheckPage::RunSystemCheck()
{
    const TAPPInfo& app = m_session.appInfo();
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
    const QStringList places = DesktopRegistration::registeredPlaces(DesktopRegistration::settingsFor(app));
    QString registered =
        CSPInstalled(app.CSPName).isEmpty() && places.isEmpty() ? Lang("S_CSP_NullInstall") : Lang("S_CSP_Install");
    if (!places.isEmpty()) {
        registered += QStringLiteral(" (") + places.join(QStringLiteral("; ")) + QLatin1Char(')');
    }
    ListAddRow(list, Lang("S_CSP_State"), registered);
    // The provider's library: the module's own version until the package that installed it says.
    const QString provider = LibraryFile(app.CSPLib);
    const ModuleInfo providerModule = ReadModuleInfo(provider);
    ListAddRow(list, Lang("S_CSP_Ver"), providerModule.read ? providerModule.versionText() : FileVersionText(provider));
    // The key's PKCS#11 module says its own version; its path tells which file was asked.
    const QString module = LibraryFile(app.PKCS11Lib);
    const ModuleInfo moduleInfo = ReadModuleInfo(module);
    QString moduleRow = moduleInfo.read ? moduleInfo.versionText() : FileVersionText(module);
    if (!module.isEmpty()) {
        moduleRow += QStringLiteral(" (") + module + QLatin1Char(')');
    }
    ListAddRow(list, Lang("S_PKCS11_Ver"), moduleRow.trimmed());
    list->resizeColumnToContents(0);

    m_providerPackage->ask(provider);
    m_browserPackage->ask(browser.executable.isEmpty() ? QString() : browser.executable);
    m_browserName = browser.name;
}

} // namespace kx
