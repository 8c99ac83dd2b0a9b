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

bool DiscLock::Upgrade(const std::string& cuePath, Outcome& outcome, std::string& error) {
    if (exclusive_) return true;
    outcome = Outcome::Error;
    // A Windows lock cannot be converted: the shared one is given up for the exclusive one, and
    // taken again when another program reads the disc meanwhile.
    if (fd_ < 0 || ::flock(fd_, LOCK_UN) != 0) {
        error = "cannot lock the disc " + cuePath + " to change it: " + std::strerror(fd_ < 0 ? EACCES : errno);
        return false;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        const int why = errno;
        ::flock(fd_, LOCK_SH | LOCK_NB);
        if (why == EWOULDBLOCK) {
            outcome = Outcome::InUse;
            error = "the disc " + cuePath + " is in use by another program";
        } else {
            error = "cannot lock the disc " + cuePath + ": " + std::strerror(why);
        }
        return false;
    }
    exclusive_ = true;
    outcome = Outcome::Acquired;
    return true;
}

std::shared_ptr<DiscLock> DiscLock::Acquire(const std::string& cuePath, DiscAccess access, Outcome& outcome,
                                            bool& first, std::string& error) {
    std::lock_guard<std::mutex> guard(Held().mutex);
    outcome = Outcome::Error;
    first = false;
    const bool exclusive = access == DiscAccess::Exclusive;
    const std::string path = cuePath + ".lock";
    int fd = -1;
    if (UnwritableForTesting(path)) errno = EACCES;
    else fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && !exclusive && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        // A reader in a folder it cannot write: the lock file another program made, read only,
        // or none at all.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            outcome = Outcome::Acquired;
            return std::make_shared<DiscLock>(-1, false);
        }
    }
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
        if (exclusive && !held->Upgrade(cuePath, outcome, error)) return nullptr;
        outcome = Outcome::Acquired;
        return held;
    }
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
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
    if (exclusive) {
        const std::string pid = std::to_string(::GetCurrentProcessId()) + "\n";
        // The id only names the holder in another program's message; failing to write it is
        // harmless.
        if (::_chsize_s(fd, 0) == 0) ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    auto lock = std::make_shared<DiscLock>(fd, exclusive);
    Held().Add(identity, lock);
    outcome = Outcome::Acquired;
    first = true;
    return lock;
}

}  // namespace vdrive
