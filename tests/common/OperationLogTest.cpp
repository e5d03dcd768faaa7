// SPDX-License-Identifier: Apache-2.0
#include "TestFolders.h"

#include "common/OperationLog.h"

#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace kx;

class OperationLogTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void nothingWithoutTheFolder()
    {
        test::TestFolders folders;
        LogLine(QStringLiteral("token_find begin kn=0"));
        QVERIFY(!QFileInfo::exists(folders.path(QStringLiteral("KeyLog"))));
    }

    void linesAreAppendedToTheDailyFile()
    {
        test::TestFolders folders;
        folders.context().setClock([] { return QDateTime(QDate(2024, 1, 31), QTime(14, 5, 9)); });
        QDir().mkpath(folders.path(QStringLiteral("KeyLog")));
        const QString file = folders.path(QStringLiteral("KeyLog/QZ_MonLog20240131.txt"));
        QCOMPARE(OperationLogPath(QDate(2024, 1, 31)), file);
        folders.write(QStringLiteral("KeyLog/QZ_MonLog20240131.txt"), "earlier\r\n");
        LogLine(QStringLiteral("token_find begin kn=0"));
        LogLine(QStringLiteral("token_find end rtn=0 名称"));
        QCOMPARE(test::TestFolders::read(file),
                 QByteArray("earlier\r\n14:05:09> token_find begin kn=0\r\n14:05:09> token_find end rtn=0 ") +
                     QStringLiteral("名称").toUtf8() + "\r\n");

        // A new day starts a new file, created readable by its owner only.
        folders.context().setClock([] { return QDateTime(QDate(2024, 2, 1), QTime(0, 0, 1)); });
        LogLine(QStringLiteral("x"));
        const QString next = folders.path(QStringLiteral("KeyLog/QZ_MonLog20240201.txt"));
        QCOMPARE(test::TestFolders::read(next), QByteArray("00:00:01> x\r\n"));
        struct stat st
        {};
        QCOMPARE(::stat(QFile::encodeName(next).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void tracingFollowsTheFolder()
    {
        test::TestFolders folders;
        const QString logFolder = folders.path(QStringLiteral("KeyLog"));
        LogLine(QStringLiteral("before"));
        QDir().mkpath(logFolder);
        LogLine(QStringLiteral("during"));
        QDir(logFolder).removeRecursively();
        LogLine(QStringLiteral("after"));
        QVERIFY(!QFileInfo::exists(logFolder));
        QDir().mkpath(logFolder);
        LogLine(QStringLiteral("again"));
        const QStringList files = QDir(logFolder).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        const QByteArray text = test::TestFolders::read(logFolder + QLatin1Char('/') + files.first());
        QVERIFY(text.endsWith("> again\r\n"));
        QVERIFY(!text.contains("before") && !text.contains("during"));
    }

    void unwritableLogIsSurvived()
    {
        test::TestFolders folders;
        folders.context().setClock([] { return QDateTime(QDate(2024, 1, 31), QTime(1, 2, 3)); });
        const QString logFolder = folders.path(QStringLiteral("KeyLog"));
        // Today's file name taken by a folder: the line is lost, the caller goes on.
        QDir().mkpath(logFolder + QStringLiteral("/QZ_MonLog20240131.txt"));
        LogLine(QStringLiteral("lost"));
        QVERIFY(QFileInfo(logFolder + QStringLiteral("/QZ_MonLog20240131.txt")).isDir());

        // A read-only folder (root may still write there; nobody else can).
        QDir(logFolder + QStringLiteral("/QZ_MonLog20240131.txt")).removeRecursively();
        ::chmod(QFile::encodeName(logFolder).constData(), 0500);
        LogLine(QStringLiteral("maybe lost"));
        if (::geteuid() != 0) {
            QVERIFY(QDir(logFolder).entryList(QDir::Files).isEmpty());
        }
        ::chmod(QFile::encodeName(logFolder).constData(), 0700);

        // A link planted as today's file is not followed: the file it names stays as it was.
        const QString target = folders.path(QStringLiteral("elsewhere.txt"));
        folders.write(QStringLiteral("elsewhere.txt"), "untouched");
        QFile::remove(logFolder + QStringLiteral("/QZ_MonLog20240131.txt"));
        QVERIFY(QFile::link(target, logFolder + QStringLiteral("/QZ_MonLog20240131.txt")));
        LogLine(QStringLiteral("planted"));
        QCOMPARE(test::TestFolders::read(target), QByteArray("untouched"));
    }
};

QTEST_GUILESS_MAIN(OperationLogTest)
#include "OperationLogTest.moc"
