// SPDX-License-Identifier: Apache-2.0
#include "GMAPIs.h"

#include "KeyThreadGuard.h"

#include "LibraryFile.h"

#include "common/OperationLog.h"
#include "common/SecretString.h"
#include "common/TextFormat.h"

#include <QFile>

#include <algorithm>

#include <dlfcn.h>
#include <string.h>

namespace kx {

namespace {

// The dlopen handle of the loaded library, closed when it is replaced or at process end.
class LibraryHandle
{
public:
    LibraryHandle() = default;
    ~LibraryHandle() { reset(); }
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;

    void reset(void* handle = nullptr)
    {
        if (m_handle)
            dlclose(m_handle);
        m_handle = handle;
    }
    void* get() const { return m_handle; }

private:
    void* m_handle = nullptr;
};

LibraryHandle& library()
{
    static LibraryHandle handle;
    return handle;
}

// Looks `name` up in the loaded library and calls it with `args`; SkfEntryMissing when the
// library or the name is absent. The result is written to the operation log with the name.
template <typename Function, typename... Args>
std::uint32_t call(const char* name, Args... args)
{
    KeyThreadGuard::check(name);
    void* entry = SkfLibrary::Entry(name);
    std::uint32_t result = SkfEntryMissing;
    if (entry)
        result = reinterpret_cast<Function>(entry)(args...);
    LogLine(QString::fromLatin1(name) + QStringLiteral(" rtn=0x") + HexCode(result));
    return result;
}

using Handle = void*;
using U32 = std::uint32_t;

} // namespace

bool SkfLibrary::Load(const QString& path)
{
    library().reset();
    if (path.isEmpty())
        return false;
    // A name beside the executable is loaded from there, any other name without a folder goes
    // through the loader's search, an absolute path is taken as it stands.
    const QString file = LoadableLibrary(path);
    library().reset(dlopen(QFile::encodeName(file).constData(), RTLD_NOW | RTLD_LOCAL));
    return library().get() != nullptr;
}

void SkfLibrary::Unload()
{
    library().reset();
}

bool SkfLibrary::Loaded()
{
    return library().get() != nullptr;
}

void* SkfLibrary::Entry(const char* name)
{
    if (!library().get())
        return nullptr;
    return dlsym(library().get(), name);
}

namespace GMAPIs {

U32 SKF_EnumDev(U32 presentOnly, std::span<char> names, U32& size)
{
    // Without the entry point nothing is listed, so the enumeration reads as "no device".
    size = SkfLibrary::Entry("SKF_EnumDev") ? static_cast<U32>(names.size()) : 0;
    const U32 result = call<U32 (*)(std::int32_t, char*, U32*)>("SKF_EnumDev", static_cast<std::int32_t>(presentOnly),
                                                                names.data(), &size);
    // A library that reports more than it was given never makes a caller read past the buffer.
    size = std::min<U32>(size, static_cast<U32>(names.size()));
    return result;
}

U32 SKF_ConnectDev(const QByteArray& name, SkfHandle& device)
{
    return call<U32 (*)(const char*, Handle*)>("SKF_ConnectDev", name.constData(), &device);
}

U32 SKF_GetDevInfo(SkfHandle device, std::span<std::uint8_t> devInfo)
{
    if (devInfo.size() < kDevInfoSize)
        return SkfEntryMissing;
    return call<U32 (*)(Handle, void*)>("SKF_GetDevInfo", device, static_cast<void*>(devInfo.data()));
}

U32 SKF_EnumApplication(SkfHandle device, std::span<char> names, U32& size)
{
    size = SkfLibrary::Entry("SKF_EnumApplication") ? static_cast<U32>(names.size()) : 0;
    const U32 result = call<U32 (*)(Handle, char*, U32*)>("SKF_EnumApplication", device, names.data(), &size);
    size = std::min<U32>(size, static_cast<U32>(names.size()));
    return result;
}

U32 SKF_OpenApplication(SkfHandle device, const QByteArray& name, SkfHandle& application)
{
    return call<U32 (*)(Handle, const char*, Handle*)>("SKF_OpenApplication", device, name.constData(), &application);
}

U32 SKF_VerifyPIN(SkfHandle application, U32 userType, const QString& pin, U32& retryCount)
{
    const SecretBytes bytes(pin);
    LogLine(QStringLiteral("SKF_VerifyPIN begin pin=") + QString::fromLatin1(kLogSecretMask));
    return call<U32 (*)(Handle, U32, const char*, U32*)>("SKF_VerifyPIN", application, userType, bytes.get(),
                                                         &retryCount);
}

U32 SKF_ClearSecureState(SkfHandle application)
{
    return call<U32 (*)(Handle)>("SKF_ClearSecureState", application);
}

U32 SKF_EnrollFingerInit(SkfHandle application, U32 userType, U32 finger)
{
    return call<U32 (*)(Handle, U32, U32)>("SKF_EnrollFingerInit", application, userType, finger);
}

U32 SKF_EnrollFinger(SkfHandle application, U32 userType, U32 finger, U32& progress)
{
    return call<U32 (*)(Handle, U32, U32, U32*)>("SKF_EnrollFinger", application, userType, finger, &progress);
}

U32 SKF_VerifyFingerInit(SkfHandle application, U32 userType)
{
    return call<U32 (*)(Handle, U32)>("SKF_VerifyFingerInit", application, userType);
}

U32 SKF_TestFinger(SkfHandle application, U32 userType, U32& finger)
{
    return call<U32 (*)(Handle, U32, U32*)>("SKF_TestFinger", application, userType, &finger);
}

U32 SKF_DeleteFinger(SkfHandle application, U32 userType, U32 finger)
{
    return call<U32 (*)(Handle, U32, U32)>("SKF_DeleteFinger", application, userType, finger);
}

U32 SKF_GetFingerInfo(SkfHandle application, U32 userType, FingerInfo& info)
{
    info.fingers.fill(0);
    U32 length = static_cast<U32>(info.fingers.size());
    const U32 result = call<U32 (*)(Handle, U32, U32*, U32*, U32*, U32*, std::uint8_t*, U32*)>(
        "SKF_GetFingerInfo", application, userType, &info.value0, &info.value1, &info.value2, &info.retryLeft,
        info.fingers.data(), &length);
    info.length = length;
    return result;
}

U32 SKF_UnblockFinger(SkfHandle application, U32 userType)
{
    return call<U32 (*)(Handle, U32)>("SKF_UnblockFinger", application, userType);
}

U32 MKF_GetDeviceCaps(SkfHandle device, std::span<std::uint8_t> buffer, U32& value, U32& caps)
{
    if (buffer.size() < kDeviceCapsBufferSize)
        return SkfEntryMissing;
    return call<U32 (*)(Handle, std::uint8_t*, U32*, U32*)>("MKF_GetDeviceCaps", device, buffer.data(), &value, &caps);
}

U32 SKF_SetFingerMode(SkfHandle device, U32 samples)
{
    return call<U32 (*)(Handle, U32)>("SKF_SetFingerMode", device, samples);
}

U32 SKF_GenRemoteUnblockRequest(SkfHandle application, std::span<std::uint8_t> request, U32 length)
{
    if (request.size() < length)
        return SkfEntryMissing;
    return call<U32 (*)(Handle, std::uint8_t*, U32)>("SKF_GenRemoteUnblockRequest", application, request.data(),
                                                     length);
}

U32 SKF_RemoteUnblockPIN(SkfHandle application, std::span<const std::uint8_t> code, U32& reserved)
{
    return call<U32 (*)(Handle, const std::uint8_t*, U32, U32*)>("SKF_RemoteUnblockPIN", application, code.data(),
                                                                 static_cast<U32>(code.size()), &reserved);
}

} // namespace GMAPIs

} // namespace kx
