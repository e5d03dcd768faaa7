// SPDX-License-Identifier: Apache-2.0
// The token library against real PKCS#11 modules: keysim (with its vendor extensions) and
// SoftHSM2 (plain PKCS#11). Each test gets a fresh key in a temporary folder.
#include "DrevmorTestSupport.h"
#include "ModuleKeyFixture.h"
#include "drevmor.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <openssl/bn.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

using namespace drevmor_test;

namespace {

// Info fields of token_get_info_ex.
struct Info
{
    char serial[DRV_SERIAL_SIZE] = {}, label[DRV_LABEL_SIZE] = {};
    char manufacturer[DRV_MANUFACTURER_SIZE] = {}, model[DRV_MODEL_SIZE] = {};
    int maxPin = 0, minPin = 0, soMax = 0, soMin = 0, total = 0, free = 0, hw = 0, fw = 0, init = 0, reserved = 7;
    int read(int key)
    {
        return token_get_info_ex(key, serial, label, manufacturer, model, &maxPin, &minPin, &soMax, &soMin, &total,
                                 &free, &hw, &fw, &init, &reserved);
    }
};

struct PinState
{
    int s[6] = {9, 9, 9, 9, 9, 9};
    int read(int key) { return token_get_pin_state(key, 1, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5]); }
};

class TokenModuleTest : public ModuleKeyTest
{};

TEST_P(TokenModuleTest, EnumeratesAndDescribesTheKey)
{
    Info info;
    ASSERT_EQ(0, info.read(0));
    EXPECT_STREQ("Test Key", info.label);
    EXPECT_EQ(1, info.init);
    EXPECT_EQ(0, info.reserved);
    EXPECT_GT(info.maxPin, 0);
    EXPECT_GE(info.total, 0);
    EXPECT_GE(info.free, 0);
    if (GetParam().keysim) {
        EXPECT_STREQ(kSerial, info.serial); // the full serial, through the vendor extension
        EXPECT_STREQ("KX Maker", info.manufacturer);
        EXPECT_STREQ("KX2700", info.model);
        EXPECT_EQ(6, info.minPin);
        EXPECT_EQ(16, info.maxPin);
        EXPECT_EQ(8, info.soMin);
        EXPECT_EQ(12, info.soMax);
        EXPECT_EQ(2 * 256 + 5, info.hw);
        EXPECT_EQ(1 * 256 + 10, info.fw);
        EXPECT_EQ(65536, info.total);
        EXPECT_LE(info.free, 61440);
        EXPECT_GT(info.free, 0);
    } else {
        EXPECT_GT(std::strlen(info.serial), 0u);
        EXPECT_EQ(nullptr, std::strchr(info.serial, ' ')); // padding trimmed
        EXPECT_STREQ("SoftHSM project", info.manufacturer);
    }
    // Indexes outside the last enumeration are refused.
    EXPECT_EQ(DRV_INVALID_PARAM, info.read(expectedKeys()));
    EXPECT_EQ(DRV_INVALID_PARAM, info.read(-1));
    EXPECT_EQ(DRV_INVALID_PARAM, token_connect(expectedKeys()));
}

// keysim's keys are USB keys with the vendor extensions; SoftHSM2's token is a fixed slot
// without them. A USB key that is not initialised is still a key (its user is told to have it
// initialised); SoftHSM2's spare slot is not (the fixture counts one key).
TEST_P(TokenModuleTest, CapsTellWhatTheKeyCanDo)
{
    unsigned long slot = 99;
    int caps = -1;
    ASSERT_EQ(0, token_get_caps(0, &slot, &caps));
    if (!GetParam().keysim) {
        EXPECT_EQ(0, caps);
        return;
    }
    EXPECT_EQ(DRV_CAP_REMOVABLE | DRV_CAP_SET_LABEL | DRV_CAP_PIN_COUNTER, caps);
    ASSERT_EQ(0, keysim({"create", "--serial", "KXBLANK0001", "--uninitialised"}));
    ASSERT_EQ(2, findKeys());
    ASSERT_EQ(0, token_connect(1));
    Info blank;
    ASSERT_EQ(0, blank.read(1));
    EXPECT_EQ(0, blank.init);
    unsigned long blankSlot = slot;
    ASSERT_EQ(0, token_get_caps(1, &blankSlot, &caps));
    EXPECT_NE(slot, blankSlot);
    EXPECT_EQ(DRV_INVALID_PARAM, token_get_caps(2, &slot, &caps));
    EXPECT_EQ(DRV_INVALID_PARAM, token_get_caps(0, nullptr, &caps));
}

