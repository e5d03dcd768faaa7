// SPDX-License-Identifier: Apache-2.0
#include "platform/CertStore.h"
#include "platform/FileUtil.h"
#include "platform/TextEncoding.h"

#include "WriteLimits.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utime.h>

using namespace kx::platform;

namespace {

class CertStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char name[] = "/tmp/kx-store-XXXXXX";
        m_root = ::mkdtemp(name);
    }
    void TearDown() override
    {
        {
            std::error_code ignored;
            std::filesystem::remove_all(m_root, ignored);
        }
    }
    std::string m_root;
};

const std::vector<std::uint8_t> kCertA{0x30, 0x03, 0x02, 0x01, 0x01};
const std::vector<std::uint8_t> kCertB{0x30, 0x03, 0x02, 0x01, 0x02};

} // namespace

TEST_F(CertStoreTest, AddListReplaceAndRemove)
{
    CertStore store(m_root + "/certstore");
    EXPECT_TRUE(store.list("MY").empty());
    ASSERT_EQ(store.add("MY", kCertA, KeyProvInfo{"container one", "KX CSP", 1}), 0);
    ASSERT_EQ(store.add("MY", kCertB, std::nullopt), 0);
    ASSERT_EQ(store.add("ROOT", kCertA, std::nullopt), 0);

    auto my = store.list("MY");
    ASSERT_EQ(my.size(), 2u);
    const auto a = std::find_if(my.begin(), my.end(), [](const auto& c) { return c.der == kCertA; });
    ASSERT_NE(a, my.end());
    EXPECT_EQ(a->thumbprint, CertStore::thumbprintOf(kCertA));
    EXPECT_EQ(a->thumbprint.size(), 40u);
    ASSERT_TRUE(a->keyProv);
    EXPECT_EQ(a->keyProv->container, "container one");
    EXPECT_EQ(a->keyProv->provider, "KX CSP");
    EXPECT_EQ(a->keyProv->keySpec, 1);
    EXPECT_TRUE(fileExists(m_root + "/certstore/MY/" + a->thumbprint + ".cer"));
    EXPECT_TRUE(fileExists(m_root + "/certstore/MY/" + a->thumbprint + ".keyprov"));

    // Adding again replaces the properties.
    ASSERT_EQ(store.add("MY", kCertA, KeyProvInfo{"  other ", "KX CSP", 2}), 0);
    my = store.list("MY");
    ASSERT_EQ(my.size(), 2u);
    for (const auto& c : my) {
        if (c.der == kCertA) {
            ASSERT_TRUE(c.keyProv);
            EXPECT_EQ(c.keyProv->container, "  other ");
            EXPECT_EQ(c.keyProv->keySpec, 2);
        }
    }
    ASSERT_EQ(store.add("MY", kCertA, std::nullopt), 0);
    EXPECT_FALSE(fileExists(m_root + "/certstore/MY/" + CertStore::thumbprintOf(kCertA) + ".keyprov"));

    EXPECT_EQ(store.remove("MY", CertStore::thumbprintOf(kCertA)), 0);
    EXPECT_EQ(store.list("MY").size(), 1u);
    // A removal takes the certificate's properties with it.
    const std::string other = m_root + "/certstore/MY/" + CertStore::thumbprintOf(kCertA);
    ASSERT_EQ(store.add("MY", kCertA, KeyProvInfo{"again", "KX CSP", 1}), 0);
    ASSERT_TRUE(fileExists(other + ".keyprov"));
    EXPECT_EQ(store.remove("MY", CertStore::thumbprintOf(kCertA)), 0);
    EXPECT_FALSE(fileExists(other + ".cer"));
    EXPECT_FALSE(fileExists(other + ".keyprov"));
    EXPECT_EQ(store.list("ROOT").size(), 1u); // other stores untouched
    EXPECT_EQ(store.remove("MY", "../../etc/passwd"), 1);
}

TEST_F(CertStoreTest, RefusesBadInputAndSkipsForeignFiles)
{
    CertStore store(m_root);
    EXPECT_EQ(store.add("my", kCertA, std::nullopt), EINVAL);
    EXPECT_EQ(store.add("OTHER", kCertA, std::nullopt), EINVAL);
    EXPECT_EQ(store.add("CA", {}, std::nullopt), EINVAL);
    EXPECT_TRUE(store.list("MY").empty());

    ASSERT_TRUE(makePath(m_root + "/CA"));
    std::ofstream(m_root + "/CA/notes.txt") << "x";
    std::ofstream(m_root + "/CA/" + std::string(40, 'Z') + ".cer") << "x";
    std::ofstream(m_root + "/CA/" + std::string(40, 'A') + ".cer"); // empty file
    ASSERT_EQ(store.add("CA", kCertB, std::nullopt), 0);
    EXPECT_EQ(store.list("CA").size(), 1u);
    // A properties file that is not ours reads as no binding.
    std::ofstream(m_root + "/CA/" + CertStore::thumbprintOf(kCertB) + ".keyprov") << "garbage\x01\x02";
    ASSERT_EQ(store.list("CA").size(), 1u);
    EXPECT_FALSE(store.list("CA")[0].keyProv);
}

