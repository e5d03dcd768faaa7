// SPDX-License-Identifier: Apache-2.0
#include "Pkcs11Module.h"

#include "../core/KeyAuth.h"
#include "Pkcs11Crypto.h"

#include <algorithm>
#include <cstring>
#include <unistd.h>

namespace keysim {

namespace {
constexpr CK_ULONG kMaxPinBytes = 256;

// Truncates UTF-8 text to at most n bytes without cutting a character.
std::string utf8Prefix(const std::string& s, std::size_t n)
{
    if (s.size() <= n)
        return s;
    std::size_t cut = n;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
        --cut;
    return s.substr(0, cut);
}

CK_RV copyText(const std::string& text, char* buf, CK_ULONG_PTR len)
{
    if (!len)
        return CKR_ARGUMENTS_BAD;
    const CK_ULONG need = text.size() + 1;
    if (!buf) {
        *len = need;
        return CKR_OK;
    }
    if (*len < need) {
        *len = need;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(buf, text.c_str(), need);
    *len = need;
    return CKR_OK;
}
} // namespace

void padCopy(CK_UTF8CHAR* dst, std::size_t size, const std::string& src)
{
    std::memset(dst, ' ', size);
    std::string t = utf8Prefix(src, size);
    std::memcpy(dst, t.data(), t.size());
}

Pkcs11Module& Pkcs11Module::instance()
{
    static Pkcs11Module m;
    return m;
}

bool Pkcs11Module::initialised() const
{
    // A child after fork() must initialise again, as PKCS#11 requires.
    return m_init && m_pid == ::getpid();
}

CK_RV Pkcs11Module::initialize(CK_VOID_PTR args)
{
    if (initialised())
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (args) {
        auto* a = static_cast<CK_C_INITIALIZE_ARGS*>(args);
        if (a->pReserved)
            return CKR_ARGUMENTS_BAD;
        const bool someFns = a->CreateMutex || a->DestroyMutex || a->LockMutex || a->UnlockMutex;
        const bool allFns = a->CreateMutex && a->DestroyMutex && a->LockMutex && a->UnlockMutex;
        if (someFns && !allFns)
            return CKR_ARGUMENTS_BAD;
        // The module always locks with its own mutex, which serves every thread, so callbacks
        // handed in are not needed.
    }
    m_sessions.clear();
    m_logins.clear();
    m_state.reset();
    m_objects.clear();
    m_tokenHandles.clear();
    m_init = true;
    m_pid = ::getpid();
    return CKR_OK;
}

CK_RV Pkcs11Module::finalize(CK_VOID_PTR reserved)
{
    if (reserved)
        return CKR_ARGUMENTS_BAD;
    if (!initialised())
        return CKR_CRYPTOKI_NOT_INITIALIZED;
    m_sessions.clear();
    m_logins.clear();
    m_state.reset();
    m_objects.clear();
    m_tokenHandles.clear();
    m_init = false;
    return CKR_OK;
}

CK_RV Pkcs11Module::getInfo(CK_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {2, 40};
    padCopy(info->manufacturerID, sizeof info->manufacturerID, "KX2700 keysim");
    padCopy(info->libraryDescription, sizeof info->libraryDescription, "KX2700 virtual USB key");
    info->libraryVersion = {1, 0};
    return CKR_OK;
}

std::optional<Pkcs11Module::Present> Pkcs11Module::present(CK_SLOT_ID slot) const
{
    KeyStore st = store();
    for (const BusEntry& e : m_state.bus(st)) {
        if (e.number != slot)
            continue;
        auto rec = m_state.record(st, e.serial);
        if (!rec || rec->number != slot)
            return std::nullopt;
        if (nowMs() < e.pluggedMs + static_cast<std::int64_t>(rec->visibleAfterMs))
            return std::nullopt;
        return Present{e, *rec};
    }
    return std::nullopt;
}

bool Pkcs11Module::knownSlot(CK_SLOT_ID slot) const
{
    KeyStore st = store();
    for (const auto& serial : m_state.serials(st)) {
        auto rec = m_state.record(st, serial);
        if (rec && rec->number == slot)
            return true;
    }
    return false;
}

CK_RV Pkcs11Module::getSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    // A slot exists while its key is plugged (and visible), so both lists are the same.
    std::vector<CK_SLOT_ID> slots;
    KeyStore st = store();
    for (const BusEntry& e : m_state.bus(st))
        if (present(e.number))
            slots.push_back(e.number);
    if (!list) {
        *count = slots.size();
        return CKR_OK;
    }
    if (*count < slots.size()) {
        *count = slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(slots.begin(), slots.end(), list);
    *count = slots.size();
    return CKR_OK;
}

CK_RV Pkcs11Module::getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    auto p = present(slot);
    if (!p && !knownSlot(slot))
        return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    padCopy(info->slotDescription, sizeof info->slotDescription, "KX2700 keysim USB slot " + std::to_string(slot));
    padCopy(info->manufacturerID, sizeof info->manufacturerID, p ? p->rec.manufacturer : "KX2700 keysim");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (p ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = p ? CK_VERSION{p->rec.hwMajor, p->rec.hwMinor} : CK_VERSION{1, 0};
    info->firmwareVersion = p ? CK_VERSION{p->rec.fwMajor, p->rec.fwMinor} : CK_VERSION{1, 0};
    return CKR_OK;
}

static CK_FLAGS counterFlags(const PinRecord& p, CK_FLAGS low, CK_FLAGS last, CK_FLAGS locked)
{
    if (p.retries == 0)
        return locked;
    CK_FLAGS f = 0;
    if (p.retries < p.maxRetries)
        f |= low;
    if (p.retries == 1)
        f |= last;
    return f;
}

CK_RV Pkcs11Module::getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    const KeyRecord& r = p->rec;
    if (r.failInfo)
        return CKR_DEVICE_ERROR;
    std::memset(info, 0, sizeof *info);
    padCopy(info->label, sizeof info->label, r.label);
    padCopy(info->manufacturerID, sizeof info->manufacturerID, r.manufacturer);
    padCopy(info->model, sizeof info->model, r.model);
    padCopy(info->serialNumber, sizeof info->serialNumber, r.serial);
    CK_FLAGS f = CKF_RNG | CKF_LOGIN_REQUIRED;
    if (r.initialised)
        f |= CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED;
    if (r.hasSensor())
        f |= CKF_PROTECTED_AUTHENTICATION_PATH;
    f |= counterFlags(r.user, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
    f |= counterFlags(r.so, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
    if (pinIsDefault(r))
        f |= CKF_USER_PIN_TO_BE_CHANGED;
    info->flags = f;
    CK_ULONG sessions = 0, rw = 0;
    for (const auto& [h, s] : m_sessions)
        if (s.slot == slot) {
            ++sessions;
            if (s.flags & CKF_RW_SESSION)
                ++rw;
        }
    info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulSessionCount = sessions;
    info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
    info->ulRwSessionCount = rw;
    info->ulMaxPinLen = r.user.maxLen;
    info->ulMinPinLen = r.user.minLen;
    KeyStore st = store();
    const CK_ULONG freeMem = KeyStore::freeMemory(r, m_state.usedMemory(st, r.serial));
    info->ulTotalPublicMemory = r.totalMemory;
    info->ulFreePublicMemory = freeMem;
    info->ulTotalPrivateMemory = r.totalMemory;
    info->ulFreePrivateMemory = freeMem;
    info->hardwareVersion = {r.hwMajor, r.hwMinor};
    info->firmwareVersion = {r.fwMajor, r.fwMinor};
    std::memset(info->utcTime, ' ', sizeof info->utcTime);
    return CKR_OK;
}

CK_RV Pkcs11Module::initToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG len, CK_UTF8CHAR_PTR label)
{
    if (!pin || !label)
        return CKR_ARGUMENTS_BAD;
    if (len > kMaxPinBytes)
        return CKR_PIN_LEN_RANGE;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    for (const auto& [h, s] : m_sessions)
        if (s.slot == slot)
            return CKR_SESSION_EXISTS;
    SecretString so(reinterpret_cast<const char*>(pin), len);
    KeyStore st = store();
    AuthOutcome o = verifyPin(st, p->rec.serial, PinUser::SO, so.view());
    if (o.result != AuthResult::Ok)
        return pinResult(static_cast<int>(o.result));
    FileLock lock = st.lockKey(p->rec.serial);
    KeyRecord rec = st.load(p->rec.serial);
    for (auto id : st.objectIds(rec.serial))
        st.removeObject(rec.serial, id);
    std::string l(reinterpret_cast<const char*>(label), 32);
    while (!l.empty() && (l.back() == ' ' || l.back() == '\0'))
        l.pop_back();
    rec.label = l;
    rec.initialised = true;
    st.save(rec);
    return CKR_OK;
}

CK_RV Pkcs11Module::pinResult(int r) const
{
    switch (static_cast<AuthResult>(r)) {
    case AuthResult::Ok:
        return CKR_OK;
    case AuthResult::Incorrect:
        return CKR_PIN_INCORRECT;
    case AuthResult::Locked:
        return CKR_PIN_LOCKED;
    case AuthResult::LenRange:
        return CKR_PIN_LEN_RANGE;
    case AuthResult::NoFinger:
        return CKR_FUNCTION_CANCELED;
    }
    return CKR_GENERAL_ERROR;
}

CK_RV Pkcs11Module::session(CK_SESSION_HANDLE h, Session*& s, Present* out)
{
    auto it = m_sessions.find(h);
    if (it == m_sessions.end())
        return CKR_SESSION_HANDLE_INVALID;
    const CK_SLOT_ID slot = it->second.slot;
    auto p = present(slot);
    if (!p || p->bus.plugId != it->second.plugId) {
        dropSlot(slot);
        return CKR_DEVICE_REMOVED;
    }
    s = &it->second;
    if (out)
        *out = std::move(*p);
    return CKR_OK;
}

void Pkcs11Module::dropSlot(CK_SLOT_ID slot)
{
    std::erase_if(m_sessions, [slot](const auto& kv) { return kv.second.slot == slot; });
    std::erase_if(m_objects, [slot](const auto& kv) { return kv.second.slot == slot; });
    std::erase_if(m_tokenHandles, [slot](const auto& kv) { return kv.first.first == slot; });
    m_logins.erase(slot);
}

std::optional<CK_USER_TYPE> Pkcs11Module::loggedIn(const Session& s) const
{
    auto it = m_logins.find(s.slot);
    if (it == m_logins.end() || it->second.plugId != s.plugId)
        return std::nullopt;
    return it->second.user;
}

CK_RV Pkcs11Module::openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR out)
{
    if (!out)
        return CKR_ARGUMENTS_BAD;
    if (!(flags & CKF_SERIAL_SESSION))
        return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    if (p->rec.failConnect)
        return CKR_DEVICE_ERROR;
    // Sessions and logins left from an earlier plug of this slot are gone.
    for (const auto& [h, s] : m_sessions)
        if (s.slot == slot && s.plugId != p->bus.plugId) {
            dropSlot(slot);
            break;
        }
    if (auto it = m_logins.find(slot); it != m_logins.end() && it->second.plugId != p->bus.plugId)
        m_logins.erase(it);
    if (!(flags & CKF_RW_SESSION)) {
        if (auto it = m_logins.find(slot); it != m_logins.end() && it->second.user == CKU_SO)
            return CKR_SESSION_READ_WRITE_SO_EXISTS;
    }
    Session s;
    s.slot = slot;
    s.serial = p->rec.serial;
    s.plugId = p->bus.plugId;
    s.flags = flags & (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    const CK_SESSION_HANDLE h = m_nextSession++;
    m_sessions.emplace(h, std::move(s));
    *out = h;
    return CKR_OK;
}

CK_RV Pkcs11Module::closeSession(CK_SESSION_HANDLE h)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    const CK_SLOT_ID slot = s->slot;
    std::erase_if(m_objects, [h](const auto& kv) { return !kv.second.token && kv.second.owner == h; });
    m_sessions.erase(h);
    if (std::none_of(m_sessions.begin(), m_sessions.end(), [slot](const auto& kv) { return kv.second.slot == slot; }))
        m_logins.erase(slot);
    return CKR_OK;
}

CK_RV Pkcs11Module::closeAllSessions(CK_SLOT_ID slot)
{
    if (!present(slot) && !knownSlot(slot))
        return CKR_SLOT_ID_INVALID;
    dropSlot(slot);
    return CKR_OK;
}

CK_RV Pkcs11Module::getSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    const bool rw = s->flags & CKF_RW_SESSION;
    auto who = loggedIn(*s);
    info->slotID = s->slot;
    info->flags = s->flags;
    info->ulDeviceError = 0;
    if (!who)
        info->state = rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    else if (*who == CKU_SO)
        info->state = CKS_RW_SO_FUNCTIONS;
    else
        info->state = rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    return CKR_OK;
}

