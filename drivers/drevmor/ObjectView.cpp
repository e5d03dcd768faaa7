// SPDX-License-Identifier: Apache-2.0
// A key's token objects read once: one C_FindObjects over all of them, then per object one call
// for the lengths and one for the values it needs.
#include "ObjectView.h"

#include "P11Session.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace drevmor {
namespace {

// Data objects longer than this are not container markers; their value is not read.
constexpr CK_ULONG kMaxMarkerValue = 64;

// Attributes read by length first; which of them are fetched depends on the class.
constexpr CK_ATTRIBUTE_TYPE kVariable[] = {CKA_ID,      CKA_LABEL,           CKA_APPLICATION, CKA_VALUE,
                                           CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_EC_PARAMS,   CKA_EC_POINT};

bool wanted(CK_OBJECT_CLASS cls, CK_ATTRIBUTE_TYPE type)
{
    switch (type) {
    case CKA_ID:
    case CKA_LABEL:
    case CKA_APPLICATION:
        return true;
    case CKA_VALUE:
        // Never a key's value: a module that lets a private key out must not see us take it.
        // A marker's value is read once its application is known.
        return cls == CKO_CERTIFICATE;
    default:
        return cls == CKO_PUBLIC_KEY;
    }
}

// A multi-attribute read: these results still fill every attribute the object has.
bool partialResult(CK_RV rv)
{
    return rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE;
}

// The value of a container marker: a data object of our application with a short value.
CK_RV readMarkerValue(P11Session& s, CK_OBJECT_HANDLE h, ObjectEntry& out, CK_ULONG length)
{
    const Bytes* app = out.attr(CKA_APPLICATION);
    const std::string_view ours(kContainerApplication);
    if (out.cls != CKO_DATA || !app || !std::equal(app->begin(), app->end(), ours.begin(), ours.end()) ||
        length == CK_UNAVAILABLE_INFORMATION || length == 0 || length > kMaxMarkerValue)
        return CKR_OK;
    Bytes value(length);
    CK_ULONG got = 0;
    // CKR_BUFFER_TOO_SMALL (the value grew since its length was read) goes back to readEntry,
    // which reads the object again.
    CK_RV rv = s.call([&](CK_SESSION_HANDLE session) {
        CK_ATTRIBUTE a{CKA_VALUE, value.data(), length};
        CK_RV r = s.f()->C_GetAttributeValue(session, h, &a, 1);
        got = a.ulValueLen;
        return r;
    });
    if (!partialResult(rv))
        return rv;
    if (got == CK_UNAVAILABLE_INFORMATION)
        return CKR_OK;
    if (got > length)
        return CKR_GENERAL_ERROR;
    value.resize(got);
    out.attrs[CKA_VALUE] = std::move(value);
    return CKR_OK;
}

// One reading of the object: the lengths of its attributes, then the values it needs.
CK_RV readEntryOnce(P11Session& s, CK_OBJECT_HANDLE h, ObjectEntry& out)
{
    out = ObjectEntry{};
    out.handle = h;
    CK_OBJECT_CLASS cls = 0;
    CK_ULONG keyType = 0, modulusBits = 0;
    CK_BBOOL isPrivate = CK_FALSE;
    constexpr size_t nFixed = 4;
    constexpr size_t nVar = std::size(kVariable);
    CK_ATTRIBUTE first[nFixed + nVar] = {{CKA_CLASS, &cls, sizeof cls},
                                         {CKA_KEY_TYPE, &keyType, sizeof keyType},
                                         {CKA_MODULUS_BITS, &modulusBits, sizeof modulusBits},
                                         {CKA_PRIVATE, &isPrivate, sizeof isPrivate}};
    for (size_t i = 0; i < nVar; ++i)
        first[nFixed + i] = {kVariable[i], nullptr, 0};
    CK_RV rv = s.call([&](CK_SESSION_HANDLE session) {
        // Every length as at the start: a first attempt may have changed them.
        for (size_t i = 0; i < 3; ++i)
            first[i].ulValueLen = sizeof(CK_ULONG);
        first[3].ulValueLen = sizeof isPrivate;
        for (size_t i = 0; i < nVar; ++i)
            first[nFixed + i].ulValueLen = 0;
        return s.f()->C_GetAttributeValue(session, h, first, std::size(first));
    });
    if (!partialResult(rv))
        return rv;
    CK_ULONG valueLength = CK_UNAVAILABLE_INFORMATION;
    for (const CK_ATTRIBUTE& a : first)
        if (a.type == CKA_VALUE)
            valueLength = a.ulValueLen;
    if (first[0].ulValueLen != sizeof cls)
        return CKR_GENERAL_ERROR; // every object has a class
    out.cls = cls;
    auto putUlong = [&](const CK_ATTRIBUTE& a, CK_ULONG v) {
        if (a.ulValueLen != sizeof v)
            return;
        Bytes b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        out.attrs[a.type] = std::move(b);
    };
    putUlong(first[0], cls);
    putUlong(first[1], keyType);
    putUlong(first[2], modulusBits);
    if (first[3].ulValueLen == sizeof isPrivate)
        out.attrs[CKA_PRIVATE] = Bytes{isPrivate};

    std::vector<CK_ATTRIBUTE> second;
    for (size_t i = 0; i < nVar; ++i) {
        const CK_ATTRIBUTE& a = first[nFixed + i];
        if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION || !wanted(cls, a.type))
            continue;
        if (a.ulValueLen > kMaxAttributeSize)
            return CKR_GENERAL_ERROR;
        Bytes& value = out.attrs[a.type];
        value.resize(a.ulValueLen);
        if (!value.empty())
            second.push_back({a.type, value.data(), a.ulValueLen});
    }
    if (second.empty())
        return CKR_OK;
    rv = s.call([&](CK_SESSION_HANDLE session) {
        for (CK_ATTRIBUTE& a : second)
            a.ulValueLen = static_cast<CK_ULONG>(out.attrs[a.type].size());
        return s.f()->C_GetAttributeValue(session, h, second.data(), second.size());
    });
    if (!partialResult(rv))
        return rv;
    for (const CK_ATTRIBUTE& a : second) {
        Bytes& value = out.attrs[a.type];
        // The value may have shrunk between the calls; it can never have grown into our buffer.
        if (a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
            out.attrs.erase(a.type);
        else if (a.ulValueLen > value.size())
            return CKR_GENERAL_ERROR;
        else
            value.resize(a.ulValueLen);
    }
    return readMarkerValue(s, h, out, valueLength);
}

// An object's attributes; read again when a value grew between the reading of its length and of
// itself (CKR_BUFFER_TOO_SMALL), a bounded number of times.
CK_RV readEntry(P11Session& s, CK_OBJECT_HANDLE h, ObjectEntry& out)
{
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int attempt = 0; attempt < kAttributeReadAttempts && rv == CKR_BUFFER_TOO_SMALL; ++attempt)
        rv = readEntryOnce(s, h, out);
    return rv;
}

} // namespace

