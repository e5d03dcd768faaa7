// SPDX-License-Identifier: Apache-2.0
// kx2700-token-benchmark: times the token library on the keys that are plugged in.
//
// usage: kx2700-token-benchmark PKCS11_MODULE PIN CERT_DER_FILE PKCS12_FILE PKCS12_PASSWORD
//
// Reports: enumerating and reading every key's information; filling the first key with 65
// containers (one certificate each); reading every certificate of those 65 containers as the
// certificate tree does; importing a PKCS#12 file with its chain (one container per certificate)
// into the second key (the first one when only one is plugged in), so the first key keeps exactly
// its 65 containers. Repeated figures are medians of several rounds.

#include "common/TextConversions.h"
#include "token/TokenWrappers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <vector>

namespace {

double milliseconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc < 6) {
        QTextStream(stderr) << "usage: kx2700-token-benchmark MODULE PIN CERT_DER PKCS12 PASSWORD\n";
        return 2;
    }
    const QStringList args = app.arguments();
    if (kx::InitTokenLibrary(args[1], QString(), QString(), QString()) != 0) {
        QTextStream(stderr) << "the module does not initialise\n";
        return 1;
    }
    constexpr int kRounds = 10;
    int count = 0;
    QElapsedTimer timer;
    std::vector<double> rounds;
    for (int round = 0; round < kRounds; ++round) {
        timer.start();
        kx::FindAndConnectKeys(count);
        for (int i = 0; i < count; ++i) {
            kx::TR7Info info;
            kx::token_get_info_ex(i, info);
        }
        rounds.push_back(milliseconds(timer));
    }
    out << QString::asprintf("enumerate %d keys with their information: %.1f ms\n", count, median(rounds));
    out.flush();

    int retries = 0;
    if (kx::token_login(0, args[2], retries) != 0) {
        QTextStream(stderr) << "login failed\n";
        return 1;
    }
    timer.restart();
    for (int i = 0; i < 65; ++i) {
        const QByteArray name = QByteArray("container ") + QByteArray::number(i);
        kx::container_create_new(0, name);
        kx::x509_import_certificate(0, name, 1, args[3]);
    }
    out << QString::asprintf("create 65 containers with one certificate each: %.1f ms\n", milliseconds(timer));
    out.flush();

    constexpr int kTreeRounds = 5;
    kx::TR7Info info;
    int read = 0;
    rounds.clear();
    for (int round = 0; round < kTreeRounds; ++round) {
        timer.start();
        kx::token_reload_all_objects(0);
        kx::LoadContainerNames(0, info);
        auto cert = std::make_unique<kx::TR7CertInfo>();
        read = 0;
        for (int i = 0; i < info.containerCount; ++i) {
            const QByteArray& name = info.containerNames[static_cast<std::size_t>(i)];
            for (const int spec : {1, 2}) {
                if (kx::ReadContainerCert(0, name, spec, *cert) == 0) {
                    ++read;
                    int algorithm = 0;
                    kx::container_get_pubkey(0, name, spec, algorithm);
                    kx::container_get_prikey(0, name, spec);
                }
            }
        }
        rounds.push_back(milliseconds(timer));
    }
    out << QString::asprintf("certificate tree of %d containers (%d certificates): %.1f ms\n", info.containerCount,
                             read, median(rounds));
    out.flush();

    const int importKey = count > 1 ? 1 : 0;
    if (importKey != 0 && kx::token_login(importKey, args[2], retries) != 0) {
        QTextStream(stderr) << "login to the second key failed\n";
        return 1;
    }
    constexpr int kImportRounds = 5;
    int inFile = 0;
    rounds.clear();
    for (int round = 0; round < kImportRounds; ++round) {
        timer.restart();
        kx::pkcs12_file_parse(args[4], args[5], inFile);
        for (int i = 0; i < inFile; ++i) {
            const QByteArray name = kx::NewGUIDText().toLatin1();
            kx::container_create_new(importKey, name);
            kx::pkcs12_import_certificate(importKey, name, 2, i);
        }
        rounds.push_back(milliseconds(timer));
    }
    out << QString::asprintf("import a PKCS#12 file with %d certificates: %.1f ms\n", inFile, median(rounds));
    out.flush();
    kx::uninit_pkcs11();
    return 0;
}
