// SPDX-License-Identifier: Apache-2.0
// After a PKCS#12 import the library keeps neither the file's password nor the private key: a
// live core of a process that has just imported holds neither.
#include "DrevmorTestSupport.h"
#include "drevmor.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/rand.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

extern char** environ;

using namespace drevmor_test;

namespace {

// A running program with a pipe to its standard input and one from its standard output.
class Child
{
public:
    explicit Child(const std::vector<std::string>& argv)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        if (posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
    }
    ~Child()
    {
        closeInput();
        if (m_out >= 0)
            close(m_out);
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }
    bool send(const std::string& text) { return write(m_in, text.data(), text.size()) == ssize_t(text.size()); }
    std::string readLine()
    {
        std::string line;
        char c = 0;
        while (read(m_out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void closeInput()
    {
        if (m_in >= 0)
            close(m_in);
        m_in = -1;
    }
    // The exit code once standard input is closed.
    int finish()
    {
        closeInput();
        int status = 0;
        const pid_t pid = m_pid;
        m_pid = -1;
        if (pid <= 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

bool contains(const Bytes& haystack, const Bytes& needle)
{
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

Bytes textBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

std::string randomHex(size_t bytes)
{
    Bytes raw(bytes);
    RAND_bytes(raw.data(), static_cast<int>(raw.size()));
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : raw) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// The leading `count` bytes of a private number of the key as it lies in an OpenSSL BIGNUM in
// memory: least significant byte first (64-bit limbs on a little-endian machine). The key's
// PKCS#11 object keeps it most significant byte first, so only an OpenSSL copy matches.
Bytes inMemoryForm(EVP_PKEY* key, const char* param, size_t count)
{
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(key, param, &bn))
        return {};
    Bytes big(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, big.data());
    BN_clear_free(bn);
    std::reverse(big.begin(), big.end());
    big.resize(std::min(count, big.size()));
    return big;
}

TEST(SecretsAfterImport, TheLibraryKeepsNeitherPasswordNorPrivateKey)
{
    if (std::string(DREVMOR_KEYSIM_MODULE).empty() || std::string(DREVMOR_GCORE).empty())
        GTEST_SKIP() << "needs keysim and gcore";
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "a core of a program built with AddressSanitizer holds its shadow memory: terabytes";
#endif
    TempDir dir;
    setenv("KX2700_KEYSIM_DIR", dir.file("keysim").c_str(), 1);
    ASSERT_EQ(0, run({DREVMOR_KEYSIM_TOOL, "--dir", dir.file("keysim"), "create", "--serial", "KXSECRET", "--pin",
                      "12345678"}));

    // A fresh key and password for this run, so that nothing else in the process can hold them.
    const Key key = rsaKey(2048);
    const Pki& p = pki();
    const Cert cert = makeCert({{{"CN", "Secret Holder"}}, false, 5, 365}, key.get(), p.ca.get(), p.caKey.get());
    const std::string password = "pfx-" + randomHex(16);
    const std::string control = "control-" + randomHex(16);
    const std::string file = dir.file("holder.pfx");
    writeFile(file, pkcs12(key.get(), cert.get(), {p.ca.get()}, password.c_str()));
    const Bytes exponent = inMemoryForm(key.get(), "d", 64);
    const Bytes prime = inMemoryForm(key.get(), "rsa-factor1", 64);
    ASSERT_EQ(64u, exponent.size());
    ASSERT_EQ(64u, prime.size());

    Child holder({DREVMOR_SECRET_HOLDER, DREVMOR_KEYSIM_MODULE, file, "holder"});
    ASSERT_GT(holder.pid(), 0);
    ASSERT_TRUE(holder.send("12345678\n" + password + "\n" + control + "\n"));
    ASSERT_EQ("ready 0 0 0 0", holder.readLine());

    const std::string corePrefix = dir.file("core");
    std::string output;
    ASSERT_EQ(0, run({DREVMOR_GCORE, "-o", corePrefix, std::to_string(holder.pid())}, &output)) << output;
    const Bytes core = readFile(corePrefix + "." + std::to_string(holder.pid()));
    ASSERT_FALSE(core.empty()) << output;
    EXPECT_EQ(0, holder.finish());

    EXPECT_TRUE(contains(core, textBytes(control))); // the search finds what the process holds
    EXPECT_FALSE(contains(core, textBytes(password)));
    EXPECT_FALSE(contains(core, exponent));
    EXPECT_FALSE(contains(core, prime));
}

} // namespace
