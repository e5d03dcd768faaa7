// SPDX-License-Identifier: Apache-2.0
// Key pairs born on the key, over keysim and SoftHSM2: the choices a module offers, generation
// with the private key kept on the key, and the refusals.
#include "DrevmorTestSupport.h"
#include "ModuleKeyFixture.h"
#include "RealModule.h"
#include "drevmor.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>

#include <sys/stat.h>

#include <algorithm>

using namespace drevmor_test;

namespace {

class KeyGeneration : public ModuleKeyTest
{
protected:
    struct PublicKey
    {
        int algorithm = 0, bits = 0;
    };
    static int publicKey(const char* name, int spec, PublicKey& out)
    {
        unsigned char buf[DRV_PUBKEY_BUFFER_SIZE];
        int length = DRV_PUBKEY_BUFFER_SIZE;
        return container_get_pubkey(0, name, spec, &out.algorithm, &out.bits, buf, &length);
    }

    // The subject fields of a request; the optional ones null when empty.
    struct Subject
    {
        std::string cn = "张三 Zhang", o = "测试单位", ou = "研发部", c = "CN", email = "zhang@example.com";
    };
    static Bytes request(const char* name, int spec, const Subject& s, int* rv)
    {
        auto opt = [](const std::string& v) { return v.empty() ? nullptr : v.c_str(); };
        Bytes der(DRV_REQUEST_BUFFER_SIZE);
        int length = static_cast<int>(der.size());
        *rv = container_create_request(0, name, spec, s.cn.c_str(), opt(s.o), opt(s.ou), opt(s.c), opt(s.email),
                                       der.data(), &length);
        der.resize(*rv == 0 ? static_cast<size_t>(length) : 0);
        return der;
    }

    // Runs the openssl tool; its exit code, with its output in `out`.
    static int openssl(std::vector<std::string> args, std::string* out = nullptr)
    {
        args.insert(args.begin(), "openssl");
        return run(args, out);
    }

    // Writes the request and has openssl check its signature and print its subject (UTF-8).
    void verifyRequest(const Bytes& der, const std::string& file, std::string& subject,
                       const std::vector<std::string>& extra = {})
    {
        writeTemp(file, der);
        std::vector<std::string> args = {"req",     "-inform", "DER",      "-in",      m_dir->file(file),
                                         "-verify", "-noout",  "-subject", "-nameopt", "RFC2253,-esc_msb"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string out;
        EXPECT_EQ(0, openssl(args, &out)) << out;
        EXPECT_NE(std::string::npos, out.find("verify OK")) << out;
        subject = out;
    }

    // A CA made by openssl in the test's folder: ca.pem and ca.key.
    void makeCa()
    {
        ASSERT_EQ(
            0, openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                        m_dir->file("ca.key"), "-out", m_dir->file("ca.pem"), "-subj", "/CN=Test CA", "-days", "2",
                        "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"}));
    }
    // The CA's certificate for a request (PEM file in the test's folder).
    std::string issue(const std::string& requestFile, const std::string& out)
    {
        writeFile(m_dir->file("client.ext"), std::string("extendedKeyUsage=clientAuth\n"));
        EXPECT_EQ(0, openssl({"x509", "-req", "-inform", "DER", "-in", m_dir->file(requestFile), "-CA",
                              m_dir->file("ca.pem"), "-CAkey", m_dir->file("ca.key"), "-set_serial", "7", "-days", "1",
                              "-extfile", m_dir->file("client.ext"), "-out", m_dir->file(out)}));
        return m_dir->file(out);
    }
    static Bytes pemToDer(const std::string& pemFile)
    {
        const Bytes text = readFile(pemFile);
        BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
        Cert cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        return cert ? der(cert.get()) : Bytes{};
    }

