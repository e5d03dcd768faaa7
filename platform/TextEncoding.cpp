// SPDX-License-Identifier: Apache-2.0
#include "TextEncoding.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <optional>

namespace kx::platform {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence starting at bytes[i], or 0 when it is not a valid sequence.
std::size_t utf8SequenceLength(std::string_view bytes, std::size_t i)
{
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    char32_t minimum = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(bytes[i + k]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return length;
}

std::string decodeUtf16(std::string_view bytes, bool bigEndian)
{
    std::string out;
    out.reserve(bytes.size());
    const std::size_t units = bytes.size() / 2;
    auto unitAt = [&](std::size_t u) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[2 * u]);
        const auto b = static_cast<unsigned char>(bytes[2 * u + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    for (std::size_t u = 0; u < units; ++u) {
        const char16_t unit = unitAt(u);
        if (unit >= 0xD800 && unit <= 0xDBFF && u + 1 < units) {
            const char16_t low = unitAt(u + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(low) - 0xDC00));
                ++u;
                continue;
            }
        }
        appendUtf8(out, unit); // a lone surrogate becomes U+FFFD inside appendUtf8
    }
    return out;
}

// RAII holder of an iconv conversion descriptor.
class IconvHandle
{
public:
    IconvHandle(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~IconvHandle()
    {
        if (valid()) {
            iconv_close(m_cd);
        }
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return m_cd; }

private:
    iconv_t m_cd;
};

std::string decodeGb18030(std::string_view bytes)
{
    IconvHandle cd("UTF-8", "GB18030");
    if (!cd.valid()) {
        // Without a converter, keep the ASCII part and mark everything else as undecodable.
        std::string out;
        for (const char c : bytes) {
            if (static_cast<unsigned char>(c) < 0x80) {
                out.push_back(c);
            } else {
                appendUtf8(out, kReplacement);
            }
        }
        return out;
    }
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 16);
    std::string input(bytes);
    char* in = input.data();
    std::size_t inLeft = input.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof(buffer);
        const std::size_t rc = iconv(cd.get(), &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) {
                continue;
            }
            // Invalid or truncated sequence: replace one byte and go on.
            appendUtf8(out, kReplacement);
            ++in;
            --inLeft;
            iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

// The length of `bytes` without a last character that was cut off after its first bytes (as when
// a file is truncated), when that is what makes them invalid UTF-8.
std::optional<std::size_t> utf8BeforeCutCharacter(std::string_view bytes)
{
    std::size_t start = bytes.size();
    while (start > 0 && bytes.size() - start < 3 && (static_cast<unsigned char>(bytes[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return std::nullopt;
    }
    const auto lead = static_cast<unsigned char>(bytes[start - 1]);
    const std::size_t needed = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    const std::size_t present = bytes.size() - start + 1;
    if (needed == 0 || present >= needed || !isValidUtf8(bytes.substr(0, start - 1))) {
        return std::nullopt;
    }
    return start - 1;
}

void appendUtf16Unit(std::string& out, char16_t unit, bool bigEndian)
{
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    out.push_back(bigEndian ? high : low);
    out.push_back(bigEndian ? low : high);
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = kReplacement;
    }
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

char32_t utf8CodePointAt(std::string_view bytes, std::size_t i, std::size_t& length)
{
    length = utf8SequenceLength(bytes, i);
    if (length == 0) {
        return kReplacement;
    }
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    static constexpr unsigned char kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = b0 & kLeadMask[length];
    for (std::size_t k = 1; k < length; ++k) {
        cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
    }
    return cp;
}

bool isValidUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

TextFile TextFile::read(std::string_view bytes, bool transcode)
{
    TextFile file;
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (bytes.size() >= 2 && ((byteAt(0) == 0xFF && byteAt(1) == 0xFE) || (byteAt(0) == 0xFE && byteAt(1) == 0xFF))) {
        const bool bigEndian = byteAt(0) == 0xFE;
        file.m_storage = bigEndian ? Storage::Utf16BE : Storage::Utf16LE;
        file.m_byteOrderMark = std::string(bytes.substr(0, 2));
        const std::string_view body = bytes.substr(2);
        const auto unitAt = [&](std::size_t u) -> char16_t {
            const auto a = static_cast<unsigned char>(body[2 * u]);
            const auto b = static_cast<unsigned char>(body[2 * u + 1]);
            return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
        };
        const std::size_t units = body.size() / 2;
        std::size_t start = 0;
        std::size_t u = 0;
        while (u < units) {
            const char16_t unit = unitAt(u);
            if (unit != u'\r' && unit != u'\n') {
                ++u;
                continue;
            }
            const std::size_t endUnits = unit == u'\r' && u + 1 < units && unitAt(u + 1) == u'\n' ? 2 : 1;
            TextLine line;
            line.bytes = std::string(body.substr(2 * start, 2 * (u - start)));
            line.ending = std::string(body.substr(2 * u, 2 * endUnits));
            line.text = decodeUtf16(line.bytes, bigEndian);
            file.m_lines.push_back(std::move(line));
            u += endUnits;
            start = u;
        }
        if (start < units || body.size() % 2 != 0) {
            TextLine line;
            line.bytes = std::string(body.substr(2 * start));
            line.text = decodeUtf16(line.bytes, bigEndian);
            file.m_lines.push_back(std::move(line));
        }
        return file;
    }
    std::string_view body = bytes;
    if (body.size() >= 3 && byteAt(0) == 0xEF && byteAt(1) == 0xBB && byteAt(2) == 0xBF) {
        file.m_byteOrderMark = std::string(body.substr(0, 3));
        body.remove_prefix(3);
    }
    std::size_t pos = 0;
    while (pos < body.size()) {
        const std::size_t end = std::min(body.find_first_of("\r\n", pos), body.size());
        std::size_t next = end;
        if (end < body.size()) {
            next = end + (body[end] == '\r' && end + 1 < body.size() && body[end + 1] == '\n' ? 2 : 1);
        }
        TextLine line;
        line.bytes = std::string(body.substr(pos, end - pos));
        line.ending = std::string(body.substr(end, next - end));
        const auto beforeCut = line.ending.empty() ? utf8BeforeCutCharacter(line.bytes) : std::nullopt;
        if (!transcode || isValidUtf8(line.bytes)) {
            line.text = line.bytes;
        } else if (beforeCut) {
            // A UTF-8 file cut off inside its last character.
            line.text = line.bytes.substr(0, *beforeCut);
            appendUtf8(line.text, kReplacement);
        } else {
            line.text = decodeGb18030(line.bytes);
            file.m_anyGb18030 = true;
        }
        file.m_lines.push_back(std::move(line));
        pos = next;
    }
    return file;
}

std::string TextFile::encode(std::string_view utf8) const
{
    if (m_storage == Storage::EightBit) {
        return std::string(utf8);
    }
    const bool bigEndian = m_storage == Storage::Utf16BE;
    std::string out;
    out.reserve(utf8.size() * 2);
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::size_t length = 0;
        const char32_t cp = utf8CodePointAt(utf8, i, length);
        i += std::max<std::size_t>(length, 1);
        if (cp >= 0x10000) {
            appendUtf16Unit(out, static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)), bigEndian);
            appendUtf16Unit(out, static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)), bigEndian);
        } else {
            appendUtf16Unit(out, static_cast<char16_t>(cp), bigEndian);
        }
    }
    return out;
}

