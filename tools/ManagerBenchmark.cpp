// SPDX-License-Identifier: Apache-2.0
// kx2700-manager-benchmark: times the manager's main window and the monitor's certificate
// registration against virtual keys. Not a test: it prints figures, one "name=value" line each
// (milliseconds unless the name says otherwise), for scripts/benchmark to put into its table.
//
// usage:
//   kx2700-manager-benchmark start PROGRAM_FOLDER RUNS
//       Starts this program RUNS times as a new process that builds the main window as KX2700Mgr
//       does, and reports the medians from the process's start to main(), to the window built,
//       to the window shown and to its first painted frame.
//   kx2700-manager-benchmark socket-start PROGRAM SOCKET RUNS
//       Starts PROGRAM (KX2700Mgr) RUNS times after one round that warms the caches, and reports
//       the median time from the start of its process until its command socket SOCKET exists
//       (polled every millisecond); the window is then built but not yet shown. Each process is
//       ended with SIGTERM once the socket is there.
//   kx2700-manager-benchmark window PROGRAM_FOLDER RUNS PIN TREE_SERIAL IMPORT_SERIAL PKCS12 PASSWORD
//       Opens the main window on the keys plugged in and reports the medians of RUNS rounds of
//       RefreshKeyList(), of LoadCertTree() and of the refresh button on the certificate page of
//       the key TREE_SERIAL after login, and of importing PKCS12 (key and certificate) into the
//       key IMPORT_SERIAL through the import job and through the import dialog, and the longest
//       time the window thread stood still in all of that.
//   kx2700-manager-benchmark stalls PROGRAM_FOLDER PIN TREE_SERIAL IMPORT_SERIAL LARGE_SERIAL PKCS12 PASSWORD
//                               KEYSIM_TOOL PLUG_SERIALS
//       Opens the main window and runs user actions one after the other to completion: the key
//       list refreshed, login to TREE_SERIAL and its certificate tree, PKCS12 imported into
//       IMPORT_SERIAL through the dialog and that container deleted again, TREE_SERIAL's
//       certificates registered, the keys PLUG_SERIALS (comma-separated) pulled and plugged in at
//       once, LARGE_SERIAL logged in and its tree shown. For each, the longest time the window
//       thread's event loop stood still (a 5 ms timer) and the action's time.
//   kx2700-manager-benchmark fill PKCS11_MODULE PIN PKCS12 PASSWORD
//       Imports every certificate of PKCS12 into a container of its own on the first key.
//   kx2700-manager-benchmark plug-to-store KEYSIM_TOOL SERIAL STORE_FOLDER COUNT RUNS
//       With a monitor running: pulls the key SERIAL, waits until the monitor has removed its
//       certificates, then plugs it in and measures until COUNT certificate files are in the
//       store (MY, ROOT, CA; polled every 5 ms). The key stays plugged in afterwards.
//
// PROGRAM_FOLDER is an installation folder (APPInfo.ini, Languages/, res/) whose library paths
// are absolute; the window reads its settings from there.

#include "common/AppContext.h"
#include "common/CommandChannel.h"
#include "common/LanguageTexts.h"
#include "common/StartupConfiguration.h"
#include "common/TextConversions.h"
#include "common/widgets/MessageBox.h"
#include "keyservice/CertTreeData.h"
#include "manager/CertTree.h"
#include "manager/CertificatePage.h"
#include "manager/LoginPage.h"
#include "manager/TIMForm.h"
#include "manager/TMainForm.h"
#include "manager/TreeIcons.h"
#include "token/KeyThreadGuard.h"
#include "token/TokenWrappers.h"
#include "tools/StallMeter.h"
#include "tools/WindowDriver.h"
#include "tools/WindowStalls.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QRadioButton>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// CLOCK_MONOTONIC in nanoseconds: the same clock in every process of the machine.
qint64 monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double msSince(qint64 startNs)
{
    return static_cast<double>(monotonicNs() - startNs) / 1e6;
}