TEST_P(TokenModuleTest, LoginReportsRetriesAndAcceptsTheRightPin)
{
    int left = 99;
    EXPECT_NE(0, token_login(0, "000000", &left));
    PinState st;
    ASSERT_EQ(0, st.read(0));
    if (GetParam().keysim) {
        EXPECT_EQ(5, left);
        EXPECT_EQ(5, st.s[0]);
        EXPECT_EQ(6, st.s[1]);
    } else {
        EXPECT_EQ(-1, left); // plain PKCS#11 cannot tell the count
        EXPECT_EQ(-1, st.s[0]);
        EXPECT_EQ(-1, st.s[1]);
    }
    EXPECT_EQ(0, st.s[2]);
    EXPECT_EQ(0, st.s[3]);
    EXPECT_EQ(0, st.s[4]);

    EXPECT_EQ(0, token_login(0, kPin, &left));
    EXPECT_EQ(0, token_login(0, kPin, &left)); // already logged in counts as success
    if (GetParam().keysim) {
        EXPECT_EQ(6, left);
        ASSERT_EQ(0, st.read(0));
        EXPECT_EQ(6, st.s[0]);
    }
    // Re-initialising with the same module keeps the session and its login.
    ASSERT_EQ(0, init_pkcs11(GetParam().module.c_str()));
    EXPECT_EQ(0, container_create_new(0, "after reinit"));
    EXPECT_EQ(0, token_logout(0));
    EXPECT_EQ(0, token_logout(0));
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_create_new(0, "after logout"));
    EXPECT_EQ(DRV_INVALID_PARAM, token_login(0, kPin, nullptr));
}

TEST_P(TokenModuleTest, LockedPinReportsZeroRetries)
{
    if (!GetParam().keysim)
        GTEST_SKIP() << "SoftHSM2 does not lock PINs";
    int left = 99;
    for (int i = 0; i < 6; ++i)
        token_login(0, "999999", &left);
    EXPECT_EQ(0, left);
    EXPECT_NE(0, token_login(0, kPin, &left));
    EXPECT_EQ(0, left);
    PinState st;
    ASSERT_EQ(0, st.read(0));
    EXPECT_EQ(0, st.s[0]);
    EXPECT_EQ(1, st.s[4]);
}

TEST_P(TokenModuleTest, ChangesThePin)
{
    PinState st;
    ASSERT_EQ(0, st.read(0));
    if (GetParam().keysim) {
        EXPECT_EQ(1, st.s[5]); // still the initial PIN
    }
    ASSERT_EQ(0, token_change_upin(0, kPin, "654321"));
    int left = 0;
    EXPECT_NE(0, token_login(0, kPin, &left));
    EXPECT_EQ(0, token_login(0, "654321", &left));
    ASSERT_EQ(0, st.read(0));
    EXPECT_EQ(0, st.s[5]);
    token_logout(0);
    EXPECT_NE(0, token_change_upin(0, "wrong-old", "111111"));
    EXPECT_EQ(DRV_INVALID_PARAM, token_change_upin(0, nullptr, "111111"));
}

TEST_P(TokenModuleTest, SetsTheLabelThroughTheVendorExtensionOnly)
{
    // A full 64-byte field without a terminator, followed by bytes that must not be read.
    char field[80];
    std::memset(field, 'L', sizeof field);
    std::memcpy(field, "Renamed key ", 12);
    int rv = token_set_label(0, field);
    if (!GetParam().keysim) {
        EXPECT_EQ(0x54, rv); // CKR_FUNCTION_NOT_SUPPORTED
        return;
    }
    ASSERT_EQ(0, rv);
    Info info;
    ASSERT_EQ(0, info.read(0));
    EXPECT_EQ(std::string(field, 64), info.label);
}

TEST_P(TokenModuleTest, ContainersKeepTheirNamesWithSpaces)
{
    login();
    EXPECT_TRUE(containerNames(0).empty());
    ASSERT_EQ(0, container_create_new(0, "My Container 1"));
    ASSERT_EQ(0, container_create_new(0, " padded "));
    EXPECT_EQ(DRV_EXISTS, container_create_new(0, "My Container 1"));
    EXPECT_EQ(DRV_INVALID_PARAM, container_create_new(0, ""));
    std::string longName(300, 'x');
    EXPECT_EQ(DRV_INVALID_PARAM, container_create_new(0, longName.c_str()));
    auto names = containerNames(0);
    EXPECT_EQ((std::vector<std::string>{" padded ", "My Container 1"}), names);

    // A list buffer too small for every name gets no part of the list, and the length needed.
    char small[24] = {};
    std::memset(small, 'x', sizeof small);
    int len = 23;
    ASSERT_EQ(DRV_BUFFER_TOO_SMALL, container_load_all(0, small, &len));
    EXPECT_EQ(24, len); // " padded " and "My Container 1", each with its zero
    EXPECT_EQ(std::string(23, '\0'), std::string(small, 23));
    EXPECT_EQ('x', small[23]); // nothing past the capacity given
    len = sizeof small;
    ASSERT_EQ(0, container_load_all(0, small, &len));
    EXPECT_EQ(24, len);

    ASSERT_EQ(0, container_delete(0, "My Container 1"));
    EXPECT_EQ(std::vector<std::string>{" padded "}, containerNames(0));
    EXPECT_EQ(DRV_NOT_FOUND, container_delete(0, "My Container 1"));
}

