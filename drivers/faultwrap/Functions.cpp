// SPDX-License-Identifier: Apache-2.0
// The functions the wrapper forwards and the forwarding functions themselves. One template,
// Forwarder<&CK_FUNCTION_LIST::C_Name>, makes the forwarding function of every member of the
// function list: it takes the member's own parameters, hands the call to FaultWrapper::run and
// calls the same member of the real module's list.
#include "Functions.h"

#include "FaultWrapper.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

namespace faultwrap {
namespace {

// The longest template C_CreateObject is searched for its object class.
constexpr CK_ULONG kMaxTemplateScan = 4096;

// True when a C_CreateObject template writes a private key.
bool createsPrivateKey(CK_SESSION_HANDLE, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR)
{
    if (!tmpl)
        return false;
    for (CK_ULONG i = 0; i < std::min(count, kMaxTemplateScan); ++i) {
        const CK_ATTRIBUTE& a = tmpl[i];
        if (a.type != CKA_CLASS || !a.pValue || a.ulValueLen != sizeof(CK_OBJECT_CLASS))
            continue;
        return *static_cast<const CK_OBJECT_CLASS*>(a.pValue) == CKO_PRIVATE_KEY;
    }
    return false;
}

// The kind of one call: the function's own, except that C_CreateObject of a private key is a
// private-key write and that C_GenerateKeyPair takes its kind from its mechanism.
template <auto Field, class... Args>
CallKind kindOf(int id, Args... args)
{
    if constexpr (std::is_same_v<decltype(Field), decltype(&CK_FUNCTION_LIST::C_CreateObject)>) {
        if (Field == &CK_FUNCTION_LIST::C_CreateObject && createsPrivateKey(args...))
            return CallKind::PrivateWrite;
    }
    if constexpr (std::is_same_v<decltype(Field), decltype(&CK_FUNCTION_LIST::C_GenerateKeyPair)>) {
        if (Field == &CK_FUNCTION_LIST::C_GenerateKeyPair)
            return generationKind(std::get<1>(std::make_tuple(args...)));
    }
    return functions()[static_cast<size_t>(id)].kind;
}

template <auto Field,
          class Signature =
              std::remove_pointer_t<std::remove_cvref_t<decltype(std::declval<CK_FUNCTION_LIST&>().*Field)>>>
struct Forwarder;

// The forwarding function of one member of CK_FUNCTION_LIST.
template <auto Field, class... Args>
struct Forwarder<Field, CK_RV(Args...)>
{
    // The function's index in functions(), set when the list is built (before it is handed out).
    static inline int id = -1;

