// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace faultwrap_test {

// A temporary folder removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// What a program printed and how it ended (exit code, -1 when it could not run).
struct RunResult
{
    int exitCode = -1;
    std::string out, err;
};
// Runs a program (no shell) in the test's environment.
RunResult run(const std::vector<std::string>& argv);

std::string readText(const std::string& path);
// Writes a file under a temporary name and renames it into place, as an editor does.
void replaceFile(const std::string& path, const std::string& text);

// A loaded PKCS#11 module (the wrapper or a real one) and its function list; unloaded when it
// goes. The module is not initialised here.
class LoadedModule
{
public:
    explicit LoadedModule(const std::string& path);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;
    void* handle() const { return m_handle; }
    // Null when the module gave no list.
    CK_FUNCTION_LIST* f() const { return m_list; }
    CK_RV getListResult() const { return m_getListResult; }

private:
    void* m_handle = nullptr;
    CK_FUNCTION_LIST* m_list = nullptr;
    CK_RV m_getListResult = CKR_GENERAL_ERROR;
};

// A real module the wrapper is tested over.
struct ModuleKind
{
    std::string name;
    std::string module;
    bool keysim = false;
};
void PrintTo(const ModuleKind& m, std::ostream* os);
std::vector<ModuleKind> realModules();

constexpr const char* kPin = "123456";
constexpr const char* kSerial = "FWTESTSERIAL00000001";

// One key of the real module, reached through the wrapper in this process: the environment names
// the real module and a configuration file of the test's own (missing until config() writes it).
class WrappedModuleTest : public ::testing::TestWithParam<ModuleKind>
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Makes the key in the test's own key store (keysim) or token folder (SoftHSM2).
    void makeKey();
    // Loads the wrapper, initialises it and finds the key's slot.
    void start();
    void stop();

    void config(const std::string& text) { replaceFile(configPath(), text); }
    std::string configPath() const { return m_dir->file("faultwrap.conf"); }
    std::string logPath() const { return m_dir->file("faults.log"); }
    std::vector<std::string> logLines() const;

    CK_SESSION_HANDLE openSession();
    void login(CK_SESSION_HANDLE s);
    // The handles of every token object (through the wrapper).
    std::vector<CK_OBJECT_HANDLE> tokenObjects(CK_SESSION_HANDLE s);
    CK_RV createData(CK_SESSION_HANDLE s, const std::string& label, CK_OBJECT_HANDLE* out = nullptr);

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<LoadedModule> m_wrapper;
    CK_FUNCTION_LIST* m_f = nullptr;
    CK_SLOT_ID m_slot = 0;
};

} // namespace faultwrap_test
