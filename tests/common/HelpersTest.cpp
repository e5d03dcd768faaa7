// SPDX-License-Identifier: Apache-2.0
#include "TestFolders.h"

#include "common/Delay.h"
#include "common/ExpiryDates.h"
#include "common/OpenURL.h"
#include "common/PINPolicy.h"
#include "common/ProcessLauncher.h"
#include "common/RegistryAccess.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"

#include "platform/Registry.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <array>
#include <ctime>
#include <utility>

using namespace kx;

namespace {

// Records the programs it is asked to start instead of starting them.
class RecordingLauncher final : public ProcessLauncher
{
public:
    bool startDetached(const QString& program, const QStringList& arguments, const QString&) override
    {
        started.append(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')));
        return true;
    }
    QStringList started;
};

} // namespace

class HelpersTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatSize()
    {
        QCOMPARE(FormatSize(1536), QStringLiteral("2 KB"));       // 1.5 to the even 2
        QCOMPARE(FormatSize(2560), QStringLiteral("2 KB"));       // 2.5 to the even 2
        QCOMPARE(FormatSize(3584), QStringLiteral("4 KB"));       // 3.5 to the even 4
        QCOMPARE(FormatSize(1024000), QStringLiteral("1000 KB")); // the boundary itself
        QCOMPARE(FormatSize(1025024), QStringLiteral("0.98 MB"));
        QCOMPARE(FormatSize(1048576), QStringLiteral("1.00 MB"));
        QCOMPARE(FormatSize(0), QStringLiteral("0 KB"));
        QCOMPARE(FormatSize(-1), QStringLiteral("0 KB"));
    }

    void guidsAreUpperCaseAndFresh()
    {
        static const QRegularExpression form(
            QStringLiteral("^\\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\}$"));
        const QString a = NewGUIDText();
        QCOMPARE(a.size(), 38);
        QVERIFY2(form.match(a).hasMatch(), qPrintable(a));
        QVERIFY(a != NewGUIDText());
    }

    void hexConversions()
    {
        const std::array<std::uint8_t, 4> bytes{0x00, 0xAB, 0x7f, 0xFF};
        QCOMPARE(BytesToHex(bytes), QStringLiteral("00AB7FFF"));
        QCOMPARE(BytesToHex({}), QString());

        std::array<std::uint8_t, 4> out{9, 9, 9, 9};
        std::size_t written = 99;
        QVERIFY(HexToBytes(QStringLiteral("0aB7f"), out, &written)); // odd length: last character ignored
        QCOMPARE(written, std::size_t{2});
        QCOMPARE(out[0], std::uint8_t{0x0A});
        QCOMPARE(out[1], std::uint8_t{0xB7});
        QCOMPARE(out[2], std::uint8_t{9});
        QVERIFY(HexToBytes(QStringLiteral("zz+1 1FF"), out, &written)); // pairs that are no hex give 0
        QCOMPARE(out[0], std::uint8_t{0});
        QCOMPARE(out[1], std::uint8_t{0});
        QCOMPARE(out[2], std::uint8_t{0});
        QCOMPARE(out[3], std::uint8_t{0xFF});

        // A text needing more bytes than the buffer holds is refused and writes nothing.
        std::array<std::uint8_t, 64> unlock{};
        unlock.fill(0x55);
        QVERIFY(!HexToBytes(QString(130, QLatin1Char('A')), unlock, &written));
        QCOMPARE(written, std::size_t{0});
        QCOMPARE(unlock[0], std::uint8_t{0x55});
        QVERIFY(HexToBytes(QString(129, QLatin1Char('A')), unlock, &written));
        QCOMPARE(written, std::size_t{64});
        QCOMPARE(unlock[63], std::uint8_t{0xAA});
    }

