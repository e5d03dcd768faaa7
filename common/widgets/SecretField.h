// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/SecretString.h"

class QLineEdit;

namespace kx {

// Empties an edit that held a PIN or password, overwriting the text buffer it held first.
void ClearSecretField(QLineEdit* edit);

} // namespace kx
