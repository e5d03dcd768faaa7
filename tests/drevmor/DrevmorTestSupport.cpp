// SPDX-License-Identifier: Apache-2.0
// Temporary folders, programs, and certificates made with OpenSSL for the token library tests.
#include "DrevmorTestSupport.h"

#include "drevmor.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace drevmor_test {

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "drevmor-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

int run(const std::vector<std::string>& argv, std::string* output)
{
    std::string outFile;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    char tmpl[] = "/tmp/drevmor-run-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) {
        outFile = tmpl;
        posix_spawn_file_actions_adddup2(&actions, fd, 1);
        posix_spawn_file_actions_adddup2(&actions, fd, 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (fd >= 0)
        close(fd);
    int status = -1;
    if (rc == 0)
        waitpid(pid, &status, 0);
    if (!outFile.empty()) {
        if (output) {
            Bytes b = readFile(outFile);
            output->assign(b.begin(), b.end());
        }
        unlink(outFile.c_str());
    }
    if (rc != 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeFile(const std::string& path, const std::string& text)
{
    writeFile(path, Bytes(text.begin(), text.end()));
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> containerNames(int key, int* rv)
{
    std::vector<char> buf(DRV_CONTAINER_LIST_SIZE);
    int len = DRV_CONTAINER_LIST_SIZE;
    int r = container_load_all(key, buf.data(), &len);
    if (rv)
        *rv = r;
    std::vector<std::string> names;
    std::string cur;
    for (int i = 0; i < len; ++i) {
        if (buf[static_cast<size_t>(i)] == 0) {
            if (!cur.empty())
                names.push_back(cur);
            cur.clear();
        } else {
            cur += buf[static_cast<size_t>(i)];
        }
    }
    return names;
}

Bytes certOf(int key, const std::string& container, int spec, int* rv)
{
    Bytes buf(DRV_CERT_BUFFER_SIZE);
    int len = DRV_CERT_BUFFER_SIZE;
    int r = container_get_cert(key, container.c_str(), spec, buf.data(), &len);
    if (rv)
        *rv = r;
    if (r != 0)
        return {};
    buf.resize(static_cast<size_t>(len));
    return buf;
}

Background::Background(const std::vector<std::string>& argv, const std::string& outputFile)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

Background::~Background()
{
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
}

bool Background::running()
{
    if (m_pid <= 0)
        return false;
    if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
        m_pid = -1;
        return false;
    }
    return true;
}

namespace {
sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}
} // namespace

int freePort()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

bool waitForListener(int port, Background& server)
{
    // Waits for a state, not a time: the bound only ends a test whose server never comes up.
    for (int attempt = 0; attempt < 3000; ++attempt) {
        if (!server.running())
            return false;
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port);
        const bool up = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0)
            close(fd);
        if (up)
            return true;
        usleep(10000);
    }
    return false;
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

Key rsaKey(int bits)
{
    return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
}

Key ecKey(const char* curve)
{
    return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve));
}

Cert makeCert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, const std::string& comment)
{
    Cert x(X509_new());
    X509_set_version(x.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), spec.serial);
    X509_gmtime_adj(X509_getm_notBefore(x.get()), 0);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), 60L * 60 * 24 * spec.days);
    X509_set_pubkey(x.get(), key);
    X509_NAME* name = X509_get_subject_name(x.get());
    for (const auto& [field, value] : spec.names)
        X509_NAME_add_entry_by_txt(name, field.c_str(), V_ASN1_UTF8STRING,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : x.get(), x.get(), nullptr, nullptr, 0);
    auto addExt = [&](int nid, const char* value) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(x.get(), ext, -1);
        X509_EXTENSION_free(ext);
    };
    if (spec.withBasicConstraints)
        addExt(NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "CA:FALSE");
    addExt(NID_subject_key_identifier, "hash");
    if (spec.ca)
        addExt(NID_key_usage, "critical,keyCertSign,cRLSign");
    if (!comment.empty())
        addExt(NID_netscape_comment, comment.c_str());
    X509_sign(x.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return x;
}

Bytes der(X509* cert)
{
    unsigned char* buf = nullptr;
    int n = i2d_X509(cert, &buf);
    Bytes out(buf, buf + n);
    OPENSSL_free(buf);
    return out;
}

