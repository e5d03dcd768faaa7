// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include <memory>

namespace Ui {
class TIMForm;
}

namespace kx {

// The certificate import dialog: the file (browsed or dropped), its password, a new or an
// existing container and the key usage. Its OK check parses the file with the token library,
// which keeps it for the import that follows.
class TIMForm : public QDialog
{
    Q_OBJECT

public:
    enum FileType
    {
        Pkcs12 = 0,
        X509 = 1,
        Pkcs7 = 2
    };

    // `containers` are the key's container names; `preselected` the one to offer first.
    TIMForm(const QList<QByteArray>& containers, int preselected, QWidget* parent = nullptr);
    ~TIMForm() override;

    // Puts a file into the dialog, as browsing to it or dropping it does.
    void chooseFile(const QString& path);
    // The last existing file of a drop.
    void dropFiles(const QStringList& paths);
    void btnOKClick();

    // What the opener reads after a result of 1.
    int fileType() const { return m_fileType; }
    int certificateCount() const { return m_certificateCount; }
    bool newContainer() const;
    QString newContainerName() const;
    int existingContainer() const;
    int keySpec() const;
    QString path() const;
    QString password() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyTexts();
    void updatePasswordField();
    void updateOk();

    std::unique_ptr<Ui::TIMForm> m_ui;
    int m_fileType = Pkcs12;
    int m_certificateCount = 0;
};

} // namespace kx
