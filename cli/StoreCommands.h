// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

namespace kx::cli {

// The user's certificate stores (MY, ROOT, CA), as the monitor keeps them for a plugged key.

// Registers the chosen key's certificates: end-entity ones in MY bound to their container (as
// RegCertMode selects), authorities in ROOT and CA. No root is trusted in the desktop's
// databases from here: the programs ask the user about those.
void RunRegister(CliContext& context);
// Removes the chosen key's certificates bound to its containers from MY.
void RunUnregister(CliContext& context);

} // namespace kx::cli
