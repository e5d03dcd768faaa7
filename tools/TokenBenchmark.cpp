// SPDX-License-Identifier: Apache-2.0
// kx2700-token-benchmark: times the token library on the keys that are plugged in.
//
// usage: kx2700-token-benchmark PKCS11_MODULE PIN CERT_DER_FILE PKCS12_FILE PKCS12_PASSWORD
//        kx2700-token-benchmark fill PKCS11_MODULE PIN PKCS12_PASSWORD PKCS12_FILE...
//        kx2700-token-benchmark fill-pairs PKCS11_MODULE PIN PKCS12_PASSWORD FIRST COUNT PKCS12_FILE...
//        kx2700-token-benchmark tree PKCS11_MODULE PIN ROUNDS
//        kx2700-token-benchmark enumerate PKCS11_MODULE ROUNDS
//
// fill imports each PKCS#12 file (key and certificate) into a container of its own on the first
// key; fill-pairs gives the first key COUNT more containers that each hold both key pairs with
// their certificates, as a user's key looks after enrolment (a marker, and a certificate, public
// and private key per pair: 7 objects), container number i (counted from FIRST) taking the files
// 2i and 2i + 1 of the list, taken round, as its exchange and signature pair; tree reads the
// first key's certificate tree as the manager does after a login or refresh (objects reloaded,
// container list, both key pairs of every container with their key probes); enumerate finds and
// connects every key and reads its information. Each prints "name=value" lines, times in
// milliseconds (medians of the rounds).
//
// Reports: enumerating and reading every key's information; filling the first key with 65
// containers (one certificate each); reading every certificate of those 65 containers as the
// certificate tree does; importing a PKCS#12 file with its chain (one container per certificate)
// into the second key (the first one when only one is plugged in), so the first key keeps exactly
// its 65 containers. Repeated figures are medians of several rounds. A stage whose calls the key
// refused prints "failed, rtn=0x..." instead of its time, and the program ends with status 1.

#include "common/TextConversions.h"
#include "token/TokenWrappers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <algorithm>
#include <memory>
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

// The first failure of a measured stage: a stage that failed reports its code instead of a time,
// since the time of calls that did not do their work measures nothing.
class StageResult
{
public:
    // Keeps `result` when it is the stage's first failure; true when it is 0.
    bool check(int result)
    {
        if (result != 0 && m_failure == 0) {
            m_failure = result;
        }
        return result == 0;
    }
    bool failed() const { return m_failure != 0; }
    // "<what>: <time> ms", or "<what>: failed, rtn=0x..." for a stage that failed.
    QString line(const QString& what, double ms) const
    {
        return failed() ? QString::asprintf("%s: failed, rtn=0x%08X\n", qPrintable(what), unsigned(m_failure))
                        : QString::asprintf("%s: %.1f ms\n", qPrintable(what), ms);
    }

private:
    int m_failure = 0;
};

// Initialises the library on the module and logs in to the first key; false with a message.
bool openFirstKey(const QString& module, const QString& pin)
{
    int count = 0, retries = 0;
    if (kx::InitTokenLibrary(module, QString(), QString(), QString()) != 0 || kx::FindAndConnectKeys(count) != 0 ||
        count < 1) {
        QTextStream(stderr) << "no key on " << module << "\n";
        return false;
    }
    if (!pin.isEmpty() && kx::token_login(0, pin, retries) != 0) {
        QTextStream(stderr) << "login failed\n";
        return false;
    }
    return true;
}

// The certificate tree of the first key: how many containers and certificates it showed.
void readTree(int& containers, int& certificates)
{
    kx::TR7Info info;
    kx::token_reload_all_objects(0);
    kx::LoadContainerNames(0, info);
    auto cert = std::make_unique<kx::TR7CertInfo>();
    containers = info.containerCount;
    certificates = 0;
    for (int i = 0; i < info.containerCount; ++i) {
        const QByteArray& name = info.containerNames[static_cast<std::size_t>(i)];
        for (const int spec : {1, 2}) {
            if (kx::ReadContainerCert(0, name, spec, *cert) == 0) {
                ++certificates;
                int algorithm = 0;
                kx::container_get_pubkey(0, name, spec, algorithm);
                kx::container_get_prikey(0, name, spec);
            }
        }
    }
}

