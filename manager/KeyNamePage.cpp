// SPDX-License-Identifier: Apache-2.0
#include "KeyNamePage.h"

#include "ActionBinding.h"
#include "FieldLabel.h"
#include "KeySession.h"
#include "ui_KeyNamePage.h"

#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"

namespace kx {

namespace {

constexpr int kMaxLabelBytes = 31;

} // namespace

KeyNamePage::KeyNamePage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::KeyNamePage>()), m_session(session)
{
    m_ui->setupUi(this);
    MakeAction(this, "AcSetKeyName", &KeyNamePage::AcSetKeyNameExecute, m_ui->btnSetKeyName);
    connect(m_ui->edtKeyName, &QLineEdit::textChanged, this, &KeyNamePage::AcSetKeyNameUpdate);
    ApplyTexts();
    AcSetKeyNameUpdate();
}

KeyNamePage::~KeyNamePage() = default;

void KeyNamePage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcSetKeyName"))->setText(Lang("C_btn_Set"));
    m_ui->Label8->setText(WithColon(Lang("KeyName_Form_Lable")));
}

void KeyNamePage::showKey(int keyIndex)
{
    m_ui->edtKeyName->setText(m_session.keyInfo(keyIndex).labelText().trimmed());
}

void KeyNamePage::AcSetKeyNameExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k)) {
        return;
    }
    if (m_session.pinState(k).values[4] == 1) {
        InfoBox(this, Lang("K_Dead"));
        return;
    }
    const QString label = m_ui->edtKeyName->text().trimmed();
    if (label.toUtf8().size() > kMaxLabelBytes) {
        m_ui->edtKeyName->setFocus();
        InfoBox(this, Lang("K_Len_Error"));
        return;
    }
    if (m_session.renameKey(k, label) != 0) {
        InfoBox(this, Lang("K_Set_No"));
        return;
    }
    InfoBox(this, Lang("K_Set_Yes"));
}

void KeyNamePage::AcSetKeyNameUpdate()
{
    findChild<QAction*>(QStringLiteral("AcSetKeyName"))->setEnabled(!m_ui->edtKeyName->text().isEmpty());
}

} // namespace kx
