// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <span>

// The binding of the key's SKF library (GM/T 0016 plus the key maker's fingerprint, capability
// and remote-unblock extensions). The library is loaded at run time; every entry point is looked
// up by name when it is called, so a library that lacks a function only fails the calls of that
// function.
namespace kx {

using SkfHandle = void*;

// Result codes the callers test. Every other non-zero value is an operation failure.
inline constexpr std::uint32_t SAR_OK = 0;
inline constexpr std::uint32_t SAR_PIN_LOCKED = 0x0A000025;
inline constexpr std::uint32_t SAR_USER_NOT_LOGGED_IN = 0x0A00002D;
inline constexpr std::uint32_t SAR_APPLICATION_NOT_EXISTS = 0x0A00002E;
inline constexpr std::uint32_t FingerNotBound = 0x0B000035;
inline constexpr std::uint32_t FingerSamplePending = 0x0B000039;
inline constexpr std::uint32_t FingerCaptureFailed = 0x0B000040;
inline constexpr std::uint32_t SAR_FINGER_EXIST = 0x0C000001;
inline constexpr std::uint32_t SAR_FINGER_NOT_EXIST = 0x0C000002;
// Produced by this binding: the library or the entry point is absent.
inline constexpr std::uint32_t SkfEntryMissing = 0x0EEEEEEE;
// Produced by the device enumeration: no device listed.
inline constexpr std::uint32_t SkfNoDevice = 100;

// The user type of fingerprint and PIN calls.
inline constexpr std::uint32_t SkfUserType = 1;

inline constexpr int kSkfMaxDevices = 33;
inline constexpr int kSkfMaxApps = 9;
inline constexpr std::size_t kSkfNameBufferSize = 4096;
// GM/T 0016 DEVINFO: 294 bytes, the serial number (32 bytes) at offset 162.
inline constexpr std::size_t kDevInfoSize = 294;
inline constexpr std::size_t kDevInfoSerialOffset = 162;
inline constexpr std::size_t kDevInfoSerialSize = 32;
inline constexpr std::size_t kFingerBytes = 255;
inline constexpr std::size_t kDeviceCapsBufferSize = 2052;
inline constexpr std::size_t kUnblockRequestBufferSize = 32;

// The device list.
struct TGM_Info
{
    std::int32_t count = 0;
    std::array<QByteArray, kSkfMaxDevices> names;
};

// The applications of one device, with the handle opened for each.
struct TGM_APPInfo
{
    std::int32_t count = 0;
    std::array<QByteArray, kSkfMaxApps> names;
    std::array<SkfHandle, kSkfMaxApps> handles{};
};

// A key's fingerprint information.
struct FingerInfo
{
    std::uint32_t value0 = 0;
    std::uint32_t value1 = 0;
    std::uint32_t value2 = 0;
    // Verification attempts left; 0: the fingerprint is locked.
    std::uint32_t retryLeft = 0;
    // A presence map (byte i is 1 when finger i+1 is enrolled) or a list of finger numbers.
    std::array<std::uint8_t, kFingerBytes> fingers{};
    // Meaningful bytes in `fingers`.
    std::uint32_t length = 0;
    // Non-zero bytes, counted by the reader.
    std::uint32_t enrolledCount = 0;
};

// The process's SKF library. Loading again replaces the library loaded before.
class SkfLibrary
{
public:
    // Loads `path` exactly as given (a bare file name goes through the loader's search). An empty
    // path or a failure leaves no library loaded; nothing is reported.
    static bool Load(const QString& path);
    static void Unload();
    static bool Loaded();
    // The address of `name` in the loaded library, or nullptr.
    static void* Entry(const char* name);
};

namespace GMAPIs {

std::uint32_t SKF_EnumDev(std::uint32_t presentOnly, std::span<char> names, std::uint32_t& size);
std::uint32_t SKF_ConnectDev(const QByteArray& name, SkfHandle& device);
// `devInfo` must hold at least kDevInfoSize bytes; a smaller buffer is refused.
std::uint32_t SKF_GetDevInfo(SkfHandle device, std::span<std::uint8_t> devInfo);
std::uint32_t SKF_EnumApplication(SkfHandle device, std::span<char> names, std::uint32_t& size);
std::uint32_t SKF_OpenApplication(SkfHandle device, const QByteArray& name, SkfHandle& application);
std::uint32_t SKF_VerifyPIN(SkfHandle application, std::uint32_t userType, const QString& pin, std::uint32_t& retryCount);
std::uint32_t SKF_ClearSecureState(SkfHandle application);
std::uint32_t SKF_EnrollFingerInit(SkfHandle application, std::uint32_t userType, std::uint32_t finger);
std::uint32_t SKF_EnrollFinger(SkfHandle application, std::uint32_t userType, std::uint32_t finger,
                               std::uint32_t& progress);
std::uint32_t SKF_VerifyFingerInit(SkfHandle application, std::uint32_t userType);
std::uint32_t SKF_TestFinger(SkfHandle application, std::uint32_t userType, std::uint32_t& finger);
std::uint32_t SKF_DeleteFinger(SkfHandle application, std::uint32_t userType, std::uint32_t finger);
// Fills every field of `info` but the enrolled count. `info.length` goes in as the capacity of
// the finger bytes and comes back as the library reported it.
std::uint32_t SKF_GetFingerInfo(SkfHandle application, std::uint32_t userType, FingerInfo& info);
std::uint32_t SKF_UnblockFinger(SkfHandle application, std::uint32_t userType);
// `buffer` must hold at least kDeviceCapsBufferSize bytes.
std::uint32_t MKF_GetDeviceCaps(SkfHandle device, std::span<std::uint8_t> buffer, std::uint32_t& value,
                                std::uint32_t& caps);
std::uint32_t SKF_SetFingerMode(SkfHandle device, std::uint32_t samples);
// `request` holds at least `length` bytes.
std::uint32_t SKF_GenRemoteUnblockRequest(SkfHandle application, std::span<std::uint8_t> request,
                                          std::uint32_t length);
std::uint32_t SKF_RemoteUnblockPIN(SkfHandle application, std::span<const std::uint8_t> code,
                                   std::uint32_t& reserved);

} // namespace GMAPIs

} // namespace kx
