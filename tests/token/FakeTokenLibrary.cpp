// SPDX-License-Identifier: Apache-2.0
#include "FakeTokenLibrary.h"

#include <algorithm>
#include <cstring>

namespace kx::test {

namespace {

FakeTokenLibrary* g_fake = nullptr;

const FakeTokenLibrary::KeyPair* pairOf(const char* name, int keySpec)
{
    for (const auto& container : g_fake->containers) {
        if (container.name == name) {
            const auto it = container.pairs.find(keySpec);
            return it == container.pairs.end() ? nullptr : &it.value();
        }
    }
    return nullptr;
}

// Writes `text` into a name buffer of the library's size, cut to fit as the library cuts names.
void writeUtf16(std::uint16_t* out, const QString& text)
{
    const qsizetype length = std::min<qsizetype>(text.size(), DRV_NAME_SIZE - 1);
    for (qsizetype i = 0; i < length; ++i) {
        out[i] = text.at(i).unicode();
    }
    out[length] = 0;
}

} // namespace

FakeTokenLibrary& FakeTokenLibrary::instance()
{
    return *g_fake;
}

FakeTokenLibrary::FakeTokenLibrary()
{
    g_fake = this;
    TokenApi& api = m_scope.api();
    api.init_pkcs11 = [](const char* lib) {
        g_fake->calls << QStringLiteral("init_pkcs11 ") + QString::fromUtf8(lib);
        return 0;
    };
    api.init_pkcs11_ex = [](const char* usb, const char*, const char*, const char* lib) {
        g_fake->calls << QStringLiteral("init_pkcs11_ex ") + QString::fromUtf8(usb) + QLatin1Char(' ') +
                             QString::fromUtf8(lib);
        return 0;
    };
    api.token_find = [](char* buffer, int* count) {
        g_fake->calls << QStringLiteral("token_find %1").arg(*count);
        buffer[0] = 'x';
        *count = g_fake->keyCount;
        return g_fake->findResult;
    };
    api.token_connect = [](int index) {
        g_fake->calls << QStringLiteral("token_connect %1").arg(index);
        return g_fake->connectResults.value(index, 0);
    };
    api.token_login = [](int, const char* pin, int* retries) {
        g_fake->calls << QStringLiteral("token_login ") + QString::fromUtf8(pin);
        *retries = 5;
        return 0;
    };
    api.token_change_upin = [](int, const char*, const char*) { return 0; };
    api.pkcs12_file_parse = [](const char*, const char*, int* count) {
        *count = 2;
        return 0;
    };
    api.token_set_label = [](int, const char* field) {
        g_fake->labelFields << QByteArray(field, 64);
        return 0;
    };
    api.token_get_pin_state = [](int, int, int* s0, int* s1, int* s2, int* s3, int* s4, int* s5) {
        // A library that fills only some of the values: the rest must read as 0.
        if (*s0 != 0 || *s1 != 0 || *s2 != 0 || *s3 != 0 || *s4 != 0 || *s5 != 0) {
            return 99;
        }
        *s0 = 4;
        *s1 = 6;
        *s5 = 1;
        return 0;
    };
    api.container_load_all = [](int, char* buffer, int* length) {
        g_fake->calls << QStringLiteral("container_load_all %1").arg(*length);
        if (g_fake->loadAllResult != 0) {
            return g_fake->loadAllResult;
        }
        QByteArray list;
        for (const auto& container : g_fake->containers) {
            list += container.name + '\0';
        }
        if (g_fake->loadAllGrows) {
            list += QByteArray(*length, 'g'); // a list that outgrows every buffer
        }
        if (list.size() > *length) {
            *length = g_fake->loadAllNeeded ? g_fake->loadAllNeeded : static_cast<int>(list.size());
            return DRV_BUFFER_TOO_SMALL;
        }
        std::memcpy(buffer, list.constData(), static_cast<size_t>(list.size()));
        *length = static_cast<int>(list.size());
        return 0;
    };
    api.container_get_cert = [](int, const char* name, int keySpec, unsigned char* buffer, int* length) {
        g_fake->calls << QStringLiteral("container_get_cert %1 %2").arg(QString::fromUtf8(name)).arg(keySpec);
        const KeyPair* pair = pairOf(name, keySpec);
        if (!pair || pair->der.isEmpty()) {
            return DRV_NOT_FOUND;
        }
        std::memcpy(buffer, pair->der.constData(), static_cast<size_t>(pair->der.size()));
        *length = static_cast<int>(pair->der.size());
        return 0;
    };
    api.container_get_pubkey = [](int, const char* name, int keySpec, int* algorithm, int* bits, unsigned char*, int*) {
        g_fake->calls << QStringLiteral("container_get_pubkey %1 %2").arg(QString::fromUtf8(name)).arg(keySpec);
        const KeyPair* pair = pairOf(name, keySpec);
        if (!pair || pair->keyAlgorithm < 0) {
            return DRV_NOT_FOUND;
        }
        *algorithm = pair->keyAlgorithm;
        *bits = pair->keyAlgorithm == 3 ? 256 : 2048;
        return 0;
    };
    api.helper_get_cert_info2 = [](const unsigned char* cert, int length, std::uint16_t* subject, std::uint16_t* issuer,
                                   int*, char* serial, int* notBefore, int* notAfter, int* certType) {
        g_fake->calls << QStringLiteral("helper_get_cert_info2 %1").arg(length);
        if (g_fake->decodeResult != 0) {
            return g_fake->decodeResult;
        }
        const QByteArray der(reinterpret_cast<const char*>(cert), length);
        writeUtf16(subject, QStringLiteral("CN=") + QString::fromUtf8(der));
        writeUtf16(issuer, QStringLiteral("CN=发行者"));
        std::strcpy(serial, "0A1B");
        notBefore[0] = 2024;
        notBefore[1] = 1;
        notBefore[2] = 5;
        notAfter[0] = 999;
        notAfter[1] = 12;
        notAfter[2] = 31;
        for (const auto& container : g_fake->containers) {
            for (const auto& pair : container.pairs) {
                if (pair.der == der) {
                    *certType = pair.certType;
                }
            }
        }
        return 0;
    };
    api.helper_add_root_cert_to_store = [](const std::uint16_t* store, const unsigned char* cert, int length) {
        g_fake->rootAdds << qMakePair(QString::fromUtf16(reinterpret_cast<const char16_t*>(store)),
                                      QByteArray(reinterpret_cast<const char*>(cert), length));
        return 0;
    };
    api.container_addcert_to_store = [](const char* name, const char*, int keySpec, const unsigned char*, int) {
        g_fake->storeAdds << qMakePair(QByteArray(name), keySpec);
        const KeyPair* pair = pairOf(name, keySpec);
        return pair ? pair->storeResult : 0;
    };
}

FakeTokenLibrary::~FakeTokenLibrary()
{
    g_fake = nullptr;
}

} // namespace kx::test
