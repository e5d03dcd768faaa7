// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertFiles.h"
#include "P11Session.h"
#include "Pkcs11Module.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace drevmor {

// A key found by the last token_find: its slot, once connected its session, and the mutex that
// makes the calls on this key one at a time.
struct KeySlot
{
    CK_SLOT_ID slot = 0;
    bool removable = false; // the slot is a removable device
    std::unique_ptr<P11Session> session;
    std::mutex mutex;
};

// The library's whole state: the loaded module, the keys of the last enumeration with their
// sessions, and the certificate files last parsed.
//
// The programs call from several threads (the manager's key workers, its window thread), and a
// call on a real key takes from milliseconds to seconds. So the key table (the module and the keys)
// is held shared by every call on one key and exclusively only by init_pkcs11, uninit_pkcs11 and
// token_find, which replace it; each key has its own mutex, held for the whole of a call on it.
// Calls on one key run one after the other, calls on different keys side by side (the module is
// initialised with OS locking). The certificate files have a mutex of their own.
class TokenLibrary
{
public:
    static TokenLibrary& instance();

    // Held for a call on one key: the key table shared, and the key's mutex when keyIndex names a
    // key of the last token_find (otherwise the call fails its checkKey).
    struct KeyLock
    {
        std::shared_lock<std::shared_mutex> table;
        std::unique_lock<std::mutex> key;
    };
    std::unique_lock<std::shared_mutex> lockTable() { return std::unique_lock<std::shared_mutex>(m_table); }
    KeyLock lockKey(int keyIndex);
    std::unique_lock<std::mutex> lockFiles() { return std::unique_lock<std::mutex>(m_filesMutex); }

    int init(const char* name);
    int uninit();
    bool initialised() const { return m_module != nullptr; }
    const Pkcs11Module& module() const { return *m_module; }
    CK_FUNCTION_LIST* f() const { return m_module->f(); }

    int find(int maxKeys, int& count);
    int connect(int index);
    // Closes every session, finalises and initialises the module again; no key until the next
    // find. With the table held exclusively.
    int restart();

    // True once the module stopped answering (see moduleResult); find restarts it.
    bool moduleDead() const { return m_dead; }
    // The result of a call on key `keyIndex` as the caller gets it: when it is a code after which
    // the module may have stopped working and the module no longer reaches the key's token, the
    // module is marked dead and the caller gets CKR_DEVICE_REMOVED, as for every later call.
    int moduleResult(int keyIndex, int rv);
    int caps(int keyIndex, unsigned long& slotId, int& caps);
    // Asks the key's device itself (a new session and one random byte): DRV_OK, or
    // CKR_DEVICE_REMOVED when the module is dead, which is then noted.
    int checkDevice(int keyIndex);

    // DRV_OK when the library is initialised and `keyIndex` names a key of the last token_find.
    int checkKey(int keyIndex) const;
    CK_SLOT_ID slotOf(int keyIndex) const { return m_keys[static_cast<size_t>(keyIndex)]->slot; }
    // The key's session: opened again when it was dropped, replaced when the module lost it; null
    // with `rv` set when none can be had, or DRV_LOGIN_LOST when the replacement lost the login
    // (unless `loginMatters` is false: for login and logout, which go on on the new session).
    P11Session* session(int keyIndex, int& rv, bool loginMatters = true);
    // Forgets a session whose key went away, so that the next call opens a new one.
    void dropDeadSession(int keyIndex);
    int tokenInfo(int keyIndex, CK_TOKEN_INFO& info);

    // Key operations (KeyOperations.cpp).
    int getInfo(int keyIndex, char* serial, char* label, char* manufacturer, char* model, int* maxPinLen,
                int* minPinLen, int* soMaxPinLen, int* soMinPinLen, int* totalMemory, int* freeMemory,
                int* hardwareVersion, int* firmwareVersion, int* initialised, int* reserved);
    int login(int keyIndex, const char* pin, int* retriesLeft);
    int logout(int keyIndex);
    int pinState(int keyIndex, int userType, int* state[6]);
    int changePin(int keyIndex, const char* oldPin, const char* newPin);
    int setLabel(int keyIndex, const char* field);
    int reload(int keyIndex);

    // The certificate files; with lockFiles() held.
    CertFiles& files() { return m_files; }

private:
    TokenLibrary() = default;
    void closeAll();
    // Retries left and maximum of the user PIN; -1 when not known.
    void pinCounters(int keyIndex, const CK_TOKEN_INFO* info, int& left, int& max);

    // Lists the slots with a token present; false with `rv` when the module fails.
    CK_RV presentSlots(std::vector<CK_SLOT_ID>& slots);

    std::shared_mutex m_table;
    std::unique_ptr<Pkcs11Module> m_module;
    std::atomic<bool> m_dead = false; // set by key calls under the shared table lock
    std::string m_modulePath;
    std::vector<std::unique_ptr<KeySlot>> m_keys;
    std::mutex m_filesMutex;
    CertFiles m_files;
};

// A module's CK_RV as the library's 32-bit result; a value that does not fit becomes
// DRV_GENERAL_ERROR so that a failure never reads as success.
int toResult(CK_RV rv);

// Longest PIN or password accepted from a caller.
constexpr size_t kMaxSecretLength = 256;

} // namespace drevmor
