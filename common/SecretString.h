// SPDX-License-Identifier: Apache-2.0
#pragma once

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

} // namespace kx
