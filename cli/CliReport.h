// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

namespace kx::cli {

// The exit codes of kx2700, one for each kind of outcome a script tells apart.
enum class ExitCode
{
    Ok = 0,
    Failed = 1,      // the key refused the operation, or the user declined it
    BadInput = 2,    // a command line, file or PIN source that cannot be used
    NoKey = 3,       // no key, or not the named one
    WrongPin = 4,    // the key refused the PIN; tries are left
    PinLocked = 5,   // the PIN is locked
    DeviceError = 6, // the token library or the key failed
};

// Writes all of `bytes` to the file descriptor; false when it could not.
bool WriteAll(int fd, const QByteArray& bytes);

// The name of an exit code in the JSON output ("no-key" ...).
QString ExitCodeName(ExitCode code);

// What one run ends with: the command's result on standard output (text, or one JSON object
// with --json), an error on standard error (and in the JSON object), and the exit code.
class CliReport
{
public:
    CliReport(QString command, bool json);

    bool json() const { return m_json; }
    // A failure: its message, and for a wrong PIN the tries left (-1 when the key cannot count).
    void fail(ExitCode code, const QString& message, int triesLeft = -1, int deviceCode = 0);
    // The command's result: `fields` go into the JSON object, `text` is printed without --json.
    void succeed(const QJsonObject& fields, const QString& text);
    // Writes the report out once; returns the exit code.
    int finish() const;

private:
    QString m_command;
    bool m_json;
    ExitCode m_code = ExitCode::Ok;
    QString m_message;
    int m_triesLeft = -1;
    int m_deviceCode = 0;
    QJsonObject m_fields;
    QString m_text;
};

} // namespace kx::cli