    static CK_RV call(Args... args)
    {
        try {
            FaultWrapper& w = FaultWrapper::instance();
            const RealModule* real = w.real();
            if (!real)
                return CKR_GENERAL_ERROR;
            const CK_FUNCTION_LIST& f = real->functions();
            return w.run(id, kindOf<Field>(id, args...), [&] { return (f.*Field)(args...); });
        } catch (...) {
            return CKR_GENERAL_ERROR;
        }
    }
};

using Installer = void (*)(const CK_FUNCTION_LIST& real, CK_FUNCTION_LIST& out, int id);

template <auto Field>
void forward(const CK_FUNCTION_LIST& real, CK_FUNCTION_LIST& out, int id)
{
    Forwarder<Field>::id = id;
    out.*Field = real.*Field ? &Forwarder<Field>::call : nullptr;
}

// C_GetFunctionList of our list is our own: the real one would hand out the real list.
void ownGetFunctionList(const CK_FUNCTION_LIST&, CK_FUNCTION_LIST& out, int)
{
    out.C_GetFunctionList = &C_GetFunctionList;
}

struct Entry
{
    FunctionInfo info;
    Installer install = nullptr; // null for the vendor extensions, which are exported by name
};

constexpr CallKind P = CallKind::Plain, W = CallKind::Write, PW = CallKind::PrivateWrite, C = CallKind::Crypto,
                   L = CallKind::Login;

// The members of CK_FUNCTION_LIST in their order, then the vendor extensions.
constexpr Entry kEntries[] = {
    {{"C_Initialize", P, false}, forward<&CK_FUNCTION_LIST::C_Initialize>},
    {{"C_Finalize", P, false}, forward<&CK_FUNCTION_LIST::C_Finalize>},
    {{"C_GetInfo", P, false}, forward<&CK_FUNCTION_LIST::C_GetInfo>},
    {{"C_GetFunctionList", P, false}, ownGetFunctionList},
    {{"C_GetSlotList", P}, forward<&CK_FUNCTION_LIST::C_GetSlotList>},
    {{"C_GetSlotInfo", P}, forward<&CK_FUNCTION_LIST::C_GetSlotInfo>},
    {{"C_GetTokenInfo", P}, forward<&CK_FUNCTION_LIST::C_GetTokenInfo>},
    {{"C_GetMechanismList", P}, forward<&CK_FUNCTION_LIST::C_GetMechanismList>},
    {{"C_GetMechanismInfo", P}, forward<&CK_FUNCTION_LIST::C_GetMechanismInfo>},
    {{"C_InitToken", P}, forward<&CK_FUNCTION_LIST::C_InitToken>},
    {{"C_InitPIN", L}, forward<&CK_FUNCTION_LIST::C_InitPIN>},
    {{"C_SetPIN", L}, forward<&CK_FUNCTION_LIST::C_SetPIN>},
    {{"C_OpenSession", P}, forward<&CK_FUNCTION_LIST::C_OpenSession>},
    {{"C_CloseSession", P}, forward<&CK_FUNCTION_LIST::C_CloseSession>},
    {{"C_CloseAllSessions", P}, forward<&CK_FUNCTION_LIST::C_CloseAllSessions>},
    {{"C_GetSessionInfo", P}, forward<&CK_FUNCTION_LIST::C_GetSessionInfo>},
    {{"C_GetOperationState", P}, forward<&CK_FUNCTION_LIST::C_GetOperationState>},
    {{"C_SetOperationState", P}, forward<&CK_FUNCTION_LIST::C_SetOperationState>},
    {{"C_Login", L}, forward<&CK_FUNCTION_LIST::C_Login>},
    {{"C_Logout", P}, forward<&CK_FUNCTION_LIST::C_Logout>},
    {{"C_CreateObject", W}, forward<&CK_FUNCTION_LIST::C_CreateObject>},
    {{"C_CopyObject", W}, forward<&CK_FUNCTION_LIST::C_CopyObject>},
    {{"C_DestroyObject", W}, forward<&CK_FUNCTION_LIST::C_DestroyObject>},
    {{"C_GetObjectSize", P}, forward<&CK_FUNCTION_LIST::C_GetObjectSize>},
    {{"C_GetAttributeValue", P}, forward<&CK_FUNCTION_LIST::C_GetAttributeValue>},
    {{"C_SetAttributeValue", W}, forward<&CK_FUNCTION_LIST::C_SetAttributeValue>},
    {{"C_FindObjectsInit", P}, forward<&CK_FUNCTION_LIST::C_FindObjectsInit>},
    {{"C_FindObjects", P}, forward<&CK_FUNCTION_LIST::C_FindObjects>},
    {{"C_FindObjectsFinal", P}, forward<&CK_FUNCTION_LIST::C_FindObjectsFinal>},
    {{"C_EncryptInit", P}, forward<&CK_FUNCTION_LIST::C_EncryptInit>},
    {{"C_Encrypt", P}, forward<&CK_FUNCTION_LIST::C_Encrypt>},
    {{"C_EncryptUpdate", P}, forward<&CK_FUNCTION_LIST::C_EncryptUpdate>},
    {{"C_EncryptFinal", P}, forward<&CK_FUNCTION_LIST::C_EncryptFinal>},
    {{"C_DecryptInit", P}, forward<&CK_FUNCTION_LIST::C_DecryptInit>},
    {{"C_Decrypt", C}, forward<&CK_FUNCTION_LIST::C_Decrypt>},
    {{"C_DecryptUpdate", P}, forward<&CK_FUNCTION_LIST::C_DecryptUpdate>},
    {{"C_DecryptFinal", C}, forward<&CK_FUNCTION_LIST::C_DecryptFinal>},
    {{"C_DigestInit", P}, forward<&CK_FUNCTION_LIST::C_DigestInit>},
    {{"C_Digest", P}, forward<&CK_FUNCTION_LIST::C_Digest>},
    {{"C_DigestUpdate", P}, forward<&CK_FUNCTION_LIST::C_DigestUpdate>},
    {{"C_DigestKey", P}, forward<&CK_FUNCTION_LIST::C_DigestKey>},
    {{"C_DigestFinal", P}, forward<&CK_FUNCTION_LIST::C_DigestFinal>},
    {{"C_SignInit", P}, forward<&CK_FUNCTION_LIST::C_SignInit>},
    {{"C_Sign", C}, forward<&CK_FUNCTION_LIST::C_Sign>},
    {{"C_SignUpdate", P}, forward<&CK_FUNCTION_LIST::C_SignUpdate>},
    {{"C_SignFinal", C}, forward<&CK_FUNCTION_LIST::C_SignFinal>},
    {{"C_SignRecoverInit", P}, forward<&CK_FUNCTION_LIST::C_SignRecoverInit>},
    {{"C_SignRecover", C}, forward<&CK_FUNCTION_LIST::C_SignRecover>},
    {{"C_VerifyInit", P}, forward<&CK_FUNCTION_LIST::C_VerifyInit>},
    {{"C_Verify", P}, forward<&CK_FUNCTION_LIST::C_Verify>},
    {{"C_VerifyUpdate", P}, forward<&CK_FUNCTION_LIST::C_VerifyUpdate>},
    {{"C_VerifyFinal", P}, forward<&CK_FUNCTION_LIST::C_VerifyFinal>},
    {{"C_VerifyRecoverInit", P}, forward<&CK_FUNCTION_LIST::C_VerifyRecoverInit>},
    {{"C_VerifyRecover", P}, forward<&CK_FUNCTION_LIST::C_VerifyRecover>},
    {{"C_DigestEncryptUpdate", P}, forward<&CK_FUNCTION_LIST::C_DigestEncryptUpdate>},
    {{"C_DecryptDigestUpdate", P}, forward<&CK_FUNCTION_LIST::C_DecryptDigestUpdate>},
    {{"C_SignEncryptUpdate", P}, forward<&CK_FUNCTION_LIST::C_SignEncryptUpdate>},
    {{"C_DecryptVerifyUpdate", P}, forward<&CK_FUNCTION_LIST::C_DecryptVerifyUpdate>},
    {{"C_GenerateKey", P}, forward<&CK_FUNCTION_LIST::C_GenerateKey>},
    {{"C_GenerateKeyPair", PW}, forward<&CK_FUNCTION_LIST::C_GenerateKeyPair>},
    {{"C_WrapKey", P}, forward<&CK_FUNCTION_LIST::C_WrapKey>},
    {{"C_UnwrapKey", PW}, forward<&CK_FUNCTION_LIST::C_UnwrapKey>},
    {{"C_DeriveKey", P}, forward<&CK_FUNCTION_LIST::C_DeriveKey>},
    {{"C_SeedRandom", P}, forward<&CK_FUNCTION_LIST::C_SeedRandom>},
    {{"C_GenerateRandom", P}, forward<&CK_FUNCTION_LIST::C_GenerateRandom>},
    {{"C_GetFunctionStatus", P}, forward<&CK_FUNCTION_LIST::C_GetFunctionStatus>},
    {{"C_CancelFunction", P}, forward<&CK_FUNCTION_LIST::C_CancelFunction>},
    {{"C_WaitForSlotEvent", P}, forward<&CK_FUNCTION_LIST::C_WaitForSlotEvent>},
    {{"KeysimGetPinCounters", P}},
    {{"KeysimGetPinLengths", P}},
    {{"KeysimSetTokenLabel", P}},
    {{"KeysimGetTokenLabel", P}},
    {{"KeysimGetSerialNumber", P}},
    {{"KeysimGetUsbIds", P}},
};

// Every member of the list after its version has an entry with an installer, in order.
constexpr size_t kListMembers = (sizeof(CK_FUNCTION_LIST) - sizeof(CK_VERSION)) / sizeof(CK_C_Initialize);
static_assert(kListMembers == 68);
// Six vendor extensions follow the list members; a member left out shortens the table.
// (Comparing the installers' addresses is not a constant expression under the sanitizers.)
static_assert(std::size(kEntries) == kListMembers + 6);

const std::array<FunctionInfo, std::size(kEntries)>& infos()
{
    static const auto table = [] {
        std::array<FunctionInfo, std::size(kEntries)> out{};
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = kEntries[i].info;
        return out;
    }();
    return table;
}

} // namespace

CallKind generationKind(const CK_MECHANISM* mechanism)
{
    if (mechanism &&
        (mechanism->mechanism == CKM_RSA_PKCS_KEY_PAIR_GEN || mechanism->mechanism == CKM_RSA_X9_31_KEY_PAIR_GEN))
        return CallKind::RsaKeyGen;
    return CallKind::PrivateWrite;
}

std::span<const FunctionInfo> functions()
{
    return infos();
}

std::optional<int> functionId(std::string_view name)
{
    for (size_t i = 0; i < std::size(kEntries); ++i)
        if (kEntries[i].info.name == name)
            return static_cast<int>(i);
    return std::nullopt;
}

void buildForwardingList(const CK_FUNCTION_LIST& real, CK_FUNCTION_LIST& out)
{
    out = CK_FUNCTION_LIST{};
    out.version = real.version;
    for (size_t i = 0; i < std::size(kEntries); ++i)
        if (kEntries[i].install)
            kEntries[i].install(real, out, static_cast<int>(i));
}

} // namespace faultwrap
