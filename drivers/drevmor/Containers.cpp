// SPDX-License-Identifier: Apache-2.0
//
// Containers as PKCS#11 objects.
//
// A container is a CKO_DATA object, its marker:
//     CKA_TOKEN true, CKA_PRIVATE false, CKA_APPLICATION "KX2700 container",
//     CKA_LABEL = the container name (any bytes but zero), CKA_VALUE = the container id,
//     16 random bytes.
// The objects of key pair s (1 exchange, 2 signature) of that container carry
//     CKA_ID = container id followed by one byte s, CKA_LABEL = the container name:
// the private key (CKA_PRIVATE, CKA_SENSITIVE), the public key and the X.509 certificate. Every
// module stores CKA_ID and CKA_LABEL, so the key specification survives any module, and other
// tools see an ordinary certificate with its key pair.
//
// Some modules take no public data object (tpm2-pkcs11 stores every object in the TPM's sealed
// store and wants CKA_PRIVATE true): there the marker is written with CKA_PRIVATE true, which the
// session remembers for the key. Such markers are found only after the login; before it, objects
// whose CKA_ID has the shape of a pair of ours are not taken for another tool's container, since
// their marker may be out of view.
//
// Objects another tool wrote (certificates, public and private keys with a CKA_ID that belongs
// to no marker) form one container per CKA_ID, named by the label of its certificate (or of any
// of its objects, or the hexadecimal CKA_ID when none has a label), holding key pair 1 only.
//
// Nothing else on the token is touched: every search is by class and CKA_ID, and deleting a
// container destroys only its marker, keys and certificates.
#include "Containers.h"

#include "KeyObjects.h"
#include "Sm2Keys.h"
#include "TokenLibrary.h"
#include "drevmor.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace drevmor {
namespace {

const std::string kApplication = kContainerApplication;
constexpr size_t kIdSize = 16;
constexpr size_t kMaxIdSize = 64;

std::string hexOf(const Bytes& b)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (auto v : b) {
        out += digits[v >> 4];
        out += digits[v & 15];
    }
    return out;
}

bool isMarker(const ObjectEntry& e)
{
    const Bytes* app = e.attr(CKA_APPLICATION);
    return app && std::equal(app->begin(), app->end(), kApplication.begin(), kApplication.end());
}

bool isPrivateObject(const ObjectEntry& e)
{
    const Bytes* flag = e.attr(CKA_PRIVATE);
    return flag && flag->size() == 1 && flag->front() == CK_TRUE;
}

// A CKA_ID as this library gives a key pair: a container id and the key specification byte.
bool pairShaped(const Bytes& id)
{
    return id.size() == kIdSize + 1 && (id.back() == DRV_KEYSPEC_EXCHANGE || id.back() == DRV_KEYSPEC_SIGNATURE);
}

// Answers of a module that does not take the object as the template gives it (a public data
// object on tpm2-pkcs11, a private key from outside on a TPM), as opposed to a failure of the
// key, the session or the login.
bool refusedTemplate(CK_RV rv)
{
    return rv == CKR_ATTRIBUTE_VALUE_INVALID || rv == CKR_TEMPLATE_INCONSISTENT || rv == CKR_ATTRIBUTE_READ_ONLY;
}

bool refusedPrivateKey(CK_RV rv)
{
    return refusedTemplate(rv) || rv == CKR_TEMPLATE_INCOMPLETE || rv == CKR_ATTRIBUTE_TYPE_INVALID ||
           rv == CKR_KEY_TYPE_INCONSISTENT || rv == CKR_FUNCTION_NOT_SUPPORTED;
}

} // namespace

int writeResult(CK_RV rv)
{
    if (rv == CKR_USER_NOT_LOGGED_IN)
        return DRV_NOT_LOGGED_IN;
    if (rv == CKR_DEVICE_MEMORY)
        return DRV_DEVICE_FULL;
    return toResult(rv);
}

bool validKeySpec(int keySpec)
{
    return keySpec == DRV_KEYSPEC_EXCHANGE || keySpec == DRV_KEYSPEC_SIGNATURE;
}

bool validContainerName(const char* name)
{
    if (!name)
        return false;
    size_t n = strnlen(name, kMaxContainerName + 1);
    return n > 0 && n <= kMaxContainerName;
}

