// SPDX-License-Identifier: Apache-2.0
// The C interface of libDrevmor.so: argument checks, the locks (see TokenLibrary), and no
// exception across the boundary. The work is done by TokenLibrary, Containers, CertFiles and CertDecode.
#include "drevmor.h"

#include "CertDecode.h"
#include "CertViewer.h"
#include "Containers.h"
#include "KeyMechanisms.h"
#include "TokenLibrary.h"

#include "platform/CertStore.h"

#include <openssl/err.h>

#include <cerrno>
#include <cstring>

using drevmor::TokenLibrary;

#define DRV_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <class Fn>
int guarded(Fn fn) noexcept
{
    try {
        return fn();
    } catch (...) {
        return DRV_GENERAL_ERROR;
    }
}

// The library's code for the result of a certificate-store write (0 or an errno value).
int storeResult(int error)
{
    switch (error) {
    case 0:
        return DRV_OK;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return DRV_STORE_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
        return DRV_STORE_DENIED;
    default:
        return DRV_STORE_ERROR;
    }
}

// Runs a call on one key with the key's locks held. The keys of a module that stopped answering
// are not reached: CKR_DEVICE_REMOVED, as for a key that is gone (see TokenLibrary::moduleResult).
template <class Fn>
int onKey(int keyIndex, Fn fn)
{
    TokenLibrary& lib = TokenLibrary::instance();
    auto lock = lib.lockKey(keyIndex);
    if (lib.moduleDead() && lib.checkKey(keyIndex) == DRV_OK)
        return drevmor::toResult(CKR_DEVICE_REMOVED);
    return lib.moduleResult(keyIndex, fn(lib));
}

// Runs a container operation on a key's session; a session the key took with it is dropped. The
// login state and the key's objects are those the session holds: no module call per container.
template <class Fn>
int withContainers(int keyIndex, Fn fn)
{
    return onKey(keyIndex, [&](TokenLibrary& lib) {
        int rv = DRV_OK;
        drevmor::P11Session* s = lib.session(keyIndex, rv);
        if (!s)
            return rv;
        bool visible = false;
        if (CK_RV crv = s->privateVisible(visible)) {
            lib.dropDeadSession(keyIndex);
            return drevmor::toResult(crv);
        }
        drevmor::Containers c(*s, visible);
        rv = fn(c);
        lib.dropDeadSession(keyIndex);
        return rv;
    });
}

int importFromFile(int keyIndex, const char* containerName, int keySpec, bool pkcs12, int index)
{
    if (!drevmor::validContainerName(containerName))
        return DRV_INVALID_PARAM;
    TokenLibrary& lib = TokenLibrary::instance();
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
    {
        // The file may be parsed again while the import runs (the files have their own lock, the
        // key its own): the import works on references of its own.
        auto lock = lib.lockFiles();
        cert = lib.files().cert(pkcs12, index);
        if (!cert || (pkcs12 && lib.files().keyReleased(index)))
            return DRV_NO_FILE_PARSED;
        X509_up_ref(cert);
        key = pkcs12 ? lib.files().key(index) : nullptr;
        if (key)
            EVP_PKEY_up_ref(key);
    }
    drevmor::X509Ptr certOwner(cert);
    drevmor::EvpKeyPtr keyOwner(key);
    const int rv = withContainers(keyIndex, [&](drevmor::Containers& c) {
        return c.import(containerName, keySpec, certOwner.get(), keyOwner.get());
    });
    if (rv == DRV_OK && keyOwner) {
        // The key is on the key now: the library lets its copy go at once.
        auto lock = lib.lockFiles();
        lib.files().keyWritten(keyOwner.get());
    }
    return rv;
}

// An optional text of a caller: empty for NULL; nullopt when longer than `most` bytes.
std::optional<std::string> boundedText(const char* text, size_t most)
{
    if (!text)
        return std::string();
    const size_t n = strnlen(text, most + 1);
    if (n > most)
        return std::nullopt;
    return std::string(text, n);
}

std::optional<std::string> narrowStoreName(const uint16_t* wide)
{
    std::string out;
    for (size_t i = 0; wide[i] != 0; ++i) {
        if (i >= 8 || wide[i] > 0x7F)
            return std::nullopt;
        out += static_cast<char>(wide[i]);
    }
    return out;
}

} // namespace

DRV_EXPORT int init_pkcs11(const char* pkcs11Lib)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockTable();
        return lib.init(pkcs11Lib);
    });
}

