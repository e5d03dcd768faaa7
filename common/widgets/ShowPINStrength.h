// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QWidget;

namespace kx {

// Colours a strength panel (red, amber, green) and captions it ("弱", "中", "强") for a PIN.
void ShowPINStrength(QWidget* panel, const QString& pin);

// Empties the caption of a strength panel.
void ClearPINStrength(QWidget* panel);

} // namespace kx
