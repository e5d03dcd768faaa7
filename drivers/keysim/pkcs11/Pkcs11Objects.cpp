// SPDX-License-Identifier: Apache-2.0
// Object functions of the module: create, copy, destroy, attributes and search. Token objects live
// in the key folder (one file each, written under the key lock); session objects in memory.
#include "Pkcs11Module.h"

#include <algorithm>
#include <cstring>

namespace keysim {

namespace {
constexpr CK_ULONG kMaxTemplate = 1024;
constexpr CK_ULONG kMaxValue = 1u << 20;

bool isBoolAttr(CK_ATTRIBUTE_TYPE t)
{
    switch (t) {
    case CKA_TOKEN:
    case CKA_PRIVATE:
    case CKA_MODIFIABLE:
    case CKA_COPYABLE:
    case CKA_DESTROYABLE:
    case CKA_SENSITIVE:
    case CKA_EXTRACTABLE:
    case CKA_TRUSTED:
    case CKA_LOCAL:
    case CKA_ALWAYS_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
    case CKA_SIGN:
    case CKA_VERIFY:
    case CKA_ENCRYPT:
    case CKA_DECRYPT:
    case CKA_WRAP:
    case CKA_UNWRAP:
    case CKA_DERIVE:
    case CKA_ALWAYS_AUTHENTICATE:
        return true;
    default:
        return false;
    }
}

bool isUlongAttr(CK_ATTRIBUTE_TYPE t)
{
    return t == CKA_CLASS || t == CKA_KEY_TYPE || t == CKA_CERTIFICATE_TYPE || t == CKA_CERTIFICATE_CATEGORY ||
           t == CKA_MODULUS_BITS;
}

// Attributes whose value never leaves a sensitive or non-extractable key.
bool isSecretPart(CK_ATTRIBUTE_TYPE t)
{
    switch (t) {
    case CKA_VALUE:
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
        return true;
    default:
        return false;
    }
}

bool isReadOnly(CK_ATTRIBUTE_TYPE t)
{
    switch (t) {
    case CKA_CLASS:
    case CKA_TOKEN:
    case CKA_PRIVATE:
    case CKA_MODIFIABLE:
    case CKA_KEY_TYPE:
    case CKA_CERTIFICATE_TYPE:
    case CKA_LOCAL:
    case CKA_ALWAYS_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
        return true;
    default:
        return false;
    }
}

bool hidden(const Attributes& a, CK_ATTRIBUTE_TYPE t)
{
    const CK_ULONG cls = attrUlong(a, CKA_CLASS, CKO_DATA);
    if (cls != CKO_PRIVATE_KEY && cls != CKO_SECRET_KEY)
        return false;
    return isSecretPart(t) && (attrBool(a, CKA_SENSITIVE, true) || !attrBool(a, CKA_EXTRACTABLE, false));
}

void setDefault(Attributes& a, CK_ATTRIBUTE_TYPE t, bool v)
{
    if (!a.count(t))
        setBool(a, t, v);
}

// Completes an object with the attributes every object of its class carries.
// An RSA public key states its length: callers read CKA_MODULUS_BITS instead of the modulus.
// Objects written without it (by older versions, or a template that left it out) get it on read.
void addModulusBits(Attributes& a)
{
    if (attrUlong(a, CKA_CLASS, 0) != CKO_PUBLIC_KEY || attrUlong(a, CKA_KEY_TYPE, ~0ul) != CKK_RSA ||
        a.count(CKA_MODULUS_BITS))
        return;
    auto m = a.find(CKA_MODULUS);
    if (m == a.end())
        return;
    const Bytes& n = m->second;
    std::size_t i = 0;
    while (i < n.size() && n[i] == 0)
        ++i;
    CK_ULONG bits = 0;
    if (i < n.size()) {
        bits = static_cast<CK_ULONG>((n.size() - i - 1) * 8);
        for (unsigned v = n[i]; v; v >>= 1)
            ++bits;
    }
    setUlong(a, CKA_MODULUS_BITS, bits);
}

CK_RV completeObject(Attributes& a)
{
    if (!a.count(CKA_CLASS))
        return CKR_TEMPLATE_INCOMPLETE;
    const CK_ULONG cls = attrUlong(a, CKA_CLASS, 0);
    if (cls != CKO_DATA && cls != CKO_CERTIFICATE && cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY &&
        cls != CKO_SECRET_KEY)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    const bool secretClass = cls == CKO_PRIVATE_KEY || cls == CKO_SECRET_KEY;
    setDefault(a, CKA_TOKEN, false);
    setDefault(a, CKA_PRIVATE, secretClass);
    setDefault(a, CKA_MODIFIABLE, true);
    setDefault(a, CKA_COPYABLE, true);
    setDefault(a, CKA_DESTROYABLE, true);
    if (!a.count(CKA_LABEL))
        a[CKA_LABEL] = {};
    switch (cls) {
    case CKO_DATA:
        if (!a.count(CKA_APPLICATION))
            a[CKA_APPLICATION] = {};
        if (!a.count(CKA_VALUE))
            a[CKA_VALUE] = {};
        break;
    case CKO_CERTIFICATE:
        if (!a.count(CKA_CERTIFICATE_TYPE))
            setUlong(a, CKA_CERTIFICATE_TYPE, CKC_X_509);
        setDefault(a, CKA_TRUSTED, false);
        if (!a.count(CKA_CERTIFICATE_CATEGORY))
            setUlong(a, CKA_CERTIFICATE_CATEGORY, 0);
        for (CK_ATTRIBUTE_TYPE t : {CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE})
            if (!a.count(t))
                a[t] = {};
        break;
    default:
        if (!a.count(CKA_KEY_TYPE))
            return CKR_TEMPLATE_INCOMPLETE;
        if (!a.count(CKA_ID))
            a[CKA_ID] = {};
        setDefault(a, CKA_LOCAL, false);
        setDefault(a, CKA_DERIVE, false);
        if (cls == CKO_PUBLIC_KEY) {
            addModulusBits(a);
            setDefault(a, CKA_VERIFY, true);
            setDefault(a, CKA_ENCRYPT, false);
            setDefault(a, CKA_WRAP, false);
        } else {
            setDefault(a, CKA_SENSITIVE, true);
            setDefault(a, CKA_EXTRACTABLE, false);
            setDefault(a, CKA_SIGN, true);
            setDefault(a, CKA_DECRYPT, false);
            setDefault(a, CKA_UNWRAP, false);
            setDefault(a, CKA_ALWAYS_SENSITIVE, false);
            setDefault(a, CKA_NEVER_EXTRACTABLE, false);
            setDefault(a, CKA_ALWAYS_AUTHENTICATE, false);
        }
    }
    return CKR_OK;
}

bool matches(const Attributes& a, const Attributes& tmpl)
{
    for (const auto& [t, v] : tmpl) {
        auto it = a.find(t);
        if (it == a.end() || it->second != v)
            return false;
    }
    return true;
}
} // namespace

bool attrBool(const Attributes& a, CK_ATTRIBUTE_TYPE t, bool fallback)
{
    auto it = a.find(t);
    if (it == a.end() || it->second.size() != sizeof(CK_BBOOL))
        return fallback;
    return it->second[0] != CK_FALSE;
}

CK_ULONG attrUlong(const Attributes& a, CK_ATTRIBUTE_TYPE t, CK_ULONG fallback)
{
    auto it = a.find(t);
    if (it == a.end() || it->second.size() != sizeof(CK_ULONG))
        return fallback;
    CK_ULONG v;
    std::memcpy(&v, it->second.data(), sizeof v);
    return v;
}

void setBool(Attributes& a, CK_ATTRIBUTE_TYPE t, bool v)
{
    a[t] = Bytes{static_cast<std::uint8_t>(v ? CK_TRUE : CK_FALSE)};
}

void setUlong(Attributes& a, CK_ATTRIBUTE_TYPE t, CK_ULONG v)
{
    Bytes b(sizeof v);
    std::memcpy(b.data(), &v, sizeof v);
    a[t] = std::move(b);
}

CK_RV parseTemplate(CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, Attributes& out)
{
    if (count > kMaxTemplate)
        return CKR_ARGUMENTS_BAD;
    if (count > 0 && !tmpl)
        return CKR_ARGUMENTS_BAD;
    CK_ULONG total = 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& at = tmpl[i];
        if (at.ulValueLen > kMaxValue || (at.ulValueLen > 0 && !at.pValue))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        total += at.ulValueLen;
        if (total > kMaxValue * 4)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (isBoolAttr(at.type) && at.ulValueLen != sizeof(CK_BBOOL))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (isUlongAttr(at.type) && at.ulValueLen != sizeof(CK_ULONG))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const auto* p = static_cast<const std::uint8_t*>(at.pValue);
        Bytes value(p, p + at.ulValueLen);
        if (isBoolAttr(at.type))
            value[0] = value[0] ? CK_TRUE : CK_FALSE;
        out[at.type] = std::move(value);
    }
    return CKR_OK;
}

