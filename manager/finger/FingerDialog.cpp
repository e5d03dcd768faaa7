// SPDX-License-Identifier: Apache-2.0
#include "FingerDialog.h"

#include <QGridLayout>
#include <QHBoxLayout>

#include "common/LanguageTexts.h"
#include "common/TextFormat.h"
#include "common/widgets/WindowFont.h"

#include <QLabel>
#include <QMovie>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

namespace kx {

namespace {

constexpr QSize kPictureSize{96, 96};

} // namespace

FingerDialog::FingerDialog(std::shared_ptr<FingerKeyAccess> key, const FingerPictures& pictures, bool withCountdown,
                           QWidget* parent)
    : QDialog(parent), m_key(std::move(key)), m_pictures(pictures)
{
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFont(WindowFont());

    m_label1 = new QLabel(this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setWordWrap(true);
    m_message = new QLabel(this);
    m_message->setObjectName(QStringLiteral("LMsg"));
    m_message->setWordWrap(true);
    m_image = new QLabel(this);
    m_image->setObjectName(QStringLiteral("ImgFinger"));
    m_image->setFixedSize(kPictureSize);
    m_image->setAlignment(Qt::AlignCenter);
    m_cancel = new QPushButton(Lang("P_Btn_Close"), this);
    m_cancel->setObjectName(QStringLiteral("btnCancel"));
    connect(m_cancel, &QPushButton::clicked, this, &QDialog::reject);

    if (!m_pictures.demo.isEmpty()) {
        m_movie = new QMovie(m_pictures.demo, QByteArray(), this);
    }

    m_trun = new QTimer(this);
    m_trun->setObjectName(QStringLiteral("Trun"));
    m_trun->setInterval(kStartDelayMs);
    connect(m_trun, &QTimer::timeout, this, [this] { TrunTimer(); });
    if (withCountdown) {
        m_tclose = new QTimer(this);
        m_tclose->setObjectName(QStringLiteral("TClose"));
        m_tclose->setInterval(kCloseTickMs);
        connect(m_tclose, &QTimer::timeout, this, &FingerDialog::TCloseTimer);
    }
    m_trun->start();
}

FingerDialog::~FingerDialog() = default;

void FingerDialog::TrunTimer()
{
    m_trun->stop();
    runGuarded();
}

void FingerDialog::TCloseTimer()
{
    if (m_countdown > 0) {
        m_cancel->setText(QStringLiteral("%1(%2)").arg(Lang("P_Btn_Close")).arg(m_countdown));
        --m_countdown;
        return;
    }
    if (m_tclose) {
        m_tclose->stop();
    }
    accept();
}

QString FingerDialog::message() const
{
    return m_message->text();
}

void FingerDialog::done(int result)
{
    // Polls still waiting for the sensor end at their next pause; no timer starts new work.
    m_stopping = true;
    m_trun->stop();
    if (m_tclose) {
        m_tclose->stop();
    }
    if (m_movie) {
        m_movie->stop();
    }
    QDialog::done(result);
}

void FingerDialog::runGuarded()
{
    if (m_running || m_stopping) {
        return;
    }
    m_running = true;
    run();
}

void FingerDialog::workEnded()
{
    m_running = false;
}

void FingerDialog::setMessage(const QString& text, bool error)
{
    m_message->setText(text);
    m_message->setStyleSheet(error ? QStringLiteral("color: red;") : QStringLiteral("color: blue;"));
    m_messageIsError = error;
}

void FingerDialog::showPicture(Picture picture)
{
    m_picture = picture;
    if (m_movie) {
        m_movie->stop();
    }
    switch (picture) {
    case Picture::Animation:
        if (m_movie) {
            m_image->setMovie(m_movie);
            m_movie->start();
        } else {
            m_image->clear();
        }
        break;
    case Picture::Ok:
        m_image->setPixmap(m_pictures.ok);
        break;
    case Picture::Error:
        m_image->setPixmap(m_pictures.error);
        break;
    case Picture::None:
        m_image->clear();
        break;
    }
}

void FingerDialog::startCountdown()
{
    if (m_tclose) {
        m_tclose->start();
    }
}

void FingerDialog::callKey(FingerKeyAccess::SkfWork work, std::function<void(std::uint32_t)> then)
{
    ++m_callsOut;
    m_key->skf(std::move(work), this, [this, then](std::uint32_t result) {
        --m_callsOut;
        if (m_stopping) {
            workEnded();
            return;
        }
        then(result);
    });
}

void FingerDialog::pollWhilePending(FingerKeyAccess::SkfWork attempt, std::function<void(std::uint32_t)> then)
{
    callKey(attempt, [this, attempt, then](std::uint32_t result) {
        if (result != FingerSamplePending) {
            then(result);
            return;
        }
        pause([this, attempt, then] { pollWhilePending(attempt, then); });
    });
}

void FingerDialog::pause(std::function<void()> next)
{
    QTimer::singleShot(kPollIntervalMs, this, [this, next] {
        if (m_stopping) {
            workEnded();
            return;
        }
        next();
    });
}

void FingerDialog::arrange(QWidget* top, QWidget* below, QPushButton* repeat)
{
    auto* layout = new QGridLayout(this);
    const int first = top ? 1 : 0;
    if (top) {
        layout->addWidget(top, 0, 0, 1, 2, Qt::AlignHCenter);
    }
    layout->addWidget(m_image, first, 0, below ? 3 : 2, 1);
    layout->addWidget(m_label1, first, 1);
    layout->addWidget(m_message, first + 1, 1);
    if (below) {
        layout->addWidget(below, first + 2, 1);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    if (repeat) {
        buttons->addWidget(repeat);
    }
    buttons->addWidget(m_cancel);
    layout->addLayout(buttons, first + (below ? 3 : 2), 0, 1, 2);
    layout->setColumnMinimumWidth(1, 280);
}

QString FingerDialog::verifyStartFailureText(std::uint32_t code)
{
    switch (code) {
    case SAR_PIN_LOCKED:
        return Lang("P_SAR_PIN_LOCKED");
    case SAR_FINGER_NOT_EXIST:
        return Lang("P_SAR_FINGER_NOT_EXIST");
    default:
        return formatError(code);
    }
}

QString FingerDialog::formatError(std::uint32_t code)
{
    return FormatHex(Lang("P_FormatError"), code);
}

} // namespace kx
