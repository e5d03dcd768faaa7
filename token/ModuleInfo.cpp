// SPDX-License-Identifier: Apache-2.0
#include "ModuleInfo.h"

#include <QFile>

#include <p11-kit/pkcs11.h>

#include <dlfcn.h>

#include <memory>

namespace kx {

namespace {

struct LibraryCloser
{
    void operator()(void* handle) const { dlclose(handle); }
};

// A fixed-length, blank-padded PKCS#11 text.
QString paddedText(const unsigned char* text, std::size_t length)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(text), static_cast<qsizetype>(length)).trimmed();
}

} // namespace

QString ModuleInfo::versionText() const
{
    return QStringLiteral("%1.%2").arg(libraryMajor).arg(libraryMinor, 2, 10, QLatin1Char('0'));
}

ModuleInfo ReadModuleInfo(const QString& libraryPath)
{
    ModuleInfo info;
    info.path = libraryPath;
    if (libraryPath.isEmpty()) {
        return info;
    }
    const std::unique_ptr<void, LibraryCloser> library(
        dlopen(QFile::encodeName(libraryPath).constData(), RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        return info;
    }
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library.get(), "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR functions = nullptr;
    if (!getFunctionList || getFunctionList(&functions) != CKR_OK || !functions) {
        return info;
    }
    CK_INFO answer{};
    CK_RV rv = functions->C_GetInfo(&answer);
    if (rv == CKR_CRYPTOKI_NOT_INITIALIZED) {
        CK_C_INITIALIZE_ARGS args{};
        args.flags = CKF_OS_LOCKING_OK;
        const CK_RV initialised = functions->C_Initialize(&args);
        if (initialised == CKR_OK || initialised == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
            rv = functions->C_GetInfo(&answer);
        }
        // Only the initialisation made here is undone.
        if (initialised == CKR_OK) {
            functions->C_Finalize(nullptr);
        }
    }
    if (rv != CKR_OK) {
        return info;
    }
    info.read = true;
    info.libraryMajor = answer.libraryVersion.major;
    info.libraryMinor = answer.libraryVersion.minor;
    info.cryptokiMajor = answer.cryptokiVersion.major;
    info.cryptokiMinor = answer.cryptokiVersion.minor;
    info.manufacturer = paddedText(answer.manufacturerID, sizeof answer.manufacturerID);
    info.description = paddedText(answer.libraryDescription, sizeof answer.libraryDescription);
    return info;
}

} // namespace kx
