// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx::platform {

// Outcome of reading a whole file.
enum class ReadStatus
{
    Ok,
    Missing, // the file does not exist
    Failed,  // it exists but could not be read (no access, a folder, an I/O error)
    TooLarge // it is larger than the limit the caller set
};

// Reads a whole file into `out`, refusing files larger than `limit` bytes.
ReadStatus readWholeFile(const std::string& path, std::string& out, std::size_t limit);

// Replaces the file at `path` with `data` atomically: the bytes go to a temporary file in the same
// folder, which is flushed to disk and then renamed over the target. A failure at any step leaves
// the old file whole and removes the temporary file. An existing file keeps its permissions; a new
// file gets `newFileMode` (less the umask). Returns true on success.
bool writeFileAtomic(const std::string& path, std::string_view data, unsigned newFileMode = 0666);

// Creates a folder and all its missing parents; true when the folder exists afterwards.
bool makePath(const std::string& path, unsigned mode = 0777);

bool fileExists(const std::string& path);
bool folderExists(const std::string& path);

// An exclusive advisory lock held for the lifetime of the object (flock on a lock file), used to
// serialise read-modify-write cycles of files that several processes update.
class FileLock
{
public:
    explicit FileLock(const std::string& lockPath);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the lock file could not be opened; the caller then goes on without the lock.
    bool locked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The lock file that guards updates of `path`: a hidden file beside it.
std::string lockPathFor(const std::string& path);

} // namespace kx::platform
