// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <cstdint>
#include <span>

namespace kx {

// A memory size for display: kilobytes rounded to the nearest integer (a half to the even
// neighbour); up to 1000 KB as "%d KB", above as "%.2f MB".
QString FormatSize(std::int32_t bytes);

// A new random GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
QString NewGUIDText();

// Two upper-case hexadecimal digits per byte, no separators.
QString BytesToHex(std::span<const std::uint8_t> bytes);

// Reads text.length() / 2 pairs of characters as hexadecimal bytes into `out` (a pair that is not
// hexadecimal gives 0; a trailing single character is ignored) and sets `written` to their number.
// When `out` is too small for every pair, nothing is written and the result is false.
bool HexToBytes(const QString& text, std::span<std::uint8_t> out, std::size_t* written = nullptr);

} // namespace kx
