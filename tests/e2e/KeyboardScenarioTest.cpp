// SPDX-License-Identifier: Apache-2.0
// The installed manager worked with the keyboard alone, on an X server of the test under the
// window manager openbox: a login, a PIN change, a PKCS#12 file imported through the file dialog,
// and fingers enrolled and deleted on a key with a fingerprint sensor. Every key goes through the
// X server to the window with the input focus; the UI driver only tells where the focus is and
// what the windows show.
#include "../common/XSession.h"
#include "Desktop.h"
#include "Keyboard.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace kx::test;

namespace {

const QString kMgr = QStringLiteral("KX2700Mgr");
const QString kKey = QStringLiteral("KXF");
const QString kFactoryPin = QStringLiteral("12345678");
const QString kNewPin = QStringLiteral("Kx2700!kbd");
const QString kPfxPassword = QStringLiteral("pfx-pass");
const QString kContainer = QStringLiteral("KeyboardCont");
const QString kTree = QStringLiteral("TMainForm/tv");
// The tasks of the only key in the key tree.
const QString kPinNode = QStringLiteral("0/0/0");
const QString kLoginNode = QStringLiteral("0/0/2");
const QString kFingerNode = QStringLiteral("0/0/3");

bool openssl(const QString& folder, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(QStringLiteral("openssl"), arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// user.p12: a key pair and its certificate, issued by a CA of the test. The file holds no root,
// so the import asks no question about trusting one.
bool makePkcs12(const QString& folder)
{
    return openssl(folder, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                            "-days", "30", "-subj", "/CN=Keyboard Test CA"}) &&
           openssl(folder, {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "user.key", "-out", "user.csr", "-subj",
                            "/CN=Keyboard User"}) &&
           openssl(folder, {"x509", "-req", "-in", "user.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                            "-out", "user.pem", "-days", "30"}) &&
           openssl(folder, {"pkcs12", "-export", "-inkey", "user.key", "-in", "user.pem", "-passout",
                            "pass:" + kPfxPassword, "-out", "user.p12"});
}

// The fingers enrolled on the virtual key, as its control tool lists them, in order ("1,2").
QString enrolledFingers(Desktop& desktop)
{
    if (!desktop.keysim({"show", kKey})) {
        return QStringLiteral("(no key)");
    }
    QStringList fingers = QRegularExpression(QStringLiteral("^fingers: *(\\S*)"), QRegularExpression::MultilineOption)
                              .match(desktop.lastOutput)
                              .captured(1)
                              .split(QLatin1Char(','), Qt::SkipEmptyParts);
    fingers.sort();
    return fingers.join(QLatin1Char(','));
}

bool waitForFingers(Desktop& desktop, const QString& fingers)
{
    return QTest::qWaitFor([&] { return enrolledFingers(desktop) == fingers; }, Keyboard::kWaitMs);
}

bool waitUntilVisible(Desktop& desktop, const QString& path)
{
    return QTest::qWaitFor(
        [&] {
            return desktop.drive(kMgr, {"visible", path}) == QStringLiteral("1");
        },
        Keyboard::kWaitMs);
}

// The finger page offers its actions again once the key is free; a finger pressed while the key
// still works (reading the fingers after the page opened or an enrolment ended) does nothing.
bool waitUntilFingersFree(Desktop& desktop)
{
    return QTest::qWaitFor(
        [&] {
            return desktop.drive(kMgr, {"enabled", "TMainForm/btnFingerUnlock"}) == QStringLiteral("1");
        },
        Keyboard::kWaitMs);
}

} // namespace

class KeyboardScenarioTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(makePkcs12(m_certFolder.path())); }

    // One key with a fingerprint sensor, from the manager's start to two fingers enrolled and
    // one deleted; each step starts from where the last one left the focus.
    void managerWorkedByKeyboardAlone()
    {
        Desktop desktop;
        desktop.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        desktop.writeUserConfig("DefaultPINMode=0\n");
        QVERIFY(desktop.keysim({"create", "--serial", kKey, "--sensor", "fingerprint"}));
        desktop.start(kMgr);
        Keyboard keyboard(desktop, kMgr);
        // The window comes up with the focus in the key tree, which lists the key's tasks.
        QVERIFY(QTest::qWaitFor([&] { return desktop.get(kMgr, kTree).contains(QStringLiteral("用户指纹")); },
                                Keyboard::kWaitMs));
        QVERIFY2(keyboard.waitForFocus(kTree), qPrintable(keyboard.lastSeen));

        logIn(desktop, keyboard, QStringLiteral("Down"), kFactoryPin);
        if (QTest::currentTestFailed()) {
            return;
        }
        changePin(desktop, keyboard);
        if (QTest::currentTestFailed()) {
            return;
        }
        // The change logged the key out: the login again, with the new PIN.
        logIn(desktop, keyboard, QStringLiteral("Down"), kNewPin);
        if (QTest::currentTestFailed()) {
            return;
        }
        importPkcs12(desktop, keyboard);
        if (QTest::currentTestFailed()) {
            return;
        }
        enrolAndDeleteFingers(desktop, keyboard);
    }

private:
    // From wherever the focus is on the page, back into the key tree and along it to `node`.
    static bool walkTo(Keyboard& keyboard, const QString& direction, const QString& node)
    {
        return keyboard.pressUntilFocus(QStringLiteral("shift+Tab"), kTree) &&
               keyboard.walkTree(kTree, direction, node);
    }

    static void logIn(Desktop& desktop, Keyboard& keyboard, const QString& direction, const QString& pin)
    {
        QVERIFY2(walkTo(keyboard, direction, kLoginNode), qPrintable(keyboard.lastSeen));
        QVERIFY(waitUntilVisible(desktop, QStringLiteral("TMainForm/edtUPIN")));
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("TMainForm/edtUPIN")),
                 qPrintable(keyboard.lastSeen));
        keyboard.type(pin);
        QVERIFY(keyboard.waitForText(QStringLiteral("TMainForm/edtUPIN"), Keyboard::hidden(pin)));
        keyboard.press(QStringLiteral("Return"));
        QVERIFY2(waitUntilVisible(desktop, QStringLiteral("TMainForm/tvCert")), qPrintable(desktop.modalText(kMgr)));
    }

    // Old PIN, Tab, new PIN, Tab, the new PIN again, Tab to the button and Space; the notice of
    // the change is closed with Return.
    static void changePin(Desktop& desktop, Keyboard& keyboard)
    {
        QVERIFY2(walkTo(keyboard, QStringLiteral("Up"), kPinNode), qPrintable(keyboard.lastSeen));
        QVERIFY(waitUntilVisible(desktop, QStringLiteral("TMainForm/edtOldUPin")));
        const QList<std::pair<QString, QString>> fields{{QStringLiteral("TMainForm/edtOldUPin"), kFactoryPin},
                                                        {QStringLiteral("TMainForm/edtNewUPin1"), kNewPin},
                                                        {QStringLiteral("TMainForm/edtNewUPin2"), kNewPin}};
        for (const auto& [field, pin] : fields) {
            QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), field), qPrintable(keyboard.lastSeen));
            keyboard.type(pin);
            QVERIFY(keyboard.waitForText(field, Keyboard::hidden(pin)));
        }
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("TMainForm/btnSetUPIN")),
                 qPrintable(keyboard.lastSeen));
        keyboard.press(QStringLiteral("space"));
        QVERIFY2(desktop.waitForModal(kMgr, QStringLiteral("修改成功")), qPrintable(desktop.modalText(kMgr)));
        keyboard.press(QStringLiteral("Return"));
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMgr, {"modal"}) == QString(); }, Keyboard::kWaitMs));
        QVERIFY(desktop.keysim({"show", kKey}));
        QVERIFY2(desktop.lastOutput.contains(QStringLiteral("user-pin-default: no")), qPrintable(desktop.lastOutput));
    }

    // The import dialog from the certificate page, the file typed into the file dialog, its
    // password, a new container's name, and OK.
    void importPkcs12(Desktop& desktop, Keyboard& keyboard)
    {
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("TMainForm/btnInputCert")),
                 qPrintable(keyboard.lastSeen));
        keyboard.press(QStringLiteral("space"));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("IMForm")));
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("IMForm/btnpath")),
                 qPrintable(keyboard.lastSeen));
        keyboard.press(QStringLiteral("space"));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("QFileDialog")));
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("QFileDialog/fileNameEdit")), qPrintable(keyboard.lastSeen));
        const QString file = m_certFolder.path() + QStringLiteral("/user.p12");
        keyboard.type(file);
        QVERIFY(keyboard.waitForText(QStringLiteral("@modal/fileNameEdit"), file));
        keyboard.press(QStringLiteral("Return"));
        // The chosen file puts the cursor into the password field.
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("IMForm/edtpwd")), qPrintable(keyboard.lastSeen));
        QCOMPARE(desktop.get(kMgr, QStringLiteral("IMForm/edtPath")), file);
        keyboard.type(kPfxPassword);
        QVERIFY(keyboard.waitForText(QStringLiteral("IMForm/edtpwd"), Keyboard::hidden(kPfxPassword)));
        // A key without containers offers a new one only.
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("IMForm/edtContname")),
                 qPrintable(keyboard.lastSeen));
        keyboard.type(kContainer);
        QVERIFY(keyboard.waitForText(QStringLiteral("IMForm/edtContname"), kContainer));
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), QStringLiteral("IMForm/btnOK")),
                 qPrintable(keyboard.lastSeen));
        keyboard.press(QStringLiteral("space"));
        const bool imported = QTest::qWaitFor(
            [&] {
                return desktop.get(kMgr, QStringLiteral("TMainForm/tvCert")).contains(QStringLiteral("Keyboard User"));
            },
            Keyboard::kWaitMs);
        QVERIFY2(imported, qPrintable(desktop.drive(kMgr, {"modal"}).value_or(QStringLiteral("no manager"))));
        QVERIFY(desktop.get(kMgr, QStringLiteral("TMainForm/tvCert")).startsWith(kContainer + QLatin1Char('(')));
        QCOMPARE(desktop.drive(kMgr, {"modal"}), QString());
    }

    // Tab to the fingers, the arrow keys along them; Space enrols a finger, and after the
    // enrolment the arrow keys go on from that finger. Return on an enrolled finger asks whether
    // to delete it; "y" answers yes.
    static void enrolAndDeleteFingers(Desktop& desktop, Keyboard& keyboard)
    {
        QVERIFY2(walkTo(keyboard, QStringLiteral("Down"), kFingerNode), qPrintable(keyboard.lastSeen));
        QVERIFY(waitUntilVisible(desktop, QStringLiteral("TMainForm/FingerHandUser")));
        const QString littleFinger = QStringLiteral("TMainForm/SpeedButton5");
        QVERIFY2(keyboard.pressUntilFocus(QStringLiteral("Tab"), littleFinger), qPrintable(keyboard.lastSeen));
        // From the left little finger towards the thumb: ring, middle, index finger.
        for (const int finger : {4, 3, 2}) {
            keyboard.press(QStringLiteral("Right"));
            QVERIFY2(keyboard.waitForFocus(QStringLiteral("TMainForm/SpeedButton%1").arg(finger)),
                     qPrintable(keyboard.lastSeen));
        }
        QCOMPARE(enrolledFingers(desktop), QString());
        QVERIFY(waitUntilFingersFree(desktop));
        keyboard.press(QStringLiteral("space"));
        QVERIFY2(waitForFingers(desktop, QStringLiteral("2")), qPrintable(desktop.lastOutput));
        // The focus is back on the finger once the enrolment is over.
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("TMainForm/SpeedButton2")), qPrintable(keyboard.lastSeen));

        keyboard.press(QStringLiteral("Right"));
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("TMainForm/SpeedButton1")), qPrintable(keyboard.lastSeen));
        QVERIFY(waitUntilFingersFree(desktop));
        keyboard.press(QStringLiteral("Return"));
        QVERIFY2(waitForFingers(desktop, QStringLiteral("1,2")), qPrintable(desktop.lastOutput));
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("TMainForm/SpeedButton1")), qPrintable(keyboard.lastSeen));

        keyboard.press(QStringLiteral("Left"));
        QVERIFY2(keyboard.waitForFocus(QStringLiteral("TMainForm/SpeedButton2")), qPrintable(keyboard.lastSeen));
        QVERIFY(waitUntilFingersFree(desktop));
        keyboard.press(QStringLiteral("Return"));
        QVERIFY(desktop.waitForModal(kMgr, QStringLiteral("确定要删除指纹吗")));
        keyboard.press(QStringLiteral("y"));
        QVERIFY2(waitForFingers(desktop, QStringLiteral("1")), qPrintable(desktop.lastOutput));
    }

    QTemporaryDir m_certFolder;
};

int main(int argc, char** argv)
{
    return execOnDesktop<KeyboardScenarioTest>(argc, argv);
}

#include "KeyboardScenarioTest.moc"
