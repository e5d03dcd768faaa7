// SPDX-License-Identifier: Apache-2.0
#include "SkfLibrary.h"

#include "../core/KeyAuth.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace keysim {

namespace {
constexpr std::size_t kMaxNameBytes = 256;
constexpr std::size_t kMaxPinBytes = 256;

bool visible(const BusEntry& e, const KeyRecord& rec)
{
    return nowMs() >= e.pluggedMs + static_cast<std::int64_t>(rec.visibleAfterMs);
}

// Writes names as a multi-string; an empty list reports size 0.
uint32_t putMultiString(const std::vector<std::string>& names, char* list, uint32_t* size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    std::string ms;
    for (const auto& n : names) {
        ms += n;
        ms.push_back('\0');
    }
    if (!ms.empty())
        ms.push_back('\0');
    const uint32_t need = static_cast<uint32_t>(ms.size());
    if (!list) {
        *size = need;
        return SAR_OK;
    }
    if (*size < need) {
        *size = need;
        return SAR_BUFFER_TOO_SMALL;
    }
    if (need == 0 && *size > 0)
        list[0] = '\0';
    std::memcpy(list, ms.data(), ms.size());
    *size = need;
    return SAR_OK;
}

void copyField(char* dst, std::size_t size, const std::string& src)
{
    std::memset(dst, 0, size);
    std::memcpy(dst, src.data(), std::min(size - 1, src.size()));
}

uint32_t authCode(AuthResult r)
{
    switch (r) {
    case AuthResult::Ok:
        return SAR_OK;
    case AuthResult::Incorrect:
        return SAR_PIN_INCORRECT;
    case AuthResult::Locked:
        return SAR_PIN_LOCKED;
    case AuthResult::LenRange:
        return SAR_PIN_LEN_RANGE;
    case AuthResult::NoFinger:
        return SAR_FINGER_CAPTURE_FAILED;
    }
    return SAR_FAIL;
}
} // namespace

SkfLibrary& SkfLibrary::instance()
{
    static SkfLibrary lib;
    return lib;
}

void SkfLibrary::dropDevice(DEVHANDLE h)
{
    std::erase_if(m_apps, [h](const auto& kv) { return kv.second->dev == h; });
    m_devices.erase(h);
}

uint32_t SkfLibrary::device(DEVHANDLE h, Device*& out, KeyRecord* rec)
{
    auto it = m_devices.find(h);
    if (!h || it == m_devices.end())
        return SAR_INVALIDHANDLEERR;
    KeyStore st = store();
    auto bus = st.busEntry(it->second->serial);
    auto r = st.tryLoad(it->second->serial);
    if (!bus || !r || bus->plugId != it->second->plugId)
        return SAR_DEVICE_REMOVED;
    out = it->second.get();
    if (rec)
        *rec = std::move(*r);
    return SAR_OK;
}

uint32_t SkfLibrary::application(HAPPLICATION h, App*& out, KeyRecord* rec)
{
    auto it = m_apps.find(h);
    if (!h || it == m_apps.end())
        return SAR_INVALIDHANDLEERR;
    Device* d = nullptr;
    if (uint32_t rv = device(it->second->dev, d, rec); rv != SAR_OK)
        return rv;
    out = it->second.get();
    return SAR_OK;
}

uint32_t SkfLibrary::fingerApp(HAPPLICATION h, uint32_t type, App*& out, KeyRecord& rec)
{
    if (uint32_t rv = application(h, out, &rec); rv != SAR_OK)
        return rv;
    if (type != SKF_USER_TYPE)
        return SAR_USER_TYPE_INVALID;
    if (!rec.hasSensor())
        return SAR_NOTSUPPORTYETERR;
    return SAR_OK;
}

uint32_t SkfLibrary::enumDev(bool, char* list, uint32_t* size)
{
    // Only plugged keys exist as devices, whatever the present-only flag says.
    std::vector<std::string> names;
    KeyStore st = store();
    for (const BusEntry& e : st.bus()) {
        auto rec = st.tryLoad(e.serial);
        if (rec && visible(e, *rec))
            names.push_back(e.serial);
    }
    return putMultiString(names, list, size);
}

