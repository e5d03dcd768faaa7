// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

namespace kx {

class StallMeter;
class TMainForm;
class WindowDriver;

// The manager's window through a sequence of user actions (key list refresh, login, certificate
// tree, PKCS#12 import, deletion of a container, registration, keys plugged at once, a large key
// selected and its tree loaded), each run to completion while a 5 ms timer on the window thread
// measures the longest time its event loop stood still. Prints "stall.ACTION=ms" (the longest
// gap) and "time.ACTION=ms" (the action from start to end) for scripts/benchmark.
class WindowStalls
{
public:
    struct Setup
    {
        QString pin;
        // The key logged in and read (login, tree, registration), the key imported into and
        // deleted from, and the large key selected at the end.
        QString treeSerial;
        QString importSerial;
        QString largeSerial;
        QString pkcs12;
        QString password;
        // keysim's tool and the keys pulled and then plugged in at once.
        QString keysimTool;
        QStringList plugSerials;
    };

    explicit WindowStalls(const Setup& setup);

    // Runs every action in turn on `window` (shown, library opened); 0, or 1 with a message on
    // stderr when an action did not complete.
    int run(TMainForm& window);

private:
    // Starts the meter and the clock of an action.
    void start();
    // The action's figures; false (and a message) when `completed` is false.
    bool record(const char* action, bool completed);
    // Index of the key or -1 with a message.
    int keyOrComplain(const QString& serial) const;

    bool refresh();
    bool login();
    bool tree();
    bool import();
    bool remove();
    bool registration();
    bool plugAtOnce();
    bool largeKey();

    Setup m_setup;
    TMainForm* m_window = nullptr;
    WindowDriver* m_driver = nullptr;
    StallMeter* m_meter = nullptr;
    QElapsedTimer m_clock;
};

} // namespace kx
