// SPDX-License-Identifier: Apache-2.0
#include "SessionEnd.h"

#include <QGuiApplication>
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
constexpr int kEndSignals[] = {SIGTERM, SIGHUP};

extern "C" void onTerminate(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: one byte into the pipe.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

// Qt's X11 and Wayland platforms report a broken display connection with one of these warnings
// and call exit() right after it, without returning to the event loop.
bool reportsLostDisplay(const QString& message)
{
    return message.startsWith(QLatin1String("The X11 connection broke")) ||
           message.startsWith(QLatin1String("The Wayland connection broke"));
}

void watchMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (g_previousHandler) {
        g_previousHandler(type, context, message);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
    }
    if (reportsLostDisplay(message) && g_instance && QThread::currentThread() == g_instance->thread() &&
        !g_displayLostReported.exchange(true)) {
        Q_EMIT g_instance->displayLost();
    }
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
