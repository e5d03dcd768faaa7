// SPDX-License-Identifier: Apache-2.0
// The key service's machinery without a key: the lanes that run the jobs, the directory that
// finds a key's position at each call, and the journal of writes in progress.
#include "../common/TestFolders.h"

#include "keyservice/KeyDirectory.h"
#include "keyservice/KeyJournal.h"
#include "keyservice/KeyLanes.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace kx;

namespace {

// A job that waits until the test lets it go, recording that it ran and on which thread.
struct HeldJob
{
    QSemaphore started;
    QSemaphore release;
    std::atomic<QThread*> thread{nullptr};
    KeyLanes::Work work()
    {
        return [this](JobControl&) {
            thread = QThread::currentThread();
            started.release();
            release.acquire();
        };
    }
};

JournalEntry importEntry()
{
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Import;
    entry.container = QByteArray("box \x01\xff name", 11);
    entry.keySpec = 2;
    entry.newContainer = true;
    entry.pairWasEmpty = false;
    return entry;
}

} // namespace

class LanesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The jobs of one key run one after another in order, away from this thread; another key's
    // jobs run meanwhile, and the lanes tell when a key becomes busy and idle again.
    void oneKeyInOrderKeysSideBySide()
    {
        KeyLanes lanes;
        QSignalSpy busy(&lanes, &KeyLanes::laneBusyChanged);
        HeldJob slow;
        QStringList order;
        QMutex orderLock;
        auto note = [&](const char* text) {
            return [&, text](JobControl&) {
                const QMutexLocker locker(&orderLock);
                order << QString::fromLatin1(text);
            };
        };
        QVERIFY(lanes.post("A", QStringLiteral("slow"), slow.work()));
        QVERIFY(lanes.post("A", QStringLiteral("second"), note("A2")));
        QVERIFY(lanes.post("A", QStringLiteral("third"), note("A3")));
        QVERIFY(slow.started.tryAcquire(1, 5000));
        QVERIFY(slow.thread != QThread::currentThread());
        // Key B is not held up by A's job that waits.
        QVERIFY(lanes.post("B", QStringLiteral("other"), note("B1")));
        QTRY_COMPARE(order, QStringList{QStringLiteral("B1")});
        QVERIFY(lanes.busy("A"));
        QTRY_VERIFY(!lanes.busy("B"));
        slow.release.release();
        QTRY_VERIFY(lanes.idle());
        QCOMPARE(order, (QStringList{QStringLiteral("B1"), QStringLiteral("A2"), QStringLiteral("A3")}));
        // A busy and idle once each, B too.
        QCOMPARE(busy.count(), 4);
        QCOMPARE(busy.first().at(0).toByteArray(), QByteArray("A"));
        QVERIFY(busy.first().at(1).toBool());
    }

    // A job that works for two seconds is told to the window with what it waits for, and so is
    // each later step.
    void aLongJobSaysWhatItWaitsFor()
    {
        KeyLanes lanes;
        QSignalSpy waiting(&lanes, &KeyLanes::laneWaiting);
        QSemaphore stepTwo;
        QSemaphore done;
        lanes.post("A", QStringLiteral("K_Wait_Read"), [&](JobControl& control) {
            stepTwo.acquire();
            control.step(QStringLiteral("K_Wait_Write"));
            done.acquire();
        });
        QTRY_COMPARE_WITH_TIMEOUT(waiting.count(), 1, 5000);
        QCOMPARE(waiting.at(0).at(1).toString(), QStringLiteral("K_Wait_Read"));
        stepTwo.release();
        QTRY_COMPARE_WITH_TIMEOUT(waiting.count(), 2, 5000);
        QCOMPARE(waiting.at(1).at(1).toString(), QStringLiteral("K_Wait_Write"));
        done.release();
        QTRY_VERIFY(lanes.idle());
        // A quick job is not told.
        lanes.post("A", QStringLiteral("K_Wait_Read"), [](JobControl&) {});
        QTRY_VERIFY(lanes.idle());
        QCOMPARE(waiting.count(), 2);
    }

    // Cancelling drops the queued jobs and asks the running one to stop; a shutdown that gives up
    // on a job stuck in a call leaves it, takes no new job, and delivers nothing afterwards.
    void cancelAndShutdown()
    {
        auto lanes = std::make_unique<KeyLanes>();
        std::atomic_bool sawCancel{false};
        std::atomic_int ran{0};
        QSemaphore started;
        QSemaphore release;
        lanes->post("A", QString(), [&](JobControl& control) {
            started.release();
            release.acquire();
            sawCancel = control.cancelled();
        });
        lanes->post("A", QString(), [&](JobControl&) { ++ran; });
        QVERIFY(started.tryAcquire(1, 5000));
        lanes->cancel("A");
        release.release();
        QTRY_VERIFY(lanes->idle());
        QVERIFY(sawCancel);
        QCOMPARE(ran.load(), 0);

        // Stuck: the shutdown returns after its wait.
        QSemaphore stuckRelease;
        QObject receiver;
        bool delivered = false;
        lanes->post("A", QString(), [&, box = lanes->postBox()](JobControl&) {
            started.release();
            stuckRelease.acquire();
            box->post([&] { delivered = true; });
        });
        QVERIFY(started.tryAcquire(1, 5000));
        QVERIFY(!lanes->shutdown(100));
        QVERIFY(KeyLanes::workersLeftRunning());
        QVERIFY(!lanes->post("A", QString(), [&](JobControl&) { ++ran; }));
        lanes.reset();
        stuckRelease.release();
        QTest::qWait(200);
        QVERIFY(!delivered);
        QCOMPARE(ran.load(), 0);
    }

    // Keys sharing a serial number keep apart; a key keeps its identity when the enumeration
    // renumbers the keys, and a key that left answers "gone" without a call.
    void directoryFindsKeysByIdentity()
    {
        QCOMPARE(KeyDirectory::identities({"A", "B", "A", "A"}), (QList<QByteArray>{"A", "B", "A#2", "A#3"}));
        KeyDirectory directory;
        directory.renumber([] { return QList<QByteArray>{"KXA", "KXB"}; });
        auto position = [&](const QByteArray& key) {
            int seen = -1;
            const int result = directory.withKey(key, [&](int p) {
                seen = p;
                return 0;
            });
            return result == 0 ? seen : result;
        };
        QCOMPARE(position("KXB"), 1);
        directory.renumber([] { return QList<QByteArray>{"KXC", "KXB"}; });
        QCOMPARE(position("KXB"), 1);
        QCOMPARE(position("KXA"), KeyDirectory::kKeyGone);
        directory.renumber([] { return QList<QByteArray>{"KXB"}; });
        QCOMPARE(position("KXB"), 0);
        QCOMPARE(directory.positionOf("KXC"), -1);
    }

    // While a call holds a key's position, an enumeration waits for it, so the call never reaches
    // a key the enumeration gave the same position.
    void enumerationWaitsForACallInProgress()
    {
        KeyDirectory directory;
        directory.renumber([] { return QList<QByteArray>{"KXA", "KXB"}; });
        QSemaphore inCall;
        QSemaphore leave;
        std::atomic_bool renumbered{false};
        std::atomic_bool renumberedDuringCall{true};
        QThread* call = QThread::create([&] {
            directory.withKey("KXB", [&](int) {
                inCall.release();
                leave.tryAcquire(1, 300);
                renumberedDuringCall = renumbered.load();
                return 0;
            });
        });
        call->start();
        QVERIFY(inCall.tryAcquire(1, 5000));
        QThread* enumeration = QThread::create([&] {
            directory.renumber([&] {
                renumbered = true;
                return QList<QByteArray>{"KXB"};
            });
        });
        enumeration->start();
        call->wait();
        enumeration->wait();
        delete call;
        delete enumeration;
        QVERIFY(!renumberedDuringCall);
        QVERIFY(renumbered);
    }

    void journalEntriesRoundTrip()
    {
        const JournalEntry entry = importEntry();
        const std::optional<JournalEntry> back = JournalEntry::parse(entry.text());
        QVERIFY(back);
        QCOMPARE(back->container, entry.container);
        QCOMPARE(back->keySpec, 2);
        QVERIFY(back->newContainer);
        QVERIFY(!back->pairWasEmpty);
        // What is not an entry of ours is refused: unknown kind, no container, a key pair
        // missing, a container that would hold a zero byte, another file.
        for (const QByteArray& text : {QByteArray("KX2700 journal 1\nKind=rename\nContainer=61\nKeySpec=1\n"),
                                       QByteArray("KX2700 journal 1\nKind=import\nKeySpec=1\n"),
                                       QByteArray("KX2700 journal 1\nKind=import\nContainer=61\nKeySpec=3\n"),
                                       QByteArray("KX2700 journal 1\nKind=delete-container\nContainer=6100\n"),
                                       QByteArray("KX2700 journal 1\nKind=delete-container\nContainer=6\n"),
                                       QByteArray("[KeyProvInfo]\nKind=import\n")}) {
            QVERIFY2(!JournalEntry::parse(text), text.constData());
        }
        JournalEntry deletion;
        deletion.kind = JournalEntry::Kind::DeleteContainer;
        deletion.container = "c";
        QVERIFY(JournalEntry::parse(deletion.text()));
    }

    // An entry stays until its write is done; it is not taken up while another program holds
    // the key's lock, and a file that is no entry is dropped rather than tried at every sighting.
    void journalEntriesAndTheKeysLock()
    {
        test::TestFolders folders;
        const KeyJournal journal(folders.path(QStringLiteral("journal")));
        {
            const auto write = journal.begin("KXA", importEntry());
            QVERIFY(write->recorded());
            // This program writes: nobody settles the key meanwhile.
            QVERIFY(!journal.pending("KXA"));
        }
        // The write ended without done(): the entry is there for the next sighting.
        {
            const auto pending = journal.pending("KXA");
            QVERIFY(pending);
            QCOMPARE(pending->entry().container, importEntry().container);
            // Another program (another open file) cannot take the lock meanwhile.
            const QByteArray lock =
                QFile::encodeName(folders.path(QStringLiteral("journal/")) +
                                  QString::fromLatin1(QByteArray("KXA").toHex()) + QStringLiteral(".lock"));
            const int fd = ::open(lock.constData(), O_RDWR);
            QVERIFY(fd >= 0);
            QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), -1);
            ::close(fd);
            pending->settled();
        }
        QVERIFY(!journal.pending("KXA"));
        {
            const auto write = journal.begin("KXA", importEntry());
            write->done();
        }
        QVERIFY(!journal.pending("KXA"));
        folders.write(QStringLiteral("journal/") + QString::fromLatin1(QByteArray("KXB").toHex()) +
                          QStringLiteral(".journal"),
                      "garbage");
        QVERIFY(!journal.pending("KXB"));
        QVERIFY(!QFile::exists(folders.path(
            QStringLiteral("journal/") + QString::fromLatin1(QByteArray("KXB").toHex()) + QStringLiteral(".journal"))));
    }
};

QTEST_GUILESS_MAIN(LanesTest)
#include "LanesTest.moc"
