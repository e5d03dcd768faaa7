// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>

namespace kx {

// The installation's configuration from "APPInfo.ini" beside the executable: which libraries to
// use, the key's CSP, where the user configuration lives, which keys to watch and a few switches.
struct TAPPInfo
{
    QString DrevmorLib;
    QString PKCS11Lib;
    QString CSPLib;
    QString SKFLib;
    QString CSPName;
    QString CSP_RootKey;
    QString CSP_MainKey;
    QString CSP_LanguageKey;
    QString CfgPath;
    QString Plugin;
    QString CloseAPP;
    QString APPName;
    QString OEMID;
    QString USBEnumString;
    QString PID;
    std::int32_t RegCertMode = 0;
    QString APPMgrName;
    QString APPMonName;
    std::int32_t FingerRegTimes = 3;
    std::int32_t FingerStudy = 0;
    // Beyond the twenty keys: 0 turns off registering the key's module and chain with the
    // desktop's own programs (p11-kit, NSS databases); any other value leaves it on.
    std::int32_t DesktopRegister = 1;
};

// The product identifiers of the keys to watch, parsed from the PID value.
struct TPIDList
{
    static constexpr int kCapacity = 33;
    std::array<std::int32_t, kCapacity> values{};
    std::int32_t count = 0;

    bool contains(std::int32_t pid) const;
};

// The file name of the application information file.
inline constexpr auto kAPPInfoFileName = "APPInfo.ini";

// The application information file beside the running executable.
QString APPInfoPath();

// Reads the twenty keys of the file at `path` into `info`. A missing file gives the defaults and
// 0; a file that exists but cannot be read returns 1 and leaves `info` as it was.
int ReadAPPInfo(const QString& path, TAPPInfo& info);

// The administrator's settings over the installation's: /etc/kx2700/APPInfo.ini, or the file the
// environment variable KX2700_SYSTEM_APPINFO names.
QString SystemAPPInfoPath();

// Reads the keys that the file at `path` holds over `info`; a key it does not hold (or holds
// commented out) keeps its value. A missing file changes nothing and gives 0; a file that exists
// but cannot be read returns 1 and changes nothing.
int OverlayAPPInfo(const QString& path, TAPPInfo& info);

// The installation's APPInfo.ini beside the executable with the administrator's file on top.
// `files`, when given, receives the files that were read, in that order. Returns 1 when either
// file exists but cannot be read, else 0.
int ReadInstalledAPPInfo(TAPPInfo& info, QStringList* files = nullptr);

// Splits `text` at every "|" and reads each piece as an integer (decimal, or hexadecimal after a
// "$", blanks around a piece ignored). The list keeps the first 33 values; `count` is the number
// of values kept; pieces after the 33rd are ignored without being read. A piece among the first 33
// that is no integer makes the result 1, leaves `list` empty and names the piece in `error`;
// otherwise the result is 0.
int ParsePIDList(const QString& text, TPIDList& list, QString* error = nullptr);

} // namespace kx
