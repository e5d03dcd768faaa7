// SPDX-License-Identifier: Apache-2.0
// Sessions, templates, searches and attribute reads with every length the module returns bounded.
#include "P11Session.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

namespace drevmor {

Template::~Template()
{
    for (auto& v : m_values)
        if (!v.empty())
            OPENSSL_cleanse(v.data(), v.size());
}

Template& Template::add(CK_ATTRIBUTE_TYPE type, const Bytes& value)
{
    m_types.push_back(type);
    m_values.push_back(value);
    return *this;
}

Template& Template::add(CK_ATTRIBUTE_TYPE type, const std::string& value)
{
    return add(type, Bytes(value.begin(), value.end()));
}

Template& Template::addUlong(CK_ATTRIBUTE_TYPE type, CK_ULONG value)
{
    Bytes b(sizeof(CK_ULONG));
    std::memcpy(b.data(), &value, sizeof value);
    return add(type, b);
}

Template& Template::addBool(CK_ATTRIBUTE_TYPE type, bool value)
{
    return add(type, Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)});
}

bool Template::identity(Template& out) const
{
    std::optional<CK_ULONG> cls;
    bool hasValue = false;
    for (size_t i = 0; i < m_types.size(); ++i) {
        if (m_types[i] == CKA_CLASS && m_values[i].size() == sizeof(CK_ULONG)) {
            CK_ULONG v = 0;
            std::memcpy(&v, m_values[i].data(), sizeof v);
            cls = v;
        }
        hasValue = hasValue || (m_types[i] == CKA_VALUE && !m_values[i].empty());
    }
    if (!cls || (*cls != CKO_CERTIFICATE && *cls != CKO_DATA) || !hasValue)
        return false;
    for (size_t i = 0; i < m_types.size(); ++i) {
        switch (m_types[i]) {
        case CKA_CLASS:
        case CKA_TOKEN:
        case CKA_ID:
        case CKA_LABEL:
        case CKA_APPLICATION:
        case CKA_VALUE:
            out.add(m_types[i], m_values[i]);
            break;
        default:
            break;
        }
    }
    return true;
}

CK_ATTRIBUTE* Template::data()
{
    m_attrs.clear();
    for (size_t i = 0; i < m_values.size(); ++i) {
        Bytes& v = m_values[i];
        m_attrs.push_back({m_types[i], v.empty() ? nullptr : v.data(), static_cast<CK_ULONG>(v.size())});
    }
    return m_attrs.empty() ? nullptr : m_attrs.data();
}

bool isGoneResult(CK_RV rv)
{
    return rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED ||
           rv == CKR_SLOT_ID_INVALID;
}

bool isSessionLost(CK_RV rv)
{
    return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED;
}

std::unique_ptr<P11Session> P11Session::open(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, CK_RV& rv)
{
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    rv = f->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
    if (rv != CKR_OK)
        return nullptr;
    return std::make_unique<P11Session>(f, slot, h);
}

P11Session::~P11Session()
{
    // A dead session's handle may already belong to nobody; closing it is harmless either way.
    m_f->C_CloseSession(m_handle);
}

CK_RV P11Session::note(CK_RV rv)
{
    if (isGoneResult(rv))
        m_dead = true;
    else if (isSessionLost(rv))
        m_lost = true;
    return rv;
}

