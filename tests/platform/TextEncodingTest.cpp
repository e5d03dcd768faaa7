// SPDX-License-Identifier: Apache-2.0
#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

using kx::platform::decodeTextFile;
using kx::platform::TextEncoding;

TEST(TextEncoding, DetectsEachEncoding)
{
    TextEncoding e{};
    EXPECT_EQ(decodeTextFile(std::string("\xFF\xFEk\0=\0\x2D\x4E\x87\x65", 10), &e), "k=中文");
    EXPECT_EQ(e, TextEncoding::Utf16LE);
    EXPECT_EQ(decodeTextFile(std::string("\xFE\xFF\0k\0=\x4E\x2D", 8), &e), "k=中");
    EXPECT_EQ(e, TextEncoding::Utf16BE);
    EXPECT_EQ(decodeTextFile("\xEF\xBB\xBFk=\xE4\xB8\xAD", &e), "k=中");
    EXPECT_EQ(e, TextEncoding::Utf8);
    EXPECT_EQ(decodeTextFile("k=\xE4\xB8\xAD", &e), "k=中");
    EXPECT_EQ(e, TextEncoding::Utf8);
    // "中文" in GB18030, as Chinese Windows installations write it.
    EXPECT_EQ(decodeTextFile("k=\xD6\xD0\xCE\xC4", &e), "k=中文");
    EXPECT_EQ(e, TextEncoding::Gb18030);
}

TEST(TextEncoding, BrokenInputBecomesReplacementCharacters)
{
    // A lone high surrogate and an odd trailing byte in UTF-16.
    EXPECT_EQ(decodeTextFile(std::string("\xFF\xFE\x00\xD8k\0X", 7)), "\xEF\xBF\xBDk");
    // Broken UTF-8 behind a UTF-8 byte order mark keeps what decodes.
    EXPECT_EQ(decodeTextFile("\xEF\xBB\xBF"
                             "a\xC3(b"),
              "a\xEF\xBF\xBD(b");
    // A truncated GB18030 sequence at the end.
    EXPECT_EQ(decodeTextFile("\xD6\xD0\xCE"), "中\xEF\xBF\xBD");
    // Overlong UTF-8 and encoded surrogates are not UTF-8.
    EXPECT_FALSE(kx::platform::isValidUtf8("\xC0\xAF"));
    EXPECT_FALSE(kx::platform::isValidUtf8("\xED\xA0\x80"));
    EXPECT_TRUE(kx::platform::isValidUtf8("\xF0\x9F\x98\x80"));
}

TEST(TextEncoding, DecidesEachLineOnItsOwn)
{
    TextEncoding e{};
    // One value pasted from a GBK file into a UTF-8 file, and the last character cut in half.
    EXPECT_EQ(decodeTextFile("a=中\r\nb=\xD6\xD0\xCE\xC4\rc=文\nd=\xE4\xB8", &e),
              "a=中\r\nb=中文\rc=文\nd=\xEF\xBF\xBD");
    EXPECT_EQ(e, TextEncoding::Gb18030);
    // Lines end at CR, LF and CR LF alike, and the stored bytes come back whole.
    const auto file = kx::platform::TextFile::read("x\ry\r\r\nz");
    ASSERT_EQ(file.lines().size(), 4u);
    EXPECT_EQ(file.lines()[1].ending, "\r");
    EXPECT_EQ(file.lines()[2].text, "");
    EXPECT_EQ(file.lines()[2].ending, "\r\n");
    EXPECT_EQ(file.bytes(), "x\ry\r\r\nz");
}

TEST(TextEncoding, EscapedBytesComeBackAndAreCleanUtf8)
{
    std::string every;
    for (int b = 0; b < 256; ++b) {
        every.push_back(static_cast<char>(b));
    }
    for (const std::string& bytes : {every, std::string("中\\x41\\\\\xE4\xB8\xC8\xDD")}) {
        const std::string escaped = kx::platform::escapeBytes(bytes);
        EXPECT_TRUE(kx::platform::isValidUtf8(escaped));
        EXPECT_EQ(escaped.find_first_of(std::string("\r\n\t\0", 4)), std::string::npos);
        EXPECT_EQ(kx::platform::unescapeBytes(escaped), bytes);
    }
    EXPECT_EQ(kx::platform::escapeBytes("容器 one"), "容器 one"); // plain names stay readable
    EXPECT_EQ(kx::platform::unescapeBytes("\\q\\x4"), "\\q\\x4"); // not an escape of ours
}
