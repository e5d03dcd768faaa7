// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ObjectView.h"

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

private:
    std::vector<CK_ATTRIBUTE_TYPE> m_types;
    std::vector<Bytes> m_values;
    std::vector<CK_ATTRIBUTE> m_attrs;
};

// An open PKCS#11 session on one slot; closing it on destruction. A session whose key was pulled
// is marked dead by `note`, and is then not used again.
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
    CK_SESSION_HANDLE handle() const { return m_handle; }
    CK_SLOT_ID slot() const { return m_slot; }
    bool dead() const { return m_dead; }
    // Records the result of a call on this session and passes it back; results that mean the
    // key or the session is gone mark the session dead.
    CK_RV note(CK_RV rv);

    bool loggedIn();

    // Every object matching the template (at most kMaxSearchObjects).
    CK_RV find(Template& tmpl, std::vector<CK_OBJECT_HANDLE>& out);
    // One attribute's value: nullopt when the object has no such attribute or it is sensitive;
    // other failures come back in `rv`.
    std::optional<Bytes> attribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv);
    std::optional<CK_ULONG> ulongAttribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv);
    CK_RV create(Template& tmpl, CK_OBJECT_HANDLE& out);
    CK_RV destroy(CK_OBJECT_HANDLE obj);

    // Whether private objects can be seen: the user is logged in or the key needs no login. Asked
    // of the module once, then kept until forgetObjects.
    CK_RV privateVisible(bool& visible);
    // The key's objects as read by one search, read when not yet held (or always with `fresh`);
    // null with `rv` set when the read failed. Kept until forgetObjects: a container list, every
    // certificate of a tree and a registration are answered from one read.
    ObjectView* objects(CK_RV& rv, bool fresh = false);
    // The view when one is held, for writes to keep it current.
    ObjectView* heldObjects() { return m_view ? &*m_view : nullptr; }
    // Forgets the view and the login state: on login and logout, on token_find and
    // token_reload_all_objects (the calls after which the programs expect changes by others to
    // show).
    void forgetObjects();

private:
    std::optional<ObjectView> m_view;
    std::optional<bool> m_privateVisible;
    CK_FUNCTION_LIST* m_f;
    CK_SLOT_ID m_slot;
    CK_SESSION_HANDLE m_handle;
    bool m_dead = false;
};

// True for results that mean the key was pulled or the session no longer exists.
bool isGoneResult(CK_RV rv);

// Bytes of a PKCS#11 text field with its space padding removed.
std::string trimmedField(const CK_UTF8CHAR* field, size_t size);

} // namespace drevmor
