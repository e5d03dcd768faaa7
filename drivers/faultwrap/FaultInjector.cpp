// SPDX-License-Identifier: Apache-2.0
// The configuration file as it changes, and the decision for each call.
#include "FaultInjector.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace faultwrap {
namespace {

// The most of a configuration file that is read.
constexpr size_t kMaxConfigSize = 1u << 20;

using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

File openFile(const std::string& path, const char* mode)
{
    return File(std::fopen(path.c_str(), mode), &std::fclose);
}

std::int64_t nanoseconds(const timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void report(const std::string& message)
{
    const std::string line = "kx2700-faultwrap: " + message + "\n";
    std::fputs(line.c_str(), stderr);
}

// The file's first kMaxConfigSize bytes; `problem` set when it cannot be read whole.
std::string readConfig(const std::string& path, std::string& problem)
{
    File file = openFile(path, "re");
    if (!file) {
        problem = "cannot be read";
        return {};
    }
    std::string text;
    char buf[8192];
    while (size_t n = std::fread(buf, 1, sizeof buf, file.get())) {
        text.append(buf, n);
        if (text.size() > kMaxConfigSize) {
            text.resize(kMaxConfigSize);
            problem = "longer than 1 MiB: the rest is ignored";
            break;
        }
    }
    if (std::ferror(file.get()))
        problem = "cannot be read";
    return text;
}

const char* whenName(Decision::Fault f)
{
    return f == Decision::Fault::Before ? "before" : "after";
}

} // namespace

FaultInjector::FileState FaultInjector::currentFile()
{
    FileState state;
    const char* path = std::getenv("KX2700_FAULTWRAP_CONFIG");
    if (!path || !*path)
        return state;
    state.path = path;
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return state;
    state.exists = true;
    state.device = st.st_dev;
    state.inode = st.st_ino;
    state.size = st.st_size;
    state.modified = nanoseconds(st.st_mtim);
    state.changed = nanoseconds(st.st_ctim);
    return state;
}

void FaultInjector::refresh(const FileState& now)
{
    if (m_seen && *m_seen == now)
        return;
    m_seen = now;
    std::vector<std::string> problems;
    std::string text;
    if (now.exists) {
        std::string problem;
        text = readConfig(now.path, problem);
        if (!problem.empty())
            report(now.path + ": " + problem);
    }
    m_config = FaultConfig::parse(text, problems);
    for (const std::string& p : problems)
        report(now.path + ": " + p + " (ignored)");
    m_random.seed(m_config.seed());
    m_remaining.clear();
    for (const auto& [function, shot] : m_config.oneShots())
        m_remaining[function] = shot.count;
}

double FaultInjector::percent()
{
    // 53 random bits as a fraction: the same numbers from the same seed with any standard library.
    return static_cast<double>(m_random() >> 11) * 0x1.0p-53 * 100.0;
}

Decision FaultInjector::decide(int function, CallKind kind)
{
    const FileState now = currentFile();
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    Decision d;
    d.latency = m_config.latency(function, kind);
    FaultWhen when = FaultWhen::Before;
    if (auto left = m_remaining.find(function); left != m_remaining.end() && left->second > 0) {
        --left->second;
        const OneShotFault& shot = m_config.oneShots().at(function);
        when = shot.when;
        d.code = shot.code.value_or(m_config.failCode());
    } else if (m_config.failRate() > 0 && m_config.randomFaults(function) && percent() < m_config.failRate()) {
        when = m_config.failWhen();
        d.code = m_config.failCode();
    } else {
        return d;
    }
    if (when == FaultWhen::Either)
        when = (m_random() & 1) ? FaultWhen::After : FaultWhen::Before;
    d.fault = when == FaultWhen::After ? Decision::Fault::After : Decision::Fault::Before;
    d.logPath = m_config.logPath();
    return d;
}

std::string FaultInjector::configuredModule()
{
    const FileState now = currentFile();
    std::lock_guard<std::mutex> lock(m_mutex);
    refresh(now);
    return m_config.modulePath();
}

void FaultInjector::record(const Decision& decision, int function)
{
    if (decision.logPath.empty() || decision.fault == Decision::Fault::None)
        return;
    // One write of the whole line in append mode: lines of several processes do not mix.
    File log = openFile(decision.logPath, "ae");
    if (!log)
        return; // the call goes on without its record
    const std::string_view name = functions()[static_cast<size_t>(function)].name;
    std::fprintf(log.get(), "%ld %.*s %s 0x%lX\n", static_cast<long>(getpid()), static_cast<int>(name.size()),
                 name.data(), whenName(decision.fault), static_cast<unsigned long>(decision.code));
}

} // namespace faultwrap
