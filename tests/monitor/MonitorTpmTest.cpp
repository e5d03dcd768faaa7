// SPDX-License-Identifier: Apache-2.0
// The monitor on a TPM's token (tpm2-pkcs11 over a software TPM): no hot-plug event tells of it,
// so the monitor sees it go when the TPM stops and come back when it starts again, without being
// started again itself.
#include "MonitorFixture.h"

#include "../common/TpmToken.h"

#include "common/LanguageTexts.h"
#include "monitor/TMainForm.h"

#include <QSignalSpy>
#include <QTest>

using namespace kx;
using namespace kx::test;
using kx::mon::TMainForm;

class MonitorTpmTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        const std::string missing = TpmToken::missingTools();
        if (!missing.empty()) {
            QSKIP(qPrintable(QStringLiteral("not installed: ") + QString::fromStdString(missing)));
        }
        std::string error;
        QVERIFY2(m_tpm.start({}, error), error.c_str());
    }

    void theTokenGoesAndComesBackWithTheTpm()
    {
        MonitorWorld world(TpmToken::kModule);
        RecordingPresenter messages;
        RecordingLauncher launcher;
        FakeManager manager;
        TUserConfigInfo config;
        config.DefaultPINMode = 0;
        world.writeConfig(config);
        TMainForm window;
        QVERIFY(started(window));
        QTRY_COMPARE_WITH_TIMEOUT(window.KeyCount(), 1, 10000);
        QVERIFY(window.trayShown());
        QSignalSpy balloons(&window, &TMainForm::balloonShown);

        m_tpm.stopTpm();
        QTRY_COMPARE_WITH_TIMEOUT(window.KeyCount(), 0, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(!window.trayShown(), 5000);
        QVERIFY(!balloons.isEmpty());
        QCOMPARE(balloons.last().at(0).toString(), Lang("K_Key_Remove"));

        QVERIFY(m_tpm.startTpm());
        QTRY_COMPARE_WITH_TIMEOUT(window.KeyCount(), 1, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(balloons.last().at(0).toString(), Lang("K_Key_Arrival"), 5000);
        QVERIFY(window.trayShown());
        QVERIFY2(messages.messages.isEmpty(), qPrintable(messages.messages.join(QLatin1Char('|'))));
    }

private:
    TpmToken m_tpm;
};

QTEST_MAIN(MonitorTpmTest)
#include "MonitorTpmTest.moc"
