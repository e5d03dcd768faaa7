// SPDX-License-Identifier: Apache-2.0
#include "CertificatePage.h"

#include "ActionBinding.h"
#include "CertImportRunner.h"
#include "CertTree.h"
#include "KeySession.h"
#include "TIMForm.h"
#include "WaitCursor.h"
#include "ui_CertificatePage.h"

#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/widgets/FileDialogs.h"
#include "common/widgets/MessageBox.h"
#include "token/CertRegistration.h"
#include "token/TokenApi.h"
#include "token/TokenWrappers.h"

#include <QMenu>
#include <QSaveFile>
#include <QTimer>

namespace kx {

CertificatePage::CertificatePage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::CertificatePage>()), m_session(session)
{
    m_ui->setupUi(this);
    m_ui->tvCert->setHeaderHidden(true);
    QAction* list = MakeAction(this, "AcListCert", &CertificatePage::AcListCertExecute, m_ui->btnListCert);
    QAction* output = MakeAction(this, "AcOutput", &CertificatePage::AcOutputExecute, m_ui->btnOutput);
    QAction* del = MakeAction(this, "AcDel", &CertificatePage::AcDelExecute, m_ui->btnDel);
    QAction* delCert = MakeAction(this, "AcDelCert", &CertificatePage::AcDelCertExecute, nullptr);
    MakeAction(this, "Acrefresh", &CertificatePage::AcrefreshExecute, m_ui->btnRefreshCert);
    MakeAction(this, "AcInputCert", &CertificatePage::AcInputCertExecute, m_ui->btnInputCert);
    MakeAction(this, "AcRegCert", &CertificatePage::AcRegCertExecute, m_ui->btnRegCert);
    MakeAction(this, "AcUnRegCert", &CertificatePage::AcUnRegCertExecute, m_ui->btnUnRegCert);
    MakeAction(this, "Aclogout", &CertificatePage::AclogoutExecute, m_ui->btnLogout);
    // The certificate actions the language shows.
    delCert->setVisible(Language().switchOn("config_Cert_Del"));
    action("AcInputCert")->setVisible(Language().switchOn("config_Cert_Input"));
    del->setVisible(Language().switchOn("config_Cont_Del"));
    output->setVisible(Language().switchOn("config_Cert_Output"));

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("PMCertInfo"));
    menu->addActions({list, output, del, delCert});
    m_ui->tvCert->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_ui->tvCert, &QTreeWidget::customContextMenuRequested, this, [this, menu](const QPoint& at) {
        if (m_session.importRunning()) {
            return;
        }
        if (QTreeWidgetItem* node = m_ui->tvCert->itemAt(at)) {
            m_ui->tvCert->setCurrentItem(node);
            menu->popup(m_ui->tvCert->viewport()->mapToGlobal(at));
        }
    });
    connect(m_ui->tvCert, &QTreeWidget::currentItemChanged, this, &CertificatePage::UpdateCertActions);
    connect(m_ui->tvCert, &QTreeWidget::itemDoubleClicked, this, &CertificatePage::AcListCertExecute);

    m_runner = new CertImportRunner(m_ui->PBCert, this);
    auto* registration = new QTimer(this);
    registration->setObjectName(QStringLiteral("TRegCert"));
    registration->setInterval(1000);
    connect(registration, &QTimer::timeout, this, &CertificatePage::TRegCertTimer);
    connect(&m_session, &KeySession::keysCleared, this, &CertificatePage::UpdateCertActions);
    // While an import runs, whoever started it, nothing here changes or re-reads the key.
    connect(&m_session, &KeySession::importRunningChanged, this, &CertificatePage::followImport);
    ApplyTexts();
    UpdateCertActions();
}

CertificatePage::~CertificatePage() = default;

