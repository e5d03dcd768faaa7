// SPDX-License-Identifier: Apache-2.0
#include "SessionEnd.h"

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

namespace {

int g_pipe[2] = {-1, -1};

extern "C" void onTerminate(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: one byte into the pipe.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
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
        ::sigaction(SIGTERM, &action, nullptr);
    }
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { Q_EMIT endQueried(); });
    }
}

SessionEnd::~SessionEnd()
{
    if (g_pipe[0] >= 0) {
        ::signal(SIGTERM, SIG_DFL);
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
