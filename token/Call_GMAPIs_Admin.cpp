// SPDX-License-Identifier: Apache-2.0
#include "Call_GMAPIs_Admin.h"

#include "SkfBuffers.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kx {

namespace {

using U32 = std::uint32_t;

// The serial number of a DEVINFO record: at most 32 bytes, up to the first zero byte.
QByteArray serialOf(std::span<const std::uint8_t> devInfo)
{
    const auto* begin = reinterpret_cast<const char*>(devInfo.data() + kDevInfoSerialOffset);
    return QByteArray(begin, static_cast<qsizetype>(qstrnlen(begin, kDevInfoSerialSize)));
}

} // namespace

Call_GMAPIs_Admin::Call_GMAPIs_Admin()
    : wait([](int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); })
{}

QList<QByteArray> Call_GMAPIs_Admin::SplitNames(QByteArrayView buffer)
{
    return splitSkfNames(buffer);
}

SkfHandle Call_GMAPIs_Admin::deviceHandle(int device) const
{
    if (device < 0 || device >= kSkfMaxDevices)
        return nullptr;
    return SkfDevHandles[static_cast<std::size_t>(device)];
}

U32 Call_GMAPIs_Admin::EnumDevices(TGM_Info& list)
{
    std::vector<char> buffer(kSkfNameBufferSize, '\0');
    U32 size = 0;
    GMAPIs::SKF_EnumDev(1, buffer, size);
    if (size < 1)
        return SkfNoDevice;
    const QList<QByteArray> names = SplitNames(QByteArrayView(buffer.data(), static_cast<qsizetype>(size)));
    // Devices beyond the table are not listed.
    list.count = static_cast<std::int32_t>(std::min<qsizetype>(names.size(), kSkfMaxDevices));
    for (int i = 0; i < list.count; ++i)
        list.names[static_cast<std::size_t>(i)] = names.at(i);
    for (int i = 0; i < list.count; ++i) {
        const U32 result =
            GMAPIs::SKF_ConnectDev(list.names[static_cast<std::size_t>(i)], SkfDevHandles[static_cast<std::size_t>(i)]);
        if (result != SAR_OK)
            return result;
    }
    return SAR_OK;
}

U32 Call_GMAPIs_Admin::DeviceInfo(int device, std::span<std::uint8_t> devInfo)
{
    return GMAPIs::SKF_GetDevInfo(deviceHandle(device), devInfo);
}

U32 Call_GMAPIs_Admin::OpenApplications(int device, TGM_APPInfo& apps)
{
    std::vector<char> buffer(kSkfNameBufferSize, '\0');
    U32 size = 0;
    const SkfHandle handle = deviceHandle(device);
    if (const U32 result = GMAPIs::SKF_EnumApplication(handle, buffer, size); result != SAR_OK)
        return result;
    if (size < 1)
        return SAR_OK;
    const QList<QByteArray> names = SplitNames(QByteArrayView(buffer.data(), static_cast<qsizetype>(size)));
    // Applications beyond the table are not opened.
    apps.count = static_cast<std::int32_t>(std::min<qsizetype>(names.size(), kSkfMaxApps));
    U32 result = SAR_OK;
    for (int k = 0; k < apps.count; ++k) {
        const auto slot = static_cast<std::size_t>(k);
        apps.names[slot] = names.at(k);
        result = GMAPIs::SKF_OpenApplication(handle, apps.names[slot], apps.handles[slot]);
    }
    return result;
}

U32 Call_GMAPIs_Admin::VerifyPIN(SkfHandle application, U32 userType, const QString& pin, U32& retryCount)
{
    return GMAPIs::SKF_VerifyPIN(application, userType, pin, retryCount);
}

U32 Call_GMAPIs_Admin::ReadFingerInfo(SkfHandle application, U32 userType, kx::FingerInfo& info)
{
    info.length = kFingerBytes;
    info.enrolledCount = 0;
    info.fingers.fill(0);
    if (const U32 result = GMAPIs::SKF_GetFingerInfo(application, userType, info); result != SAR_OK)
        return result;
    U32 length = info.length < 100 ? 10 : info.length;
    // A library reporting more than the finger area never makes the count read past it.
    length = std::min<U32>(length, kFingerBytes);
    info.enrolledCount = static_cast<U32>(
        std::count_if(info.fingers.begin(), info.fingers.begin() + length, [](std::uint8_t b) { return b != 0; }));
    return SAR_OK;
}

U32 Call_GMAPIs_Admin::DeleteFinger(SkfHandle application, U32 userType, U32 finger)
{
    return GMAPIs::SKF_DeleteFinger(application, userType, finger);
}

U32 Call_GMAPIs_Admin::EnrollInit(SkfHandle application, U32 userType, U32 finger)
{
    return GMAPIs::SKF_EnrollFingerInit(application, userType, finger);
}

U32 Call_GMAPIs_Admin::EnrollSample(SkfHandle application, U32 userType, U32 finger, U32& progress)
{
    return GMAPIs::SKF_EnrollFinger(application, userType, finger, progress);
}

