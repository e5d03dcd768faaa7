// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "TextEncoding.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kx::platform {

// Reads a profile integer: optional sign, then decimal digits or "$" followed by hexadecimal
// digits, nothing else, and within the signed 32-bit range. Anything else gives no value.
std::optional<std::int32_t> parseProfileInteger(std::string_view text);

// An INI file in memory, following the private-profile rules of the platform the files come from:
// lines end at CR, LF or CR LF; section and key names compare without case, in every script; the
// first of duplicate sections, and the first of duplicate keys in a section, wins; a value ends at
// its first NUL; blanks (every Unicode white space) around names and values are dropped; a value
// enclosed in one pair of equal single or double quotation marks loses them; a line starting with
// ";" is a comment. Each line is decoded on its own (TextFile). Every line of the file is kept as
// it was stored, with its line end and the byte order mark, so writing a key changes only that
// key's line.
class IniDocument
{
public:
    enum class LoadStatus
    {
        Loaded,
        Missing, // no such file: an empty document, which reads as all defaults
        Failed   // the file exists but could not be read, or is larger than kMaxFileSize
    };

    // How the lines of an 8-bit file become text: decoded (UTF-8, or GB18030 for lines that are
    // not UTF-8), or taken byte for byte, for files whose values are bytes of their own.
    enum class Decoding
    {
        Text,
        Bytes
    };

    // INI files of this system are small; anything above this is refused rather than parsed.
    static constexpr std::size_t kMaxFileSize = 4 * 1024 * 1024;

    LoadStatus load(const std::string& path, Decoding decoding = Decoding::Text);
    // Takes the bytes of a whole file.
    void parse(std::string_view bytes, Decoding decoding = Decoding::Text);

    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    std::string readString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
    std::int32_t readInteger(std::string_view section, std::string_view key, std::int32_t defaultValue) const;
    bool hasSection(std::string_view section) const;
    // Section names in file order, duplicates left out.
    std::vector<std::string> sectionNames() const;

    // Sets a value, adding the key at the end of its section and the section at the end of the file
    // when they are missing. A value with blanks at its ends or enclosing quotation marks is written
    // quoted so it reads back unchanged. Refuses (returns false) names that cannot be written as
    // INI names and values with line breaks or NUL characters.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);

    // The file's bytes, in the encoding it was read in.
    std::string serialize() const;
    bool save(const std::string& path) const;

private:
    struct Line
    {
        enum class Kind
        {
            Other,
            Section,
            Entry
        };
        TextLine stored;
        Kind kind = Kind::Other;
        std::string name;
        std::string value;
    };

    static Line parseLine(TextLine stored);
    Line makeLine(const std::string& text) const;
    // The stored bytes of a last line without a line end, when lines are added behind it.
    std::string endedLineBytes(const TextLine& stored) const;
    void rebuildIndex();
    std::optional<std::size_t> sectionLine(std::string_view section) const;

    TextFile m_format;       // encoding and byte order mark of the file; its lines live in m_lines
    bool m_transcode = true; // 8-bit lines decoded (Decoding::Text) or taken byte for byte
    std::vector<Line> m_lines;
    std::string m_lineEnd = "\n"; // stored form of the line end new lines get
    // folded section name -> line of its first header
    std::unordered_map<std::string, std::size_t> m_sections;
    // folded section "\n" folded key -> line of the key's first entry in the first section
    std::unordered_map<std::string, std::size_t> m_entries;
};

// Updates several keys of one section of an INI file in one atomic write, under a lock that
// serialises writers of the same file. A missing file and section are created. Returns 0 on
// success and 1 on failure; on failure the file on disk is left as it was (an existing file that
// cannot be read is never overwritten).
int writeProfileValues(const std::string& path, std::string_view section,
                       const std::vector<std::pair<std::string, std::string>>& values);

} // namespace kx::platform
