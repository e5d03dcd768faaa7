// SPDX-License-Identifier: Apache-2.0
#include "StartupConfiguration.h"

#include "LanguageTexts.h"
#include "RegistryAccess.h"

namespace kx {

StartupConfiguration LoadStartupConfiguration()
{
    StartupConfiguration config;
    config.appInfoResult = ReadAPPInfo(APPInfoPath(), config.appInfo);
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
    config.languageLoadResult = LoadLanguageFile(config.language.filePath, &loadError);
    if (!loadError.isEmpty()) {
        config.warnings.append(loadError);
    }
    return config;
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