TEST_F(CertStoreTest, NamesOfAnyBytesComeBackAsTheyWent)
{
    CertStore store(m_root);
    // A container name in GBK bytes with a control character, and a Chinese provider name.
    const KeyProvInfo gbk{"\xC8\xDD\xC6\xF7\x01\\x41\n", "中文 CSP", 1};
    const KeyProvInfo blanks{"\xE3\x80\x80 \\\\ \xFF", "\t提供者\xE3\x80\x80", 2};
    ASSERT_EQ(store.add("MY", kCertA, gbk), 0);
    ASSERT_EQ(store.add("MY", kCertB, blanks), 0);
    const auto my = store.list("MY");
    ASSERT_EQ(my.size(), 2u);
    for (const auto& c : my) {
        const KeyProvInfo& expected = c.der == kCertA ? gbk : blanks;
        ASSERT_TRUE(c.keyProv);
        EXPECT_EQ(c.keyProv->container, expected.container);
        EXPECT_EQ(c.keyProv->provider, expected.provider);
        std::string file;
        ASSERT_EQ(readWholeFile(m_root + "/MY/" + c.thumbprint + ".keyprov", file, 4096), ReadStatus::Ok);
        EXPECT_TRUE(isValidUtf8(file)) << file;
    }
}

TEST_F(CertStoreTest, EarlierPropertiesFilesReadAsBefore)
{
    CertStore store(m_root);
    ASSERT_EQ(store.add("MY", kCertA, std::nullopt), 0);
    ASSERT_EQ(store.add("MY", kCertB, std::nullopt), 0);
    // Written before names were escaped: names as they were, backslashes included, and a
    // container name in GBK bytes beside a UTF-8 provider name.
    std::ofstream(m_root + "/MY/" + CertStore::thumbprintOf(kCertA) + ".keyprov")
        << "[KeyProvInfo]\nContainer=\\\\.\\x41\\c\nProvider=中文CSP\nKeySpec=2\n";
    std::ofstream(m_root + "/MY/" + CertStore::thumbprintOf(kCertB) + ".keyprov")
        << "[KeyProvInfo]\nContainer=\xC8\xDD\xC6\xF7\nProvider=中文CSP\nKeySpec=1\n";
    for (const auto& c : store.list("MY")) {
        ASSERT_TRUE(c.keyProv);
        EXPECT_EQ(c.keyProv->container, c.der == kCertA ? "\\\\.\\x41\\c" : "\xC8\xDD\xC6\xF7");
        EXPECT_EQ(c.keyProv->provider, "中文CSP");
    }
}

TEST_F(CertStoreTest, AdditionLeavesBothFilesOrNeither)
{
    CertStore store(m_root);
    const std::vector<std::uint8_t> large(200, 0x30);
    const std::string largeBase = m_root + "/MY/" + CertStore::thumbprintOf(large);
    const std::string smallBase = m_root + "/MY/" + CertStore::thumbprintOf(kCertA);
    ASSERT_TRUE(makePath(m_root + "/MY"));
    {
        // Room for the properties but not for the certificate.
        const kx::test::FileSizeLimit full(150);
        EXPECT_EQ(store.add("MY", large, KeyProvInfo{"c", "P", 1}), EFBIG);
        EXPECT_FALSE(fileExists(largeBase + ".cer"));
        EXPECT_FALSE(fileExists(largeBase + ".keyprov"));
    }
    ASSERT_EQ(store.add("MY", kCertA, KeyProvInfo{"first", "P", 1}), 0);
    {
        // Room for the certificate but not for its properties.
        const kx::test::FileSizeLimit full(20);
        EXPECT_EQ(store.add("MY", kCertB, KeyProvInfo{std::string(100, 'c'), "P", 1}), EFBIG);
        EXPECT_EQ(store.add("MY", kCertA, KeyProvInfo{std::string(100, 'c'), "P", 2}), EFBIG);
    }
    const auto my = store.list("MY");
    ASSERT_EQ(my.size(), 1u); // no certificate B without its binding
    ASSERT_TRUE(my[0].keyProv);
    EXPECT_EQ(my[0].keyProv->container, "first"); // the certificate there keeps its binding
    EXPECT_EQ(std::system(("test $(ls -A '" + m_root + "/MY' | wc -l) -eq 2").c_str()), 0);
}

TEST_F(CertStoreTest, FailureGivesTheReason)
{
    CertStore store(m_root);
    ASSERT_TRUE(makePath(m_root + "/MY"));
    ::chmod(m_root.c_str(), 0755);
    const int code = kx::test::runWithoutWriteAccess((m_root + "/MY").c_str(), [&] {
        return store.add("MY", kCertA, KeyProvInfo{"c", "P", 1});
    });
    EXPECT_EQ(code, EACCES);
    EXPECT_TRUE(store.list("MY").empty());
}

