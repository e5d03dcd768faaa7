// SPDX-License-Identifier: Apache-2.0
#include "CertificatePage.h"

#include "ActionBinding.h"
#include "CertImportRunner.h"
#include "CertTree.h"
#include "KeyGenDialog.h"
#include "KeyMessages.h"
#include "KeySession.h"
#include "TIMForm.h"
#include "ui_CertificatePage.h"

#include "common/LanguageTexts.h"
#include "common/TextConversions.h"
#include "common/TextFormat.h"
#include "common/UiLanguage.h"
#include "common/widgets/FileDialogs.h"
#include "common/widgets/MessageBox.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/CertJobs.h"
#include "keyservice/KeyGenJobs.h"
#include "keyservice/PinJobs.h"
#include "token/CertRegistration.h"
#include "token/CertificateChain.h"
#include "token/TokenWrappers.h"

#include <QMenu>
#include <QPointer>
#include <QSaveFile>
#include <QSet>
#include <QTimer>

namespace kx {

namespace {

// A single certificate gets this long before the import is reported as still running.
constexpr int kSingleImportLimitMs = 500 * 1000;
// What an import still running after that time is reported with.
constexpr int kWorkerStillRunning = 259;

// A certificate read from the key, and what showing it gave.
struct CertificateRead
{
    int result = 0;
    QByteArray der;
    int shown = 0;
};

// The key's free memory, read before the import dialog opens.
struct FreeMemoryRead
{
    int result = 0;
    TR7Info info;
};

// A deletion and the tree the key shows after it.
struct DeletionOutcome
{
    int result = 0;
    CertTreeData tree;
};

} // namespace

CertificatePage::CertificatePage(KeySession& session, QWidget* parent)
    : QWidget(parent), m_ui(std::make_unique<Ui::CertificatePage>()), m_session(session)
{
    m_ui->setupUi(this);
    m_ui->tvCert->setHeaderHidden(true);
    QAction* list = MakeAction(this, "AcListCert", &CertificatePage::AcListCertExecute, m_ui->btnListCert);
    QAction* output = MakeAction(this, "AcOutput", &CertificatePage::AcOutputExecute, m_ui->btnOutput);
    QAction* outputPem = MakeAction(this, "AcOutputPem", &CertificatePage::AcOutputPemExecute, nullptr);
    QAction* outputChain = MakeAction(this, "AcOutputChain", &CertificatePage::AcOutputChainExecute, nullptr);
    MakeAction(this, "AcGenerate", &CertificatePage::AcGenerateExecute, m_ui->btnGenerate);
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
    outputPem->setVisible(output->isVisible());
    outputChain->setVisible(output->isVisible());

    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("PMCertInfo"));
    menu->addActions({list, output, outputPem, outputChain, del, delCert});
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
    m_importLimit = new QTimer(this);
    m_importLimit->setSingleShot(true);
    m_importLimit->setInterval(kSingleImportLimitMs);
    connect(m_importLimit, &QTimer::timeout, this, [this] { importEnded(kWorkerStillRunning, true); });
    auto* registration = new QTimer(this);
    registration->setObjectName(QStringLiteral("TRegCert"));
    registration->setInterval(1000);
    connect(registration, &QTimer::timeout, this, &CertificatePage::TRegCertTimer);
    connect(&m_session, &KeySession::keysCleared, this, &CertificatePage::UpdateCertActions);
    connect(&m_session, &KeySession::keyBusyChanged, this, &CertificatePage::UpdateCertActions);
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
                                {"AcOutputPem", "Main_Form_OutputPem"},
                                {"AcOutputChain", "Main_Form_OutputChain"},
                                {"AcGenerate", "Main_Form_btn_Generate"},
                                {"AcDel", "Main_Form_btn_Del"},
                                {"AcListCert", "btn_ViewCert"},
                                {"AcRegCert", "K_Cert_Reg"},
                                {"AcUnRegCert", "K_Cert_UnReg"},
                                {"AcDelCert", "K_Cert_Del"},
                                {"Aclogout", "K_Logout"}};
    for (const auto& [name, key] : captions) {
        action(name)->setText(Language().text(key));
    }
    m_ui->tvCert->setAccessibleName(Lang("Main_Form_Groupbox"));
}

void CertificatePage::LoadCertTree(int keyIndex)
{
    readTree(keyIndex, false);
}

