// SPDX-License-Identifier: Apache-2.0
#include "CommandChannel.h"

#include "platform/LocalChannel.h"

#include <QFile>
#include <QSocketNotifier>

#include <map>

namespace kx {

namespace {

constexpr char kTextFrame = 'T';
constexpr char kSystemFrame = 'S';
constexpr char kQueryFrame = 'Q';
constexpr auto kSendTimeout = std::chrono::milliseconds(3000);
constexpr auto kReceiveTimeout = std::chrono::milliseconds(1000);
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
    connect(m_notifier, &QSocketNotifier::activated, this, &CommandEndpoint::readPending);
}

CommandEndpoint::~CommandEndpoint() = default;

bool CommandEndpoint::listening() const
{
    return m_listener && m_listener->listening();
}

void CommandEndpoint::readPending()
{
    const auto frame = m_listener->receive(kReceiveTimeout);
    if (!frame) {
        return;
    }
    switch (frame->kind) {
    case kTextFrame: {
        // UTF-16LE up to the first zero character, whatever length was sent.
        QString text;
        for (std::size_t i = 0; i + 1 < frame->payload.size(); i += 2) {
            const auto unit = static_cast<char16_t>(static_cast<unsigned char>(frame->payload[i]) |
                                                    (static_cast<unsigned char>(frame->payload[i + 1]) << 8));
            if (unit == 0) {
                break;
            }
            text.append(QChar(unit));
        }
        Q_EMIT commandReceived(text);
        break;
    }
    case kSystemFrame:
        if (frame->payload.size() == 4) {
            quint32 command = 0;
            for (int i = 0; i < 4; ++i) {
                command |= static_cast<quint32>(static_cast<unsigned char>(frame->payload[static_cast<std::size_t>(i)]))
                           << (8 * i);
            }
            Q_EMIT systemCommandReceived(command);
        }
        break;
    default:
        break; // a query needs only the answer
    }
    m_listener->acknowledge();
}

bool SendCommand(const QString& text, const QString& windowClass)
{
    const std::string path = socketPath(windowClass);
    if (path.empty()) {
        return false;
    }
    std::string payload;
    payload.reserve(static_cast<std::size_t>(text.size() + 1) * 2);
    for (const QChar c : text) {
        payload.push_back(static_cast<char>(c.unicode() & 0xFF));
        payload.push_back(static_cast<char>(c.unicode() >> 8));
    }
    payload.append(2, '\0');
    return platform::sendFrame(path, kTextFrame, payload, kSendTimeout);
}

bool SendSystemCommand(const QString& windowClass, quint32 command)
{
    const std::string path = socketPath(windowClass);
    if (path.empty()) {
        return false;
    }
    std::string payload(4, '\0');
    for (int i = 0; i < 4; ++i) {
        payload[static_cast<std::size_t>(i)] = static_cast<char>((command >> (8 * i)) & 0xFF);
    }
    return platform::sendFrame(path, kSystemFrame, payload, kSendTimeout);
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
