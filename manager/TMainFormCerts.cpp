// SPDX-License-Identifier: Apache-2.0
// The certificate page of the main window: the container tree, show, export, delete, register,
// and the import of certificate files.

#include "TIMForm.h"
#include "TMainForm.h"

#include "TreeIcons.h"
#include "WaitCursor.h"
#include "ui_TMainForm.h"

#include "common/Delay.h"
#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/widgets/FileDialogs.h"
#include "common/widgets/MessageBox.h"
#include "token/CertRegistration.h"
#include "token/TokenApi.h"
#include "token/TokenWrappers.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QMenu>
#include <QMouseEvent>
#include <QSaveFile>
#include <QThread>
#include <QTimer>

#include <memory>

namespace kx {

namespace {

// Tree pictures of the certificate page.
enum CertImage
{
    ContainerImage = 9,
    CertificateImage = 3,
    SubjectImage = 7,
    PublicKeyImage = 22,
    PrivateKeyImage = 4
};

int levelOf(const QTreeWidgetItem* node)
{
    int level = 0;
    for (const QTreeWidgetItem* up = node->parent(); up; up = up->parent()) {
        ++level;
    }
    return level;
}

int indexOf(const QTreeWidgetItem* node)
{
    return node->parent() ? node->parent()->indexOfChild(const_cast<QTreeWidgetItem*>(node))
                          : node->treeWidget()->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(node));
}

QString keyText(int algorithm, int bits)
{
    return algorithm == kKeyAlgorithmECC ? QStringLiteral("(ECC%1)").arg(bits) : QStringLiteral("(RSA%1)").arg(bits);
}

} // namespace

void TMainForm::createCertActions()
{
    QAction* list = makeAction("AcListCert", &TMainForm::AcListCertExecute, m_ui->btnListCert);
    QAction* output = makeAction("AcOutput", &TMainForm::AcOutputExecute, m_ui->btnOutput);
    QAction* del = makeAction("AcDel", &TMainForm::AcDelExecute, m_ui->btnDel);
    QAction* delCert = makeAction("AcDelCert", &TMainForm::AcDelCertExecute, nullptr);
    makeAction("Acrefresh", &TMainForm::AcrefreshExecute, m_ui->btnRefreshCert);
    makeAction("AcInputCert", &TMainForm::AcInputCertExecute, m_ui->btnInputCert);
    makeAction("AcRegCert", &TMainForm::AcRegCertExecute, m_ui->btnRegCert);
    makeAction("AcUnRegCert", &TMainForm::AcUnRegCertExecute, m_ui->btnUnRegCert);

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("PMCertInfo"));
    menu->addActions({list, output, del, delCert});
    m_ui->tvCert->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_ui->tvCert, &QTreeWidget::customContextMenuRequested, this, [this, menu](const QPoint& at) {
        if (m_importRunning) {
            return;
        }
        if (QTreeWidgetItem* node = m_ui->tvCert->itemAt(at)) {
            m_ui->tvCert->setCurrentItem(node);
            menu->popup(m_ui->tvCert->viewport()->mapToGlobal(at));
        }
    });
    connect(m_ui->tvCert, &QTreeWidget::currentItemChanged, this, &TMainForm::UpdateCertActions);
    connect(m_ui->tvCert, &QTreeWidget::itemDoubleClicked, this, &TMainForm::AcListCertExecute);
    m_ui->PBCert->setVisible(false);
    connect(timer("TRegCert"), &QTimer::timeout, this, &TMainForm::TRegCertTimer);
    connect(timer("TimerCert"), &QTimer::timeout, this, &TMainForm::TimerCertTick);
}

std::array<std::uint8_t, 2> TMainForm::certPresence(int keyIndex, int container) const
{
    if (keyIndex < 0 || keyIndex >= kKeyTableSize || container < 0 ||
        static_cast<std::size_t>(container) >= m_presence[static_cast<std::size_t>(keyIndex)].size()) {
        return {0, 0};
    }
    return m_presence[static_cast<std::size_t>(keyIndex)][static_cast<std::size_t>(container)];
}

