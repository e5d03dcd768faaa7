// SPDX-License-Identifier: Apache-2.0
// SM2 key pairs in the PKCS#11 module: stored from keys the openssl command made, or generated
// on the key; their signatures are checked by the openssl command with the certificate's key.
#include "KeysimTestSupport.h"
#include "keysim_ext.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace keysimtest;

namespace {

CK_BYTE kSm2Params[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
CK_BYTE kP256Params[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const std::string kPin = "11112222";
using Bytes = std::vector<CK_BYTE>;

class Sm2SigningTest : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        if (std::string(KEYSIM_OPENSSL).empty())
            GTEST_SKIP() << "openssl not available";
        m_work = m_dir + "/work";
        std::filesystem::create_directories(m_work);
        p = pkcs11();
        ASSERT_NE(p, nullptr);
        p->C_Finalize(nullptr);
        ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
        tool({"create", "--serial", "KSM2", "--pin", kPin});
        CK_SLOT_ID slot = 0;
        CK_ULONG n = 1;
        ASSERT_EQ(p->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        ASSERT_EQ(
            p->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(kPin.data())), kPin.size()),
            CKR_OK);
    }
    void TearDown() override
    {
        if (p)
            p->C_Finalize(nullptr);
        KeysimDirTest::TearDown();
    }

    // Runs the openssl command in the work folder; true when it exits with 0.
    bool openssl(const std::string& args)
    {
        ToolResult r = runCommand("cd " + quote(m_work) + " && " + quote(KEYSIM_OPENSSL) + " " + args);
        return r.exitCode == 0;
    }
    std::string path(const std::string& name) const { return m_work + "/" + name; }
    void write(const std::string& name, const Bytes& bytes)
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    Bytes read(const std::string& name)
    {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    // Stores the private key of a PEM file as a signature key of the given key type.
    CK_OBJECT_HANDLE storePrivateKey(const std::string& pemFile, CK_KEY_TYPE type, bool withParams)
    {
        FILE* f = std::fopen(path(pemFile).c_str(), "r");
        EXPECT_NE(f, nullptr);
        if (!f)
            return CK_INVALID_HANDLE;
        EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        BIGNUM* d = nullptr;
        EXPECT_EQ(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
        Bytes value(32);
        BN_bn2binpad(d, value.data(), 32);
        BN_clear_free(d);
        EVP_PKEY_free(key);
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_BBOOL yes = CK_TRUE;
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type},
                                       {CKA_TOKEN, &yes, 1},          {CKA_PRIVATE, &yes, 1},
                                       {CKA_SIGN, &yes, 1},           {CKA_VALUE, value.data(), value.size()}};
        if (withParams)
            t.push_back({CKA_EC_PARAMS, kSm2Params, sizeof kSm2Params});
        CK_OBJECT_HANDLE out = CK_INVALID_HANDLE;
        EXPECT_EQ(p->C_CreateObject(h, t.data(), t.size(), &out), CKR_OK);
        return out;
    }

    // Signs in one call or in parts; the r || s result as the DER the openssl command reads.
    Bytes sign(CK_MECHANISM mech, CK_OBJECT_HANDLE key, const Bytes& data, bool inParts = false)
    {
        EXPECT_EQ(p->C_SignInit(h, &mech, key), CKR_OK);
        CK_BYTE raw[64];
        CK_ULONG len = sizeof raw;
        if (inParts) {
            const CK_ULONG half = data.size() / 2;
            EXPECT_EQ(p->C_SignUpdate(h, const_cast<CK_BYTE*>(data.data()), half), CKR_OK);
            EXPECT_EQ(p->C_SignUpdate(h, const_cast<CK_BYTE*>(data.data()) + half, data.size() - half), CKR_OK);
            EXPECT_EQ(p->C_SignFinal(h, raw, &len), CKR_OK);
        } else {
            EXPECT_EQ(p->C_Sign(h, const_cast<CK_BYTE*>(data.data()), data.size(), raw, &len), CKR_OK);
        }
        EXPECT_EQ(len, 64u);
        ECDSA_SIG* sig = ECDSA_SIG_new();
        ECDSA_SIG_set0(sig, BN_bin2bn(raw, 32, nullptr), BN_bin2bn(raw + 32, 32, nullptr));
        unsigned char* der = nullptr;
        const int n = i2d_ECDSA_SIG(sig, &der);
        Bytes out(der, der + std::max(n, 0));
        OPENSSL_free(der);
        ECDSA_SIG_free(sig);
        return out;
    }

