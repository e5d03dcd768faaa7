// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class SystemCheckPage;
}

namespace kx {

class KeySession;
class PackageQuery;

// The system check page: five rows of facts about the host, the browser and provider rows
// completed when the package database has answered. Long values wrap, whole, and are also shown
// whole as tooltips.
class SystemCheckPage : public QWidget
{
    Q_OBJECT

public:
    explicit SystemCheckPage(const KeySession& session, QWidget* parent = nullptr);
    ~SystemCheckPage() override;

    void ApplyTexts();
    void RunSystemCheck();

private:
    // The caption column fits its texts within half the list; the value column takes the rest.
    void fitColumns();

    std::unique_ptr<Ui::SystemCheckPage> m_ui;
    const KeySession& m_session;
    PackageQuery* m_providerPackage = nullptr;
    PackageQuery* m_browserPackage = nullptr;
    QString m_browserName;
};

} // namespace kx
