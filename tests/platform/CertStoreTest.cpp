// SPDX-License-Identifier: Apache-2.0
#include "platform/CertStore.h"
#include "platform/FileUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

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
    void TearDown() override { std::system(("rm -rf '" + m_root + "'").c_str()); }
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
    EXPECT_EQ(store.list("ROOT").size(), 1u); // other stores untouched
    EXPECT_EQ(store.remove("MY", "../../etc/passwd"), 1);
}

TEST_F(CertStoreTest, RefusesBadInputAndSkipsForeignFiles)
{
    CertStore store(m_root);
    EXPECT_EQ(store.add("my", kCertA, std::nullopt), 1);
    EXPECT_EQ(store.add("OTHER", kCertA, std::nullopt), 1);
    EXPECT_EQ(store.add("CA", {}, std::nullopt), 1);
    EXPECT_EQ(store.add("MY", kCertA, KeyProvInfo{"line\nbreak", "P", 1}), 1);
    EXPECT_TRUE(store.list("MY").empty()); // a refused binding leaves no certificate behind

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
