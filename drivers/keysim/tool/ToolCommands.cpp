// SPDX-License-Identifier: Apache-2.0
#include "ToolCommands.h"

#include "../core/KeyAuth.h"
#include "../core/KeyStore.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

namespace keysim {

namespace {
// A bad argument: reported with the usage hint and exit code 2.
struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

const char* kUsage =
    "usage: kx2700-keysim [--dir DIR] COMMAND ...\n"
    "commands:\n"
    "  create [OPTIONS]             create a key (left plugged unless --no-plug)\n"
    "  list                         list the keys\n"
    "  show SERIAL                  show a key's properties\n"
    "  plug SERIAL | pull SERIAL    plug a key into / pull it from the keysim bus\n"
    "  delete SERIAL                pull and delete a key\n"
    "  present-finger SERIAL N      present finger N (1-10) to the sensor; 0 or none = no finger\n"
    "  unlock-code SERIAL REQUEST   print the unlock code (hex) for a remote unblock request (hex)\n"
    "  set SERIAL [OPTIONS]         change --label, --fingers, --sensor, --caps, --finger-format,\n"
    "                               --finger-retries, --user-retries, --so-retries\n"
    "  fault SERIAL [--connect-fails on|off] [--info-fails on|off] [--visible-after MS] [--clear]\n"
    "create options (defaults in brackets):\n"
    "  --serial S [KXSIMnnnnnnnn] --label L --manufacturer M --model M --hw-version X.Y [1.0]\n"
    "  --fw-version X.Y [1.0] --pin P [12345678] --so-pin P [88888888] --min-pin N [6] --max-pin N [16]\n"
    "  --so-min-pin N [6] --so-max-pin N [16] --max-retries N [6] --so-max-retries N [6]\n"
    "  --total-memory BYTES [65536] --free-memory BYTES [61440] --initialised yes|no [yes]\n"
    "  --vid HEX [1EA8] --pid HEX [C003] --sensor none|fingerprint|finger-vein [none]\n"
    "  --caps N [0, 2 fingerprint, 5 finger-vein] --finger-format map|list [map] --fingers 1,2,...\n"
    "  --finger-retries N [5] --finger-samples N [3] --unblock-secret HEX [random] --no-plug\n";

using Options = std::map<std::string, std::string>;

// Splits "--name value" / "--name=value" options from positional arguments. Flags in
// `flags` take no value.
void parseArgs(const std::vector<std::string>& args, std::size_t from, const std::set<std::string>& known,
               const std::set<std::string>& flags, Options& opts, std::vector<std::string>& positional)
{
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            positional.push_back(a);
            continue;
        }
        std::string name = a.substr(2), value;
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        if (!known.count(name) && !flags.count(name))
            throw UsageError("unknown option --" + name);
        if (flags.count(name)) {
            if (hasValue)
                throw UsageError("option --" + name + " takes no value");
            opts[name] = "1";
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= args.size())
                throw UsageError("option --" + name + " needs a value");
            value = args[++i];
        }
        opts[name] = value;
    }
}

std::uint64_t number(const std::string& name, const std::string& v, std::uint64_t max, int base = 10)
{
    std::uint64_t n = 0;
    auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), n, base);
    if (v.empty() || ec != std::errc() || p != v.data() + v.size() || n > max)
        throw UsageError("bad value '" + v + "' for --" + name);
    return n;
}

bool onOff(const std::string& name, const std::string& v)
{
    if (v == "on" || v == "yes" || v == "1" || v == "true")
        return true;
    if (v == "off" || v == "no" || v == "0" || v == "false")
        return false;
    throw UsageError("bad value '" + v + "' for --" + name + " (on or off)");
}

void version(const std::string& name, const std::string& v, std::uint8_t& major, std::uint8_t& minor)
{
    auto dot = v.find('.');
    if (dot == std::string::npos)
        throw UsageError("bad value '" + v + "' for --" + name + " (X.Y)");
    major = static_cast<std::uint8_t>(number(name, v.substr(0, dot), 255));
    minor = static_cast<std::uint8_t>(number(name, v.substr(dot + 1), 255));
}

