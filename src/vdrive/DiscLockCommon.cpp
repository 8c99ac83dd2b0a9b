// What the disc lock does the same on Linux and Windows: closing the lock file, and clearing
// the temporary sheets a killed program left.
#include <dirent.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/Posix.h"
#include "vdrive/DiscLock.h"

namespace vdrive {

namespace {

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

// Read by every writer's thread as it saves its disc; a test may set it meanwhile.
std::mutex gUnwritableMutex;
std::string gUnwritableFolder;

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(kvsys::kPathSeparators);
    return slash == std::string::npos ? "." : slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

}  // namespace

void SetUnwritableFolderForTesting(const std::string& folder) {
    std::lock_guard lock(gUnwritableMutex);
    gUnwritableFolder = folder;
}

bool UnwritableForTesting(const std::string& path) {
    std::lock_guard lock(gUnwritableMutex);
    return !gUnwritableFolder.empty() && FolderOf(path) == gUnwritableFolder;
}

DiscLock::~DiscLock() {
    if (fd_ >= 0) ::close(fd_);
}

void RemoveOrphanedTemporarySheets(const std::string& cuePath) {
    const std::size_t slash = cuePath.find_last_of(kvsys::kPathSeparators);
    const std::string dir = slash == std::string::npos ? "./" : cuePath.substr(0, slash + 1);
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
    for (const std::string& name : orphans) ::unlink((dir + name).c_str());
}

}  // namespace vdrive
