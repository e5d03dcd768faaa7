// SPDX-License-Identifier: Apache-2.0
// The SKF library, called the way the manager calls it: every entry point looked up by name with
// dlsym in the library loaded by dlopen.
#include "KeysimTestSupport.h"
#include "keysim_skf.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <string>

using namespace keysimtest;

namespace {
// The entry points, as the binding of the programs looks them up.
struct Skf
{
    decltype(&SKF_EnumDev) EnumDev;
    decltype(&SKF_ConnectDev) ConnectDev;
    decltype(&SKF_DisConnectDev) DisConnectDev;
    decltype(&SKF_GetDevInfo) GetDevInfo;
    decltype(&SKF_EnumApplication) EnumApplication;
    decltype(&SKF_OpenApplication) OpenApplication;
    decltype(&SKF_CloseApplication) CloseApplication;
    decltype(&SKF_VerifyPIN) VerifyPIN;
    decltype(&SKF_ClearSecureState) ClearSecureState;
    decltype(&SKF_EnrollFingerInit) EnrollFingerInit;
    decltype(&SKF_EnrollFinger) EnrollFinger;
    decltype(&SKF_VerifyFingerInit) VerifyFingerInit;
    decltype(&SKF_TestFinger) TestFinger;
    decltype(&SKF_DeleteFinger) DeleteFinger;
    decltype(&SKF_GetFingerInfo) GetFingerInfo;
    decltype(&SKF_UnblockFinger) UnblockFinger;
    decltype(&MKF_GetDeviceCaps) GetDeviceCaps;
    decltype(&SKF_SetFingerMode) SetFingerMode;
    decltype(&SKF_GenRemoteUnblockRequest) GenRemoteUnblockRequest;
    decltype(&SKF_RemoteUnblockPIN) RemoteUnblockPIN;
};

template <typename F>
void bind(void* lib, const char* name, F& f)
{
    f = reinterpret_cast<F>(::dlsym(lib, name));
}

class SkfTest : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        void* lib = skfLibrary();
        ASSERT_NE(lib, nullptr) << ::dlerror();
        bind(lib, "SKF_EnumDev", f.EnumDev);
        bind(lib, "SKF_ConnectDev", f.ConnectDev);
        bind(lib, "SKF_DisConnectDev", f.DisConnectDev);
        bind(lib, "SKF_GetDevInfo", f.GetDevInfo);
        bind(lib, "SKF_EnumApplication", f.EnumApplication);
        bind(lib, "SKF_OpenApplication", f.OpenApplication);
        bind(lib, "SKF_CloseApplication", f.CloseApplication);
        bind(lib, "SKF_VerifyPIN", f.VerifyPIN);
        bind(lib, "SKF_ClearSecureState", f.ClearSecureState);
        bind(lib, "SKF_EnrollFingerInit", f.EnrollFingerInit);
        bind(lib, "SKF_EnrollFinger", f.EnrollFinger);
        bind(lib, "SKF_VerifyFingerInit", f.VerifyFingerInit);
        bind(lib, "SKF_TestFinger", f.TestFinger);
        bind(lib, "SKF_DeleteFinger", f.DeleteFinger);
        bind(lib, "SKF_GetFingerInfo", f.GetFingerInfo);
        bind(lib, "SKF_UnblockFinger", f.UnblockFinger);
        bind(lib, "MKF_GetDeviceCaps", f.GetDeviceCaps);
        bind(lib, "SKF_SetFingerMode", f.SetFingerMode);
        bind(lib, "SKF_GenRemoteUnblockRequest", f.GenRemoteUnblockRequest);
        bind(lib, "SKF_RemoteUnblockPIN", f.RemoteUnblockPIN);
    }

    std::vector<std::string> split(const char* buf, uint32_t size)
    {
        std::vector<std::string> out;
        std::string cur;
        for (uint32_t i = 0; i < size; ++i) {
            if (buf[i] == '\0') {
                if (!cur.empty())
                    out.push_back(cur);
                cur.clear();
            } else {
                cur.push_back(buf[i]);
            }
        }
        return out;
    }
    std::vector<std::string> devices()
    {
        char buf[4096] = {};
        uint32_t size = sizeof buf;
        f.EnumDev(1, buf, &size);
        return split(buf, size);
    }
    // Connects to the key and opens its application, as the manager's refresh does.
    HAPPLICATION openApp(const std::string& serial, DEVHANDLE* devOut = nullptr)
    {
        DEVHANDLE dev = nullptr;
        EXPECT_EQ(f.ConnectDev(serial.c_str(), &dev), SAR_OK);
        char buf[4096] = {};
        uint32_t size = sizeof buf;
        EXPECT_EQ(f.EnumApplication(dev, buf, &size), SAR_OK);
        auto apps = split(buf, size);
        EXPECT_EQ(apps.size(), 1u);
        HAPPLICATION app = nullptr;
        if (!apps.empty()) {
            EXPECT_EQ(f.OpenApplication(dev, apps[0].c_str(), &app), SAR_OK);
        }
        if (devOut)
            *devOut = dev;
        return app;
    }
    struct Info
    {
        uint32_t rv, v0, v1, v2, retryLeft, len;
        uint8_t fingers[255];
    };
    Info fingerInfo(HAPPLICATION app)
    {
        Info i{};
        i.len = 255;
        i.rv = f.GetFingerInfo(app, 1, &i.v0, &i.v1, &i.v2, &i.retryLeft, i.fingers, &i.len);
        return i;
    }

    Skf f{};
};

