// SPDX-License-Identifier: Apache-2.0
#include "SecretInput.h"

#include "CliReport.h"

#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string.h>
#include <termios.h>
#include <unistd.h>

namespace kx::cli {

namespace {

// A PIN line longer than this is refused; a file is read no further than this.
constexpr std::size_t kMaxLine = 256;
constexpr std::size_t kMaxFile = 4096;

void wipe(std::string& text)
{
    explicit_bzero(text.data(), text.size());
    text.clear();
}

// A file descriptor closed when it goes out of scope.
class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The terminal settings to put back when a signal ends the process while the echo is off.
int gTtyFd = -1;
termios gTtySaved{};
constexpr std::array kEndingSignals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restoreTerminalAndEnd(int signal)
{
    ::tcsetattr(gTtyFd, TCSAFLUSH, &gTtySaved);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Terminal echo off while it lives, back as it was afterwards, also when Ctrl+C or another
// signal ends the process meanwhile.
class EchoOff
{
public:
    explicit EchoOff(int fd) : m_fd(fd)
    {
        if (::tcgetattr(fd, &m_saved) != 0) {
            return;
        }
        gTtyFd = fd;
        gTtySaved = m_saved;
        struct sigaction action
        {};
        action.sa_handler = restoreTerminalAndEnd;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
            ::sigaction(kEndingSignals[i], &action, &m_previous[i]);
        }
        termios quiet = m_saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
        m_active = ::tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        if (m_active) {
            ::tcsetattr(m_fd, TCSAFLUSH, &m_saved);
        }
        if (gTtyFd == m_fd) {
            for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
                ::sigaction(kEndingSignals[i], &m_previous[i], nullptr);
            }
            gTtyFd = -1;
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int m_fd;
    termios m_saved{};
    std::array<struct sigaction, kEndingSignals.size()> m_previous{};
    bool m_active = false;
};

// Reads one line from `fd` a byte at a time (what follows the line stays for the next reader).
// False at the end of the input before any byte, or on an error; `tooLong` when the line did not
// end within kMaxLine bytes.
bool readLine(int fd, std::string& line, bool& tooLong)
{
    line.reserve(kMaxLine + 1);
    tooLong = false;
    bool any = false;
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return any;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        if (line.size() >= kMaxLine) {
            tooLong = true;
            continue;
        }
        line.push_back(c);
    }
    c = 0;
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// Asks on the terminal with the echo off when `secret`, the answer into `line` (empty when it
// could not be read); false without a terminal.
bool askTty(const QString& prompt, bool secret, std::string& line)
{
    const Fd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.get() < 0 || !::isatty(tty.get())) {
        return false;
    }
    // The echo goes off before the prompt shows, so nothing typed after the prompt is echoed.
    std::optional<EchoOff> quiet;
    if (secret) {
        quiet.emplace(tty.get());
    }
    WriteAll(tty.get(), prompt.toLocal8Bit());
    bool tooLong = false;
    const bool read = readLine(tty.get(), line, tooLong);
    if (secret) {
        WriteAll(tty.get(), QByteArrayLiteral("\n"));
    }
    if (!read || tooLong) {
        wipe(line);
    }
    return true;
}

} // namespace

SecretInput::SecretInput(SecretOrigin origin, QString what) : m_origin(std::move(origin)), m_what(std::move(what)) {}

SecretInput::~SecretInput()
{
    for (std::string& line : m_lines) {
        wipe(line);
    }
}

bool SecretInput::loadLines(QString& error)
{
    m_loaded = true;
    std::string all;
    all.reserve(kMaxFile + 1);
    if (m_origin.kind == SecretOrigin::Kind::Env) {
        const char* value = std::getenv(m_origin.envName.constData());
        if (!value) {
            error = QStringLiteral("the variable %1 is not set").arg(QString::fromLocal8Bit(m_origin.envName));
            return false;
        }
        all.assign(value, std::min(std::strlen(value), kMaxFile));
    } else {
        const Fd file(::open(QFile::encodeName(m_origin.path).constData(), O_RDONLY | O_CLOEXEC));
        if (file.get() < 0) {
            error = QStringLiteral("cannot read the %1 file %2: %3")
                        .arg(m_what, m_origin.path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        all.resize(kMaxFile);
        std::size_t got = 0;
        while (got < kMaxFile) {
            const ssize_t n = ::read(file.get(), all.data() + got, kMaxFile - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        explicit_bzero(all.data() + got, kMaxFile - got);
        all.resize(got);
    }
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::string line;
        line.reserve(std::max(end - start, kMaxLine) + 1);
        line.assign(all, start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        m_lines.push_back(std::move(line)); // reserved above the short-string size: the buffer moves
        start = end + 1;
    }
    wipe(all);
    return true;
}

SharedSecret SecretInput::next(const QString& prompt, QString& error)
{
    std::string line;
    switch (m_origin.kind) {
    case SecretOrigin::Kind::Terminal: {
        if (!askTty(prompt, true, line)) {
            error = QStringLiteral("no terminal to ask for the %1: use --%2-fd, --%2-file or --%2-env")
                        .arg(m_what, m_what.toLower());
            return nullptr;
        }
        break;
    }
    case SecretOrigin::Kind::Fd: {
        bool tooLong = false;
        if (!readLine(m_origin.fd, line, tooLong)) {
            error = QStringLiteral("no %1 could be read from descriptor %2").arg(m_what).arg(m_origin.fd);
            return nullptr;
        }
        if (tooLong) {
            wipe(line);
            error = QStringLiteral("the %1 read from descriptor %2 is too long").arg(m_what).arg(m_origin.fd);
            return nullptr;
        }
        break;
    }
    case SecretOrigin::Kind::File:
    case SecretOrigin::Kind::Env:
        if (!m_loaded && !loadLines(error)) {
            return nullptr;
        }
        if (m_used >= m_lines.size()) {
            error = m_origin.kind == SecretOrigin::Kind::File
                        ? QStringLiteral("the %1 file %2 holds too few lines").arg(m_what, m_origin.path)
                        : QStringLiteral("the variable %1 holds too few lines")
                              .arg(QString::fromLocal8Bit(m_origin.envName));
            return nullptr;
        }
        line.reserve(kMaxFile + 1);
        line.assign(m_lines[m_used]);
        wipe(m_lines[m_used++]);
        break;
    }
    if (line.empty()) {
        error = QStringLiteral("the %1 is empty").arg(m_what);
        return nullptr;
    }
    if (line.size() > kMaxLine) {
        wipe(line);
        error = QStringLiteral("the %1 is too long").arg(m_what);
        return nullptr;
    }
    QString text = QString::fromLocal8Bit(line.data(), static_cast<qsizetype>(line.size()));
    wipe(line);
    SharedSecret secret = MakeSecret(text);
    WipeString(text);
    return secret;
}

bool OnTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<QString> AskTerminal(const QString& question)
{
    std::string answer;
    if (!askTty(question, false, answer)) {
        return std::nullopt;
    }
    return QString::fromLocal8Bit(answer);
}

} // namespace kx::cli
