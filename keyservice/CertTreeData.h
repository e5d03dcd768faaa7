// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace kx {

// What a key holds for one key pair of a container: its certificate (decoded) and which of the
// pair's keys are there.
struct KeyPairData
{
    bool certificate = false;
    QByteArray der;
    QString subject;
    int certType = 0;
    int keyBits = 0;
    bool publicKey = false;
    int publicAlgorithm = 0;
    bool privateKey = false;
    int privateAlgorithm = 0;
};

// One container: its name exactly as the key gives it and its exchange (index 0) and signature
// (index 1) key pairs.
struct ContainerData
{
    QByteArray name;
    std::array<KeyPairData, 2> pairs;
};

// The containers of a key as one read of the key gave them, for the certificate tree.
struct CertTreeData
{
    // 0, or the code of the container list read (the list is then empty).
    int result = 0;
    std::vector<ContainerData> containers;

    // The container of that name, or nullptr.
    const ContainerData* find(const QByteArray& name) const;
    QList<QByteArray> names() const;
    // The certificate `der` followed by the key's certificates that issued it, as a PEM bundle:
    // what a relying party needs besides the key's own certificate.
    QByteArray pemChainOf(const QByteArray& der) const;
};

} // namespace kx
