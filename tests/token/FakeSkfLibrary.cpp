// SPDX-License-Identifier: Apache-2.0
// A scripted SKF library for the cases a real key cannot produce: reported sizes, connection
// failures of one device, odd fingerprint lengths and capability values. Built twice, once
// without MKF_GetDeviceCaps.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Script
{
    std::string devices; // multi-string of device names
    std::uint32_t reportedSize = 0;
    int failingDevice = -1;
    std::uint32_t connectFailure = 0x0A000001;
    std::vector<std::string> serials;
    std::string apps;
    std::vector<std::uint8_t> fingers;
    std::uint32_t fingerLength = 0;
    std::uint32_t fingerResult = 0;
    std::uint32_t caps = 0;
    int connectCalls = 0;
    std::uint32_t failingFinger = 0; // deleting it fails with deleteFailure
    std::uint32_t deleteFailure = 0;
    std::string deleted; // the fingers asked to be deleted, as digits 1 to 9 and 'A' for 10
};

Script& script()
{
    static Script s;
    return s;
}

// Device handles are 1-based indices.
void* handleOf(int index)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(index + 1));
}

int indexOf(void* handle)
{
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(handle)) - 1;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) void FakeSkf_Reset()
{
    script() = Script{};
}

__attribute__((visibility("default"))) void FakeSkf_SetDevices(const char* names, std::uint32_t bytes,
                                                               std::uint32_t reportedSize)
{
    script().devices.assign(names, bytes);
    script().reportedSize = reportedSize;
}

__attribute__((visibility("default"))) void FakeSkf_FailConnect(int index, std::uint32_t code)
{
    script().failingDevice = index;
    script().connectFailure = code;
}

__attribute__((visibility("default"))) void FakeSkf_SetSerial(int index, const char* serial)
{
    if (script().serials.size() <= static_cast<std::size_t>(index))
        script().serials.resize(static_cast<std::size_t>(index) + 1);
    script().serials[static_cast<std::size_t>(index)] = serial;
}

__attribute__((visibility("default"))) void FakeSkf_SetApps(const char* names, std::uint32_t bytes)
{
    script().apps.assign(names, bytes);
}

__attribute__((visibility("default"))) void FakeSkf_SetFingers(const std::uint8_t* bytes, std::uint32_t count,
                                                               std::uint32_t reportedLength, std::uint32_t result)
{
    script().fingers.assign(bytes, bytes + count);
    script().fingerLength = reportedLength;
    script().fingerResult = result;
}

__attribute__((visibility("default"))) void FakeSkf_SetCaps(std::uint32_t caps)
{
    script().caps = caps;
}

__attribute__((visibility("default"))) void FakeSkf_FailDelete(std::uint32_t finger, std::uint32_t code)
{
    script().failingFinger = finger;
    script().deleteFailure = code;
}

__attribute__((visibility("default"))) const char* FakeSkf_Deleted()
{
    return script().deleted.c_str();
}

__attribute__((visibility("default"))) int FakeSkf_ConnectCalls()
{
    return script().connectCalls;
}

__attribute__((visibility("default"))) std::uint32_t SKF_EnumDev(std::int32_t, char* names, std::uint32_t* size)
{
    std::memcpy(names, script().devices.data(), std::min<std::size_t>(script().devices.size(), *size));
    *size = script().reportedSize;
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_ConnectDev(const char* name, void** device)
{
    ++script().connectCalls;
    // The index is the name's position in the scripted list.
    int index = 0;
    for (std::size_t at = 0; at < script().devices.size(); ++index) {
        const std::string current(script().devices.c_str() + at);
        if (current == name)
            break;
        at += current.size() + 1;
        while (at < script().devices.size() && script().devices[at] == '\0')
            ++at;
    }
    if (index == script().failingDevice)
        return script().connectFailure;
    *device = handleOf(index);
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_GetDevInfo(void* device, std::uint8_t* info)
{
    const auto index = static_cast<std::size_t>(indexOf(device));
    if (index < script().serials.size())
        std::memcpy(info + 162, script().serials[index].data(),
                    std::min<std::size_t>(32, script().serials[index].size()));
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_EnumApplication(void*, char* names, std::uint32_t* size)
{
    std::memcpy(names, script().apps.data(), std::min<std::size_t>(script().apps.size(), *size));
    *size = static_cast<std::uint32_t>(script().apps.size());
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_OpenApplication(void* device, const char*, void** app)
{
    // Application handles: device handle * 16 + position of the next free slot.
    static std::uintptr_t next = 0;
    *app = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(device) * 16 + (next++ % 9));
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_GetFingerInfo(void*, std::uint32_t, std::uint32_t* v0,
                                                                       std::uint32_t* v1, std::uint32_t* v2,
                                                                       std::uint32_t* retries, std::uint8_t* fingers,
                                                                       std::uint32_t* length)
{
    if (script().fingerResult != 0)
        return script().fingerResult;
    *v0 = 10;
    *v1 = 0;
    *v2 = 5;
    *retries = 5;
    std::memcpy(fingers, script().fingers.data(), std::min<std::size_t>(script().fingers.size(), *length));
    *length = script().fingerLength;
    return 0;
}

__attribute__((visibility("default"))) std::uint32_t SKF_DeleteFinger(void*, std::uint32_t, std::uint32_t finger)
{
    script().deleted.push_back(finger == 10 ? 'A' : static_cast<char>('0' + finger % 10));
    return finger == script().failingFinger ? script().deleteFailure : 0;
}

#ifndef FAKE_SKF_WITHOUT_CAPS
__attribute__((visibility("default"))) std::uint32_t MKF_GetDeviceCaps(void*, std::uint8_t*, std::uint32_t* value,
                                                                       std::uint32_t* caps)
{
    *value = 0;
    *caps = script().caps;
    return 0;
}
#endif
}
