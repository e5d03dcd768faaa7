// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/SecretString.h"
#include "token/TokenRecords.h"

#include <memory>

namespace kx {

class KeyCall;

// The PIN work on one key, run as jobs on the key's lane. A PIN travels to the job as a
// SecretString shared with the window, overwritten when the last holder lets it go.
using SharedSecret = std::shared_ptr<const SecretString>;

inline SharedSecret MakeSecret(const QString& text)
{
    return std::make_shared<const SecretString>(text);
}

// The PIN state of the key's user PIN.
struct PinStateOutcome
{
    int result = 0;
    PinState state;
};
PinStateOutcome ReadPinState(const KeyCall& key);

// A login: refused at once when the PIN is locked (no try spent), else the old login ends and the
// user logs in; on success the key's objects are read again and, for a key with a sensor, the
// SKF application is logged in with the same PIN (its fingerprint functions need that).
struct LoginOutcome
{
    bool locked = false;
    int result = 0;
    int retriesLeft = -1;
};
LoginOutcome LoginToKey(const KeyCall& key, const SharedSecret& pin, bool skfLogin);

// A logout of the key (and of its SKF application).
int LogoutOfKey(const KeyCall& key, bool skfLogout);

// A PIN change: the old PIN checked by a login (after a logout when `logoutFirst`), the key
// logged out again, then the change. A change that fails is not followed by another login with
// the old PIN: that would spend a try when the change went through and its answer was lost.
struct PinChangeOutcome
{
    enum class Stage
    {
        OldPinRefused, // the check of the old PIN failed: `result`, `retriesLeft`
        ChangeFailed,  // the change failed: `result`; `retriesLeft` from the PIN state when the key refused the old PIN
        Changed,
    };
    Stage stage = Stage::Changed;
    int result = 0;
    int retriesLeft = -1;
};
PinChangeOutcome ChangeKeyPin(const KeyCall& key, const SharedSecret& oldPin, const SharedSecret& newPin,
                              bool logoutFirst);

} // namespace kx
