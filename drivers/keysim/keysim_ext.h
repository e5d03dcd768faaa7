/* SPDX-License-Identifier: Apache-2.0 */
/*
 * keysim_ext.h - vendor extension functions of the keysim PKCS#11 module (libkeysim-pkcs11.so)
 * and the layout of the keysim bus.
 *
 * The module exports, besides C_GetFunctionList and every C_* function of PKCS#11 v2.40, the
 * functions below for what standard PKCS#11 cannot say. A client finds them with dlsym() on the
 * module it loaded and must treat their absence as "this module has no such extension".
 *
 * All of them:
 *  - return a PKCS#11 CK_RV code (CKR_OK = 0); types are plain C so this header needs no pkcs11.h
 *    (unsigned long is CK_ULONG, CK_SLOT_ID, CK_USER_TYPE and CK_RV on every platform we build);
 *  - require C_Initialize first (else CKR_CRYPTOKI_NOT_INITIALIZED = 0x190);
 *  - take a slot id from C_GetSlotList: CKR_SLOT_ID_INVALID (0x3) for an id no key ever had,
 *    CKR_TOKEN_NOT_PRESENT (0xE0) when that key is not plugged;
 *  - never let an exception out (CKR_GENERAL_ERROR = 0x5) and bound every length they receive.
 *
 * Text outputs use the usual PKCS#11 two-call form: with buf NULL *len receives the size needed
 * (including the terminating zero); a too small *len gives CKR_BUFFER_TOO_SMALL (0x150) and the
 * size needed.
 *
 * Slot ids are stable: a key's slot id is the number it was given at creation (1, 2, ...), never
 * reused, so it stays the same across pulls, plugs and processes.
 *
 * The keysim bus
 * --------------
 * The store lives in $KX2700_KEYSIM_DIR, else $XDG_DATA_HOME/kx2700-keysim, else
 * ~/.local/share/kx2700-keysim. A plugged key is one file in <store>/bus/ whose name is the
 * interface path text
 *
 *     \\?\USB#VID_1EA8&PID_C003#<SERIAL>#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
 *
 * byte for byte (the backslashes and "?" are kept, they are legal in Linux file names; a serial
 * never holds "/" or "#"). VID and PID are four upper-case hex digits each; SERIAL is 1 to 32
 * characters of [A-Za-z0-9._-]. Plugging creates the file (written as a temporary ".tmp-..." file
 * and renamed, so a watcher sees IN_MOVED_TO with the final name); pulling deletes it (IN_DELETE).
 * Names that start with "." are temporaries and must be ignored. The file's content is
 * "name=value" lines: serial, number (the slot id), plugged_ms (wall clock ms of the plug) and
 * plug_id (random per plug).
 *
 * A key made "visible after N ms" (kx2700-keysim fault SERIAL --visible-after N) has its bus file
 * at plug time, but C_GetSlotList and SKF_EnumDev list it only from plugged_ms + N on, as a real
 * key that needs a moment to start after the USB arrival.
 */
#ifndef KEYSIM_EXT_H
#define KEYSIM_EXT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Retry counter of a PIN: userType 1 (CKU_USER) = user PIN, 0 (CKU_SO) = SO PIN; anything else
 * CKR_USER_TYPE_INVALID. *retriesLeft 0 means the PIN is locked. */
unsigned long KeysimGetPinCounters(unsigned long slotId, unsigned long userType, unsigned long* retriesLeft,
                                   unsigned long* maxRetries);
typedef unsigned long (*KeysimGetPinCounters_t)(unsigned long, unsigned long, unsigned long*, unsigned long*);

/* Shortest and longest PIN the key accepts for that user type. */
unsigned long KeysimGetPinLengths(unsigned long slotId, unsigned long userType, unsigned long* minLen,
                                  unsigned long* maxLen);
typedef unsigned long (*KeysimGetPinLengths_t)(unsigned long, unsigned long, unsigned long*, unsigned long*);

