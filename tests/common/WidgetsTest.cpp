// SPDX-License-Identifier: Apache-2.0
#include "common/LanguageTexts.h"
#include "common/widgets/FocusKeeper.h"
#include "common/widgets/ListAddRow.h"
#include "common/widgets/MessageBox.h"
#include "common/widgets/SecretField.h"
#include "common/widgets/UiDriver.h"
#include "common/widgets/WindowFont.h"

#include "TestFolders.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace kx;

namespace {

// Answers every question with a set answer and records what was shown.
class RecordingPresenter final : public MessagePresenter
{
public:
    bool present(QWidget*, Kind kind, const QString& caption, const QString& text) override
    {
        shown.append((kind == Kind::Question ? QStringLiteral("?") : QStringLiteral("i")) + caption + QLatin1Char('|') +
                     text);
        return answer;
    }
    QStringList shown;
    bool answer = false;
};

} // namespace

class WidgetsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A button greyed out while a key works gets the focus back when it is enabled again, unless
    // the user typed or clicked meanwhile.
    void greyedOutControlGetsTheFocusBack()
    {
        QWidget window;
        auto* tree = new QTreeWidget(&window);
        auto* button = new QPushButton(QStringLiteral("go"), &window);
        button->move(0, 200);
        new FocusKeeper(&window);
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        button->setFocus();
        QVERIFY(button->hasFocus());
        button->setEnabled(false);
        QCOMPARE(QApplication::focusWidget(), tree);
        button->setEnabled(true);
        QVERIFY(button->hasFocus());

        button->setEnabled(false);
        QTest::keyClick(tree, Qt::Key_Down);
        button->setEnabled(true);
        QCOMPARE(QApplication::focusWidget(), tree);
    }

    void messagesCarryTheNoticeCaption()
    {
        RecordingPresenter recorder;
        MessagePresenter::setCurrent(&recorder);
        InfoBox(nullptr, QStringLiteral("done"));
        recorder.answer = true;
        QVERIFY(QuestionBox(nullptr, QStringLiteral("sure?")));
        recorder.answer = false;
        QVERIFY(!QuestionBox(nullptr, QStringLiteral("sure?")));
        MessagePresenter::setCurrent(nullptr);
        QCOMPARE(recorder.shown, (QStringList{QStringLiteral("i提示|done"), QStringLiteral("?提示|sure?"),
                                              QStringLiteral("?提示|sure?")}));
    }

    void realQuestionBoxAnswersYesOnlyOnYes()
    {
        auto answerWith = [](QMessageBox::StandardButton button) {
            QTimer::singleShot(50, [button] {
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                        QCOMPARE(box->windowTitle(), Lang("P_MSGTitle"));
                        QCOMPARE(box->icon(), QMessageBox::Question);
                        box->button(button)->click();
                    }
                }
            });
        };
        answerWith(QMessageBox::Yes);
        QVERIFY(QuestionBox(nullptr, QStringLiteral("delete?")));
        answerWith(QMessageBox::No);
        QVERIFY(!QuestionBox(nullptr, QStringLiteral("delete?")));
    }

    // The real notices carry the icon and the stacking their callers ask for.
    void realNoticesShowTheirStyle()
    {
        struct Seen
        {
            QMessageBox::Icon icon = QMessageBox::NoIcon;
            bool topmost = false;
            QString text;
        };
        auto dismiss = [](Seen& seen) {
            QTimer::singleShot(50, [&seen] {
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                        seen = {box->icon(), box->windowFlags().testFlag(Qt::WindowStaysOnTopHint), box->text()};
                        box->button(QMessageBox::Ok)->click();
                    }
                }
            });
        };
        Seen plain;
        dismiss(plain);
        InfoBox(nullptr, QStringLiteral("saved"));
        QCOMPARE(plain.icon, QMessageBox::Information);
        QVERIFY(!plain.topmost);
        Seen reminder;
        dismiss(reminder);
        NoticeBox(nullptr, QStringLiteral("expires"), {.topmost = true});
        QCOMPARE(reminder.icon, QMessageBox::Information);
        QVERIFY(reminder.topmost);
        Seen asking;
        dismiss(asking);
        NoticeBox(nullptr, QStringLiteral("differ"), {.questionIcon = true});
        QCOMPARE(asking.icon, QMessageBox::Question);
        QVERIFY(!asking.topmost);
        QCOMPARE(asking.text, QStringLiteral("differ"));
    }

    // Emptying a field that held a secret overwrites every buffer the field kept it in: its
    // text and, for a text shown in clear, the copy it shows. A text in read-only data is left.
    void secretFieldsAreOverwritten_data()
    {
        QTest::addColumn<int>("echo");
        QTest::newRow("shown") << int(QLineEdit::Normal);
        QTest::newRow("password") << int(QLineEdit::Password);
    }
    void secretFieldsAreOverwritten()
    {
        QFETCH(int, echo);
        QLineEdit edit;
        edit.setEchoMode(QLineEdit::EchoMode(echo));
        edit.setText(QString::number(735019) + QStringLiteral("#pin"));
        // Held here, the buffers survive the clearing and can be looked at.
        const QString text = edit.text();
        const QString shown = edit.displayText();
        ClearSecretField(&edit);
        QVERIFY(edit.text().isEmpty());
        QCOMPARE(text, QString(10, QChar(0)));
        QCOMPARE(shown, QString(10, QChar(0)));

        QString literal = QStringLiteral("read-only");
        edit.setText(literal);
        ClearSecretField(&edit);
        QCOMPARE(literal, QStringLiteral("read-only"));
    }

    void uiDriverWorksAWindow();
    void uiDriverListensOnlyInAPrivateFolder();
    void listRows()
    {
        QTreeWidget list;
        list.setColumnCount(2);
        ListAddRow(&list, QStringLiteral("Serial"), QStringLiteral("KX0001"));
        ListAddRow(&list, QStringLiteral("Label"), QString());
        ListAddRow(nullptr, QStringLiteral("ignored"), QString());
        QCOMPARE(list.topLevelItemCount(), 2);
        QCOMPARE(list.topLevelItem(0)->text(0), QStringLiteral("Serial"));
        QCOMPARE(list.topLevelItem(0)->text(1), QStringLiteral("KX0001"));
        QCOMPARE(list.topLevelItem(1)->text(0), QStringLiteral("Label"));
    }

    // The windows' font is the desktop's: the language's family only when it is a particular
    // installed font, the language's size only as the least size.
    void windowFontFollowsTheDesktop()
    {
        const QStringList installed = QFontDatabase::families();
        QVERIFY(installed.size() >= 2);
        QFont desktop(installed.first(), 11);
        desktop.setWeight(QFont::Medium);
        const QString other = installed.at(1);
        QVERIFY(other != desktop.family());

        QFont font = WindowFont(desktop, other, 9);
        QCOMPARE(font.family(), other);
        QCOMPARE(font.pointSizeF(), 11.0);
        QCOMPARE(font.weight(), QFont::Medium);
        QCOMPARE(WindowFont(desktop, other, 14).pointSizeF(), 14.0);
        for (const QString& family : {QStringLiteral("No Such Family kx2700"), QStringLiteral("Sans Serif"),
                                      QStringLiteral("monospace"), QString()}) {
            QCOMPARE(WindowFont(desktop, family, 9).family(), desktop.family());
        }
        // A desktop font set in pixels keeps them.
        QFont pixels(installed.first());
        pixels.setPixelSize(15);
        QCOMPARE(WindowFont(pixels, other, 9).pixelSize(), 15);

        // The built-in language names SimSun at 9 points, over the platform's general font.
        const QFont general = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        const QFont windows = WindowFont();
        QCOMPARE(windows.pointSizeF(), std::max(general.pointSizeF(), 9.0));
        if (!QFontDatabase::hasFamily(QStringLiteral("宋体"))) {
            QCOMPARE(windows.family(), general.family());
        }
    }
};

