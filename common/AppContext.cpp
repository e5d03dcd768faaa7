// SPDX-License-Identifier: Apache-2.0
#include "AppContext.h"

#include "platform/Registry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace kx {

namespace {

AppContext* g_installed = nullptr;

QString runningExecutableFolder()
{
    if (QCoreApplication::instance()) {
        return QCoreApplication::applicationDirPath();
    }
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    return QFileInfo(self.symLinkTarget()).absolutePath();
}

} // namespace

AppContext::AppContext()
    : m_executableFolder(runningExecutableFolder()), m_appDataFolder(qEnvironmentVariable("XDG_CONFIG_HOME")),
      m_homeFolder(QDir::homePath()), m_logFolder(QDir::homePath() + QStringLiteral("/KeyLog")),
      m_registryFolder(QString::fromStdString(platform::Registry::defaultFolder()))
{
    if (m_appDataFolder.isEmpty() || !QDir::isAbsolutePath(m_appDataFolder)) {
        m_appDataFolder = QDir::homePath() + QStringLiteral("/.config");
    }
}

QDateTime AppContext::now() const
{
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

AppContext& AppContext::current()
{
    if (g_installed) {
        return *g_installed;
    }
    static AppContext fromEnvironment;
    return fromEnvironment;
}

void AppContext::setCurrent(AppContext* context)
{
    g_installed = context;
}

QString toSlashes(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

QString pathBesideExecutable(const QString& relative)
{
    return AppContext::current().executableFolder() + QLatin1Char('/') + toSlashes(relative);
}

} // namespace kx
