// The virtual writer inside: its state and its handlers, shared by the files that implement
// them. VirtualWriter.cpp: the device, the dispatch of CDBs by the command table, results and
// the time model; WriterModePages.cpp: mode pages 05h and 2Ah and the write speed;
// WriterRecording.cpp: write, close, reserve, blank, format and their test-write forms;
// WriterReports.cpp: what the drive reports about the disc; WriterPersistence.cpp: opening
// and attaching the disc, and the disc in the tray. Private to the writer.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "catalog/BigEndian.h"
#include "catalog/Commands.h"
#include "catalog/Media.h"
#include "vdrive/VirtualDisc.h"
#include "vdrive/VirtualWriter.h"

namespace vdrive {

using std::chrono::nanoseconds;
using win::ScsiRequest;

struct Sense {
    std::uint8_t key, asc, ascq;
};

// Sense data a real MMC drive returns for these conditions (SPC/MMC additional sense codes).
inline constexpr Sense kNoSense{0x00, 0x00, 0x00};
inline constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
inline constexpr Sense kTrayOpen{0x02, 0x3A, 0x02};
inline constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
inline constexpr Sense kMediumMayHaveChanged{0x06, 0x28, 0x00};
inline constexpr Sense kFormatInProgress{0x02, 0x04, 0x07};
inline constexpr Sense kFormatUnitInProgress{0x02, 0x04, 0x04};
inline constexpr Sense kLongWriteInProgress{0x02, 0x04, 0x08};
inline constexpr Sense kWriteError{0x03, 0x0C, 0x00};
inline constexpr Sense kWriteProtected{0x07, 0x27, 0x00};
inline constexpr Sense kReadError{0x03, 0x11, 0x00};
inline constexpr Sense kInternalFailure{0x04, 0x44, 0x00};
inline constexpr Sense kParameterListLength{0x05, 0x1A, 0x00};
inline constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
inline constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
inline constexpr Sense kInvalidWriteAddress{0x05, 0x21, 0x02};
inline constexpr Sense kInvalidField{0x05, 0x24, 0x00};
inline constexpr Sense kInvalidParameter{0x05, 0x26, 0x00};
inline constexpr Sense kSequenceError{0x05, 0x2C, 0x00};
inline constexpr Sense kIncompatibleMedium{0x05, 0x30, 0x00};
inline constexpr Sense kCannotReadFormat{0x05, 0x30, 0x02};
inline constexpr Sense kCannotWriteFormat{0x05, 0x30, 0x05};
inline constexpr Sense kMediumNotFormatted{0x05, 0x30, 0x10};
inline constexpr Sense kSavingNotSupported{0x05, 0x39, 0x00};
inline constexpr Sense kRemovalPrevented{0x05, 0x53, 0x02};
inline constexpr Sense kIllegalModeForTrack{0x05, 0x64, 0x00};

using kvbe::Load16;
using kvbe::Load32;
using kvbe::Store16;
using kvbe::Store32;
using kvcat::Bit;

// CD address as M:S:F with the 2-second offset of LBA 0 (MMC, READ TOC with MSF).
inline void PutMsf(std::uint8_t* p, std::uint32_t lba) {
    const std::uint32_t a = lba + 150;
    p[0] = 0;
    p[1] = static_cast<std::uint8_t>(a / (60 * 75));
    p[2] = static_cast<std::uint8_t>(a / 75 % 60);
    p[3] = static_cast<std::uint8_t>(a % 75);
}

inline constexpr std::size_t kPage05Length = 52;   // page length 32h
inline constexpr std::uint32_t kCloseTrackBlocks = 150;            // run-out and link blocks
inline constexpr std::uint32_t kFirstLeadInOutBlocks = 4500 + 6750;
inline constexpr std::uint32_t kLaterLeadInOutBlocks = 4500 + 2250;
// A minimal blank rewrites only lead-in, PMA and the first pregap, yet with power calibration
// and seeks a real drive needs about a minute for it at a typical 10x rewrite speed.
inline constexpr std::uint32_t kMinimalBlankBlocks = 45000;
inline constexpr std::uint32_t kQuickFormatBlocks = 6750;          // lead-in and the first blocks

enum : std::uint8_t {
    kNeedsMedium = 1,      // the medium check runs before the handler
    kWhileBusy = 2,        // answered while an IMMED operation runs
    kAlwaysReady = 4,      // not affected by the not-ready fault
    kChangesDisc = 8,      // refused on a disc held beside other programs' queries
};

struct VirtualWriter::Impl {
    using Handler = void (Impl::*)(ScsiRequest&);
    struct Command {
        Handler handler = nullptr;
        const kvcat::Command* command = nullptr;   // opcode, CDB length, data direction
        std::uint8_t flags = 0;
        // With bad-reply: where the reply's own length field sits (offset, width 0/1/2/4).
        std::uint8_t lengthOffset = 0;
        std::uint8_t lengthWidth = 0;
    };

