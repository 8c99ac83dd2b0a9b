// What changes the disc: WRITE(10), SYNCHRONIZE CACHE, CLOSE TRACK/SESSION, RESERVE TRACK,
// BLANK and FORMAT UNIT, each also as a test write that records nothing.
#include "vdrive/WriterImpl.h"

#include <algorithm>
#include <cstring>

namespace vdrive {

bool VirtualWriter::Impl::CheckWriteTransfer(ScsiRequest& r, std::uint32_t count, std::uint32_t& blockSize, std::uint64_t& bytes) {
    if (!disc->Writable()) {
        CheckCondition(r, kCannotWriteFormat);
        return false;
    }
    blockSize = WriteBlockSize();
    bytes = static_cast<std::uint64_t>(count) * blockSize;
    if (bytes != r.dataLength || (count > 0 && !DataFlowsAsCommanded(r))) {
        CheckCondition(r, kInvalidField);
        return false;
    }
    return true;
}

bool VirtualWriter::Impl::InjectedWriteFault(std::uint32_t lba, std::uint32_t count) const {
    return options.failWriteAt && *options.failWriteAt >= lba && *options.failWriteAt - lba < count;
}

void VirtualWriter::Impl::Write10(ScsiRequest& r) {
    const std::uint32_t lba = Load32(&r.cdb[2]);
    const std::uint32_t count = Load16(&r.cdb[7]);
    std::uint32_t blockSize = 0;
    std::uint64_t bytes = 0;
    if (!CheckWriteTransfer(r, count, blockSize, bytes) || count == 0) return;
    if (disc->Overwritable()) return WriteOverwritable(r, lba, count, bytes);
    const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
    if (!nwa || lba != *nwa) return CheckCondition(r, kInvalidWriteAddress);
    if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);

    // The track's mode is fixed by its first block; data block type and track mode must agree.
    // DVD+R and BD take no write parameters: their blocks are data.
    const bool pageless = Medium().drive.writeTypes == 0;
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
    const nanoseconds storing = BeginStore();
    const bool stored = disc->Append(r.data, r.dataLength, count, error);
    EndStore(storing);
    if (!stored) return DiscFailure(r);
    if ((r.cdb[1] & 0x08) && !disc->Flush(true, error)) return DiscFailure(r);   // FUA
    r.residual = 0;
}

bool VirtualWriter::Impl::DiscAtOnce() const {
    return disc && Medium().drive.writeTypes == (Bit(0) | Bit(2)) && (page05[2] & 0x0F) == 2;
}

void VirtualWriter::Impl::WriteOverwritable(ScsiRequest& r, std::uint32_t lba, std::uint32_t count, std::uint64_t bytes) {
    if (!disc->Formatted()) return CheckCondition(r, kMediumNotFormatted);
    if (static_cast<std::uint64_t>(lba) + count > disc->Capacity()) return CheckCondition(r, kLbaOutOfRange);
    if ((page05[4] & 0x0F) == 0 && Medium().drive.writeTypes != 0) return CheckCondition(r, kIllegalModeForTrack);
    if (InjectedWriteFault(lba, count)) return CheckCondition(r, kWriteError);
    WaitForBufferRoom(bytes, 2048, count);
    std::string error;
    const nanoseconds storing = BeginStore();
    const bool stored = disc->WriteAt(lba, r.data, r.dataLength, count, error);
    EndStore(storing);
    if (!stored) return DiscFailure(r);
    if ((r.cdb[1] & 0x08) && !disc->Flush(true, error)) return DiscFailure(r);   // FUA
    r.residual = 0;
}

void VirtualWriter::Impl::WaitForBufferRoom(std::uint64_t bytes, std::uint32_t blockSize, std::uint32_t count) {
    if (TimedSpeed() == 0 || options.stuckBuffer) return;
    const nanoseconds now = Now();
    const std::uint64_t room = kBufferBytes >= bytes ? (kBufferBytes - bytes) / blockSize : 0;
    const nanoseconds keep = BlocksTime(room);
    if (drainEnd - now > keep) clock->SleepFor(drainEnd - now - keep);
    drainEnd = std::max(drainEnd, Now()) + BlocksTime(count);
}

// A drive takes data into its buffer while it writes the medium: the host never waits for the
// medium. This writer's medium is files, and a write into them can stall (hundreds of
// milliseconds under load on a busy file system); the buffer must not drain meanwhile, or it
// reads empty behind a burner that kept it full. The medium waits for the files instead: the
// burn takes that much longer.
nanoseconds VirtualWriter::Impl::BeginStore() {
    const nanoseconds start = Now();
    if (options.slowDiscMs != 0) clock->SleepFor(std::chrono::milliseconds(options.slowDiscMs));
    return start;
}

void VirtualWriter::Impl::EndStore(nanoseconds start) {
    if (drainEnd > start) drainEnd += Now() - start;
}

