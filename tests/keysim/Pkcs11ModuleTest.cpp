// SPDX-License-Identifier: Apache-2.0
// The PKCS#11 module through its function list, as a client sees it after dlopen.
#include "KeysimTestSupport.h"
#include "keysim_ext.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace keysimtest;

namespace {
class Pkcs11Test : public KeysimDirTest
{
protected:
    void SetUp() override
    {
        KeysimDirTest::SetUp();
        p = pkcs11();
        ASSERT_NE(p, nullptr) << dlerror();
        p->C_Finalize(nullptr);
        ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    }
    void TearDown() override
    {
        p->C_Finalize(nullptr);
        KeysimDirTest::TearDown();
    }

    // Creates a key with the control tool and returns its slot id.
    CK_SLOT_ID createKey(const std::string& serial, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"create", "--serial", serial};
        args.insert(args.end(), extra.begin(), extra.end());
        tool(args);
        CK_ULONG n = 16;
        CK_SLOT_ID slots[16];
        EXPECT_EQ(p->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_TOKEN_INFO ti;
            if (p->C_GetTokenInfo(slots[i], &ti) != CKR_OK)
                continue;
            std::string shown(reinterpret_cast<char*>(ti.serialNumber), 16);
            shown.erase(shown.find_last_not_of(' ') + 1);
            if (shown == serial.substr(0, 16))
                return slots[i];
        }
        ADD_FAILURE() << "key " << serial << " not listed";
        return 0;
    }
    CK_SESSION_HANDLE open(CK_SLOT_ID slot, bool rw = true)
    {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(p->C_OpenSession(slot, CKF_SERIAL_SESSION | (rw ? CKF_RW_SESSION : 0), nullptr, nullptr, &h), CKR_OK);
        return h;
    }
    CK_RV login(CK_SESSION_HANDLE h, const std::string& pin, CK_USER_TYPE type = CKU_USER)
    {
        return p->C_Login(h, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
    }
    CK_FLAGS flags(CK_SLOT_ID slot)
    {
        CK_TOKEN_INFO ti;
        EXPECT_EQ(p->C_GetTokenInfo(slot, &ti), CKR_OK);
        return ti.flags;
    }
    std::vector<CK_SLOT_ID> slots()
    {
        CK_ULONG n = 0;
        EXPECT_EQ(p->C_GetSlotList(CK_TRUE, nullptr, &n), CKR_OK);
        std::vector<CK_SLOT_ID> s(n);
        EXPECT_EQ(p->C_GetSlotList(CK_TRUE, s.data(), &n), CKR_OK);
        s.resize(n);
        return s;
    }
    CK_RV createData(CK_SESSION_HANDLE h, const std::string& label, bool priv, bool token, std::size_t valueLen,
                     CK_OBJECT_HANDLE* out)
    {
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL tok = token ? CK_TRUE : CK_FALSE, pr = priv ? CK_TRUE : CK_FALSE;
        std::vector<CK_BYTE> value(valueLen, 0x5A);
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_TOKEN, &tok, sizeof tok},
                            {CKA_PRIVATE, &pr, sizeof pr},
                            {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
                            {CKA_VALUE, value.data(), value.size()}};
        return p->C_CreateObject(h, t, 5, out);
    }
    std::vector<CK_OBJECT_HANDLE> findAll(CK_SESSION_HANDLE h)
    {
        std::vector<CK_OBJECT_HANDLE> out;
        EXPECT_EQ(p->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
        CK_OBJECT_HANDLE buf[8];
        CK_ULONG n = 0;
        do {
            EXPECT_EQ(p->C_FindObjects(h, buf, 8, &n), CKR_OK);
            out.insert(out.end(), buf, buf + n);
        } while (n > 0);
        EXPECT_EQ(p->C_FindObjectsFinal(h), CKR_OK);
        return out;
    }
    template <typename F>
    F ext(const char* name)
    {
        void* h = dlopen(KEYSIM_PKCS11_PATH, RTLD_NOW | RTLD_NOLOAD);
        return reinterpret_cast<F>(dlsym(h, name));
    }

    CK_FUNCTION_LIST* p = nullptr;
};

TEST_F(Pkcs11Test, SlotsFollowPlugAndPullWithStableIds)
{
    CK_SLOT_ID a = createKey("KA0001");
    CK_SLOT_ID b = createKey("KB0002");
    EXPECT_NE(a, b);
    EXPECT_EQ(slots(), (std::vector<CK_SLOT_ID>{a, b}));

    tool({"pull", "KA0001"});
    EXPECT_EQ(slots(), (std::vector<CK_SLOT_ID>{b}));
    CK_TOKEN_INFO ti;
    EXPECT_EQ(p->C_GetTokenInfo(a, &ti), CKR_TOKEN_NOT_PRESENT);
    CK_SLOT_INFO si;
    ASSERT_EQ(p->C_GetSlotInfo(a, &si), CKR_OK);
    EXPECT_FALSE(si.flags & CKF_TOKEN_PRESENT);
    EXPECT_EQ(p->C_GetTokenInfo(999, &ti), CKR_SLOT_ID_INVALID);

    tool({"plug", "KA0001"});
    EXPECT_EQ(slots(), (std::vector<CK_SLOT_ID>{a, b}));

    CK_ULONG n = 1;
    CK_SLOT_ID one[1];
    EXPECT_EQ(p->C_GetSlotList(CK_TRUE, one, &n), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(n, 2u);
}

TEST_F(Pkcs11Test, TokenInfoComesFromTheKey)
{
    CK_SLOT_ID s = createKey("KINFO1", {"--label", "Finance key", "--min-pin", "8", "--max-pin", "12", "--hw-version",
                                        "2.3", "--total-memory", "32768", "--free-memory", "30000"});
    CK_TOKEN_INFO ti;
    ASSERT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ti.label), 32), "Finance key" + std::string(21, ' '));
    EXPECT_EQ(ti.ulMinPinLen, 8u);
    EXPECT_EQ(ti.ulMaxPinLen, 12u);
    EXPECT_EQ(ti.hardwareVersion.major, 2);
    EXPECT_EQ(ti.hardwareVersion.minor, 3);
    EXPECT_EQ(ti.ulTotalPublicMemory, 32768u);
    EXPECT_EQ(ti.ulFreePublicMemory, 30000u);
    const CK_FLAGS expected =
        CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_USER_PIN_TO_BE_CHANGED;
    EXPECT_EQ(ti.flags & (expected | CKF_PROTECTED_AUTHENTICATION_PATH), expected);

    CK_SLOT_ID u = createKey("KINFO2", {"--uninitialised", "--sensor", "fingerprint"});
    EXPECT_FALSE(flags(u) & CKF_TOKEN_INITIALIZED);
    EXPECT_TRUE(flags(u) & CKF_PROTECTED_AUTHENTICATION_PATH);
}

