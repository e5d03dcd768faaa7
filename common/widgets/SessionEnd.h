// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>

class QSocketNotifier;

namespace kx {

// Turns the end of the user's session into one event on the window thread: SIGTERM (sent by
// the session manager or systemd when the session ends) arrives through a self-pipe watched
// by the event loop, and the session manager's commit-data request is passed on as well.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    // Installs the SIGTERM handler; only one object may exist at a time.
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

Q_SIGNALS:
    // SIGTERM was received: the session ends now.
    void terminateRequested();
    // The session manager asks whether the session may end (the log-off may proceed).
    void endQueried();

private:
    void readSignal();
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace kx
