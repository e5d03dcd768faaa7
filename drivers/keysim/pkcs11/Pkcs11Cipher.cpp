// SPDX-License-Identifier: Apache-2.0
#include "Pkcs11Cipher.h"

#include "OpensslHandles.h"
#include "Pkcs11Crypto.h"
#include "Pkcs11Module.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/rsa.h>

#include <cstring>

namespace keysim {

namespace {

// The longest OAEP label taken from a caller; labels in practice are empty or a few bytes.
constexpr CK_ULONG kMaxLabel = 1u << 16;
// The longest input a single part takes; RSA never needs more than one modulus.
constexpr CK_ULONG kMaxInput = 1u << 16;

// An OAEP hash: its mechanism, the MGF1 generator over it, its OpenSSL name and its length.
struct OaepDigest
{
    CK_MECHANISM_TYPE mechanism;
    CK_RSA_PKCS_MGF_TYPE mgf;
    const char* name;
    CK_ULONG size;
};

constexpr OaepDigest kOaepDigests[] = {
    {CKM_SHA_1, CKG_MGF1_SHA1, "SHA1", 20},
    {CKM_SHA256, CKG_MGF1_SHA256, "SHA256", 32},
    {CKM_SHA384, CKG_MGF1_SHA384, "SHA384", 48},
    {CKM_SHA512, CKG_MGF1_SHA512, "SHA512", 64},
};

const OaepDigest* oaepByHash(CK_MECHANISM_TYPE m)
{
    for (const OaepDigest& d : kOaepDigests)
        if (d.mechanism == m)
            return &d;
    return nullptr;
}

const OaepDigest* oaepByMgf(CK_RSA_PKCS_MGF_TYPE mgf)
{
    for (const OaepDigest& d : kOaepDigests)
        if (d.mgf == mgf)
            return &d;
    return nullptr;
}

std::size_t modulusLength(const Attributes& key)
{
    auto it = key.find(CKA_MODULUS);
    if (it == key.end())
        return 0;
    const Bytes& n = it->second;
    std::size_t lead = 0;
    while (lead < n.size() && n[lead] == 0)
        ++lead;
    return n.size() - lead;
}

// Copies CK_RSA_PKCS_OAEP_PARAMS: a known hash, MGF1 over a known hash and the label. A source
// of 0 is taken as "no label" when no label is given, as some clients leave it unset.
CK_RV readOaepParams(const CK_MECHANISM& mech, std::size_t modulus, CipherOperation& op)
{
    if (!mech.pParameter || mech.ulParameterLen != sizeof(CK_RSA_PKCS_OAEP_PARAMS))
        return CKR_MECHANISM_PARAM_INVALID;
    CK_RSA_PKCS_OAEP_PARAMS params;
    std::memcpy(&params, mech.pParameter, sizeof params);
    const OaepDigest* hash = oaepByHash(params.hashAlg);
    const OaepDigest* mgf = oaepByMgf(params.mgf);
    if (!hash || !mgf)
        return CKR_MECHANISM_PARAM_INVALID;
    const bool noLabel = params.ulSourceDataLen == 0;
    if (params.source != CKZ_DATA_SPECIFIED && !(params.source == 0 && noLabel))
        return CKR_MECHANISM_PARAM_INVALID;
    if (params.ulSourceDataLen > kMaxLabel || (!noLabel && !params.pSourceData))
        return CKR_MECHANISM_PARAM_INVALID;
    // OAEP needs room for two hashes and two more bytes in the modulus.
    if (modulus < 2 * hash->size + 2)
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* label = static_cast<const std::uint8_t*>(params.pSourceData);
    op.label.assign(label, label + params.ulSourceDataLen);
    op.oaepDigest = hash->name;
    op.mgfDigest = mgf->name;
    op.oaepHashSize = hash->size;
    return CKR_OK;
}

PkeyPtr rsaPublicKey(const Attributes& key)
{
    PkeyPtr none(nullptr, EVP_PKEY_free);
    auto n = key.find(CKA_MODULUS);
    auto e = key.find(CKA_PUBLIC_EXPONENT);
    if (n == key.end() || e == key.end() || n->second.empty() || e->second.empty())
        return none;
    BnPtr nBn(BN_bin2bn(n->second.data(), static_cast<int>(n->second.size()), nullptr), BN_clear_free);
    BnPtr eBn(BN_bin2bn(e->second.data(), static_cast<int>(e->second.size()), nullptr), BN_clear_free);
    BldPtr bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (!nBn || !eBn || !bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, nBn.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, eBn.get()) != 1)
        return none;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()), OSSL_PARAM_free);
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return none;
    return PkeyPtr(raw, EVP_PKEY_free);
}

