// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ObjectView.h"
#include "drevmor.h"

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace drevmor {

// The longest attribute value we read from a module; a module that claims more is not trusted.
constexpr CK_ULONG kMaxAttributeSize = 1u << 20;
// How often an attribute read is started again when the value grew between the query of its size
// and its read (CKR_BUFFER_TOO_SMALL).
constexpr int kAttributeReadAttempts = 3;
// Not a module's code: the library's DRV_LOGIN_LOST, carried on the paths that pass CK_RV results
// (toResult passes it on unchanged; no PKCS#11 result has this value).
constexpr CK_RV kLoginLost = DRV_LOGIN_LOST;
// The most objects one search collects.
constexpr size_t kMaxSearchObjects = 100000;

// Builds attribute templates whose values live inside the template object, so the pointers
// handed to the module stay valid for the call. Values that carry key material are cleansed
// when the template goes away.
class Template
{
public:
    Template() = default;
    ~Template();
    Template(const Template&) = delete;
    Template& operator=(const Template&) = delete;

    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value);
    Template& add(CK_ATTRIBUTE_TYPE type, const std::string& value);
    Template& addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
    Template& addBool(CK_ATTRIBUTE_TYPE type, bool value);

    CK_ATTRIBUTE* data();
    CK_ULONG size() const { return static_cast<CK_ULONG>(m_values.size()); }

    // A search template that finds the object this template writes and no other: for a
    // certificate or a data object, its class, token flag, id, label, application and value.
    // False for keys, whose value cannot be searched for and whose id an older key of the same
    // pair may share.
    bool identity(Template& out) const;

private:
    std::vector<CK_ATTRIBUTE_TYPE> m_types;
    std::vector<Bytes> m_values;
    std::vector<CK_ATTRIBUTE> m_attrs;
};

// An open PKCS#11 session on one slot; closing it on destruction.
//
// What the module says about the session decides what becomes of it (note):
//  - the key is gone (removed, not present, slot unknown): the session is dead and is not used
//    again; the next call on the key opens a new one, or fails again while the key is away;
//  - the session is no longer known (CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED): it is lost
//    and is replaced by a new session on the same slot before it is used again (recover), and
//    the call that met it is made once more (call).
class P11Session
{
public:
    P11Session(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, CK_SESSION_HANDLE h) : m_f(f), m_slot(slot), m_handle(h) {}
    ~P11Session();
    P11Session(const P11Session&) = delete;
    P11Session& operator=(const P11Session&) = delete;

    // Opens a read-write session on the slot; null with `rv` set on failure.
    static std::unique_ptr<P11Session> open(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, CK_RV& rv);

    CK_FUNCTION_LIST* f() const { return m_f; }
    CK_SLOT_ID slot() const { return m_slot; }
    bool dead() const { return m_dead; }
    bool lost() const { return m_lost; }
    // Records the result of a call on this session and passes it back.
    CK_RV note(CK_RV rv);

    // Makes one call on the session's handle: `c` takes the handle and returns the module's
    // result. When the session is lost, a new session takes its place and the call is made once
    // more - unless the user was logged in on the old session and is not on the new one: then
    // kLoginLost and no second call. `loginMatters` false (for C_Login and C_Logout themselves)
    // makes the second call all the same.
    template <class Call>
    CK_RV call(Call&& c, bool loginMatters = true)
    {
        if (m_lost) {
            if (CK_RV rv = recover(loginMatters))
                return rv;
        }
        const CK_RV rv = note(c(m_handle));
        if (!m_lost)
            return rv;
        if (CK_RV again = recover(loginMatters))
            return again;
        return note(c(m_handle));
    }

    // Replaces a lost session by a new one on the same slot. The new session is opened before the
    // old one is closed: when the module still had the old one, the login it holds for the whole
    // application stays. kLoginLost when the old session had the user logged in and the new one
    // has not (CKR_OK with `loginMatters` false); the module's code when no session can be opened
    // (the session stays lost, or dead when the key is gone).
    CK_RV recover(bool loginMatters = true);