void WidgetsTest::uiDriverWorksAWindow()
{
    test::TestFolders folders;
    QWidget window;
    window.setObjectName(QStringLiteral("Window"));
    auto* edit = new QLineEdit(&window);
    edit->setObjectName(QStringLiteral("edtName"));
    auto* button = new QPushButton(QStringLiteral("OK"), &window);
    button->setObjectName(QStringLiteral("btnOK"));
    int pressed = 0;
    connect(button, &QPushButton::clicked, [&] { ++pressed; });
    auto* tree = new QTreeWidget(&window);
    tree->setObjectName(QStringLiteral("tv"));
    auto* root = new QTreeWidgetItem(tree, {QStringLiteral("root")});
    new QTreeWidgetItem(root, {QStringLiteral("child one")});
    new QTreeWidgetItem(root, {QStringLiteral("child two")});
    window.show();

    UiDriver driver(folders.path(QStringLiteral("driver.sock")), nullptr);
    QCOMPARE(driver.handle("set Window/edtName " + QByteArray("张三 & co").toPercentEncoding()), QByteArray("ok "));
    QCOMPARE(edit->text(), QStringLiteral("张三 & co"));
    QCOMPARE(driver.handle("get Window/edtName"), "ok " + QByteArray("张三 & co").toPercentEncoding());
    QCOMPARE(driver.handle("select Window/tv 0/1"), QByteArray("ok "));
    QCOMPARE(tree->currentItem()->text(0), QStringLiteral("child two"));
    QCOMPARE(driver.handle("current Window/tv"), "ok " + QByteArray("0/1").toPercentEncoding());
    QVERIFY(driver.handle("current Window/edtName").startsWith("error "));
    // The focus as a path the other requests take, and the widget's class.
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    tree->setFocus();
    QCOMPARE(driver.handle("focus"), "ok " + QByteArray("Window/tv\nQTreeWidget").toPercentEncoding());
    QCOMPARE(driver.handle("get Window/tv"), "ok " + QByteArray("root\n  child one\n  child two").toPercentEncoding());
    // A press comes after the answer, so a dialog it opens cannot hold the answer back.
    QCOMPARE(driver.handle("click Window/btnOK"), QByteArray("ok "));
    QCOMPARE(pressed, 0);
    QTRY_COMPARE(pressed, 1);
    QVERIFY(driver.handle("click Window/missing").startsWith("error "));
    QVERIFY(driver.handle("select Window/tv 0/7").startsWith("error "));
    QVERIFY(driver.handle("frobnicate Window/tv").startsWith("error "));
    QVERIFY(driver.handle("").startsWith("error "));
    // What is typed into a hidden field is never handed out: only its length.
    edit->setEchoMode(QLineEdit::Password);
    QCOMPARE(driver.handle("set Window/edtName 12345678"), QByteArray("ok "));
    QCOMPARE(edit->text(), QStringLiteral("12345678"));
    const QByteArray hidden = driver.handle("get Window/edtName");
    QVERIFY2(!hidden.contains("1234"), hidden.constData());
    QCOMPARE(hidden, "ok " + QByteArray("(hidden, 8 characters)").toPercentEncoding());
    edit->clear();
    QCOMPARE(driver.handle("get Window/edtName"), QByteArray("ok "));
}

void WidgetsTest::uiDriverListensOnlyInAPrivateFolder()
{
    QTemporaryDir folder;
    QObject owner;
    QFile::setPermissions(folder.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther);
    qputenv("KX2700_UI_DRIVER", QFile::encodeName(folder.path()));
    UiDriver::startIfRequested(&owner);
    QVERIFY(owner.findChild<UiDriver*>() == nullptr);
    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    UiDriver::startIfRequested(&owner);
    auto* driver = owner.findChild<UiDriver*>();
    QVERIFY(driver && driver->listening());
    qunsetenv("KX2700_UI_DRIVER");
    UiDriver::startIfRequested(&owner);
    QCOMPARE(owner.findChildren<UiDriver*>().size(), 1);
}

QTEST_MAIN(WidgetsTest)
#include "WidgetsTest.moc"
