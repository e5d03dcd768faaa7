// SPDX-License-Identifier: Apache-2.0
// Key pairs born on the key, over keysim and SoftHSM2: the choices a module offers, generation
// with the private key kept on the key, and the refusals.
#include "DrevmorTestSupport.h"
#include "ModuleKeyFixture.h"
#include "RealModule.h"
#include "drevmor.h"

#include <gtest/gtest.h>

using namespace drevmor_test;

namespace {

class KeyGeneration : public ModuleKeyTest
{
protected:
    struct PublicKey
    {
        int algorithm = 0, bits = 0;
    };
    static int publicKey(const char* name, int spec, PublicKey& out)
    {
        unsigned char buf[DRV_PUBKEY_BUFFER_SIZE];
        int length = DRV_PUBKEY_BUFFER_SIZE;
        return container_get_pubkey(0, name, spec, &out.algorithm, &out.bits, buf, &length);
    }
};

// Both modules generate RSA and P-256 pairs; keysim also P-384 and SM2. The private key stays
// on the key: sensitive, never extractable, as the module itself reports it.
TEST_P(KeyGeneration, OfferedChoicesGenerateProtectedPairs)
{
    int choices = -1;
    ASSERT_EQ(0, token_get_keygen_choices(0, &choices));
    const int common = DRV_KEYGEN_RSA2048 | DRV_KEYGEN_RSA3072 | DRV_KEYGEN_RSA4096 | DRV_KEYGEN_P256 | DRV_KEYGEN_P384;
    if (GetParam().keysim)
        EXPECT_EQ(common | DRV_KEYGEN_SM2, choices);
    else
        EXPECT_EQ(common, choices);

    login();
    ASSERT_EQ(0, container_create_new(0, "born"));
    ASSERT_EQ(0, container_generate_keypair(0, "born", DRV_KEYSPEC_EXCHANGE, DRV_KEYGEN_RSA2048));
    ASSERT_EQ(0, container_generate_keypair(0, "born", DRV_KEYSPEC_SIGNATURE, DRV_KEYGEN_P256));
    PublicKey rsa, ec;
    ASSERT_EQ(0, publicKey("born", 1, rsa));
    EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, rsa.algorithm);
    EXPECT_EQ(2048, rsa.bits);
    ASSERT_EQ(0, publicKey("born", 2, ec));
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, ec.algorithm);
    EXPECT_EQ(256, ec.bits);
    int value = 0;
    EXPECT_EQ(0, container_get_prikey(0, "born", 1, &value));
    EXPECT_EQ(0, container_get_prikey(0, "born", 2, &value));
    EXPECT_EQ(std::vector<std::string>{"born"}, containerNames(0));

    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    const auto privs = real.objects(CKO_PRIVATE_KEY);
    ASSERT_EQ(2u, privs.size());
    for (CK_OBJECT_HANDLE h : privs) {
        EXPECT_EQ(1, real.flag(h, CKA_SENSITIVE));
        EXPECT_EQ(0, real.flag(h, CKA_EXTRACTABLE));
        EXPECT_EQ(1, real.flag(h, CKA_TOKEN));
        EXPECT_EQ(1, real.flag(h, CKA_PRIVATE));
    }
    // A pair that holds keys is not generated over.
    EXPECT_EQ(DRV_EXISTS, container_generate_keypair(0, "born", 1, DRV_KEYGEN_P256));
    EXPECT_EQ(2u, real.objects(CKO_PRIVATE_KEY).size());
}

TEST_P(KeyGeneration, RefusalsLeaveTheKeyAsItWas)
{
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_generate_keypair(0, "none", 1, DRV_KEYGEN_P256));
    login();
    EXPECT_EQ(DRV_NOT_FOUND, container_generate_keypair(0, "none", 1, DRV_KEYGEN_P256));
    ASSERT_EQ(0, container_create_new(0, "c"));
    for (int bad : {0, DRV_KEYGEN_P256 | DRV_KEYGEN_RSA2048, 0x40, -1})
        EXPECT_EQ(DRV_INVALID_PARAM, container_generate_keypair(0, "c", 1, bad)) << bad;
    EXPECT_EQ(DRV_INVALID_PARAM, container_generate_keypair(0, "c", 3, DRV_KEYGEN_P256));
    if (!GetParam().keysim) {
        // SoftHSM2 has no SM2: refused before anything reaches the key.
        EXPECT_EQ(DRV_MECHANISM_MISSING, container_generate_keypair(0, "c", 1, DRV_KEYGEN_SM2));
    }
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    EXPECT_TRUE(real.objects(CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_PUBLIC_KEY).empty());
}

INSTANTIATE_TEST_SUITE_P(Modules, KeyGeneration, ::testing::ValuesIn(testModules()), moduleTestName);

} // namespace
