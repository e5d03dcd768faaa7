// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "token/TokenApi.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>

namespace kx::test {

// A token library in memory for the wrapper tests: keys, containers with certificates of a
// chosen kind and key algorithm, and a record of the calls made. Installs itself into the token
// table for its lifetime.
class FakeTokenLibrary
{
public:
    struct KeyPair
    {
        int certType = 0;
        int keyAlgorithm = 1; // -1: no public key
        QByteArray der;
        int storeResult = 0;
    };
    struct Container
    {
        QByteArray name;
        QMap<int, KeyPair> pairs; // by key specification
    };

    FakeTokenLibrary();
    ~FakeTokenLibrary();
    FakeTokenLibrary(const FakeTokenLibrary&) = delete;
    FakeTokenLibrary& operator=(const FakeTokenLibrary&) = delete;

    static FakeTokenLibrary& instance();

    int keyCount = 0;
    int findResult = 0;
    QMap<int, int> connectResults;
    QList<Container> containers;
    int loadAllResult = 0;
    bool loadAllGrows = false; // the list is always longer than the buffer given
    int loadAllNeeded = 0;     // the length a too small buffer reports, when not the true one
    int decodeResult = 0;
    QStringList calls;
    QList<QByteArray> labelFields;
    QList<QPair<QString, QByteArray>> rootAdds;
    QList<QPair<QByteArray, int>> storeAdds;

private:
    ScopedTokenApi m_scope;
};

} // namespace kx::test
