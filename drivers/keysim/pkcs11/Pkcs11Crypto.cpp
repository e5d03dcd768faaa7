// SPDX-License-Identifier: Apache-2.0
#include "Pkcs11Crypto.h"

#include "OpensslHandles.h"
#include "Pkcs11Cipher.h"
#include "Pkcs11Derive.h"
#include "Pkcs11Module.h"
#include "Sm2Crypto.h"
#include "keysim_ext.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace keysim {

namespace {

// The NIST curves the module knows: CKA_EC_PARAMS (the DER of the curve's OID), OpenSSL's name
// and the size of a coordinate (and of a private value) in bytes.
struct NistCurve
{
    Bytes params;
    const char* name;
    std::size_t bytes;
};

const NistCurve kNistCurves[] = {
    {{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}, "prime256v1", 32}, // 1.2.840.10045.3.1.7
    {{0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22}, "secp384r1", 48},                    // 1.3.132.0.34
};

const NistCurve* nistCurve(const Bytes* params)
{
    for (const NistCurve& c : kNistCurves)
        if (params && *params == c.params)
            return &c;
    return nullptr;
}

Bytes bnParam(EVP_PKEY* key, const char* name)
{
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1)
        return {};
    BnPtr bn(raw, BN_clear_free);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

BnPtr toBn(const Bytes& b)
{
    return BnPtr(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr), BN_clear_free);
}

const Bytes* find(const Attributes& a, CK_ATTRIBUTE_TYPE t)
{
    auto it = a.find(t);
    return it == a.end() ? nullptr : &it->second;
}
} // namespace