CK_RV Pkcs11Module::login(CK_SESSION_HANDLE h, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    Session* s = nullptr;
    Present p;
    if (CK_RV rv = session(h, s, &p); rv != CKR_OK)
        return rv;
    if (type != CKU_USER && type != CKU_SO && type != CKU_CONTEXT_SPECIFIC)
        return CKR_USER_TYPE_INVALID;
    auto who = loggedIn(*s);
    if (type == CKU_CONTEXT_SPECIFIC) {
        if (who != CKU_USER)
            return CKR_USER_NOT_LOGGED_IN;
    } else if (who) {
        return *who == type ? CKR_USER_ALREADY_LOGGED_IN : CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
    }
    if (!p.rec.initialised)
        return CKR_USER_PIN_NOT_INITIALIZED;
    if (type == CKU_SO)
        for (const auto& [hh, ss] : m_sessions)
            if (ss.slot == s->slot && !(ss.flags & CKF_RW_SESSION))
                return CKR_SESSION_READ_ONLY_EXISTS;
    KeyStore st = store();
    const std::string serial = s->serial;
    const CK_SLOT_ID slot = s->slot;
    const std::string plugId = s->plugId;
    AuthOutcome o;
    if (!pin) {
        // Protected authentication path: the key's sensor reads the finger.
        if (len != 0 || !p.rec.hasSensor() || type == CKU_SO)
            return CKR_ARGUMENTS_BAD;
        AuthOutcome locked = matchFinger(st, serial, -1);
        if (locked.result == AuthResult::Locked)
            return CKR_PIN_LOCKED;
        // Other threads keep using the module while this one waits for the finger.
        m_mutex.unlock();
        int finger = -1;
        try {
            // A pull ends the wait at once; the session check below then reports it.
            finger = waitForFinger(st, serial, fingerTimeoutMs(), [&] {
                auto e = st.busEntry(serial);
                return !e || e->plugId != plugId;
            });
        } catch (...) {
            m_mutex.lock();
            throw;
        }
        m_mutex.lock();
        // The session may have been closed or its key pulled meanwhile.
        if (CK_RV rv = session(h, s); rv != CKR_OK)
            return rv;
        if (loggedIn(*s))
            return CKR_USER_ALREADY_LOGGED_IN;
        o = matchFinger(st, serial, finger);
    } else {
        if (len > kMaxPinBytes)
            return CKR_PIN_LEN_RANGE;
        SecretString secret(reinterpret_cast<const char*>(pin), len);
        o = verifyPin(st, serial, type == CKU_SO ? PinUser::SO : PinUser::User, secret.view());
    }
    if (o.result != AuthResult::Ok)
        return pinResult(static_cast<int>(o.result));
    if (type != CKU_CONTEXT_SPECIFIC)
        m_logins[slot] = Login{plugId, type};
    return CKR_OK;
}

