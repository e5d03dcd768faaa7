// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSocketNotifier;

namespace kx {

namespace platform {
class ChannelConnection;
class ChannelListener;
struct ChannelFrame;
} // namespace platform

// System commands a program can send to a window of the other program.
inline constexpr quint32 SC_CLOSE = 0xF060;
inline constexpr quint32 SC_RESTORE = 0xF120;

// Window classes by which the programs find each other.
inline constexpr auto kManagerWindowClass = "TKX2700_Mgr";
inline constexpr auto kMonitorWindowClass = "kx2700_TrayIcon";
inline constexpr auto kPinDialogWindowClass = "TUPinSetForm";
inline constexpr auto kImportDialogWindowClass = "TIMForm";

// The receiving end of a window class: while it lives, other programs of this user find the
// class, send it command texts and system commands, and wait until the handler has run. Only the
// first 31 characters of the class name count. Frames are read as their bytes arrive, so a peer
// that connects and sends nothing never holds up the window thread: each connection has a
// deadline for its frame, and at most kMaxConnections are read at once (a further one pushes
// out the oldest).
class CommandEndpoint : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 8;
    static constexpr int kFrameDeadlineMs = 2000;

    explicit CommandEndpoint(const QString& windowClass, QObject* parent = nullptr);
    ~CommandEndpoint() override;

    bool listening() const;
    QString windowClass() const { return m_windowClass; }

Q_SIGNALS:
    // A command text (up to its terminating zero); handlers run before the sender is answered.
    void commandReceived(const QString& text);
    void systemCommandReceived(quint32 command);

private:
    struct Reading;
    void acceptPending();
    void readConnection(const platform::ChannelConnection* connection);
    void dropConnection(const platform::ChannelConnection* connection);
    void dispatch(const platform::ChannelFrame& frame);

    QString m_windowClass;
    std::unique_ptr<platform::ChannelListener> m_listener;
    QSocketNotifier* m_notifier = nullptr;
    // Connections whose frame is still arriving, oldest first.
    std::vector<std::unique_ptr<Reading>> m_reading;
};

// The payload of a command text: UTF-16LE with a terminating zero character. Decoding takes the
// text up to the first zero character, whatever length was sent.
std::string encodeCommandText(const QString& text);
QString decodeCommandText(std::string_view payload);
// The payload of a system command: 32 bits, little-endian. Any other length is no command.
std::string encodeSystemCommand(quint32 command);
std::optional<quint32> decodeSystemCommand(std::string_view payload);

// Sends `text` to the window of class `windowClass` and waits until it has been handled (a few
// seconds at most). Nothing happens when no such window exists. True when it was delivered.
bool SendCommand(const QString& text, const QString& windowClass);

// Sends a system command (SC_CLOSE, SC_RESTORE) to the window of that class.
bool SendSystemCommand(const QString& windowClass, quint32 command);

// Whether a window of that class exists in one of this user's programs.
bool WindowClassExists(const QString& windowClass);

// The single-instance rule: true when another process of this user holds `instanceName` (the
// caller then ends); false when this process may go on and now holds it until it ends. When
// `restoreClass` is given and another instance runs, that instance's window of this class is
// asked to restore itself and bring its open dialog forward. A process that was killed holds
// nothing, so it never blocks the next start.
bool CheckSingleInstance(const QString& instanceName, const QString& restoreClass = QString());

// The instance names of the two programs.
inline constexpr auto kManagerInstanceName = "{KX2700ZSMgr-94AD-4211-B821-1CD5AC3F08E1}";
inline constexpr auto kMonitorInstanceName = "{KX2700ZSMon-8066-443E-9998-5713F4427EDF}";

} // namespace kx
