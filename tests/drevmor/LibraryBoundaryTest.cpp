// SPDX-License-Identifier: Apache-2.0
// The library's edges: the exported symbols, loading broken modules, calls before init, the
// user's certificate stores and the certificate viewer.
#include "DrevmorTestSupport.h"
#include "drevmor.h"

#include "platform/CertStore.h"
#include "tests/platform/WriteLimits.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

using namespace drevmor_test;

namespace {

TEST(LibraryExports, ExactlyTheFunctionsOfTheHeader)
{
    if (std::string(DREVMOR_NM).empty())
        GTEST_SKIP() << "nm not found";
    std::string out;
    ASSERT_EQ(0, run({DREVMOR_NM, "-D", "--defined-only", DREVMOR_LIBRARY_PATH}, &out));
    std::set<std::string> exported;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string addr, type, name;
        fields >> addr >> type >> name;
        if (!name.empty())
            exported.insert(name);
    }
    const std::set<std::string> expected = {"init_pkcs11",
                                            "init_pkcs11_ex",
                                            "uninit_pkcs11",
                                            "token_find",
                                            "token_restart_module",
                                            "token_get_caps",
                                            "token_check_device",
                                            "token_connect",
                                            "token_get_info_ex",
                                            "token_login",
                                            "token_logout",
                                            "token_get_pin_state",
                                            "token_change_upin",
                                            "token_set_label",
                                            "token_reload_all_objects",
                                            "container_load_all",
                                            "container_get_cert",
                                            "container_get_pubkey",
                                            "container_get_prikey",
                                            "container_create_new",
                                            "container_delete",
                                            "container_delete_cert",
                                            "container_delete_keypair",
                                            "token_get_keygen_choices",
                                            "container_generate_keypair",
                                            "container_create_request",
                                            "container_find_by_cert",
                                            "container_addcert_to_store",
                                            "helper_add_root_cert_to_store",
                                            "helper_get_cert_info2",
                                            "helper_show_cert_ui",
                                            "pkcs12_file_parse",
                                            "pkcs12_file_get_certinfo",
                                            "pkcs12_import_certificate",
                                            "x509_import_certificate",
                                            "p7b_file_parse",
                                            "p7b_file_get_certinfo",
                                            "p7b_import_certificate"};
    EXPECT_EQ(expected, exported);
}

TEST(LibraryLoading, BrokenModulesFailCleanly)
{
    uninit_pkcs11();
    TempDir dir;
    EXPECT_NE(0, init_pkcs11(dir.file("missing.so").c_str()));
    writeFile(dir.file("text.so"), std::string("this is not a library\n"));
    EXPECT_NE(0, init_pkcs11(dir.file("text.so").c_str()));
    // A real library without C_GetFunctionList.
    EXPECT_EQ(DRV_MODULE_LOAD_FAILED, init_pkcs11(DREVMOR_LIBRARY_PATH));
    EXPECT_EQ(DRV_MODULE_LOAD_FAILED, init_pkcs11("libdoes-not-exist-anywhere.so"));
    EXPECT_EQ(DRV_INVALID_PARAM, init_pkcs11(nullptr));
    EXPECT_EQ(DRV_INVALID_PARAM, init_pkcs11(""));
    EXPECT_NE(0, init_pkcs11_ex("USB", "OEM", "app", dir.file("text.so").c_str()));

    // Nothing is loaded now: every key call says so.
    char buf[DRV_FIND_BUFFER_SIZE];
    int n = 32;
    EXPECT_EQ(DRV_NOT_INITIALIZED, token_find(buf, &n));
    EXPECT_EQ(0, n);
    EXPECT_EQ(DRV_NOT_INITIALIZED, token_connect(0));
    int left = 0;
    EXPECT_EQ(DRV_NOT_INITIALIZED, token_login(0, "123456", &left));
    char list[64];
    int len = sizeof list;
    EXPECT_EQ(DRV_NOT_INITIALIZED, container_load_all(0, list, &len));
    EXPECT_EQ(DRV_INVALID_PARAM, token_find(nullptr, &n));
    EXPECT_EQ(0, uninit_pkcs11());
}

