// The disc's advisory lock on Windows: LockFileEx on the lock file beside the sheet (the system
// drops it with the process however it ends). A Windows lock belongs to one handle, so every
// writer of this process on the same disc shares the one handle, found by the file's identity.
// The holder writes its process id into the file, so another program can name it.
#include "vdrive/DiscLock.h"

#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/Posix.h"
#include "vdrive/HeldDiscLocks.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace vdrive {

namespace {

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

detail::HeldDiscLocks<FileIdentity>& Held() {
    static detail::HeldDiscLocks<FileIdentity> held;
    return held;
}

bool IdentityOf(int fd, FileIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), &info)) return false;
    identity = FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

// The process id the holder wrote, or 0.
unsigned long HolderOf(int fd) {
    char text[24] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return std::strtoul(text, nullptr, 10);
}

}  // namespace

std::shared_ptr<DiscLock> DiscLock::Acquire(const std::string& cuePath, Outcome& outcome, bool& first,
                                            std::string& error) {
    std::lock_guard<std::mutex> guard(Held().mutex);
    outcome = Outcome::Error;
    first = false;
    const std::string path = cuePath + ".lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot lock the disc " + cuePath + ": cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    FileIdentity identity;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !IdentityOf(fd, identity)) {
        ::close(fd);
        error = "cannot lock the disc " + cuePath + ": " + path + " is not a regular file";
        return nullptr;
    }
    // Closing this second handle leaves the lock of the first one alone.
    if (auto held = Held().Find(identity)) {
        ::close(fd);
        outcome = Outcome::Acquired;
        return held;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            const unsigned long holder = HolderOf(fd);
            outcome = Outcome::InUse;
            error = "the disc " + cuePath + " is in use by another program" +
                    (holder != 0 ? " (pid " + std::to_string(holder) + ")" : std::string());
        } else {
            error = "cannot lock the disc " + cuePath + ": " + std::strerror(errno);
        }
        ::close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(::GetCurrentProcessId()) + "\n";
    // The id only names the holder in another program's message; failing to write it is harmless.
    if (::_chsize_s(fd, 0) == 0) ::pwrite(fd, pid.data(), pid.size(), 0);
    auto lock = std::make_shared<DiscLock>(fd);
    Held().Add(identity, lock);
    outcome = Outcome::Acquired;
    first = true;
    return lock;
}

}  // namespace vdrive