PkeyPtr privateKey(const Attributes& key)
{
    PkeyPtr none(nullptr, EVP_PKEY_free);
    BldPtr bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    std::vector<BnPtr> keep;
    const CK_ULONG type = attrUlong(key, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION);
    const char* alg = nullptr;
    if (type == CKK_RSA) {
        alg = "RSA";
        const std::pair<CK_ATTRIBUTE_TYPE, const char*> parts[] = {{CKA_MODULUS, OSSL_PKEY_PARAM_RSA_N},
                                                                   {CKA_PUBLIC_EXPONENT, OSSL_PKEY_PARAM_RSA_E},
                                                                   {CKA_PRIVATE_EXPONENT, OSSL_PKEY_PARAM_RSA_D},
                                                                   {CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
                                                                   {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},
                                                                   {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
                                                                   {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
                                                                   {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
        for (const auto& [t, name] : parts) {
            const Bytes* v = find(key, t);
            if (!v || v->empty()) {
                if (t == CKA_MODULUS || t == CKA_PUBLIC_EXPONENT || t == CKA_PRIVATE_EXPONENT)
                    return none;
                continue;
            }
            keep.push_back(toBn(*v));
            OSSL_PARAM_BLD_push_BN(bld.get(), name, keep.back().get());
        }
    } else if (type == CKK_EC) {
        alg = "EC";
        const NistCurve* curve = nistCurve(find(key, CKA_EC_PARAMS));
        const Bytes* value = find(key, CKA_VALUE);
        if (!curve || !value || value->empty())
            return none;
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, curve->name, 0);
        keep.push_back(toBn(*value));
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, keep.back().get());
    } else {
        return none;
    }
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()), OSSL_PARAM_free);
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, alg, nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return none;
    return PkeyPtr(raw, EVP_PKEY_free);
}

namespace {
enum class Padding
{
    Pkcs1,
    Pss,
    Ecdsa,
    Sm2
};

// One signing mechanism: the key type it needs, the digest the module computes itself (none when
// the caller hands over the digest or, for CKM_RSA_PKCS, the DigestInfo) and the signature scheme.
struct SignMechanism
{
    CK_MECHANISM_TYPE mechanism;
    CK_KEY_TYPE keyType;
    CK_MECHANISM_TYPE digest;
    Padding padding;
};

constexpr CK_MECHANISM_TYPE kNoDigest = CK_UNAVAILABLE_INFORMATION;

constexpr SignMechanism kSignMechanisms[] = {
    {CKM_RSA_PKCS, CKK_RSA, kNoDigest, Padding::Pkcs1},
    {CKM_SHA256_RSA_PKCS, CKK_RSA, CKM_SHA256, Padding::Pkcs1},
    {CKM_SHA384_RSA_PKCS, CKK_RSA, CKM_SHA384, Padding::Pkcs1},
    {CKM_SHA512_RSA_PKCS, CKK_RSA, CKM_SHA512, Padding::Pkcs1},
    {CKM_RSA_PKCS_PSS, CKK_RSA, kNoDigest, Padding::Pss},
    {CKM_SHA256_RSA_PKCS_PSS, CKK_RSA, CKM_SHA256, Padding::Pss},
    {CKM_SHA384_RSA_PKCS_PSS, CKK_RSA, CKM_SHA384, Padding::Pss},
    {CKM_SHA512_RSA_PKCS_PSS, CKK_RSA, CKM_SHA512, Padding::Pss},
    {CKM_ECDSA, CKK_EC, kNoDigest, Padding::Ecdsa},
    {CKM_ECDSA_SHA256, CKK_EC, CKM_SHA256, Padding::Ecdsa},
    {CKM_ECDSA_SHA384, CKK_EC, CKM_SHA384, Padding::Ecdsa},
    {CKM_ECDSA_SHA512, CKK_EC, CKM_SHA512, Padding::Ecdsa},
    {KEYSIM_CKM_SM2, CKK_EC, kNoDigest, Padding::Sm2},
    {KEYSIM_CKM_SM2_SM3, CKK_EC, kNoDigest, Padding::Sm2},
};

// The digests a signature may use, with the MGF1 generator of the same hash.
struct DigestKind
{
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_MGF_TYPE mgf;
    const char* name;
    CK_ULONG size;
};

constexpr DigestKind kDigests[] = {
    {CKM_SHA256, CKG_MGF1_SHA256, "SHA256", 32},
    {CKM_SHA384, CKG_MGF1_SHA384, "SHA384", 48},
    {CKM_SHA512, CKG_MGF1_SHA512, "SHA512", 64},
};

const SignMechanism* signMechanism(CK_MECHANISM_TYPE m)
{
    for (const SignMechanism& s : kSignMechanisms)
        if (s.mechanism == m)
            return &s;
    return nullptr;
}

const DigestKind* digestByMechanism(CK_MECHANISM_TYPE m)
{
    for (const DigestKind& d : kDigests)
        if (d.mechanism == m)
            return &d;
    return nullptr;
}

const DigestKind* digestByMgf(CK_RSA_PKCS_MGF_TYPE mgf)
{
    for (const DigestKind& d : kDigests)
        if (d.mgf == mgf)
            return &d;
    return nullptr;
}

std::size_t modulusBytes(const Attributes& key)
{
    const Bytes* n = find(key, CKA_MODULUS);
    if (!n)
        return 0;
    std::size_t lead = 0;
    while (lead < n->size() && (*n)[lead] == 0)
        ++lead;
    return n->size() - lead;
}

// Checks the PSS parameters: a known hash (the mechanism's own when it hashes), an MGF1 of a
// known hash and a salt that fits the modulus.
CK_RV readPssParams(const CK_MECHANISM& mech, const SignMechanism& kind, const Attributes& key,
                    CK_RSA_PKCS_PSS_PARAMS& out)
{
    if (!mech.pParameter || mech.ulParameterLen != sizeof(CK_RSA_PKCS_PSS_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    std::memcpy(&out, mech.pParameter, sizeof out);
    const DigestKind* hash = digestByMechanism(out.hashAlg);
    if (!hash || !digestByMgf(out.mgf) || (kind.digest != kNoDigest && kind.digest != out.hashAlg))
        return CKR_MECHANISM_PARAM_INVALID;
    const std::size_t k = modulusBytes(key);
    if (k < hash->size + 2 || out.sLen > k - hash->size - 2)
        return CKR_MECHANISM_PARAM_INVALID;
    return CKR_OK;
}

const EVP_MD* evpDigest(CK_MECHANISM_TYPE m)
{
    const DigestKind* d = digestByMechanism(m);
    return d ? EVP_get_digestbyname(d->name) : nullptr;
}

// An ECDSA-Sig-Value in DER as r || s, each padded to the size of the curve's order.
CK_RV ecdsaRawSignature(const Bytes& der, std::size_t half, Bytes& out)
{
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> es(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())),
                                                             ECDSA_SIG_free);
    if (!es)
        return CKR_FUNCTION_FAILED;
    out.assign(2 * half, 0);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(es.get()), out.data(), static_cast<int>(half)) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(es.get()), out.data() + half, static_cast<int>(half)) < 0)
        return CKR_FUNCTION_FAILED;
    return CKR_OK;
}
} // namespace

