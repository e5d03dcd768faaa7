// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

namespace kx::cli {

// The remote unlock of a key whose PIN is locked, through the key's SKF application: the user
// gives the administrator the key's request code, the administrator answers with an unlock code,
// the key takes it and puts the initial PIN back, and the user sets a new PIN. A key without an
// SKF application (no SKF library, or a key it does not list) does not support it: refused.

// Prints the key's request code.
void RunUnlockRequest(CliContext& context);
// Unblocks the key with the unlock code, then logs in with the initial PIN and sets the new one.
void RunUnlockResponse(CliContext& context);

} // namespace kx::cli
