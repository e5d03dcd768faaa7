// SPDX-License-Identifier: Apache-2.0
#pragma once

// A TPM token for tests: a software TPM (swtpm) on free 127.0.0.1 ports, a private D-Bus session
// bus, the TPM resource manager (tpm2-abrmd) on it, and a tpm2-pkcs11 store with one token, all in
// a temporary folder of the test process. start() sets the environment the tpm2-pkcs11 module
// reads (TPM2_PKCS11_STORE, TPM2_PKCS11_TCTI, ...), so a module loaded afterwards in this process
// finds the token. Every process is a child of the test process that dies with it (even when the
// test crashes); the destructor stops them and removes the folder.
//
// Plain C++ without a test framework, for GoogleTest and QtTest suites alike: start() says what
// failed, missingTools() what is not installed, and the suite skips with that reason.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace kx::test {

class TpmToken
{
public:
    static constexpr const char* kModule = "/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so";

    struct Options
    {
        std::string label = "tpmkey";
        std::string userPin = "12345678";
        std::string soPin = "87654321";
    };

    TpmToken() = default;
    ~TpmToken() { shutdown(); }
    TpmToken(const TpmToken&) = delete;
    TpmToken& operator=(const TpmToken&) = delete;

    // The programs and the module this needs that are not installed, by name; empty when all are.
    static std::string missingTools()
    {
        std::string missing;
        for (const char* tool :
             {"swtpm", "dbus-daemon", "tpm2-abrmd", "tpm2_ptool", "tpm2_dictionarylockout", "tpm2_getrandom"})
            if (!inPath(tool))
                missing += std::string(missing.empty() ? "" : ", ") + tool;
        if (!std::filesystem::exists(kModule))
            missing += std::string(missing.empty() ? "" : ", ") + kModule;
        return missing;
    }

    // Starts everything and adds the token; false with `error` set when a step fails.
    bool start(const Options& options, std::string& error)
    {
        char dir[] = "/tmp/kx-tpm-XXXXXX";
        if (!mkdtemp(dir)) {
            error = "cannot make a temporary folder";
            return false;
        }
        m_dir = dir;
        std::filesystem::create_directory(m_dir + "/state");
        std::filesystem::create_directory(m_dir + "/store");
        if (!freePorts()) {
            error = "no free TCP port on 127.0.0.1";
            return false;
        }
        if (!startTpm()) {
            error = "swtpm did not start (see " + m_dir + "/swtpm.log)";
            return false;
        }
        // A bus of our own, so that the resource manager's name meets no other on the machine.
        const std::string bus = m_dir + "/bus";
        m_dbus = spawn({"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus}, "dbus.log");
        if (!waitFor([&] { return connects(bus); })) {
            error = "dbus-daemon did not start (see " + m_dir + "/dbus.log)";
            return false;
        }
        const std::string name = "com.intel.tss2.Tabrmd.kx" + std::to_string(getpid());
        const std::string tcti = "tabrmd:bus_type=session,bus_name=" + name;
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + bus).c_str(), 1);
        setenv("TPM2TOOLS_TCTI", tcti.c_str(), 1);
        setenv("TPM2_PKCS11_TCTI", tcti.c_str(), 1);
        setenv("TPM2_PKCS11_STORE", (m_dir + "/store").c_str(), 1);
        // The TPM stack reports every refused login and every unreachable TPM on stderr.
        setenv("TSS2_LOG", "all+NONE", 1);
        setenv("TPM2_PKCS11_LOG_LEVEL", "0", 1);
        std::vector<std::string> abrmd = {"tpm2-abrmd", "--session", "--flush-all", "--dbus-name=" + name,
                                          "--tcti=swtpm:host=127.0.0.1,port=" + std::to_string(m_port)};
        if (geteuid() == 0)
            abrmd.insert(abrmd.begin() + 1, "--allow-root");
        m_abrmd = spawn(abrmd, "abrmd.log");
        if (!waitFor([&] { return run({"tpm2_getrandom", "1"}); })) {
            error = "tpm2-abrmd did not start (see " + m_dir + "/abrmd.log)";
            return false;
        }
        const std::string store = "--path=" + m_dir + "/store";
        if (!run({"tpm2_ptool", "init", store}) ||
            !run({"tpm2_ptool", "addtoken", "--pid=1", "--sopin=" + options.soPin, "--userpin=" + options.userPin,
                  "--label=" + options.label, store})) {
            error = "tpm2_ptool could not make the token (see " + m_dir + "/tools.log)";
            return false;
        }
        return true;
    }

