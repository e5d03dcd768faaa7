// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>

class QSocketNotifier;

namespace kx {

// Turns the end of the user's session into events on the window thread: SIGTERM (sent by the
// session manager or systemd when the session ends) and SIGHUP (the terminal or the session's
// connection went away) arrive through a self-pipe watched by the event loop; the session
// manager's commit-data request is passed on; and the loss of the display connection, after
// which the windowing system ends the process at once, is reported just before that happens.
class SessionEnd : public QObject
{
    Q_OBJECT

public:
    // Installs the SIGTERM and SIGHUP handlers and the watch for the display's loss; only one
    // object may exist at a time.
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

Q_SIGNALS:
    // SIGTERM or SIGHUP was received: the session ends now.
    void terminateRequested();
    // The connection to the display broke. Emitted on the window thread right before the
    // windowing system ends the process, so slots must finish their work before returning and
    // must not rely on the event loop or on the display any more.
    void displayLost();
    // The session manager asks whether the session may end (the log-off may proceed).
    void endQueried();

private:
    void readSignal();
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace kx