CK_RV P11Session::recover(bool loginMatters)
{
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    CK_RV rv = m_f->C_OpenSession(m_slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
    if (rv != CKR_OK) {
        if (isGoneResult(rv))
            m_dead = true;
        return rv;
    }
    m_f->C_CloseSession(m_handle);
    m_handle = h;
    m_lost = false;
    const bool wasIn = m_loginHeld;
    m_loginHeld = userSession(h);
    if (wasIn && !m_loginHeld) {
        // Private objects went out of view with the login.
        forgetObjects();
        return loginMatters ? kLoginLost : CKR_OK;
    }
    return CKR_OK;
}

bool P11Session::userSession(CK_SESSION_HANDLE h)
{
    CK_SESSION_INFO info{};
    if (note(m_f->C_GetSessionInfo(h, &info)) != CKR_OK)
        return false;
    return info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS ||
           info.state == CKS_RW_SO_FUNCTIONS;
}

CK_RV P11Session::loggedIn(bool& in)
{
    in = false;
    const CK_RV rv = call([&](CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        CK_RV r = m_f->C_GetSessionInfo(h, &info);
        in = r == CKR_OK && (info.state == CKS_RW_USER_FUNCTIONS || info.state == CKS_RO_USER_FUNCTIONS ||
                             info.state == CKS_RW_SO_FUNCTIONS);
        return r;
    });
    if (rv == kLoginLost)
        return rv;
    m_loginHeld = in;
    return CKR_OK; // a module that cannot say has nobody logged in
}

CK_RV P11Session::privateVisible(bool& visible)
{
    if (!m_privateVisible) {
        CK_TOKEN_INFO info{};
        if (CK_RV rv = note(m_f->C_GetTokenInfo(m_slot, &info)))
            return rv;
        bool in = false;
        if (info.flags & CKF_LOGIN_REQUIRED) {
            if (CK_RV rv = loggedIn(in))
                return rv;
        }
        m_privateVisible = !(info.flags & CKF_LOGIN_REQUIRED) || in;
    }
    visible = *m_privateVisible;
    return CKR_OK;
}

ObjectView* P11Session::objects(CK_RV& rv, bool fresh)
{
    rv = CKR_OK;
    if (m_view && !fresh)
        return &*m_view;
    m_view.emplace();
    rv = m_view->load(*this);
    if (rv != CKR_OK) {
        m_view.reset();
        return nullptr;
    }
    return &*m_view;
}

void P11Session::forgetObjects()
{
    m_view.reset();
    m_privateVisible.reset();
}

CK_RV P11Session::search(CK_SESSION_HANDLE h, Template& tmpl, std::vector<CK_OBJECT_HANDLE>& out)
{
    out.clear();
    CK_RV rv = m_f->C_FindObjectsInit(h, tmpl.data(), tmpl.size());
    if (rv == CKR_OPERATION_ACTIVE) {
        // A search whose C_FindObjectsFinal failed is still open in the module; a session of ours
        // holds no other: finish it and start again, once.
        m_f->C_FindObjectsFinal(h);
        rv = m_f->C_FindObjectsInit(h, tmpl.data(), tmpl.size());
    }
    if (rv != CKR_OK)
        return rv;
    CK_OBJECT_HANDLE batch[64];
    for (;;) {
        CK_ULONG n = 0;
        rv = m_f->C_FindObjects(h, batch, 64, &n);
        if (rv != CKR_OK || n == 0)
            break;
        n = std::min<CK_ULONG>(n, 64);
        out.insert(out.end(), batch, batch + n);
        if (out.size() >= kMaxSearchObjects)
            break;
    }
    CK_RV fin = m_f->C_FindObjectsFinal(h);
    return rv != CKR_OK ? rv : fin;
}

CK_RV P11Session::find(Template& tmpl, std::vector<CK_OBJECT_HANDLE>& out)
{
    return call([&](CK_SESSION_HANDLE h) { return search(h, tmpl, out); });
}

std::optional<Bytes> P11Session::attribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv)
{
    // The size, then the value; the value may have grown in between: then both again.
    for (int attempt = 0; attempt < kAttributeReadAttempts; ++attempt) {
        CK_ULONG size = 0;
        rv = call([&](CK_SESSION_HANDLE h) {
            CK_ATTRIBUTE a{type, nullptr, 0};
            CK_RV r = m_f->C_GetAttributeValue(h, obj, &a, 1);
            size = a.ulValueLen;
            return r;
        });
        if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) {
            rv = CKR_OK;
            return std::nullopt;
        }
        if (rv == CKR_BUFFER_TOO_SMALL)
            continue;
        if (rv != CKR_OK || size == CK_UNAVAILABLE_INFORMATION)
            return std::nullopt;
        if (size > kMaxAttributeSize) {
            rv = CKR_GENERAL_ERROR;
            return std::nullopt;
        }
        Bytes value(size);
        if (value.empty())
            return value;
        CK_ULONG got = 0;
        rv = call([&](CK_SESSION_HANDLE h) {
            CK_ATTRIBUTE a{type, value.data(), static_cast<CK_ULONG>(value.size())};
            CK_RV r = m_f->C_GetAttributeValue(h, obj, &a, 1);
            got = a.ulValueLen;
            return r;
        });
        if (rv == CKR_BUFFER_TOO_SMALL)
            continue;
        if (rv != CKR_OK)
            return std::nullopt;
        // It may have shrunk; it can never have grown into our buffer.
        if (got > value.size()) {
            rv = CKR_GENERAL_ERROR;
            return std::nullopt;
        }
        value.resize(got);
        return value;
    }
    return std::nullopt; // rv: CKR_BUFFER_TOO_SMALL
}