std::vector<std::uint32_t> fingerList(const std::string& v)
{
    std::vector<std::uint32_t> out;
    std::istringstream in(v);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty())
            continue;
        auto n = static_cast<std::uint32_t>(number("fingers", item, 10));
        if (n < 1)
            throw UsageError("finger numbers are 1 to 10");
        if (std::find(out.begin(), out.end(), n) == out.end())
            out.push_back(n);
    }
    return out;
}

SensorKind sensor(const std::string& v)
{
    SensorKind k;
    if (!parseSensor(v, k))
        throw UsageError("bad value '" + v + "' for --sensor (none, fingerprint, finger-vein)");
    return k;
}

std::uint32_t defaultCaps(SensorKind k)
{
    return k == SensorKind::Fingerprint ? 2 : k == SensorKind::FingerVein ? 5 : 0;
}

std::string one(const std::vector<std::string>& pos, const char* what)
{
    if (pos.size() != 1)
        throw UsageError(std::string("expected ") + what);
    return pos[0];
}

KeyRecord needKey(const KeyStore& st, const std::string& serial)
{
    auto r = st.tryLoad(serial);
    if (!r)
        throw std::runtime_error("no key with serial " + serial);
    return *r;
}

int cmdCreate(KeyStore& st, const std::vector<std::string>& args, std::ostream& out)
{
    Options o;
    std::vector<std::string> pos;
    parseArgs(args, 1,
              {"serial",
               "label",
               "manufacturer",
               "model",
               "hw-version",
               "fw-version",
               "pin",
               "so-pin",
               "min-pin",
               "max-pin",
               "so-min-pin",
               "so-max-pin",
               "max-retries",
               "so-max-retries",
               "total-memory",
               "free-memory",
               "initialised",
               "vid",
               "pid",
               "sensor",
               "caps",
               "finger-format",
               "fingers",
               "finger-retries",
               "finger-samples",
               "unblock-secret"},
              {"no-plug", "uninitialised"}, o, pos);
    if (!pos.empty())
        throw UsageError("create takes options only, not '" + pos[0] + "'");
    KeyRecord r;
    auto get = [&](const char* k) -> std::optional<std::string> {
        auto it = o.find(k);
        return it == o.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    if (auto v = get("serial")) {
        if (!KeyStore::validSerial(*v))
            throw UsageError("bad serial '" + *v + "' (1-32 of A-Z a-z 0-9 . _ -)");
        r.serial = *v;
    }
    if (auto v = get("label")) {
        if (v->size() > 128)
            throw UsageError("the label has at most 128 bytes");
        r.label = *v;
    }
    if (auto v = get("manufacturer"))
        r.manufacturer = *v;
    if (auto v = get("model"))
        r.model = *v;
    if (auto v = get("hw-version"))
        version("hw-version", *v, r.hwMajor, r.hwMinor);
    if (auto v = get("fw-version"))
        version("fw-version", *v, r.fwMajor, r.fwMinor);
    if (auto v = get("min-pin"))
        r.user.minLen = static_cast<std::uint32_t>(number("min-pin", *v, 255));
    if (auto v = get("max-pin"))
        r.user.maxLen = static_cast<std::uint32_t>(number("max-pin", *v, 255));
    if (auto v = get("so-min-pin"))
        r.so.minLen = static_cast<std::uint32_t>(number("so-min-pin", *v, 255));
    if (auto v = get("so-max-pin"))
        r.so.maxLen = static_cast<std::uint32_t>(number("so-max-pin", *v, 255));
    if (auto v = get("max-retries"))
        r.user.maxRetries = static_cast<std::uint32_t>(number("max-retries", *v, 255));
    if (auto v = get("so-max-retries"))
        r.so.maxRetries = static_cast<std::uint32_t>(number("so-max-retries", *v, 255));
    if (r.user.maxRetries == 0 || r.so.maxRetries == 0)
        throw UsageError("retry maximums are at least 1");
    if (auto v = get("total-memory"))
        r.totalMemory = static_cast<std::uint32_t>(number("total-memory", *v, 0xFFFFFFFFu));
    std::uint32_t freeMem = r.totalMemory > 4096 ? r.totalMemory - 4096 : r.totalMemory;
    if (auto v = get("free-memory"))
        freeMem = static_cast<std::uint32_t>(number("free-memory", *v, 0xFFFFFFFFu));
    if (freeMem > r.totalMemory)
        throw UsageError("--free-memory is larger than --total-memory");
    r.reservedMemory = r.totalMemory - freeMem;
    if (auto v = get("initialised"))
        r.initialised = onOff("initialised", *v);
    if (o.count("uninitialised"))
        r.initialised = false;
    if (auto v = get("vid"))
        r.vid = static_cast<std::uint16_t>(number("vid", *v, 0xFFFF, 16));
    if (auto v = get("pid"))
        r.pid = static_cast<std::uint16_t>(number("pid", *v, 0xFFFF, 16));
    if (auto v = get("sensor"))
        r.sensor = sensor(*v);
    r.caps = defaultCaps(r.sensor);
    if (auto v = get("caps"))
        r.caps = static_cast<std::uint32_t>(number("caps", *v, 0xFFFFFFFFu));
    if (auto v = get("finger-format"); v && !parseFingerFormat(*v, r.fingerFormat))
        throw UsageError("bad value '" + *v + "' for --finger-format (map or list)");
    if (auto v = get("fingers"))
        r.fingers = fingerList(*v);
    if (auto v = get("finger-retries"))
        r.fingerMaxRetries = r.fingerRetries = static_cast<std::uint32_t>(number("finger-retries", *v, 255));
    if (auto v = get("finger-samples")) {
        r.fingerSamples = static_cast<std::uint32_t>(number("finger-samples", *v, 10));
        if (r.fingerSamples == 0)
            throw UsageError("--finger-samples is 1 to 10");
    }
    if (auto v = get("unblock-secret")) {
        auto b = fromHex(*v);
        if (!b || b->empty() || b->size() > 64)
            throw UsageError("--unblock-secret is 1 to 64 bytes in hex");
        r.unblockSecret = toHex(*b);
    } else {
        r.unblockSecret = toHex(randomBytes(32));
    }
    SecretString pin = [&] {
        std::string p = get("pin").value_or("12345678");
        return SecretString(p.data(), p.size());
    }();
    SecretString soPin = [&] {
        std::string p = get("so-pin").value_or("88888888");
        return SecretString(p.data(), p.size());
    }();
    if (pin.str().size() < r.user.minLen || pin.str().size() > r.user.maxLen)
        throw UsageError("--pin must have " + std::to_string(r.user.minLen) + " to " + std::to_string(r.user.maxLen) +
                         " characters");
    if (soPin.str().size() < r.so.minLen || soPin.str().size() > r.so.maxLen)
        throw UsageError("--so-pin must have " + std::to_string(r.so.minLen) + " to " + std::to_string(r.so.maxLen) +
                         " characters");
    initialisePins(r, pin.view(), soPin.view());
    KeyRecord made = st.create(r);
    if (!o.count("no-plug"))
        st.plug(made.serial);
    out << made.serial << '\n';
    return 0;
}

int cmdList(KeyStore& st, std::ostream& out)
{
    for (const auto& serial : st.serials()) {
        auto r = st.tryLoad(serial);
        if (!r)
            continue;
        out << serial << "\tslot=" << r->number << '\t' << (st.busEntry(serial) ? "plugged" : "pulled") << '\t'
            << r->label << '\n';
    }
    return 0;
}

std::string fingersText(const KeyRecord& r)
{
    std::string s;
    for (auto f : r.fingers)
        s += (s.empty() ? "" : ",") + std::to_string(f);
    return s;
}

int cmdShow(KeyStore& st, const std::string& serial, std::ostream& out)
{
    KeyRecord r = needKey(st, serial);
    auto bus = st.busEntry(serial);
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04X:%04X", r.vid, r.pid);
    out << "serial: " << r.serial << "\nslot: " << r.number << "\nlabel: " << r.label
        << "\nmanufacturer: " << r.manufacturer << "\nmodel: " << r.model << "\nhw-version: " << unsigned(r.hwMajor)
        << '.' << unsigned(r.hwMinor) << "\nfw-version: " << unsigned(r.fwMajor) << '.' << unsigned(r.fwMinor)
        << "\nusb-id: " << ids << "\ninitialised: " << (r.initialised ? "yes" : "no")
        << "\ntotal-memory: " << r.totalMemory << "\nfree-memory: " << KeyStore::freeMemory(r, st.usedMemory(serial))
        << "\nobjects: " << st.objectIds(serial).size() << "\npin-length: " << r.user.minLen << '-' << r.user.maxLen
        << "\nso-pin-length: " << r.so.minLen << '-' << r.so.maxLen << "\nuser-pin-retries: " << r.user.retries << '/'
        << r.user.maxRetries << "\nuser-pin-default: " << (pinIsDefault(r) ? "yes" : "no")
        << "\nso-pin-retries: " << r.so.retries << '/' << r.so.maxRetries << "\nsensor: " << sensorName(r.sensor)
        << "\ncaps: " << r.caps << "\nfinger-format: " << fingerFormatName(r.fingerFormat)
        << "\nfingers: " << fingersText(r) << "\nfinger-retries: " << r.fingerRetries << '/' << r.fingerMaxRetries
        << "\nfinger-samples: " << r.fingerSamples << "\nconnect-fails: " << (r.failConnect ? "on" : "off")
        << "\ninfo-fails: " << (r.failInfo ? "on" : "off") << "\nvisible-after-ms: " << r.visibleAfterMs
        << "\nplugged: " << (bus ? "yes" : "no") << '\n';
    if (bus)
        out << "bus-file: " << bus->fileName << '\n';
    return 0;
}

int cmdSet(KeyStore& st, const std::vector<std::string>& args, std::ostream&)
{
    Options o;
    std::vector<std::string> pos;
    parseArgs(args, 1,
              {"label", "fingers", "sensor", "caps", "finger-format", "finger-retries", "user-retries", "so-retries"},
              {}, o, pos);
    const std::string serial = one(pos, "one SERIAL");
    needKey(st, serial);
    if (o.empty())
        throw UsageError("set needs at least one option");
    FileLock lock = st.lockKey(serial);
    KeyRecord r = st.load(serial);
    for (const auto& [k, v] : o) {
        if (k == "label") {
            if (v.size() > 128)
                throw UsageError("the label has at most 128 bytes");
            r.label = v;
        } else if (k == "fingers") {
            r.fingers = fingerList(v);
        } else if (k == "sensor") {
            r.sensor = sensor(v);
            if (!o.count("caps"))
                r.caps = defaultCaps(r.sensor);
        } else if (k == "caps") {
            r.caps = static_cast<std::uint32_t>(number(k, v, 0xFFFFFFFFu));
        } else if (k == "finger-format") {
            if (!parseFingerFormat(v, r.fingerFormat))
                throw UsageError("bad value '" + v + "' for --finger-format (map or list)");
        } else if (k == "finger-retries") {
            r.fingerRetries = static_cast<std::uint32_t>(number(k, v, r.fingerMaxRetries));
        } else if (k == "user-retries") {
            r.user.retries = static_cast<std::uint32_t>(number(k, v, r.user.maxRetries));
        } else if (k == "so-retries") {
            r.so.retries = static_cast<std::uint32_t>(number(k, v, r.so.maxRetries));
        }
    }
    st.save(r);
    return 0;
}

int cmdFault(KeyStore& st, const std::vector<std::string>& args, std::ostream& out)
{
    Options o;
    std::vector<std::string> pos;
    parseArgs(args, 1, {"connect-fails", "info-fails", "visible-after"}, {"clear"}, o, pos);
    const std::string serial = one(pos, "one SERIAL");
    needKey(st, serial);
    FileLock lock = st.lockKey(serial);
    KeyRecord r = st.load(serial);
    if (o.count("clear")) {
        r.failConnect = r.failInfo = false;
        r.visibleAfterMs = 0;
    }
    if (o.count("connect-fails"))
        r.failConnect = onOff("connect-fails", o["connect-fails"]);
    if (o.count("info-fails"))
        r.failInfo = onOff("info-fails", o["info-fails"]);
    if (o.count("visible-after"))
        r.visibleAfterMs = static_cast<std::uint32_t>(number("visible-after", o["visible-after"], 3600000));
    st.save(r);
    out << "connect-fails: " << (r.failConnect ? "on" : "off") << "\ninfo-fails: " << (r.failInfo ? "on" : "off")
        << "\nvisible-after-ms: " << r.visibleAfterMs << '\n';
    return 0;
}

int cmdPresentFinger(KeyStore& st, const std::vector<std::string>& pos)
{
    if (pos.size() != 2)
        throw UsageError("expected SERIAL and a finger number (1-10, or 0/none for no finger)");
    KeyRecord r = needKey(st, pos[0]);
    if (!r.hasSensor())
        throw std::runtime_error("key " + pos[0] + " has no sensor");
    int finger = pos[1] == "none" ? 0 : static_cast<int>(number("finger", pos[1], 10));
    st.presentFinger(pos[0], finger);
    return 0;
}

int cmdUnlockCode(KeyStore& st, const std::vector<std::string>& pos, std::ostream& out)
{
    if (pos.size() != 2)
        throw UsageError("expected SERIAL and REQUEST (hex)");
    auto req = fromHex(pos[1]);
    if (!req || req->empty() || req->size() > 32)
        throw UsageError("REQUEST must be 1 to 32 bytes in hex, e.g. 16 hex digits");
    KeyRecord r = needKey(st, pos[0]);
    out << unlockCodeHex(r, pos[1]) << '\n';
    return 0;
}
} // namespace

