// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "common/UserConfig.h"

#include <QDialog>

#include <memory>

namespace Ui {
class TProjectConfigForm;
}

namespace kx::mon {

// The monitor's settings dialog: opening a web address on insertion and with which browser, the
// certificate-expiry warning and its days, the default-PIN reminder (shown, not editable) and
// the language. It edits a copy of the user configuration; its opener saves it after Save.
class TProjectConfigForm : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kMinCertDay = 30;
    static constexpr int kMaxCertDay = 365;

    explicit TProjectConfigForm(QWidget* parent = nullptr);
    ~TProjectConfigForm() override;

    // Fills the controls from `config` and sets the enabled states.
    void fill(const TUserConfigInfo& config);
    // The language names in list order and the entry to select (-1: none).
    void setLanguages(const QStringList& names, int selected);
    // Copies the controls into `config`; `languageEntry` gets the selected list entry (-1: none).
    void read(TUserConfigInfo& config, int& languageEntry) const;

    void cbOpenURLClick();
    void cbCertDayClick();
    void btnSaveClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void ApplyTexts();

    std::unique_ptr<Ui::TProjectConfigForm> m_ui;
};

} // namespace kx::mon
