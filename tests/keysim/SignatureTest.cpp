// SPDX-License-Identifier: Apache-2.0
// The module's signatures as TLS clients ask for them (PKCS#1 v1.5, PSS, ECDSA), each checked
// by OpenSSL against the public key the module hands out.
#include "KeysimTestSupport.h"
#include "keysim_ext.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>

using namespace keysimtest;

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

enum class Scheme
{
    Pkcs1,
    Pss,
    Ecdsa
};

// One signing request: the mechanism, the digest OpenSSL checks against, whether the caller
// hashes (raw mechanisms) and, for PSS, the parameters handed to the module.
struct Case
{
    CK_MECHANISM_TYPE mechanism;
    const char* digest;
    bool callerHashes;
    Scheme scheme;
    CK_RSA_PKCS_PSS_PARAMS pss;
};

std::vector<unsigned char> digestOf(const std::string& msg, const char* name)
{
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    EVP_Digest(msg.data(), msg.size(), out.data(), &n, EVP_get_digestbyname(name), nullptr);
    out.resize(n);
    return out;
}

// The DER DigestInfo of a SHA-256 digest, what a client passes to CKM_RSA_PKCS.
std::vector<unsigned char> sha256DigestInfo(const std::vector<unsigned char>& digest)
{
    std::vector<unsigned char> out = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    out.insert(out.end(), digest.begin(), digest.end());
    return out;
}

PkeyPtr publicKey(const char* alg, OSSL_PARAM_BLD* bld)
{
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, alg, nullptr);
    EVP_PKEY* key = nullptr;
    if (EVP_PKEY_fromdata_init(ctx) != 1 || EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1)
        key = nullptr;
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return PkeyPtr(key, EVP_PKEY_free);
}