uint32_t SkfLibrary::connectDev(const char* name, DEVHANDLE* out)
{
    if (!name || !out)
        return SAR_INVALIDPARAMERR;
    const std::size_t n = ::strnlen(name, kMaxNameBytes + 1);
    if (n > kMaxNameBytes)
        return SAR_NAMELENERR;
    const std::string serial(name, n);
    KeyStore st = store();
    auto bus = st.busEntry(serial);
    auto rec = st.tryLoad(serial);
    if (!bus || !rec || !visible(*bus, *rec))
        return SAR_INVALIDPARAMERR;
    if (rec->failConnect)
        return SAR_FAIL;
    auto d = std::make_unique<Device>();
    d->serial = serial;
    d->plugId = bus->plugId;
    void* h = d.get();
    m_devices.emplace(h, std::move(d));
    *out = h;
    return SAR_OK;
}

uint32_t SkfLibrary::disconnectDev(DEVHANDLE dev)
{
    if (!dev || !m_devices.count(dev))
        return SAR_INVALIDHANDLEERR;
    dropDevice(dev);
    return SAR_OK;
}

uint32_t SkfLibrary::getDevInfo(DEVHANDLE dev, DEVINFO* info)
{
    if (!info)
        return SAR_INVALIDPARAMERR;
    Device* d = nullptr;
    KeyRecord rec;
    if (uint32_t rv = device(dev, d, &rec); rv != SAR_OK)
        return rv;
    if (rec.failInfo)
        return SAR_FAIL;
    std::memset(info, 0, sizeof *info);
    info->Version = {1, 0};
    copyField(info->Manufacturer, sizeof info->Manufacturer, rec.manufacturer);
    copyField(info->Issuer, sizeof info->Issuer, rec.manufacturer);
    copyField(info->Label, sizeof info->Label, rec.label);
    // SerialNumber holds up to 32 characters; a 32-character serial fills it without terminator.
    std::memcpy(info->SerialNumber, rec.serial.data(), std::min(sizeof info->SerialNumber, rec.serial.size()));
    info->HWVersion = {rec.hwMajor, rec.hwMinor};
    info->FirmwareVersion = {rec.fwMajor, rec.fwMinor};
    info->TotalSpace = rec.totalMemory;
    info->FreeSpace = KeyStore::freeMemory(rec, store().usedMemory(rec.serial));
    info->MaxECCBufferSize = 2048;
    info->MaxBufferSize = 2048;
    return SAR_OK;
}

uint32_t SkfLibrary::enumApplication(DEVHANDLE dev, char* list, uint32_t* size)
{
    Device* d = nullptr;
    KeyRecord rec;
    if (uint32_t rv = device(dev, d, &rec); rv != SAR_OK)
        return rv;
    std::vector<std::string> names;
    if (rec.initialised)
        names.push_back(KEYSIM_SKF_APP_NAME);
    return putMultiString(names, list, size);
}

uint32_t SkfLibrary::openApplication(DEVHANDLE dev, const char* name, HAPPLICATION* out)
{
    if (!name || !out)
        return SAR_INVALIDPARAMERR;
    Device* d = nullptr;
    KeyRecord rec;
    if (uint32_t rv = device(dev, d, &rec); rv != SAR_OK)
        return rv;
    const std::size_t n = ::strnlen(name, kMaxNameBytes + 1);
    if (n > kMaxNameBytes)
        return SAR_NAMELENERR;
    if (!rec.initialised || std::string(name, n) != KEYSIM_SKF_APP_NAME)
        return SAR_APPLICATION_NOT_EXISTS;
    auto a = std::make_unique<App>();
    a->dev = dev;
    a->serial = d->serial;
    a->plugId = d->plugId;
    void* h = a.get();
    m_apps.emplace(h, std::move(a));
    *out = h;
    return SAR_OK;
}

uint32_t SkfLibrary::closeApplication(HAPPLICATION app)
{
    if (!app || !m_apps.count(app))
        return SAR_INVALIDHANDLEERR;
    m_apps.erase(app);
    return SAR_OK;
}

uint32_t SkfLibrary::verifyPin(HAPPLICATION h, uint32_t type, const char* pin, uint32_t* retries)
{
    App* a = nullptr;
    if (uint32_t rv = application(h, a); rv != SAR_OK)
        return rv;
    if (type != SKF_USER_TYPE && type != SKF_ADMIN_TYPE)
        return SAR_USER_TYPE_INVALID;
    if (!pin)
        return SAR_INVALIDPARAMERR;
    const std::size_t n = ::strnlen(pin, kMaxPinBytes + 1);
    if (n > kMaxPinBytes)
        return SAR_PIN_LEN_RANGE;
    SecretString secret(pin, n);
    AuthOutcome o =
        keysim::verifyPin(store(), a->serial, type == SKF_USER_TYPE ? PinUser::User : PinUser::SO, secret.view());
    if (retries)
        *retries = o.retriesLeft;
    if (o.result == AuthResult::Ok)
        a->loggedIn = type == SKF_USER_TYPE ? true : a->loggedIn;
    return authCode(o.result);
}

