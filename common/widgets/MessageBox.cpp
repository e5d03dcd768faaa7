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
        QMessageBox::information(owner, caption, text, QMessageBox::Ok);
        return true;
    }
};

MessagePresenter* g_installed = nullptr;

} // namespace

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
    MessagePresenter::current().present(owner, MessagePresenter::Kind::Information, Lang("P_MSGTitle"), text);
}

bool QuestionBox(QWidget* owner, const QString& text)
{
    return MessagePresenter::current().present(owner, MessagePresenter::Kind::Question, Lang("P_MSGTitle"), text);
}

} // namespace kx
