// The command side of the virtual writer: one handler per opcode, a medium check before the
// handlers that need a disc, and every failure through CheckCondition. Writer state (next
// writable address, track and session state) lives in VirtualDisc; this file adds the mode
// pages, the buffer and busy-time model and the injected faults.
#include "vdrive/VirtualWriter.h"

#include "platform/Posix.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <thread>

#include "vdrive/Media.h"
#include "vdrive/DiscLock.h"
#include "vdrive/VirtualDisc.h"

namespace vdrive {

using std::chrono::nanoseconds;
using win::ScsiRequest;

namespace {

struct Sense {
    std::uint8_t key, asc, ascq;
};

// Sense data a real MMC drive returns for these conditions (SPC/MMC additional sense codes).
constexpr Sense kNoSense{0x00, 0x00, 0x00};
constexpr Sense kNoMedium{0x02, 0x3A, 0x00};
constexpr Sense kTrayOpen{0x02, 0x3A, 0x02};
constexpr Sense kBecomingReady{0x02, 0x04, 0x01};
constexpr Sense kMediumMayHaveChanged{0x06, 0x28, 0x00};
constexpr Sense kFormatInProgress{0x02, 0x04, 0x07};
constexpr Sense kFormatUnitInProgress{0x02, 0x04, 0x04};
constexpr Sense kLongWriteInProgress{0x02, 0x04, 0x08};
constexpr Sense kWriteError{0x03, 0x0C, 0x00};
constexpr Sense kWriteProtected{0x07, 0x27, 0x00};
constexpr Sense kReadError{0x03, 0x11, 0x00};
constexpr Sense kInternalFailure{0x04, 0x44, 0x00};
constexpr Sense kParameterListLength{0x05, 0x1A, 0x00};
constexpr Sense kInvalidOpcode{0x05, 0x20, 0x00};
constexpr Sense kLbaOutOfRange{0x05, 0x21, 0x00};
constexpr Sense kInvalidWriteAddress{0x05, 0x21, 0x02};
constexpr Sense kInvalidField{0x05, 0x24, 0x00};
constexpr Sense kInvalidParameter{0x05, 0x26, 0x00};
constexpr Sense kSequenceError{0x05, 0x2C, 0x00};
constexpr Sense kIncompatibleMedium{0x05, 0x30, 0x00};
constexpr Sense kCannotReadFormat{0x05, 0x30, 0x02};
constexpr Sense kCannotWriteFormat{0x05, 0x30, 0x05};
constexpr Sense kMediumNotFormatted{0x05, 0x30, 0x10};
constexpr Sense kSavingNotSupported{0x05, 0x39, 0x00};
constexpr Sense kRemovalPrevented{0x05, 0x53, 0x02};
constexpr Sense kIllegalModeForTrack{0x05, 0x64, 0x00};

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t Be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
void Put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
// CD address as M:S:F with the 2-second offset of LBA 0 (MMC, READ TOC with MSF).
void PutMsf(std::uint8_t* p, std::uint32_t lba) {
    const std::uint32_t a = lba + 150;
    p[0] = 0;
    p[1] = static_cast<std::uint8_t>(a / (60 * 75));
    p[2] = static_cast<std::uint8_t>(a / 75 % 60);
    p[3] = static_cast<std::uint8_t>(a % 75);
}

class SystemClockImpl final : public VirtualClock {
public:
    nanoseconds Now() override {
        return std::chrono::duration_cast<nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    }
    void SleepFor(nanoseconds duration) override {
        if (duration > nanoseconds::zero()) std::this_thread::sleep_for(duration);
    }
};

constexpr std::size_t kPage05Length = 52;   // page length 32h
constexpr std::uint32_t kCloseTrackBlocks = 150;            // run-out and link blocks
constexpr std::uint32_t kFirstLeadInOutBlocks = 4500 + 6750;
constexpr std::uint32_t kLaterLeadInOutBlocks = 4500 + 2250;
// A minimal blank rewrites only lead-in, PMA and the first pregap, yet with power calibration
// and seeks a real drive needs about a minute for it at a typical 10x rewrite speed.
constexpr std::uint32_t kMinimalBlankBlocks = 45000;
constexpr std::uint32_t kQuickFormatBlocks = 6750;          // lead-in and the first blocks

enum : std::uint8_t {
    kNeedsMedium = 1,      // the medium check runs before the handler
    kWhileBusy = 2,        // answered while an IMMED operation runs
    kAlwaysReady = 4,      // not affected by the not-ready fault
};

}  // namespace

// ------------------------------------------------------------------------------------------
// Clocks

std::shared_ptr<VirtualClock> SystemClock() {
    static std::shared_ptr<VirtualClock> clock = std::make_shared<SystemClockImpl>();
    return clock;
}

nanoseconds ManualClock::Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return now_;
}
void ManualClock::SleepFor(nanoseconds duration) {
    if (duration <= nanoseconds::zero()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += duration;
    slept_ += duration;
}
void ManualClock::Advance(nanoseconds duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += duration;
}
nanoseconds ManualClock::Slept() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slept_;
}

// ------------------------------------------------------------------------------------------
// The writer

struct VirtualWriter::Impl {
    using Handler = void (Impl::*)(ScsiRequest&);
    struct Command {
        Handler handler = nullptr;
        std::uint8_t cdbLength = 0;
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
    void BuildTable() {
        auto set = [&](std::uint8_t opcode, Handler h, std::uint8_t len, std::uint8_t flags,
                       std::uint8_t lengthOffset = 0, std::uint8_t lengthWidth = 0) {
            table[opcode] = Command{h, len, flags, lengthOffset, lengthWidth};
        };
        set(0x00, &Impl::TestUnitReady, 6, kNeedsMedium);
        set(0x03, &Impl::RequestSense, 6, kWhileBusy | kAlwaysReady);
        set(0x04, &Impl::FormatUnit, 6, kNeedsMedium);
        set(0x12, &Impl::Inquiry, 6, kWhileBusy | kAlwaysReady, 4, 1);
        set(0x1B, &Impl::StartStopUnit, 6, 0);
        // The tray lock needs no disc: a drive still becoming ready takes it (and lets it go).
        set(0x1E, &Impl::PreventAllow, 6, kAlwaysReady);
        set(0x28, &Impl::Read10, 10, kNeedsMedium);
        set(0x23, &Impl::ReadFormatCapacities, 10, 0, 3, 1);
        set(0x2A, &Impl::Write10, 10, kNeedsMedium);
        set(0x2A, &Impl::WriteOrSimulate, 10, kNeedsMedium);
        set(0x35, &Impl::SynchronizeCache, 10, kNeedsMedium);
        set(0x43, &Impl::ReadToc, 10, kNeedsMedium, 0, 2);
        if (!options.noGetConfiguration) set(0x46, &Impl::GetConfiguration, 10, kWhileBusy, 0, 4);
        set(0x51, &Impl::ReadDiscInformation, 10, kNeedsMedium, 0, 2);
        set(0x52, &Impl::ReadTrackInformation, 10, kNeedsMedium, 0, 2);
        set(0x53, &Impl::ReserveTrack, 10, kNeedsMedium);
        set(0x55, &Impl::ModeSelect10, 10, 0);
        set(0x5A, &Impl::ModeSense10, 10, 0, 0, 2);
        set(0x5B, &Impl::CloseOrSimulate, 10, kNeedsMedium);
        if (!options.noReadBufferCapacity) set(0x5C, &Impl::ReadBufferCapacity, 10, kWhileBusy, 0, 2);
        set(0xA1, &Impl::Blank, 12, kNeedsMedium);
        set(0xAD, &Impl::ReadDvdStructure, 12, kNeedsMedium, 0, 2);
        set(0xAC, &Impl::GetPerformance, 12, kNeedsMedium, 0, 4);
        set(0xB6, &Impl::SetStreaming, 12, 0);
        set(0xBB, &Impl::SetCdSpeed, 12, 0);
    }

    // --------------------------------------------------------------------------------------
    // Results

    static void FillSense(std::uint8_t* s, Sense sense, int progress) {
        std::memset(s, 0, 18);
        s[0] = 0x70;   // current error, fixed format
        s[2] = sense.key;
        s[7] = 10;     // additional sense length
        s[12] = sense.asc;
        s[13] = sense.ascq;
        if (progress >= 0) {   // sense-key specific: progress indication (SPC)
            s[15] = 0x80;
            Put16(s + 16, static_cast<std::uint32_t>(progress));
        }
    }

    static void CheckCondition(ScsiRequest& r, Sense sense, int progress = -1) {
        r.status = 2;
        FillSense(r.sense, sense, progress);
        r.senseLength = 18;
        r.residual = r.dataLength;
    }

    // Hands a data-in reply to the caller, no more than the allocation length and the buffer.
    void SendData(ScsiRequest& r, std::vector<std::uint8_t> reply, std::uint32_t allocation) {
        const Command& c = table[r.cdb[0]];
        if (options.badReply && c.lengthWidth != 0 && reply.size() >= c.lengthOffset + c.lengthWidth) {
            // Claim far more than is sent, as a broken drive does.
            std::uint8_t* p = reply.data() + c.lengthOffset;
            if (c.lengthWidth == 1) p[0] = 0xFF;
            else if (c.lengthWidth == 2) Put16(p, 0xFFF0);
            else Put32(p, 0x00FFFFF0);
        }
        const std::uint32_t n = std::min<std::uint32_t>({allocation, r.dataLength, static_cast<std::uint32_t>(reply.size())});
        if (n > 0) std::memcpy(r.data, reply.data(), n);
        r.residual = r.dataLength - n;
    }