bool signMechanismSupported(CK_MECHANISM_TYPE m)
{
    return signMechanism(m) != nullptr;
}

std::vector<CK_MECHANISM_TYPE> signMechanisms()
{
    std::vector<CK_MECHANISM_TYPE> out;
    for (const SignMechanism& s : kSignMechanisms)
        out.push_back(s.mechanism);
    return out;
}

bool signMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info)
{
    const SignMechanism* kind = signMechanism(m);
    if (!kind)
        return false;
    if (kind->keyType == CKK_RSA)
        info = {1024, 4096, CKF_HW | CKF_SIGN};
    else if (kind->padding == Padding::Sm2)
        info = {256, 256, CKF_HW | CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
    else
        info = {256, 384, CKF_HW | CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
    return true;
}

bool signMechanismHashes(CK_MECHANISM_TYPE m)
{
    const SignMechanism* kind = signMechanism(m);
    return kind && (kind->digest != kNoDigest || sm2HashesInput(m));
}

CK_RV generateKeyMaterial(CK_MECHANISM_TYPE mech, Attributes& pub, Attributes& priv)
{
    EVP_PKEY* raw = nullptr;
    if (mech == CKM_RSA_PKCS_KEY_PAIR_GEN) {
        const CK_ULONG bits = attrUlong(pub, CKA_MODULUS_BITS, 2048);
        if (bits < 1024 || bits > 4096)
            return CKR_KEY_SIZE_RANGE;
        CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) != 1 ||
            EVP_PKEY_generate(ctx.get(), &raw) != 1)
            return CKR_FUNCTION_FAILED;
        PkeyPtr key(raw, EVP_PKEY_free);
        setUlong(pub, CKA_KEY_TYPE, CKK_RSA);
        setUlong(priv, CKA_KEY_TYPE, CKK_RSA);
        setUlong(pub, CKA_MODULUS_BITS, bits);
        for (Attributes* a : {&pub, &priv}) {
            (*a)[CKA_MODULUS] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
            (*a)[CKA_PUBLIC_EXPONENT] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
        }
        priv[CKA_PRIVATE_EXPONENT] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_D);
        priv[CKA_PRIME_1] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
        priv[CKA_PRIME_2] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
        priv[CKA_EXPONENT_1] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
        priv[CKA_EXPONENT_2] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
        priv[CKA_COEFFICIENT] = bnParam(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
        return CKR_OK;
    }
    if (mech == CKM_EC_KEY_PAIR_GEN) {
        auto it = pub.find(CKA_EC_PARAMS);
        if (it == pub.end())
            return CKR_TEMPLATE_INCOMPLETE;
        if (it->second == kSm2Params)
            return generateSm2KeyMaterial(pub, priv);
        const NistCurve* curve = nistCurve(&it->second);
        if (!curve)
            return CKR_CURVE_NOT_SUPPORTED;
        raw = EVP_EC_gen(curve->name);
        if (!raw)
            return CKR_FUNCTION_FAILED;
        PkeyPtr key(raw, EVP_PKEY_free);
        // An uncompressed point: 04, then both coordinates.
        const std::size_t pointSize = 1 + 2 * curve->bytes;
        std::uint8_t point[1 + 2 * 48];
        std::size_t plen = 0;
        if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &plen) != 1 ||
            plen != pointSize)
            return CKR_FUNCTION_FAILED;
        setUlong(pub, CKA_KEY_TYPE, CKK_EC);
        setUlong(priv, CKA_KEY_TYPE, CKK_EC);
        Bytes der = {0x04, static_cast<std::uint8_t>(pointSize)};
        der.insert(der.end(), point, point + pointSize);
        pub[CKA_EC_POINT] = der;
        priv[CKA_EC_PARAMS] = curve->params;
        Bytes d = bnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        Bytes padded(curve->bytes - std::min(curve->bytes, d.size()), 0);
        padded.insert(padded.end(), d.begin(), d.end());
        priv[CKA_VALUE] = padded;
        return CKR_OK;
    }
    return CKR_MECHANISM_INVALID;
}

