// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "KeyStore.h"

#include <functional>
#include <string>
#include <string_view>

// PIN, fingerprint and remote-unblock rules of a key, shared by the PKCS#11 and SKF faces so both
// count on the same retry counters. Every function that changes a counter locks the key.
namespace keysim {

enum class PinUser
{
    User,
    SO
};

enum class AuthResult
{
    Ok,
    Incorrect, // wrong PIN or finger; a counter went down and is not yet 0
    Locked,    // the counter is 0 (now or before); the right PIN is refused too
    LenRange,  // a new PIN outside the key's length limits
    NoFinger,  // the sensor read no finger (timeout or "no finger" presented); nothing counted
};

struct AuthOutcome
{
    AuthResult result = AuthResult::Ok;
    std::uint32_t retriesLeft = 0;
};

// PBKDF2-HMAC-SHA256 of the PIN with the hex salt, as hex.
std::string hashPin(const std::string& saltHex, std::string_view pin);
// Sets rec.hash for the PIN, keeping rec.salt (creating one when empty).
void setPinHash(PinRecord& rec, std::string_view pin);
// Sets up a new key's user PIN (also as its initial PIN) and SO PIN.
void initialisePins(KeyRecord& rec, std::string_view userPin, std::string_view soPin);

// The user PIN still equals the initial PIN.
bool pinIsDefault(const KeyRecord& rec);

AuthOutcome verifyPin(const KeyStore& store, const std::string& serial, PinUser who, std::string_view pin);
// Checks oldPin (counting like verifyPin), then sets newPin.
AuthOutcome changePin(const KeyStore& store, const std::string& serial, PinUser who, std::string_view oldPin,
                      std::string_view newPin);
// Sets the user PIN without the old one (the SO's C_InitPIN) and clears its lock.
AuthOutcome resetUserPin(const KeyStore& store, const std::string& serial, std::string_view newPin);

// Waits up to timeoutMs for a finger presented to the key's sensor and consumes it.
// Returns -1 when none arrived or `abandon` said to stop (polls every 20 ms, only while waiting).
int waitForFinger(const KeyStore& store, const std::string& serial, long timeoutMs,
                  const std::function<bool()>& abandon = {});
// Default wait: $KX2700_KEYSIM_FINGER_TIMEOUT_MS or 10000 ms.
long fingerTimeoutMs();
// Compares a read finger (-1/0 = none) with the enrolled ones, counting on the finger counter.
AuthOutcome matchFinger(const KeyStore& store, const std::string& serial, int finger);

// HMAC-SHA256(secret, request); the issuing party hands out its first 8 bytes as the unlock code.
Bytes remoteUnlockCode(const Bytes& secret, const Bytes& request);
// What the issuing party answers to a request given as hex: the unlock code as 16 upper-case hex
// characters, for the key's secret. Empty when the request is not hex.
std::string unlockCodeHex(const KeyRecord& rec, const std::string& requestHex);
// Remembers a fresh request of len bytes and returns it.
Bytes newRemoteUnblockRequest(const KeyStore& store, const std::string& serial, std::size_t len);
// A code equal to the first 8 to 32 bytes of HMAC-SHA256(secret, last request) resets the user PIN
// to the initial PIN and clears its lock; anything else changes nothing.
bool remoteUnblock(const KeyStore& store, const std::string& serial, const Bytes& code);

} // namespace keysim
