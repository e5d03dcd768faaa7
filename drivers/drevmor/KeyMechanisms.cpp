// SPDX-License-Identifier: Apache-2.0
// The key-pair kinds and request signatures a key's module offers.
#include "KeyMechanisms.h"

#include "drevmor.h"
#include "keysim_ext.h"

#include <vector>

namespace drevmor {
namespace {

// More mechanisms than any module has: a longer list is not trusted.
constexpr CK_ULONG kMaxMechanisms = 4096;

struct KindBits
{
    KeyKind kind;
    int bit;
    CK_ULONG bits;
};

constexpr KindBits kKinds[] = {
    {KeyKind::Rsa2048, DRV_KEYGEN_RSA2048, 2048}, {KeyKind::Rsa3072, DRV_KEYGEN_RSA3072, 3072},
    {KeyKind::Rsa4096, DRV_KEYGEN_RSA4096, 4096}, {KeyKind::P256, DRV_KEYGEN_P256, 256},
    {KeyKind::P384, DRV_KEYGEN_P384, 384},        {KeyKind::Sm2, DRV_KEYGEN_SM2, 256},
};

const KindBits& entry(KeyKind kind)
{
    for (const KindBits& k : kKinds)
        if (k.kind == kind)
            return k;
    return kKinds[0];
}

} // namespace

std::optional<KeyKind> keyKindOf(int choice)
{
    for (const KindBits& k : kKinds)
        if (k.bit == choice)
            return k.kind;
    return std::nullopt;
}

int choiceBit(KeyKind kind)
{
    return entry(kind).bit;
}

bool isRsa(KeyKind kind)
{
    return kind == KeyKind::Rsa2048 || kind == KeyKind::Rsa3072 || kind == KeyKind::Rsa4096;
}

CK_ULONG keyBits(KeyKind kind)
{
    return entry(kind).bits;
}

CK_RV KeyMechanisms::read(CK_FUNCTION_LIST* f, CK_SLOT_ID slot, KeyMechanisms& out)
{
    out.m_info.clear();
    CK_ULONG n = 0;
    if (CK_RV rv = f->C_GetMechanismList(slot, nullptr, &n))
        return rv;
    if (n > kMaxMechanisms)
        return CKR_GENERAL_ERROR;
    std::vector<CK_MECHANISM_TYPE> list(n);
    if (n > 0) {
        CK_ULONG got = n;
        if (CK_RV rv = f->C_GetMechanismList(slot, list.data(), &got))
            return rv;
        list.resize(std::min(got, n));
    }
    for (CK_MECHANISM_TYPE m : list) {
        CK_MECHANISM_INFO info{};
        const CK_RV rv = f->C_GetMechanismInfo(slot, m, &info);
        if (rv == CKR_OK)
            out.m_info[m] = info;
        else if (rv != CKR_MECHANISM_INVALID)
            return rv;
    }
    return CKR_OK;
}

bool KeyMechanisms::has(CK_MECHANISM_TYPE m, CK_FLAGS flag, CK_ULONG bits) const
{
    auto it = m_info.find(m);
    if (it == m_info.end() || !(it->second.flags & flag))
        return false;
    // Sizes are bits for RSA and EC; a module that says nothing (both 0) is taken at its word.
    const CK_MECHANISM_INFO& i = it->second;
    if (bits == 0 || (i.ulMinKeySize == 0 && i.ulMaxKeySize == 0))
        return true;
    return i.ulMinKeySize <= bits && bits <= i.ulMaxKeySize;
}

std::optional<CK_MECHANISM_TYPE> KeyMechanisms::generation(KeyKind kind) const
{
    const CK_MECHANISM_TYPE m = isRsa(kind) ? CKM_RSA_PKCS_KEY_PAIR_GEN : CKM_EC_KEY_PAIR_GEN;
    if (!has(m, CKF_GENERATE_KEY_PAIR, keyBits(kind)))
        return std::nullopt;
    return m;
}

std::optional<RequestSigning> KeyMechanisms::signing(KeyKind kind, CK_ULONG keySize) const
{
    const CK_ULONG bits = keySize ? keySize : keyBits(kind);
    if (isRsa(kind)) {
        if (has(CKM_SHA256_RSA_PKCS, CKF_SIGN, bits))
            return RequestSigning{CKM_SHA256_RSA_PKCS, RequestDigest::None};
        if (has(CKM_RSA_PKCS, CKF_SIGN, bits))
            return RequestSigning{CKM_RSA_PKCS, RequestDigest::Sha256DigestInfo};
        return std::nullopt;
    }
    if (kind == KeyKind::Sm2) {
        if (has(KEYSIM_CKM_SM2_SM3, CKF_SIGN))
            return RequestSigning{KEYSIM_CKM_SM2_SM3, RequestDigest::None};
        return std::nullopt;
    }
    const bool p384 = kind == KeyKind::P384;
    if (has(CKM_ECDSA, CKF_SIGN, bits))
        return RequestSigning{CKM_ECDSA, p384 ? RequestDigest::Sha384 : RequestDigest::Sha256};
    const CK_MECHANISM_TYPE hashing = p384 ? CKM_ECDSA_SHA384 : CKM_ECDSA_SHA256;
    if (has(hashing, CKF_SIGN, bits))
        return RequestSigning{hashing, RequestDigest::None};
    return std::nullopt;
}

int KeyMechanisms::choices() const
{
    int out = 0;
    for (const KindBits& k : kKinds)
        if (offers(k.kind))
            out |= k.bit;
    return out;
}

} // namespace drevmor
