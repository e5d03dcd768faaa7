// SPDX-License-Identifier: Apache-2.0
#include "LanguageTexts.h"

#include "ProfileFile.h"
#include "UiLanguage.h"

#include <QFileInfo>

namespace kx {

namespace {

const QString kCaptionSection = QStringLiteral("Caption");

QString builtinValue(std::size_t index)
{
    const std::string_view value = kTextDefinitions[index].builtin;
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

QString keyName(std::size_t index)
{
    const std::string_view key = kTextDefinitions[index].key;
    return QString::fromLatin1(key.data(), static_cast<qsizetype>(key.size()));
}

} // namespace

LanguageTexts::LanguageTexts()
{
    for (std::size_t i = 0; i < kCount; ++i) {
        m_texts[i] = builtinValue(i);
        if (kTextDefinitions[i].kind == TextKind::Switch) {
            m_switches[i] = m_texts[i].toInt();
        }
    }
    for (std::size_t i = 0; i < kFingerTextCount; ++i) {
        m_savedFingerTexts[i] = text(fingerTextKeys()[i]);
    }
}

int LanguageTexts::fontSize() const
{
    bool ok = false;
    const int size = text("FontSize").trimmed().toInt(&ok);
    return ok && size > 0 && size <= 72 ? size : kDefaultFontSize;
}

int LanguageTexts::load(const QString& path, QString* error)
{
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return 0;
    }
    ProfileFile file;
    if (file.load(path) != ProfileFile::LoadStatus::Loaded) {
        if (error) {
            *error = OwnText(OwnMessage::LanguageFileUnreadable).arg(path);
        }
        return 1;
    }
    const std::size_t outputSwitch = LangKey("config_Cert_Output").index();
    for (std::size_t i = 0; i < kCount; ++i) {
        const QString key = keyName(i);
        if (kTextDefinitions[i].kind == TextKind::Switch) {
            const int fallback = i == outputSwitch ? 1 : 0;
            m_switches[i] = file.readInteger(kCaptionSection, key, fallback);
            m_texts[i] = QString::number(m_switches[i]);
        } else {
            m_texts[i] = file.readString(kCaptionSection, key, kMissingText);
        }
    }
    return 0;
}

const std::array<LangKey, LanguageTexts::kFingerTextCount>& LanguageTexts::fingerTextKeys()
{
    static const std::array<LangKey, kFingerTextCount> keys = {
        "F_Finger_Mgr",
        "F_User_Finger",
        "F_Admin_Finger",
        "F_Admin_Test",
        "F_User_Test",
        "F_Admin_Unlock",
        "F_User_Unlock",
        "F_Finger_State",
        "F_Finger_Test",
        "F_Logon",
        "F_Finger_Set",
        "F_Finger_Del",
        "F_User_Try",
        "F_Admin_Try",
        "F_User_Count",
        "F_Admin_Count",
        "F_Finger_Info1",
        "F_Admin_MAXTry",
        "F_Admin_Level",
        "F_User_MAXTry",
        "F_User_Level",
        "P_SAR_FINGER_NOT_EXIST",
        "P_SAR_FINGER_EXIST",
        "P_SAR_PIN_LOCKED",
        "P_SAR_APPLICATION_NOT_EXISTS",
        "P_FingerDeleteInfo",
        "P_FingerInput",
        "P_FingerVerify",
        "F_Input_Info1",
        "F_Input_Info2",
        "F_Input_OK",
        "F_Input_Exist",
        "F_Input_Error",
        "F_Test_Info1",
        "F_Test_Info2",
        "F_Wait_Info",
        "F_Test_OK",
        "F_Test_Error",
        "F_Verify_Info1",
        "F_Verify_Info2",
        "F_Verify_Format",
    };
    return keys;
}

QString LanguageTexts::builtinText(LangKey key)
{
    return builtinValue(key.index());
}

QString LanguageTexts::veinWording(QString text)
{
    return text.replace(QStringLiteral("指纹"), QStringLiteral("指静脉"))
        .replace(QStringLiteral("Fingerprint"), QStringLiteral("Finger vein"))
        .replace(QStringLiteral("fingerprint"), QStringLiteral("finger vein"));
}

QString LanguageTexts::fingerVeinText(LangKey key)
{
    return veinWording(builtinText(key));
}

void LanguageTexts::switchFingerTexts(int mode)
{
    const auto& keys = fingerTextKeys();
    for (std::size_t i = 0; i < kFingerTextCount; ++i) {
        switch (mode) {
        case 0:
            m_savedFingerTexts[i] = text(keys[i]);
            break;
        case 1:
            setText(keys[i], m_savedFingerTexts[i]);
            break;
        case 2:
            // The finger-vein wording of the language in use (the saved fingerprint wording, or the
            // current text when none was saved), so an English window stays English.
            setText(keys[i], veinWording(m_savedFingerTexts[i].isEmpty() ? text(keys[i]) : m_savedFingerTexts[i]));
            break;
        default:
            return;
        }
    }
}

LanguageTexts& Language()
{
    static LanguageTexts texts;
    return texts;
}

int LoadLanguageFile(const QString& path, QString* error)
{
    return Language().load(path, error);
}

void SwitchFingerTexts(int mode)
{
    Language().switchFingerTexts(mode);
}

} // namespace kx
