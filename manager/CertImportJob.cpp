// SPDX-License-Identifier: Apache-2.0
#include "CertImportJob.h"

#include "drivers/drevmor/drevmor.h"
#include "token/TokenWrappers.h"

namespace kx {

namespace {

int importCertificate(const CertImportJob& job)
{
    switch (job.fileType) {
    case 0:
        return pkcs12_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.certIndex);
    case 1:
        return x509_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.filePath);
    default:
        return p7b_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.certIndex);
    }
}

} // namespace

int RunCertImport(const CertImportJob& job)
{
    const bool pkcs12 = job.fileType == 0;
    CertImportProgress& progress = *job.progress;
    progress.progressStep = pkcs12 ? 5 : 3;
    progress.timerInterval = 150;
    const bool newContainer = !job.existingContainers.contains(job.containerName);
    if (newContainer) {
        // Creating the container comes first, so the bar moves more slowly.
        progress.progressStep = pkcs12 ? 3 : 2;
        progress.timerInterval = 350;
        const int created = container_create_new(job.keyIndex, job.containerName);
        if (created != 0) {
            return created;
        }
    }
    const int result = importCertificate(job);
    if (result != 0 && newContainer) {
        // An empty container made for a certificate the key refused would stay behind.
        container_delete(job.keyIndex, job.containerName);
    }
    return result;
}

std::optional<LangKey> CertFileRefusal(int result)
{
    switch (result) {
    case DRV_CERT_TOO_LARGE:
        return LangKey("K_Len_Error");
    case DRV_KEY_MISMATCH:
        return LangKey("I_CertFileError");
    default:
        return std::nullopt;
    }
}

} // namespace kx
