// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "ManagerFixture.h"

#include "../common/KeyWait.h"

#include "common/widgets/FileDialogs.h"
#include "manager/CertificatePage.h"
#include "manager/LoginPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"

#include <QApplication>
#include <QPointer>
#include <QComboBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

namespace kx::test {

// Answers the save dialog with a chosen file.
class ChosenFiles final : public FileDialogs
{
public:
    ChosenFiles() { FileDialogs::setCurrent(this); }
    ~ChosenFiles() override { FileDialogs::setCurrent(nullptr); }
    QString openFileName(QWidget*, const QString&, const QString&) override { return file; }
    QString saveFileName(QWidget*, const QString&, const QString& suffix) override
    {
        lastSuffix = suffix;
        return file;
    }
    QString file;
    QString lastSuffix;
};

inline QTreeWidget* certTree(TMainForm& window)
{
    return child<QTreeWidget>(window, "tvCert");
}

// Works the import dialog once it is open: `fill` sets its fields, then OK is pressed. The file
// is read away from the window; a dialog still open once that answer came was refused, and is
// left so the test can go on.
inline QTimer* whenImportDialogOpens(const std::function<void(TIMForm&)>& fill)
{
    auto* poll = new QTimer;
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, [poll, fill] {
        if (auto* dialog = qobject_cast<TIMForm*>(QApplication::activeModalWidget())) {
            poll->stop();
            poll->deleteLater();
            fill(*dialog);
            if (dialog->isVisible()) {
                dialog->btnOKClick();
            }
            const QPointer<TIMForm> open(dialog);
            auto* closer = new QTimer;
            closer->setInterval(20);
            QObject::connect(closer, &QTimer::timeout, [closer, open] {
                if (!open || !open->isVisible()) {
                    closer->stop();
                    closer->deleteLater();
                } else if (!open->parsing()) {
                    closer->stop();
                    closer->deleteLater();
                    open->done(2);
                }
            });
            closer->start();
        }
    });
    poll->start();
    return poll;
}



inline void newContainer(TIMForm& dialog, const QString& name, int keySpec)
{
    child<QRadioButton>(dialog, "rb1")->setChecked(true);
    child<QLineEdit>(dialog, "edtContname")->setText(name);
    child<QRadioButton>(dialog, keySpec == 2 ? "rb4" : "rb3")->setChecked(true);
}

inline void existingContainer(TIMForm& dialog, int index, int keySpec)
{
    child<QRadioButton>(dialog, "rb2")->setChecked(true);
    child<QComboBox>(dialog, "cbContName")->setCurrentIndex(index);
    child<QRadioButton>(dialog, keySpec == 2 ? "rb4" : "rb3")->setChecked(true);
}

inline QStringList topTexts(QTreeWidget* tree)
{
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        texts << tree->topLevelItem(i)->text(0);
    }
    return texts;
}

// A logged-in manager on the certificate page of its first key.
class CertPage
{
public:
    explicit CertPage(ManagerWorld& world)
    {
        openWindow(window);
        auto* tv = child<QTreeWidget>(window, "tv");
        tv->setCurrentItem(tv->topLevelItem(0)->child(0)->child(2));
        test::keysIdle(window.session().service());
        child<QLineEdit>(window, "edtUPIN")->setText(QStringLiteral("12345678"));
        window.loginPage().AcLoginExecute();
        kx::test::settled(window);
        Q_UNUSED(world);
    }
    void import(const std::function<void(TIMForm&)>& fill)
    {
        whenImportDialogOpens(fill);
        window.certificatePage().AcInputCertExecute();
        kx::test::settled(window);
    }
    bool settled() { return kx::test::settled(window); }
    TMainForm window;
};

} // namespace kx::test
