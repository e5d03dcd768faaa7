// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QObject>

class QLocalServer;
class QLocalSocket;
class QWidget;

namespace kx {

// Lets a scripted acceptance run work the program's windows as a user does: read what they show,
// type into fields, choose entries, press buttons and answer message boxes. It listens only when
// the environment variable KX2700_UI_DRIVER names a folder that belongs to the user and is closed
// to everyone else, at "<program name>.sock" in it; otherwise it does nothing.
//
// One request per line, one answer per line ("ok ARG" or "error TEXT"); arguments are separated
// by spaces and percent-encoded. A widget is named by a path of object names, the first naming a
// top-level window (or "@modal" for the active modal dialog, "@any" for the first match in any
// window), e.g. "TMainForm/edtUPIN".
//   windows               the top-level windows: objectName:class:visible:title, space separated
//   modal                 the active modal window: objectName, title and, for a message box, text
//   answer yes|no|ok      presses that button of the active message box
//   get PATH              the text a widget shows (a tree: its items, one per entry, indented)
//   set PATH TEXT         types into a line edit, text box or spin box, or picks a list entry
//   check PATH            checks a check box or radio button
//   click PATH            presses a button or triggers an action, after the answer is sent
//   select PATH I/J/K     makes the tree item at those positions the current one
//   current PATH          the positions I/J/K of the tree's current item ("" when none)
//   focus                 the widget with the keyboard focus: its window's and its own object
//                         name as a path, then its class ("" when no window of the program is
//                         active)
//   accept PATH, reject PATH   closes a dialog as its OK or Cancel would, after the answer
//   enabled PATH          1 or 0
//   visible PATH          1 or 0
//   dumpable              whether the process may be dumped or traced: 1 or 0
class UiDriver : public QObject
{
    Q_OBJECT

public:
    // Starts a driver owned by `parent` when the environment asks for one.
    static void startIfRequested(QObject* parent);

    explicit UiDriver(const QString& socketPath, QObject* parent);
    bool listening() const;

    // Carries out one request line and returns the answer line (without the newline).
    QByteArray handle(const QByteArray& request);

private:
    void readFrom(QLocalSocket* socket);

    QLocalServer* m_server = nullptr;
};

} // namespace kx
