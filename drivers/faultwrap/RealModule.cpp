// SPDX-License-Identifier: Apache-2.0
// Loading the real module.
#include "RealModule.h"

#include <dlfcn.h>

namespace faultwrap {

LibraryHandle::~LibraryHandle()
{
    if (m_handle)
        dlclose(m_handle);
}

std::unique_ptr<RealModule> RealModule::load(const std::string& path, std::string& error)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown reason");
        return nullptr;
    }
    std::unique_ptr<RealModule> m(new RealModule);
    m->m_library = std::make_unique<LibraryHandle>(h);
    m->m_path = path;
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
    if (!getList) {
        error = path + " has no C_GetFunctionList";
        return nullptr;
    }
    // A module path that leads back to this library would forward every call to itself.
    if (getList == &C_GetFunctionList) {
        error = path + " is the fault wrapper itself";
        return nullptr;
    }
    CK_FUNCTION_LIST* list = nullptr;
    if (getList(&list) != CKR_OK || !list) {
        error = path + ": C_GetFunctionList gave no function list";
        return nullptr;
    }
    if (list->version.major != 2) {
        error = path + ": function list of version " + std::to_string(list->version.major) + ", not 2";
        return nullptr;
    }
    m->m_functions = list;
    Extensions& e = m->m_extensions;
    e.getPinCounters = reinterpret_cast<KeysimGetPinCounters_t>(dlsym(h, "KeysimGetPinCounters"));
    e.getPinLengths = reinterpret_cast<KeysimGetPinLengths_t>(dlsym(h, "KeysimGetPinLengths"));
    e.setTokenLabel = reinterpret_cast<KeysimSetTokenLabel_t>(dlsym(h, "KeysimSetTokenLabel"));
    e.getTokenLabel = reinterpret_cast<KeysimGetTokenLabel_t>(dlsym(h, "KeysimGetTokenLabel"));
    e.getSerialNumber = reinterpret_cast<KeysimGetSerialNumber_t>(dlsym(h, "KeysimGetSerialNumber"));
    e.getUsbIds = reinterpret_cast<KeysimGetUsbIds_t>(dlsym(h, "KeysimGetUsbIds"));
    return m;
}

} // namespace faultwrap
