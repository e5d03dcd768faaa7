// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSaveFile>
#include <QString>
#include <QStringList>

namespace kx::test {

// Runs the virtual key's control tool (kx2700-keysim at `tool`) with `arguments`; true when it
// ended with status 0.
inline bool runKeysim(const QString& tool, const QStringList& arguments)
{
    QProcess process;
    process.start(tool, arguments);
    process.waitForFinished(20000);
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Replaces the fault wrapper's configuration file at `path` with `text` in one step, so the
// wrapper never reads half of it.
inline bool writeFaults(const QString& path, const QByteArray& text)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.commit();
}

} // namespace kx::test
