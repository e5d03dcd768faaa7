// SPDX-License-Identifier: Apache-2.0
#include "Pkcs11Derive.h"

#include "OpensslHandles.h"
#include "Pkcs11Crypto.h"
#include "Pkcs11Module.h"
#include "Sm2Crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/kdf.h>

#include <cstring>

namespace keysim {

namespace {

// The peer's point as callers send it: 65 bytes uncompressed (33 compressed) for P-256, or the
// same inside a DER OCTET STRING; anything longer is refused before it is read.
constexpr CK_ULONG kMaxPublicData = 256;
constexpr CK_ULONG kMaxSharedData = 1024;
// The longest key the X9.63 KDF is asked for.
constexpr CK_ULONG kMaxDerivedKey = 1024;
// The x coordinate of a P-256 point, which is the ECDH shared secret.
constexpr std::size_t kP256SecretBytes = 32;

using KdfPtr = std::unique_ptr<EVP_KDF, decltype(&EVP_KDF_free)>;
using KdfCtxPtr = std::unique_ptr<EVP_KDF_CTX, decltype(&EVP_KDF_CTX_free)>;

// The OpenSSL digest of an X9.63 KDF, or nullptr for CKD_NULL and unknown functions.
const char* kdfDigest(CK_ULONG kdf)
{
    switch (kdf) {
    case CKD_SHA1_KDF:
        return "SHA1";
    case CKD_SHA256_KDF:
        return "SHA256";
    case CKD_SHA384_KDF:
        return "SHA384";
    case CKD_SHA512_KDF:
        return "SHA512";
    default:
        return nullptr;
    }
}

// The uncompressed or compressed point, taken out of a DER OCTET STRING when wrapped in one.
// A bare point never starts with 04 followed by its own remaining length, so the two forms do
// not overlap.
Bytes peerPoint(const CK_BYTE* data, CK_ULONG len)
{
    if (len >= 2 && data[0] == 0x04 && data[1] == len - 2 && (len - 2 == 65 || len - 2 == 33))
        return Bytes(data + 2, data + len);
    return Bytes(data, data + len);
}

PkeyPtr p256PublicKey(const Bytes& point)
{
    PkeyPtr none(nullptr, EVP_PKEY_free);
    BldPtr bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        return none;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()), OSSL_PARAM_free);
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return none;
    return PkeyPtr(raw, EVP_PKEY_free);
}

// The ECDH shared secret of our key and the peer's point.
CK_RV ecdhSecret(EVP_PKEY* ours, const Bytes& point, SecretBytes& secret)
{
    PkeyPtr peer = p256PublicKey(point);
    if (!peer)
        return CKR_MECHANISM_PARAM_INVALID;
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ours, nullptr), EVP_PKEY_CTX_free);
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1)
        return CKR_FUNCTION_FAILED;
    // Validates the peer's point (on the curve, not at infinity) before it is used.
    if (EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 1) != 1)
        return CKR_MECHANISM_PARAM_INVALID;
    std::size_t len = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1 || len != kP256SecretBytes)
        return CKR_FUNCTION_FAILED;
    secret.bytes().assign(len, 0);
    if (EVP_PKEY_derive(ctx.get(), secret.bytes().data(), &len) != 1 || len != kP256SecretBytes)
        return CKR_FUNCTION_FAILED;
    return CKR_OK;
}

// ANSI X9.63 key derivation of `length` bytes from the shared secret and the shared data.
CK_RV x963Kdf(const char* digest, const Bytes& secret, const Bytes& shared, std::size_t length, SecretBytes& out)
{
    KdfPtr kdf(EVP_KDF_fetch(nullptr, "X963KDF", nullptr), EVP_KDF_free);
    if (!kdf)
        return CKR_FUNCTION_FAILED;
    KdfCtxPtr ctx(EVP_KDF_CTX_new(kdf.get()), EVP_KDF_CTX_free);
    if (!ctx)
        return CKR_FUNCTION_FAILED;
    OSSL_PARAM params[4];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(digest), 0);
    params[n++] =
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret.data()), secret.size());
    if (!shared.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(shared.data()),
                                                        shared.size());
    params[n] = OSSL_PARAM_construct_end();
    out.bytes().assign(length, 0);
    if (EVP_KDF_derive(ctx.get(), out.bytes().data(), length, params) != 1)
        return CKR_FUNCTION_FAILED;
    return CKR_OK;
}

// The key type and length the template asks for: a generic secret of any length, or AES of 16,
// 24 or 32 bytes. Without CKA_VALUE_LEN the raw shared secret is taken whole; a KDF needs one.
CK_RV requestedKey(const Attributes& tmpl, bool raw, CK_KEY_TYPE& type, std::size_t& length)
{
    if (tmpl.count(CKA_CLASS) && attrUlong(tmpl, CKA_CLASS, 0) != CKO_SECRET_KEY)
        return CKR_TEMPLATE_INCONSISTENT;
    if (tmpl.count(CKA_VALUE))
        return CKR_TEMPLATE_INCONSISTENT;
    type = attrUlong(tmpl, CKA_KEY_TYPE, CKK_GENERIC_SECRET);
    if (type != CKK_GENERIC_SECRET && type != CKK_AES)
        return CKR_TEMPLATE_INCONSISTENT;
    auto len = tmpl.find(CKA_VALUE_LEN);
    if (len == tmpl.end()) {
        if (!raw)
            return CKR_TEMPLATE_INCOMPLETE;
        length = kP256SecretBytes;
    } else {
        if (len->second.size() != sizeof(CK_ULONG))
            return CKR_ATTRIBUTE_VALUE_INVALID;
        length = attrUlong(tmpl, CKA_VALUE_LEN, 0);
        if (length == 0 || length > kMaxDerivedKey)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        if (raw && length > kP256SecretBytes)
            return CKR_TEMPLATE_INCONSISTENT;
    }
    if (type == CKK_AES && length != 16 && length != 24 && length != 32)
        return CKR_ATTRIBUTE_VALUE_INVALID;
    return CKR_OK;
}

} // namespace

