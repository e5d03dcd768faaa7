// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

class QWidget;

namespace kx {

class KeySession;
struct FingerInfo;
struct PinChangeOutcome;

// Shows that a key cannot be used for a PIN operation because it is not initialised; true when
// it can.
bool RefuseUninitialisedKey(QWidget* owner, const KeySession& session, int keyIndex);

// Tells why a login (or the old-PIN check of a PIN change) failed: tries left only for a PIN the
// key refused; the missing key, the lost login or the key's failure with its code otherwise.
void ReportLoginFailure(QWidget* owner, int result, int retriesLeft, bool oldPin);

// Tells why a PIN change failed after the old PIN was checked: a refused change with its code, a
// wrong old PIN with the tries left, or a change the key did not confirm (the new PIN may be in
// force already).
void ReportPinChangeFailure(QWidget* owner, int result, int retriesLeft);

// The shared check of the fingerprint test, learning and logon: the fingers are not locked and
// one is enrolled; true when the action may go on.
bool FingerActionAllowed(QWidget* owner, const FingerInfo& info);

// Reports an SKF result of a fingerprint action other than success.
void ReportFingerResult(QWidget* owner, std::uint32_t result);

} // namespace kx
