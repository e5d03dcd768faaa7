// SPDX-License-Identifier: Apache-2.0
#include "CommandChannel.h"

#include "platform/LocalChannel.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>

#include <map>

namespace kx {

namespace {

constexpr char kTextFrame = 'T';
constexpr char kSystemFrame = 'S';
constexpr char kQueryFrame = 'Q';
constexpr auto kSendTimeout = std::chrono::milliseconds(3000);
constexpr qsizetype kSignificantClassLength = 31;

// The socket of a window class; empty when the user's channel folder cannot be used.
std::string socketPath(const QString& windowClass)
{
    const std::string folder = platform::channelFolder();
    QString name = windowClass.left(kSignificantClassLength);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    if (folder.empty() || name.isEmpty()) {
        return {};
    }
    return folder + "/" + QFile::encodeName(name).toStdString() + ".sock";
}

} // namespace

// A connection whose frame is still arriving, with its watch and its deadline.
struct CommandEndpoint::Reading
{
    std::unique_ptr<platform::ChannelConnection> connection;
    QSocketNotifier* notifier = nullptr;
    QTimer* deadline = nullptr;

    ~Reading()
    {
        // Either may be the sender of the signal being handled: let the event loop free them.
        notifier->setEnabled(false);
        notifier->deleteLater();
        deadline->stop();
        deadline->deleteLater();
    }
};

CommandEndpoint::CommandEndpoint(const QString& windowClass, QObject* parent)
    : QObject(parent), m_windowClass(windowClass)
{
    const std::string path = socketPath(windowClass);
    if (path.empty()) {
        return;
    }
    m_listener = std::make_unique<platform::ChannelListener>(path);
    if (!m_listener->listening()) {
        return;
    }
    m_notifier = new QSocketNotifier(m_listener->fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &CommandEndpoint::acceptPending);
}

CommandEndpoint::~CommandEndpoint() = default;

bool CommandEndpoint::listening() const
{
    return m_listener && m_listener->listening();
}

void CommandEndpoint::acceptPending()
{
    const QPointer<CommandEndpoint> alive(this); // a handler run below may end the endpoint
    while (alive) {
        auto connection = m_listener->accept();
        if (!connection) {
            return;
        }
        if (m_reading.size() >= static_cast<std::size_t>(kMaxConnections)) {
            m_reading.erase(m_reading.begin()); // the oldest has had the longest to send its frame
        }
        const platform::ChannelConnection* key = connection.get();
        auto reading = std::make_unique<Reading>();
        reading->connection = std::move(connection);
        reading->notifier = new QSocketNotifier(key->fd(), QSocketNotifier::Read, this);
        connect(reading->notifier, &QSocketNotifier::activated, this, [this, key] { readConnection(key); });
        reading->deadline = new QTimer(this);
        reading->deadline->setSingleShot(true);
        connect(reading->deadline, &QTimer::timeout, this, [this, key] { dropConnection(key); });
        reading->deadline->start(kFrameDeadlineMs);
        m_reading.push_back(std::move(reading));
        // The frame usually came with the connection.
        readConnection(key);
    }
}

void CommandEndpoint::dropConnection(const platform::ChannelConnection* connection)
{
    std::erase_if(m_reading, [connection](const auto& r) { return r->connection.get() == connection; });
}

void CommandEndpoint::readConnection(const platform::ChannelConnection* connection)
{
    const auto it = std::find_if(m_reading.begin(), m_reading.end(),
                                 [connection](const auto& r) { return r->connection.get() == connection; });
    if (it == m_reading.end()) {
        return;
    }
    switch ((*it)->connection->readAvailable()) {
    case platform::ChannelConnection::Progress::Incomplete:
        return;
    case platform::ChannelConnection::Progress::Failed:
        m_reading.erase(it);
        return;
    case platform::ChannelConnection::Progress::Complete:
        break;
    }
    // The handler may run a modal loop or end this endpoint's owner; the connection is kept here
    // so the sender is answered once the handler is done, whatever happened meanwhile.
    std::unique_ptr<platform::ChannelConnection> handled = std::move((*it)->connection);
    m_reading.erase(it);
    dispatch(handled->frame());
    handled->acknowledge();
}

void CommandEndpoint::dispatch(const platform::ChannelFrame& frame)
{
    switch (frame.kind) {
    case kTextFrame:
        Q_EMIT commandReceived(decodeCommandText(frame.payload));
        break;
    case kSystemFrame:
        if (const auto command = decodeSystemCommand(frame.payload)) {
            Q_EMIT systemCommandReceived(*command);
        }
        break;
    default:
        break; // a query needs only the answer
    }
}

std::string encodeCommandText(const QString& text)
{
    std::string payload;
    payload.reserve(static_cast<std::size_t>(text.size() + 1) * 2);
    for (const QChar c : text) {
        payload.push_back(static_cast<char>(c.unicode() & 0xFF));
        payload.push_back(static_cast<char>(c.unicode() >> 8));
    }
    payload.append(2, '\0');
    return payload;
}

QString decodeCommandText(std::string_view payload)
{
    // UTF-16LE up to the first zero character, whatever length was sent.
    QString text;
    for (std::size_t i = 0; i + 1 < payload.size(); i += 2) {
        const auto unit = static_cast<char16_t>(static_cast<unsigned char>(payload[i]) |
                                                (static_cast<unsigned char>(payload[i + 1]) << 8));
        if (unit == 0) {
            break;
        }
        text.append(QChar(unit));
    }
    return text;
}

std::string encodeSystemCommand(quint32 command)
{
    std::string payload(4, '\0');
    for (std::size_t i = 0; i < 4; ++i) {
        payload[i] = static_cast<char>((command >> (8 * i)) & 0xFF);
    }
    return payload;
}

std::optional<quint32> decodeSystemCommand(std::string_view payload)
{
    if (payload.size() != 4) {
        return std::nullopt;
    }
    quint32 command = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        command |= static_cast<quint32>(static_cast<unsigned char>(payload[i])) << (8 * i);
    }
    return command;
}

bool SendCommand(const QString& text, const QString& windowClass)
{
    const std::string path = socketPath(windowClass);
    if (path.empty()) {
        return false;
    }
    return platform::sendFrame(path, kTextFrame, encodeCommandText(text), kSendTimeout);
}

bool SendSystemCommand(const QString& windowClass, quint32 command)
{
    const std::string path = socketPath(windowClass);
    if (path.empty()) {
        return false;
    }
    return platform::sendFrame(path, kSystemFrame, encodeSystemCommand(command), kSendTimeout);
}

bool WindowClassExists(const QString& windowClass)
{
    const std::string path = socketPath(windowClass);
    return !path.empty() && platform::sendFrame(path, kQueryFrame, {}, kSendTimeout);
}

bool CheckSingleInstance(const QString& instanceName, const QString& restoreClass)
{
    static std::map<QString, std::unique_ptr<platform::InstanceLock>> held;
    if (held.count(instanceName) != 0) {
        return false;
    }
    const std::string folder = platform::channelFolder();
    if (folder.empty()) {
        return false; // no protection, as without a place for the registration
    }
    auto lock = std::make_unique<platform::InstanceLock>(folder + "/" + QFile::encodeName(instanceName).toStdString() +
                                                         ".lock");
    if (!lock->usable()) {
        return false;
    }
    if (!lock->locked()) {
        if (!restoreClass.isEmpty()) {
            SendSystemCommand(restoreClass, SC_RESTORE);
        }
        return true;
    }
    held.emplace(instanceName, std::move(lock));
    return false;
}

} // namespace kx
