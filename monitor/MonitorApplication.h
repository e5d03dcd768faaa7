// SPDX-License-Identifier: Apache-2.0
#pragma once

class QApplication;

namespace kx::mon {

// Starts the monitor: the single-instance rule first of all (a second monitor ends silently),
// configuration, language and its CSP value, the never-shown main window and the event loop.
// Returns the process's exit code.
int RunMonitor(QApplication& app);

} // namespace kx::mon
