// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "GMAPIs.h"

#include <QByteArrayView>
#include <QList>

#include <functional>

namespace kx {

// The manager's SKF state over the binding: the listed devices with their handles and
// applications, the application handle that fingerprint and remote-unlock calls use, and the
// last fingerprint information read. Operations that need a device handle take a device index.
class Call_GMAPIs_Admin
{
public:
    TGM_Info SkfDevices;
    std::array<SkfHandle, kSkfMaxDevices> SkfDevHandles{};
    std::array<TGM_APPInfo, kSkfMaxDevices> SkfApps;
    SkfHandle SkfAppHandle = nullptr;
    std::uint32_t FingerUserType = SkfUserType;
    kx::FingerInfo FingerInfo;

    // Run by the full refresh after the application handle is chosen (the fingerprint page).
    std::function<void(std::uint32_t userType)> fingerPageRefresh;
    // The waits of the full refresh's retries; blocking by default, replaceable by tests.
    std::function<void(int milliseconds)> wait;

    Call_GMAPIs_Admin();

    // Splits a multi-string taken up to `size` bytes into names; names keep their spaces, and a
    // question mark in a name comes back as a space.
    static QList<QByteArray> SplitNames(QByteArrayView buffer);

    std::uint32_t EnumDevices(TGM_Info& list);
    std::uint32_t DeviceInfo(int device, std::span<std::uint8_t> devInfo);
    std::uint32_t OpenApplications(int device, TGM_APPInfo& apps);
    std::uint32_t VerifyPIN(SkfHandle application, std::uint32_t userType, const QString& pin,
                            std::uint32_t& retryCount);
    std::uint32_t ReadFingerInfo(SkfHandle application, std::uint32_t userType, kx::FingerInfo& info);
    std::uint32_t DeleteFinger(SkfHandle application, std::uint32_t userType, std::uint32_t finger);
    std::uint32_t EnrollInit(SkfHandle application, std::uint32_t userType, std::uint32_t finger);
    std::uint32_t EnrollSample(SkfHandle application, std::uint32_t userType, std::uint32_t finger,
                               std::uint32_t& progress);
    std::uint32_t VerifyInit(SkfHandle application, std::uint32_t userType);
    std::uint32_t TestFinger(SkfHandle application, std::uint32_t userType, std::uint32_t& finger);
    std::uint32_t DeviceCaps(int device, std::span<std::uint8_t> buffer, std::uint32_t& value, std::uint32_t& caps);
    std::uint32_t ClearSecureState(SkfHandle application);
    std::uint32_t SetFingerMode(int device, std::uint32_t samples);

    // The fingerprint capability of device 0: 2 to 5 a sensor (5 finger vein), 0 otherwise.
    std::uint32_t CapabilityQuery();
    // Devices and applications without retries; the application handle of device 0.
    std::uint32_t ShortRefresh();
    // Devices with one retry, applications with one retry each, names replaced by serial
    // numbers, then the fingerprint page refresh. Non-zero: no usable SKF device.
    std::uint32_t FullRefresh();
    // Takes the application of the last device whose name starts with the same 16 characters as
    // `serial`; keeps the handle when none does.
    void SelectApplication(QByteArrayView serial);
    // Whether a listed device is the key with `serial` (as SelectApplication matches).
    bool HasDeviceOf(QByteArrayView serial) const { return deviceOfKey(serial) >= 0; }
    // Whether the key with `serial` carries a sensor: the device matched as SelectApplication
    // matches reports a fingerprint capability. False when no device matches, so no empty PIN
    // goes to a key that would count it as a wrong one.
    bool KeyHasSensor(QByteArrayView serial);

    // Whether the finger bytes are a list of finger numbers (some meaningful byte above 1)
    // rather than a presence map.
    static bool IsNumberList(const kx::FingerInfo& info);
    // Whether finger `finger` (1 to 10) is enrolled in `info`.
    static bool FingerEnrolled(const kx::FingerInfo& info, int finger);
    // The fingers to delete for "delete all", in ascending position order over the first ten
    // bytes: finger p+1 for each non-zero byte p of a map, the number in each non-zero byte of a list.
    static QList<int> EnrolledFingers(const kx::FingerInfo& info);

private:
    // The last device whose name starts with the same 16 characters as `serial`, or -1.
    int deviceOfKey(QByteArrayView serial) const;
    // The fingerprint capability of a device: 2 to 5 a sensor (5 finger vein), 0 otherwise.
    std::uint32_t capabilityOf(int device);

    SkfHandle deviceHandle(int device) const;
    void clearDevices();
};

} // namespace kx
