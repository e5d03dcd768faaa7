// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "KeyDirectory.h"
#include "KeyLanes.h"

#include "token/TokenRecords.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

namespace kx {

class Call_GMAPIs_Admin;
class SkfAccess;

// A job's access to its key, on the job's thread. Every call looks the key's position up by
// its identity at the moment of the call, so a job that outlives an enumeration still talks to
// its own key, and a key that left answers KeyDirectory::kKeyGone.
class KeyCall
{
public:
    KeyCall(const KeyDirectory& directory, QByteArray key, JobControl& control, SkfAccess* skf);

    // The key's identity (serial number, "#n" for the n-th key of the same serial).
    const QByteArray& key() const { return m_key; }
    // The serial number alone.
    QByteArray serial() const;

    // Says what the job waits for now; shown when the job takes long.
    void step(const QString& what) const { m_control.step(what); }
    bool cancelled() const { return m_control.cancelled(); }

    // Runs `call` with the key's current position; kKeyGone when it is not listed.
    int at(const std::function<int(int position)>& call) const;

    // The token library's calls on this key.
    int login(const QString& pin, int& retriesLeft) const;
    int logout() const;
    int pinState(PinState& state) const;
    int info(TR7Info& info) const;
    int reloadObjects() const;
    int containerNames(TR7Info& info) const;

    // Runs `work` with the SKF state, this key's application selected; SkfEntryMissing when the
    // program uses no SKF library.
    std::uint32_t skf(const std::function<std::uint32_t(Call_GMAPIs_Admin&)>& work) const;
    // Runs `work` while no other job uses the SKF library, with a state of its own (the remote
    // unlock lists the devices anew); SkfEntryMissing when the program uses no SKF library.
    std::uint32_t skfAlone(const std::function<std::uint32_t()>& work) const;

private:
    const KeyDirectory& m_directory;
    QByteArray m_key;
    JobControl& m_control;
    SkfAccess* m_skf;
};

} // namespace kx
