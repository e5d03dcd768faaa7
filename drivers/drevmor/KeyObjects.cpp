// SPDX-License-Identifier: Apache-2.0
// PKCS#11 attribute templates for private keys, public keys and certificates from OpenSSL objects.
#include "KeyObjects.h"

#include "Sm2Keys.h"
#include "drevmor.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>

#include <strings.h>

namespace drevmor {
namespace {

// A big number parameter of the key as unsigned big-endian bytes (`pad` bytes wide when given);
// nullopt when the key has no such parameter.
std::optional<Bytes> bnParam(EVP_PKEY* key, const char* name, int pad = 0)
{
    BIGNUM* raw = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &raw) || !raw) {
        ERR_clear_error();
        return std::nullopt;
    }
    BigNumPtr bn(raw);
    Bytes out(static_cast<size_t>(pad > 0 ? pad : BN_num_bytes(bn.get())));
    if (out.empty())
        out.resize(1);
    int n = pad > 0 ? BN_bn2binpad(bn.get(), out.data(), pad) : BN_bn2bin(bn.get(), out.data());
    if (n < 0) {
        OPENSSL_cleanse(out.data(), out.size());
        return std::nullopt;
    }
    return out;
}

// DER of the curve's object identifier, the form CKA_EC_PARAMS takes for a named curve.
std::optional<Bytes> curveParams(EVP_PKEY* key)
{
    char name[80] = {};
    size_t len = 0;
    if (!EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &len)) {
        ERR_clear_error();
        return std::nullopt;
    }
    int nid = OBJ_sn2nid(name);
    if (nid == NID_undef)
        nid = EC_curve_nist2nid(name);
    if (nid == NID_undef)
        nid = OBJ_txt2nid(name);
    ASN1_OBJECT* obj = nid == NID_undef ? nullptr : OBJ_nid2obj(nid);
    if (!obj)
        return std::nullopt;
    unsigned char* der = nullptr;
    int n = i2d_ASN1_OBJECT(obj, &der);
    if (n <= 0)
        return std::nullopt;
    Bytes out(der, der + n);
    OPENSSL_free(der);
    return out;
}

// The EC point as a DER OCTET STRING, the form CKA_EC_POINT takes.
std::optional<Bytes> ecPoint(EVP_PKEY* key)
{
    unsigned char* point = nullptr;
    size_t n = EVP_PKEY_get1_encoded_public_key(key, &point);
    if (n == 0 || !point) {
        ERR_clear_error();
        return std::nullopt;
    }
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> os(ASN1_OCTET_STRING_new(),
                                                                             &ASN1_OCTET_STRING_free);
    bool ok = os && ASN1_OCTET_STRING_set(os.get(), point, static_cast<int>(n));
    OPENSSL_free(point);
    if (!ok)
        return std::nullopt;
    unsigned char* der = nullptr;
    int len = i2d_ASN1_OCTET_STRING(os.get(), &der);
    if (len <= 0)
        return std::nullopt;
    Bytes out(der, der + len);
    OPENSSL_free(der);
    return out;
}

void common(Template& t, CK_OBJECT_CLASS cls, const Bytes& id, const std::string& label, bool priv)
{
    t.addUlong(CKA_CLASS, cls)
        .addBool(CKA_TOKEN, true)
        .addBool(CKA_PRIVATE, priv)
        .add(CKA_ID, id)
        .add(CKA_LABEL, label);
}

} // namespace

