// SPDX-License-Identifier: Apache-2.0
#include "KeysimTestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <filesystem>
#include <sys/wait.h>

namespace keysimtest {

void KeysimDirTest::SetUp()
{
    char tmpl[] = "/tmp/keysim-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    ::setenv("KX2700_KEYSIM_DIR", m_dir.c_str(), 1);
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "3000", 1);
}

void KeysimDirTest::TearDown()
{
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
}

std::string quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    return out + "'";
}

ToolResult runCommand(const std::string& commandLine)
{
    ToolResult r;
    FILE* p = ::popen((commandLine + " 2>&1").c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int status = ::pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

ToolResult runTool(const std::vector<std::string>& args)
{
    std::string cmd = KEYSIM_TOOL_PATH;
    for (const auto& a : args)
        cmd += " " + quote(a);
    return runCommand(cmd);
}

std::string tool(const std::vector<std::string>& args)
{
    ToolResult r = runTool(args);
    EXPECT_EQ(r.exitCode, 0) << r.out;
    return r.out;
}

CK_FUNCTION_LIST* pkcs11()
{
    static CK_FUNCTION_LIST* list = [] {
        void* h = ::dlopen(KEYSIM_PKCS11_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!h)
            return static_cast<CK_FUNCTION_LIST*>(nullptr);
        auto get = reinterpret_cast<CK_C_GetFunctionList>(::dlsym(h, "C_GetFunctionList"));
        CK_FUNCTION_LIST* l = nullptr;
        if (!get || get(&l) != CKR_OK)
            return static_cast<CK_FUNCTION_LIST*>(nullptr);
        return l;
    }();
    return list;
}

void* skfLibrary()
{
    static void* h = ::dlopen(KEYSIM_SKF_PATH, RTLD_NOW | RTLD_LOCAL);
    return h;
}

} // namespace keysimtest
