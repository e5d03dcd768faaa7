// SPDX-License-Identifier: Apache-2.0
#include "KeyThreadGuard.h"

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace kx {

namespace {

std::atomic<QThread*> forbidden{nullptr};
thread_local bool exempt = false;

bool strict()
{
    static const bool value = !qEnvironmentVariableIsEmpty("KX2700_STRICT_KEY_THREAD");
    return value;
}

} // namespace

void KeyThreadGuard::forbid(QThread* thread)
{
    forbidden = thread;
}

void KeyThreadGuard::check(const char* function)
{
    QThread* thread = forbidden.load();
    if (!thread || exempt || QThread::currentThread() != thread) {
        return;
    }
    if (strict()) {
        std::fprintf(stderr, "key call %s on the window thread\n", function);
        std::fflush(stderr);
        std::abort();
    }
    static QMutex lock;
    static QSet<QByteArray> reported;
    const QMutexLocker locker(&lock);
    if (!reported.contains(QByteArray(function))) {
        reported.insert(QByteArray(function));
        std::fprintf(stderr, "warning: key call %s on the window thread\n", function);
    }
}

KeyThreadGuard::Exemption::Exemption() : m_previous(exempt)
{
    exempt = true;
}

KeyThreadGuard::Exemption::~Exemption()
{
    exempt = m_previous;
}

} // namespace kx
