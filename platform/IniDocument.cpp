// SPDX-License-Identifier: Apache-2.0
#include "IniDocument.h"

#include "FileUtil.h"
#include "TextEncoding.h"

#include <clocale>
#include <limits>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

namespace kx::platform {

namespace {

// Unicode white space; CR and LF end lines before any of this is looked at.
bool isBlank(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view text)
{
    std::size_t length = 0;
    while (!text.empty() && isBlank(utf8CodePointAt(text, 0, length)) && length > 0) {
        text.remove_prefix(length);
    }
    while (!text.empty()) {
        // The last character starts at the last byte that is not a continuation byte.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        if (!isBlank(utf8CodePointAt(text, start, length)) || start + length != text.size()) {
            break;
        }
        text.remove_suffix(length);
    }
    return text;
}

// The case mapping of the C.UTF-8 locale covers every script; without that locale, ASCII only.
locale_t caseLocale()
{
    static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

// A name in the form names are compared in: every character upper-cased, then lower-cased, so
// that letters with several lower-case forms (such as the final sigma) meet.
std::string fold(std::string_view text)
{
    const locale_t locale = caseLocale();
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = 0;
        char32_t c = utf8CodePointAt(text, i, length);
        if (length == 0) {
            out.push_back(text[i]); // not UTF-8: compared byte for byte
            ++i;
            continue;
        }
        i += length;
        if (c < 0x80 || !locale) {
            if (c >= 'A' && c <= 'Z') {
                c = c - 'A' + 'a';
            }
        } else {
            c = static_cast<char32_t>(::towlower_l(::towupper_l(static_cast<wint_t>(c), locale), locale));
        }
        appendUtf8(out, c);
    }
    return out;
}

std::string entryIndexKey(std::string_view section, std::string_view key)
{
    return fold(section) + '\n' + fold(key);
}

std::string_view stripQuotes(std::string_view value)
{
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool needsQuotes(std::string_view value)
{
    if (value.empty()) {
        return false;
    }
    if (trim(value).size() != value.size()) {
        return true;
    }
    return value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
}

bool validName(std::string_view name, bool isSection)
{
    if (trim(name).empty() || trim(name).size() != name.size()) {
        return false;
    }
    for (const char c : name) {
        if (c == '\n' || c == '\r' || c == '\0' || (isSection && c == ']') || (!isSection && c == '=')) {
            return false;
        }
    }
    return isSection || (name.front() != '[' && name.front() != ';');
}

} // namespace

std::optional<std::int32_t> parseProfileInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (!text.empty() && text.front() == '$') {
        base = 16;
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > (std::int64_t{1} << 32)) {
            return std::nullopt;
        }
    }
    if (negative) {
        value = -value;
    }
    if (base == 16 && !negative && value > std::numeric_limits<std::int32_t>::max() &&
        value <= std::numeric_limits<std::uint32_t>::max()) {
        // "$FFFFFFFF" names the 32-bit pattern, as hexadecimal constants do.
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    }
    if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

IniDocument::Line IniDocument::parseLine(TextLine stored)
{
    Line line;
    line.stored = std::move(stored);
    const std::string_view text = trim(line.stored.text);
    if (text.empty() || text.front() == ';') {
        return line;
    }
    if (text.front() == '[') {
        const auto close = text.find(']');
        const std::string_view name = close == std::string_view::npos ? text.substr(1) : text.substr(1, close - 1);
        line.kind = Line::Kind::Section;
        line.name = std::string(trim(name));
        return line;
    }
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) {
        return line;
    }
    const std::string_view name = trim(text.substr(0, equals));
    if (name.empty()) {
        return line;
    }
    std::string_view value = text.substr(equals + 1);
    value = value.substr(0, value.find('\0'));
    line.kind = Line::Kind::Entry;
    line.name = std::string(name);
    line.value = std::string(stripQuotes(trim(value)));
    return line;
}

IniDocument::Line IniDocument::makeLine(const std::string& text) const
{
    TextLine stored;
    stored.bytes = m_format.encode(text);
    stored.ending = m_lineEnd;
    stored.text = text;
    return parseLine(std::move(stored));
}

void IniDocument::parse(std::string_view bytes, Decoding decoding)
{
    m_transcode = decoding == Decoding::Text;
    m_format = TextFile::read(bytes, m_transcode);
    m_lines.clear();
    m_lineEnd.clear();
    for (TextLine& stored : m_format.lines()) {
        if (m_lineEnd.empty()) {
            m_lineEnd = stored.ending;
        }
        m_lines.push_back(parseLine(std::move(stored)));
    }
    m_format.lines().clear();
    if (m_lineEnd.empty()) {
        m_lineEnd = m_format.encode("\n");
    }
    rebuildIndex();
}

void IniDocument::rebuildIndex()
{
    m_sections.clear();
    m_entries.clear();
    const std::string* currentSection = nullptr;
    bool currentIsFirst = false;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Line::Kind::Section) {
            currentSection = &line.name;
            currentIsFirst = m_sections.emplace(fold(line.name), i).second;
        } else if (line.kind == Line::Kind::Entry && currentSection && currentIsFirst) {
            m_entries.emplace(entryIndexKey(*currentSection, line.name), i);
        }
    }
}

