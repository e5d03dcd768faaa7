// SPDX-License-Identifier: Apache-2.0
#include "SkfBuffers.h"

#include <algorithm>

namespace kx {

QList<QByteArray> splitSkfNames(QByteArrayView buffer)
{
    // Spaces become question marks, zero bytes separators; runs of separators count as one and
    // an empty tail gives no name; every question mark then reads as a space again.
    QByteArray text = buffer.toByteArray();
    text.replace(' ', '?');
    QList<QByteArray> names;
    for (const QByteArray& piece : text.split('\0')) {
        if (piece.isEmpty())
            continue;
        QByteArray name = piece;
        name.replace('?', ' ');
        names.append(name);
    }
    return names;
}

bool fingerBytesAreNumbers(const FingerInfo& info)
{
    const auto first = info.fingers.begin();
    const auto length = static_cast<std::ptrdiff_t>(std::min<std::uint32_t>(info.length, kFingerBytes));
    return std::any_of(first, first + length, [](std::uint8_t b) { return b > 1; });
}

bool fingerIsEnrolled(const FingerInfo& info, int finger)
{
    if (finger < 1 || finger > 10)
        return false;
    if (!fingerBytesAreNumbers(info))
        return info.fingers[static_cast<std::size_t>(finger - 1)] == 1;
    const auto first = info.fingers.begin();
    return std::find(first, first + 10, static_cast<std::uint8_t>(finger)) != first + 10;
}

QList<int> enrolledFingerList(const FingerInfo& info)
{
    QList<int> fingers;
    const bool numberList = fingerBytesAreNumbers(info);
    for (int p = 0; p < 10; ++p) {
        const std::uint8_t b = info.fingers[static_cast<std::size_t>(p)];
        if (b != 0)
            fingers.append(numberList ? int(b) : p + 1);
    }
    return fingers;
}

} // namespace kx
