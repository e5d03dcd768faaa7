// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

namespace kx {

class KeyCall;
class KeyJournal;

// A key pair to generate on the key and the subject of its certificate request.
struct KeyGenRequest
{
    QByteArray container;
    // The container is made for this key pair.
    bool newContainer = false;
    int keySpec = 1;
    // One of the token library's key-pair choices (DRV_KEYGEN_*).
    int choice = 0;
    QString commonName;
    QString organization;
    QString unit;
    QString country;
    QString email;
};

struct KeyGenOutcome
{
    enum class Step
    {
        Container,
        Generation,
        Request,
    };
    // 0, or the key's code at `failedStep`.
    int result = 0;
    Step failedStep = Step::Generation;
    // The DER certificate request.
    QByteArray request;
};

// The key-pair choices the key's module offers (DRV_KEYGEN_* bits): 0 and the choices, or the
// library's code.
int ReadKeyGenChoices(const KeyCall& key, int& choices);

// Generates the key pair on the key (in a container made for it when asked) and has the key sign
// the certificate request for it. The whole is one write in the key's journal: when a step fails,
// what the earlier steps made is taken back at once, or when the key is seen again, so the key
// holds the new pair only together with a request the user got.
KeyGenOutcome GenerateOnKey(const KeyCall& key, const KeyJournal& journal, const KeyGenRequest& request);

} // namespace kx