DRV_EXPORT int init_pkcs11_ex(const char* usbEnumString, const char* oemId, const char* appName, const char* pkcs11Lib)
{
    (void)usbEnumString;
    (void)oemId;
    (void)appName;
    return init_pkcs11(pkcs11Lib);
}

DRV_EXPORT int uninit_pkcs11(void)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockTable();
        return lib.uninit();
    });
}

DRV_EXPORT int token_find(char* buffer, int* count)
{
    return guarded([&] {
        if (!buffer || !count)
            return DRV_INVALID_PARAM;
        std::memset(buffer, 0, DRV_FIND_BUFFER_SIZE);
        const int wanted = *count;
        *count = 0;
        if (wanted <= 0)
            return DRV_INVALID_PARAM;
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockTable();
        int found = 0;
        int rv = lib.find(std::min(wanted, 32), found);
        *count = found;
        return rv;
    });
}

DRV_EXPORT int token_restart_module(void)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockTable();
        return lib.restart();
    });
}

DRV_EXPORT int token_get_caps(int keyIndex, unsigned long* slotId, int* caps)
{
    return guarded([&] {
        if (!slotId || !caps)
            return DRV_INVALID_PARAM;
        *slotId = 0;
        *caps = 0;
        return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.caps(keyIndex, *slotId, *caps); });
    });
}

DRV_EXPORT int token_check_device(int keyIndex)
{
    return guarded([&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.checkDevice(keyIndex); }); });
}

DRV_EXPORT int token_connect(int index)
{
    return guarded([&] { return onKey(index, [&](TokenLibrary& lib) { return lib.connect(index); }); });
}

DRV_EXPORT int token_get_info_ex(int keyIndex, char* serial, char* label, char* manufacturer, char* model,
                                 int* maxPinLen, int* minPinLen, int* soMaxPinLen, int* soMinPinLen, int* totalMemory,
                                 int* freeMemory, int* hardwareVersion, int* firmwareVersion, int* initialised,
                                 int* reserved)
{
    return guarded([&] {
        return onKey(keyIndex, [&](TokenLibrary& lib) {
            return lib.getInfo(keyIndex, serial, label, manufacturer, model, maxPinLen, minPinLen, soMaxPinLen,
                               soMinPinLen, totalMemory, freeMemory, hardwareVersion, firmwareVersion, initialised,
                               reserved);
        });
    });
}

DRV_EXPORT int token_login(int keyIndex, const char* pin, int* retriesLeft)
{
    return guarded(
        [&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.login(keyIndex, pin, retriesLeft); }); });
}

DRV_EXPORT int token_logout(int keyIndex)
{
    return guarded([&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.logout(keyIndex); }); });
}

DRV_EXPORT int token_get_pin_state(int keyIndex, int userType, int* state0, int* state1, int* state2, int* state3,
                                   int* state4, int* state5)
{
    return guarded([&] {
        int* state[6] = {state0, state1, state2, state3, state4, state5};
        return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.pinState(keyIndex, userType, state); });
    });
}

DRV_EXPORT int token_change_upin(int keyIndex, const char* oldPin, const char* newPin)
{
    return guarded(
        [&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.changePin(keyIndex, oldPin, newPin); }); });
}

DRV_EXPORT int token_set_label(int keyIndex, const char* label)
{
    return guarded([&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.setLabel(keyIndex, label); }); });
}

DRV_EXPORT int token_reload_all_objects(int keyIndex)
{
    return guarded([&] { return onKey(keyIndex, [&](TokenLibrary& lib) { return lib.reload(keyIndex); }); });
}

DRV_EXPORT int container_load_all(int keyIndex, char* buffer, int* length)
{
    return guarded([&] {
        if (!buffer || !length || *length <= 0)
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.loadAll(buffer, length); });
    });
}

DRV_EXPORT int container_get_cert(int keyIndex, const char* name, int keySpec, unsigned char* buffer, int* length)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name) || !buffer || !length || *length < 0)
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex,
                              [&](drevmor::Containers& c) { return c.certificate(name, keySpec, buffer, length); });
    });
}

DRV_EXPORT int container_get_pubkey(int keyIndex, const char* name, int keySpec, int* keyAlgorithm, int* keyBits,
                                    unsigned char* keyBuffer, int* keyLength)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name) || !keyAlgorithm || !keyBits || !keyBuffer || !keyLength ||
            *keyLength < 0)
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) {
            return c.publicKey(name, keySpec, keyAlgorithm, keyBits, keyBuffer, keyLength);
        });
    });
}

DRV_EXPORT int container_get_prikey(int keyIndex, const char* name, int keySpec, int* value)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name) || !value)
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.privateKey(name, keySpec, value); });
    });
}

