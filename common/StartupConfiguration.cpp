// SPDX-License-Identifier: Apache-2.0
#include "StartupConfiguration.h"

#include "LanguageTexts.h"
#include "RegistryAccess.h"
#include "UiLanguage.h"

#include <QFileInfo>

namespace kx {

StartupConfiguration LoadStartupConfiguration()
{
    StartupConfiguration config;
    config.appInfoResult = ReadInstalledAPPInfo(config.appInfo, &config.appInfoFiles);
    config.userConfigPath = UserConfigPath(config.appInfo.CfgPath);
    config.userConfigResult = ReadUserConfig(config.userConfigPath, config.userConfig);
    config.languageListPath = LanguagesFolder() + QStringLiteral("LanguageInfo.ini");
    ReadLanguageList(config.languageListPath, config.languages);
    config.language = ChooseLanguage(config.languages, config.userConfig.LanguageID, LanguagesFolder());
    if (!config.language.error.isEmpty()) {
        config.error = config.language.error;
        return config;
    }
    if (!config.language.warning.isEmpty()) {
        config.warnings.append(config.language.warning);
    }
    QString loadError;
    config.languageLoadResult = UseLanguageEntry(config.languages, config.language.entry, &loadError);
    if (!loadError.isEmpty()) {
        config.warnings.append(loadError);
    }
    return config;
}

int UseLanguageEntry(const TLanguageInfo& languages, int entry, QString* error)
{
    if (entry < 0 || entry >= languages.count) {
        UiLanguage::use(UiLanguage::current());
        return 0;
    }
    const auto index = static_cast<std::size_t>(entry);
    const QString path = LanguageFilePath(LanguagesFolder(), languages.LanguageFile[index]);
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        UiLanguage::use(UiLanguage::current());
        return 0;
    }
    const int result = LoadLanguageFile(path, error);
    if (result == 0) {
        UiLanguage::use(languages.LanguageID[index].trimmed().toInt());
    }
    return result;
}

int WriteLanguageCSP(const TAPPInfo& appInfo, const TLanguageInfo& languages, int entry)
{
    if (languages.count <= 0) {
        return 0;
    }
    if (entry < 0 || entry >= languages.count) {
        entry = 0;
    }
    return RegWriteString(appInfo.CSP_RootKey, appInfo.CSP_MainKey, appInfo.CSP_LanguageKey,
                          languages.LanguageCSP[static_cast<std::size_t>(entry)]);
}

} // namespace kx
