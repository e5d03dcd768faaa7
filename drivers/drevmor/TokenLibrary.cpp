// SPDX-License-Identifier: Apache-2.0
// Module life cycle, key enumeration and sessions.
#include "TokenLibrary.h"

#include "drevmor.h"

#include <climits>
#include <cstdlib>

namespace drevmor {

int toResult(CK_RV rv)
{
    if (rv > 0xFFFFFFFFul)
        return DRV_GENERAL_ERROR;
    return static_cast<int>(static_cast<std::uint32_t>(rv));
}

TokenLibrary& TokenLibrary::instance()
{
    // Never destroyed: at process exit the module's own globals may already be gone, so
    // finalising it from a static destructor could crash. uninit_pkcs11 is the way out.
    static TokenLibrary* lib = new TokenLibrary;
    return *lib;
}

static std::string canonical(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string out(real);
    std::free(real);
    return out;
}

int TokenLibrary::init(const char* name)
{
    if (!name || !*name)
        return DRV_INVALID_PARAM;
    std::string path = resolveModulePath(name);
    std::string key = canonical(path);
    // The manager initialises each time its window is shown: the same module stays as it is,
    // with its sessions and logins.
    if (m_module && key == m_modulePath)
        return DRV_OK;
    closeAll();
    int rv = DRV_MODULE_LOAD_FAILED;
    m_module = Pkcs11Module::load(path, rv);
    if (!m_module)
        return rv;
    m_modulePath = key;
    return DRV_OK;
}

void TokenLibrary::closeAll()
{
    m_keys.clear(); // sessions close before the module goes
    m_module.reset();
    m_modulePath.clear();
}

int TokenLibrary::uninit()
{
    closeAll();
    auto files = lockFiles();
    m_files.clear();
    return DRV_OK;
}

TokenLibrary::KeyLock TokenLibrary::lockKey(int keyIndex)
{
    KeyLock held;
    held.table = std::shared_lock<std::shared_mutex>(m_table);
    if (checkKey(keyIndex) == DRV_OK)
        held.key = std::unique_lock<std::mutex>(m_keys[static_cast<size_t>(keyIndex)]->mutex);
    return held;
}

CK_RV TokenLibrary::presentSlots(std::vector<CK_SLOT_ID>& slots)
{
    CK_RV rv = CKR_OK;
    // The list can change between the two calls when a key is plugged: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        CK_ULONG n = 0;
        rv = f()->C_GetSlotList(CK_TRUE, nullptr, &n);
        if (rv != CKR_OK)
            return rv;
        n = std::min<CK_ULONG>(n, 1024);
        slots.assign(n, 0);
        if (n == 0)
            return CKR_OK;
        CK_ULONG got = n;
        rv = f()->C_GetSlotList(CK_TRUE, slots.data(), &got);
        if (rv == CKR_BUFFER_TOO_SMALL)
            continue;
        if (rv != CKR_OK)
            return rv;
        slots.resize(std::min(got, n));
        return CKR_OK;
    }
    return rv;
}

int TokenLibrary::find(int maxKeys, int& count)
{
    count = 0;
    if (!m_module)
        return DRV_NOT_INITIALIZED;
    // A module that stopped answering is started again here; while it cannot be, there is no key.
    if (m_dead && restart() != DRV_OK)
        return DRV_OK;
    std::vector<CK_SLOT_ID> slots;
    if (CK_RV rv = presentSlots(slots)) {
        if (!isDeadModuleResult(rv))
            return toResult(rv);
        m_keys.clear();
        m_dead = true;
        return DRV_OK;
    }

    // Keys still present keep their sessions (and so their logins).
    std::vector<std::unique_ptr<KeySlot>> keys;
    for (CK_SLOT_ID s : slots) {
        if (keys.size() >= static_cast<size_t>(maxKeys))
            break;
        CK_SLOT_INFO slotInfo{};
        CK_TOKEN_INFO tokenInfo{};
        const bool removable = f()->C_GetSlotInfo(s, &slotInfo) == CKR_OK && (slotInfo.flags & CKF_REMOVABLE_DEVICE);
        // A fixed slot whose token was never initialised is a module's spare slot, not a key; a
        // USB key that is not initialised is listed, so that the user learns what it needs.
        if (!removable && f()->C_GetTokenInfo(s, &tokenInfo) == CKR_OK && !(tokenInfo.flags & CKF_TOKEN_INITIALIZED))
            continue;
        auto k = std::make_unique<KeySlot>();
        k->slot = s;
        k->removable = removable;
        for (auto& old : m_keys)
            if (old->slot == s && old->session && !old->session->dead()) {
                k->session = std::move(old->session);
                k->session->forgetObjects();
            }
        keys.push_back(std::move(k));
    }
    m_keys = std::move(keys);
    count = static_cast<int>(m_keys.size());
    return DRV_OK;
}

int TokenLibrary::restart()
{
    if (!m_module)
        return DRV_NOT_INITIALIZED;
    m_keys.clear(); // the sessions close before the module is finalised
    const CK_RV rv = m_module->restart();
    m_dead = rv != CKR_OK;
    return toResult(rv);
}