// Sets the padding of the operation on an encryption or decryption context.
bool setPadding(EVP_PKEY_CTX* ctx, const CipherOperation& op)
{
    if (op.mechanism == CKM_RSA_PKCS) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1)
            return false;
        if (!op.encrypt) {
            // A PKCS#11 key reports bad padding as CKR_ENCRYPTED_DATA_INVALID, so OpenSSL must not
            // answer a bad message with a made-up one (implicit rejection, OpenSSL 3.2 and later).
            // Older versions know no such parameter and already report the error.
            unsigned int off = 0;
            const OSSL_PARAM p[] = {OSSL_PARAM_construct_uint("implicit-rejection", &off), OSSL_PARAM_construct_end()};
            EVP_PKEY_CTX_set_params(ctx, p);
        }
        return true;
    }
    if (EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx, EVP_get_digestbyname(op.oaepDigest)) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(op.mgfDigest)) != 1)
        return false;
    if (op.label.empty())
        return true;
    // OpenSSL takes ownership of the label's copy.
    void* label = OPENSSL_memdup(op.label.data(), op.label.size());
    if (!label)
        return false;
    if (EVP_PKEY_CTX_set0_rsa_oaep_label(ctx, label, static_cast<int>(op.label.size())) != 1) {
        OPENSSL_free(label);
        return false;
    }
    return true;
}

} // namespace

std::vector<CK_MECHANISM_TYPE> cipherMechanisms()
{
    return {CKM_RSA_PKCS, CKM_RSA_PKCS_OAEP};
}

bool addCipherMechanismInfo(CK_MECHANISM_TYPE m, CK_MECHANISM_INFO& info)
{
    if (m != CKM_RSA_PKCS && m != CKM_RSA_PKCS_OAEP)
        return false;
    info.ulMinKeySize = 1024;
    info.ulMaxKeySize = 4096;
    info.flags |= CKF_HW | CKF_ENCRYPT | CKF_DECRYPT;
    return true;
}

CK_RV initCipherOperation(const CK_MECHANISM& mech, Attributes key, bool encrypt, CipherOperation& op)
{
    if (mech.mechanism != CKM_RSA_PKCS && mech.mechanism != CKM_RSA_PKCS_OAEP)
        return CKR_MECHANISM_INVALID;
    if (attrUlong(key, CKA_CLASS, 0) != (encrypt ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY) ||
        attrUlong(key, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION) != CKK_RSA)
        return CKR_KEY_TYPE_INCONSISTENT;
    if (!attrBool(key, encrypt ? CKA_ENCRYPT : CKA_DECRYPT, false))
        return CKR_KEY_FUNCTION_NOT_PERMITTED;
    const std::size_t k = modulusLength(key);
    if (k < 1024 / 8 || k > 4096 / 8)
        return CKR_KEY_SIZE_RANGE;
    op = CipherOperation{};
    if (mech.mechanism == CKM_RSA_PKCS_OAEP) {
        if (CK_RV rv = readOaepParams(mech, k, op); rv != CKR_OK)
            return rv;
    } else if (mech.pParameter || mech.ulParameterLen) {
        return CKR_MECHANISM_PARAM_INVALID;
    }
    op.mechanism = mech.mechanism;
    op.encrypt = encrypt;
    op.key = std::move(key);
    return CKR_OK;
}

CK_ULONG cipherOutputBound(const CipherOperation& op)
{
    return static_cast<CK_ULONG>(modulusLength(op.key));
}