TEST_F(Pkcs11Test, WrongPinsCountDownToLockedAndLockRefusesRightPin)
{
    CK_SLOT_ID s = createKey("KLOCK1", {"--pin", "11112222", "--max-retries", "3"});
    auto counters = ext<KeysimGetPinCounters_t>("KeysimGetPinCounters");
    ASSERT_NE(counters, nullptr);
    CK_SESSION_HANDLE h = open(s);
    unsigned long left = 0, max = 0;

    EXPECT_EQ(login(h, "99998888"), CKR_PIN_INCORRECT);
    ASSERT_EQ(counters(s, CKU_USER, &left, &max), CKR_OK);
    EXPECT_EQ(left, 2u);
    EXPECT_EQ(max, 3u);
    EXPECT_TRUE(flags(s) & CKF_USER_PIN_COUNT_LOW);
    EXPECT_FALSE(flags(s) & CKF_USER_PIN_FINAL_TRY);

    EXPECT_EQ(login(h, "99998888"), CKR_PIN_INCORRECT);
    EXPECT_TRUE(flags(s) & CKF_USER_PIN_FINAL_TRY);

    EXPECT_EQ(login(h, "99998888"), CKR_PIN_LOCKED);
    EXPECT_TRUE(flags(s) & CKF_USER_PIN_LOCKED);
    ASSERT_EQ(counters(s, CKU_USER, &left, &max), CKR_OK);
    EXPECT_EQ(left, 0u);

    EXPECT_EQ(login(h, "11112222"), CKR_PIN_LOCKED);
    CK_SESSION_INFO si;
    ASSERT_EQ(p->C_GetSessionInfo(h, &si), CKR_OK);
    EXPECT_EQ(si.state, CKS_RW_PUBLIC_SESSION);
    // The lock is in the key, not in this process.
    p->C_Finalize(nullptr);
    ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    h = open(s);
    EXPECT_EQ(login(h, "11112222"), CKR_PIN_LOCKED);
}

