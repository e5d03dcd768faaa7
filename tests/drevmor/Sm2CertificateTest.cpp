// SPDX-License-Identifier: Apache-2.0
// SM2 keys and certificates as the openssl command writes them: an SM2 chain (root, intermediate,
// a signature and an exchange certificate) decoded, imported into one container of a keysim key
// and read back; corrupt and mismatched files refused without writing anything.
#include "DrevmorTestSupport.h"
#include "drevmor.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>

#include <gtest/gtest.h>

#ifdef DREVMOR_TEST_VENDOR_KEY_TYPE
#include "keysim_ext.h"

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>
#endif

#include <cstdlib>
#include <ctime>
#include <set>

using namespace drevmor_test;

namespace {

constexpr const char* kPin = "123456";
constexpr const char* kPassword = "sm2-pass";

// The SM2 files, made once for all tests with the openssl command.
class Sm2Files
{
public:
    Sm2Files() { ok = makeChain() && makeFiles(); }
    std::string path(const std::string& name) const { return m_dir.file(name); }
    Bytes read(const std::string& name) const { return readFile(path(name)); }
    bool ok = false;

private:
    bool openssl(std::vector<std::string> args)
    {
        args.insert(args.begin(), "openssl");
        std::string out;
        const int rc = run(args, &out);
        if (rc != 0)
            ADD_FAILURE() << out;
        return rc == 0;
    }
    bool key(const std::string& name)
    {
        return openssl({"ecparam", "-genkey", "-name", "SM2", "-noout", "-out", path(name + ".key")});
    }
    // A certificate for name.key, issued by issuer.pem / issuer.key with extensions `ext`.
    bool issue(const std::string& name, const std::string& subject, const std::string& issuer, const std::string& ext,
               const std::string& serial)
    {
        writeFile(path(name + ".ext"), ext);
        return key(name) &&
               openssl({"req", "-new", "-key", path(name + ".key"), "-sm3", "-utf8", "-subj", subject, "-out",
                        path(name + ".csr")}) &&
               openssl({"x509", "-req", "-in", path(name + ".csr"), "-CA", path(issuer + ".pem"), "-CAkey",
                        path(issuer + ".key"), "-sm3", "-set_serial", serial, "-days", "825", "-extfile",
                        path(name + ".ext"), "-out", path(name + ".pem")});
    }
    bool makeChain()
    {
        return key("root") &&
               openssl({"req", "-new", "-x509", "-key", path("root.key"), "-sm3", "-utf8", "-subj",
                        "/C=CN/O=测试机构/CN=测试根证书", "-days", "3650", "-addext",
                        "basicConstraints=critical,CA:TRUE", "-out", path("root.pem")}) &&
               issue("ca", "/C=CN/O=测试机构/CN=测试中级CA", "root", "basicConstraints=critical,CA:TRUE\n", "2") &&
               issue("sign", "/C=CN/O=测试机构/CN=张三签名", "ca", "keyUsage=digitalSignature,nonRepudiation\n",
                     "0x5A01") &&
               issue("enc", "/C=CN/O=测试机构/CN=张三加密", "ca", "keyUsage=keyEncipherment,dataEncipherment\n",
                     "0x5A02") &&
               key("other");
    }
    bool makeFiles()
    {
        Bytes chain = read("ca.pem");
        const Bytes root = read("root.pem");
        chain.insert(chain.end(), root.begin(), root.end());
        writeFile(path("chain.pem"), chain);
        bool done =
            openssl({"pkcs12", "-export", "-inkey", path("sign.key"), "-in", path("sign.pem"), "-certfile",
                     path("chain.pem"), "-passout", std::string("pass:") + kPassword, "-out", path("sign.p12")}) &&
            openssl({"pkcs12", "-export", "-inkey", path("enc.key"), "-in", path("enc.pem"), "-passout",
                     std::string("pass:") + kPassword, "-out", path("enc.p12")}) &&
            openssl(
                {"crl2pkcs7", "-nocrl", "-certfile", path("chain.pem"), "-outform", "DER", "-out", path("chain.p7b")});
        for (const char* name : {"root", "ca", "sign", "enc"})
            done = done && openssl({"x509", "-in", path(std::string(name) + ".pem"), "-outform", "DER", "-out",
                                    path(std::string(name) + ".cer")});
        // Self-signed without extensions, as older authorities issued roots: once signed with the
        // default signer identity, once without one (openssl's default); and a self-issued
        // certificate whose signature is not its own key's.
        writeFile(path("plain.cnf"), std::string("[req]\ndistinguished_name=dn\n[dn]\n"));
        done = done &&
               openssl({"req", "-config", path("plain.cnf"), "-new", "-x509", "-key", path("root.key"), "-sm3",
                        "-sigopt", "distid:1234567812345678", "-utf8", "-subj", "/CN=旧根", "-days", "30", "-out",
                        path("old-root-id.pem")}) &&
               openssl({"req", "-config", path("plain.cnf"), "-new", "-x509", "-key", path("root.key"), "-sm3", "-utf8",
                        "-subj", "/CN=旧根", "-days", "30", "-out", path("old-root.pem")}) &&
               openssl({"req", "-config", path("plain.cnf"), "-new", "-key", path("other.key"), "-sm3", "-utf8",
                        "-subj", "/CN=旧根", "-out", path("self-issued.csr")}) &&
               openssl({"x509", "-req", "-in", path("self-issued.csr"), "-CA", path("old-root.pem"), "-CAkey",
                        path("root.key"), "-sm3", "-set_serial", "9", "-days", "30", "-out", path("self-issued.pem")});
        for (const char* name : {"old-root-id", "old-root", "self-issued"})
            done = done && openssl({"x509", "-in", path(std::string(name) + ".pem"), "-outform", "DER", "-out",
                                    path(std::string(name) + ".cer")});
        // A key beside a certificate that is not its own.
        return done &&
               openssl({"pkcs12", "-export", "-inkey", path("other.key"), "-nocerts", "-certfile", path("sign.pem"),
                        "-passout", std::string("pass:") + kPassword, "-out", path("mismatched.p12")});
    }

