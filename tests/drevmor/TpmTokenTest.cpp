// SPDX-License-Identifier: Apache-2.0
// libDrevmor over a PKCS#12 stack it did not grow up with: tpm2-pkcs11 on a software TPM. The
// module takes only private data objects and no private key from outside, lists a spare slot,
// gives every token the same serial, has no PIN counter, answers a stopped TPM with
// CKR_GENERAL_ERROR until it is initialised again, and locks logins out for a while after wrong
// PINs. One TPM serves the whole suite; the tests run in order and leave the token as they found it.
#include "DrevmorTestSupport.h"
#include "drevmor.h"

#include "tests/common/TpmToken.h"

#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <memory>

using namespace drevmor_test;

namespace {

constexpr const char* kPin = "12345678";
constexpr const char* kLabel = "tpmkey";
constexpr int kDeviceRemoved = 0x32; // CKR_DEVICE_REMOVED: the programs take it for a key gone

class TpmTokenTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_skip = kx::test::TpmToken::missingTools();
        if (!s_skip.empty()) {
            s_skip = "not installed: " + s_skip;
            return;
        }
        s_tpm = std::make_unique<kx::test::TpmToken>();
        kx::test::TpmToken::Options options;
        options.label = kLabel;
        options.userPin = kPin;
        std::string error;
        // Three wrong PINs lock the TPM out for longer than the suite runs; clearLockout ends it.
        if (!s_tpm->start(options, error) || !s_tpm->setDictionaryAttack(3, 600) || !s_tpm->clearLockout())
            s_failed = error.empty() ? "the TPM's dictionary-attack settings were refused" : error;
    }
    static void TearDownTestSuite() { s_tpm.reset(); }

    void SetUp() override
    {
        if (!s_skip.empty())
            GTEST_SKIP() << s_skip;
        ASSERT_TRUE(s_failed.empty()) << s_failed;
        m_dir = std::make_unique<TempDir>();
        ASSERT_EQ(0, init_pkcs11(kx::test::TpmToken::kModule));
        ASSERT_EQ(1, findKeys());
        ASSERT_EQ(0, token_connect(0));
    }
    void TearDown() override { uninit_pkcs11(); }

    static int findKeys()
    {
        char buf[DRV_FIND_BUFFER_SIZE];
        int n = 32;
        const int rv = token_find(buf, &n);
        return rv == 0 ? n : -rv;
    }
    static void login()
    {
        int left = 0;
        ASSERT_EQ(0, token_login(0, kPin, &left));
    }
    static int caps()
    {
        unsigned long slot = 0;
        int bits = -1;
        EXPECT_EQ(0, token_get_caps(0, &slot, &bits));
        EXPECT_EQ(1u, slot); // the initialised token; the spare slot is 2
        return bits;
    }
    static Bytes request(const char* name, int spec)
    {
        Bytes der(DRV_REQUEST_BUFFER_SIZE);
        int length = static_cast<int>(der.size());
        EXPECT_EQ(
            0, container_create_request(0, name, spec, "TPM User", "KX", nullptr, "CN", nullptr, der.data(), &length));
        der.resize(static_cast<size_t>(length));
        return der;
    }

    static inline std::unique_ptr<kx::test::TpmToken> s_tpm;
    static inline std::string s_skip, s_failed;
    std::unique_ptr<TempDir> m_dir;
};

// The real token alone is a key; what it is and can do comes from its slot and token information.
TEST_F(TpmTokenTest, TokenIsTheOnlyKeyAndSaysWhatItCanDo)
{
    char serial[DRV_SERIAL_SIZE], label[DRV_LABEL_SIZE], maker[DRV_MANUFACTURER_SIZE], model[DRV_MODEL_SIZE];
    int v[10];
    ASSERT_EQ(0, token_get_info_ex(0, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                                   &v[7], &v[8], &v[9]));
    EXPECT_STREQ(kLabel, label);
    EXPECT_STREQ("0000000000000000", serial);
    EXPECT_EQ(1, v[8]);   // initialised
    EXPECT_EQ(0, caps()); // fixed, no label change, no PIN counter, no container seen yet
    int choices = 0;
    ASSERT_EQ(0, token_get_keygen_choices(0, &choices));
    EXPECT_EQ(DRV_KEYGEN_RSA2048 | DRV_KEYGEN_RSA3072 | DRV_KEYGEN_P256 | DRV_KEYGEN_P384, choices);
    int s[6];
    ASSERT_EQ(0, token_get_pin_state(0, 1, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5]));
    EXPECT_EQ(-1, s[0]);
    EXPECT_EQ(-1, s[1]);
    EXPECT_EQ(0, s[4]);
}

