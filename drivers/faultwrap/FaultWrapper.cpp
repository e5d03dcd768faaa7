// SPDX-License-Identifier: Apache-2.0
// The real module is loaded once, by the first call that needs it, and stays until the wrapper is
// unloaded: the module a configuration names later is not switched to (a client may hold handles
// of the first).
#include "FaultWrapper.h"

#include <cstdio>
#include <cstdlib>

namespace faultwrap {

FaultWrapper& FaultWrapper::instance()
{
    static FaultWrapper wrapper;
    return wrapper;
}

const RealModule* FaultWrapper::load()
{
    if (m_real)
        return m_real.get();
    std::string path = m_injector.configuredModule();
    if (path.empty()) {
        const char* env = std::getenv("KX2700_FAULTWRAP_MODULE");
        path = env ? env : "";
    }
    std::string error;
    if (path.empty())
        error = "no real module: set module= in $KX2700_FAULTWRAP_CONFIG or $KX2700_FAULTWRAP_MODULE";
    else
        m_real = RealModule::load(path, error);
    if (!m_real) {
        const std::string line = "kx2700-faultwrap: " + error + "\n";
        std::fputs(line.c_str(), stderr);
        return nullptr;
    }
    buildForwardingList(m_real->functions(), m_list);
    m_loaded.store(m_real.get(), std::memory_order_release);
    return m_real.get();
}

const RealModule* FaultWrapper::real()
{
    if (const RealModule* m = m_loaded.load(std::memory_order_acquire))
        return m;
    std::lock_guard<std::mutex> lock(m_loadMutex);
    return load();
}

CK_RV FaultWrapper::functionList(CK_FUNCTION_LIST_PTR_PTR out)
{
    if (!real())
        return CKR_GENERAL_ERROR;
    *out = &m_list;
    return CKR_OK;
}

} // namespace faultwrap
