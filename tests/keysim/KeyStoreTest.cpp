// SPDX-License-Identifier: Apache-2.0
// The key store shared by the faces, and the control tool that manages it.
#include "core/KeyStore.h"
#include "KeysimTestSupport.h"
#include "core/KeyAuth.h"
#include "tool/ToolCommands.h"

#include <openssl/hmac.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace keysimtest;
namespace fs = std::filesystem;

namespace {
class KeyStoreTest : public KeysimDirTest
{
protected:
    int run(const std::vector<std::string>& args, std::string* outText = nullptr)
    {
        std::ostringstream out, err;
        int rc = keysim::runTool(args, out, err);
        if (outText)
            *outText = out.str() + err.str();
        return rc;
    }
    keysim::KeyStore store() { return keysim::KeyStore(m_dir); }
};

TEST_F(KeyStoreTest, CreatePlugsTheKeyOnTheBusUnderItsInterfacePath)
{
    ASSERT_EQ(run({"create", "--serial", "BUS001", "--vid", "1ea8", "--pid", "c00a"}), 0);
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_dir + "/bus"))
        names.push_back(e.path().filename().string());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0], "\\\\?\\USB#VID_1EA8&PID_C00A#BUS001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

    ASSERT_EQ(run({"pull", "BUS001"}), 0);
    EXPECT_TRUE(fs::is_empty(m_dir + "/bus"));
    ASSERT_EQ(run({"create", "--serial", "BUS002", "--no-plug"}), 0);
    EXPECT_TRUE(fs::is_empty(m_dir + "/bus"));
    ASSERT_EQ(run({"delete", "BUS001"}), 0);
    EXPECT_FALSE(fs::exists(m_dir + "/keys/BUS001"));
}

TEST_F(KeyStoreTest, PinsAreStoredOnlyAsSaltedHashes)
{
    ASSERT_EQ(run({"create", "--serial", "HASH01", "--pin", "Secret#2024", "--so-pin", "SoSecret99"}), 0);
    ASSERT_EQ(run({"create", "--serial", "HASH02", "--pin", "Secret#2024"}), 0);
    std::ifstream a(m_dir + "/keys/HASH01/key.conf"), b(m_dir + "/keys/HASH02/key.conf");
    std::string ta((std::istreambuf_iterator<char>(a)), {}), tb((std::istreambuf_iterator<char>(b)), {});
    EXPECT_EQ(ta.find("Secret#2024"), std::string::npos);
    EXPECT_EQ(ta.find("SoSecret99"), std::string::npos);
    keysim::KeyRecord ra = store().load("HASH01"), rb = store().load("HASH02");
    EXPECT_NE(ra.user.hash, rb.user.hash) << "same PIN, different salt";
    EXPECT_TRUE(keysim::pinIsDefault(ra));
    EXPECT_EQ(keysim::verifyPin(store(), "HASH01", keysim::PinUser::User, "Secret#2024").result,
              keysim::AuthResult::Ok);
}

TEST_F(KeyStoreTest, RecordKeepsEveryPropertyThroughTheFile)
{
    keysim::KeyRecord r;
    r.number = 42;
    r.serial = "REC42";
    r.label = "line\nbreak \\ and 中文";
    r.sensor = keysim::SensorKind::FingerVein;
    r.fingerFormat = keysim::FingerFormat::NumberList;
    r.fingers = {9, 1, 4};
    r.failInfo = true;
    r.visibleAfterMs = 1500;
    r.vid = 0x1234;
    r.hwMajor = 3;
    r.hwMinor = 7;
    keysim::KeyRecord back = keysim::KeyRecord::parse(r.serialize());
    EXPECT_EQ(back.serialize(), r.serialize());
    EXPECT_EQ(back.label, r.label);
    EXPECT_EQ(back.fingers, r.fingers);
    // Hash and secret fields are hexadecimal when the store writes them, but a hand-edited file
    // may hold anything; such a value survives a rewrite instead of breaking the file.
    const keysim::KeyRecord edited =
        keysim::KeyRecord::parse("number=1\nserial=X\nuser_salt=a\\nb\ninitial_pin_hash=\\\\x\nunblock_secret=c\\rd\n");
    EXPECT_EQ(edited.user.salt, "a\nb");
    const keysim::KeyRecord rewritten = keysim::KeyRecord::parse(edited.serialize());
    EXPECT_EQ(rewritten.user.salt, "a\nb");
    EXPECT_EQ(rewritten.initialPinHash, "\\x");
    EXPECT_EQ(rewritten.unblockSecret, "c\rd");
    EXPECT_THROW(keysim::KeyRecord::parse("garbage"), std::runtime_error);
    EXPECT_THROW(keysim::KeyRecord::parse("number=1\nserial=X\nfingers=11\n"), std::runtime_error);
}