    TempDir m_dir;
};

const Sm2Files& files()
{
    static Sm2Files f;
    return f;
}

// What helper_get_cert_info2 says of a DER certificate.
struct CertInfo
{
    int rv = -1;
    std::string subject, issuer, serial;
    int version = 0, kind = -1;
    int notBefore[DRV_DATE_FIELDS] = {}, notAfter[DRV_DATE_FIELDS] = {};
};

CertInfo decode(const Bytes& der)
{
    CertInfo info;
    std::uint16_t subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    char serial[DRV_NAME_SIZE];
    info.rv = helper_get_cert_info2(der.data(), static_cast<int>(der.size()), subject, issuer, &info.version, serial,
                                    info.notBefore, info.notAfter, &info.kind);
    if (info.rv == 0) {
        info.subject = fromUtf16(subject);
        info.issuer = fromUtf16(issuer);
        info.serial = serial;
    }
    return info;
}

struct PublicKey
{
    int rv = -1, algorithm = 0, bits = 0;
    Bytes encoding;
};

PublicKey publicKeyOf(const std::string& container, int spec)
{
    PublicKey k;
    unsigned char buf[DRV_PUBKEY_BUFFER_SIZE];
    int len = DRV_PUBKEY_BUFFER_SIZE;
    k.rv = container_get_pubkey(0, container.c_str(), spec, &k.algorithm, &k.bits, buf, &len);
    if (k.rv == 0)
        k.encoding.assign(buf, buf + len);
    return k;
}

// The certificate's public point as CKA_EC_POINT holds it: a DER OCTET STRING of 04 || x || y.
Bytes ecPointOf(const Bytes& certDer)
{
    const unsigned char* p = certDer.data();
    Cert c(d2i_X509(nullptr, &p, static_cast<long>(certDer.size())));
    unsigned char point[65];
    size_t len = 0;
    if (!c || EVP_PKEY_get_octet_string_param(X509_get0_pubkey(c.get()), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                              &len) != 1)
        return {};
    Bytes out = {0x04, static_cast<std::uint8_t>(len)};
    out.insert(out.end(), point, point + len);
    return out;
}

TEST(Sm2Decoding, Sm2CertificatesGiveChineseNamesDatesAndKinds)
{
    const Sm2Files& f = files();
    ASSERT_TRUE(f.ok);
    const CertInfo sign = decode(f.read("sign.cer"));
    ASSERT_EQ(0, sign.rv);
    EXPECT_EQ("张三签名", sign.subject);
    EXPECT_EQ("测试中级CA", sign.issuer);
    EXPECT_EQ(3, sign.version);
    EXPECT_EQ("5A01", sign.serial);
    EXPECT_EQ(DRV_CERT_END_ENTITY, sign.kind);
    // Issued today for 825 days.
    const std::time_t now = std::time(nullptr);
    std::tm today{};
    gmtime_r(&now, &today);
    EXPECT_EQ(today.tm_year + 1900, sign.notBefore[0]);
    EXPECT_EQ(today.tm_mon + 1, sign.notBefore[1]);
    EXPECT_EQ(today.tm_mday, sign.notBefore[2]);
    const std::time_t end = now + 825L * 86400;
    std::tm last{};
    gmtime_r(&end, &last);
    EXPECT_EQ(last.tm_year + 1900, sign.notAfter[0]);
    EXPECT_EQ(last.tm_mon + 1, sign.notAfter[1]);
    EXPECT_EQ(last.tm_mday, sign.notAfter[2]);

    const CertInfo root = decode(f.read("root.cer"));
    EXPECT_EQ("测试根证书", root.subject);
    EXPECT_EQ(root.subject, root.issuer);
    EXPECT_EQ(DRV_CERT_ROOT, root.kind);
    EXPECT_EQ(DRV_CERT_CA, decode(f.read("ca.cer")).kind);
    // Without basic constraints a self-signed certificate is a root when its own key verifies
    // it, with or without the default signer identity; a self-issued one signed by another key
    // is not.
    EXPECT_EQ(DRV_CERT_ROOT, decode(f.read("old-root-id.cer")).kind);
    EXPECT_EQ(DRV_CERT_ROOT, decode(f.read("old-root.cer")).kind);
    const CertInfo selfIssued = decode(f.read("self-issued.cer"));
    EXPECT_EQ(selfIssued.subject, selfIssued.issuer);
    EXPECT_EQ(DRV_CERT_END_ENTITY, selfIssued.kind);

    // The PKCS#12 file: the key's certificate first, then the chain, names in UTF-8.
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(f.path("sign.p12").c_str(), kPassword, &count));
    ASSERT_EQ(3, count);
    std::set<std::string> subjects;
    for (int i = 0; i < count; ++i) {
        char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
        int kind = -1;
        ASSERT_EQ(0, pkcs12_file_get_certinfo(i, subject, issuer, &kind));
        subjects.insert(std::string(subject) + "/" + std::to_string(kind));
        if (i == 0) {
            EXPECT_STREQ("张三签名", subject);
        }
    }
    EXPECT_EQ((std::set<std::string>{"张三签名/0", "测试中级CA/2", "测试根证书/1"}), subjects);
}

