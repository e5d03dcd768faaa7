// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class KeyNamePage;
}

class QLabel;

namespace kx {

class KeySession;

// The key name page: gives the selected key a new label.
class KeyNamePage : public QWidget
{
    Q_OBJECT

public:
    explicit KeyNamePage(KeySession& session, QWidget* parent = nullptr);
    ~KeyNamePage() override;

    void ApplyTexts();
    // Puts the key's present label into the field.
    void showKey(int keyIndex);
    void AcSetKeyNameExecute();
    void AcSetKeyNameUpdate();

private:
    void rename(const QByteArray& key, const QString& label);
    // The key's module can set its label (true while no key is selected).
    bool canRename(int keyIndex) const;

    std::unique_ptr<Ui::KeyNamePage> m_ui;
    // A rename asked of the key and not answered yet.
    bool m_pending = false;
    KeySession& m_session;
    QLabel* m_unsupported = nullptr;
};

} // namespace kx
