// SPDX-License-Identifier: Apache-2.0
// The C boundary of libkeysim-pkcs11.so: every entry point takes the module lock, checks that the
// library is initialised, delegates to Pkcs11Module and turns any exception into
// CKR_GENERAL_ERROR, so nothing thrown ever crosses into the caller.
#include "../keysim_ext.h"
#include "Pkcs11Module.h"

#include <mutex>

using keysim::Pkcs11Module;

namespace {
template <typename F>
CK_RV guarded(F&& f)
{
    try {
        Pkcs11Module& m = Pkcs11Module::instance();
        std::lock_guard<std::recursive_mutex> lock(m.mutex());
        if (!m.initialised())
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        return f(m);
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_FUNCTION_LIST& functionList();
} // namespace

#define KX_CALL(expr) return guarded([&](Pkcs11Module& m) { return m.expr; })
#define KX_UNSUPPORTED return guarded([](Pkcs11Module&) { return CK_RV(CKR_FUNCTION_NOT_SUPPORTED); })

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR args)
{
    try {
        Pkcs11Module& m = Pkcs11Module::instance();
        std::lock_guard<std::recursive_mutex> lock(m.mutex());
        return m.initialize(args);
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

CK_RV C_Finalize(CK_VOID_PTR reserved)
{
    KX_CALL(finalize(reserved));
}

CK_RV C_GetInfo(CK_INFO_PTR info)
{
    KX_CALL(getInfo(info));
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out)
{
    if (!out)
        return CKR_ARGUMENTS_BAD;
    *out = &functionList();
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count)
{
    KX_CALL(getSlotList(present, list, count));
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info)
{
    KX_CALL(getSlotInfo(slot, info));
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info)
{
    KX_CALL(getTokenInfo(slot, info));
}

CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count)
{
    KX_CALL(getMechanismList(slot, list, count));
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info)
{
    KX_CALL(getMechanismInfo(slot, type, info));
}

CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR pin, CK_ULONG len, CK_UTF8CHAR_PTR label)
{
    KX_CALL(initToken(slot, pin, len, label));
}

CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    KX_CALL(initPin(h, pin, len));
}

CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLen, CK_UTF8CHAR_PTR newPin, CK_ULONG newLen)
{
    KX_CALL(setPin(h, oldPin, oldLen, newPin, newLen));
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR out)
{
    KX_CALL(openSession(slot, flags, out));
}

CK_RV C_CloseSession(CK_SESSION_HANDLE h)
{
    KX_CALL(closeSession(h));
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot)
{
    KX_CALL(closeAllSessions(slot));
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info)
{
    KX_CALL(getSessionInfo(h, info));
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_SetOperationState(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE)
{
    KX_UNSUPPORTED;
}

CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG len)
{
    KX_CALL(login(h, type, pin, len));
}

CK_RV C_Logout(CK_SESSION_HANDLE h)
{
    KX_CALL(logout(h));
}

CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR out)
{
    KX_CALL(createObject(h, tmpl, count, out));
}

CK_RV C_CopyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count,
                   CK_OBJECT_HANDLE_PTR out)
{
    KX_CALL(copyObject(h, obj, tmpl, count, out));
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj)
{
    KX_CALL(destroyObject(h, obj));
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size)
{
    KX_CALL(getObjectSize(h, obj, size));
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    KX_CALL(getAttributeValue(h, obj, tmpl, count));
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    KX_CALL(setAttributeValue(h, obj, tmpl, count));
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count)
{
    KX_CALL(findObjectsInit(h, tmpl, count));
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count)
{
    KX_CALL(findObjects(h, out, max, count));
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h)
{
    KX_CALL(findObjectsFinal(h));
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    KX_CALL(encryptInit(h, mech, key));
}

CK_RV C_Encrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    KX_CALL(encrypt(h, data, len, out, outLen));
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    KX_CALL(decryptInit(h, mech, key));
}

