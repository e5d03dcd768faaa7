// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

namespace kx::cli {

// The fingerprint commands, for a key with a sensor (others are refused): the fingers enrolled
// for the key's user, and a test that waits for a finger on the sensor and says which enrolled
// finger the key recognised, as the manager's fingerprint page does.

void RunFingerList(CliContext& context);
void RunFingerTest(CliContext& context);

} // namespace kx::cli
