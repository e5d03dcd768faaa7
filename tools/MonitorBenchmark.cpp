// SPDX-License-Identifier: Apache-2.0
// kx2700-monitor-benchmark: the monitor's window thread while a key is plugged in. Not a test: it
// prints figures, one "name=value" line each (milliseconds), for scripts/benchmark.
//
// usage:
//   kx2700-monitor-benchmark plug-stall PROGRAM_FOLDER KEYSIM_TOOL SERIAL STORE_FOLDER COUNT
//       Runs the monitor in this process on the keys plugged in, pulls the key SERIAL and, once
//       the monitor has let it go, plugs it in again and waits until COUNT personal certificates
//       are in the store (STORE_FOLDER/MY) and the monitor's key work has ended. Reports the
//       longest time the window thread's event loop stood still meanwhile (a 5 ms timer) and the
//       time from the plug to the end.
//
// PROGRAM_FOLDER is an installation folder (APPInfo.ini, Languages/, res/) whose library paths
// are absolute; the monitor reads its settings from there.

#include "common/AppContext.h"
#include "common/StartupConfiguration.h"
#include "common/widgets/MessageBox.h"
#include "keyservice/KeyService.h"
#include "monitor/TMainForm.h"
#include "tools/StallMeter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

// The longest a step may take under the slowest latency profile.
constexpr int kStepTimeoutMs = 600000;

// Prints messages instead of showing them, so nothing waits for a click.
class PrintingPresenter final : public kx::MessagePresenter
{
public:
    bool present(QWidget*, Kind, const QString&, const QString& text) override
    {
        QTextStream(stderr) << "message: " << text << "\n";
        return false;
    }
};

// Runs the event loop until `condition` has held for `settleMs`; false after `timeoutMs`.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs, int settleMs)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer held;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!condition()) {
            held.invalidate();
        } else if (!held.isValid()) {
            held.start();
        }
        if ((held.isValid() && held.elapsed() >= settleMs) || clock.elapsed() >= timeoutMs) {
            loop.quit();
        }
    });
    poll.start();
    loop.exec();
    return held.isValid() && held.elapsed() >= settleMs;
}

int personalCertificates(const QString& store)
{
    return static_cast<int>(
        QDir(store + QStringLiteral("/MY")).entryList({QStringLiteral("*.cer")}, QDir::Files).size());
}

int plugStall(const QStringList& args)
{
    const QString tool = args[3];
    const QString serial = args[4];
    const QString store = args[5];
    const int expected = args[6].toInt();
    kx::AppContext context;
    context.setExecutableFolder(args[2]);
    kx::AppContext::setCurrent(&context);
    QApplication::setApplicationName(QStringLiteral("KX2700Mon"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    QApplication::setQuitOnLastWindowClosed(false);
    kx::LoadStartupConfiguration();

    kx::mon::TMainForm window;
    kx::StallMeter meter(5);
    auto quiet = [&] { return window.LibraryReady() && window.keys().idle(); };
    if (!waitUntil(quiet, kStepTimeoutMs, 1000)) {
        std::fprintf(stderr, "the monitor did not start\n");
        return 1;
    }
    const int keys = window.KeyCount();
    std::fprintf(stderr, "monitor started with %d keys\n", keys);
    if (QProcess::execute(tool, {QStringLiteral("pull"), serial}) != 0 ||
        !waitUntil([&] { return window.KeyCount() == keys - 1 && quiet(); }, kStepTimeoutMs, 1500)) {
        std::fprintf(stderr, "the monitor kept the key %s\n", qPrintable(serial));
        return 1;
    }
    std::fprintf(stderr, "%s pulled\n", qPrintable(serial));
    meter.reset();
    QElapsedTimer clock;
    clock.start();
    if (!QProcess::startDetached(tool, {QStringLiteral("plug"), serial})) {
        std::fprintf(stderr, "cannot plug %s\n", qPrintable(serial));
        return 1;
    }
    const bool registered =
        waitUntil([&] { return window.KeyCount() == keys && personalCertificates(store) >= expected && quiet(); },
                  kStepTimeoutMs, 300);
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    if (!registered) {
        std::fprintf(stderr, "%d of %d certificates were registered\n", personalCertificates(store), expected);
        return 1;
    }
    std::printf("stall.plug=%.1f\ntime.plug=%.1f\ncertificates=%d\n", meter.longestMs(), ms,
                personalCertificates(store));
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    PrintingPresenter presenter;
    kx::MessagePresenter::setCurrent(&presenter);
    const QStringList args = QCoreApplication::arguments();
    if (argc == 7 && args[1] == QStringLiteral("plug-stall")) {
        return plugStall(args);
    }
    std::fprintf(stderr, "usage: kx2700-monitor-benchmark plug-stall PROGRAM_FOLDER KEYSIM_TOOL SERIAL STORE_FOLDER "
                         "COUNT\n");
    return 2;
}
