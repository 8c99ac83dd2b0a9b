#include "platform/HandleTable.h"

#include <atomic>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

namespace win::detail {

namespace {

#ifdef _WIN32
// Far above any handle the Windows kernel gives out (small multiples of 4) and below the
// pseudo-handles (-1, -2, ...), so a handle of this table is never mistaken for a real one.
constexpr std::uintptr_t kFirstHandle = std::uintptr_t{0x4B56} << 44;
#else
constexpr std::uintptr_t kFirstHandle = 0x100;
#endif

// Every SCSI command opens and closes an event handle and looks its handles up, on every
// drive's thread at once: the table is split so that commands of different drives seldom
// wait for the same lock.
constexpr std::size_t kShards = 16;

struct alignas(64) Shard {   // a cache line of its own: no false sharing between shards
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, HandleObject> objects;
};

struct Table {
    Shard shards[kShards];
    std::atomic<std::uintptr_t> next{kFirstHandle};
};

Table& table() {
    static Table t;
    return t;
}

// Handles go up in steps of 4, so consecutive handles land in consecutive shards.
Shard& ShardOf(std::uintptr_t value) { return table().shards[(value / 4) % kShards]; }

}  // namespace

namespace {

struct Claims {
    std::mutex mutex;
    std::unordered_set<const VirtualScsiDevice*> devices;
};

Claims& claims() {
    static Claims c;
    return c;
}

}  // namespace

bool ClaimExclusive(const VirtualScsiDevice* device) {
    auto& c = claims();
    std::lock_guard lock(c.mutex);
    return c.devices.insert(device).second;
}

void ReleaseExclusive(const VirtualScsiDevice* device) {
    auto& c = claims();
    std::lock_guard lock(c.mutex);
    c.devices.erase(device);
}

bool IsClaimedExclusively(const VirtualScsiDevice* device) {
    auto& c = claims();
    std::lock_guard lock(c.mutex);
    return c.devices.count(device) != 0;
}

VirtualHandle::~VirtualHandle() {
    if (exclusive) ReleaseExclusive(device.get());
}

HANDLE InsertHandle(HandleObject object) {
    // Steps of 4 as on Windows; a wrap-around would take 2^62 opens on a 64-bit build.
    const std::uintptr_t value = table().next.fetch_add(4);
    Shard& shard = ShardOf(value);
    std::lock_guard lock(shard.mutex);
    shard.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE handle, HandleObject& object) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    Shard& shard = ShardOf(value);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.objects.find(value);
    if (it == shard.objects.end()) return false;
    object = it->second;
    return true;
}

bool RemoveHandle(HANDLE handle) {
    HandleObject removed;   // destroyed after the lock is released (may close a descriptor)
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    Shard& shard = ShardOf(value);
    std::lock_guard lock(shard.mutex);
    const auto it = shard.objects.find(value);
    if (it == shard.objects.end()) return false;
    removed = std::move(it->second);
    shard.objects.erase(it);
    return true;
}

}  // namespace win::detail
