// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace kx {

// What the programs know of one connected key: its information from the token library and the
// names of all its containers.
struct TR7Info
{
    std::array<char, 33> serial{};
    std::array<char, 129> label{};
    std::array<char, 65> manufacturer{};
    std::array<char, 65> model{};
    std::int32_t maxPinLen = 0;
    std::int32_t minPinLen = 0;
    std::int32_t soMaxPinLen = 0;
    std::int32_t soMinPinLen = 0;
    std::int32_t totalMemory = 0;
    std::int32_t freeMemory = 0;
    std::int32_t hardwareVersion = 0;
    std::int32_t firmwareVersion = 0;
    std::int32_t initialised = 0;
    std::int32_t containerCount = 0;
    // The container names exactly as the library returns them (8-bit, any byte but zero), every
    // one the key holds; containerCount is their number.
    std::vector<QByteArray> containerNames;
    std::int32_t reserved = 0;

    QString serialText() const;
    QString labelText() const;
    QString manufacturerText() const;
    QString modelText() const;
};

// The six PIN-state integers: retries left, maximum retries, two unused, locked, default PIN.
struct PinState
{
    std::array<std::int32_t, 6> values{};

    std::int32_t retriesLeft() const { return values[0]; }
    std::int32_t maxRetries() const { return values[1]; }
    // The module counts the tries (some, such as a TPM's, give no counter at all).
    bool countKnown() const { return values[0] >= 0 && values[1] > 0; }
    bool locked() const { return values[4] == 1; }
    bool defaultPin() const { return values[5] == 1; }
};

// The certificate of one key pair of one container, with its decoded fields.
struct TR7CertInfo
{
    static constexpr int kCertCapacity = 16384;

    std::array<std::uint8_t, kCertCapacity> certData{};
    std::int32_t certLen = kCertCapacity;
    QString subject;
    QString issuer;
    std::int32_t certVersion = 0;
    QByteArray serial;
    QString notBeforeText;
    QString notAfterText;
    std::array<std::int32_t, 3> notBefore{};
    std::array<std::int32_t, 3> notAfter{};
    std::int32_t keyAlgorithm = 0;
    std::int32_t keyBits = 0;
    std::int32_t certType = 0;

    QByteArray der() const;
};

// Key specifications, certificate kinds and the key algorithm code the callers single out.
inline constexpr int kKeySpecExchange = 1;
inline constexpr int kKeySpecSignature = 2;
inline constexpr int kCertEndEntity = 0;
inline constexpr int kCertRoot = 1;
inline constexpr int kCertCA = 2;
inline constexpr int kKeyAlgorithmECC = 3;

// The result of a wrapper when an exception occurred inside it.
inline constexpr int kWrapperException = 100;

} // namespace kx