DRV_EXPORT int container_create_new(int keyIndex, const char* name)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name))
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.create(name); });
    });
}

DRV_EXPORT int container_delete(int keyIndex, const char* name)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name))
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.remove(name); });
    });
}

DRV_EXPORT int container_delete_cert(int keyIndex, const char* name, int keySpec)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name))
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.removeCertificate(name, keySpec); });
    });
}

DRV_EXPORT int container_delete_keypair(int keyIndex, const char* name, int keySpec)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name))
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex, [&](drevmor::Containers& c) { return c.removeKeyPair(name, keySpec); });
    });
}

DRV_EXPORT int token_get_keygen_choices(int keyIndex, int* choices)
{
    return guarded([&] {
        if (!choices)
            return DRV_INVALID_PARAM;
        *choices = 0;
        return onKey(keyIndex, [&](TokenLibrary& lib) {
            int rv = DRV_OK;
            // The module's mechanisms need no login: a session that lost it serves all the same.
            drevmor::P11Session* s = lib.session(keyIndex, rv, false);
            if (!s)
                return rv;
            drevmor::KeyMechanisms mechanisms;
            const CK_RV crv = s->note(drevmor::KeyMechanisms::read(s->f(), s->slot(), mechanisms));
            lib.dropDeadSession(keyIndex);
            if (crv != CKR_OK)
                return drevmor::toResult(crv);
            *choices = mechanisms.choices();
            return DRV_OK;
        });
    });
}

DRV_EXPORT int container_generate_keypair(int keyIndex, const char* name, int keySpec, int choice)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name) || !drevmor::validKeySpec(keySpec))
            return DRV_INVALID_PARAM;
        return withContainers(keyIndex,
                              [&](drevmor::Containers& c) { return c.generateKeyPair(name, keySpec, choice); });
    });
}

DRV_EXPORT int container_create_request(int keyIndex, const char* name, int keySpec, const char* commonName,
                                        const char* organization, const char* unit, const char* country,
                                        const char* email, unsigned char* der, int* length)
{
    return guarded([&] {
        if (!drevmor::validContainerName(name) || !drevmor::validKeySpec(keySpec) || !commonName || !der || !length ||
            *length < 0)
            return DRV_INVALID_PARAM;
        const size_t capacity = static_cast<size_t>(*length);
        *length = 0;
        // Four bytes a character at most: a longer text is over its bound whatever it holds.
        auto cn = boundedText(commonName, 4 * drevmor::kMaxNameField);
        auto o = boundedText(organization, 4 * drevmor::kMaxNameField);
        auto ou = boundedText(unit, 4 * drevmor::kMaxNameField);
        auto c = boundedText(country, 2);
        auto e = boundedText(email, drevmor::kMaxEmailField);
        if (!cn || !o || !ou || !c || !e)
            return DRV_INVALID_PARAM;
        const drevmor::RequestSubject subject{*cn, *o, *ou, *c, *e};
        if (int rv = drevmor::checkSubject(subject))
            return rv;
        drevmor::Bytes request;
        const int rv = withContainers(
            keyIndex, [&](drevmor::Containers& cs) { return cs.createRequest(name, keySpec, subject, request); });
        if (rv != DRV_OK)
            return rv;
        if (request.size() > capacity) {
            *length = static_cast<int>(std::min<size_t>(request.size(), INT32_MAX));
            return DRV_BUFFER_TOO_SMALL;
        }
        std::memcpy(der, request.data(), request.size());
        *length = static_cast<int>(request.size());
        return DRV_OK;
    });
}

DRV_EXPORT int container_find_by_cert(int keyIndex, const unsigned char* cert, int length, char* name, int* keySpec)
{
    return guarded([&] {
        if (!cert || length <= 0 || !name || !keySpec)
            return DRV_INVALID_PARAM;
        std::memset(name, 0, DRV_NAME_SIZE);
        *keySpec = 0;
        drevmor::X509Ptr x509 = drevmor::decodeDer(cert, static_cast<size_t>(length));
        ERR_clear_error();
        if (!x509)
            return DRV_FILE_ERROR;
        std::string found;
        int spec = 0;
        const int rv = withContainers(
            keyIndex, [&](drevmor::Containers& c) { return c.findByCertificate(x509.get(), found, spec); });
        if (rv != DRV_OK)
            return rv;
        if (found.size() >= DRV_NAME_SIZE)
            return DRV_GENERAL_ERROR; // names are at most 255 bytes
        std::memcpy(name, found.data(), found.size());
        *keySpec = spec;
        return DRV_OK;
    });
}