void CertificatePage::readTree(int keyIndex, bool reload, std::function<void()> then)
{
    if (!m_session.keyIndexValid(keyIndex)) {
        m_ui->tvCert->clear();
        if (then) {
            then();
        }
        return;
    }
    m_session.service().run<CertTreeData>(
        keyIndex, QStringLiteral("K_Wait_Read"), [reload](KeyCall& key) { return ReadCertTree(key, reload); }, this,
        [this, then](CertTreeData& tree, int index) {
            if (index < 0) {
                if (then) {
                    then();
                }
                return;
            }
            m_session.setCertTree(index, tree);
            // The tree shows the selected key only.
            if (index == m_session.CurrentKeyIndex()) {
                showTree(index);
            }
            if (then) {
                then();
            }
        });
}

void CertificatePage::showTree(int keyIndex)
{
    FillCertTree(m_ui->tvCert, m_session.certTree(keyIndex));
    UpdateCertActions();
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
    const int k = m_session.CurrentKeyIndex();
    if (m_session.importRunning() || !m_session.keyIndexValid(k)) {
        return;
    }
    const bool skf = m_session.FingerSupported() && m_session.keyHasSensor(k);
    // The logout goes to the key after whatever it is doing; the page is the login page at once.
    m_session.service().run<int>(k, QStringLiteral("K_Wait_Login"),
                                 [skf](KeyCall& key) { return LogoutOfKey(key, skf); }, this, {});
    m_session.setLoginState(k, KeySession::kLoggedOut);
    Q_EMIT loggedOut();
}

void CertificatePage::UpdateCertActions()
{
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    const int k = m_session.CurrentKeyIndex();
    const bool loggedIn =
        m_session.KeyCount() > 0 && m_session.keyIndexValid(k) && m_session.LoginState(k) >= KeySession::kLoggedIn;
    const int containers = m_session.keyIndexValid(k) ? static_cast<int>(m_session.certTree(k).containers.size()) : 0;
    const int level = node ? CertNodeLevel(node) : -1;
    const bool subject = node && level == 2 && CertNodeIndex(node) == 0;
    action("AcDel")->setEnabled(loggedIn && level == 0 && containers > 0);
    for (const char* name : {"AcOutput", "AcOutputPem", "AcOutputChain", "AcListCert", "AcDelCert"}) {
        action(name)->setEnabled(loggedIn && subject);
    }
    action("AcGenerate")->setEnabled(loggedIn);
    action("AcRegCert")->setEnabled(containers > 0);
    action("AcUnRegCert")->setEnabled(containers > 0);
    // While the key works or an import runs, its actions wait.
    if (m_session.importRunning() || m_session.keyBusy(k)) {
        for (const char* name : {"AcDel", "AcOutput", "AcOutputPem", "AcOutputChain", "AcListCert", "AcDelCert",
                                 "AcRegCert", "AcUnRegCert", "AcInputCert", "Acrefresh", "AcGenerate"}) {
            action(name)->setEnabled(false);
        }
    } else {
        action("AcInputCert")->setEnabled(true);
        action("Acrefresh")->setEnabled(true);
    }
}

void CertificatePage::readSelectedCertificate(bool show, std::function<void(const QByteArray& der)> then)
{
    QByteArray container;
    int keySpec = 0;
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || !SelectedCertificate(m_ui->tvCert, container, keySpec)) {
        return;
    }
    const auto window = show ? reinterpret_cast<void*>(winId()) : nullptr;
    m_pending = m_session.service().run<CertificateRead>(
        k, QStringLiteral("K_Wait_Read"),
        [container, keySpec, show, window](KeyCall& key) {
            CertificateRead read;
            read.result = ReadCertificate(key, container, keySpec, read.der);
            if (read.result == 0 && show) {
                read.shown = helper_show_cert_ui(window, read.der);
            }
            return read;
        },
        this,
        [this, then](CertificateRead& read, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (read.result != 0) {
                InfoBox(this, Lang("K_GetKeyCert_Error"));
                return;
            }
            if (read.shown == DRV_NOT_FOUND) {
                // The library found no certificate viewer on this desktop: say so instead of nothing.
                InfoBox(this, OwnText(OwnMessage::NoCertificateViewer));
                return;
            }
            if (read.shown != 0) {
                InfoBox(this, Lang("K_GetKeyCert_Error"));
                return;
            }
            if (then) {
                then(read.der);
            }
        });
}

void CertificatePage::AcListCertExecute()
{
    if (m_session.importRunning() || m_pending) {
        return;
    }
    readSelectedCertificate(true, {});
}

