// SPDX-License-Identifier: Apache-2.0
#include "WindowFont.h"

#include "common/LanguageTexts.h"

#include <QFontDatabase>
#include <QStringList>

#include <algorithm>

namespace kx {

namespace {

// Names fontconfig and Qt resolve to whatever the system's default of a kind is.
bool isGenericFamily(const QString& family)
{
    static const QStringList generic = {QStringLiteral("sans serif"), QStringLiteral("sans-serif"),
                                        QStringLiteral("sans"),       QStringLiteral("serif"),
                                        QStringLiteral("monospace"),  QStringLiteral("system-ui")};
    return generic.contains(family, Qt::CaseInsensitive);
}

} // namespace

QFont WindowFont(const QFont& desktop, const QString& languageFamily, int languagePointSize)
{
    QFont font = desktop;
    const QString family = languageFamily.trimmed();
    if (!family.isEmpty() && !isGenericFamily(family) && QFontDatabase::hasFamily(family)) {
        font.setFamilies({family});
    }
    if (desktop.pointSizeF() > 0) {
        font.setPointSizeF(std::max(desktop.pointSizeF(), qreal(languagePointSize)));
    }
    return font;
}

QFont WindowFont()
{
    const LanguageTexts& texts = Language();
    return WindowFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont), texts.fontName(), texts.fontSize());
}

} // namespace kx