int fillKey(const QStringList& args)
{
    if (!openFirstKey(args[2], args[3]))
        return 1;
    QElapsedTimer timer;
    timer.start();
    int filled = 0;
    for (qsizetype i = 5; i < args.size(); ++i) {
        int inFile = 0;
        const QByteArray name = kx::NewGUIDText().toLatin1();
        if (kx::pkcs12_file_parse(args[i], args[4], inFile) != 0 || inFile < 1 ||
            kx::container_create_new(0, name) != 0 || kx::pkcs12_import_certificate(0, name, 1, 0) != 0) {
            QTextStream(stderr) << "import of " << args[i] << " failed\n";
            return 1;
        }
        ++filled;
    }
    QTextStream(stdout) << "fill.containers=" << filled << "\nfill.ms=" << QString::number(milliseconds(timer), 'f', 1)
                        << "\n";
    kx::uninit_pkcs11();
    return 0;
}

// Containers holding an exchange and a signature key pair with their certificates.
int fillPairs(const QStringList& args)
{
    if (!openFirstKey(args[2], args[3]))
        return 1;
    const int first = args[5].toInt();
    const int count = args[6].toInt();
    if (first < 0 || count < 1 || count > 10000) {
        QTextStream(stderr) << "FIRST must not be negative and COUNT must be 1 to 10000\n";
        return 2;
    }
    const QStringList files = args.mid(7);
    const QString& password = args[4];
    // One key pair of the file into the container; false when the file or the key refused it.
    auto importPair = [&](const QByteArray& name, int keySpec, qsizetype file) {
        int inFile = 0;
        return kx::pkcs12_file_parse(files[file % files.size()], password, inFile) == 0 && inFile >= 1 &&
               kx::pkcs12_import_certificate(0, name, keySpec, 0) == 0;
    };
    QElapsedTimer timer;
    timer.start();
    for (int i = first; i < first + count; ++i) {
        const QByteArray name = kx::NewGUIDText().toLatin1();
        if (kx::container_create_new(0, name) != 0 || !importPair(name, kx::kKeySpecExchange, 2 * qsizetype(i)) ||
            !importPair(name, kx::kKeySpecSignature, 2 * qsizetype(i) + 1)) {
            QTextStream(stderr) << "container " << i << " could not be filled\n";
            return 1;
        }
    }
    QTextStream(stdout) << "fill.containers=" << count << "\nfill.ms=" << QString::number(milliseconds(timer), 'f', 1)
                        << "\n";
    kx::uninit_pkcs11();
    return 0;
}

int treeOfKey(const QStringList& args)
{
    if (!openFirstKey(args[2], args[3]))
        return 1;
    const int rounds = std::max(1, args[4].toInt());
    int containers = 0, certificates = 0;
    readTree(containers, certificates); // warms the caches, as the login before a tree does
    std::vector<double> times;
    QElapsedTimer timer;
    for (int round = 0; round < rounds; ++round) {
        timer.start();
        readTree(containers, certificates);
        times.push_back(milliseconds(timer));
    }
    QTextStream(stdout) << "tree.containers=" << containers << "\ntree.certificates=" << certificates
                        << "\ntree.ms=" << QString::number(median(times), 'f', 1) << "\n";
    kx::uninit_pkcs11();
    return 0;
}

