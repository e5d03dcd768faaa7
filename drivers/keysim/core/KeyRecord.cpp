// SPDX-License-Identifier: Apache-2.0
#include "KeyRecord.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <sstream>
#include <stdexcept>

namespace keysim {

const char* sensorName(SensorKind k)
{
    switch (k) {
    case SensorKind::Fingerprint:
        return "fingerprint";
    case SensorKind::FingerVein:
        return "finger-vein";
    default:
        return "none";
    }
}

bool parseSensor(const std::string& s, SensorKind& out)
{
    if (s == "none")
        out = SensorKind::None;
    else if (s == "fingerprint")
        out = SensorKind::Fingerprint;
    else if (s == "finger-vein" || s == "vein")
        out = SensorKind::FingerVein;
    else
        return false;
    return true;
}

const char* fingerFormatName(FingerFormat f)
{
    return f == FingerFormat::NumberList ? "list" : "map";
}

bool parseFingerFormat(const std::string& s, FingerFormat& out)
{
    if (s == "map")
        out = FingerFormat::PresenceMap;
    else if (s == "list")
        out = FingerFormat::NumberList;
    else
        return false;
    return true;
}

bool KeyRecord::fingerEnrolled(std::uint32_t n) const
{
    return std::find(fingers.begin(), fingers.end(), n) != fingers.end();
}

namespace {
// Every text is read unescaped, so every text is written escaped, hexadecimal ones included: a
// hand-edited value with a "\" or a line break then reads back as it was.
std::string escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out.push_back(c);
    }
    return out;
}

std::string unescape(const std::string& s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            out.push_back(n == 'n' ? '\n' : n == 'r' ? '\r' : n);
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

template <typename T>
T num(const std::map<std::string, std::string>& m, const char* key, T fallback)
{
    auto it = m.find(key);
    if (it == m.end())
        return fallback;
    T v{};
    auto [p, ec] = std::from_chars(it->second.data(), it->second.data() + it->second.size(), v);
    if (ec != std::errc() || p != it->second.data() + it->second.size())
        throw std::runtime_error(std::string("bad value for ") + key);
    return v;
}

std::string str(const std::map<std::string, std::string>& m, const char* key, const std::string& fallback)
{
    auto it = m.find(key);
    return it == m.end() ? fallback : unescape(it->second);
}

void writePin(std::ostringstream& o, const char* prefix, const PinRecord& p)
{
    o << prefix << "_salt=" << escape(p.salt) << '\n'
      << prefix << "_hash=" << escape(p.hash) << '\n'
      << prefix << "_retries=" << p.retries << '\n'
      << prefix << "_max_retries=" << p.maxRetries << '\n'
      << prefix << "_min_len=" << p.minLen << '\n'
      << prefix << "_max_len=" << p.maxLen << '\n';
}

PinRecord readPin(const std::map<std::string, std::string>& m, const std::string& prefix)
{
    PinRecord p;
    p.salt = str(m, (prefix + "_salt").c_str(), "");
    p.hash = str(m, (prefix + "_hash").c_str(), "");
    p.retries = num<std::uint32_t>(m, (prefix + "_retries").c_str(), 6);
    p.maxRetries = num<std::uint32_t>(m, (prefix + "_max_retries").c_str(), 6);
    p.minLen = num<std::uint32_t>(m, (prefix + "_min_len").c_str(), 6);
    p.maxLen = num<std::uint32_t>(m, (prefix + "_max_len").c_str(), 16);
    return p;
}
} // namespace

