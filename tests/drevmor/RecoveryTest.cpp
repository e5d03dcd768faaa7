// SPDX-License-Identifier: Apache-2.0
// How the library recovers from a key that misbehaves, through its exports over the fault wrapper
// (libkx2700-faultwrap.so) in front of keysim and SoftHSM2: a search the module still holds
// active, a session the module no longer knows, a login lost with it, an attribute value that grew
// between its size and its read, a key gone; and keys that do not wait for one another.
#include "DrevmorTestSupport.h"
#include "RealModule.h"
#include "drevmor.h"

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

using namespace drevmor_test;

namespace {

constexpr const char* kPin = "123456";

struct ModuleKind
{
    std::string name;
    std::string module;
    bool keysim;
};

void PrintTo(const ModuleKind& m, std::ostream* os)
{
    *os << m.name;
}

class Recovery : public ::testing::TestWithParam<ModuleKind>
{
protected:
    void SetUp() override
    {
        const ModuleKind& m = GetParam();
        if (std::string(DREVMOR_FAULTWRAP_MODULE).empty())
            GTEST_SKIP() << "fault wrapper not built";
        if (m.module.empty() || !exists(m.module))
            GTEST_SKIP() << m.name << " module not available";
        if (!m.keysim && std::string(DREVMOR_SOFTHSM_UTIL).empty())
            GTEST_SKIP() << "softhsm2-util not available";
        uninit_pkcs11();
        m_dir = std::make_unique<TempDir>();
        if (m.keysim) {
            setenv("KX2700_KEYSIM_DIR", m_dir->file("keysim").c_str(), 1);
            for (const char* serial : {"KXRECOVER0001", "KXRECOVER0002"})
                ASSERT_EQ(0, run({DREVMOR_KEYSIM_TOOL, "--dir", m_dir->file("keysim"), "create", "--serial", serial,
                                  "--pin", kPin}));
        } else {
            const std::string tokens = m_dir->file("tokens");
            mkdir(tokens.c_str(), 0700);
            writeFile(m_dir->file("softhsm2.conf"),
                      "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
            setenv("SOFTHSM2_CONF", m_dir->file("softhsm2.conf").c_str(), 1);
            for (const char* label : {"Recovery 1", "Recovery 2"})
                ASSERT_EQ(0, run({DREVMOR_SOFTHSM_UTIL, "--init-token", "--free", "--label", label, "--so-pin",
                                  "12345678", "--pin", kPin}));
        }
        setenv("KX2700_FAULTWRAP_MODULE", m.module.c_str(), 1);
        setenv("KX2700_FAULTWRAP_CONFIG", m_dir->file("faultwrap.conf").c_str(), 1);
        ASSERT_EQ(0, init_pkcs11(DREVMOR_FAULTWRAP_MODULE));
        char buf[DRV_FIND_BUFFER_SIZE];
        int n = 32;
        ASSERT_EQ(0, token_find(buf, &n));
        ASSERT_EQ(2, n); // two keys; SoftHSM2's spare slot is none
        for (int k = 0; k < n; ++k)
            ASSERT_EQ(0, token_connect(k));
    }

    void TearDown() override
    {
        uninit_pkcs11();
        unsetenv("KX2700_FAULTWRAP_MODULE");
        unsetenv("KX2700_FAULTWRAP_CONFIG");
    }

    // Replaces the wrapper's configuration (a new file: the wrapper reads it at the next call).
    void faults(const std::string& text)
    {
        const std::string path = m_dir->file("faultwrap.conf");
        writeFile(path + ".new", "log=" + logPath() + "\n" + text);
        std::filesystem::rename(path + ".new", path);
    }
    std::string logPath() const { return m_dir->file("faults.log"); }
    std::vector<std::string> faultLog() const
    {
        const Bytes b = readFile(logPath());
        std::istringstream in(std::string(b.begin(), b.end()));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(' ') + 1)); // without the process id
        return lines;
    }

    void login(int key = 0)
    {
        int left = 0;
        ASSERT_EQ(0, token_login(key, kPin, &left));
    }

