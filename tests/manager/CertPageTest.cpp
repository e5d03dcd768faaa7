// SPDX-License-Identifier: Apache-2.0
#include "CertFixture.h"
#include "CertPageFixture.h"
#include "ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "common/UiLanguage.h"
#include "common/widgets/FileDialogs.h"
#include "drivers/drevmor/drevmor.h"
#include "keyservice/KeyCall.h"
#include "keyservice/KeyService.h"
#include "manager/CertificatePage.h"
#include "manager/KeyGenDialog.h"
#include "manager/KeyInfoPage.h"
#include "manager/LoginPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"
#include "platform/CertStore.h"
#include "token/CertificateChain.h"
#include "token/TokenApi.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <functional>

using namespace kx;
using test::CertPage;
using test::certTree;
using test::child;
using test::ChosenFiles;
using test::existingContainer;
using test::ManagerWorld;
using test::newContainer;
using test::RecordingPresenter;
using test::TestCertificates;
using test::topTexts;
using test::whenImportDialogOpens;

class CertPageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_certs = std::make_unique<TestCertificates>(m_certFolder.path());
        QVERIFY(m_certs->ok());
        // The shipped language shows every certificate action.
        QCOMPARE(Language().load(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/CN_2052.lng")), 0);
    }

    void emptyKey()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        CertPage page(world);
        QCOMPARE(page.window.ActivePageIndex(), int(TMainForm::PageCertificates));
        QCOMPARE(topTexts(certTree(page.window)), QStringList{QStringLiteral("(无容器)")});
        certTree(page.window)->setCurrentItem(certTree(page.window)->topLevelItem(0));
        QVERIFY(!page.window.action("AcDel")->isEnabled());
        QVERIFY(!page.window.action("AcRegCert")->isEnabled());
        QVERIFY(!page.window.action("AcUnRegCert")->isEnabled());
        page.window.certificatePage().AcDelExecute();
        QVERIFY(page.settled());
        QVERIFY(messages.messages.isEmpty());
    }

    void pkcs12WithChainLandsInChosenAndNewContainers()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("my container"), 1);
        });
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("my container(容器)"));
        QTreeWidgetItem* user = tree->topLevelItem(0);
        QCOMPARE(user->childCount(), 1);
        QCOMPARE(user->child(0)->text(0), Lang("K_Cert_mode1"));
        QCOMPARE(user->child(0)->child(0)->text(0), QStringLiteral("Zhang San RSA"));
        QCOMPARE(user->child(0)->child(1)->text(0), Lang("K_RSA_Pub") + QStringLiteral("(RSA2048)"));
        QCOMPARE(user->child(0)->child(2)->text(0), Lang("K_RSA_Pri") + QStringLiteral("(RSA2048)"));
        QStringList chain;
        for (int i = 1; i < 3; ++i) {
            QTreeWidgetItem* container = tree->topLevelItem(i);
            QVERIFY(container->text(0).startsWith(QLatin1Char('{'))); // a new random container
            QCOMPARE(container->childCount(), 1);
            chain << container->child(0)->text(0);
        }
        chain.sort();
        QCOMPARE(chain, (QStringList{Lang("K_Cert_mode2") + QStringLiteral("(CA)"),
                                     Lang("K_Cert_mode2") + QStringLiteral("(ROOT)")}));
        // A second later the store holds the user certificate bound to its container, and the chain.
        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        const platform::CertStore store(platform::CertStore::defaultRoot());
        const auto my = store.list("MY");
        QCOMPARE(my.size(), std::size_t{1});
        QVERIFY(my[0].keyProv);
        QCOMPARE(my[0].keyProv->container, std::string("my container"));
        QCOMPARE(my[0].keyProv->provider, std::string("KX CSP"));
        QCOMPARE(my[0].keyProv->keySpec, 1);
        QCOMPARE(store.list("ROOT").size(), std::size_t{1});
        QCOMPARE(store.list("CA").size(), std::size_t{1});

        // The user certificate exports byte for byte.
        ChosenFiles files;
        files.file = world.folders.path(QStringLiteral("exported.cer"));
        tree->setCurrentItem(user->child(0)->child(1)); // the public-key node enables nothing
        QVERIFY(!page.window.action("AcOutput")->isEnabled());
        QVERIFY(!page.window.action("AcListCert")->isEnabled());
        QVERIFY(!page.window.action("AcDelCert")->isEnabled());
        tree->setCurrentItem(user->child(0)->child(0));
        QVERIFY(page.window.action("AcOutput")->isEnabled());
        page.window.certificatePage().AcOutputExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(), Lang("OutPut_OK"));
        QCOMPARE(files.lastSuffix, QStringLiteral("cer"));
        QCOMPARE(test::TestFolders::read(files.file), m_certs->read(QStringLiteral("user.cer")));
    }

    // An imported chain's root is asked about once the import registers the key, naming the root;
    // yes makes it an authority of the user's NSS database for TLS and e-mail, the CA goes in
    // without trust, and registering again ("注册证书") asks nothing more.
    void importedRootIsTrustedOnTheUsersYes()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("certutil")).isEmpty()) {
            QSKIP("NSS's certutil is not installed (libnss3-tools)");
        }
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("my container"), 1);
        });
        const auto questions = [&] { return messages.messages.filter(Lang("R_Root_Trust")); };
        QTRY_COMPARE_WITH_TIMEOUT(questions().size(), 1, 10000);
        QVERIFY(questions().first().contains(QStringLiteral("CN=KX Test Root")));
        const QString nssdb = world.folders.path(QStringLiteral("home/.pki/nssdb"));
        const auto listing = [&] {
            QProcess certutil;
            certutil.start(QStringLiteral("certutil"), {"-L", "-d", "sql:" + nssdb, "-h", "internal"});
            certutil.waitForFinished(30000);
            return QString::fromUtf8(certutil.readAllStandardOutput());
        };
        QTRY_VERIFY2_WITH_TIMEOUT(listing().contains(QRegularExpression(QStringLiteral("KX Test Root\\s+C,C,"))),
                                  qPrintable(listing()), 10000);
        QVERIFY(listing().contains(QRegularExpression(QStringLiteral("KX Test CA\\s+,,"))));

        QVERIFY(page.settled());
        page.window.certificatePage().AcRegCertExecute();
        QVERIFY(page.settled());
        QTRY_COMPARE_WITH_TIMEOUT(messages.messages.last(), Lang("Change_Yes"), 5000);
        QCOMPARE(questions().size(), 1);
    }

    // OK waits for a file; the container offered first follows the selection in the tree; the
    // progress bar moves on with each certificate of a chain; showing a certificate without a
    // viewer on the desktop says so.
    void importDialogProgressAndViewer()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        auto* bar = child<QProgressBar>(page.window, "PBCert");
        QList<int> values;
        connect(bar, &QProgressBar::valueChanged, this, [&](int value) { values.append(value); });
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("first"), 1);
        });
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QCOMPARE(bar->maximum(), 300);
        QVERIFY(std::is_sorted(values.begin(), values.end()));
        // Each certificate starts where the one before ended.
        QVERIFY(values.contains(100) && values.contains(200) && values.last() == 300);
        QVERIFY(!bar->isVisible());

        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(tree->topLevelItemCount(), 3);
        struct Offer
        {
            bool okBeforeFile = true;
            int container = -1;
        };
        auto offered = [&](QTreeWidgetItem* selected) {
            tree->setCurrentItem(selected);
            Offer offer;
            page.import([&](TIMForm& dialog) {
                offer.okBeforeFile = child<QPushButton>(dialog, "btnOK")->isEnabled();
                offer.container = child<QComboBox>(dialog, "cbContName")->currentIndex();
                dialog.done(2);
            });
            return offer;
        };
        // A container node, a certificate node (its container), a detail node (the last).
        const Offer onContainer = offered(tree->topLevelItem(1));
        QVERIFY(!onContainer.okBeforeFile);
        QCOMPARE(onContainer.container, 1);
        QCOMPARE(offered(tree->topLevelItem(1)->child(0)).container, 1);
        QCOMPARE(offered(tree->topLevelItem(0)->child(0)->child(0)).container, 2);

        qputenv("KX2700_CERT_VIEWER", QFile::encodeName(world.folders.path(QStringLiteral("no-such-viewer"))));
        tree->setCurrentItem(tree->topLevelItem(0)->child(0)->child(0));
        page.window.certificatePage().AcListCertExecute();
        QVERIFY(page.settled());
        qunsetenv("KX2700_CERT_VIEWER");
        QCOMPARE(messages.messages, QStringList{OwnText(OwnMessage::NoCertificateViewer)});
    }

    void signatureOnlyContainerAndEcKeys()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("ec"), 2);
        });
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QTreeWidget* tree = certTree(page.window);
        QTreeWidgetItem* certificate = tree->topLevelItem(0)->child(0);
        QCOMPARE(certificate->text(0), Lang("K_Cert_mode2"));
        QCOMPARE(certificate->child(1)->text(0), Lang("K_RSA_Pub") + QStringLiteral("(ECC256)"));
        QCOMPARE(certificate->child(2)->text(0), Lang("K_RSA_Pri") + QStringLiteral("(ECC256)"));
        QCOMPARE(page.window.session().certPresence(0, 0), (std::array<std::uint8_t, 2>{0, 2}));
        // Export reads the signature certificate: the exchange slot is empty.
        ChosenFiles files;
        files.file = world.folders.path(QStringLiteral("ec.cer"));
        tree->setCurrentItem(certificate->child(0));
        page.window.certificatePage().AcOutputExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(), Lang("OutPut_OK"));
        QCOMPARE(test::TestFolders::read(files.file), m_certs->read(QStringLiteral("ecuser.cer")));

        // A second signature certificate for the same container is refused before anything is
        // written; the exchange slot takes one.
        const int before = messages.messages.size();
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            existingContainer(dialog, 0, 2);
        });
        QCOMPARE(messages.messages.size(), before + 1);
        QCOMPARE(messages.messages.last(), Lang("K_spec_mode2"));
        QCOMPARE(tree->topLevelItem(0)->childCount(), 1);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            existingContainer(dialog, 0, 1);
        });
        QCOMPARE(messages.messages.size(), before + 1);
        QCOMPARE(tree->topLevelItem(0)->childCount(), 2);
        QCOMPARE(tree->topLevelItem(0)->child(0)->text(0), Lang("K_Cert_mode1"));
        QCOMPARE(tree->topLevelItem(0)->child(0)->childCount(), 1); // a certificate without keys
    }

    void containerNamesAndFileKinds()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            newContainer(dialog, QStringLiteral("box"), 1);
        });
        // The same name is refused; surrounded by blanks it is another name and kept as typed.
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            newContainer(dialog, QStringLiteral("box"), 1);
        });
        QCOMPARE(messages.messages.last(), Lang("K_Cont_Name_Error"));
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            newContainer(dialog, QStringLiteral(" box "), 1);
        });
        QCOMPARE(messages.messages.size(), 1);
        // Containers are listed in name order.
        QCOMPARE(topTexts(certTree(page.window)),
                 (QStringList{QStringLiteral(" box (容器)"), QStringLiteral("box(容器)")}));

        // Extensions compare exactly: ".CER" and ".crt" are read as PKCS#12 and refused.
        for (const QString& name : {QStringLiteral("user.CER"), QStringLiteral("user.crt")}) {
            page.import([&](TIMForm& dialog) {
                dialog.chooseFile(m_certs->path(name));
                QVERIFY(child<QLineEdit>(dialog, "edtpwd")->isEnabled());
                // The password is never shown (nor handed to accessibility clients).
                QCOMPARE(child<QLineEdit>(dialog, "edtpwd")->echoMode(), QLineEdit::Password);
                newContainer(dialog, QStringLiteral("other"), 1);
            });
            QCOMPARE(messages.messages.last(), Lang("I_CertPINError"));
        }
        // A wrong PKCS#12 password.
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("wrong"));
            newContainer(dialog, QStringLiteral("other"), 1);
        });
        QCOMPARE(messages.messages.last(), Lang("I_CertPINError"));
        // A dropped ".p7b" needs no password; its two CA certificates land in new containers.
        page.import([&](TIMForm& dialog) {
            dialog.dropFiles({m_certs->path(QStringLiteral("user.pfx")), m_certs->path(QStringLiteral("chain.p7b")),
                              m_certs->path(QStringLiteral("missing.cer"))});
            QCOMPARE(child<QLineEdit>(dialog, "edtPath")->text(), m_certs->path(QStringLiteral("chain.p7b")));
            QVERIFY(!child<QLineEdit>(dialog, "edtpwd")->isEnabled());
            existingContainer(dialog, 0, 2);
        });
        QCOMPARE(messages.messages.size(), 4);
        QCOMPARE(certTree(page.window)->topLevelItemCount(), 4);
        QCOMPARE(messages.messages.size(), 4);
    }

    void fullKeyRefusesBeforeTheDialog()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--free-memory", "4096"}));
        RecordingPresenter messages;
        CertPage page(world);
        bool dialogOpened = false;
        QTimer* poll = whenImportDialogOpens([&](TIMForm&) { dialogOpened = true; });
        page.window.certificatePage().AcInputCertExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages, QStringList{Lang("K_OutSpace_Error")});
        QTest::qWait(100);
        QVERIFY(!dialogOpened);
        delete poll;
    }

    void deletionRebuildsTheStoreFromTheKeysPresent()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            newContainer(dialog, QStringLiteral("one"), 1);
        });
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.cer")));
            newContainer(dialog, QStringLiteral("two"), 2);
        });
        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        platform::CertStore store(platform::CertStore::defaultRoot());
        // A certificate of another key of the same provider, no longer present.
        const QByteArray foreign = m_certs->read(QStringLiteral("user.crt")) + "x";
        QCOMPARE(store.add("MY", std::vector<std::uint8_t>(foreign.begin(), foreign.end()),
                           platform::KeyProvInfo{"gone", "KX CSP", 1}),
                 0);
        QCOMPARE(store.list("MY").size(), std::size_t{3});

        QTreeWidget* tree = certTree(page.window);
        tree->setCurrentItem(nullptr);
        page.window.certificatePage().AcDelExecute(); // nothing selected: nothing happens
        QVERIFY(page.settled());
        QCOMPARE(tree->topLevelItemCount(), 2);
        messages.answer = false;
        tree->setCurrentItem(tree->topLevelItem(0));
        page.window.certificatePage().AcDelExecute(); // answered No
        QVERIFY(page.settled());
        QCOMPARE(tree->topLevelItemCount(), 2);
        // The question names what goes and from which key.
        QCOMPARE(messages.messages.last(),
                 Lang("K_DEL_Container").arg(QStringLiteral("one"), QStringLiteral("KX2700 Key")));
        messages.answer = true;
        tree->setCurrentItem(tree->topLevelItem(0));
        QVERIFY(page.window.action("AcDel")->isEnabled());
        page.window.certificatePage().AcDelExecute();
        QVERIFY(page.settled());
        QCOMPARE(topTexts(tree), QStringList{QStringLiteral("two(容器)")});
        const auto my = store.list("MY");
        QCOMPARE(my.size(), std::size_t{1});
        QCOMPARE(my[0].keyProv->container, std::string("two"));

        tree->setCurrentItem(tree->topLevelItem(0)->child(0)->child(0));
        page.window.certificatePage().AcDelCertExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(),
                 Lang("K_DEL_Cert").arg(QStringLiteral("two"), Lang("K_Cert_mode2"), QStringLiteral("KX2700 Key")));
        QCOMPARE(tree->topLevelItem(0)->childCount(), 0);
        QVERIFY(store.list("MY").empty());
    }

    // Another program adds a container after the tree was shown: registering reads the key's
    // list again and the tree follows it, so the node the user picks is the container deleted.
    void registrationRebuildsTheTreeTheUserActsOn()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.cer")));
            newContainer(dialog, QStringLiteral("c1"), 1);
        });
        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(topTexts(tree), QStringList{QStringLiteral("c1(容器)")});

        int created = -1;
        QVERIFY(page.window.session().service().run<int>(
            page.window.session().CurrentKeyIndex(), QStringLiteral("K_Wait_Other"),
            [](KeyCall& key) { return key.at([](int position) { return container_create_new(position, "c0"); }); },
            &page.window, [&](int& result, int) { created = result; }));
        QVERIFY(page.settled());
        QCOMPARE(created, 0);
        QCOMPARE(topTexts(tree), QStringList{QStringLiteral("c1(容器)")});

        page.window.certificatePage().AcRegCertExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(), Lang("Change_Yes"));
        QStringList both = topTexts(tree);
        std::sort(both.begin(), both.end());
        QCOMPARE(both, (QStringList{QStringLiteral("c0(容器)"), QStringLiteral("c1(容器)")}));

        const auto found = tree->findItems(QStringLiteral("c0(容器)"), Qt::MatchExactly);
        QCOMPARE(found.size(), 1);
        tree->setCurrentItem(found[0]);
        messages.answer = true;
        page.window.certificatePage().AcDelExecute();
        QVERIFY(page.settled());
        QCOMPARE(messages.messages.last(),
                 Lang("K_DEL_Container").arg(QStringLiteral("c0"), QStringLiteral("KX2700 Key")));
        QCOMPARE(topTexts(tree), QStringList{QStringLiteral("c1(容器)")});
        QCOMPARE(tree->topLevelItem(0)->childCount(), 1);
    }

    // While an import runs nothing else reaches the key: the actions that change or re-read it
    // and the tree's popup are disabled, and a second import cannot start and change the first.
    void importRunsAlone()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        TMainForm& window = page.window;
        const QStringList blocked{"AcInputCert", "AcDel",    "AcDelCert", "AcRegCert",       "AcUnRegCert",
                                  "Acrefresh",   "Aclogout", "AcOutput",  "AcFindKeyRefresh"};
        QStringList enabledWhileRunning;
        bool treeEnabled = true;
        bool popupShown = false;
        bool secondDialog = false;
        QTimer* second = nullptr;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!window.session().importRunning() && !child<QWidget>(window, "PBCert")->isVisible()) {
                return;
            }
            watch.stop();
            for (const QString& name : blocked) {
                if (window.action(name.toLatin1().constData())->isEnabled()) {
                    enabledWhileRunning << name;
                }
            }
            treeEnabled = child<QWidget>(window, "tv")->isEnabled();
            QTreeWidget* tree = certTree(window);
            emit tree->customContextMenuRequested(QPoint(5, 5));
            popupShown = child<QWidget>(window, "PMCertInfo")->isVisible();
            // A second import into another container, with another file.
            second = whenImportDialogOpens([&](TIMForm& dialog) {
                secondDialog = true;
                dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.cer")));
                newContainer(dialog, QStringLiteral("second"), 2);
            });
            window.action("AcInputCert")->trigger();
            window.certificatePage().AcInputCertExecute();
            window.certificatePage().AcDelExecute();
            window.certificatePage().AclogoutExecute();
        });
        watch.start(10);
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("chain"), 1);
        });
        delete second;
        QVERIFY2(second != nullptr, "the import was not seen running");
        QVERIFY2(enabledWhileRunning.isEmpty(), qPrintable(enabledWhileRunning.join(QLatin1Char(' '))));
        QVERIFY(!treeEnabled);
        QVERIFY(!popupShown);
        QVERIFY(!secondDialog);
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
        QCOMPARE(window.session().LoginState(0), 2);
        // The chain as imported alone: the user certificate and the two CA certificates.
        QTreeWidget* tree = certTree(window);
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("chain(容器)"));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(tree->topLevelItem(i)->childCount(), 1);
        }
        // Afterwards everything is offered again.
        QVERIFY(!window.session().importRunning());
        QVERIFY(child<QWidget>(window, "tv")->isEnabled());
        for (const char* name : {"AcInputCert", "Acrefresh", "Aclogout", "AcFindKeyRefresh"}) {
            QVERIFY2(window.action(name)->isEnabled(), name);
        }
    }

    void keyPulledDuringAnImport()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        static ManagerWorld* pulling = nullptr;
        pulling = &world;
        ScopedTokenApi api;
        api.api().pkcs12_import_certificate = [](int key, const char* name, int spec, int index) {
            pulling->keysim({"pull", "KXA"});
            return ::pkcs12_import_certificate(key, name, spec, index);
        };
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("ecuser.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("lost"), 1);
        });
        QCOMPARE(messages.messages.size(), 1);
        QVERIFY2(messages.messages.last().startsWith(Lang("K_Import_Error") + Lang("K_ErrorCODE_Str") +
                                                     QStringLiteral("  0x")),
                 qPrintable(messages.messages.last()));
        QVERIFY(page.window.isVisible());
        // Plugged in again, the key holds no half-written key pair.
        QVERIFY(world.keysim({"plug", "KXA"}));
        page.window.keyInfoPage().AcFindKeyRefreshExecute();
        QVERIFY(page.settled());
        QCOMPARE(page.window.session().KeyCount(), 1);
        auto* tv = child<QTreeWidget>(page.window, "tv");
        tv->setCurrentItem(tv->topLevelItem(0)->child(0)->child(2));
        child<QLineEdit>(page.window, "edtUPIN")->setText(QStringLiteral("12345678"));
        page.window.loginPage().AcLoginExecute();
        QVERIFY(page.settled());
        for (const QString& text : topTexts(certTree(page.window))) {
            QVERIFY2(!text.startsWith(QStringLiteral("lost")) ||
                         certTree(page.window)->topLevelItem(0)->childCount() == 0,
                     qPrintable(text));
        }
    }

    // An SM2 holder's two key pairs in one container, beside an RSA signature key pair: the tree
    // shows both SM2 pairs as ECC, each certificate exports as it came, and registration treats
    // SM2 as ECC under every RegCertMode.
    void sm2ContainerHoldsBothKeyPairs_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("registered");
        QTest::newRow("mode 0") << 0
                                << QStringList{QStringLiteral("SM2 容器/1"), QStringLiteral("SM2 容器/2"),
                                               QStringLiteral("rsa/2")};
        QTest::newRow("mode 1") << 1 << QStringList{QStringLiteral("rsa/2")};
        QTest::newRow("mode 2") << 2 << QStringList{QStringLiteral("rsa/2")};
    }

    void sm2ContainerHoldsBothKeyPairs()
    {
        QFETCH(int, mode);
        QFETCH(QStringList, registered);
        const test::Sm2TestCertificates& sm2 = sm2Certificates();
        QVERIFY(sm2.ok());
        ManagerWorld world({}, "RegCertMode=" + QByteArray::number(mode) + "\n");
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        const QString container = QStringLiteral("SM2 容器");
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(sm2.path(QStringLiteral("sign.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("sm2-pass"));
            newContainer(dialog, container, 2);
        });
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(sm2.path(QStringLiteral("enc.p12")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("sm2-pass"));
            existingContainer(dialog, 0, 1);
        });
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("user.pfx")));
            child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("pfx-pass"));
            newContainer(dialog, QStringLiteral("rsa"), 2);
        });
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));

        QTreeWidget* tree = certTree(page.window);
        QCOMPARE(tree->topLevelItemCount(), 6); // SM2, RSA, and the two chains' CA and root
        QTreeWidgetItem* node = tree->topLevelItem(0);
        QCOMPARE(node->text(0), container + QStringLiteral("(容器)"));
        QStringList texts;
        for (int i = 0; i < node->childCount(); ++i) {
            texts << node->child(i)->text(0);
            for (int j = 0; j < node->child(i)->childCount(); ++j) {
                texts << node->child(i)->child(j)->text(0);
            }
        }
        const QString ecc = QStringLiteral("(ECC256)");
        QCOMPARE(texts, (QStringList{Lang("K_Cert_mode1"), QStringLiteral("张三加密"), Lang("K_RSA_Pub") + ecc,
                                     Lang("K_RSA_Pri") + ecc, Lang("K_Cert_mode2"), QStringLiteral("张三签名"),
                                     Lang("K_RSA_Pub") + ecc, Lang("K_RSA_Pri") + ecc}));
        QCOMPARE(page.window.session().certPresence(0, 0), (std::array<std::uint8_t, 2>{1, 2}));
        QStringList chain;
        for (int i = 2; i < tree->topLevelItemCount(); ++i) {
            chain << tree->topLevelItem(i)->child(0)->text(0);
        }
        chain.sort();
        const QString ca = Lang("K_Cert_mode2") + QStringLiteral("(CA)");
        const QString root = Lang("K_Cert_mode2") + QStringLiteral("(ROOT)");
        QCOMPARE(chain, (QStringList{ca, ca, root, root}));

        // Each certificate exports byte for byte.
        ChosenFiles files;
        for (const auto& [index, file] : {std::pair{0, "enc.cer"}, std::pair{1, "sign.cer"}}) {
            files.file = world.folders.path(QStringLiteral("exported-%1").arg(index));
            tree->setCurrentItem(node->child(index)->child(0));
            page.window.certificatePage().AcOutputExecute();
            QVERIFY(page.settled());
            QCOMPARE(messages.messages.last(), Lang("OutPut_OK"));
            QCOMPARE(test::TestFolders::read(files.file), sm2.read(QString::fromLatin1(file)));
        }

        // Registration after the imports: root and CA certificates always, end-entity ones by mode.
        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        const platform::CertStore store(platform::CertStore::defaultRoot());
        QStringList inStore;
        for (const auto& certificate : store.list("MY")) {
            QVERIFY(certificate.keyProv);
            inStore << QString::fromStdString(certificate.keyProv->container) + QLatin1Char('/') +
                           QString::number(certificate.keyProv->keySpec);
        }
        inStore.sort();
        QCOMPARE(inStore, registered);
        QCOMPARE(store.list("ROOT").size(), std::size_t{2});
        QCOMPARE(store.list("CA").size(), std::size_t{2});
    }

    // SM2 files that are cut short or hold a key that is not their certificate's: a message, and
    // nothing on the key.
    void refusedSm2FilesWriteNothing()
    {
        const test::Sm2TestCertificates& sm2 = sm2Certificates();
        QVERIFY(sm2.ok());
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        CertPage page(world);
        const std::pair<QString, QString> refusals[] = {{QStringLiteral("mismatched.p12"), Lang("I_CertFileError")},
                                                        {QStringLiteral("cut.p12"), Lang("I_CertPINError")}};
        for (const auto& [file, message] : refusals) {
            page.import([&](TIMForm& dialog) {
                dialog.chooseFile(sm2.path(file));
                child<QLineEdit>(dialog, "edtpwd")->setText(QStringLiteral("sm2-pass"));
                newContainer(dialog, QStringLiteral("new"), 2);
            });
            QCOMPARE(messages.messages.last(), message);
        }
        // A ".cer" file is read only by the import itself, after its new container was made:
        // that container goes again.
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(sm2.path(QStringLiteral("cut.cer")));
            newContainer(dialog, QStringLiteral("new"), 2);
        });
        QVERIFY2(messages.messages.last().startsWith(Lang("K_Import_Error")), qPrintable(messages.messages.last()));
        QCOMPARE(messages.messages.size(), 3);
        QCOMPARE(topTexts(certTree(page.window)), QStringList{QStringLiteral("(无容器)")});
        QTRY_VERIFY_WITH_TIMEOUT(!page.window.timer("TRegCert")->isActive(), 5000);
        QVERIFY(page.settled());
        const platform::CertStore store(platform::CertStore::defaultRoot());
        QVERIFY(store.list("MY").empty());
    }

    // A key pair generated on the key through the page's dialog: what the dialog refuses before
    // asking the key, the request it shows and saves, the issued certificate finding its pair when
    // imported into another container, and the chain export.
    void generatedKeyPairGetsItsCertificate()
    {
        ManagerWorld world;
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--total-memory", "262144", "--free-memory", "258048"}));
        RecordingPresenter messages;
        ChosenFiles files;
        CertPage page(world);
        // The authority's certificate on the key, so the chain export has one to add.
        QVERIFY(openssl({"x509", "-in", "ca.pem", "-outform", "DER", "-out", "authority.cer"}));
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("authority.cer")));
            newContainer(dialog, QStringLiteral("authority"), 2);
        });
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));

        QVERIFY(page.window.action("AcGenerate")->isEnabled());
        page.window.action("AcGenerate")->trigger();
        KeyGenDialog* dialog = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((dialog = page.window.findChild<KeyGenDialog*>()) && dialog->isVisible(), 10000);
        auto* algorithms = child<QComboBox>(*dialog, "cbAlgorithm");
        QVERIFY(algorithms->findText(QStringLiteral("RSA 2048")) >= 0);
        algorithms->setCurrentIndex(algorithms->findText(QStringLiteral("ECC P-256")));
        QVERIFY(algorithms->currentIndex() >= 0);
        child<QLineEdit>(*dialog, "edtContainerName")->setText(QStringLiteral("born"));
        // Refused in the dialog, nothing asked of the key: no name, a bad country code.
        child<QPushButton>(*dialog, "btnGenerate")->click();
        QCOMPARE(messages.messages.last(), Lang("G_Err_CN"));
        child<QLineEdit>(*dialog, "edtCommonName")->setText(QStringLiteral("张三 Born"));
        child<QLineEdit>(*dialog, "edtCountry")->setText(QStringLiteral("C1"));
        child<QPushButton>(*dialog, "btnGenerate")->click();
        QCOMPARE(messages.messages.last(), Lang("G_Err_Country"));
        QVERIFY(!dialog->working());
        child<QLineEdit>(*dialog, "edtCountry")->setText(QStringLiteral("cn"));
        child<QPushButton>(*dialog, "btnGenerate")->click();
        QVERIFY(dialog->working());
        QTRY_VERIFY_WITH_TIMEOUT(child<QPlainTextEdit>(*dialog, "edtRequest")->isVisible(), 30000);
        QCOMPARE(messages.messages.size(), 2);
        const QString pem = child<QPlainTextEdit>(*dialog, "edtRequest")->toPlainText();
        QVERIFY(pem.startsWith(QStringLiteral("-----BEGIN CERTIFICATE REQUEST-----\n")));

        // Saved as PEM and DER; the authority verifies and signs it.
        files.file = m_certs->path(QStringLiteral("born.csr"));
        child<QPushButton>(*dialog, "btnSavePem")->click();
        QCOMPARE(files.lastSuffix, QStringLiteral("csr"));
        QCOMPARE(m_certs->read(QStringLiteral("born.csr")), pem.toLatin1());
        files.file = m_certs->path(QStringLiteral("born.der"));
        child<QPushButton>(*dialog, "btnSaveDer")->click();
        QCOMPARE(m_certs->read(QStringLiteral("born.der")), PemDecode(pem.toLatin1(), "CERTIFICATE REQUEST"));
        QVERIFY(openssl({"req", "-verify", "-noout", "-in", "born.csr"}));
        QVERIFY(openssl({"x509", "-req", "-in", "born.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                         "-days", "30", "-out", "born.cer"}));
        child<QPushButton>(*dialog, "btnClose")->click();
        QTRY_VERIFY(!page.window.findChild<KeyGenDialog*>());
        QVERIFY(page.settled());
        QVERIFY(topTexts(certTree(page.window)).contains(QStringLiteral("born(容器)")));

        // Imported into a new container "elsewhere", the certificate goes to its key pair.
        const qsizetype before = messages.messages.size();
        page.import([&](TIMForm& dialog) {
            dialog.chooseFile(m_certs->path(QStringLiteral("born.cer")));
            newContainer(dialog, QStringLiteral("elsewhere"), 1);
        });
        QCOMPARE(messages.messages.size(), before + 1);
        QCOMPARE(messages.messages.last(), Lang("I_Matched").arg(QStringLiteral("born")));
        QCOMPARE(topTexts(certTree(page.window)),
                 (QStringList{QStringLiteral("authority(容器)"), QStringLiteral("born(容器)")}));

        // Its chain as PEM: the certificate, then the authority's from the key.
        QTreeWidget* tree = certTree(page.window);
        tree->setCurrentItem(tree->topLevelItem(1)->child(0)->child(0));
        files.file = m_certs->path(QStringLiteral("chain-out.pem"));
        page.window.certificatePage().AcOutputChainExecute();
        QVERIFY(page.settled());
        const QByteArray chain = m_certs->read(QStringLiteral("chain-out.pem"));
        QCOMPARE(chain.count("-----BEGIN CERTIFICATE-----"), 2);
        QVERIFY(chain.endsWith(m_certs->read(QStringLiteral("ca.pem"))));
        QCOMPARE(messages.messages.last(), Lang("OutPut_OK"));
    }

private:
    const test::Sm2TestCertificates& sm2Certificates()
    {
        if (!m_sm2) {
            m_sm2 = std::make_unique<test::Sm2TestCertificates>(m_certFolder.path() + QStringLiteral("/sm2"));
        }
        return *m_sm2;
    }

    bool openssl(const QStringList& arguments) const
    {
        QProcess tool;
        tool.setWorkingDirectory(m_certFolder.path());
        tool.start(QStringLiteral("openssl"), arguments);
        return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    QTemporaryDir m_certFolder;
    std::unique_ptr<TestCertificates> m_certs;
    std::unique_ptr<test::Sm2TestCertificates> m_sm2;
};

QTEST_MAIN(CertPageTest)
#include "CertPageTest.moc"