TEST_F(Pkcs11Test, RightPinResetsCounterAndLoginStateIsShared)
{
    CK_SLOT_ID s = createKey("KRESET", {"--pin", "11112222", "--max-retries", "4"});
    auto counters = ext<KeysimGetPinCounters_t>("KeysimGetPinCounters");
    CK_SESSION_HANDLE h = open(s), ro = open(s, false);
    EXPECT_EQ(login(h, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, "00000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, "11112222"), CKR_OK);
    unsigned long left = 0, max = 0;
    ASSERT_EQ(counters(s, CKU_USER, &left, &max), CKR_OK);
    EXPECT_EQ(left, 4u);
    EXPECT_FALSE(flags(s) & (CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED));

    CK_SESSION_INFO si;
    ASSERT_EQ(p->C_GetSessionInfo(ro, &si), CKR_OK);
    EXPECT_EQ(si.state, CKS_RO_USER_FUNCTIONS);
    EXPECT_EQ(login(ro, "11112222"), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_EQ(p->C_Logout(h), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(p->C_Login(h, 7, nullptr, 0), CKR_USER_TYPE_INVALID);
    // No PIN on a key without a sensor is a caller error, not a wrong PIN.
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(counters(s, CKU_USER, &left, &max), CKR_OK);
    EXPECT_EQ(left, 4u);
}

TEST_F(Pkcs11Test, ChangingTheInitialPinClearsToBeChanged)
{
    CK_SLOT_ID s = createKey("KCHG01", {"--pin", "11112222"});
    CK_SESSION_HANDLE h = open(s);
    std::string oldPin = "11112222", newPin = "33334444", shortPin = "123";
    auto setPin = [&](std::string o, std::string n) {
        return p->C_SetPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(o.data()), o.size(),
                           reinterpret_cast<CK_UTF8CHAR_PTR>(n.data()), n.size());
    };
    EXPECT_TRUE(flags(s) & CKF_USER_PIN_TO_BE_CHANGED);
    EXPECT_EQ(setPin(oldPin, shortPin), CKR_PIN_LEN_RANGE);
    EXPECT_EQ(setPin("99999999", newPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(setPin(oldPin, newPin), CKR_OK);
    EXPECT_FALSE(flags(s) & CKF_USER_PIN_TO_BE_CHANGED);
    EXPECT_EQ(login(h, oldPin), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, newPin), CKR_OK);
    // Back to the initial PIN: it counts as default again.
    EXPECT_EQ(setPin(newPin, oldPin), CKR_OK);
    EXPECT_TRUE(flags(s) & CKF_USER_PIN_TO_BE_CHANGED);

    CK_SESSION_HANDLE ro = open(s, false);
    EXPECT_EQ(p->C_SetPIN(ro, reinterpret_cast<CK_UTF8CHAR_PTR>(oldPin.data()), oldPin.size(),
                          reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data()), newPin.size()),
              CKR_SESSION_READ_ONLY);
}

TEST_F(Pkcs11Test, SoInitPinUnlocksTheUserPin)
{
    CK_SLOT_ID s = createKey("KSO001", {"--pin", "11112222", "--so-pin", "99990000", "--max-retries", "1"});
    CK_SESSION_HANDLE h = open(s);
    EXPECT_EQ(login(h, "00000000"), CKR_PIN_LOCKED);
    std::string fresh = "55556666";
    EXPECT_EQ(p->C_InitPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(fresh.data()), fresh.size()), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(login(h, "99990000", CKU_SO), CKR_OK);
    EXPECT_EQ(p->C_InitPIN(h, reinterpret_cast<CK_UTF8CHAR_PTR>(fresh.data()), fresh.size()), CKR_OK);
    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_FALSE(flags(s) & CKF_USER_PIN_LOCKED);
    EXPECT_FALSE(flags(s) & CKF_USER_PIN_TO_BE_CHANGED);
    EXPECT_EQ(login(h, fresh), CKR_OK);
}

TEST_F(Pkcs11Test, InitTokenBySoWipesObjectsAndInitialisesTheKey)
{
    CK_SLOT_ID s = createKey("KINIT1", {"--uninitialised", "--so-pin", "99990000"});
    EXPECT_FALSE(flags(s) & (CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED));
    CK_SESSION_HANDLE h = open(s);
    EXPECT_EQ(login(h, "12345678"), CKR_USER_PIN_NOT_INITIALIZED);
    CK_OBJECT_HANDLE o;
    ASSERT_EQ(createData(h, "old", false, true, 4, &o), CKR_OK);
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Fresh", 5);
    std::string so = "99990000", wrong = "00000000";
    EXPECT_EQ(p->C_InitToken(s, (CK_UTF8CHAR_PTR)so.data(), so.size(), label), CKR_SESSION_EXISTS);
    ASSERT_EQ(p->C_CloseSession(h), CKR_OK);
    EXPECT_EQ(p->C_InitToken(s, (CK_UTF8CHAR_PTR)wrong.data(), wrong.size(), label), CKR_PIN_INCORRECT);
    ASSERT_EQ(p->C_InitToken(s, (CK_UTF8CHAR_PTR)so.data(), so.size(), label), CKR_OK);
    CK_TOKEN_INFO ti;
    ASSERT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    EXPECT_TRUE(ti.flags & CKF_TOKEN_INITIALIZED);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ti.label), 5), "Fresh");
    EXPECT_FALSE(ti.flags & CKF_SO_PIN_COUNT_LOW) << "the right SO PIN reset the wrong attempt";
    h = open(s);
    EXPECT_TRUE(findAll(h).empty());
    EXPECT_EQ(login(h, "12345678"), CKR_OK);
}