    std::unique_ptr<TempDir> m_dir;
};

// token_get_pin_state of one key: its result and the six values.
struct PinStateOf
{
    explicit PinStateOf(int key) { rv = token_get_pin_state(key, 1, &s[0], &s[1], &s[2], &s[3], &s[4], &s[5]); }
    int rv = 0;
    int s[6] = {};
};

// A C_FindObjectsFinal that failed left the module's search active: the next search finishes it
// and starts again, instead of failing with CKR_OPERATION_ACTIVE from then on.
TEST_P(Recovery, SearchLeftActiveIsFinishedAndStartedAgain)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "a"));
    faults("fail.next.C_FindObjectsFinal=before\n");
    int rv = 0;
    containerNames(0, &rv);
    EXPECT_EQ(0x30, rv); // the failure itself is reported
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(std::vector<std::string>{"a"}, containerNames(0, &rv));
        EXPECT_EQ(0, rv);
    }
    EXPECT_EQ(0, container_create_new(0, "b"));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), containerNames(0));
    EXPECT_EQ(std::vector<std::string>{"C_FindObjectsFinal before 0x30"}, faultLog());
}

// A session error that comes and goes: a new session takes over, the login (held by the module for
// the whole application) with it, and the call is made again once.
TEST_P(Recovery, TransientSessionErrorIsRetriedOnANewSessionKeepingTheLogin)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "first"));
    faults("fail.next.C_CreateObject=before:1:0xB3\n");
    EXPECT_EQ(0, container_create_new(0, "second"));
    faults("fail.next.C_FindObjectsInit=before:1:0xB0\n");
    EXPECT_EQ(0, container_delete(0, "first"));
    faults("fail.next.C_GetAttributeValue=before:1:0xB3\n");
    EXPECT_EQ(0, token_reload_all_objects(0));
    int rv = -1;
    EXPECT_EQ(std::vector<std::string>{"second"}, containerNames(0, &rv));
    EXPECT_EQ(0, rv);
    faults("fail.next.C_Login=before:1:0xB3\n");
    EXPECT_EQ(0, token_logout(0));
    int left = 0;
    EXPECT_EQ(0, token_login(0, kPin, &left));
    EXPECT_EQ(0, container_create_new(0, "third"));
    EXPECT_EQ((std::vector<std::string>{"C_CreateObject before 0xB3", "C_FindObjectsInit before 0xB0",
                                        "C_GetAttributeValue before 0xB3", "C_Login before 0xB3"}),
              faultLog());
    // Twice in a row is not transient: the second failure is reported.
    faults("fail.next.C_CreateObject=before:2:0xB3\n");
    EXPECT_EQ(0xB3, container_create_new(0, "fourth"));
    EXPECT_EQ((std::vector<std::string>{"second", "third"}), containerNames(0));
}