double median(std::vector<double> values)
{
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void report(const char* name, double value)
{
    std::printf("%s=%.1f\n", name, value);
    std::fflush(stdout);
}

void reportCount(const char* name, int value)
{
    std::printf("%s=%d\n", name, value);
    std::fflush(stdout);
}

void reportMedian(const char* name, const std::vector<double>& values)
{
    report(name, median(values));
    if (!values.empty()) {
        std::printf("%s.min=%.1f\n%s.max=%.1f\n%s.runs=%zu\n", name, *std::min_element(values.begin(), values.end()),
                    name, *std::max_element(values.begin(), values.end()), name, values.size());
        std::fflush(stdout);
    }
}

// Prints messages instead of showing them, so nothing waits for a click; questions get the
// answer it was made with.
class PrintingPresenter final : public kx::MessagePresenter
{
public:
    explicit PrintingPresenter(bool answerYes = false) : m_answerYes(answerYes) {}
    bool present(QWidget*, Kind kind, const QString&, const QString& text) override
    {
        QTextStream(stderr) << "message: " << text << "\n";
        return kind == Kind::Question && m_answerYes;
    }

private:
    bool m_answerYes;
};

void waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    const qint64 start = monotonicNs();
    while (!condition() && msSince(start) < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
}

void settle(int ms)
{
    const qint64 start = monotonicNs();
    while (msSince(start) < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

// Starts a program with the current environment; its standard output goes to `outFd` when that
// is not negative. Returns the process id, or -1.
pid_t spawn(const std::vector<std::string>& arguments, int outFd = -1)
{
    std::vector<char*> argv;
    for (const std::string& a : arguments) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    }
    pid_t pid = -1;
    const int result = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? pid : -1;
}

int waitExit(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run(const std::vector<std::string>& arguments)
{
    const pid_t pid = spawn(arguments);
    return pid < 0 ? -1 : waitExit(pid);
}

void useProgramFolder(kx::AppContext& context, const QString& folder)
{
    context.setExecutableFolder(folder);
    kx::AppContext::setCurrent(&context);
}

// ---- start ---------------------------------------------------------------------------------

// The child of "start": the manager's own start sequence up to the first painted frame of its
// main window, each step reported as milliseconds since the parent started the process.
int startChild(int argc, char* argv[])
{
    const qint64 mainNs = monotonicNs();
    const qint64 spawnNs = std::atoll(argv[3]);
    QApplication app(argc, argv);
    const qint64 appNs = monotonicNs();
    PrintingPresenter presenter;
    kx::MessagePresenter::setCurrent(&presenter);
    kx::AppContext context;
    useProgramFolder(context, QString::fromLocal8Bit(argv[2]));

    QApplication::setApplicationName(QStringLiteral("KX2700Mgr"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    const kx::StartupConfiguration config = kx::LoadStartupConfiguration();
    if (!config.error.isEmpty()) {
        QTextStream(stderr) << config.error << "\n";
        return 1;
    }
    if (kx::CheckSingleInstance(QString::fromLatin1(kx::kManagerInstanceName),
                                QString::fromLatin1(kx::kManagerWindowClass))) {
        QTextStream(stderr) << "another manager is running\n";
        return 1;
    }
    const qint64 configNs = monotonicNs();
    kx::TMainForm window;
    if (!window.initialised()) {
        return 1;
    }
    QApplication::setWindowIcon(kx::TreeIcon(9));
    const qint64 builtNs = monotonicNs();

    // The first paint event of the window starts its first frame; the frame is complete when the
    // event loop comes back after it.
    qint64 paintNs = 0;
    qint64 frameNs = 0;
    struct PaintWatch : QObject
    {
        QWidget* window = nullptr;
        std::function<void()> onFirstPaint;
        bool eventFilter(QObject* watched, QEvent* event) override
        {
            if (event->type() == QEvent::Paint && onFirstPaint) {
                auto* widget = qobject_cast<QWidget*>(watched);
                if (widget && widget->window() == window) {
                    auto callback = std::move(onFirstPaint);
                    onFirstPaint = nullptr;
                    callback();
                }
            }
            return false;
        }
    } watch;
    watch.window = &window;
    watch.onFirstPaint = [&] {
        paintNs = monotonicNs();
        QTimer::singleShot(0, &app, [&] {
            frameNs = monotonicNs();
            app.quit();
        });
    };
    app.installEventFilter(&watch);
    window.show();
    const qint64 shownNs = monotonicNs();
    QTimer::singleShot(10000, &app, &QCoreApplication::quit);
    app.exec();
    if (frameNs == 0) {
        QTextStream(stderr) << "the window was never painted\n";
        return 1;
    }
    auto ms = [spawnNs](qint64 ns) { return static_cast<double>(ns - spawnNs) / 1e6; };
    std::printf("%.3f %.3f %.3f %.3f %.3f %.3f %.3f\n", ms(mainNs), ms(appNs), ms(configNs), ms(builtNs), ms(shownNs),
                ms(paintNs), ms(frameNs));
    std::fflush(stdout);
    app.removeEventFilter(&watch);
    return 0;
}

int startRuns(const char* self, const char* folder, int runs)
{
    std::vector<double> main, app, config, built, shown, paint, frame;
    for (int i = 0; i < runs; ++i) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            return 1;
        }
        const qint64 spawnNs = monotonicNs();
        const pid_t pid = spawn({self, "start-child", folder, std::to_string(spawnNs)}, pipeFds[1]);
        close(pipeFds[1]);
        std::string output;
        char buffer[256];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                break;
            }
            output.append(buffer, static_cast<std::size_t>(n));
        }
        close(pipeFds[0]);
        if (pid < 0 || waitExit(pid) != 0) {
            std::fprintf(stderr, "the window process failed\n");
            return 1;
        }
        double v[7] = {};
        if (std::sscanf(output.c_str(), "%lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
                        &v[6]) != 7) {
            std::fprintf(stderr, "the window process said: %s\n", output.c_str());
            return 1;
        }
        main.push_back(v[0]);
        app.push_back(v[1]);
        config.push_back(v[2]);
        built.push_back(v[3]);
        shown.push_back(v[4]);
        paint.push_back(v[5]);
        frame.push_back(v[6]);
    }
    reportMedian("start.main", main);
    report("start.application", median(app));
    report("start.configuration", median(config));
    report("start.built", median(built));
    reportMedian("start.shown", shown);
    report("start.paint", median(paint));
    reportMedian("start.frame", frame);
    return 0;
}

// ---- window --------------------------------------------------------------------------------

int windowRounds(const QStringList& args)
{
    const QString folder = args[2];
    const int runs = std::max(1, args[3].toInt());
    const QString pin = args[4];
    const QString treeSerial = args[5];
    const QString importSerial = args[6];
    const QString pkcs12 = args[7];
    const QString password = args[8];

    kx::AppContext context;
    useProgramFolder(context, folder);
    QApplication::setApplicationName(QStringLiteral("KX2700Mgr"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    kx::LoadStartupConfiguration();

    kx::TMainForm window;
    kx::WindowDriver driver(window);
    window.show();
    waitFor([&] { return window.LibraryReady && window.session().KeyCount() > 0; }, 15000);
    if (window.session().KeyCount() == 0) {
        std::fprintf(stderr, "no key is plugged in\n");
        return 1;
    }
    settle(600); // the not-initialised check runs 400 ms after the list
    reportCount("keys.count", window.session().KeyCount());

    // The key list: the refresh button's work, and the token library's share of it.
    std::vector<double> refresh, enumeration;
    for (int i = 0; i < runs; ++i) {
        const qint64 start = monotonicNs();
        bool listed = false;
        window.RefreshKeyList([&](int) { listed = true; });
        waitFor([&] { return listed; }, 30000);
        refresh.push_back(msSince(start));
        QCoreApplication::processEvents();
    }
    // The token library's own share, called here directly as a measuring tool may.
    const kx::KeyThreadGuard::Exemption direct;
    for (int i = 0; i < runs; ++i) {
        const qint64 start = monotonicNs();
        int count = 0;
        kx::FindAndConnectKeys(count);
        for (int k = 0; k < count; ++k) {
            kx::TR7Info info;
            kx::token_get_info_ex(k, info);
        }
        enumeration.push_back(msSince(start));
    }
    reportMedian("refresh.window", refresh);
    reportMedian("refresh.tokenlibrary", enumeration);
    reportCount("keys.count.after", window.session().KeyCount());

    // The certificate page of the key with many containers.
    const int treeKey = driver.keyIndexOf(treeSerial);
    if (treeKey < 0) {
        std::fprintf(stderr, "key %s is not plugged in\n", qPrintable(treeSerial));
        return 1;
    }
    // The key's work runs on the key service's workers: what the window thread does meanwhile
    // shows as the longest gap between the ticks of a 5 ms timer.
    kx::StallMeter meter(5);
    qint64 start = monotonicNs();
    if (!driver.login(treeKey, pin)) {
        std::fprintf(stderr, "login to %s failed\n", qPrintable(treeSerial));
        return 1;
    }
    // Until the login was seen complete, without the driver's settling wait after it.
    const double loginMs = static_cast<double>(driver.loggedInAtNs() - start) / 1e6;
    report("tree.login", loginMs);
    auto* tvCert = window.findChild<QTreeWidget*>(QStringLiteral("tvCert"));
    std::vector<double> tree, refreshTree;
    for (int i = 0; i < runs; ++i) {
        start = monotonicNs();
        window.certificatePage().LoadCertTree(treeKey);
        waitFor([&] { return window.session().service().idle(); }, 30000);
        tree.push_back(msSince(start));
        QCoreApplication::processEvents();
    }
    for (int i = 0; i < runs; ++i) {
        start = monotonicNs();
        window.certificatePage().AcrefreshExecute();
        waitFor([&] { return window.session().service().idle(); }, 30000);
        refreshTree.push_back(msSince(start));
        QCoreApplication::processEvents();
    }
    const double stall = meter.longestMs();
    int certificates = 0;
    for (int i = 0; i < tvCert->topLevelItemCount(); ++i) {
        certificates += tvCert->topLevelItem(i)->childCount();
    }
    reportCount("tree.containers", tvCert->topLevelItemCount());
    reportCount("tree.certificates", certificates);
    reportMedian("tree.load", tree);
    reportMedian("tree.reload", refreshTree);

    // PKCS#12 import into another key: the worker's job alone, then the whole dialog path.
    const int importKey = driver.keyIndexOf(importSerial);
    if (importKey < 0 || !driver.login(importKey, pin)) {
        std::fprintf(stderr, "key %s cannot be logged in\n", qPrintable(importSerial));
        return 1;
    }
    std::vector<double> job, dialog;
    for (int i = 0; i < runs; ++i) {
        start = monotonicNs();
        int inFile = 0;
        int result = kx::pkcs12_file_parse(pkcs12, password, inFile);
        if (result == 0) {
            const QByteArray container = "job import " + QByteArray::number(i);
            result = kx::container_create_new(importKey, container);
            if (result == 0) {
                result = kx::pkcs12_import_certificate(importKey, container, kx::kKeySpecExchange, 0);
            }
        }
        if (result != 0) {
            std::fprintf(stderr, "import job failed: %d\n", result);
            return 1;
        }
        job.push_back(msSince(start));
    }
    const int dialogRuns = std::min(runs, 3);
    // The import jobs above were this tool's own calls on the window thread and are left out;
    // the import dialog runs its own event loop, which the meter watches as well.
    meter.reset();
    for (int i = 0; i < dialogRuns; ++i) {
        const double ms = driver.importThroughDialog(pkcs12, password, QStringLiteral("dialog import %1").arg(i));
        if (ms < 0) {
            std::fprintf(stderr, "the import dialog did not open\n");
            return 1;
        }
        dialog.push_back(ms);
    }
    report("window.stall", std::max(stall, meter.longestMs()));
    reportCount("import.containers", tvCert->topLevelItemCount());
    reportMedian("import.job", job);
    reportMedian("import.dialog", dialog);
    settle(1200); // the store registration the import starts
    return 0;
}

// ---- stalls -------------------------------------------------------------------------------

int windowStalls(const QStringList& args)
{
    kx::AppContext context;
    useProgramFolder(context, args[2]);
    QApplication::setApplicationName(QStringLiteral("KX2700Mgr"));
    QApplication::setApplicationVersion(QStringLiteral(KX_VERSION ".0"));
    kx::LoadStartupConfiguration();
    kx::WindowStalls::Setup setup;
    setup.pin = args[3];
    setup.treeSerial = args[4];
    setup.importSerial = args[5];
    setup.largeSerial = args[6];
    setup.pkcs12 = args[7];
    setup.password = args[8];
    setup.keysimTool = args[9];
    setup.plugSerials = args[10].split(QLatin1Char(','), Qt::SkipEmptyParts);
    kx::TMainForm window;
    window.show();
    return kx::WindowStalls(setup).run(window);
}

// ---- fill ----------------------------------------------------------------------------------

int fill(const QStringList& args)
{
    if (kx::InitTokenLibrary(args[2], QString(), QString(), QString()) != 0) {
        std::fprintf(stderr, "the module does not initialise\n");
        return 1;
    }
    int count = 0;
    int retries = 0;
    if (kx::FindAndConnectKeys(count) != 0 || count < 1 || kx::token_login(0, args[3], retries) != 0) {
        std::fprintf(stderr, "no key to log in to\n");
        return 1;
    }
    int inFile = 0;
    if (kx::pkcs12_file_parse(args[4], args[5], inFile) != 0) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[4]));
        return 1;
    }
    for (int i = 0; i < inFile; ++i) {
        kx::FileCertInfo info;
        const bool endEntity = kx::pkcs12_file_get_certinfo(i, info) == 0 && info.certType == kx::kCertEndEntity;
        const QByteArray name = kx::NewGUIDText().toLatin1();
        if (kx::container_create_new(0, name) != 0 ||
            kx::pkcs12_import_certificate(0, name, endEntity ? kx::kKeySpecExchange : kx::kKeySpecSignature, i) != 0) {
            std::fprintf(stderr, "import of certificate %d failed\n", i);
            return 1;
        }
    }
    reportCount("fill.certificates", inFile);
    kx::uninit_pkcs11();
    return 0;
}

