// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace kx {

// Waits about `milliseconds` while keeping the thread's event loop running: milliseconds / 10
// rounds of a 10 ms sleep followed by processing pending events (none below 10 ms).
void Delay(int milliseconds);

} // namespace kx
