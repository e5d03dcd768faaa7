// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>

class QWidget;

namespace kx {

// Asks the user for files. Every file dialog of the programs goes through the chooser in use, so
// tests can answer them.
class FileDialogs
{
public:
    virtual ~FileDialogs() = default;
    // A file to read; empty when the user cancelled.
    virtual QString openFileName(QWidget* owner, const QString& caption, const QString& filter) = 0;
    // A file to write, with `defaultSuffix` (without its dot) added to a name without one; empty
    // when the user cancelled.
    virtual QString saveFileName(QWidget* owner, const QString& caption, const QString& defaultSuffix) = 0;

    static FileDialogs& current();
    // Installs a chooser (not owned); nullptr goes back to the desktop's file dialogs.
    static void setCurrent(FileDialogs* dialogs);
};

} // namespace kx
