// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

#include <cstdint>

namespace kx {

// Fills the first "%d" (or "%i") of a language text with a decimal number; "%%" reads as "%".
// Language files are input, so no printf-style formatting is used on them: any other directive
// is left as it stands and can never read a missing argument.
QString FormatInt(const QString& text, qint64 value);

// Fills the first hexadecimal directive ("%x", "%X", "%8x", "%08x", "%.8x") of a language text
// with a 32-bit code, as many digits as the directive's width (lower case for "x"); "%%" reads as
// "%". Other directives are left as they stand.
QString FormatHex(const QString& text, std::uint32_t code);

// The fixed error-code form: eight upper-case hexadecimal digits.
QString HexCode(std::uint32_t code);

} // namespace kx
