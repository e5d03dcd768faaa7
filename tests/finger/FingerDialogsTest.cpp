// SPDX-License-Identifier: Apache-2.0
// The fingerprint pictures, the hand and the four dialogs: over a scripted SKF library for
// progress jumps, late failures and endless waiting, and over the virtual key for the real
// enrolment, learning and login paths.
#include "../common/TestFolders.h"
#include "../manager/ManagerFixture.h"

#include "common/LanguageTexts.h"
#include "manager/finger/FingerHand.h"
#include "manager/finger/FingerKeyAccess.h"
#include "manager/finger/TFingerInputForm.h"
#include "manager/finger/TFingerStudyForm.h"
#include "manager/finger/TFingerTestForm.h"
#include "manager/finger/TFingerVerifyForm.h"
#include "token/TokenApi.h"
#include "token/TokenWrappers.h"

#include <QImageReader>
#include <QProgressBar>
#include <QPushButton>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QThreadPool>
#include <QToolButton>

#include <atomic>

using namespace kx;

namespace {

using Picture = FingerDialog::Picture;
const SkfHandle kApp = reinterpret_cast<SkfHandle>(0x10);
constexpr std::uint32_t kOtherFailure = 0x0A000001;
const QString kOtherText = QStringLiteral("操作失败(0x0a000001)");
const QString kMismatch = QStringLiteral("指纹不匹配,手指离开指纹器...");
const QString kCaptureFailed = QStringLiteral("测试指纹失败,手指离开指纹器...");

// Scripted_Set fields and Scripted_Count counters of the scripted library.
constexpr int EnrollInitResult = 0;
constexpr int VerifyInitResult = 1;
constexpr int RetryLeft = 2;
constexpr int SampleCalls = 0;
constexpr int TestCalls = 1;
constexpr int FingerMode = 2;

// Calls a control of the scripted library.
template <typename... Args>
std::uint32_t script(const char* name, Args... args)
{
    auto* entry = reinterpret_cast<std::uint32_t (*)(Args...)>(SkfLibrary::Entry(name));
    if (!entry)
        qFatal("the scripted library lacks %s", name);
    return entry(args...);
}

template <typename T = QPushButton>
T* child(const QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// The token library's login, answered from a script.
struct LoginScript
{
    static inline int result = 0;
    static inline int keyIndex = -1;
    static inline QByteArray pin;
    // How long the key takes to read the finger.
    static inline std::atomic<int> delayMs = 0;
    static int login(int key, const char* text, int* retries)
    {
        if (delayMs > 0)
            QThread::msleep(static_cast<unsigned long>(delayMs.load()));
        keyIndex = key;
        pin = text ? QByteArray(text) : QByteArray("<null>");
        *retries = 0;
        return result;
    }
};

// A key that keeps waiting for the finger until the test lets it answer, and counts logouts.
struct HeldLogin
{
    static inline QSemaphore answer{0};
    static inline std::atomic<int> result = 0;
    static inline std::atomic<int> logouts = 0;
    static inline std::atomic<int> answered = 0;
    static int login(int, const char*, int* retries)
    {
        answer.acquire();
        *retries = 0;
        ++answered;
        return result;
    }
    static int logout(int)
    {
        ++logouts;
        return 0;
    }
};

// The dialogs' way to a key for these tests: each call runs on a thread of the global pool
// against the given SKF state and application, and answers on the test's thread, as the key
// service does for the programs.
class ThreadedKey final : public FingerKeyAccess
{
public:
    ThreadedKey(Call_GMAPIs_Admin& admin, SkfHandle app, int keyIndex = 0)
        : m_admin(admin), m_app(app), m_keyIndex(keyIndex)
    {}

    void skf(SkfWork work, QObject* receiver, std::function<void(std::uint32_t)> done) override
    {
        run([this, work] { return work(m_admin, m_app); }, receiver,
            [done](std::uint32_t result) { done(result); });
    }
    void fingerLogin(std::function<bool(int)> ended, QObject* receiver, std::function<void(int)> done) override
    {
        const int keyIndex = m_keyIndex;
        run(
            [keyIndex, ended] {
                int retries = 0;
                const int result = kx::token_login(keyIndex, QString(), retries);
                if (ended(result) && result == 0) {
                    kx::token_logout(keyIndex);
                }
                return static_cast<std::uint32_t>(result);
            },
            receiver, [done](std::uint32_t result) { done(static_cast<int>(result)); });
    }
    void logout() override
    {
        const int keyIndex = m_keyIndex;
        QThreadPool::globalInstance()->start([keyIndex] { kx::token_logout(keyIndex); });
    }

private:
    void run(std::function<std::uint32_t()> work, QObject* receiver, std::function<void(std::uint32_t)> done)
    {
        const QPointer<QObject> guard(receiver);
        QThreadPool::globalInstance()->start([work, guard, done] {
            const std::uint32_t result = work();
            QMetaObject::invokeMethod(
                qApp,
                [guard, done, result] {
                    if (guard) {
                        done(result);
                    }
                },
                Qt::QueuedConnection);
        });
    }

    Call_GMAPIs_Admin& m_admin;
    SkfHandle m_app;
    int m_keyIndex;
};

// Waits until a dialog's work has ended.
bool workEnded(const FingerDialog& dialog)
{
    return QTest::qWaitFor([&] { return !dialog.running(); }, 20000);
}

} // namespace

class FingerDialogsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::TestFolders> m_folders;
    std::unique_ptr<test::RecordingPresenter> m_presenter;
    FingerPictures m_pictures;
    Call_GMAPIs_Admin m_admin;

