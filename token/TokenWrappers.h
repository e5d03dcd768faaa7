// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "TokenRecords.h"

#include <QByteArray>
#include <QString>

namespace kx {

// The programs' calls into the token library. Each writes a begin line to the operation log,
// calls the export, writes "<export> end rtn=<result>" and returns the library's result
// unchanged, or 100 when an exception occurred inside the wrapper. Texts go to the library in
// the locale's 8-bit form (the key label as UTF-8); container names are 8-bit as the library
// returned them. PINs and passwords are logged as "***" and cleared from memory after the call.

// Initialises the library with init_pkcs11 (logged) when usbEnumString is empty, otherwise with
// init_pkcs11_ex (not logged).
int InitTokenLibrary(const QString& pkcs11Lib, const QString& usbEnumString, const QString& oemId,
                     const QString& appName);
// Finds the keys and connects each. No key: count 0 and 1. Otherwise count is the number found and
// the result that of the last connect.
int FindAndConnectKeys(int& count);
// Reads all the key's container names into info: the list is read into a buffer of 8192 bytes
// first and, when the library says it needs more, again into one as long as it asks for.
int LoadContainerNames(int keyIndex, TR7Info& info);
// Reads and decodes the certificate of one key pair.
int ReadContainerCert(int keyIndex, const QByteArray& containerName, int keySpec, TR7CertInfo& cert);

int uninit_pkcs11();
int token_login(int keyIndex, const QString& pin, int& retriesLeft);
int token_logout(int keyIndex);
int token_get_info_ex(int keyIndex, TR7Info& info);
int token_reload_all_objects(int keyIndex);
int token_get_pin_state(int keyIndex, int userType, PinState& state);
int token_change_upin(int keyIndex, const QString& oldPin, const QString& newPin);
// A label of more than 64 bytes in UTF-8 is refused with DRV_INVALID_PARAM without a call.
int token_set_label(int keyIndex, const QString& label);

int container_get_cert(int keyIndex, const QByteArray& containerName, int keySpec, QByteArray& der);
// The key probe: the algorithm (3 ECC) and bit length of one key pair's public key.
int container_get_pubkey(int keyIndex, const QByteArray& containerName, int keySpec, int& keyAlgorithm,
                         int* keyBits = nullptr);
// The private-key probe; `keyAlgorithm` gets the key's algorithm code.
int container_get_prikey(int keyIndex, const QByteArray& containerName, int keySpec, int* keyAlgorithm = nullptr);
int container_create_new(int keyIndex, const QByteArray& containerName);
int container_delete(int keyIndex, const QByteArray& containerName);
int container_delete_cert(int keyIndex, const QByteArray& containerName, int keySpec);
// Deletes the certificate and the keys of one key pair; the container and its other pair stay.
int container_delete_keypair(int keyIndex, const QByteArray& containerName, int keySpec);
// The key pairs the key's module can generate, as DRV_KEYGEN_ bits.
int token_get_keygen_choices(int keyIndex, int& choices);
// Generates one key pair of the container on the key; `choice` is one DRV_KEYGEN_ bit.
int container_generate_keypair(int keyIndex, const QByteArray& containerName, int keySpec, int choice);
// A PKCS#10 request (DER) for one key pair, signed on the key; the subject's texts go as UTF-8.
int container_create_request(int keyIndex, const QByteArray& containerName, int keySpec, const QString& commonName,
                             const QString& organization, const QString& unit, const QString& country,
                             const QString& email, QByteArray& der);
// The container and key pair whose public key is the certificate's.
int container_find_by_cert(int keyIndex, const QByteArray& der, QByteArray& containerName, int& keySpec);
// What the key is and can do: its module's slot and DRV_CAP_ bits (0 when the call fails).
int token_get_caps(int keyIndex, unsigned long& slotId, int& caps);
// Finalises and initialises the module again: every session and login ends, and tokens that
// appeared since (modules that list their slots only when initialised) are found.
int token_restart_module();
// Asks the key's device itself whether it answers (see drevmor.h): 0, or the code of a key gone.
int token_check_device(int keyIndex);
int container_addcert_to_store(const QByteArray& containerName, const QString& cspName, int keySpec,
                               const QByteArray& der);
int helper_add_root_cert_to_store(const QString& storeName, const QByteArray& der);
int helper_show_cert_ui(void* window, const QByteArray& der);

// The two names and the kind of one certificate of a parsed PKCS#12 or PKCS#7 file.
struct FileCertInfo
{
    QString subject;
    QString issuer;
    int certType = 0;
};

int pkcs12_file_parse(const QString& path, const QString& password, int& count);
int pkcs12_file_get_certinfo(int index, FileCertInfo& info);
int pkcs12_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, int index);
int x509_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, const QString& path);
int p7b_file_parse(const QString& path, int& count);
int p7b_file_get_certinfo(int index, FileCertInfo& info);
int p7b_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, int index);

} // namespace kx
