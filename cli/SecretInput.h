// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CliOptions.h"

#include "keyservice/PinJobs.h"

#include <QString>

#include <optional>
#include <string>
#include <vector>

namespace kx::cli {

// The PINs of one run, read from where the user said: the terminal without echo (the prompt on
// the terminal, never on standard output), a file descriptor, the first lines of a file, or an
// environment variable. Every buffer that held a PIN is overwritten before it is let go.
class SecretInput
{
public:
    // `what` names the secret in messages: "PIN" or "password" (its options are --pin-... or
    // --password-...).
    SecretInput(SecretOrigin origin, QString what);
    ~SecretInput();
    SecretInput(const SecretInput&) = delete;
    SecretInput& operator=(const SecretInput&) = delete;

    // The next PIN: the next line of a descriptor or file, the variable, or an answer to `prompt`
    // on the terminal. Null with `error` set when there is none (no terminal, an empty line, a
    // file that cannot be read).
    SharedSecret next(const QString& prompt, QString& error);

private:
    bool loadLines(QString& error);

    SecretOrigin m_origin;
    QString m_what;
    bool m_loaded = false;
    std::vector<std::string> m_lines;
    std::size_t m_used = 0;
};

// Whether the program talks to a person: standard input is a terminal.
bool OnTerminal();

// Asks `question` on the terminal and reads one line; nullopt without a terminal.
std::optional<QString> AskTerminal(const QString& question);

} // namespace kx::cli
