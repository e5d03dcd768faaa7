// SPDX-License-Identifier: Apache-2.0
// kx2700-startupview: prints what the programs start with from the configuration beside this
// executable: the application information, the user configuration and the chosen language.

#include "common/AppContext.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"

#include <QCoreApplication>
#include <QTextStream>

namespace {

void printField(QTextStream& out, const char* name, const QString& value)
{
    out << "  " << QString::fromLatin1(name).leftJustified(16) << " = \"" << value << "\"\n";
}

void printField(QTextStream& out, const char* name, int value)
{
    out << "  " << QString::fromLatin1(name).leftJustified(16) << " = " << value << "\n";
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const kx::StartupConfiguration config = kx::LoadStartupConfiguration();

    out << "Application information: " << kx::APPInfoPath() << (config.appInfoResult == 0 ? "" : " (unreadable)")
        << "\n";
    const kx::TAPPInfo& a = config.appInfo;
    printField(out, "DrevmorLib", a.DrevmorLib);
    printField(out, "PKCS11Lib", a.PKCS11Lib);
    printField(out, "CSPLib", a.CSPLib);
    printField(out, "SKFLib", a.SKFLib);
    printField(out, "CSPName", a.CSPName);
    printField(out, "CSP_RootKey", a.CSP_RootKey);
    printField(out, "CSP_MainKey", a.CSP_MainKey);
    printField(out, "CSP_LanguageKey", a.CSP_LanguageKey);
    printField(out, "CfgPath", a.CfgPath);
    printField(out, "Plugin", a.Plugin);
    printField(out, "CloseAPP", a.CloseAPP);
    printField(out, "APPName", a.APPName);
    printField(out, "OEMID", a.OEMID);
    printField(out, "USBEnumString", a.USBEnumString);
    printField(out, "PID", a.PID);
    printField(out, "RegCertMode", a.RegCertMode);
    printField(out, "APPMgrName", a.APPMgrName);
    printField(out, "APPMonName", a.APPMonName);
    printField(out, "FingerRegTimes", a.FingerRegTimes);
    printField(out, "FingerStudy", a.FingerStudy);

    kx::TPIDList pids;
    QString pidError;
    if (kx::ParsePIDList(a.PID, pids, &pidError) != 0) {
        out << "  PID list: " << pidError << "\n";
    } else {
        out << "  PID list: " << pids.count << " product identifier(s):";
        for (int i = 0; i < pids.count; ++i) {
            out << QString::asprintf(" %04X", static_cast<unsigned>(pids.values[static_cast<std::size_t>(i)]));
        }
        out << "\n";
    }

    out << "\nUser configuration: " << config.userConfigPath << "\n";
    const kx::TUserConfigInfo& u = config.userConfig;
    printField(out, "URLOpenMode", u.URLOpenMode);
    printField(out, "URL", u.URL);
    printField(out, "BrowserMode", u.BrowserMode);
    printField(out, "CertTips", u.CertTips);
    printField(out, "CertDay", u.CertDay);
    printField(out, "LanguageID", u.LanguageID);
    printField(out, "DefaultPINMode", u.DefaultPINMode);
    printField(out, "CycleSetPIN", u.CycleSetPIN);
    printField(out, "LastDay", u.LastDay);

    out << "\nLanguages: " << config.languageListPath << " (" << config.languages.count << " installed)\n";
    for (int i = 0; i < config.languages.count; ++i) {
        const auto k = static_cast<std::size_t>(i);
        out << (i == config.language.entry ? "  * " : "    ") << config.languages.LanguageID[k] << "  "
            << config.languages.LanguageName[k] << "  " << config.languages.LanguageFile[k] << "\n";
    }
    if (!config.error.isEmpty()) {
        out << "Start-up stops: " << config.error << "\n";
        return 1;
    }
    for (const QString& warning : config.warnings) {
        out << "Warning: " << warning << "\n";
    }
    out << "Language file in use: "
        << (config.language.filePath.isEmpty() ? QStringLiteral("(built-in texts)") : config.language.filePath) << "\n";
    out << "Application title (P_Caption): \"" << kx::Lang("P_Caption") << "\"\n";
    out << "Font: " << kx::Language().fontName() << ", " << kx::Language().fontSize() << " pt\n";
    return 0;
}
