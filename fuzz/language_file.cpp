// SPDX-License-Identifier: Apache-2.0
// The configuration and language readers of the programs, each given the same file: the
// language list keeps as many entries as the file has sections (129 at most) and never names a
// language file outside its folder; the product list keeps at most 33 identifiers; user
// settings written back read back the same, leaving the other keys alone; a language file's
// fingerprint wording comes back after the finger-vein wording replaced it.
#include "FuzzCheck.h"

#include "common/AppInfo.h"
#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/ProfileFile.h"
#include "common/UserConfig.h"
#include "platform/IniDocument.h"

#include <QDir>
#include <QTemporaryDir>

#include <fstream>

using kx::fuzz::check;

namespace {

// One file in a folder of this run, rewritten for every input; in memory where the system offers
// it, since every settings write is flushed to disk.
const QString& inputPath()
{
    static const QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists()
                                          ? QStringLiteral("/dev/shm/kx-fuzz-XXXXXX")
                                          : QDir::tempPath() + QStringLiteral("/kx-fuzz-XXXXXX"));
    static const QString path = folder.path() + QStringLiteral("/UserConfig.ini");
    return path;
}

void writeInput(const std::uint8_t* data, std::size_t size)
{
    std::ofstream out(inputPath().toStdString(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    check(out.good(), "the input is written");
}

void checkLanguageList(const QString& path, std::int32_t languageID)
{
    kx::TLanguageInfo list;
    check(kx::ReadLanguageList(path, list) == 0, "a readable language list reads");
    kx::ProfileFile file;
    file.load(path);
    const auto sections = static_cast<std::int32_t>(file.sectionNames().size());
    check(list.count == std::min(sections, kx::TLanguageInfo::kCapacity), "one entry per section, 129 at most");
    const QString folder = QStringLiteral("/opt/kx2700/Languages/");
    for (std::int32_t i = 0; i < list.count; ++i) {
        const QString filePath = kx::LanguageFilePath(folder, list.LanguageFile[static_cast<std::size_t>(i)]);
        check(filePath.isEmpty() || (filePath.startsWith(folder) && QDir::cleanPath(filePath).startsWith(folder)),
              "a language file lies inside the languages folder");
    }
    const kx::LanguageChoice choice = kx::ChooseLanguage(list, languageID, folder);
    check(choice.entry >= -1 && choice.entry < list.count, "the chosen entry is one of the list");
    check(choice.filePath.isEmpty() || QDir::cleanPath(choice.filePath).startsWith(folder),
          "the chosen language file lies inside the languages folder");
}

void checkAppInfo(const QString& path)
{
    kx::TAPPInfo info;
    check(kx::ReadAPPInfo(path, info) == 0, "a readable application information file reads");
    kx::TPIDList list;
    QString error;
    if (kx::ParsePIDList(info.PID, list, &error) == 0) {
        check(list.count >= 0 && list.count <= kx::TPIDList::kCapacity, "at most 33 product identifiers");
        for (std::int32_t i = 0; i < list.count; ++i) {
            check(list.contains(list.values[static_cast<std::size_t>(i)]), "a listed identifier is contained");
        }
    } else {
        check(list.count == 0 && !error.isEmpty(), "a refused product list is empty and says why");
    }
}

bool sameWrittenSettings(const kx::TUserConfigInfo& a, const kx::TUserConfigInfo& b)
{
    return a.URLOpenMode == b.URLOpenMode && a.URL == b.URL && a.BrowserMode == b.BrowserMode &&
           a.CertTips == b.CertTips && a.CertDay == b.CertDay && a.LanguageID == b.LanguageID &&
           a.DefaultPINMode == b.DefaultPINMode;
}

void checkUserConfig(const QString& path)
{
    kx::TUserConfigInfo config;
    check(kx::ReadUserConfig(path, config) == 0, "a readable user configuration reads");
    // The settings dialog writes what it shows; a URL is one line of text.
    kx::TUserConfigInfo changed = config;
    changed.URL.remove(QLatin1Char('\r')).remove(QLatin1Char('\n')).remove(QChar(0));
    changed.CertDay = config.CertDay ^ 1;
    if (kx::WriteUserConfig(path, changed) != 0) {
        return; // a file that cannot be written back is left as it was
    }
    kx::TUserConfigInfo reread;
    check(kx::ReadUserConfig(path, reread) == 0, "a written user configuration reads");
    check(sameWrittenSettings(reread, changed), "written settings read back as written");
    check(reread.CycleSetPIN == config.CycleSetPIN && reread.LastDay == config.LastDay,
          "writing the settings leaves the PIN cycle alone");
}

void checkLanguageTexts(const QString& path)
{
    kx::LanguageTexts texts;
    check(texts.load(path) == 0, "a readable language file loads");
    check(texts.fontSize() > 0, "the font size is positive");
    std::array<QString, kx::LanguageTexts::kFingerTextCount> loaded;
    const auto& keys = kx::LanguageTexts::fingerTextKeys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        loaded[i] = texts.text(keys[i]);
    }
    texts.switchFingerTexts(0);
    texts.switchFingerTexts(2);
    texts.switchFingerTexts(1);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        check(texts.text(keys[i]) == loaded[i], "the saved fingerprint wording comes back");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kx::platform::IniDocument::kMaxFileSize) {
        return 0;
    }
    writeInput(data, size);
    const QString& path = inputPath();
    checkLanguageList(path, size > 0 ? 1033 + data[0] % 2 * 1019 : 2052);
    checkAppInfo(path);
    checkLanguageTexts(path);
    checkUserConfig(path); // last: it rewrites the file
    return 0;
}
