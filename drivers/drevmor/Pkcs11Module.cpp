// SPDX-License-Identifier: Apache-2.0
// Loading a PKCS#11 module with dlopen, its function list and its vendor extensions.
#include "Pkcs11Module.h"

#include "drevmor.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace drevmor {
namespace {

CK_RV initialize(CK_FUNCTION_LIST* f)
{
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    return f->C_Initialize(&args);
}

} // namespace

bool isDeadModuleResult(CK_RV rv)
{
    return rv == CKR_GENERAL_ERROR || rv == CKR_DEVICE_ERROR || rv == CKR_DEVICE_REMOVED ||
           rv == CKR_CRYPTOKI_NOT_INITIALIZED;
}

DlHandle::~DlHandle()
{
    if (m_handle)
        dlclose(m_handle);
}

std::unique_ptr<Pkcs11Module> Pkcs11Module::load(const std::string& path, int& rv)
{
    rv = DRV_MODULE_LOAD_FAILED;
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h)
        return nullptr;
    std::unique_ptr<Pkcs11Module> m(new Pkcs11Module);
    m->m_lib = std::make_unique<DlHandle>(h);
    m->m_path = path;

    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
    if (!getList)
        return nullptr;
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList(&list) != CKR_OK || !list || list->version.major != 2 || !list->C_Initialize || !list->C_Finalize ||
        !list->C_GetSlotList || !list->C_GetTokenInfo || !list->C_OpenSession)
        return nullptr;
    m->m_functions = list;

    CK_RV init = initialize(list);
    if (init == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // Someone else in this process initialised it: use it, leave finalising to them.
        m->m_finalize = false;
    } else if (init != CKR_OK) {
        rv = init > INT_MAX ? DRV_GENERAL_ERROR : static_cast<int>(init);
        return nullptr;
    } else {
        m->m_finalize = true;
    }

    m->m_ext.getPinCounters = reinterpret_cast<decltype(m->m_ext.getPinCounters)>(dlsym(h, "KeysimGetPinCounters"));
    m->m_ext.setTokenLabel = reinterpret_cast<decltype(m->m_ext.setTokenLabel)>(dlsym(h, "KeysimSetTokenLabel"));
    m->m_ext.getTokenLabel = reinterpret_cast<decltype(m->m_ext.getTokenLabel)>(dlsym(h, "KeysimGetTokenLabel"));
    m->m_ext.getSerialNumber = reinterpret_cast<decltype(m->m_ext.getSerialNumber)>(dlsym(h, "KeysimGetSerialNumber"));
    m->m_ext.getPinLengths = reinterpret_cast<decltype(m->m_ext.getPinLengths)>(dlsym(h, "KeysimGetPinLengths"));
    rv = DRV_OK;
    return m;
}

CK_RV Pkcs11Module::restart()
{
    if (m_finalize)
        m_functions->C_Finalize(nullptr);
    const CK_RV rv = initialize(m_functions);
    // Initialised by someone else in the meantime: theirs to finalise.
    m_finalize = rv == CKR_OK;
    return rv == CKR_CRYPTOKI_ALREADY_INITIALIZED ? CKR_OK : rv;
}

bool Pkcs11Module::answers(CK_SLOT_ID slot) const
{
    // A key that drops a call now and then may drop the probe too: the module is taken for dead
    // only when every probe fails.
    for (int attempt = 0; attempt < kProbes; ++attempt)
        if (probe(slot))
            return true;
    return false;
}

bool Pkcs11Module::probe(CK_SLOT_ID slot) const
{
    CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
    const CK_RV opened = m_functions->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &h);
    if (opened != CKR_OK)
        return !isDeadModuleResult(opened);
    // Many modules answer everything else from what they read at initialisation; a random byte
    // comes from the device itself.
    CK_BYTE byte = 0;
    const CK_RV rv = m_functions->C_GenerateRandom(h, &byte, 1);
    m_functions->C_CloseSession(h);
    return !isDeadModuleResult(rv);
}

Pkcs11Module::~Pkcs11Module()
{
    if (m_functions && m_finalize)
        m_functions->C_Finalize(nullptr);
}

std::string executableFolder()
{
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0)
        return {};
    std::string exe(buf, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string resolveModulePath(const std::string& configured)
{
    std::string name = configured;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty() || name.front() == '/')
        return name;
    std::string folder = executableFolder();
    if (folder.empty())
        return name;
    std::string beside = folder + "/" + name;
    if (name.find('/') != std::string::npos)
        return beside;
    struct stat st;
    if (stat(beside.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return beside;
    return name;
}

} // namespace drevmor
