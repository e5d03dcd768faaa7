// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FaultInjector.h"
#include "Functions.h"
#include "RealModule.h"

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace faultwrap {

// The wrapper's state in the process: the real module, the function list handed to clients and
// the fault injector; and the one path every forwarded call takes (run).
class FaultWrapper
{
public:
    // The one instance, made at the first call and gone when the library is unloaded.
    static FaultWrapper& instance();
    FaultWrapper(const FaultWrapper&) = delete;
    FaultWrapper& operator=(const FaultWrapper&) = delete;

    // Hands out the forwarding list, loading the real module first when it is not yet loaded.
    CK_RV functionList(CK_FUNCTION_LIST_PTR_PTR out);
    // The real module, loaded when needed; null when it cannot be loaded.
    const RealModule* real();

    // Runs one call: the latency first (outside every lock, so that calls of other threads go on
    // meanwhile), then either the fault instead of the call, the call, or the call and then the
    // fault in place of its result.
    template <class Call>
    CK_RV run(int function, CallKind kind, Call&& call)
    {
        const Decision d = m_injector.decide(function, kind);
        if (d.latency.count() > 0)
            std::this_thread::sleep_for(d.latency);
        if (d.fault == Decision::Fault::Before) {
            FaultInjector::record(d, function);
            return d.code;
        }
        const CK_RV rv = call();
        if (d.fault == Decision::Fault::After) {
            FaultInjector::record(d, function);
            return d.code;
        }
        return rv;
    }

private:
    FaultWrapper() = default;
    // Loads the real module named by the configuration or the environment. Called with
    // m_loadMutex held.
    const RealModule* load();

    FaultInjector m_injector;
    std::mutex m_loadMutex;
    std::unique_ptr<RealModule> m_real;
    std::atomic<const RealModule*> m_loaded{nullptr};
    CK_FUNCTION_LIST m_list{};
};

} // namespace faultwrap