// ---- plug-to-store -------------------------------------------------------------------------

int countCertificates(const std::filesystem::path& store, bool personalOnly = false)
{
    int count = 0;
    for (const char* name : {"MY", "ROOT", "CA"}) {
        std::error_code error;
        for (std::filesystem::directory_iterator it(store / name, error), end; !error && it != end;
             it.increment(error)) {
            const std::string file = it->path().filename().string();
            count += file.size() > 4 && file.ends_with(".cer") ? 1 : 0;
        }
        if (personalOnly) {
            break;
        }
    }
    return count;
}

void removeCertificates(const std::filesystem::path& folder)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == ".cer") {
            std::filesystem::remove(it->path(), error);
        }
    }
}

bool pollUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const qint64 start = monotonicNs();
    while (!condition()) {
        if (msSince(start) > timeoutMs) {
            return false;
        }
        usleep(5000);
    }
    return true;
}

int plugToStore(char* argv[])
{
    const std::string tool = argv[2];
    const std::string serial = argv[3];
    const std::filesystem::path store = argv[4];
    const int expected = std::atoi(argv[5]);
    const int runs = std::max(1, std::atoi(argv[6]));
    std::vector<double> registered, personal;
    for (int i = 0; i < runs; ++i) {
        // The key out, its certificates gone, the monitor quiet again.
        run({tool, "pull", serial});
        if (!pollUntil([&] { return countCertificates(store, true) == 0; }, 10000)) {
            std::fprintf(stderr, "the monitor kept the certificates of the pulled key\n");
            return 1;
        }
        removeCertificates(store / "ROOT");
        removeCertificates(store / "CA");
        usleep(1500 * 1000);

        const qint64 start = monotonicNs();
        const pid_t plug = spawn({tool, "plug", serial});
        double firstPersonal = -1;
        const bool done = pollUntil(
            [&] {
                if (firstPersonal < 0 && countCertificates(store, true) > 0) {
                    firstPersonal = msSince(start);
                }
                return countCertificates(store) >= expected;
            },
            15000);
        const double ms = msSince(start);
        if (plug < 0 || waitExit(plug) != 0 || !done) {
            std::fprintf(stderr, "the certificates were not registered (%d of %d)\n", countCertificates(store),
                         expected);
            return 1;
        }
        registered.push_back(ms);
        personal.push_back(firstPersonal < 0 ? ms : firstPersonal);
        usleep(1500 * 1000);
    }
    reportMedian("plug.registered", registered);
    reportMedian("plug.personal", personal);
    return 0;
}

