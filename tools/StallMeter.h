// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace kx {

// Watches the event loop of the thread it lives on: a timer ticks at a fixed interval and the
// meter keeps the longest time between two ticks, which is how long the loop could not paint or
// take input. A benchmark resets it before a user action and reads it after the action ended.
class StallMeter : public QObject
{
public:
    // The time in nanoseconds; the monotonic clock of the machine by default.
    using Clock = std::function<qint64()>;

    explicit StallMeter(int intervalMs, Clock clock = {}, QObject* parent = nullptr);

    // Forgets the longest gap so far; the next one counts from now.
    void reset();
    // The longest gap between two ticks since the last reset, the time until now included.
    double longestMs();

private:
    void tick();

    Clock m_clock;
    QTimer m_timer;
    qint64 m_lastNs = 0;
    double m_longestMs = 0;
};

} // namespace kx