TEST_F(Pkcs11Test, PrivateObjectsStayHiddenUntilLogin)
{
    CK_SLOT_ID s = createKey("KPRIV1", {"--pin", "11112222"});
    CK_SESSION_HANDLE h = open(s);
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    EXPECT_EQ(createData(h, "secret", true, true, 10, &priv), CKR_USER_NOT_LOGGED_IN);
    ASSERT_EQ(createData(h, "public", false, true, 10, &pub), CKR_OK);
    ASSERT_EQ(login(h, "11112222"), CKR_OK);
    ASSERT_EQ(createData(h, "secret", true, true, 10, &priv), CKR_OK);
    EXPECT_EQ(findAll(h).size(), 2u);

    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_EQ(findAll(h), std::vector<CK_OBJECT_HANDLE>{pub});
    char label[16];
    CK_ATTRIBUTE a = {CKA_LABEL, label, sizeof label};
    EXPECT_EQ(p->C_GetAttributeValue(h, priv, &a, 1), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(p->C_DestroyObject(h, priv), CKR_OBJECT_HANDLE_INVALID);

    // A second process sees the same token objects, the private one only after its own login.
    p->C_Finalize(nullptr);
    ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    h = open(s);
    EXPECT_EQ(findAll(h).size(), 1u);
    ASSERT_EQ(login(h, "11112222"), CKR_OK);
    EXPECT_EQ(findAll(h).size(), 2u);
}

TEST_F(Pkcs11Test, AttributesAreStoredAsGivenAndReadBackByTheRules)
{
    CK_SLOT_ID s = createKey("KATTR1", {"--pin", "11112222"});
    CK_SESSION_HANDLE h = open(s);
    ASSERT_EQ(login(h, "11112222"), CKR_OK);
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE kt = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    CK_BYTE id[] = {0xAB, 0xCD}, secret[] = {1, 2, 3, 4}, modulus[] = {0xC1, 0x01};
    CK_BYTE vendor[] = {9, 9, 9};
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},      {CKA_KEY_TYPE, &kt, sizeof kt},
                        {CKA_TOKEN, &yes, sizeof yes},      {CKA_ID, id, sizeof id},
                        {CKA_PRIVATE_EXPONENT, secret, 4},  {CKA_MODULUS, modulus, 2},
                        {CKA_VENDOR_DEFINED + 7, vendor, 3}};
    CK_OBJECT_HANDLE o = 0;
    ASSERT_EQ(p->C_CreateObject(h, t, 7, &o), CKR_OK);

    CK_ATTRIBUTE q[] = {{CKA_ID, nullptr, 0},
                        {CKA_PRIVATE_EXPONENT, nullptr, 0},
                        {CKA_START_DATE, nullptr, 0},
                        {CKA_VENDOR_DEFINED + 7, nullptr, 0}};
    // Both a sensitive and a missing attribute: either code may be returned, all lengths are set.
    CK_RV rv = p->C_GetAttributeValue(h, o, q, 4);
    EXPECT_TRUE(rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) << rv;
    EXPECT_EQ(q[0].ulValueLen, 2u);
    EXPECT_EQ(q[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(q[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
    EXPECT_EQ(q[3].ulValueLen, 3u);

    CK_BYTE small[1];
    CK_ATTRIBUTE tooSmall = {CKA_ID, small, 1};
    EXPECT_EQ(p->C_GetAttributeValue(h, o, &tooSmall, 1), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooSmall.ulValueLen, CK_UNAVAILABLE_INFORMATION);

    CK_BBOOL priv = CK_FALSE;
    CK_ATTRIBUTE isPriv = {CKA_PRIVATE, &priv, sizeof priv};
    ASSERT_EQ(p->C_GetAttributeValue(h, o, &isPriv, 1), CKR_OK);
    EXPECT_EQ(priv, CK_TRUE) << "private keys are private unless told otherwise";

    // Set: a new label is kept; the class cannot change.
    char label[] = "renamed";
    CK_ATTRIBUTE setLabel = {CKA_LABEL, label, 7};
    EXPECT_EQ(p->C_SetAttributeValue(h, o, &setLabel, 1), CKR_OK);
    CK_OBJECT_CLASS other = CKO_DATA;
    CK_ATTRIBUTE setClass = {CKA_CLASS, &other, sizeof other};
    EXPECT_EQ(p->C_SetAttributeValue(h, o, &setClass, 1), CKR_ATTRIBUTE_READ_ONLY);

    // Search by an attribute value.
    CK_ATTRIBUTE byLabel = {CKA_LABEL, label, 7};
    ASSERT_EQ(p->C_FindObjectsInit(h, &byLabel, 1), CKR_OK);
    EXPECT_EQ(p->C_FindObjectsInit(h, &byLabel, 1), CKR_OPERATION_ACTIVE);
    CK_OBJECT_HANDLE found[4];
    CK_ULONG n = 0;
    ASSERT_EQ(p->C_FindObjects(h, found, 4, &n), CKR_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(found[0], o);
    ASSERT_EQ(p->C_FindObjectsFinal(h), CKR_OK);

    // Malformed templates are refused without storing anything.
    CK_ATTRIBUTE noClass = {CKA_LABEL, label, 7};
    CK_OBJECT_HANDLE x;
    EXPECT_EQ(p->C_CreateObject(h, &noClass, 1, &x), CKR_TEMPLATE_INCOMPLETE);
    CK_BYTE oneByte = 1;
    CK_ATTRIBUTE badClass = {CKA_CLASS, &oneByte, 1};
    EXPECT_EQ(p->C_CreateObject(h, &badClass, 1, &x), CKR_ATTRIBUTE_VALUE_INVALID);
    CK_ATTRIBUTE nullValue = {CKA_CLASS, nullptr, sizeof(CK_ULONG)};
    EXPECT_EQ(p->C_CreateObject(h, &nullValue, 1, &x), CKR_ATTRIBUTE_VALUE_INVALID);
    EXPECT_EQ(p->C_CreateObject(h, t, 1u << 30, &x), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(findAll(h).size(), 1u);
}

TEST_F(Pkcs11Test, RsaPublicKeysStateTheirModulusLength)
{
    CK_SLOT_ID s = createKey("KBITS1");
    CK_SESSION_HANDLE h = open(s);
    auto publicKey = [&](std::vector<CK_BYTE> modulus, const CK_ULONG* statedBits, CK_OBJECT_HANDLE* out) {
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        CK_KEY_TYPE type = CKK_RSA;
        CK_BBOOL yes = CK_TRUE;
        CK_BYTE exponent[] = {1, 0, 1};
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                       {CKA_KEY_TYPE, &type, sizeof type},
                                       {CKA_TOKEN, &yes, sizeof yes},
                                       {CKA_MODULUS, modulus.data(), modulus.size()},
                                       {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent}};
        if (statedBits)
            t.push_back({CKA_MODULUS_BITS, const_cast<CK_ULONG*>(statedBits), sizeof *statedBits});
        return p->C_CreateObject(h, t.data(), t.size(), out);
    };
    auto bitsOf = [&](CK_OBJECT_HANDLE o) {
        CK_ULONG bits = 0;
        CK_ATTRIBUTE a = {CKA_MODULUS_BITS, &bits, sizeof bits};
        EXPECT_EQ(p->C_GetAttributeValue(h, o, &a, 1), CKR_OK);
        return bits;
    };
    // A leading zero byte (a signed integer encoding) is not part of the length.
    std::vector<CK_BYTE> m3072(385, 0xC3);
    m3072[0] = 0;
    std::vector<CK_BYTE> m1023(128, 0x7F);
    const CK_ULONG stated = 2048;
    CK_OBJECT_HANDLE a = 0, b = 0, c = 0;
    ASSERT_EQ(publicKey(m3072, nullptr, &a), CKR_OK);
    ASSERT_EQ(publicKey(m1023, nullptr, &b), CKR_OK);
    ASSERT_EQ(publicKey(std::vector<CK_BYTE>(256, 0xFF), &stated, &c), CKR_OK);
    EXPECT_EQ(3072u, bitsOf(a));
    EXPECT_EQ(1023u, bitsOf(b));
    EXPECT_EQ(2048u, bitsOf(c));
    // Stored with the key: read back by a module that starts afresh.
    p->C_Finalize(nullptr);
    ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    h = open(s);
    for (CK_OBJECT_HANDLE o : findAll(h))
        EXPECT_NE(0u, bitsOf(o));
}

TEST_F(Pkcs11Test, SessionObjectsLiveWithTheirSession)
{
    CK_SLOT_ID s = createKey("KSESS1");
    CK_SESSION_HANDLE a = open(s, false), b = open(s, false);
    CK_OBJECT_HANDLE o = 0;
    ASSERT_EQ(createData(a, "temp", false, false, 4, &o), CKR_OK);
    CK_OBJECT_HANDLE t = 0;
    EXPECT_EQ(createData(a, "tok", false, true, 4, &t), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(findAll(b).size(), 1u) << "session objects are visible to the other sessions";
    ASSERT_EQ(p->C_CloseSession(a), CKR_OK);
    EXPECT_TRUE(findAll(b).empty());
    EXPECT_EQ(p->C_CloseSession(a), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Pkcs11Test, ObjectThatDoesNotFitGivesDeviceMemory)
{
    CK_SLOT_ID s = createKey("KMEM01", {"--total-memory", "8192", "--free-memory", "2000"});
    CK_SESSION_HANDLE h = open(s);
    CK_OBJECT_HANDLE o[4];
    ASSERT_EQ(createData(h, "a", false, true, 800, &o[0]), CKR_OK);
    ASSERT_EQ(createData(h, "b", false, true, 800, &o[1]), CKR_OK);
    CK_TOKEN_INFO ti;
    ASSERT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    EXPECT_LT(ti.ulFreePublicMemory, 400u);
    EXPECT_EQ(createData(h, "c", false, true, 800, &o[2]), CKR_DEVICE_MEMORY);
    EXPECT_EQ(findAll(h).size(), 2u);
    // Growing an object is accounted too.
    std::vector<CK_BYTE> big(1100, 1);
    CK_ATTRIBUTE grow = {CKA_VALUE, big.data(), big.size()};
    EXPECT_EQ(p->C_SetAttributeValue(h, o[0], &grow, 1), CKR_DEVICE_MEMORY);
    // Session objects take no key memory; destroying frees it.
    EXPECT_EQ(createData(h, "s", false, false, 800, &o[3]), CKR_OK);
    ASSERT_EQ(p->C_DestroyObject(h, o[1]), CKR_OK);
    EXPECT_EQ(createData(h, "c", false, true, 800, &o[2]), CKR_OK);
}

TEST_F(Pkcs11Test, PullDuringSessionInvalidatesItsHandles)
{
    CK_SLOT_ID s = createKey("KPULL1", {"--pin", "11112222"});
    CK_SESSION_HANDLE h = open(s);
    ASSERT_EQ(login(h, "11112222"), CKR_OK);
    CK_OBJECT_HANDLE o = 0;
    ASSERT_EQ(createData(h, "x", false, false, 4, &o), CKR_OK);

    tool({"pull", "KPULL1"});
    CK_SESSION_INFO si;
    EXPECT_EQ(p->C_GetSessionInfo(h, &si), CKR_DEVICE_REMOVED);
    EXPECT_EQ(p->C_GetSessionInfo(h, &si), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE again = 0;
    EXPECT_EQ(p->C_OpenSession(s, CKF_SERIAL_SESSION, nullptr, nullptr, &again), CKR_TOKEN_NOT_PRESENT);
    EXPECT_TRUE(slots().empty());

    // Re-plugging gives a new plug: old handles stay dead and the login is gone.
    tool({"plug", "KPULL1"});
    EXPECT_EQ(p->C_GetSessionInfo(h, &si), CKR_SESSION_HANDLE_INVALID);
    CK_SESSION_HANDLE fresh = open(s);
    ASSERT_EQ(p->C_GetSessionInfo(fresh, &si), CKR_OK);
    EXPECT_EQ(si.state, CKS_RW_PUBLIC_SESSION);
    EXPECT_TRUE(findAll(fresh).empty());
}

TEST_F(Pkcs11Test, PullAndReplugBetweenCallsIsStillARemoval)
{
    CK_SLOT_ID s = createKey("KPULL2");
    CK_SESSION_HANDLE h = open(s);
    tool({"pull", "KPULL2"});
    tool({"plug", "KPULL2"});
    CK_SESSION_INFO si;
    EXPECT_EQ(p->C_GetSessionInfo(h, &si), CKR_DEVICE_REMOVED);
}

TEST_F(Pkcs11Test, FaultSwitches)
{
    CK_SLOT_ID s = createKey("KFAULT");
    tool({"fault", "KFAULT", "--info-fails", "on"});
    CK_TOKEN_INFO ti;
    EXPECT_EQ(p->C_GetTokenInfo(s, &ti), CKR_DEVICE_ERROR);
    tool({"fault", "KFAULT", "--info-fails", "off", "--connect-fails", "on"});
    EXPECT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    CK_SESSION_HANDLE h = 0;
    EXPECT_EQ(p->C_OpenSession(s, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_DEVICE_ERROR);
    tool({"fault", "KFAULT", "--clear", "--visible-after", "1000"});
    tool({"pull", "KFAULT"});
    tool({"plug", "KFAULT"});
    const auto plugged = std::chrono::steady_clock::now();
    EXPECT_TRUE(slots().empty()) << "bus file exists but the key is still starting";
    while (slots().empty() && std::chrono::steady_clock::now() - plugged < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(std::chrono::steady_clock::now() - plugged, std::chrono::milliseconds(500));
    EXPECT_EQ(slots(), std::vector<CK_SLOT_ID>{s});
    EXPECT_EQ(p->C_OpenSession(s, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
}

TEST_F(Pkcs11Test, ExtensionsGiveLabelSerialAndLimits)
{
    CK_SLOT_ID s = createKey("KEXT0123456789ABCDEF", {"--vid", "1ea8", "--pid", "c005"});
    auto setLabel = ext<KeysimSetTokenLabel_t>("KeysimSetTokenLabel");
    auto getLabel = ext<KeysimGetTokenLabel_t>("KeysimGetTokenLabel");
    auto getSerial = ext<KeysimGetSerialNumber_t>("KeysimGetSerialNumber");
    auto usb = ext<KeysimGetUsbIds_t>("KeysimGetUsbIds");
    auto lengths = ext<KeysimGetPinLengths_t>("KeysimGetPinLengths");
    ASSERT_TRUE(setLabel && getLabel && getSerial && usb && lengths);

    // 11 three-byte characters: the token info cuts at 30 bytes, the extension keeps all 33.
    std::string label;
    for (int i = 0; i < 11; ++i)
        label += "\xE5\xAF\x86";
    ASSERT_EQ(setLabel(s, label.c_str()), CKR_OK);
    unsigned long len = 0;
    ASSERT_EQ(getLabel(s, nullptr, &len), CKR_OK);
    EXPECT_EQ(len, label.size() + 1);
    std::vector<char> buf(len);
    ASSERT_EQ(getLabel(s, buf.data(), &len), CKR_OK);
    EXPECT_EQ(std::string(buf.data()), label);
    CK_TOKEN_INFO ti;
    ASSERT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ti.label), 32), label.substr(0, 30) + "  ");
    EXPECT_EQ(setLabel(s, std::string(200, 'x').c_str()), CKR_ARGUMENTS_BAD);

    char small[4];
    len = sizeof small;
    EXPECT_EQ(getSerial(s, small, &len), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 21u);
    char serial[64];
    len = sizeof serial;
    ASSERT_EQ(getSerial(s, serial, &len), CKR_OK);
    EXPECT_STREQ(serial, "KEXT0123456789ABCDEF");

    unsigned long vid = 0, pid = 0, mn = 0, mx = 0;
    ASSERT_EQ(usb(s, &vid, &pid), CKR_OK);
    EXPECT_EQ(vid, 0x1EA8u);
    EXPECT_EQ(pid, 0xC005u);
    ASSERT_EQ(lengths(s, CKU_SO, &mn, &mx), CKR_OK);
    EXPECT_EQ(mn, 6u);
    EXPECT_EQ(mx, 16u);
    EXPECT_EQ(lengths(s, 5, &mn, &mx), CKR_USER_TYPE_INVALID);
    EXPECT_EQ(lengths(777, CKU_USER, &mn, &mx), CKR_SLOT_ID_INVALID);
}

TEST_F(Pkcs11Test, SensorLoginWaitsForAnEnrolledFinger)
{
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "400", 1);
    CK_SLOT_ID s = createKey("KFING1", {"--sensor", "fingerprint", "--fingers", "2,7", "--finger-retries", "3"});
    CK_SESSION_HANDLE h = open(s);

    std::thread presenter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        tool({"present-finger", "KFING1", "7"});
    });
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "5000", 1);
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
    presenter.join();
    ASSERT_EQ(p->C_Logout(h), CKR_OK);

    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "300", 1);
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED) << "nobody presents a finger";
    tool({"present-finger", "KFING1", "none"});
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED);
    tool({"present-finger", "KFING1", "4"});
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    tool({"present-finger", "KFING1", "4"});
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);
    tool({"present-finger", "KFING1", "4"});
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_LOCKED);
    tool({"present-finger", "KFING1", "2"});
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_LOCKED) << "locked finger counter refuses a match";
    // The user PIN is a separate counter and still works.
    EXPECT_EQ(login(h, "12345678"), CKR_OK);
}

