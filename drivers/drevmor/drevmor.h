/* SPDX-License-Identifier: Apache-2.0 */
/*
 * drevmor.h - the token library libDrevmor.so: every operation the KX2700 programs perform on a
 * key's PKCS#11 objects (information, login, PINs, label, containers, certificates, certificate
 * files and the user's certificate stores), over any PKCS#11 module.
 *
 * Conventions of every function:
 *  - the result is a 32-bit int, 0 on success;
 *  - texts are zero-terminated 8-bit strings in the locale's 8-bit form (UTF-8 here); the key
 *    label is UTF-8; certificate subject and issuer of helper_get_cert_info2 are UTF-16;
 *  - a key is addressed by keyIndex, 0 to count - 1 of the last token_find;
 *  - every buffer has the capacity named here; in/out lengths go in as the capacity and come back
 *    as the bytes used; nothing is written past a capacity;
 *  - no exception and no crash crosses the boundary: internal failures give DRV_GENERAL_ERROR.
 *
 * Result codes: PKCS#11 CK_RV values of the module are passed on unchanged (CKR_PIN_INCORRECT
 * 0xA0, CKR_PIN_LOCKED 0xA4, CKR_DEVICE_REMOVED 0x32, CKR_TOKEN_NOT_PRESENT 0xE0,
 * CKR_SESSION_HANDLE_INVALID 0xB3, CKR_USER_NOT_LOGGED_IN 0x101 ...), and the library adds the
 * codes below. A pulled key gives the module's code once; its session is then dropped, and the
 * next call on that index opens a new one (or fails again while the key is away).
 *
 * Recoveries: a real key is slow and drops calls, so a call on a key recovers by itself from
 *  - a search the module still holds active (CKR_OPERATION_ACTIVE from C_FindObjectsInit, left by
 *    a C_FindObjectsFinal that failed): the search is finished and started again, once. The call
 *    whose C_FindObjectsFinal failed reports that failure; the calls after it work;
 *  - a session the module no longer knows (CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED): a new
 *    session is opened (before the old one is closed, so that a login the module still holds for
 *    the application stays) and the call is made again, once. When the user was logged in on the
 *    old session and is not on the new one, the call is not made again: DRV_LOGIN_LOST, the
 *    programs ask for the PIN again (token_login itself is made again on the new session, and
 *    token_logout counts as done). A second such failure in a row is reported as it is. A write
 *    may have reached the key before its session went: a marker or certificate is looked for on
 *    the new session and written again only when it is not there; a key is not written again (the
 *    import fails, and the caller takes back what it may have left); a deletion whose object is
 *    gone counts as done;
 *  - an attribute value that grew between the query of its size and its read
 *    (CKR_BUFFER_TOO_SMALL): the size is asked again and the value read again, at most three
 *    times in all.
 * A key that is gone (CKR_DEVICE_REMOVED, CKR_TOKEN_NOT_PRESENT, its slot unknown) is not asked
 * again: its code is returned as above.
 *
 * A module that stopped answering: a call on a key that gets CKR_GENERAL_ERROR, CKR_DEVICE_ERROR,
 * CKR_DEVICE_REMOVED or CKR_CRYPTOKI_NOT_INITIALIZED asks the module whether it still works (a new
 * session on the key's slot and one random byte from it, three times). When all fail with one of these codes
 * too, the module is dead (a TPM whose daemon or device went away leaves its module in this state
 * for good): the call returns CKR_DEVICE_REMOVED, and so does every later call on any of its keys,
 * without reaching the module. The next token_find (or token_restart_module) closes every session,
 * finalises and initialises the module again and lists the keys that answer; while the module
 * still fails to initialise, token_find lists no key and the next one tries again. A failure that
 * the module survives is reported as it is (the code of the call, as before).
 *
 * Threads: calls on one key run one after the other, calls on different keys run side by side (a
 * slow call on one key holds up no other key); init_pkcs11, uninit_pkcs11 and token_find wait for
 * every call in progress. The certificate files (pkcs12_file_*, p7b_file_*) have their own lock.
 *
 * Containers are PKCS#11 objects: a CKO_DATA marker per container (CKA_APPLICATION
 * "KX2700 container", CKA_LABEL the name, CKA_VALUE a 16-byte id) and, per key pair, keys and
 * certificate with CKA_ID = id + one byte (1 exchange, 2 signature) and CKA_LABEL = the name.
 * Certificates and key pairs another tool wrote under one CKA_ID show as a container named by
 * their label (or the CKA_ID in hexadecimal), holding key pair 1 only. On modules that take only
 * private data objects the markers are private: such a key lists its containers after the login
 * only, and before it shows none (objects with the CKA_ID shape of a container's pair, 17 bytes
 * ending in 1 or 2, are not taken for another tool's while private objects are out of view).
 *
 * Writing to a key (container_create_new, container_generate_keypair and the imports) needs the
 * user's login on keys that require one: without it DRV_NOT_LOGGED_IN (3), written nothing.
 * container_delete, container_delete_keypair and container_get_prikey give CKR_USER_NOT_LOGGED_IN
 * then, since private keys are not visible.
 *
 * Environment: KX2700_CERT_VIEWER names the certificate viewer program helper_show_cert_ui
 * starts (a path, or a name searched in PATH; default gcr-viewer).
 */