// The module takes only private data objects: the container's marker is private, seen after the
// login only, and the key says so.
TEST_F(TpmTokenTest, ContainerIsPrivateAndListedOnlyAfterTheLogin)
{
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_create_new(0, "private"));
    login();
    ASSERT_EQ(0, container_create_new(0, "private"));
    EXPECT_EQ(DRV_EXISTS, container_create_new(0, "private"));
    EXPECT_EQ(std::vector<std::string>{"private"}, containerNames(0));
    EXPECT_EQ(DRV_CAP_PRIVATE_MARKERS, caps());
    ASSERT_EQ(0, token_logout(0));
    int rv = -1;
    EXPECT_TRUE(containerNames(0, &rv).empty());
    EXPECT_EQ(0, rv);
    // Found on the key again after a restart of the module, which forgets what it had learned.
    ASSERT_EQ(0, token_restart_module());
    ASSERT_EQ(1, findKeys());
    ASSERT_EQ(0, token_connect(0));
    EXPECT_EQ(0, caps());
    login();
    EXPECT_EQ(std::vector<std::string>{"private"}, containerNames(0));
    EXPECT_EQ(DRV_CAP_PRIVATE_MARKERS, caps());
    EXPECT_EQ(0, container_delete(0, "private"));
    EXPECT_TRUE(containerNames(0).empty());
}

// A pair born in the TPM, its request signed there, the certificate a CA issued for it imported
// into that pair; before the login the pair's public objects do not pose as another tool's.
TEST_F(TpmTokenTest, GeneratedPairTakesTheCertificateIssuedForItsRequest)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "web"));
    ASSERT_EQ(0, container_generate_keypair(0, "web", DRV_KEYSPEC_EXCHANGE, DRV_KEYGEN_RSA2048));
    ASSERT_EQ(0, container_generate_keypair(0, "web", DRV_KEYSPEC_SIGNATURE, DRV_KEYGEN_P384));
    for (int spec : {DRV_KEYSPEC_EXCHANGE, DRV_KEYSPEC_SIGNATURE}) {
        const Bytes der = request("web", spec);
        const unsigned char* p = der.data();
        std::unique_ptr<X509_REQ, decltype(&X509_REQ_free)> req(
            d2i_X509_REQ(nullptr, &p, static_cast<long>(der.size())), X509_REQ_free);
        ASSERT_NE(nullptr, req);
        EVP_PKEY* key = X509_REQ_get0_pubkey(req.get());
        ASSERT_EQ(1, X509_REQ_verify(req.get(), key)) << "spec " << spec;

        const CertSpec subject{{{"CN", "TPM User"}}};
        Cert issued = makeCert(subject, key, pki().ca.get(), pki().caKey.get());
        const std::string file = m_dir->file("issued" + std::to_string(spec) + ".cer");
        writeFile(file, drevmor_test::der(issued.get()));
        ASSERT_EQ(0, x509_import_certificate(0, "web", spec, file.c_str()));
        char name[DRV_NAME_SIZE];
        int found = 0;
        const Bytes cert = drevmor_test::der(issued.get());
        ASSERT_EQ(0, container_find_by_cert(0, cert.data(), static_cast<int>(cert.size()), name, &found));
        EXPECT_STREQ("web", name);
        EXPECT_EQ(spec, found);
        EXPECT_EQ(cert, certOf(0, "web", spec));
    }
    ASSERT_EQ(0, token_logout(0));
    EXPECT_TRUE(containerNames(0).empty());
    login();
    EXPECT_EQ(0, container_delete(0, "web"));
    EXPECT_TRUE(containerNames(0).empty());
}

