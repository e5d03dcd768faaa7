// SPDX-License-Identifier: Apache-2.0
#pragma once

class QApplication;

namespace kx {

// Starts the manager: configuration, language, the single-instance rule, the main window and the
// event loop. Returns the process's exit code.
int RunManager(QApplication& app);

} // namespace kx
