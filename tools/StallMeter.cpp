// SPDX-License-Identifier: Apache-2.0
#include "StallMeter.h"

#include <algorithm>
#include <ctime>

namespace kx {

namespace {

qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

StallMeter::StallMeter(int intervalMs, Clock clock, QObject* parent)
    : QObject(parent), m_clock(clock ? std::move(clock) : Clock(monotonicNs)), m_timer(this)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(intervalMs);
    connect(&m_timer, &QTimer::timeout, this, &StallMeter::tick);
    m_lastNs = m_clock();
    m_timer.start();
}

void StallMeter::reset()
{
    m_lastNs = m_clock();
    m_longestMs = 0;
}

double StallMeter::longestMs()
{
    tick();
    return m_longestMs;
}

void StallMeter::tick()
{
    const qint64 now = m_clock();
    m_longestMs = std::max(m_longestMs, static_cast<double>(now - m_lastNs) / 1e6);
    m_lastNs = now;
}

} // namespace kx
