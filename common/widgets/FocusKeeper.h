// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace kx {

// Keeps the keyboard focus on a control that is greyed out while a key works. Qt moves the focus
// away from a control that is disabled (here often as far as the key tree, where the arrow keys
// then switch pages); when the control is enabled again and the user has neither typed nor
// clicked meanwhile, the focus goes back to it, so keyboard users go on where they were.
class FocusKeeper : public QObject
{
    Q_OBJECT

public:
    // Watches the controls inside `window`.
    explicit FocusKeeper(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void focusChanged(QWidget* old, QWidget* now);
    void forget();

    QWidget* m_window;
    QPointer<QWidget> m_parked;   // the control that lost the focus by being disabled
    QPointer<QWidget> m_receiver; // where Qt put the focus instead
};

} // namespace kx
