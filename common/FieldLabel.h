// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// A field label: the text followed by a colon, unless the text already ends with one (the Chinese
// texts bring their own full-width colon).
inline QString WithColon(const QString& text)
{
    if (text.endsWith(QLatin1Char(':')) || text.endsWith(QChar(0xFF1A))) {
        return text;
    }
    return text + QLatin1Char(':');
}

} // namespace kx