    // A state change the disc refused. When another program changed the sheet, the drive
    // reads the disc again and says so the way a drive reports a changed medium.
    void DiscFailure(ScsiRequest& r) {
        switch (disc->LastFailure()) {
        case VirtualDisc::Failure::ChangedElsewhere: {
            std::string error;
            disc.reset();
            disc = VirtualDisc::Load(options.path, error);
            drainEnd = nanoseconds::zero();
            return CheckCondition(r, kMediumMayHaveChanged);
        }
        case VirtualDisc::Failure::InUse:
            return CheckCondition(r, kLongWriteInProgress);
        default:
            return CheckCondition(r, kWriteError);
        }
    }

    // --------------------------------------------------------------------------------------
    // Time

    nanoseconds Now() { return clock->Now(); }
    bool Busy(nanoseconds now) const { return now < busyUntil; }
    int BusyProgress(nanoseconds now) const {
        const auto total = (busyUntil - busyStart).count();
        if (total <= 0) return 0;
        const auto done = std::clamp<long long>((now - busyStart).count(), 0, total);
        return static_cast<int>(static_cast<long double>(done) * 65535 / total);
    }
    nanoseconds BlocksTime(std::uint64_t blocks) const {
        const unsigned speed = TimedSpeed();
        if (speed == 0) return nanoseconds::zero();
        return nanoseconds(static_cast<long long>(blocks * 1000000000ull / (75ull * speed)));
    }
    std::uint32_t WriteBlockSize() const {
        if (disc && !disc->IsCd()) return 2048u;   // DVD and BD blocks are always 2048 bytes
        return (page05[4] & 0x0F) == 0 ? 2352u : 2048u;
    }
    std::uint32_t BufferedBytes(nanoseconds now) const {
        if (TimedSpeed() == 0 || drainEnd <= now) return 0;
        const auto perBlock = BlocksTime(1).count();
        const auto left = (drainEnd - now).count();
        const std::uint64_t blocks = static_cast<std::uint64_t>((left + perBlock - 1) / perBlock);
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks * WriteBlockSize(), kBufferBytes));
    }
    nanoseconds DrainTime(nanoseconds now) const { return drainEnd > now ? drainEnd - now : nanoseconds::zero(); }

    // An operation of the given length: with IMMED the drive goes on alone and answers NOT
    // READY meanwhile; without it the command returns when the work is done.
    void Occupy(nanoseconds duration, bool immediate, Sense sense) {
        if (TimedSpeed() == 0) duration = immediate ? std::chrono::milliseconds(options.busyMs) : nanoseconds::zero();
        if (duration <= nanoseconds::zero()) return;
        const nanoseconds now = Now();
        if (immediate) {
            busyStart = now;
            busyUntil = now + duration;
            busySense = sense;
        } else {
            clock->SleepFor(duration);   // the buffer has drained meanwhile
        }
    }

    // --------------------------------------------------------------------------------------
    // Mode pages

    void ResetPage05() {
        page05 = DefaultPage05();
        reservedBlocks = 0;
        closedByDiscAtOnce = false;
    }

    const MediaInfo& Info() const { return Medium(disc ? disc->Media() : MediaType::None); }

    // What the drive starts with: track at once for a CD, incremental on DVD-R/-RW (the
    // track-at-once type is no DVD write type).
    std::array<std::uint8_t, kPage05Length> DefaultPage05() const {
        std::array<std::uint8_t, kPage05Length> p{};
        p[0] = 0x05;
        p[1] = kPage05Length - 2;
        p[2] = (Info().writeTypes & Bit(1)) || Info().writeTypes == 0 ? 0x01 : 0x00;
        p[3] = 0x04;   // data track, no next session
        p[4] = 0x08;   // Mode 1, 2048 bytes
        Put16(&p[14], 150);   // audio pause length: 2 seconds
        return p;
    }

    static std::array<std::uint8_t, kPage05Length> ChangeablePage05() {
        std::array<std::uint8_t, kPage05Length> m{};
        m[0] = 0x05;
        m[1] = kPage05Length - 2;
        m[2] = 0x5F;   // BUFE, test write and write type
        m[3] = 0xFF;   // multisession, FP, copy, track mode
        m[4] = 0x0F;   // data block type
        m[7] = 0x3F;   // host application code
        m[8] = 0xFF;   // session format
        for (std::size_t i = 10; i < kPage05Length; ++i) m[i] = 0xFF;   // packet size .. subheader
        return m;
    }

    unsigned ReportedSpeed() const { return options.speed == 0 ? MaxSpeed() : options.speed; }

    // A speed field of the capabilities page: kB/s of the disc in the drive, in 16 bits.
    void PutSpeed(std::uint8_t* at, unsigned x) const {
        Put16(at, static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{x} * KBsPerX(), 0xFFFF)));
    }

    std::vector<std::uint8_t> Page2A(bool changeable) const {
        const std::vector<unsigned> speeds = OfferedSpeeds();
        const unsigned top = speeds.front();
        std::vector<std::uint8_t> p(32 + 4 * speeds.size(), 0);
        p[0] = 0x2A;
        p[1] = static_cast<std::uint8_t>(p.size() - 2);
        if (changeable) return p;
        p[2] = 0x1F;   // reads CD-R, CD-RW, method 2, DVD-ROM, DVD-R
        p[3] = options.noTestWrite ? 0x03 : 0x07;   // writes CD-R, CD-RW; test write
        p[4] = 0xF0;   // BUF, multi-session, mode 2 form 2 and form 1
        p[5] = 0x00;
        p[6] = static_cast<std::uint8_t>(0x20 | 0x08 | 0x01 | (prevent ? 0x02 : 0x00));   // tray, eject, lock
        p[7] = 0x00;
        // Speeds in kB/s of the disc in the drive, as drives report them: 1x is 176 kB/s on a CD,
        // 1385 on a DVD, 4495 on a BD.
        const unsigned read = std::max(MaxSpeed(), top);
        PutSpeed(&p[8], read);       // maximum read speed
        Put16(&p[10], 256);          // volume levels
        Put16(&p[12], kBufferBytes / 1024);
        PutSpeed(&p[14], read);      // current read speed
        PutSpeed(&p[18], top);       // maximum write speed
        PutSpeed(&p[20], SelectedSpeed());   // current write speed
        PutSpeed(&p[28], SelectedSpeed());   // current write speed selected
        Put16(&p[30], static_cast<std::uint32_t>(speeds.size()));
        for (std::size_t i = 0; i < speeds.size(); ++i) PutSpeed(&p[32 + 4 * i + 2], speeds[i]);
        return p;
    }

    // --------------------------------------------------------------------------------------
    // Execution

    bool Execute(ScsiRequest& r) {
        if (r.cdbLength == 0 || r.cdbLength > sizeof r.cdb) return false;
        if (r.dataLength > 0 && r.data == nullptr) return false;
        std::lock_guard<std::mutex> lock(mutex);
        r.status = 0;
        std::memset(r.sense, 0, sizeof r.sense);
        r.senseLength = 0;
        r.residual = r.dataLength;

        const Command& c = table[r.cdb[0]];
        if (!c.handler) return CheckCondition(r, kInvalidOpcode), true;
        if (r.cdbLength < c.cdbLength) return CheckCondition(r, kInvalidField), true;
        if (!(c.flags & kAlwaysReady) && notReadyLeft > 0) {
            --notReadyLeft;
            return CheckCondition(r, kBecomingReady), true;
        }
        const nanoseconds now = Now();
        if (!(c.flags & kWhileBusy) && Busy(now)) return CheckCondition(r, busySense, BusyProgress(now)), true;
        if ((c.flags & kNeedsMedium) && (trayOpen || !disc)) return CheckCondition(r, trayOpen ? kTrayOpen : kNoMedium), true;
        // A disc held beside other programs' queries (or in a folder that cannot be written)
        // is write-protected for this program.
        if (options.access == DiscAccess::Shared && ChangesDisc(r.cdb[0]))
            return CheckCondition(r, kWriteProtected), true;
        (this->*c.handler)(r);
        return true;
    }

    // FORMAT UNIT, WRITE(10), RESERVE TRACK, CLOSE TRACK/SESSION, BLANK.
    static bool ChangesDisc(std::uint8_t opcode) {
        return opcode == 0x04 || opcode == 0x2A || opcode == 0x53 || opcode == 0x5B || opcode == 0xA1;
    }

    void TestUnitReady(ScsiRequest&) {}

    void RequestSense(ScsiRequest& r) {
        if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);   // descriptor format
        std::vector<std::uint8_t> s(18);
        const nanoseconds now = Now();
        if (Busy(now)) FillSense(s.data(), busySense, BusyProgress(now));
        else if (notReadyLeft > 0) FillSense(s.data(), kBecomingReady, -1);
        else if (trayOpen || !disc) FillSense(s.data(), trayOpen ? kTrayOpen : kNoMedium, -1);
        else FillSense(s.data(), kNoSense, -1);
        SendData(r, std::move(s), r.cdb[4]);
    }

    void Inquiry(ScsiRequest& r) {
        const std::uint32_t allocation = Be16(&r.cdb[3]);
        if (r.cdb[1] & 0x02) return CheckCondition(r, kInvalidField);   // CmdDt
        if (r.cdb[1] & 0x01) {
            std::vector<std::uint8_t> v;
            if (r.cdb[2] == 0x00) {
                v = {0x05, 0x00, 0x00, 0x02, 0x00, 0x80};
            } else if (r.cdb[2] == 0x80) {
                char serial[17];
                std::snprintf(serial, sizeof serial, "%016zX", std::hash<std::string>{}(options.path));
                v = {0x05, 0x80, 0x00, 16};
                v.insert(v.end(), serial, serial + 16);
            } else {
                return CheckCondition(r, kInvalidField);
            }
            return SendData(r, std::move(v), allocation);
        }
        if (r.cdb[2] != 0) return CheckCondition(r, kInvalidField);
        std::vector<std::uint8_t> d(96, 0);
        d[0] = 0x05;   // CD/DVD device
        d[1] = 0x80;   // removable medium
        d[2] = 0x05;   // SPC-3
        d[3] = 0x02;   // response data format
        d[4] = static_cast<std::uint8_t>(d.size() - 5);
        std::memcpy(&d[8], "KEELVANE", 8);
        std::memcpy(&d[16], "VIRTUAL WRITER  ", 16);
        std::memcpy(&d[32], "1.00", 4);
        std::memcpy(&d[36], "FILE-BACKED MMC     ", 20);
        SendData(r, std::move(d), allocation);
    }

    void StartStopUnit(ScsiRequest& r) {
        const std::uint8_t b4 = r.cdb[4];
        if (b4 & 0xF0) return;   // power conditions: nothing to do
        const bool loadEject = b4 & 0x02, start = b4 & 0x01;
        if (loadEject && !start) {
            if (prevent) return CheckCondition(r, kRemovalPrevented);
            if (!OpenTrayLocked()) return CheckCondition(r, kInternalFailure);
        } else if (loadEject && start) {
            trayOpen = false;
        } else if (start && (trayOpen || !disc)) {
            CheckCondition(r, trayOpen ? kTrayOpen : kNoMedium);
        }
    }

    void PreventAllow(ScsiRequest& r) { prevent = r.cdb[4] & 0x01; }

    bool OpenTrayLocked() {
        if (disc) {
            std::string error;
            if (!disc->Flush(true, error)) return false;
        }
        trayOpen = true;
        sim = Simulation{};
        busyUntil = nanoseconds::zero();
        drainEnd = nanoseconds::zero();
        return true;
    }

    void Read10(ScsiRequest& r) {
        const std::uint32_t lba = Be32(&r.cdb[2]);
        const std::uint32_t count = Be16(&r.cdb[7]);
        if (count == 0) return;
        const std::uint64_t bytes = static_cast<std::uint64_t>(count) * 2048u;
        if (r.dataLength < bytes) return CheckCondition(r, kInvalidField);
        if (disc->Overwritable() && disc->Formatted() && static_cast<std::uint64_t>(lba) + count <= disc->Capacity()) {
            // Formatted blocks never written read as zeros.
            const std::uint32_t written = disc->Tracks().empty() ? 0 : disc->Tracks().front().End();
            const std::uint32_t inTrack = lba < written ? std::min(count, written - lba) : 0;
            std::memset(r.data + static_cast<std::size_t>(inTrack) * 2048u, 0, static_cast<std::size_t>(count - inTrack) * 2048u);
            if (inTrack > 0 && disc->Read(lba, inTrack, r.data) != VirtualDisc::ReadResult::Ok)
                return CheckCondition(r, kReadError);
            r.residual = r.dataLength - static_cast<std::uint32_t>(bytes);
            return;
        }
        switch (disc->Read(lba, count, r.data)) {
        case VirtualDisc::ReadResult::Ok: r.residual = r.dataLength - static_cast<std::uint32_t>(bytes); return;
        case VirtualDisc::ReadResult::OutOfRange: return CheckCondition(r, kLbaOutOfRange);
        case VirtualDisc::ReadResult::AudioTrack: return CheckCondition(r, kIllegalModeForTrack);
        case VirtualDisc::ReadResult::IoError: return CheckCondition(r, kReadError);
        }
    }

    // What every WRITE(10) meets first, written or simulated: a writable disc and a transfer of
    // exactly `count` blocks of the selected size, data out. False once answered with the condition.
    bool CheckWriteTransfer(ScsiRequest& r, std::uint32_t count, std::uint32_t& blockSize, std::uint64_t& bytes) {
        if (!disc->Writable()) {
            CheckCondition(r, kCannotWriteFormat);
            return false;
        }
        blockSize = WriteBlockSize();
        bytes = static_cast<std::uint64_t>(count) * blockSize;
        if (bytes != r.dataLength || (count > 0 && r.direction != ScsiRequest::Direction::Out)) {
            CheckCondition(r, kInvalidField);
            return false;
        }
        return true;
    }

    // The injected write error (fail-write-at) lies in these blocks.
    bool InjectedWriteFault(std::uint32_t lba, std::uint32_t count) const {
        return options.failWriteAt && *options.failWriteAt >= lba && *options.failWriteAt - lba < count;
    }

    void Write10(ScsiRequest& r) {
        const std::uint32_t lba = Be32(&r.cdb[2]);
        const std::uint32_t count = Be16(&r.cdb[7]);
        std::uint32_t blockSize = 0;
        std::uint64_t bytes = 0;
        if (!CheckWriteTransfer(r, count, blockSize, bytes) || count == 0) return;
        if (disc->Overwritable()) return WriteOverwritable(r, lba, count, bytes);
        const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
        if (!nwa || lba != *nwa) return CheckCondition(r, kInvalidWriteAddress);
        if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);

        // The track's mode is fixed by its first block; data block type and track mode must agree.
        // DVD+R and BD take no write parameters: their blocks are data.
        const bool pageless = Info().writeTypes == 0;
        const bool audio = !pageless && (page05[4] & 0x0F) == 0;
        const bool dataTrackMode = pageless || (page05[3] & 0x04);
        const DiscTrack* open = disc->OpenTrack();
        if (open ? open->audio != audio : audio == dataTrackMode) return CheckCondition(r, kIllegalModeForTrack);
        if (audio && !disc->IsCd()) return CheckCondition(r, kIllegalModeForTrack);
        // Disc at once on DVD-R/-RW: only into the track RESERVE TRACK made.
        if (DiscAtOnce()) {
            if (reservedBlocks == 0) return CheckCondition(r, kSequenceError);
            const std::uint32_t start = open ? open->start : *nwa;
            if (static_cast<std::uint64_t>(lba) + count > static_cast<std::uint64_t>(start) + reservedBlocks)
                return CheckCondition(r, kLbaOutOfRange);
        }
        if (InjectedWriteFault(lba, count)) return CheckCondition(r, kWriteError);

        WaitForBufferRoom(bytes, blockSize, count);
        std::string error;
        const std::uint8_t control = pageless ? 0x04 : static_cast<std::uint8_t>(page05[3] & 0x0F);
        if (!open && !disc->BeginTrack(audio, control, error)) return DiscFailure(r);
        if (!disc->Append(r.data, r.dataLength, count, error)) return DiscFailure(r);
        if ((r.cdb[1] & 0x08) && !disc->Flush(true, error)) return DiscFailure(r);   // FUA
        r.residual = 0;
    }

    bool DiscAtOnce() const {
        return disc && Info().writeTypes == (Bit(0) | Bit(2)) && (page05[2] & 0x0F) == 2;
    }

    // DVD+RW, DVD-RW in restricted overwrite mode, BD-RE: any address below the formatted
    // capacity, once the disc is formatted.
    void WriteOverwritable(ScsiRequest& r, std::uint32_t lba, std::uint32_t count, std::uint64_t bytes) {
        if (!disc->Formatted()) return CheckCondition(r, kMediumNotFormatted);
        if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);
        if ((page05[4] & 0x0F) == 0 && Info().writeTypes != 0) return CheckCondition(r, kIllegalModeForTrack);
        if (InjectedWriteFault(lba, count)) return CheckCondition(r, kWriteError);
        WaitForBufferRoom(bytes, 2048, count);
        std::string error;
        if (!disc->WriteAt(lba, r.data, r.dataLength, count, error)) return DiscFailure(r);
        if ((r.cdb[1] & 0x08) && !disc->Flush(true, error)) return DiscFailure(r);   // FUA
        r.residual = 0;
    }

    // Waits, as the drive does, until the buffer has room for this transfer.
    void WaitForBufferRoom(std::uint64_t bytes, std::uint32_t blockSize, std::uint32_t count) {
        if (TimedSpeed() == 0 || options.stuckBuffer) return;
        const nanoseconds now = Now();
        const std::uint64_t room = kBufferBytes >= bytes ? (kBufferBytes - bytes) / blockSize : 0;
        const nanoseconds keep = BlocksTime(room);
        if (drainEnd - now > keep) clock->SleepFor(drainEnd - now - keep);
        drainEnd = std::max(drainEnd, Now()) + BlocksTime(count);
    }

    void SynchronizeCache(ScsiRequest& r) {
        const bool immediate = r.cdb[1] & 0x02;
        std::string error;
        if (!disc->Flush(true, error)) return DiscFailure(r);
        nanoseconds duration = DrainTime(Now());
        // Disc at once: once the reserved track is full, the drive closes the disc by itself.
        const DiscTrack* open = disc->OpenTrack();
        if (!TestWrite() && DiscAtOnce() && open && reservedBlocks != 0 && open->blocks >= reservedBlocks) {
            if (!disc->CloseSession(false, error)) return DiscFailure(r);
            reservedBlocks = 0;
            closedByDiscAtOnce = true;
            duration += BlocksTime(kCloseTrackBlocks + kFirstLeadInOutBlocks);
        }
        Occupy(duration, immediate, kLongWriteInProgress);
    }

    void CloseTrackSession(ScsiRequest& r) {
        const bool immediate = r.cdb[1] & 0x01;
        const std::uint8_t function = r.cdb[2] & 0x07;
        const MediaInfo& medium = Info();
        if (!(medium.closeFunctions & Bit(function))) return CheckCondition(r, kInvalidField);
        if (!disc->Writable()) return CheckCondition(r, kCannotWriteFormat);
        std::string error;
        nanoseconds duration = DrainTime(Now());
        if (disc->Overwritable()) {
            // Nothing to close: 0 stops a background format (none runs after FORMAT UNIT
            // completes here), 1 and 2 only bring the buffer to the disc.
            if (!disc->Flush(true, error)) return DiscFailure(r);
            return Occupy(duration, immediate, kLongWriteInProgress);
        }
        if (closedByDiscAtOnce && disc->Finalized() && (function == 1 || function == 2)) {
            return Occupy(duration, immediate, kLongWriteInProgress);   // the drive closed it already
        }
        if (function == 1) {
            const DiscTrack* open = disc->OpenTrack();
            if (!open || open->number != Be16(&r.cdb[4])) return CheckCondition(r, kInvalidField);
            if (!disc->CloseTrack(error)) return DiscFailure(r);
            reservedBlocks = 0;
            duration += BlocksTime(kCloseTrackBlocks);
        } else {
            if (disc->Finalized()) return CheckCondition(r, kSequenceError);
            const bool finalize = medium.finalizeFunctions & Bit(function);
            const bool empty = disc->Tracks().empty() || disc->Tracks().back().session != disc->CurrentSession();
            if (empty && finalize && disc->ClosedSessions() > 0) {
                // DVD+R, BD-R: the last session is closed already; finalizing only ends the disc.
                if (!disc->Finalize(error)) return DiscFailure(r);
                duration += BlocksTime(kLaterLeadInOutBlocks);
                return Occupy(duration, immediate, kLongWriteInProgress);
            }
            if (empty) return CheckCondition(r, kSequenceError);
            // A CD or DVD-R session stays open for another when the write parameters say so;
            // DVD+R and BD-R close function 2 always leaves the disc appendable.
            const bool appendable = medium.writeTypes == 0 ? !finalize : (page05[3] >> 6) == 3;
            const bool first = disc->ClosedSessions() == 0;
            if (!disc->CloseSession(appendable, error)) return DiscFailure(r);
            duration += BlocksTime(first ? kFirstLeadInOutBlocks : kLaterLeadInOutBlocks);
        }
        Occupy(duration, immediate, kLongWriteInProgress);
    }

    void Blank(ScsiRequest& r) {
        const bool immediate = r.cdb[1] & 0x10;
        const std::uint8_t type = r.cdb[1] & 0x07;
        if (!Info().blankable) return CheckCondition(r, kIncompatibleMedium);
        if (type > 1) return CheckCondition(r, kInvalidField);
        std::string error;
        // A DVD-RW in restricted overwrite mode is sequential again once blanked.
        const bool ok = disc->Media() == MediaType::DVDRWRestricted ? disc->Reformat(MediaType::DVDRW, true, error)
                                                                     : disc->Blank(error);
        if (!ok) return DiscFailure(r);
        drainEnd = nanoseconds::zero();
        reservedBlocks = 0;
        closedByDiscAtOnce = false;
        Occupy(BlocksTime(type == 0 ? disc->Capacity() : kMinimalBlankBlocks), immediate, kFormatInProgress);
    }

    // Format types a medium offers (MMC, READ FORMAT CAPACITIES): DVD+RW 26h; DVD-RW 00h full
    // and 15h quick (both leave it in restricted overwrite mode); BD-RE 00h, 30h with spare
    // areas, 31h without. Each with the blocks it gives and its type-dependent parameter.
    struct FormatOffer {
        std::uint8_t type;
        std::uint32_t blocks;
        std::uint32_t parameter;
        bool full;   // takes as long as writing the whole disc
    };
    std::vector<FormatOffer> FormatOffers() const {
        const std::uint32_t capacity = disc->Capacity();
        switch (disc->Media()) {
        case MediaType::DVDPlusRW: return {{0x26, capacity, 0, false}};
        case MediaType::DVDRW:
        case MediaType::DVDRWRestricted: return {{0x00, capacity, 16, true}, {0x15, capacity, 16, false}};
        case MediaType::BDRE: return {{0x00, capacity, 0x3000, false}, {0x30, capacity, 0x3000, false}, {0x31, capacity, 0, false}};
        default: return {};
        }
    }

    void ReadFormatCapacities(ScsiRequest& r) {
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        std::vector<std::uint8_t> d(12, 0);
        auto descriptor = [](std::uint8_t* p, std::uint32_t blocks, std::uint8_t typeByte, std::uint32_t parameter) {
            Put32(p, blocks);
            p[4] = typeByte;
            p[5] = static_cast<std::uint8_t>(parameter >> 16);
            Put16(p + 6, parameter);
        };
        if (trayOpen || !disc) {
            descriptor(&d[4], 0xFFFFFFFF, 0x03, 2048);   // no medium: maximum capacity
        } else {
            // Current/maximum capacity: formatted for a written or formatted disc, unformatted
            // for a blank one (with what formatting would give).
            const bool formatted = disc->Overwritable() ? disc->Formatted() : disc->Status() != DiscStatus::Empty;
            descriptor(&d[4], disc->Capacity(), formatted ? 0x02 : 0x01, 2048);
            for (const FormatOffer& f : FormatOffers()) {
                d.resize(d.size() + 8);
                descriptor(&d[d.size() - 8], f.blocks, static_cast<std::uint8_t>(f.type << 2), f.parameter);
            }
        }
        d[3] = static_cast<std::uint8_t>(d.size() - 4);
        SendData(r, std::move(d), allocation);
    }

    void FormatUnit(ScsiRequest& r) {
        const bool fmtData = r.cdb[1] & 0x10;
        if (!fmtData || (r.cdb[1] & 0x07) != 1 || (r.cdb[1] & 0x08)) return CheckCondition(r, kInvalidField);
        const std::vector<FormatOffer> offers = FormatOffers();
        if (offers.empty()) return CheckCondition(r, kIncompatibleMedium);
        if (r.direction != ScsiRequest::Direction::Out || r.dataLength < 12) return CheckCondition(r, kParameterListLength);
        const std::uint8_t* p = r.data;
        if (Be16(&p[2]) != 8) return CheckCondition(r, kInvalidParameter);   // one format descriptor
        const bool immediate = p[1] & 0x02;
        const std::uint32_t blocks = Be32(&p[4]);
        const std::uint8_t type = p[8] >> 2;
        auto offer = std::find_if(offers.begin(), offers.end(), [&](const FormatOffer& f) { return f.type == type; });
        // The block count must be one offered (or all ones: the most the type gives).
        if (offer == offers.end() || (blocks != offer->blocks && blocks != 0xFFFFFFFF))
            return CheckCondition(r, kInvalidParameter);
        // Under Test Write the drive goes through the format's checks and time, nothing recorded.
        if (TestWrite()) return Occupy(BlocksTime(offer->full ? disc->Capacity() : kQuickFormatBlocks), immediate, kFormatUnitInProgress);
        std::string error;
        const MediaType formattedAs = disc->Media() == MediaType::DVDRW ? MediaType::DVDRWRestricted : disc->Media();
        if (!disc->Reformat(formattedAs, true, error)) return DiscFailure(r);
        drainEnd = nanoseconds::zero();
        reservedBlocks = 0;
        closedByDiscAtOnce = false;
        ResetPage05();
        Occupy(BlocksTime(offer->full ? disc->Capacity() : kQuickFormatBlocks), immediate, kFormatUnitInProgress);
    }

    void ReserveTrack(ScsiRequest& r) {
        if (!disc->Writable()) return CheckCondition(r, kCannotWriteFormat);
        if (disc->IsCd() || disc->Overwritable()) return CheckCondition(r, kIncompatibleMedium);
        if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);   // address reservation not offered
        const std::uint32_t size = Be32(&r.cdb[5]);
        const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
        if (disc->OpenTrack() || !nwa || reservedBlocks != 0) return CheckCondition(r, kSequenceError);
        if (size == 0 || static_cast<std::uint64_t>(*nwa) + size > disc->Capacity()) return CheckCondition(r, kInvalidField);
        reservedBlocks = size;
    }

    void ReadBufferCapacity(ScsiRequest& r) {
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        const std::uint32_t used = options.stuckBuffer ? kBufferBytes : BufferedBytes(Now());
        std::vector<std::uint8_t> d(12, 0);
        Put16(&d[0], 10);
        if (r.cdb[1] & 0x01) {   // block form: available space in blocks
            d[5] = 0x01;
            Put32(&d[8], (kBufferBytes - used) / WriteBlockSize());
        } else {
            Put32(&d[4], kBufferBytes);
            Put32(&d[8], kBufferBytes - used);
        }
        SendData(r, std::move(d), allocation);
    }

    // The tracks READ TOC reports: the closed ones.
    std::vector<const DiscTrack*> TocTracks() const {
        std::vector<const DiscTrack*> t;
        for (const DiscTrack& track : disc->Tracks())
            if (track.closed || (disc->Overwritable() && track.blocks > 0)) t.push_back(&track);
        return t;
    }

    void ReadToc(ScsiRequest& r) {
        const bool msf = r.cdb[1] & 0x02;
        std::uint8_t format = r.cdb[2] & 0x0F;
        if (format == 0) format = r.cdb[9] >> 6;   // the older place of the format field
        const std::uint8_t from = r.cdb[6];
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        const std::vector<const DiscTrack*> tracks = TocTracks();
        if (tracks.empty()) return CheckCondition(r, kInvalidField);   // nothing recorded yet
        auto address = [&](std::uint8_t* p, std::uint32_t lba) {
            if (msf) PutMsf(p, lba);
            else Put32(p, lba);
        };
        std::vector<std::uint8_t> d(4, 0);
        if (format == 0) {
            const int last = tracks.back()->number;
            if (from != 0xAA && from > last) return CheckCondition(r, kInvalidField);
            d[2] = 1;
            d[3] = static_cast<std::uint8_t>(last);
            auto descriptor = [&](std::uint8_t control, std::uint8_t number, std::uint32_t lba) {
                std::uint8_t e[8] = {0, static_cast<std::uint8_t>(0x10 | control), number, 0};
                address(e + 4, lba);
                d.insert(d.end(), e, e + 8);
            };
            for (const DiscTrack* t : tracks)
                if (from != 0xAA && t->number >= from) descriptor(t->control, static_cast<std::uint8_t>(t->number), t->start);
            descriptor(tracks.back()->control, 0xAA, tracks.back()->End());
        } else if (format == 1) {
            const int session = tracks.back()->session;
            const DiscTrack* first = *std::find_if(tracks.begin(), tracks.end(),
                                                   [&](const DiscTrack* t) { return t->session == session; });
            d[2] = 1;
            d[3] = static_cast<std::uint8_t>(session);
            std::uint8_t e[8] = {0, static_cast<std::uint8_t>(0x10 | first->control), static_cast<std::uint8_t>(first->number), 0};
            address(e + 4, first->start);
            d.insert(d.end(), e, e + 8);
        } else {
            return CheckCondition(r, kInvalidField);
        }
        Put16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
        SendData(r, std::move(d), allocation);
    }

    void ReadDiscInformation(ScsiRequest& r) {
        if (r.cdb[1] & 0x07) return CheckCondition(r, kInvalidField);   // only standard disc information
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        std::vector<std::uint8_t> d(34, 0);
        Put16(&d[0], 32);
        const DiscStatus status = disc->Status();
        std::uint8_t sessionState = 3, discStatus = 2;
        int sessions = disc->ClosedSessions();
        int firstInLast = 1, lastInLast = 1;
        const auto& tracks = disc->Tracks();
        if (disc->Overwritable() || (status == DiscStatus::Complete && tracks.empty())) {
            // One session with one track: formatted (complete) or not yet (blank). A pressed
            // disc without tracks reads the same way.
            sessions = 1;
            if (status == DiscStatus::Empty) sessionState = 0, discStatus = 0;
        } else if (status == DiscStatus::Complete) {
            const int session = tracks.back().session;
            firstInLast = std::find_if(tracks.begin(), tracks.end(), [&](const DiscTrack& t) { return t.session == session; })->number;
            lastInLast = tracks.back().number;
        } else {
            discStatus = status == DiscStatus::Empty ? 0 : 1;
            sessions = disc->CurrentSession();
            const bool started = !tracks.empty() && tracks.back().session == sessions;
            sessionState = started ? 1 : 0;
            firstInLast = started ? std::find_if(tracks.begin(), tracks.end(), [&](const DiscTrack& t) { return t.session == sessions; })->number
                                  : disc->NextTrackNumber();
            // The incomplete track, or the invisible one after the last closed track.
            lastInLast = (disc->OpenTrack() || !disc->NextWritableAddress()) ? static_cast<int>(tracks.size())
                                                                             : disc->NextTrackNumber();
            if (lastInLast == 0) lastInLast = 1;
        }
        d[2] = static_cast<std::uint8_t>((disc->Rewritable() ? 0x10 : 0) | sessionState << 2 | discStatus);
        d[3] = 1;
        d[4] = static_cast<std::uint8_t>(sessions);
        d[5] = static_cast<std::uint8_t>(firstInLast);
        d[6] = static_cast<std::uint8_t>(lastInLast);
        d[7] = 0x20;   // unrestricted use
        // Background format status of DVD+RW and BD-RE: completed once formatted.
        if ((disc->Media() == MediaType::DVDPlusRW || disc->Media() == MediaType::BDRE) && disc->Formatted())
            d[7] |= 0x03;
        d[8] = 0x00;   // CD-DA or CD-ROM disc
        if (status == DiscStatus::Complete || !disc->IsCd()) {
            std::memset(&d[16], 0xFF, 8);
        } else {
            const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
            PutMsf(&d[16], nwa.value_or(disc->Capacity()));   // next session's lead-in, roughly
            PutMsf(&d[20], disc->Capacity());                 // last possible lead-out start
        }
        SendData(r, std::move(d), allocation);
    }

    void ReadTrackInformation(ScsiRequest& r) {
        const std::uint8_t addressType = r.cdb[1] & 0x03;
        const std::uint32_t value = Be32(&r.cdb[2]);
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        if (disc->Overwritable()) return OverwritableTrackInformation(r, addressType, value, allocation);
        const auto& tracks = disc->Tracks();
        const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
        const bool invisible = nwa && !disc->OpenTrack();   // a blank track after the last one
        const DiscTrack* track = nullptr;
        bool blankTrack = false;
        switch (addressType) {
        case 0:   // LBA
            for (const DiscTrack& t : tracks)
                if (value >= t.start && value < t.End()) track = &t;
            if (!track && disc->OpenTrack() && value >= disc->OpenTrack()->start && value < disc->Capacity()) track = disc->OpenTrack();
            if (!track && invisible && value >= *nwa && value < disc->Capacity()) blankTrack = true;
            break;
        case 1:   // track number
            if (value == 0xFF) {
                if (disc->OpenTrack()) track = disc->OpenTrack();
                else if (invisible) blankTrack = true;
            } else if (value >= 1 && value <= tracks.size()) {
                track = &tracks[value - 1];
            } else if (invisible && value == tracks.size() + 1) {
                blankTrack = true;
            }
            break;
        case 2:   // session number: its first track
            for (const DiscTrack& t : tracks)
                if (!track && t.session == static_cast<int>(value)) track = &t;
            if (!track && invisible && value == static_cast<std::uint32_t>(disc->CurrentSession())) blankTrack = true;
            break;
        default:
            break;
        }
        if (!track && !blankTrack) return CheckCondition(r, kInvalidField);

        std::vector<std::uint8_t> d(36, 0);
        Put16(&d[0], 34);
        const std::uint32_t capacity = disc->Capacity();
        if (blankTrack) {
            const int number = disc->NextTrackNumber();
            d[2] = static_cast<std::uint8_t>(number);
            d[3] = static_cast<std::uint8_t>(disc->CurrentSession());
            d[5] = static_cast<std::uint8_t>(page05[3] & 0x0F);
            d[6] = 0x40 | 0x0F;   // blank, data mode unknown
            d[7] = 0x01;          // NWA valid
            Put32(&d[8], *nwa);
            Put32(&d[12], *nwa);
            Put32(&d[16], capacity - *nwa);
            Put32(&d[24], capacity - *nwa);
        } else {
            d[2] = static_cast<std::uint8_t>(track->number);
            d[3] = static_cast<std::uint8_t>(track->session);
            d[5] = track->control;
            d[6] = track->audio ? 0x0F : 0x01;   // data mode 1
            Put32(&d[8], track->start);
            if (!track->closed) {
                const std::uint32_t next = track->End();
                d[7] = 0x01;
                Put32(&d[12], next);
                Put32(&d[16], capacity - next);
                Put32(&d[24], capacity - track->start);
            } else {
                Put32(&d[24], track->blocks);
            }
            if (track->blocks > 0) {
                d[7] |= 0x02;   // LRA valid
                Put32(&d[28], track->End() - 1);
            }
        }
        SendData(r, std::move(d), allocation);
    }

    // An overwritable disc is one track over the formatted capacity, written from address 0
    // on: the next writable address is 0 and every block is free to (over)write. Unformatted,
    // the track is blank and has no writable address until FORMAT UNIT.
    void OverwritableTrackInformation(ScsiRequest& r, std::uint8_t addressType, std::uint32_t value,
                                      std::uint32_t allocation) {
        const std::uint32_t capacity = disc->Capacity();
        const bool found = (addressType == 0 && value < capacity) || (addressType == 1 && (value == 1 || value == 0xFF)) ||
                           (addressType == 2 && value == 1);
        if (!found) return CheckCondition(r, kInvalidField);
        std::vector<std::uint8_t> d(36, 0);
        Put16(&d[0], 34);
        d[2] = 1;
        d[3] = 1;
        d[5] = 0x04;   // data, recorded uninterrupted
        Put32(&d[24], capacity);
        if (!disc->Formatted()) {
            d[6] = 0x40 | 0x01;   // blank, Mode 1
            Put32(&d[16], capacity);
        } else {
            d[6] = 0x01;
            d[7] = 0x01;          // NWA valid
            Put32(&d[12], 0);
            Put32(&d[16], capacity);
            const DiscTrack* t = disc->Tracks().empty() ? nullptr : &disc->Tracks().front();
            if (t && t->blocks > 0) {
                d[7] |= 0x02;     // LRA valid: the last block written
                Put32(&d[28], t->End() - 1);
            }
        }
        SendData(r, std::move(d), allocation);
    }

    std::uint16_t CurrentProfile() const {
        if (trayOpen || !disc) return 0x0000;
        return disc->Info().profile;
    }

    // The profiles a DVD/BD writer of today lists, in the descending order drives use.
    static constexpr std::uint16_t kProfiles[] = {0x0043, 0x0041, 0x0040, 0x002B, 0x001B, 0x001A, 0x0015, 0x0014,
                                                  0x0013, 0x0011, 0x0010, 0x000A, 0x0009, 0x0008};

    void GetConfiguration(ScsiRequest& r) {
        const std::uint8_t rt = r.cdb[1] & 0x03;
        const std::uint16_t start = Be16(&r.cdb[2]);
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        if (rt == 3) return CheckCondition(r, kInvalidField);
        const std::uint16_t profile = CurrentProfile();
        const MediaType media = profile == 0 ? MediaType::None : disc->Media();
        const MediaInfo& medium = Medium(media);
        const bool present = profile != 0;
        const bool cd = present && medium.family == MediaFamily::CD;
        const bool dvd = present && medium.family == MediaFamily::DVD;
        const bool bd = present && medium.family == MediaFamily::BD;
        const bool cdWrite = media == MediaType::CDR || media == MediaType::CDRW;
        const bool dash = media == MediaType::DVDR || media == MediaType::DVDRW;
        const bool overwritable = present && medium.recording == Recording::Overwritable;
        const bool formatted = overwritable && disc->Formatted();
        const std::uint8_t testWrite = options.noTestWrite ? 0x00 : 0x04;   // Test Write of 002Dh and 002Fh
        struct Feature {
            std::uint16_t code;
            bool current;
            std::uint8_t version;
            std::vector<std::uint8_t> data;
        };
        std::vector<std::uint8_t> profiles;
        for (std::uint16_t p : kProfiles) {
            profiles.push_back(static_cast<std::uint8_t>(p >> 8));
            profiles.push_back(static_cast<std::uint8_t>(p));
            profiles.push_back(p == profile ? 0x01 : 0x00);
            profiles.push_back(0);
        }
        std::vector<std::uint8_t> randomWritable(12, 0);
        Put32(&randomWritable[0], (present ? disc->Capacity() : kDefaultDvdCapacity) - 1);   // last LBA
        Put32(&randomWritable[4], 2048);
        Put16(&randomWritable[8], media == MediaType::BDRE ? 32 : 16);                           // blocking
        randomWritable[10] = 0x01;                                                              // PP
        const std::uint8_t linkSize = cd ? 7 : 16;
        // BD class bitmaps: BD-RE version 2, BD-R version 1, BD-ROM version 1 of class 0.
        const std::vector<std::uint8_t> bdRead = {0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0,
                                                  0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0};
        const std::vector<std::uint8_t> bdWrite = {0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x02, 0, 0,
                                                   0, 0, 0, 0};
        const std::vector<Feature> features = {
            {0x0000, true, 0, profiles},                                   // profile list
            {0x0001, true, 1, {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}},   // core: SCSI
            {0x0002, true, 1, {0x02, 0, 0, 0}},                            // morphing: OCEvent
            {0x0003, true, 0, {static_cast<std::uint8_t>(0x20 | 0x08 | 0x01 | (prevent ? 0x04 : 0)), 0, 0, 0}},   // removable: tray
            {0x0010, present, 0, {0x00, 0x00, 0x08, 0x00, 0x00, static_cast<std::uint8_t>(cd ? 1 : 16), 0x00, 0x00}},   // random readable, 2048
            {0x001E, cd, 1, {0x00, 0x00, 0x00, 0x00}},                     // CD read
            {0x001F, dvd, 0, {}},                                          // DVD read
            {0x0020, formatted, 0, randomWritable},                        // random writable
            {0x0021, cdWrite || dash || media == MediaType::BDR, 1,        // incremental streaming writable
             {0x01, static_cast<std::uint8_t>(cd ? 0x01 : 0x00), 0x01, 0x01, linkSize, 0, 0, 0}},   // Mode 1 (and raw on CD), BUF
            {0x0023, overwritable || media == MediaType::DVDRW, 0, {0, 0, 0, 0}},   // formattable
            {0x0026, media == MediaType::DVDRWRestricted, 0, {0, 0, 0, 0}},   // restricted overwrite
            {0x002A, media == MediaType::DVDPlusRW, 1, {0x01, 0x00, 0, 0}},  // DVD+RW: write
            {0x002B, media == MediaType::DVDPlusR || media == MediaType::DVDPlusRDL, 0, {0x01, 0, 0, 0}},   // DVD+R: write
            {0x002D, cdWrite, 2, {static_cast<std::uint8_t>(0x40 | testWrite), 0x00, 0x00, 0x00}},   // CD track at once, BUF
            {0x002F, dash, 1, {static_cast<std::uint8_t>(0x42 | testWrite), 0, 0, 0}},   // DVD-R/-RW write: BUF, DVD-RW
            {0x003B, media == MediaType::DVDPlusRDL, 0, {0x01, 0, 0, 0}},  // DVD+R DL: write
            {0x0040, bd, 1, bdRead},                                       // BD read
            {0x0041, media == MediaType::BDR || media == MediaType::BDRE, 1, bdWrite},   // BD write
        };
        std::vector<std::uint8_t> d(8, 0);
        Put16(&d[6], profile);
        for (const Feature& f : features) {
            if (f.code < start || (rt == 1 && !f.current) || (rt == 2 && f.code != start)) continue;
            d.push_back(static_cast<std::uint8_t>(f.code >> 8));
            d.push_back(static_cast<std::uint8_t>(f.code));
            d.push_back(static_cast<std::uint8_t>(f.version << 2 | (f.code <= 0x0003 ? 0x02 : 0) | (f.current ? 1 : 0)));
            d.push_back(static_cast<std::uint8_t>(f.data.size()));
            d.insert(d.end(), f.data.begin(), f.data.end());
        }
        Put32(&d[0], static_cast<std::uint32_t>(d.size() - 4));
        SendData(r, std::move(d), allocation);
    }

    void ReadDvdStructure(ScsiRequest& r) {
        if (!disc->IsDvd()) return CheckCondition(r, kCannotReadFormat);
        const std::uint8_t layer = r.cdb[6];
        const std::uint8_t format = r.cdb[7];
        const std::uint32_t allocation = Be16(&r.cdb[8]);
        std::vector<std::uint8_t> d;
        if (format == 0x00) {
            if (layer != 0) return CheckCondition(r, kInvalidField);
            d.assign(4 + 2048, 0);
            // Book type and part version; layers and layer type (1 embossed, 2 recordable,
            // 4 rewritable).
            std::uint8_t book = 0x01, layer = 0x01;
            switch (disc->Media()) {
            case MediaType::DVDR: book = 0x25, layer = 0x02; break;
            case MediaType::DVDRW:
            case MediaType::DVDRWRestricted: book = 0x32, layer = 0x04; break;
            case MediaType::DVDPlusR: book = 0xA1, layer = 0x02; break;
            case MediaType::DVDPlusRDL: book = 0xE1, layer = 0x20 | 0x02; break;
            case MediaType::DVDPlusRW: book = 0x92, layer = 0x04; break;
            default: break;
            }
            d[4] = book;
            d[5] = 0x02;                       // 120 mm, 10.08 Mbps
            d[6] = layer;
            d[7] = 0x00;                       // 0.267 um/bit, 0.74 um/track
            const std::uint32_t first = 0x030000;
            Put32(&d[8], first);
            Put32(&d[12], first + disc->Capacity() - 1);
        } else if (format == 0xFF) {   // the structure list: just format 0
            d = {0, 0, 0, 0, 0x00, 0x40, 0x08, 0x02};
        } else {
            return CheckCondition(r, kInvalidField);
        }
        Put16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
        SendData(r, std::move(d), allocation);
    }

    void ModeSense10(ScsiRequest& r) {
        const std::uint8_t pc = r.cdb[2] >> 6;
        const std::uint8_t page = r.cdb[2] & 0x3F;
        const std::uint32_t allocation = Be16(&r.cdb[7]);
        if (r.cdb[3] != 0) return CheckCondition(r, kInvalidField);   // no subpages
        if (pc == 3) return CheckCondition(r, kSavingNotSupported);
        if (page != 0x05 && page != 0x2A && page != 0x3F) return CheckCondition(r, kInvalidField);
        std::vector<std::uint8_t> d(8, 0);
        if (page == 0x05 || page == 0x3F) {
            const auto p = pc == 0 ? page05 : pc == 1 ? ChangeablePage05() : DefaultPage05();
            d.insert(d.end(), p.begin(), p.end());
        }
        if (page == 0x2A || page == 0x3F) {
            const auto p = Page2A(pc == 1);
            d.insert(d.end(), p.begin(), p.end());
        }
        Put16(&d[0], static_cast<std::uint32_t>(d.size() - 2));
        SendData(r, std::move(d), allocation);
    }

    void ModeSelect10(ScsiRequest& r) {
        const std::uint32_t listLength = Be16(&r.cdb[7]);
        if (listLength == 0) return;
        if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);     // SP: nothing is saved
        if (!(r.cdb[1] & 0x10)) return CheckCondition(r, kInvalidField);  // pages must be in MMC format
        if (r.dataLength < listLength || r.direction != ScsiRequest::Direction::Out)
            return CheckCondition(r, kParameterListLength);
        const std::uint8_t* p = r.data;
        if (listLength < 8) return CheckCondition(r, kParameterListLength);
        const std::uint32_t bdl = Be16(&p[6]);
        if (bdl != 0 && bdl != 8) return CheckCondition(r, kInvalidParameter);
        if (8 + bdl > listLength) return CheckCondition(r, kParameterListLength);

        auto newPage05 = page05;
        const auto mask05 = ChangeablePage05();
        std::uint32_t pos = 8 + bdl;
        while (pos < listLength) {
            if (pos + 2 > listLength) return CheckCondition(r, kParameterListLength);
            const std::uint8_t code = p[pos] & 0x3F;
            const std::uint32_t length = p[pos + 1];
            if (p[pos] & 0x40) return CheckCondition(r, kInvalidParameter);   // no subpage format
            if (pos + 2 + length > listLength) return CheckCondition(r, kParameterListLength);
            const std::uint8_t* page = p + pos;
            if (code == 0x05) {
                // DVD+R and BD are written without write parameters; these drives refuse the page.
                if (disc && !trayOpen && Info().writeTypes == 0) return CheckCondition(r, kInvalidParameter);
                if (length != kPage05Length - 2) return CheckCondition(r, kInvalidParameter);
                for (std::size_t i = 2; i < kPage05Length; ++i)
                    if ((page[i] ^ newPage05[i]) & ~mask05[i]) return CheckCondition(r, kInvalidParameter);
                std::copy(page + 2, page + kPage05Length, newPage05.begin() + 2);
            } else if (code == 0x2A) {
                const auto current = Page2A(false);
                if (length + 2 != current.size() || !std::equal(page + 2, page + 2 + length, current.begin() + 2))
                    return CheckCondition(r, kInvalidParameter);
            } else {
                return CheckCondition(r, kInvalidParameter);
            }
            pos += 2 + length;
        }
        // Values this drive can write with: the medium's write types (track at once or session
        // at once on a CD; incremental or disc at once on DVD-R/-RW, where track at once is
        // refused), Mode 1 or raw audio blocks (Mode 1 only on DVD-R/-RW), CD-DA/CD-ROM, CD-I
        // or XA sessions, a valid multisession field.
        const std::uint8_t writeType = newPage05[2] & 0x0F;
        const std::uint8_t blockType = newPage05[4] & 0x0F;
        const std::uint8_t trackMode = newPage05[3] & 0x0F;
        const std::uint8_t session = newPage05[8];
        const MediaInfo& medium = (disc && !trayOpen) ? Info() : Medium(MediaType::None);
        const bool dash = medium.writeTypes == (Bit(0) | Bit(2));
        if (writeType > 7 || !(medium.writeTypes & Bit(writeType)) || (dash && blockType != 8) ||
            (blockType != 0 && blockType != 8) ||
            (session != 0x00 && session != 0x10 && session != 0x20) || (newPage05[3] >> 6) == 2 ||
            ((trackMode & 0x04) && (trackMode & 0x08)))
            return CheckCondition(r, kInvalidParameter);
        page05 = newPage05;
    }

    // --------------------------------------------------------------------------------------
    // Write speed

    // The time model runs at the lower of the attach speed and the chosen one.
    unsigned TimedSpeed() const {
        if (setSpeed == 0) return options.speed;
        return options.speed == 0 ? setSpeed : std::min(options.speed, setSpeed);
    }
    unsigned SelectedSpeed() const { return TimedSpeed() == 0 ? ReportedSpeed() : TimedSpeed(); }
    // The speeds of the disc in the drive (a CD's when there is none).
    const FamilySpeeds& Speeds() const { return SpeedsOf(disc ? Info().family : MediaFamily::CD); }
    // kB/s of 1x as the drive counts it.
    unsigned KBsPerX() const { return Speeds().kbsPerX; }
    // The drive's best speed for the disc in it, in x.
    unsigned MaxSpeed() const { return Speeds().offered[0]; }
    // The write speeds offered for the disc in the drive, fastest first, in x.
    std::vector<unsigned> OfferedSpeeds() const {
        const unsigned top = ReportedSpeed();
        std::vector<unsigned> speeds{top};
        for (unsigned x : Speeds().offered)
            if (x != 0 && x < top) speeds.push_back(x);
        return speeds;
    }
    // A drive takes the fastest offered speed at or below the one asked (within rounding), the
    // slowest when all are faster; FFFFh (or more) asks for the best.
    void ChooseSpeed(std::uint64_t kbs) {
        if (kbs >= 0xFFFF) {
            setSpeed = 0;
            return;
        }
        const std::vector<unsigned> offered = OfferedSpeeds();
        setSpeed = offered.back();
        for (unsigned x : offered) {
            if (static_cast<std::uint64_t>(x) * KBsPerX() <= kbs + KBsPerX() / 50) {
                setSpeed = x;
                break;
            }
        }
        if (setSpeed == offered.front()) setSpeed = 0;
    }

    void SetCdSpeed(ScsiRequest& r) {
        ChooseSpeed(Be16(&r.cdb[4]));
    }

    void SetStreaming(ScsiRequest& r) {
        const std::uint32_t listLength = Be16(&r.cdb[9]);
        if (r.cdb[8] != 0) return CheckCondition(r, kInvalidField);   // only performance descriptors
        if (listLength == 0) return;
        if (listLength < 28 || r.dataLength < listLength || r.direction != ScsiRequest::Direction::Out)
            return CheckCondition(r, kParameterListLength);
        const std::uint8_t* d = r.data;
        if (d[0] & 0x04) {   // RDD: back to the drive's own speeds
            setSpeed = 0;
            return;
        }
        const std::uint32_t size = Be32(&d[20]), time = Be32(&d[24]);
        if (time == 0) return CheckCondition(r, kInvalidParameter);
        ChooseSpeed(static_cast<std::uint64_t>(size) * 1000u / time);
    }

    void GetPerformance(ScsiRequest& r) {
        const std::uint32_t allocation = 8 + 16u * Be16(&r.cdb[8]);
        if (r.cdb[10] != 0x03) return CheckCondition(r, kInvalidField);   // write speed descriptors only
        const std::vector<unsigned> offered = OfferedSpeeds();
        std::vector<std::uint8_t> d(8 + 16 * offered.size(), 0);
        Put32(&d[0], static_cast<std::uint32_t>(d.size() - 4));
        const std::uint32_t read = std::max(MaxSpeed(), offered.front()) * KBsPerX();
        for (std::size_t i = 0; i < offered.size(); ++i) {
            std::uint8_t* e = &d[8 + 16 * i];
            Put32(e + 4, disc->Capacity() - 1);
            Put32(e + 8, read);
            Put32(e + 12, offered[i] * KBsPerX());
        }
        SendData(r, std::move(d), allocation);
    }

    // --------------------------------------------------------------------------------------
    // Test write: every check and the time of a burn, nothing recorded

    bool TestWrite() const { return page05[2] & 0x10; }

    void WriteOrSimulate(ScsiRequest& r) { TestWrite() ? SimulatedWrite10(r) : Write10(r); }
    void CloseOrSimulate(ScsiRequest& r) { TestWrite() ? SimulatedClose(r) : CloseTrackSession(r); }

    void SimulatedWrite10(ScsiRequest& r) {
        const std::uint32_t lba = Be32(&r.cdb[2]);
        const std::uint32_t count = Be16(&r.cdb[7]);
        std::uint32_t blockSize = 0;
        std::uint64_t bytes = 0;
        if (!CheckWriteTransfer(r, count, blockSize, bytes) || count == 0) return;
        if (disc->Overwritable()) {
            if (!disc->Formatted()) return CheckCondition(r, kMediumNotFormatted);
            if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);
            if (InjectedWriteFault(lba, count)) return CheckCondition(r, kWriteError);
            WaitForBufferRoom(bytes, 2048, count);
            r.residual = 0;
            return;
        }
        const std::optional<std::uint32_t> nwa =
            sim.open || sim.closedTracks > 0 ? std::optional<std::uint32_t>(sim.next) : disc->NextWritableAddress();
        if (!nwa || lba != *nwa) return CheckCondition(r, kInvalidWriteAddress);
        if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);
        const bool audio = (page05[4] & 0x0F) == 0;
        const bool dataTrackMode = page05[3] & 0x04;
        if ((!sim.open && audio == dataTrackMode) || (audio && disc->IsDvd())) return CheckCondition(r, kIllegalModeForTrack);
        if (InjectedWriteFault(lba, count)) return CheckCondition(r, kWriteError);
        WaitForBufferRoom(bytes, blockSize, count);
        sim.open = true;
        sim.next = lba + count;
        r.residual = 0;
    }

    void SimulatedClose(ScsiRequest& r) {
        const bool immediate = r.cdb[1] & 0x01;
        const std::uint8_t function = r.cdb[2] & 0x07;
        if (function != 1 && function != 2) return CheckCondition(r, kInvalidField);
        if (!disc->Writable()) return CheckCondition(r, kCannotWriteFormat);
        nanoseconds duration = DrainTime(Now());
        if (disc->Overwritable()) return Occupy(duration, immediate, kLongWriteInProgress);   // nothing to close
        if (function == 1) {
            if (!sim.open || Be16(&r.cdb[4]) != disc->NextTrackNumber() + sim.closedTracks)
                return CheckCondition(r, kInvalidField);
            sim.open = false;
            ++sim.closedTracks;
            duration += BlocksTime(kCloseTrackBlocks);
        } else {
            if (disc->Finalized() || sim.closedTracks == 0) return CheckCondition(r, kSequenceError);
            duration += BlocksTime(disc->ClosedSessions() == 0 ? kFirstLeadInOutBlocks : kLaterLeadInOutBlocks);
            sim = Simulation{};
            reservedBlocks = 0;   // the simulated disc-at-once track is gone with the session
        }
        Occupy(duration, immediate, kLongWriteInProgress);
    }

    DiscState State() const {
        DiscState s;
        if (!disc) return s;
        s.media = disc->Media();
        s.capacity = disc->Capacity();
        s.formatted = disc->Formatted();
        s.closedSessions = disc->ClosedSessions();
        s.finalized = disc->Finalized();
        s.status = disc->Status();
        s.nextWritableAddress = disc->NextWritableAddress();
        for (const DiscTrack& t : disc->Tracks())
            s.tracks.push_back(TrackState{t.number, t.session, t.start, t.blocks, t.closed, t.audio, t.control, t.filePath});
        return s;
    }
};