QAction* CertificatePage::action(const char* name) const
{
    return findChild<QAction*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

QTimer* CertificatePage::timer(const char* name) const
{
    return findChild<QTimer*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

void CertificatePage::ApplyTexts()
{
    struct Caption
    {
        const char* action;
        LangKey text;
    };
    const Caption captions[] = {{"Acrefresh", "Main_Form_btn_Refresh"},
                                {"AcInputCert", "Main_Form_btn_Import"},
                                {"AcOutput", "Main_Form_btn_Output"},
                                {"AcDel", "Main_Form_btn_Del"},
                                {"AcListCert", "btn_ViewCert"},
                                {"AcRegCert", "K_Cert_Reg"},
                                {"AcUnRegCert", "K_Cert_UnReg"},
                                {"AcDelCert", "K_Cert_Del"},
                                {"Aclogout", "K_Logout"}};
    for (const auto& [name, key] : captions) {
        action(name)->setText(Language().text(key));
    }
}

void CertificatePage::LoadCertTree(int keyIndex)
{
    FillCertTree(m_ui->tvCert, m_session, keyIndex);
}

void CertificatePage::setImportRunning(bool running)
{
    m_session.setImportRunning(running);
}

void CertificatePage::followImport(bool running)
{
    for (const char* name : {"AcInputCert", "Acrefresh", "Aclogout"}) {
        action(name)->setEnabled(!running);
    }
    UpdateCertActions();
}

void CertificatePage::AclogoutExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    m_session.logout(m_session.CurrentKeyIndex());
    emit loggedOut();
}

void CertificatePage::UpdateCertActions()
{
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    const bool loggedIn = m_session.KeyCount() > 0 && m_session.keyIndexValid(m_session.CurrentKeyIndex()) &&
                          m_session.LoginState(m_session.CurrentKeyIndex()) >= KeySession::kLoggedIn;
    const int containers = m_session.keyIndexValid(m_session.CurrentKeyIndex())
                               ? m_session.keyInfo(m_session.CurrentKeyIndex()).containerCount
                               : 0;
    const int level = node ? CertNodeLevel(node) : -1;
    const bool subject = node && level == 2 && CertNodeIndex(node) == 0;
    action("AcDel")->setEnabled(loggedIn && level == 0 && containers > 0);
    for (const char* name : {"AcOutput", "AcListCert", "AcDelCert"}) {
        action(name)->setEnabled(loggedIn && subject);
    }
    action("AcRegCert")->setEnabled(containers > 0);
    action("AcUnRegCert")->setEnabled(containers > 0);
    if (m_session.importRunning()) {
        for (const char* name :
             {"AcDel", "AcOutput", "AcListCert", "AcDelCert", "AcRegCert", "AcUnRegCert", "AcInputCert", "Acrefresh"}) {
            action(name)->setEnabled(false);
        }
    }
}

bool CertificatePage::readSelectedCertificate(QByteArray& der)
{
    QByteArray name;
    int keySpec = 0;
    int container = 0;
    if (!SelectedCertificate(m_ui->tvCert, m_session, name, keySpec, container)) {
        return false;
    }
    if (container_get_cert(m_session.CurrentKeyIndex(), name, keySpec, der) != 0) {
        InfoBox(this, Lang("K_GetKeyCert_Error"));
        return false;
    }
    return true;
}

void CertificatePage::AcListCertExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    QByteArray der;
    if (!readSelectedCertificate(der)) {
        return;
    }
    const int result = helper_show_cert_ui(reinterpret_cast<void*>(winId()), der);
    if (result == DRV_NOT_FOUND) {
        // The library found no certificate viewer on this desktop: say so instead of nothing.
        InfoBox(this, OwnText(OwnMessage::NoCertificateViewer));
    } else if (result != 0) {
        InfoBox(this, Lang("K_GetKeyCert_Error"));
    }
}

