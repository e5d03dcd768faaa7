// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <map>
#include <optional>

namespace drevmor {

// The key-pair kinds a container can have generated on the key (the DRV_KEYGEN_ bits).
enum class KeyKind
{
    Rsa2048,
    Rsa3072,
    Rsa4096,
    P256,
    P384,
    Sm2
};

// The kind one DRV_KEYGEN_ bit names; nullopt for zero, several bits or an unknown bit.
std::optional<KeyKind> keyKindOf(int choice);
int choiceBit(KeyKind kind);
bool isRsa(KeyKind kind);
// RSA modulus or curve size in bits.
CK_ULONG keyBits(KeyKind kind);

// How a certificate request is signed on the key: the mechanism and what the library hashes
// before it (nothing, SHA-256 wrapped in a DigestInfo for CKM_RSA_PKCS, or the curve's hash for
// CKM_ECDSA).
enum class RequestDigest
{
    None,
    Sha256DigestInfo,
    Sha256,
    Sha384
};
struct RequestSigning
{
    CK_MECHANISM_TYPE mechanism = 0;
    RequestDigest digest = RequestDigest::None;
};

// What the key's module offers for generating key pairs and signing certificate requests, as
// C_GetMechanismList and C_GetMechanismInfo report it. A kind is offered when the module lists its
// generation mechanism with CKF_GENERATE_KEY_PAIR and a key size range that holds the kind's size,
// and a signing mechanism (CKF_SIGN) the request can use. SM2 keys are generated as EC keys on
// the SM2 curve; the module offers them only when it also lists the SM2-with-SM3 signature.
class KeyMechanisms
{
public:
    // Reads the module's mechanisms for a slot; every count the module gives is bounded.
    static CK_RV read(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, KeyMechanisms& out);

    // The DRV_KEYGEN_ bits of every kind offered.
    int choices() const;
    bool offers(KeyKind kind) const { return generation(kind) && signing(kind); }
    // The generation mechanism of a kind, when the module offers it.
    std::optional<CK_MECHANISM_TYPE> generation(KeyKind kind) const;
    // How a request for a key of this kind is signed, when the module can; `bits` the key's size
    // when it is not the kind's own (an RSA key of another length).
    std::optional<RequestSigning> signing(KeyKind kind, CK_ULONG bits = 0) const;

private:
    bool has(CK_MECHANISM_TYPE m, CK_FLAGS flag, CK_ULONG bits = 0) const;

    std::map<CK_MECHANISM_TYPE, CK_MECHANISM_INFO> m_info;
};

} // namespace drevmor