uint32_t SkfLibrary::clearSecureState(HAPPLICATION h)
{
    auto it = m_apps.find(h);
    if (!h || it == m_apps.end())
        return SAR_INVALIDHANDLEERR;
    it->second->loggedIn = false;
    it->second->enrolling = false;
    it->second->verifying = false;
    return SAR_OK;
}

uint32_t SkfLibrary::enrollFingerInit(HAPPLICATION h, uint32_t type, uint32_t finger)
{
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (!a->loggedIn)
        return SAR_USER_NOT_LOGGED_IN;
    if (finger < 1 || finger > 10)
        return SAR_INVALIDPARAMERR;
    if (rec.fingerEnrolled(finger))
        return SAR_FINGER_EXIST;
    a->enrolling = true;
    a->enrolFinger = finger;
    a->samplesTaken = 0;
    a->samplesNeeded = std::clamp<uint32_t>(rec.fingerSamples, 1, 10);
    return SAR_OK;
}

uint32_t SkfLibrary::enrollFinger(HAPPLICATION h, uint32_t type, uint32_t finger, uint32_t* progress)
{
    if (!progress)
        return SAR_INVALIDPARAMERR;
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (!a->loggedIn)
        return SAR_USER_NOT_LOGGED_IN;
    if (!a->enrolling || a->enrolFinger != finger)
        return SAR_FAIL;
    KeyStore st = store();
    // The virtual sensor sees the finger at every sample unless "no finger" was presented.
    if (auto presented = st.takeFinger(a->serial); presented && *presented <= 0) {
        *progress = a->samplesTaken;
        return SAR_FINGER_SAMPLE_PENDING;
    }
    ++a->samplesTaken;
    *progress = a->samplesTaken;
    if (a->samplesTaken < a->samplesNeeded)
        return SAR_FINGER_SAMPLE_PENDING;
    a->enrolling = false;
    FileLock lock = st.lockKey(a->serial);
    KeyRecord cur = st.load(a->serial);
    if (cur.fingerEnrolled(finger))
        return SAR_FINGER_EXIST;
    cur.fingers.push_back(finger);
    st.save(cur);
    return SAR_OK;
}

uint32_t SkfLibrary::verifyFingerInit(HAPPLICATION h, uint32_t type)
{
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (rec.fingerRetries == 0)
        return SAR_PIN_LOCKED;
    a->verifying = true;
    a->verifyDeadlineMs = nowMs() + fingerTimeoutMs();
    return SAR_OK;
}

uint32_t SkfLibrary::testFinger(HAPPLICATION h, uint32_t type, uint32_t* finger)
{
    if (!finger)
        return SAR_INVALIDPARAMERR;
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (rec.fingerRetries == 0) {
        a->verifying = false;
        return SAR_PIN_LOCKED;
    }
    if (rec.fingers.empty())
        return SAR_FINGER_NOT_EXIST;
    if (!a->verifying) {
        a->verifying = true;
        a->verifyDeadlineMs = nowMs() + fingerTimeoutMs();
    }
    KeyStore st = store();
    auto presented = st.takeFinger(a->serial);
    if (!presented) {
        if (nowMs() < a->verifyDeadlineMs)
            return SAR_FINGER_SAMPLE_PENDING;
        a->verifying = false;
        return SAR_FINGER_CAPTURE_FAILED;
    }
    a->verifying = false;
    AuthOutcome o = matchFinger(st, a->serial, *presented);
    if (o.result == AuthResult::Ok) {
        *finger = static_cast<uint32_t>(*presented);
        return SAR_OK;
    }
    return o.result == AuthResult::Locked ? SAR_PIN_LOCKED : SAR_FINGER_CAPTURE_FAILED;
}