#ifndef DREVMOR_H
#define DREVMOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library's own result codes. */
#define DRV_OK 0
#define DRV_NOT_LOGGED_IN 3               /* an import needs a login with enough rights */
#define DRV_NOT_INITIALIZED 0x0A000001    /* init_pkcs11 was not called or failed */
#define DRV_GENERAL_ERROR 0x0A000002      /* an internal failure */
#define DRV_INVALID_PARAM 0x0A000003      /* a null pointer, a bad key index or key specification */
#define DRV_BUFFER_TOO_SMALL 0x0A000004   /* an output buffer cannot hold the result */
#define DRV_MODULE_LOAD_FAILED 0x0A000005 /* the PKCS#11 module cannot be loaded or has no C_GetFunctionList */
#define DRV_NOT_FOUND 0x0A000006          /* no such container, certificate or key */
#define DRV_EXISTS 0x0A000007             /* a container of that name, or a certificate for that key pair, exists */
#define DRV_FILE_ERROR 0x0A000008         /* a file cannot be read, or is not a certificate file */
#define DRV_PASSWORD_ERROR 0x0A000009     /* the password of a PKCS#12 file is wrong */
#define DRV_NO_FILE_PARSED 0x0A00000A     /* no PKCS#12 or PKCS#7 file is held, or the index is out of range */
#define DRV_STORE_ERROR 0x0A00000B        /* the user's certificate store cannot be written */
#define DRV_STORE_FULL 0x0A00000E         /* ... because its disk (or the user's quota) is full */
#define DRV_STORE_DENIED 0x0A00000F       /* ... because the user may not write its folder */
#define DRV_CERT_TOO_LARGE 0x0A00000C     /* a certificate longer than DRV_CERT_BUFFER_SIZE bytes */
#define DRV_KEY_MISMATCH 0x0A00000D       /* a key and a certificate that do not belong together */
#define DRV_LOGIN_LOST 0x0A000010         /* the key dropped the session and the user's login with it */
#define DRV_MECHANISM_MISSING 0x0A000011  /* the key's module does not offer that generation or signature */
#define DRV_PRIVATE_KEY_REFUSED                                                                                        \
    0x0A000012                     /* the module takes no private key from outside: generate the pair on the key */
#define DRV_PIN_LOCKOUT 0x0A000013 /* logins are refused for a while (a TPM's dictionary-attack lockout) */
#define DRV_DEVICE_FULL 0x0A000030 /* the key has no room for the objects */
#define DRV_FINGER_NOT_MATCHED 0x0B000040 /* a fingerprint login was refused */

/* Key specifications (key pairs of a container) and certificate kinds. */
#define DRV_KEYSPEC_EXCHANGE 1
#define DRV_KEYSPEC_SIGNATURE 2
#define DRV_CERT_END_ENTITY 0
#define DRV_CERT_ROOT 1
#define DRV_CERT_CA 2
#define DRV_KEY_ALGORITHM_RSA 1
#define DRV_KEY_ALGORITHM_ECC 3
#define DRV_KEY_ALGORITHM_SM2 4 /* only for the generation choices below */

/* Key pairs a container can have generated on the key, one bit each. */
#define DRV_KEYGEN_RSA2048 0x01
#define DRV_KEYGEN_RSA3072 0x02
#define DRV_KEYGEN_RSA4096 0x04
#define DRV_KEYGEN_P256 0x08
#define DRV_KEYGEN_P384 0x10
#define DRV_KEYGEN_SM2 0x20

