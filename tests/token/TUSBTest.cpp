// SPDX-License-Identifier: Apache-2.0
#include "token/TUSB.h"
#include "token/InterfacePath.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace kx;

class TUSBTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void productIdentifiers()
    {
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("\\\\?\\USB#VID_1234&PID_ABCD#S1#{x}")), 0xABCD);
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("\\\\?\\usb#vid_1ea8&pid_c003#s#{x}")), 0xC003);
        // Only the first "PID_" counts, and the vendor part is not looked at.
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("VID_C003&PID_0001&PID_0002")), 1);
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("\\\\?\\USB#VID_1234#S1")), 0);
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("PID_12")), 0x12);
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("PID_+1FF")), 0);
        QCOMPARE(TUSB::productIDFromInterfacePath(QStringLiteral("PID_ZZZZ")), 0);
        QCOMPARE(TUSB::productIDFromInterfacePath(QString()), 0);
        const QString path = TUSB::interfacePath(0x1ea8, 0xc003, QStringLiteral("kx01"));
        QCOMPARE(path, QStringLiteral("\\\\?\\USB#VID_1EA8&PID_C003#KX01#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"));
        QCOMPARE(TUSB::productIDFromInterfacePath(path), 0xC003);
    }

    // A USB event's PRODUCT names vendor and product in hexadecimal; anything that is not two
    // 16-bit numbers gives no path, so no event with a wrong product identifier is raised.
    void udevPropertiesGivePathsOfTheirProduct()
    {
        const QString path = udevInterfacePath("1ea8/c003/100", "KX01");
        QCOMPARE(path, TUSB::interfacePath(0x1ea8, 0xc003, QStringLiteral("KX01")));
        QCOMPARE(productIDFromInterfacePath(udevInterfacePath("46d/2/1211", nullptr)), 2);
        QVERIFY(udevInterfacePath("1ea8/1c003/100", "KX01").isEmpty());
        QVERIFY(udevInterfacePath("1ea8/-1/100", "KX01").isEmpty());
        QVERIFY(udevInterfacePath("1ea8/0xc0/100", "KX01").isEmpty());
        QVERIFY(udevInterfacePath("1ea8", "KX01").isEmpty());
        QVERIFY(udevInterfacePath("/c003/1", "KX01").isEmpty());
        QVERIFY(udevInterfacePath(nullptr, nullptr).isEmpty());
        QVERIFY(!isBusKeyEntry(QStringLiteral(".\\\\?\\USB#VID_1EA8&PID_C003#KX01#{x}")));
        QVERIFY(!isBusKeyEntry(QString()));
    }

    void keysimBusRaisesArrivalsAndRemovals()
    {
        QTemporaryDir dir;
        const QString bus = dir.path() + QStringLiteral("/bus");
        QDir().mkpath(bus);
        TUSB usb(nullptr, bus);
        QVERIFY(usb.watchingKeysimBus());
        QSignalSpy arrivals(&usb, &TUSB::OnArrival);
        QSignalSpy removals(&usb, &TUSB::OnRemoval);
        int lastProduct = -1;
        connect(&usb, &TUSB::OnArrival, this, [&](TUSB* c) { lastProduct = c->ProductID; });

        const QString name = QStringLiteral("\\\\?\\USB#VID_1EA8&PID_C004#KX2#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
        // A key's bus file is written under a hidden name and renamed, as keysim plugs a key.
        QFile temp(bus + QStringLiteral("/.tmp-plug"));
        QVERIFY(temp.open(QIODevice::WriteOnly));
        temp.write("serial=KX2\n");
        temp.close();
        QVERIFY(QFile::rename(temp.fileName(), bus + QLatin1Char('/') + name));
        QTRY_COMPARE(arrivals.count(), 1);
        QCOMPARE(lastProduct, 0xC004);
        QCOMPARE(removals.count(), 0);

        QVERIFY(QFile::remove(bus + QLatin1Char('/') + name));
        QTRY_COMPARE(removals.count(), 1);
        QCOMPARE(usb.ProductID, 0xC004);
        QCOMPARE(arrivals.count(), 1);
    }

    // A bus folder missing at start is waited for: keys on it when it appears, later keys and a
    // bus made again after it was removed all raise their events, each key once.
    void aBusFolderMadeLaterIsWatched()
    {
        QTemporaryDir dir;
        qunsetenv("KX2700_KEYSIM_DIR");
        const QString bus = dir.path() + QStringLiteral("/data/kx2700-keysim/bus");
        TUSB usb(nullptr, bus);
        QVERIFY(!usb.watchingKeysimBus());
        QVERIFY(usb.waitingForKeysimBus());
        QSignalSpy arrivals(&usb, &TUSB::OnArrival);
        QSignalSpy removals(&usb, &TUSB::OnRemoval);
        const auto plug = [&bus](const char* serial, const char* product) {
            QFile file(bus + QStringLiteral("/\\\\?\\USB#VID_1EA8&PID_%1#%2#{A5DCBF10}")
                                 .arg(QLatin1String(product), QLatin1String(serial)));
            return file.open(QIODevice::WriteOnly) && file.write("serial=x\n") > 0;
        };
        const auto entries = [&bus] { return QDir(bus).entryList(QDir::Files); };

        // The whole store comes with its first key, faster than a watch can follow.
        QVERIFY(QDir().mkpath(bus));
        QVERIFY(plug("KX1", "C003"));
        QTRY_COMPARE(arrivals.count(), 1);
        QVERIFY(usb.watchingKeysimBus());
        QVERIFY(!usb.waitingForKeysimBus());
        QCOMPARE(usb.ProductID, 0xC003);

        QVERIFY(plug("KX2", "C004"));
        QTRY_COMPARE(arrivals.count(), 2);
        QCOMPARE(usb.ProductID, 0xC004);
        for (const QString& name : entries()) {
            QVERIFY(QFile::remove(bus + QLatin1Char('/') + name));
        }
        QTRY_COMPARE(removals.count(), 2);
        QCOMPARE(arrivals.count(), 2);

        // The bus goes away and comes back.
        QVERIFY(QDir(bus).removeRecursively());
        QTRY_VERIFY(usb.waitingForKeysimBus());
        QVERIFY(QDir().mkpath(bus));
        QVERIFY(plug("KX3", "C005"));
        QTRY_COMPARE(arrivals.count(), 3);
        QCOMPARE(usb.ProductID, 0xC005);

        // Events raised directly still work, as for a component without any bus.
        usb.deviceChanged(true, QStringLiteral("PID_0102"));
        QCOMPARE(arrivals.count(), 4);
        QCOMPARE(usb.ProductID, 0x0102);
    }
};

QTEST_GUILESS_MAIN(TUSBTest)
#include "TUSBTest.moc"
