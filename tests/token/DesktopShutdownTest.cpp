// SPDX-License-Identifier: Apache-2.0
// Ending the desktop registration while NSS's tools hang: fake certutil and modutil on the PATH
// that never answer, not even to SIGTERM. The registration is shut down for good, so this test
// has a program of its own.
#include "../common/TestFolders.h"

#include "token/DesktopRegistration.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <csignal>

using namespace kx;

class DesktopShutdownTest : public QObject
{
    Q_OBJECT

private:
    // The lines the fake tools wrote when they started: "<pid> <tool> <arguments>".
    static QStringList started(const QString& log)
    {
        return QString::fromUtf8(test::TestFolders::read(log)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    // A hung tool is killed, the queue dropped, and shutdown returns at once; nothing starts after.
    void shutdownEndsAHungToolAndDropsTheQueue()
    {
        test::TestFolders folders;
        const QString log = folders.path(QStringLiteral("started.log"));
        // Ignored signals stay ignored across exec, so the tool outlives SIGTERM.
        const QByteArray hung = "#!/bin/sh\necho \"$$ $(basename \"$0\") $*\" >> '" + QFile::encodeName(log) +
                                "'\ntrap '' TERM\nexec sleep 100\n";
        for (const QString& tool : {QStringLiteral("certutil"), QStringLiteral("modutil")}) {
            const QString file = folders.write(QStringLiteral("tools/") + tool, hung);
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        qputenv("PATH", QFile::encodeName(folders.path(QStringLiteral("tools"))) + ':' + qgetenv("PATH"));

        DesktopRegistration::Settings settings;
        settings.enabled = true;
        settings.module = folders.write(QStringLiteral("bin/libmodule.so"), "a module");
        settings.name = QStringLiteral("KX2700");
        settings.home = folders.path(QStringLiteral("home"));
        settings.configHome = folders.path(QStringLiteral("home/.config"));
        DesktopRegistration& registration = DesktopRegistration::instance();
        registration.configure(settings);
        registration.addAuthority("first authority", true);
        registration.addAuthority("second authority", false);
        registration.registerModule();
        QTRY_COMPARE(started(log).size(), 1);
        const QStringList first = started(log).first().split(QLatin1Char(' '));
        QCOMPARE(first.value(1), QStringLiteral("certutil"));
        const pid_t tool = first.value(0).toInt();
        QVERIFY(tool > 0);

        QElapsedTimer timer;
        timer.start();
        QVERIFY(registration.shutdown(300));
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        // The tool is gone, reaped: not even a zombie answers.
        QCOMPARE(::kill(tool, 0), -1);
        QCOMPARE(errno, ESRCH);

        registration.addAuthority("third authority", true);
        registration.registerModule();
        registration.waitForIdle();
        QCOMPARE(started(log).size(), 1);
        // The module registration queued before the shutdown never ran: it writes this first.
        QVERIFY(!QFileInfo::exists(DesktopRegistration::p11KitModuleFile(settings)));
        QVERIFY(registration.shutdown(0));
    }
};

QTEST_GUILESS_MAIN(DesktopShutdownTest)
#include "DesktopShutdownTest.moc"