void TMainForm::addCertNodes(QTreeWidgetItem* container, int keyIndex, const QByteArray& name, int keySpec)
{
    const int position = indexOf(container);
    auto& presence = m_presence[static_cast<std::size_t>(keyIndex)][static_cast<std::size_t>(position)];
    const auto slot = static_cast<std::size_t>(keySpec - 1);
    presence[slot] = 0;
    auto cert = std::make_unique<TR7CertInfo>();
    if (ReadContainerCert(keyIndex, name, keySpec, *cert) != 0) {
        return;
    }
    QString title = Language().text(keySpec == kKeySpecExchange ? LangKey("K_Cert_mode1") : LangKey("K_Cert_mode2"));
    if (cert->certType == kCertRoot) {
        title += QStringLiteral("(ROOT)");
    } else if (cert->certType == kCertCA) {
        title += QStringLiteral("(CA)");
    }
    auto* certNode = new QTreeWidgetItem(container, {title});
    certNode->setIcon(0, TreeIcon(CertificateImage));
    auto* subject = new QTreeWidgetItem(certNode, {cert->subject});
    subject->setIcon(0, TreeIcon(SubjectImage));
    int algorithm = 0;
    if (container_get_pubkey(keyIndex, name, keySpec, algorithm) == 0) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pub") + keyText(algorithm, cert->keyBits)});
        node->setIcon(0, TreeIcon(PublicKeyImage));
    }
    int privateAlgorithm = 0;
    if (container_get_prikey(keyIndex, name, keySpec, &privateAlgorithm) == 0) {
        auto* node = new QTreeWidgetItem(certNode, {Lang("K_RSA_Pri") + keyText(privateAlgorithm, cert->keyBits)});
        node->setIcon(0, TreeIcon(PrivateKeyImage));
    }
    presence[slot] = static_cast<std::uint8_t>(keySpec);
}

void TMainForm::LoadCertTree(int keyIndex)
{
    QTreeWidget* tree = m_ui->tvCert;
    const QSignalBlocker blocker(tree);
    tree->clear();
    if (!keyIndexValid(keyIndex)) {
        return;
    }
    TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(keyIndex)];
    if (LoadContainerNames(keyIndex, info) != 0) {
        info.containerCount = 0;
    }
    m_presence[static_cast<std::size_t>(keyIndex)].assign(static_cast<std::size_t>(info.containerCount), {0, 0});
    if (info.containerCount == 0) {
        new QTreeWidgetItem(tree, {Lang("K_Null_cont")});
    }
    for (int i = 0; i < info.containerCount; ++i) {
        const QByteArray& name = info.containerNames[static_cast<std::size_t>(i)];
        auto* container = new QTreeWidgetItem(tree, {QString::fromLocal8Bit(name) + Lang("K_Cont")});
        container->setIcon(0, TreeIcon(ContainerImage));
        addCertNodes(container, keyIndex, name, kKeySpecExchange);
        addCertNodes(container, keyIndex, name, kKeySpecSignature);
    }
    tree->expandAll();
}

void TMainForm::UpdateCertActions()
{
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    const bool loggedIn =
        KeyCount > 0 && keyIndexValid(CurrentKeyIndex) && LoginState[static_cast<std::size_t>(CurrentKeyIndex)] >= 2;
    const int containers = keyIndexValid(CurrentKeyIndex) ? keyInfo(CurrentKeyIndex).containerCount : 0;
    const int level = node ? levelOf(node) : -1;
    const bool subject = node && level == 2 && indexOf(node) == 0;
    action("AcDel")->setEnabled(loggedIn && level == 0 && containers > 0);
    for (const char* name : {"AcOutput", "AcListCert", "AcDelCert"}) {
        action(name)->setEnabled(loggedIn && subject);
    }
    action("AcRegCert")->setEnabled(containers > 0);
    action("AcUnRegCert")->setEnabled(containers > 0);
    if (m_importRunning) {
        for (const char* name :
             {"AcDel", "AcOutput", "AcListCert", "AcDelCert", "AcRegCert", "AcUnRegCert", "AcInputCert", "Acrefresh"}) {
            action(name)->setEnabled(false);
        }
    }
}