CK_OBJECT_HANDLE Pkcs11Module::tokenHandle(CK_SLOT_ID slot, std::uint64_t id)
{
    auto key = std::make_pair(slot, id);
    if (auto it = m_tokenHandles.find(key); it != m_tokenHandles.end())
        return it->second;
    const CK_OBJECT_HANDLE h = m_nextObject++;
    ObjRef r;
    r.slot = slot;
    r.token = true;
    r.id = id;
    m_objects.emplace(h, std::move(r));
    m_tokenHandles.emplace(key, h);
    return h;
}

CK_RV Pkcs11Module::objectAttrs(const Session& s, CK_OBJECT_HANDLE obj, Attributes& out, ObjRef** ref)
{
    auto it = m_objects.find(obj);
    if (it == m_objects.end() || it->second.slot != s.slot)
        return CKR_OBJECT_HANDLE_INVALID;
    if (it->second.token) {
        auto a = store().loadObject(s.serial, it->second.id);
        if (!a) {
            m_tokenHandles.erase({it->second.slot, it->second.id});
            m_objects.erase(it);
            return CKR_OBJECT_HANDLE_INVALID;
        }
        out = std::move(*a);
        addModulusBits(out);
    } else {
        out = it->second.attrs;
    }
    if (attrBool(out, CKA_PRIVATE, false) && !userLoggedIn(s))
        return CKR_OBJECT_HANDLE_INVALID;
    if (ref)
        *ref = &it->second;
    return CKR_OK;
}

