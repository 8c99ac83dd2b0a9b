// The kernel's optical devices (/dev/sr0, /dev/sr1, ...) as the system's drives, and where they
// are mounted.
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/DriveRegistry.h"

namespace win {

namespace {

// One kernel optical device as listed: its path and device number, which together say which
// device stands behind a letter.
struct KernelNode {
    std::string path;
    dev_t number = 0;
    bool operator==(const KernelNode&) const = default;
};

// Tells whether /dev may have gained or lost an sr node since the last question, without
// listing it: inotify where the kernel offers it (one non-blocking read per question), else the
// folder's change time.
class DevWatch {
public:
    DevWatch() {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && ::inotify_add_watch(fd_, "/dev", IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                                            IN_ATTRIB | IN_DELETE_SELF) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~DevWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    DevWatch(const DevWatch&) = delete;
    DevWatch& operator=(const DevWatch&) = delete;

    // True when an sr node came, went or changed since the last call (the first call: true).
    bool Changed() {
        if (first_) {
            first_ = false;
            Drain();
            stamp_ = Stamp();
            return true;
        }
        if (fd_ >= 0) return Drain();
        const auto now = Stamp();
        if (now == stamp_) return false;
        stamp_ = now;
        return true;
    }

private:
    bool Drain() {
        if (fd_ < 0) return false;
        bool changed = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                // A lost queue or a replaced /dev: anything may have changed.
                if ((event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_IGNORED)) != 0) changed = true;
                if (event->len > 0 && std::strncmp(event->name, "sr", 2) == 0) changed = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return changed;
    }
    static std::pair<long long, long long> Stamp() {
        struct stat st {};
        if (::stat("/dev", &st) != 0) return {0, 0};
        return {static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec,
                static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec};
    }
    int fd_ = -1;
    bool first_ = true;
    std::pair<long long, long long> stamp_{0, 0};
};

// /dev/sr0, /dev/sr1, ... that exist now, in numeric order (gaps allowed).
std::vector<KernelNode> ScanKernelOpticalDevices() {
    std::vector<std::pair<unsigned long, std::string>> found;
    if (DIR* dir = opendir("/dev")) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() < 3 || name.size() > 12 || name.compare(0, 2, "sr") != 0) continue;
            if (!std::all_of(name.begin() + 2, name.end(),
                             [](unsigned char c) { return std::isdigit(c) != 0; }))
                continue;
            found.emplace_back(std::stoul(name.substr(2)), "/dev/" + name);
        }
        closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<KernelNode> nodes;
    for (auto& [number, path] : found) {
        struct stat st {};
        KernelNode node{std::move(path), 0};
        if (::stat(node.path.c_str(), &st) == 0) node.number = st.st_rdev;
        nodes.push_back(std::move(node));
    }
    return nodes;
}

// Optical devices get the letters from D: on, in numeric order.
class KernelDrives final : public detail::SystemDrives {
public:
    bool Refresh() override {
        if (!watch_.Changed() && nodes_) return false;
        auto nodes = ScanKernelOpticalDevices();
        const bool changed = nodes_ && *nodes_ != nodes;
        nodes_ = std::move(nodes);
        drives_.clear();
        used_ = 0;
        char letter = 'D';
        for (const auto& node : *nodes_) {
            if (letter > 'Z') break;
            detail::OpticalDrive d;
            d.letter = letter++;
            d.kernelPath = node.path;
            used_ |= detail::LetterBit(d.letter);
            drives_.push_back(std::move(d));
        }
        return changed;
    }
    const std::vector<detail::OpticalDrive>& Drives() const override { return drives_; }
    std::uint32_t UsedLetters() const override { return used_; }

private:
    DevWatch watch_;
    std::optional<std::vector<KernelNode>> nodes_;   // the last listing of /dev
    std::vector<detail::OpticalDrive> drives_;
    std::uint32_t used_ = 0;
};

}  // namespace

namespace detail {

std::unique_ptr<SystemDrives> MakeSystemDrives() { return std::make_unique<KernelDrives>(); }

// O_EXCL on a block device is refused while it is mounted or another program holds it so.
bool SystemDrivesTellUse() { return true; }

}  // namespace detail

namespace {

// Mount points in /proc/self/mountinfo escape blanks and a few others as \ooo.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        field.begin() + static_cast<std::ptrdiff_t>(i) + 4,
                        [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

}  // namespace

namespace {

std::mutex gSysfsMutex;
std::string gSysfsRoot = "/sys";

// One attribute file of sysfs: its first line, at most Width characters of it. False when it
// cannot be read.
bool ReadAttribute(const std::string& path, std::size_t width, std::string& value) {
    std::ifstream file(path);
    if (!file) return false;
    char buffer[64] = {};
    file.read(buffer, sizeof buffer - 1);
    if (file.bad()) return false;
    std::string text(buffer, static_cast<std::size_t>(file.gcount()));
    text = text.substr(0, text.find('\n'));
    value = text.substr(0, width);
    return true;
}

}  // namespace

bool KernelDriveIdentity(const std::string& sysfsRoot, const std::string& devicePath, DriveIdentity& identity) {
    const std::size_t slash = devicePath.rfind('/');
    const std::string name = slash == std::string::npos ? devicePath : devicePath.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;
    const std::string device = sysfsRoot + "/class/block/" + name + "/device/";
    DriveIdentity found;
    if (!ReadAttribute(device + "vendor", 8, found.vendor) || !ReadAttribute(device + "model", 16, found.product))
        return false;
    ReadAttribute(device + "rev", 4, found.revision);   // older kernels lack it
    identity = std::move(found);
    return true;
}

bool KnownDriveIdentity(char letter, DriveIdentity& identity) {
    const auto drive = detail::OpticalDriveOfLetter(letter);
    if (!drive || drive->device) return false;
    std::string root;
    {
        std::lock_guard lock(gSysfsMutex);
        root = gSysfsRoot;
    }
    return KernelDriveIdentity(root, drive->kernelPath, identity);
}

void SetSysfsRootForTesting(std::string root) {
    std::lock_guard lock(gSysfsMutex);
    gSysfsRoot = root.empty() ? std::string("/sys") : std::move(root);
}

std::string MountPointOfLetter(char letter) {
    const auto drive = detail::OpticalDriveOfLetter(letter);
    if (!drive || drive->device) return {};
    struct stat st {};
    if (::stat(drive->kernelPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return {};
    const std::string wanted = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        // mount id, parent id, major:minor, root, mount point, ...
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        if (numbers == wanted) return UnescapeMountField(point);
    }
    return {};
}

}  // namespace win
