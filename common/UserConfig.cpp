// SPDX-License-Identifier: Apache-2.0
#include "UserConfig.h"

#include "ProfileFile.h"
#include "UserFolder.h"

namespace kx {

namespace {

const QString kSection = QStringLiteral("UserConfig");

} // namespace

QString UserConfigPath(const QString& cfgPath)
{
    return UserFolder(cfgPath) + QStringLiteral("UserConfig.ini");
}

int ReadUserConfig(const QString& path, TUserConfigInfo& config)
{
    ProfileFile file;
    if (file.load(path) == ProfileFile::LoadStatus::Failed) {
        return 1;
    }
    config.URLOpenMode = file.readInteger(kSection, QStringLiteral("URLOpenMode"), 0);
    config.URL = file.readString(kSection, QStringLiteral("URL"), QString());
    config.BrowserMode = file.readInteger(kSection, QStringLiteral("BrowserMode"), 0);
    config.CertTips = file.readInteger(kSection, QStringLiteral("CertTips"), 0);
    config.CertDay = file.readInteger(kSection, QStringLiteral("CertDay"), 0);
    config.LanguageID = file.readInteger(kSection, QStringLiteral("LanguageID"), 0);
    config.DefaultPINMode = file.readInteger(kSection, QStringLiteral("DefaultPINMode"), 1);
    config.CycleSetPIN = file.readInteger(kSection, QStringLiteral("CycleSetPIN"), 0);
    config.LastDay = file.readString(kSection, QStringLiteral("LastDay"), QString());
    config.DesktopRegistration = file.readInteger(kSection, QStringLiteral("DesktopRegistration"), 1);
    return 0;
}

int WriteUserConfig(const QString& path, const TUserConfigInfo& config)
{
    return writeProfile(path, kSection,
                        {
                            {QStringLiteral("URLOpenMode"), QString::number(config.URLOpenMode)},
                            {QStringLiteral("URL"), config.URL},
                            {QStringLiteral("BrowserMode"), QString::number(config.BrowserMode)},
                            {QStringLiteral("CertTips"), QString::number(config.CertTips)},
                            {QStringLiteral("CertDay"), QString::number(config.CertDay)},
                            {QStringLiteral("LanguageID"), QString::number(config.LanguageID)},
                            {QStringLiteral("DefaultPINMode"), QString::number(config.DefaultPINMode)},
                            {QStringLiteral("DesktopRegistration"), QString::number(config.DesktopRegistration)},
                        });
}

int WritePINCycle(const QString& path, std::int32_t cycleDays, const QString& lastDay)
{
    return writeProfile(path, kSection,
                        {
                            {QStringLiteral("CycleSetPIN"), QString::number(cycleDays)},
                            {QStringLiteral("LastDay"), lastDay},
                        });
}

QString NextPINChangeDay(const QDate& today, std::int32_t cycleDays)
{
    return today.addDays(cycleDays).toString(QStringLiteral("yyyyMMdd"));
}

int RecordPINChange(const QString& path, TUserConfigInfo& config, const QDate& today)
{
    if (config.CycleSetPIN <= 0) {
        return 0;
    }
    config.LastDay = NextPINChangeDay(today, config.CycleSetPIN);
    return WritePINCycle(path, config.CycleSetPIN, config.LastDay);
}

} // namespace kx
