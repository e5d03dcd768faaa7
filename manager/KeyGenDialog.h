// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "keyservice/CertTreeData.h"
#include "keyservice/KeyGenJobs.h"

#include <QDialog>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace kx {

// The dialog that has a key pair generated on the key and shows its certificate request: first
// the container (new or existing), the key pair, the algorithm among those the key offers and the
// request's subject; while the key works, a busy bar; then the request as PEM text to copy or
// save (PEM or DER) for the certificate authority. The page that opened it runs the key's work
// when `generateRequested` comes and hands the outcome back.
class KeyGenDialog : public QDialog
{
    Q_OBJECT

public:
    // `tree` is what the key holds now; `choices` the DRV_KEYGEN_* bits the key offers.
    KeyGenDialog(const CertTreeData& tree, int choices, QWidget* parent = nullptr);
    ~KeyGenDialog() override;

    // What the user asked for; valid after generateRequested.
    KeyGenRequest request() const;
    // Fields and buttons wait while the key works.
    void setWorking(bool working);
    bool working() const { return m_working; }
    // The request the key signed for the new key pair, shown and offered for copying and saving.
    void showRequest(const QByteArray& der);
    QString requestText() const;

    // The name shown for a key-pair choice.
    static QString choiceName(int choice);

public slots:
    void reject() override;

signals:
    // The input is complete and checked: the opener has the key generate the pair.
    void generateRequested();

private:
    void buildInput(const CertTreeData& tree, int choices);
    void buildResult();
    void applyTexts();
    void updateContainerChoice();
    void generateClicked();
    // The first problem with the input, as a message; empty when it can go to the key.
    QString inputProblem() const;
    void saveRequest(bool pem);

    CertTreeData m_tree;
    bool m_working = false;
    QByteArray m_requestDer;
    QStackedWidget* m_pages = nullptr;
    QRadioButton* m_newContainer = nullptr;
    QRadioButton* m_oldContainer = nullptr;
    QLineEdit* m_containerName = nullptr;
    QPushButton* m_randomName = nullptr;
    QComboBox* m_containers = nullptr;
    QComboBox* m_keySpec = nullptr;
    QComboBox* m_algorithm = nullptr;
    QLineEdit* m_commonName = nullptr;
    QLineEdit* m_organization = nullptr;
    QLineEdit* m_unit = nullptr;
    QLineEdit* m_country = nullptr;
    QLineEdit* m_email = nullptr;
    QProgressBar* m_busy = nullptr;
    QLabel* m_busyText = nullptr;
    QPushButton* m_generate = nullptr;
    QPushButton* m_cancel = nullptr;
    QLabel* m_resultText = nullptr;
    QPlainTextEdit* m_requestView = nullptr;
    QPushButton* m_copy = nullptr;
    QPushButton* m_savePem = nullptr;
    QPushButton* m_saveDer = nullptr;
    QPushButton* m_close = nullptr;
    // The form's labels, named after the fields they describe.
    QList<QLabel*> m_labels;
};

} // namespace kx
