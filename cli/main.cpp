// SPDX-License-Identifier: Apache-2.0
// kx2700: the keys from the command line.

#include "CliOptions.h"
#include "CliReport.h"
#include "CliRunner.h"

#include "common/ProcessProtection.h"
#include "keyservice/KeyLanes.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    // Before anything can hold a PIN.
    kx::ProtectProcessMemory();
    const std::vector<std::string> args(argv + 1, argv + argc);
    kx::cli::CliOptions options;
    try {
        options = kx::cli::ParseCliOptions(args);
    } catch (const kx::cli::UsageError& error) {
        std::fprintf(stderr, "kx2700: %s\nTry 'kx2700 --help'.\n", error.what());
        return static_cast<int>(kx::cli::ExitCode::BadInput);
    }
    if (options.command == kx::cli::CliOptions::Command::Help) {
        std::fputs(kx::cli::CliUsage(), stdout);
        return 0;
    }
    if (options.command == kx::cli::CliOptions::Command::Version) {
        std::printf("kx2700 %s\n", KX_VERSION);
        return 0;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kx2700"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KX_VERSION));
    int code = 0;
    {
        kx::cli::CliRunner runner(options);
        QTimer::singleShot(0, &runner, &kx::cli::CliRunner::start);
        code = app.exec();
    }
    // A key that stopped answering may still hold a worker in the middle of a call; the process
    // ends without waiting for it.
    if (kx::KeyLanes::workersLeftRunning()) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