    // A TLS handshake with client authentication by the key pair on the key: NSS's tstclnt, with
    // the module registered in a new NSS database, takes the certificate and signs with the
    // private key through the module; openssl s_server demands a client certificate of the CA and
    // shows what it received on its status page.
    void handshake(const std::string& nickname, std::string& page)
    {
        ASSERT_EQ(0, openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                              "-keyout", m_dir->file("server.key"), "-out", m_dir->file("server.pem"), "-subj",
                              "/CN=127.0.0.1", "-days", "1"}));
        const std::string db = "sql:" + m_dir->file("nssdb");
        mkdir(m_dir->file("nssdb").c_str(), 0700);
        std::string out;
        ASSERT_EQ(0, run({"certutil", "-N", "-d", db, "--empty-password"}, &out)) << out;
        ASSERT_EQ(0, run({"modutil", "-dbdir", db, "-add", "kx2700", "-libfile", GetParam().module, "-force"}, &out))
            << out;
        const int port = freePort();
        ASSERT_NE(0, port);
        Background server({"openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                           m_dir->file("server.pem"), "-key", m_dir->file("server.key"), "-Verify", "1", "-CAfile",
                           m_dir->file("ca.pem"), "-www"},
                          m_dir->file("server.log"));
        ASSERT_TRUE(server.started());
        ASSERT_TRUE(waitForListener(port, server)) << std::string(readFileText("server.log"));
        writeFile(m_dir->file("get.txt"), std::string("GET / HTTP/1.0\r\n\r\n"));
        EXPECT_EQ(0, run({"tstclnt", "-h", "127.0.0.1", "-p", std::to_string(port), "-d", db, "-n", nickname, "-w",
                          kPin, "-o", "-A", m_dir->file("get.txt")},
                         &page))
            << page << "\n"
            << readFileText("server.log");
    }
    std::string readFileText(const std::string& name) const
    {
        const Bytes b = readFile(m_dir->file(name));
        return std::string(b.begin(), b.end());
    }
};

bool haveTool(const char* name)
{
    return run({"sh", "-c", std::string("command -v ") + name + " >/dev/null"}) == 0;
}

// Both modules generate RSA and P-256 pairs; keysim also P-384 and SM2. The private key stays
// on the key: sensitive, never extractable, as the module itself reports it.
TEST_P(KeyGeneration, OfferedChoicesGenerateProtectedPairs)
{
    int choices = -1;
    ASSERT_EQ(0, token_get_keygen_choices(0, &choices));
    const int common = DRV_KEYGEN_RSA2048 | DRV_KEYGEN_RSA3072 | DRV_KEYGEN_RSA4096 | DRV_KEYGEN_P256 | DRV_KEYGEN_P384;
    if (GetParam().keysim)
        EXPECT_EQ(common | DRV_KEYGEN_SM2, choices);
    else
        EXPECT_EQ(common, choices);

    login();
    ASSERT_EQ(0, container_create_new(0, "born"));
    ASSERT_EQ(0, container_generate_keypair(0, "born", DRV_KEYSPEC_EXCHANGE, DRV_KEYGEN_RSA2048));
    ASSERT_EQ(0, container_generate_keypair(0, "born", DRV_KEYSPEC_SIGNATURE, DRV_KEYGEN_P256));
    PublicKey rsa, ec;
    ASSERT_EQ(0, publicKey("born", 1, rsa));
    EXPECT_EQ(DRV_KEY_ALGORITHM_RSA, rsa.algorithm);
    EXPECT_EQ(2048, rsa.bits);
    ASSERT_EQ(0, publicKey("born", 2, ec));
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, ec.algorithm);
    EXPECT_EQ(256, ec.bits);
    int value = 0;
    EXPECT_EQ(0, container_get_prikey(0, "born", 1, &value));
    EXPECT_EQ(0, container_get_prikey(0, "born", 2, &value));
    EXPECT_EQ(std::vector<std::string>{"born"}, containerNames(0));

    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    const auto privs = real.objects(CKO_PRIVATE_KEY);
    ASSERT_EQ(2u, privs.size());
    for (CK_OBJECT_HANDLE h : privs) {
        EXPECT_EQ(1, real.flag(h, CKA_SENSITIVE));
        EXPECT_EQ(0, real.flag(h, CKA_EXTRACTABLE));
        EXPECT_EQ(1, real.flag(h, CKA_TOKEN));
        EXPECT_EQ(1, real.flag(h, CKA_PRIVATE));
    }
    // A pair that holds keys is not generated over.
    EXPECT_EQ(DRV_EXISTS, container_generate_keypair(0, "born", 1, DRV_KEYGEN_P256));
    EXPECT_EQ(2u, real.objects(CKO_PRIVATE_KEY).size());
}

TEST_P(KeyGeneration, RefusalsLeaveTheKeyAsItWas)
{
    EXPECT_EQ(DRV_NOT_LOGGED_IN, container_generate_keypair(0, "none", 1, DRV_KEYGEN_P256));
    login();
    EXPECT_EQ(DRV_NOT_FOUND, container_generate_keypair(0, "none", 1, DRV_KEYGEN_P256));
    ASSERT_EQ(0, container_create_new(0, "c"));
    for (int bad : {0, DRV_KEYGEN_P256 | DRV_KEYGEN_RSA2048, 0x40, -1})
        EXPECT_EQ(DRV_INVALID_PARAM, container_generate_keypair(0, "c", 1, bad)) << bad;
    EXPECT_EQ(DRV_INVALID_PARAM, container_generate_keypair(0, "c", 3, DRV_KEYGEN_P256));
    if (!GetParam().keysim) {
        // SoftHSM2 has no SM2: refused before anything reaches the key.
        EXPECT_EQ(DRV_MECHANISM_MISSING, container_generate_keypair(0, "c", 1, DRV_KEYGEN_SM2));
    }
    RealModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    EXPECT_TRUE(real.objects(CKO_PRIVATE_KEY).empty());
    EXPECT_TRUE(real.objects(CKO_PUBLIC_KEY).empty());
}