void TMainForm::setImportRunning(bool running)
{
    m_importRunning = running;
    // The key tree leads to pages that re-read the key; the import keeps the key to itself.
    m_ui->tv->setEnabled(!running);
    for (const char* name : {"AcInputCert", "Acrefresh", "Aclogout", "AcFindKeyRefresh"}) {
        action(name)->setEnabled(!running);
    }
    UpdateCertActions();
}

bool TMainForm::selectedCertificate(QByteArray& name, int& keySpec, int& container) const
{
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    if (!node || levelOf(node) != 2 || indexOf(node) != 0 || !keyIndexValid(CurrentKeyIndex)) {
        return false;
    }
    const QTreeWidgetItem* top = node->parent()->parent();
    container = indexOf(top);
    const TR7Info& info = keyInfo(CurrentKeyIndex);
    if (container < 0 || container >= info.containerCount) {
        return false;
    }
    name = info.containerNames[static_cast<std::size_t>(container)];
    const auto presence = certPresence(CurrentKeyIndex, container);
    keySpec = indexOf(node->parent()) == 0 && presence[0] != 0 ? presence[0] : presence[1];
    return keySpec == kKeySpecExchange || keySpec == kKeySpecSignature;
}

bool TMainForm::readSelectedCertificate(QByteArray& der)
{
    QByteArray name;
    int keySpec = 0;
    int container = 0;
    if (!selectedCertificate(name, keySpec, container)) {
        return false;
    }
    if (container_get_cert(CurrentKeyIndex, name, keySpec, der) != 0) {
        InfoBox(this, Lang("K_GetKeyCert_Error"));
        return false;
    }
    return true;
}

