// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "token/LibraryFile.h"

#include <QString>

namespace kx {

// Facts about the host for the system check: the operating system, the browser and the
// versions of the libraries the key tools load.

// The PRETTY_NAME of `osRelease` (NAME and VERSION when it has none) followed by the machine
// in brackets, e.g. "Debian GNU/Linux 12 (bookworm) (x86_64)". "Linux ?" when the file says
// nothing.
QString OSName(const QString& osRelease = QStringLiteral("/etc/os-release"));

// The browser version put in the registry under HKEY_LOCAL_MACHINE "Software\Microsoft\Internet
// Explorer" ("svcVersion", then "Version"), as "Internet Explorer Version：" and the value; empty
// when there is none.
QString IEVersion();

// The desktop's default web browser: its name and program.
struct BrowserInfo
{
    QString name;
    QString executable; // empty when there is no browser
};

// The default web browser, found without starting it: the handler of web addresses in the
// user's and the system's mimeapps.list (the desktop entry's Name and the program of its Exec),
// else the program x-www-browser.
BrowserInfo DefaultBrowser();

// The version of a library file, as four numbers joined by ".": taken from the real file name
// after symbolic links ("libfoo.so.1.2.3" gives "1.2.3.0"); our own libraries, beside the
// executable, carry the program's version. Empty when the file is missing or names no version,
// "-1" when it cannot be read.
QString FileVersionText(const QString& path);

} // namespace kx
