// SPDX-License-Identifier: Apache-2.0
#include "KeyGenDialog.h"

#include "common/FieldLabel.h"
#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/widgets/FileDialogs.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/WindowFont.h"
#include "drivers/drevmor/drevmor.h"
#include "token/CertificateChain.h"

#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <array>

namespace kx {

namespace {

// The choices in the order they are offered, the first the key offers preselected.
constexpr std::array<int, 6> kChoices = {DRV_KEYGEN_RSA2048, DRV_KEYGEN_RSA3072, DRV_KEYGEN_P256,
                                         DRV_KEYGEN_P384,    DRV_KEYGEN_SM2,     DRV_KEYGEN_RSA4096};

// Field lengths the request takes (the key's library refuses longer ones).
constexpr int kNameFieldLength = kKeyGenNameFieldLength;
constexpr int kEmailLength = kKeyGenEmailLength;
constexpr int kContainerNameLength = kKeyGenContainerNameLength;

QLineEdit* field(QWidget* parent, const char* name, int maxLength)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(maxLength);
    return edit;
}

} // namespace

KeyGenDialog::KeyGenDialog(const CertTreeData& tree, int choices, QWidget* parent) : QDialog(parent), m_tree(tree)
{
    setObjectName(QStringLiteral("KeyGenDialog"));
    m_pages = new QStackedWidget(this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pages);
    buildInput(tree, choices);
    buildResult();
    applyTexts();
    updateContainerChoice();
    m_commonName->setFocus();
}

KeyGenDialog::~KeyGenDialog() = default;

QString KeyGenDialog::choiceName(int choice)
{
    switch (choice) {
    case DRV_KEYGEN_RSA2048:
        return QStringLiteral("RSA 2048");
    case DRV_KEYGEN_RSA3072:
        return QStringLiteral("RSA 3072");
    case DRV_KEYGEN_RSA4096:
        return QStringLiteral("RSA 4096");
    case DRV_KEYGEN_P256:
        return QStringLiteral("ECC P-256");
    case DRV_KEYGEN_P384:
        return QStringLiteral("ECC P-384");
    case DRV_KEYGEN_SM2:
        return QStringLiteral("SM2");
    default:
        return QString();
    }
}

void KeyGenDialog::buildInput(const CertTreeData& tree, int choices)
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);

    auto* where = new QGroupBox(page);
    where->setObjectName(QStringLiteral("GroupContainer"));
    auto* whereLayout = new QFormLayout(where);
    m_newContainer = new QRadioButton(where);
    m_newContainer->setObjectName(QStringLiteral("rbNewContainer"));
    m_containerName = field(where, "edtContainerName", kContainerNameLength);
    m_containerName->setText(NewGUIDText());
    m_randomName = new QPushButton(where);
    m_randomName->setObjectName(QStringLiteral("btnRandomName"));
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(m_containerName, 1);
    nameRow->addWidget(m_randomName);
    whereLayout->addRow(m_newContainer, nameRow);
    m_oldContainer = new QRadioButton(where);
    m_oldContainer->setObjectName(QStringLiteral("rbOldContainer"));
    m_containers = new QComboBox(where);
    m_containers->setObjectName(QStringLiteral("cbContainers"));
    for (const ContainerData& container : tree.containers) {
        m_containers->addItem(QString::fromLocal8Bit(container.name), container.name);
    }
    whereLayout->addRow(m_oldContainer, m_containers);
    m_newContainer->setChecked(true);
    m_oldContainer->setEnabled(m_containers->count() > 0);
    layout->addWidget(where);

    auto* form = new QFormLayout;
    const auto addRow = [this, form, page](QWidget* widget) {
        auto* label = new QLabel(page);
        label->setBuddy(widget); // names the field for screen readers
        m_labels.append(label);
        form->addRow(label, widget);
    };
    m_keySpec = new QComboBox(page);
    m_keySpec->setObjectName(QStringLiteral("cbKeySpec"));
    m_keySpec->addItems({QString(), QString()});
    m_keySpec->setItemData(0, DRV_KEYSPEC_EXCHANGE);
    m_keySpec->setItemData(1, DRV_KEYSPEC_SIGNATURE);
    m_keySpec->setCurrentIndex(1);
    addRow(m_keySpec);
    m_algorithm = new QComboBox(page);
    m_algorithm->setObjectName(QStringLiteral("cbAlgorithm"));
    for (const int choice : kChoices) {
        if (choices & choice) {
            m_algorithm->addItem(choiceName(choice), choice);
        }
    }
    addRow(m_algorithm);
    m_commonName = field(page, "edtCommonName", kNameFieldLength);
    addRow(m_commonName);
    m_organization = field(page, "edtOrganization", kNameFieldLength);
    addRow(m_organization);
    m_unit = field(page, "edtUnit", kNameFieldLength);
    addRow(m_unit);
    m_country = field(page, "edtCountry", 2);
    addRow(m_country);
    m_email = field(page, "edtEmail", kEmailLength);
    addRow(m_email);
    layout->addLayout(form);

    m_busyText = new QLabel(page);
    m_busyText->setObjectName(QStringLiteral("lblBusy"));
    m_busyText->setWordWrap(true);
    m_busy = new QProgressBar(page);
    m_busy->setObjectName(QStringLiteral("pbBusy"));
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busyText->hide();
    m_busy->hide();
    layout->addWidget(m_busyText);
    layout->addWidget(m_busy);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_generate = new QPushButton(page);
    m_generate->setObjectName(QStringLiteral("btnGenerate"));
    m_generate->setDefault(true);
    m_cancel = new QPushButton(page);
    m_cancel->setObjectName(QStringLiteral("btnCancel"));
    buttons->addWidget(m_generate);
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons);
    m_pages->addWidget(page);

    connect(m_randomName, &QPushButton::clicked, this, [this] { m_containerName->setText(NewGUIDText()); });
    connect(m_newContainer, &QRadioButton::toggled, this, &KeyGenDialog::updateContainerChoice);
    connect(m_generate, &QPushButton::clicked, this, &KeyGenDialog::generateClicked);
    connect(m_cancel, &QPushButton::clicked, this, &KeyGenDialog::reject);
}

