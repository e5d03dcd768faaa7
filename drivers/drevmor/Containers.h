// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertDecode.h"
#include "CertRequest.h"
#include "P11Session.h"

#include <optional>
#include <string>
#include <vector>

namespace drevmor {

// A container as found on a key: one of ours (with its marker object) or a group of objects
// another tool wrote under one CKA_ID.
struct Container
{
    std::string name;
    Bytes id;
    bool marked = false;
};

// Longest container name accepted.
constexpr size_t kMaxContainerName = 255;

// Container operations on one key's session. `loggedIn` is true when the user is logged in or
// the key needs no login, i.e. when private objects are visible.
class Containers
{
public:
    Containers(P11Session& s, bool loggedIn) : m_s(s), m_loggedIn(loggedIn) {}

    // Ours first, then the others, each sorted by name bytes; from the key's objects as held, or
    // read again with `fresh`.
    CK_RV list(std::vector<Container>& out, bool fresh = false);
    int loadAll(char* buffer, int* length);
    int create(const std::string& name);
    int remove(const std::string& name);
    int removeCertificate(const std::string& name, int keySpec);
    // Destroys the certificate, the public key and the private key of one key pair, in that
    // order, leaving the container and its other pair.
    int removeKeyPair(const std::string& name, int keySpec);
    int certificate(const std::string& name, int keySpec, unsigned char* buffer, int* length);
    int publicKey(const std::string& name, int keySpec, int* algorithm, int* bits, unsigned char* buffer, int* length);
    int privateKey(const std::string& name, int keySpec, int* algorithm);
    // Writes a certificate, with its key pair when `key` is given, into a container; on failure
    // removes whatever it had written.
    int import(const std::string& name, int keySpec, X509* cert, EVP_PKEY* key);

    // Key pairs born on the key (ContainerKeys.cpp).
    // Generates key pair `keySpec` with the kind one DRV_KEYGEN_ bit names; on failure removes
    // whatever of the pair the key holds.
    int generateKeyPair(const std::string& name, int keySpec, int choice);
    // A certificate request for the pair's public key, signed on the key with its private key.
    int createRequest(const std::string& name, int keySpec, const RequestSubject& subject, Bytes& der);
    // The container and key pair whose public key is the certificate's.
    int findByCertificate(X509* cert, std::string& name, int& keySpec);

private:
    // Looks a container up and gives the CKA_ID of its key pair `keySpec`.
    int pairOf(const std::string& name, int keySpec, Bytes& pairId);
    CK_RV objectsOf(const Bytes& pairId, CK_OBJECT_CLASS cls, std::vector<CK_OBJECT_HANDLE>& out);
    int keyAlgorithm(const ObjectEntry& key, int& algorithm, CK_ULONG& keyType);
    // Keep the held view of the key's objects current with this session's own writes.
    void created(CK_OBJECT_HANDLE h);
    CK_RV destroy(CK_OBJECT_HANDLE h);
    // Destroys the certificate, then the public key, then the private key of one key pair: the
    // reverse of the order an import writes them, so a deletion cut short leaves the private key
    // last and the pair still shows and can be deleted again.
    CK_RV destroyPair(const Bytes& pairId);
    // DRV_KEY_MISMATCH when the pair holds a public key that is not the certificate's.
    int checkPairKey(const Bytes& pairId, X509* cert);
    // DRV_OK when the module made the private key sensitive and unextractable.
    int checkProtected(CK_OBJECT_HANDLE privateKey);

    P11Session& m_s;
    bool m_loggedIn;
};

// True when a container name is acceptable: not empty, at most kMaxContainerName bytes.
bool validContainerName(const char* name);
bool validKeySpec(int keySpec);
// The result of a write to the key: the two conditions the callers of writes single out get the
// library's codes (DRV_NOT_LOGGED_IN, DRV_DEVICE_FULL).
int writeResult(CK_RV rv);

} // namespace drevmor
