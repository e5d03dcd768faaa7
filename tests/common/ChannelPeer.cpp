// SPDX-License-Identifier: Apache-2.0
// A second program for the command channel tests: holds an instance name, listens on a window
// class, prints what it receives and ends on "CLOSE". With "--hang" it takes the class and then
// stops answering, as a program that hangs.

#include "common/CommandChannel.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QThread>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        return 2;
    }
    QTextStream out(stdout);
    if (kx::CheckSingleInstance(args.at(2))) {
        out << "second\n";
        return 3;
    }
    kx::CommandEndpoint endpoint(args.at(1));
    if (!endpoint.listening()) {
        out << "no-endpoint\n";
        return 4;
    }
    QObject::connect(&endpoint, &kx::CommandEndpoint::commandReceived, &app, [&](const QString& text) {
        out << "text:" << text << "\n";
        out.flush();
        if (text == QStringLiteral("CLOSE")) {
            app.quit();
        }
    });
    QObject::connect(&endpoint, &kx::CommandEndpoint::systemCommandReceived, &app, [&](quint32 command) {
        out << "sys:" << command << "\n";
        out.flush();
    });
    out << "ready\n";
    out.flush();
    if (args.contains(QStringLiteral("--hang"))) {
        QThread::sleep(30);
        return 0;
    }
    return app.exec();
}
