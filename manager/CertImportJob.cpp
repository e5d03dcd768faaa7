// SPDX-License-Identifier: Apache-2.0
#include "CertImportJob.h"

#include "token/TokenWrappers.h"

namespace kx {
namespace {

// The import call of the job's file type.
int ImportIntoContainer(const CertImportJob& job)
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

int RunCertImport(CertImportJob& job)
{
    const bool pkcs12 = job.fileType == 0;
    job.progressStep = pkcs12 ? 5 : 3;
    job.timerInterval = 150;
    const bool newContainer = !job.existingContainers.contains(job.containerName);
    if (newContainer) {
        // Creating the container comes first, so the bar moves more slowly.
        job.progressStep = pkcs12 ? 3 : 2;
        job.timerInterval = 350;
        const int created = container_create_new(job.keyIndex, job.containerName);
        if (created != 0) {
            return created;
        }
    }
    const int imported = ImportIntoContainer(job);
    if (imported != 0 && newContainer) {
        // A file the key refused leaves no empty container behind.
        container_delete(job.keyIndex, job.containerName);
    }
    return imported;
}

} // namespace kx