CK_RV Containers::list(std::vector<Container>& out, bool fresh)
{
    out.clear();
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv, fresh);
    if (!view)
        return rv;
    std::vector<Container> ours;
    std::set<Bytes> ourIds;
    for (const auto& [h, e] : view->objects()) {
        if (e.cls != CKO_DATA || !isMarker(e))
            continue;
        const Bytes* label = e.attr(CKA_LABEL);
        const Bytes* value = e.attr(CKA_VALUE);
        if (!label || label->empty() || label->size() > kMaxContainerName || !value || value->empty() ||
            value->size() > kMaxIdSize)
            continue; // not a marker we wrote
        std::string name(label->begin(), label->end());
        if (name.find('\0') != std::string::npos)
            continue;
        ours.push_back({name, *value, true});
        ourIds.insert(*value);
        if (isPrivateObject(e))
            m_s.setPrivateMarkers();
    }
    auto ownPair = [&](const Bytes& id) {
        // Out of view, a private marker may own it.
        if (!m_loggedIn && pairShaped(id))
            return true;
        if (id.empty() || (id.back() != DRV_KEYSPEC_EXCHANGE && id.back() != DRV_KEYSPEC_SIGNATURE))
            return false;
        return ourIds.count(Bytes(id.begin(), id.end() - 1)) > 0;
    };

    // Other tools' objects, grouped by CKA_ID, certificates first so that their labels name the
    // container.
    std::vector<Container> others;
    std::map<Bytes, size_t> byId;
    for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        for (const auto& [h, e] : view->objects()) {
            if (e.cls != cls)
                continue;
            const Bytes* id = e.attr(CKA_ID);
            if (!id || id->empty() || id->size() > kMaxIdSize || ownPair(*id))
                continue;
            const Bytes* label = e.attr(CKA_LABEL);
            std::string name;
            if (label && label->size() <= kMaxContainerName)
                name.assign(label->begin(), label->end());
            if (name.find('\0') != std::string::npos)
                name.clear();
            auto it = byId.find(*id);
            if (it == byId.end()) {
                byId[*id] = others.size();
                others.push_back({name, *id, false});
            } else if (others[it->second].name.empty()) {
                others[it->second].name = name;
            }
        }
    }
    for (auto& c : others)
        if (c.name.empty())
            c.name = hexOf(c.id);
    auto byName = [](const Container& a, const Container& b) { return a.name < b.name; };
    std::stable_sort(ours.begin(), ours.end(), byName);
    std::stable_sort(others.begin(), others.end(), byName);
    out = std::move(ours);
    out.insert(out.end(), others.begin(), others.end());
    return CKR_OK;
}

int Containers::loadAll(char* buffer, int* length)
{
    if (!buffer || !length || *length <= 0)
        return DRV_INVALID_PARAM;
    const size_t capacity = static_cast<size_t>(*length);
    std::memset(buffer, 0, capacity);
    *length = 0;
    std::vector<Container> all;
    // A container list is a refresh: the key's objects are read again, so that what other
    // programs changed shows.
    if (CK_RV rv = list(all, true))
        return toResult(rv);
    // The whole list or none of it: a caller given part of the list would take it for all.
    size_t needed = 0;
    for (const auto& c : all)
        needed += c.name.size() + 1;
    if (needed > capacity) {
        *length = static_cast<int>(std::min<size_t>(needed, INT32_MAX));
        return DRV_BUFFER_TOO_SMALL;
    }
    size_t used = 0;
    for (const auto& c : all) {
        std::memcpy(buffer + used, c.name.data(), c.name.size());
        used += c.name.size();
        buffer[used++] = 0;
    }
    *length = static_cast<int>(used);
    return DRV_OK;
}

