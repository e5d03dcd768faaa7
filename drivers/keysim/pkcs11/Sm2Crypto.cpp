// SPDX-License-Identifier: Apache-2.0
#include "Sm2Crypto.h"

#include "OpensslHandles.h"
#include "Pkcs11Module.h"
#include "keysim_ext.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>

#include <memory>

namespace keysim {

const Bytes kSm2Params = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};

namespace {

constexpr std::size_t kFieldSize = 32;
constexpr std::size_t kPointSize = 1 + 2 * kFieldSize; // 04 || x || y
constexpr std::size_t kMaxSignerId = 1024;             // its length in bits must fit ENTL's 16 bits
const Bytes kDefaultSignerId = {'1', '2', '3', '4', '5', '6', '7', '8', '1', '2', '3', '4', '5', '6', '7', '8'};

// The uncompressed public point d * G of a private value on the SM2 curve.
Bytes publicPoint(const BIGNUM* d)
{
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2), EC_GROUP_free);
    if (!group)
        return {};
    PointPtr point(EC_POINT_new(group.get()), EC_POINT_free);
    Bytes out(kPointSize);
    if (!point || EC_POINT_mul(group.get(), point.get(), d, nullptr, nullptr, nullptr) != 1 ||
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(), nullptr) !=
            out.size())
        return {};
    return out;
}

// The SM2 key pair of a private key object, with its public point (which Z needs).
PkeyPtr sm2Key(const Attributes& key)
{
    PkeyPtr none(nullptr, EVP_PKEY_free);
    auto value = key.find(CKA_VALUE);
    if (value == key.end() || value->second.empty() || value->second.size() > kFieldSize)
        return none;
    BnPtr d(BN_bin2bn(value->second.data(), static_cast<int>(value->second.size()), nullptr), BN_clear_free);
    if (!d || BN_is_zero(d.get()))
        return none;
    const Bytes point = publicPoint(d.get());
    BldPtr bld(OSSL_PARAM_BLD_new(), OSSL_PARAM_BLD_free);
    if (point.empty() || !bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_sm2, 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        return none;
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld.get()), OSSL_PARAM_free);
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return none;
    return PkeyPtr(raw, EVP_PKEY_free);
}

// A DER SM2 signature (the ECDSA-Sig-Value form) as r || s.
CK_RV rawSignature(const Bytes& der, Bytes& out)
{
    const unsigned char* p = der.data();
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())),
                                                              ECDSA_SIG_free);
    if (!sig)
        return CKR_FUNCTION_FAILED;
    out.assign(2 * kFieldSize, 0);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), kFieldSize) < 0 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + kFieldSize, kFieldSize) < 0)
        return CKR_FUNCTION_FAILED;
    return CKR_OK;
}
} // namespace

bool isSm2Key(const Attributes& key)
{
    const CK_ULONG type = attrUlong(key, CKA_KEY_TYPE, CK_UNAVAILABLE_INFORMATION);
    if (type == KEYSIM_CKK_SM2)
        return true;
    auto params = key.find(CKA_EC_PARAMS);
    return type == CKK_EC && params != key.end() && params->second == kSm2Params;
}

bool isSm2Mechanism(CK_MECHANISM_TYPE m)
{
    return m == KEYSIM_CKM_SM2 || m == KEYSIM_CKM_SM2_SM3;
}

bool sm2HashesInput(CK_MECHANISM_TYPE m)
{
    return m == KEYSIM_CKM_SM2_SM3;
}

CK_RV sm2Parameter(const CK_MECHANISM& mech, Bytes& out)
{
    out.clear();
    if (mech.ulParameterLen == 0)
        return CKR_OK;
    // Only SM2 with SM3 takes a parameter, the signer's identity.
    if (!mech.pParameter || mech.mechanism != KEYSIM_CKM_SM2_SM3 || mech.ulParameterLen > kMaxSignerId)
        return CKR_MECHANISM_PARAM_INVALID;
    const auto* p = static_cast<const std::uint8_t*>(mech.pParameter);
    out.assign(p, p + mech.ulParameterLen);
    return CKR_OK;
}

CK_RV generateSm2KeyMaterial(Attributes& pub, Attributes& priv)
{
    CtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr), EVP_PKEY_CTX_free);
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return CKR_FUNCTION_FAILED;
    PkeyPtr key(raw, EVP_PKEY_free);
    BIGNUM* d = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) != 1)
        return CKR_FUNCTION_FAILED;
    BnPtr dOwner(d, BN_clear_free);
    Bytes value(kFieldSize);
    const Bytes point = publicPoint(d);
    if (point.empty() || BN_bn2binpad(d, value.data(), static_cast<int>(value.size())) < 0)
        return CKR_FUNCTION_FAILED;
    setUlong(pub, CKA_KEY_TYPE, CKK_EC);
    setUlong(priv, CKA_KEY_TYPE, CKK_EC);
    pub[CKA_EC_PARAMS] = kSm2Params;
    priv[CKA_EC_PARAMS] = kSm2Params;
    Bytes der = {0x04, static_cast<std::uint8_t>(point.size())};
    der.insert(der.end(), point.begin(), point.end());
    pub[CKA_EC_POINT] = der;
    priv[CKA_VALUE] = std::move(value);
    return CKR_OK;
}

CK_RV computeSm2Signature(const SignOperation& op, Bytes& out)
{
    PkeyPtr key = sm2Key(op.key);
    if (!key)
        return CKR_KEY_HANDLE_INVALID;
    std::size_t len = 0;
    Bytes der;
    if (op.mechanism == KEYSIM_CKM_SM2_SM3) {
        const Bytes& id = op.parameter.empty() ? kDefaultSignerId : op.parameter;
        MdCtxPtr md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        EVP_PKEY_CTX* pctx = nullptr; // belongs to md
        if (!md || EVP_DigestSignInit_ex(md.get(), &pctx, "SM3", nullptr, nullptr, key.get(), nullptr) != 1 ||
            EVP_PKEY_CTX_set1_id(pctx, id.data(), static_cast<int>(id.size())) != 1 ||
            EVP_DigestSignUpdate(md.get(), op.data.data(), op.data.size()) != 1 ||
            EVP_DigestSignFinal(md.get(), nullptr, &len) != 1)
            return CKR_FUNCTION_FAILED;
        der.resize(len);
        if (EVP_DigestSignFinal(md.get(), der.data(), &len) != 1)
            return CKR_FUNCTION_FAILED;
    } else {
        // A digest computed by the caller: e of the signing equation, as it stands.
        if (op.data.size() != kFieldSize)
            return CKR_DATA_LEN_RANGE;
        CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), EVP_PKEY_CTX_free);
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_sign(ctx.get(), nullptr, &len, op.data.data(), op.data.size()) != 1)
            return CKR_FUNCTION_FAILED;
        der.resize(len);
        if (EVP_PKEY_sign(ctx.get(), der.data(), &len, op.data.data(), op.data.size()) != 1)
            return CKR_FUNCTION_FAILED;
    }
    der.resize(len);
    return rawSignature(der, out);
}

} // namespace keysim