// A write whose answer was a lost session although it had reached the key: on the new session the
// marker or certificate is found and not written a second time; a key is not written again (the
// import fails and leaves the clean-up to its caller); a deletion whose object had already gone
// counts as done.
TEST_P(Recovery, WriteThatReachedTheKeyBeforeItsSessionWasLostIsNotMadeTwice)
{
    const Pki& p = pki();
    const std::string cer = m_dir->file("user.cer");
    writeFile(cer, der(p.rsaUser.get()));
    const std::string pfx = m_dir->file("user.pfx");
    writeFile(pfx, pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "x"));
    login();
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    // The objects of one class on the key, counted by the module itself.
    auto onKey = [&](CK_OBJECT_CLASS cls) {
        CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
        if (real.f()->C_OpenSession(real.firstKey(), CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
            return -1;
        CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
        CK_OBJECT_HANDLE found[16];
        CK_ULONG n = 0;
        const bool ok = real.f()->C_FindObjectsInit(h, &t, 1) == CKR_OK &&
                        real.f()->C_FindObjects(h, found, 16, &n) == CKR_OK &&
                        real.f()->C_FindObjectsFinal(h) == CKR_OK;
        real.f()->C_CloseSession(h);
        return ok ? static_cast<int>(n) : -1;
    };

    faults("fail.next.C_CreateObject=after:1:0xB3\n");
    EXPECT_EQ(0, container_create_new(0, "marked"));
    faults("fail.next.C_CreateObject=after:1:0xB3\n");
    EXPECT_EQ(0, x509_import_certificate(0, "marked", 1, cer.c_str()));
    ASSERT_EQ(0, token_reload_all_objects(0));
    EXPECT_EQ(std::vector<std::string>{"marked"}, containerNames(0));
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "marked", 1));
    EXPECT_EQ(1, onKey(CKO_DATA));
    EXPECT_EQ(1, onKey(CKO_CERTIFICATE));

    // The private key is written first: its lost answer ends the import, nothing is written twice.
    int count = 0, value = 0;
    ASSERT_EQ(0, pkcs12_file_parse(pfx.c_str(), "x", &count));
    faults("fail.next.C_CreateObject=after:1:0xB3\n");
    EXPECT_EQ(0xB3, pkcs12_import_certificate(0, "marked", 2, 0));
    EXPECT_EQ(1, onKey(CKO_PRIVATE_KEY));
    EXPECT_EQ(0, onKey(CKO_PUBLIC_KEY));
    EXPECT_EQ(1, onKey(CKO_CERTIFICATE));

    faults("fail.next.C_DestroyObject=after:1:0xB3\n");
    EXPECT_EQ(0, container_delete_keypair(0, "marked", 2));
    EXPECT_EQ(0, onKey(CKO_PRIVATE_KEY));
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "marked", 2, &value));
    EXPECT_EQ(der(p.rsaUser.get()), certOf(0, "marked", 1));
}

// The module closed the sessions and the login with them: the library opens a new session but
// does not go on as if nothing happened; the caller learns that the PIN is needed again.
TEST_P(Recovery, LostLoginIsReportedAndNotRetried)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "kept"));
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    ASSERT_EQ(CKR_OK, real.f()->C_CloseAllSessions(real.firstKey()));
    EXPECT_EQ(DRV_LOGIN_LOST, container_create_new(0, "not written"));
    // The new session works; it is simply not logged in.
    EXPECT_EQ(std::vector<std::string>{"kept"}, containerNames(0));
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_create_new(0, "not written"));
    login();
    EXPECT_EQ(0, container_create_new(0, "written"));
    EXPECT_EQ((std::vector<std::string>{"kept", "written"}), containerNames(0));

    // Also when the first call after the loss only asks whether private objects can be seen.
    ASSERT_EQ(0, token_reload_all_objects(0));
    ASSERT_EQ(CKR_OK, real.f()->C_CloseAllSessions(real.firstKey()));
    EXPECT_EQ(DRV_LOGIN_LOST, container_create_new(0, "not written"));
    login();

    // Without a login there is nothing to lose: the call goes on on the new session.
    ASSERT_EQ(0, token_logout(0));
    ASSERT_EQ(CKR_OK, real.f()->C_CloseAllSessions(real.firstKey()));
    int rv = -1;
    EXPECT_EQ((std::vector<std::string>{"kept", "written"}), containerNames(0, &rv));
    EXPECT_EQ(0, rv);
}

// A key that is gone is not asked again: the module's code comes back once, the next call opens a
// new session.
TEST_P(Recovery, GoneKeyIsNotRetried)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "a"));
    for (const char* code : {"0x32", "0xE0"}) {
        faults(std::string("fail.next.C_FindObjectsInit=before:1:") + code + "\n");
        int rv = 0;
        containerNames(0, &rv);
        EXPECT_EQ(std::stoi(code, nullptr, 16), rv);
        EXPECT_EQ(std::vector<std::string>{"a"}, containerNames(0, &rv));
        EXPECT_EQ(0, rv);
    }
}