TEST_F(Pkcs11Test, OtherThreadsAreServedWhileALoginWaitsForAFinger)
{
    ::setenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "4000", 1);
    CK_SLOT_ID s = createKey("KFING2", {"--sensor", "fingerprint", "--fingers", "1"});
    CK_SESSION_HANDLE h = open(s);
    std::atomic<CK_RV> rv{CKR_GENERAL_ERROR};
    std::thread waiter([&] { rv = p->C_Login(h, CKU_USER, nullptr, 0); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(slots(), std::vector<CK_SLOT_ID>{s});
    CK_TOKEN_INFO ti;
    EXPECT_EQ(p->C_GetTokenInfo(s, &ti), CKR_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    tool({"present-finger", "KFING2", "1"});
    waiter.join();
    EXPECT_EQ(rv.load(), CKR_OK);
    CK_SESSION_INFO si;
    ASSERT_EQ(p->C_GetSessionInfo(h, &si), CKR_OK);
    EXPECT_EQ(si.state, CKS_RW_USER_FUNCTIONS);

    // Pulling the key ends a wait at once.
    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    const auto t0b = std::chrono::steady_clock::now();
    std::thread puller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        tool({"pull", "KFING2"});
    });
    EXPECT_EQ(p->C_Login(h, CKU_USER, nullptr, 0), CKR_DEVICE_REMOVED);
    puller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0b, std::chrono::seconds(3));
}