bool verifies(EVP_PKEY* key, const Case& c, std::vector<unsigned char> sig, const std::vector<unsigned char>& digest)
{
    if (c.scheme == Scheme::Ecdsa) {
        if (sig.empty() || sig.size() % 2 != 0)
            return false;
        const int half = static_cast<int>(sig.size() / 2);
        ECDSA_SIG* es = ECDSA_SIG_new();
        ECDSA_SIG_set0(es, BN_bin2bn(sig.data(), half, nullptr), BN_bin2bn(sig.data() + half, half, nullptr));
        unsigned char* der = nullptr;
        const int len = i2d_ECDSA_SIG(es, &der);
        sig.assign(der, der + len);
        OPENSSL_free(der);
        ECDSA_SIG_free(es);
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
    bool ok = EVP_PKEY_verify_init(ctx) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, EVP_get_digestbyname(c.digest)) == 1;
    if (ok && c.scheme == Scheme::Pss) {
        ok = EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, EVP_get_digestbyname(c.digest)) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, static_cast<int>(c.pss.sLen)) == 1;
    }
    ok = ok && EVP_PKEY_verify(ctx, sig.data(), sig.size(), digest.data(), digest.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

class SignatureTest : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        p = pkcs11();
        ASSERT_NE(p, nullptr);
        p->C_Finalize(nullptr);
        ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
        tool({"create", "--serial", "KSIGPSS", "--pin", "11112222"});
        CK_ULONG n = 1;
        ASSERT_EQ(p->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        std::string pin = "11112222";
        ASSERT_EQ(p->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), CKR_OK);
    }
    void TearDown() override
    {
        p->C_Finalize(nullptr);
        KeysimDirTest::TearDown();
    }

    // Generates a key pair (RSA 2048, or EC P-256 or P-384) and returns its private key and
    // OpenSSL's view of the public key as the module reports it.
    CK_OBJECT_HANDLE generate(bool rsa, PkeyPtr& pub, bool p384 = false)
    {
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 2048;
        std::vector<CK_BYTE> curve = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
        if (p384)
            curve = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x22};
        CK_ATTRIBUTE rsaT[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}};
        CK_ATTRIBUTE ecT[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, curve.data(), curve.size()}};
        CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}};
        CK_MECHANISM gen = {rsa ? CKM_RSA_PKCS_KEY_PAIR_GEN : CKM_EC_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE pubH = 0, privH = 0;
        EXPECT_EQ(p->C_GenerateKeyPair(h, &gen, rsa ? rsaT : ecT, 2, privT, 2, &pubH, &privH), CKR_OK);
        OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
        if (rsa) {
            std::vector<CK_BYTE> modulus(512), exponent(16);
            CK_ATTRIBUTE a[] = {{CKA_MODULUS, modulus.data(), modulus.size()},
                                {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
            EXPECT_EQ(p->C_GetAttributeValue(h, pubH, a, 2), CKR_OK);
            BIGNUM* nBn = BN_bin2bn(modulus.data(), static_cast<int>(a[0].ulValueLen), nullptr);
            BIGNUM* eBn = BN_bin2bn(exponent.data(), static_cast<int>(a[1].ulValueLen), nullptr);
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, nBn);
            OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, eBn);
            pub = publicKey("RSA", bld);
            BN_free(nBn);
            BN_free(eBn);
        } else {
            CK_BYTE point[120];
            CK_ATTRIBUTE a = {CKA_EC_POINT, point, sizeof point};
            EXPECT_EQ(p->C_GetAttributeValue(h, pubH, &a, 1), CKR_OK);
            EXPECT_EQ(a.ulValueLen, p384 ? 99u : 67u); // 04 n, then the uncompressed point
            OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, p384 ? "secp384r1" : "prime256v1", 0);
            OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point + 2, a.ulValueLen - 2);
            pub = publicKey("EC", bld);
        }
        EXPECT_TRUE(pub);
        return privH;
    }

    CK_RV sign(CK_OBJECT_HANDLE key, const CK_MECHANISM_TYPE mech, const CK_RSA_PKCS_PSS_PARAMS* pss,
               const std::vector<unsigned char>& data, std::vector<unsigned char>& sig, bool multiPart = false)
    {
        CK_MECHANISM m = {mech, const_cast<CK_RSA_PKCS_PSS_PARAMS*>(pss), pss ? static_cast<CK_ULONG>(sizeof *pss) : 0};
        if (CK_RV rv = p->C_SignInit(h, &m, key); rv != CKR_OK)
            return rv;
        sig.assign(512, 0);
        CK_ULONG len = sig.size();
        CK_RV rv = CKR_OK;
        if (multiPart) {
            const std::size_t half = data.size() / 2;
            rv = p->C_SignUpdate(h, const_cast<CK_BYTE*>(data.data()), half);
            if (rv == CKR_OK)
                rv = p->C_SignUpdate(h, const_cast<CK_BYTE*>(data.data()) + half, data.size() - half);
            if (rv == CKR_OK)
                rv = p->C_SignFinal(h, sig.data(), &len);
        } else {
            rv = p->C_Sign(h, const_cast<CK_BYTE*>(data.data()), data.size(), sig.data(), &len);
        }
        sig.resize(rv == CKR_OK ? len : 0);
        return rv;
    }

    CK_FUNCTION_LIST* p = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
};

