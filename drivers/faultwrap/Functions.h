// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <optional>
#include <span>
#include <string_view>

namespace faultwrap {

// What a call does to the key, which decides the latency it gets (see FaultConfig::latency).
enum class CallKind
{
    Plain,        // any other call
    Write,        // an object written or removed
    PrivateWrite, // a private key written or made on the key
    RsaKeyGen,    // an RSA key pair made on the key (a real key needs seconds to find its primes)
    Crypto,       // a signature or a decryption
    Login         // a PIN checked or set
};

// One function the wrapper forwards.
struct FunctionInfo
{
    std::string_view name;
    CallKind kind = CallKind::Plain;
    // Part of the random faults when `fail.functions` names none (the calls that set the module up
    // and describe it are left out, so a client can always start).
    bool faultedByDefault = true;
};

// Every function the wrapper forwards, addressed by its index (the function id): the members of
// CK_FUNCTION_LIST in their order, then the vendor extensions of keysim_ext.h.
std::span<const FunctionInfo> functions();
std::optional<int> functionId(std::string_view name);

// The kind of a C_GenerateKeyPair call with this mechanism: RsaKeyGen for RSA, PrivateWrite for
// every other (and for none).
CallKind generationKind(const CK_MECHANISM* mechanism);

// Fills `out` with a forwarding function for every function `real` has; a function the real
// module lacks stays null, C_GetFunctionList is the wrapper's own.
void buildForwardingList(const CK_FUNCTION_LIST& real, CK_FUNCTION_LIST& out);

} // namespace faultwrap
