// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <string>
#include <vector>

namespace drevmor_test {

// The real module loaded in this process a second time: the same instance the wrapper forwards to,
// so that a test can act on the key behind the library's back.
class RealModule
{
public:
    explicit RealModule(const std::string& path) : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        auto getList =
            m_handle ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_handle, "C_GetFunctionList")) : nullptr;
        if (getList)
            getList(&m_f);
    }
    ~RealModule()
    {
        if (m_handle)
            dlclose(m_handle);
    }
    RealModule(const RealModule&) = delete;
    RealModule& operator=(const RealModule&) = delete;
    CK_FUNCTION_LIST* f() const { return m_f; }
    // The slot of the first key whose token is initialised, as token_find lists it first.
    CK_SLOT_ID firstKey() const
    {
        CK_SLOT_ID slots[8];
        CK_ULONG n = 8;
        if (m_f->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK)
            return 0;
        for (CK_ULONG i = 0; i < n; ++i) {
            CK_TOKEN_INFO info{};
            if (m_f->C_GetTokenInfo(slots[i], &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED))
                return slots[i];
        }
        return 0;
    }

    // The objects of one class on the first key, as the module itself finds them (at most 64);
    // private ones only while the application is logged in.
    std::vector<CK_OBJECT_HANDLE> objects(CK_OBJECT_CLASS cls) const
    {
        std::vector<CK_OBJECT_HANDLE> out(64);
        CK_ULONG n = 0;
        const bool ok = withSession([&](CK_SESSION_HANDLE h) {
            CK_ATTRIBUTE t{CKA_CLASS, &cls, sizeof cls};
            return m_f->C_FindObjectsInit(h, &t, 1) == CKR_OK && m_f->C_FindObjects(h, out.data(), 64, &n) == CKR_OK &&
                   m_f->C_FindObjectsFinal(h) == CKR_OK;
        });
        out.resize(ok ? n : 0);
        return out;
    }
    // A CK_BBOOL attribute of an object: 1 true, 0 false, -1 when it cannot be read.
    int flag(CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_TYPE type) const
    {
        CK_BBOOL value = CK_FALSE;
        const bool ok = withSession([&](CK_SESSION_HANDLE h) {
            CK_ATTRIBUTE a{type, &value, sizeof value};
            return m_f->C_GetAttributeValue(h, obj, &a, 1) == CKR_OK;
        });
        return ok ? (value == CK_TRUE ? 1 : 0) : -1;
    }

private:
    template <class Fn>
    bool withSession(Fn fn) const
    {
        CK_SESSION_HANDLE h = CK_INVALID_HANDLE;
        if (m_f->C_OpenSession(firstKey(), CKF_SERIAL_SESSION, nullptr, nullptr, &h) != CKR_OK)
            return false;
        const bool ok = fn(h);
        m_f->C_CloseSession(h);
        return ok;
    }

    void* m_handle;
    CK_FUNCTION_LIST* m_f = nullptr;
};

} // namespace drevmor_test
