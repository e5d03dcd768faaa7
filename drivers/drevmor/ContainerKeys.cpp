// SPDX-License-Identifier: Apache-2.0
// Key pairs born on the key: generation, certificate requests signed on the key, and finding the
// key pair a certificate belongs to.
//
// A generated pair is an ordinary key pair of its container: both keys carry the pair's CKA_ID
// (container id + key specification byte) and the container name as CKA_LABEL, so everything else
// in the library (and other tools) finds it as if it had been imported. The private key never
// leaves the key: CKA_SENSITIVE, not CKA_EXTRACTABLE, and the request is signed by C_Sign.
#include "Containers.h"

#include "KeyMechanisms.h"
#include "KeyObjects.h"
#include "Sm2Keys.h"
#include "TokenLibrary.h"
#include "drevmor.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <strings.h>

namespace drevmor {
namespace {

// CKA_EC_PARAMS of the NIST curves: the DER of prime256v1 and secp384r1.
const Bytes kP256Params = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes kP384Params = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
// The DigestInfo of a SHA-256 hash without the hash, for CKM_RSA_PKCS.
const Bytes kSha256DigestInfo = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
// Longer than any signature a module makes (RSA 8192); a longer answer is not trusted.
constexpr size_t kMaxSignature = 1024;

const Bytes& curveParams(KeyKind kind)
{
    return kind == KeyKind::P384 ? kP384Params : kind == KeyKind::Sm2 ? kSm2CurveParams : kP256Params;
}

// The templates of a generated pair. An exchange pair (key specification 1) may also decrypt and
// unwrap (RSA) or derive (EC); a signature pair only signs and verifies.
void generationTemplates(KeyKind kind, bool exchange, const Bytes& id, const std::string& label, Template& pub,
                         Template& priv)
{
    pub.addUlong(CKA_CLASS, CKO_PUBLIC_KEY).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, false);
    pub.add(CKA_ID, id).add(CKA_LABEL, label).addBool(CKA_VERIFY, true);
    priv.addUlong(CKA_CLASS, CKO_PRIVATE_KEY).addBool(CKA_TOKEN, true).addBool(CKA_PRIVATE, true);
    priv.add(CKA_ID, id).add(CKA_LABEL, label).addBool(CKA_SENSITIVE, true).addBool(CKA_EXTRACTABLE, false);
    priv.addBool(CKA_SIGN, true);
    if (isRsa(kind)) {
        pub.addUlong(CKA_MODULUS_BITS, keyBits(kind)).add(CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00, 0x01});
        pub.addBool(CKA_ENCRYPT, exchange).addBool(CKA_WRAP, exchange);
        priv.addBool(CKA_DECRYPT, exchange).addBool(CKA_UNWRAP, exchange);
    } else {
        pub.add(CKA_EC_PARAMS, curveParams(kind));
        priv.addBool(CKA_DERIVE, exchange);
    }
}

// The kind of key a public key is, for choosing its signature.
std::optional<KeyKind> kindOf(EVP_PKEY* key)
{
    if (EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA)
        return KeyKind::Rsa2048;
    if (isSm2Key(key))
        return KeyKind::Sm2;
    char group[80] = {};
    size_t len = 0;
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    if (strcasecmp(group, "prime256v1") == 0 || strcasecmp(group, "P-256") == 0)
        return KeyKind::P256;
    if (strcasecmp(group, "secp384r1") == 0 || strcasecmp(group, "P-384") == 0)
        return KeyKind::P384;
    return std::nullopt;
}

RequestAlgorithm requestAlgorithm(KeyKind kind)
{
    if (isRsa(kind))
        return RequestAlgorithm::RsaSha256;
    if (kind == KeyKind::Sm2)
        return RequestAlgorithm::Sm2Sm3;
    return kind == KeyKind::P384 ? RequestAlgorithm::EcdsaSha384 : RequestAlgorithm::EcdsaSha256;
}

// What the key signs: the request's information itself, or its hash (in a DigestInfo for
// CKM_RSA_PKCS).
std::optional<Bytes> signingInput(RequestDigest digest, std::span<const std::uint8_t> info)
{
    if (digest == RequestDigest::None)
        return Bytes(info.begin(), info.end());
    const EVP_MD* md = digest == RequestDigest::Sha384 ? EVP_sha384() : EVP_sha256();
    std::array<unsigned char, EVP_MAX_MD_SIZE> hash{};
    unsigned int n = 0;
    if (EVP_Digest(info.data(), info.size(), hash.data(), &n, md, nullptr) != 1)
        return std::nullopt;
    Bytes out = digest == RequestDigest::Sha256DigestInfo ? kSha256DigestInfo : Bytes{};
    out.insert(out.end(), hash.begin(), hash.begin() + n);
    return out;
}

} // namespace