// The value of an attribute grew between the query of its size and its read: the size is asked
// again, a bounded number of times.
TEST_P(Recovery, AttributeThatGrewIsReadAgain)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "grown"));
    const Pki& p = pki();
    const std::string file = m_dir->file("user.pfx");
    writeFile(file, pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "grown", 1, 0));
    ASSERT_EQ(0, token_reload_all_objects(0));
    // The first two reads of the next object read: its sizes and its values.
    faults("fail.next.C_GetAttributeValue=after:2:0x150\n");
    int rv = -1;
    EXPECT_EQ(std::vector<std::string>{"grown"}, containerNames(0, &rv));
    EXPECT_EQ(0, rv);
    EXPECT_EQ(der(p.ecUser.get()), certOf(0, "grown", 1));
    EXPECT_EQ(2u, faultLog().size());
    // A value that keeps growing is given up on.
    faults("fail.next.C_GetAttributeValue=after:1000:0x150\n");
    containerNames(0, &rv);
    EXPECT_EQ(0x150, rv);
    faults("");
    EXPECT_EQ(std::vector<std::string>{"grown"}, containerNames(0, &rv));
}

// A key pair goes certificate first, then public key, then private key: a deletion cut short
// leaves the private key, and with it the pair to be deleted again.
TEST_P(Recovery, KeyPairIsDeletedCertificateFirstPrivateKeyLast)
{
    const Pki& p = pki();
    const std::string file = m_dir->file("user.pfx");
    writeFile(file, pkcs12(p.rsaUserKey.get(), p.rsaUser.get(), {}, "x"));
    int count = 0, value = 0, rv = 0;
    login();
    ASSERT_EQ(0, container_create_new(0, "pairs"));
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "x", &count));
    ASSERT_EQ(0, pkcs12_import_certificate(0, "pairs", 2, 0));
    auto publicKey = [&] {
        int alg = 0, bits = 0, keyLen = DRV_PUBKEY_BUFFER_SIZE;
        unsigned char keyBuf[DRV_PUBKEY_BUFFER_SIZE];
        return container_get_pubkey(0, "pairs", 2, &alg, &bits, keyBuf, &keyLen);
    };
    // Each round lets one more destruction happen and fails the one after it.
    faults("fail.next.C_DestroyObject=after:1\n");
    EXPECT_EQ(0x30, container_delete_keypair(0, "pairs", 2));
    ASSERT_EQ(0, token_reload_all_objects(0));
    certOf(0, "pairs", 2, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(0, publicKey());
    EXPECT_EQ(0, container_get_prikey(0, "pairs", 2, &value));

    faults("fail.next.C_DestroyObject=after:1\n");
    EXPECT_EQ(0x30, container_delete_keypair(0, "pairs", 2));
    ASSERT_EQ(0, token_reload_all_objects(0));
    EXPECT_EQ(DRV_NOT_FOUND, publicKey());
    EXPECT_EQ(0, container_get_prikey(0, "pairs", 2, &value));

    faults("");
    EXPECT_EQ(0, container_delete_keypair(0, "pairs", 2));
    ASSERT_EQ(0, token_reload_all_objects(0));
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "pairs", 2, &value));
    EXPECT_EQ(std::vector<std::string>{"pairs"}, containerNames(0));
}