TEST_F(KeyStoreTest, LeftoverTemporaryFilesAreIgnored)
{
    ASSERT_EQ(run({"create", "--serial", "TMP001"}), 0);
    // What a crash between write and rename leaves behind.
    std::ofstream(m_dir + "/keys/TMP001/objects/.tmp-7.obj.abc123") << "KXOBJ 1\n0:00";
    std::ofstream(m_dir + "/bus/.tmp-half-written") << "serial=TMP001\nnumber=1\n";
    EXPECT_TRUE(store().objectIds("TMP001").empty());
    EXPECT_EQ(store().bus().size(), 1u);
}

TEST_F(KeyStoreTest, TwoProcessesWritingObjectsLoseNothing)
{
    ASSERT_EQ(run({"create", "--serial", "CONC01", "--pin", "11112222", "--total-memory", "1000000", "--free-memory",
                   "900000"}),
              0);
    CK_FUNCTION_LIST* p = pkcs11();
    ASSERT_NE(p, nullptr);
    constexpr int kPerWriter = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int bad = 0;
            if (p->C_Initialize(nullptr) != CKR_OK)
                ::_exit(10);
            CK_SLOT_ID slot;
            CK_ULONG n = 1;
            CK_SESSION_HANDLE h;
            if (p->C_GetSlotList(CK_TRUE, &slot, &n) != CKR_OK || n != 1 ||
                p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) != CKR_OK)
                ::_exit(11);
            std::string pin = "11112222";
            if (p->C_Login(h, CKU_USER, (CK_UTF8CHAR_PTR)pin.data(), pin.size()) != CKR_OK)
                ::_exit(12);
            for (int i = 0; i < kPerWriter; ++i) {
                std::string label = "w" + std::to_string(w) + "-" + std::to_string(i);
                CK_OBJECT_CLASS cls = CKO_DATA;
                CK_BBOOL yes = CK_TRUE;
                CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                                    {CKA_TOKEN, &yes, 1},
                                    {CKA_PRIVATE, &yes, 1},
                                    {CKA_LABEL, label.data(), label.size()}};
                CK_OBJECT_HANDLE o;
                if (p->C_CreateObject(h, t, 4, &o) != CKR_OK)
                    ++bad;
                // Counter updates from both processes interleave with the object writes.
                std::string wrong = "00000000";
                if (i % 5 == 0) {
                    p->C_Logout(h);
                    p->C_Login(h, CKU_USER, (CK_UTF8CHAR_PTR)wrong.data(), wrong.size());
                    p->C_Login(h, CKU_USER, (CK_UTF8CHAR_PTR)pin.data(), pin.size());
                }
            }
            p->C_Finalize(nullptr);
            ::_exit(bad == 0 ? 0 : 13);
        }
        children.push_back(pid);
    }
    for (pid_t c : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(c, &status, 0), c);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer exit " << WEXITSTATUS(status);
    }
    auto ids = store().objectIds("CONC01");
    EXPECT_EQ(ids.size(), 2u * kPerWriter);
    std::set<std::string> labels;
    for (auto id : ids) {
        auto a = store().loadObject("CONC01", id);
        ASSERT_TRUE(a);
        const auto& l = a->at(CKA_LABEL);
        labels.insert(std::string(l.begin(), l.end()));
    }
    EXPECT_EQ(labels.size(), 2u * kPerWriter);
    EXPECT_EQ(store().load("CONC01").nextObjectId, 2u * kPerWriter + 1);
    EXPECT_EQ(store().load("CONC01").user.retries, 6u) << "every wrong PIN was followed by a right one";
}