// ---- socket-start --------------------------------------------------------------------------

int socketStart(char* argv[])
{
    const std::string program = argv[2];
    const std::filesystem::path socket = argv[3];
    const int runs = std::max(1, std::atoi(argv[4]));
    std::vector<double> times;
    for (int i = 0; i <= runs; ++i) {
        std::error_code error;
        std::filesystem::remove(socket, error);
        const qint64 start = monotonicNs();
        const pid_t pid = spawn({program});
        if (pid < 0) {
            return 1;
        }
        bool seen = false;
        while (!(seen = std::filesystem::is_socket(socket, error)) && msSince(start) < 20000) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                std::fprintf(stderr, "%s ended before its socket appeared\n", program.c_str());
                return 1;
            }
            usleep(1000);
        }
        const double ms = msSince(start);
        kill(pid, SIGTERM);
        waitExit(pid);
        if (!seen) {
            std::fprintf(stderr, "no socket %s\n", socket.c_str());
            return 1;
        }
        if (i > 0) {
            times.push_back(ms);
        }
    }
    reportMedian("socket.start", times);
    return 0;
}

int usage();

// The window thread's share of showing a key's certificate tree: FillCertTree over `count`
// containers holding both key pairs with their certificates, in a shown tree, until painted.
int treeFill(const QStringList& args)
{
    const int count = args.at(2).toInt();
    const int runs = args.at(3).toInt();
    if (count <= 0 || runs <= 0) {
        return usage();
    }
    kx::CertTreeData data;
    for (int c = 0; c < count; ++c) {
        kx::ContainerData container;
        container.name = QStringLiteral("User %1 container").arg(c).toLocal8Bit();
        for (kx::KeyPairData& pair : container.pairs) {
            pair.certificate = true;
            pair.subject = QStringLiteral("User %1").arg(c);
            pair.publicKey = pair.privateKey = true;
            pair.keyBits = 2048;
        }
        data.containers.push_back(container);
    }
    QTreeWidget tree;
    tree.resize(480, 360);
    tree.show();
    QCoreApplication::processEvents();
    kx::StallMeter meter(1);
    std::vector<double> times;
    std::vector<double> stalls;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        meter.reset();
        kx::FillCertTree(&tree, data);
        tree.repaint();
        while (kx::CertTreeFilling(&tree)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        }
        QCoreApplication::processEvents();
        times.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        stalls.push_back(meter.longestMs());
    }
    reportMedian(("tree.fill." + std::to_string(count)).c_str(), times);
    reportMedian(("tree.stall." + std::to_string(count)).c_str(), stalls);
    // The first fill of the process pays for fresh memory and first uses: what a user sees once.
    std::printf("tree.first.fill.%d=%.1f\ntree.first.stall.%d=%.1f\n", count, times.front(), count, stalls.front());
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: kx2700-manager-benchmark start PROGRAM_FOLDER RUNS\n"
                         "       kx2700-manager-benchmark socket-start PROGRAM SOCKET RUNS\n"
                         "       kx2700-manager-benchmark window PROGRAM_FOLDER RUNS PIN TREE_SERIAL IMPORT_SERIAL "
                         "PKCS12 PASSWORD\n"
                         "       kx2700-manager-benchmark stalls PROGRAM_FOLDER PIN TREE_SERIAL IMPORT_SERIAL "
                         "LARGE_SERIAL PKCS12 PASSWORD KEYSIM_TOOL PLUG_SERIALS\n"
                         "       kx2700-manager-benchmark fill PKCS11_MODULE PIN PKCS12 PASSWORD\n"
                         "       kx2700-manager-benchmark tree-fill CONTAINERS RUNS\n"
                         "       kx2700-manager-benchmark plug-to-store KEYSIM_TOOL SERIAL STORE_FOLDER COUNT RUNS\n");
    return 2;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "start-child" && argc == 4) {
        return startChild(argc, argv);
    }
    if (mode == "start" && argc == 4) {
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        return startRuns(self.c_str(), argv[2], std::atoi(argv[3]));
    }
    if (mode == "socket-start" && argc == 5) {
        return socketStart(argv);
    }
    if (mode == "plug-to-store" && argc == 7) {
        return plugToStore(argv);
    }
    QApplication app(argc, argv);
    // The stall rounds delete a container: their question is answered Yes.
    PrintingPresenter presenter(mode == "stalls");
    kx::MessagePresenter::setCurrent(&presenter);
    const QStringList args = QCoreApplication::arguments();
    if (mode == "stalls" && argc == 11) {
        return windowStalls(args);
    }
    if (mode == "window" && argc == 9) {
        return windowRounds(args);
    }
    if (mode == "fill" && argc == 6) {
        return fill(args);
    }
    if (mode == "tree-fill" && argc == 4) {
        return treeFill(args);
    }
    return usage();
}
