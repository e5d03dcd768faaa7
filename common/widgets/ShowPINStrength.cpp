// SPDX-License-Identifier: Apache-2.0
#include "ShowPINStrength.h"

#include "common/PINPolicy.h"

#include <QLabel>
#include <QPalette>

namespace kx {

namespace {

void setCaption(QWidget* panel, const QString& caption)
{
    if (auto* label = qobject_cast<QLabel*>(panel)) {
        label->setText(caption);
    } else {
        panel->setProperty("text", caption);
    }
}

} // namespace

void ShowPINStrength(QWidget* panel, const QString& pin)
{
    if (!panel) {
        return;
    }
    const int score = PINStrength(pin);
    const QColor colour = score >= 3 ? QColor(0, 255, 0) : score == 2 ? QColor(255, 211, 94) : QColor(255, 0, 0);
    QPalette palette = panel->palette();
    palette.setColor(QPalette::Window, colour);
    panel->setAutoFillBackground(true);
    panel->setPalette(palette);
    setCaption(panel, PINStrengthCaption(score));
}

void ClearPINStrength(QWidget* panel)
{
    if (panel) {
        setCaption(panel, QString());
    }
}

} // namespace kx
