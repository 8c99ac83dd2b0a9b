// The file-backed virtual MMC CD/DVD writer. It answers raw CDBs in-process like a real drive
// (sense data, writer state, buffer and busy times) and keeps its disc beside a CUE sheet, so
// every layer above the platform runs unchanged on a machine without an optical drive.
//
// The disc on the file system (PATH is the sheet, e.g. disc.cue):
//   REM KEELVANE-VIRTUAL-DISC 1          format version
//   REM MEDIA cd-rw                      the medium's key in the catalogue (media=)
//   REM CAPACITY 359849                  blocks
//   REM FORMATTED NO                     overwritable media only (dvd+rw, dvd-rw-ro, bd-re)
//   REM CLOSED-SESSIONS 1
//   REM FINALIZED YES                    no further session may be added
//   FILE "disc-01.iso" BINARY            one file per track, beside the sheet
//     TRACK 01 MODE1/2048                data: a plain ISO image; AUDIO: raw 2352-byte blocks
//       FLAGS PRE                        audio CONTROL bits (PRE, DCP, 4CH)
//       REM SESSION 1
//       REM START 0                      first block address
//       REM STATE CLOSED                 OPEN: written up to the file's last whole block
//       REM BLOCKS 1234                  closed tracks only; must match the file size
//       INDEX 01 00:00:00
// The sheet is replaced atomically at every state change (track started or closed, session
// closed, blank); track data is buffered and written in 1 MiB pieces and at SYNCHRONIZE CACHE.
// A sheet without the header line (another program's, one track per file) is read as a
// finished single-session CD.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "catalog/Media.h"
#include "platform/VirtualDevice.h"

namespace vdrive {

constexpr std::uint32_t kBufferBytes = 2u * 1024u * 1024u;

// How a program holds a disc: a job that changes it (burn, blank, format) alone; a query
// (a report, the table of contents) beside other queries. In a folder the user cannot write,
// a query takes no lock at all (no lock file can be made there, and no program of the user
// can change the disc there either); the writer then refuses every command that would change
// the disc, as a drive refuses a write-protected one.
enum class DiscAccess : std::uint8_t { Exclusive, Shared };

// PATH[,media=..][,speed=N][,capacity=BLOCKS][,fail-write-at=LBA][,stuck-buffer][,no-rbc]
// [,not-ready=K][,busy-ms=N][,slow-disc-ms=N][,bad-reply][,unformatted][,no-config][,no-test-write]
struct VirtualDriveOptions {
    std::string path;                        // the disc's CUE sheet
    // The medium of a new disc (a row of the catalogue with a key); null: not given (a CD-R);
    // kvcat::NoMedium(): an empty drive.
    const kvcat::Medium* media = nullptr;
    bool unformatted = false;                // a new overwritable disc straight from the shop
    unsigned speed = 0;                      // x (75 x N blocks/s); 0 unlimited
    std::optional<std::uint32_t> capacity;   // blocks of a new disc
    std::optional<std::uint32_t> failWriteAt;
    bool stuckBuffer = false;
    bool noReadBufferCapacity = false;
    bool noGetConfiguration = false;         // a drive older than GET CONFIGURATION
    bool noTestWrite = false;                // a writer without test writing (page 2Ah, features)
    unsigned notReady = 0;
    unsigned busyMs = 0;
    unsigned slowDiscMs = 0;                 // each write into the disc's files takes this much longer
    bool badReply = false;
    // Not part of the syntax: the front end sets it from what it is about to do.
    DiscAccess access = DiscAccess::Exclusive;
};

// Parses the attach syntax; false and a message naming the offending part on bad input.
bool ParseVirtualDriveSpec(const std::string& driveSpec, VirtualDriveOptions& options, std::string& error);

// The writer's sense of time. Tests replace it with a ManualClock so that a 16x burn or a
// full blank takes no wall time.
class VirtualClock {
public:
    virtual ~VirtualClock() = default;
    virtual std::chrono::nanoseconds Now() = 0;
    virtual void SleepFor(std::chrono::nanoseconds duration) = 0;
};

// steady_clock and real sleeps.
std::shared_ptr<VirtualClock> SystemClock();

// Time moves only when someone sleeps on it or advances it.
class ManualClock final : public VirtualClock {
public:
    std::chrono::nanoseconds Now() override;
    void SleepFor(std::chrono::nanoseconds duration) override;
    void Advance(std::chrono::nanoseconds duration);
    std::chrono::nanoseconds Slept() const;   // total of all SleepFor calls

private:
    mutable std::mutex mutex_;
    std::chrono::nanoseconds now_{0};
    std::chrono::nanoseconds slept_{0};
};

// What tests read back about the disc.
struct TrackState {
    int number = 0;
    int session = 0;
    std::uint32_t start = 0;
    std::uint32_t blocks = 0;
    bool closed = false;
    bool audio = false;
    std::uint8_t control = 0;   // TOC CONTROL nibble
    std::string file;           // absolute path of the track file
};

enum class DiscStatus : std::uint8_t { Empty, Incomplete, Complete };

struct DiscState {
    const kvcat::Medium* media = &kvcat::NoMedium();   // NoMedium(): no disc in the drive
    std::uint32_t capacity = 0;
    bool formatted = true;               // overwritable media: FORMAT UNIT has run
    int closedSessions = 0;
    bool finalized = false;
    DiscStatus status = DiscStatus::Empty;
    std::vector<TrackState> tracks;
    std::optional<std::uint32_t> nextWritableAddress;
};

class VirtualDisc;
class DiscLock;

// Why opening or attaching a virtual drive failed, where a caller must tell it apart.
enum class AttachFailure : std::uint8_t { None, InUse, Other };

class VirtualWriter final : public win::VirtualScsiDevice {
public:
    // Opens the CUE sheet at options.path (or creates a blank disc there); null and a message on
    // failure. The writer is not attached to the platform layer.
    static std::shared_ptr<VirtualWriter> Open(const VirtualDriveOptions& options, std::string& error,
                                               std::shared_ptr<VirtualClock> clock = nullptr);
    // The same; failure says whether another program holds the disc. The writer owns the disc
    // (an advisory lock, see DiscLock.h) for as long as it lives.
    static std::shared_ptr<VirtualWriter> Open(const VirtualDriveOptions& options, std::string& error,
                                               AttachFailure& failure, std::shared_ptr<VirtualClock> clock = nullptr);
    ~VirtualWriter() override;

