// SPDX-License-Identifier: Apache-2.0
#include "Pkcs11Crypto.h"

#include "Pkcs11Module.h"
#include "Sm2Crypto.h"
#include "keysim_ext.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

namespace keysim {

namespace {
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_clear_free)>;
using BldPtr = std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// DER of the OID 1.2.840.10045.3.1.7 (prime256v1), the CKA_EC_PARAMS of a P-256 key.
const Bytes kP256Params = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

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
        const Bytes* params = find(key, CKA_EC_PARAMS);
        const Bytes* value = find(key, CKA_VALUE);
        if (!params || *params != kP256Params || !value || value->empty())
            return none;
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
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
} // namespace

bool signMechanismSupported(CK_MECHANISM_TYPE m)
{
    return m == CKM_RSA_PKCS || m == CKM_SHA256_RSA_PKCS || m == CKM_ECDSA || m == CKM_ECDSA_SHA256 ||
           isSm2Mechanism(m);
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
        if (it->second != kP256Params)
            return CKR_CURVE_NOT_SUPPORTED;
        raw = EVP_EC_gen("prime256v1");
        if (!raw)
            return CKR_FUNCTION_FAILED;
        PkeyPtr key(raw, EVP_PKEY_free);
        std::uint8_t point[65];
        std::size_t plen = 0;
        if (EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &plen) != 1 ||
            plen != 65)
            return CKR_FUNCTION_FAILED;
        setUlong(pub, CKA_KEY_TYPE, CKK_EC);
        setUlong(priv, CKA_KEY_TYPE, CKK_EC);
        Bytes der = {0x04, 65};
        der.insert(der.end(), point, point + 65);
        pub[CKA_EC_POINT] = der;
        priv[CKA_EC_PARAMS] = kP256Params;
        Bytes d = bnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY);
        Bytes padded(32 - std::min<std::size_t>(32, d.size()), 0);
        padded.insert(padded.end(), d.begin(), d.end());
        priv[CKA_VALUE] = padded;
        return CKR_OK;
    }
    return CKR_MECHANISM_INVALID;
}

CK_RV checkSignKey(CK_MECHANISM_TYPE mech, const Attributes& key)
{
    if (attrUlong(key, CKA_CLASS, 0) != CKO_PRIVATE_KEY)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!attrBool(key, CKA_SIGN, true))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    // SM2 keys sign with the SM2 mechanisms only, and those take no other key.
    if (isSm2Mechanism(mech) || isSm2Key(key))
        return isSm2Mechanism(mech) && isSm2Key(key) ? CKR_OK : CKR_KEY_TYPE_INCONSISTENT;
    const CK_ULONG type = attrUlong(key, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION);
    const bool rsa = mech == CKM_RSA_PKCS || mech == CKM_SHA256_RSA_PKCS;
    if ((rsa && type != CKK_RSA) || (!rsa && type != CKK_EC))
        return CKR_KEY_TYPE_INCONSISTENT;
    return CKR_OK;
}

CK_ULONG signatureLength(const SignOperation& op)
{
    if (op.mechanism == CKM_ECDSA || op.mechanism == CKM_ECDSA_SHA256 || isSm2Mechanism(op.mechanism))
        return 64;
    auto it = op.key.find(CKA_MODULUS);
    if (it == op.key.end())
        return 0;
    std::size_t n = it->second.size();
    std::size_t lead = 0;
    while (lead < n && it->second[lead] == 0)
        ++lead;
    return n - lead;
}

