// SPDX-License-Identifier: Apache-2.0
// Temporary folders, programs, modules and keys for the fault wrapper's tests.
#include "FaultwrapTestSupport.h"

#include <dlfcn.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace faultwrap_test {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "faultwrap-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void replaceFile(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    std::filesystem::rename(tmp, path);
}

RunResult run(const std::vector<std::string>& argv)
{
    RunResult r;
    char outName[] = "/tmp/faultwrap-out-XXXXXX", errName[] = "/tmp/faultwrap-err-XXXXXX";
    const int out = mkstemp(outName), err = mkstemp(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    close(err);
    int status = -1;
    if (rc == 0)
        waitpid(pid, &status, 0);
    r.out = readText(outName);
    r.err = readText(errName);
    unlink(outName);
    unlink(errName);
    r.exitCode = (rc == 0 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return r;
}

LoadedModule::LoadedModule(const std::string& path)
{
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle)
        return;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_handle, "C_GetFunctionList"));
    if (getList)
        m_getListResult = getList(&m_list);
    if (m_getListResult != CKR_OK)
        m_list = nullptr;
}

LoadedModule::~LoadedModule()
{
    if (m_handle)
        dlclose(m_handle);
}

void PrintTo(const ModuleKind& m, std::ostream* os)
{
    *os << m.name;
}

std::vector<ModuleKind> realModules()
{
    return {{"keysim", FAULTWRAP_KEYSIM_MODULE, true}, {"softhsm", FAULTWRAP_SOFTHSM_MODULE, false}};
}

void WrappedModuleTest::SetUp()
{
    const ModuleKind& m = GetParam();
    if (m.module.empty() || !std::filesystem::exists(m.module))
        GTEST_SKIP() << m.name << " module not available";
    if (!m.keysim && std::string(FAULTWRAP_SOFTHSM_UTIL).empty())
        GTEST_SKIP() << "softhsm2-util not available";
    m_dir = std::make_unique<TempDir>();
    setenv("KX2700_FAULTWRAP_MODULE", m.module.c_str(), 1);
    setenv("KX2700_FAULTWRAP_CONFIG", configPath().c_str(), 1);
    makeKey();
    start();
}

void WrappedModuleTest::TearDown()
{
    stop();
    unsetenv("KX2700_FAULTWRAP_MODULE");
    unsetenv("KX2700_FAULTWRAP_CONFIG");
}

void WrappedModuleTest::makeKey()
{
    if (GetParam().keysim) {
        setenv("KX2700_KEYSIM_DIR", m_dir->file("keysim").c_str(), 1);
        ASSERT_EQ(
            0,
            run({FAULTWRAP_KEYSIM_TOOL, "create", "--serial", kSerial, "--label", "Wrapped", "--pin", kPin}).exitCode);
    } else {
        const std::string tokens = m_dir->file("tokens");
        mkdir(tokens.c_str(), 0700);
        replaceFile(m_dir->file("softhsm2.conf"),
                    "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
        setenv("SOFTHSM2_CONF", m_dir->file("softhsm2.conf").c_str(), 1);
        RunResult r = run({FAULTWRAP_SOFTHSM_UTIL, "--init-token", "--free", "--label", "Wrapped", "--so-pin",
                           "12345678", "--pin", kPin});
        ASSERT_EQ(0, r.exitCode) << r.out << r.err;
    }
}

void WrappedModuleTest::start()
{
    m_wrapper = std::make_unique<LoadedModule>(FAULTWRAP_LIBRARY);
    ASSERT_NE(nullptr, m_wrapper->handle()) << dlerror();
    ASSERT_NE(nullptr, m_wrapper->f());
    m_f = m_wrapper->f();
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(CKR_OK, m_f->C_Initialize(&args));
    CK_SLOT_ID slots[8];
    CK_ULONG n = 8;
    ASSERT_EQ(CKR_OK, m_f->C_GetSlotList(CK_TRUE, slots, &n));
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_TOKEN_INFO info{};
        if (m_f->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) {
            m_slot = slots[i];
            return;
        }
    }
    FAIL() << "no initialised token";
}

void WrappedModuleTest::stop()
{
    if (m_f)
        m_f->C_Finalize(nullptr);
    m_f = nullptr;
    m_wrapper.reset();
}

std::vector<std::string> WrappedModuleTest::logLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(readText(logPath()));
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

CK_SESSION_HANDLE WrappedModuleTest::openSession()
{
    CK_SESSION_HANDLE s = CK_INVALID_HANDLE;
    EXPECT_EQ(CKR_OK, m_f->C_OpenSession(m_slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s));
    return s;
}

void WrappedModuleTest::login(CK_SESSION_HANDLE s)
{
    std::string pin = kPin;
    ASSERT_EQ(CKR_OK, m_f->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size()));
}

std::vector<CK_OBJECT_HANDLE> WrappedModuleTest::tokenObjects(CK_SESSION_HANDLE s)
{
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE t[] = {{CKA_TOKEN, &yes, sizeof yes}};
    std::vector<CK_OBJECT_HANDLE> out;
    EXPECT_EQ(CKR_OK, m_f->C_FindObjectsInit(s, t, 1));
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG n = 0;
    while (m_f->C_FindObjects(s, batch, 32, &n) == CKR_OK && n > 0)
        out.insert(out.end(), batch, batch + n);
    EXPECT_EQ(CKR_OK, m_f->C_FindObjectsFinal(s));
    return out;
}

CK_RV WrappedModuleTest::createData(CK_SESSION_HANDLE s, const std::string& label, CK_OBJECT_HANDLE* out)
{
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    std::string value = "value of " + label;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                        {CKA_TOKEN, &yes, sizeof yes},
                        {CKA_PRIVATE, &no, sizeof no},
                        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                        {CKA_VALUE, value.data(), value.size()}};
    CK_OBJECT_HANDLE h = CK_INVALID_HANDLE;
    CK_RV rv = m_f->C_CreateObject(s, t, 5, &h);
    if (out)
        *out = h;
    return rv;
}

} // namespace faultwrap_test