U32 Call_GMAPIs_Admin::VerifyInit(SkfHandle application, U32 userType)
{
    return GMAPIs::SKF_VerifyFingerInit(application, userType);
}

U32 Call_GMAPIs_Admin::TestFinger(SkfHandle application, U32 userType, U32& finger)
{
    return GMAPIs::SKF_TestFinger(application, userType, finger);
}

U32 Call_GMAPIs_Admin::DeviceCaps(int device, std::span<std::uint8_t> buffer, U32& value, U32& caps)
{
    return GMAPIs::MKF_GetDeviceCaps(deviceHandle(device), buffer, value, caps);
}

U32 Call_GMAPIs_Admin::ClearSecureState(SkfHandle application)
{
    return GMAPIs::SKF_ClearSecureState(application);
}

U32 Call_GMAPIs_Admin::SetFingerMode(int device, U32 samples)
{
    return GMAPIs::SKF_SetFingerMode(deviceHandle(device), samples);
}

U32 Call_GMAPIs_Admin::capabilityOf(int device)
{
    std::vector<std::uint8_t> buffer(kDeviceCapsBufferSize, 0);
    U32 value = 0;
    U32 caps = 0;
    if (DeviceCaps(device, buffer, value, caps) == SAR_OK && caps <= 5)
        return caps;
    return 0;
}

U32 Call_GMAPIs_Admin::CapabilityQuery()
{
    return capabilityOf(0);
}

void Call_GMAPIs_Admin::clearDevices()
{
    SkfDevices = TGM_Info{};
    SkfDevHandles.fill(nullptr);
}

U32 Call_GMAPIs_Admin::ShortRefresh()
{
    clearDevices();
    if (const U32 result = EnumDevices(SkfDevices); result != SAR_OK)
        return result;
    for (int i = 0; i < SkfDevices.count; ++i) {
        auto& apps = SkfApps[static_cast<std::size_t>(i)];
        apps = TGM_APPInfo{};
        OpenApplications(i, apps);
    }
    SkfAppHandle = SkfApps[0].handles[0];
    FingerUserType = SkfUserType;
    return SAR_OK;
}

U32 Call_GMAPIs_Admin::FullRefresh()
{
    clearDevices();
    U32 result = EnumDevices(SkfDevices);
    // Without the library a second try cannot succeed; the wait would only delay every key list.
    if (result != SAR_OK && !SkfLibrary::Loaded()) {
        return result;
    }
    if (result != SAR_OK) {
        wait(1000);
        clearDevices();
        result = EnumDevices(SkfDevices);
        if (result != SAR_OK)
            return result;
    }
    std::vector<std::uint8_t> devInfo(kDevInfoSize, 0);
    for (int i = 0; i < SkfDevices.count; ++i) {
        auto& apps = SkfApps[static_cast<std::size_t>(i)];
        apps = TGM_APPInfo{};
        result = OpenApplications(i, apps);
        if (result != SAR_OK) {
            wait(100);
            apps = TGM_APPInfo{};
            result = OpenApplications(i, apps);
        }
        std::fill(devInfo.begin(), devInfo.end(), 0);
        DeviceInfo(i, devInfo);
        SkfDevices.names[static_cast<std::size_t>(i)] = serialOf(devInfo);
    }
    SkfAppHandle = SkfApps[0].handles[0];
    FingerUserType = SkfUserType;
    if (fingerPageRefresh)
        fingerPageRefresh(FingerUserType);
    return result;
}

int Call_GMAPIs_Admin::deviceOfKey(QByteArrayView serial) const
{
    const QByteArrayView key = serial.first(std::min<qsizetype>(serial.size(), 16));
    int device = -1;
    for (int i = 0; i < SkfDevices.count; ++i) {
        const QByteArray& name = SkfDevices.names[static_cast<std::size_t>(i)];
        if (QByteArrayView(name).first(std::min<qsizetype>(name.size(), 16)) == key)
            device = i;
    }
    return device;
}

void Call_GMAPIs_Admin::SelectApplication(QByteArrayView serial)
{
    if (const int device = deviceOfKey(serial); device >= 0)
        SkfAppHandle = SkfApps[static_cast<std::size_t>(device)].handles[0];
}

bool Call_GMAPIs_Admin::KeyHasSensor(QByteArrayView serial)
{
    const int device = deviceOfKey(serial);
    return device >= 0 && capabilityOf(device) > 1;
}

bool Call_GMAPIs_Admin::IsNumberList(const kx::FingerInfo& info)
{
    return fingerBytesAreNumbers(info);
}

bool Call_GMAPIs_Admin::FingerEnrolled(const kx::FingerInfo& info, int finger)
{
    return fingerIsEnrolled(info, finger);
}

QList<int> Call_GMAPIs_Admin::EnrolledFingers(const kx::FingerInfo& info)
{
    return enrolledFingerList(info);
}

} // namespace kx
