// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../common/XSession.h"
#include "Desktop.h"

#include <QTest>

namespace kx::test {

// A user's keyboard on an X session of the test: xdotool sends the keys through the X server to
// the window that has the input focus, as a real keyboard does. Where they went is read through
// the program's UI driver, which the keyboard only asks, never uses to act.
class Keyboard
{
public:
    static constexpr int kWaitMs = 15000;

    Keyboard(Desktop& desktop, const QString& program) : m_desktop(desktop), m_program(program) {}

    // Presses one key or chord by its X name: "Tab", "shift+Tab", "Down", "space", "Return".
    void press(const QString& key) const
    {
        const QByteArray name = key.toUtf8();
        XSession::run({"xdotool", "key", name.constData()});
    }
    // Types `text` character by character.
    void type(const QString& text) const
    {
        const QByteArray characters = text.toUtf8();
        XSession::run({"xdotool", "type", "--delay", "20", "--", characters.constData()});
    }

    // The widget with the keyboard focus as "window/objectName", empty when no window of the
    // program has it.
    QString focus()
    {
        return m_desktop.drive(m_program, {"focus"}).value_or(QString()).section(QLatin1Char('\n'), 0, 0);
    }
    bool waitForFocus(const QString& path)
    {
        return QTest::qWaitFor([&] { return (lastSeen = focus()) == path; }, kWaitMs);
    }

    // Presses `key` until `path` has the focus, waiting after each press for the focus to move;
    // false when it does not get there within `presses` presses or stops moving.
    bool pressUntilFocus(const QString& key, const QString& path, int presses = 20)
    {
        return pressUntil(
            key, presses, [this] { return lastSeen = focus(); }, path);
    }

    // With the focus in `tree`, presses `key` until the tree's current item is at `positions`
    // ("0/0/2"), waiting after each press for the current item to change.
    bool walkTree(const QString& tree, const QString& key, const QString& positions, int presses = 12)
    {
        return pressUntil(
            key, presses, [&] { return lastSeen = current(tree); }, positions);
    }

    // Waits until the widget at `path` shows `text` (a hidden field: "(hidden, N characters)").
    bool waitForText(const QString& path, const QString& text)
    {
        return QTest::qWaitFor([&] { return m_desktop.get(m_program, path) == text; }, kWaitMs);
    }
    static QString hidden(const QString& secret)
    {
        return QStringLiteral("(hidden, %1 characters)").arg(secret.size());
    }

    // The focus or tree position the last wait saw, for a failure's message.
    QString lastSeen;

private:
    QString current(const QString& tree) { return m_desktop.drive(m_program, {"current", tree}).value_or(QString()); }

    template <typename Read>
    bool pressUntil(const QString& key, int presses, Read read, const QString& wanted)
    {
        for (int i = 0; i < presses; ++i) {
            const QString before = read();
            if (before == wanted) {
                return true;
            }
            press(key);
            if (!QTest::qWaitFor([&] { return read() != before; }, kWaitMs)) {
                return false;
            }
        }
        return read() == wanted;
    }

    Desktop& m_desktop;
    QString m_program;
};

} // namespace kx::test