CK_RV initSignOperation(const CK_MECHANISM& mech, Attributes key, SignOperation& op)
{
    const SignMechanism* kind = signMechanism(mech.mechanism);
    if (!kind)
        return CKR_MECHANISM_INVALID;
    if (attrUlong(key, CKA_CLASS, 0) != CKO_PRIVATE_KEY)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!attrBool(key, CKA_SIGN, true))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    // SM2 keys sign with the SM2 mechanisms only, and those take no other key.
    if (kind->padding == Padding::Sm2 || isSm2Key(key)) {
        if (kind->padding != Padding::Sm2 || !isSm2Key(key))
            return CKR_KEY_TYPE_INCONSISTENT;
        if (CK_RV rv = sm2Parameter(mech, op.parameter); rv != CKR_OK)
            return rv;
        op.pss = {};
        op.mechanism = mech.mechanism;
        op.key = std::move(key);
        op.data.clear();
        return CKR_OK;
    }
    op.parameter.clear();
    if (attrUlong(key, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION) != kind->keyType)
        return CKR_KEY_TYPE_INCONSISTENT;
    op.pss = {};
    if (kind->padding == Padding::Pss) {
        if (CK_RV rv = readPssParams(mech, *kind, key, op.pss); rv != CKR_OK)
            return rv;
    } else if (mech.pParameter || mech.ulParameterLen) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    op.mechanism = mech.mechanism;
    op.key = std::move(key);
    op.data.clear();
    return CKR_OK;
}

CK_ULONG signatureLength(const SignOperation& op)
{
    const SignMechanism* kind = signMechanism(op.mechanism);
    if (!kind)
        return 0;
    if (kind->padding == Padding::Sm2)
        return 64;
    if (kind->padding == Padding::Ecdsa) {
        const NistCurve* curve = nistCurve(find(op.key, CKA_EC_PARAMS));
        return curve ? 2 * curve->bytes : 0;
    }
    return modulusBytes(op.key);
}