void CertificatePage::AcOutputExecute()
{
    exportCertificate(ExportForm::Der);
}

void CertificatePage::AcOutputPemExecute()
{
    exportCertificate(ExportForm::Pem);
}

void CertificatePage::AcOutputChainExecute()
{
    exportCertificate(ExportForm::PemChain);
}

void CertificatePage::exportCertificate(ExportForm form)
{
    if (m_session.importRunning() || m_pending) {
        return;
    }
    readSelectedCertificate(false, [this, form](const QByteArray& der) {
        const LangKey caption = form == ExportForm::Der   ? LangKey("Main_Form_btn_Output")
                                : form == ExportForm::Pem ? LangKey("Main_Form_OutputPem")
                                                          : LangKey("Main_Form_OutputChain");
        const QString file = FileDialogs::current().saveFileName(
            this, Lang(caption), form == ExportForm::Der ? QStringLiteral("cer") : QStringLiteral("pem"));
        if (file.isEmpty()) {
            return;
        }
        QByteArray bytes = der;
        if (form == ExportForm::Pem) {
            bytes = PemEncode(der, "CERTIFICATE");
        } else if (form == ExportForm::PemChain) {
            // The certificate and, above it, the key's certificates that issued it.
            const int k = m_session.CurrentKeyIndex();
            bytes = m_session.keyIndexValid(k) ? m_session.certTree(k).pemChainOf(der) : CertTreeData().pemChainOf(der);
        }
        QSaveFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
            InfoBox(this, Lang("Change_No") + QStringLiteral(": ") + out.errorString());
            return;
        }
        InfoBox(this, Lang("OutPut_OK"));
    });
}

void CertificatePage::AcGenerateExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_session.importRunning() || m_pending) {
        return;
    }
    // What the key can generate decides what the dialog offers.
    const QByteArray key = m_session.service().keyId(k);
    m_pending = m_session.service().runOn<std::pair<int, int>>(
        key, QStringLiteral("K_Wait_Info"),
        [](KeyCall& call) {
            int choices = 0;
            const int result = ReadKeyGenChoices(call, choices);
            return std::make_pair(result, choices);
        },
        this,
        [this, key](std::pair<int, int>& read, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (read.first != 0 || read.second == 0) {
                InfoBox(this, Lang("G_Err_NoMechanism"));
                return;
            }
            auto* dialog = new KeyGenDialog(m_session.certTree(index), read.second, this);
            dialog->setAttribute(Qt::WA_DeleteOnClose);
            dialog->setWindowModality(Qt::WindowModal);
            connect(dialog, &KeyGenDialog::generateRequested, this,
                    [this, key, dialog] { runGeneration(key, dialog); });
            dialog->open();
        });
}

void CertificatePage::runGeneration(const QByteArray& key, KeyGenDialog* dialog)
{
    // The key may have left while the user filled in the dialog.
    const int k = m_session.service().indexOf(key);
    if (k < 0) {
        InfoBox(dialog, Lang("K_Find_Error"));
        return;
    }
    const KeyGenRequest request = dialog->request();
    const KeyJournal* journal = &m_session.service().journal();
    const QPointer<KeyGenDialog> guard(dialog);
    const bool started = m_session.service().runOn<KeyGenOutcome>(
        key, QStringLiteral("K_Wait_Generate"),
        [journal, request](KeyCall& call) { return GenerateOnKey(call, *journal, request); }, this,
        [this, guard](KeyGenOutcome& outcome, int index) {
            if (guard) {
                guard->setWorking(false);
            }
            QWidget* owner = guard ? static_cast<QWidget*>(guard) : this;
            if (index < 0) {
                InfoBox(owner, Lang("K_Find_Error"));
                return;
            }
            // The tree shows the new pair (or that nothing changed) in any case.
            readTree(index, true);
            if (outcome.result != 0) {
                reportGenerationFailure(owner, outcome);
                return;
            }
            if (guard) {
                guard->showRequest(outcome.request);
            }
        });
    if (started) {
        dialog->setWorking(true);
    }
}

