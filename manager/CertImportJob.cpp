// SPDX-License-Identifier: Apache-2.0
#include "CertImportJob.h"

#include "token/TokenWrappers.h"

namespace kx {

int RunCertImport(const CertImportJob& job)
{
    const bool pkcs12 = job.fileType == 0;
    CertImportProgress& progress = *job.progress;
    progress.progressStep = pkcs12 ? 5 : 3;
    progress.timerInterval = 150;
    if (!job.existingContainers.contains(job.containerName)) {
        // Creating the container comes first, so the bar moves more slowly.
        progress.progressStep = pkcs12 ? 3 : 2;
        progress.timerInterval = 350;
        const int created = container_create_new(job.keyIndex, job.containerName);
        if (created != 0) {
            return created;
        }
    }
    switch (job.fileType) {
    case 0:
        return pkcs12_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.certIndex);
    case 1:
        return x509_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.filePath);
    default:
        return p7b_import_certificate(job.keyIndex, job.containerName, job.keySpec, job.certIndex);
    }
}

} // namespace kx
