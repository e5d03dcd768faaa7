// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDate>
#include <QString>

#include <cstdint>

namespace kx {

// One user's choices from "UserConfig.ini": opening a web address on insertion, the certificate
// expiry warning, the language, the default-PIN reminder and the periodic PIN change.
struct TUserConfigInfo
{
    std::int32_t URLOpenMode = 0;
    QString URL; // kept as UTF-8 in the file, so any address survives
    std::int32_t BrowserMode = 0;
    std::int32_t CertTips = 0;
    std::int32_t CertDay = 0;
    std::int32_t LanguageID = 0;
    std::int32_t DefaultPINMode = 1;
    std::int32_t CycleSetPIN = 0;
    QString LastDay; // "yyyymmdd"
    // Whether the keys are made known to the desktop's programs (NSS databases, p11-kit).
    std::int32_t DesktopRegistration = 1;
};

// "UserConfig.ini" in the user folder named by `cfgPath` (created when missing).
QString UserConfigPath(const QString& cfgPath);

// Reads the ten keys. A missing file gives the defaults and 0; an unreadable one returns 1 and
// leaves `config` as it was.
int ReadUserConfig(const QString& path, TUserConfigInfo& config);

// Writes URLOpenMode, URL, BrowserMode, CertTips, CertDay, LanguageID, DefaultPINMode and
// DesktopRegistration, leaving
// every other line (CycleSetPIN and LastDay among them) as it is. 0 on success, 1 on failure.
int WriteUserConfig(const QString& path, const TUserConfigInfo& config);

// Writes CycleSetPIN and LastDay. 0 on success, 1 on failure.
int WritePINCycle(const QString& path, std::int32_t cycleDays, const QString& lastDay);

// The day the next PIN change is due after a change on `today`, as "yyyymmdd".
QString NextPINChangeDay(const QDate& today, std::int32_t cycleDays);

// After a successful PIN change: with a CycleSetPIN above 0, moves LastDay to today plus the cycle
// in `config` and in the file; with 0 or less nothing happens. Returns the write's result (0 when
// nothing had to be written).
int RecordPINChange(const QString& path, TUserConfigInfo& config, const QDate& today);

} // namespace kx