/* What a key can do (token_get_caps), one bit each. */
#define DRV_CAP_REMOVABLE 0x01       /* the slot is a removable device (a USB key) */
#define DRV_CAP_SET_LABEL 0x02       /* token_set_label can change the key's label */
#define DRV_CAP_PIN_COUNTER 0x04     /* the module tells the user PIN's tries left and maximum */
#define DRV_CAP_PRIVATE_MARKERS 0x08 /* the key's containers are private objects, seen only after the login */

/* Buffer capacities. */
#define DRV_FIND_BUFFER_SIZE 128
#define DRV_SERIAL_SIZE 33
#define DRV_LABEL_SIZE 129
#define DRV_MANUFACTURER_SIZE 65
#define DRV_MODEL_SIZE 65
#define DRV_LABEL_FIELD_SIZE 64
#define DRV_CONTAINER_LIST_SIZE 8192
#define DRV_CERT_BUFFER_SIZE 16384
#define DRV_PUBKEY_BUFFER_SIZE 257
#define DRV_NAME_SIZE 257 /* subject, issuer (UTF-16 units or bytes) and serial buffers */
#define DRV_DATE_FIELDS 9 /* year, month, day, hour, minute, second, 0, 0, 0 */
#define DRV_REQUEST_BUFFER_SIZE 8192

/* Loads the PKCS#11 module (a relative name is taken beside the running executable, a bare name
 * through the loader's search) and initialises it with OS locking. An already initialised module
 * is accepted. */
int init_pkcs11(const char* pkcs11Lib);
/* As init_pkcs11; the enumeration string, OEM id and application name are recorded only. */
int init_pkcs11_ex(const char* usbEnumString, const char* oemId, const char* appName, const char* pkcs11Lib);
/* Closes every session, finalises and unloads the module. */
int uninit_pkcs11(void);

/* Lists the keys in slot-list order: the slots with a token present whose token is initialised,
 * and removable slots (USB keys) also when their token is not (the programs tell the user to
 * have it initialised). A module's spare slot, fixed and with an uninitialised token (SoftHSM2's,
 * tpm2-pkcs11's), is no key. buffer: 128 bytes, cleared; *count goes in as the most keys wanted
 * (at most 32) and comes back as the number found. After a dead module (see above) this is where
 * it is initialised again. */
int token_find(char* buffer, int* count);
/* Closes every session, finalises and initialises the module again (under the same lock as
 * token_find), so that tokens that appeared since are found: modules such as tpm2-pkcs11 list
 * their slots only when initialised. Every login goes with the sessions. No key is addressed
 * until the next token_find. The module's code when it does not initialise again (token_find
 * then lists no key and tries again). */
int token_restart_module(void);
/* What key keyIndex is: its PKCS#11 slot id (*slotId; modules such as tpm2-pkcs11 give every token
 * the same serial, so the programs tell keys apart by slot, label, model and serial together) and
 * DRV_CAP_ bits (*caps). From the slot and token information and the module's extensions; a key
 * whose containers were seen or written as private objects has DRV_CAP_PRIVATE_MARKERS. */
int token_get_caps(int keyIndex, unsigned long* slotId, int* caps);
/* Asks key keyIndex's device itself whether it answers: a new session and one random byte, since
 * modules such as tpm2-pkcs11 answer the slot and token information from what they read at
 * initialisation, also after their device went away. DRV_OK, or CKR_DEVICE_REMOVED when the module
 * is dead (noted as above, so the next token_find starts it again). For keys that raise no hot-plug
 * event; a removable key is found gone by its removal. */
int token_check_device(int keyIndex);
/* Opens key `index` of the last token_find: a read-write session, kept (with its login) across
 * later token_find calls while the key stays present. A key whose token is not initialised is
 * connected without a session; token_get_info_ex then reports initialised 0. */
int token_connect(int index);
/* The key's information through fourteen pointers: serial (33 bytes), label (129, UTF-8),
 * manufacturer (65), model (65), longest and shortest user PIN, longest and shortest SO PIN,
 * total and free memory in bytes (0 when the module cannot say), hardware and firmware version
 * (major * 256 + minor), initialised (1/0), reserved (0). Texts are cut at a character boundary
 * and always terminated; the full serial and label come from the module's vendor extension when
 * it has one (CK_TOKEN_INFO holds 16 and 32 bytes). Figures above INT32_MAX are held there. */
int token_get_info_ex(int keyIndex, char* serial, char* label, char* manufacturer, char* model, int* maxPinLen,
                      int* minPinLen, int* soMaxPinLen, int* soMinPinLen, int* totalMemory, int* freeMemory,
                      int* hardwareVersion, int* firmwareVersion, int* initialised, int* reserved);