std::optional<CK_ULONG> P11Session::ulongAttribute(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type, CK_RV& rv)
{
    CK_ULONG v = 0, got = 0;
    rv = call([&](CK_SESSION_HANDLE h) {
        CK_ATTRIBUTE a{type, &v, sizeof v};
        CK_RV r = m_f->C_GetAttributeValue(h, obj, &a, 1);
        got = a.ulValueLen;
        return r;
    });
    if (rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) {
        rv = CKR_OK;
        return std::nullopt;
    }
    if (rv != CKR_OK || got != sizeof v)
        return std::nullopt;
    return v;
}

// A write that failed may still have happened on the key (its answer can be lost on the way
// back): the objects held are read again at the next call rather than trusted.
template <class Write>
CK_RV P11Session::createAfterLoss(Template& tmpl, CK_OBJECT_HANDLE& out, CK_RV lost, Write&& write)
{
    if (CK_RV rv = recover())
        return rv;
    Template probe;
    if (!tmpl.identity(probe))
        return lost;
    std::vector<CK_OBJECT_HANDLE> found;
    if (CK_RV rv = find(probe, found))
        return rv;
    if (found.size() == 1) {
        // The lost write had reached the key.
        out = found.front();
        return CKR_OK;
    }
    return found.empty() ? write() : lost;
}

CK_RV P11Session::create(Template& tmpl, CK_OBJECT_HANDLE& out)
{
    auto write = [&] { return note(m_f->C_CreateObject(m_handle, tmpl.data(), tmpl.size(), &out)); };
    CK_RV rv = m_lost ? recover() : CKR_OK;
    if (rv == CKR_OK) {
        rv = write();
        if (m_lost)
            rv = createAfterLoss(tmpl, out, rv, write);
    }
    if (rv != CKR_OK)
        forgetObjects();
    return rv;
}

// A generation whose session was lost may have made the pair: its keys are looked for by their id
// on a new session. Neither there: the generation is made (again); both: they are the pair;
// one alone: the loss goes back to the caller, who removes it.
template <class Generate>
CK_RV P11Session::generateAfterLoss(const Bytes& id, CK_RV lost, CK_OBJECT_HANDLE& pubOut, CK_OBJECT_HANDLE& privOut,
                                    Generate&& generate)
{
    if (CK_RV rv = recover())
        return rv;
    std::vector<CK_OBJECT_HANDLE> pubs, privs;
    Template pubProbe, privProbe;
    pubProbe.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addBool(CKA_TOKEN, true).add(CKA_ID, id);
    privProbe.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addBool(CKA_TOKEN, true).add(CKA_ID, id);
    if (CK_RV rv = find(pubProbe, pubs))
        return rv;
    if (CK_RV rv = find(privProbe, privs))
        return rv;
    if (pubs.empty() && privs.empty())
        return generate();
    if (pubs.size() != 1 || privs.size() != 1)
        return lost;
    pubOut = pubs.front();
    privOut = privs.front();
    return CKR_OK;
}

CK_RV P11Session::generateKeyPair(CK_MECHANISM& mechanism, Template& pub, Template& priv, const Bytes& id,
                                  CK_OBJECT_HANDLE& pubOut, CK_OBJECT_HANDLE& privOut)
{
    auto generate = [&] {
        return note(m_f->C_GenerateKeyPair(m_handle, &mechanism, pub.data(), pub.size(), priv.data(), priv.size(),
                                           &pubOut, &privOut));
    };
    CK_RV rv = m_lost ? recover() : CKR_OK;
    if (rv == CKR_OK) {
        rv = generate();
        if (m_lost)
            rv = generateAfterLoss(id, rv, pubOut, privOut, generate);
    }
    if (rv != CKR_OK)
        forgetObjects();
    return rv;
}

CK_RV P11Session::destroy(CK_OBJECT_HANDLE obj)
{
    bool again = false;
    CK_RV rv = call([&](CK_SESSION_HANDLE h) {
        const CK_RV r = m_f->C_DestroyObject(h, obj);
        // Made a second time after the session was lost: the first may have removed the object.
        if (again && r == CKR_OBJECT_HANDLE_INVALID)
            return CKR_OK;
        again = isSessionLost(r);
        return r;
    });
    if (rv != CKR_OK)
        forgetObjects();
    return rv;
}

std::string trimmedField(const CK_UTF8CHAR* field, size_t size)
{
    size_t n = 0;
    while (n < size && field[n] != 0)
        ++n;
    while (n > 0 && field[n - 1] == ' ')
        --n;
    return std::string(reinterpret_cast<const char*>(field), n);
}

} // namespace drevmor