void CertificatePage::reportGenerationFailure(QWidget* owner, const KeyGenOutcome& outcome)
{
    const int result = outcome.result;
    const QString code = Lang("K_ErrorCODE_Str") + QStringLiteral("  0x") + HexCode(static_cast<std::uint32_t>(result));
    if (result == DRV_NOT_LOGGED_IN || result == 0x101) {
        InfoBox(owner, Lang("F_Power_Lower"));
    } else if (result == DRV_LOGIN_LOST) {
        InfoBox(owner, Lang("K_Login_Lost"));
    } else if (result == DRV_DEVICE_FULL) {
        InfoBox(owner, Lang("K_OutSpace_Error"));
    } else if (outcome.failedStep == KeyGenOutcome::Step::Container) {
        InfoBox(owner, result == DRV_EXISTS ? Lang("K_Cont_Name_Error") : Lang("G_Err_Failed") + code);
    } else if (result == DRV_EXISTS) {
        InfoBox(owner, Lang("G_Err_PairUsed"));
    } else if (result == DRV_MECHANISM_MISSING) {
        InfoBox(owner, Lang("G_Err_Mechanism"));
    } else if (outcome.failedStep == KeyGenOutcome::Step::Request) {
        InfoBox(owner, Lang("G_Err_Request") + code);
    } else {
        InfoBox(owner, Lang("G_Err_Failed") + code);
    }
}

void CertificatePage::deleteFromKey(const QByteArray& container, int keySpec)
{
    const int k = m_session.CurrentKeyIndex();
    const KeyJournal* journal = &m_session.service().journal();
    const QString cspName = m_session.appInfo().CSPName;
    m_pending = m_session.service().run<DeletionOutcome>(
        k, QStringLiteral("K_Wait_Delete"),
        [journal, container, keySpec, cspName](KeyCall& key) {
            DeletionOutcome outcome;
            outcome.result = DeleteFromKeyAndStore(key, *journal, cspName, container, keySpec);
            outcome.tree = ReadCertTree(key, false);
            return outcome;
        },
        this,
        [this](DeletionOutcome& outcome, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            if (outcome.result != 0) {
                InfoBox(this, Lang("K_DEL_Error") + Lang("K_ErrorCODE_Str") + QStringLiteral(" = 0x") +
                                  HexCode(static_cast<std::uint32_t>(outcome.result)));
            }
            if (outcome.tree.result == 0) {
                m_session.setCertTree(index, outcome.tree);
                if (index == m_session.CurrentKeyIndex()) {
                    showTree(index);
                }
            }
            // The store follows the keys present: their certificates are registered again, and
            // those of containers no present key holds any more leave it.
            if (outcome.result == 0) {
                m_session.registration().registerAll(false, false, true);
            }
            m_ui->tvCert->setFocus();
        });
}

void CertificatePage::AcDelExecute()
{
    if (m_session.importRunning() || m_pending) {
        return;
    }
    const QTreeWidgetItem* node = m_ui->tvCert->currentItem();
    const QByteArray container = node && CertNodeLevel(node) == 0 ? ContainerOfNode(node) : QByteArray();
    const int k = m_session.CurrentKeyIndex();
    // The question names the container and its key, so nothing goes without the user knowing.
    if (!container.isEmpty() && m_session.keyIndexValid(k) &&
        QuestionBox(this, Lang("K_DEL_Container")
                              .arg(QString::fromLocal8Bit(container), m_session.keyInfo(k).labelText().trimmed()))) {
        deleteFromKey(container, 0);
    }
    m_ui->tvCert->setFocus();
}

void CertificatePage::AcDelCertExecute()
{
    if (m_session.importRunning() || m_pending) {
        return;
    }
    QByteArray container;
    int keySpec = 0;
    const int k = m_session.CurrentKeyIndex();
    if (SelectedCertificate(m_ui->tvCert, container, keySpec) && m_session.keyIndexValid(k) &&
        QuestionBox(this, Lang("K_DEL_Cert")
                              .arg(QString::fromLocal8Bit(container),
                                   keySpec == 1 ? Lang("K_Cert_mode1") : Lang("K_Cert_mode2"),
                                   m_session.keyInfo(k).labelText().trimmed()))) {
        deleteFromKey(container, keySpec);
    }
    m_ui->tvCert->setFocus();
}