TEST_F(SignatureTest, EveryListedMechanismMakesSignaturesOpenSslAccepts)
{
    PkeyPtr rsaPub(nullptr, EVP_PKEY_free), ecPub(nullptr, EVP_PKEY_free);
    const CK_OBJECT_HANDLE rsa = generate(true, rsaPub);
    const CK_OBJECT_HANDLE ec = generate(false, ecPub);
    const std::string msg = "TLS 1.3, client CertificateVerify";
    const Case cases[] = {
        {CKM_RSA_PKCS, "SHA256", true, Scheme::Pkcs1, {}},
        {CKM_SHA256_RSA_PKCS, "SHA256", false, Scheme::Pkcs1, {}},
        {CKM_SHA384_RSA_PKCS, "SHA384", false, Scheme::Pkcs1, {}},
        {CKM_SHA512_RSA_PKCS, "SHA512", false, Scheme::Pkcs1, {}},
        {CKM_RSA_PKCS_PSS, "SHA256", true, Scheme::Pss, {CKM_SHA256, CKG_MGF1_SHA256, 32}},
        {CKM_RSA_PKCS_PSS, "SHA384", true, Scheme::Pss, {CKM_SHA384, CKG_MGF1_SHA384, 48}},
        {CKM_SHA256_RSA_PKCS_PSS, "SHA256", false, Scheme::Pss, {CKM_SHA256, CKG_MGF1_SHA256, 0}},
        {CKM_SHA512_RSA_PKCS_PSS, "SHA512", false, Scheme::Pss, {CKM_SHA512, CKG_MGF1_SHA512, 64}},
        {CKM_ECDSA, "SHA256", true, Scheme::Ecdsa, {}},
        {CKM_ECDSA, "SHA384", true, Scheme::Ecdsa, {}},
        {CKM_ECDSA_SHA256, "SHA256", false, Scheme::Ecdsa, {}},
        {CKM_ECDSA_SHA384, "SHA384", false, Scheme::Ecdsa, {}},
        {CKM_ECDSA_SHA512, "SHA512", false, Scheme::Ecdsa, {}},
    };
    CK_ULONG count = 0;
    ASSERT_EQ(p->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> listed(count);
    ASSERT_EQ(p->C_GetMechanismList(slot, listed.data(), &count), CKR_OK);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mechanism 0x" << std::hex << c.mechanism << " " << c.digest);
        EXPECT_NE(std::find(listed.begin(), listed.end(), c.mechanism), listed.end());
        CK_MECHANISM_INFO info{};
        ASSERT_EQ(p->C_GetMechanismInfo(slot, c.mechanism, &info), CKR_OK);
        EXPECT_TRUE(info.flags & CKF_SIGN);

        const std::vector<unsigned char> digest = digestOf(msg, c.digest);
        std::vector<unsigned char> data(msg.begin(), msg.end());
        if (c.callerHashes)
            data = c.scheme == Scheme::Pkcs1 ? sha256DigestInfo(digest) : digest;
        const bool isRsa = c.scheme != Scheme::Ecdsa;
        const CK_RSA_PKCS_PSS_PARAMS* pss = c.scheme == Scheme::Pss ? &c.pss : nullptr;
        std::vector<unsigned char> sig;
        ASSERT_EQ(sign(isRsa ? rsa : ec, c.mechanism, pss, data, sig), CKR_OK);
        EXPECT_EQ(sig.size(), isRsa ? 256u : 64u);
        EXPECT_TRUE(verifies(isRsa ? rsaPub.get() : ecPub.get(), c, sig, digest));
        if (!c.callerHashes) {
            ASSERT_EQ(sign(isRsa ? rsa : ec, c.mechanism, pss, data, sig, true), CKR_OK);
            EXPECT_TRUE(verifies(isRsa ? rsaPub.get() : ecPub.get(), c, sig, digest)) << "in parts";
        }
        // A signature over other data does not verify: the module signs what it is given.
        EXPECT_FALSE(verifies(isRsa ? rsaPub.get() : ecPub.get(), c, sig, digestOf(msg + ".", c.digest)));
    }
}

