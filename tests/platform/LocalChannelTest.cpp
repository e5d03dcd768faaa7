// SPDX-License-Identifier: Apache-2.0
// Another user on the local channels: the folder of the channels and the sockets in it refuse
// anyone but the user who runs the programs. Switching users needs root; without it the cases
// that need a second user are skipped.
#include "platform/LocalChannel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kx::platform;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;

class TempRuntime
{
public:
    TempRuntime()
    {
        char name[] = "/tmp/kx-runtime-XXXXXX";
        m_folder = ::mkdtemp(name);
        ::chmod(m_folder.c_str(), 0711); // others may pass through, as through /run/user or /tmp
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            m_old = old;
        ::setenv("XDG_RUNTIME_DIR", m_folder.c_str(), 1);
    }
    ~TempRuntime()
    {
        if (m_old.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    const std::string& folder() const { return m_folder; }

private:
    std::string m_folder;
    std::string m_old;
};

// Runs `action` in a child process as the user "nobody" and returns its exit code.
int runAsNobody(const std::function<int()>& action)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(255);
        ::_exit(action());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(LocalChannel, FolderOfAnotherUserOrOpenToOthersIsRefused)
{
    const TempRuntime runtime;
    const std::string folder = runtime.folder() + "/kx2700";

    // Made when missing, private to the user.
    EXPECT_EQ(channelFolder(), folder);
    struct stat st
    {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Others may list or enter it: someone could have placed sockets in it.
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(channelFolder(), "");
    ::chmod(folder.c_str(), 0701);
    EXPECT_EQ(channelFolder(), "");
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(channelFolder(), folder);

    // A link in its place leads somewhere the user does not choose, even to a private folder.
    const std::string target = runtime.folder() + "/elsewhere";
    ASSERT_EQ(::rename(folder.c_str(), target.c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), folder.c_str()), 0);
    EXPECT_EQ(channelFolder(), "");
    ASSERT_EQ(::unlink(folder.c_str()), 0);

    // A file in its place is no folder.
    ASSERT_EQ(::close(::open(folder.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    EXPECT_EQ(channelFolder(), "");
    ASSERT_EQ(::unlink(folder.c_str()), 0);

    if (::geteuid() != 0)
        GTEST_SKIP() << "a folder of another user needs root to make";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(channelFolder(), "");
}

TEST(LocalChannel, FramesOfAnotherUserAreRefusedUnanswered)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second user needs root";
    const TempRuntime runtime;
    // A socket others could reach, as if the folder had been left open: only the peer's own
    // credentials stand between a stranger and the programs.
    const std::string path = runtime.folder() + "/open.sock";
    ChannelListener listener(path);
    ASSERT_TRUE(listener.listening());
    ASSERT_EQ(::chmod(path.c_str(), 0777), 0);

    const pid_t stranger = ::fork();
    if (stranger == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(255);
        // 0: the frame was acknowledged (the fault); 1: refused.
        ::_exit(sendFrame(path, 'T', "CLOSE", 3s) ? 0 : 1);
    }
    // The stranger's connection is taken and closed without a frame being handed over.
    int refused = 0;
    for (int round = 0; round < 50 && refused == 0; ++round) {
        pollfd p{listener.fd(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            EXPECT_EQ(listener.accept(), nullptr);
            ++refused;
        }
    }
    int status = 0;
    ::waitpid(stranger, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the stranger's frame was acknowledged";
    EXPECT_EQ(refused, 1);

    // The user's own frames still go through.
    const pid_t own = ::fork();
    if (own == 0)
        ::_exit(sendFrame(path, 'T', "LoadCert", 3s) ? 0 : 1);
    std::unique_ptr<ChannelConnection> connection;
    for (int round = 0; round < 50 && !connection; ++round) {
        pollfd p{listener.fd(), POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            connection = listener.accept();
    }
    ASSERT_NE(connection, nullptr);
    for (int round = 0; round < 50 && connection->readAvailable() == ChannelConnection::Progress::Incomplete; ++round) {
        pollfd p{connection->fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
    }
    EXPECT_EQ(connection->frame().payload, "LoadCert");
    connection->acknowledge();
    ::waitpid(own, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LocalChannel, StrangersCannotReachTheUsersFolder)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second user needs root";
    const TempRuntime runtime;
    const std::string folder = channelFolder();
    ASSERT_FALSE(folder.empty());
    ChannelListener listener(folder + "/KX2700Mon");
    ASSERT_TRUE(listener.listening());
    // Root may pass any folder; "nobody" may not pass the private one, so it cannot connect.
    EXPECT_EQ(runAsNobody([&] { return sendFrame(folder + "/KX2700Mon", 'T', "CLOSE", 1s) ? 0 : 1; }), 1);
    pollfd p{listener.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "a connection reached the socket";
}
