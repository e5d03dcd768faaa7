// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "LanguageTable.h"

#include <QString>

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace kx {

// A language entry named by its key. Built from a string literal at compile time, so a key that
// is not in the language table does not compile: Lang("K_Set_No").
class LangKey
{
public:
    template <std::size_t N>
    consteval LangKey(const char (&key)[N]) : m_index(find(std::string_view(key, N - 1)))
    {}
    static LangKey fromIndex(std::size_t index) { return LangKey(index, 0); }
    // The entry of a key known only at run time; nullopt for a key that is not in the table.
    static std::optional<LangKey> lookup(std::string_view key)
    {
        for (std::size_t i = 0; i < kTextDefinitions.size(); ++i) {
            if (kTextDefinitions[i].key == key) {
                return fromIndex(i);
            }
        }
        return std::nullopt;
    }
    constexpr std::size_t index() const { return m_index; }

private:
    constexpr LangKey(std::size_t index, int) : m_index(index) {}
    static consteval std::size_t find(std::string_view key)
    {
        for (std::size_t i = 0; i < kTextDefinitions.size(); ++i) {
            if (kTextDefinitions[i].key == key) {
                return i;
            }
        }
        throw "unknown language key"; // reaching this stops compilation
    }
    std::size_t m_index;
};

// The current language: every text the programs show and the four switches of the certificate
// actions, starting from the built-in Chinese values, replaced by a language file when one is
// loaded. The fingerprint wording can be saved, restored and switched to the finger-vein set.
class LanguageTexts
{
public:
    static constexpr std::size_t kCount = kTextDefinitions.size();
    static constexpr std::size_t kFingerTextCount = 41;
    // What a text key missing from a language file reads as.
    static inline const QString kMissingText = QStringLiteral(" ");
    static constexpr int kDefaultFontSize = 9;

    LanguageTexts();

    QString text(LangKey key) const { return m_texts[key.index()]; }
    void setText(LangKey key, const QString& value) { m_texts[key.index()] = value; }
    // The integer value of a switch entry.
    int switchValue(LangKey key) const { return m_switches[key.index()]; }
    // A switch shows its action when the low byte of its value is not 0.
    bool switchOn(LangKey key) const { return (switchValue(key) & 0xFF) != 0; }

    QString fontName() const { return text("FontName"); }
    // `FontSize` as an integer; a size that is no positive integer falls back to 9 points.
    int fontSize() const;

    // Reads every entry of section "Caption" of the file at `path`. A missing file changes nothing
    // and returns 0. A file that cannot be read also changes nothing, returns 1 and says why in
    // `error`. A text missing from the file reads as " "; a missing switch as 0, except
    // config_Cert_Output, which reads as 1.
    int load(const QString& path, QString* error = nullptr);

    // 0 saves the current fingerprint wording, 1 restores the saved wording, 2 puts the
    // finger-vein wording of the language in use in its place. Other modes do nothing.
    void switchFingerTexts(int mode);

    // The keys of the fingerprint wording, and the built-in finger-vein value of one of them.
    static const std::array<LangKey, kFingerTextCount>& fingerTextKeys();
    static QString fingerVeinText(LangKey key);
    // A fingerprint text worded for a finger-vein sensor, in Chinese or English.
    static QString veinWording(QString text);
    static QString builtinText(LangKey key);

private:
    std::array<QString, kCount> m_texts;
    std::array<int, kCount> m_switches{};
    std::array<QString, kFingerTextCount> m_savedFingerTexts;
};

// The language of this program.
LanguageTexts& Language();

// The current text of `key` in this program's language.
inline QString Lang(LangKey key)
{
    return Language().text(key);
}

// Loads a language file into this program's language (see LanguageTexts::load).
int LoadLanguageFile(const QString& path, QString* error = nullptr);

// Switches this program's fingerprint wording (see LanguageTexts::switchFingerTexts).
void SwitchFingerTexts(int mode);

} // namespace kx
