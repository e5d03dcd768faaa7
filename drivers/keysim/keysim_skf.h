/* SPDX-License-Identifier: Apache-2.0 */
/*
 * keysim_skf.h - entry points of libkeysim-skf.so: the GM/T 0016 device, application and PIN
 * functions the programs use, plus the key maker's fingerprint, capability and remote-unblock
 * extensions, over the same virtual keys as the PKCS#11 module.
 *
 * Types follow GM/T 0016: handles are pointer-sized (HANDLE is void*), integers, counts, lengths
 * and results are unsigned 32-bit; records are byte-packed. Strings are zero-terminated 8-bit
 * (UTF-8 here); lists are multi-strings (each name followed by a zero byte, then one more zero).
 *
 * Each initialised key has one application, named KEYSIM_SKF_APP_NAME (an uninitialised key lists
 * none). Device names are the serial numbers.
 * The user PIN (user type 1) and its retry counter are the same as the PKCS#11 user PIN's.
 */
#ifndef KEYSIM_SKF_H
#define KEYSIM_SKF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* SKF_HANDLE;
typedef SKF_HANDLE DEVHANDLE;
typedef SKF_HANDLE HAPPLICATION;

#define KEYSIM_SKF_APP_NAME "KX2700"

/* Result codes. */
#define SAR_OK 0x00000000u
#define SAR_FAIL 0x0A000001u
#define SAR_UNKNOWNERR 0x0A000002u
#define SAR_NOTSUPPORTYETERR 0x0A000003u
#define SAR_INVALIDHANDLEERR 0x0A000005u
#define SAR_INVALIDPARAMERR 0x0A000006u
#define SAR_NAMELENERR 0x0A000009u
#define SAR_MEMORYERR 0x0A00000Eu
#define SAR_INDATALENERR 0x0A000010u
#define SAR_BUFFER_TOO_SMALL 0x0A000020u
#define SAR_DEVICE_REMOVED 0x0A000023u
#define SAR_PIN_INCORRECT 0x0A000024u
#define SAR_PIN_LOCKED 0x0A000025u
#define SAR_PIN_INVALID 0x0A000026u
#define SAR_PIN_LEN_RANGE 0x0A000027u
#define SAR_USER_TYPE_INVALID 0x0A00002Au
#define SAR_APPLICATION_NAME_INVALID 0x0A00002Bu
#define SAR_USER_NOT_LOGGED_IN 0x0A00002Du
#define SAR_APPLICATION_NOT_EXISTS 0x0A00002Eu
/* The key maker's fingerprint codes. */
#define SAR_FINGER_NOT_BOUND 0x0B000035u      /* FingerNotBound */
#define SAR_FINGER_SAMPLE_PENDING 0x0B000039u /* FingerSamplePending: no final result yet, call again */
#define SAR_FINGER_CAPTURE_FAILED 0x0B000040u /* FingerCaptureFailed: no finger read, or no match */
#define SAR_FINGER_EXIST 0x0C000001u
#define SAR_FINGER_NOT_EXIST 0x0C000002u

/* User types. */
#define SKF_ADMIN_TYPE 0u
#define SKF_USER_TYPE 1u

#pragma pack(push, 1)
typedef struct Struct_Version
{
    uint8_t major;
    uint8_t minor;
} VERSION;

typedef struct Struct_DEVINFO
{
    VERSION Version;
    char Manufacturer[64];
    char Issuer[64];
    char Label[32];
    char SerialNumber[32];
    VERSION HWVersion;
    VERSION FirmwareVersion;
    uint32_t AlgSymCap;
    uint32_t AlgAsymCap;
    uint32_t AlgHashCap;
    uint32_t DevAuthAlgId;
    uint32_t TotalSpace;
    uint32_t FreeSpace;
    uint32_t MaxECCBufferSize;
    uint32_t MaxBufferSize;
    uint8_t Reserved[64];
} DEVINFO;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(offsetof(DEVINFO, SerialNumber) == 162, "DEVINFO.SerialNumber must be at offset 162");
static_assert(sizeof(DEVINFO) == 294, "DEVINFO must have the GM/T 0016 size");
#else
_Static_assert(offsetof(DEVINFO, SerialNumber) == 162, "DEVINFO.SerialNumber must be at offset 162");
_Static_assert(sizeof(DEVINFO) == 294, "DEVINFO must have the GM/T 0016 size");
#endif

/* ---- GM/T 0016 ---- */

/* bPresent != 0: only plugged (visible) keys. szNameList NULL: *pulSize gets the size needed.
 * No device: *pulSize = 0. */
