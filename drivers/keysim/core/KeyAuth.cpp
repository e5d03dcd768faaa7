// SPDX-License-Identifier: Apache-2.0
#include "KeyAuth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace keysim {

namespace {
constexpr int kPinIterations = 2000;

PinRecord& pinOf(KeyRecord& rec, PinUser who)
{
    return who == PinUser::User ? rec.user : rec.so;
}

bool constantTimeEqual(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
} // namespace

std::string hashPin(const std::string& saltHex, std::string_view pin)
{
    auto salt = fromHex(saltHex);
    if (!salt)
        throw std::runtime_error("bad PIN salt");
    std::uint8_t out[32];
    if (PKCS5_PBKDF2_HMAC(pin.data(), static_cast<int>(pin.size()), salt->data(), static_cast<int>(salt->size()),
                          kPinIterations, EVP_sha256(), sizeof out, out) != 1)
        throw std::runtime_error("PIN hash failed");
    std::string hex = toHex(out, sizeof out);
    OPENSSL_cleanse(out, sizeof out);
    return hex;
}

void setPinHash(PinRecord& rec, std::string_view pin)
{
    if (rec.salt.empty())
        rec.salt = toHex(randomBytes(16));
    rec.hash = hashPin(rec.salt, pin);
}

void initialisePins(KeyRecord& rec, std::string_view userPin, std::string_view soPin)
{
    rec.user.salt.clear();
    rec.so.salt.clear();
    setPinHash(rec.user, userPin);
    rec.initialPinHash = rec.user.hash;
    setPinHash(rec.so, soPin);
    rec.user.retries = rec.user.maxRetries;
    rec.so.retries = rec.so.maxRetries;
}

bool pinIsDefault(const KeyRecord& rec)
{
    return !rec.initialPinHash.empty() && constantTimeEqual(rec.user.hash, rec.initialPinHash);
}

static AuthOutcome checkLocked(const KeyStore& store, KeyRecord& rec, PinUser who, std::string_view pin)
{
    PinRecord& p = pinOf(rec, who);
    if (p.retries == 0)
        return {AuthResult::Locked, 0};
    if (constantTimeEqual(hashPin(p.salt, pin), p.hash)) {
        if (p.retries != p.maxRetries) {
            p.retries = p.maxRetries;
            store.save(rec);
        }
        return {AuthResult::Ok, p.retries};
    }
    --p.retries;
    store.save(rec);
    return {p.retries == 0 ? AuthResult::Locked : AuthResult::Incorrect, p.retries};
}

AuthOutcome verifyPin(const KeyStore& store, const std::string& serial, PinUser who, std::string_view pin)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    return checkLocked(store, rec, who, pin);
}

AuthOutcome changePin(const KeyStore& store, const std::string& serial, PinUser who, std::string_view oldPin,
                      std::string_view newPin)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    PinRecord& p = pinOf(rec, who);
    if (newPin.size() < p.minLen || newPin.size() > p.maxLen)
        return {AuthResult::LenRange, p.retries};
    AuthOutcome o = checkLocked(store, rec, who, oldPin);
    if (o.result != AuthResult::Ok)
        return o;
    setPinHash(p, newPin);
    store.save(rec);
    return o;
}

AuthOutcome resetUserPin(const KeyStore& store, const std::string& serial, std::string_view newPin)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    if (newPin.size() < rec.user.minLen || newPin.size() > rec.user.maxLen)
        return {AuthResult::LenRange, rec.user.retries};
    setPinHash(rec.user, newPin);
    rec.user.retries = rec.user.maxRetries;
    store.save(rec);
    return {AuthResult::Ok, rec.user.retries};
}

long fingerTimeoutMs()
{
    return envMs("KX2700_KEYSIM_FINGER_TIMEOUT_MS", 10000);
}

int waitForFinger(const KeyStore& store, const std::string& serial, long timeoutMs,
                  const std::function<bool()>& abandon)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto f = store.takeFinger(serial))
            return *f;
        if (std::chrono::steady_clock::now() >= deadline || (abandon && abandon()))
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

AuthOutcome matchFinger(const KeyStore& store, const std::string& serial, int finger)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    if (rec.fingerRetries == 0)
        return {AuthResult::Locked, 0};
    if (finger <= 0)
        return {AuthResult::NoFinger, rec.fingerRetries};
    if (rec.fingerEnrolled(static_cast<std::uint32_t>(finger))) {
        if (rec.fingerRetries != rec.fingerMaxRetries) {
            rec.fingerRetries = rec.fingerMaxRetries;
            store.save(rec);
        }
        return {AuthResult::Ok, rec.fingerRetries};
    }
    --rec.fingerRetries;
    store.save(rec);
    return {rec.fingerRetries == 0 ? AuthResult::Locked : AuthResult::Incorrect, rec.fingerRetries};
}

Bytes remoteUnlockCode(const Bytes& secret, const Bytes& request)
{
    std::uint8_t mac[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), request.data(), request.size(), mac, &len))
        throw std::runtime_error("HMAC failed");
    return Bytes(mac, mac + len);
}

std::string unlockCodeHex(const KeyRecord& rec, const std::string& requestHex)
{
    auto secret = fromHex(rec.unblockSecret);
    auto request = fromHex(requestHex);
    if (!secret || !request || request->empty())
        return {};
    Bytes code = remoteUnlockCode(*secret, *request);
    return toHex(code.data(), 8, true);
}

Bytes newRemoteUnblockRequest(const KeyStore& store, const std::string& serial, std::size_t len)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    Bytes req = randomBytes(len);
    rec.unblockRequest = toHex(req);
    store.save(rec);
    return req;
}

bool remoteUnblock(const KeyStore& store, const std::string& serial, const Bytes& code)
{
    FileLock lock = store.lockKey(serial);
    KeyRecord rec = store.load(serial);
    auto secret = fromHex(rec.unblockSecret);
    auto request = fromHex(rec.unblockRequest);
    if (!secret || !request || request->empty() || code.size() < 8 || code.size() > 32)
        return false;
    Bytes expected = remoteUnlockCode(*secret, *request);
    if (CRYPTO_memcmp(expected.data(), code.data(), code.size()) != 0)
        return false;
    rec.user.hash = rec.initialPinHash;
    rec.user.retries = rec.user.maxRetries;
    rec.unblockRequest.clear();
    store.save(rec);
    return true;
}

} // namespace keysim