TEST_F(SkfTest, EveryEntryPointIsFoundByName)
{
    const void* const* slots = reinterpret_cast<const void* const*>(&f);
    for (std::size_t i = 0; i < sizeof f / sizeof(void*); ++i)
        EXPECT_NE(slots[i], nullptr) << "entry point " << i;
}

TEST_F(SkfTest, DevicesAreThePluggedKeys)
{
    char buf[4096] = {};
    uint32_t size = sizeof buf;
    f.EnumDev(1, buf, &size);
    EXPECT_EQ(size, 0u) << "no key: size 0";

    tool({"create", "--serial", "SKFDEV1"});
    tool({"create", "--serial", "SKFDEV2"});
    EXPECT_EQ(devices(), (std::vector<std::string>{"SKFDEV1", "SKFDEV2"}));
    size = 0;
    ASSERT_EQ(f.EnumDev(1, nullptr, &size), SAR_OK);
    EXPECT_EQ(size, 17u);
    char small[5];
    size = sizeof small;
    EXPECT_EQ(f.EnumDev(1, small, &size), SAR_BUFFER_TOO_SMALL);

    DEVHANDLE dev = nullptr;
    ASSERT_EQ(f.ConnectDev("SKFDEV2", &dev), SAR_OK);
    DEVINFO info;
    ASSERT_EQ(f.GetDevInfo(dev, &info), SAR_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(&info) + 162, "SKFDEV2");
    EXPECT_EQ(f.ConnectDev("NOSUCHKEY", &dev), SAR_INVALIDPARAMERR);

    tool({"pull", "SKFDEV2"});
    EXPECT_EQ(devices(), std::vector<std::string>{"SKFDEV1"});
    EXPECT_EQ(f.GetDevInfo(dev, &info), SAR_DEVICE_REMOVED);
    EXPECT_EQ(f.GetDevInfo(reinterpret_cast<DEVHANDLE>(0x1234), &info), SAR_INVALIDHANDLEERR);
}

TEST_F(SkfTest, FaultsAffectConnectAndInformation)
{
    tool({"create", "--serial", "SKFFLT"});
    tool({"fault", "SKFFLT", "--connect-fails", "on"});
    DEVHANDLE dev = nullptr;
    EXPECT_NE(f.ConnectDev("SKFFLT", &dev), SAR_OK);
    tool({"fault", "SKFFLT", "--clear", "--info-fails", "on"});
    ASSERT_EQ(f.ConnectDev("SKFFLT", &dev), SAR_OK);
    DEVINFO info;
    EXPECT_NE(f.GetDevInfo(dev, &info), SAR_OK);
}

