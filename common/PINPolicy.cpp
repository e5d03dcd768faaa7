// SPDX-License-Identifier: Apache-2.0
#include "PINPolicy.h"

#include "LanguageTexts.h"
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
    return Lang("P_PIN_Policy");
}

QString PINStrengthCaption(int score)
{
    if (score >= 3) {
        return Lang("S_Strength_Strong");
    }
    return score == 2 ? Lang("S_Strength_Medium") : Lang("S_Strength_Weak");
}

bool PINMeetsPolicy(const QString& pin, int minLength, int maxLength)
{
    return pin.size() >= minLength && pin.size() <= maxLength && PINStrength(pin) == 3;
}

} // namespace kx