// A slow call on one key (a login of three seconds) holds up no call on another key; calls on the
// same key wait for one another. The order is read from the wrapper's log: faults with code 0
// after the call change nothing but leave a line each, written while the call is at the key.
TEST_P(Recovery, KeysAreIndependentCallsOnOneKeySerial)
{
    for (int other : {1, 0}) {
        // The login's first C_GetTokenInfo (made while it holds key 0) comes first; its C_Login
        // takes three seconds; the call on the other key reads the token information too.
        faults("latency.C_Login=3000\nfail.next.C_Login=after:1:0\nfail.next.C_GetTokenInfo=after:2:0\n");
        std::thread slow([&] {
            int left = 0;
            EXPECT_EQ(0, token_login(0, kPin, &left));
        });
        for (int i = 0; i < 2000 && faultLog().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(std::vector<std::string>{"C_GetTokenInfo after 0x0"}, faultLog());
        char serial[DRV_SERIAL_SIZE], label[DRV_LABEL_SIZE], maker[DRV_MANUFACTURER_SIZE], model[DRV_MODEL_SIZE];
        int v[11];
        EXPECT_EQ(0, token_get_info_ex(other, serial, label, maker, model, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                                       &v[6], &v[7], &v[8], &v[9]));
        slow.join();
        const auto log = faultLog();
        ASSERT_EQ(3u, log.size());
        if (other == 1) {
            EXPECT_EQ("C_GetTokenInfo after 0x0", log[1]) << "a call on key 1 waited for the login on key 0";
        } else {
            EXPECT_EQ("C_Login after 0x0", log[1]) << "two calls on key 0 ran at once";
        }
        ASSERT_EQ(0, token_logout(0));
        std::filesystem::remove(logPath());
    }
}

// A generation that fails, after the module made the pair (its answer replaced by an error) or
// when the private key's flags cannot be read back, leaves nothing of the pair on the key.
TEST_P(Recovery, GenerationThatFailsLeavesNothingOfThePair)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "g"));
    ASSERT_EQ(std::vector<std::string>{"g"}, containerNames(0)); // the key's objects are held
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    faults("fail.next.C_GenerateKeyPair=after:1\n");
    EXPECT_EQ(0x30, container_generate_keypair(0, "g", 1, DRV_KEYGEN_P256));
    EXPECT_TRUE(real.objects(CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_PUBLIC_KEY).empty());
    // The first attribute read after the generation is that of the private key's flags.
    faults("fail.next.C_GetAttributeValue=before:1\n");
    EXPECT_EQ(0x30, container_generate_keypair(0, "g", 1, DRV_KEYGEN_P256));
    EXPECT_TRUE(real.objects(CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_PUBLIC_KEY).empty());
    EXPECT_EQ((std::vector<std::string>{"C_GenerateKeyPair after 0x30", "C_GetAttributeValue before 0x30"}),
              faultLog());
    faults("");
    EXPECT_EQ(0, container_generate_keypair(0, "g", 1, DRV_KEYGEN_P256));
    EXPECT_EQ(1u, real.objects(CKO_PRIVATE_KEY).size());
}

// A generation whose session was lost is looked for on the new session: found when it had reached
// the key (not made a second time), made again when it had not; a key gone is not asked again.
TEST_P(Recovery, GenerationWithALostSessionIsLookedForNotRepeated)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "g"));
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    faults("fail.next.C_GenerateKeyPair=after:1:0xB3\n");
    EXPECT_EQ(0, container_generate_keypair(0, "g", 1, DRV_KEYGEN_P256));
    EXPECT_EQ(1u, real.objects(CKO_PRIVATE_KEY).size());
    EXPECT_EQ(1u, real.objects(CKO_PUBLIC_KEY).size());
    faults("fail.next.C_GenerateKeyPair=before:1:0xB3\n");
    EXPECT_EQ(0, container_generate_keypair(0, "g", 2, DRV_KEYGEN_P256));
    EXPECT_EQ(2u, real.objects(CKO_PRIVATE_KEY).size());
    EXPECT_EQ(2u, real.objects(CKO_PUBLIC_KEY).size());
    int value = 0;
    EXPECT_EQ(0, container_get_prikey(0, "g", 1, &value));
    EXPECT_EQ(0, container_get_prikey(0, "g", 2, &value));

    ASSERT_EQ(0, container_delete_keypair(0, "g", 2));
    faults("fail.next.C_GenerateKeyPair=before:1:0x32\n");
    EXPECT_EQ(0x32, container_generate_keypair(0, "g", 2, DRV_KEYGEN_P256));
    EXPECT_EQ((std::vector<std::string>{"C_GenerateKeyPair after 0xB3", "C_GenerateKeyPair before 0xB3",
                                        "C_GenerateKeyPair before 0x32"}),
              faultLog());
}

