// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <functional>
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

// How long a temporary file of an atomic write must have stood unchanged before it counts as
// left behind by a writer that died.
inline constexpr int kStaleTemporaryAgeSeconds = 10;

// Reads a whole file into `out`, refusing files larger than `limit` bytes.
ReadStatus readWholeFile(const std::string& path, std::string& out, std::size_t limit);

// Replaces the file at `path` with `data` atomically: the bytes go to a temporary file
// "<name>.tmp.XXXXXX" in the same folder, which is flushed to disk and then renamed over the
// target. A symbolic link is written through: its final target is replaced, and the link stays.
// A failure at any step leaves the old file whole, removes the temporary file and leaves errno
// telling why (ENOSPC, EACCES, ...). Temporary files of earlier writes to the same target whose
// writer is gone (a crash between writing and renaming) are removed. An existing file keeps its
// permissions; a new file gets `newFileMode` (less the umask). Returns true on success.
bool writeFileAtomic(const std::string& path, std::string_view data, unsigned newFileMode = 0666);

// Removes the file at `path`; true when it is gone afterwards, also when it was never there. A
// failure leaves errno telling why (EACCES, EBUSY, ...).
bool removeFile(const std::string& path);

// Called with the path after every change writeFileAtomic and removeFile make on disk (the rename
// that puts a file in place, a removal), in the thread that made it. A process stopped at that
// point is left as a kill between two changes would leave it, which is how tests check that the
// files of a store stay consistent at every point. None by default; an empty function clears it.
using FileChangeHook = std::function<void(const std::string& path)>;
void setFileChangeHook(FileChangeHook hook);

// The path a write to `path` lands on: `path` with symbolic links of its last part followed to
// their final target (which need not exist yet). A loop of links gives `path` itself.
std::string resolveWriteTarget(const std::string& path);

// The folder part of a path ("." for a bare name).
std::string folderOf(const std::string& path);

// Removes, in `folder`, the temporary files writeFileAtomic leaves behind when its process dies
// before the rename: names "<target>.tmp.XXXXXX" whose <target> passes `isTarget`. A temporary
// file that its writer still holds, or that changed within the last `minimumAgeSeconds`, is
// kept, so a write that is running in another process is never disturbed.
void removeStaleTemporaries(const std::string& folder, const std::function<bool(std::string_view target)>& isTarget,
                            int minimumAgeSeconds = kStaleTemporaryAgeSeconds);

// Creates a folder and all its missing parents; true when the folder exists afterwards.
bool makePath(const std::string& path, unsigned mode = 0777);

bool fileExists(const std::string& path);
bool folderExists(const std::string& path);

// An advisory lock (flock) held for the lifetime of the object, used to serialise
// read-modify-write cycles of files that several processes update. It locks an existing file or
// folder, usually the folder of the files it guards, so no lock file is left lying around.
class FileLock
{
public:
    enum class Mode
    {
        Exclusive,
        Shared
    };
    explicit FileLock(const std::string& path, Mode mode = Mode::Exclusive);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // False when the path could not be opened; the caller then goes on without the lock.
    bool locked() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

} // namespace kx::platform
