// SPDX-License-Identifier: Apache-2.0
#include "platform/FileUtil.h"

#include "WriteLimits.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

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
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
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
        const FileLock lock(folder);
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
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

namespace {

std::string readText(const std::string& path)
{
    std::string content;
    readWholeFile(path, content, 1 << 20);
    return content;
}

std::string listing(const std::string& folder)
{
    std::string names;
    if (FILE* ls = ::popen(("ls -A '" + folder + "'").c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, ls)) {
            names += line;
        }
        ::pclose(ls);
    }
    return names;
}

void makeOld(const std::string& path)
{
    const utimbuf hourAgo{std::time(nullptr) - 3600, std::time(nullptr) - 3600};
    ::utime(path.c_str(), &hourAgo);
}

} // namespace

TEST(FileUtil, WritesThroughSymbolicLinksToTheirTarget)
{
    char name[] = "/tmp/kx-link-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    ASSERT_TRUE(makePath(folder + "/real") && makePath(folder + "/cfg"));
    const std::string target = folder + "/real/UserConfig.ini";
    ASSERT_TRUE(writeFileAtomic(target, "old", 0640));
    // A relative link to a second link, which points at the file by its full path.
    ASSERT_EQ(::symlink(target.c_str(), (folder + "/real/current").c_str()), 0);
    ASSERT_EQ(::symlink("../real/current", (folder + "/cfg/UserConfig.ini").c_str()), 0);
    EXPECT_EQ(resolveWriteTarget(folder + "/cfg/UserConfig.ini"), target);

    ASSERT_TRUE(writeFileAtomic(folder + "/cfg/UserConfig.ini", "new"));
    struct stat st
    {};
    ASSERT_EQ(::lstat((folder + "/cfg/UserConfig.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readText(target), "new");
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(listing(folder + "/cfg"), "UserConfig.ini\n");
    EXPECT_EQ(listing(folder + "/real"), "UserConfig.ini\ncurrent\n");

    // A link whose target does not exist yet creates it; a loop of links is replaced by a file.
    ASSERT_EQ(::symlink("later.ini", (folder + "/cfg/dangling").c_str()), 0);
    ASSERT_TRUE(writeFileAtomic(folder + "/cfg/dangling", "made"));
    EXPECT_EQ(readText(folder + "/cfg/later.ini"), "made");
    ASSERT_EQ(::symlink("loop", (folder + "/cfg/loop").c_str()), 0);
    EXPECT_TRUE(writeFileAtomic(folder + "/cfg/loop", "x"));
    EXPECT_EQ(readText(folder + "/cfg/loop"), "x");
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

TEST(FileUtil, RemovesOnlyStaleTemporariesOfItsOwnTarget)
{
    char name[] = "/tmp/kx-stale-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    const auto make = [&](const std::string& file, bool old) {
        std::FILE* out = std::fopen((folder + "/" + file).c_str(), "w");
        std::fputs("half", out);
        std::fclose(out);
        if (old) {
            makeOld(folder + "/" + file);
        }
    };
    make("f.ini.tmp.Ab12Cd", true);  // left by a writer that was killed: removed
    make("f.ini.tmp.Fresh1", false); // just created by a writer that has not locked it yet
    make("f.ini.tmp.Held12", true);  // a writer is still at it
    make("g.ini.tmp.Other1", true);  // another file's
    make("f.ini.tmp.Long123", true); // not the pattern of our writer
    make("f.ini.bak", true);
    const int held = ::open((folder + "/f.ini.tmp.Held12").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    ASSERT_TRUE(writeFileAtomic(folder + "/f.ini", "whole"));
    EXPECT_EQ(listing(folder), "f.ini\nf.ini.bak\nf.ini.tmp.Fresh1\nf.ini.tmp.Held12\nf.ini.tmp.Long123\n"
                               "g.ini.tmp.Other1\n");
    ::close(held);
    removeStaleTemporaries(folder, [](std::string_view target) { return target == "g.ini"; });
    EXPECT_EQ(listing(folder).find("g.ini.tmp"), std::string::npos);
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}

TEST(FileUtil, FailedWriteTellsWhyAndKeepsTheOldFile)
{
    char name[] = "/tmp/kx-full-XXXXXX";
    const std::string folder = ::mkdtemp(name);
    ASSERT_TRUE(writeFileAtomic(folder + "/f", "old"));
    {
        const kx::test::FileSizeLimit full(16);
        errno = 0;
        EXPECT_FALSE(writeFileAtomic(folder + "/f", std::string(100, 'x')));
        EXPECT_EQ(errno, EFBIG);
    }
    EXPECT_EQ(readText(folder + "/f"), "old");
    EXPECT_EQ(listing(folder), "f\n");
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
}
