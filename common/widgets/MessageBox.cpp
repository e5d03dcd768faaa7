// SPDX-License-Identifier: Apache-2.0
#include "MessageBox.h"

#include "common/LanguageTexts.h"

#include <QAbstractButton>
#include <QMessageBox>

namespace kx {

namespace {

// A button's text from the language texts; a text the language file lacks (a blank) leaves
// Qt's own, translated text.
void nameButton(QMessageBox& box, QMessageBox::StandardButton which, LangKey key)
{
    const QString text = Lang(key);
    if (QAbstractButton* button = box.button(which); button && !text.trimmed().isEmpty()) {
        button->setText(text);
    }
}

// Modal message boxes owned by the given window, their buttons named in the language in use.
class DialogPresenter final : public MessagePresenter
{
public:
    bool present(QWidget* owner, Kind kind, const QString& caption, const QString& text) override
    {
        if (kind != Kind::Question) {
            presentNotice(owner, caption, text, {});
            return true;
        }
        QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
        box.setDefaultButton(QMessageBox::No);
        nameButton(box, QMessageBox::Yes, "Btn_Yes");
        nameButton(box, QMessageBox::No, "Btn_No");
        return box.exec() == QMessageBox::Yes;
    }

    void presentNotice(QWidget* owner, const QString& caption, const QString& text, NoticeStyle style) override
    {
        QMessageBox box(style.questionIcon ? QMessageBox::Question : QMessageBox::Information, caption, text,
                        QMessageBox::Ok, owner);
        nameButton(box, QMessageBox::Ok, "C_Btn_Confirm");
        box.setWindowFlag(Qt::WindowStaysOnTopHint, style.topmost);
        box.exec();
    }
};

MessagePresenter* g_installed = nullptr;

} // namespace

void MessagePresenter::presentNotice(QWidget* owner, const QString& caption, const QString& text, NoticeStyle)
{
    present(owner, Kind::Information, caption, text);
}

MessagePresenter& MessagePresenter::current()
{
    if (g_installed) {
        return *g_installed;
    }
    static DialogPresenter dialogs;
    return dialogs;
}

void MessagePresenter::setCurrent(MessagePresenter* presenter)
{
    g_installed = presenter;
}

void InfoBox(QWidget* owner, const QString& text)
{
    NoticeBox(owner, text, {});
}

void NoticeBox(QWidget* owner, const QString& text, NoticeStyle style)
{
    MessagePresenter::current().presentNotice(owner, Lang("P_MSGTitle"), text, style);
}

bool QuestionBox(QWidget* owner, const QString& text)
{
    return MessagePresenter::current().present(owner, MessagePresenter::Kind::Question, Lang("P_MSGTitle"), text);
}

} // namespace kx
