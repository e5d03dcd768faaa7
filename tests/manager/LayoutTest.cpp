// SPDX-License-Identifier: Apache-2.0
// Every page of the manager and every dialog of both programs, in each shipped language: no
// label, button, check box, group title or tree node text may need more room than it has. The
// suite runs once at scale 1 and once with QT_SCALE_FACTOR=1.5.
#include "ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"
#include "keyservice/KeyService.h"
#include "manager/finger/FingerKeyAccess.h"
#include "manager/finger/TFingerInputForm.h"
#include "manager/finger/TFingerStudyForm.h"
#include "manager/finger/TFingerTestForm.h"
#include "manager/finger/TFingerVerifyForm.h"
#include "monitor/TProjectConfigForm.h"
#include "monitor/TUPinSetForm.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include <QSet>

using namespace kx;
using test::ManagerWorld;
using test::RecordingPresenter;

namespace {

const QByteArray kSkfLine = "SKFLib=" KEYSIM_SKF_PATH "\n";

// The part of `widget` that its ancestors up to `root` leave visible.
QRect room(const QWidget* widget, const QWidget* root)
{
    QRect visible = widget->rect();
    for (const QWidget* w = widget; w != root && w->parentWidget(); w = w->parentWidget()) {
        visible = visible.translated(w->pos()) & w->parentWidget()->rect();
    }
    return visible;
}

QString withoutMnemonic(QString text)
{
    return text.replace(QStringLiteral("&&"), QStringLiteral("\x01"))
        .remove(QLatin1Char('&'))
        .replace(QLatin1Char('\x01'), QLatin1Char('&'));
}

// The size a push or tool button's text and icon need inside the button's frame and margins.
QSize buttonNeeds(const QAbstractButton* button)
{
    const QFontMetrics metrics(button->font());
    QSize contents(metrics.horizontalAdvance(withoutMnemonic(button->text())), metrics.height());
    if (!button->icon().isNull()) {
        contents += QSize(button->iconSize().width() + 4, 0);
        contents.setHeight(std::max(contents.height(), button->iconSize().height()));
    }
    const QStyle* style = button->style();
    const int margins = style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                        2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    return contents + QSize(margins, 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button));
}

// What `widget` shows and the room it needs for it; an empty size when it shows no text.
QSize textNeeds(const QWidget* widget, QString& text)
{
    if (const auto* label = qobject_cast<const QLabel*>(widget)) {
        text = label->text();
        if (text.trimmed().isEmpty() || !label->pixmap().isNull()) {
            return {};
        }
        if (label->wordWrap()) {
            return {0, label->heightForWidth(label->width())};
        }
        return label->sizeHint();
    }
    if (qobject_cast<const QCheckBox*>(widget) || qobject_cast<const QRadioButton*>(widget)) {
        text = static_cast<const QAbstractButton*>(widget)->text();
        return text.trimmed().isEmpty() ? QSize() : widget->sizeHint();
    }
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) {
        text = button->text();
        return text.trimmed().isEmpty() ? QSize() : buttonNeeds(button);
    }
    if (const auto* group = qobject_cast<const QGroupBox*>(widget)) {
        text = group->title();
        const QFontMetrics metrics(group->font());
        return text.trimmed().isEmpty() ? QSize() : QSize(metrics.horizontalAdvance(withoutMnemonic(text)) + 16, 0);
    }
    return {};
}

// The model index of a tree node.
QModelIndex indexOf(QTreeWidget* tree, QTreeWidgetItem* item)
{
    if (!item->parent()) {
        return tree->model()->index(tree->indexOfTopLevelItem(item), 0);
    }
    return tree->model()->index(item->parent()->indexOfChild(item), 0, indexOf(tree, item->parent()));
}

// Every text under `root` (which must be visible) that does not fit, one line each.
QStringList misfits(QWidget* root)
{
    QStringList found;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* widget : widgets) {
        if (!widget->isVisible()) {
            continue;
        }
        QString text;
        const QSize needs = textNeeds(widget, text);
        const QRect has = room(widget, root);
        if (needs.width() > has.width() || needs.height() > has.height()) {
            found.append(QStringLiteral("%1 \"%2\" needs %3x%4, has %5x%6")
                             .arg(widget->objectName(), text)
                             .arg(needs.width())
                             .arg(needs.height())
                             .arg(has.width())
                             .arg(has.height()));
        }
        if (auto* tree = qobject_cast<QTreeWidget*>(widget); tree && tree->columnCount() == 1) {
            tree->expandAll();
            for (QTreeWidgetItemIterator it(tree); *it; ++it) {
                const QRect rect = tree->visualItemRect(*it);
                // What the tree's own delegate needs for the node's icon and text.
                QStyleOptionViewItem option;
                option.initFrom(tree->viewport());
                option.font = tree->font();
                option.decorationSize = tree->iconSize().isValid() ? tree->iconSize() : QSize(16, 16);
                option.showDecorationSelected = tree->selectionBehavior() == QAbstractItemView::SelectRows;
                const int needs = rect.x() + tree->itemDelegate()->sizeHint(option, indexOf(tree, *it)).width();
                if (needs > tree->viewport()->width()) {
                    found.append(QStringLiteral("%1 node \"%2\" needs %3, has %4")
                                     .arg(tree->objectName(), (*it)->text(0))
                                     .arg(needs)
                                     .arg(tree->viewport()->width()));
                }
            }
        }
    }
    return found;
}

