// The drive letters of optical devices and the registry of in-process virtual devices.
#include "platform/DriveRegistry.h"

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

namespace win {

namespace {

struct Attached {
    std::shared_ptr<VirtualScsiDevice> device;
    std::uint8_t target = 0;
};

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

struct Registry {
    std::mutex mutex;
    std::optional<std::vector<std::string>> kernelPathsOverride;
    std::optional<std::vector<KernelNode>> kernelNodes;   // the last listing of /dev
    std::unique_ptr<DevWatch> devWatch;
    // Raised whenever the set of optical devices changes, so users of the drive table know
    // when to build it again.
    std::uint64_t generation = 1;
    std::vector<Attached> attached;   // in attach order
    ScsiTraceSink traceSink;
};

Registry& registry() {
    static Registry r;
    return r;
}

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

// /dev is listed again only when a node may have come or gone; the device-access frame asks
// for the drive list often (it probes every letter), and a burn must not pay for a listing
// per command. A listing that differs from the last one (paths or device numbers) changes the
// generation.
std::vector<std::string> KernelPathsLocked(Registry& r) {
    if (r.kernelPathsOverride) return *r.kernelPathsOverride;
    if (!r.devWatch) r.devWatch = std::make_unique<DevWatch>();
    if (r.devWatch->Changed() || !r.kernelNodes) {
        auto nodes = ScanKernelOpticalDevices();
        if (r.kernelNodes && *r.kernelNodes != nodes) ++r.generation;
        r.kernelNodes = std::move(nodes);
    }
    std::vector<std::string> paths;
    for (const auto& node : *r.kernelNodes) paths.push_back(node.path);
    return paths;
}

constexpr char kFirstOpticalLetter = 'D';
constexpr char kLastLetter = 'Z';

std::vector<detail::OpticalDrive> OpticalDrivesLocked(Registry& r) {
    std::vector<detail::OpticalDrive> drives;
    char letter = kFirstOpticalLetter;
    for (auto& path : KernelPathsLocked(r)) {
        if (letter > kLastLetter) return drives;
        detail::OpticalDrive d;
        d.letter = letter++;
        d.kernelPath = std::move(path);
        drives.push_back(std::move(d));
    }
    for (const auto& a : r.attached) {
        if (letter > kLastLetter) break;
        detail::OpticalDrive d;
        d.letter = letter++;
        d.device = a.device;
        d.address = ScsiDeviceAddress{detail::kVirtualPort, 0, a.target, 0};
        drives.push_back(std::move(d));
    }
    return drives;
}

}  // namespace

namespace detail {

std::vector<OpticalDrive> OpticalDrives() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return OpticalDrivesLocked(r);
}

std::optional<OpticalDrive> OpticalDriveOfLetter(char letter) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    for (auto& d : OpticalDrives())
        if (d.letter == upper) return d;
    return std::nullopt;
}

bool IsAttached(const VirtualScsiDevice* device) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return std::any_of(r.attached.begin(), r.attached.end(),
                       [&](const Attached& a) { return a.device.get() == device; });
}

void Trace(char letter, const ScsiRequest& request, bool ok) {
    ScsiTraceSink sink;
    {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        sink = r.traceSink;
    }
    // Called outside the lock so that a sink may itself use the platform calls.
    if (sink) sink(letter, request, ok);
}

}  // namespace detail

char AttachVirtualDevice(std::shared_ptr<VirtualScsiDevice> device) {
    if (!device) return 0;
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const VirtualScsiDevice* raw = device.get();
    auto lookup = [&]() -> char {
        for (const auto& d : OpticalDrivesLocked(r))
            if (d.device.get() == raw) return d.letter;
        return 0;
    };
    for (const auto& a : r.attached)
        if (a.device.get() == raw) return lookup();

    // The target is the lowest number no attached device holds, so addresses stay unique
    // and a fresh registry numbers its devices 0, 1, 2 in attach order.
    unsigned target = 0;
    for (; target < 256; ++target) {
        if (std::none_of(r.attached.begin(), r.attached.end(),
                         [&](const Attached& a) { return a.target == target; }))
            break;
    }
    if (target == 256) return 0;
    r.attached.push_back(Attached{std::move(device), static_cast<std::uint8_t>(target)});
    const char letter = lookup();
    if (letter == 0) r.attached.pop_back();   // no letter left: not attached
    else ++r.generation;
    return letter;
}

void DetachVirtualDevice(const std::shared_ptr<VirtualScsiDevice>& device) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (std::erase_if(r.attached, [&](const Attached& a) { return a.device == device; }) > 0) ++r.generation;
}

void DetachAllVirtualDevices() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.attached.empty()) ++r.generation;
    r.attached.clear();
}

ScsiDeviceAddress VirtualDeviceAddress(const VirtualScsiDevice& device) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& a : r.attached)
        if (a.device.get() == &device) return ScsiDeviceAddress{detail::kVirtualPort, 0, a.target, 0};
    return ScsiDeviceAddress{};
}

std::string DevicePathOfLetter(char letter) {
    const auto drive = detail::OpticalDriveOfLetter(letter);
    if (!drive) return {};
    return drive->device ? drive->device->DevicePath() : drive->kernelPath;
}

void SetScsiTraceSink(ScsiTraceSink sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.traceSink = std::move(sink);
}

void SetKernelDevicePathsForTesting(std::vector<std::string> paths) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.kernelPathsOverride != paths) ++r.generation;
    r.kernelPathsOverride = std::move(paths);
}

void ResetKernelDevicePathsForTesting() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.kernelPathsOverride.reset();
    r.kernelNodes.reset();   // the next call lists /dev afresh
    ++r.generation;
}

std::uint64_t OpticalDriveSetGeneration() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    KernelPathsLocked(r);   // takes up a change of /dev first
    return r.generation;
}

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
