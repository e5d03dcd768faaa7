// SPDX-License-Identifier: Apache-2.0
#include "TIMForm.h"

#include "ui_TIMForm.h"

#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/widgets/FileDialogs.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/WindowFont.h"
#include "keyservice/CertJobs.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace kx {

namespace {

bool withoutPassword(const QString& path)
{
    // Extensions compare exactly: ".CER" or ".crt" are read as PKCS#12 files.
    return path.endsWith(QStringLiteral(".cer")) || path.endsWith(QStringLiteral(".p7b"));
}

} // namespace

TIMForm::TIMForm(const QList<QByteArray>& containers, int preselected, QWidget* parent)
    : QDialog(parent), m_ui(std::make_unique<Ui::TIMForm>())
{
    m_ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    m_ui->edtPath->setReadOnly(true);
    m_ui->edtPath->setAcceptDrops(true);
    m_ui->edtPath->installEventFilter(this);
    m_ui->edtpwd->installEventFilter(this);
    for (const QByteArray& name : containers) {
        m_ui->cbContName->addItem(QString::fromLocal8Bit(name));
    }
    m_ui->rb3->setChecked(true);
    if (containers.isEmpty()) {
        m_ui->rb1->setChecked(true);
        m_ui->rb2->setEnabled(false);
    } else {
        m_ui->rb2->setChecked(true);
        m_ui->cbContName->setCurrentIndex(std::clamp(preselected, 0, int(containers.size()) - 1));
    }
    connect(m_ui->btnpath, &QPushButton::clicked, this, [this] {
        const QString file = FileDialogs::current().openFileName(
            this, Lang("I_SelectCert"), QStringLiteral("Cert file (*.pfx *.p12 *.p7b *.cer *.crt)"));
        if (!file.isEmpty()) {
            chooseFile(file);
        }
    });
    connect(m_ui->btnRandom, &QPushButton::clicked, this, [this] { m_ui->edtContname->setText(NewGUIDText()); });
    connect(m_ui->rb1, &QRadioButton::toggled, this, &TIMForm::updateOk);
    connect(m_ui->rb2, &QRadioButton::toggled, this, &TIMForm::updateOk);
    connect(m_ui->edtContname, &QLineEdit::textChanged, this, &TIMForm::updateOk);
    connect(m_ui->edtpwd, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_ui->Label1->setText(QString::number(text.size())); });
    connect(m_ui->btnOK, &QPushButton::clicked, this, &TIMForm::btnOKClick);
    connect(m_ui->btnNO, &QPushButton::clicked, this, [this] { done(2); });
    applyTexts();
    m_ui->btnOK->setEnabled(false);
    m_ui->edtpwd->setEnabled(false);
    updateOk();
}

TIMForm::~TIMForm()
{
    // The password was needed only to parse the file.
    ClearSecretField(m_ui->edtpwd);
}

void TIMForm::applyTexts()
{
    setFont(WindowFont());
    setWindowTitle(Lang("Main_Form_btn_Import"));
    m_ui->GroupBox1->setTitle(Lang("Import_Form_GroupBox1"));
    m_ui->GroupBox2->setTitle(Lang("Import_Form_GroupBox2"));
    m_ui->GroupBox3->setTitle(Lang("Import_Form_GroupBox3"));
    m_ui->btnpath->setText(Lang("Import_Form_Btn_Load"));
    m_ui->LabelPwd->setText(WithColon(Lang("Import_Form_Lable_Pwd")));
    m_ui->LabelPwd->setBuddy(m_ui->edtpwd); // names the field for screen readers
    m_ui->rb1->setText(Lang("Import_Form_RBtn_New"));
    m_ui->rb2->setText(Lang("Import_Form_RBtn_Old"));
    m_ui->btnRandom->setText(Lang("Import_Form_Btn_Random"));
    m_ui->rb3->setText(Lang("Import_Form_RBtn_CertMode1"));
    m_ui->rb4->setText(Lang("Import_Form_RBtn_CertMode2"));
    m_ui->btnOK->setText(Lang("C_Btn_Confirm"));
    m_ui->btnNO->setText(Lang("C_Btn_Cancel"));
}

void TIMForm::chooseFile(const QString& path)
{
    m_ui->edtPath->setText(path);
    updatePasswordField();
    updateOk();
}