TEST_P(TokenModuleTest, ObjectsOfOtherToolsShowAsContainers)
{
    // A certificate written by pkcs11-tool, with no marker of ours.
    const std::string tool = "pkcs11-tool";
    const std::string certFile = writeTemp("foreign.der", der(pki().ecUser.get()));
    uninit_pkcs11();
    std::string out;
    int rc = run({tool, "--module", GetParam().module, "--login", "--pin", kPin, "--write-object", certFile, "--type",
                  "cert", "--id", "a1b2", "--label", "Foreign cert"},
                 &out);
    if (rc != 0)
        GTEST_SKIP() << "pkcs11-tool could not write: " << out;
    rc = run({tool, "--module", GetParam().module, "--write-object", certFile, "--type", "cert", "--id", "c3d4"}, &out);
    ASSERT_EQ(0, init_pkcs11(GetParam().module.c_str()));
    connectAll();
    login();
    ASSERT_EQ(0, container_create_new(0, "ours"));
    auto names = containerNames(0);
    std::set<std::string> got(names.begin(), names.end());
    EXPECT_TRUE(got.count("ours"));
    EXPECT_TRUE(got.count("Foreign cert"));
    if (rc == 0) {
        EXPECT_TRUE(got.count("C3D4")); // no label: the CKA_ID in hexadecimal
    }
    EXPECT_EQ(der(pki().ecUser.get()), certOf(0, "Foreign cert", 1));
    int rv2 = 0;
    certOf(0, "Foreign cert", 2, &rv2);
    EXPECT_EQ(DRV_NOT_FOUND, rv2); // another tool's objects form key pair 1 only
    // Deleting our container leaves the other tool's objects alone.
    ASSERT_EQ(0, container_delete(0, "ours"));
    EXPECT_EQ(der(pki().ecUser.get()), certOf(0, "Foreign cert", 1));
}

// The library reads a key's objects once per container list and keeps them: its own writes show
// at once, another program's at the next refresh (container list or token_reload_all_objects).
TEST_P(TokenModuleTest, OwnWritesShowAtOnceOtherProgramsAtTheNextRefresh)
{
    const Pki& p = pki();
    const std::string pfx = writeTemp("user.pfx", pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "x"));
    login();
    ASSERT_EQ(0, container_create_new(0, "kept"));
    ASSERT_EQ(std::vector<std::string>{"kept"}, containerNames(0)); // the objects are held from here
    int count = 0, value = 0, rv = 0;
    ASSERT_EQ(0, pkcs12_file_parse(pfx.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "kept", 2, 0));
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "kept", 2));
    EXPECT_EQ(0, container_get_prikey(0, "kept", 2, &value));
    ASSERT_EQ(0, container_create_new(0, "second"));
    EXPECT_EQ(DRV_EXISTS, container_create_new(0, "second"));

    // Another program writes a certificate and deletes ours while the library holds the objects.
    const std::string certFile = writeTemp("other.der", der(p.ecUser.get()));
    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"pkcs11-tool", "--module", GetParam().module, "--login", "--pin", kPin});
        std::string out;
        int code = run(args, &out);
        return code == 0 ? std::string() : out.empty() ? "exit " + std::to_string(code) : out;
    };
    if (std::string err = tool({"--write-object", certFile, "--type", "cert", "--id", "e5f6", "--label", "Later"});
        !err.empty())
        GTEST_SKIP() << "pkcs11-tool could not write: " << err;
    ASSERT_EQ(0, token_reload_all_objects(0));
    EXPECT_EQ(der(p.ecUser.get()), certOf(0, "Later", 1));
    auto names = containerNames(0);
    EXPECT_EQ((std::vector<std::string>{"kept", "second", "Later"}), names);

    // Removed by another program: gone after the next container list.
    if (std::string err = tool({"--delete-object", "--type", "cert", "--id", "e5f6"}); !err.empty())
        FAIL() << "pkcs11-tool could not delete: " << err;
    EXPECT_EQ((std::vector<std::string>{"kept", "second"}), containerNames(0));
    certOf(0, "Later", 1, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);

    // A container another program removed is gone by its name too, and the name is free again.
    if (std::string err = tool({"--delete-object", "--type", "data", "--label", "second"}); !err.empty())
        FAIL() << "pkcs11-tool could not delete: " << err;
    EXPECT_EQ(std::vector<std::string>{"kept"}, containerNames(0));
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "second", 1, &value));
    ASSERT_EQ(0, container_create_new(0, "second"));
    EXPECT_EQ((std::vector<std::string>{"kept", "second"}), containerNames(0));

    // Deletes by this library show at once, without a refresh.
    ASSERT_EQ(0, container_delete_cert(0, "kept", 2));
    certOf(0, "kept", 2, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(0, container_get_prikey(0, "kept", 2, &value));
    ASSERT_EQ(0, container_delete(0, "kept"));
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "kept", 2, &value));
    certOf(0, "kept", 2, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(std::vector<std::string>{"second"}, containerNames(0));

    // Objects read while logged out hold no private keys: a login makes them be read again.
    ASSERT_EQ(0, pkcs12_file_parse(pfx.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "second", 1, 0));
    ASSERT_EQ(0, token_logout(0));
    EXPECT_EQ(std::vector<std::string>{"second"}, containerNames(0));
    EXPECT_EQ(0x101, container_get_prikey(0, "second", 1, &value)); // CKR_USER_NOT_LOGGED_IN
    login();
    EXPECT_EQ(0, container_get_prikey(0, "second", 1, &value));
    EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, value);
}

