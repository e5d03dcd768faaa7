// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "../core/KeyStore.h"
#include "../keysim_skf.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

// The SKF face of the virtual keys in one process: device and application handles (heap
// records whose addresses are the handles, looked up before use so a stale or foreign handle is
// refused, never dereferenced), each application's login, enrolment and verification state.
namespace keysim {

class SkfLibrary
{
public:
    static SkfLibrary& instance();
    std::mutex& mutex() { return m_mutex; }

    uint32_t enumDev(bool present, char* list, uint32_t* size);
    uint32_t connectDev(const char* name, DEVHANDLE* out);
    uint32_t disconnectDev(DEVHANDLE dev);
    uint32_t getDevInfo(DEVHANDLE dev, DEVINFO* info);
    uint32_t enumApplication(DEVHANDLE dev, char* list, uint32_t* size);
    uint32_t openApplication(DEVHANDLE dev, const char* name, HAPPLICATION* out);
    uint32_t closeApplication(HAPPLICATION app);
    uint32_t verifyPin(HAPPLICATION app, uint32_t type, const char* pin, uint32_t* retries);
    uint32_t clearSecureState(HAPPLICATION app);
    uint32_t enrollFingerInit(HAPPLICATION app, uint32_t type, uint32_t finger);
    uint32_t enrollFinger(HAPPLICATION app, uint32_t type, uint32_t finger, uint32_t* progress);
    uint32_t verifyFingerInit(HAPPLICATION app, uint32_t type);
    uint32_t testFinger(HAPPLICATION app, uint32_t type, uint32_t* finger);
    uint32_t deleteFinger(HAPPLICATION app, uint32_t type, uint32_t finger);
    uint32_t getFingerInfo(HAPPLICATION app, uint32_t type, uint32_t* v0, uint32_t* v1, uint32_t* v2,
                           uint32_t* retryLeft, uint8_t* fingers, uint32_t* len);
    uint32_t unblockFinger(HAPPLICATION app, uint32_t type);
    uint32_t getDeviceCaps(DEVHANDLE dev, uint8_t* buffer, uint32_t* value, uint32_t* caps);
    uint32_t setFingerMode(DEVHANDLE dev, uint32_t samples);
    uint32_t genRemoteUnblockRequest(HAPPLICATION app, uint8_t* request, uint32_t len);
    uint32_t remoteUnblockPin(HAPPLICATION app, const uint8_t* code, uint32_t len, uint32_t* reserved);

private:
    struct Device
    {
        std::string serial;
        std::string plugId;
    };
    struct App
    {
        DEVHANDLE dev = nullptr;
        std::string serial;
        std::string plugId;
        bool loggedIn = false;
        bool enrolling = false;
        uint32_t enrolFinger = 0;
        uint32_t samplesTaken = 0;
        uint32_t samplesNeeded = 0;
        bool verifying = false;
        std::int64_t verifyDeadlineMs = 0;
    };

    SkfLibrary() = default;
    KeyStore store() const { return KeyStore(KeyStore::defaultRoot()); }
    // The device record, after checking its key is still the same plug.
    uint32_t device(DEVHANDLE h, Device*& out, KeyRecord* rec = nullptr);
    uint32_t application(HAPPLICATION h, App*& out, KeyRecord* rec = nullptr);
    // Application of a sensor key, for the fingerprint calls (user type 1 only).
    uint32_t fingerApp(HAPPLICATION h, uint32_t type, App*& out, KeyRecord& rec);
    void dropDevice(DEVHANDLE h);

    std::mutex m_mutex;
    std::map<void*, std::unique_ptr<Device>> m_devices;
    std::map<void*, std::unique_ptr<App>> m_apps;
};

} // namespace keysim
