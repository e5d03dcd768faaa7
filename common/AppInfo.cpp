// SPDX-License-Identifier: Apache-2.0
#include "AppInfo.h"

#include "AppContext.h"
#include "ProfileFile.h"
#include "UiLanguage.h"

#include "platform/IniDocument.h"

#include <QFileInfo>

#include <algorithm>

namespace kx {

bool TPIDList::contains(std::int32_t pid) const
{
    const auto end = values.begin() + std::clamp(count, 0, kCapacity);
    return std::find(values.begin(), end, pid) != end;
}

QString APPInfoPath()
{
    return pathBesideExecutable(QString::fromLatin1(kAPPInfoFileName));
}

namespace {

// Reads the keys of the file at `path` into `info`. Over a record (`overlay`), a key the file
// does not hold keeps the record's value; otherwise it takes its default.
int readAPPInfo(const QString& path, TAPPInfo& info, bool overlay)
{
    ProfileFile file;
    if (file.load(path) == ProfileFile::LoadStatus::Failed) {
        return 1;
    }
    const QString appLib = QStringLiteral("APPLib");
    const QString cspLanguage = QStringLiteral("CSPLanguage");
    const QString userInfo = QStringLiteral("UserInfo");
    const QString appFlag = QStringLiteral("APPFlag");
    auto text = [&](QString& field, const QString& section, const char* key) {
        field = file.readString(section, QString::fromLatin1(key), overlay ? field : QString());
    };
    auto integer = [&](std::int32_t& field, const QString& section, const char* key, std::int32_t defaultValue) {
        field = file.readInteger(section, QString::fromLatin1(key), overlay ? field : defaultValue);
    };
    text(info.DrevmorLib, appLib, "DrevmorLib");
    text(info.PKCS11Lib, appLib, "PKCS11Lib");
    text(info.CSPLib, appLib, "CSPLib");
    text(info.SKFLib, appLib, "SKFLib");
    text(info.CSPName, appLib, "CSPName");
    text(info.CSP_RootKey, cspLanguage, "CSP_RootKey");
    text(info.CSP_MainKey, cspLanguage, "CSP_MainKey");
    text(info.CSP_LanguageKey, cspLanguage, "CSP_LanguageKey");
    text(info.CfgPath, userInfo, "CfgPath");
    text(info.Plugin, userInfo, "Plugin");
    text(info.CloseAPP, userInfo, "CloseAPP");
    text(info.APPName, appFlag, "APPName");
    text(info.OEMID, appFlag, "OEMID");
    text(info.USBEnumString, appFlag, "USBEnumString");
    text(info.PID, appFlag, "PID");
    integer(info.RegCertMode, appFlag, "RegCertMode", 0);
    text(info.APPMgrName, appFlag, "APPMgrName");
    text(info.APPMonName, appFlag, "APPMonName");
    integer(info.FingerRegTimes, appFlag, "FingerRegTimes", 3);
    integer(info.FingerStudy, appFlag, "FingerStudy", 0);
    integer(info.DesktopRegister, appFlag, "DesktopRegister", 1);
    return 0;
}

} // namespace

int ReadAPPInfo(const QString& path, TAPPInfo& info)
{
    return readAPPInfo(path, info, false);
}

QString SystemAPPInfoPath()
{
    const QString configured = qEnvironmentVariable("KX2700_SYSTEM_APPINFO");
    return configured.isEmpty() ? QStringLiteral("/etc/kx2700/APPInfo.ini") : configured;
}

int OverlayAPPInfo(const QString& path, TAPPInfo& info)
{
    return readAPPInfo(path, info, true);
}

int ReadInstalledAPPInfo(TAPPInfo& info, QStringList* files)
{
    const QString installed = APPInfoPath();
    int result = ReadAPPInfo(installed, info);
    if (files && result == 0 && QFileInfo::exists(installed)) {
        files->append(installed);
    }
    const QString local = SystemAPPInfoPath();
    if (QFileInfo::exists(local)) {
        if (OverlayAPPInfo(local, info) != 0) {
            result = 1;
        } else if (files) {
            files->append(local);
        }
    }
    return result;
}

int ParsePIDList(const QString& text, TPIDList& list, QString* error)
{
    list = TPIDList{};
    if (text.isEmpty()) {
        return 0;
    }
    TPIDList parsed;
    // The list holds kCapacity values; pieces past them are ignored unread, so whatever they hold
    // cannot reject the list.
    const QStringList pieces = text.split(QLatin1Char('|')).mid(0, TPIDList::kCapacity);
    for (const QString& piece : pieces) {
        const auto value = platform::parseProfileInteger(piece.trimmed().toStdString());
        if (!value) {
            if (error) {
                *error = OwnText(OwnMessage::PIDNotInteger).arg(piece, text);
            }
            return 1;
        }
        parsed.values[static_cast<std::size_t>(parsed.count)] = *value;
        ++parsed.count;
    }
    list = parsed;
    return 0;
}

} // namespace kx
