// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/AppContext.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace kx::test {

// A context whose executable, configuration, log and registry folders all lie in one temporary
// folder, installed as the current context for the lifetime of the object.
class TestFolders
{
public:
    TestFolders()
    {
        QDir root(m_dir.path());
        root.mkpath(QStringLiteral("bin"));
        root.mkpath(QStringLiteral("config"));
        m_context.setExecutableFolder(path(QStringLiteral("bin")));
        m_context.setAppDataFolder(path(QStringLiteral("config")));
        m_context.setHomeFolder(path(QStringLiteral("home")));
        m_context.setLogFolder(path(QStringLiteral("KeyLog")));
        m_context.setRegistryFolder(path(QStringLiteral("registry")));
        AppContext::setCurrent(&m_context);
    }
    ~TestFolders() { AppContext::setCurrent(nullptr); }
    TestFolders(const TestFolders&) = delete;
    TestFolders& operator=(const TestFolders&) = delete;

    QString path(const QString& relative) const { return m_dir.path() + QLatin1Char('/') + relative; }
    AppContext& context() { return m_context; }

    // Writes `bytes` to a file below the temporary folder, creating its folders.
    QString write(const QString& relative, const QByteArray& bytes) const
    {
        const QString file = path(relative);
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile out(file);
        if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            out.write(bytes);
        }
        return file;
    }

    static QByteArray read(const QString& file)
    {
        QFile in(file);
        return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    AppContext m_context;
};

} // namespace kx::test
