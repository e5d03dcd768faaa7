// SPDX-License-Identifier: Apache-2.0
#include "common/LanguageTexts.h"
#include "common/widgets/ListAddRow.h"
#include "common/widgets/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
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
};

QTEST_MAIN(WidgetsTest)
#include "WidgetsTest.moc"
