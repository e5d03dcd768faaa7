// SPDX-License-Identifier: Apache-2.0
// Key information, login, logout, PIN state, PIN change and label.
#include "TokenLibrary.h"

#include "drevmor.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>

namespace drevmor {
namespace {

// A figure of the token information as a non-negative int: "unavailable" is 0 and values that do
// not fit are held at INT32_MAX.
int clampFigure(CK_ULONG v)
{
    if (v == CK_UNAVAILABLE_INFORMATION)
        return 0;
    return v > static_cast<CK_ULONG>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

// The first of two memory figures that the module can say.
int memoryFigure(CK_ULONG publicFigure, CK_ULONG privateFigure)
{
    return clampFigure(publicFigure != CK_UNAVAILABLE_INFORMATION ? publicFigure : privateFigure);
}

// Copies a text into a buffer of `capacity` bytes, cut at a UTF-8 character boundary, terminated.
void copyText(char* dst, size_t capacity, const std::string& src)
{
    size_t n = std::min(src.size(), capacity - 1);
    if (n < src.size())
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(dst, src.data(), n);
    dst[n] = 0;
}

// A text from one of the vendor extensions' two-call functions, or nullopt when it fails.
template <class Fn>
std::optional<std::string> vendorText(Fn fn, CK_SLOT_ID slot)
{
    if (!fn)
        return std::nullopt;
    char buf[257] = {};
    unsigned long len = sizeof buf - 1;
    if (fn(slot, buf, &len) != CKR_OK)
        return std::nullopt;
    buf[sizeof buf - 1] = 0; // never trust the module to terminate within our buffer
    return std::string(buf, strnlen(buf, sizeof buf - 1));
}

// The length of a caller's PIN, or SIZE_MAX when it is longer than we accept.
size_t secretLength(const char* s)
{
    if (!s)
        return 0;
    size_t n = strnlen(s, kMaxSecretLength + 1);
    return n > kMaxSecretLength ? SIZE_MAX : n;
}

CK_UTF8CHAR_PTR pinBytes(const char* s)
{
    static CK_UTF8CHAR empty = 0;
    return s ? reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s)) : &empty;
}

} // namespace

int TokenLibrary::getInfo(int keyIndex, char* serial, char* label, char* manufacturer, char* model, int* maxPinLen,
                          int* minPinLen, int* soMaxPinLen, int* soMinPinLen, int* totalMemory, int* freeMemory,
                          int* hardwareVersion, int* firmwareVersion, int* initialised, int* reserved)
{
    if (!serial || !label || !manufacturer || !model || !maxPinLen || !minPinLen || !soMaxPinLen || !soMinPinLen ||
        !totalMemory || !freeMemory || !hardwareVersion || !firmwareVersion || !initialised || !reserved)
        return DRV_INVALID_PARAM;
    CK_TOKEN_INFO ti;
    if (int rv = tokenInfo(keyIndex, ti))
        return rv;
    const CK_SLOT_ID slot = slotOf(keyIndex);
    const VendorExtensions& ext = module().ext();

    // CK_TOKEN_INFO holds only the first 16 bytes of the serial and 32 of the label.
    auto fullSerial = vendorText(ext.getSerialNumber, slot);
    copyText(serial, DRV_SERIAL_SIZE, fullSerial ? *fullSerial : trimmedField(ti.serialNumber, sizeof ti.serialNumber));
    auto fullLabel = vendorText(ext.getTokenLabel, slot);
    copyText(label, DRV_LABEL_SIZE, fullLabel ? *fullLabel : trimmedField(ti.label, sizeof ti.label));
    copyText(manufacturer, DRV_MANUFACTURER_SIZE, trimmedField(ti.manufacturerID, sizeof ti.manufacturerID));
    copyText(model, DRV_MODEL_SIZE, trimmedField(ti.model, sizeof ti.model));

    *maxPinLen = clampFigure(ti.ulMaxPinLen);
    *minPinLen = clampFigure(ti.ulMinPinLen);
    // CK_TOKEN_INFO has one pair of PIN lengths; the SO PIN's own come from the extension.
    unsigned long soMin = ti.ulMinPinLen, soMax = ti.ulMaxPinLen;
    if (ext.getPinLengths && ext.getPinLengths(slot, CKU_SO, &soMin, &soMax) != CKR_OK) {
        soMin = ti.ulMinPinLen;
        soMax = ti.ulMaxPinLen;
    }
    *soMaxPinLen = clampFigure(soMax);
    *soMinPinLen = clampFigure(soMin);
    *totalMemory = memoryFigure(ti.ulTotalPublicMemory, ti.ulTotalPrivateMemory);
    *freeMemory = memoryFigure(ti.ulFreePublicMemory, ti.ulFreePrivateMemory);
    *hardwareVersion = ti.hardwareVersion.major * 256 + ti.hardwareVersion.minor;
    *firmwareVersion = ti.firmwareVersion.major * 256 + ti.firmwareVersion.minor;
    *initialised = (ti.flags & CKF_TOKEN_INITIALIZED) ? 1 : 0;
    *reserved = 0;
    return DRV_OK;
}

void TokenLibrary::pinCounters(int keyIndex, const CK_TOKEN_INFO* info, int& left, int& max)
{
    left = -1;
    max = -1;
    if (auto fn = module().ext().getPinCounters) {
        unsigned long l = 0, m = 0;
        if (fn(slotOf(keyIndex), CKU_USER, &l, &m) == CKR_OK) {
            left = clampFigure(l);
            max = clampFigure(m);
            return;
        }
    }
    if (!info)
        return;
    if (info->flags & CKF_USER_PIN_LOCKED)
        left = 0;
    else if (info->flags & CKF_USER_PIN_FINAL_TRY)
        left = 1;
}