TEST_P(TokenModuleTest, ImportsPkcs12WithRsaKey)
{
    const Pki& p = pki();
    const std::string file = writeTemp("user.pfx", pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "pfx pass"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "pfx pass", &count));
    ASSERT_EQ(1, count);

    // Without a login nothing is written.
    ASSERT_EQ(0, token_logout(0));
    EXPECT_EQ(DRV_NOT_LOGGED_IN, pkcs12_import_certificate(0, "rsa one", 1, 0));
    login();
    EXPECT_EQ(DRV_NOT_FOUND, pkcs12_import_certificate(0, "rsa one", 1, 0)); // container first
    ASSERT_EQ(0, container_create_new(0, "rsa one"));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "rsa one", 1, 0));
    // The private key was let go once written: the certificate cannot go in again without it.
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_import_certificate(0, "rsa one", 2, 0));
    char subject8[DRV_NAME_SIZE], issuer8[DRV_NAME_SIZE];
    int kind8 = -1;
    EXPECT_EQ(0, pkcs12_file_get_certinfo(0, subject8, issuer8, &kind8)); // the certificate stays
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "pfx pass", &count));
    EXPECT_EQ(DRV_EXISTS, pkcs12_import_certificate(0, "rsa one", 1, 0));
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_import_certificate(0, "rsa one", 2, 1));

    Bytes cert = certOf(0, "rsa one", 1);
    EXPECT_EQ(der(p.rsaUser.get()), cert);
    int rv = 0;
    certOf(0, "rsa one", 2, &rv);
    EXPECT_NE(0, rv);

    int alg = 0, bits = 0, keyLen = DRV_PUBKEY_BUFFER_SIZE;
    unsigned char keyBuf[DRV_PUBKEY_BUFFER_SIZE];
    ASSERT_EQ(0, container_get_pubkey(0, "rsa one", 1, &alg, &bits, keyBuf, &keyLen));
    EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, alg);
    EXPECT_EQ(2048, bits);
    EXPECT_EQ(256, keyLen);
    int value = 0;
    ASSERT_EQ(0, container_get_prikey(0, "rsa one", 1, &value));
    EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, value);
    EXPECT_NE(0, container_get_prikey(0, "rsa one", 2, &value));

    // Decoding what came back.
    std::uint16_t subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    char serial[DRV_NAME_SIZE];
    int version = 0, nb[DRV_DATE_FIELDS], na[DRV_DATE_FIELDS], kind = -1;
    ASSERT_EQ(0, helper_get_cert_info2(cert.data(), static_cast<int>(cert.size()), subject, issuer, &version, serial,
                                       nb, na, &kind));
    EXPECT_EQ("张三 RSA", fromUtf16(subject));
    EXPECT_EQ("KX Test CA", fromUtf16(issuer));
    EXPECT_STREQ("1234ABCD", serial);
    EXPECT_EQ(DRV_CERT_END_ENTITY, kind);

    // After a logout the certificate and public key stay readable, the private key does not.
    ASSERT_EQ(0, token_logout(0));
    EXPECT_EQ(cert, certOf(0, "rsa one", 1));
    EXPECT_EQ(0x101, container_get_prikey(0, "rsa one", 1, &value)); // CKR_USER_NOT_LOGGED_IN
    EXPECT_EQ(0x101, container_delete(0, "rsa one"));
}

