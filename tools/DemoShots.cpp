// SPDX-License-Identifier: Apache-2.0
// kx2700-demoshots: opens the manager's main window on the keys that are plugged in and saves a
// picture of its key information, login, PIN change and key name pages in each installed
// language, driving the window as a user would (tree selection, typing).
//
// usage: kx2700-demoshots OUTPUT_FOLDER [CERTIFICATE_FOLDER]
//        kx2700-demoshots --finger TAG OUTPUT_FOLDER
//
// With a certificate folder, the first key is logged in with PIN 12345678 and receives, through
// the import dialog, "exchange.pfx" and "signature.pfx" into one container, "sm2-exchange.pfx" and
// "sm2-signature.pfx" (SM2 key pairs) into a second and "ec-chain.p12" (an EC certificate with its
// CA chain) into a third (password "demo"); the certificate page, showing the SM2 container, the
// import dialog and the key-pair dialog (filled in, then with the request of a pair the key
// generated) are then pictured too.
//
// With --finger the first key is a key with a sensor (PIN 12345678): its fingerprint page, an
// enrolment in progress, the remote unlock page with a request code, and the system check are
// pictured, the pictures' names starting with TAG.

#include "common/AppContext.h"
#include "common/LanguageInfo.h"
#include "common/LanguageTexts.h"
#include "common/ProfileFile.h"
#include "common/StartupConfiguration.h"
#include "common/widgets/MessageBox.h"
#include "manager/CertificatePage.h"
#include "manager/KeyGenDialog.h"
#include "manager/LoginPage.h"
#include "manager/RemoteUnlockPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"
#include "manager/finger/FingerHand.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <algorithm>
#include <functional>

namespace {

// Prints messages instead of showing them, so nothing waits for a click.
class PrintingPresenter final : public kx::MessagePresenter
{
public:
    bool present(QWidget*, Kind, const QString&, const QString& text) override
    {
        QTextStream(stdout) << "message: " << text << "\n";
        return false;
    }
};

void waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

void settle()
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 150) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

// Waits until the window's keys have answered everything asked of them.
void waitForKeys(kx::TMainForm& window)
{
    waitFor([&] { return window.session().service().idle() && !window.session().importRunning(); }, 30000);
}

bool save(kx::TMainForm& window, const QString& folder, const QString& name)
{
    waitForKeys(window);
    settle();
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool ok = window.grab().save(path);
    QTextStream(stdout) << (ok ? "saved " : "could not save ") << path << "\n";
    return ok;
}

// A program folder for the pictures: the installation's files, with the library paths made
// absolute and without the monitor, whose reminders would take the screen while the pages are
// pictured.
bool stageProgramFolder(const QString& installation, const QString& stage)
{
    const QString appInfo = stage + QStringLiteral("/APPInfo.ini");
    if (!QFile::copy(installation + QStringLiteral("/APPInfo.ini"), appInfo)) {
        return false;
    }
    kx::ProfileFile file;
    file.load(appInfo);
    auto absolute = [&](const char* key) {
        const QString value = file.readString(QStringLiteral("APPLib"), QString::fromLatin1(key), QString());
        return value.isEmpty() || value.startsWith(QLatin1Char('/')) ? value : installation + QLatin1Char('/') + value;
    };
    return kx::writeProfile(appInfo, QStringLiteral("APPLib"),
                            {{QStringLiteral("PKCS11Lib"), absolute("PKCS11Lib")},
                             {QStringLiteral("SKFLib"), absolute("SKFLib")}}) == 0 &&
           kx::writeProfile(appInfo, QStringLiteral("APPFlag"), {{QStringLiteral("APPMonName"), QString()}}) == 0 &&
           QFile::link(installation + QStringLiteral("/Languages"), stage + QStringLiteral("/Languages")) &&
           QFile::link(installation + QStringLiteral("/res"), stage + QStringLiteral("/res"));
}

