// SPDX-License-Identifier: Apache-2.0
// Ending the desktop registration while NSS's tools hang; a program of its own, as the shutdown is
// for good.
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

private Q_SLOTS:
    // A hung tool is killed, the queue dropped, and shutdown returns at once; nothing starts after.
    void shutdownEndsAHungToolAndDropsTheQueue()
    {
        test::TestFolders folders;
        // Fake certutil and modutil that log "<pid> <tool>" and then hang, deaf to SIGTERM (ignored
        // signals stay ignored across exec).
        const QString log = folders.path(QStringLiteral("started.log"));
        const auto started = [&] {
            QList<QByteArray> lines = test::TestFolders::read(log).split('\n');
            lines.removeAll(QByteArray());
            return lines;
        };
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
        QTRY_COMPARE(started().size(), 1);
        const QList<QByteArray> first = started().first().split(' ');
        QCOMPARE(first.value(1), "certutil");
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
        QCOMPARE(started().size(), 1);
        // The module registration queued before the shutdown never ran: it writes this first.
        QVERIFY(!QFileInfo::exists(DesktopRegistration::p11KitModuleFile(settings)));
        QVERIFY(registration.shutdown(0));
    }
};

QTEST_GUILESS_MAIN(DesktopShutdownTest)
#include "DesktopShutdownTest.moc"