    void expiry()
    {
        test::TestFolders folders;
        folders.context().setClock([] { return QDateTime(QDate(2024, 6, 10), QTime(15, 30)); });
        QCOMPARE(ParseDateTime(QStringLiteral("2024/06/11 00:00:00")), QDateTime(QDate(2024, 6, 11), QTime(0, 0)));
        QVERIFY(!ParseDateTime(QStringLiteral("2024-06-11")).isValid());
        QVERIFY(!ParseDateTime(QStringLiteral("2024/13/40 00:00:00")).isValid());

        QCOMPARE(ExpiryState(2024, 6, 10, 30), 3); // the last day is today: already expired
        QCOMPARE(ExpiryState(2023, 1, 1, 30), 3);
        QCOMPARE(ExpiryState(2024, 6, 11, 0), 2); // 0.35 days ahead, beyond 0
        QCOMPARE(ExpiryState(2024, 6, 11, 1), 1);
        QCOMPARE(ExpiryState(2024, 7, 10, 30), 1); // 29.35 days ahead
        QCOMPARE(ExpiryState(2024, 7, 11, 30), 2); // 30.35 days ahead
        QCOMPARE(ExpiryState(2024, 2, 30, 30), 2); // a day that does not exist
        QVERIFY(WithinDays(2024, 6, 1, 0));        // already past
        QVERIFY(WithinDays(2024, 6, 11, 1));
        QVERIFY(!WithinDays(2024, 8, 1, 30));
        QVERIFY(!WithinDays(2024, 0, 1, 30));
    }

    void expiryWhereClocksSkipMidnight()
    {
        const QByteArray savedZone = qgetenv("TZ");
        test::TestFolders folders;
        // Days on which local midnight does not exist: the clocks jump from 00:00 to 01:00.
        for (const auto& [zone, day] :
             {std::pair{"America/Santiago", QDate(2024, 9, 8)}, std::pair{"Asia/Beirut", QDate(2024, 3, 31)}}) {
            qputenv("TZ", zone);
            ::tzset();
            QCOMPARE(ParseDateTime(day.toString(QStringLiteral("yyyy/MM/dd 00:00:00"))), QDateTime(day, QTime(1, 0)));
            folders.context().setClock([day = day] { return QDateTime(day.addDays(-10), QTime(12, 0)); });
            QCOMPARE(ExpiryState(day.year(), day.month(), day.day(), 30), 1);
            QCOMPARE(ExpiryState(day.year(), day.month(), day.day(), 9), 2); // 9.54 days ahead
            QVERIFY(WithinDays(day.year(), day.month(), day.day(), 30));
            folders.context().setClock([day = day] { return QDateTime(day.addDays(1), QTime(0, 30)); });
            QCOMPARE(ExpiryState(day.year(), day.month(), day.day(), 30), 3);
        }
        savedZone.isNull() ? qunsetenv("TZ") : qputenv("TZ", savedZone);
        ::tzset();
    }

    void delayProcessesEvents()
    {
        QElapsedTimer clock;
        clock.start();
        Delay(9);
        QVERIFY(clock.elapsed() < 9);
        bool fired = false;
        QTimer::singleShot(0, this, [&] { fired = true; });
        Delay(25);
        QVERIFY(fired);
        QVERIFY(clock.elapsed() >= 20);
    }

    void registryHelpers()
    {
        test::TestFolders folders;
        QCOMPARE(RegWriteString(QStringLiteral("hkey_local_machine"), QStringLiteral("Software\\X"),
                                QStringLiteral("V"), QStringLiteral("1")),
                 0);
        const platform::Registry registry(folders.path(QStringLiteral("registry")).toStdString());
        QVERIFY(registry.keyExists(platform::RegistryRoot::CurrentUser, "Software\\X"));
        QVERIFY(!registry.keyExists(platform::RegistryRoot::LocalMachine, "Software\\X"));

        QVERIFY(CSPInstalled(QStringLiteral("KX CSP")).isEmpty());
        QVERIFY(CSPInstalled(QString()).isEmpty());
        QCOMPARE(RegWriteString(QStringLiteral("HKEY_LOCAL_MACHINE"),
                                QStringLiteral("SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\KX CSP"),
                                QStringLiteral("Image Path"), QStringLiteral("libDrevmor.so")),
                 0);
        QCOMPARE(CSPInstalled(QStringLiteral("KX CSP")), QStringLiteral("KX CSP"));
    }