int Containers::checkProtected(CK_OBJECT_HANDLE privateKey)
{
    CK_BBOOL sensitive = CK_FALSE, extractable = CK_TRUE;
    CK_ULONG sensitiveLength = 0, extractableLength = 0;
    const CK_RV rv = m_s.call([&](CK_SESSION_HANDLE h) {
        CK_ATTRIBUTE a[] = {{CKA_SENSITIVE, &sensitive, sizeof sensitive},
                            {CKA_EXTRACTABLE, &extractable, sizeof extractable}};
        const CK_RV r = m_s.f()->C_GetAttributeValue(h, privateKey, a, 2);
        sensitiveLength = a[0].ulValueLen;
        extractableLength = a[1].ulValueLen;
        return r;
    });
    if (rv != CKR_OK)
        return writeResult(rv);
    if (sensitiveLength != sizeof sensitive || extractableLength != sizeof extractable || sensitive != CK_TRUE ||
        extractable != CK_FALSE)
        return DRV_GENERAL_ERROR; // a module that would let the key out
    return DRV_OK;
}

int Containers::generateKeyPair(const std::string& name, int keySpec, int choice)
{
    const auto kind = keyKindOf(choice);
    if (!kind || !validKeySpec(keySpec))
        return DRV_INVALID_PARAM;
    if (!m_loggedIn)
        return DRV_NOT_LOGGED_IN;
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    KeyMechanisms mechanisms;
    if (CK_RV rv = m_s.note(KeyMechanisms::read(m_s.f(), m_s.slot(), mechanisms)))
        return toResult(rv);
    const auto mechanism = mechanisms.offers(*kind) ? mechanisms.generation(*kind) : std::nullopt;
    if (!mechanism)
        return DRV_MECHANISM_MISSING;
    for (CK_OBJECT_CLASS cls : {CKO_CERTIFICATE, CKO_PUBLIC_KEY, CKO_PRIVATE_KEY}) {
        std::vector<CK_OBJECT_HANDLE> objs;
        if (CK_RV rv = objectsOf(pair, cls, objs))
            return toResult(rv);
        if (!objs.empty())
            return DRV_EXISTS;
    }
    Template pub, priv;
    generationTemplates(*kind, keySpec == DRV_KEYSPEC_EXCHANGE, pair, name, pub, priv);
    CK_MECHANISM mech{*mechanism, nullptr, 0};
    CK_OBJECT_HANDLE pubKey = CK_INVALID_HANDLE, privKey = CK_INVALID_HANDLE;
    const CK_RV made = m_s.generateKeyPair(mech, pub, priv, pair, pubKey, privKey);
    int rv = made == CKR_OK ? checkProtected(privKey) : writeResult(made);
    if (rv == DRV_OK) {
        created(pubKey);
        created(privKey);
        return DRV_OK;
    }
    // Nothing half-made stays: whatever the key holds under the pair's id came from this call
    // (the pair was empty before). A key that is gone, or a login lost with the session, leaves
    // nothing that could be removed.
    if (!m_s.dead() && made != kLoginLost)
        destroyPair(pair);
    m_s.forgetObjects();
    return rv;
}