// Runs `fill` on the import dialog as soon as it shows (it opens once the key said it has room),
// after the import action was started.
void withImportDialog(kx::TMainForm& window, const std::function<void(kx::TIMForm*)>& fill)
{
    bool filled = false;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<kx::TIMForm*>(QApplication::activeModalWidget());
        if (dialog && !filled) {
            filled = true;
            fill(dialog);
        }
    });
    poll.start();
    window.certificatePage().AcInputCertExecute();
    waitFor([&] { return filled && !QApplication::activeModalWidget(); }, 30000);
    waitForKeys(window);
}

// Imports one file through the import dialog, as a user fills it in.
void importFile(kx::TMainForm& window, const QString& file, const QString& container, bool existing, int keySpec)
{
    withImportDialog(window, [&](kx::TIMForm* dialog) {
        dialog->chooseFile(file);
        dialog->findChild<QLineEdit*>(QStringLiteral("edtpwd"))->setText(QStringLiteral("demo"));
        if (existing) {
            dialog->findChild<QRadioButton*>(QStringLiteral("rb2"))->setChecked(true);
            auto* names = dialog->findChild<QComboBox*>(QStringLiteral("cbContName"));
            names->setCurrentIndex(names->findText(container));
        } else {
            dialog->findChild<QRadioButton*>(QStringLiteral("rb1"))->setChecked(true);
            dialog->findChild<QLineEdit*>(QStringLiteral("edtContname"))->setText(container);
        }
        dialog->findChild<QRadioButton*>(keySpec == 2 ? QStringLiteral("rb4") : QStringLiteral("rb3"))
            ->setChecked(true);
        dialog->btnOKClick();
    });
}

// Pictures the import dialog as it opens, then closes it.
bool saveImportDialog(kx::TMainForm& window, const QString& folder, const QString& name, const QString& file)
{
    bool saved = false;
    withImportDialog(window, [&](kx::TIMForm* dialog) {
        dialog->chooseFile(file);
        settle();
        const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        saved = dialog->grab().save(path);
        QTextStream(stdout) << (saved ? "saved " : "could not save ") << path << "\n";
        dialog->done(2);
    });
    return saved;
}

// Pictures the key-pair dialog filled in, has the key generate an ECC P-256 pair in a new
// container with its request, pictures the request and closes the dialog.
bool saveKeyGenDialog(kx::TMainForm& window, const QString& folder, const QString& tag)
{
    window.certificatePage().AcGenerateExecute();
    kx::KeyGenDialog* dialog = nullptr;
    waitFor([&] { return (dialog = window.findChild<kx::KeyGenDialog*>()) && dialog->isVisible(); }, 30000);
    if (!dialog) {
        return false;
    }
    dialog->findChild<QLineEdit*>(QStringLiteral("edtContainerName"))->setText(QStringLiteral("张三的新密钥 ") + tag);
    auto* algorithm = dialog->findChild<QComboBox*>(QStringLiteral("cbAlgorithm"));
    algorithm->setCurrentIndex(std::max(0, algorithm->findText(QStringLiteral("ECC P-256"))));
    dialog->findChild<QLineEdit*>(QStringLiteral("edtCommonName"))->setText(QStringLiteral("张三"));
    dialog->findChild<QLineEdit*>(QStringLiteral("edtOrganization"))->setText(QStringLiteral("KX2700"));
    dialog->findChild<QLineEdit*>(QStringLiteral("edtCountry"))->setText(QStringLiteral("CN"));
    dialog->findChild<QLineEdit*>(QStringLiteral("edtEmail"))->setText(QStringLiteral("zhangsan@example.com"));
    settle();
    const QString input = folder + QLatin1Char('/') + tag + QStringLiteral("-keygen.png");
    bool saved = dialog->grab().save(input);
    QTextStream(stdout) << (saved ? "saved " : "could not save ") << input << "\n";
    dialog->findChild<QPushButton*>(QStringLiteral("btnGenerate"))->click();
    auto* request = dialog->findChild<QPlainTextEdit*>(QStringLiteral("edtRequest"));
    waitFor([&] { return request->isVisible(); }, 60000);
    settle();
    const QString shown = folder + QLatin1Char('/') + tag + QStringLiteral("-keygen-request.png");
    saved = request->isVisible() && dialog->grab().save(shown) && saved;
    QTextStream(stdout) << (saved ? "saved " : "could not save ") << shown << "\n";
    dialog->findChild<QPushButton*>(QStringLiteral("btnClose"))->click();
    waitForKeys(window);
    return saved;
}