class Sm2KeyTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::string(DREVMOR_KEYSIM_MODULE).empty())
            GTEST_SKIP() << "keysim not built";
        ASSERT_TRUE(files().ok);
        uninit_pkcs11();
        m_dir = std::make_unique<TempDir>();
        setenv("KX2700_KEYSIM_DIR", m_dir->file("keysim").c_str(), 1);
        ASSERT_EQ(0, run({DREVMOR_KEYSIM_TOOL, "--dir", m_dir->file("keysim"), "create", "--serial", "KXSM2", "--pin",
                          kPin, "--total-memory", "262144", "--free-memory", "258048"}));
        ASSERT_EQ(0, init_pkcs11(DREVMOR_KEYSIM_MODULE));
        char buf[DRV_FIND_BUFFER_SIZE];
        int n = 32;
        ASSERT_EQ(0, token_find(buf, &n));
        ASSERT_EQ(1, n);
        ASSERT_EQ(0, token_connect(0));
        int left = 0;
        ASSERT_EQ(0, token_login(0, kPin, &left));
    }
    void TearDown() override { uninit_pkcs11(); }

    std::unique_ptr<TempDir> m_dir;
};

TEST_F(Sm2KeyTest, SignatureAndExchangePairsWithTheirChainGoIntoOneContainer)
{
    const Sm2Files& f = files();
    // The manager's order: the key's certificate into the chosen container, each CA certificate
    // into a new container of its own as a signature certificate.
    int count = 0;
    ASSERT_EQ(0, pkcs12_file_parse(f.path("sign.p12").c_str(), kPassword, &count));
    ASSERT_EQ(3, count);
    ASSERT_EQ(0, container_create_new(0, "SM2 容器"));
    for (int i = 0; i < count; ++i) {
        char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
        int kind = -1;
        ASSERT_EQ(0, pkcs12_file_get_certinfo(i, subject, issuer, &kind));
        const std::string name = kind == DRV_CERT_END_ENTITY ? "SM2 容器" : "chain " + std::to_string(i);
        if (kind != DRV_CERT_END_ENTITY) {
            ASSERT_EQ(0, container_create_new(0, name.c_str()));
        }
        ASSERT_EQ(0, pkcs12_import_certificate(0, name.c_str(), DRV_KEYSPEC_SIGNATURE, i));
    }
    ASSERT_EQ(0, pkcs12_file_parse(f.path("enc.p12").c_str(), kPassword, &count));
    ASSERT_EQ(1, count);
    ASSERT_EQ(0, pkcs12_import_certificate(0, "SM2 容器", DRV_KEYSPEC_EXCHANGE, 0));

    // Both certificates read back byte for byte, each with its own key pair: ECC, 256 bits, and
    // the certificate's public point.
    for (const auto& [spec, file] : {std::pair{DRV_KEYSPEC_SIGNATURE, "sign.cer"}, {DRV_KEYSPEC_EXCHANGE, "enc.cer"}}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(f.read(file), certOf(0, "SM2 容器", spec));
        const PublicKey pub = publicKeyOf("SM2 容器", spec);
        ASSERT_EQ(0, pub.rv);
        EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, pub.algorithm);
        EXPECT_EQ(256, pub.bits);
        EXPECT_EQ(ecPointOf(f.read(file)), pub.encoding);
        int algorithm = 0;
        ASSERT_EQ(0, container_get_prikey(0, "SM2 容器", spec, &algorithm));
        EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, algorithm);
    }
    EXPECT_NE(publicKeyOf("SM2 容器", 1).encoding, publicKeyOf("SM2 容器", 2).encoding);

    // The chain: root and intermediate in containers of their own, without keys.
    std::set<int> kinds;
    for (const char* name : {"chain 1", "chain 2"}) {
        const Bytes c = certOf(0, name, DRV_KEYSPEC_SIGNATURE);
        EXPECT_TRUE(c == f.read("ca.cer") || c == f.read("root.cer"));
        kinds.insert(decode(c).kind);
        int algorithm = 0;
        EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, name, DRV_KEYSPEC_SIGNATURE, &algorithm));
    }
    EXPECT_EQ((std::set<int>{DRV_CERT_ROOT, DRV_CERT_CA}), kinds);
    EXPECT_EQ((std::vector<std::string>{"SM2 容器", "chain 1", "chain 2"}), containerNames(0));
}

