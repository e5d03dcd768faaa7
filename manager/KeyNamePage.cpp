// SPDX-License-Identifier: Apache-2.0
#include "KeyNamePage.h"

#include "ActionBinding.h"
#include "KeySession.h"
#include "ui_KeyNamePage.h"

#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/widgets/MessageBox.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/PinJobs.h"
#include "token/TokenWrappers.h"

#include <QLabel>

namespace kx {

namespace {

constexpr int kMaxLabelBytes = 31;
// CKR_FUNCTION_NOT_SUPPORTED: the key's module cannot set a label.
constexpr int kFunctionNotSupported = 0x54;

} // namespace

KeyNamePage::KeyNamePage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::KeyNamePage>()), m_session(session)
{
    m_ui->setupUi(this);
    // Shown instead of offering a rename the key's module cannot do.
    m_unsupported = new QLabel(this);
    m_unsupported->setObjectName(QStringLiteral("lblRenameUnsupported"));
    m_unsupported->setGeometry(40, 150, 400, 48);
    m_unsupported->setWordWrap(true);
    m_unsupported->hide();
    MakeAction(this, "AcSetKeyName", &KeyNamePage::AcSetKeyNameExecute, m_ui->btnSetKeyName);
    connect(m_ui->edtKeyName, &QLineEdit::textChanged, this, &KeyNamePage::AcSetKeyNameUpdate);
    connect(&m_session, &KeySession::keyBusyChanged, this, &KeyNamePage::AcSetKeyNameUpdate);
    ApplyTexts();
    AcSetKeyNameUpdate();
}

KeyNamePage::~KeyNamePage() = default;

void KeyNamePage::ApplyTexts()
{
    findChild<QAction*>(QStringLiteral("AcSetKeyName"))->setText(Lang("C_btn_Set"));
    m_ui->Label8->setText(WithColon(Lang("KeyName_Form_Lable")));
    m_ui->Label8->setBuddy(m_ui->edtKeyName); // names the field for screen readers
    m_unsupported->setText(Lang("K_Rename_Unsupported"));
}

bool KeyNamePage::canRename(int keyIndex) const
{
    return !m_session.keyIndexValid(keyIndex) || (m_session.service().keyCaps(keyIndex) & DRV_CAP_SET_LABEL);
}

void KeyNamePage::showKey(int keyIndex)
{
    m_ui->edtKeyName->setText(m_session.keyInfo(keyIndex).labelText().trimmed());
    const bool renames = canRename(keyIndex);
    m_ui->edtKeyName->setReadOnly(!renames);
    m_unsupported->setVisible(!renames);
    AcSetKeyNameUpdate();
}

void KeyNamePage::AcSetKeyNameExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_pending || !canRename(k)) {
        return;
    }
    const QString typed = m_ui->edtKeyName->text();
    // A name of blanks only would leave the key nameless.
    if (typed.trimmed().isEmpty()) {
        m_ui->edtKeyName->setFocus();
        InfoBox(this, Lang("K_Name_Empty"));
        return;
    }
    const QByteArray key = m_session.service().keyId(k);
    // A key whose PIN is locked keeps its name, although renaming needs no PIN.
    m_pending = m_session.service().runOn<PinStateOutcome>(
        key, QStringLiteral("K_Wait_Info"), [](KeyCall& call) { return ReadPinState(call); }, this,
        [this, typed, key](PinStateOutcome& pin, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (pin.state.values[4] == 1) {
                InfoBox(this, Lang("K_Dead"));
                return;
            }
            const QString label = typed.trimmed();
            if (label.toUtf8().size() > kMaxLabelBytes) {
                m_ui->edtKeyName->setFocus();
                InfoBox(this, Lang("K_Len_Error"));
                return;
            }
            rename(key, label);
        });
    AcSetKeyNameUpdate();
}

void KeyNamePage::rename(const QByteArray& key, const QString& label)
{
    m_pending = m_session.service().runOn<int>(
        key, QStringLiteral("K_Wait_Write"),
        [label](KeyCall& call) { return call.at([&](int position) { return token_set_label(position, label); }); },
        this,
        [this, label](int& result, int keyIndex) {
            m_pending = false;
            if (keyIndex < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (result == kFunctionNotSupported) {
                // The key's module has no way to rename a key: say so rather than a bare failure.
                InfoBox(this, Lang("K_Rename_Unsupported"));
                return;
            }
            if (result != 0) {
                InfoBox(this, Lang("K_Set_No"));
                return;
            }
            m_session.renamed(keyIndex, label);
            InfoBox(this, Lang("K_Set_Yes"));
        });
}

void KeyNamePage::AcSetKeyNameUpdate()
{
    findChild<QAction*>(QStringLiteral("AcSetKeyName"))
        ->setEnabled(!m_ui->edtKeyName->text().isEmpty() && !m_session.keyBusy(m_session.CurrentKeyIndex()) &&
                     canRename(m_session.CurrentKeyIndex()));
}

} // namespace kx