    void textFormat()
    {
        QCOMPARE(FormatInt(QStringLiteral("您还有%d次机会"), 3), QStringLiteral("您还有3次机会"));
        QCOMPARE(FormatInt(QStringLiteral("%d and %d"), -1), QStringLiteral("-1 and %d"));
        QCOMPARE(FormatInt(QStringLiteral("100%% %s %d"), 7), QStringLiteral("100% %s 7")); // %s is left alone
        QCOMPARE(FormatInt(QStringLiteral("no number%"), 7), QStringLiteral("no number%"));
        QCOMPARE(HexCode(0xA0), QStringLiteral("000000A0"));
        QCOMPARE(FormatHex(QStringLiteral("操作失败(0x%.8x)"), 0x0A00002E), QStringLiteral("操作失败(0x0a00002e)"));
        QCOMPARE(FormatHex(QStringLiteral("%X / %x"), 0xBEEF), QStringLiteral("BEEF / %x"));
        QCOMPARE(FormatHex(QStringLiteral("100%% %s %08X%"), 1), QStringLiteral("100% %s 00000001%"));
        QCOMPARE(HexCode(0x0A000030), QStringLiteral("0A000030"));
    }

    void pinStrength()
    {
        QCOMPARE(PINStrength(QString()), 0);
        QCOMPARE(PINStrength(QStringLiteral("a1!b2@c")), 1);  // 7 bytes, all three classes
        QCOMPARE(PINStrength(QStringLiteral("abcd1234")), 2); // letters and digits
        QCOMPARE(PINStrength(QStringLiteral("abcd!234")), 3);
        QCOMPARE(PINStrength(QStringLiteral("AbCd!@#$")), 2); // both cases count once
        QCOMPARE(PINStrength(QStringLiteral("12345678")), 1);
        QCOMPARE(PINStrength(QStringLiteral("密码ab12")), 3); // 10 bytes, non-ASCII is "other"
        QCOMPARE(PINStrength(QStringLiteral("密码a1")), 3);   // 8 bytes
        QCOMPARE(PINStrengthCaption(1), QStringLiteral("弱"));
        QCOMPARE(PINStrengthCaption(2), QStringLiteral("中"));
        QCOMPARE(PINStrengthCaption(3), QStringLiteral("强"));
        QVERIFY(PINMeetsPolicy(QStringLiteral("abcd!234"), 8, 16));
        QVERIFY(!PINMeetsPolicy(QStringLiteral("abcd!234"), 9, 16));
        QVERIFY(!PINMeetsPolicy(QStringLiteral("abcd!2345678X"), 8, 12));
        QVERIFY(!PINMeetsPolicy(QStringLiteral("abcd1234"), 8, 16));
    }

    void openUrl()
    {
        RecordingLauncher launcher;
        ProcessLauncher::setCurrent(&launcher);
        QVERIFY(!OpenURL(nullptr, QStringLiteral("   "), false));
        QVERIFY(OpenURL(nullptr, QStringLiteral("  https://example.com/a b "), false));
        QVERIFY(OpenURL(nullptr, QStringLiteral("https://example.com"), true));
        ProcessLauncher::setCurrent(nullptr);
        QCOMPARE(launcher.started, (QStringList{QStringLiteral("xdg-open https://example.com/a b"),
                                                QStringLiteral("x-www-browser https://example.com")}));
    }
};

QTEST_GUILESS_MAIN(HelpersTest)
#include "HelpersTest.moc"