// The module refuses a private key from outside: the import says so and leaves nothing of it.
TEST_F(TpmTokenTest, Pkcs12ImportIsRefusedWritingNothing)
{
    const Pki& p = pki();
    const std::string file = m_dir->file("user.pfx");
    writeFile(file, pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {p.ca.get()}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    login();
    ASSERT_EQ(0, container_create_new(0, "imported"));
    EXPECT_EQ(DRV_PRIVATE_KEY_REFUSED, pkcs12_import_certificate(0, "imported", DRV_KEYSPEC_EXCHANGE, 0));
    ASSERT_EQ(0, token_reload_all_objects(0));
    int rv = 0, algorithm = 0, bits = 0, length = DRV_PUBKEY_BUFFER_SIZE;
    unsigned char key[DRV_PUBKEY_BUFFER_SIZE];
    certOf(0, "imported", DRV_KEYSPEC_EXCHANGE, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(DRV_NOT_FOUND,
              container_get_pubkey(0, "imported", DRV_KEYSPEC_EXCHANGE, &algorithm, &bits, key, &length));
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "imported", DRV_KEYSPEC_EXCHANGE, &algorithm));
    EXPECT_EQ(std::vector<std::string>{"imported"}, containerNames(0));
    EXPECT_EQ(0, container_delete(0, "imported"));
}

TEST_F(TpmTokenTest, PinIsChangedAndBack)
{
    login();
    ASSERT_EQ(0, token_change_upin(0, kPin, "87651234"));
    ASSERT_EQ(0, token_logout(0));
    int left = 0;
    EXPECT_EQ(0, token_login(0, "87651234", &left));
    ASSERT_EQ(0, token_change_upin(0, "87651234", kPin));
    ASSERT_EQ(0, token_logout(0));
    login();
}

// A stopped TPM leaves the module failing for good: the key is gone, token_find finds none; once
// the TPM is back, token_find starts the module again and the key works in this same process.
TEST_F(TpmTokenTest, StoppedTpmIsAGoneKeyUntilItIsBack)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "kept"));
    ASSERT_EQ(0, token_logout(0));
    s_tpm->stopTpm();
    int left = 0;
    EXPECT_EQ(kDeviceRemoved, token_login(0, kPin, &left));
    int rv = 0;
    containerNames(0, &rv);
    EXPECT_EQ(kDeviceRemoved, rv);
    EXPECT_EQ(0, findKeys());
    EXPECT_EQ(0, findKeys());
    ASSERT_TRUE(s_tpm->startTpm());
    ASSERT_EQ(1, findKeys());
    ASSERT_EQ(0, token_connect(0));
    login();
    EXPECT_EQ(std::vector<std::string>{"kept"}, containerNames(0));
    EXPECT_EQ(0, container_delete(0, "kept"));
}

// Wrong PINs end in the TPM's lockout, which is no locked PIN: it passes (here: is cleared) and
// the right PIN works again.
TEST_F(TpmTokenTest, WrongPinsEndInATemporaryLockout)
{
    int left = 0, rv = 0;
    for (int i = 0; i < 6 && rv != DRV_PIN_LOCKOUT; ++i) {
        rv = token_login(0, "00000000", &left);
        EXPECT_EQ(-1, left);
    }
    ASSERT_EQ(DRV_PIN_LOCKOUT, rv);
    EXPECT_EQ(DRV_PIN_LOCKOUT, token_login(0, kPin, &left));
    EXPECT_EQ(-1, left);
    int s[6];
    ASSERT_EQ(0, token_get_pin_state(0, 1, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5]));
    EXPECT_EQ(-1, s[0]);
    EXPECT_EQ(0, s[4]);
    ASSERT_TRUE(s_tpm->clearLockout());
    login();
}

} // namespace
