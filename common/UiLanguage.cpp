// SPDX-License-Identifier: Apache-2.0
#include "UiLanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <array>
#include <memory>
#include <utility>
#include <vector>

namespace kx {

namespace {

// Windows language codes of the languages a language file is likely to be written in.
constexpr std::array<std::pair<std::int32_t, const char*>, 16> kLocales = {{
    {2052, "zh_CN"},
    {4100, "zh_CN"}, // Singapore
    {1028, "zh_TW"},
    {3076, "zh_TW"}, // Hong Kong, written in traditional characters
    {1033, "en"},
    {2057, "en"},
    {1031, "de"},
    {1036, "fr"},
    {1034, "es"},
    {3082, "es"},
    {1040, "it"},
    {1041, "ja"},
    {1042, "ko"},
    {1046, "pt_BR"},
    {1045, "pl"},
    {1049, "ru"},
}};

// Qt's catalogues of the widgets and dialogs the programs show.
constexpr std::array<const char*, 1> kCatalogues = {"qtbase"};

struct State
{
    std::int32_t languageID = UiLanguage::kBuiltinLanguageID;
    QString folder;
    std::vector<std::unique_ptr<QTranslator>> translators;
};

State& state()
{
    static State s;
    return s;
}

QString translationsFolder()
{
    return state().folder.isEmpty() ? QLibraryInfo::path(QLibraryInfo::TranslationsPath) : state().folder;
}

struct Texts
{
    OwnMessage message;
    const char* chinese;
    const char* english;
};

constexpr std::array<Texts, 6> kOwnTexts = {{
    {OwnMessage::UnlockCodeTooLong, "应答码过长，最多%1个字符", "The unlock code is too long: at most %1 characters."},
    {OwnMessage::PIDNotInteger, "PID列表\"%2\"中的产品标识\"%1\"不是整数。",
     "The product identifier \"%1\" in the PID list \"%2\" is not an integer."},
    {OwnMessage::LanguageIDNotInteger, "语言列表第%2项的语言标识\"%1\"不是整数。",
     "The language identifier \"%1\" of entry %2 in the language list is not an integer."},
    {OwnMessage::LanguageFileUnreadable, "无法读取语言文件\"%1\"，保留当前文字。",
     "The language file \"%1\" could not be read; the current texts stay."},
    {OwnMessage::LanguageFileOutside, "语言文件名\"%1\"指向语言文件夹之外，不予加载。",
     "The language file name \"%1\" leads out of the language folder; it is not loaded."},
    {OwnMessage::NoCertificateViewer, "未找到证书查看程序，无法显示证书。",
     "No certificate viewer is installed; the certificate cannot be shown."},
}};

} // namespace

QString UiLanguage::localeName(std::int32_t languageID)
{
    for (const auto& [id, name] : kLocales) {
        if (id == languageID) {
            return QString::fromLatin1(name);
        }
    }
    return {};
}

bool UiLanguage::use(std::int32_t languageID)
{
    State& s = state();
    s.languageID = languageID;
    for (const auto& translator : s.translators) {
        QCoreApplication::removeTranslator(translator.get());
    }
    s.translators.clear();
    const QString locale = localeName(languageID);
    QLocale::setDefault(locale.isEmpty() ? QLocale(QLocale::English) : QLocale(locale));
    if (locale.isEmpty()) {
        return false;
    }
    bool found = false;
    for (const char* catalogue : kCatalogues) {
        auto translator = std::make_unique<QTranslator>();
        if (translator->load(QString::fromLatin1(catalogue) + QLatin1Char('_') + locale, translationsFolder())) {
            QCoreApplication::installTranslator(translator.get());
            s.translators.push_back(std::move(translator));
            found = true;
        }
    }
    return found;
}

std::int32_t UiLanguage::current()
{
    return state().languageID;
}

void UiLanguage::setTranslationsFolder(const QString& folder)
{
    state().folder = folder;
}

QString OwnText(OwnMessage message, std::int32_t languageID)
{
    const bool chinese = UiLanguage::localeName(languageID).startsWith(QStringLiteral("zh"));
    for (const Texts& texts : kOwnTexts) {
        if (texts.message == message) {
            return QString::fromUtf8(chinese ? texts.chinese : texts.english);
        }
    }
    return {};
}

} // namespace kx
