// SPDX-License-Identifier: Apache-2.0
// Faults and latency as the configuration asks for them: one-shot triggers before and after the
// real call, seeded random faults, latency per function and per kind of call, many threads.
#include "FaultwrapTestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <thread>

using namespace faultwrap_test;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

using FaultInjection = WrappedModuleTest;

// The audit's finding: a C_FindObjectsFinal that fails before reaching the module leaves the
// module's search active, so the next search is refused until someone finishes it.
TEST_P(FaultInjection, FailedFindObjectsFinalLeavesTheSearchActiveInTheModule)
{
    config("log=" + logPath() + "\nfail.next.C_FindObjectsFinal=before\n");
    CK_SESSION_HANDLE s = openSession();
    ASSERT_EQ(CKR_OK, m_f->C_FindObjectsInit(s, nullptr, 0));
    CK_OBJECT_HANDLE found[8];
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, m_f->C_FindObjects(s, found, 8, &n));
    EXPECT_EQ(CKR_DEVICE_ERROR, m_f->C_FindObjectsFinal(s));
    EXPECT_EQ(CKR_OPERATION_ACTIVE, m_f->C_FindObjectsInit(s, nullptr, 0));

    // The real module, asked directly, still holds the search and lets it be finished.
    LoadedModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    EXPECT_EQ(CKR_OK, real.f()->C_FindObjectsFinal(s));
    EXPECT_EQ(CKR_OK, m_f->C_FindObjectsInit(s, nullptr, 0));
    EXPECT_EQ(CKR_OK, m_f->C_FindObjectsFinal(s));

    const auto lines = logLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(std::to_string(getpid()) + " C_FindObjectsFinal before 0x30", lines[0]);
}

TEST_P(FaultInjection, AfterFaultsKeepTheirEffectBeforeFaultsHaveNone)
{
    CK_SESSION_HANDLE s = openSession();
    login(s);
    const size_t start = tokenObjects(s).size();

    config("log=" + logPath() + "\nfail.next.C_CreateObject=after:1:0x1B4\n");
    EXPECT_EQ(0x1B4u, createData(s, "made despite the fault"));
    EXPECT_EQ(start + 1, tokenObjects(s).size());

    config("log=" + logPath() + "\nfail.code=0x32\nfail.next.C_CreateObject=before:2\n");
    EXPECT_EQ(CKR_DEVICE_REMOVED, createData(s, "never made"));
    EXPECT_EQ(CKR_DEVICE_REMOVED, createData(s, "never made either"));
    EXPECT_EQ(start + 1, tokenObjects(s).size());
    EXPECT_EQ(CKR_OK, createData(s, "made after the two faults"));
    EXPECT_EQ(start + 2, tokenObjects(s).size());

    const std::string pid = std::to_string(getpid());
    EXPECT_EQ((std::vector<std::string>{pid + " C_CreateObject after 0x1B4", pid + " C_CreateObject before 0x32",
                                        pid + " C_CreateObject before 0x32"}),
              logLines());
}

// The pattern of failures of 400 calls: '.' for success, 'x' for the injected fault.
std::string slotListPattern(CK_FUNCTION_LIST* f, int calls = 400)
{
    std::string pattern;
    for (int i = 0; i < calls; ++i) {
        CK_ULONG n = 0;
        const CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n);
        pattern += rv == CKR_OK ? '.' : rv == CKR_DEVICE_ERROR ? 'x' : '?';
    }
    return pattern;
}

TEST_P(FaultInjection, SeededRandomFaultsAreReproducible)
{
    const std::string seeded = "seed=42\nfail.rate=25%\nfail.functions=C_GetSlotList, C_GetSessionInfo\n";
    config(seeded);
    const std::string first = slotListPattern(m_f);
    const auto faults = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(faults, 60) << first;
    EXPECT_LT(faults, 140) << first;
    EXPECT_EQ(std::string::npos, first.find('?'));
    // The sequence goes on while the file stays, and starts again from the seed when it is written.
    EXPECT_NE(first, slotListPattern(m_f));
    config(seeded);
    EXPECT_EQ(first, slotListPattern(m_f));
    config("seed=43\nfail.rate=25\nfail.functions=C_GetSlotList\n");
    EXPECT_NE(first, slotListPattern(m_f));
    // Functions the list leaves out never fail.
    CK_TOKEN_INFO info;
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(CKR_OK, m_f->C_GetTokenInfo(m_slot, &info));
}