    bool Execute(win::ScsiRequest& request) override;
    std::string DevicePath() const override;

    // The tray as a user handles it. EjectTray fails while removal is prevented.
    bool EjectTray();
    void CloseTray();
    // With the tray open: take the disc out / put a new blank disc in (replacing the one kept at
    // the path, whose track files are removed). False and a message on failure.
    bool RemoveDisc(std::string& error);
    bool InsertBlankDisc(const kvcat::Medium& media, std::uint32_t capacity, std::string& error, bool formatted = true);

    DiscState State() const;
    // Writes buffered track data to the track file (what SYNCHRONIZE CACHE and detach do).
    bool Flush();

    const VirtualDriveOptions& Options() const { return options_; }
    // The letter the platform layer gave it; 0 when not attached.
    char DriveLetter() const;
    void SetDriveLetter(char letter);

private:
    VirtualWriter(const VirtualDriveOptions& options, std::shared_ptr<VirtualClock> clock);

    struct Impl;
    VirtualDriveOptions options_;
    std::shared_ptr<DiscLock> lock_;   // released after the disc below is flushed and closed
    std::unique_ptr<Impl> impl_;
};

// Parses the attach syntax, opens or creates the disc and attaches the writer to the platform
// layer (it gets the next drive letter). Null and a message on failure.
std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  std::shared_ptr<VirtualClock> clock = nullptr);
std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  AttachFailure& failure,
                                                  std::shared_ptr<VirtualClock> clock = nullptr);
// The same with the options already parsed (and their access set).
std::shared_ptr<VirtualWriter> AttachVirtualDrive(const VirtualDriveOptions& options, std::string& error,
                                                  AttachFailure& failure,
                                                  std::shared_ptr<VirtualClock> clock = nullptr);
// Detaches and flushes.
void DetachVirtualDrive(const std::shared_ptr<VirtualWriter>& writer);

}  // namespace vdrive