TEST(LibraryLoading, RelativeNamesAreTakenBesideTheExecutable)
{
    std::string module = DREVMOR_SOFTHSM_MODULE;
    if (module.empty())
        module = DREVMOR_KEYSIM_MODULE;
    if (module.empty())
        GTEST_SKIP() << "no module";
    TempDir dir;
    if (std::string(DREVMOR_KEYSIM_MODULE) == module)
        setenv("KX2700_KEYSIM_DIR", dir.file("keysim").c_str(), 1);
    else {
        writeFile(dir.file("softhsm2.conf"), "directories.tokendir = " + dir.path() + "\n");
        setenv("SOFTHSM2_CONF", dir.file("softhsm2.conf").c_str(), 1);
    }
    const auto exeDir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const auto link = exeDir / "drevmor-test-module.so";
    std::filesystem::remove(link);
    std::filesystem::create_symlink(module, link);
    uninit_pkcs11();
    EXPECT_EQ(0, init_pkcs11("drevmor-test-module.so"));
    uninit_pkcs11();
    EXPECT_EQ(0, init_pkcs11("./drevmor-test-module.so"));
    uninit_pkcs11();
    // Written the Windows way.
    EXPECT_EQ(0, init_pkcs11(".\\drevmor-test-module.so"));
    uninit_pkcs11();
    std::filesystem::remove(link);
    EXPECT_NE(0, init_pkcs11("./drevmor-test-module.so"));
}

class CertStores : public ::testing::Test
{
protected:
    void SetUp() override { setenv("XDG_DATA_HOME", m_dir.path().c_str(), 1); }
    kx::platform::CertStore store() { return kx::platform::CertStore(m_dir.path() + "/kx2700/certstore"); }
    TempDir m_dir;
};

TEST_F(CertStores, PersonalCertificateIsBoundToTheContainer)
{
    const Bytes cert = der(pki().rsaUser.get());
    ASSERT_EQ(0,
              container_addcert_to_store("my container", "KX CSP v1", 2, cert.data(), static_cast<int>(cert.size())));
    auto mine = store().list("MY");
    ASSERT_EQ(1u, mine.size());
    EXPECT_EQ(cert, mine[0].der);
    ASSERT_TRUE(mine[0].keyProv.has_value());
    EXPECT_EQ("my container", mine[0].keyProv->container);
    EXPECT_EQ("KX CSP v1", mine[0].keyProv->provider);
    EXPECT_EQ(2, mine[0].keyProv->keySpec);

    EXPECT_EQ(DRV_INVALID_PARAM, container_addcert_to_store("c", "KX CSP v1", 3, cert.data(), int(cert.size())));
    EXPECT_EQ(DRV_INVALID_PARAM, container_addcert_to_store("c", "KX CSP v1", 1, cert.data(), 10));
    EXPECT_EQ(DRV_INVALID_PARAM, container_addcert_to_store(nullptr, "KX CSP v1", 1, cert.data(), int(cert.size())));
    EXPECT_EQ(1u, store().list("MY").size());
}

TEST_F(CertStores, RootAndCaStoresByWideName)
{
    const Bytes root = der(pki().root.get()), ca = der(pki().ca.get());
    const std::uint16_t rootName[] = {'R', 'O', 'O', 'T', 0}, caName[] = {'C', 'A', 0};
    const std::uint16_t myName[] = {'M', 'Y', 0}, lower[] = {'r', 'o', 'o', 't', 0};
    ASSERT_EQ(0, helper_add_root_cert_to_store(rootName, root.data(), static_cast<int>(root.size())));
    ASSERT_EQ(0, helper_add_root_cert_to_store(caName, ca.data(), static_cast<int>(ca.size())));
    EXPECT_EQ(DRV_INVALID_PARAM, helper_add_root_cert_to_store(myName, ca.data(), static_cast<int>(ca.size())));
    EXPECT_EQ(DRV_INVALID_PARAM, helper_add_root_cert_to_store(lower, ca.data(), static_cast<int>(ca.size())));
    ASSERT_EQ(1u, store().list("ROOT").size());
    EXPECT_EQ(root, store().list("ROOT")[0].der);
    EXPECT_FALSE(store().list("ROOT")[0].keyProv.has_value());
    ASSERT_EQ(1u, store().list("CA").size());
    EXPECT_EQ(ca, store().list("CA")[0].der);
    EXPECT_TRUE(store().list("MY").empty());
}