TEST_F(CertStoreTest, AdditionSweepsTemporariesLeftByACrash)
{
    CertStore store(m_root);
    ASSERT_TRUE(makePath(m_root + "/CA"));
    const std::string left = m_root + "/CA/" + CertStore::thumbprintOf(kCertB) + ".keyprov.tmp.Ab12Cd";
    const std::string foreign = m_root + "/CA/notes.txt.tmp.Ab12Cd";
    for (const std::string& file : {left, foreign}) {
        std::ofstream(file) << "[KeyProvInfo]\n";
        const utimbuf hourAgo{std::time(nullptr) - 3600, std::time(nullptr) - 3600};
        ::utime(file.c_str(), &hourAgo);
    }
    ASSERT_EQ(store.add("CA", kCertA, std::nullopt), 0);
    EXPECT_FALSE(fileExists(left));
    EXPECT_TRUE(fileExists(foreign));
}

namespace {

// What the personal store lists of certificate A: "absent", "unbound" or the container it is bound to.
std::string listedA(const CertStore& store)
{
    for (const StoredCertificate& certificate : store.list("MY")) {
        if (certificate.der == kCertA) {
            return certificate.keyProv ? certificate.keyProv->container : "unbound";
        }
    }
    return "absent";
}

// Properties without their certificate and temporary files in a store folder.
int leftovers(const std::string& folder)
{
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::filesystem::path path = entry.path();
        found += (path.extension() == ".keyprov" && !fileExists(path.parent_path() / path.stem() += ".cer")) ||
                 path.filename().string().find(".tmp.") != std::string::npos;
    }
    return found;
}

} // namespace

// A process killed after any change on disk of an addition or a removal leaves certificate and
// properties as a pair, the old one or the new one; properties it leaves alone are never listed
// and the next write sweeps them away.
TEST_F(CertStoreTest, PairSurvivesAKillAtEveryChange)
{
    CertStore store(m_root);
    const auto bind = [&store](const char* container) {
        return [&store, container] { store.add("MY", kCertA, KeyProvInfo{container, "KX CSP", 1}); };
    };
    struct Case
    {
        std::function<void()> before, change;
        std::string from, to;
        int changes;
    };
    const Case cases[] = {
        {[] {}, bind("new"), "absent", "new", 2},
        {bind("old"), bind("new"), "old", "new", 1},
        {bind("old"), [&] { store.add("MY", kCertA, std::nullopt); }, "old", "unbound", 1},
        {bind("old"), [&] { store.remove("MY", CertStore::thumbprintOf(kCertA)); }, "old", "absent", 2},
    };
    for (const Case& c : cases) {
        for (int change = 1;; ++change) {
            SCOPED_TRACE(c.from + " -> " + c.to + ", killed after change " + std::to_string(change));
            std::filesystem::remove_all(m_root + "/MY");
            c.before();
            const bool killed = kx::test::runKilledAfterChange(change, c.change);
            const std::string seen = listedA(store);
            EXPECT_TRUE(seen == c.from || seen == c.to) << seen;
            // The next write leaves nothing behind and keeps what was listed.
            ASSERT_EQ(store.add("MY", kCertB, std::nullopt), 0);
            EXPECT_EQ(leftovers(m_root + "/MY"), 0);
            EXPECT_EQ(listedA(store), seen);
            if (!killed) {
                EXPECT_EQ(seen, c.to);
                EXPECT_EQ(change, c.changes + 1);
                break;
            }
        }
    }
}

// A certificate file that no longer holds its bytes is rewritten; when that fails, the
// certificate keeps the binding it had.
TEST_F(CertStoreTest, FailedRewriteKeepsTheOldBinding)
{
    CertStore store(m_root);
    const std::vector<std::uint8_t> large(200, 0x30);
    const std::string certPath = m_root + "/MY/" + CertStore::thumbprintOf(large) + ".cer";
    ASSERT_EQ(store.add("MY", large, KeyProvInfo{"first", "P", 1}), 0);
    ::truncate(certPath.c_str(), 10);
    {
        // Room for the properties but not for the certificate.
        const kx::test::FileSizeLimit full(150);
        EXPECT_EQ(store.add("MY", large, KeyProvInfo{"second", "P", 1}), EFBIG);
    }
    const auto my = store.list("MY");
    ASSERT_EQ(my.size(), 1u);
    ASSERT_TRUE(my[0].keyProv);
    EXPECT_EQ(my[0].keyProv->container, "first");
    ASSERT_EQ(store.add("MY", large, KeyProvInfo{"second", "P", 1}), 0);
    EXPECT_EQ(store.list("MY")[0].der, large);
}
