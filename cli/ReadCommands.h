// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

#include <QByteArray>
#include <QString>

namespace kx::cli {

// The commands that only read keys: they need no PIN and change nothing.

// Every key (or the one --key names): serial, label, PIN state and tries left.
void RunList(CliContext& context);
// The information of the chosen key.
void RunInfo(CliContext& context);
// The containers of the chosen key with the certificate of each key pair.
void RunCerts(CliContext& context);
// One certificate of the chosen key, DER or PEM (with --chain the PEM bundle of the certificate
// and the key's certificates that issued it), into a file (written atomically) or to standard
// output.
void RunExport(CliContext& context);

// The name of a key pair: "exchange", "signature", or "container" for 0.
QString PairName(int keySpec);

} // namespace kx::cli