    // Adds another token to the store, as a user does with tpm2_ptool while the programs run.
    bool addToken(const Options& options)
    {
        return run({"tpm2_ptool", "addtoken", "--pid=1", "--sopin=" + options.soPin, "--userpin=" + options.userPin,
                    "--label=" + options.label, "--path=" + m_dir + "/store"});
    }

    // Stops the TPM as if its device went away; the resource manager and the store stay.
    void stopTpm() { stop(m_swtpm); }
    // Starts the TPM again on the same state: the token is as it was.
    bool startTpm()
    {
        const std::string port = std::to_string(m_port), ctrl = std::to_string(m_port + 1);
        m_swtpm = spawn({"swtpm", "socket", "--tpm2", "--tpmstate", "dir=" + m_dir + "/state", "--server",
                         "type=tcp,port=" + port + ",bindaddr=127.0.0.1", "--ctrl",
                         "type=tcp,port=" + ctrl + ",bindaddr=127.0.0.1", "--flags", "not-need-init,startup-clear"},
                        "swtpm.log");
        return waitFor([&] { return connects(m_port); });
    }

    // The TPM's dictionary-attack protection: `maxTries` wrong authorisations lock everything on
    // the TPM out for `recoverySeconds`.
    bool setDictionaryAttack(int maxTries, int recoverySeconds)
    {
        const std::string seconds = std::to_string(recoverySeconds);
        return run({"tpm2_dictionarylockout", "--setup-parameters", "--max-tries=" + std::to_string(maxTries),
                    "--recovery-time=" + seconds, "--lockout-recovery-time=" + seconds});
    }
    // Ends a dictionary-attack lockout and resets the count of wrong authorisations.
    bool clearLockout() { return run({"tpm2_dictionarylockout", "--clear-lockout"}); }

    const std::string& folder() const { return m_dir; }

private:
    static bool inPath(const std::string& tool)
    {
        const char* path = std::getenv("PATH");
        std::string dirs = path ? path : "/usr/bin:/bin";
        for (size_t start = 0; start <= dirs.size();) {
            const size_t end = std::min(dirs.find(':', start), dirs.size());
            if (access((dirs.substr(start, end - start) + "/" + tool).c_str(), X_OK) == 0)
                return true;
            start = end + 1;
        }
        return false;
    }

    template <class Ready>
    static bool waitFor(Ready ready)
    {
        for (int i = 0; i < 100; ++i) {
            if (ready())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    // Two neighbouring free ports for the TPM's command and control sockets.
    bool freePorts()
    {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const int port = boundPort(0);
            if (port > 0 && port < 65535 && boundPort(port + 1) == port + 1) {
                m_port = port;
                return true;
            }
        }
        return false;
    }
    // Binds a socket to the port (0: any) and closes it again; the port it had, or -1.
    static int boundPort(int port)
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        const bool ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
        if (fd >= 0)
            close(fd);
        return ok ? ntohs(a.sin_port) : -1;
    }
    static bool connects(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connected(AF_INET, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    static bool connects(const std::string& socketPath)
    {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        if (socketPath.size() >= sizeof a.sun_path)
            return false;
        socketPath.copy(a.sun_path, socketPath.size());
        return connected(AF_UNIX, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    static bool connected(int family, const sockaddr* a, socklen_t len)
    {
        const int fd = socket(family, SOCK_STREAM, 0);
        const bool ok = fd >= 0 && connect(fd, a, len) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }

    // Starts a program whose output goes to `log` in the folder; it dies with this process.
    pid_t spawn(const std::vector<std::string>& args, const std::string& log) const
    {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const std::string logPath = m_dir + "/" + log;
        const pid_t parent = getpid();
        const pid_t pid = fork();
        if (pid != 0)
            return pid;
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        const int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    // Runs a program to its end; true when it succeeded.
    bool run(const std::vector<std::string>& args) const
    {
        const pid_t pid = spawn(args, "tools.log");
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    static void stop(pid_t& pid)
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (waitpid(pid, &status, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
    }
    void shutdown()
    {
        stop(m_abrmd);
        stop(m_swtpm);
        stop(m_dbus);
        if (!m_dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_dir, ignored);
            m_dir.clear();
        }
    }

    std::string m_dir;
    int m_port = 0;
    pid_t m_swtpm = -1;
    pid_t m_dbus = -1;
    pid_t m_abrmd = -1;
};

} // namespace kx::test
