// SPDX-License-Identifier: Apache-2.0
#include "KeyLanes.h"

#include <QDeadlineTimer>
#include <QRunnable>
#include <QThreadPool>
#include <QTimer>

namespace kx {

namespace {

// Enough threads for every key of a full hub at once.
constexpr int kWorkerThreads = 8;

std::atomic_bool leftRunning{false};

} // namespace

void JobControl::step(const QString& what)
{
    std::function<void(const QString&)> notify;
    {
        const QMutexLocker locker(&m_lock);
        m_step = what;
        notify = m_stepChanged;
    }
    if (notify) {
        notify(what);
    }
}

QString JobControl::currentStep() const
{
    const QMutexLocker locker(&m_lock);
    return m_step;
}

void PostBox::post(std::function<void()> call)
{
    const QMutexLocker locker(&m_lock);
    if (m_target) {
        QMetaObject::invokeMethod(m_target, std::move(call), Qt::QueuedConnection);
    }
}

void PostBox::close()
{
    const QMutexLocker locker(&m_lock);
    m_target = nullptr;
}

KeyLanes::KeyLanes(QObject* parent)
    : QObject(parent), m_pool(new QThreadPool), m_postBox(std::make_shared<PostBox>(this))
{
    m_pool->setMaxThreadCount(kWorkerThreads);
}

KeyLanes::~KeyLanes()
{
    shutdown(0);
}

bool KeyLanes::post(const QByteArray& lane, const QString& what, Work work)
{
    if (m_shutdown) {
        return false;
    }
    Lane& l = m_lanes[lane];
    l.queue.push_back({what, std::move(work)});
    if (!l.running) {
        startNext(lane);
        Q_EMIT laneBusyChanged(lane, true);
    }
    return true;
}

bool KeyLanes::busy(const QByteArray& lane) const
{
    const auto it = m_lanes.constFind(lane);
    return it != m_lanes.constEnd() && (it->running || !it->queue.empty());
}

bool KeyLanes::idle() const
{
    for (const Lane& lane : m_lanes) {
        if (lane.running || !lane.queue.empty()) {
            return false;
        }
    }
    return true;
}

void KeyLanes::cancel(const QByteArray& lane)
{
    const auto it = m_lanes.find(lane);
    if (it == m_lanes.end()) {
        return;
    }
    it->queue.clear();
    if (it->running) {
        it->running->cancel();
    }
}

void KeyLanes::startNext(const QByteArray& lane)
{
    Lane& l = m_lanes[lane];
    if (l.queue.empty() || m_shutdown) {
        return;
    }
    Job job = std::move(l.queue.front());
    l.queue.pop_front();
    l.running = std::make_shared<JobControl>();
    l.running->m_step = job.what;
    l.overdue = false;
    const std::shared_ptr<PostBox> box = m_postBox;
    // Steps reach the window through the post box; the lanes look at them only once a job is
    // overdue.
    l.running->m_stepChanged = [this, box, lane](const QString& what) {
        box->post([this, lane, what] { stepChanged(lane, what); });
    };
    if (!l.waiting) {
        l.waiting = new QTimer(this);
        l.waiting->setSingleShot(true);
        l.waiting->setInterval(kWaitingNoticeMs);
        connect(l.waiting, &QTimer::timeout, this, [this, lane] {
            Lane& current = m_lanes[lane];
            if (current.running) {
                current.overdue = true;
                Q_EMIT laneWaiting(lane, current.running->currentStep());
            }
        });
    }
    l.waiting->start();
    const std::shared_ptr<JobControl> control = l.running;
    QRunnable* runnable = QRunnable::create([work = std::move(job.work), control, box, this, lane]() mutable {
        work(*control);
        work = nullptr; // whatever the job captured goes on its own thread
        box->post([this, lane] { finished(lane); });
    });
    m_pool->start(runnable);
}

void KeyLanes::stepChanged(const QByteArray& lane, const QString& what)
{
    const auto it = m_lanes.find(lane);
    if (it != m_lanes.end() && it->running && it->overdue) {
        Q_EMIT laneWaiting(lane, what);
    }
}

void KeyLanes::finished(const QByteArray& lane)
{
    Lane& l = m_lanes[lane];
    l.running.reset();
    l.overdue = false;
    if (l.waiting) {
        l.waiting->stop();
    }
    if (!l.queue.empty() && !m_shutdown) {
        startNext(lane);
        return;
    }
    Q_EMIT laneBusyChanged(lane, false);
    if (idle()) {
        Q_EMIT becameIdle();
    }
}

bool KeyLanes::shutdown(int waitMs)
{
    if (!m_shutdown) {
        m_shutdown = true;
        for (Lane& lane : m_lanes) {
            lane.queue.clear();
            if (lane.running) {
                lane.running->cancel();
            }
        }
    }
    if (!m_pool) {
        return true;
    }
    const bool done = m_pool->waitForDone(waitMs);
    m_postBox->close();
    if (done) {
        delete m_pool;
    } else {
        // A job is stuck in a call to a key that does not answer. Its pool is left to it: waiting
        // here would hold the program up for as long as the key keeps silent.
        leftRunning = true;
    }
    m_pool = nullptr;
    return done;
}

bool KeyLanes::workersLeftRunning()
{
    return leftRunning;
}

} // namespace kx