int runTool(const std::vector<std::string>& argsIn, std::ostream& out, std::ostream& err)
{
    std::vector<std::string> args = argsIn;
    try {
        std::filesystem::path root = KeyStore::defaultRoot();
        while (!args.empty() && args[0].rfind("--", 0) == 0) {
            if (args[0] == "--help" || args[0] == "-h") {
                out << kUsage;
                return 0;
            }
            if (args[0] == "--dir" && args.size() >= 2) {
                root = args[1];
                args.erase(args.begin(), args.begin() + 2);
            } else if (args[0].rfind("--dir=", 0) == 0) {
                root = args[0].substr(6);
                args.erase(args.begin());
            } else {
                throw UsageError("unknown option " + args[0]);
            }
        }
        if (args.empty())
            throw UsageError("no command given");
        KeyStore st(root);
        const std::string cmd = args[0];
        std::vector<std::string> pos(args.begin() + 1, args.end());
        if (cmd == "create")
            return cmdCreate(st, args, out);
        if (cmd == "list") {
            if (!pos.empty())
                throw UsageError("list takes no arguments");
            return cmdList(st, out);
        }
        if (cmd == "show")
            return cmdShow(st, one(pos, "one SERIAL"), out);
        if (cmd == "plug") {
            const std::string s = one(pos, "one SERIAL");
            needKey(st, s);
            st.plug(s);
            return 0;
        }
        if (cmd == "pull") {
            const std::string s = one(pos, "one SERIAL");
            needKey(st, s);
            st.pull(s);
            return 0;
        }
        if (cmd == "delete") {
            const std::string s = one(pos, "one SERIAL");
            needKey(st, s);
            st.remove(s);
            return 0;
        }
        if (cmd == "present-finger")
            return cmdPresentFinger(st, pos);
        if (cmd == "unlock-code")
            return cmdUnlockCode(st, pos, out);
        if (cmd == "set")
            return cmdSet(st, args, out);
        if (cmd == "fault")
            return cmdFault(st, args, out);
        if (cmd == "help") {
            out << kUsage;
            return 0;
        }
        throw UsageError("unknown command '" + cmd + "'");
    } catch (const UsageError& e) {
        err << "kx2700-keysim: " << e.what() << "\n"
            << "Try 'kx2700-keysim --help'.\n";
        return 2;
    } catch (const std::exception& e) {
        err << "kx2700-keysim: " << e.what() << '\n';
        return 1;
    }
}

} // namespace keysim
