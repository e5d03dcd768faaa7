// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class AboutPage;
}

namespace kx {

// The about page: the copyright, the web address and the mail address, both opened on a click.
class AboutPage : public QWidget
{
    Q_OBJECT

public:
    explicit AboutPage(QWidget* parent = nullptr);
    ~AboutPage() override;

    void ApplyTexts();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void openLink(bool mail);

    std::unique_ptr<Ui::AboutPage> m_ui;
};

} // namespace kx
