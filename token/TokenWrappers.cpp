// SPDX-License-Identifier: Apache-2.0
#include "TokenWrappers.h"

#include "KeyThreadGuard.h"
#include "LibraryFile.h"
#include "TokenApi.h"

#include "common/OperationLog.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string.h>
#include <vector>

namespace kx {

namespace {

// How often the container list is asked for again when it outgrew the buffer, and the longest
// list accepted: a length the library names is bounded before it sizes a buffer.
constexpr int kContainerListAttempts = 4;
constexpr int kMaxContainerList = 64 * 1024 * 1024;
// The first buffer for a key's container list: room for about a thousand names.
constexpr int kFirstContainerList = 64 * 1024;

// The longest container list a key asked for in this process, with a quarter more room.
std::atomic<int>& largestContainerList()
{
    static std::atomic<int> largest{0};
    return largest;
}

void rememberContainerList(int length)
{
    const int roomy = static_cast<int>(std::min<std::int64_t>(std::int64_t{length} * 5 / 4, kMaxContainerList));
    int seen = largestContainerList().load();
    while (seen < roomy && !largestContainerList().compare_exchange_weak(seen, roomy)) {
    }
}

// An 8-bit copy of a PIN or password, cleared when it goes out of scope.
class SecretText
{
public:
    explicit SecretText(const QString& text) : m_bytes(text.toLocal8Bit()) {}
    ~SecretText() { explicit_bzero(m_bytes.data(), static_cast<size_t>(m_bytes.size())); }
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;
    const char* get() const { return m_bytes.constData(); }

private:
    QByteArray m_bytes;
};

QString secret()
{
    return QString::fromLatin1(kLogSecretMask);
}

QString shown(const QByteArray& bytes)
{
    return QString::fromLocal8Bit(bytes);
}

void logEnd(const char* name, int result)
{
    LogLine(QString::fromLatin1(name) + QStringLiteral(" end rtn=") + QString::number(result));
}

// Writes the begin line, runs the call, writes the end line; an exception gives 100.
template <typename Call>
int traced(const char* name, const QString& beginLine, Call&& call)
{
    KeyThreadGuard::check(name);
    try {
        LogLine(beginLine);
        const int result = call();
        logEnd(name, result);
        return result;
    } catch (...) {
        return kWrapperException;
    }
}

QString begin(const char* name, const char* field, const QString& value)
{
    return QString::fromLatin1(name) + QStringLiteral(" begin ") + QString::fromLatin1(field) + QLatin1Char('=') +
           value;
}

QString begin(const char* name, const char* field, int value)
{
    return begin(name, field, QString::number(value));
}

QString fromUtf16(const std::array<std::uint16_t, DRV_NAME_SIZE>& buffer)
{
    const auto end = std::find(buffer.begin(), buffer.end(), std::uint16_t{0});
    return QString::fromUtf16(reinterpret_cast<const char16_t*>(buffer.data()),
                              static_cast<qsizetype>(end - buffer.begin()));
}

template <std::size_t N>
QByteArray fromBytes(const std::array<char, N>& buffer)
{
    const auto end = std::find(buffer.begin(), buffer.end(), '\0');
    return QByteArray(buffer.data(), static_cast<qsizetype>(end - buffer.begin()));
}

int fileCertInfo(const char* name, decltype(&::pkcs12_file_get_certinfo) call, int index, FileCertInfo& info)
{
    std::array<char, DRV_NAME_SIZE> subject{};
    std::array<char, DRV_NAME_SIZE> issuer{};
    return traced(name, begin(name, "issureName", QString()), [&] {
        int certType = 0;
        const int result = call(index, subject.data(), issuer.data(), &certType);
        subject.back() = '\0';
        issuer.back() = '\0';
        if (result == 0) {
            info.subject = QString::fromUtf8(fromBytes(subject));
            info.issuer = QString::fromUtf8(fromBytes(issuer));
            info.certType = certType;
        }
        return result;
    });
}

} // namespace

int InitTokenLibrary(const QString& pkcs11Lib, const QString& usbEnumString, const QString& oemId,
                     const QString& appName)
{
    KeyThreadGuard::check("init_pkcs11");
    try {
        // The module beside the executable is the one the programs ship with.
        const QByteArray lib = LoadableLibrary(pkcs11Lib).toLocal8Bit();
        if (usbEnumString.isEmpty()) {
            return traced("init_pkcs11", begin("init_pkcs11", "pName", pkcs11Lib),
                          [&] { return tokenApi().init_pkcs11(lib.constData()); });
        }
        return tokenApi().init_pkcs11_ex(usbEnumString.toLocal8Bit().constData(), oemId.toLocal8Bit().constData(),
                                         appName.toLocal8Bit().constData(), lib.constData());
    } catch (...) {
        return kWrapperException;
    }
}

int FindAndConnectKeys(int& count)
{
    KeyThreadGuard::check("token_find");
    try {
        std::array<char, DRV_FIND_BUFFER_SIZE> buffer{};
        int kn = 32;
        LogLine(begin("token_find", "kn", kn));
        const int found = tokenApi().token_find(buffer.data(), &kn);
        logEnd("token_find", found);
        if (found != 0 || kn <= 0) {
            count = 0;
            return 1;
        }
        kn = std::min(kn, 32);
        int result = 0;
        for (int index = 0; index < kn; ++index) {
            LogLine(begin("token_connect", "keyindex", index));
            result = tokenApi().token_connect(index);
            logEnd("token_connect", result);
        }
        count = kn;
        return result;
    } catch (...) {
        count = 0;
        return kWrapperException;
    }
}

int LoadContainerNames(int keyIndex, TR7Info& info)
{
    KeyThreadGuard::check("container_load_all");
    try {
        // The library refuses a buffer too small for the whole list and names the length it
        // needs: ask again with that much (the list may grow in between, so a few times). Each
        // asking reads every object of the key again, so the first buffer is already as large as
        // the longest list seen so far, with room to grow.
        std::vector<char> buffer;
        int length = std::max(kFirstContainerList, largestContainerList().load());
        int result = 0;
        for (int attempt = 0; attempt < kContainerListAttempts; ++attempt) {
            const int capacity = length;
            buffer.assign(static_cast<std::size_t>(capacity), '\0');
            LogLine(begin("container_load_all", "buff_len", capacity));
            result = tokenApi().container_load_all(keyIndex, buffer.data(), &length);
            logEnd("container_load_all", result);
            if (result == DRV_BUFFER_TOO_SMALL && length > capacity && length <= kMaxContainerList) {
                rememberContainerList(length);
            }
            if (result != DRV_BUFFER_TOO_SMALL || length <= capacity || length > kMaxContainerList) {
                length = std::clamp(length, 0, capacity);
                break;
            }
        }
        if (result != 0) {
            return result;
        }
        std::vector<QByteArray> names;
        const QByteArray list(buffer.data(), length);
        for (const QByteArray& name : list.split('\0')) {
            if (!name.isEmpty()) {
                names.push_back(name);
            }
        }
        info.containerCount = static_cast<std::int32_t>(names.size());
        info.containerNames = std::move(names);
        return 0;
    } catch (...) {
        return kWrapperException;
    }
}

int ReadContainerCert(int keyIndex, const QByteArray& containerName, int keySpec, TR7CertInfo& cert)
{
    KeyThreadGuard::check("container_get_cert");
    try {
        const QString name = shown(containerName);
        cert.certLen = TR7CertInfo::kCertCapacity;
        LogLine(begin("container_get_cert", "cont_id", name));
        int result = tokenApi().container_get_cert(keyIndex, containerName.constData(), keySpec, cert.certData.data(),
                                                   &cert.certLen);
        logEnd("container_get_cert", result);
        if (result != 0) {
            return result;
        }
        cert.certLen = std::clamp(cert.certLen, 0, TR7CertInfo::kCertCapacity);

        std::array<unsigned char, DRV_PUBKEY_BUFFER_SIZE> key{};
        int keyLength = DRV_PUBKEY_BUFFER_SIZE;
        LogLine(begin("container_get_pubkey", "cont_id", name));
        result = tokenApi().container_get_pubkey(keyIndex, containerName.constData(), keySpec, &cert.keyAlgorithm,
                                                 &cert.keyBits, key.data(), &keyLength);
        logEnd("container_get_pubkey", result);

        std::array<std::uint16_t, DRV_NAME_SIZE> subject{};
        std::array<std::uint16_t, DRV_NAME_SIZE> issuer{};
        std::array<char, DRV_NAME_SIZE> serial{};
        std::array<int, DRV_DATE_FIELDS> notBefore{};
        std::array<int, DRV_DATE_FIELDS> notAfter{};
        int certVersion = 0;
        int certType = 0;
        LogLine(begin("helper_get_cert_info2", "Name", QString()));
        result =
            tokenApi().helper_get_cert_info2(cert.certData.data(), cert.certLen, subject.data(), issuer.data(),
                                             &certVersion, serial.data(), notBefore.data(), notAfter.data(), &certType);
        logEnd("helper_get_cert_info2", result);
        if (result != 0) {
            return result;
        }
        subject.back() = 0;
        issuer.back() = 0;
        serial.back() = '\0';
        cert.subject = fromUtf16(subject);
        cert.issuer = fromUtf16(issuer);
        cert.certVersion = certVersion;
        cert.serial = fromBytes(serial);
        cert.certType = certType;
        for (std::size_t i = 0; i < 3; ++i) {
            cert.notBefore[i] = notBefore[i];
            cert.notAfter[i] = notAfter[i];
        }
        cert.notBeforeText = QString::asprintf("%.4d-%.2d-%.2d", notBefore[0], notBefore[1], notBefore[2]);
        cert.notAfterText = QString::asprintf("%.4d-%.2d-%.2d", notAfter[0], notAfter[1], notAfter[2]);
        return 0;
    } catch (...) {
        return kWrapperException;
    }
}

int uninit_pkcs11()
{
    return traced("uninit_pkcs11", QStringLiteral("uninit_pkcs11 begin"), [] { return tokenApi().uninit_pkcs11(); });
}

int token_login(int keyIndex, const QString& pin, int& retriesLeft)
{
    const SecretText bytes(pin);
    return traced("token_login", begin("token_login", "UPIN", secret()),
                  [&] { return tokenApi().token_login(keyIndex, bytes.get(), &retriesLeft); });
}

int token_logout(int keyIndex)
{
    return traced("token_logout", begin("token_logout", "KID", keyIndex),
                  [&] { return tokenApi().token_logout(keyIndex); });
}

int token_get_info_ex(int keyIndex, TR7Info& info)
{
    return traced("token_get_info_ex", begin("token_get_info_ex", "KID", keyIndex), [&] {
        TR7Info read = info;
        const int result = tokenApi().token_get_info_ex(
            keyIndex, read.serial.data(), read.label.data(), read.manufacturer.data(), read.model.data(),
            &read.maxPinLen, &read.minPinLen, &read.soMaxPinLen, &read.soMinPinLen, &read.totalMemory, &read.freeMemory,
            &read.hardwareVersion, &read.firmwareVersion, &read.initialised, &read.reserved);
        read.serial.back() = '\0';
        read.label.back() = '\0';
        read.manufacturer.back() = '\0';
        read.model.back() = '\0';
        if (result == 0) {
            info = read;
        }
        return result;
    });
}

int token_reload_all_objects(int keyIndex)
{
    return traced("token_reload_all_objects", begin("token_reload_all_objects", "slot_id", keyIndex),
                  [&] { return tokenApi().token_reload_all_objects(keyIndex); });
}

int token_get_pin_state(int keyIndex, int userType, PinState& state)
{
    return traced("token_get_pin_state", begin("token_get_pin_state", "KID", keyIndex), [&] {
        state.values.fill(0);
        auto& v = state.values;
        return tokenApi().token_get_pin_state(keyIndex, userType, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    });
}

int token_change_upin(int keyIndex, const QString& oldPin, const QString& newPin)
{
    const SecretText oldBytes(oldPin);
    const SecretText newBytes(newPin);
    return traced("token_change_upin", begin("token_change_upin", "newUPIN", secret()),
                  [&] { return tokenApi().token_change_upin(keyIndex, oldBytes.get(), newBytes.get()); });
}

int token_set_label(int keyIndex, const QString& label)
{
    return traced("token_set_label", begin("token_set_label", "KeyName", label), [&] {
        const QByteArray utf8 = label.toUtf8();
        if (utf8.size() > DRV_LABEL_FIELD_SIZE) {
            return DRV_INVALID_PARAM;
        }
        std::array<char, DRV_LABEL_FIELD_SIZE> field{};
        std::memcpy(field.data(), utf8.constData(), static_cast<size_t>(utf8.size()));
        return tokenApi().token_set_label(keyIndex, field.data());
    });
}

int container_get_cert(int keyIndex, const QByteArray& containerName, int keySpec, QByteArray& der)
{
    return traced("container_get_cert", begin("container_get_cert", "cont_id", shown(containerName)), [&] {
        QByteArray buffer(TR7CertInfo::kCertCapacity, '\0');
        int length = TR7CertInfo::kCertCapacity;
        const int result = tokenApi().container_get_cert(keyIndex, containerName.constData(), keySpec,
                                                         reinterpret_cast<unsigned char*>(buffer.data()), &length);
        if (result == 0) {
            buffer.truncate(std::clamp(length, 0, TR7CertInfo::kCertCapacity));
            der = buffer;
        }
        return result;
    });
}

int container_get_pubkey(int keyIndex, const QByteArray& containerName, int keySpec, int& keyAlgorithm, int* keyBits)
{
    return traced("container_get_pubkey", begin("container_get_pubkey", "container_id", shown(containerName)), [&] {
        std::array<unsigned char, DRV_PUBKEY_BUFFER_SIZE> key{};
        int keyLength = DRV_PUBKEY_BUFFER_SIZE;
        int bits = 0;
        const int result = tokenApi().container_get_pubkey(keyIndex, containerName.constData(), keySpec, &keyAlgorithm,
                                                           &bits, key.data(), &keyLength);
        if (keyBits) {
            *keyBits = bits;
        }
        return result;
    });
}

int container_get_prikey(int keyIndex, const QByteArray& containerName, int keySpec, int* keyAlgorithm)
{
    return traced("container_get_prikey", begin("container_get_prikey", "container_id", shown(containerName)), [&] {
        int value = 0;
        const int result = tokenApi().container_get_prikey(keyIndex, containerName.constData(), keySpec, &value);
        if (keyAlgorithm) {
            *keyAlgorithm = value;
        }
        return result;
    });
}

int container_create_new(int keyIndex, const QByteArray& containerName)
{
    return traced("container_create_new", begin("container_create_new", "container_name", shown(containerName)),
                  [&] { return tokenApi().container_create_new(keyIndex, containerName.constData()); });
}

int container_delete(int keyIndex, const QByteArray& containerName)
{
    return traced("container_delete", begin("container_delete", "cont_id", shown(containerName)),
                  [&] { return tokenApi().container_delete(keyIndex, containerName.constData()); });
}

int container_delete_cert(int keyIndex, const QByteArray& containerName, int keySpec)
{
    return traced("container_delete_cert", begin("container_delete_cert", "containerName", shown(containerName)),
                  [&] { return tokenApi().container_delete_cert(keyIndex, containerName.constData(), keySpec); });
}

int container_delete_keypair(int keyIndex, const QByteArray& containerName, int keySpec)
{
    return traced("container_delete_keypair", begin("container_delete_keypair", "cont_id", shown(containerName)),
                  [&] { return tokenApi().container_delete_keypair(keyIndex, containerName.constData(), keySpec); });
}

int token_get_keygen_choices(int keyIndex, int& choices)
{
    return traced("token_get_keygen_choices", begin("token_get_keygen_choices", "slot_id", keyIndex), [&] {
        int read = 0;
        const int result = tokenApi().token_get_keygen_choices(keyIndex, &read);
        choices = result == 0 ? read : 0;
        return result;
    });
}

int token_get_caps(int keyIndex, unsigned long& slotId, int& caps)
{
    return traced("token_get_caps", begin("token_get_caps", "slot_id", keyIndex), [&] {
        unsigned long slot = 0;
        int read = 0;
        const int result = tokenApi().token_get_caps(keyIndex, &slot, &read);
        slotId = result == 0 ? slot : 0;
        caps = result == 0 ? read : 0;
        return result;
    });
}

int token_restart_module()
{
    return traced("token_restart_module", QStringLiteral("token_restart_module begin"),
                  [] { return tokenApi().token_restart_module(); });
}

int token_check_device(int keyIndex)
{
    return traced("token_check_device", begin("token_check_device", "slot_id", keyIndex),
                  [&] { return tokenApi().token_check_device(keyIndex); });
}

int container_generate_keypair(int keyIndex, const QByteArray& containerName, int keySpec, int choice)
{
    return traced(
        "container_generate_keypair", begin("container_generate_keypair", "cont_id", shown(containerName)),
        [&] { return tokenApi().container_generate_keypair(keyIndex, containerName.constData(), keySpec, choice); });
}

int container_create_request(int keyIndex, const QByteArray& containerName, int keySpec, const QString& commonName,
                             const QString& organization, const QString& unit, const QString& country,
                             const QString& email, QByteArray& der)
{
    return traced("container_create_request", begin("container_create_request", "cont_id", shown(containerName)), [&] {
        const QByteArray cn = commonName.toUtf8(), o = organization.toUtf8(), ou = unit.toUtf8(), c = country.toUtf8(),
                         e = email.toUtf8();
        QByteArray buffer(DRV_REQUEST_BUFFER_SIZE, Qt::Uninitialized);
        int length = DRV_REQUEST_BUFFER_SIZE;
        const int result = tokenApi().container_create_request(
            keyIndex, containerName.constData(), keySpec, cn.constData(), o.constData(), ou.constData(), c.constData(),
            e.constData(), reinterpret_cast<unsigned char*>(buffer.data()), &length);
        if (result == 0) {
            buffer.truncate(std::clamp(length, 0, static_cast<int>(DRV_REQUEST_BUFFER_SIZE)));
            der = buffer;
        }
        return result;
    });
}

int container_find_by_cert(int keyIndex, const QByteArray& der, QByteArray& containerName, int& keySpec)
{
    return traced(
        "container_find_by_cert", begin("container_find_by_cert", "certSize", static_cast<int>(der.size())), [&] {
            std::array<char, DRV_NAME_SIZE> name{};
            int spec = 0;
            const int result =
                tokenApi().container_find_by_cert(keyIndex, reinterpret_cast<const unsigned char*>(der.constData()),
                                                  static_cast<int>(der.size()), name.data(), &spec);
            name.back() = '\0';
            if (result == 0) {
                containerName = fromBytes(name);
                keySpec = spec;
            }
            return result;
        });
}

int container_addcert_to_store(const QByteArray& containerName, const QString& cspName, int keySpec,
                               const QByteArray& der)
{
    return traced("container_addcert_to_store",
                  begin("container_addcert_to_store", "containerName", shown(containerName)), [&] {
                      return tokenApi().container_addcert_to_store(
                          containerName.constData(), cspName.toLocal8Bit().constData(), keySpec,
                          reinterpret_cast<const unsigned char*>(der.constData()), static_cast<int>(der.size()));
                  });
}

int helper_add_root_cert_to_store(const QString& storeName, const QByteArray& der)
{
    return traced("helper_add_root_cert_to_store", begin("helper_add_root_cert_to_store", "pName", storeName), [&] {
        return tokenApi().helper_add_root_cert_to_store(reinterpret_cast<const std::uint16_t*>(storeName.utf16()),
                                                        reinterpret_cast<const unsigned char*>(der.constData()),
                                                        static_cast<int>(der.size()));
    });
}

int helper_show_cert_ui(void* window, const QByteArray& der)
{
    return traced("helper_show_cert_ui", begin("helper_show_cert_ui", "certSize", static_cast<int>(der.size())), [&] {
        return tokenApi().helper_show_cert_ui(window, reinterpret_cast<const unsigned char*>(der.constData()),
                                              static_cast<int>(der.size()));
    });
}

int pkcs12_file_parse(const QString& path, const QString& password, int& count)
{
    const SecretText bytes(password);
    return traced("pkcs12_file_parse", begin("pkcs12_file_parse", "password", secret()),
                  [&] { return tokenApi().pkcs12_file_parse(path.toLocal8Bit().constData(), bytes.get(), &count); });
}

int pkcs12_file_get_certinfo(int index, FileCertInfo& info)
{
    return fileCertInfo("pkcs12_file_get_certinfo", tokenApi().pkcs12_file_get_certinfo, index, info);
}

int pkcs12_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, int index)
{
    return traced(
        "pkcs12_import_certificate", begin("pkcs12_import_certificate", "cont_id", shown(containerName)),
        [&] { return tokenApi().pkcs12_import_certificate(keyIndex, containerName.constData(), keySpec, index); });
}

int x509_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, const QString& path)
{
    return traced("x509_import_certificate", begin("x509_import_certificate", "certFilePath", path), [&] {
        return tokenApi().x509_import_certificate(keyIndex, containerName.constData(), keySpec,
                                                  path.toLocal8Bit().constData());
    });
}

int p7b_file_parse(const QString& path, int& count)
{
    return traced("p7b_file_parse", begin("p7b_file_parse", "certFilePath", path),
                  [&] { return tokenApi().p7b_file_parse(path.toLocal8Bit().constData(), &count); });
}

int p7b_file_get_certinfo(int index, FileCertInfo& info)
{
    return fileCertInfo("p7b_file_get_certinfo", tokenApi().p7b_file_get_certinfo, index, info);
}

int p7b_import_certificate(int keyIndex, const QByteArray& containerName, int keySpec, int index)
{
    return traced(
        "p7b_import_certificate", begin("p7b_import_certificate", "container_name", shown(containerName)),
        [&] { return tokenApi().p7b_import_certificate(keyIndex, containerName.constData(), keySpec, index); });
}

} // namespace kx
