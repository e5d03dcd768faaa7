// SPDX-License-Identifier: Apache-2.0
#include "LanguageInfo.h"

#include "AppContext.h"
#include "ProfileFile.h"
#include "UiLanguage.h"

#include "platform/IniDocument.h"

#include <QDir>

namespace kx {

QString LanguagesFolder()
{
    return pathBesideExecutable(QStringLiteral("Languages/"));
}

int ReadLanguageList(const QString& path, TLanguageInfo& list)
{
    list = TLanguageInfo{};
    ProfileFile file;
    const auto status = file.load(path);
    if (status != ProfileFile::LoadStatus::Loaded) {
        return status == ProfileFile::LoadStatus::Missing ? 0 : 1;
    }
    const QStringList sections = file.sectionNames();
    for (const QString& section : sections) {
        if (list.count >= TLanguageInfo::kCapacity) {
            break;
        }
        const auto i = static_cast<std::size_t>(list.count);
        list.LanguageID[i] = file.readString(section, QStringLiteral("LanguageID"), QStringLiteral("1033"));
        list.LanguageName[i] = file.readString(section, QStringLiteral("LnaguageName"), QStringLiteral("English"));
        list.LanguageFile[i] = file.readString(section, QStringLiteral("LanguageFile"), QStringLiteral("EN_1033.lng"));
        list.LanguageCSP[i] = file.readString(section, QStringLiteral("LanguageCSP"), QString());
        ++list.count;
    }
    return 0;
}

QString LanguageFilePath(const QString& languagesFolder, const QString& fileName)
{
    const QString name = toSlashes(fileName);
    if (name.isEmpty() || name.startsWith(QLatin1Char('/'))) {
        return QString();
    }
    const QStringList parts = name.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty() || parts.contains(QStringLiteral(".."))) {
        return QString();
    }
    QString folder = languagesFolder;
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    return folder + parts.join(QLatin1Char('/'));
}

LanguageChoice ChooseLanguage(const TLanguageInfo& list, std::int32_t languageID, const QString& languagesFolder)
{
    LanguageChoice choice;
    for (int i = 0; i < list.count; ++i) {
        const QString& id = list.LanguageID[static_cast<std::size_t>(i)];
        const auto value = platform::parseProfileInteger(id.trimmed().toStdString());
        if (!value) {
            // No language is chosen yet: the message speaks the configured language when it is a known
            // one, else the language of the built-in texts.
            const std::int32_t speaking =
                UiLanguage::localeName(languageID).isEmpty() ? UiLanguage::kBuiltinLanguageID : languageID;
            choice.error = OwnText(OwnMessage::LanguageIDNotInteger, speaking).arg(id).arg(i + 1);
            return choice;
        }
        if (*value == languageID) {
            choice.entry = i;
            break;
        }
    }
    if (choice.entry < 0 && list.count > 0) {
        choice.entry = 0;
    }
    if (choice.entry >= 0) {
        const QString& fileName = list.LanguageFile[static_cast<std::size_t>(choice.entry)];
        choice.filePath = LanguageFilePath(languagesFolder, fileName);
        if (choice.filePath.isEmpty()) {
            choice.warning = OwnText(OwnMessage::LanguageFileOutside).arg(fileName);
        }
    }
    return choice;
}

} // namespace kx