TEST_F(SkfTest, VerifyPinSharesTheUserPinCounter)
{
    tool({"create", "--serial", "SKFPIN", "--pin", "11112222", "--max-retries", "3"});
    HAPPLICATION app = openApp("SKFPIN");
    uint32_t retries = 99;
    EXPECT_EQ(f.VerifyPIN(app, 1, "00000000", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(retries, 2u);
    EXPECT_NE(tool({"show", "SKFPIN"}).find("user-pin-retries: 2/3"), std::string::npos);
    EXPECT_EQ(f.VerifyPIN(app, 1, "11112222", &retries), SAR_OK);
    EXPECT_EQ(retries, 3u);
    EXPECT_EQ(f.VerifyPIN(app, 1, "00000000", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(f.VerifyPIN(app, 1, "00000000", &retries), SAR_PIN_INCORRECT);
    EXPECT_EQ(f.VerifyPIN(app, 1, "00000000", &retries), SAR_PIN_LOCKED);
    EXPECT_EQ(f.VerifyPIN(app, 1, "11112222", &retries), SAR_PIN_LOCKED);
    EXPECT_EQ(retries, 0u);
}

TEST_F(SkfTest, EnrolmentTakesSamplesWithAGrowingCounter)
{
    tool({"create", "--serial", "SKFENR", "--pin", "11112222", "--sensor", "fingerprint"});
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = openApp("SKFENR", &dev);
    uint32_t value = 7, caps = 0;
    ASSERT_EQ(f.GetDeviceCaps(dev, nullptr, &value, &caps), SAR_OK);
    EXPECT_EQ(caps, 2u);

    EXPECT_EQ(f.EnrollFingerInit(app, 1, 3), SAR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(f.VerifyPIN(app, 1, "11112222", nullptr), SAR_OK);
    ASSERT_EQ(f.SetFingerMode(dev, 4), SAR_OK);
    EXPECT_EQ(f.EnrollFingerInit(app, 1, 11), SAR_INVALIDPARAMERR);
    ASSERT_EQ(f.EnrollFingerInit(app, 1, 3), SAR_OK);
    uint32_t progress = 0, last = 0;
    int pending = 0;
    uint32_t rv;
    while ((rv = f.EnrollFinger(app, 1, 3, &progress)) == SAR_FINGER_SAMPLE_PENDING) {
        EXPECT_GT(progress, last);
        last = progress;
        ASSERT_LT(++pending, 10);
    }
    EXPECT_EQ(rv, SAR_OK);
    EXPECT_EQ(pending, 3) << "four samples: three pending answers, then done";
    EXPECT_EQ(progress, 4u);

    // A missed sample ("no finger") does not advance the counter.
    ASSERT_EQ(f.EnrollFingerInit(app, 1, 5), SAR_OK);
    ASSERT_EQ(f.EnrollFinger(app, 1, 5, &progress), SAR_FINGER_SAMPLE_PENDING);
    EXPECT_EQ(progress, 1u);
    tool({"present-finger", "SKFENR", "0"});
    ASSERT_EQ(f.EnrollFinger(app, 1, 5, &progress), SAR_FINGER_SAMPLE_PENDING);
    EXPECT_EQ(progress, 1u);
    while ((rv = f.EnrollFinger(app, 1, 5, &progress)) == SAR_FINGER_SAMPLE_PENDING) {
    }
    EXPECT_EQ(rv, SAR_OK);

    EXPECT_EQ(f.EnrollFingerInit(app, 1, 3), SAR_FINGER_EXIST);
    Info i = fingerInfo(app);
    ASSERT_EQ(i.rv, SAR_OK);
    ASSERT_EQ(i.len, 10u);
    const uint8_t map[10] = {0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(i.fingers, map, 10), 0);
    EXPECT_EQ(i.v1, 2u);

    EXPECT_EQ(f.DeleteFinger(app, 1, 4), SAR_FINGER_NOT_EXIST);
    EXPECT_EQ(f.DeleteFinger(app, 1, 3), SAR_OK);
    f.ClearSecureState(app);
    EXPECT_EQ(f.DeleteFinger(app, 1, 5), SAR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(fingerInfo(app).v1, 1u);
}

TEST_F(SkfTest, FingerInfoAsNumberList)
{
    tool({"create", "--serial", "SKFLST", "--sensor", "finger-vein", "--finger-format", "list", "--fingers", "7,3"});
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = openApp("SKFLST", &dev);
    Info i = fingerInfo(app);
    ASSERT_EQ(i.rv, SAR_OK);
    ASSERT_EQ(i.len, 2u);
    EXPECT_EQ(i.fingers[0], 7);
    EXPECT_EQ(i.fingers[1], 3);
    EXPECT_EQ(i.fingers[2], 0) << "nothing written past the reported length";
    uint32_t caps = 0;
    ASSERT_EQ(f.GetDeviceCaps(dev, nullptr, nullptr, &caps), SAR_OK);
    EXPECT_EQ(caps, 5u);

    uint8_t tiny[1];
    uint32_t len = 1;
    EXPECT_EQ(f.GetFingerInfo(app, 1, nullptr, nullptr, nullptr, nullptr, tiny, &len), SAR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 2u);
}

TEST_F(SkfTest, KeyWithoutSensorHasNoFingerFunctions)
{
    tool({"create", "--serial", "SKFNOS"});
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = openApp("SKFNOS", &dev);
    uint32_t caps = 9;
    ASSERT_EQ(f.GetDeviceCaps(dev, nullptr, nullptr, &caps), SAR_OK);
    EXPECT_EQ(caps, 0u);
    EXPECT_EQ(fingerInfo(app).rv, SAR_NOTSUPPORTYETERR);
}

TEST_F(SkfTest, TestFingerPendsUntilAFingerIsPresented)
{
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "5000", 1);
    tool({"create", "--serial", "SKFTST", "--pin", "11112222", "--sensor", "fingerprint", "--fingers", "2,6",
          "--finger-retries", "2"});
    HAPPLICATION app = openApp("SKFTST");
    ASSERT_EQ(f.VerifyFingerInit(app, 1), SAR_OK);
    uint32_t finger = 0;
    EXPECT_EQ(f.TestFinger(app, 1, &finger), SAR_FINGER_SAMPLE_PENDING);
    EXPECT_EQ(f.TestFinger(app, 1, &finger), SAR_FINGER_SAMPLE_PENDING);
    tool({"present-finger", "SKFTST", "6"});
    EXPECT_EQ(f.TestFinger(app, 1, &finger), SAR_OK);
    EXPECT_EQ(finger, 6u);

    ASSERT_EQ(f.VerifyFingerInit(app, 1), SAR_OK);
    tool({"present-finger", "SKFTST", "9"});
    EXPECT_EQ(f.TestFinger(app, 1, &finger), SAR_FINGER_CAPTURE_FAILED);
    EXPECT_EQ(fingerInfo(app).retryLeft, 1u);
    tool({"present-finger", "SKFTST", "9"});
    EXPECT_EQ(f.TestFinger(app, 1, &finger), SAR_PIN_LOCKED);
    EXPECT_EQ(f.VerifyFingerInit(app, 1), SAR_PIN_LOCKED);

    EXPECT_EQ(f.UnblockFinger(app, 1), SAR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(f.VerifyPIN(app, 1, "11112222", nullptr), SAR_OK);
    ASSERT_EQ(f.UnblockFinger(app, 1), SAR_OK);
    EXPECT_EQ(fingerInfo(app).retryLeft, 2u);

    // Without any finger the verification gives up after the timeout.
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "100", 1);
    ASSERT_EQ(f.VerifyFingerInit(app, 1), SAR_OK);
    uint32_t rv;
    int polls = 0;
    while ((rv = f.TestFinger(app, 1, &finger)) == SAR_FINGER_SAMPLE_PENDING && polls++ < 100)
        ::usleep(20000);
    EXPECT_EQ(rv, SAR_FINGER_CAPTURE_FAILED);
}

TEST_F(SkfTest, RemoteUnblockWithRightAndWrongCodes)
{
    tool({"create", "--serial", "SKFRUB", "--pin", "11112222", "--max-retries", "2"});
    HAPPLICATION app = openApp("SKFRUB");
    // Lock the user PIN and change nothing else.
    f.VerifyPIN(app, 1, "00000000", nullptr);
    ASSERT_EQ(f.VerifyPIN(app, 1, "00000000", nullptr), SAR_PIN_LOCKED);

    uint8_t request[32] = {};
    ASSERT_EQ(f.GenRemoteUnblockRequest(app, request, 8), SAR_OK);
    EXPECT_EQ(std::count(request + 8, request + 32, 0), 24) << "only the 8 requested bytes are written";
    char hex[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02X", request[i]);
    std::string code = tool({"unlock-code", "SKFRUB", hex});
    ASSERT_EQ(code.size(), 17u) << code;
    uint8_t bytes[64] = {};
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(std::stoi(code.substr(2 * i, 2), nullptr, 16));

    uint8_t wrong[8];
    std::memcpy(wrong, bytes, 8);
    wrong[7] ^= 0x01;
    uint32_t reserved = 0;
    EXPECT_NE(f.RemoteUnblockPIN(app, wrong, 8, &reserved), SAR_OK);
    EXPECT_NE(f.RemoteUnblockPIN(app, bytes, 4, &reserved), SAR_OK) << "too short a code";
    EXPECT_NE(tool({"show", "SKFRUB"}).find("user-pin-retries: 0/2"), std::string::npos);

    ASSERT_EQ(f.RemoteUnblockPIN(app, bytes, 8, &reserved), SAR_OK);
    EXPECT_NE(tool({"show", "SKFRUB"}).find("user-pin-retries: 2/2"), std::string::npos);
    EXPECT_EQ(f.VerifyPIN(app, 1, "11112222", nullptr), SAR_OK) << "the initial PIN works again";
    // A code is good for one request only.
    EXPECT_NE(f.RemoteUnblockPIN(app, bytes, 8, &reserved), SAR_OK);
    ASSERT_EQ(f.GenRemoteUnblockRequest(app, request, 8), SAR_OK);
    EXPECT_NE(f.RemoteUnblockPIN(app, bytes, 8, &reserved), SAR_OK) << "a fresh request needs a fresh code";
    EXPECT_EQ(f.GenRemoteUnblockRequest(app, request, 64), SAR_INVALIDPARAMERR);
}

TEST_F(SkfTest, RemoteUnblockRestoresTheInitialPinAfterAChange)
{
    tool({"create", "--serial", "SKFRU2", "--pin", "11112222", "--max-retries", "1"});
    HAPPLICATION app = openApp("SKFRU2");
    // The user PIN was changed (PKCS#11 face) and then forgotten.
    CK_FUNCTION_LIST* p = pkcs11();
    p->C_Finalize(nullptr);
    ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slot;
    CK_ULONG n = 1;
    ASSERT_EQ(p->C_GetSlotList(CK_TRUE, &slot, &n), CKR_OK);
    CK_SESSION_HANDLE h;
    ASSERT_EQ(p->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h), CKR_OK);
    std::string o = "11112222", nw = "77778888";
    ASSERT_EQ(p->C_SetPIN(h, (CK_UTF8CHAR_PTR)o.data(), o.size(), (CK_UTF8CHAR_PTR)nw.data(), nw.size()), CKR_OK);
    ASSERT_EQ(f.VerifyPIN(app, 1, "00000000", nullptr), SAR_PIN_LOCKED);

    uint8_t request[32] = {};
    ASSERT_EQ(f.GenRemoteUnblockRequest(app, request, 8), SAR_OK);
    char hex[17];
    for (int i = 0; i < 8; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", request[i]);
    std::string code = tool({"unlock-code", "SKFRU2", hex});
    uint8_t bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<uint8_t>(std::stoi(code.substr(2 * i, 2), nullptr, 16));
    ASSERT_EQ(f.RemoteUnblockPIN(app, bytes, 8, nullptr), SAR_OK);

    CK_TOKEN_INFO ti;
    ASSERT_EQ(p->C_GetTokenInfo(slot, &ti), CKR_OK);
    EXPECT_TRUE(ti.flags & CKF_USER_PIN_TO_BE_CHANGED);
    EXPECT_FALSE(ti.flags & CKF_USER_PIN_LOCKED);
    EXPECT_EQ(p->C_Login(h, CKU_USER, (CK_UTF8CHAR_PTR)o.data(), o.size()), CKR_OK);
    p->C_Finalize(nullptr);
}

TEST_F(SkfTest, FailuresInsideTheLibraryBecomeSarFail)
{
    tool({"create", "--serial", "SKFERR", "--sensor", "fingerprint"});
    DEVHANDLE dev = nullptr;
    HAPPLICATION app = openApp("SKFERR", &dev);
    const std::string lock = m_dir + "/keys/SKFERR/lock";
    std::filesystem::remove(lock);
    std::filesystem::create_directory(lock);
    EXPECT_EQ(f.SetFingerMode(dev, 3), SAR_FAIL);
    EXPECT_EQ(f.VerifyPIN(app, 1, "12345678", nullptr), SAR_FAIL);
    std::filesystem::remove(lock);
    EXPECT_EQ(f.VerifyPIN(app, 1, "12345678", nullptr), SAR_OK);
}

TEST_F(SkfTest, ArgumentsAreBounded)
{
    tool({"create", "--serial", "SKFARG"});
    DEVHANDLE dev = nullptr;
    std::string longName(5000, 'A');
    EXPECT_EQ(f.ConnectDev(longName.c_str(), &dev), SAR_NAMELENERR);
    EXPECT_EQ(f.ConnectDev(nullptr, &dev), SAR_INVALIDPARAMERR);
    HAPPLICATION app = openApp("SKFARG", &dev);
    EXPECT_EQ(f.OpenApplication(dev, "OTHER", &app), SAR_APPLICATION_NOT_EXISTS);
    std::string longPin(1000, '1');
    EXPECT_EQ(f.VerifyPIN(app, 1, longPin.c_str(), nullptr), SAR_PIN_LEN_RANGE);
    EXPECT_EQ(f.VerifyPIN(app, 1, nullptr, nullptr), SAR_INVALIDPARAMERR);
    EXPECT_EQ(f.VerifyPIN(app, 5, "12345678", nullptr), SAR_USER_TYPE_INVALID);
    EXPECT_EQ(f.CloseApplication(app), SAR_OK);
    EXPECT_EQ(f.VerifyPIN(app, 1, "12345678", nullptr), SAR_INVALIDHANDLEERR);
    EXPECT_EQ(f.DisConnectDev(dev), SAR_OK);
    EXPECT_EQ(f.DisConnectDev(dev), SAR_INVALIDHANDLEERR);
}

} // namespace
