// SPDX-License-Identifier: Apache-2.0
#include "UiDriver.h"

#include "common/SecretString.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QSpinBox>
#include <QTimer>
#include <QTreeWidget>

#include <strings.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace kx {

namespace {

// A request line longer than this is not a request of the driver.
constexpr qsizetype kMaxRequestLine = 64 * 1024;

QByteArray ok(const QString& value = QString())
{
    return QByteArrayLiteral("ok ") + value.toUtf8().toPercentEncoding();
}

QByteArray error(const QString& text)
{
    return QByteArrayLiteral("error ") + text.toUtf8().toPercentEncoding();
}

bool folderIsPrivate(const QString& socketPath)
{
    const QFileInfo folder(QFileInfo(socketPath).absolutePath());
    constexpr QFile::Permissions others =
        QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    return folder.isDir() && folder.ownerId() == ::getuid() && (folder.permissions() & others) == 0;
}

QWidget* topLevel(const QString& name)
{
    if (name == QLatin1String("@modal")) {
        return QApplication::activeModalWidget();
    }
    QWidget* hidden = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == name) {
            if (widget->isVisible()) {
                return widget;
            }
            hidden = hidden ? hidden : widget;
        }
    }
    return hidden;
}

QObject* resolve(const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty()) {
        return nullptr;
    }
    if (parts.first() == QLatin1String("@any")) {
        if (parts.size() != 2) {
            return nullptr;
        }
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (QObject* found = widget->findChild<QObject*>(parts.at(1))) {
                return found;
            }
        }
        return nullptr;
    }
    QObject* current = topLevel(parts.first());
    for (qsizetype i = 1; current && i < parts.size(); ++i) {
        current = current->findChild<QObject*>(parts.at(i));
    }
    return current;
}

void dumpItem(const QTreeWidgetItem* item, int depth, QStringList& lines)
{
    QStringList columns;
    for (int c = 0; c < item->columnCount(); ++c) {
        columns.append(item->text(c));
    }
    lines.append(QString(depth * 2, QLatin1Char(' ')) + columns.join(QLatin1Char('\t')));
    for (int i = 0; i < item->childCount(); ++i) {
        dumpItem(item->child(i), depth + 1, lines);
    }
}

QString shownText(QObject* object)
{
    if (auto* label = qobject_cast<QLabel*>(object)) {
        return label->text();
    }
    if (auto* edit = qobject_cast<QLineEdit*>(object)) {
        // A field that hides what was typed (a PIN, a password) tells only whether it holds
        // something and how much: its text never leaves the program.
        if (edit->echoMode() != QLineEdit::Normal) {
            return edit->text().isEmpty() ? QString()
                                          : QStringLiteral("(hidden, %1 characters)").arg(edit->text().size());
        }
        return edit->text();
    }
    if (auto* text = qobject_cast<QPlainTextEdit*>(object)) {
        return text->toPlainText();
    }
    if (auto* combo = qobject_cast<QComboBox*>(object)) {
        return combo->currentText();
    }
    if (auto* spin = qobject_cast<QSpinBox*>(object)) {
        return QString::number(spin->value());
    }
    if (auto* button = qobject_cast<QAbstractButton*>(object)) {
        return button->isCheckable() ? button->text() + (button->isChecked() ? QStringLiteral(" [x]") : QString())
                                     : button->text();
    }
    if (auto* tree = qobject_cast<QTreeWidget*>(object)) {
        QStringList lines;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            dumpItem(tree->topLevelItem(i), 0, lines);
        }
        return lines.join(QLatin1Char('\n'));
    }
    if (auto* action = qobject_cast<QAction*>(object)) {
        return action->text();
    }
    if (auto* widget = qobject_cast<QWidget*>(object)) {
        return widget->windowTitle();
    }
    return QString();
}

bool setText(QObject* object, const QString& text)
{
    if (auto* edit = qobject_cast<QLineEdit*>(object)) {
        // A copy of its own: the request's words are overwritten once it is handled.
        edit->setText(QString(text.constData(), text.size()));
        return true;
    }
    if (auto* box = qobject_cast<QPlainTextEdit*>(object)) {
        box->setPlainText(text);
        return true;
    }
    if (auto* spin = qobject_cast<QSpinBox*>(object)) {
        spin->setValue(text.toInt());
        return true;
    }
    if (auto* combo = qobject_cast<QComboBox*>(object)) {
        const int index = combo->findText(text);
        if (index < 0) {
            return false;
        }
        combo->setCurrentIndex(index);
        return true;
    }
    return false;
}