TEST_F(Sm2KeyTest, Sm2CerAndP7bFilesImport)
{
    const Sm2Files& f = files();
    ASSERT_EQ(0, container_create_new(0, "cer"));
    ASSERT_EQ(0, x509_import_certificate(0, "cer", DRV_KEYSPEC_SIGNATURE, f.path("sign.cer").c_str()));
    ASSERT_EQ(0, x509_import_certificate(0, "cer", DRV_KEYSPEC_EXCHANGE, f.path("enc.pem").c_str()));
    EXPECT_EQ(f.read("sign.cer"), certOf(0, "cer", DRV_KEYSPEC_SIGNATURE));
    EXPECT_EQ(f.read("enc.cer"), certOf(0, "cer", DRV_KEYSPEC_EXCHANGE));

    int count = 0;
    ASSERT_EQ(0, p7b_file_parse(f.path("chain.p7b").c_str(), &count));
    ASSERT_EQ(2, count);
    std::set<Bytes> stored;
    for (int i = 0; i < count; ++i) {
        const std::string name = "p7b " + std::to_string(i);
        ASSERT_EQ(0, container_create_new(0, name.c_str()));
        ASSERT_EQ(0, p7b_import_certificate(0, name.c_str(), DRV_KEYSPEC_SIGNATURE, i));
        stored.insert(certOf(0, name, DRV_KEYSPEC_SIGNATURE));
    }
    EXPECT_EQ((std::set<Bytes>{f.read("root.cer"), f.read("ca.cer")}), stored);
}

TEST_F(Sm2KeyTest, CorruptAndMismatchedSm2FilesAreRefusedWritingNothing)
{
    const Sm2Files& f = files();
    ASSERT_EQ(0, container_create_new(0, "target"));
    const auto truncated = [&](const std::string& name) {
        Bytes b = f.read(name);
        b.resize(b.size() * 2 / 3);
        writeFile(m_dir->file("cut-" + name), b);
        return m_dir->file("cut-" + name);
    };
    int count = -1;
    EXPECT_EQ(DRV_FILE_ERROR, pkcs12_file_parse(truncated("sign.p12").c_str(), kPassword, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_PASSWORD_ERROR, pkcs12_file_parse(f.path("sign.p12").c_str(), "wrong", &count));
    EXPECT_EQ(DRV_FILE_ERROR, p7b_file_parse(truncated("chain.p7b").c_str(), &count));
    EXPECT_EQ(DRV_FILE_ERROR, x509_import_certificate(0, "target", 1, truncated("sign.cer").c_str()));
    // A key that does not belong to the certificate beside it: the certificate alone would go
    // in and the key be lost, so the file is refused.
    EXPECT_EQ(DRV_KEY_MISMATCH, pkcs12_file_parse(f.path("mismatched.p12").c_str(), kPassword, &count));
    EXPECT_EQ(0, count);
    // Nothing is held after a refused file, so an import by index writes nothing either.
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_import_certificate(0, "target", 1, 0));
    EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_import_certificate(0, "target", 2, 0));

    EXPECT_EQ(std::vector<std::string>{"target"}, containerNames(0));
    for (int spec : {DRV_KEYSPEC_EXCHANGE, DRV_KEYSPEC_SIGNATURE}) {
        int rv = 0, algorithm = 0;
        certOf(0, "target", spec, &rv);
        EXPECT_EQ(DRV_NOT_FOUND, rv);
        EXPECT_EQ(DRV_NOT_FOUND, publicKeyOf("target", spec).rv);
        EXPECT_EQ(DRV_NOT_FOUND, container_get_prikey(0, "target", spec, &algorithm));
    }
}

