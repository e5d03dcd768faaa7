// SPDX-License-Identifier: Apache-2.0
// The C boundary of libkeysim-skf.so: each entry point takes the library lock, delegates to
// SkfLibrary and turns any exception into SAR_FAIL.
#include "SkfLibrary.h"

using keysim::SkfLibrary;

namespace {
template <typename F>
uint32_t guarded(F&& f)
{
    try {
        SkfLibrary& lib = SkfLibrary::instance();
        std::lock_guard<std::mutex> lock(lib.mutex());
        return f(lib);
    } catch (...) {
        return SAR_FAIL;
    }
}
} // namespace

#define KX_SKF(expr) return guarded([&](SkfLibrary& lib) { return lib.expr; })

extern "C" {

uint32_t SKF_EnumDev(int32_t bPresent, char* szNameList, uint32_t* pulSize)
{
    KX_SKF(enumDev(bPresent != 0, szNameList, pulSize));
}

uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev)
{
    KX_SKF(connectDev(szName, phDev));
}

uint32_t SKF_DisConnectDev(DEVHANDLE hDev)
{
    KX_SKF(disconnectDev(hDev));
}

uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo)
{
    KX_SKF(getDevInfo(hDev, pDevInfo));
}

uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, uint32_t* pulSize)
{
    KX_SKF(enumApplication(hDev, szAppName, pulSize));
}

uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication)
{
    KX_SKF(openApplication(hDev, szAppName, phApplication));
}

uint32_t SKF_CloseApplication(HAPPLICATION hApplication)
{
    KX_SKF(closeApplication(hApplication));
}

uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN, uint32_t* pulRetryCount)
{
    KX_SKF(verifyPin(hApplication, ulPINType, szPIN, pulRetryCount));
}

uint32_t SKF_ClearSecureState(HAPPLICATION hApplication)
{
    KX_SKF(clearSecureState(hApplication));
}

uint32_t SKF_EnrollFingerInit(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger)
{
    KX_SKF(enrollFingerInit(hApplication, ulUserType, ulFinger));
}

uint32_t SKF_EnrollFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger, uint32_t* pulProgress)
{
    KX_SKF(enrollFinger(hApplication, ulUserType, ulFinger, pulProgress));
}

uint32_t SKF_VerifyFingerInit(HAPPLICATION hApplication, uint32_t ulUserType)
{
    KX_SKF(verifyFingerInit(hApplication, ulUserType));
}

uint32_t SKF_TestFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t* pulFinger)
{
    KX_SKF(testFinger(hApplication, ulUserType, pulFinger));
}

uint32_t SKF_DeleteFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger)
{
    KX_SKF(deleteFinger(hApplication, ulUserType, ulFinger));
}

uint32_t SKF_GetFingerInfo(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t* pulValue0, uint32_t* pulValue1,
                           uint32_t* pulValue2, uint32_t* pulRetryLeft, uint8_t* pbFingers, uint32_t* pulLen)
{
    KX_SKF(getFingerInfo(hApplication, ulUserType, pulValue0, pulValue1, pulValue2, pulRetryLeft, pbFingers, pulLen));
}

uint32_t SKF_UnblockFinger(HAPPLICATION hApplication, uint32_t ulUserType)
{
    KX_SKF(unblockFinger(hApplication, ulUserType));
}

uint32_t MKF_GetDeviceCaps(DEVHANDLE hDev, uint8_t* pbBuffer, uint32_t* pulValue, uint32_t* pulCaps)
{
    KX_SKF(getDeviceCaps(hDev, pbBuffer, pulValue, pulCaps));
}

uint32_t SKF_SetFingerMode(DEVHANDLE hDev, uint32_t ulSamples)
{
    KX_SKF(setFingerMode(hDev, ulSamples));
}

uint32_t SKF_GenRemoteUnblockRequest(HAPPLICATION hApplication, uint8_t* pbRequest, uint32_t ulLen)
{
    KX_SKF(genRemoteUnblockRequest(hApplication, pbRequest, ulLen));
}

uint32_t SKF_RemoteUnblockPIN(HAPPLICATION hApplication, const uint8_t* pbCode, uint32_t ulLen, uint32_t* pulReserved)
{
    KX_SKF(remoteUnblockPin(hApplication, pbCode, ulLen, pulReserved));
}

} // extern "C"