// Presses later, so that the answer goes out before a dialog the press opens starts its loop.
bool press(QObject* object)
{
    if (auto* button = qobject_cast<QAbstractButton*>(object)) {
        QTimer::singleShot(0, button, [button = QPointer<QAbstractButton>(button)] {
            if (button) {
                button->click();
            }
        });
        return true;
    }
    if (auto* action = qobject_cast<QAction*>(object)) {
        QTimer::singleShot(0, action, [action = QPointer<QAction>(action)] {
            if (action) {
                action->trigger();
            }
        });
        return true;
    }
    return false;
}

bool selectItem(QObject* object, const QString& positions)
{
    auto* tree = qobject_cast<QTreeWidget*>(object);
    if (!tree) {
        return false;
    }
    QTreeWidgetItem* item = nullptr;
    for (const QString& part : positions.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        bool number = false;
        const int index = part.toInt(&number);
        if (!number) {
            return false;
        }
        item = item ? item->child(index) : tree->topLevelItem(index);
        if (!item) {
            return false;
        }
    }
    if (!item) {
        return false;
    }
    tree->setCurrentItem(item);
    return true;
}

// The positions of a tree's current item from its top-level item down, as `select` takes them.
QString currentPositions(const QTreeWidget* tree)
{
    QStringList positions;
    for (QTreeWidgetItem* item = tree->currentItem(); item; item = item->parent()) {
        positions.prepend(
            QString::number(item->parent() ? item->parent()->indexOfChild(item) : tree->indexOfTopLevelItem(item)));
    }
    return positions.join(QLatin1Char('/'));
}

} // namespace

void UiDriver::startIfRequested(QObject* parent)
{
    const QString folder = qEnvironmentVariable("KX2700_UI_DRIVER");
    if (folder.isEmpty()) {
        return;
    }
    // Each program listens under its own name, so a program started by another keeps apart.
    const QString path = folder + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).fileName() +
                         QStringLiteral(".sock");
    if (!folderIsPrivate(path)) {
        qWarning("KX2700_UI_DRIVER ignored: its folder must belong to the user and be closed to others");
        return;
    }
    new UiDriver(path, parent);
}