TEST_F(Pkcs11Test, GeneratedKeysSignAndTheSignaturesVerify)
{
    CK_SLOT_ID s = createKey("KSIGN1", {"--pin", "11112222", "--total-memory", "200000", "--free-memory", "190000"});
    CK_SESSION_HANDLE h = open(s);
    ASSERT_EQ(login(h, "11112222"), CKR_OK);
    CK_BBOOL yes = CK_TRUE;
    CK_ULONG bits = 2048;
    CK_BYTE id[] = {1};
    CK_ATTRIBUTE pubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_ID, id, 1}};
    CK_ATTRIBUTE privT[] = {{CKA_TOKEN, &yes, 1}, {CKA_SIGN, &yes, 1}, {CKA_ID, id, 1}};
    CK_MECHANISM rsaGen = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE pub = 0, priv = 0;
    ASSERT_EQ(p->C_GenerateKeyPair(h, &rsaGen, pubT, 3, privT, 3, &pub, &priv), CKR_OK);

    std::vector<CK_BYTE> modulus(256), exponent(8);
    CK_ATTRIBUTE rsaPub[] = {{CKA_MODULUS, modulus.data(), modulus.size()},
                             {CKA_PUBLIC_EXPONENT, exponent.data(), exponent.size()}};
    ASSERT_EQ(p->C_GetAttributeValue(h, pub, rsaPub, 2), CKR_OK);
    exponent.resize(rsaPub[1].ulValueLen);
    CK_ATTRIBUTE secret = {CKA_PRIVATE_EXPONENT, nullptr, 0};
    EXPECT_EQ(p->C_GetAttributeValue(h, priv, &secret, 1), CKR_ATTRIBUTE_SENSITIVE);

    const std::string msg = "document to sign";
    CK_MECHANISM sha256Rsa = {CKM_SHA256_RSA_PKCS, nullptr, 0};
    ASSERT_EQ(p->C_SignInit(h, &sha256Rsa, priv), CKR_OK);
    CK_ULONG sigLen = 0;
    ASSERT_EQ(p->C_Sign(h, (CK_BYTE_PTR)msg.data(), msg.size(), nullptr, &sigLen), CKR_OK);
    EXPECT_EQ(sigLen, 256u);
    std::vector<CK_BYTE> sig(sigLen);
    ASSERT_EQ(p->C_Sign(h, (CK_BYTE_PTR)msg.data(), msg.size(), sig.data(), &sigLen), CKR_OK);

    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    BIGNUM* n = BN_bin2bn(modulus.data(), 256, nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* fctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* rsa = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(fctx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(fctx, &rsa, EVP_PKEY_PUBLIC_KEY, params), 1);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, rsa), 1);
    EXPECT_EQ(EVP_DigestVerify(md, sig.data(), sig.size(), (const unsigned char*)msg.data(), msg.size()), 1);
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(rsa);
    EVP_PKEY_CTX_free(fctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(n);
    BN_free(e);

    // EC P-256 with CKM_ECDSA over a digest: r || s of 64 bytes that OpenSSL accepts.
    CK_BYTE p256[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
    CK_ATTRIBUTE ecPubT[] = {{CKA_TOKEN, &yes, 1}, {CKA_EC_PARAMS, p256, sizeof p256}};
    CK_MECHANISM ecGen = {CKM_EC_KEY_PAIR_GEN, nullptr, 0};
    ASSERT_EQ(p->C_GenerateKeyPair(h, &ecGen, ecPubT, 2, privT, 3, &pub, &priv), CKR_OK);
    CK_BYTE point[80];
    CK_ATTRIBUTE ecPoint = {CKA_EC_POINT, point, sizeof point};
    ASSERT_EQ(p->C_GetAttributeValue(h, pub, &ecPoint, 1), CKR_OK);
    ASSERT_EQ(ecPoint.ulValueLen, 67u);
    ASSERT_EQ(point[0], 0x04);

    CK_BYTE digest[32];
    unsigned int dl = 0;
    EVP_Digest(msg.data(), msg.size(), digest, &dl, EVP_sha256(), nullptr);
    CK_MECHANISM ecdsa = {CKM_ECDSA, nullptr, 0};
    ASSERT_EQ(p->C_SignInit(h, &ecdsa, priv), CKR_OK);
    CK_BYTE ecSig[64];
    sigLen = sizeof ecSig;
    ASSERT_EQ(p->C_Sign(h, digest, 32, ecSig, &sigLen), CKR_OK);
    ASSERT_EQ(sigLen, 64u);

    OSSL_PARAM_BLD* eb = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(eb, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(eb, OSSL_PKEY_PARAM_PUB_KEY, point + 2, 65);
    OSSL_PARAM* ep = OSSL_PARAM_BLD_to_param(eb);
    EVP_PKEY_CTX* ectx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* ec = nullptr;
    ASSERT_EQ(EVP_PKEY_fromdata_init(ectx), 1);
    ASSERT_EQ(EVP_PKEY_fromdata(ectx, &ec, EVP_PKEY_PUBLIC_KEY, ep), 1);
    ECDSA_SIG* es = ECDSA_SIG_new();
    ECDSA_SIG_set0(es, BN_bin2bn(ecSig, 32, nullptr), BN_bin2bn(ecSig + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int derLen = i2d_ECDSA_SIG(es, &der);
    EVP_PKEY_CTX* vctx = EVP_PKEY_CTX_new_from_pkey(nullptr, ec, nullptr);
    ASSERT_EQ(EVP_PKEY_verify_init(vctx), 1);
    EXPECT_EQ(EVP_PKEY_verify(vctx, der, derLen, digest, 32), 1);
    OPENSSL_free(der);
    ECDSA_SIG_free(es);
    EVP_PKEY_CTX_free(vctx);
    EVP_PKEY_free(ec);
    EVP_PKEY_CTX_free(ectx);
    OSSL_PARAM_free(ep);
    OSSL_PARAM_BLD_free(eb);

    // A key of the wrong type for the mechanism is refused.
    EXPECT_EQ(p->C_SignInit(h, &sha256Rsa, priv), CKR_KEY_TYPE_INCONSISTENT);
    // After logout the private key cannot be used.
    ASSERT_EQ(p->C_Logout(h), CKR_OK);
    EXPECT_EQ(p->C_SignInit(h, &ecdsa, priv), CKR_KEY_HANDLE_INVALID);
}

TEST_F(Pkcs11Test, LibraryRulesAndUnsupportedFunctions)
{
    CK_SLOT_ID s = createKey("KRULES");
    EXPECT_EQ(p->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_SESSION_HANDLE h = open(s);
    CK_MECHANISM m = {CKM_SHA256, nullptr, 0};
    EXPECT_EQ(p->C_DigestInit(h, &m), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(p->C_VerifyInit(h, &m, 1), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(p->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    CK_SESSION_HANDLE x;
    EXPECT_EQ(p->C_OpenSession(s, CKF_RW_SESSION, nullptr, nullptr, &x), CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    CK_BYTE rnd[16] = {};
    EXPECT_EQ(p->C_GenerateRandom(h, rnd, sizeof rnd), CKR_OK);
    CK_INFO info;
    ASSERT_EQ(p->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 40);
    ASSERT_EQ(p->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(p->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p->C_GetSessionInfo(h, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(p->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_INFO si;
    EXPECT_EQ(p->C_GetSessionInfo(h, &si), CKR_SESSION_HANDLE_INVALID);
}

} // namespace

namespace {
class BoundaryTest : public Pkcs11Test
{};

TEST_F(BoundaryTest, DamagedKeysAndFailingWritesGiveCodesNotCrashes)
{
    CK_SLOT_ID good = createKey("KGOOD1", {"--pin", "11112222"});
    CK_SLOT_ID bad = createKey("KBAD01");
    {
        std::ofstream(m_dir + "/keys/KBAD01/key.conf") << "this is not a key record\n";
    }
    EXPECT_EQ(slots(), std::vector<CK_SLOT_ID>{good}) << "a damaged key is skipped, the others stay";
    CK_TOKEN_INFO ti;
    EXPECT_EQ(p->C_GetTokenInfo(bad, &ti), CKR_SLOT_ID_INVALID);

    // The key's lock cannot be taken: the C boundary turns the failure into CKR_GENERAL_ERROR.
    CK_SESSION_HANDLE h = open(good);
    std::filesystem::remove(m_dir + "/keys/KGOOD1/lock");
    std::filesystem::create_directory(m_dir + "/keys/KGOOD1/lock");
    EXPECT_EQ(login(h, "11112222"), CKR_GENERAL_ERROR);
    std::filesystem::remove(m_dir + "/keys/KGOOD1/lock");
    EXPECT_EQ(login(h, "11112222"), CKR_OK);
}
} // namespace
