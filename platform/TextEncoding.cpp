// SPDX-License-Identifier: Apache-2.0
#include "TextEncoding.h"

#include <cerrno>
#include <iconv.h>

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

std::string decodeTextFile(std::string_view bytes, TextEncoding* detected)
{
    auto report = [&](TextEncoding e) {
        if (detected) {
            *detected = e;
        }
    };
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        report(TextEncoding::Utf16LE);
        return decodeUtf16(bytes.substr(2), false);
    }
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF) {
        report(TextEncoding::Utf16BE);
        return decodeUtf16(bytes.substr(2), true);
    }
    std::string_view body = bytes;
    const bool utf8Bom = body.size() >= 3 && static_cast<unsigned char>(body[0]) == 0xEF &&
                         static_cast<unsigned char>(body[1]) == 0xBB && static_cast<unsigned char>(body[2]) == 0xBF;
    if (utf8Bom) {
        body.remove_prefix(3);
    }
    if (utf8Bom || isValidUtf8(body)) {
        report(TextEncoding::Utf8);
        if (isValidUtf8(body)) {
            return std::string(body);
        }
        // A UTF-8 mark in front of broken UTF-8: keep what decodes, replace the rest.
        std::string out;
        std::size_t i = 0;
        while (i < body.size()) {
            const std::size_t length = utf8SequenceLength(body, i);
            if (length == 0) {
                appendUtf8(out, kReplacement);
                ++i;
            } else {
                out.append(body.substr(i, length));
                i += length;
            }
        }
        return out;
    }
    report(TextEncoding::Gb18030);
    return decodeGb18030(body);
}

} // namespace kx::platform