std::string TextFile::bytes() const
{
    std::string out = m_byteOrderMark;
    for (const TextLine& line : m_lines) {
        out += line.bytes;
        out += line.ending;
    }
    return out;
}

std::string TextFile::text() const
{
    std::string out;
    for (const TextLine& line : m_lines) {
        out += line.text;
        // Line ends are plain CR and LF characters; in UTF-16 they take two bytes each.
        const std::size_t unitSize = m_storage == Storage::EightBit ? 1 : 2;
        for (std::size_t i = 0; i < line.ending.size() / unitSize; ++i) {
            const char c = line.ending[unitSize * i + (m_storage == Storage::Utf16BE ? 1 : 0)];
            out.push_back(c);
        }
    }
    return out;
}

TextEncoding TextFile::encoding() const
{
    switch (m_storage) {
    case Storage::Utf16LE:
        return TextEncoding::Utf16LE;
    case Storage::Utf16BE:
        return TextEncoding::Utf16BE;
    case Storage::EightBit:
        break;
    }
    return m_anyGb18030 ? TextEncoding::Gb18030 : TextEncoding::Utf8;
}

std::string decodeTextFile(std::string_view bytes, TextEncoding* detected)
{
    const TextFile file = TextFile::read(bytes);
    if (detected) {
        *detected = file.encoding();
    }
    return file.text();
}

std::string escapeBytes(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    const auto escapeByte = [&](unsigned char b) {
        out += "\\x";
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 0x0F]);
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t length = 0;
        const char32_t cp = utf8CodePointAt(bytes, i, length);
        const bool valid = length != 0;
        length = std::max<std::size_t>(length, 1);
        if (!valid || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            for (std::size_t k = 0; k < length; ++k) {
                escapeByte(static_cast<unsigned char>(bytes[i + k]));
            }
        } else if (cp == '\\') {
            out += "\\\\";
        } else {
            out.append(bytes.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string unescapeBytes(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
        } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexValue(text[i + 2]) >= 0 &&
                   hexValue(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

} // namespace kx::platform
