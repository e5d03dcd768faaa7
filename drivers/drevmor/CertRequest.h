// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertDecode.h"
#include "ObjectView.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace drevmor {

// The subject of a certificate request: UTF-8 texts, empty when left out.
struct RequestSubject
{
    std::string commonName;
    std::string organization;
    std::string unit;
    std::string country;
    std::string email;
};

// Longest subject fields, in characters.
constexpr size_t kMaxNameField = 64;
constexpr size_t kMaxEmailField = 128;

// DRV_OK when the subject can go into a request: a common name of 1 to 64 characters, an
// organization and unit of at most 64, a country of two letters, an email address of at most 128
// ASCII characters, every text valid UTF-8 without control characters; DRV_INVALID_PARAM otherwise.
int checkSubject(const RequestSubject& subject);

// The signature a request carries.
enum class RequestAlgorithm
{
    RsaSha256,
    EcdsaSha256,
    EcdsaSha384,
    Sm2Sm3
};

// Signs the DER of the request's information; the signature as the request holds it (PKCS#1 for
// RSA, a DER ECDSA-Sig-Value for ECDSA and SM2). Returns DRV_OK or the failure.
using RequestSigner = std::function<int(std::span<const std::uint8_t> info, Bytes& signature)>;

// A PKCS#10 request (DER) for `publicKey` with the subject, signed by `sign`. The signature is
// made elsewhere (on the key): the request's information is encoded, handed to `sign`, and the
// signature set beside it.
int buildRequest(EVP_PKEY* publicKey, const RequestSubject& subject, RequestAlgorithm algorithm,
                 const RequestSigner& sign, Bytes& der);

// A signature r || s (two halves of equal length, as PKCS#11 gives ECDSA and SM2 signatures) as a
// DER ECDSA-Sig-Value; empty for an odd or empty input.
Bytes derSignature(std::span<const std::uint8_t> rs);

} // namespace drevmor
