// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class KeyInfoPage;
}

namespace kx {

class KeySession;
struct FingerRead;
struct PinState;
struct TR7Info;

// The key information page: the selected key's label, serial number, PIN limits and tries, memory
// and versions, and the search for keys again.
class KeyInfoPage : public QWidget
{
    Q_OBJECT

public:
    explicit KeyInfoPage(KeySession& session, QWidget* parent = nullptr);
    ~KeyInfoPage() override;

    void ApplyTexts();
    // Reads the key's information, PIN state (and fingerprint state) on its lane and shows them
    // when it is still the selected key.
    void ShowKeyInfo(int keyIndex);
    void AcFindKeyRefreshExecute();

signals:
    // The keys were listed again by the refresh button.
    void keysRefreshed();

private:
    void showRead(const TR7Info& info, const PinState& pin, const FingerRead* finger);

    std::unique_ptr<Ui::KeyInfoPage> m_ui;
    KeySession& m_session;
};

} // namespace kx
