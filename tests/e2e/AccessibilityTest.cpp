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

bool waitVisible(Desktop& desktop, const QString& widget)
{
    if (widget == QLatin1String("@modal")) {
        return QTest::qWaitFor([&] { return !desktop.drive(kMgr, {"modal"}).value_or(QString()).isEmpty(); }, 15000);
    }
    return QTest::qWaitFor(
        [&] {
            return desktop.drive(kMgr, {"visible", QStringLiteral("TMainForm/") + widget}) == QStringLiteral("1");
        },
        15000);
}

} // namespace

class AccessibilityTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyFocusableControlHasAName_data()
    {
        QTest::addColumn<QByteArray>("language");
        QTest::newRow("Chinese") << QByteArray("2052");
        QTest::newRow("English") << QByteArray("1033");
    }

    void everyFocusableControlHasAName()
    {
        QFETCH(QByteArray, language);
        Desktop desktop;
        desktop.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        desktop.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
        desktop.writeUserConfig("DefaultPINMode=0\nLanguageID=" + language + "\n");
        // A key with a fingerprint sensor: its tree has every page, the finger page included.
        QVERIFY(desktop.keysim({"create", "--serial", "KXF", "--sensor", "fingerprint", "--fingers", "2"}));
        // The accessibility bus of the session runs before the program starts, as on a desktop
        // with a screen reader: asking for the tree of no program starts it.
        static_cast<void>(walkAccessibleTree(0));
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
        QStringList unnamed;
        int focusable = 0;
        for (const auto& [node, shown] : pages) {
            if (node == QLatin1String("login")) {
                QVERIFY(desktop.act(kMgr, {"select", "TMainForm/tv", "0/0/2"}));
                QVERIFY(waitVisible(desktop, QStringLiteral("edtUPIN")));
                QVERIFY(desktop.act(kMgr, {"set", "TMainForm/edtUPIN", kPin}));
                QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnlogon")));
            } else if (node == QLatin1String("import")) {
                QVERIFY(desktop.click(kMgr, QStringLiteral("TMainForm/btnInputCert")));
            } else {
                QVERIFY2(desktop.act(kMgr, {"select", "TMainForm/tv", node}), qPrintable(desktop.lastError));
            }
            QVERIFY2(waitVisible(desktop, shown),
                     qPrintable(node + QLatin1Char('\n') + desktop.get(kMgr, QStringLiteral("TMainForm/tv"))));
            const Walk walk = walkAccessibleTree(pid);
            QVERIFY2(walk.found, qPrintable(walk.output));
            // At least the key tree; all pages together show dozens of controls.
            QVERIFY2(walk.focusable >= 1, qPrintable(node + QLatin1Char(' ') + walk.output));
            focusable += walk.focusable;
            qInfo("%s: %d", qPrintable(node), walk.focusable);
            // Names follow the language: no Chinese is read out in the English interface.
            if (language == "1033") {
                for (const QString& name : walk.names) {
                    QVERIFY2(
                        !name.contains(QRegularExpression(QStringLiteral("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]"))),
                        qPrintable(node + QStringLiteral(": ") + name));
                }
            }
            for (const QString& path : walk.unnamed) {
                unnamed.append(node + QStringLiteral(": ") + path);
            }
        }
        QVERIFY2(focusable >= 25, qPrintable(QString::number(focusable)));
        unnamed.removeDuplicates();
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(QLatin1Char('\n'))));
    }
};

int main(int argc, char** argv)
{
    XSession session;
    if (!session.startWithWindowManager()) {
        std::fprintf(stderr, "No X session with a window manager could be started (Xvfb, openbox, dbus-daemon)\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    AccessibilityTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "AccessibilityTest.moc"