    // Asks the module whether the user is logged in on this session, and remembers the answer;
    // kLoginLost when the session had to be replaced and the login went with it.
    CK_RV loggedIn(bool& in);
    // What a login or a logout through this session did.
    void setLoggedIn(bool in) { m_loginHeld = in; }

    // Every object matching the template (at most kMaxSearchObjects).
    CK_RV find(Template& tmpl, std::vector<CK_OBJECT_HANDLE>& out);
    // One attribute's value: nullopt when the object has no such attribute or it is sensitive;
    // other failures come back in `rv`.
    std::optional<Bytes> attribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv);
    std::optional<CK_ULONG> ulongAttribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv);
    // Writes an object. A write whose session was lost may still have reached the key: after a
    // new session is opened, a certificate or data object is looked for before it is written
    // again (so the key never holds it twice); a key is not written again and the loss is
    // returned, leaving the clean-up to the caller.
    CK_RV create(Template& tmpl, CK_OBJECT_HANDLE& out);
    CK_RV destroy(CK_OBJECT_HANDLE obj);
    // Generates a key pair whose keys both carry CKA_ID `id`. A generation whose session was lost
    // may have made the pair: after a new session is opened the pair is looked for, and generated
    // again only when neither key is there; when only one is, the loss is returned and the
    // caller removes it.
    CK_RV generateKeyPair(CK_MECHANISM& mechanism, Template& pub, Template& priv, const Bytes& id,
                          CK_OBJECT_HANDLE& pubOut, CK_OBJECT_HANDLE& privOut);

    // Whether private objects can be seen: the user is logged in or the key needs no login. Asked
    // of the module once, then kept until forgetObjects.
    CK_RV privateVisible(bool& visible);
    // The key's objects as read by one search, read when not yet held (or always with `fresh`);
    // null with `rv` set when the read failed. Kept until forgetObjects: a container list, every
    // certificate of a tree and a registration are answered from one read.
    ObjectView* objects(CK_RV& rv, bool fresh = false);
    // The view when one is held, for writes to keep it current.
    ObjectView* heldObjects() { return m_view ? &*m_view : nullptr; }
    // Whether this key's container markers are private objects: learned when the module refused a
    // public one, or found on the key. Kept with the session (that is, while the key stays).
    bool privateMarkers() const { return m_privateMarkers; }
    void setPrivateMarkers() { m_privateMarkers = true; }
    // Forgets the view and the login state: on login and logout, on token_find and
    // token_reload_all_objects (the calls after which the programs expect changes by others to
    // show).
    void forgetObjects();

private:
    // One search on handle `h`, finishing a search the module still holds from before.
    CK_RV search(CK_SESSION_HANDLE h, Template& tmpl, std::vector<CK_OBJECT_HANDLE>& out);
    // Whether the module has the user logged in on handle `h` (false when it cannot say).
    bool userSession(CK_SESSION_HANDLE h);
    // After `write` lost its session (result `lost`): a new session, then the object looked for
    // and written again only when it is not on the key.
    template <class Write>
    CK_RV createAfterLoss(Template& tmpl, CK_OBJECT_HANDLE& out, CK_RV lost, Write&& write);
    // After `generate` lost its session (result `lost`): a new session, then the pair looked for
    // by its id and generated again only when nothing of it is on the key.
    template <class Generate>
    CK_RV generateAfterLoss(const Bytes& id, CK_RV lost, CK_OBJECT_HANDLE& pubOut, CK_OBJECT_HANDLE& privOut,
                            Generate&& generate);

    std::optional<ObjectView> m_view;
    std::optional<bool> m_privateVisible;
    CK_FUNCTION_LIST* m_f;
    CK_SLOT_ID m_slot;
    CK_SESSION_HANDLE m_handle;
    bool m_dead = false;
    bool m_lost = false;
    bool m_loginHeld = false; // the user was logged in on this session when last seen
    bool m_privateMarkers = false;
};

// True for results that mean the key was pulled (or its slot is gone).
bool isGoneResult(CK_RV rv);
// True for results that mean the module no longer knows the session.
bool isSessionLost(CK_RV rv);

// Bytes of a PKCS#11 text field with its space padding removed.
std::string trimmedField(const CK_UTF8CHAR* field, size_t size);

} // namespace drevmor
