// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "keysim_ext.h"

#include <p11-kit/pkcs11.h>

#include <memory>
#include <string>

namespace faultwrap {

// The vendor extension functions of the real module (keysim_ext.h); null where it has none.
struct Extensions
{
    KeysimGetPinCounters_t getPinCounters = nullptr;
    KeysimGetPinLengths_t getPinLengths = nullptr;
    KeysimSetTokenLabel_t setTokenLabel = nullptr;
    KeysimGetTokenLabel_t getTokenLabel = nullptr;
    KeysimGetSerialNumber_t getSerialNumber = nullptr;
    KeysimGetUsbIds_t getUsbIds = nullptr;
};

// Owns a dlopen handle.
class LibraryHandle
{
public:
    explicit LibraryHandle(void* handle) : m_handle(handle) {}
    ~LibraryHandle();
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;
    void* get() const { return m_handle; }

private:
    void* m_handle;
};

// The PKCS#11 module the wrapper forwards to: loaded with dlopen, its function list and its
// vendor extensions. Unloaded when destroyed.
class RealModule
{
public:
    // Loads the module at `path` (as given to dlopen); null with `error` set when it cannot be
    // loaded, has no usable function list, or is the wrapper itself.
    static std::unique_ptr<RealModule> load(const std::string& path, std::string& error);

    const CK_FUNCTION_LIST& functions() const { return *m_functions; }
    const Extensions& extensions() const { return m_extensions; }
    const std::string& path() const { return m_path; }

private:
    RealModule() = default;

    std::unique_ptr<LibraryHandle> m_library;
    CK_FUNCTION_LIST* m_functions = nullptr;
    Extensions m_extensions;
    std::string m_path;
};

} // namespace faultwrap
