// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerKeyAccess.h"
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
// TClose, and the sensor polling: each call to the key runs as a job of the key and answers
// later, the next one a timer's interval after, so the window never waits; a dialog closed or
// destroyed meanwhile drops the answers still to come.
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
    FingerDialog(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, bool withCountdown,
                 QWidget* parent);

    // Starts the dialog's work, run by the start timer and by the dialog's repeat button. The
    // work goes on through answers of the key and ends with workEnded().
    virtual void run() = 0;
    // The work has ended (finished, failed, or stopped because the dialog is closing).
    virtual void workEnded();

    // Starts run() unless it runs already or the dialog is closing.
    void runGuarded();

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

    // One call to the key; `then` gets its answer, unless the dialog is stopping (the work then
    // ends).
    void callKey(FingerKeyAccess::SkfWork work, std::function<void(std::uint32_t result)> then);
    // Calls `attempt` until it answers something other than FingerSamplePending, kPollIntervalMs
    // apart, then hands the last answer to `then`; the work ends instead when the dialog stops.
    void pollWhilePending(FingerKeyAccess::SkfWork attempt, std::function<void(std::uint32_t result)> then);
    // Runs `next` kPollIntervalMs later, unless the dialog stops meanwhile (the work then ends).
    void pause(std::function<void()> next);

    // The message of a failed VerifyInit: the locked and no-finger texts, else the code.
    static QString verifyStartFailureText(std::uint32_t code);
    // P_FormatError filled with `code`.
    static QString formatError(std::uint32_t code);

    std::shared_ptr<FingerKeyAccess> m_key;
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
    int m_callsOut = 0;
    int m_countdown = kCloseCountdown;
};

} // namespace kx