TEST_P(TokenModuleTest, ImportsPkcs12WithEcKeyAndChain)
{
    const Pki& p = pki();
    const std::string file =
        writeTemp("chain.p12", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {p.ca.get(), p.root.get()}, "secret"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "secret", &count));
    ASSERT_EQ(3, count);
    login();
    // The manager's order: the user certificate into the chosen container, each CA certificate
    // into a new container of its own as a signature certificate.
    std::set<int> caKinds;
    for (int i = 0; i < count; ++i) {
        char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
        int kind = -1;
        ASSERT_EQ(0, pkcs12_file_get_certinfo(i, subject, issuer, &kind));
        std::string name = i == 0 ? "ec user" : "ca " + std::to_string(i);
        ASSERT_EQ(0, container_create_new(0, name.c_str()));
        ASSERT_EQ(0, pkcs12_import_certificate(0, name.c_str(), i == 0 ? 1 : 2, i));
        if (i == 0) {
            EXPECT_STREQ("EC User", subject);
            EXPECT_EQ(DRV_CERT_END_ENTITY, kind);
        } else {
            caKinds.insert(kind);
            // CA certificates come without keys.
            int value = 0;
            EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, name.c_str(), 2, &value));
        }
    }
    EXPECT_EQ((std::set<int>{DRV_CERT_ROOT, DRV_CERT_CA}), caKinds);
    EXPECT_EQ(4u - 1u, containerNames(0).size());

    int alg = 0, bits = 0, keyLen = DRV_PUBKEY_BUFFER_SIZE;
    unsigned char keyBuf[DRV_PUBKEY_BUFFER_SIZE];
    ASSERT_EQ(0, container_get_pubkey(0, "ec user", 1, &alg, &bits, keyBuf, &keyLen));
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, alg);
    EXPECT_EQ(256, bits);
    int value = 0;
    ASSERT_EQ(0, container_get_prikey(0, "ec user", 1, &value));
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, value);

    std::set<int> storedKinds;
    for (const char* name : {"ca 1", "ca 2"}) {
        Bytes c = certOf(0, name, 2);
        ASSERT_FALSE(c.empty());
        std::uint16_t s[DRV_NAME_SIZE], is[DRV_NAME_SIZE];
        char serial[DRV_NAME_SIZE];
        int v = 0, nb[9], na[9], kind = -1;
        ASSERT_EQ(0, helper_get_cert_info2(c.data(), static_cast<int>(c.size()), s, is, &v, serial, nb, na, &kind));
        storedKinds.insert(kind);
    }
    EXPECT_EQ((std::set<int>{DRV_CERT_ROOT, DRV_CERT_CA}), storedKinds);
}

TEST_P(TokenModuleTest, ImportsCerAndP7bFiles)
{
    const Pki& p = pki();
    login();
    ASSERT_EQ(0, container_create_new(0, "cer der"));
    const std::string derFile = writeTemp("user.cer", der(p.rsaUser.get()));
    ASSERT_EQ(0, x509_import_certificate(0, "cer der", 1, derFile.c_str()));
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "cer der", 1));

    const std::string pemText = pem(p.ecUser.get());
    const std::string pemFile = writeTemp("user-pem.cer", Bytes(pemText.begin(), pemText.end()));
    ASSERT_EQ(0, x509_import_certificate(0, "cer der", 2, pemFile.c_str()));
    EXPECT_EQ(der(p.ecUser.get()), certOf(0, "cer der", 2));
    EXPECT_EQ(DRV_EXISTS, x509_import_certificate(0, "cer der", 2, pemFile.c_str()));

    const std::string junk = writeTemp("junk.cer", Bytes{1, 2, 3, 4});
    EXPECT_EQ(DRV_FILE_ERROR, x509_import_certificate(0, "cer der", 1, junk.c_str()));
    EXPECT_EQ(DRV_FILE_ERROR, x509_import_certificate(0, "cer der", 1, m_dir->file("missing.cer").c_str()));

    for (bool asPem : {false, true}) {
        const std::string p7 =
            writeTemp(asPem ? "chain-pem.p7b" : "chain.p7b", pkcs7({p.root.get(), p.ca.get()}, asPem));
        int count = 0;
        ASSERT_EQ(0, p7b_file_parse(p7.c_str(), &count));
        ASSERT_EQ(2, count);
        for (int i = 0; i < count; ++i) {
            std::string name = std::string(asPem ? "pem " : "der ") + std::to_string(i);
            ASSERT_EQ(0, container_create_new(0, name.c_str()));
            ASSERT_EQ(0, p7b_import_certificate(0, name.c_str(), 2, i));
            EXPECT_FALSE(certOf(0, name, 2).empty());
        }
        EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_import_certificate(0, "der 0", 1, 2));
    }
    EXPECT_EQ(5u, containerNames(0).size());
}

