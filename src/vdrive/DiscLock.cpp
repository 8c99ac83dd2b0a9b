#include "vdrive/DiscLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "vdrive/HeldDiscLocks.h"

namespace vdrive {

namespace {

// A forked child inherits the table but not the record lock: the owner is part of the identity.
struct LockFileIdentity {
    dev_t device;
    ino_t inode;
    pid_t owner;
    bool operator==(const LockFileIdentity&) const = default;
};

detail::HeldDiscLocks<LockFileIdentity>& Held() {
    static detail::HeldDiscLocks<LockFileIdentity> held;
    return held;
}

std::string LockPath(const std::string& cuePath) { return cuePath + ".lock"; }

// The lock of fd as this process takes it: F_WRLCK alone, F_RDLCK beside other readers. The
// holder may end between a refused lock and the question who holds it: ask again.
DiscLock::Outcome TakeRecordLock(int fd, bool exclusive, const std::string& cuePath, std::string& error) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        struct flock fl {};
        fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) == 0) return DiscLock::Outcome::Acquired;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            error = "cannot lock the disc " + cuePath + ": " + std::strerror(errno);
            return DiscLock::Outcome::Error;
        }
        struct flock who {};
        who.l_type = exclusive ? F_WRLCK : F_RDLCK;
        who.l_whence = SEEK_SET;
        if (::fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK) {
            error = "the disc " + cuePath + " is in use by another program (pid " + std::to_string(who.l_pid) + ")";
            return DiscLock::Outcome::InUse;
        }
    }
    error = "cannot lock the disc " + cuePath + ": the lock changes hands too fast";
    return DiscLock::Outcome::Error;
}

// errno values of an open for writing that a user without write access to the folder meets.
bool CannotWrite(int error) { return error == EACCES || error == EROFS || error == EPERM; }

}  // namespace

bool DiscLock::Upgrade(const std::string& cuePath, Outcome& outcome, std::string& error) {
    if (exclusive_) return true;
    if (fd_ < 0 || (::fcntl(fd_, F_GETFL) & O_ACCMODE) == O_RDONLY) {
        outcome = Outcome::Error;
        error = "cannot lock the disc " + cuePath + " to change it: " + std::strerror(EACCES);
        return false;
    }
    outcome = TakeRecordLock(fd_, true, cuePath, error);
    exclusive_ = outcome == Outcome::Acquired;
    return exclusive_;
}

std::shared_ptr<DiscLock> DiscLock::Acquire(const std::string& cuePath, DiscAccess access, Outcome& outcome,
                                            bool& first, std::string& error) {
    std::lock_guard<std::mutex> guard(Held().mutex);
    outcome = Outcome::Error;
    first = false;
    const bool exclusive = access == DiscAccess::Exclusive;
    const std::string path = LockPath(cuePath);
    // A lock this process holds already serves, made exclusive where the job needs it.
    const auto reuse = [&](const std::shared_ptr<DiscLock>& held) -> std::shared_ptr<DiscLock> {
        if (exclusive && !held->Upgrade(cuePath, outcome, error)) return nullptr;
        outcome = Outcome::Acquired;
        return held;
    };
    // Looked up before opening: closing a second descriptor of a file this process has locked
    // would release the lock.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (auto held = Held().Find({st.st_dev, st.st_ino, ::getpid()})) return reuse(held);
    }
    int fd = -1;
    if (UnwritableForTesting(path)) errno = EACCES;
    else fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && !exclusive && CannotWrite(errno)) {
        // A reader in a folder it cannot write: the lock file another program made, read only,
        // or none at all.
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) {
            outcome = Outcome::Acquired;
            return std::make_shared<DiscLock>(-1, false);
        }
    }
    if (fd < 0) {
        error = "cannot lock the disc " + cuePath + ": cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "cannot lock the disc " + cuePath + ": " + path + " is not a regular file";
        return nullptr;
    }
    if (auto held = Held().Find({st.st_dev, st.st_ino, ::getpid()})) {
        // The file appeared between the look-up and the open, locked by this process: this
        // descriptor stays open, as closing it would release that lock.
        return reuse(held);
    }
    auto lock = std::make_shared<DiscLock>(fd, exclusive);
    outcome = TakeRecordLock(fd, exclusive, cuePath, error);
    if (outcome != Outcome::Acquired) return nullptr;
    Held().Add({st.st_dev, st.st_ino, ::getpid()}, lock);
    first = true;
    return lock;
}

}  // namespace vdrive
