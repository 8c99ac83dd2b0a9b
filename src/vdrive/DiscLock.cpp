#include "vdrive/DiscLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace vdrive {

namespace {

struct Held {
    dev_t device;
    ino_t inode;
    pid_t owner;   // a forked child inherits the table but not the record lock
    std::weak_ptr<DiscLock> lock;
};

std::mutex& TableMutex() {
    static std::mutex m;
    return m;
}

std::vector<Held>& Table() {
    static std::vector<Held> table;
    return table;
}

std::shared_ptr<DiscLock> FindHeld(dev_t device, ino_t inode) {
    for (auto it = Table().begin(); it != Table().end();) {
        if (it->lock.expired() || it->owner != ::getpid()) {
            it = Table().erase(it);
            continue;
        }
        if (it->device == device && it->inode == inode) return it->lock.lock();
        ++it;
    }
    return nullptr;
}

std::string LockPath(const std::string& cuePath) { return cuePath + ".lock"; }

bool IsOrphanSuffix(const std::string& suffix) {
    // "<pid>" from earlier versions, 16 hex digits now.
    if (suffix.empty() || suffix.size() > 16) return false;
    bool digits = true, hex = suffix.size() == 16;
    for (char c : suffix) {
        digits = digits && c >= '0' && c <= '9';
        hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    }
    return digits || hex;
}

}  // namespace

DiscLock::~DiscLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::shared_ptr<DiscLock> DiscLock::Acquire(const std::string& cuePath, Outcome& outcome, bool& first,
                                            std::string& error) {
    std::lock_guard<std::mutex> guard(TableMutex());
    outcome = Outcome::Error;
    first = false;
    const std::string path = LockPath(cuePath);
    // Looked up before opening: closing a second descriptor of a file this process has locked
    // would release the lock.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (auto held = FindHeld(st.st_dev, st.st_ino)) {
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
    if (auto held = FindHeld(st.st_dev, st.st_ino)) {
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
            Table().push_back(Held{st.st_dev, st.st_ino, ::getpid(), lock});
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

void RemoveOrphanedTemporarySheets(const std::string& cuePath) {
    const std::size_t slash = cuePath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : cuePath.substr(0, slash));
    const std::string prefix = (slash == std::string::npos ? cuePath : cuePath.substr(slash + 1)) + ".tmp.";
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> orphans;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && IsOrphanSuffix(name.substr(prefix.size())))
            orphans.push_back(name);
    }
    ::closedir(d);
    // unlink removes a symbolic link itself, never what it points to.
    for (const std::string& name : orphans) ::unlink((dir + "/" + name).c_str());
}

}  // namespace vdrive
