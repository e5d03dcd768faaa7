// SPDX-License-Identifier: Apache-2.0
#include "TextConversions.h"

#include <QUuid>

#include <cmath>

namespace kx {

QString FormatSize(std::int32_t bytes)
{
    const double kb = std::nearbyint(static_cast<double>(bytes) / 1024.0); // rounds half to even
    if (kb <= 1000.0) {
        return QString::asprintf("%d KB", static_cast<int>(kb));
    }
    return QString::asprintf("%.2f MB", kb / 1024.0);
}

QString NewGUIDText()
{
    return QUuid::createUuid().toString(QUuid::WithBraces).toUpper();
}

QString BytesToHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size() * 2));
    for (const std::uint8_t b : bytes) {
        text.append(QLatin1Char(kDigits[b >> 4]));
        text.append(QLatin1Char(kDigits[b & 0x0F]));
    }
    return text;
}

bool HexToBytes(const QString& text, std::span<std::uint8_t> out, std::size_t* written)
{
    const auto pairs = static_cast<std::size_t>(text.size() / 2);
    if (written) {
        *written = 0;
    }
    if (pairs > out.size()) {
        return false;
    }
    for (std::size_t i = 0; i < pairs; ++i) {
        bool ok = false;
        const uint value = text.mid(static_cast<qsizetype>(2 * i), 2).toUInt(&ok, 16);
        const QChar first = text.at(static_cast<qsizetype>(2 * i));
        // toUInt accepts blanks and signs; only two hexadecimal digits make a byte.
        const bool digits = first.isLetterOrNumber() && text.at(static_cast<qsizetype>(2 * i + 1)).isLetterOrNumber();
        out[i] = ok && digits ? static_cast<std::uint8_t>(value) : 0;
    }
    if (written) {
        *written = pairs;
    }
    return true;
}

} // namespace kx
