// SPDX-License-Identifier: Apache-2.0
// kx2700-monitorshots: saves pictures of the monitor's dialogs (the PIN dialog in its change and
// its question layout, the settings dialog) in each installed language.
//
// usage: kx2700-monitorshots OUTPUT_FOLDER

#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "monitor/TProjectConfigForm.h"
#include "monitor/TUPinSetForm.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTextStream>

namespace {

bool save(QWidget& dialog, const QString& path)
{
    dialog.show();
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 200) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    const bool ok = dialog.grab().save(path);
    QTextStream(stdout) << (ok ? "saved " : "could not save ") << path << "\n";
    dialog.hide();
    return ok;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc < 2) {
        QTextStream(stderr) << "usage: kx2700-monitorshots OUTPUT_FOLDER\n";
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(output);
    const kx::StartupConfiguration config = kx::LoadStartupConfiguration();
    bool allSaved = true;
    for (int entry = 0; entry < config.languages.count; ++entry) {
        const auto e = static_cast<std::size_t>(entry);
        kx::Language() = kx::LanguageTexts();
        kx::LoadLanguageFile(kx::LanguageFilePath(kx::LanguagesFolder(), config.languages.LanguageFile[e]));
        const QString tag = output + QLatin1Char('/') + config.languages.LanguageID[e];
        {
            kx::mon::TUPinSetForm change;
            change.MinPINLen = 8;
            change.MaxPINLen = 16;
            allSaved &= save(change, tag + QStringLiteral("-monitor-pin.png"));
        }
        {
            kx::mon::TUPinSetForm question;
            question.PromptMode = 100;
            allSaved &= save(question, tag + QStringLiteral("-monitor-default-pin.png"));
        }
        {
            kx::mon::TProjectConfigForm settings;
            kx::TUserConfigInfo user = config.userConfig;
            user.URLOpenMode = 1;
            user.URL = QStringLiteral("https://www.example.com/kx2700");
            user.CertTips = 1;
            user.CertDay = 30;
            settings.fill(user);
            QStringList names;
            for (int i = 0; i < config.languages.count; ++i) {
                names << config.languages.LanguageName[static_cast<std::size_t>(i)];
            }
            settings.setLanguages(names, entry);
            allSaved &= save(settings, tag + QStringLiteral("-monitor-settings.png"));
        }
    }
    return allSaved ? 0 : 1;
}