std::string KeyRecord::serialize() const
{
    std::ostringstream o;
    o << "format=1\n"
      << "number=" << number << '\n'
      << "serial=" << escape(serial) << '\n'
      << "label=" << escape(label) << '\n'
      << "manufacturer=" << escape(manufacturer) << '\n'
      << "model=" << escape(model) << '\n'
      << "hw_major=" << unsigned(hwMajor) << "\nhw_minor=" << unsigned(hwMinor) << '\n'
      << "fw_major=" << unsigned(fwMajor) << "\nfw_minor=" << unsigned(fwMinor) << '\n'
      << "total_memory=" << totalMemory << '\n'
      << "reserved_memory=" << reservedMemory << '\n'
      << "initialised=" << (initialised ? 1 : 0) << '\n'
      << "vid=" << vid << "\npid=" << pid << '\n';
    writePin(o, "user", user);
    o << "initial_pin_hash=" << escape(initialPinHash) << '\n';
    writePin(o, "so", so);
    o << "sensor=" << sensorName(sensor) << '\n'
      << "caps=" << caps << '\n'
      << "finger_format=" << fingerFormatName(fingerFormat) << '\n'
      << "fingers=";
    for (std::size_t i = 0; i < fingers.size(); ++i)
        o << (i ? "," : "") << fingers[i];
    o << '\n'
      << "finger_retries=" << fingerRetries << '\n'
      << "finger_max_retries=" << fingerMaxRetries << '\n'
      << "finger_samples=" << fingerSamples << '\n'
      << "unblock_secret=" << escape(unblockSecret) << '\n'
      << "unblock_request=" << escape(unblockRequest) << '\n'
      << "fail_connect=" << (failConnect ? 1 : 0) << '\n'
      << "fail_info=" << (failInfo ? 1 : 0) << '\n'
      << "visible_after_ms=" << visibleAfterMs << '\n'
      << "next_object_id=" << nextObjectId << '\n';
    return o.str();
}

KeyRecord KeyRecord::parse(const std::string& text)
{
    std::map<std::string, std::string> m;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        auto eq = line.find('=');
        if (eq == std::string::npos)
            throw std::runtime_error("malformed key record line");
        m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (m.find("serial") == m.end() || m.find("number") == m.end())
        throw std::runtime_error("key record without serial or number");
    KeyRecord r;
    r.number = num<std::uint32_t>(m, "number", 0);
    r.serial = str(m, "serial", "");
    r.label = str(m, "label", r.label);
    r.manufacturer = str(m, "manufacturer", r.manufacturer);
    r.model = str(m, "model", r.model);
    r.hwMajor = static_cast<std::uint8_t>(num<unsigned>(m, "hw_major", 1));
    r.hwMinor = static_cast<std::uint8_t>(num<unsigned>(m, "hw_minor", 0));
    r.fwMajor = static_cast<std::uint8_t>(num<unsigned>(m, "fw_major", 1));
    r.fwMinor = static_cast<std::uint8_t>(num<unsigned>(m, "fw_minor", 0));
    r.totalMemory = num<std::uint32_t>(m, "total_memory", r.totalMemory);
    r.reservedMemory = num<std::uint32_t>(m, "reserved_memory", r.reservedMemory);
    r.initialised = num<int>(m, "initialised", 1) != 0;
    r.vid = num<std::uint16_t>(m, "vid", r.vid);
    r.pid = num<std::uint16_t>(m, "pid", r.pid);
    r.user = readPin(m, "user");
    r.initialPinHash = str(m, "initial_pin_hash", "");
    r.so = readPin(m, "so");
    if (!parseSensor(str(m, "sensor", "none"), r.sensor))
        throw std::runtime_error("bad sensor kind");
    r.caps = num<std::uint32_t>(m, "caps", 0);
    if (!parseFingerFormat(str(m, "finger_format", "map"), r.fingerFormat))
        throw std::runtime_error("bad finger format");
    std::string fl = str(m, "fingers", "");
    std::istringstream fs(fl);
    std::string item;
    while (std::getline(fs, item, ',')) {
        if (item.empty())
            continue;
        unsigned v = 0;
        auto [p, ec] = std::from_chars(item.data(), item.data() + item.size(), v);
        if (ec != std::errc() || v < 1 || v > 10)
            throw std::runtime_error("bad finger list");
        r.fingers.push_back(v);
    }
    r.fingerRetries = num<std::uint32_t>(m, "finger_retries", 5);
    r.fingerMaxRetries = num<std::uint32_t>(m, "finger_max_retries", 5);
    r.fingerSamples = num<std::uint32_t>(m, "finger_samples", 3);
    r.unblockSecret = str(m, "unblock_secret", "");
    r.unblockRequest = str(m, "unblock_request", "");
    r.failConnect = num<int>(m, "fail_connect", 0) != 0;
    r.failInfo = num<int>(m, "fail_info", 0) != 0;
    r.visibleAfterMs = num<std::uint32_t>(m, "visible_after_ms", 0);
    r.nextObjectId = num<std::uint64_t>(m, "next_object_id", 1);
    return r;
}

} // namespace keysim