uint32_t SkfLibrary::deleteFinger(HAPPLICATION h, uint32_t type, uint32_t finger)
{
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (!a->loggedIn)
        return SAR_USER_NOT_LOGGED_IN;
    if (finger < 1 || finger > 10)
        return SAR_INVALIDPARAMERR;
    KeyStore st = store();
    FileLock lock = st.lockKey(a->serial);
    KeyRecord cur = st.load(a->serial);
    auto it = std::find(cur.fingers.begin(), cur.fingers.end(), finger);
    if (it == cur.fingers.end())
        return SAR_FINGER_NOT_EXIST;
    cur.fingers.erase(it);
    st.save(cur);
    return SAR_OK;
}

uint32_t SkfLibrary::getFingerInfo(HAPPLICATION h, uint32_t type, uint32_t* v0, uint32_t* v1, uint32_t* v2,
                                   uint32_t* retryLeft, uint8_t* fingers, uint32_t* len)
{
    if (!fingers || !len)
        return SAR_INVALIDPARAMERR;
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    std::vector<uint8_t> bytes;
    if (rec.fingerFormat == FingerFormat::PresenceMap) {
        bytes.assign(10, 0);
        for (auto f : rec.fingers)
            bytes[f - 1] = 1;
    } else {
        for (auto f : rec.fingers)
            bytes.push_back(static_cast<uint8_t>(f));
    }
    if (*len < bytes.size()) {
        *len = static_cast<uint32_t>(bytes.size());
        return SAR_BUFFER_TOO_SMALL;
    }
    std::memcpy(fingers, bytes.data(), bytes.size());
    *len = static_cast<uint32_t>(bytes.size());
    if (v0)
        *v0 = 10;
    if (v1)
        *v1 = static_cast<uint32_t>(rec.fingers.size());
    if (v2)
        *v2 = rec.fingerMaxRetries;
    if (retryLeft)
        *retryLeft = rec.fingerRetries;
    return SAR_OK;
}

uint32_t SkfLibrary::unblockFinger(HAPPLICATION h, uint32_t type)
{
    App* a = nullptr;
    KeyRecord rec;
    if (uint32_t rv = fingerApp(h, type, a, rec); rv != SAR_OK)
        return rv;
    if (!a->loggedIn)
        return SAR_USER_NOT_LOGGED_IN;
    if (rec.user.retries == 0)
        return SAR_PIN_LOCKED;
    KeyStore st = store();
    FileLock lock = st.lockKey(a->serial);
    KeyRecord cur = st.load(a->serial);
    cur.fingerRetries = cur.fingerMaxRetries;
    st.save(cur);
    return SAR_OK;
}

uint32_t SkfLibrary::getDeviceCaps(DEVHANDLE dev, uint8_t*, uint32_t* value, uint32_t* caps)
{
    if (!caps)
        return SAR_INVALIDPARAMERR;
    Device* d = nullptr;
    KeyRecord rec;
    if (uint32_t rv = device(dev, d, &rec); rv != SAR_OK)
        return rv;
    if (value)
        *value = 0;
    *caps = rec.caps;
    return SAR_OK;
}

uint32_t SkfLibrary::setFingerMode(DEVHANDLE dev, uint32_t samples)
{
    Device* d = nullptr;
    if (uint32_t rv = device(dev, d); rv != SAR_OK)
        return rv;
    if (samples < 1 || samples > 10)
        return SAR_INVALIDPARAMERR;
    KeyStore st = store();
    FileLock lock = st.lockKey(d->serial);
    KeyRecord cur = st.load(d->serial);
    cur.fingerSamples = samples;
    st.save(cur);
    return SAR_OK;
}

uint32_t SkfLibrary::genRemoteUnblockRequest(HAPPLICATION h, uint8_t* request, uint32_t len)
{
    if (!request || len < 8 || len > 32)
        return SAR_INVALIDPARAMERR;
    App* a = nullptr;
    if (uint32_t rv = application(h, a); rv != SAR_OK)
        return rv;
    Bytes req = newRemoteUnblockRequest(store(), a->serial, len);
    std::memcpy(request, req.data(), req.size());
    return SAR_OK;
}

uint32_t SkfLibrary::remoteUnblockPin(HAPPLICATION h, const uint8_t* code, uint32_t len, uint32_t* reserved)
{
    if (!code || len == 0 || len > 64)
        return SAR_INVALIDPARAMERR;
    App* a = nullptr;
    if (uint32_t rv = application(h, a); rv != SAR_OK)
        return rv;
    if (reserved)
        *reserved = 0;
    return remoteUnblock(store(), a->serial, Bytes(code, code + len)) ? SAR_OK : SAR_FAIL;
}

} // namespace keysim
