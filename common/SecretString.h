// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

namespace kx {

// Overwrites the characters of `text` in place with zeros and empties it. The buffer is
// overwritten even while other strings share it (they held the same secret); text held in
// read-only data (a literal) cannot be overwritten and is only dropped.
void WipeString(QString& text);

// A PIN or password held for the length of one operation and overwritten when it ends.
class SecretString
{
public:
    SecretString() = default;
    // Takes its own copy of `text`, which the caller wipes or gives up as it sees fit.
    explicit SecretString(const QString& text) : m_text(text.constData(), text.size()) {}
    ~SecretString() { WipeString(m_text); }
    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;

    const QString& text() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }

private:
    QString m_text;
};

// The 8-bit, zero-terminated form of a PIN (in the locale's code page), overwritten when it goes
// out of scope.
class SecretBytes
{
public:
    explicit SecretBytes(const QString& text) : m_bytes(text.toLocal8Bit()) {}
    ~SecretBytes();
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;

    const QByteArray& bytes() const { return m_bytes; }
    const char* get() const { return m_bytes.constData(); }

private:
    QByteArray m_bytes;
};

} // namespace kx
