// SPDX-License-Identifier: Apache-2.0
// The store state a process keeps between calls: read once while nothing changes, read again
// after any change by any process (the control tool runs as a program of its own here).
#include "core/StoreState.h"
#include "KeysimTestSupport.h"

#include <string>

using namespace keysimtest;

namespace {

class StoreStateTest : public KeysimDirTest
{
protected:
    keysim::KeyStore store() const { return keysim::KeyStore(m_dir); }
    std::vector<std::string> plugged()
    {
        std::vector<std::string> out;
        for (const auto& e : m_state.bus(store()))
            out.push_back(e.serial);
        return out;
    }
    std::string labelOf(const std::string& serial)
    {
        auto rec = m_state.record(store(), serial);
        return rec ? rec->label : "-";
    }
    keysim::StoreState m_state;
};

TEST_F(StoreStateTest, ReadsOnceWhileNothingChangesAndAgainAfterEachChange)
{
    tool({"create", "--serial", "KXS1", "--label", "first"});
    tool({"create", "--serial", "KXS2", "--no-plug"});
    EXPECT_EQ(std::vector<std::string>{"KXS1"}, plugged());
    EXPECT_EQ("first", labelOf("KXS1"));
    const std::uint64_t used = m_state.usedMemory(store(), "KXS1");
    const auto quiet = m_state.generation();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(std::vector<std::string>{"KXS1"}, plugged());
        EXPECT_EQ("first", labelOf("KXS1"));
        EXPECT_EQ(used, m_state.usedMemory(store(), "KXS1"));
    }
    {
        // Taking a key's lock (every writer does) changes nothing.
        keysim::FileLock lock = store().lockKey("KXS1");
    }
    EXPECT_EQ(std::vector<std::string>{"KXS1"}, plugged());
    EXPECT_EQ(quiet, m_state.generation());

    // Plug and pull by another process, back to back.
    tool({"plug", "KXS2"});
    EXPECT_EQ((std::vector<std::string>{"KXS1", "KXS2"}), plugged());
    tool({"pull", "KXS1"});
    tool({"pull", "KXS2"});
    tool({"plug", "KXS1"});
    EXPECT_EQ(std::vector<std::string>{"KXS1"}, plugged());
    // A key record rewritten, a key made, an object written.
    tool({"set", "KXS1", "--label", "second"});
    EXPECT_EQ("second", labelOf("KXS1"));
    tool({"create", "--serial", "KXS3"});
    EXPECT_EQ((std::vector<std::string>{"KXS1", "KXS3"}), plugged());
    EXPECT_EQ((std::vector<std::string>{"KXS1", "KXS2", "KXS3"}), m_state.serials(store()));
    keysim::Attributes object;
    object[CKA_LABEL] = keysim::Bytes(100, 'x');
    store().saveObject("KXS3", 1, object);
    EXPECT_EQ(keysim::KeyStore::objectSize(object), m_state.usedMemory(store(), "KXS3"));
    store().removeObject("KXS3", 1);
    EXPECT_EQ(0u, m_state.usedMemory(store(), "KXS3"));
    EXPECT_GT(m_state.generation(), quiet);
}

TEST_F(StoreStateTest, AnotherStoreFolderIsReadAfresh)
{
    tool({"create", "--serial", "KXHERE"});
    EXPECT_EQ(std::vector<std::string>{"KXHERE"}, plugged());
    // A store folder made later than the state was first asked: nothing there yet, then a key.
    keysim::KeyStore other(m_dir + "/other");
    EXPECT_TRUE(m_state.bus(other).empty());
    keysim::KeyRecord rec;
    rec.serial = "KXTHERE";
    other.create(rec);
    other.plug("KXTHERE");
    ASSERT_EQ(1u, m_state.bus(other).size());
    EXPECT_EQ("KXTHERE", m_state.bus(other).front().serial);
    EXPECT_EQ(std::vector<std::string>{"KXHERE"}, plugged());
}

} // namespace