CK_RV Pkcs11Module::logout(CK_SESSION_HANDLE h)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!loggedIn(*s))
        return CKR_USER_NOT_LOGGED_IN;
    m_logins.erase(s->slot);
    // Private session objects are no longer reachable by handle.
    return CKR_OK;
}

CK_RV Pkcs11Module::initPin(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (loggedIn(*s) != CKU_SO)
        return CKR_USER_NOT_LOGGED_IN;
    if (!(s->flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    if (!pin)
        return CKR_ARGUMENTS_BAD;
    if (len > kMaxPinBytes)
        return CKR_PIN_LEN_RANGE;
    SecretString secret(reinterpret_cast<const char*>(pin), len);
    return pinResult(static_cast<int>(resetUserPin(store(), s->serial, secret.view()).result));
}

CK_RV Pkcs11Module::setPin(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin,
                           CK_ULONG newLen)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!(s->flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    if (!oldPin || !newPin)
        return CKR_ARGUMENTS_BAD;
    if (oldLen > kMaxPinBytes || newLen > kMaxPinBytes)
        return CKR_PIN_LEN_RANGE;
    SecretString o(reinterpret_cast<const char*>(oldPin), oldLen);
    SecretString n(reinterpret_cast<const char*>(newPin), newLen);
    const PinUser who = loggedIn(*s) == CKU_SO ? PinUser::SO : PinUser::User;
    return pinResult(static_cast<int>(changePin(store(), s->serial, who, o.view(), n.view()).result));
}

CK_RV Pkcs11Module::generateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG len)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!out && len)
        return CKR_ARGUMENTS_BAD;
    if (len > (1u << 20))
        return CKR_ARGUMENTS_BAD;
    Bytes b = randomBytes(len);
    std::copy(b.begin(), b.end(), out);
    return CKR_OK;
}

