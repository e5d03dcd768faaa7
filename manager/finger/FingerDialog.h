// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerPictures.h"

#include "token/Call_GMAPIs_Admin.h"

#include <QDialog>

#include <cstdint>
#include <functional>

class QLabel;
class QMovie;
class QPushButton;
class QTimer;

namespace kx {

// What the fingerprint dialogs share: the instruction (Label1), the message line (LMsg, blue
// for progress and success, red for failures), the picture (ImgFinger: the animation while the
// user acts, then the ok or error picture), the close button (btnCancel), the start timer Trun
// that begins the work a second after the dialog is created, the optional closing countdown
// TClose, and sensor polling that survives the dialog being closed or destroyed meanwhile.
class FingerDialog : public QDialog
{
    Q_OBJECT

public:
    enum class Picture
    {
        None,
        Animation,
        Ok,
        Error
    };

    static constexpr int kStartDelayMs = 1000;
    static constexpr int kPollIntervalMs = 200;
    static constexpr int kCloseTickMs = 1000;
    static constexpr int kCloseCountdown = 5;

    // The result of the last key call that decided the outcome.
    std::uint32_t ResultCode = SAR_OK;

    ~FingerDialog() override;

    // The start timer's tick: stops the timer, then does the dialog's work.
    virtual void TrunTimer();
    // The countdown's tick: while the countdown is above 0 the close button shows it and it goes
    // down by one; the tick that finds 0 closes the dialog with Accepted.
    void TCloseTimer();

    QString message() const;
    bool messageIsError() const { return m_messageIsError; }
    Picture shownPicture() const { return m_picture; }
    int countdown() const { return m_countdown; }
    // Whether the dialog's work is running (it may be waiting for the sensor).
    bool running() const { return m_running; }

    void done(int result) override;

protected:
    // `withCountdown` adds the TClose timer.
    FingerDialog(Call_GMAPIs_Admin& skf, const FingerPictures& pictures, bool withCountdown, QWidget* parent);

    // The dialog's work, run by the start timer and by the dialog's repeat button.
    virtual void run() = 0;

    // Runs run() unless it runs already (polling lets events through, so a second run could
    // start inside the first) or the dialog is closing. False when the dialog was destroyed
    // meanwhile: the caller must return without touching any member.
    bool runGuarded();

    // Lays the dialog out: `top` (optional) across the top, the picture beside the instruction,
    // the message line and `below` (optional), then `repeat` and the close button at the bottom.
    void arrange(QWidget* top, QWidget* below, QPushButton* repeat);
    void setMessage(const QString& text, bool error);
    void showPicture(Picture picture);
    void setCountdown(int value) { m_countdown = value; }
    void startCountdown();
    // Makes running polls end without closing the dialog.
    void requestStop() { m_stopping = true; }
    bool stopping() const { return m_stopping; }

    // Calls `attempt` until it gives something other than FingerSamplePending, kPollIntervalMs
    // apart, and leaves its last result in `result`. False when the dialog closed, was asked to
    // stop or was destroyed during a wait: the caller must then return at once (without touching
    // any member, as the dialog may be gone).
    bool pollWhilePending(const std::function<std::uint32_t()>& attempt, std::uint32_t& result);
    // Waits kPollIntervalMs with events running; false as for pollWhilePending.
    bool pause();

    // The message of a failed VerifyInit: the locked and no-finger texts, else the code.
    static QString verifyStartFailureText(std::uint32_t code);
    // P_FormatError filled with `code`.
    static QString formatError(std::uint32_t code);

    Call_GMAPIs_Admin& m_skf;
    const FingerPictures m_pictures;
    QLabel* m_label1 = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_image = nullptr;
    QPushButton* m_cancel = nullptr;
    QTimer* m_trun = nullptr;
    QTimer* m_tclose = nullptr;

private:
    QMovie* m_movie = nullptr;
    Picture m_picture = Picture::None;
    bool m_messageIsError = false;
    bool m_running = false;
    bool m_stopping = false;
    int m_countdown = kCloseCountdown;
};

} // namespace kx