/* Logs the user in (already logged in counts as success). On failure *retriesLeft > 0 is a wrong
 * PIN with that many tries left and 0 a locked PIN; -1 means the module cannot say (no vendor
 * extension, and the PIN flags say neither "final try" nor "locked"). An empty or null PIN on a key with a protected
 * authentication path (a fingerprint sensor) logs in through the sensor; a refused finger gives DRV_FINGER_NOT_MATCHED.
 * CKR_PIN_LOCKED is a locked PIN (CKR_PIN_LOCKED, *retriesLeft 0) when the token's flags say
 * CKF_USER_PIN_LOCKED or the module's counter has no try left; otherwise the module refuses
 * logins for a while (a TPM's dictionary-attack lockout, shared by everything on the TPM):
 * DRV_PIN_LOCKOUT with *retriesLeft -1, and the user tries again later.
 */
int token_login(int keyIndex, const char* pin, int* retriesLeft);
int token_logout(int keyIndex);
/* userType 1 = user PIN. state0 retries left, state1 maximum retries, state2 and state3 0,
 * state4 locked (1), state5 the PIN is still the initial one (1). Without the module's vendor
 * extension the counters are derived from the PIN flags: maximum -1 (unknown), retries left 0 when
 * locked, 1 on the final try, otherwise -1 (unknown). A temporary lockout (DRV_PIN_LOCKOUT) is
 * not a locked PIN: state4 stays 0. */
int token_get_pin_state(int keyIndex, int userType, int* state0, int* state1, int* state2, int* state3, int* state4,
                        int* state5);
int token_change_upin(int keyIndex, const char* oldPin, const char* newPin);
/* label: a zero-filled 64-byte field holding the new label's UTF-8 bytes. Needs the module's
 * vendor extension; without it CKR_FUNCTION_NOT_SUPPORTED (0x54). */
int token_set_label(int keyIndex, const char* label);
/* Re-reads the key's objects (after a login, an import or a change by another program). */
int token_reload_all_objects(int keyIndex);

/* Container names, each followed by a zero byte, in *length bytes of buffer (8192): ours sorted
 * by name, then other tools' sorted by name. A buffer too small for every name gives
 * DRV_BUFFER_TOO_SMALL with *length the bytes needed, and the buffer zero-filled: a list is
 * never returned cut. */
int container_load_all(int keyIndex, char* buffer, int* length);
/* The DER certificate of one key pair (keySpec 1 exchange, 2 signature). DRV_NOT_FOUND without
 * one; DRV_BUFFER_TOO_SMALL with *length the size needed. */
int container_get_cert(int keyIndex, const char* name, int keySpec, unsigned char* buffer, int* length);
/* The public key of one key pair: algorithm (1 RSA, 3 ECC), length in bits, and its encoding
 * (RSA modulus, EC point) in keyBuffer (257 bytes). Success whenever the public key exists: an
 * encoding longer than the buffer (an RSA modulus of more than 2056 bits) fills it with its
 * leading bytes, *keyLength the bytes written; keyBits tells the whole length. */
int container_get_pubkey(int keyIndex, const char* name, int keySpec, int* keyAlgorithm, int* keyBits,
                         unsigned char* keyBuffer, int* keyLength);
/* 0 when the container holds a private key for that key pair; *value gets its algorithm. */
int container_get_prikey(int keyIndex, const char* name, int keySpec, int* value);
/* name: 1 to 255 bytes, any but zero. DRV_EXISTS when a container of that name exists,
 * DRV_DEVICE_FULL when the key has no room. The marker is a public object; on a module that
 * refuses public data objects (CKR_ATTRIBUTE_VALUE_INVALID, CKR_TEMPLATE_INCONSISTENT,
 * CKR_ATTRIBUTE_READ_ONLY: tpm2-pkcs11) it is written as a private one, and the key's containers
 * are private from then on (DRV_CAP_PRIVATE_MARKERS). */
int container_create_new(int keyIndex, const char* name);
/* Deletes a container with its keys and certificates. */
int container_delete(int keyIndex, const char* name);
/* Deletes the certificate of one key pair; its keys stay. DRV_NOT_FOUND when there is none. */
int container_delete_cert(int keyIndex, const char* name, int keySpec);
/* Deletes one key pair (keySpec 1 exchange, 2 signature): its certificate, then its public key,
 * then its private key (the reverse of the order an import writes them, so that a deletion cut
 * short leaves the private key and can be made again). The container, its marker and its other
 * key pair stay. DRV_NOT_FOUND when there is no such container; success when the pair holds no
 * objects (also pair 2 of another tool's container, which has none); CKR_USER_NOT_LOGGED_IN
 * without the login a key requires. */
