// SPDX-License-Identifier: Apache-2.0
// RSA decryption (PKCS#1 v1.5, OAEP) and ECDH derivation of the module, checked against OpenSSL:
// keys are made by OpenSSL in the test and put on the virtual key with C_CreateObject, so OpenSSL
// holds both halves and computes what the module must answer.
#include "KeysimTestSupport.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <memory>

using namespace keysimtest;

namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CtxPtr = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using Bytes = std::vector<unsigned char>;

const Bytes kP256 = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

Bytes bn(EVP_PKEY* k, const char* name)
{
    BIGNUM* v = nullptr;
    EVP_PKEY_get_bn_param(k, name, &v);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(v)));
    BN_bn2bin(v, out.data());
    BN_clear_free(v);
    return out;
}

Bytes ecPoint(EVP_PKEY* k)
{
    Bytes out(65);
    std::size_t n = 0;
    EVP_PKEY_get_octet_string_param(k, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &n);
    return out;
}

// OpenSSL's RSA encryption to `key` with PKCS#1 v1.5 (md null) or OAEP over md with a label.
Bytes opensslEncrypt(EVP_PKEY* key, const char* md, const std::string& label, const Bytes& msg)
{
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), EVP_PKEY_CTX_free);
    EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
    if (md) {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING);
        EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_get_digestbyname(md));
        EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_get_digestbyname(md));
        if (!label.empty())
            EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), OPENSSL_memdup(label.data(), label.size()),
                                             static_cast<int>(label.size()));
    } else {
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
    }
    Bytes out(512);
    std::size_t n = out.size();
    EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &n, msg.data(), msg.size()), 1);
    out.resize(n);
    return out;
}

Bytes opensslEcdh(EVP_PKEY* ours, EVP_PKEY* peer)
{
    CtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, ours, nullptr), EVP_PKEY_CTX_free);
    Bytes out(32);
    std::size_t n = out.size();
    EXPECT_EQ(EVP_PKEY_derive_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_derive_set_peer(ctx.get(), peer), 1);
    EXPECT_EQ(EVP_PKEY_derive(ctx.get(), out.data(), &n), 1);
    return out;
}

struct Oaep
{
    CK_RSA_PKCS_OAEP_PARAMS params;
    CK_MECHANISM m{};
    CK_MECHANISM* mech()
    {
        m = {CKM_RSA_PKCS_OAEP, &params, sizeof params};
        return &m;
    }
};

