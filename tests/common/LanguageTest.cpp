// SPDX-License-Identifier: Apache-2.0
#include "TestFolders.h"

#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/ProfileFile.h"
#include "common/StartupConfiguration.h"
#include "common/UiLanguage.h"

#include "platform/Registry.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace kx;

namespace {

const QString kShipped = QStringLiteral(KX_SOURCE_DIR "/resources/Languages/");

QByteArray languageList(std::initializer_list<std::pair<const char*, const char*>> entries)
{
    QByteArray text;
    int n = 0;
    for (const auto& [id, file] : entries) {
        const QByteArray number = QByteArray::number(++n);
        text += "[L" + number + "]\nLanguageID=" + id + "\nLnaguageName=N" + number + "\nLanguageFile=" + file +
                "\nLanguageCSP=csp" + number + "\n";
    }
    return text;
}

} // namespace

class LanguageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Qt's own texts follow the language in use and switch with it; the programs' own fixed
    // messages speak it too, and the start-up refusal of a broken language list speaks the
    // configured language.
    void qtAndOwnTextsFollowTheLanguage()
    {
        const auto lookIn = [] { return QCoreApplication::translate("QFileDialog", "Look in:"); };
        QVERIFY(UiLanguage::use(2052));
        const QString chinese = lookIn();
        QVERIFY2(chinese != QStringLiteral("Look in:") &&
                     chinese.contains(QRegularExpression(QStringLiteral("\\p{Han}"))),
                 qPrintable(chinese));
        QVERIFY(UiLanguage::use(1033));
        QCOMPARE(lookIn(), QStringLiteral("Look in:"));
        QCOMPARE(UiLanguage::current(), 1033);
        QVERIFY(OwnText(OwnMessage::UnlockCodeTooLong).startsWith(QStringLiteral("The unlock code")));
        // A language Qt has no translation for leaves Qt in English, not in the language before.
        UiLanguage::use(2052);
        QVERIFY(!UiLanguage::use(9999));
        QCOMPARE(lookIn(), QStringLiteral("Look in:"));
        UiLanguage::use(UiLanguage::kBuiltinLanguageID);
        QVERIFY(OwnText(OwnMessage::UnlockCodeTooLong).startsWith(QStringLiteral("应答码过长")));
        QCOMPARE(UiLanguage::localeName(1033), QStringLiteral("en"));
        QCOMPARE(UiLanguage::localeName(2052), QStringLiteral("zh_CN"));

        TLanguageInfo list;
        list.count = 2;
        list.LanguageID[0] = QStringLiteral("2052");
        list.LanguageID[1] = QStringLiteral("x");
        list.LanguageFile[0] = QStringLiteral("CN_2052.lng");
        const LanguageChoice english = ChooseLanguage(list, 1033, QStringLiteral("/nowhere/"));
        QVERIFY2(english.error.startsWith(QStringLiteral("The language identifier \"x\"")), qPrintable(english.error));
        const LanguageChoice unknown = ChooseLanguage(list, 7, QStringLiteral("/nowhere/"));
        QVERIFY2(unknown.error.contains(QStringLiteral("语言标识")), qPrintable(unknown.error));
        UiLanguage::use(UiLanguage::kBuiltinLanguageID);
    }

    void builtinTextsAreChinese()
    {
        const LanguageTexts texts;
        QCOMPARE(texts.text("P_Caption"), QStringLiteral("PKI管理工具   "));
        QCOMPARE(texts.text("P_MSGTitle"), QStringLiteral("提示"));
        QCOMPARE(texts.text("K_ErrorCODE_Str"), QStringLiteral(" ErrorCode :String= "));
        QCOMPARE(texts.text("K_Try_Time"), QStringLiteral("您还有%d次机会"));
        QCOMPARE(texts.text("P_FormatError"), QStringLiteral("操作失败(0x%.8x)"));
        QCOMPARE(texts.fontName(), QStringLiteral("宋体"));
        QCOMPARE(texts.fontSize(), 9);
        // Without a language file all four certificate actions are hidden.
        QVERIFY(!texts.switchOn("config_Cert_Del"));
        QVERIFY(!texts.switchOn("config_Cert_Input"));
        QVERIFY(!texts.switchOn("config_Cert_Output"));
        QVERIFY(!texts.switchOn("config_Cont_Del"));
        QSet<QString> keys;
        for (const auto& definition : kTextDefinitions) {
            keys.insert(QString::fromLatin1(definition.key.data(), static_cast<qsizetype>(definition.key.size())));
            QVERIFY(!definition.builtin.empty());
        }
        QCOMPARE(keys.size(), 377);
    }

    void missingKeysReadAsOneSpace()
    {
        test::TestFolders folders;
        const QString file = folders.write(QStringLiteral("bin/Languages/part.lng"),
                                           "[caption]\nK_Set_No=Failed\nconfig_Cert_Del=$100\nconfig_Cont_Del=3\n"
                                           "FontSize=big\n");
        LanguageTexts texts;
        QCOMPARE(texts.load(file), 0);
        QCOMPARE(texts.text("K_Set_No"), QStringLiteral("Failed"));
        QCOMPARE(texts.text("K_Dead"), QStringLiteral(" "));
        QCOMPARE(texts.text("P_Caption"), QStringLiteral(" "));
        // Only the low byte counts; a missing switch is 0, except the export switch, which is 1.
        QCOMPARE(texts.switchValue("config_Cert_Del"), 256);
        QVERIFY(!texts.switchOn("config_Cert_Del"));
        QVERIFY(texts.switchOn("config_Cont_Del"));
        QVERIFY(!texts.switchOn("config_Cert_Input"));
        QVERIFY(texts.switchOn("config_Cert_Output"));
        QCOMPARE(texts.fontSize(), 9);
    }

    void missingOrUnreadableFilesChangeNothing()
    {
        test::TestFolders folders;
        LanguageTexts texts;
        QCOMPARE(texts.load(folders.path(QStringLiteral("none.lng"))), 0);
        QCOMPARE(texts.load(QString()), 0);
        QCOMPARE(texts.text("K_Set_No"), QStringLiteral("修改失败"));
        QDir().mkpath(folders.path(QStringLiteral("folder.lng")));
        QString error;
        QCOMPARE(texts.load(folders.path(QStringLiteral("folder.lng")), &error), 1);
        QVERIFY(!error.isEmpty());
        QCOMPARE(texts.text("K_Set_No"), QStringLiteral("修改失败"));
    }

    void damagedOrMixedFilesKeepTheirOtherTexts()
    {
        test::TestFolders folders;
        QByteArray bytes = test::TestFolders::read(kShipped + QStringLiteral("CN_2052.lng"));
        QVERIFY(bytes.endsWith("\n"));
        // The last character cut in half, and one value pasted from a GBK-encoded file.
        bytes.chop(2);
        bytes.replace("K_Set_No=\xE4\xBF\xAE\xE6\x94\xB9\xE5\xA4\xB1\xE8\xB4\xA5",
                      "K_Set_No=\xD0\xDE\xB8\xC4\xCA\xA7\xB0\xDC");
        LanguageTexts damaged;
        QCOMPARE(damaged.load(folders.write(QStringLiteral("bin/Languages/CN.lng"), bytes)), 0);
        LanguageTexts whole;
        QCOMPARE(whole.load(kShipped + QStringLiteral("CN_2052.lng")), 0);
        int differing = 0;
        for (std::size_t i = 0; i < LanguageTexts::kCount; ++i) {
            const LangKey key = LangKey::fromIndex(i);
            differing += damaged.text(key) != whole.text(key) ? 1 : 0;
        }
        QCOMPARE(differing, 1); // only the cut text
        QCOMPARE(damaged.text("K_Set_No"), QStringLiteral("修改失败"));
        QVERIFY(damaged.text("P_GenResporse").startsWith(QStringLiteral("生成应答")));
    }

    void shippedLanguagesAreComplete()
    {
        ProfileFile cn;
        QCOMPARE(cn.load(kShipped + QStringLiteral("CN_2052.lng")), ProfileFile::LoadStatus::Loaded);
        ProfileFile en;
        QCOMPARE(en.load(kShipped + QStringLiteral("EN_1033.lng")), ProfileFile::LoadStatus::Loaded);
        for (const auto& definition : kTextDefinitions) {
            const QString key =
                QString::fromLatin1(definition.key.data(), static_cast<qsizetype>(definition.key.size()));
            QVERIFY2(cn.hasKey(QStringLiteral("Caption"), key), qPrintable(key));
            QVERIFY2(en.hasKey(QStringLiteral("Caption"), key), qPrintable(key));
            if (definition.kind == TextKind::Text) {
                // The Chinese file holds exactly the built-in texts.
                QCOMPARE(
                    cn.readString(QStringLiteral("Caption"), key, QString()),
                    QString::fromUtf8(definition.builtin.data(), static_cast<qsizetype>(definition.builtin.size())));
            }
        }
        LanguageTexts english;
        QCOMPARE(english.load(kShipped + QStringLiteral("EN_1033.lng")), 0);
        QCOMPARE(english.text("P_Caption"), QStringLiteral("PKI Manager   "));
        QVERIFY(english.switchOn("config_Cert_Input"));
        // The English file speaks English throughout, the texts the programs once had only in
        // Chinese included.
        const QRegularExpression chinese(QStringLiteral("[\\x{3000}-\\x{303f}\\x{4e00}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));
        for (const TextDefinition& definition : kTextDefinitions) {
            const QString value = english.text(LangKey::lookup(definition.key).value());
            QVERIFY2(
                !value.contains(chinese),
                qPrintable(QString::fromLatin1(definition.key.data(), static_cast<qsizetype>(definition.key.size())) +
                           QLatin1Char('=') + value));
        }
        for (const LangKey key : {LangKey("P_InitPIN"), LangKey("S_Strength_Weak"), LangKey("P_PIN_Policy"),
                                  LangKey("K_Reg_Failed"), LangKey("F_Study_Instruction")}) {
            QVERIFY(english.text(key) != LanguageTexts::builtinText(key));
        }
    }

    void fingerWording()
    {
        LanguageTexts texts;
        QCOMPARE(LanguageTexts::fingerTextKeys().size(), std::size_t{41});
        QCOMPARE(LanguageTexts::fingerVeinText("F_Finger_Mgr"), QStringLiteral("指静脉管理"));
        texts.setText("F_Finger_Mgr", QStringLiteral("Fingerprints"));
        texts.setText("P_SAR_FINGER_EXIST", QStringLiteral("Exists"));
        texts.switchFingerTexts(0);
        texts.switchFingerTexts(2);
        // The finger-vein wording follows the language in use: an English window stays English.
        QCOMPARE(texts.text("F_Finger_Mgr"), QStringLiteral("Finger veins"));
        QCOMPARE(texts.text("P_SAR_FINGER_EXIST"), QStringLiteral("Exists"));
        QCOMPARE(texts.text("P_SAR_PIN_LOCKED"), QStringLiteral("PIN锁死"));
        QCOMPARE(texts.text("K_Set_No"), QStringLiteral("修改失败")); // not a fingerprint text
        texts.switchFingerTexts(1);
        QCOMPARE(texts.text("F_Finger_Mgr"), QStringLiteral("Fingerprints"));
        QCOMPARE(texts.text("P_SAR_FINGER_EXIST"), QStringLiteral("Exists"));
        // The shipped English file: every fingerprint text has its finger-vein wording in English.
        LanguageTexts english;
        QCOMPARE(english.load(kShipped + QStringLiteral("EN_1033.lng")), 0);
        english.switchFingerTexts(0);
        english.switchFingerTexts(2);
        for (const LangKey key : LanguageTexts::fingerTextKeys()) {
            const QString vein = english.text(key);
            QVERIFY2(!vein.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]"))), qPrintable(vein));
            QVERIFY2(!vein.contains(QStringLiteral("ingerprint")), qPrintable(vein));
        }
        QCOMPARE(english.text("F_Finger_Mgr"), QStringLiteral("Finger vein management"));
        LanguageTexts chinese;
        chinese.switchFingerTexts(0);
        chinese.switchFingerTexts(2);
        QCOMPARE(chinese.text("P_SAR_FINGER_EXIST"), QStringLiteral("指静脉已存在"));
        texts.switchFingerTexts(7);
        QCOMPARE(texts.text("F_Finger_Mgr"), QStringLiteral("Fingerprints"));
    }

    void languageListDefaultsAndLimit()
    {
        test::TestFolders folders;
        TLanguageInfo list;
        QCOMPARE(ReadLanguageList(folders.path(QStringLiteral("none.ini")), list), 0);
        QCOMPARE(list.count, 0);

        QByteArray text = "[Only]\n";
        for (int i = 0; i < 140; ++i) {
            text += "[S" + QByteArray::number(i) + "]\nLanguageID=" + QByteArray::number(i) + "\n";
        }
        const QString path = folders.write(QStringLiteral("list.ini"), text);
        QCOMPARE(ReadLanguageList(path, list), 0);
        QCOMPARE(list.count, 129);
        QCOMPARE(list.LanguageID[0], QStringLiteral("1033"));
        QCOMPARE(list.LanguageName[0], QStringLiteral("English"));
        QCOMPARE(list.LanguageFile[0], QStringLiteral("EN_1033.lng"));
        QVERIFY(list.LanguageCSP[0].isEmpty());
        QCOMPARE(list.LanguageID[128], QStringLiteral("127"));
    }

    void choosingTheLanguage()
    {
        test::TestFolders folders;
        TLanguageInfo list;
        const QString path = folders.write(
            QStringLiteral("list.ini"),
            languageList({{"1033", "EN.lng"}, {"2052", "CN.lng"}, {"2052", "CN2.lng"}, {"zh", "bad.lng"}}));
        ReadLanguageList(path, list);

        // LanguageID 0 matches nothing: the first entry, English, is used.
        TLanguageInfo valid = list;
        valid.count = 3;
        LanguageChoice choice = ChooseLanguage(valid, 0, QStringLiteral("/L"));
        QVERIFY(choice.error.isEmpty());
        QCOMPARE(choice.entry, 0);
        QCOMPARE(choice.filePath, QStringLiteral("/L/EN.lng"));
        // Two entries with one identifier: the first wins; identifiers after the match are not read.
        choice = ChooseLanguage(list, 2052, QStringLiteral("/L/"));
        QCOMPARE(choice.entry, 1);
        QCOMPARE(choice.filePath, QStringLiteral("/L/CN.lng"));
        QVERIFY(choice.error.isEmpty());
        // Reaching an identifier that is no integer stops the choice.
        choice = ChooseLanguage(list, 9999, QStringLiteral("/L"));
        QCOMPARE(choice.entry, -1);
        QVERIFY(choice.error.contains(QStringLiteral("\"zh\"")));
        // An empty list names no file.
        choice = ChooseLanguage(TLanguageInfo{}, 0, QStringLiteral("/L"));
        QCOMPARE(choice.entry, -1);
        QVERIFY(choice.filePath.isEmpty());
    }

    void languageFileNamesStayInTheFolder()
    {
        QCOMPARE(LanguageFilePath(QStringLiteral("/L/"), QStringLiteral("sub\\x.lng")), QStringLiteral("/L/sub/x.lng"));
        QVERIFY(LanguageFilePath(QStringLiteral("/L/"), QStringLiteral("..\\..\\etc\\passwd")).isEmpty());
        QVERIFY(LanguageFilePath(QStringLiteral("/L/"), QStringLiteral("a/../../x")).isEmpty());
        QVERIFY(LanguageFilePath(QStringLiteral("/L/"), QStringLiteral("/etc/passwd")).isEmpty());
        QVERIFY(LanguageFilePath(QStringLiteral("/L/"), QString()).isEmpty());

        test::TestFolders folders;
        TLanguageInfo list;
        ReadLanguageList(folders.write(QStringLiteral("l.ini"), languageList({{"1", "../evil.lng"}})), list);
        const LanguageChoice choice = ChooseLanguage(list, 1, folders.path(QStringLiteral("bin/Languages")));
        QCOMPARE(choice.entry, 0);
        QVERIFY(choice.filePath.isEmpty());
        QVERIFY(!choice.warning.isEmpty());
    }

    void startupWithShippedResourcesAndCspValue()
    {
        test::TestFolders folders;
        for (const QString& name :
             {QStringLiteral("LanguageInfo.ini"), QStringLiteral("CN_2052.lng"), QStringLiteral("EN_1033.lng")}) {
            folders.write(QStringLiteral("bin/Languages/") + name, test::TestFolders::read(kShipped + name));
        }
        folders.write(QStringLiteral("bin/APPInfo.ini"),
                      "[UserInfo]\nCfgPath=kx\n[CSPLanguage]\nCSP_RootKey=hkey_current_user\n"
                      "CSP_MainKey=Software\\KX\nCSP_LanguageKey=Language\n");
        folders.write(QStringLiteral("config/kx/UserConfig.ini"), "[UserConfig]\nLanguageID=1033\n");
        const StartupConfiguration config = LoadStartupConfiguration();
        QVERIFY(config.error.isEmpty());
        QCOMPARE(config.language.entry, 1);
        QCOMPARE(Lang("P_Caption"), QStringLiteral("PKI Manager   "));
        QVERIFY(Language().switchOn("config_Cert_Output"));

        // The CSP value goes under HKEY_CURRENT_USER even when the root is named in lower case.
        QCOMPARE(WriteLanguageCSP(config.appInfo, config.languages, config.language.entry), 0);
        const platform::Registry registry(folders.path(QStringLiteral("registry")).toStdString());
        QCOMPARE(registry.readString(platform::RegistryRoot::CurrentUser, "Software\\KX", "Language"),
                 std::optional<std::string>("1033"));
        QCOMPARE(WriteLanguageCSP(config.appInfo, config.languages, 57), 0); // out of range: the first entry
        QCOMPARE(registry.readString(platform::RegistryRoot::CurrentUser, "Software\\KX", "Language"),
                 std::optional<std::string>("2052"));
        QCOMPARE(WriteLanguageCSP(config.appInfo, TLanguageInfo{}, 0), 0);
        Language() = LanguageTexts();
    }

    void noLanguagesFolderKeepsBuiltinTexts()
    {
        test::TestFolders folders;
        const StartupConfiguration config = LoadStartupConfiguration();
        QVERIFY(config.error.isEmpty());
        QCOMPARE(config.languages.count, 0);
        QCOMPARE(Lang("P_Caption"), QStringLiteral("PKI管理工具   "));
        QVERIFY(!Language().switchOn("config_Cert_Output"));
    }
};

QTEST_GUILESS_MAIN(LanguageTest)
#include "LanguageTest.moc"