CK_RV Pkcs11Module::storeNewObject(CK_SESSION_HANDLE h, Session& s, Attributes attrs, CK_OBJECT_HANDLE_PTR out)
{
    if (CK_RV rv = completeObject(attrs); rv != CKR_OK)
        return rv;
    const bool token = attrBool(attrs, CKA_TOKEN, false);
    if (token && !(s.flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    if (attrBool(attrs, CKA_PRIVATE, false) && !userLoggedIn(s))
        return CKR_USER_NOT_LOGGED_IN;
    if (!token) {
        ObjRef r;
        r.slot = s.slot;
        r.owner = h;
        r.attrs = std::move(attrs);
        const CK_OBJECT_HANDLE h = m_nextObject++;
        m_objects.emplace(h, std::move(r));
        *out = h;
        return CKR_OK;
    }
    KeyStore st = store();
    FileLock lock = st.lockKey(s.serial);
    KeyRecord rec = st.load(s.serial);
    if (KeyStore::objectSize(attrs) > KeyStore::freeMemory(rec, st.usedMemory(s.serial)))
        return CKR_DEVICE_MEMORY;
    const std::uint64_t id = rec.nextObjectId++;
    st.save(rec);
    st.saveObject(s.serial, id, attrs);
    *out = tokenHandle(s.slot, id);
    return CKR_OK;
}

CK_RV Pkcs11Module::createObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR out)
{
    if (!out)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs;
    if (CK_RV rv = parseTemplate(tmpl, count, attrs); rv != CKR_OK)
        return rv;
    return storeNewObject(h, *s, std::move(attrs), out);
}

CK_RV Pkcs11Module::copyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                               CK_OBJECT_HANDLE_PTR out)
{
    if (!out)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs, changes;
    if (CK_RV rv = objectAttrs(*s, obj, attrs); rv != CKR_OK)
        return rv;
    if (!attrBool(attrs, CKA_COPYABLE, true))
        return CKR_ACTION_PROHIBITED;
    if (CK_RV rv = parseTemplate(tmpl, count, changes); rv != CKR_OK)
        return rv;
    for (auto& [t, v] : changes) {
        if (t == CKA_CLASS || t == CKA_KEY_TYPE || t == CKA_CERTIFICATE_TYPE)
            return CKR_ATTRIBUTE_READ_ONLY;
        attrs[t] = v;
    }
    return storeNewObject(h, *s, std::move(attrs), out);
}

CK_RV Pkcs11Module::destroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs;
    ObjRef* ref = nullptr;
    if (CK_RV rv = objectAttrs(*s, obj, attrs, &ref); rv != CKR_OK)
        return rv;
    if (!attrBool(attrs, CKA_DESTROYABLE, true))
        return CKR_ACTION_PROHIBITED;
    if (ref->token) {
        if (!(s->flags & CKF_RW_SESSION))
            return CKR_SESSION_READ_ONLY;
        KeyStore st = store();
        FileLock lock = st.lockKey(s->serial);
        st.removeObject(s->serial, ref->id);
        m_tokenHandles.erase({ref->slot, ref->id});
    }
    m_objects.erase(obj);
    return CKR_OK;
}

