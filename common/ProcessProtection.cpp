// SPDX-License-Identifier: Apache-2.0
#include "ProcessProtection.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace kx {

bool ProtectProcessMemory()
{
    // The soft limit only: the programs this one starts (a browser, the plug-in) get no core
    // size either, but may allow themselves one again.
    rlimit core{};
    bool limited = getrlimit(RLIMIT_CORE, &core) == 0;
    core.rlim_cur = 0;
    limited = limited && setrlimit(RLIMIT_CORE, &core) == 0;
    const bool hidden = prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
    return limited && hidden;
}

} // namespace kx