    Impl(const VirtualDriveOptions& o, std::shared_ptr<VirtualClock> c) : options(o), clock(std::move(c)) {
        notReadyLeft = o.notReady;
        BuildTable();
        ResetPage05();
    }

    VirtualDriveOptions options;
    std::shared_ptr<VirtualClock> clock;
    mutable std::mutex mutex;
    std::array<Command, 256> table{};

    std::unique_ptr<VirtualDisc> disc;   // null: no disc in the drive
    bool trayOpen = false;
    bool prevent = false;
    char letter = 0;
    unsigned notReadyLeft = 0;

    // An IMMED operation in progress.
    nanoseconds busyStart{0};
    nanoseconds busyUntil{0};
    Sense busySense = kLongWriteInProgress;

    // The drive buffer at a finite speed: the moment it will have drained completely.
    nanoseconds drainEnd{0};

    std::array<std::uint8_t, kPage05Length> page05{};
    // RESERVE TRACK: the size of the reserved track (disc at once on DVD-R needs one).
    std::uint32_t reservedBlocks = 0;
    bool closedByDiscAtOnce = false;

    // The write speed SET CD SPEED or SET STREAMING chose, in x; 0: the drive's best.
    unsigned setSpeed = 0;
    // A burn with the Test Write bit: where it stands, while nothing is recorded.
    struct Simulation {
        bool open = false;          // a simulated track is being written
        std::uint32_t next = 0;     // its next writable address
        int closedTracks = 0;       // simulated tracks closed in this session
    } sim;

    // --------------------------------------------------------------------------------------
    void BuildTable();

    // Whether the request moves its data the way the command does (data out for WRITE(10), a
    // parameter list out for MODE SELECT ...).
    bool DataFlowsAsCommanded(const ScsiRequest& r) const;

    // --------------------------------------------------------------------------------------
    // Results

    static void FillSense(std::uint8_t* s, Sense sense, int progress);

    static void CheckCondition(ScsiRequest& r, Sense sense, int progress = -1);

    // Hands a data-in reply to the caller, no more than the allocation length and the buffer.
    void SendData(ScsiRequest& r, std::vector<std::uint8_t> reply, std::uint32_t allocation);

    // A state change the disc refused. When another program changed the sheet, the drive
    // reads the disc again and says so the way a drive reports a changed medium.
    void DiscFailure(ScsiRequest& r);

    // --------------------------------------------------------------------------------------
    // Time

    nanoseconds Now() { return clock->Now(); }
    bool Busy(nanoseconds now) const { return now < busyUntil; }
    int BusyProgress(nanoseconds now) const;
    nanoseconds BlocksTime(std::uint64_t blocks) const;
    std::uint32_t WriteBlockSize() const;
    std::uint32_t BufferedBytes(nanoseconds now) const;
    nanoseconds DrainTime(nanoseconds now) const { return drainEnd > now ? drainEnd - now : nanoseconds::zero(); }

    // An operation of the given length: with IMMED the drive goes on alone and answers NOT
    // READY meanwhile; without it the command returns when the work is done.
    void Occupy(nanoseconds duration, bool immediate, Sense sense);

    // --------------------------------------------------------------------------------------
    // Mode pages

    void ResetPage05();

    // The catalogue row of the disc in the drive (NoMedium() for none).
    const kvcat::Medium& Medium() const { return disc ? disc->Media() : kvcat::NoMedium(); }

    // What the drive starts with: track at once for a CD, incremental on DVD-R/-RW (the
    // track-at-once type is no DVD write type).
    std::array<std::uint8_t, kPage05Length> DefaultPage05() const;

    static std::array<std::uint8_t, kPage05Length> ChangeablePage05();

    unsigned ReportedSpeed() const { return options.speed == 0 ? MaxSpeed() : options.speed; }

    // A speed field of the capabilities page: kB/s of the disc in the drive, in 16 bits.
    void PutSpeed(std::uint8_t* at, unsigned x) const;

    std::vector<std::uint8_t> Page2A(bool changeable) const;

    // --------------------------------------------------------------------------------------
    // Execution

    bool Execute(ScsiRequest& r);

    void TestUnitReady(ScsiRequest&) {}

    void RequestSense(ScsiRequest& r);

    void Inquiry(ScsiRequest& r);

    void StartStopUnit(ScsiRequest& r);

    void PreventAllow(ScsiRequest& r) { prevent = r.cdb[4] & 0x01; }