int container_delete_keypair(int keyIndex, const char* name, int keySpec);

/* The key pairs the key's module can generate, as DRV_KEYGEN_ bits in *choices. A kind is offered
 * when the module lists its generation (CKM_RSA_PKCS_KEY_PAIR_GEN or CKM_EC_KEY_PAIR_GEN with
 * CKF_GENERATE_KEY_PAIR and a key size range holding the kind's size) and a signature the
 * certificate request needs (RSA: CKM_SHA256_RSA_PKCS or CKM_RSA_PKCS; EC: CKM_ECDSA, or
 * CKM_ECDSA_SHA256 for P-256 and CKM_ECDSA_SHA384 for P-384). SM2 keys are EC keys on the SM2
 * curve; they are offered only when the module also lists the SM2-with-SM3 signature
 * (KEYSIM_CKM_SM2_SM3 of keysim_ext.h). */
int token_get_keygen_choices(int keyIndex, int* choices);
/* Generates key pair keySpec (1 exchange, 2 signature) of a container on the key
 * (C_GenerateKeyPair), choice one DRV_KEYGEN_ bit. The private key is CKA_TOKEN, CKA_PRIVATE and
 * CKA_SENSITIVE, not CKA_EXTRACTABLE; both keys carry the pair's CKA_ID and CKA_LABEL as every
 * key pair of the container. An exchange pair may also decrypt and unwrap (RSA) or derive (EC).
 * DRV_NOT_FOUND when there is no such container; DRV_EXISTS when the pair holds a key or a
 * certificate; DRV_MECHANISM_MISSING when the module does not offer the choice (nothing is sent
 * to the key); DRV_NOT_LOGGED_IN without the login a key requires; DRV_INVALID_PARAM for a choice
 * that is not one DRV_KEYGEN_ bit. A generation that fails, or a private key that the module
 * did not make sensitive and unextractable, leaves nothing of the pair on the key (unless the key
 * itself is gone: then the module's code). A session lost during the generation is not made
 * again blindly: the pair is looked for on the new session, and generated again only when
 * nothing of it is there. */
int container_generate_keypair(int keyIndex, const char* name, int keySpec, int choice);
/* A PKCS#10 certificate request for the public key of one key pair, signed on the key with its
 * private key: RSA with SHA-256 (PKCS#1 v1.5), ECDSA with SHA-256 (P-256) or SHA-384 (P-384), SM2
 * with SM3 and the default signer identity "1234567812345678" (algorithm 1.2.156.10197.1.501).
 * The subject is built from UTF-8 texts: commonName (CN, required, 1 to 64 characters),
 * organization (O) and unit (OU) up to 64 characters, country (C) exactly two letters, email
 * (emailAddress) up to 128 ASCII characters; the optional ones may be NULL or empty and are then
 * left out. Other texts: DRV_INVALID_PARAM. der: capacity *length (DRV_REQUEST_BUFFER_SIZE is
 * always enough); *length comes back as the bytes used, or the size needed with
 * DRV_BUFFER_TOO_SMALL. DRV_NOT_FOUND when the pair has no private key or no public key;
 * DRV_MECHANISM_MISSING when the module cannot make the signature; CKR_USER_NOT_LOGGED_IN without
 * the login a key requires. */
int container_create_request(int keyIndex, const char* name, int keySpec, const char* commonName,
                             const char* organization, const char* unit, const char* country, const char* email,
                             unsigned char* der, int* length);
/* The container (name: 257 bytes, terminated) and key pair (*keySpec) whose public key is the
 * certificate's (RSA modulus and exponent; EC curve and point). DRV_NOT_FOUND when no key pair of
 * the key matches; DRV_FILE_ERROR for bytes that are no DER certificate. */
int container_find_by_cert(int keyIndex, const unsigned char* cert, int length, char* name, int* keySpec);

/* Registers a certificate in the user's personal store (MY), bound to the container through the
 * provider name and key specification. When the store cannot be written: DRV_STORE_FULL (no
 * room), DRV_STORE_DENIED (no permission) or DRV_STORE_ERROR (any other reason). */