CK_RV C_Decrypt(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    KX_CALL(decrypt(h, data, len, out, outLen));
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DigestInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_Digest(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
{
    KX_UNSUPPORTED;
}

CK_RV C_DigestKey(CK_SESSION_HANDLE, CK_OBJECT_HANDLE)
{
    KX_UNSUPPORTED;
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key)
{
    KX_CALL(signInit(h, mech, key));
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    KX_CALL(sign(h, data, len, sig, sigLen));
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len)
{
    KX_CALL(signUpdate(h, data, len));
}

CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG_PTR sigLen)
{
    KX_CALL(signFinal(h, sig, sigLen));
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
{
    KX_UNSUPPORTED;
}

CK_RV C_SignRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
{
    KX_UNSUPPORTED;
}

CK_RV C_Verify(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG)
{
    KX_UNSUPPORTED;
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
{
    KX_UNSUPPORTED;
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
{
    KX_UNSUPPORTED;
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
{
    KX_UNSUPPORTED;
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR pubTmpl, CK_ULONG pubCount,
                        CK_ATTRIBUTE_PTR privTmpl, CK_ULONG privCount, CK_OBJECT_HANDLE_PTR pub,
                        CK_OBJECT_HANDLE_PTR priv)
{
    KX_CALL(generateKeyPair(h, mech, pubTmpl, pubCount, privTmpl, privCount, pub, priv));
}

CK_RV C_WrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR)
{
    KX_UNSUPPORTED;
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE base, CK_ATTRIBUTE_PTR tmpl,
                  CK_ULONG count, CK_OBJECT_HANDLE_PTR out)
{
    KX_CALL(deriveKey(h, mech, base, tmpl, count, out));
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
{
    KX_UNSUPPORTED;
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG len)
{
    KX_CALL(generateRandom(h, out, len));
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE)
{
    return guarded([](Pkcs11Module&) { return CK_RV(CKR_FUNCTION_NOT_PARALLEL); });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE)
{
    return guarded([](Pkcs11Module&) { return CK_RV(CKR_FUNCTION_NOT_PARALLEL); });
}

// Vendor extensions (keysim_ext.h).

unsigned long KeysimGetPinCounters(unsigned long slot, unsigned long type, unsigned long* left, unsigned long* max)
{
    KX_CALL(pinCounters(slot, type, left, max));
}

unsigned long KeysimGetPinLengths(unsigned long slot, unsigned long type, unsigned long* minLen, unsigned long* maxLen)
{
    KX_CALL(getPinLengths(slot, type, minLen, maxLen));
}

unsigned long KeysimSetTokenLabel(unsigned long slot, const char* label)
{
    KX_CALL(setTokenLabel(slot, label));
}

unsigned long KeysimGetTokenLabel(unsigned long slot, char* buf, unsigned long* len)
{
    KX_CALL(getTokenLabel(slot, buf, len));
}

unsigned long KeysimGetSerialNumber(unsigned long slot, char* buf, unsigned long* len)
{
    KX_CALL(getSerialNumber(slot, buf, len));
}

unsigned long KeysimGetUsbIds(unsigned long slot, unsigned long* vid, unsigned long* pid)
{
    KX_CALL(getUsbIds(slot, vid, pid));
}

} // extern "C"

namespace {
CK_FUNCTION_LIST& functionList()
{
    static CK_FUNCTION_LIST list = {
        {2, 40},
        C_Initialize,
        C_Finalize,
        C_GetInfo,
        C_GetFunctionList,
        C_GetSlotList,
        C_GetSlotInfo,
        C_GetTokenInfo,
        C_GetMechanismList,
        C_GetMechanismInfo,
        C_InitToken,
        C_InitPIN,
        C_SetPIN,
        C_OpenSession,
        C_CloseSession,
        C_CloseAllSessions,
        C_GetSessionInfo,
        C_GetOperationState,
        C_SetOperationState,
        C_Login,
        C_Logout,
        C_CreateObject,
        C_CopyObject,
        C_DestroyObject,
        C_GetObjectSize,
        C_GetAttributeValue,
        C_SetAttributeValue,
        C_FindObjectsInit,
        C_FindObjects,
        C_FindObjectsFinal,
        C_EncryptInit,
        C_Encrypt,
        C_EncryptUpdate,
        C_EncryptFinal,
        C_DecryptInit,
        C_Decrypt,
        C_DecryptUpdate,
        C_DecryptFinal,
        C_DigestInit,
        C_Digest,
        C_DigestUpdate,
        C_DigestKey,
        C_DigestFinal,
        C_SignInit,
        C_Sign,
        C_SignUpdate,
        C_SignFinal,
        C_SignRecoverInit,
        C_SignRecover,
        C_VerifyInit,
        C_Verify,
        C_VerifyUpdate,
        C_VerifyFinal,
        C_VerifyRecoverInit,
        C_VerifyRecover,
        C_DigestEncryptUpdate,
        C_DecryptDigestUpdate,
        C_SignEncryptUpdate,
        C_DecryptVerifyUpdate,
        C_GenerateKey,
        C_GenerateKeyPair,
        C_WrapKey,
        C_UnwrapKey,
        C_DeriveKey,
        C_SeedRandom,
        C_GenerateRandom,
        C_GetFunctionStatus,
        C_CancelFunction,
        C_WaitForSlotEvent,
    };
    return list;
}
} // namespace