    std::shared_ptr<FingerKeyAccess> key(int keyIndex = 0)
    {
        return std::make_shared<ThreadedKey>(m_admin, kApp, keyIndex);
    }

    // Runs the control tool with the words of `command`.
    static bool keysim(const QString& command)
    {
        QProcess tool;
        tool.start(QStringLiteral(KEYSIM_TOOL_PATH), command.split(QLatin1Char(' ')));
        tool.waitForFinished(20000);
        return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        m_folders = std::make_unique<test::TestFolders>();
        m_presenter = std::make_unique<test::RecordingPresenter>();
        qputenv("KX2700_KEYSIM_FINGER_TIMEOUT_MS", "400");
        m_pictures.Load(QStringLiteral(KX_SOURCE_DIR "/resources/res/Finger"));
    }

    void init()
    {
        QVERIFY(SkfLibrary::Load(QStringLiteral(SCRIPTED_SKF_PATH)));
        script("Scripted_Reset");
        m_presenter->messages.clear();
    }

    void cleanupTestCase()
    {
        // The workers' threads end before the process does: a thread still alive at exit keeps
        // OpenSSL's per-thread state, which its clean-up at exit then drops as a leak.
        QThreadPool::globalInstance()->waitForDone();
        SkfLibrary::Unload();
    }