UiDriver::UiDriver(const QString& socketPath, QObject* parent) : QObject(parent), m_server(new QLocalServer(this))
{
    // A program that finds itself already running ends at once; it must not take the socket of
    // the one that runs.
    QLocalSocket probe;
    probe.connectToServer(socketPath);
    if (probe.waitForConnected(200)) {
        return;
    }
    QLocalServer::removeServer(socketPath);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath)) {
        qWarning("KX2700_UI_DRIVER: cannot listen");
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

bool UiDriver::listening() const
{
    return m_server->isListening();
}

void UiDriver::readFrom(QLocalSocket* socket)
{
    while (socket->canReadLine()) {
        QByteArray line = socket->readLine().trimmed();
        socket->write(handle(line) + '\n');
        socket->flush();
        explicit_bzero(line.data(), static_cast<std::size_t>(line.size()));
    }
    if (!socket->canReadLine() && socket->bytesAvailable() > kMaxRequestLine) {
        socket->abort();
    }
}

QByteArray UiDriver::handle(const QByteArray& request)
{
    QStringList words;
    for (const QByteArray& word : request.split(' ')) {
        if (!word.isEmpty()) {
            QByteArray decoded = QByteArray::fromPercentEncoding(word);
            words.append(QString::fromUtf8(decoded));
            explicit_bzero(decoded.data(), static_cast<std::size_t>(decoded.size()));
        }
    }
    if (words.isEmpty()) {
        return error(QStringLiteral("empty request"));
    }
    const QString command = words.takeFirst();
    if (command == QLatin1String("dumpable")) {
        return ok(QString::number(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0)));
    }
    if (command == QLatin1String("windows")) {
        QStringList windows;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            windows.append(QStringLiteral("%1:%2:%3:%4")
                               .arg(widget->objectName(), QString::fromLatin1(widget->metaObject()->className()))
                               .arg(widget->isVisible() ? 1 : 0)
                               .arg(widget->windowTitle()));
        }
        return ok(windows.join(QLatin1Char('\n')));
    }
    if (command == QLatin1String("modal")) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) {
            return ok();
        }
        const auto* box = qobject_cast<QMessageBox*>(modal);
        return ok(modal->objectName() + QLatin1Char('\n') + modal->windowTitle() + QLatin1Char('\n') +
                  (box ? box->text() : QString()));
    }
    if (command == QLatin1String("focus")) {
        const QWidget* focus = QApplication::focusWidget();
        if (!focus) {
            return ok();
        }
        return ok(focus->window()->objectName() + QLatin1Char('/') + focus->objectName() + QLatin1Char('\n') +
                  QString::fromLatin1(focus->metaObject()->className()));
    }
    if (command == QLatin1String("answer") && words.size() == 1) {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        const QString which = words.first().toLower();
        const QMessageBox::StandardButton standard = which == QLatin1String("yes")  ? QMessageBox::Yes
                                                     : which == QLatin1String("no") ? QMessageBox::No
                                                                                    : QMessageBox::Ok;
        QAbstractButton* button = box ? box->button(standard) : nullptr;
        if (!button) {
            return error(QStringLiteral("no message box with that button"));
        }
        press(button);
        return ok();
    }
    if (words.isEmpty()) {
        return error(QStringLiteral("no widget named"));
    }
    QObject* target = resolve(words.first());
    if (!target) {
        return error(QStringLiteral("no widget ") + words.first());
    }
    QString argument = words.size() > 1 ? words.mid(1).join(QLatin1Char(' ')) : QString();
    if (command == QLatin1String("get")) {
        return ok(shownText(target));
    }
    if (command == QLatin1String("set")) {
        const bool typed = setText(target, argument);
        // What was typed may be a PIN or a password: the request's copies are overwritten.
        WipeString(argument);
        for (qsizetype i = 1; i < words.size(); ++i) {
            WipeString(words[i]);
        }
        return typed ? ok() : error(QStringLiteral("cannot type into ") + words.first());
    }
    if (command == QLatin1String("check")) {
        auto* button = qobject_cast<QAbstractButton*>(target);
        if (!button || !button->isCheckable()) {
            return error(QStringLiteral("not a check box"));
        }
        if (!button->isChecked()) {
            button->click();
        }
        return ok();
    }
    if (command == QLatin1String("click")) {
        return press(target) ? ok() : error(QStringLiteral("cannot press ") + words.first());
    }
    if (command == QLatin1String("accept") || command == QLatin1String("reject")) {
        auto* dialog = qobject_cast<QDialog*>(target);
        if (!dialog) {
            return error(QStringLiteral("not a dialog"));
        }
        const bool accept = command == QLatin1String("accept");
        QTimer::singleShot(0, dialog, [dialog = QPointer<QDialog>(dialog), accept] {
            if (dialog) {
                accept ? dialog->accept() : dialog->reject();
            }
        });
        return ok();
    }
    if (command == QLatin1String("current")) {
        const auto* tree = qobject_cast<QTreeWidget*>(target);
        return tree ? ok(currentPositions(tree)) : error(QStringLiteral("not a tree"));
    }
    if (command == QLatin1String("select")) {
        return selectItem(target, argument) ? ok() : error(QStringLiteral("no such item ") + argument);
    }
    if (command == QLatin1String("enabled") || command == QLatin1String("visible")) {
        const bool enabled = command == QLatin1String("enabled");
        if (auto* widget = qobject_cast<QWidget*>(target)) {
            return ok(QString::number(enabled ? widget->isEnabled() : widget->isVisible()));
        }
        if (auto* action = qobject_cast<QAction*>(target)) {
            return ok(QString::number(enabled ? action->isEnabled() : action->isVisible()));
        }
        return error(QStringLiteral("not a widget"));
    }
    return error(QStringLiteral("unknown request ") + command);
}

} // namespace kx
