// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

namespace kx {

// Starts programs for the programs (a browser, the other program, a plug-in). Tests install a
// recorder in its place.
class ProcessLauncher
{
public:
    virtual ~ProcessLauncher() = default;
    // Starts `program` with `arguments` detached from this process; true when it started.
    virtual bool startDetached(const QString& program, const QStringList& arguments,
                               const QString& workingFolder = QString()) = 0;

    // The launcher in use; the system launcher until another is installed.
    static ProcessLauncher& current();
    // Installs a launcher (not owned); nullptr goes back to the system launcher.
    static void setCurrent(ProcessLauncher* launcher);
};

} // namespace kx
