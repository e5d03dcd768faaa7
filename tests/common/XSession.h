// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kx::test {

// A desktop session of its own for tests that need a real window manager: an X server (Xvfb) on
// a free display, a private session bus, and on request the window manager openbox, the
// notification server dunst and a panel. Everything is started before the application object
// exists (the programs connect to the display when it is created) and ended with the session.
class XSession
{
public:
    XSession() = default;
    ~XSession() { stop(); }
    XSession(const XSession&) = delete;
    XSession& operator=(const XSession&) = delete;

    // Starts Xvfb and the session bus and points DISPLAY and DBUS_SESSION_BUS_ADDRESS at them.
    bool start()
    {
        // Two X servers started at the same moment (tests run in parallel) can pick the same free
        // display, and the later one then gives up: try again until a server answers on its own.
        bool answering = false;
        for (int attempt = 0; attempt < 5 && !answering; ++attempt) {
            answering = startXServer();
        }
        if (!answering) {
            return false;
        }
        int fds[2];
        // The session bus: its address is printed on a pipe.
        if (::pipe(fds) != 0) {
            return false;
        }
        const QByteArray busFd = "--print-address=" + QByteArray::number(fds[1]);
        m_bus = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile", busFd.constData()}, fds[0]);
        ::close(fds[1]);
        busAddress = readAll(fds[0], '\n').trimmed();
        ::close(fds[0]);
        if (busAddress.isEmpty()) {
            return false;
        }
        ::setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.constData(), 1);
        return true;
    }

    // The whole session with the window manager; a session whose window manager does not come up
    // is ended and started once more on a new X server.
    bool startWithWindowManager()
    {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (start() && startWindowManager()) {
                return true;
            }
            stop();
        }
        return false;
    }

    // Starts one Xvfb on a free display and checks that it answers there. The tests of this
    // project start their servers one at a time (a lock file in /tmp): two servers starting in the
    // same moment can both take one display number, and the one that loses ends later, after the
    // check below was answered by the other.
    bool startXServer()
    {
        const int lock = ::open("/tmp/kx2700-test-xserver.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock >= 0) {
            while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        const bool started = startXServerLocked();
        if (lock >= 0) {
            ::close(lock);
        }
        return started;
    }

    // Ends the X server at once (SIGKILL), as a crash would.
    void killXServer()
    {
        if (m_xvfb > 0) {
            ::kill(m_xvfb, SIGKILL);
            ::waitpid(m_xvfb, nullptr, 0);
        }
        m_xvfb = 0;
    }

    void endXServer()
    {
        if (m_xvfb > 0) {
            ::kill(m_xvfb, SIGTERM);
            ::waitpid(m_xvfb, nullptr, 0);
        }
        m_xvfb = 0;
    }

    // Starts openbox and waits until it manages the screen; a window manager that ends before
    // that is started again (it gives up when the display is not ready for it yet).
    bool startWindowManager()
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const pid_t openbox = spawn({"openbox", "--sm-disable"});
            if (openbox <= 0) {
                return false;
            }
            m_helpers.append(openbox);
            bool ended = false;
            const bool managing = waitFor([&] {
                ended = ::waitpid(openbox, nullptr, WNOHANG) == openbox;
                return ended || run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).contains("window id");
            });
            if (managing && !ended) {
                return true;
            }
            m_helpers.removeAll(openbox);
            if (!ended) {
                ::kill(openbox, SIGKILL);
                ::waitpid(openbox, nullptr, 0);
            }
        }
        return false;
    }

private:
    bool startXServerLocked()
    {
        int fds[2];
        if (::pipe(fds) != 0) {
            return false;
        }
        const QByteArray fd = QByteArray::number(fds[1]);
        m_xvfb =
            spawn({"Xvfb", "-displayfd", fd.constData(), "-screen", "0", "1024x768x24", "-nolisten", "tcp"}, fds[0]);
        ::close(fds[1]);
        const QByteArray number = readAll(fds[0], '\n').trimmed();
        ::close(fds[0]);
        if (m_xvfb <= 0 || number.isEmpty()) {
            endXServer();
            return false;
        }
        display = ":" + number;
        ::setenv("DISPLAY", display.constData(), 1);
        if (run({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}).size() > 0 &&
            ::waitpid(m_xvfb, nullptr, WNOHANG) == 0) {
            return true;
        }
        endXServer();
        return false;
    }