// Shows `dialog` without running it, lets it lay itself out and returns what does not fit.
QStringList dialogMisfits(QWidget& dialog)
{
    dialog.show();
    QCoreApplication::processEvents();
    QStringList found = misfits(&dialog);
    for (QString& line : found) {
        line.prepend(QString::fromLatin1(dialog.metaObject()->className()) + QStringLiteral(": "));
    }
    dialog.hide();
    return found;
}

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void languages_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("Chinese") << QStringLiteral("CN_2052.lng");
        QTest::newRow("English") << QStringLiteral("EN_1033.lng");
    }

    void everyPageFitsItsTexts_data() { languages_data(); }
    void everyPageFitsItsTexts()
    {
        QFETCH(QString, file);
        QCOMPARE(LoadLanguageFile(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/") + file), 0);
        ManagerWorld world(kSkfLine);
        QVERIFY(world.keysim({"create", "--serial", "KXA", "--label", "KX2700 demo key", "--sensor", "fingerprint"}));
        RecordingPresenter messages;
        TMainForm window;
        test::openWindow(window);
        QVERIFY(window.session().FingerSupported());
        QStringList found;
        auto* pages = test::child<QStackedWidget>(window, "RPC");
        for (const int page : {TMainForm::PageKeyInfo, TMainForm::PageUserPIN, TMainForm::PageKeyName,
                               TMainForm::PageLogin, TMainForm::PageCertificates, TMainForm::PageSystemInfo,
                               TMainForm::PageAbout, TMainForm::PageFinger, TMainForm::PageRemoteUnlock}) {
            window.showPage(page);
            QCoreApplication::processEvents();
            for (const QString& line : misfits(pages->currentWidget())) {
                found.append(QStringLiteral("page %1: ").arg(page) + line);
            }
        }
        // The tree with every node of a key with a sensor.
        found += misfits(test::child<QTreeWidget>(window, "tv"));
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
        // Field labels end with one colon, the language's own when its text brings one.
        for (const char* name : {"Label14", "RzLabel1", "Label2", "Label3", "Label4", "Label8", "Label44"}) {
            const QString text = test::child<QLabel>(window, name)->text();
            static const QRegularExpression oneColon(QStringLiteral("[^:：][:：]$"));
            QVERIFY2(oneColon.match(text).hasMatch(), qPrintable(text));
        }
        // Nodes that would be cut to the same text would no longer tell the pages apart.
        QTreeWidgetItem* key = test::child<QTreeWidget>(window, "tv")->topLevelItem(0)->child(0);
        QSet<QString> texts;
        for (int i = 0; i < key->childCount(); ++i) {
            texts.insert(key->child(i)->text(0));
        }
        QCOMPARE(texts.size(), key->childCount());
    }

    void everyDialogFitsItsTexts_data() { languages_data(); }
    void everyDialogFitsItsTexts()
    {
        QFETCH(QString, file);
        QCOMPARE(LoadLanguageFile(QStringLiteral(KX_SOURCE_DIR "/resources/Languages/") + file), 0);
        ManagerWorld world;
        QStringList found;
        {
            TIMForm import({QByteArrayLiteral("container-1")}, 0);
            found += dialogMisfits(import);
        }
        // The dialogs over a key that is not there: their work, should it start, finds no device.
        KeyService service({33, true, 0});
        const auto key = std::make_shared<ServiceFingerKey>(service, QByteArrayLiteral("no key"));
        const FingerPictures pictures;
        {
            TFingerInputForm enrol(key, pictures, 1, SkfUserType, 3);
            enrol.setWindowTitle(Lang("P_FingerInput"));
            found += dialogMisfits(enrol);
        }
        {
            TFingerTestForm test(key, pictures, SkfUserType, {});
            test.setWindowTitle(Lang("F_User_Test"));
            found += dialogMisfits(test);
        }
        {
            TFingerVerifyForm verify(key, pictures, SkfUserType);
            verify.setWindowTitle(Lang("P_FingerVerify"));
            found += dialogMisfits(verify);
        }
        {
            TFingerStudyForm study(key, pictures, SkfUserType, 1);
            found += dialogMisfits(study);
        }
        {
            mon::TProjectConfigForm settings;
            found += dialogMisfits(settings);
        }
        {
            mon::TUPinSetForm pin;
            found += dialogMisfits(pin);
        }
        QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
    }
};

QTEST_MAIN(LayoutTest)
#include "LayoutTest.moc"