IniDocument::LoadStatus IniDocument::load(const std::string& path, Decoding decoding)
{
    std::string bytes;
    switch (readWholeFile(path, bytes, kMaxFileSize)) {
    case ReadStatus::Ok:
        parse(bytes, decoding);
        return LoadStatus::Loaded;
    case ReadStatus::Missing:
        parse({});
        return LoadStatus::Missing;
    case ReadStatus::Failed:
    case ReadStatus::TooLarge:
        break;
    }
    parse({});
    return LoadStatus::Failed;
}

std::optional<std::size_t> IniDocument::sectionLine(std::string_view section) const
{
    const auto it = m_sections.find(fold(trim(section)));
    if (it == m_sections.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<std::string> IniDocument::value(std::string_view section, std::string_view key) const
{
    const auto it = m_entries.find(entryIndexKey(trim(section), trim(key)));
    if (it == m_entries.end()) {
        return std::nullopt;
    }
    return m_lines[it->second].value;
}

std::string IniDocument::readString(std::string_view section, std::string_view key, std::string_view defaultValue) const
{
    const auto found = value(section, key);
    return found ? *found : std::string(defaultValue);
}

std::int32_t IniDocument::readInteger(std::string_view section, std::string_view key, std::int32_t defaultValue) const
{
    const auto found = value(section, key);
    if (!found) {
        return defaultValue;
    }
    return parseProfileInteger(*found).value_or(defaultValue);
}

bool IniDocument::hasSection(std::string_view section) const
{
    return sectionLine(section).has_value();
}

std::vector<std::string> IniDocument::sectionNames() const
{
    std::vector<std::string> names;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        if (line.kind == Line::Kind::Section) {
            const auto it = m_sections.find(fold(line.name));
            if (it != m_sections.end() && it->second == i) {
                names.push_back(line.name);
            }
        }
    }
    return names;
}

bool IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value)
{
    if (!validName(section, true) || !validName(key, false) ||
        value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        return false;
    }
    std::string written(value);
    if (needsQuotes(value)) {
        written = '"' + written + '"';
    }
    const auto entry = m_entries.find(entryIndexKey(section, key));
    if (entry != m_entries.end()) {
        Line& line = m_lines[entry->second];
        std::string ending = std::move(line.stored.ending);
        line = makeLine(line.name + "=" + written);
        line.stored.ending = std::move(ending);
        return true;
    }
    Line newLine = makeLine(std::string(key) + "=" + written);
    const auto header = sectionLine(section);
    if (!header) {
        m_lines.push_back(makeLine("[" + std::string(section) + "]"));
        m_lines.push_back(std::move(newLine));
    } else {
        // After the last entry of the section, so comments and blank lines before the next
        // section stay where they are.
        std::size_t insertAt = *header + 1;
        for (std::size_t i = *header + 1; i < m_lines.size() && m_lines[i].kind != Line::Kind::Section; ++i) {
            if (m_lines[i].kind == Line::Kind::Entry) {
                insertAt = i + 1;
            }
        }
        m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(newLine));
    }
    rebuildIndex();
    return true;
}

std::string IniDocument::endedLineBytes(const TextLine& stored) const
{
    // A file cut off inside a character reads its last line with that character as U+FFFD (UTF-8)
    // or without it (UTF-16, an odd byte). Followed by a line end those bytes would read otherwise:
    // as GB18030, or shifting every later UTF-16 character by one byte. Such a line is written as
    // the text it was read as, which reads back the same.
    const TextFile alone = TextFile::read(m_format.byteOrderMark() + stored.bytes + m_lineEnd, m_transcode);
    if (alone.lines().size() == 1 && alone.lines().front().text == stored.text) {
        return stored.bytes;
    }
    return m_format.encode(stored.text);
}

std::string IniDocument::serialize() const
{
    std::string out = m_format.byteOrderMark();
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        const TextLine& stored = m_lines[i].stored;
        // A last line without its end gets one when lines were added behind it.
        const bool endAdded = stored.ending.empty() && i + 1 < m_lines.size();
        out += endAdded ? endedLineBytes(stored) : stored.bytes;
        out += endAdded ? m_lineEnd : stored.ending;
    }
    return out;
}

bool IniDocument::save(const std::string& path) const
{
    return writeFileAtomic(path, serialize());
}

int writeProfileValues(const std::string& path, std::string_view section,
                       const std::vector<std::pair<std::string, std::string>>& values)
{
    // Through a symbolic link the file that changes is its target, so that file's folder is
    // locked; the folder itself serves as the lock, which leaves no lock file beside the file.
    const std::string target = resolveWriteTarget(path);
    const FileLock lock(folderOf(target));
    IniDocument document;
    if (document.load(target) == IniDocument::LoadStatus::Failed) {
        return 1;
    }
    for (const auto& [key, value] : values) {
        if (!document.setValue(section, key, value)) {
            return 1;
        }
    }
    if (!document.save(target)) {
        return 1;
    }
    // Earlier versions locked with an empty hidden file beside the path they were given; it is no
    // longer needed.
    const std::string oldLock = folderOf(path) + "/." + path.substr(path.find_last_of('/') + 1) + ".lock";
    struct stat st
    {};
    if (::lstat(oldLock.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        ::unlink(oldLock.c_str());
    }
    return 0;
}

} // namespace kx::platform