void VirtualWriter::Impl::SynchronizeCache(ScsiRequest& r) {
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

void VirtualWriter::Impl::CloseTrackSession(ScsiRequest& r) {
    const bool immediate = r.cdb[1] & 0x01;
    const std::uint8_t function = r.cdb[2] & 0x07;
    const kvcat::DriveSide& medium = Medium().drive;
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
        if (!open || open->number != Load16(&r.cdb[4])) return CheckCondition(r, kInvalidField);
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

void VirtualWriter::Impl::Blank(ScsiRequest& r) {
    const bool immediate = r.cdb[1] & 0x10;
    const std::uint8_t type = r.cdb[1] & 0x07;
    if (!Medium().drive.blankAccepted) return CheckCondition(r, kIncompatibleMedium);
    if (type > 1) return CheckCondition(r, kInvalidField);
    std::string error;
    // A DVD-RW in restricted overwrite mode is sequential again once blanked.
    const char* blanksAs = Medium().drive.blanksAs;
    const bool ok = blanksAs ? disc->Reformat(*kvcat::MediumByKey(blanksAs), true, error) : disc->Blank(error);
    if (!ok) return DiscFailure(r);
    drainEnd = nanoseconds::zero();
    reservedBlocks = 0;
    closedByDiscAtOnce = false;
    Occupy(BlocksTime(type == 0 ? disc->Capacity() : kMinimalBlankBlocks), immediate, kFormatInProgress);
}

std::vector<kvcat::FormatOffer> VirtualWriter::Impl::FormatOffers() const {
    std::vector<kvcat::FormatOffer> offers;
    for (const kvcat::FormatOffer& f : Medium().drive.formats)
        if (f.type != 0xFF) offers.push_back(f);
    return offers;
}

void VirtualWriter::Impl::FormatUnit(ScsiRequest& r) {
    const bool fmtData = r.cdb[1] & 0x10;
    if (!fmtData || (r.cdb[1] & 0x07) != 1 || (r.cdb[1] & 0x08)) return CheckCondition(r, kInvalidField);
    const std::vector<kvcat::FormatOffer> offers = FormatOffers();
    if (offers.empty()) return CheckCondition(r, kIncompatibleMedium);
    if (!DataFlowsAsCommanded(r) || r.dataLength < 12) return CheckCondition(r, kParameterListLength);
    const std::uint8_t* p = r.data;
    if (Load16(&p[2]) != 8) return CheckCondition(r, kInvalidParameter);   // one format descriptor
    const bool immediate = p[1] & 0x02;
    const std::uint32_t blocks = Load32(&p[4]);
    const std::uint8_t type = p[8] >> 2;
    auto offer = std::find_if(offers.begin(), offers.end(), [&](const kvcat::FormatOffer& f) { return f.type == type; });
    // The block count must be the one offered (or all ones: the most the type gives).
    if (offer == offers.end() || (blocks != disc->Capacity() && blocks != 0xFFFFFFFF))
        return CheckCondition(r, kInvalidParameter);
    // Under Test Write the drive goes through the format's checks and time, nothing recorded.
    if (TestWrite()) return Occupy(BlocksTime(offer->full ? disc->Capacity() : kQuickFormatBlocks), immediate, kFormatUnitInProgress);
    std::string error;
    const char* formatsAs = Medium().drive.formatsAs;
    if (!disc->Reformat(formatsAs ? *kvcat::MediumByKey(formatsAs) : Medium(), true, error)) return DiscFailure(r);
    drainEnd = nanoseconds::zero();
    reservedBlocks = 0;
    closedByDiscAtOnce = false;
    ResetPage05();
    Occupy(BlocksTime(offer->full ? disc->Capacity() : kQuickFormatBlocks), immediate, kFormatUnitInProgress);
}

void VirtualWriter::Impl::ReserveTrack(ScsiRequest& r) {
    if (!disc->Writable()) return CheckCondition(r, kCannotWriteFormat);
    if (disc->IsCd() || disc->Overwritable()) return CheckCondition(r, kIncompatibleMedium);
    if (r.cdb[1] & 0x01) return CheckCondition(r, kInvalidField);   // address reservation not offered
    const std::uint32_t size = Load32(&r.cdb[5]);
    const std::optional<std::uint32_t> nwa = disc->NextWritableAddress();
    if (disc->OpenTrack() || !nwa || reservedBlocks != 0) return CheckCondition(r, kSequenceError);
    if (size == 0 || static_cast<std::uint64_t>(*nwa) + size > disc->Capacity()) return CheckCondition(r, kInvalidField);
    reservedBlocks = size;
}

void VirtualWriter::Impl::SimulatedWrite10(ScsiRequest& r) {
    const std::uint32_t lba = Load32(&r.cdb[2]);
    const std::uint32_t count = Load16(&r.cdb[7]);
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

void VirtualWriter::Impl::SimulatedClose(ScsiRequest& r) {
    const bool immediate = r.cdb[1] & 0x01;
    const std::uint8_t function = r.cdb[2] & 0x07;
    if (function != 1 && function != 2) return CheckCondition(r, kInvalidField);
    if (!disc->Writable()) return CheckCondition(r, kCannotWriteFormat);
    nanoseconds duration = DrainTime(Now());
    if (disc->Overwritable()) return Occupy(duration, immediate, kLongWriteInProgress);   // nothing to close
    if (function == 1) {
        if (!sim.open || Load16(&r.cdb[4]) != disc->NextTrackNumber() + sim.closedTracks)
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

}  // namespace vdrive
