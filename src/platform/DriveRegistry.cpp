// The drive letters of optical devices and the registry of in-process virtual devices.
#include "platform/DriveRegistry.h"

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <mutex>

namespace win {

namespace {

struct Attached {
    std::shared_ptr<VirtualScsiDevice> device;
    std::uint8_t target = 0;
};

struct Registry {
    std::mutex mutex;
    std::optional<std::vector<std::string>> kernelPathsOverride;
    std::optional<std::vector<std::string>> kernelPaths;   // the last listing of /dev
    std::chrono::nanoseconds kernelPathsAt{0};
    std::vector<Attached> attached;   // in attach order
    ScsiTraceSink traceSink;
};

Registry& registry() {
    static Registry r;
    return r;
}

// /dev/sr0, /dev/sr1, ... that exist now, in numeric order (gaps allowed).
std::vector<std::string> ScanKernelOpticalDevices() {
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
    std::vector<std::string> paths;
    for (auto& [number, path] : found) paths.push_back(std::move(path));
    return paths;
}

// Listing /dev costs tens of microseconds, and the device-access frame asks for the drive list
// about 25 times per command (it probes every letter), which made the listing the largest cost
// of a burn. A listing younger than this is reused: a drive plugged in shows up this much later.
constexpr std::chrono::milliseconds kKernelListingLifetime{500};

// The coarse monotonic clock: a few nanoseconds a reading, and ample for that lifetime.
std::chrono::nanoseconds CoarseNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

std::vector<std::string> KernelPathsLocked(Registry& r) {
    if (r.kernelPathsOverride) return *r.kernelPathsOverride;
    const auto now = CoarseNow();
    if (!r.kernelPaths || now - r.kernelPathsAt >= kKernelListingLifetime) {
        r.kernelPaths = ScanKernelOpticalDevices();
        r.kernelPathsAt = now;
    }
    return *r.kernelPaths;
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
    return letter;
}

void DetachVirtualDevice(const std::shared_ptr<VirtualScsiDevice>& device) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.attached, [&](const Attached& a) { return a.device == device; });
}

void DetachAllVirtualDevices() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
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
    r.kernelPathsOverride = std::move(paths);
}

void ResetKernelDevicePathsForTesting() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.kernelPathsOverride.reset();
    r.kernelPaths.reset();   // the next call lists /dev afresh
}

}  // namespace win
