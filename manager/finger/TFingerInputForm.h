// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerDialog.h"

class QProgressBar;

namespace kx {

// Enrols one finger: sets the samples per enrolment, starts the enrolment and takes samples
// until the key decides, with the progress bar one step per sample the key counted. Success
// closes the dialog with Accepted at once; a capture failure offers btnRun to try again; other
// failures close it after the countdown. ResultCode holds the key's answer.
class TFingerInputForm : public FingerDialog
{
    Q_OBJECT

public:
    // `finger` 1 to 10 of the key for `userType`; `samples` per enrolment.
    TFingerInputForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, int finger,
                     std::uint32_t userType, std::uint32_t samples, QWidget* parent = nullptr);

protected:
    void run() override;

private:
    // The message of a failed EnrollInit.
    static QString startFailureText(std::uint32_t code);
    // Ends a run that failed with `text`: red message, error picture.
    void showFailure(const QString& text);
    // One sample: the next follows while the key wants more.
    void takeSample();
    // The enrolment's end with the key's last answer.
    void finish(std::uint32_t result);

    const std::uint32_t m_finger;
    const std::uint32_t m_userType;
    const std::uint32_t m_samples;
    QPushButton* m_run = nullptr;
    QProgressBar* m_progress = nullptr;
    // The key's sample count as last reported.
    std::uint32_t m_counted = 0;
};

} // namespace kx