TEST_P(TokenModuleTest, DeletesCertificateThenContainer)
{
    const Pki& p = pki();
    const std::string file = writeTemp("user.pfx", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    login();
    ASSERT_EQ(0, container_create_new(0, "to delete"));
    ASSERT_EQ(0, container_create_new(0, "keeper"));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "to delete", 2, 0));
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count)); // each import of the key parses
    ASSERT_EQ(0, pkcs12_import_certificate(0, "keeper", 1, 0));

    ASSERT_EQ(0, container_delete_cert(0, "to delete", 2));
    int rv = 0;
    certOf(0, "to delete", 2, &rv);
    EXPECT_NE(0, rv);
    EXPECT_EQ(DRV_NOT_FOUND, container_delete_cert(0, "to delete", 2));
    int value = 0;
    EXPECT_EQ(0, container_get_prikey(0, "to delete", 2, &value)); // the key pair stays
    // A new certificate for that key pair can go in again (the keys of the file replace the old).
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "to delete", 2, 0));

    ASSERT_EQ(0, container_delete(0, "to delete"));
    // Nothing of it is left: leftovers would show up as containers of another tool.
    EXPECT_EQ(std::vector<std::string>{"keeper"}, containerNames(0));
    // A new container of the same name is a new container: nothing of the old one shows in it.
    ASSERT_EQ(0, container_create_new(0, "to delete"));
    certOf(0, "to delete", 2, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "to delete", 2, &value));
    EXPECT_EQ(der(p.ecUser.get()), certOf(0, "keeper", 1));
    EXPECT_EQ(DRV_INVALID_PARAM, container_delete_cert(0, "keeper", 3));
}

TEST_P(TokenModuleTest, DeletesOneKeyPairLeavingTheContainerAndTheOtherPair)
{
    const Pki& p = pki();
    const std::string rsa = writeTemp("rsa.pfx", pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "x"));
    const std::string ec = writeTemp("ec.pfx", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, "x"));
    int count = 0, value = 0, rv = 0;
    login();
    ASSERT_EQ(0, container_create_new(0, "two pairs"));
    ASSERT_EQ(0, pkcs12_file_parse(rsa.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "two pairs", 1, 0));
    ASSERT_EQ(0, pkcs12_file_parse(ec.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "two pairs", 2, 0));

    // Without the login the private key cannot be seen: nothing is deleted.
    ASSERT_EQ(0, token_logout(0));
    EXPECT_EQ(0x101, container_delete_keypair(0, "two pairs", 1)); // CKR_USER_NOT_LOGGED_IN
    login();
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "two pairs", 1));
    EXPECT_EQ(DRV_NOT_FOUND, container_delete_keypair(0, "no such container", 1));
    EXPECT_EQ(DRV_INVALID_PARAM, container_delete_keypair(0, "two pairs", 3));
    EXPECT_EQ(DRV_INVALID_PARAM, container_delete_keypair(0, nullptr, 1));

    ASSERT_EQ(0, container_delete_keypair(0, "two pairs", 1));
    for (int pass = 0; pass < 2; ++pass) { // as held, then as read again from the key
        certOf(0, "two pairs", 1, &rv);
        EXPECT_EQ(DRV_NOT_FOUND, rv);
        int alg = 0, bits = 0, keyLen = DRV_PUBKEY_BUFFER_SIZE;
        unsigned char keyBuf[DRV_PUBKEY_BUFFER_SIZE];
        EXPECT_EQ(DRV_NOT_FOUND, container_get_pubkey(0, "two pairs", 1, &alg, &bits, keyBuf, &keyLen));
        EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "two pairs", 1, &value));
        EXPECT_EQ(der(p.ecUser.get()), certOf(0, "two pairs", 2));
        EXPECT_EQ(0, container_get_prikey(0, "two pairs", 2, &value));
        EXPECT_EQ(std::vector<std::string>{"two pairs"}, containerNames(0));
        ASSERT_EQ(0, token_reload_all_objects(0));
    }
    // An empty pair: nothing to do. And the pair can be filled again.
    EXPECT_EQ(0, container_delete_keypair(0, "two pairs", 1));
    ASSERT_EQ(0, pkcs12_file_parse(rsa.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "two pairs", 1, 0));
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "two pairs", 1));
}

