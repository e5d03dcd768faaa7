// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliContext.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace kx::cli {

// Hands the bytes a command made (a certificate, a chain, a certificate request) to the user:
// into the file of -o, written whole or not at all; inside the JSON object with --json (PEM as
// text, DER in base64); else to standard output, DER only when that is no terminal. `fields` go
// into the JSON object with the format and size added; `what` names the bytes in the text
// ("exchange certificate of 'c'"). Fills the report; the caller ends the command.
void DeliverBytes(CliContext& context, const QByteArray& bytes, bool pem, QJsonObject fields, const QString& what);

} // namespace kx::cli
