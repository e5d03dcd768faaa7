// SPDX-License-Identifier: Apache-2.0
#include "ProcessLauncher.h"

#include <QProcess>

namespace kx {

namespace {

// Starts real processes.
class SystemProcessLauncher final : public ProcessLauncher
{
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString& workingFolder) override
    {
        return QProcess::startDetached(program, arguments, workingFolder);
    }
};

ProcessLauncher* g_installed = nullptr;

} // namespace

ProcessLauncher& ProcessLauncher::current()
{
    if (g_installed) {
        return *g_installed;
    }
    static SystemProcessLauncher system;
    return system;
}

void ProcessLauncher::setCurrent(ProcessLauncher* launcher)
{
    g_installed = launcher;
}

} // namespace kx
