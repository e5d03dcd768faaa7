// SPDX-License-Identifier: Apache-2.0
// OpenSC's pkcs11-tool, a client nobody here wrote, against the module.
#include "KeysimTestSupport.h"

using namespace keysimtest;

namespace {
class Pkcs11ToolTest : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        if (std::string(KEYSIM_PKCS11_TOOL).empty() || std::string(KEYSIM_OPENSSL).empty())
            GTEST_SKIP() << "pkcs11-tool or openssl not installed";
    }
    ToolResult p11(const std::string& args)
    {
        return runCommand(std::string(KEYSIM_PKCS11_TOOL) + " --module " + quote(KEYSIM_PKCS11_PATH) + " " + args);
    }
    // A self-signed certificate and its key, in DER, made now with the openssl command.
    void makeCertificate()
    {
        const std::string o = KEYSIM_OPENSSL;
        ToolResult r = runCommand(o + " req -x509 -newkey rsa:2048 -nodes -subj /CN=keysim-test -days 30 -keyout " +
                                  quote(m_dir + "/k.pem") + " -out " + quote(m_dir + "/c.pem"));
        ASSERT_EQ(r.exitCode, 0) << r.out;
        ASSERT_EQ(
            runCommand(o + " x509 -in " + quote(m_dir + "/c.pem") + " -outform DER -out " + quote(m_dir + "/c.der"))
                .exitCode,
            0);
        ASSERT_EQ(
            runCommand(o + " pkey -in " + quote(m_dir + "/k.pem") + " -outform DER -out " + quote(m_dir + "/k.der"))
                .exitCode,
            0);
    }
};

TEST_F(Pkcs11ToolTest, ListsKeysWithTheirFlagsAndForgetsPulledOnes)
{
    tool({"create", "--serial", "OSC001", "--label", "Alpha"});
    tool({"create", "--serial", "OSC002", "--label", "Beta", "--sensor", "fingerprint"});
    ToolResult r = p11("-L");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("token label        : Alpha"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("serial num         : OSC002"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("token initialized"), std::string::npos);
    EXPECT_NE(r.out.find("user PIN to be changed"), std::string::npos);
    EXPECT_NE(r.out.find("PIN pad present"), std::string::npos) << "protected authentication path of the sensor key";

    tool({"pull", "OSC001"});
    r = p11("-L");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out.find("Alpha"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Beta"), std::string::npos);
    tool({"pull", "OSC002"});
    r = p11("-L");
    EXPECT_EQ(r.out.find("Beta"), std::string::npos) << r.out;
}

TEST_F(Pkcs11ToolTest, LoginCountsWrongPinsToLockedAndChangesThePin)
{
    tool({"create", "--serial", "OSCPIN", "--pin", "11112222", "--max-retries", "3"});
    ToolResult r = p11("--login --pin 11112222 -O");
    EXPECT_EQ(r.exitCode, 0) << r.out;

    r = p11("--login --pin 11112222 --change-pin --new-pin 33334444");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    r = p11("-L");
    EXPECT_EQ(r.out.find("user PIN to be changed"), std::string::npos) << r.out;
    EXPECT_NE(p11("--login --pin 11112222 -O").exitCode, 0);
    EXPECT_NE(p11("-L").out.find("user PIN count low"), std::string::npos);
    EXPECT_EQ(p11("--login --pin 33334444 -O").exitCode, 0) << "right PIN resets the counter";
    EXPECT_EQ(p11("-L").out.find("count low"), std::string::npos);

    for (int i = 0; i < 2; ++i) {
        r = p11("--login --pin 00000000 -O");
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.out.find("CKR_PIN_INCORRECT"), std::string::npos) << r.out;
    }
    EXPECT_NE(p11("-L").out.find("final user PIN try"), std::string::npos);
    r = p11("--login --pin 00000000 -O");
    EXPECT_NE(r.out.find("CKR_PIN_LOCKED"), std::string::npos) << r.out;
    EXPECT_NE(p11("-L").out.find("user PIN locked"), std::string::npos);
    r = p11("--login --pin 33334444 -O");
    EXPECT_NE(r.out.find("CKR_PIN_LOCKED"), std::string::npos) << r.out;
}

TEST_F(Pkcs11ToolTest, WritesAndListsCertificateAndKeyObjects)
{
    makeCertificate();
    tool({"create", "--serial", "OSCOBJ", "--pin", "11112222"});
    ToolResult r =
        p11("--login --pin 11112222 --write-object " + quote(m_dir + "/c.der") + " --type cert --id 0a01 --label c1");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    r = p11("--login --pin 11112222 --write-object " + quote(m_dir + "/k.der") +
            " --type privkey --id 0a01 --label k1");
    ASSERT_EQ(r.exitCode, 0) << r.out;

    r = p11("-O");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("Certificate Object"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("CN=keysim-test"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Private Key Object"), std::string::npos) << "private key hidden without login";

    r = p11("--login --pin 11112222 -O");
    EXPECT_NE(r.out.find("Private Key Object; RSA"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ID:         0a01"), std::string::npos) << r.out;

    // The imported key signs; pkcs11-tool hashes and pads with SHA256-RSA-PKCS.
    std::string data = m_dir + "/data.txt";
    ASSERT_EQ(runCommand("echo hello > " + quote(data)).exitCode, 0);
    r = p11("--login --pin 11112222 --sign -m SHA256-RSA-PKCS --id 0a01 -i " + quote(data) + " -o " +
            quote(m_dir + "/sig.bin"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    runCommand(std::string(KEYSIM_OPENSSL) + " x509 -in " + quote(m_dir + "/c.pem") + " -pubkey -noout > " +
               quote(m_dir + "/pub.pem"));
    r = runCommand(std::string(KEYSIM_OPENSSL) + " dgst -sha256 -verify " + quote(m_dir + "/pub.pem") + " -signature " +
                   quote(m_dir + "/sig.bin") + " " + quote(data));
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("Verified OK"), std::string::npos) << r.out;

    tool({"pull", "OSCOBJ"});
    r = p11("-O");
    EXPECT_NE(r.exitCode, 0) << "no token present: " << r.out;
}

TEST_F(Pkcs11ToolTest, DecryptsWhatOpensslEncryptedToTheKey)
{
    makeCertificate();
    tool({"create", "--serial", "OSCDEC", "--pin", "11112222"});
    ToolResult r = p11("--login --pin 11112222 --write-object " + quote(m_dir + "/k.der") +
                       " --type privkey --usage-decrypt --id 0b01 --label dec");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    const std::string o = KEYSIM_OPENSSL;
    ASSERT_EQ(runCommand("printf 'content key 0123456789' > " + quote(m_dir + "/msg")).exitCode, 0);
    r = runCommand(o + " pkeyutl -encrypt -certin -inkey " + quote(m_dir + "/c.pem") + " -in " + quote(m_dir + "/msg") +
                   " -out " + quote(m_dir + "/ct"));
    ASSERT_EQ(r.exitCode, 0) << r.out;

    r = p11("--login --pin 11112222 --decrypt -m RSA-PKCS --id 0b01 -i " + quote(m_dir + "/ct") + " -o " +
            quote(m_dir + "/pt"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(runCommand("cat " + quote(m_dir + "/pt")).out, "content key 0123456789");
}

} // namespace
