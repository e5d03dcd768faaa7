// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kx {

// What a failed PIN login says about the PIN. Only a PIN the key refused is about the PIN; a key
// that went away or failed says nothing about it, so it is never shown as a wrong PIN or with a
// count of tries, and no further login is tried to find out.
enum class LoginFailure
{
    WrongPin,      // the key refused the PIN; retriesLeft > 0, or -1 when the module cannot count
    Locked,        // the PIN is locked now
    Lockout,       // the device refuses logins for a while after wrong PINs; the PIN is not locked
    KeyGone,       // the key was pulled
    LoginLost,     // the key's session was lost and with it the login: log in again
    DeviceFailure, // the key failed (a device or session error): shown with its code
    OtherError,    // anything else: shown with its code
};

// Classifies the result and tries-left figure of a failed token_login.
LoginFailure ClassifyLoginFailure(int result, int retriesLeft);

// What a failed PIN change says about the PIN on the key.
enum class PinChangeFailure
{
    WrongOldPin, // the key refused the old PIN: nothing changed
    Refused,     // the key refused the change (the new PIN, the rights): nothing changed
    Unconfirmed, // the key failed or went away during the change: the new PIN may be in force
};

// Classifies the result of a failed token_change_upin.
PinChangeFailure ClassifyPinChangeFailure(int result);

} // namespace kx