CK_RV runCipher(const CipherOperation& op, const Bytes& in, Bytes& out)
{
    const std::size_t k = modulusLength(op.key);
    if (op.encrypt) {
        const std::size_t overhead = op.mechanism == CKM_RSA_PKCS ? 11 : 2 * op.oaepHashSize + 2;
        if (in.size() + overhead > k)
            return CKR_DATA_LEN_RANGE;
    } else if (in.size() != k) {
        return CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    PkeyPtr key = op.encrypt ? rsaPublicKey(op.key) : privateKey(op.key);
    if (!key)
        return CKR_KEY_HANDLE_INVALID;
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
    if (!ctx || (op.encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
        !setPadding(ctx.get(), op))
        return CKR_FUNCTION_FAILED;
    out.assign(k, 0);
    std::size_t len = out.size();
    if (op.encrypt) {
        if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size()) != 1)
            return CKR_FUNCTION_FAILED;
    } else if (EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size()) != 1) {
        // A ciphertext of the right length that does not open: wrong key, corrupted or bad padding.
        return CKR_ENCRYPTED_DATA_INVALID;
    }
    if (len > k)
        return CKR_FUNCTION_FAILED;
    out.resize(len);
    return CKR_OK;
}

// Module operations that use the functions above.

CK_RV Pkcs11Module::cipherInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key, bool encrypt)
{
    if (!mech)
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    std::shared_ptr<CipherOperation>& slot = encrypt ? s->encryptOp : s->decryptOp;
    if (slot)
        return CKR_OPERATION_ACTIVE;
    // Decryption uses a private key, which only a logged-in user may use.
    if (!encrypt && !userLoggedIn(*s))
        return CKR_USER_NOT_LOGGED_IN;
    Attributes attrs;
    if (CK_RV rv = objectAttrs(*s, key, attrs); rv != CKR_OK)
        return rv == CKR_OBJECT_HANDLE_INVALID ? CKR_KEY_HANDLE_INVALID : rv;
    auto op = std::make_shared<CipherOperation>();
    if (CK_RV rv = initCipherOperation(*mech, std::move(attrs), encrypt, *op); rv != CKR_OK)
        return rv;
    slot = std::move(op);
    return CKR_OK;
}

CK_RV Pkcs11Module::cipher(CK_SESSION_HANDLE h, bool encrypt, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out,
                           CK_ULONG_PTR outLen)
{
    if (!outLen || (!data && len))
        return CKR_ARGUMENTS_BAD;
    Session* s = nullptr;
    if (CK_RV rv = session(h, s); rv != CKR_OK)
        return rv;
    std::shared_ptr<CipherOperation>& op = encrypt ? s->encryptOp : s->decryptOp;
    if (!op)
        return CKR_OPERATION_NOT_INITIALIZED;
    // A logout after C_DecryptInit takes the private key away from the operation too.
    if (!encrypt && !userLoggedIn(*s)) {
        op.reset();
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (len > kMaxInput) {
        op.reset();
        return encrypt ? CKR_DATA_LEN_RANGE : CKR_ENCRYPTED_DATA_LEN_RANGE;
    }
    if (!out) {
        // A length query: the modulus length holds any result. The operation stays active.
        if (!encrypt && len != cipherOutputBound(*op)) {
            op.reset();
            return CKR_ENCRYPTED_DATA_LEN_RANGE;
        }
        *outLen = cipherOutputBound(*op);
        return CKR_OK;
    }
    SecretBytes result;
    const CK_RV rv = runCipher(*op, Bytes(data, data + len), result.bytes());
    if (rv != CKR_OK) {
        op.reset();
        return rv;
    }
    // A buffer too small for the result keeps the operation, so the caller can ask again.
    if (*outLen < result.bytes().size()) {
        *outLen = static_cast<CK_ULONG>(result.bytes().size());
        return CKR_BUFFER_TOO_SMALL;
    }
    if (!result.bytes().empty())
        std::memcpy(out, result.bytes().data(), result.bytes().size());
    *outLen = static_cast<CK_ULONG>(result.bytes().size());
    op.reset();
    return CKR_OK;
}

CK_RV Pkcs11Module::encryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    return cipherInit(h, mech, key, true);
}

CK_RV Pkcs11Module::encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    return cipher(h, true, data, len, out, outLen);
}

CK_RV Pkcs11Module::decryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    return cipherInit(h, mech, key, false);
}

CK_RV Pkcs11Module::decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    return cipher(h, false, data, len, out, outLen);
}

} // namespace keysim
