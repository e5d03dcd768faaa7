// SPDX-License-Identifier: Apache-2.0
// The symbols of libkx2700-faultwrap.so: C_GetFunctionList, through which every other PKCS#11
// function is reached, and the vendor extensions of keysim_ext.h, exported under the same names
// so that a client looks them up on the wrapper exactly as on the module.
//
// An extension the real module lacks answers CKR_FUNCTION_NOT_SUPPORTED at once, without latency
// or fault (no call reaches the key). libDrevmor treats every failure of an extension as "the
// module cannot say" and falls back to standard PKCS#11 (token_set_label reports
// CKR_FUNCTION_NOT_SUPPORTED itself), so over such a module it behaves as over one without the
// extension.
#include "FaultWrapper.h"
#include "keysim_ext.h"

#include <string_view>

using faultwrap::FaultWrapper;

namespace {

template <auto Member, class... Args>
unsigned long forwardExtension(std::string_view name, Args... args) noexcept
{
    try {
        static const int id = faultwrap::functionId(name).value();
        FaultWrapper& w = FaultWrapper::instance();
        const faultwrap::RealModule* real = w.real();
        if (!real)
            return CKR_CRYPTOKI_NOT_INITIALIZED;
        const auto fn = real->extensions().*Member;
        if (!fn)
            return CKR_FUNCTION_NOT_SUPPORTED;
        return w.run(id, faultwrap::CallKind::Plain, [&] { return fn(args...); });
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out)
{
    if (!out)
        return CKR_ARGUMENTS_BAD;
    try {
        static const int id = faultwrap::functionId("C_GetFunctionList").value();
        FaultWrapper& w = FaultWrapper::instance();
        return w.run(id, faultwrap::CallKind::Plain, [&] { return w.functionList(out); });
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

__attribute__((visibility("default"))) unsigned long KeysimGetPinCounters(unsigned long slotId, unsigned long userType,
                                                                          unsigned long* retriesLeft,
                                                                          unsigned long* maxRetries)
{
    return forwardExtension<&faultwrap::Extensions::getPinCounters>("KeysimGetPinCounters", slotId, userType,
                                                                    retriesLeft, maxRetries);
}

__attribute__((visibility("default"))) unsigned long KeysimGetPinLengths(unsigned long slotId, unsigned long userType,
                                                                         unsigned long* minLen, unsigned long* maxLen)
{
    return forwardExtension<&faultwrap::Extensions::getPinLengths>("KeysimGetPinLengths", slotId, userType, minLen,
                                                                   maxLen);
}

__attribute__((visibility("default"))) unsigned long KeysimSetTokenLabel(unsigned long slotId, const char* label)
{
    return forwardExtension<&faultwrap::Extensions::setTokenLabel>("KeysimSetTokenLabel", slotId, label);
}

__attribute__((visibility("default"))) unsigned long KeysimGetTokenLabel(unsigned long slotId, char* buf,
                                                                         unsigned long* len)
{
    return forwardExtension<&faultwrap::Extensions::getTokenLabel>("KeysimGetTokenLabel", slotId, buf, len);
}

__attribute__((visibility("default"))) unsigned long KeysimGetSerialNumber(unsigned long slotId, char* buf,
                                                                           unsigned long* len)
{
    return forwardExtension<&faultwrap::Extensions::getSerialNumber>("KeysimGetSerialNumber", slotId, buf, len);
}

__attribute__((visibility("default"))) unsigned long KeysimGetUsbIds(unsigned long slotId, unsigned long* vendorId,
                                                                     unsigned long* productId)
{
    return forwardExtension<&faultwrap::Extensions::getUsbIds>("KeysimGetUsbIds", slotId, vendorId, productId);
}

} // extern "C"
