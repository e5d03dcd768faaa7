// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

class QWidget;

namespace kx {

class KeySession;
struct FingerInfo;

// Shows why a key cannot be used for a PIN operation (not initialised, PIN locked); true when it
// can.
bool RefuseUnusableKey(QWidget* owner, const KeySession& session, int keyIndex);

// Tells why a login (or the old-PIN check of a PIN change) failed: tries left only for a PIN the
// key refused, the missing key or the code otherwise.
void ReportLoginFailure(QWidget* owner, int result, int retriesLeft, bool oldPin);

// The shared check of the fingerprint test, learning and logon: the fingers are not locked and
// one is enrolled; true when the action may go on.
bool FingerActionAllowed(QWidget* owner, const FingerInfo& info);

// Reports an SKF result of a fingerprint action other than success.
void ReportFingerResult(QWidget* owner, std::uint32_t result);

} // namespace kx
