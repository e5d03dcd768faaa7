// SPDX-License-Identifier: Apache-2.0
// The monitor's settings dialog.
#include "TMainForm.h"

#include "TProjectConfigForm.h"

#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "common/UserConfig.h"
#include "common/widgets/MessageBox.h"
#include "token/DesktopRegistration.h"

#include <QApplication>
#include <QPointer>
#include <QScopeGuard>

namespace kx::mon {

// With an empty language list nothing can be chosen: LanguageID stays as it was, no CSP value is
// written and the language is not reloaded.
void TMainForm::AcAdvancedExecute()
{
    if (DefaultPINPromptActive()) {
        return;
    }
    if (m_configDialog) {
        // Only one settings flow at a time: the open dialog, or the notice that ends its flow,
        // comes to the front instead.
        QWidget* front = m_configDialog->isVisible() ? m_configDialog : QApplication::activeModalWidget();
        if (front) {
            front->raise();
            front->activateWindow();
        }
        return;
    }
    // The dialog lives until its whole flow has ended, the closing notice included, so a second
    // menu click meanwhile cannot start another flow that would save older choices after it.
    QPointer<TProjectConfigForm> dialog = new TProjectConfigForm(this);
    m_configDialog = dialog;
    const auto endFlow = qScopeGuard([this, dialog] {
        m_configDialog = nullptr;
        delete dialog.data();
    });

    const QString path = UserConfigPath(m_appInfo.CfgPath);
    TLanguageInfo languages;
    ReadLanguageList(LanguagesFolder() + QStringLiteral("LanguageInfo.ini"), languages);
    QStringList names;
    int selected = languages.count > 0 ? 0 : -1;
    for (int i = 0; i < languages.count; ++i) {
        const QString id = languages.LanguageID[static_cast<std::size_t>(i)];
        bool ok = false;
        const int value = id.trimmed().toInt(&ok);
        if (!ok) {
            InfoBox(this, QStringLiteral("'%1' is not a valid integer value").arg(id));
            return;
        }
        if (value == m_userConfig.LanguageID) {
            selected = i;
        }
        names.append(languages.LanguageName[static_cast<std::size_t>(i)]);
    }

    dialog->fill(m_userConfig);
    dialog->setLanguages(names, selected);
    const int result = dialog->exec();
    if (!dialog || result != QDialog::Accepted) {
        return;
    }
    int entry = -1;
    dialog->read(m_userConfig, entry);
    if (entry >= 0 && entry < languages.count) {
        m_userConfig.LanguageID = languages.LanguageID[static_cast<std::size_t>(entry)].trimmed().toInt();
    }
    m_userConfigPath = path;
    if (WriteUserConfig(path, m_userConfig) != 0) {
        InfoBox(this, Lang("S_Save_No"));
        return;
    }
    // The desktop registration follows the user's switch from now on; what is registered stays.
    if (m_libraryReady) {
        DesktopRegistration::instance().configure(DesktopRegistration::settingsFor(m_appInfo, m_userConfig));
    }
    if (entry < 0 || entry >= languages.count) {
        InfoBox(this, Lang("S_Save_Yes"));
        return;
    }
    // The language's value for the provider is part of the settings: when it cannot be written,
    // saving failed, and the language stays.
    if (WriteLanguageCSP(m_appInfo, languages, entry) != 0) {
        InfoBox(this, Lang("S_Save_No"));
        return;
    }
    InfoBox(this, Lang("S_Save_Yes"));
    UseLanguageEntry(languages, entry);
    ApplyTexts();
}

} // namespace kx::mon