void TIMForm::dropFiles(const QStringList& paths)
{
    QString last;
    for (const QString& path : paths) {
        if (QFileInfo(path).isFile()) {
            last = path;
        }
    }
    if (!last.isEmpty()) {
        chooseFile(last);
    }
}

void TIMForm::updatePasswordField()
{
    const bool needed = !withoutPassword(m_ui->edtPath->text());
    m_ui->edtpwd->setEnabled(needed);
    if (needed) {
        m_ui->edtpwd->setFocus();
    }
}

void TIMForm::updateOk()
{
    const bool newOne = m_ui->rb1->isChecked();
    m_ui->edtContname->setEnabled(newOne);
    m_ui->btnRandom->setEnabled(newOne);
    m_ui->cbContName->setEnabled(!newOne);
    // Nothing can be imported before a file is chosen.
    const bool fileChosen = !path().isEmpty();
    m_ui->btnOK->setEnabled(!m_parsing && fileChosen &&
                            (newOne ? !m_ui->edtContname->text().isEmpty() : m_ui->rb2->isChecked()));
}

void TIMForm::btnOKClick()
{
    if (m_parsing) {
        return;
    }
    const QString file = path();
    if (!QFileInfo(file).isFile()) {
        InfoBox(this, Lang("I_SelectCert"));
        return;
    }
    if (file.endsWith(QStringLiteral(".cer"))) {
        m_fileType = X509;
        m_certificateCount = 1;
        finishOk();
        return;
    }
    const bool pkcs7 = file.endsWith(QStringLiteral(".p7b"));
    const int fileType = pkcs7 ? Pkcs7 : Pkcs12;
    if (!m_parser) {
        return;
    }
    // The file is parsed away from the window; the dialog waits for the answer with OK disabled.
    m_parsing = true;
    setCursor(Qt::BusyCursor);
    updateOk();
    m_parser(fileType, file, MakeSecret(password()), this, [this, fileType](int result, int count) {
        m_parsing = false;
        unsetCursor();
        updateOk();
        if (result != 0) {
            const char* refusal = CertFileRefusalKey(result);
            const std::optional<LangKey> key = LangKey::lookup(refusal);
            InfoBox(this, Lang(key.value_or(LangKey("I_CertPINError"))));
            m_ui->edtpwd->setFocus();
            return;
        }
        if (count <= 0) {
            InfoBox(this, Lang("I_CertFileError"));
            return;
        }
        m_fileType = fileType;
        m_certificateCount = count;
        finishOk();
    });
}

void TIMForm::finishOk()
{
    if (m_ui->rb1->isChecked() && m_ui->edtContname->text().trimmed().isEmpty()) {
        InfoBox(this, Lang("K_Cont_NullName"));
        return;
    }
    done(1);
}

bool TIMForm::newContainer() const
{
    return m_ui->rb1->isChecked();
}

QString TIMForm::newContainerName() const
{
    return m_ui->edtContname->text();
}

int TIMForm::existingContainer() const
{
    return m_ui->cbContName->currentIndex();
}

int TIMForm::keySpec() const
{
    return m_ui->rb4->isChecked() ? 2 : 1;
}

QString TIMForm::path() const
{
    return m_ui->edtPath->text();
}

QString TIMForm::password() const
{
    return m_ui->edtpwd->text();
}

bool TIMForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_ui->edtPath && event->type() == QEvent::DragEnter) {
        auto* drag = static_cast<QDragEnterEvent*>(event);
        if (drag->mimeData()->hasUrls()) {
            drag->acceptProposedAction();
            return true;
        }
    } else if (watched == m_ui->edtPath && event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        QStringList paths;
        for (const QUrl& url : drop->mimeData()->urls()) {
            if (url.isLocalFile()) {
                paths << url.toLocalFile();
            }
        }
        dropFiles(paths);
        drop->acceptProposedAction();
        return true;
    } else if (watched == m_ui->edtpwd && event->type() == QEvent::FocusIn) {
        m_ui->Label1->setText(QString::number(m_ui->edtpwd->text().size()));
    } else if (watched == m_ui->edtpwd && event->type() == QEvent::FocusOut) {
        m_ui->Label1->clear();
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace kx