    CK_RV signInit(CK_MECHANISM_TYPE m, CK_OBJECT_HANDLE key, std::string parameter = {})
    {
        CK_MECHANISM mech = {m, parameter.empty() ? nullptr : parameter.data(), parameter.size()};
        return p->C_SignInit(h, &mech, key);
    }

    CK_FUNCTION_LIST* p = nullptr;
    CK_SESSION_HANDLE h = 0;
    std::string m_work;
};

TEST_F(Sm2SigningTest, StoredSm2KeysSignWhatOpensslVerifiesWithTheCertificate)
{
    ASSERT_TRUE(openssl("ecparam -genkey -name SM2 -noout -out sign.key"));
    ASSERT_TRUE(openssl("req -new -x509 -key sign.key -sm3 -subj /CN=signer -days 30 -out sign.pem"));
    ASSERT_TRUE(openssl("x509 -in sign.pem -pubkey -noout -out pub.pem"));
    const std::string message = "合同 No. 42, signed on the key";
    write("message.txt", Bytes(message.begin(), message.end()));
    ASSERT_TRUE(openssl("dgst -sm3 -binary -out digest.bin message.txt"));
    const Bytes digest = read("digest.bin");
    ASSERT_EQ(digest.size(), 32u);

    // Both ways a module names an SM2 key: EC on the SM2 curve, and the vendor key type.
    for (bool vendorType : {false, true}) {
        SCOPED_TRACE(vendorType ? "vendor key type" : "CKK_EC with SM2 parameters");
        CK_OBJECT_HANDLE key = storePrivateKey("sign.key", vendorType ? KEYSIM_CKK_SM2 : CKK_EC, !vendorType);

        // SM3 with the signer's identity digest Z: the default identity, in one call.
        write("default.sig", sign({KEYSIM_CKM_SM2_SM3, nullptr, 0}, key, Bytes(message.begin(), message.end())));
        EXPECT_TRUE(openssl("dgst -sm3 -verify pub.pem -sigopt "
                            "distid:1234567812345678 -signature default.sig message.txt"));
        // Z binds the identity: without it, or for another message, the signature fails.
        EXPECT_FALSE(openssl("dgst -sm3 -verify pub.pem -signature default.sig "
                             "message.txt"));
        EXPECT_FALSE(openssl("dgst -sm3 -verify pub.pem -sigopt "
                             "distid:1234567812345678 -signature default.sig digest.bin"));

        // A given identity, in parts.
        std::string id = "zhangsan@example.cn";
        write("id.sig",
              sign({KEYSIM_CKM_SM2_SM3, id.data(), id.size()}, key, Bytes(message.begin(), message.end()), true));
        EXPECT_TRUE(openssl("dgst -sm3 -verify pub.pem -sigopt "
                            "distid:zhangsan@example.cn -signature id.sig message.txt"));

        // A digest the caller computed, signed as it stands.
        write("digest.sig", sign({KEYSIM_CKM_SM2, nullptr, 0}, key, digest));
        EXPECT_TRUE(openssl("pkeyutl -verify -certin -inkey sign.pem -in digest.bin -sigfile digest.sig"));
    }
}

