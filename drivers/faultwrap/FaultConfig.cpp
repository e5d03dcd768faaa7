// SPDX-License-Identifier: Apache-2.0
// Reading the wrapper's configuration. Every value is checked and bounded here, so that whatever a
// file holds, the wrapper only ever sees settings it can act on.
#include "FaultConfig.h"

#include <charconv>
#include <cmath>

namespace faultwrap {
namespace {

constexpr size_t kMaxLineLength = 4096;
constexpr size_t kMaxShownLength = 60;

std::string_view trimmed(std::string_view s)
{
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && space(s.back()))
        s.remove_suffix(1);
    return s;
}

// A piece of the file fit to be printed in a message: printable ASCII only, short.
std::string shown(std::string_view s)
{
    std::string out;
    for (char c : s.substr(0, kMaxShownLength))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (s.size() > kMaxShownLength)
        out += "...";
    return out;
}

std::optional<std::uint64_t> unsignedValue(std::string_view s, std::uint64_t max, int base = 10)
{
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || v > max)
        return std::nullopt;
    return v;
}

std::optional<std::chrono::milliseconds> latencyValue(std::string_view s)
{
    auto v = unsignedValue(s, FaultConfig::kMaxLatencyMs);
    if (!v)
        return std::nullopt;
    return std::chrono::milliseconds(static_cast<std::int64_t>(*v));
}

// A CK_RV in hexadecimal (0x30) or decimal.
std::optional<CK_RV> codeValue(std::string_view s)
{
    std::optional<std::uint64_t> v;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        v = unsignedValue(s.substr(2), 0xFFFFFFFFu, 16);
    else
        v = unsignedValue(s, 0xFFFFFFFFu);
    if (!v)
        return std::nullopt;
    return static_cast<CK_RV>(*v);
}

std::optional<double> rateValue(std::string_view s)
{
    if (!s.empty() && s.back() == '%')
        s = trimmed(s.substr(0, s.size() - 1));
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v) || v < 0 || v > 100)
        return std::nullopt;
    return v;
}

std::optional<FaultWhen> whenValue(std::string_view s)
{
    if (s == "before")
        return FaultWhen::Before;
    if (s == "after")
        return FaultWhen::After;
    if (s == "either")
        return FaultWhen::Either;
    return std::nullopt;
}

// WHEN[:COUNT][:CODE]
std::optional<OneShotFault> oneShotValue(std::string_view s)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t colon = s.find(':');
        parts.push_back(trimmed(s.substr(0, colon)));
        if (colon == std::string_view::npos)
            break;
        s.remove_prefix(colon + 1);
    }
    if (parts.size() > 3)
        return std::nullopt;
    OneShotFault out;
    auto when = whenValue(parts[0]);
    if (!when)
        return std::nullopt;
    out.when = *when;
    if (parts.size() > 1) {
        auto count = unsignedValue(parts[1], FaultConfig::kMaxCount);
        if (!count || *count == 0)
            return std::nullopt;
        out.count = *count;
    }
    if (parts.size() > 2) {
        out.code = codeValue(parts[2]);
        if (!out.code)
            return std::nullopt;
    }
    return out;
}

// Every function of a comma-separated list; nullopt when one of them is unknown.
std::optional<std::vector<int>> functionList(std::string_view s, std::string& unknown)
{
    std::vector<int> out;
    for (;;) {
        const size_t comma = s.find(',');
        const std::string_view name = trimmed(s.substr(0, comma));
        if (!name.empty()) {
            auto id = functionId(name);
            if (!id) {
                unknown = shown(name);
                return std::nullopt;
            }
            out.push_back(*id);
        }
        if (comma == std::string_view::npos)
            break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

} // namespace

FaultConfig FaultConfig::parse(std::string_view text, std::vector<std::string>& problems)
{
    FaultConfig config;
    size_t lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        const std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (raw.size() > kMaxLineLength) {
            problems.push_back(where + "longer than " + std::to_string(kMaxLineLength) + " bytes");
            continue;
        }
        const std::string_view line = trimmed(raw);
        if (line.empty() || line.front() == '#')
            continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            problems.push_back(where + "not name=value: '" + shown(line) + "'");
            continue;
        }
        std::string problem;
        if (!config.apply(trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1)), problem))
            problems.push_back(where + problem);
    }
    return config;
}