#ifdef DREVMOR_TEST_VENDOR_KEY_TYPE
// A module that gives SM2 keys its own key type: a key pair and certificate another tool wrote
// that way (without curve parameters) show as a container whose keys are ECC of 256 bits.
TEST_F(Sm2KeyTest, VendorSm2KeyTypeReadsAsEcc256)
{
    const Sm2Files& f = files();
    // The module the library loaded, reached directly as another tool on the same key would.
    void* module = dlopen(DREVMOR_KEYSIM_MODULE, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(nullptr, module);
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
    CK_FUNCTION_LIST* p = nullptr;
    ASSERT_EQ(CKR_OK, getList(&p));
    CK_SLOT_ID slot = 0;
    CK_ULONG n = 1;
    ASSERT_EQ(CKR_OK, p->C_GetSlotList(CK_TRUE, &slot, &n));
    CK_SESSION_HANDLE h = 0;
    ASSERT_EQ(CKR_OK, p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h));

    FILE* kf = std::fopen(f.path("sign.key").c_str(), "r");
    ASSERT_NE(nullptr, kf);
    Key key(PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr));
    std::fclose(kf);
    BIGNUM* d = nullptr;
    ASSERT_EQ(1, EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d));
    Bytes value(32);
    BN_bn2binpad(d, value.data(), 32);
    BN_clear_free(d);
    Bytes point = ecPointOf(f.read("sign.cer"));
    Bytes cert = f.read("sign.cer");
    CK_KEY_TYPE type = KEYSIM_CKK_SM2;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE id[] = {0x42};
    std::string label = "vendor sm2";
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY, privClass = CKO_PRIVATE_KEY, certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE pub[] = {{CKA_CLASS, &pubClass, sizeof pubClass},
                          {CKA_KEY_TYPE, &type, sizeof type},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_ID, id, sizeof id},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_EC_POINT, point.data(), point.size()}};
    CK_ATTRIBUTE priv[] = {{CKA_CLASS, &privClass, sizeof privClass},
                           {CKA_KEY_TYPE, &type, sizeof type},
                           {CKA_TOKEN, &yes, 1},
                           {CKA_PRIVATE, &yes, 1},
                           {CKA_ID, id, sizeof id},
                           {CKA_VALUE, value.data(), value.size()}};
    CK_ATTRIBUTE crt[] = {{CKA_CLASS, &certClass, sizeof certClass},
                          {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
                          {CKA_TOKEN, &yes, 1},
                          {CKA_ID, id, sizeof id},
                          {CKA_LABEL, label.data(), label.size()},
                          {CKA_VALUE, cert.data(), cert.size()}};
    CK_OBJECT_HANDLE obj = 0;
    ASSERT_EQ(CKR_OK, p->C_CreateObject(h, pub, 6, &obj));
    ASSERT_EQ(CKR_OK, p->C_CreateObject(h, priv, 6, &obj));
    ASSERT_EQ(CKR_OK, p->C_CreateObject(h, crt, 6, &obj));
    EXPECT_EQ(CKR_OK, p->C_CloseSession(h));

    ASSERT_EQ(0, token_reload_all_objects(0));
    EXPECT_EQ(std::vector<std::string>{label}, containerNames(0));
    EXPECT_EQ(cert, certOf(0, label, DRV_KEYSPEC_EXCHANGE));
    const PublicKey k = publicKeyOf(label, DRV_KEYSPEC_EXCHANGE);
    ASSERT_EQ(0, k.rv);
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, k.algorithm);
    EXPECT_EQ(256, k.bits);
    EXPECT_EQ(point, k.encoding);
    int algorithm = 0;
    ASSERT_EQ(0, container_get_prikey(0, label.c_str(), DRV_KEYSPEC_EXCHANGE, &algorithm));
    EXPECT_EQ(DRV_KEY_ALGORITHM_ECC, algorithm);
}
#endif

} // namespace
