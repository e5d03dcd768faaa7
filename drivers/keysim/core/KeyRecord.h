// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The properties of one virtual key, as kept in its key.conf (one "name=value" per line).
namespace keysim {

enum class SensorKind
{
    None,
    Fingerprint,
    FingerVein
};
enum class FingerFormat
{
    PresenceMap,
    NumberList
};

struct PinRecord
{
    std::string salt;          // hex, 16 random bytes
    std::string hash;          // hex PBKDF2-HMAC-SHA256 of the PIN with salt
    std::uint32_t retries = 6; // attempts left
    std::uint32_t maxRetries = 6;
    std::uint32_t minLen = 6;
    std::uint32_t maxLen = 16;
};

struct KeyRecord
{
    std::uint32_t number = 0; // assigned at creation, never reused; the PKCS#11 slot id
    std::string serial;
    std::string label = "KX2700 Key";
    std::string manufacturer = "KX Security";
    std::string model = "KX2700";
    std::uint8_t hwMajor = 1, hwMinor = 0;
    std::uint8_t fwMajor = 1, fwMinor = 0;
    std::uint32_t totalMemory = 65536;
    std::uint32_t reservedMemory = 4096; // space the key's own file system takes
    bool initialised = true;
    std::uint16_t vid = 0x1EA8;
    std::uint16_t pid = 0xC003;
    PinRecord user;
    std::string initialPinHash; // hash of the initial user PIN with user.salt
    PinRecord so;
    SensorKind sensor = SensorKind::None;
    std::uint32_t caps = 0; // MKF_GetDeviceCaps capability value
    FingerFormat fingerFormat = FingerFormat::PresenceMap;
    std::vector<std::uint32_t> fingers; // enrolled finger numbers 1..10, in enrolment order
    std::uint32_t fingerRetries = 5;
    std::uint32_t fingerMaxRetries = 5;
    std::uint32_t fingerSamples = 3; // samples per enrolment
    std::string unblockSecret;       // hex, 32 bytes
    std::string unblockRequest;      // hex of the last remote unblock request, empty when none
    bool failConnect = false;
    bool failInfo = false;
    std::uint32_t visibleAfterMs = 0;
    std::uint64_t nextObjectId = 1;

    std::string serialize() const;
    // Throws std::runtime_error on a malformed file.
    static KeyRecord parse(const std::string& text);
    // The largest key.conf the store reads.
    static constexpr std::size_t kMaxFileSize = 1u << 20;

    bool hasSensor() const { return sensor != SensorKind::None; }
    bool fingerEnrolled(std::uint32_t n) const;
};

const char* sensorName(SensorKind k);
bool parseSensor(const std::string& s, SensorKind& out);
const char* fingerFormatName(FingerFormat f);
bool parseFingerFormat(const std::string& s, FingerFormat& out);

} // namespace keysim
