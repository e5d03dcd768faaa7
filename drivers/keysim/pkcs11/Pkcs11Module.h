// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"
#include "../core/StoreState.h"

#include <p11-kit/pkcs11.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The state of the PKCS#11 module in one process: the slots seen on the keysim bus, the login
// state per slot, sessions, session objects and object handles. Every member function expects the
// caller to hold mutex() exactly once (the C entry points do that); login() releases it while it
// waits for a finger.
namespace keysim {

struct SignOperation;
struct CipherOperation;

class Pkcs11Module
{
public:
    static Pkcs11Module& instance();
    std::recursive_mutex& mutex() { return m_mutex; }
    bool initialised() const;

    CK_RV initialize(CK_VOID_PTR args);
    CK_RV finalize(CK_VOID_PTR reserved);
    CK_RV getInfo(CK_INFO_PTR info);
    CK_RV getSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
    CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
    CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
    CK_RV getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
    CK_RV getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);
    CK_RV initToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG len, CK_UTF8CHAR_PTR label);
    CK_RV initPin(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len);
    CK_RV setPin(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin, CK_ULONG newLen);
    CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR out);
    CK_RV closeSession(CK_SESSION_HANDLE h);
    CK_RV closeAllSessions(CK_SLOT_ID slot);
    CK_RV getSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info);
    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG len);
    CK_RV logout(CK_SESSION_HANDLE h);

    CK_RV createObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR out);
    CK_RV copyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                     CK_OBJECT_HANDLE_PTR out);
    CK_RV destroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj);
    CK_RV getObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size);
    CK_RV getAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV setAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV findObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV findObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count);
    CK_RV findObjectsFinal(CK_SESSION_HANDLE h);

    CK_RV generateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR pubTmpl, CK_ULONG pubCount,
                          CK_ATTRIBUTE_PTR privTmpl, CK_ULONG privCount, CK_OBJECT_HANDLE_PTR pub,
                          CK_OBJECT_HANDLE_PTR priv);
    CK_RV signInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key);
    CK_RV sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen);
    CK_RV signUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len);
    CK_RV signFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen);
    CK_RV encryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key);
    CK_RV encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV decryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key);
    CK_RV decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen);
    CK_RV deriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE base, CK_ATTRIBUTE_PTR tmpl,
                    CK_ULONG count, CK_OBJECT_HANDLE_PTR out);
    CK_RV generateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG len);

    // Vendor extensions (keysim_ext.h).
    CK_RV pinCounters(CK_SLOT_ID slot, CK_USER_TYPE type, CK_ULONG_PTR left, CK_ULONG_PTR max);
    CK_RV setTokenLabel(CK_SLOT_ID slot, const char* label);
    CK_RV getTokenLabel(CK_SLOT_ID slot, char* buf, CK_ULONG_PTR len);
    CK_RV getSerialNumber(CK_SLOT_ID slot, char* buf, CK_ULONG_PTR len);
    CK_RV getPinLengths(CK_SLOT_ID slot, CK_USER_TYPE type, CK_ULONG_PTR minLen, CK_ULONG_PTR maxLen);
    CK_RV getUsbIds(CK_SLOT_ID slot, CK_ULONG_PTR vid, CK_ULONG_PTR pid);

private:
    struct Present
    {
        BusEntry bus;
        KeyRecord rec;
    };
    struct Session
    {
        CK_SLOT_ID slot = 0;
        std::string serial;
        std::string plugId;
        CK_FLAGS flags = 0;
        bool findActive = false;
        std::vector<CK_OBJECT_HANDLE> found;
        std::size_t foundPos = 0;
        std::shared_ptr<SignOperation> signOp;
        std::shared_ptr<CipherOperation> encryptOp;
        std::shared_ptr<CipherOperation> decryptOp;
    };
    struct Login
    {
        std::string plugId;
        CK_USER_TYPE user = CKU_USER;
    };
    struct ObjRef
    {
        CK_SLOT_ID slot = 0;
        bool token = false;
        std::uint64_t id = 0;        // token objects: file id in the key
        CK_SESSION_HANDLE owner = 0; // session objects: the session that made them
        Attributes attrs;            // session objects only
    };

    Pkcs11Module() = default;
    KeyStore store() const { return KeyStore(KeyStore::defaultRoot()); }
    // The key plugged as this slot and visible now.
    std::optional<Present> present(CK_SLOT_ID slot) const;
    bool knownSlot(CK_SLOT_ID slot) const;
    // Finds the session and checks its key is still the same plug; a pulled key drops all of its
    // sessions, its login and its session objects and gives CKR_DEVICE_REMOVED.
    CK_RV session(CK_SESSION_HANDLE h, Session*& s, Present* p = nullptr);
    void dropSlot(CK_SLOT_ID slot);
    std::optional<CK_USER_TYPE> loggedIn(const Session& s) const;
    bool userLoggedIn(const Session& s) const { return loggedIn(s) == CKU_USER; }
    CK_OBJECT_HANDLE tokenHandle(CK_SLOT_ID slot, std::uint64_t id);
    // Attributes of a visible object of the session's slot.
    CK_RV objectAttrs(const Session& s, CK_OBJECT_HANDLE obj, Attributes& out, ObjRef** ref = nullptr);
    CK_RV storeNewObject(CK_SESSION_HANDLE h, Session& s, Attributes attrs, CK_OBJECT_HANDLE_PTR out);
    CK_RV pinResult(int authResult) const;
    // The start and the single part of an encryption or decryption (shared by both directions).
    CK_RV cipherInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key, bool encrypt);
    CK_RV cipher(CK_SESSION_HANDLE h, bool encrypt, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out,
                 CK_ULONG_PTR outLen);

    std::recursive_mutex m_mutex;
    // The bus, key records and memory figures, read again only when the store changed: token
    // information, presence and slot lists cost no folder reads while nothing changes.
    mutable StoreState m_state;
    pid_t m_pid = 0;
    bool m_init = false;
    std::map<CK_SESSION_HANDLE, Session> m_sessions;
    std::map<CK_SLOT_ID, Login> m_logins;
    std::map<CK_OBJECT_HANDLE, ObjRef> m_objects;
    std::map<std::pair<CK_SLOT_ID, std::uint64_t>, CK_OBJECT_HANDLE> m_tokenHandles;
    CK_SESSION_HANDLE m_nextSession = 1;
    CK_OBJECT_HANDLE m_nextObject = 1;
};

// Helpers shared by the object and crypto parts.
bool attrBool(const Attributes& a, CK_ATTRIBUTE_TYPE t, bool fallback);
CK_ULONG attrUlong(const Attributes& a, CK_ATTRIBUTE_TYPE t, CK_ULONG fallback);
void setBool(Attributes& a, CK_ATTRIBUTE_TYPE t, bool v);
void setUlong(Attributes& a, CK_ATTRIBUTE_TYPE t, CK_ULONG v);
CK_RV parseTemplate(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, Attributes& out);
void padCopy(CK_UTF8CHAR* dst, std::size_t size, const std::string& src);

} // namespace keysim
