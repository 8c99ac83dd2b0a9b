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

}  // namespace

std::shared_ptr<DiscLock> DiscLock::Acquire(const std::string& cuePath, Outcome& outcome, bool& first,
                                            std::string& error) {
    std::lock_guard<std::mutex> guard(Held().mutex);
    outcome = Outcome::Error;
    first = false;
    const std::string path = LockPath(cuePath);
    // Looked up before opening: closing a second descriptor of a file this process has locked
    // would release the lock.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (auto held = Held().Find({st.st_dev, st.st_ino, ::getpid()})) {
            outcome = Outcome::Acquired;
            return held;
        }
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
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
        outcome = Outcome::Acquired;
        return held;
    }
    auto lock = std::make_shared<DiscLock>(fd);
    // The holder may end between a refused lock and the question who holds it: ask again.
    for (int attempt = 0; attempt < 10; ++attempt) {
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &fl) == 0) {
            Held().Add({st.st_dev, st.st_ino, ::getpid()}, lock);
            outcome = Outcome::Acquired;
            first = true;
            return lock;
        }
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            error = "cannot lock the disc " + cuePath + ": " + std::strerror(errno);
            return nullptr;
        }
        struct flock who {};
        who.l_type = F_WRLCK;
        who.l_whence = SEEK_SET;
        if (::fcntl(fd, F_GETLK, &who) == 0 && who.l_type != F_UNLCK) {
            outcome = Outcome::InUse;
            error = "the disc " + cuePath + " is in use by another program (pid " + std::to_string(who.l_pid) + ")";
            return nullptr;
        }
    }
    error = "cannot lock the disc " + cuePath + ": the lock changes hands too fast";
    return nullptr;
}

}  // namespace vdrive