public:

    // Starts a program of the session (a notification server, a panel) and remembers it.
    qint64 startHelper(const QList<const char*>& command)
    {
        const pid_t pid = spawn(command);
        m_helpers.append(pid);
        return pid;
    }

    // The output of a short command run in the session.
    static QByteArray run(const QList<const char*>& command)
    {
        int fds[2];
        if (::pipe(fds) != 0) {
            return {};
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const pid_t pid = spawnWith(command, &actions);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        QByteArray output = pid > 0 ? readAll(fds[0], 0) : QByteArray();
        ::close(fds[0]);
        if (pid > 0) {
            ::waitpid(pid, nullptr, 0);
        }
        return output;
    }

    // A UTF-8 text property of an X window as the window manager reads it ("" when unset).
    static QString windowText(unsigned long window, const char* property)
    {
        const QByteArray id = QByteArray::number(qulonglong(window));
        const QByteArray line = run({"xprop", "-id", id.constData(), property});
        const int quote = line.indexOf('"');
        if (quote < 0) {
            return {};
        }
        // xprop prints the UTF-8 text between quotes, with " and \ escaped.
        QByteArray text = line.mid(quote + 1, line.lastIndexOf('"') - quote - 1);
        text.replace("\\\"", "\"").replace("\\\\", "\\");
        return QString::fromUtf8(text);
    }

    // The titles of the top-level windows the window manager manages for process `pid`.
    static QStringList clientTitles(qint64 pid)
    {
        QStringList titles;
        const QByteArray list = run({"xprop", "-root", "_NET_CLIENT_LIST"});
        const int hash = list.indexOf('#');
        if (hash < 0) {
            return titles;
        }
        for (const QByteArray& word : list.mid(hash + 1).split(',')) {
            bool ok = false;
            const unsigned long window = word.trimmed().toULong(&ok, 16);
            const QByteArray id = word.trimmed();
            if (ok && run({"xprop", "-id", id.constData(), "_NET_WM_PID"})
                          .trimmed()
                          .endsWith(" " + QByteArray::number(pid))) {
                titles.append(windowText(window, "_NET_WM_NAME"));
            }
        }
        return titles;
    }

    // Polls `condition` every 20 ms for up to `seconds`; for waiting on programs that are not
    // this process's (no events tell when they are ready).
    template <typename Condition>
    static bool waitFor(Condition condition, int seconds = 10)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    // Ends the programs of the session, the X server last.
    void stop()
    {
        QList<pid_t> all = m_helpers;
        all.append(m_bus);
        all.append(m_xvfb);
        for (const pid_t pid : all) {
            if (pid <= 0) {
                continue;
            }
            ::kill(pid, SIGTERM);
            if (!waitFor([pid] { return ::waitpid(pid, nullptr, WNOHANG) != 0; }, 5)) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
        m_helpers.clear();
        m_bus = m_xvfb = 0;
    }

    QByteArray display;
    QByteArray busAddress;

private:
    static pid_t spawn(const QList<const char*>& command, int closeInChild = -1)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (closeInChild >= 0) {
            posix_spawn_file_actions_addclose(&actions, closeInChild);
        }
        const pid_t pid = spawnWith(command, &actions);
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    // Starts `command` (searched in PATH) with `actions`; its process id, 0 when it failed.
    static pid_t spawnWith(const QList<const char*>& command, const posix_spawn_file_actions_t* actions)
    {
        QList<char*> argv;
        for (const char* word : command) {
            argv.append(const_cast<char*>(word));
        }
        argv.append(nullptr);
        pid_t pid = 0;
        return posix_spawnp(&pid, argv[0], actions, nullptr, argv.data(), environ) == 0 ? pid : 0;
    }

    // Reads `fd` up to `end` (0: to its end).
    static QByteArray readAll(int fd, char end)
    {
        QByteArray data;
        char buffer[512];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            data.append(buffer, got);
            if (end != 0 && data.contains(end)) {
                break;
            }
        }
        return data;
    }

    pid_t m_xvfb = 0;
    pid_t m_bus = 0;
    QList<pid_t> m_helpers;
};

} // namespace kx::test