TEST_P(TokenModuleTest, FullKeyRefusesImportAndLeavesNothingBehind)
{
    if (!GetParam().keysim)
        GTEST_SKIP() << "needs a key with little memory";
    // Room for the marker and the keys, not for the certificate as well.
    ASSERT_EQ(
        0, keysim({"create", "--serial", "KXFULL", "--pin", kPin, "--total-memory", "8192", "--free-memory", "2600"}));
    ASSERT_EQ(2, findKeys());
    int full = -1;
    for (int k = 0; k < 2; ++k) {
        Info info;
        ASSERT_EQ(0, info.read(k));
        if (std::string(info.serial) == "KXFULL")
            full = k;
    }
    ASSERT_GE(full, 0);
    ASSERT_EQ(0, token_connect(full));
    int left = 0;
    ASSERT_EQ(0, token_login(full, kPin, &left));
    ASSERT_EQ(0, container_create_new(full, "full"));
    Info before;
    ASSERT_EQ(0, before.read(full));

    const Pki& p = pki();
    const std::string file = writeTemp("user.pfx", pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    EXPECT_EQ(DRV_DEVICE_FULL, pkcs12_import_certificate(full, "full", 1, 0));
    Info after;
    ASSERT_EQ(0, after.read(full));
    EXPECT_EQ(before.free, after.free);
    EXPECT_EQ(std::vector<std::string>{"full"}, containerNames(full));

    // With almost no room even the container marker does not fit.
    ASSERT_EQ(0,
              keysim({"create", "--serial", "KXTINY", "--pin", kPin, "--total-memory", "4200", "--free-memory", "60"}));
    ASSERT_EQ(3, findKeys());
    for (int k = 0; k < 3; ++k) {
        Info info;
        ASSERT_EQ(0, info.read(k));
        if (std::string(info.serial) != "KXTINY")
            continue;
        ASSERT_EQ(0, token_connect(k));
        ASSERT_EQ(0, token_login(k, kPin, &left));
        EXPECT_EQ(DRV_DEVICE_FULL, container_create_new(k, "no room"));
    }
}

TEST_P(TokenModuleTest, PulledKeyGivesModuleCodesThenComesBack)
{
    if (!GetParam().keysim)
        GTEST_SKIP() << "needs a key that can be pulled";
    login();
    ASSERT_EQ(0, container_create_new(0, "survivor"));
    ASSERT_EQ(0, keysim({"pull", kSerial}));
    int rv = 0;
    containerNames(0, &rv);
    EXPECT_TRUE(rv == 0x32 || rv == 0xE0 || rv == 0xB3) << std::hex << rv;
    Info info;
    EXPECT_NE(0, info.read(0));
    EXPECT_EQ(0, findKeys());
    EXPECT_EQ(DRV_INVALID_PARAM, token_connect(0));

    ASSERT_EQ(0, keysim({"plug", kSerial}));
    ASSERT_EQ(1, findKeys());
    ASSERT_EQ(0, token_connect(0));
    login();
    EXPECT_EQ(std::vector<std::string>{"survivor"}, containerNames(0));
}

TEST_P(TokenModuleTest, FingerprintLoginUsesTheSensor)
{
    if (!GetParam().keysim)
        GTEST_SKIP() << "needs a key with a sensor";
    setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "5000", 1);
    ASSERT_EQ(0,
              keysim({"create", "--serial", "KXFINGER", "--pin", kPin, "--sensor", "fingerprint", "--fingers", "1,2"}));
    ASSERT_EQ(2, findKeys());
    int k = -1;
    for (int i = 0; i < 2; ++i) {
        Info info;
        ASSERT_EQ(0, info.read(i));
        if (std::string(info.serial) == "KXFINGER")
            k = i;
    }
    ASSERT_GE(k, 0);
    ASSERT_EQ(0, token_connect(k));
    // The finger arrives while the login waits at the sensor.
    auto presentLater = [&](const char* finger) {
        return std::thread([this, finger] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            keysim({"present-finger", "KXFINGER", finger});
        });
    };
    int left = 99;
    std::thread t = presentLater("7");
    EXPECT_EQ(DRV_FINGER_NOT_MATCHED, token_login(k, "", &left));
    t.join();
    t = presentLater("2");
    EXPECT_EQ(0, token_login(k, nullptr, &left));
    t.join();
    // A typed PIN on the same key is still a PIN login.
    token_logout(k);
    EXPECT_EQ(0, token_login(k, kPin, &left));
}

TEST_P(TokenModuleTest, ImportOnAWorkerWhileTheWindowThreadReads)
{
    const Pki& p = pki();
    const std::string file = writeTemp("user.pfx", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    login();
    const std::vector<std::string> names = {"w 1", "w 2", "w 3", "w 4"};
    for (const auto& n : names)
        ASSERT_EQ(0, container_create_new(0, n.c_str()));
    std::atomic<bool> done{false};
    std::vector<int> results(names.size(), -1);
    std::thread worker([&] {
        for (size_t i = 0; i < names.size(); ++i) {
            int n = 0;
            results[i] = pkcs12_file_parse(file.c_str(), "x", &n);
            if (results[i] == 0)
                results[i] = pkcs12_import_certificate(0, names[i].c_str(), 1 + int(i % 2), 0);
        }
        done = true;
    });
    int reads = 0;
    while (!done || reads == 0) {
        Info info;
        EXPECT_EQ(0, info.read(0));
        int rv = -1;
        EXPECT_EQ(names.size(), containerNames(0, &rv).size());
        EXPECT_EQ(0, rv);
        ++reads;
    }
    worker.join();
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(0, results[i]);
        EXPECT_EQ(der(p.ecUser.get()), certOf(0, names[i], 1 + int(i % 2)));
    }
}

