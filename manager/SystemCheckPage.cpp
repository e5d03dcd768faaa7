// SPDX-License-Identifier: Apache-2.0
#include "SystemCheckPage.h"

#include "KeySession.h"
#include "PackageQuery.h"
#include "SysVersion.h"
#include "WrappingItemDelegate.h"
#include "ui_SystemCheckPage.h"

#include "common/AppInfo.h"
#include "common/LanguageTexts.h"
#include "common/RegistryAccess.h"
#include "common/widgets/ListAddRow.h"
#include "token/DesktopRegistration.h"
#include "token/ModuleInfo.h"

#include <QHeaderView>

namespace kx {

namespace {

// Rows of the system check that are completed later, and the label of a version.
constexpr int kBrowserRow = 1;
constexpr int kProviderRow = 3;
const QString kVersionLabel = QStringLiteral(" Version：");

// Shows `value` in a row's value column, whole also as its tooltip.
void setValue(QTreeWidgetItem* row, const QString& value)
{
    row->setText(1, value);
    row->setToolTip(1, value);
}

void addRow(QTreeWidget* list, const QString& caption, const QString& value)
{
    ListAddRow(list, caption, value);
    QTreeWidgetItem* row = list->topLevelItem(list->topLevelItemCount() - 1);
    row->setToolTip(0, caption);
    setValue(row, value);
}

} // namespace

SystemCheckPage::SystemCheckPage(const KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::SystemCheckPage>()), m_session(session)
{
    m_ui->setupUi(this);
    QTreeWidget* list = m_ui->LVSystemInfo;
    // The system list shows no small pictures.
    list->setIconSize(QSize(0, 0));
    // Paths and version texts are longer than the list is wide at large fonts or scales: they
    // wrap into more lines, the value column takes the width the captions leave, and nothing is
    // cut off with an ellipsis.
    list->setItemDelegate(new WrappingItemDelegate(list));
    list->setWordWrap(true);
    list->setTextElideMode(Qt::ElideNone);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->header()->setStretchLastSection(true);
    // Rows keep the heights of the widths they were laid out in: a column resized by hand lays
    // them out again, once the header has settled.
    connect(list->header(), &QHeaderView::sectionResized, list, &QTreeView::doItemsLayout, Qt::QueuedConnection);
    m_providerPackage = new PackageQuery(this);
    m_browserPackage = new PackageQuery(this);
    // The package database answers later; the rows change only while the check they belong to
    // is shown.
    connect(m_providerPackage, &PackageQuery::answered, this, [this](const QString& package, const QString& version) {
        QTreeWidgetItem* row = m_ui->LVSystemInfo->topLevelItem(kProviderRow);
        if (row && !version.isEmpty()) {
            setValue(row, version + QStringLiteral(" (") + package + QLatin1Char(')'));
        }
    });
    connect(m_browserPackage, &PackageQuery::answered, this, [this](const QString&, const QString& version) {
        QTreeWidgetItem* row = m_ui->LVSystemInfo->topLevelItem(kBrowserRow);
        if (row && !version.isEmpty() && !m_browserName.isEmpty()) {
            setValue(row, m_browserName + kVersionLabel + version);
        }
    });
    ApplyTexts();
}

SystemCheckPage::~SystemCheckPage() = default;

void SystemCheckPage::ApplyTexts()
{
    m_ui->LVSystemInfo->setHeaderLabels({Lang("CheckSys_Form_lv_Item1"), Lang("CheckSys_Form_lv_Item2")});
    m_ui->LVSystemInfo->setAccessibleName(Lang("Main_Form_PopupMenu_CheceSystem"));
    fitColumns();
}

void SystemCheckPage::fitColumns()
{
    // The captions as wide as the widest of them, but no more than half the list: a longer
    // caption wraps, and the values keep at least the other half.
    QTreeWidget* list = m_ui->LVSystemInfo;
    list->resizeColumnToContents(0);
    list->setColumnWidth(0, std::min(list->columnWidth(0), list->viewport()->width() / 2));
    list->doItemsLayout();
}

void SystemCheckPage::RunSystemCheck()
{
    const TAPPInfo& app = m_session.appInfo();
    QTreeWidget* list = m_ui->LVSystemInfo;
    list->clear();
    addRow(list, Lang("S_System_Ver"), OSName());
    // The browser: a version in the registry, else the default browser's name and, once the
    // package database answered, its package's version; the browser itself is never started.
    QString browserRow = IEVersion();
    const BrowserInfo browser = browserRow.isEmpty() ? DefaultBrowser() : BrowserInfo{};
    if (browserRow.isEmpty()) {
        browserRow = (browser.name.isEmpty() ? QStringLiteral("Browser") : browser.name) + kVersionLabel;
    }
    addRow(list, Lang("S_IE_Ver"), browserRow);
    // The provider counts as registered when its registry entry exists or the desktop's programs
    // load the key's module; the places that load it follow in brackets.
    const QStringList places = DesktopRegistration::registeredPlaces(DesktopRegistration::settingsFor(app));
    QString registered =
        CSPInstalled(app.CSPName).isEmpty() && places.isEmpty() ? Lang("S_CSP_NullInstall") : Lang("S_CSP_Install");
    if (!places.isEmpty()) {
        registered += QStringLiteral(" (") + places.join(QStringLiteral("; ")) + QLatin1Char(')');
    }
    addRow(list, Lang("S_CSP_State"), registered);
    // The provider's library: the module's own version until the package that installed it says.
    const QString provider = LibraryFile(app.CSPLib);
    const ModuleInfo providerModule = ReadModuleInfo(provider);
    addRow(list, Lang("S_CSP_Ver"), providerModule.read ? providerModule.versionText() : FileVersionText(provider));
    // The key's PKCS#11 module says its own version; its path tells which file was asked.
    const QString module = LibraryFile(app.PKCS11Lib);
    const ModuleInfo moduleInfo = ReadModuleInfo(module);
    QString moduleRow = moduleInfo.read ? moduleInfo.versionText() : FileVersionText(module);
    if (!module.isEmpty()) {
        moduleRow += QStringLiteral(" (") + module + QLatin1Char(')');
    }
    addRow(list, Lang("S_PKCS11_Ver"), moduleRow.trimmed());
    // The application information files in use: the installation's, and the administrator's
    // over it when there is one.
    TAPPInfo current;
    QStringList files;
    ReadInstalledAPPInfo(current, &files);
    addRow(list, Lang("S_Config_Files"), files.join(QStringLiteral("; ")));
    fitColumns();

    m_providerPackage->ask(provider);
    m_browserPackage->ask(browser.executable.isEmpty() ? QString() : browser.executable);
    m_browserName = browser.name;
}

} // namespace kx