CK_RV computeSignature(const SignOperation& op, Bytes& out)
{
    const SignMechanism* kind = signMechanism(op.mechanism);
    if (!kind)
        return CKR_MECHANISM_INVALID;
    if (kind->padding == Padding::Sm2)
        return computeSm2Signature(op, out);
    PkeyPtr key = privateKey(op.key);
    if (!key)
        return CKR_KEY_HANDLE_INVALID;
    Bytes input = op.data;
    if (kind->digest != kNoDigest) {
        const EVP_MD* md = evpDigest(kind->digest);
        std::uint8_t h[EVP_MAX_MD_SIZE];
        unsigned int hl = 0;
        if (!md || EVP_Digest(input.data(), input.size(), h, &hl, md, nullptr) != 1)
            return CKR_FUNCTION_FAILED;
        input.assign(h, h + hl);
    }
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1)
        return CKR_FUNCTION_FAILED;
    switch (kind->padding) {
    case Padding::Pkcs1:
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
            return CKR_FUNCTION_FAILED;
        if (kind->digest == kNoDigest) {
            // The caller's DigestInfo is padded as it stands.
            if (input.size() + 11 > signatureLength(op))
                return CKR_DATA_LEN_RANGE;
        } else if (EVP_PKEY_CTX_set_signature_md(ctx.get(), evpDigest(kind->digest)) != 1) {
            return CKR_FUNCTION_FAILED;
        }
        break;
    case Padding::Pss: {
        const DigestKind* hash = digestByMechanism(op.pss.hashAlg);
        const DigestKind* mgf = digestByMgf(op.pss.mgf);
        if (!hash || !mgf)
            return CKR_MECHANISM_PARAM_INVALID;
        if (input.size() != hash->size)
            return CKR_DATA_LEN_RANGE;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_get_digestbyname(hash->name)) != 1 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_get_digestbyname(mgf->name)) != 1 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), static_cast<int>(op.pss.sLen)) != 1)
            return CKR_FUNCTION_FAILED;
        break;
    }
    case Padding::Ecdsa:
        if (input.empty())
            return CKR_DATA_LEN_RANGE;
        break;
    }
    std::size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, input.data(), input.size()) != 1)
        return CKR_FUNCTION_FAILED;
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, input.data(), input.size()) != 1)
        return CKR_FUNCTION_FAILED;
    sig.resize(len);
    if (kind->padding != Padding::Ecdsa) {
        out = std::move(sig);
        return CKR_OK;
    }
    // PKCS#11 wants r || s instead of the DER ECDSA-Sig-Value.
    return ecdsaRawSignature(sig, signatureLength(op) / 2, out);
}

// Module operations that use the functions above.

CK_RV Pkcs11Module::generateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR pubTmpl,
                                    CK_ULONG pubCount, CK_ATTRIBUTE_PTR privTmpl, CK_ULONG privCount,
                                    CK_OBJECT_HANDLE_PTR pubOut, CK_OBJECT_HANDLE_PTR privOut)
{
    if (!mech || !pubOut || !privOut)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes pub, priv;
    if (CK_RV rv = parseTemplate(pubTmpl, pubCount, pub); rv != CKR_OK)
        return rv;
    if (CK_RV rv = parseTemplate(privTmpl, privCount, priv); rv != CKR_OK)
        return rv;
    if (!userLoggedIn(*s))
        return CKR_USER_NOT_LOGGED_IN;
    if (CK_RV rv = generateKeyMaterial(mech->mechanism, pub, priv); rv != CKR_OK)
        return rv;
    setUlong(pub, CKA_CLASS, CKO_PUBLIC_KEY);
    setUlong(priv, CKA_CLASS, CKO_PRIVATE_KEY);
    setBool(pub, CKA_LOCAL, true);
    setBool(priv, CKA_LOCAL, true);
    if (!priv.count(CKA_SENSITIVE))
        setBool(priv, CKA_SENSITIVE, true);
    setBool(priv, CKA_ALWAYS_SENSITIVE, attrBool(priv, CKA_SENSITIVE, true));
    setBool(priv, CKA_NEVER_EXTRACTABLE, !attrBool(priv, CKA_EXTRACTABLE, false));
    if (CK_RV rv = storeNewObject(h, *s, std::move(pub), pubOut); rv != CKR_OK)
        return rv;
    Session* again = nullptr;
    if (CK_RV rv = session(h, again); rv != CKR_OK)
        return rv;
    CK_RV rv = storeNewObject(h, *again, std::move(priv), privOut);
    if (rv != CKR_OK)
        destroyObject(h, *pubOut);
    return rv;
}