void CertificatePage::registerKey(int keyIndex, bool report)
{
    const QString cspName = m_session.appInfo().CSPName;
    const int mode = m_session.appInfo().RegCertMode;
    const bool posted = m_session.service().run<RegistrationOutcome>(
        keyIndex, QStringLiteral("K_Wait_Register"),
        [cspName, mode](KeyCall& key) { return RegisterKey(key, cspName, mode, false); }, this,
        [this, report](RegistrationOutcome& outcome, int key) {
            const QString label = key >= 0 ? m_session.keyInfo(key).labelText().trimmed() : QString();
            m_session.registration().offerRoots(outcome.undecidedRoots, label);
            // The registration read the key's container list again: a tree that shows another
            // list (another program added or removed a container) is read anew, so every node
            // stands for a container the key holds.
            if (key >= 0 && outcome.containersRead) {
                const QList<QByteArray> shown = m_session.certTree(key).names();
                if (QSet<QByteArray>(shown.begin(), shown.end()) != outcome.containers) {
                    readTree(key, false);
                }
            }
            if (report) {
                m_pending = false;
                InfoBox(this, outcome.result == 0 ? Lang("Change_Yes") : Lang("Change_No"));
            }
        });
    if (report) {
        m_pending = posted;
    }
}

void CertificatePage::AcRegCertExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (m_session.importRunning() || !m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    registerKey(k, true);
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
    const int k = m_session.CurrentKeyIndex();
    if (m_session.importRunning() || !m_session.keyIndexValid(k) || m_pending) {
        return;
    }
    m_pending = true;
    readTree(k, true, [this] {
        m_pending = false;
        m_ui->tvCert->setFocus();
    });
}

void CertificatePage::TRegCertTimer()
{
    timer("TRegCert")->stop();
    if (m_session.keyIndexValid(m_session.CurrentKeyIndex())) {
        registerKey(m_session.CurrentKeyIndex(), false);
    }
}

void CertificatePage::reportImportFailure(int result)
{
    if (result == DRV_NOT_LOGGED_IN) {
        InfoBox(this, Lang("F_Power_Lower"));
    } else if (result == DRV_DEVICE_FULL) {
        InfoBox(this, Lang("K_OutSpace_Error"));
    } else if (const std::optional<LangKey> refusal = LangKey::lookup(CertFileRefusalKey(result))) {
        InfoBox(this, Lang(*refusal));
    } else if (result == DRV_LOGIN_LOST) {
        InfoBox(this, Lang("K_Login_Lost"));
    } else if (result == DRV_PRIVATE_KEY_REFUSED) {
        // The key takes no private key from a file: offer the way that works, a key pair born on
        // the key with a request for its certificate.
        if (QuestionBox(this, Lang("I_PrivateKey_Refused"))) {
            AcGenerateExecute();
        }
    } else {
        InfoBox(this, Lang("K_Import_Error") + Lang("K_ErrorCODE_Str") + QStringLiteral("  0x") +
                          HexCode(static_cast<std::uint32_t>(result)));
    }
}

void CertificatePage::AcInputCertExecute()
{
    const int k = m_session.CurrentKeyIndex();
    if (!m_session.keyIndexValid(k) || m_session.importRunning() || m_pending) {
        return;
    }
    // 1. The container to offer first.
    m_ui->tvCert->setFocus();
    const QList<QByteArray> containers = m_session.certTree(k).names();
    int preselected = static_cast<int>(containers.size()) - 1;
    if (const QTreeWidgetItem* node = m_ui->tvCert->currentItem(); node && CertNodeLevel(node) <= 1) {
        const auto position = containers.indexOf(ContainerOfNode(node));
        if (position >= 0) {
            preselected = static_cast<int>(position);
        }
    }
    // 2. No room on the key.
    const QByteArray key = m_session.service().keyId(k);
    m_pending = m_session.service().runOn<FreeMemoryRead>(
        key, QStringLiteral("K_Wait_Info"),
        [](KeyCall& call) {
            FreeMemoryRead read;
            read.result = call.info(read.info);
            return read;
        },
        this,
        [this, key, containers, preselected](FreeMemoryRead& read, int index) {
            m_pending = false;
            if (index < 0) {
                InfoBox(this, Lang("K_Find_Error"));
                return;
            }
            // A module that cannot tell its memory reports 0 for both figures; it is not refused.
            if (read.result == 0 && (read.info.totalMemory != 0 || read.info.freeMemory != 0) &&
                static_cast<double>(read.info.freeMemory) / 1024.0 <= 4.0) {
                InfoBox(this, Lang("K_OutSpace_Error"));
                return;
            }
            chooseImport(key, containers, preselected);
        });
}

