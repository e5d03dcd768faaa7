// SPDX-License-Identifier: Apache-2.0
// Without faults the wrapper is invisible: the same function list, the same answers to OpenSC's
// pkcs11-tool and to libDrevmor (vendor extensions included, and their absence).
#include "FaultwrapTestSupport.h"
#include "drevmor.h"
#include "keysim_ext.h"

#include <dlfcn.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

using namespace faultwrap_test;

namespace {

constexpr size_t kListMembers = 68;

// The function pointers of a list, in order, as numbers.
std::array<std::uintptr_t, kListMembers> members(const CK_FUNCTION_LIST& list)
{
    std::array<std::uintptr_t, kListMembers> out{};
    static_assert(offsetof(CK_FUNCTION_LIST, C_Initialize) + sizeof(out) == sizeof(CK_FUNCTION_LIST));
    std::memcpy(out.data(), &list.C_Initialize, sizeof out);
    return out;
}

TEST(FaultWrapperExports, ExactlyGetFunctionListAndTheVendorExtensions)
{
    if (std::string(FAULTWRAP_NM).empty())
        GTEST_SKIP() << "nm not found";
    RunResult r = run({FAULTWRAP_NM, "-D", "--defined-only", FAULTWRAP_LIBRARY});
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::set<std::string> exported;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string addr, type, name;
        fields >> addr >> type >> name;
        if (!name.empty())
            exported.insert(name);
    }
    const std::set<std::string> expected = {"C_GetFunctionList",   "KeysimGetPinCounters", "KeysimGetPinLengths",
                                            "KeysimSetTokenLabel", "KeysimGetTokenLabel",  "KeysimGetSerialNumber",
                                            "KeysimGetUsbIds"};
    EXPECT_EQ(expected, exported);
}

using Forwarding = WrappedModuleTest;

TEST_P(Forwarding, FunctionListMirrorsTheRealOne)
{
    LoadedModule real(GetParam().module);
    ASSERT_NE(nullptr, real.f());
    EXPECT_EQ(real.f()->version.major, m_f->version.major);
    EXPECT_EQ(real.f()->version.minor, m_f->version.minor);
    const auto theirs = members(*real.f()), ours = members(*m_f);
    for (size_t i = 0; i < kListMembers; ++i) {
        EXPECT_EQ(theirs[i] == 0, ours[i] == 0) << "member " << i;
        if (theirs[i] != 0) {
            EXPECT_NE(theirs[i], ours[i]) << "member " << i << " is not forwarded";
        }
    }
    // The list's own C_GetFunctionList hands out the wrapper's list, not the real one.
    CK_FUNCTION_LIST* again = nullptr;
    ASSERT_EQ(CKR_OK, m_f->C_GetFunctionList(&again));
    EXPECT_EQ(m_f, again);
}

TEST_P(Forwarding, Pkcs11ToolSeesTheSameKey)
{
    if (std::string(FAULTWRAP_PKCS11_TOOL).empty())
        GTEST_SKIP() << "pkcs11-tool not installed";
    const std::string tool = FAULTWRAP_PKCS11_TOOL;
    auto both = [&](const std::vector<std::string>& args) {
        std::vector<std::string> direct = {tool, "--module", GetParam().module};
        std::vector<std::string> wrapped = {tool, "--module", FAULTWRAP_LIBRARY};
        direct.insert(direct.end(), args.begin(), args.end());
        wrapped.insert(wrapped.end(), args.begin(), args.end());
        return std::make_pair(run(direct), run(wrapped));
    };
    auto [listDirect, listWrapped] = both({"-L"});
    ASSERT_EQ(0, listDirect.exitCode) << listDirect.err;
    EXPECT_EQ(0, listWrapped.exitCode) << listWrapped.err;
    EXPECT_EQ(listDirect.out, listWrapped.out);
    EXPECT_EQ("", listWrapped.err);

    // An object written through the wrapper is on the key for a client of the module itself.
    const std::string data = m_dir->file("data.bin");
    replaceFile(data, "written by pkcs11-tool");
    RunResult w = run({tool, "--module", FAULTWRAP_LIBRARY, "--login", "--pin", kPin, "--write-object", data, "--type",
                       "data", "--label", "pkcs11-tool data"});
    ASSERT_EQ(0, w.exitCode) << w.out << w.err;
    auto [objectsDirect, objectsWrapped] = both({"--login", "--pin", kPin, "-O"});
    ASSERT_EQ(0, objectsDirect.exitCode) << objectsDirect.err;
    EXPECT_EQ(0, objectsWrapped.exitCode) << objectsWrapped.err;
    EXPECT_NE(std::string::npos, objectsDirect.out.find("pkcs11-tool data")) << objectsDirect.out;
    EXPECT_EQ(objectsDirect.out, objectsWrapped.out);
}