int Containers::pairOf(const std::string& name, int keySpec, Bytes& pairId)
{
    if (!validKeySpec(keySpec))
        return DRV_INVALID_PARAM;
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    // Our containers are found by their marker alone, through the view's index of labels; only a
    // name without one needs the whole list (other tools' objects).
    for (const ObjectEntry* marker : view->dataWithLabel(Bytes(name.begin(), name.end()))) {
        if (!isMarker(*marker))
            continue;
        const Bytes* value = marker->attr(CKA_VALUE);
        if (value && !value->empty() && value->size() <= kMaxIdSize) {
            pairId = *value;
            pairId.push_back(static_cast<std::uint8_t>(keySpec));
            return DRV_OK;
        }
    }
    std::vector<Container> all;
    if (CK_RV rv = list(all))
        return toResult(rv);
    for (const auto& c : all) {
        if (c.name != name)
            continue;
        if (!c.marked) {
            if (keySpec != DRV_KEYSPEC_EXCHANGE)
                return DRV_NOT_FOUND;
            pairId = c.id;
        } else {
            pairId = c.id;
            pairId.push_back(static_cast<std::uint8_t>(keySpec));
        }
        return DRV_OK;
    }
    return DRV_NOT_FOUND;
}

CK_RV Containers::objectsOf(const Bytes& pairId, CK_OBJECT_CLASS cls, std::vector<CK_OBJECT_HANDLE>& out)
{
    Template t;
    t.addUlong(CKA_CLASS, cls).addBool(CKA_TOKEN, true).add(CKA_ID, pairId);
    return m_s.find(t, out);
}

void Containers::created(CK_OBJECT_HANDLE h)
{
    if (ObjectView* view = m_s.heldObjects())
        if (view->added(m_s, h) != CKR_OK)
            m_s.forgetObjects(); // read again whole at the next call
}

CK_RV Containers::destroy(CK_OBJECT_HANDLE h)
{
    CK_RV rv = m_s.destroy(h);
    if (rv == CKR_OK)
        if (ObjectView* view = m_s.heldObjects())
            view->removed(h);
    return rv;
}

int Containers::create(const std::string& name)
{
    if (!m_loggedIn)
        return DRV_NOT_LOGGED_IN;
    std::vector<Container> all;
    if (CK_RV rv = list(all))
        return toResult(rv);
    for (const auto& c : all)
        if (c.name == name)
            return DRV_EXISTS;
    Bytes id(kIdSize);
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1)
        return DRV_GENERAL_ERROR;
    auto write = [&](bool isPrivate, CK_OBJECT_HANDLE& h) {
        Template t;
        t.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, isPrivate);
        t.addBool(CKA_MODIFIABLE, true).add(CKA_LABEL, name).add(CKA_APPLICATION, kApplication).add(CKA_VALUE, id);
        return m_s.create(t, h);
    };
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    const bool knownPrivate = m_s.privateMarkers();
    CK_RV rv = write(knownPrivate, h);
    if (!knownPrivate && refusedTemplate(rv)) {
        // A module that takes only private data objects: the marker is private, and so are the
        // key's markers from now on.
        rv = write(true, h);
        if (rv == CKR_OK)
            m_s.setPrivateMarkers();
    }
    if (rv == CKR_OK)
        created(h);
    return writeResult(rv);
}

int Containers::remove(const std::string& name)
{
    if (!m_loggedIn)
        return toResult(CKR_USER_NOT_LOGGED_IN); // its private keys are not visible
    std::vector<Container> all;
    if (CK_RV rv = list(all))
        return toResult(rv);
    auto it = std::find_if(all.begin(), all.end(), [&](const Container& c) { return c.name == name; });
    if (it == all.end())
        return DRV_NOT_FOUND;
    std::vector<Bytes> pairs;
    if (it->marked) {
        for (std::uint8_t s : {std::uint8_t(1), std::uint8_t(2)}) {
            pairs.push_back(it->id);
            pairs.back().push_back(s);
        }
    } else {
        pairs.push_back(it->id);
    }
    for (const auto& pair : pairs)
        if (CK_RV rv = destroyPair(pair))
            return toResult(rv);
    if (it->marked) {
        // The marker goes last: a deletion that fails part way leaves the container listed, so
        // that it can be deleted again.
        Template t;
        t.addUlong(CKA_CLASS, CKO_DATA).addBool(CKA_TOKEN, true).add(CKA_APPLICATION, kApplication);
        t.add(CKA_VALUE, it->id);
        std::vector<CK_OBJECT_HANDLE> markers;
        if (CK_RV rv = m_s.find(t, markers))
            return toResult(rv);
        for (CK_OBJECT_HANDLE h : markers)
            if (CK_RV rv = destroy(h))
                return toResult(rv);
    }
    return DRV_OK;
}

