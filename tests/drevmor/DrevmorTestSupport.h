// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace drevmor_test {

using Bytes = std::vector<std::uint8_t>;

// A temporary folder removed with everything in it.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Runs a program with arguments (no shell); its exit code, -1 when it could not run.
int run(const std::vector<std::string>& argv, std::string* output = nullptr);

// A program running beside the test (no shell), its output in a file; ended when this goes.
class Background
{
public:
    Background(const std::vector<std::string>& argv, const std::string& outputFile);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool started() const { return m_pid > 0; }
    // False once the program has exited.
    bool running();

private:
    int m_pid = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago; 0 when none could be had.
int freePort();
// Waits until something accepts connections on 127.0.0.1:port, or `server` has exited (false).
bool waitForListener(int port, Background& server);

void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);
bool exists(const std::string& path);

// The container names of a key (container_load_all), and the certificate of one key pair
// (container_get_cert; empty on failure). `rv` receives the call's result.
std::vector<std::string> containerNames(int key, int* rv = nullptr);
Bytes certOf(int key, const std::string& container, int spec, int* rv = nullptr);

struct KeyDeleter
{
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
    void operator()(X509* x) const { X509_free(x); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using Cert = std::unique_ptr<X509, KeyDeleter>;

Key rsaKey(int bits);
Key ecKey(const char* curve);

// A certificate for `key`, signed by `issuerKey` under `issuer` (self-signed when issuer is
// null). `names` are (field, UTF-8 value) pairs such as {"O", "Org"}, {"CN", "Name"}.
struct CertSpec
{
    std::vector<std::pair<std::string, std::string>> names;
    bool ca = false;
    long serial = 1;
    int days = 365;
    bool withBasicConstraints = true;
};
// `comment`, when given, goes into a Netscape comment extension: a certificate as large as wanted.
Cert makeCert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, const std::string& comment = {});
Bytes der(X509* cert);
std::string pem(X509* cert);
Bytes pkcs12(EVP_PKEY* key, X509* cert, const std::vector<X509*>& chain, const char* password);
Bytes pkcs7(const std::vector<X509*>& certs, bool asPem);
// A PKCS#12 file that bags `key` and `cert` under one local key id whether or not they belong
// together (PKCS12_create refuses a pair that does not).
Bytes pkcs12Bagged(EVP_PKEY* key, X509* cert, const char* password);

// Test certificates made once per process: an EC root and intermediate CA, an RSA 2048 user
// certificate and an EC P-256 user certificate issued by the intermediate.
struct Pki
{
    Key rootKey, caKey, rsaUserKey, ecUserKey;
    Cert root, ca, rsaUser, ecUser;
};
const Pki& pki();
// An end-entity certificate of the RSA user key, issued by the test CA, longer (about 20 KB)
// than the 16384 bytes a caller can read back from a key.
Cert oversizedCert();

// UTF-16 buffer -> UTF-8.
std::string fromUtf16(const std::uint16_t* s);

} // namespace drevmor_test
