// SPDX-License-Identifier: Apache-2.0
#pragma once

class QWidget;

namespace kx {

// Places the top-level `window` so that it opens centred in the free area of the screen it will
// show on (the primary screen for a new window). Call before showing it.
void CentreOnScreen(QWidget* window);

} // namespace kx
