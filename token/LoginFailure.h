// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kx {

// What a failed PIN login says about the PIN. Only a wrong PIN and a locked PIN are about the
// PIN; a key that went away or any other failure says nothing about it, so it must never be
// shown as a wrong PIN or with a count of tries.
enum class LoginFailure
{
    WrongPin,   // the key refused the PIN; retriesLeft > 0, or -1 when the module cannot count
    Locked,     // the PIN is locked now
    KeyGone,    // the key was pulled or its session is gone
    OtherError, // anything else: shown with its code
};

// Classifies the result and tries-left figure of a failed token_login.
LoginFailure ClassifyLoginFailure(int result, int retriesLeft);

} // namespace kx
