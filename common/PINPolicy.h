// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

namespace kx {

// The strength of a PIN from 0 to 3, counted over its bytes in the locale's 8-bit form: 0 for an
// empty PIN, 1 below 8 bytes, otherwise one point each for a digit, a letter (either case) and
// any other byte.
int PINStrength(const QString& pin);

// The policy shown when a new PIN is not strong enough (a fixed text in every language).
QString PINPolicyText();

// The captions of the strength meter for a score: "弱", "中" or "强".
QString PINStrengthCaption(int score);

// Whether a new user PIN meets the policy: its length within [minLength, maxLength] and a
// strength of 3.
bool PINMeetsPolicy(const QString& pin, int minLength, int maxLength);

} // namespace kx
