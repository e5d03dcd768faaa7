// SPDX-License-Identifier: Apache-2.0
// The configuration file: taken in again whenever it changes, and never able to crash the wrapper
// whatever it holds.
#include "FaultwrapTestSupport.h"

#include <filesystem>
#include <random>
#include <sstream>

using namespace faultwrap_test;

namespace {

using ConfigFile = WrappedModuleTest;

CK_RV slotList(CK_FUNCTION_LIST* f)
{
    CK_ULONG n = 0;
    return f->C_GetSlotList(CK_TRUE, nullptr, &n);
}

TEST_P(ConfigFile, ChangesArePickedUpAndRestartTheOneShotCount)
{
    EXPECT_EQ(CKR_OK, slotList(m_f)); // no file: no faults
    config("fail.next.C_GetSlotList=before:2:0xE0\n");
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, slotList(m_f));
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, slotList(m_f));
    EXPECT_EQ(CKR_OK, slotList(m_f));
    // Written again with the same text: counted from the new reading.
    config("fail.next.C_GetSlotList=before:2:0xE0\n");
    EXPECT_EQ(CKR_TOKEN_NOT_PRESENT, slotList(m_f));
    // Changed in place (same file, other size).
    {
        std::FILE* f = std::fopen(configPath().c_str(), "w");
        ASSERT_NE(nullptr, f);
        std::fputs("fail.rate=100\nfail.functions=C_GetSlotList\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(CKR_DEVICE_ERROR, slotList(m_f));
    EXPECT_EQ(CKR_DEVICE_ERROR, slotList(m_f));
    std::filesystem::remove(configPath());
    EXPECT_EQ(CKR_OK, slotList(m_f));
}

// Texts no configuration should hold. Each must leave the wrapper forwarding without faults.
std::vector<std::string> garbage()
{
    std::vector<std::string> texts = {
        "fail.rate=101\nfail.rate=-1\nfail.rate=nan\nfail.rate=inf\nfail.rate=1e999\nfail.rate=\n",
        "latency=-5\nlatency=99999999999999999999999\nlatency.C_Nothing=5\nlatency.=5\nlatency=1e3\n",
        "fail.next.C_GetSlotList=sometimes\nfail.next.C_GetSlotList=before:0\n"
        "fail.next.C_GetSlotList=before:1:2:3\nfail.next.C_GetSlotList=before:x\nfail.next.C_Nope=before\n",
        "fail.code=0x1FFFFFFFF\nfail.code=zz\nfail.when=sometimes\nprofile=fast-key\nseed=-1\nseed=0x\n",
        "=\n==\n=value\nkey only\n\x01\x02\x03=\x04\n" + std::string(3, '\0') + "\n#comment=1\n",
        "fail.functions=C_GetSlotList,C_Bogus\nfail.rate=100\n", // the rate alone: no listed function
        std::string(100000, 'A') + "\nlatency.C_GetSlotList=" + std::string(5000, '9') + "\n",
        "module=\nlog=\n\r\n\t\n   \n",
        std::string(2u << 20, '#'), // longer than the wrapper reads
    };
    std::mt19937 random(2024);
    for (int i = 0; i < 5; ++i) {
        std::string bytes(4096, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        texts.push_back(bytes);
    }
    return texts;
}

TEST_P(ConfigFile, GarbageIsSurvived)
{
    CK_SESSION_HANDLE s = openSession();
    for (const std::string& text : garbage()) {
        config(text);
        CK_TOKEN_INFO info;
        CK_SESSION_INFO session;
        const bool rateOnly = text.starts_with("fail.functions=C_GetSlotList,C_Bogus");
        // A rejected fail.functions leaves fail.rate=100 over every function: that line is the
        // only one here that takes effect.
        const CK_RV expected = rateOnly ? CKR_DEVICE_ERROR : CKR_OK;
        EXPECT_EQ(expected, slotList(m_f)) << text.substr(0, 80);
        EXPECT_EQ(expected, m_f->C_GetTokenInfo(m_slot, &info));
        EXPECT_EQ(expected, m_f->C_GetSessionInfo(s, &session));
    }
    config("");
    EXPECT_EQ(CKR_OK, slotList(m_f));
}

// Each line that cannot be used is reported once on stderr, however many calls follow, and the
// client's work goes on.
TEST_P(ConfigFile, BadLinesAreReportedOnceOnStandardError)
{
    if (std::string(FAULTWRAP_PKCS11_TOOL).empty())
        GTEST_SKIP() << "pkcs11-tool not installed";
    config("# a comment\nfail.rate=lots\nlatency.C_GetSlotList=10\nnonsense\nfail.next.C_Login=never\n");
    RunResult r = run({FAULTWRAP_PKCS11_TOOL, "--module", FAULTWRAP_LIBRARY, "--login", "--pin", kPin, "-O"});
    EXPECT_EQ(0, r.exitCode) << r.err;
    std::vector<std::string> reported;
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("kx2700-faultwrap:"))
            reported.push_back(line);
    const std::string prefix = "kx2700-faultwrap: " + configPath() + ": ";
    EXPECT_EQ((std::vector<std::string>{
                  prefix + "line 2: not a percentage (0 to 100) for fail.rate: 'lots' (ignored)",
                  prefix + "line 4: not name=value: 'nonsense' (ignored)",
                  prefix + "line 5: not before|after|either[:COUNT][:CODE] for fail.next.C_Login: 'never' (ignored)"}),
              reported);
}

INSTANTIATE_TEST_SUITE_P(Modules, ConfigFile, ::testing::ValuesIn(realModules()),
                         [](const ::testing::TestParamInfo<ModuleKind>& info) { return info.param.name; });

} // namespace
