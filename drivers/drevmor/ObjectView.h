// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace drevmor {

using Bytes = std::vector<std::uint8_t>;
class P11Session;

// CKA_APPLICATION of a container's marker object.
inline constexpr char kContainerApplication[] = "KX2700 container";

// One token object with the attributes the container code reads: class, key type, CKA_PRIVATE, CKA_ID,
// CKA_LABEL, CKA_APPLICATION, the value of certificates and of container markers, and the public
// parts of public keys (modulus and exponent, curve and point). No other object's value is asked
// for: keys and other programs' data stay on the key.
struct ObjectEntry
{
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    CK_OBJECT_CLASS cls = CK_UNAVAILABLE_INFORMATION;
    std::map<CK_ATTRIBUTE_TYPE, Bytes> attrs;

    const Bytes* attr(CK_ATTRIBUTE_TYPE type) const;
    std::optional<CK_ULONG> ulongAttr(CK_ATTRIBUTE_TYPE type) const;
};

// A key's token objects as read by one search: the container list, the certificates and the key
// probes of a whole tree are answered from it instead of searching the key once per container.
// Writes through the same session keep it current; changes by other programs show once it is
// loaded again.
class ObjectView
{
public:
    // One search over the token objects, two attribute reads per object.
    CK_RV load(P11Session& s);
    // Takes in an object this session has just created.
    CK_RV added(P11Session& s, CK_OBJECT_HANDLE h);
    void removed(CK_OBJECT_HANDLE h);

    // Every object, in handle order.
    const std::map<CK_OBJECT_HANDLE, ObjectEntry>& objects() const { return m_objects; }
    // The objects of one class whose CKA_ID is `id`, in handle order.
    std::vector<const ObjectEntry*> withId(CK_OBJECT_CLASS cls, const Bytes& id) const;
    // The data objects whose CKA_LABEL is `label`, in handle order: a container's marker is found
    // by its name without a pass over every object.
    std::vector<const ObjectEntry*> dataWithLabel(const Bytes& label) const;

private:
    void index(const ObjectEntry& e);

    std::map<CK_OBJECT_HANDLE, ObjectEntry> m_objects;
    std::map<std::pair<CK_OBJECT_CLASS, Bytes>, std::vector<CK_OBJECT_HANDLE>> m_byId;
    std::map<Bytes, std::vector<CK_OBJECT_HANDLE>> m_dataByLabel;
};

} // namespace drevmor