int container_addcert_to_store(const char* containerName, const char* cspName, int keySpec, const unsigned char* cert,
                               int length);
/* Adds a certificate to the user's store named by storeName (UTF-16, "ROOT" or "CA" exactly;
 * any other name DRV_INVALID_PARAM). Store failures as for container_addcert_to_store. */
int helper_add_root_cert_to_store(const uint16_t* storeName, const unsigned char* cert, int length);
/* Decodes a DER certificate: subject and issuer (257 UTF-16 units each), version, serial as
 * upper-case hexadecimal (257 bytes), validity start and end (nine ints each, year month day
 * hour minute second, UTC, then zeros), kind (0 end entity, 1 self-signed CA, 2 other CA).
 * Names are the common name when there is one, else the whole name in one line, most specific
 * part first ("OU=Unit, O=Org, C=CN"). Serial digits come in whole bytes ("02"). A self-issued
 * certificate is a root when it is a CA or, lacking basic constraints, verifies with its own key.
 * DRV_FILE_ERROR when the bytes are not one DER certificate. */
int helper_get_cert_info2(const unsigned char* cert, int length, uint16_t* subject, uint16_t* issuer, int* certVersion,
                          char* serial, int* notBefore, int* notAfter, int* certType);
/* Opens the certificate in the desktop's certificate viewer ($KX2700_CERT_VIEWER, else
 * gcr-viewer) from a private temporary file, removed once the viewer has exited; returns at once.
 * DRV_NOT_FOUND when there is no viewer, DRV_INVALID_PARAM for bytes that are no certificate. */
int helper_show_cert_ui(void* window, const unsigned char* cert, int length);

/* Opens a PKCS#12 file and keeps its certificates and private key until the next parse; the
 * password is used for the parse only and not kept. *count is the number of certificates in it.
 * DRV_PASSWORD_ERROR for a wrong password, DRV_FILE_ERROR for a missing or corrupt file,
 * DRV_KEY_MISMATCH for a private key that belongs to none of the file's certificates,
 * DRV_CERT_TOO_LARGE for a certificate longer than DRV_CERT_BUFFER_SIZE bytes (it could never be
 * read back from a key); a failed parse also drops the file held before. */
int pkcs12_file_parse(const char* path, const char* password, int* count);
/* Certificate `index` of the kept PKCS#12 file: index 0 is the certificate of the private key,
 * then the chain. subject and issuer: 257 bytes each, UTF-8. */
int pkcs12_file_get_certinfo(int index, char* subject, char* issuer, int* certType);
/* Writes certificate `index` of the kept PKCS#12 file into the container (for index 0 with its
 * private and public key). A failure part way removes what it wrote. A module that takes no
 * private key from outside (tpm2-pkcs11: keys are born in the TPM) gives DRV_PRIVATE_KEY_REFUSED,
 * nothing written; the pair can be generated on the key (container_generate_keypair) instead. The container must exist
 * (DRV_NOT_FOUND); a key pair that has a certificate gives DRV_EXISTS; keys of the pair written
 * earlier without a certificate are replaced by the file's. DRV_NO_FILE_PARSED when no file is
 * held or the index is outside it. Once index 0 is written the private key is released: index 0
 * gives DRV_NO_FILE_PARSED afterwards, until the file is parsed again. */
int pkcs12_import_certificate(int keyIndex, const char* containerName, int keySpec, int index);
/* Writes the certificate of a DER or PEM file into the container. Every import refuses a
 * certificate longer than DRV_CERT_BUFFER_SIZE bytes with DRV_CERT_TOO_LARGE, writing nothing.
 * The certificate imports without a private key (X.509 and PKCS#7) refuse a certificate whose
 * public key is not the one the key pair holds with DRV_KEY_MISMATCH, writing nothing; a pair
 * without a public key takes any certificate. */
int x509_import_certificate(int keyIndex, const char* containerName, int keySpec, const char* path);
/* Opens a PKCS#7 file (DER or PEM, signed data with certificates) and keeps it until the next
 * parse; the PKCS#12 and PKCS#7 files are held apart. DRV_CERT_TOO_LARGE as for PKCS#12. */
int p7b_file_parse(const char* path, int* count);
int p7b_file_get_certinfo(int index, char* subject, char* issuer, int* certType);
int p7b_import_certificate(int keyIndex, const char* containerName, int keySpec, int index);

#ifdef __cplusplus
}
#endif

#endif /* DREVMOR_H */
