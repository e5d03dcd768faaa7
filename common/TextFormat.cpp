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

QString FormatHex(const QString& text, std::uint32_t code)
{
    QString out;
    out.reserve(text.size() + 12);
    bool filled = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('%') || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        if (text.at(i + 1) == QLatin1Char('%')) {
            out += QLatin1Char('%');
            ++i;
            continue;
        }
        // "%" [0 | .] [digits] (x | X)
        qsizetype j = i + 1;
        if (j < text.size() && (text.at(j) == QLatin1Char('0') || text.at(j) == QLatin1Char('.')))
            ++j;
        int width = 0;
        while (j < text.size() && text.at(j).isDigit() && width < 100)
            width = width * 10 + text.at(j++).digitValue();
        if (!filled && j < text.size() && (text.at(j) == QLatin1Char('x') || text.at(j) == QLatin1Char('X'))) {
            QString digits = QStringLiteral("%1").arg(code, qMin(width, 8), 16, QLatin1Char('0'));
            if (text.at(j) == QLatin1Char('X'))
                digits = digits.toUpper();
            out += digits;
            filled = true;
            i = j;
            continue;
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