bool saveWidget(QWidget& widget, const QString& folder, const QString& name)
{
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    const bool ok = widget.grab().save(path);
    QTextStream(stdout) << (ok ? "saved " : "could not save ") << path << "\n";
    return ok;
}

// The pages of a key with a sensor. `finger` is the finger enrolled while the enrolment dialog
// is pictured.
bool saveFingerPages(kx::TMainForm& window, const QString& output, const QString& tag, int finger)
{
    bool allSaved = true;
    auto* tv = window.findChild<QTreeWidget*>(QStringLiteral("tv"));
    QTreeWidgetItem* key = tv->topLevelItem(0)->child(0);
    if (!window.session().FingerSupported() || key->childCount() < 5) {
        QTextStream(stderr) << "the first key has no sensor\n";
        return false;
    }
    tv->setCurrentItem(key->child(2));
    window.findChild<QLineEdit*>(QStringLiteral("edtUPIN"))->setText(QStringLiteral("12345678"));
    window.loginPage().AcLoginExecute();
    waitForKeys(window);
    tv->setCurrentItem(key->child(3));
    allSaved &= save(window, output, tag + QStringLiteral("-fingerprint"));
    // The enrolment dialog while it takes its samples.
    bool dialogSaved = false;
    QTimer::singleShot(1300, &window, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialogSaved = saveWidget(*dialog, output, tag + QStringLiteral("-enrolment"));
        }
    });
    waitForKeys(window);
    window.findChild<kx::FingerHand*>(QStringLiteral("FingerHandUser"))->button(finger)->click();
    // The click reads the fingers first; the dialog opens with the answer and closes itself.
    waitFor([&] { return dialogSaved; }, 10000);
    waitFor([&] { return !QApplication::activeModalWidget(); }, 20000);
    allSaved &= dialogSaved;
    allSaved &= save(window, output, tag + QStringLiteral("-fingerprint-enrolled"));
    // Remote unlock with the request code for the issuing party.
    tv->setCurrentItem(key->child(4));
    window.remoteUnlockPage().AcRequestExecute();
    waitForKeys(window);
    window.findChild<QPlainTextEdit*>(QStringLiteral("edtUnlockCode"))
        ->setPlainText(QStringLiteral("0123456789ABCDEF"));
    window.findChild<QLineEdit*>(QStringLiteral("edtNewUPin_RM"))->setText(QStringLiteral("12345678"));
    window.findChild<QLineEdit*>(QStringLiteral("edtNewUPin1_RM"))->setText(QStringLiteral("Kx2700!new"));
    allSaved &= save(window, output, tag + QStringLiteral("-remoteunlock"));
    tv->setCurrentItem(tv->topLevelItem(1));
    allSaved &= save(window, output, tag + QStringLiteral("-systemcheck"));
    return allSaved;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    QStringList arguments = QCoreApplication::arguments().mid(1);
    QString fingerTag;
    if (arguments.size() >= 2 && arguments.first() == QStringLiteral("--finger")) {
        fingerTag = arguments.at(1);
        arguments = arguments.mid(2);
    }
    if (arguments.isEmpty()) {
        QTextStream(stderr) << "usage: kx2700-demoshots OUTPUT_FOLDER [CERTIFICATE_FOLDER]\n"
                               "       kx2700-demoshots --finger TAG OUTPUT_FOLDER\n";
        return 2;
    }
    const QString output = arguments.at(0);
    const QString certificates = arguments.size() > 1 ? arguments.at(1) : QString();
    QDir().mkpath(output);
    PrintingPresenter presenter;
    kx::MessagePresenter::setCurrent(&presenter);

    QTemporaryDir stage;
    if (!stage.isValid() || !stageProgramFolder(QCoreApplication::applicationDirPath(), stage.path())) {
        QTextStream(stderr) << "cannot prepare a program folder for the pictures\n";
        return 1;
    }
    kx::AppContext context;
    context.setExecutableFolder(stage.path());
    kx::AppContext::setCurrent(&context);
    const kx::StartupConfiguration config = kx::LoadStartupConfiguration();
    bool allSaved = true;
    for (int entry = 0; entry < config.languages.count; ++entry) {
        const auto e = static_cast<std::size_t>(entry);
        kx::Language() = kx::LanguageTexts();
        kx::UseLanguageEntry(config.languages, entry);
        const QString tag = config.languages.LanguageID[e];

        kx::TMainForm window;
        window.show();
        waitFor([&] { return window.LibraryReady && window.session().KeyCount() > 0; }, 15000);
        if (window.session().KeyCount() == 0) {
            QTextStream(stderr) << "no key is plugged in\n";
            return 1;
        }
        if (!fingerTag.isEmpty()) {
            allSaved &= saveFingerPages(window, output, tag + QLatin1Char('-') + fingerTag, 4 + entry);
            continue;
        }
        auto* tv = window.findChild<QTreeWidget*>(QStringLiteral("tv"));
        QTreeWidgetItem* key = tv->topLevelItem(0)->child(0);
        tv->setCurrentItem(key);
        allSaved &= save(window, output, tag + QStringLiteral("-keyinfo"));
        tv->setCurrentItem(key->child(2));
        window.findChild<QLineEdit*>(QStringLiteral("edtUPIN"))->setText(QStringLiteral("1234"));
        allSaved &= save(window, output, tag + QStringLiteral("-login"));
        tv->setCurrentItem(key->child(0));
        window.findChild<QLineEdit*>(QStringLiteral("edtOldUPin"))->setText(QStringLiteral("12345678"));
        window.findChild<QLineEdit*>(QStringLiteral("edtNewUPin1"))->setText(QStringLiteral("Abc12!"));
        allSaved &= save(window, output, tag + QStringLiteral("-pinchange"));
        tv->setCurrentItem(key->child(1));
        allSaved &= save(window, output, tag + QStringLiteral("-keyname"));
        if (!certificates.isEmpty()) {
            tv->setCurrentItem(key->child(2));
            window.findChild<QLineEdit*>(QStringLiteral("edtUPIN"))->setText(QStringLiteral("12345678"));
            window.loginPage().AcLoginExecute();
            waitForKeys(window);
            if (entry == 0) {
                const QString folder = certificates + QLatin1Char('/');
                importFile(window, folder + QStringLiteral("exchange.pfx"), QStringLiteral("张三的证书"), false, 1);
                importFile(window, folder + QStringLiteral("signature.pfx"), QStringLiteral("张三的证书"), true, 2);
                importFile(window, folder + QStringLiteral("sm2-exchange.pfx"), QStringLiteral("张三SM2"), false, 1);
                importFile(window, folder + QStringLiteral("sm2-signature.pfx"), QStringLiteral("张三SM2"), true, 2);
                importFile(window, folder + QStringLiteral("ec-chain.p12"), QStringLiteral("ECC"), false, 2);
            }
            // The SM2 container at the top, with the RSA one below it.
            auto* tvCert = window.findChild<QTreeWidget*>(QStringLiteral("tvCert"));
            const auto sm2 = tvCert->findItems(QStringLiteral("张三SM2"), Qt::MatchStartsWith);
            if (!sm2.isEmpty()) {
                tvCert->scrollToItem(sm2.first(), QAbstractItemView::PositionAtTop);
            }
            allSaved &= save(window, output, tag + QStringLiteral("-certificates"));
            allSaved &= saveImportDialog(window, output, tag + QStringLiteral("-import"),
                                         certificates + QStringLiteral("/exchange.pfx"));
            allSaved &= saveKeyGenDialog(window, output, tag);
        }
    }
    return allSaved ? 0 : 1;
}