int privateKeyTemplate(EVP_PKEY* key, bool exchange, const Bytes& id, const std::string& label, const Bytes& subject,
                       Template& t)
{
    const int type = EVP_PKEY_get_base_id(key);
    if (type == EVP_PKEY_RSA) {
        auto n = bnParam(key, OSSL_PKEY_PARAM_RSA_N), e = bnParam(key, OSSL_PKEY_PARAM_RSA_E),
             d = bnParam(key, OSSL_PKEY_PARAM_RSA_D);
        if (!n || !e || !d)
            return DRV_FILE_ERROR;
        common(t, CKO_PRIVATE_KEY, id, label, true);
        t.addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_SUBJECT, subject).addBool(CKA_SENSITIVE, true);
        t.addBool(CKA_EXTRACTABLE, false).addBool(CKA_SIGN, true).addBool(CKA_DECRYPT, exchange);
        t.addBool(CKA_UNWRAP, exchange).add(CKA_MODULUS, *n).add(CKA_PUBLIC_EXPONENT, *e);
        t.add(CKA_PRIVATE_EXPONENT, *d);
        OPENSSL_cleanse(d->data(), d->size());
        // The CRT parts are optional: a module computes without them.
        const std::pair<CK_ATTRIBUTE_TYPE, const char*> crt[] = {{CKA_PRIME_1, OSSL_PKEY_PARAM_RSA_FACTOR1},
                                                                 {CKA_PRIME_2, OSSL_PKEY_PARAM_RSA_FACTOR2},
                                                                 {CKA_EXPONENT_1, OSSL_PKEY_PARAM_RSA_EXPONENT1},
                                                                 {CKA_EXPONENT_2, OSSL_PKEY_PARAM_RSA_EXPONENT2},
                                                                 {CKA_COEFFICIENT, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}};
        for (const auto& [attr, param] : crt)
            if (auto v = bnParam(key, param)) {
                t.add(attr, *v);
                OPENSSL_cleanse(v->data(), v->size());
            }
        return DRV_OK;
    }
    if (isEcOrSm2Key(key)) {
        auto params = curveParams(key);
        const int bits = EVP_PKEY_get_bits(key);
        auto value = bits > 0 ? bnParam(key, OSSL_PKEY_PARAM_PRIV_KEY, (bits + 7) / 8) : std::nullopt;
        if (!params || !value)
            return DRV_FILE_ERROR;
        common(t, CKO_PRIVATE_KEY, id, label, true);
        t.addUlong(CKA_KEY_TYPE, CKK_EC).add(CKA_SUBJECT, subject).addBool(CKA_SENSITIVE, true);
        t.addBool(CKA_EXTRACTABLE, false).addBool(CKA_SIGN, true).addBool(CKA_DERIVE, exchange);
        t.add(CKA_EC_PARAMS, *params).add(CKA_VALUE, *value);
        OPENSSL_cleanse(value->data(), value->size());
        return DRV_OK;
    }
    return DRV_FILE_ERROR;
}

int publicKeyTemplate(EVP_PKEY* key, bool exchange, const Bytes& id, const std::string& label, const Bytes& subject,
                      Template& t)
{
    const int type = EVP_PKEY_get_base_id(key);
    if (type == EVP_PKEY_RSA) {
        auto n = bnParam(key, OSSL_PKEY_PARAM_RSA_N), e = bnParam(key, OSSL_PKEY_PARAM_RSA_E);
        if (!n || !e)
            return DRV_FILE_ERROR;
        common(t, CKO_PUBLIC_KEY, id, label, false);
        t.addUlong(CKA_KEY_TYPE, CKK_RSA).add(CKA_SUBJECT, subject).addBool(CKA_VERIFY, true);
        t.addBool(CKA_ENCRYPT, exchange).addBool(CKA_WRAP, exchange).add(CKA_MODULUS, *n);
        t.add(CKA_PUBLIC_EXPONENT, *e);
        return DRV_OK;
    }
    if (isEcOrSm2Key(key)) {
        auto params = curveParams(key);
        auto point = ecPoint(key);
        if (!params || !point)
            return DRV_FILE_ERROR;
        common(t, CKO_PUBLIC_KEY, id, label, false);
        t.addUlong(CKA_KEY_TYPE, CKK_EC).add(CKA_SUBJECT, subject).addBool(CKA_VERIFY, true);
        t.add(CKA_EC_PARAMS, *params).add(CKA_EC_POINT, *point);
        return DRV_OK;
    }
    return DRV_FILE_ERROR;
}

void certificateTemplate(X509* cert, const Bytes& id, const std::string& label, Template& t)
{
    common(t, CKO_CERTIFICATE, id, label, false);
    t.addUlong(CKA_CERTIFICATE_TYPE, CKC_X_509);
    t.add(CKA_SUBJECT, derOf(X509_get_subject_name(cert)));
    t.add(CKA_ISSUER, derOf(X509_get_issuer_name(cert)));
    unsigned char* serial = nullptr;
    int n = i2d_ASN1_INTEGER(X509_get0_serialNumber(cert), &serial);
    if (n > 0) {
        t.add(CKA_SERIAL_NUMBER, Bytes(serial, serial + n));
        OPENSSL_free(serial);
    }
    t.add(CKA_VALUE, derOf(cert));
}

namespace {

struct ParamFree
{
    void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
    void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
    void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};

EvpKeyPtr keyFromParams(const char* algorithm, OSSL_PARAM_BLD* bld)
{
    std::unique_ptr<OSSL_PARAM, ParamFree> params(OSSL_PARAM_BLD_to_param(bld));
    std::unique_ptr<EVP_PKEY_CTX, ParamFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, algorithm, nullptr));
    EVP_PKEY* raw = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return EvpKeyPtr(raw);
}

EvpKeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent)
{
    BigNumPtr n(BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr));
    BigNumPtr e(BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr));
    std::unique_ptr<OSSL_PARAM_BLD, ParamFree> bld(OSSL_PARAM_BLD_new());
    if (!n || !e || !bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return nullptr;
    return keyFromParams("RSA", bld.get());
}

