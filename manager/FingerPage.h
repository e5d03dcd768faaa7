// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QWidget>

#include <cstdint>
#include <memory>

class QAction;

namespace Ui {
class FingerPage;
}

namespace kx {

class FingerKeyAccess;
class FingerPictures;
class KeySession;

// The fingerprint page: the ten fingers of the hands with the enrolled ones marked, enrolment and
// deletion by a click on a finger, deletion of all, unblocking, test and learning.
class FingerPage : public QWidget
{
    Q_OBJECT

public:
    FingerPage(KeySession& session, const FingerPictures& pictures, QWidget* parent = nullptr);
    ~FingerPage() override;

    void ApplyTexts();
    // Hands the pictures to the hand again after they were loaded anew.
    void showPictures();
    // Reads the enrolled fingers of the selected key; the page follows what was read.
    void FingerPageRefresh(std::uint32_t userType);

    void AcFingerInputExecute(int finger);
    void AcFingerDelExecute();
    void AcFingerUnlockExecute();
    void AcFingerTestExecute();
    void AcFingerStudyExecute();

    // The finger last clicked on the hand.
    int SelectedFinger = 0;

private:
    QAction* action(const char* name) const;
    void showFingers();
    bool selectedKeyLoggedIn();
    std::shared_ptr<FingerKeyAccess> fingerKey(int keyIndex);
    void deleteFinger(int keyIndex, int finger);
    void enrolFinger(int keyIndex, int finger);
    void studyAfterEnrolment(const QByteArray& key);

    std::unique_ptr<Ui::FingerPage> m_ui;
    // An action of the page asked of the key and not answered yet.
    bool m_pending = false;
    KeySession& m_session;
    const FingerPictures& m_pictures;
};

} // namespace kx