bool FaultConfig::apply(std::string_view key, std::string_view value, std::string& problem)
{
    const auto bad = [&](const char* what) {
        problem = std::string(what) + " for " + shown(key) + ": '" + shown(value) + "'";
        return false;
    };
    constexpr std::string_view latencyPrefix = "latency.", nextPrefix = "fail.next.";
    if (key == "module") {
        if (value.empty())
            return bad("no path");
        m_modulePath = value;
    } else if (key == "log") {
        m_logPath = value;
    } else if (key == "seed") {
        auto v = unsignedValue(value, UINT64_MAX);
        if (!v)
            return bad("not a number");
        m_seed = *v;
    } else if (key == "profile") {
        if (value != "real-key")
            return bad("unknown profile");
        m_realKey = true;
    } else if (key == "latency") {
        if (!(m_latency = latencyValue(value)))
            return bad("not a latency in ms (0 to 600000)");
    } else if (key == "latency.write") {
        if (!(m_writeLatency = latencyValue(value)))
            return bad("not a latency in ms (0 to 600000)");
    } else if (key == "latency.private-write") {
        if (!(m_privateWriteLatency = latencyValue(value)))
            return bad("not a latency in ms (0 to 600000)");
    } else if (key.starts_with(latencyPrefix)) {
        auto id = functionId(key.substr(latencyPrefix.size()));
        if (!id)
            return bad("unknown function");
        auto v = latencyValue(value);
        if (!v)
            return bad("not a latency in ms (0 to 600000)");
        m_functionLatency[*id] = *v;
    } else if (key == "fail.rate") {
        auto v = rateValue(value);
        if (!v)
            return bad("not a percentage (0 to 100)");
        m_failRate = *v;
    } else if (key == "fail.functions") {
        std::string unknown;
        auto list = functionList(value, unknown);
        if (!list) {
            problem = "unknown function " + unknown + " in fail.functions";
            return false;
        }
        m_failFunctions = std::move(*list);
    } else if (key == "fail.code") {
        auto v = codeValue(value);
        if (!v)
            return bad("not a result code (0x0 to 0xFFFFFFFF)");
        m_failCode = *v;
    } else if (key == "fail.when") {
        auto v = whenValue(value);
        if (!v)
            return bad("not before, after or either");
        m_failWhen = *v;
    } else if (key.starts_with(nextPrefix)) {
        auto id = functionId(key.substr(nextPrefix.size()));
        if (!id)
            return bad("unknown function");
        auto v = oneShotValue(value);
        if (!v)
            return bad("not before|after|either[:COUNT][:CODE]");
        m_oneShots[*id] = *v;
    } else {
        problem = "unknown key '" + shown(key) + "'";
        return false;
    }
    return true;
}

std::chrono::milliseconds FaultConfig::latency(int function, CallKind kind) const
{
    using std::chrono::milliseconds;
    if (auto it = m_functionLatency.find(function); it != m_functionLatency.end())
        return it->second;
    const bool privateWrite = kind == CallKind::PrivateWrite || kind == CallKind::RsaKeyGen;
    if (privateWrite) {
        if (m_privateWriteLatency)
            return *m_privateWriteLatency;
        if (m_realKey)
            return milliseconds(kind == CallKind::RsaKeyGen ? kRealKeyRsaGenerationMs : 1000);
    }
    if (kind == CallKind::Write || privateWrite) {
        if (m_writeLatency)
            return *m_writeLatency;
        if (m_realKey)
            return milliseconds(300);
    }
    if (m_realKey && kind == CallKind::Crypto)
        return milliseconds(200);
    if (m_realKey && kind == CallKind::Login)
        return milliseconds(100);
    if (m_latency)
        return *m_latency;
    return milliseconds(m_realKey ? 20 : 0);
}

bool FaultConfig::randomFaults(int function) const
{
    if (m_failFunctions.empty()) {
        auto all = functions();
        return function >= 0 && static_cast<size_t>(function) < all.size() &&
               all[static_cast<size_t>(function)].faultedByDefault;
    }
    for (int f : m_failFunctions)
        if (f == function)
            return true;
    return false;
}

} // namespace faultwrap
