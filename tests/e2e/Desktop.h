// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../common/TestFolders.h"
#include "../common/XSession.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QSaveFile>
#include <QTest>

#include <csignal>

namespace kx::test {

// A user's desktop for the installed programs: a program folder with copies of KX2700Mgr and
// KX2700Mon beside the libraries, languages and pictures of the build, a home folder of its own
// (configuration, certificate store, operation log, runtime folder) and a virtual key store. The
// programs run as separate processes; their windows are worked through the UI driver each of them
// opens when KX2700_UI_DRIVER is set.
class Desktop
{
public:
    Desktop()
    {
        const QString bin = QStringLiteral(KX_BIN_DIR);
        m_stage = folders.path(QStringLiteral("opt"));
        QDir().mkpath(m_stage);
        for (const char* program : {"KX2700Mgr", "KX2700Mon"}) {
            QFile::copy(bin + QLatin1Char('/') + QLatin1String(program),
                        m_stage + QLatin1Char('/') + QLatin1String(program));
        }
        for (const char* shared : {"libDrevmor.so", "libkeysim-pkcs11.so", "libkeysim-skf.so", "Languages", "res"}) {
            QFile::link(bin + QLatin1Char('/') + QLatin1String(shared),
                        m_stage + QLatin1Char('/') + QLatin1String(shared));
        }
        QFile::copy(bin + QStringLiteral("/APPInfo.ini"), m_stage + QStringLiteral("/APPInfo.ini"));
        for (const char* folder : {"home/config", "home/data", "home/KeyLog", "home/keys"}) {
            QDir().mkpath(folders.path(QString::fromLatin1(folder)));
        }
        for (const char* privateFolder : {"home/run", "drivers"}) {
            const QString path = folders.path(QString::fromLatin1(privateFolder));
            QDir().mkpath(path);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        m_env = QProcessEnvironment::systemEnvironment();
        const QString home = folders.path(QStringLiteral("home"));
        m_env.insert(QStringLiteral("HOME"), home);
        m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
        m_env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home + QStringLiteral("/run"));
        m_env.insert(QStringLiteral("KX2700_KEYSIM_DIR"), home + QStringLiteral("/keys"));
        m_env.insert(QStringLiteral("KX2700_KEYSIM_FINGER_TIMEOUT_MS"), QStringLiteral("3000"));
        m_env.insert(QStringLiteral("KX2700_UI_DRIVER"), folders.path(QStringLiteral("drivers")));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        m_env.insert(QStringLiteral("PATH"), m_env.value(QStringLiteral("PATH")));
    }

    ~Desktop() { endPrograms(); }

    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    // Sets a variable of the programs' environment (for programs started afterwards).
    void setEnvironment(const QString& name, const QString& value) { m_env.insert(name, value); }

    // Puts the fault and latency wrapper in front of the virtual key for programs started
    // afterwards, with `faults` as its configuration (changeable with `setFaults`).
    void useFaultWrapper(const QByteArray& faults)
    {
        QFile::link(QStringLiteral(KX_BIN_DIR "/libkx2700-faultwrap.so"),
                    m_stage + QStringLiteral("/libkx2700-faultwrap.so"));
        const QString appInfo = m_stage + QStringLiteral("/APPInfo.ini");
        QByteArray text = TestFolders::read(appInfo);
        text.replace("PKCS11Lib=libkeysim-pkcs11.so", "PKCS11Lib=libkx2700-faultwrap.so");
        folders.write(QStringLiteral("opt/APPInfo.ini"), text);
        m_env.insert(QStringLiteral("KX2700_FAULTWRAP_MODULE"), m_stage + QStringLiteral("/libkeysim-pkcs11.so"));
        m_env.insert(QStringLiteral("KX2700_FAULTWRAP_CONFIG"), folders.path(QStringLiteral("faults.conf")));
        setFaults(faults);
    }
    void setFaults(const QByteArray& faults) const
    {
        QSaveFile file(folders.path(QStringLiteral("faults.conf")));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(faults);
            file.commit();
        }
    }

    // The user's settings file, as the programs find it.
    QString userConfig() const { return folders.path(QStringLiteral("home/config/kx2700/UserConfig.ini")); }
    void writeUserConfig(const QByteArray& lines) const
    {
        folders.write(QStringLiteral("home/config/kx2700/UserConfig.ini"), "[UserConfig]\n" + lines);
    }

    // Starts KX2700Mgr or KX2700Mon from the program folder.
    QProcess* start(const QString& program)
    {
        auto* process = new QProcess;
        m_started.append(process);
        process->setProcessEnvironment(m_env);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(m_stage + QLatin1Char('/') + program, {});
        process->waitForStarted(10000);
        return process;
    }

    // The processes started so far, in order.
    const QList<QProcess*>& started() const { return m_started; }