CK_RV Pkcs11Module::getObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size)
{
    if (!size)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs;
    if (CK_RV rv = objectAttrs(*s, obj, attrs); rv != CKR_OK)
        return rv;
    *size = KeyStore::objectSize(attrs);
    return CKR_OK;
}

CK_RV Pkcs11Module::getAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    if ((!tmpl && count) || count > kMaxTemplate)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs;
    if (CK_RV rv = objectAttrs(*s, obj, attrs); rv != CKR_OK)
        return rv;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& at = tmpl[i];
        auto it = attrs.find(at.type);
        if (hidden(attrs, at.type) && it != attrs.end()) {
            at.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_SENSITIVE;
        } else if (it == attrs.end()) {
            at.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (!at.pValue) {
            at.ulValueLen = it->second.size();
        } else if (at.ulValueLen < it->second.size()) {
            at.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!it->second.empty())
                std::memcpy(at.pValue, it->second.data(), it->second.size());
            at.ulValueLen = it->second.size();
        }
    }
    return result;
}

CK_RV Pkcs11Module::setAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs, changes;
    ObjRef* ref = nullptr;
    if (CK_RV rv = objectAttrs(*s, obj, attrs, &ref); rv != CKR_OK)
        return rv;
    if (CK_RV rv = parseTemplate(tmpl, count, changes); rv != CKR_OK)
        return rv;
    if (!attrBool(attrs, CKA_MODIFIABLE, true))
        return CKR_ACTION_PROHIBITED;
    if (ref->token && !(s->flags & CKF_RW_SESSION))
        return CKR_SESSION_READ_ONLY;
    for (const auto& [t, v] : changes) {
        auto it = attrs.find(t);
        if (isReadOnly(t) && (it == attrs.end() || it->second != v))
            return CKR_ATTRIBUTE_READ_ONLY;
        if (t == CKA_SENSITIVE && attrBool(attrs, t, false) && !attrBool(changes, t, true))
            return CKR_ATTRIBUTE_READ_ONLY;
        if (t == CKA_EXTRACTABLE && !attrBool(attrs, t, true) && attrBool(changes, t, false))
            return CKR_ATTRIBUTE_READ_ONLY;
    }
    for (auto& [t, v] : changes)
        attrs[t] = std::move(v);
    if (!ref->token) {
        ref->attrs = std::move(attrs);
        return CKR_OK;
    }
    KeyStore st = store();
    FileLock lock = st.lockKey(s->serial);
    KeyRecord rec = st.load(s->serial);
    auto old = st.loadObject(s->serial, ref->id);
    if (!old)
        return CKR_OBJECT_HANDLE_INVALID;
    const std::uint64_t used = st.usedMemory(s->serial) - KeyStore::objectSize(*old);
    if (KeyStore::objectSize(attrs) > KeyStore::freeMemory(rec, used))
        return CKR_DEVICE_MEMORY;
    st.saveObject(s->serial, ref->id, attrs);
    return CKR_OK;
}

CK_RV Pkcs11Module::findObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (s->findActive)
        return CKR_OPERATION_ACTIVE;
    Attributes want;
    if (CK_RV rv = parseTemplate(tmpl, count, want); rv != CKR_OK)
        return rv;
    const bool user = userLoggedIn(*s);
    std::vector<CK_OBJECT_HANDLE> found;
    KeyStore st = store();
    for (auto id : st.objectIds(s->serial)) {
        auto a = st.sharedObject(s->serial, id);
        if (!a || (attrBool(*a, CKA_PRIVATE, false) && !user) || !matches(*a, want))
            continue;
        found.push_back(tokenHandle(s->slot, id));
    }
    for (const auto& [oh, r] : m_objects)
        if (!r.token && r.slot == s->slot && (user || !attrBool(r.attrs, CKA_PRIVATE, false)) && matches(r.attrs, want))
            found.push_back(oh);
    s->found = std::move(found);
    s->foundPos = 0;
    s->findActive = true;
    return CKR_OK;
}

CK_RV Pkcs11Module::findObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count)
{
    if (!out || !count)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!s->findActive)
        return CKR_OPERATION_NOT_INITIALIZED;
    CK_ULONG n = 0;
    while (n < max && s->foundPos < s->found.size())
        out[n++] = s->found[s->foundPos++];
    *count = n;
    return CKR_OK;
}

CK_RV Pkcs11Module::findObjectsFinal(CK_SESSION_HANDLE h)
{
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!s->findActive)
        return CKR_OPERATION_NOT_INITIALIZED;
    s->findActive = false;
    s->found.clear();
    return CKR_OK;
}

} // namespace keysim
