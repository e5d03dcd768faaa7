// SPDX-License-Identifier: Apache-2.0
#include "platform/FileUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kx::platform;

TEST(FileUtil, AtomicWriteKeepsModeAndLeavesNoTemporaryFiles)
{
    char name[] = "/tmp/kx-file-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    const std::string path = folder + "/f.txt";
    ASSERT_TRUE(writeFileAtomic(path, "one", 0600));
    struct stat st
    {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::chmod(path.c_str(), 0640);
    ASSERT_TRUE(writeFileAtomic(path, "two"));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::string content;
    ASSERT_EQ(readWholeFile(path, content, 100), ReadStatus::Ok);
    EXPECT_EQ(content, "two");
    EXPECT_EQ(readWholeFile(path, content, 2), ReadStatus::TooLarge);
    EXPECT_EQ(readWholeFile(folder + "/none", content, 100), ReadStatus::Missing);

    // A target that is a folder cannot be replaced: the write fails and cleans up after itself.
    const std::string sub = folder + "/sub";
    ASSERT_TRUE(makePath(sub + "/deeper"));
    EXPECT_FALSE(writeFileAtomic(sub, "x"));
    EXPECT_EQ(std::system(("test $(ls -A '" + folder + "' | wc -l) -eq 2").c_str()), 0);
    std::system(("rm -rf '" + folder + "'").c_str());
}

TEST(FileUtil, LockSerialisesReadModifyWriteAcrossProcesses)
{
    char name[] = "/tmp/kx-lock-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    const std::string path = folder + "/counter";
    ASSERT_TRUE(writeFileAtomic(path, "0"));
    constexpr int kRounds = 200;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    for (int i = 0; i < kRounds; ++i) {
        const FileLock lock(lockPathFor(path));
        std::string text;
        readWholeFile(path, text, 100);
        writeFileAtomic(path, std::to_string(std::stoi(text) + 1));
    }
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    std::string text;
    ASSERT_EQ(readWholeFile(path, text, 100), ReadStatus::Ok);
    EXPECT_EQ(text, std::to_string(2 * kRounds));
    std::system(("rm -rf '" + folder + "'").c_str());
}