// The whole way of a key pair born on the key: its request, signed on the key, passes openssl's
// check with the Chinese subject; a CA issues the certificate; the library finds the pair it
// belongs to and takes it in; then a TLS client authenticates with it, the private key working
// on the key.
TEST_P(KeyGeneration, RequestCertificateAndTlsClientAuthentication)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "web"));
    ASSERT_EQ(0, container_create_new(0, "other"));
    ASSERT_EQ(0, container_generate_keypair(0, "other", DRV_KEYSPEC_EXCHANGE, DRV_KEYGEN_P256));
    ASSERT_EQ(0, container_generate_keypair(0, "web", DRV_KEYSPEC_SIGNATURE, DRV_KEYGEN_RSA2048));
    int rv = -1;
    const Bytes req = request("web", DRV_KEYSPEC_SIGNATURE, Subject{}, &rv);
    ASSERT_EQ(0, rv);
    std::string subject;
    verifyRequest(req, "web.req", subject);
    EXPECT_NE(std::string::npos, subject.find("CN=张三 Zhang")) << subject;
    EXPECT_NE(std::string::npos, subject.find("O=测试单位")) << subject;
    EXPECT_NE(std::string::npos, subject.find("OU=研发部")) << subject;
    EXPECT_NE(std::string::npos, subject.find("C=CN")) << subject;
    EXPECT_NE(std::string::npos, subject.find("emailAddress=zhang@example.com")) << subject;

    makeCa();
    const std::string certFile = issue("web.req", "web.pem");
    const Bytes cert = pemToDer(certFile);
    ASSERT_FALSE(cert.empty());
    char name[DRV_NAME_SIZE];
    int spec = 0;
    ASSERT_EQ(0, container_find_by_cert(0, cert.data(), static_cast<int>(cert.size()), name, &spec));
    EXPECT_STREQ("web", name);
    EXPECT_EQ(DRV_KEYSPEC_SIGNATURE, spec);
    ASSERT_EQ(0, x509_import_certificate(0, name, spec, certFile.c_str()));
    EXPECT_EQ(cert, certOf(0, "web", DRV_KEYSPEC_SIGNATURE));

    if (!haveTool("tstclnt") || !haveTool("modutil") || !haveTool("certutil"))
        GTEST_SKIP() << "NSS tools (libnss3-tools) not installed: no TLS handshake";
    std::string page;
    handshake(std::string(kTokenLabel) + ":web", page);
    EXPECT_NE(std::string::npos, page.find("Client certificate")) << page;
    EXPECT_NE(std::string::npos, page.find("Zhang")) << page;
}

// Every other kind the module offers makes a request openssl accepts: RSA 3072, P-384 (ECDSA
// with SHA-384), on keysim also RSA 4096 and SM2 (SM2 with SM3, the default identity).
TEST_P(KeyGeneration, EveryOfferedKindSignsAVerifiableRequest)
{
    int choices = 0;
    ASSERT_EQ(0, token_get_keygen_choices(0, &choices));
    login();
    struct Kind
    {
        int bit;
        const char* name;
        const char* signature;
    };
    const Kind kinds[] = {{DRV_KEYGEN_RSA3072, "rsa3072", "sha256WithRSAEncryption"},
                          {DRV_KEYGEN_RSA4096, "rsa4096", "sha256WithRSAEncryption"},
                          {DRV_KEYGEN_P384, "p384", "ecdsa-with-SHA384"},
                          {DRV_KEYGEN_SM2, "sm2", "SM2-with-SM3"}};
    for (const Kind& k : kinds) {
        // RSA 4096 is slow to make: once, on keysim.
        if (!(choices & k.bit) || (k.bit == DRV_KEYGEN_RSA4096 && !GetParam().keysim))
            continue;
        SCOPED_TRACE(k.name);
        ASSERT_EQ(0, container_create_new(0, k.name));
        ASSERT_EQ(0, container_generate_keypair(0, k.name, DRV_KEYSPEC_EXCHANGE, k.bit));
        int rv = -1;
        Subject subject;
        subject.o = subject.ou = subject.c = subject.email = "";
        const Bytes req = request(k.name, DRV_KEYSPEC_EXCHANGE, subject, &rv);
        ASSERT_EQ(0, rv);
        std::string out;
        const bool sm2 = k.bit == DRV_KEYGEN_SM2;
        verifyRequest(req, std::string(k.name) + ".req", out,
                      sm2 ? std::vector<std::string>{"-vfyopt", "distid:1234567812345678"}
                          : std::vector<std::string>{});
        EXPECT_NE(std::string::npos, out.find("CN=张三 Zhang")) << out;
        EXPECT_EQ(std::string::npos, out.find("O=")) << "left-out fields stay out: " << out;
        ASSERT_EQ(
            0, openssl({"req", "-inform", "DER", "-in", m_dir->file(std::string(k.name) + ".req"), "-noout", "-text"},
                       &out));
        EXPECT_NE(std::string::npos, out.find(k.signature)) << out;
    }
    EXPECT_EQ(GetParam().keysim, (choices & DRV_KEYGEN_SM2) != 0);
}

