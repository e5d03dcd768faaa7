// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "platform/IniDocument.h"

#include <QList>
#include <QPair>
#include <QString>

namespace kx {

// An INI file read for the programs: the platform's INI document with Qt texts at its surface.
class ProfileFile
{
public:
    using LoadStatus = platform::IniDocument::LoadStatus;

    LoadStatus load(const QString& path);
    LoadStatus status() const { return m_status; }

    QString readString(const QString& section, const QString& key, const QString& defaultValue) const;
    qint32 readInteger(const QString& section, const QString& key, qint32 defaultValue) const;
    bool hasKey(const QString& section, const QString& key) const;
    QStringList sectionNames() const;

private:
    platform::IniDocument m_document;
    LoadStatus m_status = LoadStatus::Missing;
};

// Writes the keys of one section of an INI file in one atomic update; 0 on success, 1 on failure.
int writeProfile(const QString& path, const QString& section, const QList<QPair<QString, QString>>& values);

} // namespace kx