void CertificatePage::chooseImport(const QByteArray& key, const QList<QByteArray>& containers, int preselected)
{
    // 3. The dialog; it has the file parsed on the key's lane, where the import follows.
    TIMForm dialog(containers, preselected, this);
    KeyService& service = m_session.service();
    dialog.setFileParser([&service, key](int fileType, const QString& path, const SharedSecret& password,
                                         QObject* receiver, std::function<void(int, int)> done) {
        service.runOn<std::pair<int, int>>(
            key, QStringLiteral("K_Wait_File"),
            [fileType, path, password](KeyCall&) {
                int count = 0;
                const int result = fileType == TIMForm::Pkcs7 ? p7b_file_parse(path, count)
                                                              : pkcs12_file_parse(path, password->text(), count);
                return std::make_pair(result, count);
            },
            receiver, [done](std::pair<int, int>& parsed, int) { done(parsed.first, parsed.second); });
    });
    if (dialog.exec() != 1) {
        return;
    }
    // The key may have left while the dialog was open.
    const int k = m_session.service().indexOf(key);
    if (k < 0) {
        InfoBox(this, Lang("K_Find_Error"));
        return;
    }
    // 4. and 5. The target container and its free key pair.
    ImportRequest request;
    if (dialog.newContainer()) {
        request.container = dialog.newContainerName().toLocal8Bit();
        if (containers.contains(request.container)) {
            InfoBox(this, Lang("K_Cont_Name_Error"));
            return;
        }
    } else {
        const int chosen = dialog.existingContainer();
        request.container = containers.value(chosen);
        const ContainerData* data = m_session.certTree(k).find(request.container);
        if (dialog.keySpec() == kKeySpecExchange && data && data->pairs[0].certificate) {
            InfoBox(this, Lang("K_spec_mode1"));
            return;
        }
        if (dialog.keySpec() == kKeySpecSignature && data && data->pairs[1].certificate) {
            InfoBox(this, Lang("K_spec_mode2"));
            return;
        }
    }
    request.fileType = dialog.fileType();
    request.path = dialog.path();
    request.certificateCount = dialog.certificateCount();
    request.keySpec = dialog.keySpec();
    request.existingContainers = containers;
    runImport(key, request);
}

void CertificatePage::runImport(const QByteArray& key, const ImportRequest& request)
{
    // 6. to 8. The import, one certificate after another, on the key's lane; the bar moves as
    // it reports.
    const auto progress = std::make_shared<ImportProgress>();
    // Each certificate's start moves the bar to its share, whenever the next tick comes.
    progress->certificateStarted = [box = m_session.service().postBox(),
                                    runner = QPointer<CertImportRunner>(m_runner)](int certificate) {
        box->post([runner, certificate] {
            if (runner) {
                runner->certificateStarted(certificate);
            }
        });
    };
    const KeyJournal* journal = &m_session.service().journal();
    setImportRunning(true);
    m_importKey = key;
    m_importTimedOut = false;
    m_runner->start(progress, request.certificateCount);
    if (request.certificateCount <= 1) {
        m_importLimit->start();
    }
    m_session.service().runOn<ImportOutcome>(
        key, QStringLiteral("K_Wait_Write"),
        [journal, request, progress](KeyCall& call) { return ImportIntoKey(call, *journal, request, progress); }, this,
        [this, request](ImportOutcome& outcome, int) {
            importEnded(outcome.result, false);
            // The certificate went where its key pair is, not where the user chose: say where.
            if (outcome.result == 0 && !outcome.matchedContainer.isEmpty() &&
                (outcome.matchedContainer != request.container || outcome.matchedKeySpec != request.keySpec)) {
                InfoBox(this, Lang("I_Matched").arg(QString::fromLocal8Bit(outcome.matchedContainer)));
            }
        });
}

void CertificatePage::importEnded(int result, bool timedOut)
{
    if (m_importTimedOut) {
        // Reported already when the time ran out: the tree shows what the import did in the end.
        m_importTimedOut = false;
        const int k = m_session.service().indexOf(m_importKey);
        if (k >= 0) {
            readTree(k, true);
        }
        return;
    }
    m_importLimit->stop();
    m_importTimedOut = timedOut;
    m_runner->finish();
    setImportRunning(false);
    if (result != 0) {
        reportImportFailure(result);
    }
    // 9. The tree shows the result and the store learns it a second later.
    const int k = m_session.service().indexOf(m_importKey);
    if (k < 0) {
        return;
    }
    readTree(k, true, [this, result] {
        if (result == 0) {
            m_ui->tvCert->setFocus();
        }
        UpdateCertActions();
    });
    timer("TRegCert")->start();
}

} // namespace kx
