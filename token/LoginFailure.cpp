// SPDX-License-Identifier: Apache-2.0
#include "LoginFailure.h"

namespace kx {

namespace {

// The module's answers passed on by the token library unchanged.
constexpr int kSlotIdInvalid = 0x03;
constexpr int kDeviceError = 0x30;
constexpr int kDeviceRemoved = 0x32;
constexpr int kPinIncorrect = 0xA0;
constexpr int kPinLocked = 0xA4;
constexpr int kSessionClosed = 0xB0;
constexpr int kSessionHandleInvalid = 0xB3;
constexpr int kTokenNotPresent = 0xE0;
constexpr int kTokenNotRecognized = 0xE1;

} // namespace

LoginFailure ClassifyLoginFailure(int result, int retriesLeft)
{
    switch (result) {
    case kPinIncorrect:
        return retriesLeft == 0 ? LoginFailure::Locked : LoginFailure::WrongPin;
    case kPinLocked:
        return LoginFailure::Locked;
    case kSlotIdInvalid:
    case kDeviceError:
    case kDeviceRemoved:
    case kSessionClosed:
    case kSessionHandleInvalid:
    case kTokenNotPresent:
    case kTokenNotRecognized:
        return LoginFailure::KeyGone;
    default:
        return LoginFailure::OtherError;
    }
}

} // namespace kx