// A key pulled while its module generates: the module's code, and nothing of the pair on the key
// when it comes back. The pull comes while the wrapper holds the generation back: the search just
// before it leaves its mark in the log.
TEST_P(Recovery, KeyPulledDuringGenerationGivesTheModulesCode)
{
    if (!GetParam().keysim)
        GTEST_SKIP() << "needs a key that can be pulled";
    login();
    ASSERT_EQ(0, container_create_new(0, "g"));
    ASSERT_EQ(std::vector<std::string>{"g"}, containerNames(0));
    // Three searches (certificate, public and private key of the pair) come just before it.
    faults("latency.C_GenerateKeyPair=2000\nfail.next.C_FindObjectsFinal=after:3:0\n");
    int rv = 0;
    std::thread generation([&] { rv = container_generate_keypair(0, "g", 1, DRV_KEYGEN_P256); });
    for (int i = 0; i < 2000 && faultLog().size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto keysim = [&](const char* verb) {
        return run({DREVMOR_KEYSIM_TOOL, "--dir", m_dir->file("keysim"), verb, "KXRECOVER0001"});
    };
    EXPECT_EQ(0, keysim("pull"));
    generation.join();
    EXPECT_TRUE(rv == 0x32 || rv == 0xE0 || rv == 0xB3) << std::hex << rv;
    faults("");
    ASSERT_EQ(0, keysim("plug"));
    char buf[DRV_FIND_BUFFER_SIZE];
    int n = 32;
    ASSERT_EQ(0, token_find(buf, &n));
    ASSERT_EQ(0, token_connect(0));
    login();
    int value = 0;
    EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "g", 1, &value));
}

// A module that stopped answering as a whole (a call fails with CKR_GENERAL_ERROR and so does a
// fresh session's random byte) is not reached again: every key of it reports CKR_DEVICE_REMOVED
// until token_find starts the module again. A CKR_GENERAL_ERROR the module survives is the call's.
TEST_P(Recovery, DeadModuleIsLeftAloneUntilTokenFindStartsItAgain)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "a"));
    faults("fail.next.C_CreateObject=before:1:0x5\n");
    EXPECT_EQ(0x5, container_create_new(0, "b"));
    int rv = -1;
    EXPECT_EQ(std::vector<std::string>{"a"}, containerNames(0, &rv));
    EXPECT_EQ(0, rv);

    faults("fail.next.C_FindObjectsInit=before:1:0x5\nfail.next.C_GenerateRandom=before:3:0x5\n");
    containerNames(0, &rv);
    EXPECT_EQ(0x32, rv);
    // Faults of code 0 leave a line for every call that reaches the module: none does.
    faults("fail.next.C_FindObjectsInit=after:9:0\nfail.next.C_GetTokenInfo=after:9:0\n");
    std::filesystem::remove(logPath());
    containerNames(0, &rv);
    EXPECT_EQ(0x32, rv);
    PinStateOf other(1);
    EXPECT_EQ(0x32, other.rv);
    EXPECT_TRUE(faultLog().empty());

    char buf[DRV_FIND_BUFFER_SIZE];
    int n = 32;
    ASSERT_EQ(0, token_find(buf, &n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_create_new(0, "b")); // the logins went with the module
    login();
    EXPECT_EQ(std::vector<std::string>{"a"}, containerNames(0, &rv));
    EXPECT_EQ(0, rv);

    // On demand: no key until the next token_find.
    faults("");
    ASSERT_EQ(0, token_restart_module());
    EXPECT_EQ(DRV_INVALID_PARAM, PinStateOf(0).rv);
    n = 32;
    ASSERT_EQ(0, token_find(buf, &n));
    EXPECT_EQ(2, n);
    EXPECT_EQ(0, PinStateOf(0).rv);
}