TEST_P(KeyGeneration, RequestAndSearchRefuseWhatTheyCannotUse)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "r"));
    int rv = -1;
    // No key pair yet.
    request("r", 1, Subject{}, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    ASSERT_EQ(0, container_generate_keypair(0, "r", 1, DRV_KEYGEN_P256));
    Subject s;
    const std::pair<std::string Subject::*, std::string> bad[] = {
        {&Subject::cn, ""},
        {&Subject::cn, std::string(65, 'a')},
        {&Subject::cn, "\xE5\xBC"}, // UTF-8 cut short
        {&Subject::o, std::string(65, 'o')},
        {&Subject::ou, "a\nb"},
        {&Subject::c, "CHN"},
        {&Subject::c, "C1"},
        {&Subject::email, "张@example.com"},
        {&Subject::email, std::string(129, 'e')},
    };
    for (const auto& [field, value] : bad) {
        Subject wrong;
        wrong.*field = value;
        request("r", 1, wrong, &rv);
        EXPECT_EQ(DRV_INVALID_PARAM, rv) << value;
    }
    // Sixty-four characters of three bytes each are within the bound.
    Subject wide;
    wide.cn.clear();
    for (int i = 0; i < 64; ++i)
        wide.cn += "字";
    EXPECT_FALSE(request("r", 1, wide, &rv).empty());
    EXPECT_EQ(0, rv);
    // A buffer too small is told the size needed.
    unsigned char small[16];
    int length = sizeof small;
    EXPECT_EQ(DRV_BUFFER_TOO_SMALL,
              container_create_request(0, "r", 1, "x", nullptr, nullptr, nullptr, nullptr, small, &length));
    EXPECT_GT(length, 16);

    // The search: bytes that are no certificate, and a certificate of no key pair here.
    char name[DRV_NAME_SIZE];
    int spec = 0;
    const Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(DRV_FILE_ERROR, container_find_by_cert(0, junk.data(), static_cast<int>(junk.size()), name, &spec));
    const Bytes foreign = der(pki().ecUser.get());
    EXPECT_EQ(DRV_NOT_FOUND, container_find_by_cert(0, foreign.data(), static_cast<int>(foreign.size()), name, &spec));
}

// A certificate goes only into the pair whose public key it carries: another key's certificate is
// refused and nothing is written, by the X.509 and the PKCS#7 import; a pair without keys takes
// any certificate as before.
TEST_P(KeyGeneration, CertificateOfAnotherKeyIsRefused)
{
    login();
    ASSERT_EQ(0, container_create_new(0, "keyed"));
    ASSERT_EQ(0, container_create_new(0, "empty"));
    ASSERT_EQ(0, container_generate_keypair(0, "keyed", 1, DRV_KEYGEN_P256));
    const Pki& p = pki();
    const std::string cer = writeTemp("foreign.cer", der(p.ecUser.get()));
    const std::string p7b = writeTemp("foreign.p7b", pkcs7({p.ecUser.get()}, false));
    EXPECT_EQ(DRV_KEY_MISMATCH, x509_import_certificate(0, "keyed", 1, cer.c_str()));
    int count = 0;
    ASSERT_EQ(0, p7b_file_parse(p7b.c_str(), &count));
    EXPECT_EQ(DRV_KEY_MISMATCH, p7b_import_certificate(0, "keyed", 1, 0));
    ASSERT_EQ(0, token_reload_all_objects(0));
    int rv = 0;
    certOf(0, "keyed", 1, &rv);
    EXPECT_EQ(DRV_NOT_FOUND, rv);
    EXPECT_EQ(0, x509_import_certificate(0, "empty", 1, cer.c_str()));
    EXPECT_EQ(0, p7b_import_certificate(0, "empty", 2, 0));
    EXPECT_EQ(der(p.ecUser.get()), certOf(0, "empty", 2));
}

INSTANTIATE_TEST_SUITE_P(Modules, KeyGeneration, ::testing::ValuesIn(testModules()), moduleTestName);

} // namespace
