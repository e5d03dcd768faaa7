// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <cstdint>

namespace kx {

// The language the programs speak, as Qt knows it: the locale of a language identifier of the
// language list, Qt's own translations for it (the texts of message-box buttons and file dialogs),
// and the programs' own fixed messages in that language.
class UiLanguage
{
public:
    // Simplified Chinese: the language of the built-in texts.
    static constexpr std::int32_t kBuiltinLanguageID = 2052;

    // The locale name of a language identifier (a Windows language code): 2052 "zh_CN", 1033
    // "en", ...; empty for an identifier this table does not know.
    static QString localeName(std::int32_t languageID);

    // Makes `languageID` the language in use: replaces Qt's translations installed before with
    // those of its locale (none for an unknown identifier, so Qt speaks English) and sets the
    // default locale. Needs the application object. True when Qt's translations were found.
    static bool use(std::int32_t languageID);

    // The identifier in use; the built-in language until `use` is called.
    static std::int32_t current();

    // The folder Qt's translation files are read from; tests point it elsewhere.
    static void setTranslationsFolder(const QString& folder);
};

// The programs' own fixed messages, which are not language texts of the language files.
enum class OwnMessage
{
    UnlockCodeTooLong,      // %1: the longest code accepted, in characters
    PIDNotInteger,          // %1: the identifier, %2: the whole list
    LanguageIDNotInteger,   // %1: the identifier, %2: the entry's number
    LanguageFileUnreadable, // %1: the path
    LanguageFileOutside,    // %1: the file name
    NoCertificateViewer,
};

// `message` in the language of `languageID`: Chinese for the Chinese identifiers, English otherwise.
QString OwnText(OwnMessage message, std::int32_t languageID);

// `message` in the language in use.
inline QString OwnText(OwnMessage message)
{
    return OwnText(message, UiLanguage::current());
}

} // namespace kx
