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

int TokenLibrary::find(int maxKeys, int& count)
{
    count = 0;
    if (!m_module)
        return DRV_NOT_INITIALIZED;
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_OK;
    // The list can change between the two calls when a key is plugged: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        CK_ULONG n = 0;
        rv = f()->C_GetSlotList(CK_TRUE, nullptr, &n);
        if (rv != CKR_OK)
            return toResult(rv);
        n = std::min<CK_ULONG>(n, 1024);
        slots.assign(n, 0);
        if (n == 0)
            break;
        CK_ULONG got = n;
        rv = f()->C_GetSlotList(CK_TRUE, slots.data(), &got);
        if (rv == CKR_BUFFER_TOO_SMALL)
            continue;
        if (rv != CKR_OK)
            return toResult(rv);
        slots.resize(std::min(got, n));
        break;
    }
    if (rv == CKR_BUFFER_TOO_SMALL)
        return toResult(rv);
    if (slots.size() > static_cast<size_t>(maxKeys))
        slots.resize(static_cast<size_t>(maxKeys));

    // Keys still present keep their sessions (and so their logins).
    std::vector<std::unique_ptr<KeySlot>> keys;
    for (CK_SLOT_ID s : slots) {
        auto k = std::make_unique<KeySlot>();
        k->slot = s;
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
        // A key whose token was never initialised takes no session (SoftHSM2's spare slot), yet
        // it is connected: its information shows it as uninitialised, and every other call
        // reports the module's code when it tries to open a session.
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
