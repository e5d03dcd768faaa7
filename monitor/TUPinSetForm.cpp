// SPDX-License-Identifier: Apache-2.0
#include "TUPinSetForm.h"

#include "ui_TUPinSetForm.h"

#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/PINPolicy.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/ShowPINStrength.h"
#include "common/widgets/WindowFont.h"

#include <QKeyEvent>
#include <QStyle>

namespace kx::mon {

TUPinSetForm::TUPinSetForm(QWidget* parent) : QDialog(parent), m_ui(std::make_unique<Ui::TUPinSetForm>())
{
    m_ui->setupUi(this);
    setObjectName(QStringLiteral("UPinSetForm"));
    // Topmost, with a title but no system menu and so no close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowStaysOnTopHint);
    setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    m_ui->btnNO->hide();
    m_ui->btn2->hide();
    m_ui->cbDefaultPIN->hide();
    m_ui->L7->hide();
    m_ui->Panel1->hide();
    for (QPushButton* button : {m_ui->btnOK, m_ui->btnNO, m_ui->btn1, m_ui->btn2}) {
        button->setAutoDefault(false);
    }
    m_ui->btnOK->setEnabled(false);
    // Screen readers name each PIN field after its label.
    m_ui->Label1->setBuddy(m_ui->edtUPin);
    m_ui->Label2->setBuddy(m_ui->edtNewUPin1);
    m_ui->Label3->setBuddy(m_ui->edtNewUPin2);

    connect(m_ui->edtUPin, &QLineEdit::textChanged, this, &TUPinSetForm::edtUPinChange);
    connect(m_ui->edtNewUPin1, &QLineEdit::textChanged, this,
            [this](const QString& text) { ShowPINStrength(m_ui->PStrength_UPIN, text); });
    connect(m_ui->edtNewUPin2, &QLineEdit::textChanged, this, &TUPinSetForm::edtNewUPin2Change);
    connect(m_ui->btnOK, &QPushButton::clicked, this, &TUPinSetForm::btnOKClick);
    connect(m_ui->btnNO, &QPushButton::clicked, this, [this] { done(2); });
    connect(m_ui->btn1, &QPushButton::clicked, this, [this] { done(1); });
    connect(m_ui->btn2, &QPushButton::clicked, this, [this] { done(2); });
    for (QWidget* w : {static_cast<QWidget*>(m_ui->edtUPin), static_cast<QWidget*>(m_ui->edtNewUPin1),
                       static_cast<QWidget*>(m_ui->edtNewUPin2), static_cast<QWidget*>(m_ui->btnOK),
                       static_cast<QWidget*>(m_ui->btnNO)}) {
        w->installEventFilter(this);
    }
    installEventFilter(this);
}

TUPinSetForm::~TUPinSetForm()
{
    // The PINs were for the opener's change only.
    ClearSecretField(m_ui->edtUPin);
    ClearSecretField(m_ui->edtNewUPin1);
    ClearSecretField(m_ui->edtNewUPin2);
}

QString TUPinSetForm::oldPin() const
{
    return m_ui->edtUPin->text();
}

QString TUPinSetForm::newPin() const
{
    return m_ui->edtNewUPin1->text();
}

bool TUPinSetForm::defaultPinChecked() const
{
    return m_ui->cbDefaultPIN->isChecked();
}

void TUPinSetForm::setDefaultPinChecked(bool checked)
{
    m_ui->cbDefaultPIN->setChecked(checked);
}

void TUPinSetForm::setOverdueText(const QString& text)
{
    m_ui->L7->setText(text);
    m_ui->L7->setVisible(!text.isEmpty());
}

void TUPinSetForm::showEvent(QShowEvent* event)
{
    if (!m_endpoint) {
        // Registered before the manager is told to close, so a manager started in between
        // already sees the dialog.
        m_endpoint = new CommandEndpoint(QString::fromLatin1(kPinDialogWindowClass), this);
        connect(m_endpoint, &CommandEndpoint::systemCommandReceived, this, [this](quint32 command) {
            if (command == SC_CLOSE) {
                done(2);
            }
        });
    }
    ApplyDialogTexts();
    QDialog::showEvent(event);
    raise();
}

void TUPinSetForm::hideEvent(QHideEvent* event)
{
    // The class disappears with the dialog; deferred, as a close can come from the endpoint itself.
    if (m_endpoint) {
        m_endpoint->deleteLater();
        m_endpoint = nullptr;
    }
    QDialog::hideEvent(event);
}

void TUPinSetForm::ApplyDialogTexts()
{
    SendCommand(QStringLiteral("CLOSE"), QString::fromLatin1(kManagerWindowClass));
    setFont(WindowFont());
    setWindowTitle(Lang("Main_Form_btn_SetUPIN"));
    m_ui->Label1->setText(Lang("UPINSet_Form_OldPIN"));
    m_ui->Label2->setText(Lang("UPINSet_Form_NewPIN1"));
    m_ui->Label3->setText(Lang("UPINSet_Form_NewPIN2"));
    m_ui->btnOK->setText(Lang("C_Btn_Confirm"));
    m_ui->btnNO->setText(Lang("C_Btn_Cancel"));
    m_ui->Label7->setText(PINPolicyText());
    setFixedSize(380, 260);
    ClearPINStrength(m_ui->PStrength_UPIN);
    if (PromptMode == kQuestionMode) {
        m_ui->GroupBox1->hide();
        m_ui->btnOK->hide();
        m_ui->btnNO->hide();
        setWindowTitle(Lang("P_MSGTitle"));
        m_ui->btn1->setText(Lang("Btn_Yes"));
        m_ui->btn2->setText(Lang("Btn_No"));
        m_ui->lmsg->setText(Lang("K_DefaultUPINInfo"));
        m_ui->cbDefaultPIN->setText(Lang("P_DefaultPIN_Info"));
        int width = 380;
        const int messageWidth = m_ui->lmsg->fontMetrics().horizontalAdvance(m_ui->lmsg->text());
        if (messageWidth > 280) {
            width = messageWidth + 100;
            m_ui->lmsg->resize(messageWidth + 10, m_ui->lmsg->height());
        }
        setFixedSize(width, 180);
        m_ui->Panel1->setGeometry(0, 0, width, 180);
        m_ui->Image1->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
        m_ui->Panel1->show();
    }
}

void TUPinSetForm::edtUPinChange()
{
    m_ui->Label4->setText(QString::number(m_ui->edtUPin->text().size()));
    m_ui->btnOK->setEnabled(m_ui->edtUPin->text().size() >= 4 && m_ui->edtNewUPin1->text().size() >= 4 &&
                            m_ui->edtNewUPin2->text().size() >= 4);
}

void TUPinSetForm::edtNewUPin2Change()
{
    m_ui->btnOK->setEnabled(m_ui->edtNewUPin2->text().size() >= 8);
}

void TUPinSetForm::btnOKClick()
{
    const QString pin = m_ui->edtNewUPin1->text();
    if (pin != m_ui->edtNewUPin2->text()) {
        NoticeBox(this, Lang("S_PIN_equal"), {.questionIcon = true});
    } else if (pin.size() < MinPINLen || pin.size() > MaxPINLen) {
        InfoBox(this, Lang("UPIN_E2") + QStringLiteral("(%1--%2)").arg(MinPINLen).arg(MaxPINLen));
    } else if (PINStrength(pin) < 3) {
        InfoBox(this, PINPolicyText());
    } else {
        done(1);
    }
}

bool TUPinSetForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        // The change handlers also run when a field is entered.
        if (watched == m_ui->edtUPin) {
            edtUPinChange();
        } else if (watched == m_ui->edtNewUPin1) {
            ShowPINStrength(m_ui->PStrength_UPIN, m_ui->edtNewUPin1->text());
        } else if (watched == m_ui->edtNewUPin2) {
            edtNewUPin2Change();
        }
    } else if (event->type() == QEvent::FocusOut) {
        if (watched == m_ui->edtUPin) {
            m_ui->Label4->clear();
        } else if (watched == m_ui->edtNewUPin1) {
            m_ui->Label5->clear();
        } else if (watched == m_ui->edtNewUPin2) {
            m_ui->Label6->clear();
        }
    } else if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
        if (watched == m_ui->edtNewUPin2) {
            if (enter) {
                if (m_ui->edtUPin->text().size() >= 4 && m_ui->edtNewUPin1->text().size() >= 4) {
                    btnOKClick();
                }
                return true;
            }
            return false;
        }
        // Return on a button presses it (a keyboard user answers the question or confirms with
        // it); in a field it moves on, as Down does.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget());
            enter && button && button->isVisible() && button->isEnabled()) {
            button->click();
            return true;
        }
        if (enter || key == Qt::Key_Down) {
            focusNextChild();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kx::mon
