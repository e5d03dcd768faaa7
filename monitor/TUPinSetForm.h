// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TUPinSetForm;
}

namespace kx {
class CommandEndpoint;
}

namespace kx::mon {

// The monitor's PIN dialog, in one of two layouts: the change layout (old PIN, new PIN and its
// confirmation, the strength meter and the policy line) and, with PromptMode 100, the question
// whether to change a PIN that is still the factory default. It checks what was typed but never
// touches the key; its opener reads the fields after it closed with result 1. It stays on top,
// has no close box, and while it is open other programs find it under the class "TUPinSetForm",
// so the manager does not start.
class TUPinSetForm : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kQuestionMode = 100;

    explicit TUPinSetForm(QWidget* parent = nullptr);
    ~TUPinSetForm() override;

    // Set by the opener before the dialog is shown.
    int PromptMode = 0;
    int MaxPINLen = 16;
    int MinPINLen = 8;

    // The overdue line (red), shown when `text` is not empty.
    void setOverdueText(const QString& text);

    QString oldPin() const;
    QString newPin() const;
    bool defaultPinChecked() const;
    void setDefaultPinChecked(bool checked);

    void btnOKClick();

    // Only the dialog's own buttons (and its opener) end it; Esc does nothing.
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void ApplyDialogTexts();
    void edtUPinChange();
    void edtNewUPin2Change();

    std::unique_ptr<Ui::TUPinSetForm> m_ui;
    CommandEndpoint* m_endpoint = nullptr;
};

} // namespace kx::mon