// libDrevmor reads the key the same way through the wrapper; where the module has no vendor
// extension it behaves as without one.
TEST_P(Forwarding, DrevmorSeesTheSameKeyAndTheSameExtensions)
{
    stop();
    struct Seen
    {
        char serial[DRV_SERIAL_SIZE] = {}, label[DRV_LABEL_SIZE] = {};
        char manufacturer[DRV_MANUFACTURER_SIZE] = {}, model[DRV_MODEL_SIZE] = {};
        int figures[11] = {};
        int pin[6] = {};
        int setLabel = -1;
        std::vector<char> containers = std::vector<char>(DRV_CONTAINER_LIST_SIZE);
    };
    auto read = [&](const std::string& module, Seen& seen) {
        ASSERT_EQ(0, init_pkcs11(module.c_str()));
        char buf[DRV_FIND_BUFFER_SIZE];
        int n = 32;
        ASSERT_EQ(0, token_find(buf, &n));
        ASSERT_GE(n, 1);
        ASSERT_EQ(0, token_connect(0));
        int* f = seen.figures;
        ASSERT_EQ(0, token_get_info_ex(0, seen.serial, seen.label, seen.manufacturer, seen.model, &f[0], &f[1], &f[2],
                                       &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]));
        f[4] = f[5] = 0; // memory figures change with every write
        int* p = seen.pin;
        ASSERT_EQ(0, token_get_pin_state(0, 1, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5]));
        char field[DRV_LABEL_FIELD_SIZE] = "Wrapped";
        seen.setLabel = token_set_label(0, field);
        int left = 0;
        ASSERT_EQ(0, token_login(0, kPin, &left));
        int len = DRV_CONTAINER_LIST_SIZE;
        ASSERT_EQ(0, container_load_all(0, seen.containers.data(), &len));
        seen.containers.resize(static_cast<size_t>(len));
        EXPECT_EQ(0, uninit_pkcs11());
    };
    Seen direct, wrapped;
    read(GetParam().module, direct);
    read(FAULTWRAP_LIBRARY, wrapped);
    EXPECT_STREQ(direct.serial, wrapped.serial);
    EXPECT_STREQ(direct.label, wrapped.label);
    EXPECT_STREQ(direct.manufacturer, wrapped.manufacturer);
    EXPECT_STREQ(direct.model, wrapped.model);
    EXPECT_TRUE(std::equal(std::begin(direct.figures), std::end(direct.figures), std::begin(wrapped.figures)));
    EXPECT_TRUE(std::equal(std::begin(direct.pin), std::end(direct.pin), std::begin(wrapped.pin)));
    EXPECT_EQ(direct.setLabel, wrapped.setLabel);
    EXPECT_EQ(direct.containers, wrapped.containers);
    if (GetParam().keysim)
        EXPECT_STREQ(kSerial, wrapped.serial); // the full serial: the extension was forwarded
    else
        EXPECT_EQ(0x54, wrapped.setLabel); // CKR_FUNCTION_NOT_SUPPORTED, as without the wrapper
}

INSTANTIATE_TEST_SUITE_P(Modules, Forwarding, ::testing::ValuesIn(realModules()),
                         [](const ::testing::TestParamInfo<ModuleKind>& info) { return info.param.name; });

// A wrapper that cannot find its module refuses to hand out a list, and takes one as soon as the
// module is named; a module that leads back to the wrapper is refused.
TEST(FaultWrapperLoading, MissingOrSelfReferringModuleIsRefusedCleanly)
{
    const std::string module = FAULTWRAP_KEYSIM_MODULE;
    if (module.empty())
        GTEST_SKIP() << "keysim not built";
    TempDir dir;
    setenv("KX2700_KEYSIM_DIR", dir.file("keysim").c_str(), 1);
    unsetenv("KX2700_FAULTWRAP_MODULE");
    setenv("KX2700_FAULTWRAP_CONFIG", dir.file("faultwrap.conf").c_str(), 1);
    {
        LoadedModule wrapper(FAULTWRAP_LIBRARY);
        ASSERT_NE(nullptr, wrapper.handle());
        EXPECT_EQ(CKR_GENERAL_ERROR, wrapper.getListResult());
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(wrapper.handle(), "C_GetFunctionList"));
        auto serial = reinterpret_cast<KeysimGetSerialNumber_t>(dlsym(wrapper.handle(), "KeysimGetSerialNumber"));
        unsigned long len = 0;
        EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED, serial(1, nullptr, &len));
        CK_FUNCTION_LIST* list = nullptr;
        EXPECT_EQ(CKR_ARGUMENTS_BAD, getList(nullptr));

        setenv("KX2700_FAULTWRAP_MODULE", FAULTWRAP_LIBRARY, 1);
        EXPECT_EQ(CKR_GENERAL_ERROR, getList(&list));
        replaceFile(dir.file("faultwrap.conf"), std::string("module=") + dir.file("missing.so") + "\n");
        EXPECT_EQ(CKR_GENERAL_ERROR, getList(&list));

        replaceFile(dir.file("faultwrap.conf"), "module=" + module + "\n");
        ASSERT_EQ(CKR_OK, getList(&list));
        ASSERT_NE(nullptr, list);
        ASSERT_EQ(CKR_OK, list->C_Initialize(nullptr));
        CK_ULONG n = 0;
        EXPECT_EQ(CKR_OK, list->C_GetSlotList(CK_FALSE, nullptr, &n));
        EXPECT_EQ(CKR_OK, list->C_Finalize(nullptr));
    }
    unsetenv("KX2700_FAULTWRAP_MODULE");
    unsetenv("KX2700_FAULTWRAP_CONFIG");
}

} // namespace
