// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kx::platform {

// Which encoding a text file turned out to be in. Gb18030 means at least one of its lines was not
// UTF-8.
enum class TextEncoding
{
    Utf8,
    Utf16LE,
    Utf16BE,
    Gb18030
};

// True when the bytes form valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// The code point of the UTF-8 sequence at bytes[i] and its length in bytes; U+FFFD and length 0
// when no valid sequence starts there.
char32_t utf8CodePointAt(std::string_view bytes, std::size_t i, std::size_t& length);

// Appends the UTF-8 form of one code point (U+FFFD for values that are not scalar values).
void appendUtf8(std::string& out, char32_t codePoint);

// One line of a text file: the bytes as stored, the stored line end, and the line in UTF-8.
struct TextLine
{
    std::string bytes;  // without the line end, in the file's own encoding
    std::string ending; // CR, LF or CR LF as stored; empty for a last line without one
    std::string text;   // the decoded line, UTF-8
};

// A text file split into lines at CR, LF and CR LF. A file that starts with a UTF-16 byte order
// mark is UTF-16 throughout. Any other file is 8-bit, decided line by line: a line that is valid
// UTF-8 is UTF-8, any other line GB18030, so one pasted or truncated line garbles nothing else.
// Bytes that cannot be decoded become U+FFFD. The stored bytes are kept, so a file can be written
// back with only the changed lines differing.
class TextFile
{
public:
    enum class Storage
    {
        EightBit,
        Utf16LE,
        Utf16BE
    };

    // Splits and decodes `bytes`; with `transcode` false, 8-bit lines are taken as they are.
    static TextFile read(std::string_view bytes, bool transcode = true);

    Storage storage() const { return m_storage; }
    const std::string& byteOrderMark() const { return m_byteOrderMark; }
    std::vector<TextLine>& lines() { return m_lines; }
    const std::vector<TextLine>& lines() const { return m_lines; }

    // The stored form of a UTF-8 text (a line, or a line end such as "\r\n") in this file's
    // encoding: UTF-16 for UTF-16 files, UTF-8 otherwise.
    std::string encode(std::string_view utf8) const;
    // The whole file: byte order mark, then every line with its end.
    std::string bytes() const;
    // The decoded text, lines joined with their own ends.
    std::string text() const;
    // Which encoding the file turned out to be in.
    TextEncoding encoding() const;

private:
    Storage m_storage = Storage::EightBit;
    std::string m_byteOrderMark;
    std::vector<TextLine> m_lines;
    bool m_anyGb18030 = false;
};

// Turns the raw bytes of a text file into UTF-8 as TextFile::read decodes them (a byte order mark
// dropped).
std::string decodeTextFile(std::string_view bytes, TextEncoding* detected = nullptr);

// Writes any bytes as valid UTF-8 that holds no control characters: valid UTF-8 stays as it is,
// except that "\" becomes "\\"; every other byte that is not part of valid UTF-8, and every
// control character, becomes "\x" and two upper-case hexadecimal digits.
std::string escapeBytes(std::string_view bytes);
// Reverses escapeBytes; an escape that is not one of its own is kept as it is.
std::string unescapeBytes(std::string_view text);

} // namespace kx::platform