int Containers::createRequest(const std::string& name, int keySpec, const RequestSubject& subject, Bytes& der)
{
    if (int rv = checkSubject(subject))
        return rv;
    Bytes pair;
    if (int rv = pairOf(name, keySpec, pair))
        return rv;
    CK_RV crv = CKR_OK;
    const ObjectView* view = m_s.objects(crv);
    if (!view)
        return toResult(crv);
    const auto privs = view->withId(CKO_PRIVATE_KEY, pair);
    if (privs.empty())
        return m_loggedIn ? DRV_NOT_FOUND : toResult(CKR_USER_NOT_LOGGED_IN);
    const CK_OBJECT_HANDLE privKey = privs.front()->handle;
    const auto pubs = view->withId(CKO_PUBLIC_KEY, pair);
    EvpKeyPtr publicKey = pubs.empty() ? nullptr : publicKeyOf(*pubs.front());
    if (!publicKey)
        return DRV_NOT_FOUND;
    const auto kind = kindOf(publicKey.get());
    const int bits = EVP_PKEY_get_bits(publicKey.get());
    KeyMechanisms mechanisms;
    if (CK_RV rv = m_s.note(KeyMechanisms::read(m_s.f(), m_s.slot(), mechanisms)))
        return toResult(rv);
    const auto signing =
        kind && bits > 0 ? mechanisms.signing(*kind, static_cast<CK_ULONG>(bits)) : std::optional<RequestSigning>{};
    if (!signing)
        return DRV_MECHANISM_MISSING;
    const bool rsa = isRsa(*kind);
    const size_t half = (static_cast<size_t>(bits) + 7) / 8;

    auto signOnKey = [&](std::span<const std::uint8_t> info, Bytes& signature) {
        auto input = signingInput(signing->digest, info);
        if (!input)
            return DRV_GENERAL_ERROR;
        Bytes id = *kind == KeyKind::Sm2 ? kSm2DefaultSignerId : Bytes{};
        CK_MECHANISM mech{signing->mechanism, id.empty() ? nullptr : id.data(), static_cast<CK_ULONG>(id.size())};
        Bytes raw(kMaxSignature);
        CK_ULONG length = 0;
        const CK_RV rv = m_s.call([&](CK_SESSION_HANDLE h) {
            length = static_cast<CK_ULONG>(raw.size());
            if (CK_RV r = m_s.f()->C_SignInit(h, &mech, privKey))
                return r;
            return m_s.f()->C_Sign(h, input->data(), static_cast<CK_ULONG>(input->size()), raw.data(), &length);
        });
        if (rv != CKR_OK)
            return toResult(rv);
        if (length == 0 || length > raw.size())
            return DRV_GENERAL_ERROR;
        raw.resize(length);
        if (rsa) {
            signature = std::move(raw);
            return DRV_OK;
        }
        // ECDSA and SM2 signatures come as r || s, each as long as the curve's order.
        if (raw.size() != 2 * half)
            return DRV_GENERAL_ERROR;
        signature = derSignature(raw);
        return signature.empty() ? DRV_GENERAL_ERROR : DRV_OK;
    };
    return buildRequest(publicKey.get(), subject, requestAlgorithm(*kind), signOnKey, der);
}

int Containers::findByCertificate(X509* cert, std::string& name, int& keySpec)
{
    EVP_PKEY* certKey = X509_get0_pubkey(cert);
    ERR_clear_error();
    if (!certKey)
        return DRV_NOT_FOUND;
    std::vector<Container> all;
    if (CK_RV rv = list(all))
        return toResult(rv);
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    for (const Container& c : all) {
        for (int spec : {DRV_KEYSPEC_EXCHANGE, DRV_KEYSPEC_SIGNATURE}) {
            // Another tool's container holds key pair 1 only, under its own id.
            if (!c.marked && spec != DRV_KEYSPEC_EXCHANGE)
                continue;
            Bytes pair = c.id;
            if (c.marked)
                pair.push_back(static_cast<std::uint8_t>(spec));
            for (const ObjectEntry* pub : view->withId(CKO_PUBLIC_KEY, pair)) {
                if (samePublicKey(publicKeyOf(*pub).get(), certKey)) {
                    name = c.name;
                    keySpec = spec;
                    return DRV_OK;
                }
            }
        }
    }
    return DRV_NOT_FOUND;
}

int Containers::checkPairKey(const Bytes& pairId, X509* cert)
{
    CK_RV rv = CKR_OK;
    const ObjectView* view = m_s.objects(rv);
    if (!view)
        return toResult(rv);
    EVP_PKEY* certKey = X509_get0_pubkey(cert);
    ERR_clear_error();
    bool judged = false;
    for (const ObjectEntry* pub : view->withId(CKO_PUBLIC_KEY, pairId)) {
        EvpKeyPtr held = publicKeyOf(*pub);
        if (!held)
            continue; // a key this library cannot read says nothing against the certificate
        if (samePublicKey(held.get(), certKey))
            return DRV_OK;
        judged = true;
    }
    return judged ? DRV_KEY_MISMATCH : DRV_OK;
}

} // namespace drevmor
