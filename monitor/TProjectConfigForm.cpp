// SPDX-License-Identifier: Apache-2.0
#include "TProjectConfigForm.h"

#include "ui_TProjectConfigForm.h"

#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/WindowFont.h"
#include "common/widgets/WindowPlacement.h"

namespace kx::mon {

TProjectConfigForm::TProjectConfigForm(QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::TProjectConfigForm>())
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("ProjectConfigForm"));
    // A fixed-size tool window with only a close box: no task-bar button.
    setWindowFlags(Qt::Dialog | Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    m_ui->edtCertDay->setRange(kMinCertDay, kMaxCertDay);
    m_ui->cbLanguageID->setEditable(false);
    m_ui->btnSave->setDefault(true);
    connect(m_ui->cbOpenURL, &QCheckBox::clicked, this, &TProjectConfigForm::cbOpenURLClick);
    connect(m_ui->cbCertDay, &QCheckBox::clicked, this, &TProjectConfigForm::cbCertDayClick);
    connect(m_ui->btnSave, &QPushButton::clicked, this, &TProjectConfigForm::btnSaveClick);
    connect(m_ui->Button1, &QPushButton::clicked, this, &QDialog::reject);
    CentreOnScreen(this);
}

TProjectConfigForm::~TProjectConfigForm() = default;

void TProjectConfigForm::showEvent(QShowEvent* event)
{
    ApplyTexts();
    QDialog::showEvent(event);
}

void TProjectConfigForm::ApplyTexts()
{
    setFont(WindowFont());
    setWindowTitle(Lang("Main_Form_PopupMenu_Advanced"));
    m_ui->GroupBox1->setTitle(Lang("Config_Form_GroupBox"));
    // The colon is added even after a text that ends with one.
    m_ui->cbOpenURL->setText(WithColon(Lang("Config_Form_CBOpenURL")));
    m_ui->rb1->setText(Lang("Config_Form_RBtn1"));
    // The other choice hands the address to x-www-browser, the browser the system's
    // administrator chose, where the first one asks the desktop for the user's own default.
    m_ui->rb2->setText(Lang("Config_Form_SysBrowser"));
    m_ui->cbCertDay->setText(WithColon(Lang("Config_Form_CBCertday")));
    m_ui->Label1->setText(Lang("Config_Form_Lable"));
    m_ui->cbDefaultPIN->setText(Lang("Config_Form_DefaultPIN"));
    m_ui->cbDesktopReg->setText(Lang("Config_Form_DesktopReg"));
    m_ui->Label2->setText(Lang("Config_Form_Language"));
    m_ui->btnSave->setText(Lang("Config_Form_btnSave"));
    m_ui->Button1->setText(Lang("C_Btn_Cancel"));
}

void TProjectConfigForm::fill(const TUserConfigInfo& config)
{
    m_ui->cbOpenURL->setChecked(config.URLOpenMode != 0);
    m_ui->edtURL->setText(config.URL);
    if (config.BrowserMode != 0) {
        m_ui->rb2->setChecked(true);
    } else {
        m_ui->rb1->setChecked(true);
    }
    m_ui->cbCertDay->setChecked(config.CertTips != 0);
    // The spin box brings a value outside its range to the nearer limit (0 shows as 30).
    m_ui->edtCertDay->setValue(config.CertDay);
    m_ui->cbDefaultPIN->setChecked(config.DefaultPINMode != 0);
    m_ui->cbDesktopReg->setChecked(config.DesktopRegistration != 0);
    cbOpenURLClick();
    cbCertDayClick();
}

void TProjectConfigForm::setLanguages(const QStringList& names, int selected)
{
    m_ui->cbLanguageID->clear();
    m_ui->cbLanguageID->addItems(names);
    m_ui->cbLanguageID->setCurrentIndex(selected);
}

void TProjectConfigForm::read(TUserConfigInfo& config, int& languageEntry) const
{
    config.URLOpenMode = m_ui->cbOpenURL->isChecked() ? 1 : 0;
    config.URL = m_ui->edtURL->text().trimmed();
    config.BrowserMode = m_ui->rb2->isChecked() ? 1 : 0;
    config.CertTips = m_ui->cbCertDay->isChecked() ? 1 : 0;
    // A number still being typed counts as entered.
    m_ui->edtCertDay->interpretText();
    config.CertDay = m_ui->edtCertDay->value();
    config.DefaultPINMode = m_ui->cbDefaultPIN->isChecked() ? 1 : 0;
    config.DesktopRegistration = m_ui->cbDesktopReg->isChecked() ? 1 : 0;
    languageEntry = m_ui->cbLanguageID->currentIndex();
}

void TProjectConfigForm::cbOpenURLClick()
{
    const bool on = m_ui->cbOpenURL->isChecked();
    m_ui->edtURL->setEnabled(on);
    m_ui->rb1->setEnabled(on);
    m_ui->rb2->setEnabled(on);
}

void TProjectConfigForm::cbCertDayClick()
{
    m_ui->edtCertDay->setEnabled(m_ui->cbCertDay->isChecked());
}

void TProjectConfigForm::btnSaveClick()
{
    if (!m_ui->cbOpenURL->isChecked()) {
        m_ui->edtURL->clear();
        accept();
        return;
    }
    if (m_ui->edtURL->text().isEmpty()) {
        InfoBox(this, Lang("S_URLNull"));
        m_ui->edtURL->setFocus();
        return;
    }
    accept();
}

} // namespace kx::mon
