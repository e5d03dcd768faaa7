// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "CertJobs.h"
#include "KeyCall.h"
#include "KeyDirectory.h"
#include "KeyLanes.h"
#include "KeyListing.h"

#include "token/TokenRecords.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

namespace kx {

struct TAPPInfo;
class KeyJournal;
class SkfAccess;

// The keys of one program and all work on them. It holds the key table (the keys of the last
// enumeration with their information), the selected key, the login state of every key and what
// the SKF library said of sensors; no widget, so a command-line program can use it as well.
//
// Every call to a key runs as a job on a worker thread: one job at a time per key, keys
// independent, and one lane for the work on all keys (opening the library, enumerating). A job
// names its key by identity, never by position, and its result comes back on the thread of the
// service, to a receiver that may have gone meanwhile (the result is then dropped), with the
// key's position at that moment (-1 when the key left). The thread of the service never calls a
// key and never waits for one.
class KeyService : public QObject
{
    Q_OBJECT

public:
    // Login states: no key, present and logged out, logged in.
    static constexpr int kNoKey = 0;
    static constexpr int kLoggedOut = 1;
    static constexpr int kLoggedIn = 2;

    struct Options
    {
        // The most keys the table holds; keys after these are left out.
        int tableSize = 33;
        // The enumeration also looks for sensors through the SKF library, after this wait.
        bool searchSensors = false;
        int sensorWaitMs = 500;
    };

    explicit KeyService(const Options& options, QObject* parent = nullptr);
    ~KeyService() override;

    // Opens the token library named by the settings on the lane of all keys; `done` gets 0 or the
    // library's code.
    void openLibrary(const TAPPInfo& app, QObject* receiver, std::function<void(int result)> done);
    bool libraryOpened() const { return m_libraryOpened; }

    // Enumerates the keys and reads their information (and, when the options say so, looks for
    // sensors) on the lane of all keys. The table changes only when the caller applies the listing.
    // With `restartModule` the module is finalised and initialised first, so that tokens it lists
    // only when initialised are found (every session and login ends).
    void enumerate(QObject* receiver, std::function<void(const KeyListing&)> done, bool restartModule = false);
    // Makes a listing the key table: every key present and logged out, the first one selected.
    // Signals keysCleared, then keysListed or listingFailed.
    void applyListing(const KeyListing& listing);
    // Reads the information of every listed key again, on the lane of all keys, stopping at the
    // first key that does not answer; `done` gets true when every key answered (false for none).
    void checkAllKeysAnswer(QObject* receiver, std::function<void(bool allAnswer)> done);

    int KeyCount() const { return static_cast<int>(m_keys.size()); }
    bool keyIndexValid(int keyIndex) const { return keyIndex >= 0 && keyIndex < KeyCount(); }
    // The key's information as last read; an empty record for a position without a key.
    const TR7Info& keyInfo(int keyIndex) const;
    void setKeyInfo(int keyIndex, const TR7Info& info);
    // What the key is and can do, as DRV_CAP_ bits read at the enumeration (0 for no key).
    int keyCaps(int keyIndex) const;
    // A key listed that is not a removable device (a TPM's token, say): no hot-plug event tells
    // of its coming and going.
    bool anyFixedKey() const;
    // The key's identity, empty for a position without a key; the position of an identity or -1.
    QByteArray keyId(int keyIndex) const;
    int indexOf(const QByteArray& key) const;

    int CurrentKeyIndex() const { return m_currentKey; }
    void selectKey(int keyIndex);
    int LoginState(int keyIndex) const;
    void setLoginState(int keyIndex, int state);
    bool loggedIn(int keyIndex) const { return keyIndexValid(keyIndex) && LoginState(keyIndex) == kLoggedIn; }

    // What the last sensor search found.
    bool FingerSupported() const { return m_fingerSupported; }
    bool FingerVein() const { return m_fingerVein; }
    bool keyHasSensor(int keyIndex) const;