TEST_F(KeyStoreTest, RewrittenAndRemovedObjectsAreNeverServedFromTheCache)
{
    ASSERT_EQ(run({"create", "--serial", "CACHE1"}), 0);
    auto label = [](const std::string& text) {
        keysim::Attributes attrs;
        attrs[CKA_LABEL] = keysim::Bytes(text.begin(), text.end());
        return attrs;
    };
    auto labelOf = [this](std::uint64_t id) {
        auto attrs = store().loadObject("CACHE1", id);
        return attrs ? std::string(attrs->at(CKA_LABEL).begin(), attrs->at(CKA_LABEL).end()) : std::string("-");
    };
    store().saveObject("CACHE1", 7, label("first"));
    EXPECT_EQ(labelOf(7), "first");
    // Same size, written at once: another process's write must still be seen.
    store().saveObject("CACHE1", 7, label("again"));
    EXPECT_EQ(labelOf(7), "again");
    EXPECT_EQ(labelOf(7), "again");
    store().removeObject("CACHE1", 7);
    EXPECT_EQ(labelOf(7), "-");
    store().saveObject("CACHE1", 7, label("third"));
    EXPECT_EQ(labelOf(7), "third");
}

TEST_F(KeyStoreTest, UnlockCodeIsTheHmacOfTheRequest)
{
    const std::string secret = "00112233445566778899aabbccddeeff";
    ASSERT_EQ(run({"create", "--serial", "UNL001", "--unblock-secret", secret}), 0);
    std::string out;
    ASSERT_EQ(run({"unlock-code", "UNL001", "0102030405060708"}, &out), 0);
    unsigned char key[16], req[8] = {1, 2, 3, 4, 5, 6, 7, 8}, mac[32];
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<unsigned char>(std::stoi(secret.substr(2 * i, 2), nullptr, 16));
    unsigned int len = 0;
    HMAC(EVP_sha256(), key, 16, req, 8, mac, &len);
    char expected[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(expected + 2 * i, 3, "%02X", mac[i]);
    EXPECT_EQ(out, std::string(expected) + "\n");
}

TEST_F(KeyStoreTest, ToolRefusesBadArgumentsWithExitCode2)
{
    std::string out;
    EXPECT_EQ(run({}, &out), 2);
    EXPECT_EQ(run({"frobnicate"}, &out), 2);
    EXPECT_NE(out.find("unknown command"), std::string::npos);
    EXPECT_EQ(run({"create", "--serial", "bad/serial"}, &out), 2);
    EXPECT_EQ(run({"create", "--pin", "123"}, &out), 2);
    EXPECT_NE(out.find("--pin must have 6 to 16"), std::string::npos);
    EXPECT_EQ(run({"create", "--max-retries", "x"}, &out), 2);
    EXPECT_EQ(run({"create", "--sensor", "retina"}, &out), 2);
    EXPECT_EQ(run({"create", "--free-memory", "9", "--total-memory", "8"}, &out), 2);
    EXPECT_EQ(run({"create", "--label"}, &out), 2);
    EXPECT_EQ(run({"unlock-code", "NOKEY", "zz"}, &out), 2);
    EXPECT_EQ(run({"plug"}, &out), 2);
    EXPECT_TRUE(store().serials().empty()) << "nothing created by a refused command";

    EXPECT_EQ(run({"plug", "NOKEY"}, &out), 1);
    EXPECT_NE(out.find("no key with serial NOKEY"), std::string::npos);
    ASSERT_EQ(run({"create", "--serial", "DUP001"}), 0);
    EXPECT_EQ(run({"create", "--serial", "DUP001"}, &out), 1);
    EXPECT_EQ(run({"present-finger", "DUP001", "3"}, &out), 1) << "no sensor";
}

TEST_F(KeyStoreTest, ToolShowsAndChangesProperties)
{
    ASSERT_EQ(run({"create", "--serial", "SHOW01", "--label", "Key A", "--sensor", "fingerprint", "--fingers", "1,3"}),
              0);
    ASSERT_EQ(run({"set", "SHOW01", "--label", "Key B", "--user-retries", "2", "--finger-format", "list"}), 0);
    std::string out;
    ASSERT_EQ(run({"show", "SHOW01"}, &out), 0);
    EXPECT_NE(out.find("label: Key B\n"), std::string::npos);
    EXPECT_NE(out.find("user-pin-retries: 2/6\n"), std::string::npos);
    EXPECT_NE(out.find("fingers: 1,3\n"), std::string::npos);
    EXPECT_NE(out.find("finger-format: list\n"), std::string::npos);
    EXPECT_NE(out.find("caps: 2\n"), std::string::npos);
    EXPECT_NE(out.find("plugged: yes\n"), std::string::npos);
    ASSERT_EQ(run({"list"}, &out), 0);
    EXPECT_EQ(out, "SHOW01\tslot=1\tplugged\tKey B\n");
}

} // namespace
