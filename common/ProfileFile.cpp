// SPDX-License-Identifier: Apache-2.0
#include "ProfileFile.h"

#include <QFile>

namespace kx {

ProfileFile::LoadStatus ProfileFile::load(const QString& path)
{
    m_status = m_document.load(QFile::encodeName(path).toStdString());
    return m_status;
}

QString ProfileFile::readString(const QString& section, const QString& key, const QString& defaultValue) const
{
    const auto value = m_document.value(section.toStdString(), key.toStdString());
    return value ? QString::fromStdString(*value) : defaultValue;
}

qint32 ProfileFile::readInteger(const QString& section, const QString& key, qint32 defaultValue) const
{
    return m_document.readInteger(section.toStdString(), key.toStdString(), defaultValue);
}

bool ProfileFile::hasKey(const QString& section, const QString& key) const
{
    return m_document.value(section.toStdString(), key.toStdString()).has_value();
}

QStringList ProfileFile::sectionNames() const
{
    QStringList names;
    for (const auto& name : m_document.sectionNames()) {
        names.append(QString::fromStdString(name));
    }
    return names;
}

int writeProfile(const QString& path, const QString& section, const QList<QPair<QString, QString>>& values)
{
    std::vector<std::pair<std::string, std::string>> entries;
    entries.reserve(static_cast<std::size_t>(values.size()));
    for (const auto& [key, value] : values) {
        entries.emplace_back(key.toStdString(), value.toStdString());
    }
    return platform::writeProfileValues(QFile::encodeName(path).toStdString(), section.toStdString(), entries);
}

} // namespace kx
