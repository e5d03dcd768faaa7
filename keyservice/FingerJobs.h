// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "PinJobs.h"

#include "token/GMAPIs.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace kx {

class KeyCall;

// The SKF work on one key (fingerprints, remote unlock), run as jobs on the key's lane.

// The key's fingerprint information for `userType`.
struct FingerRead
{
    std::uint32_t result = SAR_OK;
    FingerInfo info;
};
FingerRead ReadFingers(const KeyCall& key, std::uint32_t userType);

// Whether the SKF library lists this key with a fingerprint sensor, whatever the other keys are.
bool KeyCarriesSensor(const KeyCall& key);

// Deletes the fingers in order, stopping at the first failure; then reads what is left.
struct FingerDeletion
{
    std::uint32_t result = SAR_OK;
    FingerRead after;
};
FingerDeletion DeleteFingers(const KeyCall& key, std::uint32_t userType, const QList<int>& fingers);

std::uint32_t UnblockFingers(const KeyCall& key, std::uint32_t userType);

// The remote unlock's request: SkfNoDevice when the SKF library lists no device, else the
// library's result and the request bytes.
struct UnlockRequest
{
    std::uint32_t result = SAR_OK;
    QByteArray request;
};
UnlockRequest MakeUnlockRequest(const KeyCall& key);

// Whether the SKF library lists a device, as the remote unlock asks before it looks at the PINs.
bool SkfDeviceListed(const KeyCall& key);

// What the user gives for a remote unlock: the unlock code of the issuing party (hexadecimal, at
// least kMinUnlockCodeLength characters, at most kUnlockCodeBytes bytes: a longer code is refused,
// since cutting it would send the key another code than the one given), the initial PIN the unlock
// puts back (at least kMinRemotePinLength characters) and the new PIN, typed twice, that must be
// strong enough (PINStrength 3).
inline constexpr int kMinUnlockCodeLength = 16;
inline constexpr std::size_t kUnlockCodeBytes = 64;
inline constexpr int kMinRemotePinLength = 8;

enum class UnlockInputProblem
{
    None,
    CodeTooShort,
    CodeTooLong,
    InitialPinTooShort,
    PinsDiffer,
    WeakPin,
};

// The unlock code as bytes into `code` (a pair that is not hexadecimal gives 0, as the code has
// always been read).
UnlockInputProblem DecodeUnlockCode(const QString& text, QByteArray& code);
// The PINs of the unlock, checked in the order the user types them.
UnlockInputProblem UnlockPinsProblem(const QString& initialPin, const QString& newPin, const QString& confirmation);

// The remote unlock: the key takes the unlock code and puts the initial PIN back; the initial PIN
// is checked by a login and changed to the new one.
struct RemoteUnlockOutcome
{
    enum class Stage
    {
        NoDevice,          // the SKF library lists no device
        UnblockRefused,    // the key refused the unlock code: `skfResult`
        InitialPinRefused, // the login with the initial PIN failed: `result`, `retriesLeft`
        ChangeFailed,      // the PIN change failed: `result`
        Unlocked,
    };
    Stage stage = Stage::Unlocked;
    std::uint32_t skfResult = SAR_OK;
    int result = 0;
    int retriesLeft = 0;
};
RemoteUnlockOutcome RemoteUnlock(const KeyCall& key, const QByteArray& code, const SharedSecret& initialPin,
                                 const SharedSecret& newPin);

} // namespace kx