    // Runs the control tool of the virtual keys; its output in `lastOutput`.
    bool keysim(const QStringList& arguments)
    {
        QProcess tool;
        tool.setProcessEnvironment(m_env);
        tool.start(QStringLiteral(KEYSIM_TOOL_PATH), arguments);
        tool.waitForFinished(20000);
        lastOutput = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    // One request to the UI driver of `program`; the answer's text, or nothing when it failed.
    std::optional<QString> drive(const QString& program, const QStringList& words)
    {
        QLocalSocket socket;
        socket.connectToServer(folders.path(QStringLiteral("drivers/")) + program + QStringLiteral(".sock"));
        if (!socket.waitForConnected(2000)) {
            return std::nullopt;
        }
        QByteArrayList encoded;
        for (const QString& word : words) {
            encoded.append(word.toUtf8().toPercentEncoding());
        }
        socket.write(encoded.join(' ') + '\n');
        socket.flush();
        QByteArray answer;
        while (!answer.endsWith('\n') && socket.waitForReadyRead(5000)) {
            answer += socket.readAll();
        }
        answer = answer.trimmed();
        if (!answer.startsWith("ok")) {
            lastError = QString::fromUtf8(QByteArray::fromPercentEncoding(answer));
            return std::nullopt;
        }
        return QString::fromUtf8(QByteArray::fromPercentEncoding(answer.mid(3)));
    }
    QString get(const QString& program, const QString& path)
    {
        return drive(program, {"get", path}).value_or(QString());
    }
    bool act(const QString& program, const QStringList& words) { return drive(program, words).has_value(); }
    // Presses a button or triggers an action once it is enabled, as a user waits for a button
    // that the program greys out while its key is working.
    bool click(const QString& program, const QString& path, int timeoutMs = 15000)
    {
        static_cast<void>(QTest::qWaitFor(
            [&] {
                return drive(program, {"enabled", path}) == QStringLiteral("1");
            },
            timeoutMs));
        return act(program, {"click", path});
    }

    // Waits until `program` shows a modal window whose title or message contains `text`.
    bool waitForModal(const QString& program, const QString& text, int timeoutMs = 15000)
    {
        return QTest::qWaitFor([&] { return drive(program, {"modal"}).value_or(QString()).contains(text); }, timeoutMs);
    }
    // The message of the message box `program` shows, or nothing.
    QString modalText(const QString& program) { return drive(program, {"modal"}).value_or(QString()).section('\n', 2); }

    // The certificate files of a store of the user ("MY", "ROOT", "CA").
    QStringList store(const QString& name) const
    {
        return QDir(folders.path(QStringLiteral("home/data/kx2700/certstore/")) + name)
            .entryList({QStringLiteral("*.cer")}, QDir::Files);
    }

    // Everything the programs wrote to the operation log.
    QByteArray operationLog() const
    {
        QByteArray all;
        QDirIterator files(folders.path(QStringLiteral("home/KeyLog")), QDir::Files);
        while (files.hasNext()) {
            all += TestFolders::read(files.next());
        }
        return all;
    }

    // Ends every program started from the program folder, also those the programs started.
    void endPrograms()
    {
        for (int round = 0; round < 2; ++round) {
            const QList<qint64> running = programPids();
            for (const qint64 pid : running) {
                ::kill(static_cast<pid_t>(pid), round == 0 ? SIGTERM : SIGKILL);
            }
            static_cast<void>(QTest::qWaitFor([this] { return programPids().isEmpty(); }, 5000));
        }
        for (QProcess* process : m_started) {
            process->waitForFinished(3000);
            delete process;
        }
        m_started.clear();
    }

    // Process ids of the programs running from the program folder.
    QList<qint64> programPids() const
    {
        QList<qint64> pids;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const qint64 pid = entry.toLongLong(&number);
            if (number && programPath(pid).startsWith(m_stage + '/')) {
                pids.append(pid);
            }
        }
        return pids;
    }
    // The process id of `program`, or 0 when it is not running.
    qint64 pidOf(const QString& program) const
    {
        for (const qint64 pid : programPids()) {
            if (programPath(pid) == m_stage + '/' + program) {
                return pid;
            }
        }
        return 0;
    }
    bool running(const QString& program) const { return pidOf(program) != 0; }

    TestFolders folders;
    QString lastOutput;
    QString lastError;

private:
    // The executable of process `pid`. The programs are not dumpable, so without the tracing
    // privilege their /proc/<pid>/exe cannot be read; the path they were started by is used then.
    static QString programPath(qint64 pid)
    {
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
        if (!exe.isEmpty()) {
            return exe;
        }
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        return cmdline.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(cmdline.readAll().split('\0').value(0))
                                                 : QString();
    }

    QString m_stage;
    QProcessEnvironment m_env;
    QList<QProcess*> m_started;
};

// Runs the test object `Test` on a desktop of its own: an X server, the window manager openbox
// and a session bus, started before the application object exists.
template <typename Test>
int execOnDesktop(int argc, char** argv)
{
    XSession session;
    if (!session.startWithWindowManager()) {
        std::fprintf(stderr, "No X session with a window manager could be started (Xvfb, openbox, dbus-daemon)\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace kx::test
