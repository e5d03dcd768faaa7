// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kx {

// Keeps the PINs and passwords a program handles out of core files and away from other
// processes of the user: the process becomes non-dumpable (no core file, no debugger attach or
// reading of its memory without the system's tracing privilege) and its core size limit 0.
// Called first thing in main(); true when both took effect.
bool ProtectProcessMemory();

} // namespace kx