uint32_t SKF_EnumDev(int32_t bPresent, char* szNameList, uint32_t* pulSize);
/* Fails with SAR_FAIL for a key whose connect fault is on, SAR_INVALIDPARAMERR for an unknown name. */
uint32_t SKF_ConnectDev(const char* szName, DEVHANDLE* phDev);
uint32_t SKF_DisConnectDev(DEVHANDLE hDev);
/* Fails with SAR_FAIL for a key whose information fault is on. */
uint32_t SKF_GetDevInfo(DEVHANDLE hDev, DEVINFO* pDevInfo);
uint32_t SKF_EnumApplication(DEVHANDLE hDev, char* szAppName, uint32_t* pulSize);
uint32_t SKF_OpenApplication(DEVHANDLE hDev, const char* szAppName, HAPPLICATION* phApplication);
uint32_t SKF_CloseApplication(HAPPLICATION hApplication);
/* SAR_PIN_INCORRECT while attempts remain, SAR_PIN_LOCKED when none (the right PIN too). */
uint32_t SKF_VerifyPIN(HAPPLICATION hApplication, uint32_t ulPINType, const char* szPIN, uint32_t* pulRetryCount);
uint32_t SKF_ClearSecureState(HAPPLICATION hApplication);

/* ---- fingerprint extensions (need a sensor key; else SAR_NOTSUPPORTYETERR) ---- */

/* Needs the application logged in (SKF_VerifyPIN). finger 1..10. SAR_FINGER_EXIST if enrolled. */
uint32_t SKF_EnrollFingerInit(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger);
/* One call takes one sample: SAR_FINGER_SAMPLE_PENDING with *pulProgress = samples taken while
 * samples are missing, SAR_OK with *pulProgress = samples per enrolment when the finger is stored.
 * A "no finger" presented to the sensor (present-finger SERIAL 0) is consumed and the sample missed. */
uint32_t SKF_EnrollFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger, uint32_t* pulProgress);
uint32_t SKF_VerifyFingerInit(HAPPLICATION hApplication, uint32_t ulUserType);
/* SAR_FINGER_SAMPLE_PENDING until a finger is presented (or the finger timeout passes, then
 * SAR_FINGER_CAPTURE_FAILED); SAR_OK with *pulFinger for an enrolled finger;
 * SAR_FINGER_CAPTURE_FAILED for another finger (counter down) or "no finger";
 * SAR_PIN_LOCKED when the finger counter is 0. */
uint32_t SKF_TestFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t* pulFinger);
uint32_t SKF_DeleteFinger(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t ulFinger);
/* value0 = fingers the sensor can hold (10), value1 = enrolled count, value2 = maximum retries;
 * fingers: presence map (byte i = 1 when finger i+1 is enrolled, *pulLen = 10) or number list
 * (enrolled finger numbers, *pulLen = their count), per the key's format. *pulLen in: capacity. */
uint32_t SKF_GetFingerInfo(HAPPLICATION hApplication, uint32_t ulUserType, uint32_t* pulValue0, uint32_t* pulValue1,
                           uint32_t* pulValue2, uint32_t* pulRetryLeft, uint8_t* pbFingers, uint32_t* pulLen);
/* Needs the application logged in; resets the finger counter. */
uint32_t SKF_UnblockFinger(HAPPLICATION hApplication, uint32_t ulUserType);
/* *pulCaps: the key's capability value (0/1 none, 2..4 fingerprint, 5 finger vein). The buffer
 * has no length argument and is left untouched; *pulValue is set to 0. */
uint32_t MKF_GetDeviceCaps(DEVHANDLE hDev, uint8_t* pbBuffer, uint32_t* pulValue, uint32_t* pulCaps);
/* Samples per enrolment, 1..10, kept in the key. */
uint32_t SKF_SetFingerMode(DEVHANDLE hDev, uint32_t ulSamples);

/* ---- remote unblock extensions ---- */

/* Writes ulLen (8..32) fresh random bytes, the request the key remembers. */
uint32_t SKF_GenRemoteUnblockRequest(HAPPLICATION hApplication, uint8_t* pbRequest, uint32_t ulLen);
/* pbCode: the first ulLen (8..32) bytes of HMAC-SHA256(key secret, last request). Right: the user
 * PIN becomes the initial PIN again, unlocked, SAR_OK. Wrong: SAR_FAIL and nothing changes. */
uint32_t SKF_RemoteUnblockPIN(HAPPLICATION hApplication, const uint8_t* pbCode, uint32_t ulLen, uint32_t* pulReserved);

#ifdef __cplusplus
}
#endif

#endif /* KEYSIM_SKF_H */
