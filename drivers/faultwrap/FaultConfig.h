// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "Functions.h"

#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace faultwrap {

// When an injected fault strikes: before the real call (which is then not made) or after it (its
// effect stays, its result is replaced); Either picks one of the two at random for each fault.
enum class FaultWhen
{
    Before,
    After,
    Either
};

// A one-shot trigger: the next `count` calls of one function fail.
struct OneShotFault
{
    FaultWhen when = FaultWhen::Before;
    std::uint64_t count = 1;
    std::optional<CK_RV> code; // the configuration's fail.code when not given
};

// The wrapper's configuration, as read from the text of its file: one `name=value` per line,
// lines starting with `#` are comments. Keys:
//   module=PATH                    the real module (else $KX2700_FAULTWRAP_MODULE)
//   seed=N                         seed of the random faults (default 0)
//   profile=real-key               latencies of a real USB key (see latency())
//   latency=MS                     every call
//   latency.C_Name=MS              one function (also the vendor extensions, e.g. KeysimGetUsbIds)
//   latency.write=MS               C_CreateObject, C_CopyObject, C_DestroyObject, C_SetAttributeValue
//   latency.private-write=MS       C_CreateObject of a private key, C_GenerateKeyPair, C_UnwrapKey
//                                  (RSA generations too)
//   fail.rate=PERCENT              0 to 100, fractions allowed (a trailing % too)
//   fail.functions=C_A,C_B         the functions fail.rate applies to
//   fail.code=CODE                 hexadecimal (0x30) or decimal; default CKR_DEVICE_ERROR
//   fail.when=before|after|either  default before
//   fail.next.C_Name=WHEN[:COUNT][:CODE]   the next COUNT (default 1) calls of C_Name fail
//   log=PATH                       one line per injected fault: "pid function when code"
// A line that cannot be used is described and ignored; the rest of the file still applies.
class FaultConfig
{
public:
    // Latencies and counts above these are refused as malformed.
    static constexpr std::int64_t kMaxLatencyMs = 600000;
    static constexpr std::uint64_t kMaxCount = 1000000000;
    // The real-key profile's RSA key-pair generation.
    static constexpr std::int64_t kRealKeyRsaGenerationMs = 8000;

    // Reads a configuration; every line that cannot be used adds "line N: reason" to `problems`.
    static FaultConfig parse(std::string_view text, std::vector<std::string>& problems);

    std::uint64_t seed() const { return m_seed; }
    // The latency of one call: of the function itself when given; else private-write, write (for
    // those kinds of calls); else the profile's signature, decryption and PIN figures; else
    // `latency`. At each step an explicit key wins over the profile. real-key: 20 ms a call,
    // 300 ms a write, 1000 ms a private-key write, 8000 ms an RSA key-pair generation (a real
    // key's chip takes seconds to find two primes), 200 ms a signature or decryption, 100 ms
    // C_Login, C_SetPIN, C_InitPIN.
    std::chrono::milliseconds latency(int function, CallKind kind) const;
    double failRate() const { return m_failRate; }
    // Whether fail.rate applies to the function.
    bool randomFaults(int function) const;
    CK_RV failCode() const { return m_failCode; }
    FaultWhen failWhen() const { return m_failWhen; }
    // One-shot triggers by function id.
    const std::map<int, OneShotFault>& oneShots() const { return m_oneShots; }
    const std::string& logPath() const { return m_logPath; }
    const std::string& modulePath() const { return m_modulePath; }

private:
    // Takes in one setting; false with `problem` set when it cannot be used.
    bool apply(std::string_view key, std::string_view value, std::string& problem);

    std::uint64_t m_seed = 0;
    bool m_realKey = false;
    std::optional<std::chrono::milliseconds> m_latency, m_writeLatency, m_privateWriteLatency;
    std::map<int, std::chrono::milliseconds> m_functionLatency;
    double m_failRate = 0;
    std::vector<int> m_failFunctions; // empty: every function faulted by default
    CK_RV m_failCode = CKR_DEVICE_ERROR;
    FaultWhen m_failWhen = FaultWhen::Before;
    std::map<int, OneShotFault> m_oneShots;
    std::string m_logPath;
    std::string m_modulePath;
};

} // namespace faultwrap
