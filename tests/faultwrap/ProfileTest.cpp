// SPDX-License-Identifier: Apache-2.0
// The latencies the wrapper's configuration gives each kind of call, read from the configuration
// itself (the wrapper's sources are built into this test): no clock is involved.
#include "FaultConfig.h"
#include "Functions.h"

#include <gtest/gtest.h>

using faultwrap::CallKind;
using faultwrap::FaultConfig;
using std::chrono::milliseconds;

namespace {

FaultConfig parsed(const char* text)
{
    std::vector<std::string> problems;
    FaultConfig config = FaultConfig::parse(text, problems);
    EXPECT_TRUE(problems.empty());
    return config;
}

// A real key takes seconds for an RSA key pair and about a second for any other private-key
// write; an explicit private-write latency still governs both.
TEST(FaultProfile, RsaGenerationTakesSecondsOnARealKey)
{
    const int generate = *faultwrap::functionId("C_GenerateKeyPair");
    CK_MECHANISM rsa{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_MECHANISM ec{CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    EXPECT_EQ(CallKind::RsaKeyGen, faultwrap::generationKind(&rsa));
    EXPECT_EQ(CallKind::PrivateWrite, faultwrap::generationKind(&ec));
    EXPECT_EQ(CallKind::PrivateWrite, faultwrap::generationKind(nullptr));

    const FaultConfig real = parsed("profile=real-key\n");
    EXPECT_GE(real.latency(generate, CallKind::RsaKeyGen), milliseconds(2000));
    EXPECT_EQ(milliseconds(1000), real.latency(generate, CallKind::PrivateWrite));
    const FaultConfig plain = parsed("");
    EXPECT_EQ(milliseconds(0), plain.latency(generate, CallKind::RsaKeyGen));
    const FaultConfig explicitWrite = parsed("profile=real-key\nlatency.private-write=700\n");
    EXPECT_EQ(milliseconds(700), explicitWrite.latency(generate, CallKind::RsaKeyGen));
    const FaultConfig explicitCall = parsed("profile=real-key\nlatency.C_GenerateKeyPair=50\n");
    EXPECT_EQ(milliseconds(50), explicitCall.latency(generate, CallKind::RsaKeyGen));
}

} // namespace
