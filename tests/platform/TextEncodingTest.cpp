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
