// SPDX-License-Identifier: Apache-2.0
#include "CliOptions.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

namespace kx::cli {

namespace {

const char* const kUsage =
    "usage: kx2700 [OPTIONS] COMMAND [ARGUMENTS]\n"
    "commands:\n"
    "  list                          the keys: serial, label, PIN state, tries left\n"
    "  info                          the information of one key\n"
    "  certs                         the key's containers and their certificates\n"
    "  export CONTAINER exchange|signature [--pem | --chain] [-o FILE]\n"
    "                                a certificate, DER unless --pem (to standard output without -o);\n"
    "                                --chain: PEM with the key's certificates that issued it\n"
    "  delete CONTAINER [--pair exchange|signature] [--yes]\n"
    "                                a container, or the certificate of one of its key pairs (PIN)\n"
    "  rename LABEL                  a new label for the key\n"
    "  change-pin                    the user PIN: the current one, then the new one twice\n"
    "  import FILE [--container NAME] [--pair exchange|signature]\n"
    "                                a PKCS#12 (.p12, .pfx), PKCS#7 (.p7b, .p7c) or X.509 file (PIN;\n"
    "                                the password of a PKCS#12 file as for the PIN, --password-*)\n"
    "  register | unregister         the key's certificates into or out of your certificate store\n"
    "  generate --cn NAME [--o ORG] [--ou UNIT] [--c CC] [--email ADDRESS] [--container NAME]\n"
    "           [--pair exchange|signature] [--algorithm rsa2048|rsa3072|rsa4096|p256|p384|sm2]\n"
    "           [--pem] [-o FILE]        a new key pair on the key and its certificate request (PIN;\n"
    "                                signature pair, first algorithm the key offers, new container)\n"
    "  request CONTAINER --cn NAME [--o ...] [--pair exchange|signature] [--pem] [-o FILE]\n"
    "                                a new certificate request for a key pair that has its keys (PIN)\n"
    "  unlock-request                the request code of a locked key for the administrator\n"
    "  unlock-response CODE          unblocks the key with the administrator's unlock code: the initial\n"
    "                                PIN, then the new one (--pin-*: one a line)\n"
    "  finger list                   the fingers enrolled on a key with a fingerprint sensor\n"
    "  finger test                   waits for a finger on the sensor and names the one recognised\n"
    "options:\n"
    "  --key SERIAL                  the key to use (needed when more than one is plugged)\n"
    "  --json                        machine-readable output (see kx2700(1))\n"
    "  --pin-fd N | --pin-file PATH | --pin-env NAME\n"
    "                                read the PIN from a descriptor, the first line of a file or a\n"
    "                                variable instead of the terminal (change-pin: the current PIN\n"
    "                                on the first line, the new one on the second; unlock-response:\n"
    "                                the initial PIN, then the new one)\n"
    "  --password-fd N | --password-file PATH | --password-env NAME\n"
    "                                the same for the password of a PKCS#12 file\n"
    "  --help, --version\n"
    "exit codes: 0 done, 1 refused or declined, 2 bad input, 3 no key, 4 wrong PIN, 5 PIN locked,\n"
    "  6 device error\n";

struct CommandName
{
    std::string_view name;
    CliOptions::Command command;
    std::size_t arguments;
};

constexpr std::array kCommands{
    CommandName{"list", CliOptions::Command::List, 0},
    CommandName{"info", CliOptions::Command::Info, 0},
    CommandName{"certs", CliOptions::Command::Certs, 0},
    CommandName{"export", CliOptions::Command::Export, 2},
    CommandName{"delete", CliOptions::Command::Delete, 1},
    CommandName{"rename", CliOptions::Command::Rename, 1},
    CommandName{"change-pin", CliOptions::Command::ChangePin, 0},
    CommandName{"import", CliOptions::Command::Import, 1},
    CommandName{"register", CliOptions::Command::Register, 0},
    CommandName{"unregister", CliOptions::Command::Unregister, 0},
    CommandName{"generate", CliOptions::Command::Generate, 0},
    CommandName{"request", CliOptions::Command::Request, 1},
    CommandName{"unlock-request", CliOptions::Command::UnlockRequest, 0},
    CommandName{"unlock-response", CliOptions::Command::UnlockResponse, 1},
    CommandName{"finger", CliOptions::Command::FingerList, 1},
};

int keySpecOf(std::string_view pair)
{
    if (pair == "exchange") {
        return 1;
    }
    if (pair == "signature") {
        return 2;
    }
    throw UsageError("a key pair is 'exchange' or 'signature', not '" + std::string(pair) + "'");
}

int fdOf(const std::string& option, const std::string& text)
{
    int fd = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
    if (error != std::errc() || end != text.data() + text.size() || fd < 0) {
        throw UsageError(option + " takes a file descriptor number, not '" + text + "'");
    }
    return fd;
}

// The options that take a value, with the value separate or after '='.
constexpr std::array<std::string_view, 16> kValueOptions{
    "--key",         "--output",        "--pair",         "--pin-fd",    "--pin-file", "--pin-env", "--container",
    "--password-fd", "--password-file", "--password-env", "--algorithm", "--cn",       "--o",       "--ou",
    "--c",           "--email"};

// The subject options of a certificate request and where each goes.
struct SubjectOption
{
    std::string_view name;
    QString CliOptions::*field;
};
constexpr std::array kSubjectOptions{
    SubjectOption{"--cn", &CliOptions::commonName}, SubjectOption{"--o", &CliOptions::organization},
    SubjectOption{"--ou", &CliOptions::unit},       SubjectOption{"--c", &CliOptions::country},
    SubjectOption{"--email", &CliOptions::email},
};

// Reads a subject option into `options`; false for another option.
bool subjectOption(const std::string& arg, const std::string& value, CliOptions& options, bool& given)
{
    for (const SubjectOption& option : kSubjectOptions) {
        if (option.name == arg) {
            options.*option.field = QString::fromLocal8Bit(value).trimmed();
            given = true;
            return true;
        }
    }
    return false;
}

constexpr std::array<std::string_view, 6> kAlgorithms{"rsa2048", "rsa3072", "rsa4096", "p256", "p384", "sm2"};

bool takesValue(std::string_view name)
{
    for (const auto option : kValueOptions) {
        if (option == name) {
            return true;
        }
    }
    return false;
}

// Reads --pin-* or --password-* (`kind` "pin" or "password") into `origin`; false for another option.
bool secretOption(const std::string& arg, const std::string& value, const std::string& kind, SecretOrigin& origin,
                  bool& given)
{
    const std::string prefix = "--" + kind + "-";
    if (arg.rfind(prefix, 0) != 0) {
        return false;
    }
    const std::string source = arg.substr(prefix.size());
    if (source != "fd" && source != "file" && source != "env") {
        return false;
    }
    if (given) {
        throw UsageError("name one " + kind + " source: " + prefix + "fd, " + prefix + "file or " + prefix + "env");
    }
    if (value.empty()) {
        throw UsageError(arg + " needs a value");
    }
    given = true;
    if (source == "fd") {
        origin = {SecretOrigin::Kind::Fd, fdOf(arg, value), {}, {}};
    } else if (source == "file") {
        origin = {SecretOrigin::Kind::File, -1, QString::fromLocal8Bit(value), {}};
    } else {
        origin = {SecretOrigin::Kind::Env, -1, {}, QByteArray::fromStdString(value)};
    }
    return true;
}

} // namespace

bool UsesSkf(CliOptions::Command command)
{
    using Command = CliOptions::Command;
    return command == Command::UnlockRequest || command == Command::UnlockResponse || command == Command::FingerList ||
           command == Command::FingerTest;
}

const char* CliUsage()
{
    return kUsage;
}

CliOptions ParseCliOptions(std::span<const std::string> args)
{
    CliOptions options;
    std::vector<std::string> positional;
    bool pinGiven = false;
    bool passwordGiven = false;
    std::optional<std::string> containerOption;
    bool pairGiven = false;
    bool subjectGiven = false;
    bool endOfOptions = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (endOfOptions || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            endOfOptions = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.command = CliOptions::Command::Help;
            return options;
        }
        if (arg == "--version") {
            options.command = CliOptions::Command::Version;
            return options;
        }
        if (arg == "-o") {
            arg = "--output";
        }
        if (const std::string name = arg.substr(0, arg.find('=')); name == "--pin" || name == "--password") {
            throw UsageError("a PIN or password is never taken on the command line: use the terminal prompt, or "
                             "--pin-fd, --pin-file, --pin-env (--password-... for a PKCS#12 file)");
        }
        std::string value;
        const auto equals = arg.find('=');
        if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
            if (!takesValue(arg)) {
                throw UsageError("option " + arg + " takes no value");
            }
        } else if (takesValue(arg)) {
            if (i + 1 >= args.size()) {
                throw UsageError("option " + arg + " needs a value");
            }
            value = args[++i];
        }
        if (arg == "--key") {
            options.key = QString::fromLocal8Bit(value);
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--pem") {
            options.pem = true;
        } else if (arg == "--chain") {
            options.chain = true;
        } else if (arg == "--output") {
            if (value.empty()) {
                throw UsageError("-o needs a file name");
            }
            options.output = QString::fromLocal8Bit(value);
        } else if (arg == "--pair") {
            options.keySpec = keySpecOf(value);
            pairGiven = true;
        } else if (arg == "--yes" || arg == "-y") {
            options.yes = true;
        } else if (arg == "--container") {
            containerOption = value;
        } else if (arg == "--algorithm") {
            if (std::find(kAlgorithms.begin(), kAlgorithms.end(), value) == kAlgorithms.end()) {
                throw UsageError("an algorithm is rsa2048, rsa3072, rsa4096, p256, p384 or sm2, not '" + value + "'");
            }
            options.algorithm = QString::fromStdString(value);
        } else if (subjectOption(arg, value, options, subjectGiven)) {
        } else if (secretOption(arg, value, "pin", options.pin, pinGiven) ||
                   secretOption(arg, value, "password", options.password, passwordGiven)) {
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if (positional.empty()) {
        throw UsageError("no command given");
    }
    const std::string& name = positional.front();
    const CommandName* found = nullptr;
    for (const auto& command : kCommands) {
        if (command.name == name) {
            found = &command;
        }
    }
    if (!found) {
        throw UsageError("unknown command '" + name + "'");
    }
    options.command = found->command;
    options.commandName = QString::fromStdString(name);
    if (positional.size() - 1 != found->arguments) {
        throw UsageError(name + " takes " + std::to_string(found->arguments) + " argument(s)");
    }
    if (options.command == CliOptions::Command::FingerList) {
        if (positional[1] == "test") {
            options.command = CliOptions::Command::FingerTest;
        } else if (positional[1] != "list") {
            throw UsageError("finger takes 'list' or 'test', not '" + positional[1] + "'");
        }
        options.commandName += QStringLiteral(" ") + QString::fromStdString(positional[1]);
    }
    using Command = CliOptions::Command;
    const Command c = options.command;
    const bool makesRequest = c == Command::Generate || c == Command::Request;
    if ((options.pem || options.output) && c != Command::Export && !makesRequest) {
        throw UsageError("--pem and -o belong to export, generate and request");
    }
    if (options.chain && c != Command::Export) {
        throw UsageError("--chain belongs to export");
    }
    if (options.yes && c != Command::Delete) {
        throw UsageError("--yes belongs to delete");
    }
    if (pairGiven && c != Command::Delete && c != Command::Import && !makesRequest) {
        throw UsageError("--pair belongs to delete, import, generate and request");
    }
    if (pinGiven && c != Command::Delete && c != Command::ChangePin && c != Command::Import && !makesRequest &&
        c != Command::UnlockResponse) {
        throw UsageError(name + " needs no PIN");
    }
    if (passwordGiven && c != Command::Import) {
        throw UsageError("--password-* belongs to import");
    }
    if (containerOption && c != Command::Import && c != Command::Generate) {
        throw UsageError("--container belongs to import and generate");
    }
    if ((subjectGiven || !options.algorithm.isEmpty()) && !makesRequest) {
        throw UsageError("--cn, --o, --ou, --c, --email and --algorithm belong to generate and request");
    }
    if (!options.algorithm.isEmpty() && c == Command::Request) {
        throw UsageError("request signs with the pair's own keys: --algorithm belongs to generate");
    }
    if (makesRequest) {
        options.country = options.country.toUpper();
        if (!pairGiven) {
            options.keySpec = 2;
        }
    }
    if (c == Command::Generate) {
        options.container = QByteArray::fromStdString(containerOption.value_or(std::string()));
        if (containerOption && options.container.isEmpty()) {
            throw UsageError("a container name is not empty");
        }
    }
    if (c == Command::Import) {
        options.file = QString::fromLocal8Bit(positional[1]);
        options.container = QByteArray::fromStdString(containerOption.value_or(std::string()));
        if (containerOption && options.container.isEmpty()) {
            throw UsageError("a container name is not empty");
        }
        if (!pairGiven) {
            options.keySpec = 1;
        }
    }
    if (c == Command::Export || c == Command::Delete || c == Command::Request) {
        options.container = QByteArray::fromStdString(positional[1]);
        if (options.container.isEmpty()) {
            throw UsageError("a container name is not empty");
        }
    }
    if (c == Command::Export) {
        options.keySpec = keySpecOf(positional[2]);
    }
    if (c == Command::Rename) {
        options.label = QString::fromLocal8Bit(positional[1]);
    }
    if (c == Command::UnlockResponse) {
        options.unlockCode = QString::fromLocal8Bit(positional[1]);
    }
    return options;
}

} // namespace kx::cli
