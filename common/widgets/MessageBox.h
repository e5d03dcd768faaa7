// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QWidget;

namespace kx {

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

    static MessagePresenter& current();
    // Installs a presenter (not owned); nullptr goes back to real message boxes.
    static void setCurrent(MessagePresenter* presenter);
};

// The standard notice: `text` with caption P_MSGTitle, the information icon and an OK button.
void InfoBox(QWidget* owner, const QString& text);

// A Yes/No question with caption P_MSGTitle and the question icon; true only on Yes.
bool QuestionBox(QWidget* owner, const QString& text);

} // namespace kx