DRV_EXPORT int container_addcert_to_store(const char* containerName, const char* cspName, int keySpec,
                                          const unsigned char* cert, int length)
{
    return guarded([&] {
        if (!drevmor::validContainerName(containerName) || !cspName || !cert || length <= 0 ||
            (keySpec != DRV_KEYSPEC_EXCHANGE && keySpec != DRV_KEYSPEC_SIGNATURE))
            return DRV_INVALID_PARAM;
        if (!drevmor::decodeDer(cert, static_cast<size_t>(length)))
            return DRV_INVALID_PARAM;
        kx::platform::KeyProvInfo prov;
        prov.container = containerName;
        prov.provider.assign(cspName, strnlen(cspName, 1024));
        prov.keySpec = keySpec;
        kx::platform::CertStore store(kx::platform::CertStore::defaultRoot());
        return storeResult(store.add("MY", std::span<const std::uint8_t>(cert, static_cast<size_t>(length)), prov));
    });
}

DRV_EXPORT int helper_add_root_cert_to_store(const uint16_t* storeName, const unsigned char* cert, int length)
{
    return guarded([&] {
        if (!storeName || !cert || length <= 0)
            return DRV_INVALID_PARAM;
        auto name = narrowStoreName(storeName);
        if (!name || (*name != "ROOT" && *name != "CA"))
            return DRV_INVALID_PARAM;
        if (!drevmor::decodeDer(cert, static_cast<size_t>(length)))
            return DRV_INVALID_PARAM;
        kx::platform::CertStore store(kx::platform::CertStore::defaultRoot());
        return storeResult(
            store.add(*name, std::span<const std::uint8_t>(cert, static_cast<size_t>(length)), std::nullopt));
    });
}

DRV_EXPORT int helper_get_cert_info2(const unsigned char* cert, int length, uint16_t* subject, uint16_t* issuer,
                                     int* certVersion, char* serial, int* notBefore, int* notAfter, int* certType)
{
    return guarded([&] {
        return drevmor::decodeCertificateInfo(cert, length, subject, issuer, certVersion, serial, notBefore, notAfter,
                                              certType);
    });
}

DRV_EXPORT int helper_show_cert_ui(void* window, const unsigned char* cert, int length)
{
    (void)window; // the viewer is a program of its own; it has no owner window
    return guarded([&] {
        if (!cert || length <= 0)
            return DRV_INVALID_PARAM;
        return drevmor::showCertificate(cert, static_cast<size_t>(length));
    });
}

DRV_EXPORT int pkcs12_file_parse(const char* path, const char* password, int* count)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockFiles();
        return lib.files().parsePkcs12(path, password, count);
    });
}

DRV_EXPORT int pkcs12_file_get_certinfo(int index, char* subject, char* issuer, int* certType)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockFiles();
        return lib.files().certInfo(true, index, subject, issuer, certType);
    });
}

DRV_EXPORT int pkcs12_import_certificate(int keyIndex, const char* containerName, int keySpec, int index)
{
    return guarded([&] { return importFromFile(keyIndex, containerName, keySpec, true, index); });
}

DRV_EXPORT int x509_import_certificate(int keyIndex, const char* containerName, int keySpec, const char* path)
{
    return guarded([&] {
        if (!drevmor::validContainerName(containerName) || !path)
            return DRV_INVALID_PARAM;
        std::vector<std::uint8_t> bytes;
        if (!drevmor::readFile(path, bytes))
            return DRV_FILE_ERROR;
        drevmor::X509Ptr cert = drevmor::decodeDerOrPem(bytes);
        ERR_clear_error();
        if (!cert)
            return DRV_FILE_ERROR;
        return withContainers(
            keyIndex, [&](drevmor::Containers& c) { return c.import(containerName, keySpec, cert.get(), nullptr); });
    });
}

DRV_EXPORT int p7b_file_parse(const char* path, int* count)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockFiles();
        return lib.files().parsePkcs7(path, count);
    });
}

DRV_EXPORT int p7b_file_get_certinfo(int index, char* subject, char* issuer, int* certType)
{
    return guarded([&] {
        TokenLibrary& lib = TokenLibrary::instance();
        auto lock = lib.lockFiles();
        return lib.files().certInfo(false, index, subject, issuer, certType);
    });
}

DRV_EXPORT int p7b_import_certificate(int keyIndex, const char* containerName, int keySpec, int index)
{
    return guarded([&] { return importFromFile(keyIndex, containerName, keySpec, false, index); });
}