class DecryptDeriveTest : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        p = pkcs11();
        ASSERT_NE(p, nullptr);
        p->C_Finalize(nullptr);
        ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
        tool({"create", "--serial", "KDECRYPT", "--pin", "11112222"});
        CK_ULONG n = 1;
        ASSERT_EQ(p->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
        ASSERT_EQ(p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
        std::string pin = "11112222";
        ASSERT_EQ(p->C_Login(h, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()), CKR_OK);
    }
    void TearDown() override
    {
        p->C_Finalize(nullptr);
        KeysimDirTest::TearDown();
    }

    // Puts the OpenSSL key on the virtual key as a session object with the usage flag given.
    CK_OBJECT_HANDLE put(EVP_PKEY* key, CK_OBJECT_CLASS cls, CK_ATTRIBUTE_TYPE usage, bool allowed)
    {
        const bool rsa = EVP_PKEY_is_a(key, "RSA");
        CK_KEY_TYPE type = rsa ? CKK_RSA : CKK_EC;
        CK_BBOOL flag = allowed ? CK_TRUE : CK_FALSE;
        std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> parts;
        if (rsa) {
            parts = {{CKA_MODULUS, bn(key, OSSL_PKEY_PARAM_RSA_N)},
                     {CKA_PUBLIC_EXPONENT, bn(key, OSSL_PKEY_PARAM_RSA_E)}};
            if (cls == CKO_PRIVATE_KEY)
                parts.insert(parts.end(), {{CKA_PRIVATE_EXPONENT, bn(key, OSSL_PKEY_PARAM_RSA_D)},
                                           {CKA_PRIME_1, bn(key, OSSL_PKEY_PARAM_RSA_FACTOR1)},
                                           {CKA_PRIME_2, bn(key, OSSL_PKEY_PARAM_RSA_FACTOR2)},
                                           {CKA_EXPONENT_1, bn(key, OSSL_PKEY_PARAM_RSA_EXPONENT1)},
                                           {CKA_EXPONENT_2, bn(key, OSSL_PKEY_PARAM_RSA_EXPONENT2)},
                                           {CKA_COEFFICIENT, bn(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)}});
        } else {
            parts = {{CKA_EC_PARAMS, kP256}, {CKA_VALUE, bn(key, OSSL_PKEY_PARAM_PRIV_KEY)}};
        }
        std::vector<CK_ATTRIBUTE> t = {
            {CKA_CLASS, &cls, sizeof cls}, {CKA_KEY_TYPE, &type, sizeof type}, {usage, &flag, 1}};
        for (auto& [a, v] : parts)
            t.push_back({a, v.data(), v.size()});
        CK_OBJECT_HANDLE o = 0;
        EXPECT_EQ(p->C_CreateObject(h, t.data(), t.size(), &o), CKR_OK);
        return o;
    }

    // C_DecryptInit and C_Decrypt into a buffer of the size the module names.
    CK_RV decrypt(CK_OBJECT_HANDLE key, CK_MECHANISM mech, Bytes in, Bytes& out)
    {
        if (CK_RV rv = p->C_DecryptInit(h, &mech, key); rv != CKR_OK)
            return rv;
        CK_ULONG n = 0;
        if (CK_RV rv = p->C_Decrypt(h, in.data(), in.size(), nullptr, &n); rv != CKR_OK)
            return rv;
        out.assign(n, 0);
        CK_RV rv = p->C_Decrypt(h, in.data(), in.size(), out.data(), &n);
        out.resize(rv == CKR_OK ? n : 0);
        return rv;
    }

    // C_DeriveKey with CKM_ECDH1_DERIVE; the value of the new key, readable by the template.
    CK_RV derive(CK_OBJECT_HANDLE base, CK_ECDH1_DERIVE_PARAMS params, CK_KEY_TYPE type, CK_ULONG len, Bytes& value)
    {
        CK_MECHANISM m = {CKM_ECDH1_DERIVE, &params, sizeof params};
        CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
        CK_OBJECT_CLASS cls = CKO_SECRET_KEY;
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                       {CKA_KEY_TYPE, &type, sizeof type},
                                       {CKA_SENSITIVE, &no, 1},
                                       {CKA_EXTRACTABLE, &yes, 1}};
        if (len)
            t.push_back({CKA_VALUE_LEN, &len, sizeof len});
        CK_OBJECT_HANDLE key = 0;
        if (CK_RV rv = p->C_DeriveKey(h, &m, base, t.data(), t.size(), &key); rv != CKR_OK)
            return rv;
        value.assign(64, 0);
        CK_BBOOL token = CK_TRUE;
        CK_ATTRIBUTE read[] = {{CKA_VALUE, value.data(), value.size()}, {CKA_TOKEN, &token, 1}};
        EXPECT_EQ(p->C_GetAttributeValue(h, key, read, 2), CKR_OK);
        EXPECT_EQ(token, CK_FALSE) << "a derived key is a session object unless asked otherwise";
        value.resize(read[0].ulValueLen);
        return CKR_OK;
    }

    CK_FUNCTION_LIST* p = nullptr;
    CK_SLOT_ID slot = 0;
    CK_SESSION_HANDLE h = 0;
};