    void shippedPictureSets_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("fingerprint") << QStringLiteral("Finger");
        QTest::newRow("finger vein") << QStringLiteral("FingerVein");
    }

    void shippedPictureSets()
    {
        QFETCH(QString, folder);
        const QString path = QStringLiteral(KX_SOURCE_DIR "/resources/res/") + folder;
        FingerPictures pictures;
        pictures.Load(QString(path).replace(QLatin1Char('/'), QLatin1Char('\\')));
        QVERIFY(!pictures.ok.isNull() && !pictures.error.isNull());
        QVERIFY(QImageReader(pictures.demo).imageCount() > 3);
        for (const QPixmap& marker : pictures.markers) {
            // The bitmap's background is see-through, its dot is not.
            QCOMPARE(marker.toImage().pixelColor(0, 15).alpha(), 0);
            QCOMPARE(marker.toImage().pixelColor(8, 8).alpha(), 255);
        }
        // Every finger button sits on a finger of the picture.
        QCOMPARE(pictures.hand.size(), FingerHand::kHandSize);
        const QImage hand = pictures.hand.toImage();
        FingerHand widget;
        for (int finger = 1; finger <= FingerHand::kFingers; ++finger)
            QVERIFY2(hand.pixelColor(widget.button(finger)->geometry().center()).alpha() == 255,
                     qPrintable(QString::number(finger)));
    }

    void loadKeepsPicturesOfMissingOrBrokenFiles()
    {
        FingerPictures pictures = m_pictures;
        m_folders->write(QStringLiteral("partial/FingerHand.png"), "not a picture");
        m_folders->write(QStringLiteral("partial/FingerDemo.gif"), "GIF89a broken");
        QImage small(10, 10, QImage::Format_ARGB32);
        small.fill(Qt::green);
        QVERIFY(small.save(m_folders->path(QStringLiteral("partial/FingerOK.png"))));
        pictures.Load(m_folders->path(QStringLiteral("partial/")));
        QCOMPARE(pictures.ok.size(), QSize(10, 10));
        QCOMPARE(pictures.hand.cacheKey(), m_pictures.hand.cacheKey());
        QCOMPARE(pictures.error.cacheKey(), m_pictures.error.cacheKey());
        QCOMPARE(pictures.demo, m_pictures.demo);
    }

    void handButtonsAndMarkers()
    {
        FingerHand hand;
        hand.setPictures(m_pictures);
        QToolButton* seven = child<QToolButton>(&hand, "SpeedButton7");
        QCOMPARE(seven->property("Tag").toInt(), 7);
        const std::array<int, 10> page{0, -1, -1, -1, 0, -1, 1, 5, -1, 0};
        hand.setMarkers(page);
        hand.setMarker(11, 0); // no such finger: ignored
        // An unknown marker reads as none.
        QCOMPARE(hand.markers(), (std::array<int, 10>{0, -1, -1, -1, 0, -1, 1, -1, -1, 0}));
        QVERIFY(!seven->icon().isNull() && hand.button(8)->icon().isNull());
        QSignalSpy clicked(&hand, &FingerHand::fingerClicked);
        seven->click();
        QCOMPARE(clicked.value(0).value(0).toInt(), 7);
    }

    void enrolmentCountsOneStepPerRaisedSample()
    {
        // The key jumps from 0 to 2 on the first sample, then keeps waiting.
        script("Scripted_AddSample", FingerSamplePending, 2u);
        TFingerInputForm form(key(), m_pictures, 4, SkfUserType, 3);
        auto* bar = child<QProgressBar>(&form, "PB");
        QCOMPARE(bar->maximum(), 3);
        int seen = -1;
        QTimer::singleShot(700, this, [&] {
            seen = bar->value();
            form.reject();
        });
        form.TrunTimer();
        QTRY_VERIFY_WITH_TIMEOUT(seen != -1, 5000);
        QVERIFY(workEnded(form));
        QCOMPARE(seen, 1);
        QCOMPARE(script("Scripted_Count", FingerMode), 3u);
    }

    void enrolmentStartFailure_data()
    {
        QTest::addColumn<std::uint32_t>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("not logged in") << SAR_USER_NOT_LOGGED_IN << Lang("P_SAR_USER_NOT_LOGGED_IN");
        QTest::newRow("no application") << SAR_APPLICATION_NOT_EXISTS << Lang("P_SAR_APPLICATION_NOT_EXISTS");
        QTest::newRow("other") << kOtherFailure << kOtherText;
    }

    void enrolmentStartFailure()
    {
        QFETCH(std::uint32_t, code);
        QFETCH(QString, text);
        script("Scripted_Set", EnrollInitResult, code);
        TFingerInputForm form(key(), m_pictures, 2, SkfUserType, 3);
        QPushButton* cancel = child(&form, "btnCancel");
        QVERIFY(!cancel->isEnabled());
        form.show();
        form.TrunTimer();
        QVERIFY(workEnded(form));
        QCOMPARE(form.message(), text);
        QVERIFY(form.messageIsError());
        QCOMPARE(form.shownPicture(), Picture::Error);
        QCOMPARE(form.ResultCode, code);
        QCOMPARE(script("Scripted_Count", SampleCalls), 0u);
        QVERIFY(cancel->isEnabled() && !child(&form, "btnRun")->isEnabled());
        auto* countdown = child<QTimer>(&form, "TClose");
        QVERIFY(countdown->isActive());

        // Five ticks count down on the close button, the sixth closes the dialog.
        countdown->stop();
        for (int left = 5; left >= 1; --left) {
            form.TCloseTimer();
            QCOMPARE(cancel->text(), QStringLiteral("关闭(%1)").arg(left));
        }
        QVERIFY(form.isVisible());
        form.TCloseTimer();
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Accepted));
    }

    void enrolmentOutcome_data()
    {
        QTest::addColumn<std::uint32_t>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("countdown");
        QTest::newRow("finger exists") << SAR_FINGER_EXIST << Lang("F_Input_Exist") << true;
        QTest::newRow("capture failed") << FingerCaptureFailed << Lang("F_Input_Error") << false;
        QTest::newRow("other") << kOtherFailure << kOtherText << true;
    }

    void enrolmentOutcome()
    {
        QFETCH(std::uint32_t, code);
        QFETCH(QString, text);
        QFETCH(bool, countdown);
        script("Scripted_AddSample", FingerSamplePending, 1u);
        script("Scripted_AddSample", code, 1u);
        TFingerInputForm form(key(), m_pictures, 6, SkfUserType, 3);
        form.show();
        form.TrunTimer();
        QVERIFY(workEnded(form));
        QCOMPARE(child<QProgressBar>(&form, "PB")->value(), 3);
        QCOMPARE(form.message(), text);
        QVERIFY(form.messageIsError());
        QCOMPARE(form.shownPicture(), Picture::Error);
        QCOMPARE(form.ResultCode, code);
        QCOMPARE(child<QTimer>(&form, "TClose")->isActive(), countdown);
        QVERIFY(child(&form, "btnCancel")->isEnabled());
        QCOMPARE(child(&form, "btnRun")->isEnabled(), !countdown);
        QVERIFY(form.isVisible());
        if (countdown)
            return;
        // Trying again after a capture failure can succeed.
        script("Scripted_AddSample", SAR_OK, 3u);
        child(&form, "btnRun")->click();
        QVERIFY(workEnded(form));
        QCOMPARE(form.ResultCode, SAR_OK);
        QCOMPARE(form.message(), Lang("F_Input_OK"));
        QCOMPARE(form.shownPicture(), Picture::Ok);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Accepted));
    }

    void testMarksRecognisedFinger()
    {
        const std::array<int, 10> page{0, -1, -1, -1, -1, -1, 0, -1, -1, -1};
        script("Scripted_AddTest", FingerSamplePending, 0u);
        script("Scripted_AddTest", SAR_OK, 7u);
        TFingerTestForm form(key(), m_pictures, SkfUserType, page);
        QPushButton* again = child(&form, "btnTest");
        QVERIFY(!again->isEnabled() && !child(&form, "btnCancel")->isEnabled());
        form.TrunTimer();
        QVERIFY(workEnded(form));
        QCOMPARE(script("Scripted_Count", TestCalls), 2u);
        QCOMPARE(form.message(), Lang("F_Test_OK"));
        QVERIFY(!form.messageIsError());
        QCOMPARE(form.hand()->marker(7), FingerPictures::kRecognisedMarker);
        QCOMPARE(form.hand()->marker(1), FingerPictures::kEnrolledMarker);
        QVERIFY(again->isEnabled() && child(&form, "btnCancel")->isEnabled());

        // Testing again starts from the page's markers; the picture stays the animation.
        script("Scripted_AddTest", SAR_FINGER_NOT_EXIST, 0u);
        again->click();
        QCOMPARE(form.hand()->markers(), page);
        QVERIFY(workEnded(form));
        QCOMPARE(form.message(), Lang("P_SAR_FINGER_NOT_EXIST"));
        QVERIFY(form.messageIsError());
        QCOMPARE(form.shownPicture(), Picture::Animation);
    }

    // A key that refuses to start verifying: the notice, then the test dialog closes.
    void testStartFailure()
    {
        script("Scripted_Set", VerifyInitResult, SAR_PIN_LOCKED);
        TFingerTestForm form(key(), m_pictures, SkfUserType, {});
        form.show();
        form.TrunTimer();
        QVERIFY(workEnded(form));
        QTRY_VERIFY(!form.isVisible());
        QCOMPARE(m_presenter->messages, QStringList{Lang("P_SAR_PIN_LOCKED")});
        QCOMPARE(script("Scripted_Count", TestCalls), 0u);
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
    }

    void verification_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("error");
        QTest::newRow("recognised") << 0 << Lang("F_Test_OK") << false;
        QTest::newRow("refused finger") << int(FingerCaptureFailed) << Lang("F_Test_Error") << true;
        QTest::newRow("no finger in time") << int(TFingerVerifyForm::kLoginNoFinger) << Lang("F_Test_Error") << true;
        QTest::newRow("locked") << 0xA4 << QStringLiteral("验证失败，剩余重试次数：3") << true;
    }

    void verification()
    {
        QFETCH(int, code);
        QFETCH(QString, text);
        QFETCH(bool, error);
        ScopedTokenApi api;
        api.api().token_login = &LoginScript::login;
        LoginScript::result = code;
        script("Scripted_Set", RetryLeft, 3u);
        TFingerVerifyForm form(key(2), m_pictures, SkfUserType);
        QVERIFY(!child(&form, "btnCancel")->isEnabled());
        form.show();
        form.TrunTimer();
        QVERIFY(workEnded(form));
        // The sensor login: the key's index and an empty PIN.
        QCOMPARE(LoginScript::keyIndex, 2);
        QCOMPARE(LoginScript::pin, QByteArray());
        QCOMPARE(form.ResultCode, std::uint32_t(code));
        QCOMPARE(form.message(), text);
        QCOMPARE(form.messageIsError(), error);
        QCOMPARE(form.shownPicture(), error ? Picture::Error : Picture::Ok);
        QVERIFY(child(&form, "btnCancel")->isEnabled());
        QVERIFY(child<QTimer>(&form, "TClose")->isActive());
        // Success closes at the first tick, a failure after the countdown.
        for (int tick = 1; tick < (error ? 6 : 1); ++tick)
            form.TCloseTimer();
        QVERIFY(form.isVisible());
        form.TCloseTimer();
        QVERIFY(!form.isVisible());
    }

    void verificationKeepsTheWindowAliveWhileTheKeyReads()
    {
        ScopedTokenApi api;
        api.api().token_login = &LoginScript::login;
        LoginScript::result = 0;
        LoginScript::delayMs = 600;
        TFingerVerifyForm form(key(1), m_pictures, SkfUserType);
        form.show();
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        form.TrunTimer();
        QVERIFY(workEnded(form));
        LoginScript::delayMs = 0;
        QVERIFY2(ticks >= 5, "events were not processed while the key read the finger");
        QCOMPARE(form.ResultCode, 0u);
    }

    // A verification dialog that goes away while the key still waits gives the login up: a
    // finger recognised afterwards logs the key out at once; a refused one needs nothing.
    void verificationGivenUpLogsALateLoginOut_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("logouts");
        QTest::newRow("recognised") << 0 << 1;
        QTest::newRow("refused") << int(FingerCaptureFailed) << 0;
    }

    void verificationGivenUpLogsALateLoginOut()
    {
        QFETCH(int, code);
        QFETCH(int, logouts);
        ScopedTokenApi api;
        api.api().token_login = &HeldLogin::login;
        api.api().token_logout = &HeldLogin::logout;
        HeldLogin::result = code;
        HeldLogin::logouts = 0;
        HeldLogin::answered = 0;
        auto* form = new TFingerVerifyForm(key(1), m_pictures, SkfUserType);
        form->show();
        bool waited = false;
        QTimer::singleShot(0, form, [form, &waited] {
            waited = form->waitingForKey() && form->isVisible();
            delete form;
        });
        form->TrunTimer();
        QTRY_VERIFY(waited); // the dialog went while the key waited
        QCOMPARE(HeldLogin::logouts.load(), 0);
        HeldLogin::answer.release();
        QTRY_COMPARE(HeldLogin::answered.load(), 1);
        QTRY_COMPARE(HeldLogin::logouts.load(), logouts);
    }

    void learningCountsOnlyTheTrainedFinger()
    {
        const QString next = QStringLiteral("学习成功,手指离开指纹器...");
        // result, finger, message, passes left
        const QList<std::tuple<std::uint32_t, std::uint32_t, QString, int>> passes{
            {SAR_OK, 2, next, 4},      {FingerCaptureFailed, 0, kCaptureFailed, 4},
            {SAR_OK, 5, kMismatch, 4}, {FingerNotBound, 0, QStringLiteral("指纹未绑定证书"), 4},
            {SAR_OK, 2, next, 3},      {SAR_OK, 2, next, 2},
            {SAR_OK, 2, next, 1},      {SAR_OK, 2, QStringLiteral("学习成功"), 0},
        };
        TFingerStudyForm form(key(), m_pictures, SkfUserType, 2);
        form.show();
        auto* bar = child<QProgressBar>(&form, "PB");
        QPushButton* again = child(&form, "btnTest");
        for (const auto& [code, finger, text, remaining] : passes) {
            script("Scripted_AddTest", code, finger);
            form.TrunTimer();
            QVERIFY(workEnded(form));
            QCOMPARE(form.message(), text);
            const bool counted = code == SAR_OK && finger == 2;
            QCOMPARE(form.messageIsError(), !counted);
            QCOMPARE(form.shownPicture(), counted ? Picture::Ok : Picture::Error);
            QCOMPARE(form.remainingPasses(), remaining);
            QCOMPARE(bar->value(), 5 - remaining);
            QCOMPARE(child<QTimer>(&form, "Trun")->isActive(), remaining > 0);
            QCOMPARE(again->isEnabled(), remaining == 0);
        }
        QCOMPARE(form.focusWidget(), again);
        again->click();
        QCOMPARE(form.remainingPasses(), 5);
        QCOMPARE(bar->value(), 0);
        QVERIFY(child<QTimer>(&form, "Trun")->isActive());
    }

    void learningCancelWaitsForThePass()
    {
        // While the key waits for a finger, the pass ends first.
        TFingerStudyForm form(key(), m_pictures, SkfUserType, 2);
        form.show();
        QPushButton* cancel = child(&form, "btnCancel");
        bool visibleAfterClick = false;
        QTimer::singleShot(500, this, [&] {
            cancel->click();
            visibleAfterClick = form.isVisible();
        });
        form.TrunTimer();
        QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 5000);
        QVERIFY(visibleAfterClick);
        QCOMPARE(cancel->text(), QStringLiteral("即将关闭"));
        QVERIFY(!form.isVisible());
        QCOMPARE(form.result(), int(QDialog::Rejected));
        QVERIFY(!child<QTimer>(&form, "Trun")->isActive());
    }

    void closingOrDestroyingDuringPolling()
    {
        {
            TFingerInputForm form(key(), m_pictures, 1, SkfUserType, 3);
            form.show();
            QTimer::singleShot(500, this, [&] { form.reject(); });
            form.TrunTimer();
            QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), 5000);
            QVERIFY(workEnded(form));
            QCOMPARE(form.result(), int(QDialog::Rejected));
            // A closed dialog does not start again.
            const std::uint32_t calls = script("Scripted_Count", SampleCalls);
            form.TrunTimer();
            QCOMPARE(script("Scripted_Count", SampleCalls), calls);
        }
        // Destroyed inside a wait (its owner went away): no further key call, no member touched.
        auto* test = new TFingerTestForm(key(), m_pictures, SkfUserType, {});
        std::uint32_t callsAtDeletion = 0;
        QTimer::singleShot(500, this, [&] {
            callsAtDeletion = script("Scripted_Count", TestCalls);
            delete test;
        });
        test->TrunTimer();
        QTRY_VERIFY_WITH_TIMEOUT(callsAtDeletion > 0, 5000);
        // A call already on its way may still end; no new one starts.
        QTest::qWait(500);
        QVERIFY(script("Scripted_Count", TestCalls) <= callsAtDeletion + 1);
        callsAtDeletion = script("Scripted_Count", TestCalls);
        QTest::qWait(500);
        QCOMPARE(script("Scripted_Count", TestCalls), callsAtDeletion);
    }

    void virtualKeyEnrolmentAndLearning()
    {
        QTemporaryDir keys;
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(keys.path()));
        QVERIFY(keysim(QStringLiteral("create --serial KXF01 --sensor fingerprint --caps 2 --fingers 2,5")));
        QVERIFY(SkfLibrary::Load(QStringLiteral(KEYSIM_SKF_PATH)));
        Call_GMAPIs_Admin admin;
        QCOMPARE(admin.ShortRefresh(), 0u);
        const SkfHandle app = admin.SkfAppHandle;
        std::uint32_t retries = 0;
        QCOMPARE(admin.VerifyPIN(app, SkfUserType, QStringLiteral("12345678"), retries), 0u);
        TFingerInputForm input(std::make_shared<ThreadedKey>(admin, app), m_pictures, 3, SkfUserType, 2);
        input.TrunTimer();
        QVERIFY(workEnded(input));
        QCOMPARE(input.ResultCode, SAR_OK);
        QCOMPARE(input.result(), int(QDialog::Accepted));
        FingerInfo info;
        QCOMPARE(admin.ReadFingerInfo(app, SkfUserType, info), 0u);
        QCOMPARE(Call_GMAPIs_Admin::EnrolledFingers(info), (QList<int>{2, 3, 5}));

        // Training finger 2 while finger 5 is on the sensor never uses up a pass; nor does
        // waiting until the key gives up.
        TFingerStudyForm study(std::make_shared<ThreadedKey>(admin, app), m_pictures, SkfUserType, 2);
        QVERIFY(keysim(QStringLiteral("present-finger KXF01 5")));
        study.TrunTimer();
        QVERIFY(workEnded(study));
        QCOMPARE(study.message(), kMismatch);
        study.TrunTimer();
        QVERIFY(workEnded(study));
        QCOMPARE(study.message(), kCaptureFailed);
        QCOMPARE(study.remainingPasses(), 5);
        QVERIFY(keysim(QStringLiteral("present-finger KXF01 2")));
        study.TrunTimer();
        QVERIFY(workEnded(study));
        QCOMPARE(study.remainingPasses(), 4);
        qunsetenv("KX2700_KEYSIM_DIR");
    }

    // The token library's answers to a sensor login are the ones the verification dialog tells
    // apart.
    void virtualKeyLogin()
    {
        QTemporaryDir keys;
        qputenv("KX2700_KEYSIM_DIR", QFile::encodeName(keys.path()));
        QVERIFY(keysim(QStringLiteral("create --serial KXF02 --sensor fingerprint --fingers 2")));
        QCOMPARE(InitTokenLibrary(QStringLiteral(KEYSIM_PKCS11_PATH), QString(), QString(), QString()), 0);
        int found = 0;
        QCOMPARE(FindAndConnectKeys(found), 0);
        const auto verify = [&](const QString& finger) {
            if (!finger.isEmpty())
                keysim(QStringLiteral("present-finger KXF02 ") + finger);
            TFingerVerifyForm form(key(0), m_pictures, SkfUserType);
            form.TrunTimer();
            workEnded(form);
            return std::make_pair(form.ResultCode, form.message());
        };
        QCOMPARE(verify(QStringLiteral("4")), std::make_pair(FingerCaptureFailed, Lang("F_Test_Error")));
        QCOMPARE(verify(QString()), std::make_pair(TFingerVerifyForm::kLoginNoFinger, Lang("F_Test_Error")));
        QCOMPARE(verify(QStringLiteral("2")), std::make_pair(SAR_OK, Lang("F_Test_OK")));
        kx::uninit_pkcs11();
        qunsetenv("KX2700_KEYSIM_DIR");
    }
};

QTEST_MAIN(FingerDialogsTest)
#include "FingerDialogsTest.moc"
