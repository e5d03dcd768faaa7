// SPDX-License-Identifier: Apache-2.0
#include "SecretString.h"

#include <cstring>

#include <strings.h>

namespace kx {

void WipeString(QString& text)
{
    if (!text.isEmpty() && text.data_ptr().isMutable()) {
        // No detach: the shared buffer is the one that holds the secret.
        auto* chars = const_cast<QChar*>(text.constData());
        explicit_bzero(chars, static_cast<std::size_t>(text.size()) * sizeof(QChar));
    }
    text = QString();
}

SecretBytes::~SecretBytes()
{
    explicit_bzero(m_bytes.data(), static_cast<std::size_t>(m_bytes.size()));
}

} // namespace kx