TEST_F(Sm2SigningTest, GeneratedSm2KeyPairsSignAndKeepToTheirMechanisms)
{
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, kSm2Params, sizeof kSm2Params}};
    CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}};
    CK_MECHANISM gen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(p->C_GenerateKeyPair(h, &gen, pubT, 2, privT, 2, &pub, &priv), CKR_OK);
    CK_BYTE point[80];
    CK_BYTE params[16];
    CK_ATTRIBUTE attrs[] = {{CKA_EC_POINT, point, sizeof point}, {CKA_EC_PARAMS, params, sizeof params}};
    ASSERT_EQ(p->C_GetAttributeValue(h, pub, attrs, 2), CKR_OK);
    ASSERT_EQ(attrs[0].ulValueLen, 67u);
    ASSERT_EQ(Bytes(params, params + attrs[1].ulValueLen), Bytes(std::begin(kSm2Params), std::end(kSm2Params)));
    CK_ATTRIBUTE privParams = {CKA_EC_PARAMS, params, sizeof params};
    ASSERT_EQ(p->C_GetAttributeValue(h, priv, &privParams, 1), CKR_OK);
    EXPECT_EQ(privParams.ulValueLen, sizeof kSm2Params);

    // The public key as a PEM file, for the openssl command.
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "SM2", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point + 2, 65);
    OSSL_PARAM* op = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr);
    EVP_PKEY* key = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, op), 1);
    FILE* f = std::fopen(path("pub.pem").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(PEM_write_PUBKEY(f, key), 1);
    std::fclose(f);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(op);
    OSSL_PARAM_BLD_free(bld);

    const Bytes data = {'d', 'a', 't', 'a'};
    write("data.bin", data);
    write("data.sig", sign({KEYSIM_CKM_SM2_SM3, nullptr, 0}, priv, data));
    EXPECT_TRUE(openssl("dgst -sm3 -verify pub.pem -sigopt distid:1234567812345678 -signature data.sig data.bin"));

    // The SM2 key signs with the SM2 mechanisms only; they take no other key.
    EXPECT_EQ(signInit(CKM_ECDSA, priv), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(signInit(CKM_ECDSA_SHA256, priv), CKR_KEY_TYPE_INCONSISTENT);
    CK_ATTRIBUTE p256T[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, kP256Params, sizeof kP256Params}};
    CK_OBJECT_HANDLE p256Pub = 0, p256Priv = 0;
    ASSERT_EQ(p->C_GenerateKeyPair(h, &gen, p256T, 2, privT, 2, &p256Pub, &p256Priv), CKR_OK);
    EXPECT_EQ(signInit(KEYSIM_CKM_SM2, p256Priv), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(signInit(KEYSIM_CKM_SM2_SM3, p256Priv), CKR_KEY_TYPE_INCONSISTENT);
    // A plain signature needs a 32-byte digest and takes no identity.
    EXPECT_EQ(signInit(KEYSIM_CKM_SM2, priv, "id"), CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(signInit(KEYSIM_CKM_SM2_SM3, priv, std::string(1025, 'x')), CKR_MECHANISM_PARAM_INVALID);
    ASSERT_EQ(signInit(KEYSIM_CKM_SM2, priv), CKR_OK);
    CK_BYTE shortDigest[20] = {};
    CK_BYTE sig[64];
    CK_ULONG len = sizeof sig;
    EXPECT_EQ(p->C_Sign(h, shortDigest, sizeof shortDigest, sig, &len), CKR_DATA_LEN_RANGE);
    ASSERT_EQ(signInit(KEYSIM_CKM_SM2, priv), CKR_OK);
    EXPECT_EQ(p->C_SignUpdate(h, shortDigest, sizeof shortDigest), CKR_FUNCTION_NOT_SUPPORTED);

    CK_ULONG count = 0;
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(p->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    ASSERT_EQ(p->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
    std::vector<CK_MECHANISM_TYPE> mechs(count);
    ASSERT_EQ(p->C_GetMechanismList(slot, mechs.data(), &count), CKR_OK);
    EXPECT_NE(std::find(mechs.begin(), mechs.end(), KEYSIM_CKM_SM2), mechs.end());
    EXPECT_NE(std::find(mechs.begin(), mechs.end(), KEYSIM_CKM_SM2_SM3), mechs.end());
}

} // namespace