void TMainForm::AcListCertExecute()
{
    if (m_importRunning) {
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

void TMainForm::AcOutputExecute()
{
    if (m_importRunning) {
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

void TMainForm::afterDeletion(int result)
{
    if (result != 0) {
        InfoBox(this, Lang("K_DEL_Error") + Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x") +
                          HexCode(static_cast<std::uint32_t>(result)));
        return;
    }
    // The store forgets every certificate of the provider; the keys still present register theirs
    // again.
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    LoadCertTree(CurrentKeyIndex);
    for (int i = 0; i < KeyCount; ++i) {
        RegisterKeyCertificates(i, (*m_keyTable)[static_cast<std::size_t>(i)], m_appInfo.CSPName,
                                m_appInfo.RegCertMode);
    }
    UpdateCertActions();
}

void TMainForm::AcDelExecute()
{
    if (m_importRunning) {
        return;
    }
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    if (node && levelOf(node) == 0 && keyIndexValid(CurrentKeyIndex) &&
        indexOf(node) < keyInfo(CurrentKeyIndex).containerCount && QuestionBox(this, Lang("K_DEL_YES_NO"))) {
        const WaitCursor wait;
        const QByteArray name = keyInfo(CurrentKeyIndex).containerNames[static_cast<std::size_t>(indexOf(node))];
        afterDeletion(container_delete(CurrentKeyIndex, name));
    }
    m_ui->tvCert->setFocus();
}

void TMainForm::AcDelCertExecute()
{
    if (m_importRunning) {
        return;
    }
    QByteArray name;
    int keySpec = 0;
    int container = 0;
    if (selectedCertificate(name, keySpec, container) && QuestionBox(this, Lang("K_DEL_YES_NO"))) {
        const WaitCursor wait;
        afterDeletion(container_delete_cert(CurrentKeyIndex, name, keySpec));
    }
    m_ui->tvCert->setFocus();
}

void TMainForm::AcRegCertExecute()
{
    if (m_importRunning) {
        return;
    }
    if (!keyIndexValid(CurrentKeyIndex)) {
        return;
    }
    const int result =
        RegisterKeyCertificates(CurrentKeyIndex, (*m_keyTable)[static_cast<std::size_t>(CurrentKeyIndex)],
                                m_appInfo.CSPName, m_appInfo.RegCertMode);
    InfoBox(this, result == 0 ? Lang("Change_Yes") : Lang("Change_No"));
}

void TMainForm::AcUnRegCertExecute()
{
    if (m_importRunning) {
        return;
    }
    RemoveStoreCertsOfCSP(m_appInfo.CSPName);
    InfoBox(this, Lang("Change_Yes"));
}

void TMainForm::AcrefreshExecute()
{
    if (m_importRunning) {
        return;
    }
    {
        const WaitCursor wait;
        token_reload_all_objects(CurrentKeyIndex);
        LoadCertTree(CurrentKeyIndex);
        UpdateCertActions();
    }
    m_ui->tvCert->setFocus();
}

void TMainForm::TRegCertTimer()
{
    timer("TRegCert")->stop();
    if (keyIndexValid(CurrentKeyIndex)) {
        RegisterKeyCertificates(CurrentKeyIndex, (*m_keyTable)[static_cast<std::size_t>(CurrentKeyIndex)],
                                m_appInfo.CSPName, m_appInfo.RegCertMode);
    }
}

void TMainForm::TimerCertTick()
{
    QTimer* t = timer("TimerCert");
    const CertImportProgress& progress = *m_importJob.progress;
    if (t->interval() != progress.timerInterval) {
        t->setInterval(progress.timerInterval);
    }
    // The bar stays inside the share of the certificate being imported.
    m_ui->PBCert->setValue(std::min(m_importCeiling, m_ui->PBCert->value() + progress.progressStep));
}

void TMainForm::reportImportFailure(int result)
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

int TMainForm::runImportWorker(bool singleCertificate, int certificate, int certificates)
{
    // Each certificate of a chain gets its share of the bar, so the bar moves on per certificate.
    certificates = std::max(1, certificates);
    m_ui->PBCert->setRange(0, 100 * certificates);
    m_ui->PBCert->setValue(100 * certificate);
    m_importCeiling = 100 * (certificate + 1);
    m_ui->PBCert->setVisible(true);
    timer("TimerCert")->start();
    struct Outcome
    {
        std::atomic<int> result{kWorkerStillRunning};
        std::atomic<bool> finished{false};
    };
    const auto outcome = std::make_shared<Outcome>();
    // The worker's own copy: whatever the window does meanwhile cannot reach the running import.
    QThread* worker = QThread::create([job = m_importJob, outcome] {
        outcome->result = RunCertImport(job);
        outcome->finished = true;
    });
    worker->start();
    // The window keeps handling events while the worker runs; one certificate gets 500 s.
    for (int polls = 0; !outcome->finished && (!singleCertificate || polls < 2500); ++polls) {
        Delay(200);
        TimerCertTick();
    }
    const bool finished = outcome->finished;
    const int code = finished ? outcome->result.load() : kWorkerStillRunning;
    if (finished) {
        worker->wait();
        delete worker;
    } else {
        // The worker owns nothing of the window's; it is left to finish and then freed.
        connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    }
    timer("TimerCert")->stop();
    timer("TimerCert")->setInterval(2000);
    m_ui->PBCert->setValue(m_importCeiling);
    if (certificate + 1 >= certificates || code != 0) {
        m_ui->PBCert->setVisible(false);
    }
    return code;
}

void TMainForm::AcInputCertExecute()
{
    const int k = CurrentKeyIndex;
    if (!keyIndexValid(k) || m_importRunning) {
        return;
    }
    // 1. The container to offer first.
    m_ui->tvCert->setFocus();
    TR7Info& info = (*m_keyTable)[static_cast<std::size_t>(k)];
    int preselected = info.containerCount - 1;
    if (const QTreeWidgetItem* node = m_ui->tvCert->currentItem(); node && levelOf(node) <= 1) {
        preselected = node->parent() ? indexOf(node->parent()) : indexOf(node);
    }
    // 2. No room on the key.
    // A module that cannot tell its memory reports 0 for both figures; it is not refused.
    if (token_get_info_ex(k, info) == 0 && (info.totalMemory != 0 || info.freeMemory != 0) &&
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
        const auto presence = certPresence(k, chosen);
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
            last = runImportWorker(true, 0, 1);
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
                last = runImportWorker(false, i, dialog.certificateCount());
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
