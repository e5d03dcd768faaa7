// SPDX-License-Identifier: Apache-2.0
// Certificate decoding and the PKCS#12 / PKCS#7 file calls, which need no module.
#include "DrevmorTestSupport.h"
#include "drevmor.h"

#include <gtest/gtest.h>

#include <openssl/asn1.h>

#include <ctime>

using namespace drevmor_test;

namespace {

struct Decoded
{
    std::uint16_t subject[DRV_NAME_SIZE + 8];
    std::uint16_t issuer[DRV_NAME_SIZE + 8];
    char serial[DRV_NAME_SIZE + 8];
    int version = 0, notBefore[DRV_DATE_FIELDS] = {}, notAfter[DRV_DATE_FIELDS] = {}, kind = -1;
    Decoded()
    {
        // Guard units past the capacity must never be written.
        for (auto& u : subject)
            u = 0xAAAA;
        for (auto& u : issuer)
            u = 0xAAAA;
    }
    int decode(const Bytes& der)
    {
        return helper_get_cert_info2(der.data(), static_cast<int>(der.size()), subject, issuer, &version, serial,
                                     notBefore, notAfter, &kind);
    }
};

TEST(CertificateDecoding, NamesSerialDatesAndKinds)
{
    const Pki& p = pki();
    Decoded d;
    ASSERT_EQ(0, d.decode(der(p.rsaUser.get())));
    EXPECT_EQ("张三 RSA", fromUtf16(d.subject));
    EXPECT_EQ("KX Test CA", fromUtf16(d.issuer));
    EXPECT_STREQ("1234ABCD", d.serial);
    EXPECT_EQ(3, d.version);
    EXPECT_EQ(DRV_CERT_END_ENTITY, d.kind);

    struct tm tm
    {};
    ASSERT_TRUE(ASN1_TIME_to_tm(X509_get0_notAfter(p.rsaUser.get()), &tm));
    EXPECT_EQ(tm.tm_year + 1900, d.notAfter[0]);
    EXPECT_EQ(tm.tm_mon + 1, d.notAfter[1]);
    EXPECT_EQ(tm.tm_mday, d.notAfter[2]);
    EXPECT_EQ(tm.tm_hour, d.notAfter[3]);
    EXPECT_EQ(tm.tm_min, d.notAfter[4]);
    EXPECT_EQ(tm.tm_sec, d.notAfter[5]);
    EXPECT_EQ(0, d.notAfter[6]);
    ASSERT_TRUE(ASN1_TIME_to_tm(X509_get0_notBefore(p.rsaUser.get()), &tm));
    EXPECT_EQ(tm.tm_year + 1900, d.notBefore[0]);
    EXPECT_EQ(tm.tm_mon + 1, d.notBefore[1]);
    EXPECT_EQ(tm.tm_mday, d.notBefore[2]);

    Decoded root, ca;
    ASSERT_EQ(0, root.decode(der(p.root.get())));
    EXPECT_EQ(DRV_CERT_ROOT, root.kind);
    ASSERT_EQ(0, ca.decode(der(p.ca.get())));
    EXPECT_EQ(DRV_CERT_CA, ca.kind);
    EXPECT_STREQ("02", ca.serial); // whole bytes
}

TEST(CertificateDecoding, SelfSignedKinds)
{
    Key key = ecKey("P-256");
    // A self-signed certificate without basic constraints is a root; one that says CA:FALSE is not.
    Cert old = makeCert({{{"CN", "old root"}}, false, 5, 10, false}, key.get(), nullptr, nullptr);
    Cert leaf = makeCert({{{"CN", "self leaf"}}, false, 6, 10, true}, key.get(), nullptr, nullptr);
    Decoded a, b;
    ASSERT_EQ(0, a.decode(der(old.get())));
    EXPECT_EQ(DRV_CERT_ROOT, a.kind);
    ASSERT_EQ(0, b.decode(der(leaf.get())));
    EXPECT_EQ(DRV_CERT_END_ENTITY, b.kind);
}

TEST(CertificateDecoding, NameWithoutCommonNameIsShownWhole)
{
    Key key = ecKey("P-256");
    Cert c = makeCert({{{"C", "CN"}, {"O", "Org, Inc"}, {"OU", "Unit"}}, true, 7, 10}, key.get(), nullptr, nullptr);
    Decoded d;
    ASSERT_EQ(0, d.decode(der(c.get())));
    EXPECT_EQ("OU=Unit, O=Org\\, Inc, C=CN", fromUtf16(d.subject));
}

TEST(CertificateDecoding, LongNamesAreCutBetweenCharactersAndTerminated)
{
    Key key = ecKey("P-256");
    // 255 ASCII characters then characters outside the BMP (two UTF-16 units each): the cut may
    // not split a surrogate pair.
    std::string cn = std::string(255, 'a');
    for (int i = 0; i < 10; ++i)
        cn += "\xF0\x9F\x98\x80"; // U+1F600
    Cert c = makeCert({{{"CN", cn}}, false, 8, 10}, key.get(), nullptr, nullptr);
    Decoded d;
    ASSERT_EQ(0, d.decode(der(c.get())));
    EXPECT_EQ(std::string(255, 'a'), fromUtf16(d.subject));
    EXPECT_EQ(0, d.subject[255]);
    EXPECT_EQ(0xAAAA, d.subject[DRV_NAME_SIZE]);
}

TEST(CertificateDecoding, RefusesWhatIsNotOneCertificate)
{
    Decoded d;
    Bytes junk{0x30, 0x03, 0x01, 0x01, 0xFF};
    EXPECT_EQ(DRV_FILE_ERROR, d.decode(junk));
    Bytes trailing = der(pki().root.get());
    trailing.push_back(0);
    EXPECT_EQ(DRV_FILE_ERROR, d.decode(trailing));
    Bytes empty;
    EXPECT_EQ(DRV_INVALID_PARAM, helper_get_cert_info2(nullptr, 10, d.subject, d.issuer, &d.version, d.serial,
                                                       d.notBefore, d.notAfter, &d.kind));
    Bytes ok = der(pki().root.get());
    EXPECT_EQ(DRV_INVALID_PARAM, helper_get_cert_info2(ok.data(), -1, d.subject, d.issuer, &d.version, d.serial,
                                                       d.notBefore, d.notAfter, &d.kind));
}

class CertificateFiles : public ::testing::Test
{
protected:
    std::string put(const std::string& name, const Bytes& bytes)
    {
        writeFile(m_dir.file(name), bytes);
        return m_dir.file(name);
    }
    TempDir m_dir;
};

TEST_F(CertificateFiles, Pkcs12PasswordAndCorruptFiles)
{
    const Pki& p = pki();
    const Bytes good = pkcs12(p.ecUserKey.get(), p.ecUser.get(), {p.ca.get()}, "right");
    const std::string file = put("a.pfx", good);
    int count = -1;
    ASSERT_EQ(0, pkcs12_file_parse(file.c_str(), "right", &count));
    EXPECT_EQ(2, count);
    char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    int kind = -1;
    ASSERT_EQ(0, pkcs12_file_get_certinfo(1, subject, issuer, &kind));
    EXPECT_STREQ("KX Test CA", subject);
    EXPECT_STREQ("KX Test Root", issuer);
    EXPECT_EQ(DRV_CERT_CA, kind);
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_file_get_certinfo(2, subject, issuer, &kind));

