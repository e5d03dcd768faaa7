// SPDX-License-Identifier: Apache-2.0
#include "SessionEnd.h"

#include <QGuiApplication>
#include <QSemaphore>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

namespace {

int g_pipe[2] = {-1, -1};
SessionEnd* g_instance = nullptr;
QtMessageHandler g_previousHandler = nullptr;
std::atomic_bool g_displayLostReported{false};
std::atomic_bool g_displayLostHandled{false};
QSemaphore g_displayLostDone;
constexpr int kEndSignals[] = {SIGTERM, SIGHUP};
// How long the Wayland event thread holds the process's end back for the clean-up on the window
// thread; a window thread stuck elsewhere must not keep a dead session's process alive.
constexpr int kDisplayLostWaitMs = 8000;

extern "C" void onTerminate(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: one byte into the pipe.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

// Qt's X11 and Wayland platforms report a broken display connection with one of these warnings
// and end the process right after it, without returning to the event loop. X11 reports it on the
// window thread; Wayland on its own event thread, which then calls _exit().
bool reportsLostDisplay(const QString& message)
{
    return message.startsWith(QLatin1String("The X11 connection broke")) ||
           message.startsWith(QLatin1String("The Wayland connection broke"));
}

// Emits displayLost once, on the window thread, and lets a waiting event thread go on.
void announceDisplayLost()
{
    if (!g_displayLostHandled.exchange(true) && g_instance) {
        Q_EMIT g_instance->displayLost();
    }
    g_displayLostDone.release();
}

void watchMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (g_previousHandler) {
        g_previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (!reportsLostDisplay(message) || !g_instance) {
        return;
    }
    if (QThread::currentThread() == g_instance->thread()) {
        // Also when the event thread reported the loss first: the window thread ends the process
        // right after this message, so the clean-up runs here unless it ran already.
        g_displayLostReported = true;
        announceDisplayLost();
        return;
    }
    // The clean-up belongs to the window thread; this thread ends the process when the handler
    // returns, so it waits (bounded) for the window thread to run it, also when the window
    // thread saw the loss first and is running the clean-up now.
    if (!g_displayLostReported.exchange(true)) {
        QMetaObject::invokeMethod(
            g_instance, [] { announceDisplayLost(); }, Qt::QueuedConnection);
    }
    static_cast<void>(g_displayLostDone.tryAcquire(1, kDisplayLostWaitMs));
}

} // namespace

SessionEnd::SessionEnd(QObject* parent) : QObject(parent)
{
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &SessionEnd::readSignal);
        struct sigaction action = {};
        action.sa_handler = onTerminate;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : kEndSignals) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    g_instance = this;
    g_previousHandler = qInstallMessageHandler(watchMessages);
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { Q_EMIT endQueried(); });
    }
}

SessionEnd::~SessionEnd()
{
    qInstallMessageHandler(g_previousHandler);
    g_previousHandler = nullptr;
    g_instance = nullptr;
    if (g_pipe[0] >= 0) {
        for (const int signal : kEndSignals) {
            ::signal(signal, SIG_DFL);
        }
        ::close(g_pipe[0]);
        ::close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
    }
}

void SessionEnd::readSignal()
{
    char buffer[16];
    bool received = false;
    while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
        received = true;
    }
    if (received) {
        Q_EMIT terminateRequested();
    }
}

} // namespace kx