const Bytes* ObjectEntry::attr(CK_ATTRIBUTE_TYPE type) const
{
    auto it = attrs.find(type);
    return it == attrs.end() ? nullptr : &it->second;
}

std::optional<CK_ULONG> ObjectEntry::ulongAttr(CK_ATTRIBUTE_TYPE type) const
{
    const Bytes* b = attr(type);
    if (!b || b->size() != sizeof(CK_ULONG))
        return std::nullopt;
    CK_ULONG v = 0;
    std::memcpy(&v, b->data(), sizeof v);
    return v;
}

CK_RV ObjectView::load(P11Session& s)
{
    m_objects.clear();
    m_byId.clear();
    Template t;
    t.addBool(CKA_TOKEN, true);
    std::vector<CK_OBJECT_HANDLE> handles;
    if (CK_RV rv = s.find(t, handles))
        return rv;
    for (CK_OBJECT_HANDLE h : handles) {
        ObjectEntry e;
        CK_RV rv = readEntry(s, h, e);
        // An object another program removed since the search is simply not there.
        if (rv == CKR_OBJECT_HANDLE_INVALID)
            continue;
        if (rv) {
            m_objects.clear();
            m_byId.clear();
            return rv;
        }
        index(e);
        m_objects.emplace(h, std::move(e));
    }
    return CKR_OK;
}

CK_RV ObjectView::added(P11Session& s, CK_OBJECT_HANDLE h)
{
    ObjectEntry e;
    if (CK_RV rv = readEntry(s, h, e))
        return rv;
    removed(h);
    index(e);
    m_objects.emplace(h, std::move(e));
    return CKR_OK;
}

void ObjectView::removed(CK_OBJECT_HANDLE h)
{
    auto it = m_objects.find(h);
    if (it == m_objects.end())
        return;
    if (const Bytes* id = it->second.attr(CKA_ID)) {
        auto list = m_byId.find({it->second.cls, *id});
        if (list != m_byId.end()) {
            std::erase(list->second, h);
            if (list->second.empty())
                m_byId.erase(list);
        }
    }
    if (const Bytes* label = it->second.attr(CKA_LABEL); label && it->second.cls == CKO_DATA) {
        auto list = m_dataByLabel.find(*label);
        if (list != m_dataByLabel.end()) {
            std::erase(list->second, h);
            if (list->second.empty())
                m_dataByLabel.erase(list);
        }
    }
    m_objects.erase(it);
}

void ObjectView::index(const ObjectEntry& e)
{
    if (const Bytes* label = e.attr(CKA_LABEL); label && e.cls == CKO_DATA) {
        auto& list = m_dataByLabel[*label];
        list.insert(std::upper_bound(list.begin(), list.end(), e.handle), e.handle);
    }
    const Bytes* id = e.attr(CKA_ID);
    if (!id)
        return;
    auto& list = m_byId[{e.cls, *id}];
    list.insert(std::upper_bound(list.begin(), list.end(), e.handle), e.handle);
}

std::vector<const ObjectEntry*> ObjectView::dataWithLabel(const Bytes& label) const
{
    std::vector<const ObjectEntry*> out;
    auto list = m_dataByLabel.find(label);
    if (list == m_dataByLabel.end())
        return out;
    for (CK_OBJECT_HANDLE h : list->second)
        out.push_back(&m_objects.at(h));
    return out;
}

std::vector<const ObjectEntry*> ObjectView::withId(CK_OBJECT_CLASS cls, const Bytes& id) const
{
    std::vector<const ObjectEntry*> out;
    auto list = m_byId.find({cls, id});
    if (list == m_byId.end())
        return out;
    for (CK_OBJECT_HANDLE h : list->second)
        out.push_back(&m_objects.at(h));
    return out;
}

} // namespace drevmor