void KeyGenDialog::buildResult()
{
    auto* page = new QWidget(m_pages);
    auto* layout = new QVBoxLayout(page);
    m_resultText = new QLabel(page);
    m_resultText->setObjectName(QStringLiteral("lblRequest"));
    m_resultText->setWordWrap(true);
    m_requestView = new QPlainTextEdit(page);
    m_requestView->setObjectName(QStringLiteral("edtRequest"));
    m_requestView->setReadOnly(true);
    m_requestView->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    m_requestView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_requestView->setMinimumWidth(m_requestView->fontMetrics().horizontalAdvance(QString(66, QLatin1Char('M'))));
    m_resultText->setBuddy(m_requestView);
    layout->addWidget(m_resultText);
    layout->addWidget(m_requestView, 1);
    auto* buttons = new QHBoxLayout;
    m_copy = new QPushButton(page);
    m_copy->setObjectName(QStringLiteral("btnCopy"));
    m_savePem = new QPushButton(page);
    m_savePem->setObjectName(QStringLiteral("btnSavePem"));
    m_saveDer = new QPushButton(page);
    m_saveDer->setObjectName(QStringLiteral("btnSaveDer"));
    m_close = new QPushButton(page);
    m_close->setObjectName(QStringLiteral("btnClose"));
    buttons->addWidget(m_copy);
    buttons->addWidget(m_savePem);
    buttons->addWidget(m_saveDer);
    buttons->addStretch(1);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);
    m_pages->addWidget(page);

    connect(m_copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(requestText()); });
    connect(m_savePem, &QPushButton::clicked, this, [this] { saveRequest(true); });
    connect(m_saveDer, &QPushButton::clicked, this, [this] { saveRequest(false); });
    connect(m_close, &QPushButton::clicked, this, &KeyGenDialog::accept);
}

void KeyGenDialog::applyTexts()
{
    setFont(WindowFont());
    setWindowTitle(Lang("G_Form_Caption"));
    findChild<QGroupBox*>(QStringLiteral("GroupContainer"))->setTitle(Lang("Import_Form_GroupBox2"));
    m_newContainer->setText(Lang("Import_Form_RBtn_New"));
    m_oldContainer->setText(Lang("Import_Form_RBtn_Old"));
    m_randomName->setText(Lang("Import_Form_Btn_Random"));
    m_containerName->setAccessibleName(Lang("G_Form_ContainerName"));
    m_containers->setAccessibleName(Lang("Import_Form_RBtn_Old"));
    m_keySpec->setItemText(0, Lang("G_Form_Exchange"));
    m_keySpec->setItemText(1, Lang("G_Form_Signature"));
    const std::array<QString, 7> captions = {Lang("G_Form_KeyPair"), Lang("G_Form_Algorithm"), Lang("G_Form_CN"),
                                             Lang("G_Form_O"),       Lang("G_Form_OU"),        Lang("G_Form_C"),
                                             Lang("G_Form_Email")};
    for (qsizetype i = 0; i < m_labels.size() && i < static_cast<qsizetype>(captions.size()); ++i) {
        m_labels[i]->setText(WithColon(captions[static_cast<size_t>(i)]));
    }
    m_busyText->setText(Lang("G_Form_Busy"));
    m_busy->setAccessibleName(Lang("G_Form_Busy"));
    m_generate->setText(Lang("G_Form_Generate"));
    m_cancel->setText(Lang("C_Btn_Cancel"));
    m_copy->setText(Lang("G_Form_Copy"));
    m_savePem->setText(Lang("G_Form_SavePem"));
    m_saveDer->setText(Lang("G_Form_SaveDer"));
    m_close->setText(Lang("P_Btn_Close"));
}

