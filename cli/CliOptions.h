// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace kx::cli {

// A command line that cannot be used: the message says what is wrong with it.
struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Where a PIN or password comes from: the terminal (asked without echo), a file descriptor, the
// first line of a file, or an environment variable the user named. Never the command line.
struct SecretOrigin
{
    enum class Kind
    {
        Terminal,
        Fd,
        File,
        Env,
    };
    Kind kind = Kind::Terminal;
    int fd = -1;
    QString path;
    QByteArray envName;
};

// The command and options of one run of kx2700.
struct CliOptions
{
    enum class Command
    {
        Help,
        Version,
        List,
        Info,
        Certs,
        Export,
        Delete,
        Rename,
        ChangePin,
        Import,
        Register,
        Unregister,
        Generate,
        Request,
        UnlockRequest,
        UnlockResponse,
        FingerList,
        FingerTest,
    };
    Command command = Command::Help;
    QString commandName;
    // --key SERIAL
    std::optional<QString> key;
    bool json = false;
    // export, delete: the container's name exactly as given (8-bit, as the key holds it).
    QByteArray container;
    // export: 1 exchange, 2 signature; delete: 0 the whole container unless --pair.
    int keySpec = 0;
    bool pem = false;
    // export: the certificate with the key's certificates that issued it (PEM).
    bool chain = false;
    std::optional<QString> output;
    bool yes = false;
    // rename
    QString label;
    SecretOrigin pin;
    // import: the file, and the password of a PKCS#12 file. The container is `container` (empty:
    // one named after the file) and the pair `keySpec` (exchange unless --pair).
    QString file;
    SecretOrigin password;
    // generate, request: the key pair (`keySpec`, signature unless --pair), the container
    // (`container`: generate's new or existing one, empty for a new one of a random name), the
    // key-pair kind (empty: the first the key offers) and the request's subject.
    QString algorithm;
    QString commonName;
    QString organization;
    QString unit;
    QString country;
    QString email;
    // unlock-response: the unlock code as given.
    QString unlockCode;
};

// Whether the command works through the key's SKF application (remote unlock, fingerprints).
bool UsesSkf(CliOptions::Command command);

// Reads the arguments after the program's name; throws UsageError for anything it cannot use.
CliOptions ParseCliOptions(std::span<const std::string> args);

// The usage text of --help.
const char* CliUsage();

} // namespace kx::cli
