// What the Linux and Windows disc locks share: the table of the discs this process holds. Every
// writer of one process on the same disc shares the one lock, found by the lock file's identity
// (a record lock belongs to the process and closing any descriptor gives it up; a Windows lock
// belongs to one handle).
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "vdrive/DiscLock.h"

namespace vdrive::detail {

template <class Identity>
class HeldDiscLocks {
public:
    std::mutex mutex;   // held across a lock's look-up, open and registration

    std::shared_ptr<DiscLock> Find(const Identity& identity) {
        std::erase_if(held_, [](const Entry& e) { return e.lock.expired(); });
        for (const Entry& e : held_)
            if (e.identity == identity) return e.lock.lock();
        return nullptr;
    }
    void Add(const Identity& identity, const std::shared_ptr<DiscLock>& lock) { held_.push_back({identity, lock}); }

private:
    struct Entry {
        Identity identity;
        std::weak_ptr<DiscLock> lock;
    };
    std::vector<Entry> held_;
};

}  // namespace vdrive::detail