void KeyGenDialog::updateContainerChoice()
{
    const bool fresh = m_newContainer->isChecked();
    m_containerName->setEnabled(fresh && !m_working);
    m_randomName->setEnabled(fresh && !m_working);
    m_containers->setEnabled(!fresh && !m_working);
}

KeyGenRequest KeyGenDialog::request() const
{
    KeyGenRequest request;
    request.newContainer = m_newContainer->isChecked();
    request.container = request.newContainer ? m_containerName->text().trimmed().toLocal8Bit()
                                             : m_containers->currentData().toByteArray();
    request.keySpec = m_keySpec->currentData().toInt();
    request.choice = m_algorithm->currentData().toInt();
    request.commonName = m_commonName->text().trimmed();
    request.organization = m_organization->text().trimmed();
    request.unit = m_unit->text().trimmed();
    request.country = m_country->text().trimmed().toUpper();
    request.email = m_email->text().trimmed();
    return request;
}

QString KeyGenDialog::inputProblem() const
{
    switch (KeyGenRequestProblem(request(), m_tree)) {
    case KeyGenProblem::None:
        return QString();
    case KeyGenProblem::NoContainerName:
        return Lang("K_Cont_NullName");
    case KeyGenProblem::ContainerExists:
        return Lang("K_Cont_Name_Error");
    case KeyGenProblem::PairUsed:
        return Lang("G_Err_PairUsed");
    case KeyGenProblem::NoAlgorithm:
        return Lang("G_Err_NoMechanism");
    case KeyGenProblem::NoCommonName:
        return Lang("G_Err_CN");
    case KeyGenProblem::BadCountry:
        return Lang("G_Err_Country");
    case KeyGenProblem::BadEmail:
        return Lang("G_Err_Email");
    case KeyGenProblem::ContainerNameTooLong:
    case KeyGenProblem::FieldTooLong:
        // The fields take no more than the request does.
        break;
    }
    return Lang("G_Err_Failed");
}

void KeyGenDialog::generateClicked()
{
    if (m_working) {
        return;
    }
    if (const QString problem = inputProblem(); !problem.isEmpty()) {
        InfoBox(this, problem);
        return;
    }
    emit generateRequested();
}

void KeyGenDialog::setWorking(bool working)
{
    m_working = working;
    for (QWidget* widget :
         std::initializer_list<QWidget*>{m_newContainer, m_oldContainer, m_keySpec, m_algorithm, m_commonName,
                                         m_organization, m_unit, m_country, m_email, m_generate, m_cancel}) {
        widget->setEnabled(!working);
    }
    m_oldContainer->setEnabled(!working && m_containers->count() > 0);
    updateContainerChoice();
    m_busy->setVisible(working);
    m_busyText->setVisible(working);
    if (!working) {
        m_generate->setFocus();
    }
}

void KeyGenDialog::showRequest(const QByteArray& der)
{
    m_requestDer = der;
    const KeyGenRequest made = request();
    m_resultText->setText(Lang("G_Form_Done").arg(QString::fromLocal8Bit(made.container)));
    m_requestView->setPlainText(requestText());
    m_pages->setCurrentIndex(1);
    m_requestView->setFocus();
}

QString KeyGenDialog::requestText() const
{
    return QString::fromLatin1(PemEncode(m_requestDer, "CERTIFICATE REQUEST"));
}

void KeyGenDialog::saveRequest(bool pem)
{
    const QString file =
        FileDialogs::current().saveFileName(this, pem ? Lang("G_Form_SavePem") : Lang("G_Form_SaveDer"),
                                            pem ? QStringLiteral("csr") : QStringLiteral("der"));
    if (file.isEmpty()) {
        return;
    }
    const QByteArray bytes = pem ? PemEncode(m_requestDer, "CERTIFICATE REQUEST") : m_requestDer;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        InfoBox(this, Lang("Change_No") + QStringLiteral(": ") + out.errorString());
        return;
    }
    InfoBox(this, Lang("OutPut_OK"));
}

void KeyGenDialog::reject()
{
    // The key goes on generating whatever the window does; the dialog stays until it has ended.
    if (!m_working) {
        QDialog::reject();
    }
}

} // namespace kx
