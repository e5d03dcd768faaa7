// SPDX-License-Identifier: Apache-2.0
#include "ModuleKeyFixture.h"

#include "drevmor.h"

#include <sys/stat.h>

#include <cstdlib>

namespace drevmor_test {

void PrintTo(const ModuleKind& m, std::ostream* os)
{
    *os << m.name;
}

std::vector<ModuleKind> testModules()
{
    return {{"keysim", DREVMOR_KEYSIM_MODULE, true}, {"softhsm", DREVMOR_SOFTHSM_MODULE, false}};
}

std::string moduleTestName(const ::testing::TestParamInfo<ModuleKind>& info)
{
    return info.param.name;
}

void ModuleKeyTest::SetUp()
{
    const ModuleKind& m = GetParam();
    if (m.module.empty() || !exists(m.module))
        GTEST_SKIP() << m.name << " module not available";
    if (!m.keysim && (std::string(DREVMOR_SOFTHSM_UTIL).empty()))
        GTEST_SKIP() << "softhsm2-util not available";
    uninit_pkcs11();
    m_dir = std::make_unique<TempDir>();
    if (m.keysim) {
        setenv("KX2700_KEYSIM_DIR", m_dir->file("keysim").c_str(), 1);
        ASSERT_EQ(0, keysim({"create", "--serial",      kSerial, "--label",        kTokenLabel, "--pin",
                             kPin,     "--max-retries", "6",     "--manufacturer", "KX Maker",  "--model",
                             "KX2700", "--hw-version",  "2.5",   "--fw-version",   "1.10",      "--min-pin",
                             "6",      "--max-pin",     "16",    "--so-min-pin",   "8",         "--so-max-pin",
                             "12"}));
    } else {
        const std::string tokens = m_dir->file("tokens");
        mkdir(tokens.c_str(), 0700);
        writeFile(m_dir->file("softhsm2.conf"),
                  "directories.tokendir = " + tokens + "\nobjectstore.backend = file\nlog.level = ERROR\n");
        setenv("SOFTHSM2_CONF", m_dir->file("softhsm2.conf").c_str(), 1);
        ASSERT_EQ(0, run({DREVMOR_SOFTHSM_UTIL, "--init-token", "--free", "--label", kTokenLabel, "--so-pin",
                          "12345678", "--pin", kPin}));
    }
    ASSERT_EQ(0, init_pkcs11(m.module.c_str()));
    connectAll();
}

void ModuleKeyTest::TearDown()
{
    uninit_pkcs11();
}

void ModuleKeyTest::connectAll()
{
    ASSERT_EQ(expectedKeys(), findKeys());
    for (int k = 0; k < expectedKeys(); ++k)
        ASSERT_EQ(0, token_connect(k));
}

int ModuleKeyTest::findKeys()
{
    char buf[DRV_FIND_BUFFER_SIZE];
    int n = 32;
    if (token_find(buf, &n) != 0)
        return -1;
    return n;
}

int ModuleKeyTest::keysim(std::vector<std::string> args)
{
    args.insert(args.begin(), {DREVMOR_KEYSIM_TOOL, "--dir", m_dir->file("keysim")});
    return run(args);
}

void ModuleKeyTest::login()
{
    int left = 0;
    ASSERT_EQ(0, token_login(0, kPin, &left));
}

std::string ModuleKeyTest::writeTemp(const std::string& name, const Bytes& bytes)
{
    writeFile(m_dir->file(name), bytes);
    return m_dir->file(name);
}

} // namespace drevmor_test