bool deriveMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info)
{
    if (m != CKM_ECDH1_DERIVE)
        return false;
    info = {256, 256, CKF_HW | CKF_DERIVE | CKF_EC_F_P | CKF_EC_NAMEDCURVE | CKF_EC_UNCOMPRESS};
    return true;
}

CK_RV deriveSecretKey(const CK_MECHANISM& mech, const Attributes& base, Attributes& tmpl)
{
    if (mech.mechanism != CKM_ECDH1_DERIVE)
        return CKR_MECHANISM_INVALID;
    if (!mech.pParameter || mech.ulParameterLen != sizeof(CK_ECDH1_DERIVE_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    CK_ECDH1_DERIVE_PARAMS params;
    std::memcpy(&params, mech.pParameter, sizeof params);
    const bool raw = params.kdf == CKD_NULL;
    const char* digest = kdfDigest(params.kdf);
    if (!raw && !digest)
        return CKR_MECHANISM_PARAM_INVALID;
    // CKD_NULL takes no shared data; the KDFs take a bounded amount.
    if ((raw && (params.ulSharedDataLen || params.pSharedData)) || params.ulSharedDataLen > kMaxSharedData ||
        (params.ulSharedDataLen && !params.pSharedData))
        return CKR_MECHANISM_PARAM_INVALID;
    if (!params.pPublicData || params.ulPublicDataLen == 0 || params.ulPublicDataLen > kMaxPublicData)
        return CKR_MECHANISM_PARAM_INVALID;

    if (attrUlong(base, CKA_CLASS, 0) != CKO_PRIVATE_KEY ||
        attrUlong(base, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION) != CKK_EC || isSm2Key(base))
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!attrBool(base, CKA_DERIVE, false))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    CK_KEY_TYPE type = 0;
    std::size_t length = 0;
    if (CK_RV rv = requestedKey(tmpl, raw, type, length); rv != CKR_OK)
        return rv;

    PkeyPtr ours = privateKey(base);
    if (!ours)
        return CKR_KEY_TYPE_INCONSISTENT;
    SecretBytes secret;
    if (CK_RV rv = ecdhSecret(ours.get(), peerPoint(params.pPublicData, params.ulPublicDataLen), secret); rv != CKR_OK)
        return rv;
    SecretBytes value;
    if (raw) {
        // A shorter key keeps the secret's trailing bytes, as other PKCS#11 tokens do.
        value.bytes().assign(secret.bytes().end() - static_cast<std::ptrdiff_t>(length), secret.bytes().end());
    } else {
        const auto* shared = static_cast<const std::uint8_t*>(params.pSharedData);
        const Bytes sharedData(shared, shared + params.ulSharedDataLen);
        if (CK_RV rv = x963Kdf(digest, secret.bytes(), sharedData, length, value); rv != CKR_OK)
            return rv;
    }

    setUlong(tmpl, CKA_CLASS, CKO_SECRET_KEY);
    setUlong(tmpl, CKA_KEY_TYPE, type);
    setUlong(tmpl, CKA_VALUE_LEN, static_cast<CK_ULONG>(length));
    tmpl[CKA_VALUE] = value.bytes();
    setBool(tmpl, CKA_LOCAL, false);
    // A derived key was always sensitive (never extractable) only if its base key was too.
    setBool(tmpl, CKA_ALWAYS_SENSITIVE,
            attrBool(base, CKA_ALWAYS_SENSITIVE, false) && attrBool(tmpl, CKA_SENSITIVE, true));
    setBool(tmpl, CKA_NEVER_EXTRACTABLE,
            attrBool(base, CKA_NEVER_EXTRACTABLE, false) && !attrBool(tmpl, CKA_EXTRACTABLE, false));
    return CKR_OK;
}

// The module operation that uses the functions above.

CK_RV Pkcs11Module::deriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE base, CK_ATTRIBUTE_PTR tmpl,
                              CK_ULONG count, CK_OBJECT_HANDLE_PTR out)
{
    if (!mech || !out)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    Attributes attrs;
    if (CK_RV rv = parseTemplate(tmpl, count, attrs); rv != CKR_OK)
        return rv;
    // Key agreement uses a private key, which only a logged-in user may use.
    if (!userLoggedIn(*s))
        return CKR_USER_NOT_LOGGED_IN;
    Attributes baseAttrs;
    if (CK_RV rv = objectAttrs(*s, base, baseAttrs); rv != CKR_OK)
        return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    if (CK_RV rv = deriveSecretKey(*mech, baseAttrs, attrs); rv != CKR_OK)
        return rv;
    const CK_RV rv = storeNewObject(h, *s, attrs, out);
    OPENSSL_cleanse(attrs[CKA_VALUE].data(), attrs[CKA_VALUE].size());
    return rv;
}

} // namespace keysim