    bool OpenTrayLocked();

    void Read10(ScsiRequest& r);

    // What every WRITE(10) meets first, written or simulated: a writable disc and a transfer of
    // exactly `count` blocks of the selected size, data out. False once answered with the condition.
    bool CheckWriteTransfer(ScsiRequest& r, std::uint32_t count, std::uint32_t& blockSize, std::uint64_t& bytes);

    // The injected write error (fail-write-at) lies in these blocks.
    bool InjectedWriteFault(std::uint32_t lba, std::uint32_t count) const;

    void Write10(ScsiRequest& r);

    bool DiscAtOnce() const;

    // DVD+RW, DVD-RW in restricted overwrite mode, BD-RE: any address below the formatted
    // capacity, once the disc is formatted.
    void WriteOverwritable(ScsiRequest& r, std::uint32_t lba, std::uint32_t count, std::uint64_t bytes);

    // Waits, as the drive does, until the buffer has room for this transfer.
    void WaitForBufferRoom(std::uint64_t bytes, std::uint32_t blockSize, std::uint32_t count);
    // Around a write into the disc's files: the medium is held still meanwhile.
    nanoseconds BeginStore();
    void EndStore(nanoseconds start);

    void SynchronizeCache(ScsiRequest& r);

    void CloseTrackSession(ScsiRequest& r);

    void Blank(ScsiRequest& r);

    // Format types the medium offers (READ FORMAT CAPACITIES), each giving the disc's capacity.
    std::vector<kvcat::FormatOffer> FormatOffers() const;

    void ReadFormatCapacities(ScsiRequest& r);

    void FormatUnit(ScsiRequest& r);

    void ReserveTrack(ScsiRequest& r);

    void ReadBufferCapacity(ScsiRequest& r);

    // The tracks READ TOC reports: the closed ones.
    std::vector<const DiscTrack*> TocTracks() const;

    void ReadToc(ScsiRequest& r);

    void ReadDiscInformation(ScsiRequest& r);

    void ReadTrackInformation(ScsiRequest& r);

    // An overwritable disc is one track over the formatted capacity, written from address 0
    // on: the next writable address is 0 and every block is free to (over)write. Unformatted,
    // the track is blank and has no writable address until FORMAT UNIT.
    void OverwritableTrackInformation(ScsiRequest& r, std::uint8_t addressType, std::uint32_t value,
                                      std::uint32_t allocation);

    std::uint16_t CurrentProfile() const;

    // The profiles the writer lists: every one of the catalogue, once each, in the descending
    // order drives use.
    static const std::vector<std::uint16_t>& Profiles();

    void GetConfiguration(ScsiRequest& r);

    void ReadDvdStructure(ScsiRequest& r);

    void ModeSense10(ScsiRequest& r);

    void ModeSelect10(ScsiRequest& r);

    // --------------------------------------------------------------------------------------
    // Write speed

    // The time model runs at the lower of the attach speed and the chosen one.
    unsigned TimedSpeed() const;
    unsigned SelectedSpeed() const { return TimedSpeed() == 0 ? ReportedSpeed() : TimedSpeed(); }
    // The speeds of the disc in the drive (a CD's when there is none).
    const kvcat::FamilySpeeds& Speeds() const { return kvcat::SpeedsOf(Medium().family); }
    // kB/s of 1x as the drive counts it.
    unsigned KBsPerX() const { return Speeds().kbsPerX; }
    // The drive's best speed for the disc in it, in x.
    unsigned MaxSpeed() const { return Speeds().offered[0]; }
    // The write speeds offered for the disc in the drive, fastest first, in x.
    std::vector<unsigned> OfferedSpeeds() const;
    // A drive takes the fastest offered speed at or below the one asked (within rounding), the
    // slowest when all are faster; FFFFh (or more) asks for the best.
    void ChooseSpeed(std::uint64_t kbs);

    void SetCdSpeed(ScsiRequest& r);

    void SetStreaming(ScsiRequest& r);

    void GetPerformance(ScsiRequest& r);

    // --------------------------------------------------------------------------------------
    // Test write: every check and the time of a burn, nothing recorded

    bool TestWrite() const { return page05[2] & 0x10; }

    void WriteOrSimulate(ScsiRequest& r) { TestWrite() ? SimulatedWrite10(r) : Write10(r); }
    void CloseOrSimulate(ScsiRequest& r) { TestWrite() ? SimulatedClose(r) : CloseTrackSession(r); }

    void SimulatedWrite10(ScsiRequest& r);

    void SimulatedClose(ScsiRequest& r);

    DiscState State() const;
};

}  // namespace vdrive
