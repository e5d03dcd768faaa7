// SPDX-License-Identifier: Apache-2.0
#include "AboutPage.h"

#include "ui_AboutPage.h"

#include "common/LanguageTexts.h"
#include "common/OpenURL.h"

#include <QEvent>

namespace kx {

AboutPage::AboutPage(QWidget* parent) : QWidget(parent), m_ui(std::make_unique<Ui::AboutPage>())
{
    m_ui->setupUi(this);
    m_ui->Label19->installEventFilter(this);
    m_ui->Label20->installEventFilter(this);
    ApplyTexts();
}

AboutPage::~AboutPage() = default;

void AboutPage::ApplyTexts()
{
    m_ui->Label17->setText(Lang("About_Form_Label_URL"));
    m_ui->Label18->setText(Lang("About_Form_Label_Email"));
    m_ui->Label15->setText(Lang("About_Form_label_CopyRight"));
    m_ui->Label20->setText(Lang("About_Form_Label_URL_Info"));
    m_ui->Label19->setText(Lang("About_Form_Label_Email_Info"));
}

void AboutPage::openLink(bool mail)
{
    if (mail) {
        OpenURL(this, QStringLiteral("mailto:") + m_ui->Label19->text(), false);
    } else if (!OpenURL(this, m_ui->Label20->text(), false)) {
        OpenURL(this, m_ui->Label20->text(), true);
    }
}

bool AboutPage::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease && (watched == m_ui->Label19 || watched == m_ui->Label20)) {
        openLink(watched == m_ui->Label19);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace kx
