#include "platform/HandleTable.h"

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

struct Table {
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, HandleObject> objects;
    std::uintptr_t next = kFirstHandle;
};

Table& table() {
    static Table t;
    return t;
}

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
    auto& t = table();
    std::lock_guard lock(t.mutex);
    // Steps of 4 as on Windows; a wrap-around would take 2^62 opens on a 64-bit build.
    std::uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

bool LookupHandle(HANDLE handle, HandleObject& object) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) return false;
    object = it->second;
    return true;
}

bool RemoveHandle(HANDLE handle) {
    HandleObject removed;   // destroyed after the lock is released (may close a descriptor)
    auto& t = table();
    std::lock_guard lock(t.mutex);
    const auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == t.objects.end()) return false;
    removed = std::move(it->second);
    t.objects.erase(it);
    return true;
}

}  // namespace win::detail
