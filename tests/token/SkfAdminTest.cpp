// SPDX-License-Identifier: Apache-2.0
// The SKF binding and the manager's SKF state, over a scripted library for sizes, failures and
// odd fingerprint records, and over the virtual key's SKF library for the real device path.
#include "token/Call_GMAPIs_Admin.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace kx;

namespace {

template <typename Function>
Function control(const char* name)
{
    auto* entry = reinterpret_cast<Function>(SkfLibrary::Entry(name));
    if (!entry)
        qFatal("the scripted library lacks %s", name);
    return entry;
}

void setDevices(QByteArrayView names, std::uint32_t reported)
{
    control<void (*)(const char*, std::uint32_t, std::uint32_t)>("FakeSkf_SetDevices")(
        names.data(), static_cast<std::uint32_t>(names.size()), reported);
}

void setFingers(std::initializer_list<std::uint8_t> bytes, std::uint32_t reported, std::uint32_t result = 0)
{
    const std::vector<std::uint8_t> v(bytes);
    control<void (*)(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t)>("FakeSkf_SetFingers")(
        v.data(), static_cast<std::uint32_t>(v.size()), reported, result);
}

// A library that records its waits instead of sleeping.
struct Admin : Call_GMAPIs_Admin
{
    Admin()
    {
        wait = [this](int ms) { waits.append(ms); };
    }
    QList<int> waits;
};

} // namespace

class SkfAdminTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(SkfLibrary::Load(QStringLiteral(FAKE_SKF_PATH)));
        control<void (*)()>("FakeSkf_Reset")();
    }

    void cleanupTestCase() { SkfLibrary::Unload(); }

    void missingLibraryFailsEveryCall()
    {
        QVERIFY(!SkfLibrary::Load(QStringLiteral("/nonexistent/libskf.so")));
        QVERIFY(!SkfLibrary::Loaded());
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), SkfNoDevice);
        QCOMPARE(admin.FullRefresh(), SkfNoDevice);
        QVERIFY(admin.waits.isEmpty()); // no second try without a library
        QCOMPARE(admin.SkfDevices.count, 0);
        QCOMPARE(admin.CapabilityQuery(), 0u);
        std::uint32_t retries = 0;
        QCOMPARE(admin.VerifyPIN(nullptr, 1, QStringLiteral("12345678"), retries), SkfEntryMissing);
        QCOMPARE(admin.ReadFingerInfo(nullptr, 1, admin.FingerInfo), SkfEntryMissing);
        QCOMPARE(admin.FingerInfo.enrolledCount, 0u);
        QVERIFY(!SkfLibrary::Load(QString()));
    }

    void libraryWithoutCapabilityQueryHasNoSensor()
    {
        QVERIFY(SkfLibrary::Load(QStringLiteral(FAKE_SKF_NOCAPS_PATH)));
        setDevices(QByteArrayView("K1\0\0", 4), 4);
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), 0u);
        std::vector<std::uint8_t> buffer(kDeviceCapsBufferSize);
        std::uint32_t value = 0, caps = 0;
        QCOMPARE(admin.DeviceCaps(0, buffer, value, caps), SkfEntryMissing);
        QCOMPARE(admin.CapabilityQuery(), 0u);
    }

    void capabilityValues()
    {
        setDevices(QByteArrayView("K1\0\0", 4), 4);
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), 0u);
        for (std::uint32_t caps : {0u, 1u, 2u, 4u, 5u}) {
            control<void (*)(std::uint32_t)>("FakeSkf_SetCaps")(caps);
            QCOMPARE(admin.CapabilityQuery(), caps);
        }
        control<void (*)(std::uint32_t)>("FakeSkf_SetCaps")(6);
        QCOMPARE(admin.CapabilityQuery(), 0u);
    }

    void nameSplitting()
    {
        QCOMPARE(Call_GMAPIs_Admin::SplitNames(QByteArrayView("My Key 1\0Other?Key\0\0", 21)),
                 (QList<QByteArray>{"My Key 1", "Other Key"}));
        QCOMPARE(Call_GMAPIs_Admin::SplitNames(QByteArrayView("\0\0A\0\0\0B", 7)), (QList<QByteArray>{"A", "B"}));
        QCOMPARE(Call_GMAPIs_Admin::SplitNames(QByteArrayView("\0\0\0", 3)), QList<QByteArray>{});

        // Names with spaces come through the device and application lists unchanged.
        setDevices(QByteArrayView("USB Key A\0USB Key B\0\0", 21), 21);
        control<void (*)(const char*, std::uint32_t)>("FakeSkf_SetApps")("Sign App\0Other App\0\0", 20);
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), 0u);
        QCOMPARE(admin.SkfDevices.count, 2);
        QCOMPARE(admin.SkfDevices.names[1], QByteArray("USB Key B"));
        QCOMPARE(admin.SkfApps[1].count, 2);
        QCOMPARE(admin.SkfApps[1].names[0], QByteArray("Sign App"));
        QVERIFY(admin.SkfAppHandle != nullptr);
        QCOMPARE(admin.SkfAppHandle, admin.SkfApps[0].handles[0]);

        // Only the reported size is read.
        setDevices(QByteArrayView("K1\0K2\0\0", 7), 3);
        QCOMPARE(admin.ShortRefresh(), 0u);
        QCOMPARE(admin.SkfDevices.count, 1);
    }

    void noDeviceFailsBothRefreshes()
    {
        setDevices(QByteArrayView("", 0), 0);
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), SkfNoDevice);
        QVERIFY(admin.waits.isEmpty());
        QCOMPARE(admin.FullRefresh(), SkfNoDevice);
        QCOMPARE(admin.waits, QList<int>{1000});
    }

    void unconnectableSecondDeviceFailsTheRefresh()
    {
        setDevices(QByteArrayView("K1\0K2\0K3\0\0", 10), 10);
        control<void (*)(int, std::uint32_t)>("FakeSkf_FailConnect")(1, 0x0A000023);
        Admin admin;
        QCOMPARE(admin.EnumDevices(admin.SkfDevices), 0x0A000023u);
        QCOMPARE(admin.SkfDevices.count, 3);
        QVERIFY(admin.SkfDevHandles[0] != nullptr);
        QVERIFY(admin.SkfDevHandles[1] == nullptr);
        QVERIFY(admin.SkfDevHandles[2] == nullptr);
        QCOMPARE(control<int (*)()>("FakeSkf_ConnectCalls")(), 2);

        bool pageRefreshed = false;
        admin.fingerPageRefresh = [&](std::uint32_t) { pageRefreshed = true; };
        QCOMPARE(admin.FullRefresh(), 0x0A000023u);
        QCOMPARE(admin.waits, QList<int>{1000});
        QVERIFY(!pageRefreshed);
    }

    void fullRefreshNamesDevicesBySerial()
    {
        setDevices(QByteArrayView("dev-a\0dev-b\0\0", 13), 13);
        control<void (*)(const char*, std::uint32_t)>("FakeSkf_SetApps")("APP\0\0", 5);
        control<void (*)(int, const char*)>("FakeSkf_SetSerial")(0, "KX27000000000001-A");
        // A serial filling all 32 bytes without a zero is cut at 32.
        control<void (*)(int, const char*)>("FakeSkf_SetSerial")(1, "KX27000000000001-BBBBBBBBBBBBBBBBBBBBBB");
        Admin admin;
        std::uint32_t refreshedFor = 0;
        admin.fingerPageRefresh = [&](std::uint32_t type) { refreshedFor = type; };
        QCOMPARE(admin.FullRefresh(), 0u);
        QCOMPARE(refreshedFor, 1u);
        QCOMPARE(admin.SkfDevices.names[0], QByteArray("KX27000000000001-A"));
        QCOMPARE(admin.SkfDevices.names[1].size(), 32);

        // Both share their first 16 characters: the later device supplies the handle.
        admin.SelectApplication(QByteArrayView("KX27000000000001"));
        QCOMPARE(admin.SkfAppHandle, admin.SkfApps[1].handles[0]);
        QVERIFY(admin.SkfApps[1].handles[0] != admin.SkfApps[0].handles[0]);
        // No match keeps the handle.
        admin.SelectApplication(QByteArrayView("OTHER00000000000"));
        QCOMPARE(admin.SkfAppHandle, admin.SkfApps[1].handles[0]);
    }

    void enrolledCountFollowsTheReportedLength()
    {
        setDevices(QByteArrayView("K1\0\0", 4), 4);
        Admin admin;
        QCOMPARE(admin.ShortRefresh(), 0u);
        FingerInfo info;

        setFingers({1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 10);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, info), 0u);
        QCOMPARE(info.enrolledCount, 2u);

        std::vector<std::uint8_t> many(255, 1);
        control<void (*)(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t)>("FakeSkf_SetFingers")(
            many.data(), 255, 60, 0);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, info), 0u);
        QCOMPARE(info.enrolledCount, 10u);
        control<void (*)(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t)>("FakeSkf_SetFingers")(
            many.data(), 255, 120, 0);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, info), 0u);
        QCOMPARE(info.enrolledCount, 120u);
        // A length beyond the finger area counts only the area.
        control<void (*)(const std::uint8_t*, std::uint32_t, std::uint32_t, std::uint32_t)>("FakeSkf_SetFingers")(
            many.data(), 255, 100000, 0);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, info), 0u);
        QCOMPARE(info.enrolledCount, 255u);

        setFingers({1, 1}, 10, 0x0A00002D);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, info), 0x0A00002Du);
        QCOMPARE(info.enrolledCount, 0u);
    }

    void enrolledFingersOfMapsAndLists()
    {
        FingerInfo list;
        list.fingers[0] = 3;
        list.fingers[1] = 7;
        list.length = 2;
        QVERIFY(Call_GMAPIs_Admin::IsNumberList(list));
        QVERIFY(Call_GMAPIs_Admin::FingerEnrolled(list, 3));
        QVERIFY(Call_GMAPIs_Admin::FingerEnrolled(list, 7));
        QVERIFY(!Call_GMAPIs_Admin::FingerEnrolled(list, 1));
        QVERIFY(!Call_GMAPIs_Admin::FingerEnrolled(list, 4));
        QCOMPARE(Call_GMAPIs_Admin::EnrolledFingers(list), (QList<int>{3, 7}));

        FingerInfo map;
        map.fingers[0] = 1;
        map.fingers[2] = 1;
        map.length = 10;
        QVERIFY(!Call_GMAPIs_Admin::IsNumberList(map));
        QVERIFY(Call_GMAPIs_Admin::FingerEnrolled(map, 1));
        QVERIFY(!Call_GMAPIs_Admin::FingerEnrolled(map, 2));
        QVERIFY(Call_GMAPIs_Admin::FingerEnrolled(map, 3));
        QCOMPARE(Call_GMAPIs_Admin::EnrolledFingers(map), (QList<int>{1, 3}));
        QVERIFY(!Call_GMAPIs_Admin::FingerEnrolled(map, 0));
        QVERIFY(!Call_GMAPIs_Admin::FingerEnrolled(map, 11));
    }

    // The virtual key's SKF library: device names are serials, one application per key.
    void virtualKeys()
    {
        QTemporaryDir keys;
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(keys.path()));
        const auto tool = [](const QStringList& args) {
            QProcess p;
            p.start(QStringLiteral(KEYSIM_TOOL_PATH), args);
            p.waitForFinished(20000);
            return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        };
        QVERIFY(tool({QStringLiteral("create"), QStringLiteral("--serial"), QStringLiteral("KXSKF0001"),
                      QStringLiteral("--sensor"), QStringLiteral("fingerprint"), QStringLiteral("--fingers"),
                      QStringLiteral("2,5")}));
        QVERIFY(tool({QStringLiteral("create"), QStringLiteral("--serial"), QStringLiteral("KXSKF0002"),
                      QStringLiteral("--sensor"), QStringLiteral("finger-vein"), QStringLiteral("--finger-format"),
                      QStringLiteral("list"), QStringLiteral("--fingers"), QStringLiteral("4")}));
        QVERIFY(SkfLibrary::Load(QStringLiteral(KEYSIM_SKF_PATH)));

        Admin admin;
        QCOMPARE(admin.FullRefresh(), 0u);
        QCOMPARE(admin.SkfDevices.count, 2);
        QSet<QByteArray> names{admin.SkfDevices.names[0], admin.SkfDevices.names[1]};
        QCOMPARE(names, (QSet<QByteArray>{"KXSKF0001", "KXSKF0002"}));
        QCOMPARE(admin.SkfApps[0].names[0], QByteArray("KX2700"));

        const int vein = admin.SkfDevices.names[0] == "KXSKF0002" ? 0 : 1;
        admin.SelectApplication(QByteArrayView("KXSKF0002"));
        QCOMPARE(admin.SkfAppHandle, admin.SkfApps[vein].handles[0]);
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, admin.FingerInfo), 0u);
        QCOMPARE(admin.FingerInfo.enrolledCount, 1u);
        QVERIFY(Call_GMAPIs_Admin::FingerEnrolled(admin.FingerInfo, 4));

        admin.SelectApplication(QByteArrayView("KXSKF0001"));
        QCOMPARE(admin.ReadFingerInfo(admin.SkfAppHandle, 1, admin.FingerInfo), 0u);
        QCOMPARE(Call_GMAPIs_Admin::EnrolledFingers(admin.FingerInfo), (QList<int>{2, 5}));

        // Deleting needs the application logged in with the user PIN.
        QCOMPARE(admin.DeleteFinger(admin.SkfAppHandle, 1, 2), 0x0A00002Du);
        std::uint32_t retries = 0;
        QCOMPARE(admin.VerifyPIN(admin.SkfAppHandle, 1, QStringLiteral("12345678"), retries), 0u);
        QCOMPARE(admin.DeleteFinger(admin.SkfAppHandle, 1, 2), 0u);
        QCOMPARE(admin.ClearSecureState(admin.SkfAppHandle), 0u);
        QCOMPARE(admin.DeleteFinger(admin.SkfAppHandle, 1, 5), 0x0A00002Du);

        // Capability of device 0 (whichever key the library lists first).
        const std::uint32_t expected = vein == 0 ? 5u : 2u;
        QCOMPARE(admin.CapabilityQuery(), expected);

        // A pulled key leaves the list; a short refresh of no key fails.
        QVERIFY(tool({QStringLiteral("pull"), QStringLiteral("KXSKF0001")}));
        QVERIFY(tool({QStringLiteral("pull"), QStringLiteral("KXSKF0002")}));
        QCOMPARE(admin.ShortRefresh(), SkfNoDevice);
        qunsetenv("KX2700_KEYSIM_DIR");
    }
};

QTEST_GUILESS_MAIN(SkfAdminTest)
#include "SkfAdminTest.moc"
