// The device side of the virtual writer: one handler per command of the command table, a
// medium check before the handlers that need a disc, and every failure through
// CheckCondition; the buffer and busy-time model and the injected faults. Writer state (next
// writable address, track and session state) lives in VirtualDisc.
#include "vdrive/WriterImpl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace vdrive {

// ------------------------------------------------------------------------------------------
// Clocks

namespace {

class SystemClockImpl final : public VirtualClock {
public:
    nanoseconds Now() override {
        return std::chrono::duration_cast<nanoseconds>(std::chrono::steady_clock::now().time_since_epoch());
    }
    void SleepFor(nanoseconds duration) override {
        if (duration > nanoseconds::zero()) std::this_thread::sleep_for(duration);
    }
};

}  // namespace

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
// The device

VirtualWriter::VirtualWriter(const VirtualDriveOptions& options, std::shared_ptr<VirtualClock> clock)
    : options_(options), impl_(std::make_unique<Impl>(options, std::move(clock))) {}

VirtualWriter::~VirtualWriter() = default;

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

DiscState VirtualWriter::State() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->State();
}

char VirtualWriter::DriveLetter() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->letter;
}

void VirtualWriter::SetDriveLetter(char letter) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->letter = letter;
}

// ------------------------------------------------------------------------------------------
// Dispatch, results and time

void VirtualWriter::Impl::BuildTable() {
    namespace cmd = kvcat::cmd;
    auto set = [&](const kvcat::Command& command, Handler h, std::uint8_t flags, std::uint8_t lengthOffset = 0,
                   std::uint8_t lengthWidth = 0) {
        table[command.opcode] = Command{h, &command, flags, lengthOffset, lengthWidth};
    };
    set(cmd::TestUnitReady, &Impl::TestUnitReady, kNeedsMedium);
    set(cmd::RequestSense, &Impl::RequestSense, kWhileBusy | kAlwaysReady);
    set(cmd::FormatUnit, &Impl::FormatUnit, kNeedsMedium | kChangesDisc);
    set(cmd::Inquiry, &Impl::Inquiry, kWhileBusy | kAlwaysReady, 4, 1);
    set(cmd::StartStopUnit, &Impl::StartStopUnit, 0);
    // The tray lock needs no disc: a drive still becoming ready takes it (and lets it go).
    set(cmd::PreventAllow, &Impl::PreventAllow, kAlwaysReady);
    set(cmd::Read10, &Impl::Read10, kNeedsMedium);
    set(cmd::ReadFormatCapacities, &Impl::ReadFormatCapacities, 0, 3, 1);
    set(cmd::Write10, &Impl::WriteOrSimulate, kNeedsMedium | kChangesDisc);
    set(cmd::SynchronizeCache, &Impl::SynchronizeCache, kNeedsMedium);
    set(cmd::ReadToc, &Impl::ReadToc, kNeedsMedium, 0, 2);
    if (!options.noGetConfiguration) set(cmd::GetConfiguration, &Impl::GetConfiguration, kWhileBusy, 0, 4);
    set(cmd::ReadDiscInformation, &Impl::ReadDiscInformation, kNeedsMedium, 0, 2);
    set(cmd::ReadTrackInformation, &Impl::ReadTrackInformation, kNeedsMedium, 0, 2);
    set(cmd::ReserveTrack, &Impl::ReserveTrack, kNeedsMedium | kChangesDisc);
    set(cmd::ModeSelect10, &Impl::ModeSelect10, 0);
    set(cmd::ModeSense10, &Impl::ModeSense10, 0, 0, 2);
    set(cmd::CloseTrackSession, &Impl::CloseOrSimulate, kNeedsMedium | kChangesDisc);
    if (!options.noReadBufferCapacity) set(cmd::ReadBufferCapacity, &Impl::ReadBufferCapacity, kWhileBusy, 0, 2);
    set(cmd::Blank, &Impl::Blank, kNeedsMedium | kChangesDisc);
    set(cmd::ReadDvdStructure, &Impl::ReadDvdStructure, kNeedsMedium, 0, 2);
    set(cmd::GetPerformance, &Impl::GetPerformance, kNeedsMedium, 0, 4);
    set(cmd::SetStreaming, &Impl::SetStreaming, 0);
    set(cmd::SetCdSpeed, &Impl::SetCdSpeed, 0);
}

bool VirtualWriter::Impl::DataFlowsAsCommanded(const ScsiRequest& r) const {
    const kvcat::Command* c = table[r.cdb[0]].command;
    const auto wanted = c->direction == kvcat::DataDirection::Out  ? ScsiRequest::Direction::Out
                        : c->direction == kvcat::DataDirection::In ? ScsiRequest::Direction::In
                                                                   : ScsiRequest::Direction::None;
    return r.direction == wanted;
}

void VirtualWriter::Impl::FillSense(std::uint8_t* s, Sense sense, int progress) {
    std::memset(s, 0, 18);
    s[0] = 0x70;   // current error, fixed format
    s[2] = sense.key;
    s[7] = 10;     // additional sense length
    s[12] = sense.asc;
    s[13] = sense.ascq;
    if (progress >= 0) {   // sense-key specific: progress indication (SPC)
        s[15] = 0x80;
        Store16(s + 16, static_cast<std::uint32_t>(progress));
    }
}

void VirtualWriter::Impl::CheckCondition(ScsiRequest& r, Sense sense, int progress) {
    r.status = 2;
    FillSense(r.sense, sense, progress);
    r.senseLength = 18;
    r.residual = r.dataLength;
}

