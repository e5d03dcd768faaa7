// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>

namespace drevmor {

// Vendor extension functions a module may export beside C_GetFunctionList (keysim does); each
// pointer is null when the module has no such function.
struct VendorExtensions
{
    unsigned long (*getPinCounters)(unsigned long, unsigned long, unsigned long*, unsigned long*) = nullptr;
    unsigned long (*setTokenLabel)(unsigned long, const char*) = nullptr;
    unsigned long (*getTokenLabel)(unsigned long, char*, unsigned long*) = nullptr;
    unsigned long (*getSerialNumber)(unsigned long, char*, unsigned long*) = nullptr;
    unsigned long (*getPinLengths)(unsigned long, unsigned long, unsigned long*, unsigned long*) = nullptr;
};

// Owns a dlopen handle.
class DlHandle
{
public:
    explicit DlHandle(void* handle) : m_handle(handle) {}
    ~DlHandle();
    DlHandle(const DlHandle&) = delete;
    DlHandle& operator=(const DlHandle&) = delete;
    void* get() const { return m_handle; }

private:
    void* m_handle;
};

// A loaded and initialised PKCS#11 module. Destroying it finalises the module (unless another
// part of the process had initialised it before us) and unloads it.
class Pkcs11Module
{
public:
    // Loads the module at `path` (as given to dlopen) and calls C_Initialize with OS locking.
    // On failure returns null and sets `rv` to a DRV_ or CKR_ code.
    static std::unique_ptr<Pkcs11Module> load(const std::string& path, int& rv);
    ~Pkcs11Module();
    Pkcs11Module(const Pkcs11Module&) = delete;
    Pkcs11Module& operator=(const Pkcs11Module&) = delete;

    // Finalises the module and initialises it again with OS locking: every session goes, and the
    // module lists its slots anew. The module's code when it does not initialise; it then stays
    // uninitialised (and is not finalised again on destruction) until the next restart.
    CK_RV restart();
    // Whether the module still reaches its token in `slot`: a new session and one random byte from
    // it, up to kProbes times. False only when every probe answers with a code of a dead module
    // (isDeadModuleResult); any other answer, a refusal included, shows that it works.
    bool answers(CK_SLOT_ID slot) const;

    CK_FUNCTION_LIST* f() const { return m_functions; }
    const VendorExtensions& ext() const { return m_ext; }
    const std::string& path() const { return m_path; }

private:
    static constexpr int kProbes = 3;
    Pkcs11Module() = default;
    bool probe(CK_SLOT_ID slot) const;
    std::unique_ptr<DlHandle> m_lib;
    CK_FUNCTION_LIST* m_functions = nullptr;
    VendorExtensions m_ext;
    std::string m_path;
    bool m_finalize = false;
};

// True for the results after which a module may have stopped working as a whole:
// CKR_GENERAL_ERROR, CKR_DEVICE_ERROR, CKR_DEVICE_REMOVED, CKR_CRYPTOKI_NOT_INITIALIZED.
bool isDeadModuleResult(CK_RV rv);

// The file init_pkcs11 loads for a configured name: an absolute path as it is; a relative path
// (one holding "/") beside the running executable; a bare name beside the executable when such a
// file exists there, else unchanged so that the dynamic loader searches for it. Backslashes of
// names written for Windows are taken as "/".
std::string resolveModulePath(const std::string& name);

// The folder of the running executable (from /proc/self/exe), empty when unknown.
std::string executableFolder();

} // namespace drevmor
