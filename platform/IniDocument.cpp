// SPDX-License-Identifier: Apache-2.0
#include "IniDocument.h"

#include "FileUtil.h"
#include "TextEncoding.h"

#include <limits>

namespace kx::platform {

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

std::string entryIndexKey(std::string_view section, std::string_view key)
{
    return lower(section) + '\n' + lower(key);
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
    if (isBlank(value.front()) || isBlank(value.back())) {
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

IniDocument::Line IniDocument::parseLine(std::string raw)
{
    Line line;
    line.raw = std::move(raw);
    const std::string_view text = trim(line.raw);
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
    line.kind = Line::Kind::Entry;
    line.name = std::string(name);
    line.value = std::string(stripQuotes(trim(text.substr(equals + 1))));
    return line;
}

void IniDocument::parse(std::string_view text)
{
    m_lines.clear();
    m_lineEnd = "\n";
    const auto firstNewline = text.find('\n');
    if (firstNewline != std::string_view::npos && firstNewline > 0 && text[firstNewline - 1] == '\r') {
        m_lineEnd = "\r\n";
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        m_lines.push_back(parseLine(std::string(raw)));
        pos = end + 1;
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
            currentIsFirst = m_sections.emplace(lower(line.name), i).second;
        } else if (line.kind == Line::Kind::Entry && currentSection && currentIsFirst) {
            m_entries.emplace(entryIndexKey(*currentSection, line.name), i);
        }
    }
}

IniDocument::LoadStatus IniDocument::load(const std::string& path)
{
    std::string bytes;
    switch (readWholeFile(path, bytes, kMaxFileSize)) {
    case ReadStatus::Ok:
        parse(decodeTextFile(bytes));
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
    const auto it = m_sections.find(lower(trim(section)));
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
            const auto it = m_sections.find(lower(line.name));
            if (it != m_sections.end() && it->second == i) {
                names.push_back(line.name);
            }
        }
    }
    return names;
}

bool IniDocument::setValue(std::string_view section, std::string_view key, std::string_view value)
{
    if (!validName(section, true) || !validName(key, false) || value.find_first_of("\r\n") != std::string_view::npos) {
        return false;
    }
    std::string written(value);
    if (needsQuotes(value)) {
        written = '"' + written + '"';
    }
    const auto entry = m_entries.find(entryIndexKey(section, key));
    if (entry != m_entries.end()) {
        Line& line = m_lines[entry->second];
        line.raw = line.name + "=" + written;
        line.value = std::string(value);
        return true;
    }
    Line newLine;
    newLine.kind = Line::Kind::Entry;
    newLine.name = std::string(key);
    newLine.value = std::string(value);
    newLine.raw = newLine.name + "=" + written;

    const auto header = sectionLine(section);
    if (!header) {
        Line headerLine;
        headerLine.kind = Line::Kind::Section;
        headerLine.name = std::string(section);
        headerLine.raw = "[" + headerLine.name + "]";
        m_lines.push_back(std::move(headerLine));
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

std::string IniDocument::serialize() const
{
    std::string out;
    for (const Line& line : m_lines) {
        out += line.raw;
        out += m_lineEnd;
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
    const FileLock lock(lockPathFor(path));
    IniDocument document;
    if (document.load(path) == IniDocument::LoadStatus::Failed) {
        return 1;
    }
    for (const auto& [key, value] : values) {
        if (!document.setValue(section, key, value)) {
            return 1;
        }
    }
    return document.save(path) ? 0 : 1;
}

} // namespace kx::platform