TEST_F(CertStores, FullStoreIsToldApart)
{
    const Bytes cert = der(pki().rsaUser.get()), root = der(pki().root.get());
    const std::uint16_t rootName[] = {'R', 'O', 'O', 'T', 0};
    {
        const kx::test::FileSizeLimit full(64); // less than a certificate
        EXPECT_EQ(DRV_STORE_FULL, container_addcert_to_store("c", "P", 1, cert.data(), int(cert.size())));
        EXPECT_EQ(DRV_STORE_FULL, helper_add_root_cert_to_store(rootName, root.data(), int(root.size())));
    }
    EXPECT_TRUE(store().list("MY").empty());
}

class CertViewer : public ::testing::Test
{
protected:
    void SetUp() override
    {
        mkdir(m_tmp.c_str(), 0700);
        setenv("TMPDIR", m_tmp.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("KX2700_CERT_VIEWER");
        unsetenv("TMPDIR");
    }
    static bool waitFor(const std::function<bool()>& cond)
    {
        for (int i = 0; i < 500; ++i) {
            if (cond())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    size_t tempFiles() const
    {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(m_tmp)) {
            (void)e;
            ++n;
        }
        return n;
    }
    TempDir m_dir;
    std::string m_tmp = m_dir.file("tmp");
};

TEST_F(CertViewer, ViewerGetsThePrivateFileWhichIsRemovedAfterwards)
{
    const std::string script = m_dir.file("viewer.sh");
    writeFile(script, "#!/bin/sh\nstat -c %a \"$1\" > '" + m_dir.file("mode") + "'\ncp \"$1\" '" + m_dir.file("copy") +
                          "'\necho \"$1\" > '" + m_dir.file("path") + "'\n");
    chmod(script.c_str(), 0700);
    setenv("KX2700_CERT_VIEWER", script.c_str(), 1);
    const Bytes cert = der(pki().ecUser.get());
    ASSERT_EQ(0, helper_show_cert_ui(nullptr, cert.data(), static_cast<int>(cert.size())));
    ASSERT_TRUE(waitFor([&] { return exists(m_dir.file("path")); }));
    // The file lived in the temporary folder, readable by the user only, and is gone afterwards.
    ASSERT_TRUE(waitFor([&] { return tempFiles() == 0; }));
    EXPECT_EQ(cert, readFile(m_dir.file("copy")));
    Bytes mode = readFile(m_dir.file("mode"));
    EXPECT_EQ("600\n", std::string(mode.begin(), mode.end()));
    Bytes path = readFile(m_dir.file("path"));
    EXPECT_EQ(0u, std::string(path.begin(), path.end()).rfind(m_tmp, 0));
}

TEST_F(CertViewer, MissingViewerOrBadCertificateFails)
{
    setenv("KX2700_CERT_VIEWER", m_dir.file("no-such-viewer").c_str(), 1);
    const Bytes cert = der(pki().ecUser.get());
    EXPECT_NE(0, helper_show_cert_ui(nullptr, cert.data(), static_cast<int>(cert.size())));
    EXPECT_EQ(0u, tempFiles());
    setenv("KX2700_CERT_VIEWER", "/bin/true", 1);
    Bytes junk{1, 2, 3};
    EXPECT_NE(0, helper_show_cert_ui(nullptr, junk.data(), 3));
    EXPECT_NE(0, helper_show_cert_ui(nullptr, nullptr, 3));
    EXPECT_EQ(0u, tempFiles());
}

} // namespace
