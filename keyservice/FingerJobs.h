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
