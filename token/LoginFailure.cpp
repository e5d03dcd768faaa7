// SPDX-License-Identifier: Apache-2.0
#include "LoginFailure.h"

#include "drivers/drevmor/drevmor.h"

namespace kx {

namespace {

// The module's answers passed on by the token library unchanged.
constexpr int kArgumentsBad = 0x07;
constexpr int kSlotIdInvalid = 0x03;
constexpr int kFunctionNotSupported = 0x54;
constexpr int kDeviceRemoved = 0x32;
constexpr int kPinIncorrect = 0xA0;
constexpr int kPinInvalid = 0xA1;
constexpr int kPinLenRange = 0xA2;
constexpr int kPinLocked = 0xA4;
constexpr int kSessionReadOnly = 0xB5;
constexpr int kTokenNotPresent = 0xE0;
constexpr int kTokenNotRecognized = 0xE1;
constexpr int kTokenWriteProtected = 0xE2;
constexpr int kUserNotLoggedIn = 0x101;

} // namespace

LoginFailure ClassifyLoginFailure(int result, int retriesLeft)
{
    switch (result) {
    case kPinIncorrect:
    case kPinLenRange:
        return retriesLeft == 0 ? LoginFailure::Locked : LoginFailure::WrongPin;
    case kPinLocked:
        return LoginFailure::Locked;
    case kSlotIdInvalid:
    case kDeviceRemoved:
    case kTokenNotPresent:
    case kTokenNotRecognized:
        return LoginFailure::KeyGone;
    case DRV_LOGIN_LOST:
        return LoginFailure::LoginLost;
    case DRV_PIN_LOCKOUT:
        return LoginFailure::Lockout;
    case 0x05: // CKR_GENERAL_ERROR
    case 0x06: // CKR_FUNCTION_FAILED
    case 0x30: // CKR_DEVICE_ERROR
    case 0x31: // CKR_DEVICE_MEMORY
    case 0xB0: // CKR_SESSION_CLOSED
    case 0xB3: // CKR_SESSION_HANDLE_INVALID
        return LoginFailure::DeviceFailure;
    default:
        return LoginFailure::OtherError;
    }
}

PinChangeFailure ClassifyPinChangeFailure(int result)
{
    switch (result) {
    case kPinIncorrect:
        return PinChangeFailure::WrongOldPin;
    case kPinInvalid:
    case kPinLenRange:
    case kPinLocked:
    case DRV_PIN_LOCKOUT:
    case kArgumentsBad:
    case kFunctionNotSupported:
    case kSessionReadOnly:
    case kTokenWriteProtected:
    case kUserNotLoggedIn:
    case DRV_INVALID_PARAM:
    case DRV_NOT_INITIALIZED:
        return PinChangeFailure::Refused;
    default:
        // A device error, a pulled key or a lost session during the change: the key may have
        // written the new PIN before its answer was lost.
        return PinChangeFailure::Unconfirmed;
    }
}

} // namespace kx
