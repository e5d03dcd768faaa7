// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

namespace kx::cli {

// The commands that have the key sign a PKCS#10 certificate request for the certificate
// authority: for a key pair generated now, or for a pair that has its keys already. Both check
// the subject, and generate also the container, pair and algorithm against what the key holds
// and offers, before a PIN is asked for or anything reaches the key.

// Generates a key pair on the key (in the named container, made for it when it is not there, or
// a new one of a random name) and writes the request for it.
void RunGenerate(CliContext& context);
// Writes a new request for a key pair that has its keys; nothing on the key changes.
void RunRequest(CliContext& context);

} // namespace kx::cli
