// SPDX-License-Identifier: Apache-2.0
// A scripted SKF library for the fingerprint dialogs: the answers of the sample and test calls
// come from queues the test fills, so progress jumps, late failures and endless waiting can be
// produced on demand. An empty queue answers "sample pending" for ever.
#include <cstdint>
#include <deque>
#include <utility>

namespace {

using U32 = std::uint32_t;
constexpr U32 kPending = 0x0B000039;

struct Script
{
    U32 enrollInit = 0;
    U32 verifyInit = 0;
    U32 retryLeft = 5;
    std::deque<std::pair<U32, U32>> samples; // result, progress
    std::deque<std::pair<U32, U32>> tests;   // result, finger
    U32 progress = 0;
    // What the test reads back: sample calls, test calls, the finger mode.
    U32 counts[3] = {};
};

Script& script()
{
    static Script s;
    return s;
}

} // namespace

extern "C" {

// The controls all answer 0 but Scripted_Count.
__attribute__((visibility("default"))) U32 Scripted_Reset()
{
    script() = Script{};
    return 0;
}

// `which`: 0 EnrollFingerInit, 1 VerifyFingerInit, 2 the attempts GetFingerInfo reports.
__attribute__((visibility("default"))) U32 Scripted_Set(int which, U32 value)
{
    U32* fields[] = {&script().enrollInit, &script().verifyInit, &script().retryLeft};
    *fields[which] = value;
    return 0;
}

__attribute__((visibility("default"))) U32 Scripted_AddSample(U32 result, U32 progress)
{
    script().samples.emplace_back(result, progress);
    return 0;
}

__attribute__((visibility("default"))) U32 Scripted_AddTest(U32 result, U32 finger)
{
    script().tests.emplace_back(result, finger);
    return 0;
}

__attribute__((visibility("default"))) U32 Scripted_Count(int which)
{
    return script().counts[which];
}

__attribute__((visibility("default"))) U32 SKF_SetFingerMode(void*, U32 samples)
{
    script().counts[2] = samples;
    return 0;
}

__attribute__((visibility("default"))) U32 SKF_EnrollFingerInit(void*, U32, U32)
{
    script().progress = 0;
    return script().enrollInit;
}

__attribute__((visibility("default"))) U32 SKF_EnrollFinger(void*, U32, U32, U32* progress)
{
    ++script().counts[0];
    U32 result = kPending;
    if (!script().samples.empty()) {
        result = script().samples.front().first;
        script().progress = script().samples.front().second;
        script().samples.pop_front();
    }
    *progress = script().progress;
    return result;
}

__attribute__((visibility("default"))) U32 SKF_VerifyFingerInit(void*, U32)
{
    return script().verifyInit;
}

__attribute__((visibility("default"))) U32 SKF_TestFinger(void*, U32, U32* finger)
{
    ++script().counts[1];
    if (script().tests.empty())
        return kPending;
    const auto [result, recognised] = script().tests.front();
    script().tests.pop_front();
    *finger = recognised;
    return result;
}

__attribute__((visibility("default"))) U32 SKF_GetFingerInfo(void*, U32, U32*, U32*, U32*, U32* retries, std::uint8_t*,
                                                             U32* length)
{
    *retries = script().retryLeft;
    *length = 10;
    return 0;
}
}