    // Runs `work` on the key's lane; `done` gets its result and the key's position then (-1 when
    // the key left) on this thread, unless `receiver` is gone. False when the key is not listed
    // or the service is ending (nothing runs then).
    template <typename Result>
    bool run(int keyIndex, const QString& what, std::function<Result(KeyCall&)> work, QObject* receiver,
             std::function<void(Result&, int keyIndex)> done)
    {
        return runOn(keyId(keyIndex), what, std::move(work), receiver, std::move(done));
    }
    template <typename Result>
    bool runOn(const QByteArray& key, const QString& what, std::function<Result(KeyCall&)> work, QObject* receiver,
               std::function<void(Result&, int keyIndex)> done)
    {
        if (key.isEmpty()) {
            return false;
        }
        const QPointer<QObject> guard(receiver);
        const QPointer<KeyService> self(this);
        const std::shared_ptr<PostBox> box = m_lanes->postBox();
        const std::shared_ptr<KeyDirectory> directory = m_directory;
        const std::shared_ptr<SkfAccess> skf = m_skf;
        return m_lanes->post(key, what, [=, work = std::move(work), done = std::move(done)](JobControl& control) {
            KeyCall call(*directory, key, control, skf.get());
            auto result = std::make_shared<Result>(work(call));
            const bool loginLost = control.lostLogin();
            box->post([=] {
                if (self && loginLost) {
                    self->keyLoginLost(key);
                }
                if (guard && self && done) {
                    done(*result, self->indexOf(key));
                }
            });
        });
    }
    // Runs `work` on the lane of all keys.
    template <typename Result>
    bool runOnAllKeys(const QString& what, std::function<Result(JobControl&)> work, QObject* receiver,
                      std::function<void(Result&)> done)
    {
        const QPointer<QObject> guard(receiver);
        const std::shared_ptr<PostBox> box = m_lanes->postBox();
        return m_lanes->post(QByteArray(), what,
                             [=, work = std::move(work), done = std::move(done)](JobControl& control) {
                                 auto result = std::make_shared<Result>(work(control));
                                 box->post([=] {
                                     if (guard && done) {
                                         done(*result);
                                     }
                                 });
                             });
    }

    // Whether a job of the key (or of all keys) is queued or running.
    bool keyBusy(int keyIndex) const;
    bool enumerating() const { return m_lanes->busy(QByteArray()); }
    bool idle() const { return m_lanes->idle(); }

    // The directory the jobs look keys up in, and the program's SKF state (null without SKF).
    const std::shared_ptr<KeyDirectory>& directory() const { return m_directory; }
    const std::shared_ptr<SkfAccess>& skf() const { return m_skf; }
    KeyJournal& journal() const { return *m_journal; }
    // Hands a job's progress to this thread (dropped once the service is gone).
    std::shared_ptr<PostBox> postBox() const { return m_lanes->postBox(); }

    // Looks at the key's journal for a write cut short and finishes or undoes it; journalSettled
    // tells when one was.
    void settleJournal(int keyIndex);

    // Ends the work: queued jobs are dropped and running ones asked to stop; waits up to `waitMs`.
    // When every job stopped, `lastSteps` runs here with key calls allowed (the program is ending,
    // its windows are gone) and the token library is closed; otherwise the key is left alone.
    // True when the library was closed.
    bool finish(int waitMs, const std::function<void()>& lastSteps = {});

Q_SIGNALS:
    void keysCleared();
    // The sensor search of an enumeration has ended (FingerSupported(), FingerVein()); it comes
    // before keysListed.
    void sensorSearched();
    void keysListed();
    void listingFailed();
    void selectedKeyChanged(int keyIndex);
    void loginStateChanged(int keyIndex, int state);
    // A job of the key started or all of its jobs ended; keyIndex -1 for the lane of all keys.
    void keyBusyChanged(int keyIndex, bool busy);
    // A job has been at work on the key for two seconds; `what` says what it waits for.
    void keyWaiting(int keyIndex, const QString& what);
    void becameIdle();
    // A job found the key's login lost: the key is logged out now and the user must log in again.
    void loginLost(int keyIndex);
    // A write left unfinished on the key was finished or undone.
    void journalSettled(int keyIndex, const kx::SettledWrite& settled);

private:
    void keyLoginLost(const QByteArray& key);

    struct KeyState
    {
        QByteArray id;
        TR7Info info;
        int loginState = kLoggedOut;
        bool sensor = false;
        int caps = 0;
    };

    Options m_options;
    KeyLanes* m_lanes;
    std::shared_ptr<KeyDirectory> m_directory;
    std::shared_ptr<SkfAccess> m_skf;
    std::unique_ptr<KeyJournal> m_journal;
    std::vector<KeyState> m_keys;
    int m_currentKey = 0;
    bool m_libraryOpened = false;
    bool m_fingerSupported = false;
    bool m_fingerVein = false;
    bool m_finished = false;
};

} // namespace kx