    // A failed parse drops the file held before.
    EXPECT_EQ(DRV_PASSWORD_ERROR, pkcs12_file_parse(file.c_str(), "wrong", &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_file_get_certinfo(0, subject, issuer, &kind));

    Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    EXPECT_EQ(DRV_FILE_ERROR, pkcs12_file_parse(put("t.pfx", truncated).c_str(), "right", &count));
    EXPECT_EQ(DRV_FILE_ERROR, pkcs12_file_parse(put("c.pfx", der(p.root.get())).c_str(), "right", &count));
    EXPECT_EQ(DRV_FILE_ERROR, pkcs12_file_parse(m_dir.file("missing.pfx").c_str(), "right", &count));
    EXPECT_EQ(DRV_FILE_ERROR, pkcs12_file_parse(m_dir.path().c_str(), "right", &count));
    EXPECT_EQ(DRV_INVALID_PARAM, pkcs12_file_parse(file.c_str(), "right", nullptr));

    // An empty password is a password like any other.
    const std::string open = put("open.pfx", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {}, ""));
    ASSERT_EQ(0, pkcs12_file_parse(open.c_str(), "", &count));
    EXPECT_EQ(1, count);
    ASSERT_EQ(0, pkcs12_file_get_certinfo(0, subject, issuer, &kind));
    EXPECT_STREQ("EC User", subject);
}

TEST_F(CertificateFiles, Pkcs7DerPemAndCorrupt)
{
    const Pki& p = pki();
    int count = -1;
    for (bool asPem : {false, true}) {
        const std::string file =
            put(asPem ? "b.p7b" : "a.p7b", pkcs7({p.ca.get(), p.root.get(), p.ecUser.get()}, asPem));
        ASSERT_EQ(0, p7b_file_parse(file.c_str(), &count));
        EXPECT_EQ(3, count);
        char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
        int kind = -1;
        ASSERT_EQ(0, p7b_file_get_certinfo(1, subject, issuer, &kind));
        EXPECT_STREQ("KX Test Root", subject);
        EXPECT_EQ(DRV_CERT_ROOT, kind);
        EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_file_get_certinfo(3, subject, issuer, &kind));
        EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_file_get_certinfo(-1, subject, issuer, &kind));
    }
    EXPECT_EQ(DRV_FILE_ERROR, p7b_file_parse(put("x.p7b", der(p.root.get())).c_str(), &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_FILE_ERROR, p7b_file_parse(put("e.p7b", Bytes{}).c_str(), &count));
    EXPECT_EQ(DRV_FILE_ERROR, p7b_file_parse(m_dir.file("missing.p7b").c_str(), &count));
    char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    int kind = -1;
    EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_file_get_certinfo(0, subject, issuer, &kind));
}