TEST_F(DecryptDeriveTest, RsaDecryptsWhatOpenSslEncryptedAndEncryptsForIt)
{
    PkeyPtr key(EVP_RSA_gen(2048), EVP_PKEY_free);
    const CK_OBJECT_HANDLE priv = put(key.get(), CKO_PRIVATE_KEY, CKA_DECRYPT, true);
    const CK_OBJECT_HANDLE pub = put(key.get(), CKO_PUBLIC_KEY, CKA_ENCRYPT, true);
    const Bytes msg = {'s', '/', 'm', 'i', 'm', 'e', ' ', 'c', 'e', 'k'};
    std::string label = "envelope";

    // Listed once each, with their flags; CKM_RSA_PKCS keeps signing as well.
    std::vector<CK_MECHANISM_TYPE> listed(64);
    CK_ULONG count = listed.size();
    ASSERT_EQ(p->C_GetMechanismList(slot, listed.data(), &count), CKR_OK);
    listed.resize(count);
    for (CK_MECHANISM_TYPE m : {CKM_RSA_PKCS, CKM_RSA_PKCS_OAEP, CKM_ECDH1_DERIVE})
        EXPECT_EQ(std::count(listed.begin(), listed.end(), m), 1) << m;
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(p->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info), CKR_OK);
    EXPECT_EQ(info.flags & (CKF_SIGN | CKF_DECRYPT | CKF_ENCRYPT), CKF_SIGN | CKF_DECRYPT | CKF_ENCRYPT);
    ASSERT_EQ(p->C_GetMechanismInfo(slot, CKM_RSA_PKCS_OAEP, &info), CKR_OK);
    EXPECT_EQ(info.flags & (CKF_SIGN | CKF_DECRYPT | CKF_ENCRYPT), CKF_DECRYPT | CKF_ENCRYPT);
    EXPECT_EQ(info.ulMaxKeySize, 4096u);

    Bytes out;
    CK_MECHANISM v15 = {CKM_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(decrypt(priv, v15, opensslEncrypt(key.get(), nullptr, "", msg), out), CKR_OK);
    EXPECT_EQ(out, msg);
    Oaep sha1{{CKM_SHA_1, CKG_MGF1_SHA1, CKZ_DATA_SPECIFIED, nullptr, 0}};
    ASSERT_EQ(decrypt(priv, *sha1.mech(), opensslEncrypt(key.get(), "SHA1", "", msg), out), CKR_OK);
    EXPECT_EQ(out, msg);
    Oaep sha256{{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(), label.size()}};
    ASSERT_EQ(decrypt(priv, *sha256.mech(), opensslEncrypt(key.get(), "SHA256", label, msg), out), CKR_OK);
    EXPECT_EQ(out, msg);

    // A buffer too small gets the exact length and keeps the operation for the second call.
    Bytes ct = opensslEncrypt(key.get(), nullptr, "", msg);
    ASSERT_EQ(p->C_DecryptInit(h, &v15, priv), CKR_OK);
    EXPECT_EQ(p->C_DecryptInit(h, &v15, priv), CKR_OPERATION_ACTIVE);
    Bytes small(4);
    CK_ULONG n = small.size();
    ASSERT_EQ(p->C_Decrypt(h, ct.data(), ct.size(), small.data(), &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, msg.size());
    out.assign(n, 0);
    ASSERT_EQ(p->C_Decrypt(h, ct.data(), ct.size(), out.data(), &n), CKR_OK);
    EXPECT_EQ(out, msg);
    EXPECT_EQ(p->C_Decrypt(h, ct.data(), ct.size(), out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);

    // The public half encrypts inside the module, and the private half opens it again.
    ASSERT_EQ(p->C_EncryptInit(h, sha256.mech(), pub), CKR_OK);
    n = 0;
    ASSERT_EQ(p->C_Encrypt(h, const_cast<CK_BYTE*>(msg.data()), msg.size(), nullptr, &n), CKR_OK);
    ASSERT_EQ(n, 256u);
    ct.assign(n, 0);
    ASSERT_EQ(p->C_Encrypt(h, const_cast<CK_BYTE*>(msg.data()), msg.size(), ct.data(), &n), CKR_OK);
    ASSERT_EQ(decrypt(priv, *sha256.mech(), ct, out), CKR_OK);
    EXPECT_EQ(out, msg);
    Bytes tooLong(256 - 2 * 32 - 1, 'x');
    ASSERT_EQ(p->C_EncryptInit(h, sha256.mech(), pub), CKR_OK);
    EXPECT_EQ(p->C_Encrypt(h, tooLong.data(), tooLong.size(), ct.data(), &n), CKR_DATA_LEN_RANGE);
}

TEST_F(DecryptDeriveTest, RsaDecryptRefusesBadInputKeysAndParameters)
{
    PkeyPtr key(EVP_RSA_gen(2048), EVP_PKEY_free), other(EVP_RSA_gen(2048), EVP_PKEY_free);
    const CK_OBJECT_HANDLE priv = put(key.get(), CKO_PRIVATE_KEY, CKA_DECRYPT, true);
    const CK_OBJECT_HANDLE signOnly = put(key.get(), CKO_PRIVATE_KEY, CKA_DECRYPT, false);
    const CK_OBJECT_HANDLE pub = put(key.get(), CKO_PUBLIC_KEY, CKA_ENCRYPT, true);
    const Bytes msg(24, 0x5a);
    CK_MECHANISM v15 = {CKM_RSA_PKCS, nullptr, 0};
    std::string label = "L";
    Oaep oaep{{CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, label.data(), label.size()}};
    Bytes out;

    // Ciphertext for another key, corrupted, under another label, or of the wrong length.
    EXPECT_EQ(decrypt(priv, v15, opensslEncrypt(other.get(), nullptr, "", msg), out), CKR_ENCRYPTED_DATA_INVALID);
    Bytes bad = opensslEncrypt(key.get(), nullptr, "", msg);
    bad[100] ^= 0x01;
    EXPECT_EQ(decrypt(priv, v15, bad, out), CKR_ENCRYPTED_DATA_INVALID);
    bad = opensslEncrypt(key.get(), "SHA256", label, msg);
    bad[7] ^= 0x80;
    EXPECT_EQ(decrypt(priv, *oaep.mech(), bad, out), CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(decrypt(priv, *oaep.mech(), opensslEncrypt(key.get(), "SHA256", "M", msg), out),
              CKR_ENCRYPTED_DATA_INVALID);
    EXPECT_EQ(decrypt(priv, v15, Bytes(255, 1), out), CKR_ENCRYPTED_DATA_LEN_RANGE);
    // A failed decryption ends the operation.
    CK_ULONG n = 256;
    out.assign(n, 0);
    EXPECT_EQ(p->C_Decrypt(h, bad.data(), bad.size(), out.data(), &n), CKR_OPERATION_NOT_INITIALIZED);

    // The key must allow decryption and be a private RSA key.
    EXPECT_EQ(p->C_DecryptInit(h, &v15, signOnly), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(p->C_DecryptInit(h, &v15, pub), CKR_KEY_TYPE_INCONSISTENT);
    EXPECT_EQ(p->C_EncryptInit(h, &v15, priv), CKR_KEY_TYPE_INCONSISTENT);

    // OAEP parameters: known hashes and MGF1, a label where the length says, the right size.
    const std::vector<CK_RSA_PKCS_OAEP_PARAMS> wrong = {
        {CKM_MD5, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 0},
        {CKM_SHA256, 0x99, CKZ_DATA_SPECIFIED, nullptr, 0},
        {CKM_SHA256, CKG_MGF1_SHA256, 7, nullptr, 0},
        {CKM_SHA256, CKG_MGF1_SHA256, CKZ_DATA_SPECIFIED, nullptr, 4},
    };
    for (const CK_RSA_PKCS_OAEP_PARAMS& w : wrong) {
        Oaep o{w};
        EXPECT_EQ(p->C_DecryptInit(h, o.mech(), priv), CKR_MECHANISM_PARAM_INVALID) << w.hashAlg << " " << w.mgf;
    }
    CK_MECHANISM shortParams = {CKM_RSA_PKCS_OAEP, &oaep.params, sizeof oaep.params - 1};
    EXPECT_EQ(p->C_DecryptInit(h, &shortParams, priv), CKR_MECHANISM_PARAM_INVALID);
    CK_MECHANISM v15WithParams = {CKM_RSA_PKCS, &oaep.params, sizeof oaep.params};
    EXPECT_EQ(p->C_DecryptInit(h, &v15WithParams, priv), CKR_MECHANISM_PARAM_INVALID);

    // Without a login the private key cannot decrypt, also when the logout follows C_DecryptInit.
    ASSERT_EQ(p->C_DecryptInit(h, &v15, priv), CKR_OK);
    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_EQ(p->C_Decrypt(h, bad.data(), bad.size(), out.data(), &n), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(p->C_DecryptInit(h, &v15, priv), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(DecryptDeriveTest, EcdhDerivesTheSecretOpenSslComputes)
{
    PkeyPtr ours(EVP_EC_gen("prime256v1"), EVP_PKEY_free), peer(EVP_EC_gen("prime256v1"), EVP_PKEY_free);
    const CK_OBJECT_HANDLE base = put(ours.get(), CKO_PRIVATE_KEY, CKA_DERIVE, true);
    const Bytes expected = opensslEcdh(peer.get(), ours.get());
    ASSERT_EQ(expected, opensslEcdh(ours.get(), peer.get()));
    CK_MECHANISM_INFO info{};
    ASSERT_EQ(p->C_GetMechanismInfo(slot, CKM_ECDH1_DERIVE, &info), CKR_OK);
    EXPECT_TRUE(info.flags & CKF_DERIVE);

    // The peer's point bare or inside a DER OCTET STRING, as different clients send it.
    Bytes point = ecPoint(peer.get());
    Bytes der = {0x04, 65};
    der.insert(der.end(), point.begin(), point.end());
    Bytes value;
    for (Bytes* pub : {&point, &der}) {
        ASSERT_EQ(derive(base, {CKD_NULL, 0, nullptr, pub->size(), pub->data()}, CKK_GENERIC_SECRET, 0, value), CKR_OK);
        EXPECT_EQ(value, expected);
    }
    // A shorter AES key keeps the secret's trailing bytes.
    ASSERT_EQ(derive(base, {CKD_NULL, 0, nullptr, point.size(), point.data()}, CKK_AES, 16, value), CKR_OK);
    EXPECT_EQ(value, Bytes(expected.end() - 16, expected.end()));

    // X9.63 with SHA-256: SHA-256(Z || 00000001 || shared data) for one block.
    Bytes shared = {'k', 'x'};
    Bytes input = expected;
    input.insert(input.end(), {0, 0, 0, 1, 'k', 'x'});
    Bytes kdf(32);
    EVP_Digest(input.data(), input.size(), kdf.data(), nullptr, EVP_sha256(), nullptr);
    ASSERT_EQ(derive(base, {CKD_SHA256_KDF, shared.size(), shared.data(), point.size(), point.data()},
                     CKK_GENERIC_SECRET, 32, value),
              CKR_OK);
    EXPECT_EQ(value, kdf);
}

TEST_F(DecryptDeriveTest, EcdhRefusesBadPointsParametersAndKeys)
{
    PkeyPtr ours(EVP_EC_gen("prime256v1"), EVP_PKEY_free), peer(EVP_EC_gen("prime256v1"), EVP_PKEY_free);
    PkeyPtr rsa(EVP_RSA_gen(1024), EVP_PKEY_free);
    const CK_OBJECT_HANDLE base = put(ours.get(), CKO_PRIVATE_KEY, CKA_DERIVE, true);
    const CK_OBJECT_HANDLE noDerive = put(ours.get(), CKO_PRIVATE_KEY, CKA_DERIVE, false);
    const CK_OBJECT_HANDLE rsaKey = put(rsa.get(), CKO_PRIVATE_KEY, CKA_DERIVE, true);
    Bytes point = ecPoint(peer.get()), value;
    const CK_ECDH1_DERIVE_PARAMS ok = {CKD_NULL, 0, nullptr, point.size(), point.data()};

    EXPECT_EQ(derive(noDerive, ok, CKK_GENERIC_SECRET, 0, value), CKR_KEY_FUNCTION_NOT_PERMITTED);
    EXPECT_EQ(derive(rsaKey, ok, CKK_GENERIC_SECRET, 0, value), CKR_KEY_TYPE_INCONSISTENT);
    Bytes offCurve = point;
    offCurve[64] ^= 0x01;
    EXPECT_EQ(derive(base, {CKD_NULL, 0, nullptr, offCurve.size(), offCurve.data()}, CKK_GENERIC_SECRET, 0, value),
              CKR_MECHANISM_PARAM_INVALID);
    Bytes shared = {1};
    EXPECT_EQ(derive(base, {CKD_NULL, 1, shared.data(), point.size(), point.data()}, CKK_GENERIC_SECRET, 0, value),
              CKR_MECHANISM_PARAM_INVALID);
    EXPECT_EQ(derive(base, {0x99, 0, nullptr, point.size(), point.data()}, CKK_GENERIC_SECRET, 0, value),
              CKR_MECHANISM_PARAM_INVALID);
    // Key lengths: AES sizes only, no longer than the raw secret, and a KDF needs one named.
    EXPECT_EQ(derive(base, ok, CKK_AES, 20, value), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(derive(base, ok, CKK_GENERIC_SECRET, 33, value), CKR_TEMPLATE_INCONSISTENT);
    EXPECT_EQ(derive(base, {CKD_SHA256_KDF, 0, nullptr, point.size(), point.data()}, CKK_GENERIC_SECRET, 0, value),
              CKR_TEMPLATE_INCOMPLETE);

    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_EQ(derive(base, ok, CKK_GENERIC_SECRET, 0, value), CKR_USER_NOT_LOGGED_IN);
}

} // namespace
