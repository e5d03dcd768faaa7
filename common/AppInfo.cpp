// SPDX-License-Identifier: Apache-2.0
#include "AppInfo.h"

#include "AppContext.h"
#include "ProfileFile.h"
#include "UiLanguage.h"

#include "platform/IniDocument.h"

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

int ReadAPPInfo(const QString& path, TAPPInfo& info)
{
    ProfileFile file;
    if (file.load(path) == ProfileFile::LoadStatus::Failed) {
        return 1;
    }
    const QString appLib = QStringLiteral("APPLib");
    const QString cspLanguage = QStringLiteral("CSPLanguage");
    const QString userInfo = QStringLiteral("UserInfo");
    const QString appFlag = QStringLiteral("APPFlag");
    auto text = [&](const QString& section, const char* key) {
        return file.readString(section, QString::fromLatin1(key), QString());
    };
    info.DrevmorLib = text(appLib, "DrevmorLib");
    info.PKCS11Lib = text(appLib, "PKCS11Lib");
    info.CSPLib = text(appLib, "CSPLib");
    info.SKFLib = text(appLib, "SKFLib");
    info.CSPName = text(appLib, "CSPName");
    info.CSP_RootKey = text(cspLanguage, "CSP_RootKey");
    info.CSP_MainKey = text(cspLanguage, "CSP_MainKey");
    info.CSP_LanguageKey = text(cspLanguage, "CSP_LanguageKey");
    info.CfgPath = text(userInfo, "CfgPath");
    info.Plugin = text(userInfo, "Plugin");
    info.CloseAPP = text(userInfo, "CloseAPP");
    info.APPName = text(appFlag, "APPName");
    info.OEMID = text(appFlag, "OEMID");
    info.USBEnumString = text(appFlag, "USBEnumString");
    info.PID = text(appFlag, "PID");
    info.RegCertMode = file.readInteger(appFlag, QStringLiteral("RegCertMode"), 0);
    info.APPMgrName = text(appFlag, "APPMgrName");
    info.APPMonName = text(appFlag, "APPMonName");
    info.FingerRegTimes = file.readInteger(appFlag, QStringLiteral("FingerRegTimes"), 3);
    info.FingerStudy = file.readInteger(appFlag, QStringLiteral("FingerStudy"), 0);
    info.DesktopRegister = file.readInteger(appFlag, QStringLiteral("DesktopRegister"), 1);
    return 0;
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