CK_RV computeSignature(const SignOperation& op, Bytes& out)
{
    if (isSm2Mechanism(op.mechanism))
        return computeSm2Signature(op, out);
    PkeyPtr key = privateKey(op.key);
    if (!key)
        return CKR_KEY_HANDLE_INVALID;
    Bytes input = op.data;
    if (op.mechanism == CKM_SHA256_RSA_PKCS) {
        MdCtxPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        std::size_t len = 0;
        if (!md || EVP_DigestSignInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
            EVP_DigestSign(md.get(), nullptr, &len, input.data(), input.size()) != 1)
            return CKR_FUNCTION_FAILED;
        out.resize(len);
        if (EVP_DigestSign(md.get(), out.data(), &len, input.data(), input.size()) != 1)
            return CKR_FUNCTION_FAILED;
        out.resize(len);
        return CKR_OK;
    }
    if (op.mechanism == CKM_ECDSA_SHA256) {
        std::uint8_t h[32];
        unsigned int hl = 0;
        if (EVP_Digest(input.data(), input.size(), h, &hl, EVP_sha256(), nullptr) != 1)
            return CKR_FUNCTION_FAILED;
        input.assign(h, h + hl);
    }
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1)
        return CKR_FUNCTION_FAILED;
    if (op.mechanism == CKM_RSA_PKCS) {
        if (input.size() + 11 > signatureLength(op))
            return CKR_DATA_LEN_RANGE;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
            return CKR_FUNCTION_FAILED;
    }
    std::size_t len = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &len, input.data(), input.size()) != 1)
        return CKR_FUNCTION_FAILED;
    Bytes sig(len);
    if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, input.data(), input.size()) != 1)
        return CKR_FUNCTION_FAILED;
    sig.resize(len);
    if (op.mechanism == CKM_RSA_PKCS) {
        out = std::move(sig);
        return CKR_OK;
    }
    // ECDSA: PKCS#11 wants r || s, each 32 bytes, instead of the DER ECDSA-Sig-Value.
    const unsigned char* p = sig.data();
    ECDSA_SIG* es = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(sig.size()));
    if (!es)
        return CKR_FUNCTION_FAILED;
    out.assign(64, 0);
    BN_bn2binpad(ECDSA_SIG_get0_r(es), out.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(es), out.data() + 32, 32);
    ECDSA_SIG_free(es);
    return CKR_OK;
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
    if (!signMechanismSupported(mech->mechanism))
        return CKR_MECHANISM_INVALID;
    Attributes attrs;
    if (CK_RV rv = objectAttrs(*s, key, attrs); rv != CKR_OK)
        return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    if (CK_RV rv = checkSignKey(mech->mechanism, attrs); rv != CKR_OK)
        return rv;
    auto op = std::make_shared<SignOperation>();
    op->mechanism = mech->mechanism;
    if (isSm2Mechanism(mech->mechanism))
        if (CK_RV rv = sm2Parameter(*mech, op->parameter); rv != CKR_OK)
            return rv;
    op->key = std::move(attrs);
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
    if (s->signOp->mechanism != CKM_SHA256_RSA_PKCS && s->signOp->mechanism != CKM_ECDSA_SHA256 &&
        !sm2HashesInput(s->signOp->mechanism)) {
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
    static const CK_MECHANISM_TYPE mechs[] = {CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_RSA_PKCS,     CKM_SHA256_RSA_PKCS,
                                              CKM_EC_KEY_PAIR_GEN,       CKM_ECDSA,        CKM_ECDSA_SHA256,
                                              KEYSIM_CKM_SM2,            KEYSIM_CKM_SM2_SM3};
    const CK_ULONG n = sizeof mechs / sizeof mechs[0];
    if (!list) {
        *count = n;
        return CKR_OK;
    }
    if (*count < n) {
        *count = n;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memcpy(list, mechs, sizeof mechs);
    *count = n;
    return CKR_OK;
}

CK_RV Pkcs11Module::getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    if (!info)
        return CKR_ARGUMENTS_BAD;
    if (!present(slot))
        return knownSlot(slot) ? CKR_TOKEN_NOT_PRESENT : CKR_SLOT_ID_INVALID;
    switch (type) {
    case CKM_RSA_PKCS_KEY_PAIR_GEN:
        *info = {1024, 4096, CKF_HW | CKF_GENERATE_KEY_PAIR};
        return CKR_OK;
    case CKM_RSA_PKCS:
    case CKM_SHA256_RSA_PKCS:
        *info = {1024, 4096, CKF_HW | CKF_SIGN};
        return CKR_OK;
    case CKM_EC_KEY_PAIR_GEN:
        *info = {256, 256, CKF_HW | CKF_GENERATE_KEY_PAIR | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
        return CKR_OK;
    case CKM_ECDSA:
    case CKM_ECDSA_SHA256:
    case KEYSIM_CKM_SM2:
    case KEYSIM_CKM_SM2_SM3:
        *info = {256, 256, CKF_HW | CKF_SIGN | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
        return CKR_OK;
    default:
        return CKR_MECHANISM_INVALID;
    }
}

} // namespace keysim