// CKR_PIN_LOCKED that neither the token's flags nor its counter confirm is the module turning
// logins away for a while, not a locked PIN.
TEST_P(Recovery, PinLockedWithoutTheLockFlagIsATemporaryLockout)
{
    faults("fail.next.C_Login=before:1:0xA4\n");
    int left = 99;
    EXPECT_EQ(DRV_PIN_LOCKOUT, token_login(0, kPin, &left));
    EXPECT_EQ(-1, left);
    const PinStateOf state(0);
    ASSERT_EQ(0, state.rv);
    EXPECT_EQ(0, state.s[4]);
    EXPECT_NE(0, state.s[0]);
    login();
}

// A module that takes no public data object gets private markers; the key keeps them private and
// lists them after the login only. Until then a module that takes public ones gets public ones.
TEST_P(Recovery, ModuleRefusingPublicDataObjectsGetsPrivateMarkers)
{
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    unsigned long slot = 0;
    int caps = 0;
    login();
    ASSERT_EQ(0, container_create_new(0, "public"));
    ASSERT_EQ(1u, real.objects(CKO_DATA).size());
    EXPECT_EQ(0, real.flag(real.objects(CKO_DATA).front(), CKA_PRIVATE));
    ASSERT_EQ(0, token_get_caps(0, &slot, &caps));
    EXPECT_EQ(0, caps & DRV_CAP_PRIVATE_MARKERS);
    ASSERT_EQ(0, container_delete(0, "public"));

    faults("fail.next.C_CreateObject=before:1:0x13\n");
    ASSERT_EQ(0, container_create_new(0, "private"));
    ASSERT_EQ(0, container_create_new(0, "second")); // private at once: one refusal in the log
    EXPECT_EQ(std::vector<std::string>{"C_CreateObject before 0x13"}, faultLog());
    for (CK_OBJECT_HANDLE h : real.objects(CKO_DATA))
        EXPECT_EQ(1, real.flag(h, CKA_PRIVATE));
    ASSERT_EQ(0, token_get_caps(0, &slot, &caps));
    EXPECT_EQ(DRV_CAP_PRIVATE_MARKERS, caps & DRV_CAP_PRIVATE_MARKERS);
    ASSERT_EQ(0, container_generate_keypair(0, "private", 1, DRV_KEYGEN_P256));
    ASSERT_EQ(0, token_logout(0));
    int rv = -1;
    EXPECT_TRUE(containerNames(0, &rv).empty()); // not even the pair's public key as another tool's
    EXPECT_EQ(0, rv);
    login();
    EXPECT_EQ((std::vector<std::string>{"private", "second"}), containerNames(0));
    EXPECT_EQ(0, container_delete(0, "private"));
    EXPECT_EQ(std::vector<std::string>{"second"}, containerNames(0));
}

// A module that takes no private key from outside: the import says so and writes nothing.
TEST_P(Recovery, RefusedPrivateKeyEndsTheImportWritingNothing)
{
    const Pki& p = pki();
    const std::string pfx = m_dir->file("user.pfx");
    writeFile(pfx, pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, "x"));
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(pfx.c_str(), "x", &count));
    login();
    ASSERT_EQ(0, container_create_new(0, "c"));
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    faults("fail.next.C_CreateObject=before:1:0x13\n");
    EXPECT_EQ(DRV_PRIVATE_KEY_REFUSED, pkcs12_import_certificate(0, "c", 1, 0));
    EXPECT_TRUE(real.objects(CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_PUBLIC_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_CERTIFICATE).empty());
    // A failure of the key is no refusal: the module's code.
    faults("fail.next.C_CreateObject=before:1:0x31\n");
    EXPECT_EQ(DRV_DEVICE_FULL, pkcs12_import_certificate(0, "c", 1, 0));
    faults("");
    EXPECT_EQ(0, pkcs12_import_certificate(0, "c", 1, 0));
}

std::vector<ModuleKind> modules()
{
    return {{"keysim", DREVMOR_KEYSIM_MODULE, true}, {"softhsm", DREVMOR_SOFTHSM_MODULE, false}};
}

INSTANTIATE_TEST_SUITE_P(Modules, Recovery, ::testing::ValuesIn(modules()),
                         [](const ::testing::TestParamInfo<ModuleKind>& info) { return info.param.name; });

} // namespace