TEST_F(CertificateFiles, FilesWithACertificateTooLargeToReadBackAreRefused)
{
    const Pki& p = pki();
    const Cert big = oversizedCert();
    ASSERT_GT(der(big.get()).size(), size_t(DRV_CERT_BUFFER_SIZE));
    char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    int kind = -1;
    int count = -1;

    // The large certificate as the key's own, and as a member of the chain: the whole file goes.
    const std::string own = put("own.pfx", pkcs12(p.rsaUserKey.get(), big.get(), {p.ca.get()}, "pw"));
    EXPECT_EQ(DRV_CERT_TOO_LARGE, pkcs12_file_parse(own.c_str(), "pw", &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_file_get_certinfo(0, subject, issuer, &kind));
    const std::string chain = put("chain.pfx", pkcs12(p.ecUserKey.get(), p.ecUser.get(), {big.get()}, "pw"));
    EXPECT_EQ(DRV_CERT_TOO_LARGE, pkcs12_file_parse(chain.c_str(), "pw", &count));
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_file_get_certinfo(0, subject, issuer, &kind));

    const std::string bundle = put("big.p7b", pkcs7({p.ca.get(), big.get()}, false));
    EXPECT_EQ(DRV_CERT_TOO_LARGE, p7b_file_parse(bundle.c_str(), &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_NO_FILE_PARSED, p7b_file_get_certinfo(0, subject, issuer, &kind));

    // Exactly at the limit is still a certificate a caller can read. (The CA's EC signature
    // varies in length, so the comment is adjusted until the size is right.)
    CertSpec edge{{{"CN", "Edge"}}, false, 78, 365};
    Cert atLimit;
    size_t commentLength = DRV_CERT_BUFFER_SIZE - 600;
    for (int attempt = 0; attempt < 20; ++attempt) {
        atLimit = makeCert(edge, p.rsaUserKey.get(), p.ca.get(), p.caKey.get(), std::string(commentLength, 'z'));
        const size_t size = der(atLimit.get()).size();
        if (size == size_t(DRV_CERT_BUFFER_SIZE))
            break;
        commentLength = commentLength + DRV_CERT_BUFFER_SIZE - size;
    }
    ASSERT_EQ(size_t(DRV_CERT_BUFFER_SIZE), der(atLimit.get()).size());
    const std::string fits = put("fits.p7b", pkcs7({atLimit.get()}, false));
    EXPECT_EQ(0, p7b_file_parse(fits.c_str(), &count));
    EXPECT_EQ(1, count);
}

TEST_F(CertificateFiles, Pkcs12KeyOfAnotherCertificateIsRefused)
{
    const Pki& p = pki();
    char subject[DRV_NAME_SIZE], issuer[DRV_NAME_SIZE];
    int kind = -1;
    int count = -1;
    // A file held before must not survive a refused parse either.
    const std::string good = put("good.pfx", pkcs12Bagged(p.ecUserKey.get(), p.ecUser.get(), "pw"));
    ASSERT_EQ(0, pkcs12_file_parse(good.c_str(), "pw", &count));
    EXPECT_EQ(1, count);

    // An RSA key bagged with an EC certificate under one local key id.
    const std::string bad = put("bad.pfx", pkcs12Bagged(p.rsaUserKey.get(), p.ecUser.get(), "pw"));
    EXPECT_EQ(DRV_KEY_MISMATCH, pkcs12_file_parse(bad.c_str(), "pw", &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(DRV_NO_FILE_PARSED, pkcs12_file_get_certinfo(0, subject, issuer, &kind));
    // Two keys of one kind that are not a pair are refused the same way.
    const std::string other = put("other.pfx", pkcs12Bagged(p.caKey.get(), p.ecUser.get(), "pw"));
    EXPECT_EQ(DRV_KEY_MISMATCH, pkcs12_file_parse(other.c_str(), "pw", &count));
    // The wrong password is still told apart from a mismatched key.
    EXPECT_EQ(DRV_PASSWORD_ERROR, pkcs12_file_parse(bad.c_str(), "not it", &count));
}

} // namespace
