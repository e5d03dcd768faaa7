// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace kx {

// The installed languages from "Languages/LanguageInfo.ini", in the order of its sections.
struct TLanguageInfo
{
    static constexpr int kCapacity = 129;
    std::array<QString, kCapacity> LanguageID;
    std::array<QString, kCapacity> LanguageName;
    std::array<QString, kCapacity> LanguageFile;
    std::array<QString, kCapacity> LanguageCSP;
    std::int32_t count = 0;
};

// The folder of the language files beside the executable, with a trailing "/".
QString LanguagesFolder();

// Reads the language list at `path`; the first 129 sections are kept, later ones are ignored. A
// missing file gives an empty list and 0; an unreadable one an empty list and 1.
int ReadLanguageList(const QString& path, TLanguageInfo& list);

// The path of a language file named in the list, inside `languagesFolder`. A name that would lead
// out of that folder (an absolute path or a ".." part) gives an empty path, which names no file.
QString LanguageFilePath(const QString& languagesFolder, const QString& fileName);

// The outcome of choosing the start-up language.
struct LanguageChoice
{
    int entry = -1;   // index of the chosen entry, -1 when the list is empty or on an error
    QString filePath; // the language file to load; empty when there is none
    QString error;    // set when the choice stopped at an identifier that is no integer
    QString warning;  // set when the chosen entry's file name was refused
};

// Picks the entry whose identifier equals `languageID`, the first entry when none does. The
// identifiers are read in list order up to the matching one; one that is no integer ends the
// choice with `error` set.
LanguageChoice ChooseLanguage(const TLanguageInfo& list, std::int32_t languageID, const QString& languagesFolder);

} // namespace kx
