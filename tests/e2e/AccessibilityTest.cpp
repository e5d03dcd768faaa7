// SPDX-License-Identifier: Apache-2.0
// What a screen reader finds in the installed manager on a real desktop (an X server, openbox and
// the session's accessibility bus, started by the test): every control that takes the keyboard
// focus on every page, in Chinese and in English, has a name to read out.
#include "../common/XSession.h"
#include "Desktop.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace kx::test;

namespace {

const QString kMgr = QStringLiteral("KX2700Mgr");
const QString kMon = QStringLiteral("KX2700Mon");
const QString kPin = QStringLiteral("12345678");

struct Walk
{
    bool found = false;
    int focusable = 0;
    QStringList names;
    QStringList unnamed;
    QString output;
};

// The accessibility tree of the process `pid` as the session's AT-SPI registry offers it.
Walk walkAccessibleTree(qint64 pid)
{
    QProcess walker;
    walker.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(KX_SOURCE_DIR "/tests/e2e/atspi_unnamed.py"), QString::number(pid)});
    walker.waitForFinished(60000);
    Walk walk;
    walk.output = QString::fromUtf8(walker.readAllStandardOutput() + walker.readAllStandardError());
    const QJsonObject answer = QJsonDocument::fromJson(walk.output.toUtf8()).object();
    walk.found = answer.value(QStringLiteral("found")).toBool();
    walk.focusable = answer.value(QStringLiteral("focusable")).toInt();
    for (const QJsonValue& name : answer.value(QStringLiteral("names")).toArray()) {
        walk.names.append(name.toString());
    }
    for (const QJsonValue& path : answer.value(QStringLiteral("unnamed")).toArray()) {
        walk.unnamed.append(path.toString());
    }
    return walk;
}

// The position of the key labelled `label` in the key tree, -1 when it is not there.
int keyPosition(Desktop& desktop, const QString& label)
{
    const QStringList keys = desktop.get(kMgr, QStringLiteral("TMainForm/tv"))
                                 .split('\n')
                                 .filter(QRegularExpression(QStringLiteral("^  \\S")));
    return static_cast<int>(keys.indexOf(QStringLiteral("  ") + label));
}

bool waitVisible(Desktop& desktop, const QString& program, const QString& widget)
{
    if (widget == QLatin1String("@modal")) {
        return QTest::qWaitFor([&] { return !desktop.drive(program, {"modal"}).value_or(QString()).isEmpty(); }, 15000);
    }
    return QTest::qWaitFor([&] { return desktop.drive(program, {"visible", widget}) == QStringLiteral("1"); }, 15000);
}

// What the walks of one program found over the windows it showed: the unnamed controls (with
// the step that showed them), Chinese names in the English interface, and how many controls.
struct Findings
{
    bool english = false;
    int focusable = 0;
    QStringList faults;

    // Walks the tree of `pid` as it is now; false when the program is not on the bus.
    bool add(qint64 pid, const QString& step)
    {
        const Walk walk = walkAccessibleTree(pid);
        if (!walk.found) {
            faults.append(step + QStringLiteral(": not on the accessibility bus ") + walk.output);
            return false;
        }
        focusable += walk.focusable;
        for (const QString& path : walk.unnamed) {
            faults.append(step + QStringLiteral(": no name: ") + path);
        }
        // Names follow the language: no Chinese is read out in the English interface.
        static const QRegularExpression chinese(QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]"));
        for (const QString& name : walk.names) {
            if (english && name.contains(chinese)) {
                faults.append(step + QStringLiteral(": Chinese name: ") + name);
            }
        }
        return true;
    }
};

void prepare(Desktop& desktop, const QByteArray& userConfig)
{
    desktop.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    desktop.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    desktop.writeUserConfig(userConfig);
    // The accessibility bus of the session runs before the programs start, as on a desktop with
    // a screen reader: asking for the tree of no program starts it.
    static_cast<void>(walkAccessibleTree(0));
}

} // namespace

class AccessibilityTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void managerControlsHaveNames_data() { languages(); }
    void managerControlsHaveNames()
    {
        QFETCH(QByteArray, language);
        Desktop desktop;
        prepare(desktop, "DefaultPINMode=0\nLanguageID=" + language + "\n");
        // A key with a fingerprint sensor: its tree has every page, the finger page included.
        QVERIFY(desktop.keysim({"create", "--serial", "KXF", "--sensor", "fingerprint", "--fingers", "2"}));
        desktop.start(kMgr);
        QVERIFY(QTest::qWaitFor([&] { return keyPosition(desktop, QStringLiteral("KX2700 Key")) == 0; }, 20000));

        // Each page as the tree shows it, with the widget that tells the page is up.
        const QList<std::pair<QString, QString>> pages = {
            {QStringLiteral("0/0"), QStringLiteral("lv")},
            {QStringLiteral("0/0/0"), QStringLiteral("edtOldUPin")},
            {QStringLiteral("0/0/1"), QStringLiteral("edtKeyName")},
            {QStringLiteral("0/0/2"), QStringLiteral("edtUPIN")},
            {QStringLiteral("0/0/3"), QStringLiteral("PCFinger")},
            {QStringLiteral("0/0/4"), QStringLiteral("edtRequestStr")},
            {QStringLiteral("1"), QStringLiteral("LVSystemInfo")},
            {QStringLiteral("2"), QStringLiteral("TabSheet7")},
            {QStringLiteral("login"), QStringLiteral("tvCert")},
            {QStringLiteral("import"), QStringLiteral("@modal")},
        };
        const qint64 pid = desktop.pidOf(kMgr);
        QVERIFY(pid > 0);
        Findings findings{.english = language == "1033"};
        for (const auto& [step, shown] : pages) {
            if (step == QLatin1String("login")) {
                QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", "0/0/2"}));
                QVERIFY(waitVisible(desktop, kMgr, QStringLiteral("TMainForm/edtUPIN")));
                QVERIFY(desktop.act(kMgr, {"set", "TMainForm/edtUPIN", kPin}));
                QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnlogon")));
            } else if (step == QLatin1String("import")) {
                QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnInputCert")));
            } else {
                QVERIFY2(desktop.act(kMgr, {"select", "TMainForm/tv", step}), qPrintable(desktop.lastError));
            }
            const QString widget = shown.startsWith(QLatin1Char('@')) ? shown : QStringLiteral("TMainForm/") + shown;
            QVERIFY2(waitVisible(desktop, kMgr, widget), qPrintable(step));
            QVERIFY(findings.add(pid, step));
        }
        // The tree and the fields and buttons of ten windows: a walk that sees fewer saw nothing.
        QVERIFY2(findings.focusable >= 25, qPrintable(QString::number(findings.focusable)));
        QVERIFY2(findings.faults.isEmpty(), qPrintable(findings.faults.join(QLatin1Char('\n'))));
    }

    // The monitor's windows: the factory-PIN question, the PIN change that follows it, and the
    // settings.
    void monitorControlsHaveNames_data() { languages(); }
    void monitorControlsHaveNames()
    {
        QFETCH(QByteArray, language);
        Desktop desktop;
        prepare(desktop, "LanguageID=" + language + "\n");
        QVERIFY(desktop.keysim({"create", "--serial", "KXA", "--pin", kPin}));
        desktop.start(kMon);
        Findings findings{.english = language == "1033"};
        QVERIFY(desktop.waitForModal(kMon, QStringLiteral("UPinSetForm")));
        const qint64 pid = desktop.pidOf(kMon);
        QVERIFY(findings.add(pid, QStringLiteral("question")));
        QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btn1")));
        QVERIFY(waitVisible(desktop, kMon, QStringLiteral("@modal/GroupBox1")));
        QVERIFY(findings.add(pid, QStringLiteral("PIN change")));
        // The dialog has no way out but the change itself.
        const QString newPin = QStringLiteral("Nw8!new#pin4");
        QVERIFY(desktop.act(kMon, {"set", "@modal/edtUPin", kPin}));
        QVERIFY(desktop.act(kMon, {"set", "@modal/edtNewUPin1", newPin}));
        QVERIFY(desktop.act(kMon, {"set", "@modal/edtNewUPin2", newPin}));
        QVERIFY(desktop.click(kMon, QStringLiteral("@modal/btnOK")));
        QVERIFY(QTest::qWaitFor([&] { return !desktop.modalText(kMon).isEmpty(); }, 15000));
        QVERIFY(findings.add(pid, QStringLiteral("PIN changed")));
        QVERIFY(desktop.act(kMon, {"answer", "ok"}));
        QVERIFY(QTest::qWaitFor([&] { return desktop.drive(kMon, {"modal"}) == QString(); }, 10000));
        QVERIFY(desktop.click(kMon, QStringLiteral("TMainForm/AcAdvanced")));
        QVERIFY(desktop.waitForModal(kMon, QStringLiteral("ProjectConfigForm")));
        QVERIFY(findings.add(pid, QStringLiteral("settings")));
        QVERIFY2(findings.focusable >= 10, qPrintable(QString::number(findings.focusable)));
        QVERIFY2(findings.faults.isEmpty(), qPrintable(findings.faults.join(QLatin1Char('\n'))));
    }

private:
    static void languages()
    {
        QTest::addColumn<QByteArray>("language");
        QTest::newRow("Chinese") << QByteArray("2052");
        QTest::newRow("English") << QByteArray("1033");
    }
};

int main(int argc, char** argv)
{
    return execOnDesktop<AccessibilityTest>(argc, argv);
}

#include "AccessibilityTest.moc"