void VirtualWriter::Impl::SendData(ScsiRequest& r, std::vector<std::uint8_t> reply, std::uint32_t allocation) {
    const Command& c = table[r.cdb[0]];
    if (options.badReply && c.lengthWidth != 0 && reply.size() >= c.lengthOffset + c.lengthWidth) {
        // Claim far more than is sent, as a broken drive does.
        std::uint8_t* p = reply.data() + c.lengthOffset;
        if (c.lengthWidth == 1) p[0] = 0xFF;
        else if (c.lengthWidth == 2) Store16(p, 0xFFF0);
        else Store32(p, 0x00FFFFF0);
    }
    const std::uint32_t n = std::min<std::uint32_t>({allocation, r.dataLength, static_cast<std::uint32_t>(reply.size())});
    if (n > 0) std::memcpy(r.data, reply.data(), n);
    r.residual = r.dataLength - n;
}

void VirtualWriter::Impl::DiscFailure(ScsiRequest& r) {
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

int VirtualWriter::Impl::BusyProgress(nanoseconds now) const {
    const auto total = (busyUntil - busyStart).count();
    if (total <= 0) return 0;
    const auto done = std::clamp<long long>((now - busyStart).count(), 0, total);
    return static_cast<int>(static_cast<long double>(done) * 65535 / total);
}

nanoseconds VirtualWriter::Impl::BlocksTime(std::uint64_t blocks) const {
    const unsigned speed = TimedSpeed();
    if (speed == 0) return nanoseconds::zero();
    return nanoseconds(static_cast<long long>(blocks * 1000000000ull / (75ull * speed)));
}

std::uint32_t VirtualWriter::Impl::WriteBlockSize() const {
    if (disc && !disc->IsCd()) return 2048u;   // DVD and BD blocks are always 2048 bytes
    return (page05[4] & 0x0F) == 0 ? 2352u : 2048u;
}

std::uint32_t VirtualWriter::Impl::BufferedBytes(nanoseconds now) const {
    if (TimedSpeed() == 0 || drainEnd <= now) return 0;
    const auto perBlock = BlocksTime(1).count();
    const auto left = (drainEnd - now).count();
    const std::uint64_t blocks = static_cast<std::uint64_t>((left + perBlock - 1) / perBlock);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(blocks * WriteBlockSize(), kBufferBytes));
}

void VirtualWriter::Impl::Occupy(nanoseconds duration, bool immediate, Sense sense) {
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

bool VirtualWriter::Impl::Execute(ScsiRequest& r) {
    if (r.cdbLength == 0 || r.cdbLength > sizeof r.cdb) return false;
    if (r.dataLength > 0 && r.data == nullptr) return false;
    std::lock_guard<std::mutex> lock(mutex);
    r.status = 0;
    std::memset(r.sense, 0, sizeof r.sense);
    r.senseLength = 0;
    r.residual = r.dataLength;

    const Command& c = table[r.cdb[0]];
    if (!c.handler) return CheckCondition(r, kInvalidOpcode), true;
    if (r.cdbLength < c.command->cdbLength) return CheckCondition(r, kInvalidField), true;
    if (!(c.flags & kAlwaysReady) && notReadyLeft > 0) {
        --notReadyLeft;
        return CheckCondition(r, kBecomingReady), true;
    }
    const nanoseconds now = Now();
    if (!(c.flags & kWhileBusy) && Busy(now)) return CheckCondition(r, busySense, BusyProgress(now)), true;
    if ((c.flags & kNeedsMedium) && (trayOpen || !disc)) return CheckCondition(r, trayOpen ? kTrayOpen : kNoMedium), true;
    // A disc held beside other programs' queries (or in a folder that cannot be written)
    // is write-protected for this program.
    if (options.access == DiscAccess::Shared && (c.flags & kChangesDisc))
        return CheckCondition(r, kWriteProtected), true;
    (this->*c.handler)(r);
    return true;
}

void VirtualWriter::Impl::RequestSense(ScsiRequest& r) {
    if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);   // descriptor format
    std::vector<std::uint8_t> s(18);
    const nanoseconds now = Now();
    if (Busy(now)) FillSense(s.data(), busySense, BusyProgress(now));
    else if (notReadyLeft > 0) FillSense(s.data(), kBecomingReady, -1);
    else if (trayOpen || !disc) FillSense(s.data(), trayOpen ? kTrayOpen : kNoMedium, -1);
    else FillSense(s.data(), kNoSense, -1);
    SendData(r, std::move(s), r.cdb[4]);
}

void VirtualWriter::Impl::Inquiry(ScsiRequest& r) {
    const std::uint32_t allocation = Load16(&r.cdb[3]);
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

void VirtualWriter::Impl::StartStopUnit(ScsiRequest& r) {
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

bool VirtualWriter::Impl::OpenTrayLocked() {
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

void VirtualWriter::Impl::ReadBufferCapacity(ScsiRequest& r) {
    const std::uint32_t allocation = Load16(&r.cdb[7]);
    const std::uint32_t used = options.stuckBuffer ? kBufferBytes : BufferedBytes(Now());
    std::vector<std::uint8_t> d(12, 0);
    Store16(&d[0], 10);
    if (r.cdb[1] & 0x01) {   // block form: available space in blocks
        d[5] = 0x01;
        Store32(&d[8], (kBufferBytes - used) / WriteBlockSize());
    } else {
        Store32(&d[4], kBufferBytes);
        Store32(&d[8], kBufferBytes - used);
    }
    SendData(r, std::move(d), allocation);
}

DiscState VirtualWriter::Impl::State() const {
    DiscState s;
    if (!disc) return s;
    s.media = &disc->Media();
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

}  // namespace vdrive
