// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Shared pieces of the keysim tests: a private key store folder per test, the control tool,
// and the PKCS#11 module loaded once by dlopen.
namespace keysimtest {

// Creates a fresh folder, points KX2700_KEYSIM_DIR at it and removes it afterwards.
class KeysimDirTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    std::string m_dir;
};

struct ToolResult
{
    int exitCode = -1;
    std::string out;
};

// Runs the built kx2700-keysim with the arguments (each shell-quoted) and KX2700_KEYSIM_DIR of
// the test; stdout and stderr are captured together.
ToolResult runTool(const std::vector<std::string>& args);
ToolResult runCommand(const std::string& commandLine);
// Runs the tool and fails the test when it does not exit with 0; returns its output.
std::string tool(const std::vector<std::string>& args);

// The module's function list (dlopen once, kept for the process).
CK_FUNCTION_LIST* pkcs11();
// The handle of the dlopen'ed SKF library.
void* skfLibrary();

std::string quote(const std::string& s);

} // namespace keysimtest
