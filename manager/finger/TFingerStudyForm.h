// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FingerDialog.h"

class QProgressBar;

namespace kx {

// Trains the key on one enrolled finger: five passes, each waiting for a finger on the sensor.
// A pass counts only when the key recognises the trained finger; any other answer is shown and
// the pass is tried again a second later. btnTest starts the five passes anew; btnCancel closes
// the dialog once the running pass has ended.
class TFingerStudyForm : public FingerDialog
{
    Q_OBJECT

public:
    static constexpr int kPasses = 5;

    // `finger` 1 to 10: the finger to train.
    TFingerStudyForm(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, std::uint32_t userType,
                     int finger, QWidget* parent = nullptr);

    // Runs one pass, then starts the next a second later while passes remain.
    void TrunTimer() override;

    int remainingPasses() const { return m_remaining; }

protected:
    // One pass.
    void run() override;
    // A pass has ended: the next one starts a second later while passes remain.
    void workEnded() override;

private:
    void restart();
    void cancel();
    // No pass runs and none will: both buttons usable, the repeat button focused.
    void finish();
    static QString passFailureText(std::uint32_t code, bool otherFinger);
    void passEnded(std::uint32_t result, std::uint32_t finger);

    const std::uint32_t m_userType;
    const std::uint32_t m_finger;
    int m_remaining = kPasses;
    bool m_closeRequested = false;
    QPushButton* m_test = nullptr;
    QProgressBar* m_progress = nullptr;
};

} // namespace kx
