// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertFiles.h"
#include "P11Session.h"
#include "Pkcs11Module.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace drevmor {

// A key found by the last token_find: its slot and, once connected, its session.
struct KeySlot
{
    CK_SLOT_ID slot = 0;
    std::unique_ptr<P11Session> session;
};

// The library's whole state: the loaded module, the keys of the last enumeration with their
// sessions, and the certificate file last parsed. One mutex guards it, since the manager's import
// worker calls in while its window thread may call too; every export holds it for its whole call.
class TokenLibrary
{
public:
    static TokenLibrary& instance();

    std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(m_mutex); }

    int init(const char* name);
    int uninit();
    bool initialised() const { return m_module != nullptr; }
    const Pkcs11Module& module() const { return *m_module; }
    CK_FUNCTION_LIST* f() const { return m_module->f(); }

    int find(int maxKeys, int& count);
    int connect(int index);

    // DRV_OK when the library is initialised and `keyIndex` names a key of the last token_find.
    int checkKey(int keyIndex) const;
    CK_SLOT_ID slotOf(int keyIndex) const { return m_keys[static_cast<size_t>(keyIndex)].slot; }
    // The key's session, opened again when it was dropped; null with `rv` set when none can be had.
    P11Session* session(int keyIndex, int& rv);
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

    CertFiles& files() { return m_files; }

private:
    TokenLibrary() = default;
    void closeAll();
    // Retries left and maximum of the user PIN; -1 when not known.
    void pinCounters(int keyIndex, const CK_TOKEN_INFO* info, int& left, int& max);

    std::mutex m_mutex;
    std::unique_ptr<Pkcs11Module> m_module;
    std::string m_modulePath;
    std::vector<KeySlot> m_keys;
    CertFiles m_files;
};

// A module's CK_RV as the library's 32-bit result; a value that does not fit becomes
// DRV_GENERAL_ERROR so that a failure never reads as success.
int toResult(CK_RV rv);

// Longest PIN or password accepted from a caller.
constexpr size_t kMaxSecretLength = 256;

} // namespace drevmor