int TokenLibrary::moduleResult(int keyIndex, int rv)
{
    if (rv == DRV_OK)
        return rv;
    if (m_dead)
        return toResult(CKR_DEVICE_REMOVED);
    if (rv < 0 || !isDeadModuleResult(static_cast<CK_RV>(rv)) || checkKey(keyIndex) != DRV_OK)
        return rv;
    if (!m_module->answers(slotOf(keyIndex))) {
        m_dead = true;
        return toResult(CKR_DEVICE_REMOVED);
    }
    return rv;
}

int TokenLibrary::checkDevice(int keyIndex)
{
    if (int rv = checkKey(keyIndex))
        return rv;
    if (m_dead)
        return toResult(CKR_DEVICE_REMOVED);
    if (!m_module->answers(slotOf(keyIndex))) {
        m_dead = true;
        return toResult(CKR_DEVICE_REMOVED);
    }
    return DRV_OK;
}

int TokenLibrary::caps(int keyIndex, unsigned long& slotId, int& caps)
{
    slotId = 0;
    caps = 0;
    if (int rv = checkKey(keyIndex))
        return rv;
    const KeySlot& k = *m_keys[static_cast<size_t>(keyIndex)];
    slotId = k.slot;
    const VendorExtensions& ext = module().ext();
    if (k.removable)
        caps |= DRV_CAP_REMOVABLE;
    // A wrapper may carry the extensions for a module that lacks them: only an answer counts.
    // Setting the label is not tried; its companion that reads the label is.
    char label[DRV_LABEL_SIZE] = {};
    unsigned long labelLength = sizeof label - 1;
    if (ext.setTokenLabel && ext.getTokenLabel && ext.getTokenLabel(k.slot, label, &labelLength) == CKR_OK)
        caps |= DRV_CAP_SET_LABEL;
    unsigned long left = 0, max = 0;
    if (ext.getPinCounters && ext.getPinCounters(k.slot, CKU_USER, &left, &max) == CKR_OK)
        caps |= DRV_CAP_PIN_COUNTER;
    if (k.session && k.session->privateMarkers())
        caps |= DRV_CAP_PRIVATE_MARKERS;
    return DRV_OK;
}

int TokenLibrary::checkKey(int keyIndex) const
{
    if (!m_module)
        return DRV_NOT_INITIALIZED;
    if (keyIndex < 0 || static_cast<size_t>(keyIndex) >= m_keys.size())
        return DRV_INVALID_PARAM;
    return DRV_OK;
}

int TokenLibrary::connect(int index)
{
    if (int rv = checkKey(index))
        return rv;
    KeySlot& k = *m_keys[static_cast<size_t>(index)];
    if (k.session && !k.session->dead()) {
        CK_SESSION_INFO info{};
        const CK_RV rv = k.session->call([&](CK_SESSION_HANDLE h) { return f()->C_GetSessionInfo(h, &info); });
        if (rv == CKR_OK || rv == kLoginLost)
            return toResult(rv);
    }
    k.session.reset();
    CK_RV rv = CKR_OK;
    k.session = P11Session::open(f(), k.slot, rv);
    if (rv != CKR_OK) {
        // A key whose token was never initialised may take no session, yet it is connected: its information shows it as
        // uninitialised, and every other call reports the module's code when it tries to open a session.
        CK_TOKEN_INFO info{};
        if (f()->C_GetTokenInfo(k.slot, &info) == CKR_OK && !(info.flags & CKF_TOKEN_INITIALIZED))
            return DRV_OK;
    }
    return toResult(rv);
}

P11Session* TokenLibrary::session(int keyIndex, int& rv, bool loginMatters)
{
    rv = checkKey(keyIndex);
    if (rv)
        return nullptr;
    KeySlot& k = *m_keys[static_cast<size_t>(keyIndex)];
    if (k.session && k.session->lost()) {
        if (CK_RV crv = k.session->recover(loginMatters)) {
            if (k.session->dead())
                k.session.reset();
            rv = toResult(crv);
            return nullptr;
        }
    }
    if (k.session && k.session->dead())
        k.session.reset();
    if (!k.session) {
        CK_RV crv = CKR_OK;
        k.session = P11Session::open(f(), k.slot, crv);
        rv = toResult(crv);
    }
    return k.session.get();
}

void TokenLibrary::dropDeadSession(int keyIndex)
{
    if (checkKey(keyIndex) != DRV_OK)
        return;
    KeySlot& k = *m_keys[static_cast<size_t>(keyIndex)];
    if (k.session && k.session->dead())
        k.session.reset();
}

int TokenLibrary::tokenInfo(int keyIndex, CK_TOKEN_INFO& info)
{
    if (int rv = checkKey(keyIndex))
        return rv;
    info = CK_TOKEN_INFO{};
    CK_RV rv = f()->C_GetTokenInfo(slotOf(keyIndex), &info);
    if (isGoneResult(rv)) {
        KeySlot& k = *m_keys[static_cast<size_t>(keyIndex)];
        if (k.session)
            k.session->note(CKR_DEVICE_REMOVED);
        dropDeadSession(keyIndex);
    }
    return toResult(rv);
}

} // namespace drevmor