static std::string bioText(BIO* bio)
{
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    std::string out(data, static_cast<size_t>(n));
    BIO_free(bio);
    return out;
}

std::string pem(X509* cert)
{
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, cert);
    return bioText(bio);
}

static Bytes encodedAndFreed(PKCS12* p12)
{
    unsigned char* buf = nullptr;
    int n = i2d_PKCS12(p12, &buf);
    Bytes out(buf, buf + n);
    OPENSSL_free(buf);
    PKCS12_free(p12);
    return out;
}

Bytes pkcs12(EVP_PKEY* key, X509* cert, const std::vector<X509*>& chain, const char* password)
{
    STACK_OF(X509)* ca = sk_X509_new_null();
    for (X509* c : chain)
        sk_X509_push(ca, c);
    PKCS12* p12 = PKCS12_create(password, "test", key, cert, ca, 0, 0, 0, 0, 0);
    sk_X509_free(ca);
    return encodedAndFreed(p12);
}

Bytes pkcs12Bagged(EVP_PKEY* key, X509* cert, const char* password)
{
    STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
    const unsigned char id[] = {0x4b, 0x58, 0x01};
    PKCS12_SAFEBAG* certBag = PKCS12_add_cert(&bags, cert);
    PKCS12_SAFEBAG* keyBag = PKCS12_add_key(&bags, key, 0, PKCS12_DEFAULT_ITER, NID_aes_256_cbc, password);
    PKCS12_add_localkeyid(certBag, const_cast<unsigned char*>(id), sizeof id);
    PKCS12_add_localkeyid(keyBag, const_cast<unsigned char*>(id), sizeof id);
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12_add_safe(&safes, bags, -1, 0, nullptr);
    sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    PKCS12* p12 = PKCS12_add_safes(safes, 0);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    PKCS12_set_mac(p12, password, -1, nullptr, 0, PKCS12_DEFAULT_ITER, nullptr);
    return encodedAndFreed(p12);
}

Bytes pkcs7(const std::vector<X509*>& certs, bool asPem)
{
    PKCS7* p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_signed);
    PKCS7_content_new(p7, NID_pkcs7_data);
    for (X509* c : certs)
        PKCS7_add_certificate(p7, c);
    Bytes out;
    if (asPem) {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PKCS7(bio, p7);
        std::string text = bioText(bio);
        out.assign(text.begin(), text.end());
    } else {
        unsigned char* buf = nullptr;
        int n = i2d_PKCS7(p7, &buf);
        out.assign(buf, buf + n);
        OPENSSL_free(buf);
    }
    PKCS7_free(p7);
    return out;
}

const Pki& pki()
{
    static const Pki made = [] {
        Pki p;
        p.rootKey = ecKey("P-256");
        p.caKey = ecKey("P-256");
        p.rsaUserKey = rsaKey(2048);
        p.ecUserKey = ecKey("P-256");
        p.root = makeCert({{{"C", "CN"}, {"O", "KX Test"}, {"CN", "KX Test Root"}}, true, 1, 3650}, p.rootKey.get(),
                          nullptr, nullptr);
        p.ca = makeCert({{{"O", "KX Test"}, {"CN", "KX Test CA"}}, true, 2, 1825}, p.caKey.get(), p.root.get(),
                        p.rootKey.get());
        p.rsaUser = makeCert({{{"O", "KX Test"}, {"CN", "张三 RSA"}}, false, 0x1234ABCD, 365}, p.rsaUserKey.get(),
                             p.ca.get(), p.caKey.get());
        p.ecUser = makeCert({{{"O", "KX Test"}, {"CN", "EC User"}}, false, 0x42, 730}, p.ecUserKey.get(), p.ca.get(),
                            p.caKey.get());
        return p;
    }();
    return made;
}

Cert oversizedCert()
{
    const Pki& p = pki();
    return makeCert({{{"O", "KX Test"}, {"CN", "Big User"}}, false, 77, 365}, p.rsaUserKey.get(), p.ca.get(),
                    p.caKey.get(), std::string(20000, 'z'));
}

std::string fromUtf16(const std::uint16_t* s)
{
    std::string out;
    for (size_t i = 0; s[i]; ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

} // namespace drevmor_test