// ------------------------------------------------------------------------------------------

VirtualWriter::VirtualWriter(const VirtualDriveOptions& options, std::shared_ptr<VirtualClock> clock)
    : options_(options), impl_(std::make_unique<Impl>(options, std::move(clock))) {}

VirtualWriter::~VirtualWriter() = default;

std::shared_ptr<VirtualWriter> VirtualWriter::Open(const VirtualDriveOptions& options, std::string& error,
                                                   std::shared_ptr<VirtualClock> clock) {
    AttachFailure failure = AttachFailure::None;
    return Open(options, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> VirtualWriter::Open(const VirtualDriveOptions& options, std::string& error,
                                                   AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    if (options.path.empty()) {
        error = "virtual drive: no CUE sheet path";
        return nullptr;
    }
    if (options.path.find_first_of("\"\n\r") != std::string::npos) {
        error = "virtual drive: the CUE sheet path " + options.path + " may not contain a double quote or a line break";
        return nullptr;
    }
    // A sheet reached through a link is the file it names: its tracks lie beside that file, its
    // lock too, and saving it replaces that file rather than the link.
    VirtualDriveOptions opened = options;
    struct stat st {};
    if (::lstat(options.path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (!::realpath(options.path.c_str(), resolved)) {
            error = "virtual drive: " + options.path + " is a link to nothing that can be read: " + std::strerror(errno);
            return nullptr;
        }
        opened.path = resolved;
    }
    std::shared_ptr<VirtualWriter> writer(new VirtualWriter(opened, clock ? std::move(clock) : SystemClock()));
    if (::stat(opened.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "virtual drive: " + opened.path + " is not a regular file";
        return nullptr;
    }
    // The disc is read only under its lock, so what is read is what no other program changes.
    // Making a new disc changes the folder: that takes the exclusive lock whatever comes next.
    DiscLock::Outcome locked = DiscLock::Outcome::Error;
    bool firstHolder = false;
    const bool exists = ::stat(opened.path.c_str(), &st) == 0 || errno != ENOENT;
    writer->lock_ = DiscLock::Acquire(opened.path, exists ? opened.access : DiscAccess::Exclusive, locked,
                                      firstHolder, error);
    if (!writer->lock_) {
        if (locked == DiscLock::Outcome::InUse) failure = AttachFailure::InUse;
        return nullptr;
    }
    if (firstHolder) RemoveOrphanedTemporarySheets(opened.path);
    if (::stat(opened.path.c_str(), &st) == 0) {
        writer->impl_->disc = VirtualDisc::Load(opened.path, error);
        if (!writer->impl_->disc) return nullptr;
    } else if (errno != ENOENT) {
        error = "virtual drive: cannot read " + opened.path + ": " + std::strerror(errno);
        return nullptr;
    } else {
        const MediaType media = opened.media.value_or(MediaType::CDR);
        if (opened.unformatted && Medium(media).recording != Recording::Overwritable) {
            error = "virtual drive: unformatted applies to dvd+rw, dvd-rw-ro and bd-re only";
            return nullptr;
        }
        if (media != MediaType::None) {
            const std::uint32_t capacity = opened.capacity.value_or(Medium(media).capacity);
            writer->impl_->disc = VirtualDisc::Create(opened.path, media, capacity, error, !opened.unformatted);
            if (!writer->impl_->disc) {
                error = "virtual drive: " + error;
                return nullptr;
            }
        }
    }
    writer->impl_->ResetPage05();   // the medium's own write parameters
    failure = AttachFailure::None;
    return writer;
}

bool VirtualWriter::Execute(win::ScsiRequest& request) { return impl_->Execute(request); }

std::string VirtualWriter::DevicePath() const { return options_.path; }

bool VirtualWriter::EjectTray() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->prevent) return false;
    return impl_->OpenTrayLocked();
}

void VirtualWriter::CloseTray() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->trayOpen = false;
}

bool VirtualWriter::RemoveDisc(std::string& error) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->trayOpen) {
        error = "the tray is closed";
        return false;
    }
    if (impl_->disc && !impl_->disc->Flush(true, error)) return false;
    impl_->disc.reset();
    return true;
}