CK_RV Pkcs11Module::signInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    if (!mech)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (s->signOp)
        return CKR_OPERATION_ACTIVE;
    Attributes attrs;
    if (CK_RV rv = objectAttrs(*s, key, attrs); rv != CKR_OK)
        return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    auto op = std::make_shared<SignOperation>();
    if (CK_RV rv = initSignOperation(*mech, std::move(attrs), *op); rv != CKR_OK)
        return rv;
    s->signOp = std::move(op);
    return CKR_OK;
}

static CK_RV finishSign(std::shared_ptr<SignOperation>& op, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    const CK_ULONG need = signatureLength(*op);
    if (!sig) {
        *sigLen = need;
        return CKR_OK;
    }
    if (*sigLen < need) {
        *sigLen = need;
        return CKR_BUFFER_TOO_SMALL;
    }
    Bytes out;
    CK_RV rv = computeSignature(*op, out);
    op.reset();
    if (rv != CKR_OK)
        return rv;
    std::memcpy(sig, out.data(), out.size());
    *sigLen = out.size();
    return CKR_OK;
}

CK_RV Pkcs11Module::sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    if (!sigLen || (!data && len) || len > (1u << 24))
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!s->signOp)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (sig)
        s->signOp->data.assign(data, data + len);
    return finishSign(s->signOp, sig, sigLen);
}

CK_RV Pkcs11Module::signUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len)
{
    if ((!data && len) || len > (1u << 24))
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!s->signOp)
        return CKR_OPERATION_NOT_INITIALIZED;
    if (!signMechanismHashes(s->signOp->mechanism)) {
        s->signOp.reset();
        return CKR_FUNCTION_NOT_SUPPORTED;
    }
    if (s->signOp->data.size() + len > (1u << 24)) {
        s->signOp.reset();
        return CKR_DATA_LEN_RANGE;
    }
    s->signOp->data.insert(s->signOp->data.end(), data, data + len);
    return CKR_OK;
}

CK_RV Pkcs11Module::signFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    if (!sigLen)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    if (!s->signOp)
        return CKR_OPERATION_NOT_INITIALIZED;
    return finishSign(s->signOp, sig, sigLen);
}

CK_RV Pkcs11Module::getMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count)
{
    if (!count)
        return CKR_ARGUMENTS_BAD;
    if (!present(slot))
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    std::vector<CK_MECHANISM_TYPE> mechs = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_EC_KEY_PAIR_GEN};
    const std::vector<CK_MECHANISM_TYPE> signing = signMechanisms();
    mechs.insert(mechs.end(), signing.begin(), signing.end());
    // CKM_RSA_PKCS both signs and decrypts; it is listed once.
    for (CK_MECHANISM_TYPE m : cipherMechanisms())
        if (std::find(mechs.begin(), mechs.end(), m) == mechs.end())
            mechs.push_back(m);
    mechs.push_back(CKM_ECDH1_DERIVE);
    const CK_ULONG n = static_cast<CK_ULONG>(mechs.size());
    if (!list) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(list, mechs.data(), mechs.size() * sizeof(CK_MECHANISM_TYPE));
    *count = n;
    return CKR_OK;
}

CK_RV Pkcs11Module::getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!present(slot))
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    *info = {};
    const bool signs = signMechanismInfo(type, *info);
    const bool ciphers = addCipherMechanismInfo(type, *info);
    if (signs || ciphers || deriveMechanismInfo(type, *info))
        return CKR_OK;
    switch (type) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN:
        *info = {1024, 4096, CKF_HW | CKF_GENERATE_KEY_PAIR};
        return CKR_OK;
    case CKM_EC_KEY_PAIR_GEN:
        *info = {256, 384, CKF_HW | CKF_GENERATE_KEY_PAIR | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
        return CKR_OK;
    default:
        return CKR_MECHANISM_INVALID;
    }
}

} // namespace keysim
