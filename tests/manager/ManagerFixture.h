// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../common/TestFolders.h"

#include "common/widgets/MessageBox.h"
#include "manager/CertTree.h"

#include <QApplication>
#include <QProcess>
#include <QStringList>
#include <QTest>
#include <QTreeWidget>

namespace kx::test {

// A named child of a window.
template <typename T>
T* child(QObject& parent, const char* name)
{
    return parent.findChild<T*>(QString::fromLatin1(name));
}

// True once the window asked its keys nothing more, no import runs, no dialog is open and the
// certificate tree shows all it was given.
template <typename Window>
bool settled(Window& window, int timeoutMs = 30000)
{
    const auto* certificates = window.template findChild<QTreeWidget*>(QStringLiteral("tvCert"));
    return QTest::qWaitFor(
        [&] {
            return !QApplication::activeModalWidget() && !window.session().importRunning() &&
                   !window.session().refreshing() && window.session().service().idle() &&
                   !(certificates && CertTreeFilling(certificates));
        },
        timeoutMs);
}

// Shows a manager window and waits until its token library is open and the keys are listed.
template <typename Window>
void openWindow(Window& window)
{
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.LibraryReady, 10000);
    QVERIFY(settled(window));
}

// Records the message boxes instead of showing them, answering questions with `answer`.
class RecordingPresenter final : public MessagePresenter
{
public:
    RecordingPresenter() { MessagePresenter::setCurrent(this); }
    ~RecordingPresenter() override { MessagePresenter::setCurrent(nullptr); }
    bool present(QWidget*, Kind, const QString&, const QString& text) override
    {
        messages.append(text);
        return answer;
    }
    // Notices are recorded in `messages` and, with their style, in `notices`: "?" for the
    // question icon, "^" for a box that stays on top, then the text.
    void presentNotice(QWidget* owner, const QString& caption, const QString& text, NoticeStyle style) override
    {
        notices.append(QString::fromLatin1(style.questionIcon ? "?" : "") +
                       QString::fromLatin1(style.topmost ? "^" : "") + text);
        present(owner, Kind::Information, caption, text);
    }
    QStringList messages;
    QStringList notices;
    bool answer = true;
};

// A temporary world for one manager: its program folder with an APPInfo.ini that points at the
// virtual key module, the user's folders, and a virtual key store driven by the control tool.
class ManagerWorld
{
public:
    // `appLib` and `appFlag` hold further lines of sections [APPLib] and [APPFlag]; they come
    // first, so they override the defaults below.
    explicit ManagerWorld(const QByteArray& appLib = {}, const QByteArray& appFlag = {})
    {
        const QString keys = folders.path(QStringLiteral("keys"));
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(keys));
        qputenv("XDG_DATA_HOME", QFile::encodeName(folders.path(QStringLiteral("data"))));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(folders.path(QStringLiteral("run"))));
        QDir().mkpath(folders.path(QStringLiteral("run")));
        QFile::setPermissions(folders.path(QStringLiteral("run")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        folders.write(QStringLiteral("bin/APPInfo.ini"), "[APPLib]\n" + appLib +
                                                             "PKCS11Lib=" KEYSIM_PKCS11_PATH
                                                             "\nCSPName=KX CSP\n[UserInfo]\nCfgPath=kx\n"
                                                             "[APPFlag]\n" +
                                                             appFlag + "PID=$C003|$C004\n");
    }

    // Runs the control tool; true when it succeeded.
    bool keysim(const QStringList& arguments)
    {
        QProcess tool;
        tool.start(QStringLiteral(KEYSIM_TOOL_PATH), arguments);
        tool.waitForFinished(20000);
        lastOutput = QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
        return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

    TestFolders folders;
    QString lastOutput;
};

} // namespace kx::test
