// One program at a time owns a virtual disc. The owner holds a POSIX record lock on a small
// file beside the sheet ("disc.cue.lock"), so the kernel drops it with the process however it
// ends, and another program can ask who holds it. Every writer of one process on the same disc
// shares the one lock: a record lock belongs to the process, and closing any descriptor of the
// file would silently give it up.
#pragma once

#include <memory>
#include <string>

#include "vdrive/VirtualWriter.h"

namespace vdrive {

class DiscLock {
public:
    enum class Outcome { Acquired, InUse, Error };

    // Takes the lock of the disc whose sheet is cuePath: alone (Exclusive) for a job that
    // changes the disc, beside other readers (Shared) for a query. On InUse the message reads
    // "the disc <path> is in use by another program (pid N)". first tells whether this process
    // did not hold the lock already (only then may leftovers of a killed program be cleared
    // away). A shared lock in a folder the user cannot write, where no lock file exists or can
    // be made, is a lock of nothing: nobody who could change the disc there is kept out by it.
    static std::shared_ptr<DiscLock> Acquire(const std::string& cuePath, DiscAccess access, Outcome& outcome,
                                             bool& first, std::string& error);

    explicit DiscLock(int fd, bool exclusive = true) : fd_(fd), exclusive_(exclusive) {}
    ~DiscLock();
    DiscLock(const DiscLock&) = delete;
    DiscLock& operator=(const DiscLock&) = delete;

    bool Exclusive() const { return exclusive_; }
    // Turns a shared lock of this process into the exclusive one, when no other program reads
    // the disc; false and a message otherwise.
    bool Upgrade(const std::string& cuePath, Outcome& outcome, std::string& error);

private:
    int fd_;
    bool exclusive_;
};

// Test switch: opening a lock file for writing fails in this folder as in one the user cannot
// write (EACCES), so that a test running with every right sees what a user without them sees.
// An empty folder ends it.
void SetUnwritableFolderForTesting(const std::string& folder);
// Whether the switch names the folder of path (the lock code asks before it opens for writing).
bool UnwritableForTesting(const std::string& path);

// Removes temporary sheets ("disc.cue.tmp.XXXX") a killed program left beside cuePath. Call
// only while holding the disc's lock as its first holder in this process.
void RemoveOrphanedTemporarySheets(const std::string& cuePath);

}  // namespace vdrive