int TokenLibrary::login(int keyIndex, const char* pin, int* retriesLeft)
{
    if (!retriesLeft)
        return DRV_INVALID_PARAM;
    *retriesLeft = -1;
    size_t len = secretLength(pin);
    if (len == SIZE_MAX)
        return DRV_INVALID_PARAM;
    int rv = DRV_OK;
    P11Session* s = session(keyIndex, rv, false);
    if (!s)
        return rv;
    CK_TOKEN_INFO ti;
    if (int r = tokenInfo(keyIndex, ti))
        return r;
    // An empty PIN on a key with a sensor: the module asks the sensor itself.
    const bool sensor = len == 0 && (ti.flags & CKF_PROTECTED_AUTHENTICATION_PATH);
    // A login lost with a session the module dropped is what this call restores: it is made on
    // the new session all the same.
    CK_RV crv = s->call(
        [&](CK_SESSION_HANDLE h) { return f()->C_Login(h, CKU_USER, sensor ? nullptr : pinBytes(pin), len); }, false);
    s->forgetObjects(); // private objects come into view
    if (crv == CKR_USER_ALREADY_LOGGED_IN)
        crv = CKR_OK;
    if (crv == CKR_OK)
        s->setLoggedIn(true);
    dropDeadSession(keyIndex);

    CK_TOKEN_INFO after;
    const bool haveInfo = f()->C_GetTokenInfo(slotOf(keyIndex), &after) == CKR_OK;
    int left = -1, max = -1;
    pinCounters(keyIndex, haveInfo ? &after : nullptr, left, max);
    *retriesLeft = left;
    if (crv == CKR_PIN_LOCKED) {
        // Locked for good only when the key says so; otherwise the module turns logins away for a
        // while (a TPM's dictionary-attack lockout), and how many tries follow is not known.
        if ((haveInfo && (after.flags & CKF_USER_PIN_LOCKED)) || left == 0) {
            *retriesLeft = 0;
            return toResult(crv);
        }
        *retriesLeft = -1;
        return DRV_PIN_LOCKOUT;
    }
    if (crv == CKR_OK)
        return DRV_OK;
    if (sensor && crv == CKR_PIN_INCORRECT)
        return DRV_FINGER_NOT_MATCHED;
    return toResult(crv);
}

int TokenLibrary::logout(int keyIndex)
{
    int rv = DRV_OK;
    P11Session* s = session(keyIndex, rv, false);
    if (!s)
        return rv;
    CK_RV crv = s->call([&](CK_SESSION_HANDLE h) { return f()->C_Logout(h); }, false);
    s->forgetObjects();
    if (crv == CKR_OK || crv == CKR_USER_NOT_LOGGED_IN)
        s->setLoggedIn(false);
    dropDeadSession(keyIndex);
    return crv == CKR_USER_NOT_LOGGED_IN ? DRV_OK : toResult(crv);
}

int TokenLibrary::pinState(int keyIndex, int userType, int* state[6])
{
    for (int i = 0; i < 6; ++i)
        if (!state[i])
            return DRV_INVALID_PARAM;
    for (int i = 0; i < 6; ++i)
        *state[i] = 0;
    if (userType != 1)
        return DRV_INVALID_PARAM;
    CK_TOKEN_INFO ti;
    if (int rv = tokenInfo(keyIndex, ti))
        return rv;
    int left = -1, max = -1;
    pinCounters(keyIndex, &ti, left, max);
    const bool locked = (ti.flags & CKF_USER_PIN_LOCKED) || left == 0;
    *state[0] = locked ? 0 : left;
    *state[1] = max;
    *state[4] = locked ? 1 : 0;
    *state[5] = (ti.flags & CKF_USER_PIN_TO_BE_CHANGED) ? 1 : 0;
    return DRV_OK;
}

int TokenLibrary::changePin(int keyIndex, const char* oldPin, const char* newPin)
{
    if (!oldPin || !newPin)
        return DRV_INVALID_PARAM;
    size_t oldLen = secretLength(oldPin), newLen = secretLength(newPin);
    if (oldLen == SIZE_MAX || newLen == SIZE_MAX)
        return DRV_INVALID_PARAM;
    int rv = DRV_OK;
    P11Session* s = session(keyIndex, rv);
    if (!s)
        return rv;
    CK_RV crv = s->call(
        [&](CK_SESSION_HANDLE h) { return f()->C_SetPIN(h, pinBytes(oldPin), oldLen, pinBytes(newPin), newLen); });
    dropDeadSession(keyIndex);
    return toResult(crv);
}

int TokenLibrary::setLabel(int keyIndex, const char* field)
{
    if (!field)
        return DRV_INVALID_PARAM;
    if (int rv = checkKey(keyIndex))
        return rv;
    // The field is 64 bytes wide and need not hold a terminator.
    std::string label(field, strnlen(field, DRV_LABEL_FIELD_SIZE));
    auto fn = module().ext().setTokenLabel;
    if (!fn)
        return toResult(CKR_FUNCTION_NOT_SUPPORTED);
    return toResult(fn(slotOf(keyIndex), label.c_str()));
}

int TokenLibrary::reload(int keyIndex)
{
    // The key's objects are read once and kept between calls; reloading forgets them, so that the
    // next call reads what other programs changed, and checks that the key and its session are
    // still there (reopening a session that was dropped).
    int rv = DRV_OK;
    P11Session* s = session(keyIndex, rv);
    if (!s)
        return rv;
    s->forgetObjects();
    CK_SESSION_INFO info{};
    CK_RV crv = s->call([&](CK_SESSION_HANDLE h) { return f()->C_GetSessionInfo(h, &info); });
    dropDeadSession(keyIndex);
    return toResult(crv);
}

} // namespace drevmor
