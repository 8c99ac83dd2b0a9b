// The drive letters of optical devices and the registry of in-process virtual devices; the
// system's own drives come from DriveRegistryLinux.cpp or DriveRegistryWin32.cpp.
#include "platform/DriveRegistry.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <limits>
#include <mutex>

namespace win {

namespace {

constexpr std::int64_t kNeverAsked = std::numeric_limits<std::int64_t>::min();

// How long the generation a command asks for may go without asking the system again. Every
// SCSI command of every drive asks (to know its drive table is current): thousands a second
// from each writer of a burn, which must not each take the registry's lock and read the /dev
// watch. A drive that comes or goes is seen this much later by a command; a listing of the
// drives sees it at once, and a command to a drive that has gone fails and rescans anyway.
constexpr std::int64_t kSystemAskInterval = 100'000'000;   // 100 ms

std::int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Attached {
    std::shared_ptr<VirtualScsiDevice> device;
    std::uint8_t target = 0;
};

struct Registry {
    std::mutex mutex;
    std::optional<std::vector<std::string>> kernelPathsOverride;
    std::unique_ptr<detail::SystemDrives> system;   // made at the first question
    // Raised (under the mutex) whenever the set of optical devices changes, so users of the
    // drive table know when to build it again; read without the mutex.
    std::atomic<std::uint64_t> generation{1};
    // When the system's drives were last asked whether they changed (steady clock, ns); the
    // lowest value: never.
    std::atomic<std::int64_t> systemAskedAt{kNeverAsked};
    std::vector<Attached> attached;   // in attach order
    ScsiTraceSink traceSink;
};

constexpr char kFirstOpticalLetter = 'D';
constexpr char kLastLetter = 'Z';

Registry& registry() {
    static Registry r;
    return r;
}

// The system's drives, listed again only when they may have changed; the device-access frame
// asks for the drive list often (it probes every letter), and a burn must not pay for a listing
// per command. A listing that differs from the last one changes the generation.
void RefreshSystemLocked(Registry& r) {
    r.systemAskedAt.store(SteadyNow(), std::memory_order_relaxed);
    if (r.kernelPathsOverride) return;
    if (!r.system) r.system = detail::MakeSystemDrives();
    if (r.system->Refresh()) ++r.generation;
}

std::vector<detail::OpticalDrive> OpticalDrivesLocked(Registry& r) {
    std::vector<detail::OpticalDrive> drives;
    std::uint32_t used = detail::LetterBit('C');
    if (r.kernelPathsOverride) {
        char letter = kFirstOpticalLetter;
        for (const auto& path : *r.kernelPathsOverride) {
            if (letter > kLastLetter) break;
            detail::OpticalDrive d;
            d.letter = letter++;
            d.kernelPath = path;
            used |= detail::LetterBit(d.letter);
            drives.push_back(std::move(d));
        }
    } else {
        RefreshSystemLocked(r);
        drives = r.system->Drives();
        used |= r.system->UsedLetters();
    }
    // Virtual devices take the free letters from D: on, in attach order.
    char letter = kFirstOpticalLetter;
    for (const auto& a : r.attached) {
        while (letter <= kLastLetter && (used & detail::LetterBit(letter)) != 0) ++letter;
        if (letter > kLastLetter) break;
        detail::OpticalDrive d;
        d.letter = letter++;
        d.device = a.device;
        d.address = ScsiDeviceAddress{detail::kVirtualPort, 0, a.target, 0};
        drives.push_back(std::move(d));
    }
    std::sort(drives.begin(), drives.end(),
              [](const detail::OpticalDrive& x, const detail::OpticalDrive& y) { return x.letter < y.letter; });
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
    // Called outside the registry's lock so that a sink may itself use the platform calls, and
    // one call at a time: the commands of several drives run at once, and a sink (a test's
    // list, a log) need not lock for itself.
    static std::recursive_mutex calls;
    std::lock_guard one(calls);
    if (sink) sink(letter, request, ok);
}

}  // namespace detail

void TraceScsiRequest(char letter, const ScsiRequest& request, bool ok) { detail::Trace(letter, request, ok); }

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

bool OpticalDriveInUse(char letter) {
    const auto drive = detail::OpticalDriveOfLetter(letter);
    if (!drive || (!drive->device && !detail::SystemDrivesTellUse())) return false;
    const char path[] = {'\\', '\\', '.', '\\', drive->letter, ':', '\0'};
    const HANDLE h = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
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
    r.system.reset();   // the next call lists the system's drives afresh
    r.systemAskedAt.store(kNeverAsked, std::memory_order_relaxed);
    ++r.generation;
}

std::uint64_t OpticalDriveSetGeneration() {
    auto& r = registry();
    // Attaching, detaching and a listing that found a change raise the generation at once;
    // only the question to the system waits for its interval.
    const std::int64_t askedAt = r.systemAskedAt.load(std::memory_order_relaxed);
    if (askedAt != kNeverAsked && SteadyNow() - askedAt < kSystemAskInterval) return r.generation.load();
    std::lock_guard lock(r.mutex);
    RefreshSystemLocked(r);   // takes up a change of the system's drives first
    return r.generation.load();
}

}  // namespace win
