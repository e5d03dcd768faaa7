// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QDialog>
#include <QList>

#include "keyservice/PinJobs.h"

#include <functional>
#include <memory>

namespace Ui {
class TIMForm;
}

namespace kx {

// The certificate import dialog: the file (browsed or dropped), its password, a new or an
// existing container and the key usage. Its OK check has the file parsed by the token library
// (which keeps it for the import that follows) through the opener's parser, away from the
// window, and waits for the answer with OK disabled.
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

    // Parses a certificate file of `fileType` (PKCS#12 with the password, or PKCS#7) and hands
    // `done` the token library's result and the file's certificate count, unless `receiver` is
    // gone by then.
    using FileParser = std::function<void(int fileType, const QString& path, const SharedSecret& password,
                                          QObject* receiver, std::function<void(int result, int count)> done)>;
    void setFileParser(FileParser parser) { m_parser = std::move(parser); }
    bool parsing() const { return m_parsing; }

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
    // The file was read: the container choice is checked and the dialog closes with 1.
    void finishOk();

    std::unique_ptr<Ui::TIMForm> m_ui;
    int m_fileType = Pkcs12;
    int m_certificateCount = 0;
    FileParser m_parser;
    bool m_parsing = false;
};

} // namespace kx