void CertificatePage::AcOutputExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    QByteArray der;
    if (!readSelectedCertificate(der)) {
        return;
    }
    const QString file = FileDialogs::current().saveFileName(this, Lang("Main_Form_btn_Output"), QStringLiteral("cer"));
    if (file.isEmpty()) {
        return;
    }
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(der) != der.size() || !out.commit()) {
        InfoBox(this, Lang("Change_No") + QStringLiteral(": ") + out.errorString());
        return;
    }
    InfoBox(this, Lang("OutPut_OK"));
}

void CertificatePage::afterDeletion(int result)
{
    if (result != 0) {
        InfoBox(this, Lang("K_DEL_Error") + Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x") +
                          HexCode(static_cast<std::uint32_t>(result)));
        return;
    }
    // The store forgets every certificate of the provider; the keys still present register theirs
    // again.
    RemoveStoreCertsOfCSP(m_session.appInfo().CSPName);
    LoadCertTree(m_session.CurrentKeyIndex());
    for (int i = 0; i < m_session.KeyCount(); ++i) {
        m_session.registerCertificates(i);
    }
    UpdateCertActions();
}

void CertificatePage::AcDelExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    if (node && CertNodeLevel(node) == 0 && m_session.keyIndexValid(m_session.CurrentKeyIndex()) &&
        CertNodeIndex(node) < m_session.keyInfo(m_session.CurrentKeyIndex()).containerCount &&
        QuestionBox(this, Lang("K_DEL_YES_NO"))) {
        const WaitCursor wait;
        const QByteArray name = m_session.keyInfo(m_session.CurrentKeyIndex())
                                    .containerNames[static_cast<std::size_t>(CertNodeIndex(node))];
        afterDeletion(container_delete(m_session.CurrentKeyIndex(), name));
    }
    m_ui->tvCert->setFocus();
}

void CertificatePage::AcDelCertExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    QByteArray name;
    int keySpec = 0;
    int container = 0;
    if (SelectedCertificate(m_ui->tvCert, m_session, name, keySpec, container) &&
        QuestionBox(this, Lang("K_DEL_YES_NO"))) {
        const WaitCursor wait;
        afterDeletion(container_delete_cert(m_session.CurrentKeyIndex(), name, keySpec));
    }
    m_ui->tvCert->setFocus();
}

void CertificatePage::AcRegCertExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    if (!m_session.keyIndexValid(m_session.CurrentKeyIndex())) {
        return;
    }
    const int result = m_session.registerCertificates(m_session.CurrentKeyIndex());
    InfoBox(this, result == 0 ? Lang("Change_Yes") : Lang("Change_No"));
}

void CertificatePage::AcUnRegCertExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    RemoveStoreCertsOfCSP(m_session.appInfo().CSPName);
    InfoBox(this, Lang("Change_Yes"));
}

void CertificatePage::AcrefreshExecute()
{
    if (m_session.importRunning()) {
        return;
    }
    {
        const WaitCursor wait;
        token_reload_all_objects(m_session.CurrentKeyIndex());
        LoadCertTree(m_session.CurrentKeyIndex());
        UpdateCertActions();
    }
    m_ui->tvCert->setFocus();
}

void CertificatePage::TRegCertTimer()
{
    timer("TRegCert")->stop();
    if (m_session.keyIndexValid(m_session.CurrentKeyIndex())) {
        m_session.registerCertificates(m_session.CurrentKeyIndex());
    }
}

void CertificatePage::reportImportFailure(int result)
{
    if (result == 3) {
        InfoBox(this, Lang("F_Power_Lower"));
    } else if (result == 0x0A000030) {
        InfoBox(this, Lang("K_OutSpace_Error"));
    } else if (const auto refusal = CertFileRefusal(result)) {
        InfoBox(this, Lang(*refusal));
    } else {
        InfoBox(this, Lang("K_Import_Error") + Lang("K_ErrorCODE_Str") + QStringLiteral("  0x") +
                          HexCode(static_cast<std::uint32_t>(result)));
    }
    token_reload_all_objects(m_importJob.keyIndex);
}