// The point of CKA_EC_POINT: a DER OCTET STRING, or (as some modules give it) the bare point.
Bytes bareEcPoint(const Bytes& ecPoint)
{
    const unsigned char* p = ecPoint.data();
    std::unique_ptr<ASN1_OCTET_STRING, decltype(&ASN1_OCTET_STRING_free)> os(
        ecPoint.empty() ? nullptr : d2i_ASN1_OCTET_STRING(nullptr, &p, static_cast<long>(ecPoint.size())),
        &ASN1_OCTET_STRING_free);
    ERR_clear_error();
    if (os && p == ecPoint.data() + ecPoint.size()) {
        const unsigned char* data = ASN1_STRING_get0_data(os.get());
        return Bytes(data, data + ASN1_STRING_length(os.get()));
    }
    return ecPoint;
}

EvpKeyPtr ecPublicKey(const Bytes& ecParams, const Bytes& ecPoint)
{
    const unsigned char* p = ecParams.data();
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(
        ecParams.empty() ? nullptr : d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(ecParams.size())),
        &ASN1_OBJECT_free);
    const int nid = obj ? OBJ_obj2nid(obj.get()) : NID_undef;
    ERR_clear_error();
    const char* group = nid == NID_undef ? nullptr : OBJ_nid2sn(nid);
    const Bytes point = bareEcPoint(ecPoint);
    std::unique_ptr<OSSL_PARAM_BLD, ParamFree> bld(OSSL_PARAM_BLD_new());
    if (!group || point.empty() || !bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
        return nullptr;
    return keyFromParams(nid == NID_sm2 ? "SM2" : "EC", bld.get());
}

// The curve name and encoded point of an EC or SM2 key.
bool ecParts(EVP_PKEY* key, std::string& group, Bytes& point)
{
    char name[80] = {};
    size_t len = 0;
    unsigned char* encoded = nullptr;
    const size_t n = EVP_PKEY_get1_encoded_public_key(key, &encoded);
    const bool ok = n > 0 && encoded &&
                    EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &len) == 1;
    if (ok) {
        group.assign(name, len);
        point.assign(encoded, encoded + n);
    }
    OPENSSL_free(encoded);
    ERR_clear_error();
    return ok;
}

} // namespace

EvpKeyPtr publicKeyOf(const ObjectEntry& key)
{
    const auto type = key.ulongAttr(CKA_KEY_TYPE);
    if (!type)
        return nullptr;
    if (*type == CKK_RSA) {
        const Bytes* n = key.attr(CKA_MODULUS);
        const Bytes* e = key.attr(CKA_PUBLIC_EXPONENT);
        return n && e && !n->empty() && !e->empty() ? rsaPublicKey(*n, *e) : nullptr;
    }
    if (isEcKeyType(*type)) {
        const Bytes* params = key.attr(CKA_EC_PARAMS);
        const Bytes* point = key.attr(CKA_EC_POINT);
        // A vendor SM2 key type needs no parameters to name its curve.
        if (!params && isVendorSm2KeyType(*type))
            params = &kSm2CurveParams;
        return params && point ? ecPublicKey(*params, *point) : nullptr;
    }
    return nullptr;
}

bool samePublicKey(EVP_PKEY* a, EVP_PKEY* b)
{
    if (!a || !b)
        return false;
    const bool equal = EVP_PKEY_eq(a, b) == 1;
    ERR_clear_error();
    if (equal || !isEcOrSm2Key(a) || !isEcOrSm2Key(b))
        return equal;
    // OpenSSL does not compare an EC key with an SM2 key; their curve and point say it all.
    std::string groupA, groupB;
    Bytes pointA, pointB;
    return ecParts(a, groupA, pointA) && ecParts(b, groupB, pointB) &&
           strcasecmp(groupA.c_str(), groupB.c_str()) == 0 && pointA == pointB;
}

int modulusBits(const Bytes& modulus)
{
    size_t i = 0;
    while (i < modulus.size() && modulus[i] == 0)
        ++i;
    if (i == modulus.size())
        return 0;
    int bits = static_cast<int>((modulus.size() - i - 1) * 8);
    for (unsigned v = modulus[i]; v; v >>= 1)
        ++bits;
    return bits;
}

int curveBits(const Bytes& ecParams)
{
    const unsigned char* p = ecParams.data();
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> obj(
        ecParams.empty() ? nullptr : d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(ecParams.size())),
        &ASN1_OBJECT_free);
    if (!obj) {
        ERR_clear_error();
        return 0;
    }
    std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(EC_GROUP_new_by_curve_name(OBJ_obj2nid(obj.get())),
                                                              &EC_GROUP_free);
    if (!group) {
        ERR_clear_error();
        return 0;
    }
    return EC_GROUP_get_degree(group.get());
}

} // namespace drevmor
