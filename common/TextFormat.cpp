// SPDX-License-Identifier: Apache-2.0
#include "TextFormat.h"

namespace kx {

QString FormatInt(const QString& text, qint64 value)
{
    QString out;
    out.reserve(text.size() + 12);
    bool filled = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('%') && i + 1 < text.size()) {
            const QChar next = text.at(i + 1);
            if (next == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
            if (!filled && (next == QLatin1Char('d') || next == QLatin1Char('i'))) {
                out += QString::number(value);
                filled = true;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString HexCode(std::uint32_t code)
{
    return QStringLiteral("%1").arg(code, 8, 16, QLatin1Char('0')).toUpper();
}

} // namespace kx
