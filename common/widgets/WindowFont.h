// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QFont>
#include <QString>

namespace kx {

// The font of the programs' windows. The desktop's font is the base, so its family, style and
// size choices carry over. The language file may name a family and a size: the family replaces
// the desktop's only when it is installed and names a particular font (not "Sans Serif" or
// another generic name, which the desktop's font already answers better), and the size is a
// floor, so a language that needs larger glyphs gets them and a desktop set larger stays larger.
// A desktop font given in pixels keeps its pixel size.
QFont WindowFont(const QFont& desktop, const QString& languageFamily, int languagePointSize);

// WindowFont for the desktop's general font and the language in use.
QFont WindowFont();

} // namespace kx
