// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class KeyInfoPage;
}

namespace kx {

class KeySession;

// The key information page: the selected key's label, serial number, PIN limits and tries, memory
// and versions, and the search for keys again.
class KeyInfoPage : public QWidget
{
    Q_OBJECT

public:
    explicit KeyInfoPage(KeySession& session, QWidget* parent = nullptr);
    ~KeyInfoPage() override;

    void ApplyTexts();
    void ShowKeyInfo(int keyIndex);
    void AcFindKeyRefreshExecute();

signals:
    // The keys were listed again by the refresh button.
    void keysRefreshed();

private:
    std::unique_ptr<Ui::KeyInfoPage> m_ui;
    KeySession& m_session;
};

} // namespace kx