CK_RV Pkcs11Module::pinCounters(CK_SLOT_ID slot, CK_USER_TYPE type, CK_ULONG_PTR left, CK_ULONG_PTR max)
{
    if (!left || !max)
        return CKR_ARGUMENTS_BAD;
    if (type != CKU_USER && type != CKU_SO)
        return CKR_USER_TYPE_INVALID;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    const PinRecord& r = type == CKU_SO ? p->rec.so : p->rec.user;
    *left = r.retries;
    *max = r.maxRetries;
    return CKR_OK;
}

CK_RV Pkcs11Module::getPinLengths(CK_SLOT_ID slot, CK_USER_TYPE type, CK_ULONG_PTR minLen, CK_ULONG_PTR maxLen)
{
    if (!minLen || !maxLen)
        return CKR_ARGUMENTS_BAD;
    if (type != CKU_USER && type != CKU_SO)
        return CKR_USER_TYPE_INVALID;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    const PinRecord& r = type == CKU_SO ? p->rec.so : p->rec.user;
    *minLen = r.minLen;
    *maxLen = r.maxLen;
    return CKR_OK;
}

CK_RV Pkcs11Module::setTokenLabel(CK_SLOT_ID slot, const char* label)
{
    if (!label)
        return CKR_ARGUMENTS_BAD;
    const std::size_t n = ::strnlen(label, 129);
    if (n > 128)
        return CKR_ARGUMENTS_BAD;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    if (p->rec.failInfo)
        return CKR_DEVICE_ERROR;
    KeyStore st = store();
    FileLock lock = st.lockKey(p->rec.serial);
    KeyRecord rec = st.load(p->rec.serial);
    rec.label.assign(label, n);
    st.save(rec);
    return CKR_OK;
}

CK_RV Pkcs11Module::getTokenLabel(CK_SLOT_ID slot, char* buf, CK_ULONG_PTR len)
{
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    if (p->rec.failInfo)
        return CKR_DEVICE_ERROR;
    return copyText(p->rec.label, buf, len);
}

CK_RV Pkcs11Module::getSerialNumber(CK_SLOT_ID slot, char* buf, CK_ULONG_PTR len)
{
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    if (p->rec.failInfo)
        return CKR_DEVICE_ERROR;
    return copyText(p->rec.serial, buf, len);
}

CK_RV Pkcs11Module::getUsbIds(CK_SLOT_ID slot, CK_ULONG_PTR vid, CK_ULONG_PTR pid)
{
    if (!vid || !pid)
        return CKR_ARGUMENTS_BAD;
    auto p = present(slot);
    if (!p)
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    *vid = p->rec.vid;
    *pid = p->rec.pid;
    return CKR_OK;
}

} // namespace keysim
