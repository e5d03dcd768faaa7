// SPDX-License-Identifier: Apache-2.0
#include "platform/IniDocument.h"
#include "platform/FileUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

using kx::platform::IniDocument;
using kx::platform::parseProfileInteger;

namespace {

class TempFolder
{
public:
    TempFolder()
    {
        char name[] = "/tmp/kx-ini-XXXXXX";
        m_path = ::mkdtemp(name);
    }
    ~TempFolder()
    {
        {
            std::error_code ignored;
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

void writeBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(IniDocument, NamesCompareWithoutCaseAndFirstDuplicateWins)
{
    IniDocument doc;
    doc.parse("[Main]\nKey=first\nkey=second\n[other]\nx=1\n[MAIN]\nKey=third\nOnlyHere=yes\n");
    EXPECT_EQ(doc.readString("main", "KEY", "d"), "first");
    // Keys of a later section with the same name are not seen.
    EXPECT_EQ(doc.readString("Main", "OnlyHere", "d"), "d");
    EXPECT_EQ(doc.sectionNames(), (std::vector<std::string>{"Main", "other"}));
}

TEST(IniDocument, BlanksQuotesAndComments)
{
    IniDocument doc;
    doc.parse("  [ Sec ]  \n"
              "\t name \t=  value with inner  blanks  \n"
              "dq = \"  padded  \"\n"
              "sq='single'\n"
              "mixed=\"not closed'\n"
              "lone=\"\n"
              "empty=\n"
              "; commented=1\n"
              "   ;indented=2\n"
              "noequals\n"
              "=novalue\n");
    EXPECT_EQ(doc.readString("Sec", "name", "d"), "value with inner  blanks");
    EXPECT_EQ(doc.readString("Sec", "dq", "d"), "  padded  ");
    EXPECT_EQ(doc.readString("Sec", "sq", "d"), "single");
    EXPECT_EQ(doc.readString("Sec", "mixed", "d"), "\"not closed'");
    EXPECT_EQ(doc.readString("Sec", "lone", "d"), "\"");
    EXPECT_EQ(doc.readString("Sec", "empty", "d"), "");
    EXPECT_EQ(doc.readString("Sec", "commented", "d"), "d");
    EXPECT_EQ(doc.readString("Sec", ";commented", "d"), "d");
    EXPECT_EQ(doc.readString("Sec", "indented", "d"), "d");
    EXPECT_EQ(doc.readString("Sec", "noequals", "d"), "d");
    EXPECT_EQ(doc.readString("Missing", "name", "d"), "d");
}

TEST(IniDocument, KeysBeforeAnySectionAreIgnored)
{
    IniDocument doc;
    doc.parse("stray=1\n[S]\nk=2\n");
    EXPECT_EQ(doc.readString("", "stray", "d"), "d");
    EXPECT_EQ(doc.readInteger("S", "k", 0), 2);
}

TEST(IniDocument, ProfileIntegers)
{
    EXPECT_EQ(parseProfileInteger("42"), 42);
    EXPECT_EQ(parseProfileInteger("-17"), -17);
    EXPECT_EQ(parseProfileInteger("+5"), 5);
    EXPECT_EQ(parseProfileInteger("$1F"), 31);
    EXPECT_EQ(parseProfileInteger("$c003"), 0xC003);
    EXPECT_EQ(parseProfileInteger("-$10"), -16);
    EXPECT_EQ(parseProfileInteger("$FFFFFFFF"), -1);
    EXPECT_EQ(parseProfileInteger("2147483647"), 2147483647);
    EXPECT_EQ(parseProfileInteger("-2147483648"), -2147483647 - 1);
    EXPECT_FALSE(parseProfileInteger("2147483648"));
    EXPECT_FALSE(parseProfileInteger("99999999999999999999"));
    EXPECT_FALSE(parseProfileInteger("$100000000"));
    EXPECT_FALSE(parseProfileInteger(""));
    EXPECT_FALSE(parseProfileInteger("$"));
    EXPECT_FALSE(parseProfileInteger("-"));
    EXPECT_FALSE(parseProfileInteger("12abc"));
    EXPECT_FALSE(parseProfileInteger("0x10"));
    EXPECT_FALSE(parseProfileInteger("1 2"));
    EXPECT_FALSE(parseProfileInteger("٣")); // digits of other scripts are no integer

    IniDocument doc;
    doc.parse("[S]\nbad=7x\ngood= 12 \n");
    EXPECT_EQ(doc.readInteger("S", "bad", 3), 3);
    EXPECT_EQ(doc.readInteger("S", "good", 3), 12);
    EXPECT_EQ(doc.readInteger("S", "missing", -9), -9);
}

TEST(IniDocument, WritingChangesOnlyTheKeysWritten)
{
    IniDocument doc;
    const std::string original = "; header comment\r\n"
                                 "[UserConfig]\r\n"
                                 "URL = http://old\r\n"
                                 "CycleSetPIN=30\r\n"
                                 "\r\n"
                                 "; before next\r\n"
                                 "[Other]\r\n"
                                 "Keep=  spaced  \r\n";
    doc.parse(original);
    ASSERT_TRUE(doc.setValue("userconfig", "url", "http://new"));
    ASSERT_TRUE(doc.setValue("UserConfig", "LastDay", "20240229"));
    ASSERT_TRUE(doc.setValue("New", "A", "1"));
    EXPECT_EQ(doc.serialize(), "; header comment\r\n"
                               "[UserConfig]\r\n"
                               "URL=http://new\r\n"
                               "CycleSetPIN=30\r\n"
                               "LastDay=20240229\r\n"
                               "\r\n"
                               "; before next\r\n"
                               "[Other]\r\n"
                               "Keep=  spaced  \r\n"
                               "[New]\r\n"
                               "A=1\r\n");
    EXPECT_EQ(doc.readString("USERCONFIG", "LASTDAY", ""), "20240229");
}

TEST(IniDocument, WrittenValuesReadBackUnchanged)
{
    IniDocument doc;
    for (const std::string value : {"  lead", "trail  ", "\"quoted\"", "'q'", "", "a=b;c", "中文 值"}) {
        ASSERT_TRUE(doc.setValue("S", "k", value));
        IniDocument reread;
        reread.parse(doc.serialize());
        EXPECT_EQ(reread.readString("S", "k", "default"), value) << value;
    }
}

TEST(IniDocument, RefusesWhatCannotBeWritten)
{
    IniDocument doc;
    EXPECT_FALSE(doc.setValue("S", "k", "two\nlines"));
    EXPECT_FALSE(doc.setValue("S", "a=b", "v"));
    EXPECT_FALSE(doc.setValue("S", "", "v"));
    EXPECT_FALSE(doc.setValue("S", ";k", "v"));
    EXPECT_FALSE(doc.setValue("S]x", "k", "v"));
    EXPECT_FALSE(doc.setValue("S", " k", "v"));
    EXPECT_EQ(doc.serialize(), "");
}

TEST(IniDocument, MissingUnreadableAndOversizedFiles)
{
    TempFolder tmp;
    IniDocument doc;
    EXPECT_EQ(doc.load(tmp.file("none.ini")), IniDocument::LoadStatus::Missing);
    EXPECT_EQ(doc.load(tmp.path()), IniDocument::LoadStatus::Failed); // a folder
    const std::string huge = tmp.file("huge.ini");
    {
        std::ofstream out(huge, std::ios::binary);
        out << "[S]\nk=v\n";
        out << std::string(IniDocument::kMaxFileSize, 'x');
    }
    EXPECT_EQ(doc.load(huge), IniDocument::LoadStatus::Failed);
    EXPECT_EQ(doc.readString("S", "k", "d"), "d");
}

TEST(IniDocument, BinaryAndTruncatedInputParsesSafely)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 200; ++round) {
        std::string bytes(static_cast<std::size_t>(random() % 2048), '\0');
        for (char& c : bytes) {
            c = static_cast<char>(random());
        }
        if (round % 3 == 0) {
            bytes = "[S]\nk=v\n" + bytes;
        }
        IniDocument doc;
        doc.parse(bytes);
        (void)doc.readString("S", "k", "");
        (void)doc.sectionNames();
        IniDocument again;
        again.parse(doc.serialize()); // what was read can be written and read again
    }
    IniDocument truncated;
    truncated.parse("[S]\nk=va");
    EXPECT_EQ(truncated.readString("S", "k", ""), "va");
    IniDocument openSection;
    openSection.parse("[S\nk=1");
    EXPECT_EQ(openSection.readInteger("S", "k", 0), 1);
}

TEST(WriteProfileValues, CreatesUpdatesAndFailsSafely)
{
    TempFolder tmp;
    const std::string path = tmp.file("cfg.ini");
    ASSERT_EQ(kx::platform::writeProfileValues(path, "S", {{"a", "1"}, {"b", "2"}}), 0);
    EXPECT_EQ(readBytes(path), "[S]\na=1\nb=2\n");
    ASSERT_EQ(kx::platform::writeProfileValues(path, "S", {{"A", "3"}}), 0);
    EXPECT_EQ(readBytes(path), "[S]\na=3\nb=2\n");

    // A write that cannot happen leaves the old file whole and reports 1.
    EXPECT_EQ(kx::platform::writeProfileValues(path, "S", {{"a", "bad\nvalue"}}), 1);
    EXPECT_EQ(readBytes(path), "[S]\na=3\nb=2\n");
    EXPECT_EQ(kx::platform::writeProfileValues(tmp.file("no/such/folder/cfg.ini"), "S", {{"a", "1"}}), 1);

    // An existing file that cannot be read is never replaced.
    const std::string huge = tmp.file("huge.ini");
    writeBytes(huge, std::string(IniDocument::kMaxFileSize + 1, ';'));
    EXPECT_EQ(kx::platform::writeProfileValues(huge, "S", {{"a", "1"}}), 1);
    EXPECT_EQ(readBytes(huge).size(), IniDocument::kMaxFileSize + 1);
}

TEST(WriteProfileValues, KeepsUtf16FilesReadableAfterRewrite)
{
    TempFolder tmp;
    const std::string path = tmp.file("wide.ini");
    // "[S]\r\nk=中\r\n" in UTF-16LE with its byte order mark.
    static constexpr char kWide[] = "\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0\x2D\x4E\r\0\n\0";
    const std::string wide(kWide, sizeof kWide - 1);
    writeBytes(path, wide);
    ASSERT_EQ(kx::platform::writeProfileValues(path, "S", {{"n", "1"}}), 0);
    IniDocument doc;
    ASSERT_EQ(doc.load(path), IniDocument::LoadStatus::Loaded);
    EXPECT_EQ(doc.readString("S", "k", ""), "中");
    EXPECT_EQ(doc.readInteger("S", "n", 0), 1);
}

TEST(IniDocument, FileCutInsideACharacterTakesNewLines)
{
    // "[S]\nk=中" in UTF-8, cut off inside the last character: it reads as U+FFFD, and still does
    // once lines follow it, rather than as GB18030.
    const std::string utf8Cut("[S]\nk=\xE4\xB8", 8);
    IniDocument narrow;
    narrow.parse(utf8Cut);
    EXPECT_EQ(narrow.readString("S", "k", ""), "\xEF\xBF\xBD");
    ASSERT_TRUE(narrow.setValue("T", "m", "3"));
    IniDocument narrowReread;
    narrowReread.parse(narrow.serialize());
    EXPECT_EQ(narrowReread.readString("S", "k", ""), "\xEF\xBF\xBD");
    EXPECT_EQ(narrowReread.readString("T", "m", ""), "3");

    // "[S]\r\nk=1" in UTF-16LE, cut off after the first byte of the next character: the odd byte
    // would shift every later character, so it goes when lines follow.
    const std::string cut("\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0"
                          "1\0\x41",
                          19);
    IniDocument doc;
    doc.parse(cut);
    EXPECT_EQ(doc.serialize(), cut);
    ASSERT_TRUE(doc.setValue("S", "n", "2"));
    ASSERT_TRUE(doc.setValue("T", "m", "3"));
    IniDocument reread;
    reread.parse(doc.serialize());
    EXPECT_EQ(reread.readString("S", "k", ""), "1");
    EXPECT_EQ(reread.readString("S", "n", ""), "2");
    EXPECT_EQ(reread.readString("T", "m", ""), "3");
}

TEST(IniDocument, RulesOfFilesFromWindowsInstallations)
{
    IniDocument doc;
    // Line ends of old Macintosh editors: CR only.
    doc.parse("[APPFlag]\rRegCertMode=2\rPID=49155\r");
    EXPECT_EQ(doc.readInteger("APPFlag", "RegCertMode", 0), 2);
    EXPECT_EQ(doc.readString("APPFlag", "PID", ""), "49155");

    // Every Unicode blank around names and values goes, blanks inside quotation marks stay; a
    // value ends at its first NUL.
    using namespace std::string_literals;
    doc.parse("\xE3\x80\x80[\vSec\f]\n"
              "\xE3\x80\x80name\xC2\xA0=\v\f value\xE3\x80\x80\xE2\x80\x83\r\n"
              "quoted=\"\xE3\x80\x80kept\"\n"
              "RegCertMode=2\0"
              "3\n"s);
    EXPECT_EQ(doc.readString("sec", "name", "d"), "value");
    EXPECT_EQ(doc.readString("Sec", "quoted", "d"), "\xE3\x80\x80kept");
    EXPECT_EQ(doc.readInteger("Sec", "RegCertMode", 0), 2);

    // Names compare without case in every script, the final sigma meeting the other one.
    doc.parse("[Ärger Σοφός]\nЖУК=1\n");
    EXPECT_EQ(doc.readInteger("ärger ΣΟΦΌΣ", "жук", 0), 1);
    ASSERT_TRUE(doc.setValue("ÄRGER σοφός", "Жук", "2"));
    EXPECT_EQ(doc.serialize(), "[Ärger Σοφός]\nЖУК=2\n");
}

TEST(IniDocument, RewriteKeepsTheBytesOfEveryOtherLine)
{
    IniDocument doc;
    // A stray CR, a Chinese value from a GB18030 installation, no line end at the end.
    const std::string original = "\xEF\xBB\xBF[S]\r\nk=v\r\r\nold=\xD6\xD0\xCE\xC4\r\nlast=1";
    doc.parse(original);
    EXPECT_EQ(doc.readString("S", "old", ""), "中文");
    for (const char* value : {"1", "2"}) {
        ASSERT_TRUE(doc.setValue("S", "new", value));
        IniDocument again;
        again.parse(doc.serialize());
        doc = again;
    }
    EXPECT_EQ(doc.serialize(), original + "\r\nnew=2\r\n");

    // UTF-16 files stay UTF-16, byte order mark and all.
    const std::string wide("\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0\x2D\x4E", 18);
    doc.parse(wide);
    ASSERT_TRUE(doc.setValue("S", "k", "文"));
    EXPECT_EQ(doc.serialize(), std::string("\xFF\xFE[\0S\0]\0\r\0\n\0k\0=\0\x87\x65", 18));
}
