// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

namespace kx {

class KeyCall;
class KeyJournal;
struct CertTreeData;

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

// What keeps a generation (or a request for a pair that has its keys) from going to the key: the
// first problem found, in the order the user fills the fields in; None when there is none.
enum class KeyGenProblem
{
    None,
    NoContainerName,      // a new container needs a name
    ContainerNameTooLong, // more than kKeyGenContainerNameLength bytes
    ContainerExists,      // a new container of a name the key holds
    PairUsed,             // the key pair holds a key or a certificate
    NoAlgorithm,          // no key-pair choice
    NoCommonName,         // the subject needs a common name
    FieldTooLong,         // a subject field longer than the request takes
    BadCountry,           // a country is two letters
    BadEmail,             // an e-mail address is name@domain in ASCII
};

// The lengths the certificate request takes (the token library refuses longer texts).
inline constexpr int kKeyGenNameFieldLength = 64;
inline constexpr int kKeyGenEmailLength = 128;
inline constexpr int kKeyGenContainerNameLength = 64;

// The subject of a request (fields trimmed, the country in upper case, as the request takes them).
KeyGenProblem KeyGenSubjectProblem(const KeyGenRequest& request);
// A whole generation request against what the key holds now (`tree`): container, key pair,
// choice, then the subject.
KeyGenProblem KeyGenRequestProblem(const KeyGenRequest& request, const CertTreeData& tree);

// The key-pair choices the key's module offers (DRV_KEYGEN_* bits): 0 and the choices, or the
// library's code.
int ReadKeyGenChoices(const KeyCall& key, int& choices);

// Generates the key pair on the key (in a container made for it when asked) and has the key sign
// the certificate request for it. The whole is one write in the key's journal: when a step fails,
// what the earlier steps made is taken back at once, or when the key is seen again, so the key
// holds the new pair only together with a request the user got.
KeyGenOutcome GenerateOnKey(const KeyCall& key, const KeyJournal& journal, const KeyGenRequest& request);

// A new certificate request for a key pair that has its keys (the subject as in `request`; its
// container must exist, `newContainer` and `choice` are not used), signed on the key with the
// pair's private key: nothing on the key changes. DRV_NOT_FOUND when the pair lacks a key.
KeyGenOutcome RequestForPair(const KeyCall& key, const KeyGenRequest& request);

} // namespace kx