TEST_P(TokenModuleTest, ContainerListLongerThanTheBufferIsNeverCut)
{
    login();
    // 40 names of 250 bytes: 10040 bytes of list, more than the library's suggested first buffer.
    std::vector<std::string> made;
    for (int i = 0; i < 40; ++i) {
        std::string name = std::to_string(100 + i) + std::string(247, 'n');
        ASSERT_EQ(0, container_create_new(0, name.c_str()));
        made.push_back(name);
    }
    std::vector<char> buf(DRV_CONTAINER_LIST_SIZE, 'x');
    int len = DRV_CONTAINER_LIST_SIZE;
    ASSERT_EQ(DRV_BUFFER_TOO_SMALL, container_load_all(0, buf.data(), &len));
    EXPECT_EQ(40 * 251, len);
    buf.assign(static_cast<size_t>(len), 'x');
    ASSERT_EQ(0, container_load_all(0, buf.data(), &len));
    ASSERT_EQ(40 * 251, len);
    std::vector<std::string> got;
    for (size_t at = 0; at < buf.size(); at += got.back().size() + 1)
        got.emplace_back(buf.data() + at);
    EXPECT_EQ(made, got);
}

TEST_P(TokenModuleTest, RsaKeysLongerThanTheBufferReportTheirPublicKey)
{
    login();
    static const Key rsa3072 = rsaKey(3072);
    static const Key rsa4096 = rsaKey(4096);
    const Pki& p = pki();
    for (const Key* key : {&rsa3072, &rsa4096}) {
        const int expected = EVP_PKEY_get_bits(key->get());
        const std::string name = "rsa" + std::to_string(expected);
        Cert cert = makeCert({{{"CN", name}}, false, expected, 365}, key->get(), p.ca.get(), p.caKey.get());
        const std::string file = writeTemp(name + ".pfx", pkcs12(key->get(), cert.get(), {}, "pw"));
        int count = 0;
        ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "pw", &count));
        ASSERT_EQ(0, container_create_new(0, name.c_str()));
        ASSERT_EQ(0, pkcs12_import_certificate(0, name.c_str(), 2, 0));

        int alg = 0, bits = 0, keyLen = DRV_PUBKEY_BUFFER_SIZE;
        unsigned char keyBuf[DRV_PUBKEY_BUFFER_SIZE + 1];
        keyBuf[DRV_PUBKEY_BUFFER_SIZE] = 0x5A;
        ASSERT_EQ(0, container_get_pubkey(0, name.c_str(), 2, &alg, &bits, keyBuf, &keyLen)) << expected;
        EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, alg);
        EXPECT_EQ(expected, bits);
        // The buffer holds the leading bytes of the modulus, and nothing is written past it.
        EXPECT_EQ(DRV_PUBKEY_BUFFER_SIZE, keyLen);
        EXPECT_EQ(0x5A, keyBuf[DRV_PUBKEY_BUFFER_SIZE]);
        BIGNUM* n = nullptr;
        ASSERT_EQ(1, EVP_PKEY_get_bn_param(key->get(), "n", &n));
        Bytes modulus(static_cast<size_t>(BN_num_bytes(n)));
        BN_bn2bin(n, modulus.data());
        BN_free(n);
        EXPECT_TRUE(std::equal(keyBuf, keyBuf + DRV_PUBKEY_BUFFER_SIZE, modulus.begin()));
        // A key pair without a public key still has none.
        keyLen = DRV_PUBKEY_BUFFER_SIZE;
        EXPECT_EQ(DRV_NOT_FOUND, container_get_pubkey(0, name.c_str(), 1, &alg, &bits, keyBuf, &keyLen));
    }
}

TEST_P(TokenModuleTest, CertificateTooLargeToReadBackIsRefusedBeforeAnythingIsWritten)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "big"));
    Info before;
    ASSERT_EQ(0, before.read(0));
    const Cert big = oversizedCert();
    const std::string pemText = pem(big.get());
    for (const std::string& file :
         {writeTemp("big.cer", der(big.get())), writeTemp("big-pem.cer", Bytes(pemText.begin(), pemText.end()))}) {
        EXPECT_EQ(DRV_CERT_TOO_LARGE, x509_import_certificate(0, "big", 1, file.c_str()));
        EXPECT_EQ(DRV_CERT_TOO_LARGE, x509_import_certificate(0, "no such container", 1, file.c_str()));
    }
    int rv = 0;
    certOf(0, "big", 1, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    Info after;
    ASSERT_EQ(0, after.read(0));
    EXPECT_EQ(before.free, after.free);
    EXPECT_EQ(std::vector<std::string>{"big"}, containerNames(0));
}

INSTANTIATE_TEST_SUITE_P(Modules, TokenModuleTest, ::testing::ValuesIn(testModules()), moduleTestName);

} // namespace
