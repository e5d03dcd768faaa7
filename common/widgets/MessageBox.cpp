// SPDX-License-Identifier: Apache-2.0
#include "MessageBox.h"

#include "common/LanguageTexts.h"

#include <QMessageBox>

namespace kx {

namespace {

// Modal message boxes owned by the given window.
class DialogPresenter final : public MessagePresenter
{
public:
    bool present(QWidget* owner, Kind kind, const QString& caption, const QString& text) override
    {
        if (kind == Kind::Question) {
            return QMessageBox::question(owner, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
                   QMessageBox::Yes;
        }
        presentNotice(owner, caption, text, {});
        return true;
    }

    void presentNotice(QWidget* owner, const QString& caption, const QString& text, NoticeStyle style) override
    {
        QMessageBox box(style.questionIcon ? QMessageBox::Question : QMessageBox::Information, caption, text,
                        QMessageBox::Ok, owner);
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
