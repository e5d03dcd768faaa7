// SPDX-License-Identifier: Apache-2.0
#include "common/CommandChannel.h"

#include "platform/LocalChannel.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>

#include <future>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kx;

namespace {

// A peer program on its own window class and instance name.
class Peer
{
public:
    Peer(const QString& windowClass, const QString& instance, const QStringList& extra = {})
    {
        m_process.start(QStringLiteral(KX_CHANNEL_PEER), QStringList{windowClass, instance} + extra);
        m_process.waitForStarted();
    }
    ~Peer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool waitForLine(const QString& line)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            if (m_output.contains(line + QLatin1Char('\n'))) {
                return true;
            }
            m_process.waitForReadyRead(100);
            m_output += QString::fromUtf8(m_process.readAllStandardOutput());
            if (m_process.state() == QProcess::NotRunning) {
                m_output += QString::fromUtf8(m_process.readAllStandardOutput());
                return m_output.contains(line + QLatin1Char('\n'));
            }
        }
        return false;
    }
    QProcess& process() { return m_process; }
    QString output() const { return m_output; }

private:
    QProcess m_process;
    QString m_output;
};

// A raw connection to a channel socket, for peers that do not follow the protocol.
int connectRaw(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Whether the receiver has closed a connection (end of file, nothing was answered).
bool closedByReceiver(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char byte = 0;
    return ::poll(&p, 1, 0) == 1 && ::recv(fd, &byte, 1, MSG_PEEK) == 0;
}

// Whether a connection is still open with nothing received on it.
bool stillWaiting(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// A text frame as SendCommand writes it.
std::string textFrame(const char* text)
{
    std::string payload;
    for (const char* c = text; *c; ++c) {
        payload += *c;
        payload += '\0';
    }
    payload.append(2, '\0');
    const auto length = static_cast<std::uint32_t>(payload.size());
    std::string frame{'T', static_cast<char>(length & 0xFF), static_cast<char>(length >> 8), '\0', '\0'};
    return frame + payload;
}

// Sends a command from another thread while this one runs its event loop; the sender's result.
bool sendWhileProcessing(const QString& text, const QString& windowClass)
{
    auto sent = std::async(std::launch::async, [&] { return SendCommand(text, windowClass); });
    while (sent.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return sent.get();
}

} // namespace

class CommandChannelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }

    void commandsArriveWithTheirCase()
    {
        Peer peer(QStringLiteral("TKX2700_Mgr"), QStringLiteral("inst-a"));
        QVERIFY(peer.waitForLine(QStringLiteral("ready")));
        QVERIFY(WindowClassExists(QStringLiteral("TKX2700_Mgr")));
        QVERIFY(SendCommand(QStringLiteral("close"), QStringLiteral("TKX2700_Mgr")));
        QVERIFY(peer.waitForLine(QStringLiteral("text:close")));
        QVERIFY(SendSystemCommand(QStringLiteral("TKX2700_Mgr"), SC_RESTORE));
        QVERIFY(peer.waitForLine(QStringLiteral("sys:61728")));
        QVERIFY(SendCommand(QStringLiteral("LoadCert 证书"), QStringLiteral("TKX2700_Mgr")));
        QVERIFY(peer.waitForLine(QStringLiteral("text:LoadCert 证书")));
        QVERIFY(SendCommand(QStringLiteral("CLOSE"), QStringLiteral("TKX2700_Mgr")));
        QVERIFY(peer.process().waitForFinished(5000));
        QVERIFY(!WindowClassExists(QStringLiteral("TKX2700_Mgr")));
        QVERIFY(!SendCommand(QStringLiteral("CLOSE"), QStringLiteral("TKX2700_Mgr"))); // nobody there
    }

    void garbageIsIgnoredWithoutHarm()
    {
        Peer peer(QStringLiteral("kx2700_TrayIcon"), QStringLiteral("inst-b"));
        QVERIFY(peer.waitForLine(QStringLiteral("ready")));
        const std::string path = platform::channelFolder() + "/kx2700_TrayIcon.sock";
        // A frame claiming a huge length, a truncated frame, and an unknown kind.
        QVERIFY(!platform::sendFrame(path, 'T', std::string(platform::kMaxFramePayload + 1, 'x'),
                                     std::chrono::milliseconds(500)));
        {
            const int fd = connectRaw(path);
            QVERIFY(fd >= 0);
            const char header[] = {'T', '\xFF', '\xFF', '\xFF', '\x7F'};
            QCOMPARE(::write(fd, header, sizeof(header)), ssize_t(sizeof(header)));
            ::close(fd);
        }
        QVERIFY(platform::sendFrame(path, 'Z', "zz", std::chrono::milliseconds(2000)));
        // A text without its terminator, and one with bytes after it.
        QVERIFY(platform::sendFrame(path, 'T', std::string("O\0K\0", 4), std::chrono::milliseconds(2000)));
        QVERIFY(platform::sendFrame(path, 'T', std::string("H\0I\0\0\0X\0", 8), std::chrono::milliseconds(2000)));
        QVERIFY(peer.waitForLine(QStringLiteral("text:OK")));
        QVERIFY(peer.waitForLine(QStringLiteral("text:HI")));
        QVERIFY(SendCommand(QStringLiteral("Update"), QStringLiteral("kx2700_TrayIcon")));
        QVERIFY(peer.waitForLine(QStringLiteral("text:Update")));
    }

    void singleInstanceSurvivesAKilledProcess()
    {
        {
            Peer first(QStringLiteral("ClassOne"), QStringLiteral("inst-c"));
            QVERIFY(first.waitForLine(QStringLiteral("ready")));
            Peer second(QStringLiteral("ClassTwo"), QStringLiteral("inst-c"));
            QVERIFY(second.waitForLine(QStringLiteral("second")));
            // This process is a second instance too, and asks the first to restore itself.
            QVERIFY(CheckSingleInstance(QStringLiteral("inst-c"), QStringLiteral("ClassOne")));
            QVERIFY(first.waitForLine(QStringLiteral("sys:61728")));
            first.process().kill(); // no clean-up at all
            first.process().waitForFinished();
        }
        // The killed process left its socket file; the name and the class are free again.
        QVERIFY(!CheckSingleInstance(QStringLiteral("inst-c")));
        QVERIFY(!CheckSingleInstance(QStringLiteral("inst-c"))); // asked again by the holder
        CommandEndpoint endpoint(QStringLiteral("ClassOne"));
        QVERIFY(endpoint.listening());
    }

    void aHungReceiverDoesNotBlockTheSender()
    {
        Peer peer(QStringLiteral("HungClass"), QStringLiteral("inst-d"), {QStringLiteral("--hang")});
        QVERIFY(peer.waitForLine(QStringLiteral("ready")));
        QVERIFY(!SendCommand(QStringLiteral("CLOSE"), QStringLiteral("HungClass")));
        // A second endpoint for a class someone holds does not take it over.
        CommandEndpoint other(QStringLiteral("HungClass"));
        QVERIFY(!other.listening());
    }

    // Peers that connect and send nothing neither stall the receiving thread nor keep a real
    // command out, and are closed unanswered once their deadline has passed.
    void silentPeersDoNotStallTheReceiver()
    {
        CommandEndpoint endpoint(QStringLiteral("QuietClass"));
        QVERIFY(endpoint.listening());
        QStringList received;
        connect(&endpoint, &CommandEndpoint::commandReceived, this, [&](const QString& t) { received.append(t); });
        const std::string path = platform::channelFolder() + "/QuietClass.sock";
        std::vector<int> silent;
        for (int i = 0; i < 5; ++i) {
            silent.push_back(connectRaw(path));
            QVERIFY(silent.back() >= 0);
        }
        int ticks = 0;
        QTimer tick;
        tick.setInterval(20);
        connect(&tick, &QTimer::timeout, this, [&] { ++ticks; });
        tick.start();
        QTRY_VERIFY(ticks >= 5);
        for (const int fd : silent) {
            QVERIFY(stillWaiting(fd));
        }
        QVERIFY(sendWhileProcessing(QStringLiteral("RegCert"), QStringLiteral("QuietClass")));
        QCOMPARE(received, QStringList{QStringLiteral("RegCert")});
        for (const int fd : silent) {
            QVERIFY(stillWaiting(fd));
        }
        for (const int fd : silent) {
            QTRY_VERIFY_WITH_TIMEOUT(closedByReceiver(fd), 4 * CommandEndpoint::kFrameDeadlineMs);
            ::close(fd);
        }
    }

    // A frame whose bytes come in pieces is put together; a crowd of connections pushes out the
    // oldest, so a command sent behind the crowd is still handled and answered.
    void framesInPiecesAndCrowds()
    {
        CommandEndpoint endpoint(QStringLiteral("BusyClass"));
        QStringList received;
        connect(&endpoint, &CommandEndpoint::commandReceived, this, [&](const QString& t) { received.append(t); });
        const std::string path = platform::channelFolder() + "/BusyClass.sock";
        const std::string frame = textFrame("Update");
        const int slow = connectRaw(path);
        for (std::size_t at = 0; at < frame.size(); at += 3) {
            const std::string piece = frame.substr(at, 3);
            QCOMPARE(::write(slow, piece.data(), piece.size()), ssize_t(piece.size()));
            QTest::qWait(10);
        }
        QTRY_COMPARE(received, QStringList{QStringLiteral("Update")});
        char answer = 0;
        QCOMPARE(::recv(slow, &answer, 1, 0), ssize_t(1));
        QCOMPARE(answer, 'A');
        ::close(slow);

        std::vector<int> crowd;
        for (int i = 0; i < CommandEndpoint::kMaxConnections + 2; ++i) {
            crowd.push_back(connectRaw(path));
        }
        QVERIFY(sendWhileProcessing(QStringLiteral("CLOSE"), QStringLiteral("BusyClass")));
        QCOMPARE(received.last(), QStringLiteral("CLOSE"));
        // The three oldest made room for the newer ones and the command.
        for (std::size_t i = 0; i < crowd.size(); ++i) {
            QCOMPARE(closedByReceiver(crowd[i]), i < 3);
            ::close(crowd[i]);
        }
    }

private:
    QTemporaryDir m_runtime;
};

QTEST_GUILESS_MAIN(CommandChannelTest)
#include "CommandChannelTest.moc"
