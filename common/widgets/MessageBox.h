// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QWidget;

namespace kx {

// How a notice looks beyond its caption and text.
struct NoticeStyle
{
    // The question icon instead of the information icon (the notice still has only OK).
    bool questionIcon = false;
    // The box stays above all other windows, so a reminder cannot be buried under them.
    bool topmost = false;
};

// Shows the programs' message boxes. Every user message goes through the presenter in use, so
// tests can install one that records the messages and answers the questions.
class MessagePresenter
{
public:
    enum class Kind
    {
        Information,
        Question
    };
    virtual ~MessagePresenter() = default;
    // Shows `text` with `caption`; for a question, true means the user answered Yes.
    virtual bool present(QWidget* owner, Kind kind, const QString& caption, const QString& text) = 0;
    // Shows a notice with an OK button in `style`; a presenter that does not tell styles apart
    // shows it as an information notice.
    virtual void presentNotice(QWidget* owner, const QString& caption, const QString& text, NoticeStyle style);

    static MessagePresenter& current();
    // Installs a presenter (not owned); nullptr goes back to real message boxes.
    static void setCurrent(MessagePresenter* presenter);
};

// The standard notice: `text` with caption P_MSGTitle, the information icon and an OK button.
void InfoBox(QWidget* owner, const QString& text);

// A notice with caption P_MSGTitle and an OK button, in the given style.
void NoticeBox(QWidget* owner, const QString& text, NoticeStyle style);

// A Yes/No question with caption P_MSGTitle and the question icon; true only on Yes.
bool QuestionBox(QWidget* owner, const QString& text);

} // namespace kx
