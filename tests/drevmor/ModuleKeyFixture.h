// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "DrevmorTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace drevmor_test {

// A PKCS#11 module the library is tested against: keysim (with its vendor extensions) or
// SoftHSM2 (plain PKCS#11).
struct ModuleKind
{
    std::string name;
    std::string module;
    bool keysim;
};

void PrintTo(const ModuleKind& m, std::ostream* os);
// keysim and SoftHSM2, as the build found them.
std::vector<ModuleKind> testModules();
std::string moduleTestName(const ::testing::TestParamInfo<ModuleKind>& info);

// One fresh key in a temporary folder for each test: a keysim key, or an initialised SoftHSM2
// token (SoftHSM2 adds a spare slot with an uninitialised token, which is no key), with the library
// initialised on the module and the key connected.
class ModuleKeyTest : public ::testing::TestWithParam<ModuleKind>
{
protected:
    static constexpr const char* kPin = "123456";
    static constexpr const char* kSerial = "KXTESTSERIAL000001"; // longer than CK_TOKEN_INFO's 16 bytes
    static constexpr const char* kTokenLabel = "Test Key";

    void SetUp() override;
    void TearDown() override;

    static int expectedKeys() { return 1; }
    void connectAll();
    static int findKeys();
    // Runs kx2700-keysim on this test's keys.
    int keysim(std::vector<std::string> args);
    void login();
    std::string writeTemp(const std::string& name, const Bytes& bytes);

    std::unique_ptr<TempDir> m_dir;
};

} // namespace drevmor_test