int enumerateKeys(const QStringList& args)
{
    if (kx::InitTokenLibrary(args[2], QString(), QString(), QString()) != 0) {
        QTextStream(stderr) << "the module does not initialise\n";
        return 1;
    }
    const int rounds = std::max(1, args[3].toInt());
    int count = 0;
    std::vector<double> times;
    QElapsedTimer timer;
    StageResult stage;
    for (int round = 0; round <= rounds; ++round) {
        timer.start();
        stage.check(kx::FindAndConnectKeys(count));
        for (int i = 0; i < count; ++i) {
            kx::TR7Info info;
            stage.check(kx::token_get_info_ex(i, info));
        }
        if (round > 0) // the first round loads what the module caches
            times.push_back(milliseconds(timer));
    }
    kx::uninit_pkcs11();
    if (stage.failed()) {
        QTextStream(stderr) << stage.line(QStringLiteral("enumerate"), 0);
        return 1;
    }
    QTextStream(stdout) << "enumerate.keys=" << count << "\nenumerate.ms=" << QString::number(median(times), 'f', 1)
                        << "\n";
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = app.arguments();
    const QString mode = argc > 1 ? arguments[1] : QString();
    if (mode == "fill" && argc >= 6)
        return fillKey(arguments);
    if (mode == "fill-pairs" && argc >= 8)
        return fillPairs(arguments);
    if (mode == "tree" && argc == 5)
        return treeOfKey(arguments);
    if (mode == "enumerate" && argc == 4)
        return enumerateKeys(arguments);
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
    bool allWorked = true;
    StageResult enumeration;
    for (int round = 0; round < kRounds; ++round) {
        timer.start();
        enumeration.check(kx::FindAndConnectKeys(count));
        for (int i = 0; i < count; ++i) {
            kx::TR7Info info;
            enumeration.check(kx::token_get_info_ex(i, info));
        }
        rounds.push_back(milliseconds(timer));
    }
    out << enumeration.line(QString::asprintf("enumerate %d keys with their information", count), median(rounds));
    out.flush();
    allWorked = allWorked && !enumeration.failed();

    int retries = 0;
    if (kx::token_login(0, args[2], retries) != 0) {
        QTextStream(stderr) << "login failed\n";
        return 1;
    }
    timer.restart();
    StageResult creation;
    for (int i = 0; i < 65; ++i) {
        const QByteArray name = QByteArray("container ") + QByteArray::number(i);
        if (creation.check(kx::container_create_new(0, name))) {
            creation.check(kx::x509_import_certificate(0, name, 1, args[3]));
        }
    }
    out << creation.line(QStringLiteral("create 65 containers with one certificate each"), milliseconds(timer));
    out.flush();
    allWorked = allWorked && !creation.failed();

    constexpr int kTreeRounds = 5;
    int containers = 0, read = 0;
    rounds.clear();
    for (int round = 0; round < kTreeRounds; ++round) {
        timer.start();
        readTree(containers, read);
        rounds.push_back(milliseconds(timer));
    }
    out << QString::asprintf("certificate tree of %d containers (%d certificates): %.1f ms\n", containers, read,
                             median(rounds));
    out.flush();

    const int importKey = count > 1 ? 1 : 0;
    if (importKey != 0 && kx::token_login(importKey, args[2], retries) != 0) {
        QTextStream(stderr) << "login to the second key failed\n";
        return 1;
    }
    constexpr int kImportRounds = 5;
    int inFile = 0;
    rounds.clear();
    StageResult import;
    for (int round = 0; round < kImportRounds; ++round) {
        timer.restart();
        import.check(kx::pkcs12_file_parse(args[4], args[5], inFile));
        for (int i = 0; i < inFile; ++i) {
            const QByteArray name = kx::NewGUIDText().toLatin1();
            if (import.check(kx::container_create_new(importKey, name))) {
                import.check(kx::pkcs12_import_certificate(importKey, name, 2, i));
            }
        }
        rounds.push_back(milliseconds(timer));
    }
    out << import.line(QString::asprintf("import a PKCS#12 file with %d certificates", inFile), median(rounds));
    out.flush();
    allWorked = allWorked && !import.failed();
    kx::uninit_pkcs11();
    return allWorked ? 0 : 1;
}
