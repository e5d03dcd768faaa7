// SPDX-License-Identifier: Apache-2.0
// Each library exports exactly its entry points: the dynamic symbol table equals the global list
// of its version script.
#include "KeysimTestSupport.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

using namespace keysimtest;

namespace {
std::set<std::string> mapSymbols(const char* path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    auto g = text.find("global:"), l = text.find("local:");
    std::set<std::string> out;
    std::regex name("([A-Za-z_][A-Za-z0-9_]*);");
    std::string globals = text.substr(g, l - g);
    for (std::sregex_iterator it(globals.begin(), globals.end(), name), end; it != end; ++it)
        out.insert((*it)[1]);
    return out;
}

std::set<std::string> dynamicSymbols(const char* lib)
{
    ToolResult r = runCommand(std::string(KEYSIM_NM) + " -D --defined-only " + quote(lib));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    std::set<std::string> out;
    std::istringstream in(r.out);
    std::string addr, type, sym;
    while (in >> addr >> type >> sym)
        out.insert(sym.substr(0, sym.find('@')));
    return out;
}

TEST(KeysimExports, Pkcs11ModuleExportsExactlyPkcs11AndItsExtensions)
{
    std::set<std::string> expected = mapSymbols(KEYSIM_PKCS11_MAP);
    EXPECT_EQ(expected.size(), 68u + 6u) << "68 functions of PKCS#11 v2.40 and 6 extensions";
    EXPECT_EQ(dynamicSymbols(KEYSIM_PKCS11_PATH), expected);
}

TEST(KeysimExports, SkfLibraryExportsExactlyItsEntryPoints)
{
    std::set<std::string> expected = {"SKF_EnumDev",
                                      "SKF_ConnectDev",
                                      "SKF_DisConnectDev",
                                      "SKF_GetDevInfo",
                                      "SKF_EnumApplication",
                                      "SKF_OpenApplication",
                                      "SKF_CloseApplication",
                                      "SKF_VerifyPIN",
                                      "SKF_ClearSecureState",
                                      "SKF_EnrollFingerInit",
                                      "SKF_EnrollFinger",
                                      "SKF_VerifyFingerInit",
                                      "SKF_TestFinger",
                                      "SKF_DeleteFinger",
                                      "SKF_GetFingerInfo",
                                      "SKF_UnblockFinger",
                                      "MKF_GetDeviceCaps",
                                      "SKF_SetFingerMode",
                                      "SKF_GenRemoteUnblockRequest",
                                      "SKF_RemoteUnblockPIN"};
    EXPECT_EQ(mapSymbols(KEYSIM_SKF_MAP), expected);
    EXPECT_EQ(dynamicSymbols(KEYSIM_SKF_PATH), expected);
}

} // namespace