// P-384 keys are generated and sign with ECDSA (96-byte r || s); the mechanism information says
// which sizes the EC mechanisms take, and a curve the module does not know is refused.
TEST_F(SignatureTest, P384KeysAreGeneratedAndSign)
{
    PkeyPtr pub(nullptr, EVP_PKEY_free);
    const CK_OBJECT_HANDLE key = generate(false, pub, true);
    ASSERT_TRUE(pub);
    const std::string msg = "certificate request";
    const std::vector<unsigned char> digest = digestOf(msg, "SHA384");
    const Case cases[] = {{CKM_ECDSA, "SHA384", true, Scheme::Ecdsa, {}},
                          {CKM_ECDSA_SHA384, "SHA384", false, Scheme::Ecdsa, {}}};
    for (const Case& c : cases) {
        std::vector<unsigned char> sig;
        ASSERT_EQ(sign(key, c.mechanism, nullptr,
                       c.callerHashes ? digest : std::vector<unsigned char>(msg.begin(), msg.end()), sig),
                  CKR_OK);
        EXPECT_EQ(sig.size(), 96u);
        EXPECT_TRUE(verifies(pub.get(), c, sig, digest));
    }

    CK_MECHANISM_INFO info{};
    for (CK_MECHANISM_TYPE m : {CKM_EC_KEY_PAIR_GEN, CKM_ECDSA, CKM_ECDSA_SHA384}) {
        ASSERT_EQ(p->C_GetMechanismInfo(slot, m, &info), CKR_OK);
        EXPECT_EQ(info.ulMinKeySize, 256u);
        EXPECT_EQ(info.ulMaxKeySize, 384u);
    }
    ASSERT_EQ(p->C_GetMechanismInfo(slot, KEYSIM_CKM_SM2_SM3, &info), CKR_OK);
    EXPECT_EQ(info.ulMaxKeySize, 256u);

    CK_BBOOL yes = CK_TRUE;
    CK_BYTE p521[] = {0x06, 0x05, 0x2B, 0x81, 0x04, 0x00, 0x23};
    CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, p521, sizeof p521}};
    CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}};
    CK_MECHANISM gen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pubH = 0, privH = 0;
    EXPECT_EQ(p->C_GenerateKeyPair(h, &gen, pubT, 2, privT, 2, &pubH, &privH), CKR_CURVE_NOT_SUPPORTED);
}

TEST_F(SignatureTest, BadParametersAndMismatchedKeysAreRefused)
{
    PkeyPtr rsaPub(nullptr, EVP_PKEY_free), ecPub(nullptr, EVP_PKEY_free);
    const CK_OBJECT_HANDLE rsa = generate(true, rsaPub);
    const CK_OBJECT_HANDLE ec = generate(false, ecPub);
    const std::vector<unsigned char> digest = digestOf("data", "SHA256");
    std::vector<unsigned char> sig;

    // PSS needs its parameters, and they must agree with the mechanism and fit the key.
    EXPECT_EQ(sign(rsa, CKM_RSA_PKCS_PSS, nullptr, digest, sig), CKR_MECHANISM_PARAM_INVALID);
    const CK_RSA_PKCS_PSS_PARAMS sha384 = {CKM_SHA384, CKG_MGF1_SHA384, 48};
    EXPECT_EQ(sign(rsa, CKM_SHA256_RSA_PKCS_PSS, &sha384, digest, sig), CKR_MECHANISM_PARAM_INVALID);
    const CK_RSA_PKCS_PSS_PARAMS md5 = {CKM_MD5, CKG_MGF1_SHA256, 16};
    EXPECT_EQ(sign(rsa, CKM_RSA_PKCS_PSS, &md5, digest, sig), CKR_MECHANISM_PARAM_INVALID);
    const CK_RSA_PKCS_PSS_PARAMS hugeSalt = {CKM_SHA256, CKG_MGF1_SHA256, 256};
    EXPECT_EQ(sign(rsa, CKM_RSA_PKCS_PSS, &hugeSalt, digest, sig), CKR_MECHANISM_PARAM_INVALID);
    // A raw PSS signature takes exactly one digest of the named hash.
    EXPECT_EQ(sign(rsa, CKM_RSA_PKCS_PSS, &sha384, digest, sig), CKR_DATA_LEN_RANGE);
    // Parameters on a mechanism that takes none are refused rather than ignored.
    EXPECT_EQ(sign(rsa, CKM_SHA256_RSA_PKCS, &sha384, digest, sig), CKR_MECHANISM_PARAM_INVALID);
    // Key type and mechanism must belong together.
    EXPECT_EQ(sign(ec, CKM_RSA_PKCS_PSS, &sha384, digest, sig), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(sign(rsa, CKM_ECDSA_SHA384, nullptr, digest, sig), CKR_KEY_TYPE_INCONSISTENT);
    // Raw mechanisms sign in one part only.
    EXPECT_EQ(sign(ec, CKM_ECDSA, nullptr, digest, sig, true), CKR_FUNCTION_NOT_SUPPORTED);
    // After a refusal the session signs again.
    EXPECT_EQ(sign(ec, CKM_ECDSA, nullptr, digest, sig), CKR_OK);
}

} // namespace