void CertificatePage::AcInputCertExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_session.importRunning()) {
        return;
    }
    // 1. The container to offer first.
    m_ui->tvCert->setFocus();
    const TR7Info& info = m_session.keyInfo(k);
    int preselected = info.containerCount - 1;
    if (const QTreeWidgetItem* node = m_ui->tvCert->currentItem(); node && CertNodeLevel(node) <= 1) {
        preselected = node->parent() ? CertNodeIndex(node->parent()) : CertNodeIndex(node);
    }
    // 2. No room on the key.
    // A module that cannot tell its memory reports 0 for both figures; it is not refused.
    if (m_session.reloadKeyInfo(k) && (info.totalMemory != 0 || info.freeMemory != 0) &&
        static_cast<double>(info.freeMemory) / 1024.0 <= 4.0) {
        InfoBox(this, Lang("K_OutSpace_Error"));
        return;
    }
    // 3. The dialog.
    QList<QByteArray> containers;
    for (int i = 0; i < info.containerCount; ++i) {
        containers << info.containerNames[static_cast<std::size_t>(i)];
    }
    TIMForm dialog(containers, preselected, this);
    if (dialog.exec() != 1) {
        return;
    }
    // 4. and 5. The target container and its free key pair.
    QByteArray target;
    if (dialog.newContainer()) {
        target = dialog.newContainerName().toLocal8Bit();
        if (containers.contains(target)) {
            InfoBox(this, Lang("K_Cont_Name_Error"));
            return;
        }
    } else {
        const int chosen = dialog.existingContainer();
        target = containers.value(chosen);
        const auto presence = m_session.certPresence(k, chosen);
        if (dialog.keySpec() == kKeySpecExchange && presence[0] != 0) {
            InfoBox(this, Lang("K_spec_mode1"));
            return;
        }
        if (dialog.keySpec() == kKeySpecSignature && presence[1] != 0) {
            InfoBox(this, Lang("K_spec_mode2"));
            return;
        }
    }
    // 6. to 8. The import, one worker run per certificate of the file.
    int last = 0;
    setImportRunning(true);
    {
        const WaitCursor wait;
        m_importJob.fileType = dialog.fileType();
        m_importJob.keyIndex = k;
        m_importJob.filePath = dialog.path();
        m_importJob.existingContainers = containers;
        if (dialog.certificateCount() <= 1) {
            m_importJob.keySpec = dialog.keySpec();
            m_importJob.certIndex = 0;
            m_importJob.containerName = target;
            last = m_runner->run(m_importJob, true, 0, 1);
            if (last != 0) {
                reportImportFailure(last);
            }
        } else {
            for (int i = 0; i < dialog.certificateCount(); ++i) {
                m_importJob.certIndex = i;
                FileCertInfo certInfo;
                const int described = m_importJob.fileType == TIMForm::Pkcs7 ? p7b_file_get_certinfo(i, certInfo)
                                                                             : pkcs12_file_get_certinfo(i, certInfo);
                if (described == 0) {
                    if (certInfo.certType == kCertEndEntity) {
                        m_importJob.containerName = target;
                        m_importJob.keySpec = dialog.keySpec();
                    } else {
                        m_importJob.containerName = NewGUIDText().toLatin1();
                        m_importJob.keySpec = kKeySpecSignature;
                    }
                }
                last = m_runner->run(m_importJob, false, i, dialog.certificateCount());
                if (last != 0) {
                    reportImportFailure(last);
                    break;
                }
                // The containers made so far count as existing for the next certificate.
                m_importJob.existingContainers << m_importJob.containerName;
            }
        }
    }
    setImportRunning(false);
    // 9. The tree shows the result and the store learns it a second later.
    LoadCertTree(k);
    timer("TRegCert")->start();
    if (last == 0) {
        m_ui->tvCert->setFocus();
    }
    UpdateCertActions();
}
} // namespace kx
