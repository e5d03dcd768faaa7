// SPDX-License-Identifier: Apache-2.0
#include "TestFolders.h"

#include "common/AppInfo.h"
#include "common/UserConfig.h"
#include "common/UserFolder.h"

#include <QTest>

using namespace kx;

class ConfigFilesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingAppInfoGivesDefaults()
    {
        test::TestFolders folders;
        TAPPInfo info;
        info.PKCS11Lib = QStringLiteral("stale");
        QCOMPARE(ReadAPPInfo(APPInfoPath(), info), 0);
        QVERIFY(info.PKCS11Lib.isEmpty());
        QVERIFY(info.CfgPath.isEmpty());
        QCOMPARE(info.RegCertMode, 0);
        QCOMPARE(info.FingerRegTimes, 3);
        QCOMPARE(info.FingerStudy, 0);
        QCOMPARE(info.DesktopRegister, 1);
        // With no CfgPath the user configuration lies directly in the application-data folder.
        QCOMPARE(UserConfigPath(info.CfgPath), folders.path(QStringLiteral("config/UserConfig.ini")));
    }

    void readsEveryKeyOfAnAppInfoFile()
    {
        test::TestFolders folders;
        folders.write(QStringLiteral("bin/APPInfo.ini"),
                      "[applib]\nPKCS11Lib = libkeysim-pkcs11.so \nSKFLib=\"libkeysim-skf.so\"\nCSPName=My CSP\n"
                      "[CSPLanguage]\nCSP_RootKey=HKEY_CURRENT_USER\nCSP_MainKey=Software\\X\nCSP_LanguageKey=Lang\n"
                      "[UserInfo]\nCfgPath=vendor\\kx\nPlugin=plug\nCloseAPP=app.exe\n"
                      "[APPFlag]\nAPPName=A\nOEMID=O\nUSBEnumString=U\nPID=1|2\nRegCertMode=7\n"
                      "APPMgrName=KX2700Mgr\nAPPMonName=KX2700Mon\nFingerRegTimes=abc\nFingerStudy=$10\n"
                      "desktopregister=0\n");
        TAPPInfo info;
        QCOMPARE(ReadAPPInfo(APPInfoPath(), info), 0);
        QCOMPARE(info.PKCS11Lib, QStringLiteral("libkeysim-pkcs11.so"));
        QCOMPARE(info.SKFLib, QStringLiteral("libkeysim-skf.so"));
        QCOMPARE(info.CSPName, QStringLiteral("My CSP"));
        QCOMPARE(info.CSP_MainKey, QStringLiteral("Software\\X"));
        QCOMPARE(info.CloseAPP, QStringLiteral("app.exe"));
        QCOMPARE(info.USBEnumString, QStringLiteral("U"));
        QCOMPARE(info.RegCertMode, 7);
        QCOMPARE(info.FingerRegTimes, 3); // not an integer: the default
        QCOMPARE(info.FingerStudy, 16);
        QCOMPARE(info.DesktopRegister, 0);
        // A "\" in CfgPath separates folders; the folder is created with its parents.
        const QString path = UserConfigPath(info.CfgPath);
        QCOMPARE(path, folders.path(QStringLiteral("config/vendor/kx/UserConfig.ini")));
        QVERIFY(QFileInfo(folders.path(QStringLiteral("config/vendor/kx"))).isDir());
    }

    void unreadableAppInfoLeavesTheRecord()
    {
        test::TestFolders folders;
        QDir().mkpath(folders.path(QStringLiteral("bin/APPInfo.ini"))); // a folder, not a file
        TAPPInfo info;
        info.CSPName = QStringLiteral("kept");
        QCOMPARE(ReadAPPInfo(APPInfoPath(), info), 1);
        QCOMPARE(info.CSPName, QStringLiteral("kept"));
    }

    // The administrator's file: the keys it holds replace the installation's, a key commented out
    // or absent leaves it, and the files read are named in order.
    void administratorsFileOverridesPresentKeys()
    {
        test::TestFolders folders;
        const QByteArray previous = qgetenv("KX2700_SYSTEM_APPINFO");
        const QString local = folders.path(QStringLiteral("etc/kx2700/APPInfo.ini"));
        qputenv("KX2700_SYSTEM_APPINFO", QFile::encodeName(local));
        QCOMPARE(SystemAPPInfoPath(), local);
        const QString installed =
            folders.write(QStringLiteral("bin/APPInfo.ini"),
                          "[APPLib]\nPKCS11Lib=/usr/lib/kx2700/pkcs11-module.so\nSKFLib=/usr/lib/kx2700/skf-library.so\n"
                          "[UserInfo]\nCfgPath=kx2700\n[APPFlag]\nRegCertMode=2\nFingerRegTimes=5\n");

        // No administrator's file: the installation's alone.
        TAPPInfo info;
        QStringList files;
        QCOMPARE(ReadInstalledAPPInfo(info, &files), 0);
        QCOMPARE(files, QStringList{installed});
        QCOMPARE(info.PKCS11Lib, QStringLiteral("/usr/lib/kx2700/pkcs11-module.so"));
        QCOMPARE(info.RegCertMode, 2);
        QCOMPARE(OverlayAPPInfo(local, info), 0);
        QCOMPARE(info.PKCS11Lib, QStringLiteral("/usr/lib/kx2700/pkcs11-module.so"));
        QCOMPARE(info.FingerRegTimes, 5);

        folders.write(QStringLiteral("etc/kx2700/APPInfo.ini"),
                      "; header\n[APPLib]\n;SKFLib=/commented/skf.so\npkcs11lib = /usr/lib/vendor/pkcs11.so\n"
                      "[APPFlag]\nRegCertMode=0\nDesktopRegister=0\n");
        info = TAPPInfo{};
        files.clear();
        QCOMPARE(ReadInstalledAPPInfo(info, &files), 0);
        QCOMPARE(files, (QStringList{installed, local}));
        QCOMPARE(info.PKCS11Lib, QStringLiteral("/usr/lib/vendor/pkcs11.so"));
        QCOMPARE(info.SKFLib, QStringLiteral("/usr/lib/kx2700/skf-library.so"));
        QCOMPARE(info.CfgPath, QStringLiteral("kx2700"));
        QCOMPARE(info.RegCertMode, 0);      // present, even when it is the default
        QCOMPARE(info.FingerRegTimes, 5);   // absent: the installation's, not the default
        QCOMPARE(info.DesktopRegister, 0);

        // An administrator's file that cannot be read: reported, the installation's values stay.
        QFile::remove(local);
        QDir().mkpath(local);
        info = TAPPInfo{};
        files.clear();
        QCOMPARE(ReadInstalledAPPInfo(info, &files), 1);
        QCOMPARE(files, QStringList{installed});
        QCOMPARE(info.PKCS11Lib, QStringLiteral("/usr/lib/kx2700/pkcs11-module.so"));
        QCOMPARE(info.RegCertMode, 2);

        qunsetenv("KX2700_SYSTEM_APPINFO");
        QCOMPARE(SystemAPPInfoPath(), QStringLiteral("/etc/kx2700/APPInfo.ini"));
        if (!previous.isNull()) {
            qputenv("KX2700_SYSTEM_APPINFO", previous);
        }
    }

    void pidLists()
    {
        TPIDList list;
        QCOMPARE(ParsePIDList(QStringLiteral("49155|49156"), list), 0);
        QCOMPARE(list.count, 2);
        QCOMPARE(list.values[0], 49155);
        QCOMPARE(list.values[1], 49156);
        QVERIFY(list.contains(49156));
        QVERIFY(!list.contains(0));

        QCOMPARE(ParsePIDList(QStringLiteral(" $C003 | 7 "), list), 0);
        QCOMPARE(list.count, 2);
        QCOMPARE(list.values[0], 0xC003);

        QCOMPARE(ParsePIDList(QString(), list), 0);
        QCOMPARE(list.count, 0);
        QVERIFY(!list.contains(0)); // an empty list matches no device

        QStringList many;
        for (int i = 1; i <= 40; ++i) {
            many << QString::number(i);
        }
        QCOMPARE(ParsePIDList(many.join(QLatin1Char('|')), list), 0);
        QCOMPARE(list.count, 33);
        QCOMPARE(list.values[32], 33);
        QVERIFY(!list.contains(34));

        QString error;
        QCOMPARE(ParsePIDList(QStringLiteral("1|C003|3"), list, &error), 1);
        QCOMPARE(list.count, 0);
        QVERIFY(error.contains(QStringLiteral("\"C003\"")));
        QCOMPARE(ParsePIDList(QStringLiteral("1||3"), list, &error), 1); // an empty piece is no integer

        // Pieces past the 33rd are not read, so whatever they hold keeps the list.
        QCOMPARE(ParsePIDList(many.mid(0, 33).join(QLatin1Char('|')) + QStringLiteral("|bad|"), list), 0);
        QCOMPARE(list.count, 33);
        QCOMPARE(ParsePIDList(many.mid(0, 32).join(QLatin1Char('|')) + QStringLiteral("|bad|34"), list), 1);
    }

    void appInfoWithAValueFromAChineseInstallation()
    {
        test::TestFolders folders;
        // One value pasted in GBK into an otherwise UTF-8 file.
        folders.write(QStringLiteral("bin/APPInfo.ini"), "[APPLib]\nCSPName=\xD6\xD0\xCE\xC4"
                                                         "CSP\n[UserInfo]\nCfgPath=密钥\\用户\n");
        TAPPInfo info;
        QCOMPARE(ReadAPPInfo(APPInfoPath(), info), 0);
        QCOMPARE(info.CSPName, QStringLiteral("中文CSP"));
        QCOMPARE(info.CfgPath, QStringLiteral("密钥\\用户"));
    }

    void savingThroughALinkedUserConfig()
    {
        test::TestFolders folders;
        const QString target =
            folders.write(QStringLiteral("synced/UserConfig.ini"), "[UserConfig]\nLastDay=20240229\n");
        const QString path = UserConfigPath(QStringLiteral("kx"));
        QVERIFY(QFile::link(target, path));
        folders.write(QStringLiteral("config/kx/.UserConfig.ini.lock"), ""); // left by an earlier version
        TUserConfigInfo config;
        config.CertDay = 12;
        QCOMPARE(WriteUserConfig(path, config), 0);
        QVERIFY(QFileInfo(path).isSymLink());
        TUserConfigInfo reread;
        QCOMPARE(ReadUserConfig(target, reread), 0);
        QCOMPARE(reread.CertDay, 12);
        QCOMPARE(reread.LastDay, QStringLiteral("20240229"));
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{QStringLiteral("UserConfig.ini")});
    }

    void missingUserConfigGivesDefaults()
    {
        test::TestFolders folders;
        TUserConfigInfo config;
        QCOMPARE(ReadUserConfig(UserConfigPath(QStringLiteral("kx")), config), 0);
        QCOMPARE(config.URLOpenMode, 0);
        QCOMPARE(config.CertTips, 0);
        QCOMPARE(config.LanguageID, 0);
        QCOMPARE(config.DefaultPINMode, 1);
        QCOMPARE(config.CycleSetPIN, 0);
        QVERIFY(config.LastDay.isEmpty());
        QCOMPARE(config.DesktopRegistration, 1);
    }

    void savingSettingsKeepsThePinCycle()
    {
        test::TestFolders folders;
        const QString path = UserConfigPath(QStringLiteral("kx"));
        folders.write(QStringLiteral("config/kx/UserConfig.ini"),
                      "; mine\n[UserConfig]\nCycleSetPIN=30\nLastDay=20240229\nCustom=keep me\n");
        TUserConfigInfo config;
        QCOMPARE(ReadUserConfig(path, config), 0);
        config.URLOpenMode = 1;
        config.URL = QStringLiteral("https://例子.example/路径?q=1");
        config.CertTips = 1;
        config.CertDay = 30;
        config.LanguageID = 1033;
        config.DefaultPINMode = 0;
        config.DesktopRegistration = 0;
        config.CycleSetPIN = 99; // not written by the settings
        config.LastDay = QStringLiteral("19990101");
        QCOMPARE(WriteUserConfig(path, config), 0);

        TUserConfigInfo reread;
        QCOMPARE(ReadUserConfig(path, reread), 0);
        QCOMPARE(reread.URLOpenMode, 1);
        QCOMPARE(reread.URL, config.URL);
        QCOMPARE(reread.CertDay, 30);
        QCOMPARE(reread.LanguageID, 1033);
        QCOMPARE(reread.DefaultPINMode, 0);
        QCOMPARE(reread.DesktopRegistration, 0);
        QCOMPARE(reread.CycleSetPIN, 30);
        QCOMPARE(reread.LastDay, QStringLiteral("20240229"));
        const QByteArray text = test::TestFolders::read(path);
        QVERIFY(text.startsWith("; mine\n"));
        QVERIFY(text.contains("Custom=keep me"));
    }

    void pinCycleAfterAChange()
    {
        test::TestFolders folders;
        QCOMPARE(NextPINChangeDay(QDate(2024, 1, 30), 30), QStringLiteral("20240229"));
        QCOMPARE(NextPINChangeDay(QDate(2023, 12, 31), 1), QStringLiteral("20240101"));

        const QString path = UserConfigPath(QString());
        TUserConfigInfo config;
        config.CycleSetPIN = 0;
        QCOMPARE(RecordPINChange(path, config, QDate(2024, 1, 30)), 0);
        QVERIFY(!QFileInfo::exists(path)); // nothing written without a cycle
        config.CycleSetPIN = -5;
        QCOMPARE(RecordPINChange(path, config, QDate(2024, 1, 30)), 0);
        QVERIFY(!QFileInfo::exists(path));

        config.CycleSetPIN = 30;
        QCOMPARE(RecordPINChange(path, config, QDate(2024, 1, 30)), 0);
        QCOMPARE(config.LastDay, QStringLiteral("20240229"));
        TUserConfigInfo reread;
        ReadUserConfig(path, reread);
        QCOMPARE(reread.CycleSetPIN, 30);
        QCOMPARE(reread.LastDay, QStringLiteral("20240229"));
    }

    void writeFailureIsReported()
    {
        test::TestFolders folders;
        QDir().mkpath(folders.path(QStringLiteral("config/UserConfig.ini"))); // a folder in the way
        TUserConfigInfo config;
        QCOMPARE(WriteUserConfig(folders.path(QStringLiteral("config/UserConfig.ini")), config), 1);
        QCOMPARE(WritePINCycle(folders.path(QStringLiteral("config/UserConfig.ini")), 30, QStringLiteral("x")), 1);
    }

    void usersHaveSeparateFiles()
    {
        test::TestFolders first;
        const QString a = UserConfigPath(QStringLiteral("kx"));
        test::TestFolders second;
        const QString b = UserConfigPath(QStringLiteral("kx"));
        QVERIFY(a != b);
    }

    void userFolderHasOneTrailingSlash()
    {
        test::TestFolders folders;
        QCOMPARE(UserFolder(QStringLiteral("\\a\\\\b\\")), folders.path(QStringLiteral("config/a/b/")));
        QCOMPARE(UserFolder(QString()), folders.path(QStringLiteral("config/")));
    }

    void garbageConfigFilesReadAsDefaults()
    {
        test::TestFolders folders;
        QByteArray junk;
        for (int i = 0; i < 5000; ++i) {
            junk.append(static_cast<char>((i * 7919) % 256));
        }
        const QString path = folders.write(QStringLiteral("config/UserConfig.ini"), junk);
        TUserConfigInfo config;
        QCOMPARE(ReadUserConfig(path, config), 0);
        QCOMPARE(config.DefaultPINMode, 1);
        const QString app = folders.write(QStringLiteral("bin/APPInfo.ini"), junk);
        TAPPInfo info;
        QCOMPARE(ReadAPPInfo(app, info), 0);
        QCOMPARE(info.FingerRegTimes, 3);
    }
};

QTEST_GUILESS_MAIN(ConfigFilesTest)
#include "ConfigFilesTest.moc"
