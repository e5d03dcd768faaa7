// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "AppInfo.h"
#include "LanguageInfo.h"
#include "UserConfig.h"

#include <QString>

namespace kx {

// What a program starts with: the application information, the user configuration and the
// language chosen from them, read in that order from the folders of the current context.
struct StartupConfiguration
{
    int appInfoResult = 0;
    TAPPInfo appInfo;
    // The application information files read: the installation's, then the administrator's.
    QStringList appInfoFiles;
    QString userConfigPath;
    int userConfigResult = 0;
    TUserConfigInfo userConfig;
    QString languageListPath;
    TLanguageInfo languages;
    LanguageChoice language;
    int languageLoadResult = 0;
    // Set when start-up cannot go on (a language identifier that is no integer).
    QString error;
    // Problems that start-up survives (a refused or unreadable language file).
    QStringList warnings;
};

// Reads "APPInfo.ini" (the installation's, then the administrator's over it), "UserConfig.ini" and "Languages/LanguageInfo.ini" and loads the chosen
// language file into this program's language.
StartupConfiguration LoadStartupConfiguration();

// Makes list entry `entry` the language in use: loads its language file into this program's
// language and switches Qt's own texts to the same language. An entry out of range or whose file
// is missing leaves the texts as they are and Qt in their (built-in) language. Returns the load's
// result; `error` as for LoadLanguageFile.
int UseLanguageEntry(const TLanguageInfo& languages, int entry, QString* error = nullptr);

// Writes the CSP language value of list entry `entry` (the first entry when `entry` is out of
// range) to the registry place named by the application information. Returns the write's result,
// 0 when the list is empty and there is nothing to write.
int WriteLanguageCSP(const TAPPInfo& appInfo, const TLanguageInfo& languages, int entry);

} // namespace kx
