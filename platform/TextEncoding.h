// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>

namespace kx::platform {

// Which encoding a text file turned out to be in.
enum class TextEncoding
{
    Utf8,
    Utf16LE,
    Utf16BE,
    Gb18030
};

// True when the bytes form valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Turns the raw bytes of a text file into UTF-8: UTF-16 when the file starts with a UTF-16 byte
// order mark, UTF-8 (a UTF-8 byte order mark dropped) when it is valid UTF-8, GB18030 otherwise.
// Bytes that cannot be decoded become U+FFFD, so any input gives a usable text.
std::string decodeTextFile(std::string_view bytes, TextEncoding* detected = nullptr);

// Appends the UTF-8 form of one code point (U+FFFD for values that are not scalar values).
void appendUtf8(std::string& out, char32_t codePoint);

} // namespace kx::platform