bool VirtualWriter::InsertBlankDisc(MediaType media, std::uint32_t capacity, std::string& error, bool formatted) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->trayOpen) {
        error = "the tray is closed";
        return false;
    }
    if (media == MediaType::None || capacity == 0 || capacity > 0x7FFFFFFFu) {
        error = "no such blank disc";
        return false;
    }
    if (!impl_->disc) {
        std::string ignored;
        impl_->disc = VirtualDisc::Load(options_.path, ignored);
    }
    if (impl_->disc && !impl_->disc->Remove(error)) return false;
    impl_->disc = VirtualDisc::Create(options_.path, media, capacity, error, formatted);
    impl_->ResetPage05();
    return impl_->disc != nullptr;
}

DiscState VirtualWriter::State() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->State();
}

bool VirtualWriter::Flush() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string error;
    return !impl_->disc || impl_->disc->Flush(true, error);
}

char VirtualWriter::DriveLetter() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->letter;
}

void VirtualWriter::SetDriveLetter(char letter) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->letter = letter;
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  std::shared_ptr<VirtualClock> clock) {
    AttachFailure failure = AttachFailure::None;
    return AttachVirtualDrive(driveSpec, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const std::string& driveSpec, std::string& error,
                                                  AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    VirtualDriveOptions options;
    if (!ParseVirtualDriveSpec(driveSpec, options, error)) return nullptr;
    return AttachVirtualDrive(options, error, failure, std::move(clock));
}

std::shared_ptr<VirtualWriter> AttachVirtualDrive(const VirtualDriveOptions& options, std::string& error,
                                                  AttachFailure& failure, std::shared_ptr<VirtualClock> clock) {
    failure = AttachFailure::Other;
    std::shared_ptr<VirtualWriter> writer = VirtualWriter::Open(options, error, failure, std::move(clock));
    if (!writer) return nullptr;
    failure = AttachFailure::Other;
    const char letter = win::AttachVirtualDevice(writer);
    if (letter == 0) {
        error = "virtual drive '" + options.path + "': no drive letter left";
        return nullptr;
    }
    writer->SetDriveLetter(letter);
    failure = AttachFailure::None;
    return writer;
}

void DetachVirtualDrive(const std::shared_ptr<VirtualWriter>& writer) {
    if (!writer) return;
    win::DetachVirtualDevice(writer);
    writer->Flush();
    writer->SetDriveLetter(0);
}

}  // namespace vdrive