/* Renames the token: label is zero-terminated UTF-8 of at most 128 bytes (longer:
 * CKR_ARGUMENTS_BAD = 0x7). No login needed. CK_TOKEN_INFO.label shows its first 32 bytes, cut
 * at a character boundary; KeysimGetTokenLabel gives all of it. */
unsigned long KeysimSetTokenLabel(unsigned long slotId, const char* label);
typedef unsigned long (*KeysimSetTokenLabel_t)(unsigned long, const char*);

/* The whole token label, UTF-8, zero-terminated. */
unsigned long KeysimGetTokenLabel(unsigned long slotId, char* buf, unsigned long* len);
typedef unsigned long (*KeysimGetTokenLabel_t)(unsigned long, char*, unsigned long*);

/* The whole serial number (up to 32 characters; CK_TOKEN_INFO.serialNumber holds only 16). */
unsigned long KeysimGetSerialNumber(unsigned long slotId, char* buf, unsigned long* len);
typedef unsigned long (*KeysimGetSerialNumber_t)(unsigned long, char*, unsigned long*);

/* USB vendor and product id of the key (as in its bus file name). */
unsigned long KeysimGetUsbIds(unsigned long slotId, unsigned long* vendorId, unsigned long* productId);
typedef unsigned long (*KeysimGetUsbIds_t)(unsigned long, unsigned long*, unsigned long*);

/*
 * SM2 (GM/T 0003) keys and signatures.
 *
 * An SM2 key is a CKK_EC key whose CKA_EC_PARAMS is the DER of the SM2 curve's object identifier
 * 1.2.156.10197.1.301 (06 08 2A 81 1C CF 55 01 82 2D); the module also accepts KEYSIM_CKK_SM2 as
 * its CKA_KEY_TYPE, and clients should read that type as an SM2 key too. CKM_EC_KEY_PAIR_GEN with
 * those parameters makes an SM2 key pair.
 *
 * Signing mechanisms of an SM2 private key (and only of one); a signature is r || s, 32 bytes
 * each, as for CKM_ECDSA:
 *  - KEYSIM_CKM_SM2: the SM2 signature of a given 32-byte digest e (no hashing, no identity).
 *  - KEYSIM_CKM_SM2_SM3: the SM2 signature of SM3(Z || message), where Z is the signer's
 *    identity digest of GM/T 0009 over the key's public point. The mechanism parameter is the
 *    signer's identity (at most 1024 bytes); without one the default identity "1234567812345678"
 *    is used. Takes C_SignUpdate / C_SignFinal.
 */
#define KEYSIM_CKK_SM2 0x8000534DUL
#define KEYSIM_CKM_SM2 0x8000534DUL
#define KEYSIM_CKM_SM2_SM3 0x8000534EUL

/*
 * Behaviour a client may rely on (not expressible in the header):
 *  - C_Login(CKU_USER) with pPin NULL and ulPinLen 0 on a key with a sensor
 *    (CKF_PROTECTED_AUTHENTICATION_PATH) waits up to $KX2700_KEYSIM_FINGER_TIMEOUT_MS (default
 *    10000) for a finger presented with `kx2700-keysim present-finger SERIAL N`:
 *    enrolled finger -> CKR_OK; other finger -> CKR_PIN_INCORRECT (finger counter down);
 *    finger counter at 0 -> CKR_PIN_LOCKED; no finger (timeout or N = 0) -> CKR_FUNCTION_CANCELED.
 *  - A wrong PIN gives CKR_PIN_INCORRECT while attempts remain and CKR_PIN_LOCKED on the attempt
 *    that uses the last one; a locked PIN refuses the right PIN with CKR_PIN_LOCKED.
 *  - CKF_USER_PIN_TO_BE_CHANGED is set while the user PIN equals the key's initial PIN.
 *  - After a pull, every call on a session of that key gives CKR_DEVICE_REMOVED once, then the
 *    handles are gone (CKR_SESSION_HANDLE_INVALID); the slot leaves C_GetSlotList.
 */

#ifdef __cplusplus
}
#endif

#endif /* KEYSIM_EXT_H */
