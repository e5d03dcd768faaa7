// SPDX-License-Identifier: Apache-2.0
#include "FileDialogs.h"

#include <QFileDialog>

namespace kx {

namespace {

// The desktop's file dialogs.
class DesktopFileDialogs final : public FileDialogs
{
public:
    QString openFileName(QWidget* owner, const QString& caption, const QString& filter) override
    {
        return QFileDialog::getOpenFileName(owner, caption, QString(), filter);
    }
    QString saveFileName(QWidget* owner, const QString& caption, const QString& defaultSuffix) override
    {
        QFileDialog dialog(owner, caption);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setDefaultSuffix(defaultSuffix);
        dialog.setNameFilter(QStringLiteral("*.") + defaultSuffix);
        return dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty() ? dialog.selectedFiles().first()
                                                                                       : QString();
    }
};

FileDialogs* g_installed = nullptr;

} // namespace

FileDialogs& FileDialogs::current()
{
    if (g_installed) {
        return *g_installed;
    }
    static DesktopFileDialogs desktop;
    return desktop;
}

void FileDialogs::setCurrent(FileDialogs* dialogs)
{
    g_installed = dialogs;
}

} // namespace kx
