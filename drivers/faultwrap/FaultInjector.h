// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "FaultConfig.h"

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>

namespace faultwrap {

// What happens to one call.
struct Decision
{
    enum class Fault
    {
        None,
        Before, // fail without making the real call
        After   // make the real call, then fail
    };
    std::chrono::milliseconds latency{0};
    Fault fault = Fault::None;
    CK_RV code = CKR_OK;
    std::string logPath; // where the fault is recorded; empty for none
};

// Decides the latency and the fault of every call from the configuration file named by
// $KX2700_FAULTWRAP_CONFIG. The file is read again whenever it changes (another file, size,
// modification or change time); each reading starts the random sequence from the seed again and
// counts the one-shot triggers from there. A missing file means no latency and no faults.
class FaultInjector
{
public:
    FaultInjector() = default;
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    Decision decide(int function, CallKind kind);
    // The real module the configuration names (module=), empty when it names none.
    std::string configuredModule();
    // Appends "pid function when code" to the decision's log file, when it has one.
    static void record(const Decision& decision, int function);

private:
    // What identifies one version of the configuration file.
    struct FileState
    {
        std::string path;
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::int64_t modified = 0, changed = 0;
        bool operator==(const FileState&) const = default;
    };
    static FileState currentFile();
    // Reads the file again when it changed since the last reading. Called with m_mutex held.
    void refresh(const FileState& now);
    // A uniform number in [0, 100).
    double percent();

    std::mutex m_mutex;
    std::optional<FileState> m_seen;
    FaultConfig m_config;
    std::mt19937_64 m_random;
    std::map<int, std::uint64_t> m_remaining; // one-shot faults still to come, by function
};

} // namespace faultwrap