TEST_P(FaultInjection, EitherStrikesBeforeAndAfter)
{
    config("log=" + logPath() + "\nfail.rate=100\nfail.when=either\nfail.code=48\nfail.functions=C_GetSlotList\n");
    EXPECT_EQ(std::string(60, 'x'), slotListPattern(m_f, 60));
    const auto lines = logLines();
    ASSERT_EQ(60u, lines.size());
    const auto before = std::count_if(lines.begin(), lines.end(),
                                      [](const std::string& l) { return l.ends_with("C_GetSlotList before 0x30"); });
    const auto after = std::count_if(lines.begin(), lines.end(),
                                     [](const std::string& l) { return l.ends_with("C_GetSlotList after 0x30"); });
    EXPECT_EQ(60, before + after);
    EXPECT_GT(before, 5);
    EXPECT_GT(after, 5);
}

milliseconds timeOf(const std::function<void()>& call)
{
    const auto start = Clock::now();
    call();
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

// Only lower bounds: a loaded machine may take longer, never shorter.
TEST_P(FaultInjection, LatencyIsAppliedByFunctionAndByKindOfCall)
{
    CK_SESSION_HANDLE s = openSession();
    CK_ULONG n = 0;
    CK_SESSION_INFO info;
    CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE privateKey[] = {{CKA_CLASS, &privateClass, sizeof privateClass}};
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    auto createPrivateKey = [&] { m_f->C_CreateObject(s, privateKey, 1, &h); };

    config("latency.C_GetSlotList=300\n");
    EXPECT_GE(timeOf([&] { m_f->C_GetSlotList(CK_TRUE, nullptr, &n); }), milliseconds(300));

    config("profile=real-key\n");
    EXPECT_GE(timeOf([&] { m_f->C_GetSessionInfo(s, &info); }), milliseconds(20));
    EXPECT_GE(timeOf([&] { login(s); }), milliseconds(100));
    EXPECT_GE(timeOf([&] { createData(s, "slow write"); }), milliseconds(300));
    EXPECT_GE(timeOf(createPrivateKey), milliseconds(1000));

    config("profile=real-key\nlatency=50\nlatency.write=400\nlatency.private-write=700\nlatency.C_Logout=250\n");
    EXPECT_GE(timeOf([&] { m_f->C_GetSessionInfo(s, &info); }), milliseconds(50));
    EXPECT_GE(timeOf([&] { createData(s, "slower write"); }), milliseconds(400));
    EXPECT_GE(timeOf(createPrivateKey), milliseconds(700));
    EXPECT_GE(timeOf([&] { m_f->C_Logout(s); }), milliseconds(250));
}

// The latency is slept outside every lock: a slow call of one thread holds up no other thread. The
// order is read from the log: a fault with code 0 after a call changes nothing but leaves a line.
TEST_P(FaultInjection, SlowCallDoesNotHoldUpOtherThreads)
{
    config("log=" + logPath() + "\nlatency.C_GetSlotList=3000\nfail.next.C_GetInfo=after:1:0\n" +
           "fail.next.C_GetSlotList=after:1:0\nfail.next.C_GetTokenInfo=after:1:0\n");
    std::thread slow([&] {
        CK_INFO info;
        m_f->C_GetInfo(&info); // the mark: the slow call comes next
        CK_ULONG n = 0;
        m_f->C_GetSlotList(CK_TRUE, nullptr, &n);
    });
    for (int i = 0; i < 2000 && logLines().empty(); ++i)
        std::this_thread::sleep_for(milliseconds(10));
    std::this_thread::sleep_for(milliseconds(300)); // from the mark into the slow call's sleep
    CK_TOKEN_INFO info;
    EXPECT_EQ(CKR_OK, m_f->C_GetTokenInfo(m_slot, &info));
    slow.join();
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ((std::vector<std::string>{pid + " C_GetInfo after 0x0", pid + " C_GetTokenInfo after 0x0",
                                        pid + " C_GetSlotList after 0x0"}),
              logLines());
}

TEST_P(FaultInjection, EveryFaultOfManyThreadsIsLogged)
{
    config("log=" + logPath() + "\nseed=7\nfail.rate=30\nfail.functions=C_GetSlotList,C_GetTokenInfo\n");
    std::atomic<int> failures{0}, others{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                CK_ULONG n = 0;
                CK_TOKEN_INFO info;
                for (CK_RV rv : {m_f->C_GetSlotList(CK_TRUE, nullptr, &n), m_f->C_GetTokenInfo(m_slot, &info)}) {
                    if (rv == CKR_DEVICE_ERROR)
                        ++failures;
                    else if (rv != CKR_OK)
                        ++others;
                }
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(0, others);
    EXPECT_GT(failures, 0);
    const auto lines = logLines();
    EXPECT_EQ(static_cast<size_t>(failures.load()), lines.size());
    const std::regex line(std::to_string(getpid()) + " C_Get(SlotList|TokenInfo) before 0x30");
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_match(l, line)) << l;
}

INSTANTIATE_TEST_SUITE_P(Modules, FaultInjection, ::testing::ValuesIn(realModules()),
                         [](const ::testing::TestParamInfo<ModuleKind>& info) { return info.param.name; });

} // namespace
