// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

class QThreadPool;
class QTimer;

namespace kx {

// A running job's link to the window: what it is doing now (shown when it takes long) and
// whether it was asked to stop. Used from the job's thread.
class JobControl
{
public:
    // Says what the job waits for now, as the language key of its text ("K_Wait_Read").
    void step(const QString& what);
    QString currentStep() const;
    // True once the job was asked to stop; a job checks it between its calls to the key.
    bool cancelled() const { return m_cancelled; }
    void cancel() { m_cancelled = true; }
    // A call of the job found the key's login lost (its session had to be opened anew).
    void loginLost() { m_loginLost = true; }
    bool lostLogin() const { return m_loginLost; }

private:
    friend class KeyLanes;
    mutable QMutex m_lock;
    QString m_step;
    std::function<void(const QString&)> m_stepChanged;
    std::atomic_bool m_cancelled{false};
    std::atomic_bool m_loginLost{false};
};

// Hands a function to an object's thread, or drops it once the object is gone. A worker keeps
// one of these instead of a pointer, so a result never reaches an object that no longer exists.
class PostBox
{
public:
    explicit PostBox(QObject* target) : m_target(target) {}
    // Queues `call` to run on the target's thread; nothing happens when the target is gone.
    void post(std::function<void()> call);
    // The target is going: later posts are dropped.
    void close();

private:
    QMutex m_lock;
    QObject* m_target;
};

// Runs the key work of a program on worker threads: one lane per key and one for the work that
// concerns all keys (the enumeration). The jobs of one lane run one after another in the order
// they were posted; lanes run side by side, so a slow key holds up only its own work. The window
// thread posts, and learns when a lane becomes busy or idle and when a job has been waiting for
// more than two seconds (with what it waits for).
class KeyLanes : public QObject
{
    Q_OBJECT

public:
    using Work = std::function<void(JobControl&)>;
    static constexpr int kWaitingNoticeMs = 2000;

    explicit KeyLanes(QObject* parent = nullptr);
    ~KeyLanes() override;

    // Queues `work` on `lane`; `what` says what it does. False, without queuing, once the lanes
    // were shut down.
    bool post(const QByteArray& lane, const QString& what, Work work);
    bool busy(const QByteArray& lane) const;
    bool idle() const;
    // Drops the queued jobs of a lane and asks its running job to stop.
    void cancel(const QByteArray& lane);
    // Drops every queued job, asks the running ones to stop and waits up to `waitMs` for them.
    // True when none runs any more; no job starts afterwards.
    bool shutdown(int waitMs);
    // Jobs still running after a shutdown that gave up waiting for them.
    static bool workersLeftRunning();

    const std::shared_ptr<PostBox>& postBox() const { return m_postBox; }

Q_SIGNALS:
    void laneBusyChanged(const QByteArray& lane, bool busy);
    // The running job of `lane` has been at work for two seconds and waits for `what`.
    void laneWaiting(const QByteArray& lane, const QString& what);
    void becameIdle();

private:
    struct Job
    {
        QString what;
        Work work;
    };
    struct Lane
    {
        std::deque<Job> queue;
        std::shared_ptr<JobControl> running;
        QTimer* waiting = nullptr;
        bool overdue = false;
    };

    void startNext(const QByteArray& lane);
    void finished(const QByteArray& lane);
    void stepChanged(const QByteArray& lane, const QString& what);

    QHash<QByteArray, Lane> m_lanes;
    QThreadPool* m_pool;
    std::shared_ptr<PostBox> m_postBox;
    bool m_shutdown = false;
};

} // namespace kx
