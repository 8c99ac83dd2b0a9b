// One program at a time owns a virtual disc. The owner holds a POSIX record lock on a small
// file beside the sheet ("disc.cue.lock"), so the kernel drops it with the process however it
// ends, and another program can ask who holds it. Every writer of one process on the same disc
// shares the one lock: a record lock belongs to the process, and closing any descriptor of the
// file would silently give it up.
#pragma once

#include <memory>
#include <string>

namespace vdrive {

class DiscLock {
public:
    enum class Outcome { Acquired, InUse, Error };

    // Takes the lock of the disc whose sheet is cuePath. On InUse the message reads "the disc
    // <path> is in use by another program (pid N)". first tells whether this process did not
    // hold the lock already (only then may leftovers of a killed program be cleared away).
    static std::shared_ptr<DiscLock> Acquire(const std::string& cuePath, Outcome& outcome, bool& first,
                                             std::string& error);

    explicit DiscLock(int fd) : fd_(fd) {}
    ~DiscLock();
    DiscLock(const DiscLock&) = delete;
    DiscLock& operator=(const DiscLock&) = delete;

private:
    int fd_;
};

// Removes temporary sheets ("disc.cue.tmp.XXXX") a killed program left beside cuePath. Call
// only while holding the disc's lock as its first holder in this process.
void RemoveOrphanedTemporarySheets(const std::string& cuePath);

}  // namespace vdrive