int Containers::removeCertificate(const std::string& name, int keySpec)
{
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    std::vector<CK_OBJECT_HANDLE> certs;
    if (CK_RV rv = objectsOf(pair, CKO_CERTIFICATE, certs))
        return toResult(rv);
    if (certs.empty())
        return DRV_NOT_FOUND;
    for (CK_OBJECT_HANDLE h : certs)
        if (CK_RV rv = destroy(h))
            return toResult(rv);
    return DRV_OK;
}

int Containers::removeKeyPair(const std::string& name, int keySpec)
{
    if (!validKeySpec(keySpec))
        return DRV_INVALID_PARAM;
    if (!m_loggedIn)
        return toResult(CKR_USER_NOT_LOGGED_IN); // its private key is not visible
    std::vector<Container> all;
    if (CK_RV rv = list(all))
        return toResult(rv);
    auto it = std::find_if(all.begin(), all.end(), [&](const Container& c) { return c.name == name; });
    if (it == all.end())
        return DRV_NOT_FOUND;
    // Another tool's objects form key pair 1 only: its pair 2 is empty.
    if (!it->marked && keySpec != DRV_KEYSPEC_EXCHANGE)
        return DRV_OK;
    Bytes pair = it->id;
    if (it->marked)
        pair.push_back(static_cast<std::uint8_t>(keySpec));
    return toResult(destroyPair(pair));
}

CK_RV Containers::destroyPair(const Bytes& pairId)
{
    for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        std::vector<CK_OBJECT_HANDLE> objs;
        if (CK_RV rv = objectsOf(pairId, cls, objs))
            return rv;
        for (CK_OBJECT_HANDLE h : objs)
            if (CK_RV rv = destroy(h))
                return rv;
    }
    return CKR_OK;
}

int Containers::certificate(const std::string& name, int keySpec, unsigned char* buffer, int* length)
{
    if (!buffer || !length || *length < 0)
        return DRV_INVALID_PARAM;
    const size_t capacity = static_cast<size_t>(*length);
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    for (const ObjectEntry* cert : view->withId(CKO_CERTIFICATE, pair)) {
        const Bytes* value = cert->attr(CKA_VALUE);
        if (!value || value->empty())
            continue;
        if (value->size() > capacity) {
            *length = static_cast<int>(std::min<size_t>(value->size(), INT32_MAX));
            return DRV_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, value->data(), value->size());
        *length = static_cast<int>(value->size());
        return DRV_OK;
    }
    return DRV_NOT_FOUND;
}

int Containers::keyAlgorithm(const ObjectEntry& key, int& algorithm, CK_ULONG& keyType)
{
    auto type = key.ulongAttr(CKA_KEY_TYPE);
    keyType = type ? *type : CK_UNAVAILABLE_INFORMATION;
    algorithm = isEcKeyType(keyType) ? DRV_KEY_ALGORITHM_ECC : keyType == CKK_RSA ? DRV_KEY_ALGORITHM_RSA : 0;
    return DRV_OK;
}

int Containers::publicKey(const std::string& name, int keySpec, int* algorithm, int* bits, unsigned char* buffer,
                          int* length)
{
    if (!algorithm || !bits || !buffer || !length || *length < 0)
        return DRV_INVALID_PARAM;
    const size_t capacity = static_cast<size_t>(*length);
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    auto keys = view->withId(CKO_PUBLIC_KEY, pair);
    if (keys.empty())
        return DRV_NOT_FOUND;
    const ObjectEntry& key = *keys.front();
    CK_ULONG type = 0;
    if (int rv = keyAlgorithm(key, *algorithm, type))
        return rv;
    Bytes encoding;
    *bits = 0;
    if (type == CKK_RSA) {
        if (const Bytes* modulus = key.attr(CKA_MODULUS)) {
            *bits = modulusBits(*modulus);
            encoding = *modulus;
        } else if (auto stated = key.ulongAttr(CKA_MODULUS_BITS)) {
            *bits = static_cast<int>(std::min<CK_ULONG>(*stated, INT32_MAX));
        }
    } else if (isEcKeyType(type)) {
        if (const Bytes* params = key.attr(CKA_EC_PARAMS))
            *bits = curveBits(*params);
        else if (isVendorSm2KeyType(type))
            *bits = 256; // an SM2 key needs no parameters to say its size
        if (const Bytes* point = key.attr(CKA_EC_POINT))
            encoding = *point;
    }
    // The callers want the algorithm and the length; the buffer gets what fits of the encoding
    // (an RSA 3072 or 4096 modulus is longer than the 257 bytes they pass).
    const size_t written = std::min(encoding.size(), capacity);
    if (written > 0)
        std::memcpy(buffer, encoding.data(), written);
    *length = static_cast<int>(written);
    return DRV_OK;
}

