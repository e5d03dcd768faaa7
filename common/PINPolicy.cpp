// SPDX-License-Identifier: Apache-2.0
#include "PINPolicy.h"

#include "SecretString.h"

#include <QByteArray>

namespace kx {

int PINStrength(const QString& pin)
{
    const SecretBytes held(pin);
    const QByteArray& bytes = held.bytes();
    if (bytes.isEmpty()) {
        return 0;
    }
    if (bytes.size() < 8) {
        return 1;
    }
    bool digit = false;
    bool letter = false;
    bool other = false;
    for (const char c : bytes) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            letter = true;
        } else {
            other = true;
        }
    }
    return int(digit) + int(letter) + int(other);
}

QString PINPolicyText()
{
    return QStringLiteral("口令为8-16位，必须包含数字、字母、特殊字符");
}

QString PINStrengthCaption(int score)
{
    if (score >= 3) {
        return QStringLiteral("强");
    }
    return score == 2 ? QStringLiteral("中") : QStringLiteral("弱");
}

bool PINMeetsPolicy(const QString& pin, int minLength, int maxLength)
{
    return pin.size() >= minLength && pin.size() <= maxLength && PINStrength(pin) == 3;
}

} // namespace kx
