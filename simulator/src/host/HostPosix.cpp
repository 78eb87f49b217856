// The bench's registration with the stand-in platform (libkzmplatform): the
// platform sends module loading and device files to the bench. This runs from
// a static constructor of libkazapi, before the library's own static objects
// (libkazmir links libkazapi) attach to the device server. The boards' flash
// files are locked here too (flock).
#include "Faces.h"
#include "Sim.h"

#include "DeviceHost.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kazsim::detail {

void PlatformObjectCounts(uint32_t* events, uint32_t* deviceFiles)
{
    KZM_OBJECT_COUNTS counts = {};
    KzmGetObjectCounts(&counts);
    *events = counts.Events;
    *deviceFiles = counts.DeviceFiles;
}

// The stand-in counts every event of the process itself.
void NoteEvent(HANDLE) {}

bool QueryEvent(HANDLE event, bool* manualReset, bool* signalled)
{
    BOOL manual = FALSE, set = FALSE;
    if (!KzmQueryEvent(event, &manual, &set))
        return false;
    *manualReset = manual != FALSE;
    *signalled = set != FALSE;
    return true;
}

// --- flash files: flock on a descriptor kept open -----------------------------

CLockedFile::Status CLockedFile::Open(const std::string& path, bool create, std::string* error)
{
    Close();
    // Close-on-exec: a child the host starts must not inherit the lock. No
    // link is followed: the bench writes only a file of its own. Non-blocking
    // so that a FIFO put in the file's place cannot hang the open.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? O_CREAT : 0), 0666);
    if (fd < 0) {
        if (errno == ENOENT && !create)
            return Status::Missing;
        *error = errno == ELOOP ? "is a symbolic link; the bench keeps a board's flash only in a file of its own"
                                : "cannot be opened: " + std::string(std::strerror(errno));
        return Status::Failed;
    }
    struct stat info = {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        *error = "is not a regular file; the bench keeps a board's flash only in a file of its own";
        return Status::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int code = errno;
        ::close(fd);
        if (code == EWOULDBLOCK)
            return Status::InUse;
        *error = "cannot be locked: " + std::string(std::strerror(code));
        return Status::Failed;
    }
    m_Handle = fd;
    return Status::Locked;
}

void CLockedFile::Close()
{
    if (m_Handle != NO_HANDLE)
        ::close(static_cast<int>(m_Handle)); // the lock goes with the descriptor
    m_Handle = NO_HANDLE;
}

bool CLockedFile::ReadAt(uint64_t offset, uint8_t* data, size_t size, size_t* got, std::string* error)
{
    *got = 0;
    while (*got < size) {
        ssize_t n = ::pread(static_cast<int>(m_Handle), data + *got, size - *got, static_cast<off_t>(offset + *got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        *got += static_cast<size_t>(n);
    }
    return true;
}

bool CLockedFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size, std::string* error)
{
    // A short write is followed by another for the rest, which then tells
    // why the file took no more (ENOSPC, EFBIG, EIO).
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pwrite(static_cast<int>(m_Handle), data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? std::strerror(errno) : "the file took no more bytes";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CLockedFile::Size(uint64_t* size)
{
    struct stat info = {};
    if (::fstat(static_cast<int>(m_Handle), &info) != 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool CLockedFile::Sync()
{
    return ::fdatasync(static_cast<int>(m_Handle)) == 0;
}

namespace {

const KZM_DEVICE_HOST g_Host = {LoadModule, GetProc, ReleaseModule, OpenDevice, DeviceControl, CloseDevice};

struct CRegistration {
    CRegistration()
    {
        StartBench();
        KzmSetDeviceHost(&g_Host);
    }
    ~CRegistration()
    {
        // The library has been torn down by now; what remains is stopping
        // the simulator's thread.
        Sim().Shutdown();
    }
    CRegistration(const CRegistration&) = delete;
    CRegistration& operator=(const CRegistration&) = delete;
} s_Registration;

} // namespace

} // namespace kazsim::detail