int Containers::privateKey(const std::string& name, int keySpec, int* algorithm)
{
    if (!algorithm)
        return DRV_INVALID_PARAM;
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    auto keys = view->withId(CKO_PRIVATE_KEY, pair);
    if (keys.empty())
        return m_loggedIn ? DRV_NOT_FOUND : toResult(CKR_USER_NOT_LOGGED_IN);
    CK_ULONG type = 0;
    return keyAlgorithm(*keys.front(), *algorithm, type);
}

int Containers::import(const std::string& name, int keySpec, X509* cert, EVP_PKEY* key)
{
    if (!cert)
        return DRV_NO_FILE_PARSED;
    // A certificate no caller could read back is refused before anything is written.
    if (!fitsCertBuffer(cert))
        return DRV_CERT_TOO_LARGE;
    if (!m_loggedIn)
        return DRV_NOT_LOGGED_IN;
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    std::vector<CK_OBJECT_HANDLE> existing;
    if (CK_RV rv = objectsOf(pair, CKO_CERTIFICATE, existing))
        return toResult(rv);
    if (!existing.empty())
        return DRV_EXISTS;
    // A certificate alone must belong to the keys the pair already holds.
    if (!key)
        if (int rv = checkPairKey(pair, cert))
            return rv;

    const bool exchange = keySpec == DRV_KEYSPEC_EXCHANGE;
    const Bytes subject = derOf(X509_get_subject_name(cert));
    Template certTmpl;
    certificateTemplate(cert, pair, name, certTmpl);
    Template privTmpl, pubTmpl;
    // Keys of the pair written earlier without a certificate are replaced by the file's keys.
    std::vector<CK_OBJECT_HANDLE> oldKeys;
    if (key) {
        if (int rv = privateKeyTemplate(key, exchange, pair, name, subject, privTmpl))
            return rv;
        if (int rv = publicKeyTemplate(key, exchange, pair, name, subject, pubTmpl))
            return rv;
        for (CK_OBJECT_CLASS cls : {CKO_PRIVATE_KEY, CKO_PUBLIC_KEY}) {
            std::vector<CK_OBJECT_HANDLE> objs;
            if (CK_RV rv = objectsOf(pair, cls, objs))
                return toResult(rv);
            oldKeys.insert(oldKeys.end(), objs.begin(), objs.end());
        }
    }

    std::vector<CK_OBJECT_HANDLE> written;
    auto undo = [&](CK_RV failure) {
        for (auto it = written.rbegin(); it != written.rend(); ++it)
            m_s.destroy(*it);
        return writeResult(failure);
    };
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    if (key) {
        // The private key first: it is the object most likely to be refused (rights, room, or a
        // module whose keys are born on the key only).
        if (CK_RV rv = m_s.create(privTmpl, h))
            return refusedPrivateKey(rv) ? DRV_PRIVATE_KEY_REFUSED : undo(rv);
        written.push_back(h);
        if (CK_RV rv = m_s.create(pubTmpl, h))
            return undo(rv);
        written.push_back(h);
    }
    if (CK_RV rv = m_s.create(certTmpl, h))
        return undo(rv);
    written.push_back(h);
    for (CK_OBJECT_HANDLE old : oldKeys)
        destroy(old);
    for (CK_OBJECT_HANDLE n : written)
        created(n);
    return DRV_OK;
}

} // namespace drevmor
