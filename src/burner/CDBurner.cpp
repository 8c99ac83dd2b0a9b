#include "burner/CDBurner.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>

#include "burner/CDBufferedStream.h"
#include "burner/DiscPlan.h"
#include "burner/ImageCheck.h"
#include "burner/JobScope.h"
#include "catalog/BigEndian.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int32_t ToInt32(std::uint32_t v)
{
    return static_cast<std::int32_t>(std::min<std::uint32_t>(v, std::numeric_limits<std::int32_t>::max()));
}

// Audio write parameters: track at once, raw 2352-byte blocks, track mode byte 2, the CONTROL
// nibble a CD-DA track gets in the TOC: two channels, digital copy permitted, no pre-emphasis
// (bit 0 would make players that honour it de-emphasise plain PCM and dull its treble).
constexpr std::uint8_t kWriteTypeTAO = 1;
constexpr std::uint8_t kDataBlockRaw = 0;
constexpr std::uint8_t kTrackModeAudio = 2;
constexpr std::uint16_t kAudioPause = 150;
// The next block is held back until the drive has this much room.
constexpr std::uint32_t kAudioRoomNeeded = 2048;
constexpr std::int32_t kMaxCdTracks = 99;
// READ TRACK INFORMATION address type 1, track FFh: the incomplete (invisible) track.
constexpr std::uint8_t kAddressTrack = 1;
constexpr std::uint32_t kInvisibleTrack = 0xFF;
// BLANK byte 1: IMMED.
constexpr std::uint8_t kBlankImmed = 0x10;

// Blocks of one audio track: its sample bytes in whole blocks, a partial last block counted as
// a whole one. Only the bytes the track holds count: a header may declare more (FFFFFFFFh from
// a streaming writer, a cut-off file), and those would be stale buffer bytes on the disc.
std::int64_t AudioBlocksOf(TCDTrack& Track, std::int32_t BlockSize)
{
    const std::uint32_t bytes = Track.AvailableDataSize();
    return bytes / static_cast<std::uint32_t>(BlockSize) + (bytes % static_cast<std::uint32_t>(BlockSize) != 0);
}

// An audio track's blocks: only the data chunk's bytes, a partial last block ending in silence,
// not in the previous block's samples or the bytes of a chunk after the data. A read error of
// the wave raises to the caller of the burn.
class TAudioBlocks final : public TBlockSource {
public:
    TAudioBlocks(TCDTrack& Track, std::int32_t BlockSize)
        : FTrack(Track), FBlockSize(BlockSize), FLeft(Track.AvailableDataSize())
    {
    }
    std::int32_t BlockSize() const override { return FBlockSize; }
    bool Fill(std::uint8_t* Into, std::int32_t Count, std::int32_t& Got, std::string&) override
    {
        const std::size_t size = static_cast<std::size_t>(Count) * static_cast<std::size_t>(FBlockSize);
        const std::size_t got = FTrack.Read(Into, std::min<std::size_t>(FLeft, size));
        std::fill(Into + got, Into + size, std::uint8_t(0));
        FLeft -= static_cast<std::uint32_t>(got);
        Got = static_cast<std::int32_t>(got);
        return true;
    }

private:
    TCDTrack& FTrack;
    std::int32_t FBlockSize;
    std::uint32_t FLeft;
};

}  // namespace

TCDBurner::TCDBurner(const TCDBurnerInfo& AInfo) : Info(AInfo), CommandSettings(ScsiDefaultSettings) {}

TCDBurner::~TCDBurner()
{
    try {
        if (FTrayLocked)
            UnlockMedium();
    } catch (...) {
        // A destructor must not throw; the release is best effort on a vanished drive.
    }
}

// Single commands ------------------------------------------------------------------------------

bool TCDBurner::LockMedium()
{
    LastError = ScsiPreventAllowRemoval(Info, 1, CommandSettings);
    if (LastError == Err_None)
        FTrayLocked = true;
    return LastError == Err_None;
}

bool TCDBurner::UnlockMedium()
{
    if (!FTrayLocked)
        return true;
    LastError = ScsiPreventAllowRemoval(Info, 0, CommandSettings);
    if (LastError == Err_None)
        FTrayLocked = false;
    return LastError == Err_None;
}

bool TCDBurner::Eject(bool Immediate)
{
    LastError = ScsiStartStopUnit(Info, false, true, Immediate, CommandSettings);
    return LastError == Err_None;
}

std::vector<std::string> TCDBurner::GetSpeedsReport()
{
    TScsiDriveSpeeds speeds;
    ScsiGetSpeeds(Info, speeds, CommandSettings);
    return {
        "-- Device Reading Speeds --",
        "       Current Read Speed = " + std::to_string(speeds.CurReadSpeed),
        "       Maximum Read Speed = " + std::to_string(speeds.MaxReadSpeed),
        "-- Device Writing Speeds --",
        "       Current Write Speed = " + std::to_string(speeds.CurWriteSpeed),
        "       Maximum Write Speed = " + std::to_string(speeds.MaxWriteSpeed),
    };
}

std::vector<std::string> TCDBurner::GetCapabilitiesReport()
{
    TScsiDeviceCapabilities caps;
    ScsiGetCapabilities(Info, caps, CommandSettings);

    struct Line {
        int capability;   // -1: a heading, always shown
        const char* text;
    };
    static constexpr Line kLines[] = {
        {-1, "-- Device Reading Methods --"},
        {dcReadCDR, "    Read CD-R media"},
        {dcReadCDRW, "    Read CD-RW media"},
        {dcReadFixedPackets, "    Read CD-R written using fixed packets"},
        {dcReadDVDROM, "    Read DVD-ROM media"},
        {dcReadDVDR, "    Read DVD-R / DVD-RW media"},
        {dcReadDVDRAM, "    Read DVD-RAM media"},
        {-1, "-- Device Writing Methods --"},
        {dcWriteCDR, "    Write CD-R media"},
        {dcWriteCDRW, "    Write CD-RW media"},
        {dcWriteDVDR, "    Write DVD-R / DVD-RW media"},
        {dcWriteDVDRAM, "    Write DVD-RAM media"},
        {dcTestWrite, "    Write in test mode"},
        {dcBurnProof, "    Can Use Burn Proof"},
        {-1, "-- Device Extended Methods --"},
        {dcMode2Form1, "        Capable to read Mode 2 Form 1 (CD-XA format)"},
        {dcMode2Form2, "        Capable to read Mode 2 Form 2 (CD-XA format)"},
        {dcMultiSession, "        Capable to read PhotoCD format (multiple sessions)"},
        {dcReadBarCode, "       Capable to read CD disc bar code"},
    };
    std::vector<std::string> lines;
    for (const Line& l : kLines)
        if (l.capability < 0 || caps.Has(static_cast<TScsiDeviceCapability>(l.capability)))
            lines.emplace_back(l.text);
    AppendWritableProfiles(lines);
    return lines;
}

bool TCDBurner::GetWriterParameters(std::string& Text)
{
    LastError = ScsiGetWriterParametersText(Info, Text, CommandSettings);
    return LastError == Err_None;
}

TScsiError TCDBurner::ReadTOC(TScsiTOC& TOC)
{
    LastError = ScsiReadTOCInfo(Info, TOC, CommandSettings);
    return LastError;
}

TScsiError TCDBurner::GetDVDStructure(TScsiDVDLayerDescriptorInfo& Descriptor)
{
    LastError = ScsiReadDVDLayerDescriptor(Info, Descriptor, CommandSettings);
    return LastError;
}

bool TCDBurner::SetWriteParameters(std::uint8_t WriteType, std::uint8_t DataBlockType, std::uint8_t TrackModeByte,
                                   std::uint8_t SessionFormat, std::uint32_t PacketSize,
                                   std::uint16_t AudioPauseLength, bool TestWrite, bool BurnProof)
{
    LastError = ScsiSetWriteParameters(Info, WriteType, DataBlockType, TrackModeByte, SessionFormat, PacketSize,
                                       AudioPauseLength, TestWrite, BurnProof, CommandSettings);
    return LastError == Err_None;
}

bool TCDBurner::WriteBlocks(std::uint32_t Address, std::uint16_t BlockCount, std::uint32_t ByteCount,
                            const void* Buffer)
{
    return SendWrite(Address, BlockCount, ByteCount, Buffer);
}

// A drive whose buffer is full may answer a WRITE with NOT READY, LONG WRITE IN PROGRESS
// (02/04/08) rather than hold the command, and expects the host to send it again; so may a
// drive still settling (02/04/xx). The same blocks go again after a short pause, for no longer
// than the buffer wait would stay without progress. Any other answer is final.
bool TCDBurner::SendWrite(std::uint32_t Address, std::uint16_t BlockCount, std::uint32_t ByteCount,
                          const void* Buffer)
{
    const auto deadline = Clock::now() + BufferStallLimit;
    WaitTimer wait = StartWait(TWaitPhase::Buffer, false);
    for (;;) {
        LastError = ScsiWriteBlocks(Info, Address, BlockCount, Buffer, ByteCount, CommandSettings);
        if (LastError != Err_SenseNotReady)
            break;
        const TScsiSense sense = ScsiDecodeSense(CommandSettings.SenseArea, 14);
        if (sense.Asc != 0x04 || Clock::now() >= deadline)
            break;
        if (WaitTick(wait, std::max(BufferPollInterval, std::chrono::milliseconds(1))))
            break;   // the job stops at its next check
    }
    return LastError == Err_None;
}

bool TCDBurner::Blank(std::uint8_t BlankingType, std::uint32_t StartAddress)
{
    LastOutcome = TJobOutcome();
    StepText.clear();
    TJobScope job(*this);
    if (job.Refused())
        return false;
    TTrayLock tray(*this);
    LastError = ScsiBlank(Info, static_cast<std::uint8_t>(BlankingType | kBlankImmed), StartAddress, CommandSettings);
    if (LastError == Err_SenseIllegalRequest && ScsiDecodeSense(CommandSettings.SenseArea, 14).Asc == 0x30) {
        // INCOMPATIBLE MEDIUM (30h/xx): a disc that cannot be blanked at all, a CD-R say.
        SetOutcome(TJobStep::Medium, -1, LastError);
        return false;
    }
    if (LastError == Err_None)
        WaitReady(BlankWaitLimit, TWaitPhase::Blank, true);
    if (LastError == Err_Aborted) {
        // The drive goes on blanking by itself; the job only stops waiting for it.
        CancelRequested.store(false);
        SetOutcome(TJobStep::Interrupted, -1, Err_Aborted);
        UnlockMedium();
        LastError = Err_Aborted;
        return false;
    }
    if (LastError != Err_None) {
        const TScsiError error = LastError;
        SetOutcome(error == Err_SenseNotReady ? TJobStep::NotReady : TJobStep::Blank, -1, error);
        return false;
    }
    return true;
}

TCDBurner::BufferState TCDBurner::QueryBuffer()
{
    std::uint8_t reply[12] = {};
    const TScsiError err = ScsiReadBufferCapacity(Info, reply, CommandSettings);
    BufferState st;
    st.Length = kvbe::Load32(reply + 4);
    st.Free = kvbe::Load32(reply + 8);
    st.Answered = err == Err_None && st.Length > 0;
    BufferLength = ToInt32(st.Length);
    BufferFree = ToInt32(st.Free);
    return st;
}

std::int32_t TCDBurner::GetBufferFree()
{
    std::uint8_t reply[12] = {};
    ScsiReadBufferCapacity(Info, reply, CommandSettings);
    return ToInt32(kvbe::Load32(reply + 8));
}

std::int32_t TCDBurner::GetBufferFillPercent()
{
    const BufferState st = QueryBuffer();
    return FillPercentOf(st.Length, st.Free);
}

std::int32_t TCDBurner::FillPercentOf(std::uint32_t Length, std::uint32_t Free)
{
    if (Length < 100)
        return 0;
    const std::int64_t used = std::int64_t(Length) - std::int64_t(Free);
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(used / (Length / 100), 0, 100));
}

std::int32_t TCDBurner::ProgressPercent(std::int64_t Index, std::int64_t LastIndex)
{
    if (LastIndex <= 0)
        return 100;
    const std::int64_t divisor = LastIndex / 100;
    const std::int64_t pct = divisor > 0 ? Index / divisor : Index * 100 / LastIndex;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(pct, 0, 100));
}

bool TCDBurner::CloseTrack(std::uint8_t TrackNumber)
{
    LastError = ScsiCloseTrack(Info, TrackNumber, CommandSettings);
    return LastError == Err_None;
}

bool TCDBurner::CloseSession()
{
    LastError = ScsiCloseSession(Info, CommandSettings);
    return LastError == Err_None;
}

bool TCDBurner::SynchronizeCache()
{
    LastError = ScsiSynchronizeCache(Info, CommandSettings);
    return LastError == Err_None;
}

// Waiting and checking ---------------------------------------------------------------------------

bool TCDBurner::NoDiscSensed() const
{
    return LastError == Err_SenseNotReady && ScsiDecodeSense(CommandSettings.SenseArea, 14).Asc == 0x3A;
}

TScsiError TCDBurner::WaitUntilReady(std::chrono::milliseconds Limit, bool ReportProgress)
{
    // A wait before a job: no step of the last job is reported as this one's.
    StepText.clear();
    return WaitReady(Limit, TWaitPhase::DriveReady, ReportProgress);
}

TScsiError TCDBurner::WaitReady(std::chrono::milliseconds Limit, TWaitPhase Phase, bool ReportProgress)
{
    const auto deadline = Clock::now() + Limit;
    WaitTimer wait = StartWait(Phase, true);
    int unitAttentions = 0;
    std::int32_t lastPercent = -1;
    for (;;) {
        const TScsiError err = ScsiTestUnitReady(Info, CommandSettings);
        if (err == Err_None) {
            if (ReportProgress && OnProgress && lastPercent != 100)
                OnProgress(0, 100);
            LastError = Err_None;
            return Err_None;
        }
        const TScsiSense sense = ScsiDecodeSense(CommandSettings.SenseArea, 14);
        const bool busy = sense.Key == 0x02 && sense.Asc == 0x04;
        // A unit attention (say, the medium changed by the blank) is reported once and cleared.
        const bool attention = sense.Key == 0x06 && ++unitAttentions <= 3;
        if (!busy && !attention) {
            LastError = err;
            return err;
        }
        if (busy && ReportProgress && OnProgress) {
            TScsiSense current;
            if (ScsiRequestSense(Info, current, CommandSettings) == Err_None && current.ProgressValid) {
                const std::int32_t percent = static_cast<std::int32_t>(std::uint32_t(current.Progress) * 100 / 65536);
                if (percent != lastPercent) {
                    lastPercent = percent;
                    OnProgress(0, percent);
                }
            }
        }
        if (Clock::now() >= deadline) {
            LastError = Err_CommandTimeout;
            return LastError;
        }
        if (WaitTick(wait, ReadyPollInterval, lastPercent)) {
            LastError = Err_Aborted;
            return LastError;
        }
    }
}

bool TCDBurner::ReadTrackInformation(std::uint8_t AddressType, std::uint32_t LBAOrTrack, TScsiTrackInformation& Track)
{
    LastError = ScsiReadTrackInformation(Info, AddressType, LBAOrTrack, Track, CommandSettings);
    return LastError == Err_None;
}

bool TCDBurner::ReadDiscInformation(TScsiDiscInformation& Disc)
{
    LastError = ScsiReadDiscInformation(Info, Disc, CommandSettings);
    return LastError == Err_None;
}

std::int64_t TCDBurner::GetFreeBlocks()
{
    // Not stored: a drive that cannot tell is no failure of the job asking.
    TScsiTrackInformation track;
    if (ScsiReadTrackInformation(Info, kAddressTrack, kInvisibleTrack, track, CommandSettings) != Err_None)
        return -1;
    return track.FreeBlocks;
}

bool TCDBurner::Read10(std::uint32_t Address, std::uint16_t BlockCount, void* Buffer, std::uint32_t ByteCount)
{
    LastError = ScsiRead10(Info, Address, BlockCount, Buffer, ByteCount, CommandSettings);
    return LastError == Err_None;
}

bool TCDBurner::VerifyImage(const std::string& FileName, std::int64_t& FirstDifferentSector)
{
    FirstDifferentSector = -1;
    ReadBackSha256.clear();
    PublishedComparison.clear();
    // A missing image raises; the outcome says so meanwhile.
    SetOutcome(TJobStep::Input);
    const TImageFile image(FileName);
    return VerifyImage(image, TPublishedDigest(), FirstDifferentSector);
}

bool TCDBurner::VerifyImage(const TImageFile& Image, const TPublishedDigest& Published,
                            std::int64_t& FirstDifferentSector)
{
    FirstDifferentSector = -1;
    LastError = Err_None;
    ReadBackSha256.clear();
    PublishedComparison.clear();
    TCDBufferedStream stream(Image);
    LastOutcome = TJobOutcome();
    // The sum of what the disc gave back, for comparison with the published one.
    TDigest readBack(TDigestKind::Sha256);
    // And of the published sum's kind, when that is another.
    std::unique_ptr<TDigest> readBackOther;
    if (Published.Found && Published.Kind != TDigestKind::Sha256)
        readBackOther = std::make_unique<TDigest>(Published.Kind);
    TJobScope job(*this);
    if (job.Refused())
        return false;
    // A file changed since it was opened is no longer the image burnt: nothing to compare with.
    if (!Image.Changed().empty()) {
        SetOutcome(TJobStep::ImageChanged);
        return false;
    }
    constexpr std::int32_t kBlock = 2048;
    stream.SetBlockSize(kBlock);
    // A partial last block was never burnt as such; it counts as a sector of its own.
    const std::int64_t blocks = stream.BlockCount() + (stream.BlockAligned() ? 0 : 1);
    std::vector<std::uint8_t> image(kReadBackChunk * kBlock);
    const bool equal = ReadBack(blocks, [&](std::int64_t lba, std::int32_t count, const std::uint8_t* disc) {
        const std::int32_t got = stream.Read(image.data(), count * kBlock);
        if (std::memcmp(image.data(), disc, static_cast<std::size_t>(got)) != 0) {
            for (std::int32_t k = 0; k < count; ++k) {
                const std::int32_t from = k * kBlock;
                const std::int32_t len = std::clamp(got - from, 0, kBlock);
                if (std::memcmp(image.data() + from, disc + from, static_cast<std::size_t>(len)) != 0) {
                    SetOutcome(TJobStep::Verify, lba + k);
                    return false;
                }
            }
        }
        readBack.Update(disc, static_cast<std::size_t>(std::max(got, 0)));
        if (readBackOther)
            readBackOther->Update(disc, static_cast<std::size_t>(std::max(got, 0)));
        return true;
    });
    if (!equal) {
        FirstDifferentSector = LastOutcome.Sector;
        return false;
    }
    // The disc equals what the file holds now; that is the image burnt only while the file is
    // as it was opened.
    if (const std::string changed = Image.Changed(); !changed.empty()) {
        SetOutcome(TJobStep::ImageChanged);
        return false;
    }
    ReadBackSha256 = readBack.FinalHex();
    if (!Published.Found)
        return true;
    const std::string kind = DigestName(Published.Kind);
    const std::string discSum = readBackOther ? readBackOther->FinalHex() : ReadBackSha256;
    if (discSum != Published.Hex) {
        PublishedComparison = "the disc does not match the published " + kind;
        SetOutcome(TJobStep::Verify);
        return false;
    }
    PublishedComparison = "the disc matches the published " + kind;
    return true;
}

bool TCDBurner::ReadBackDigest(std::int64_t Blocks, std::string& Sha256)
{
    Sha256.clear();
    LastError = Err_None;
    LastOutcome = TJobOutcome();
    TJobScope job(*this);
    if (job.Refused())
        return false;
    TDigest digest(TDigestKind::Sha256);
    if (!ReadBack(Blocks, [&](std::int64_t, std::int32_t count, const std::uint8_t* disc) {
            digest.Update(disc, static_cast<std::size_t>(count) * 2048);
            return true;
        }))
        return false;
    Sha256 = digest.FinalHex();
    return true;
}

bool TCDBurner::ReadBack(std::int64_t Blocks,
                         const std::function<bool(std::int64_t Lba, std::int32_t Count, const std::uint8_t* Disc)>& Each)
{
    constexpr std::int32_t kBlock = 2048;
    std::vector<std::uint8_t> disc(kReadBackChunk * kBlock);
    for (std::int64_t lba = 0; lba < Blocks; lba += kReadBackChunk) {
        if (CancelRequested.exchange(false)) {
            Status("Cancelled : Verify stopped at sector " + std::to_string(lba));
            SetOutcome(TJobStep::Interrupted, lba, Err_Aborted);
            return false;
        }
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(kReadBackChunk, Blocks - lba));
        if (!Read10(static_cast<std::uint32_t>(lba), static_cast<std::uint16_t>(count), disc.data(),
                    static_cast<std::uint32_t>(count * kBlock))) {
            SetOutcome(TJobStep::Verify, lba, LastError);
            return false;
        }
        if (!Each(lba, count, disc.data()))
            return false;
        if (OnProgress)
            OnProgress(static_cast<std::int32_t>(lba + count - 1), ProgressPercent(lba + count - 1, Blocks - 1));
    }
    return true;
}

// Jobs ------------------------------------------------------------------------------------------

void TCDBurner::StepError(TJobStep Outcome, const std::string& Step, std::int64_t Sector, TScsiError Error)
{
    SetOutcome(Outcome, Sector, Error);
    StepError(Step, Sector, Error);
}

void TCDBurner::SetOutcome(TJobStep Step, std::int64_t Sector, TScsiError Error)
{
    LastOutcome.Step = Step;
    LastOutcome.Sector = Sector;
    LastOutcome.Error = Error;
}

TCDBurner::WaitTimer TCDBurner::StartWait(TWaitPhase Phase, bool AtOnce) const
{
    const auto now = Clock::now();
    return WaitTimer{Phase, now, AtOnce ? now - WaitCallbackInterval - std::chrono::milliseconds(1) : now};
}

bool TCDBurner::WaitTick(WaitTimer& Timer, std::chrono::milliseconds Pause, std::int32_t Percent)
{
    const auto until = Clock::now() + Pause;
    for (;;) {
        const auto now = Clock::now();
        if (now - Timer.LastCall >= WaitCallbackInterval) {
            Timer.LastCall = now;
            if (OnWait) {
                TWaitInfo info;
                info.Phase = Timer.Phase;
                info.Step = StepText;
                info.Action = StepAction(StepText);
                info.Elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - Timer.Start);
                info.Percent = Percent;
                OnWait(info);
            }
        }
        if (CancelRequested.load(std::memory_order_relaxed))
            return true;
        if (now >= until)
            return false;
        // Sleeps to the pause's end or the next call, whichever comes first.
        const auto nextCall = Timer.LastCall + WaitCallbackInterval;
        std::this_thread::sleep_until(nextCall > now ? std::min(until, nextCall) : until);
    }
}

bool TCDBurner::StopWaitOnCancel()
{
    const std::string step = StepText;
    CancelRequested.store(false);
    UnlockMedium();
    SetOutcome(TJobStep::Interrupted, -1, Err_Aborted);
    LastError = Err_Aborted;
    Status("Cancelled : Stopped waiting for the drive at \"" + step + "\"");
    return false;
}

bool TCDBurner::DrainBeforeSync()
{
    // A drive that held nothing at the last query gets no query more: SYNCHRONIZE CACHE returns
    // at once.
    if (BufferLength <= 0 || BufferFree >= BufferLength)
        return true;
    // A drive may keep some bytes back for good; when the free space stops growing the rest is
    // left to SYNCHRONIZE CACHE.
    constexpr std::chrono::seconds kQuiet{1};
    WaitTimer wait = StartWait(TWaitPhase::SyncCache, true);
    std::uint32_t lastFree = static_cast<std::uint32_t>(BufferFree);
    auto quietUntil = Clock::now() + kQuiet;
    for (;;) {
        if (WaitTick(wait, std::max(BufferPollInterval, std::chrono::milliseconds(10))))
            return false;
        const BufferState state = QueryBuffer();
        if (OnBufferProgress)
            OnBufferProgress(FillPercentOf(state.Length, state.Free));
        if (!state.Answered || state.Free >= state.Length)
            return true;
        if (state.Free > lastFree) {
            lastFree = state.Free;
            quietUntil = Clock::now() + kQuiet;
        } else if (Clock::now() >= quietUntil) {
            return true;
        }
    }
}

void TCDBurner::StepError(const std::string& Step, std::int64_t Sector, TScsiError Error)
{
    std::string text = "Error : " + Step;
    if (Sector >= 0)
        text += " at sector " + std::to_string(Sector);
    Status(text + " : " + ScsiErrorToText(Error));
}

bool TCDBurner::SyncStep()
{
    if (!DrainBeforeSync())
        return StopWaitOnCancel();
    // The command itself holds the thread until the drive answers: OnWait comes just before
    // and just after it.
    WaitTimer wait = StartWait(TWaitPhase::SyncCache, true);
    if (WaitTick(wait, std::chrono::milliseconds(0)))
        return StopWaitOnCancel();
    const bool synced = SynchronizeCache();
    const TScsiError error = LastError;
    wait.LastCall = wait.Start - WaitCallbackInterval - std::chrono::milliseconds(1);
    const bool cancelled = WaitTick(wait, std::chrono::milliseconds(0));
    if (!synced) {
        StepError(TJobStep::SyncCache, "Sync Cache Error", -1, error);
        return false;
    }
    if (cancelled)
        return StopWaitOnCancel();
    return true;
}

bool TCDBurner::CloseTrackAndWait(std::uint8_t TrackNumber)
{
    if (CloseTrack(TrackNumber) && WaitReady(ReadyWaitLimit, TWaitPhase::CloseTrack) == Err_Aborted)
        return StopWaitOnCancel();
    if (LastError != Err_None) {
        StepError(TJobStep::CloseTrack, "Close Track Error", -1, LastError);
        return false;
    }
    return true;
}

bool TCDBurner::CloseSessionAndWait()
{
    if (CloseSession() && WaitReady(ReadyWaitLimit, TWaitPhase::CloseSession) == Err_Aborted)
        return StopWaitOnCancel();
    if (LastError != Err_None) {
        StepError(TJobStep::CloseSession, "Close Session Error", -1, LastError);
        return false;
    }
    return true;
}

bool TCDBurner::StopOnCancel(std::int64_t NextSector, std::int64_t Blocks)
{
    CancelRequested.store(false);
    // What the drive holds is flushed, so the open track ends cleanly at the last block sent.
    const bool synced = SynchronizeCache();
    const TScsiError syncError = LastError;
    UnlockMedium();
    std::string text = "Cancelled : Writing stopped at sector " + std::to_string(NextSector) + " of " +
                       std::to_string(Blocks) + ", the track is left open";
    if (!synced)
        text += " (Sync Cache : " + ScsiErrorToText(syncError) + ")";
    SetOutcome(TJobStep::Interrupted, NextSector, Err_Aborted);
    Status(text);
    if (!synced)
        LastError = syncError;
    return false;
}

// The drive-buffer gauge, when subscribed: one READ BUFFER CAPACITY, whose answer the buffer
// wait can use as well (Queried says whether it was sent).
TCDBurner::BufferState TCDBurner::ReportBufferGauge(bool& Queried)
{
    BufferState buffer;
    Queried = false;
    if (OnBufferProgress) {
        buffer = QueryBuffer();
        Queried = true;
        OnBufferProgress(FillPercentOf(buffer.Length, buffer.Free));
    }
    return buffer;
}

bool TCDBurner::StopOnStall(std::int64_t Sector)
{
    LastError = Err_CommandTimeout;
    SetOutcome(TJobStep::BufferStall, Sector, Err_CommandTimeout);
    Status("Error : Buffer Wait Timeout at sector " + std::to_string(Sector) + " : the drive's buffer did not drain");
    return false;
}

TCDBurner::WaitResult TCDBurner::WaitForBufferRoom(std::uint32_t Needed, BufferState State,
                                                   std::int32_t FileBufferPercent)
{
    auto deadline = Clock::now() + BufferStallLimit;
    WaitTimer wait = StartWait(TWaitPhase::Buffer, false);
    while (State.Answered && State.Free < Needed) {
        if (WaitTick(wait, BufferPollInterval))
            return WaitResult::Room;   // the job stops at its next check
        const std::uint32_t before = State.Free;
        State = QueryBuffer();
        if (OnBufferProgress)
            OnBufferProgress(FillPercentOf(State.Length, State.Free));
        if (FileBufferPercent >= 0 && OnFileBufferProgress)
            OnFileBufferProgress(FileBufferPercent);
        if (State.Free > before)
            deadline = Clock::now() + BufferStallLimit;
        else if (Clock::now() >= deadline)
            return WaitResult::Stalled;
    }
    return WaitResult::Room;
}

TCDBurner::BurntHash::BurntHash(TCDBufferedStream& Stream, const TPublishedDigest& Published)
{
    if (Published.Found && Published.Kind != TDigestKind::Sha256)
        other_ = std::make_unique<TDigest>(Published.Kind);
    Stream.OnHandedOut = [this](const std::uint8_t* Data, std::size_t Length) {
        sha256_.Update(Data, Length);
        if (other_)
            other_->Update(Data, Length);
    };
}

bool TCDBurner::ImageAsChecked(const TImageFile& Image)
{
    const std::string changed = Image.Changed();
    if (changed.empty())
        return true;
    SetOutcome(TJobStep::Input);
    Status("Error : the image changed after it was checked : " + changed + "; nothing was written");
    return false;
}

bool TCDBurner::ImageBurntAsPublished(const TImageFile& Image, const TPublishedDigest& Published, BurntHash& Hash)
{
    BurntSha256 = Hash.Sha256Hex();
    BurntPublishedHex = Published.Found && Published.Kind != TDigestKind::Sha256 ? Hash.PublishedKindHex() : BurntSha256;
    if (const std::string changed = Image.Changed(); !changed.empty()) {
        SetOutcome(TJobStep::ImageChanged);
        Status("Error : the image changed while it was burnt : " + changed);
        return false;
    }
    if (Published.Found && BurntPublishedHex != Published.Hex) {
        SetOutcome(TJobStep::ImageChanged);
        const std::string kind = DigestName(Published.Kind);
        Status("Error : the image changed while it was burnt : " + kind + " of the bytes burnt " + BurntPublishedHex +
               ", published " + Published.Hex);
        return false;
    }
    return true;
}

bool TCDBurner::WriteFrom(TBlockSource& Source, const WriteRun& Run, std::int64_t& BytesRead)
{
    const std::int32_t blockSize = Source.BlockSize();
    const std::int32_t perWrite = std::max<std::int32_t>(1, Run.BlocksPerWrite);
    std::vector<std::uint8_t> piece(static_cast<std::size_t>(perWrite) * static_cast<std::size_t>(blockSize));
    const std::int64_t lastIndex = Run.FirstIndex + Run.Blocks - 1;
    std::string why;
    for (std::int64_t k = 0; k < Run.Blocks; k += perWrite) {
        const std::int64_t lba = Run.Origin + k;
        if (CancelRequested.load(std::memory_order_relaxed)) {
            StopOnCancel(Run.FirstIndex + k, Run.JobBlocks);
            LastOutcome.Sector = lba;
            return false;
        }
        const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(perWrite, Run.Blocks - k));
        const std::int32_t bytes = count * blockSize;
        std::int32_t got = 0;
        if (!Source.Fill(piece.data(), count, got, why)) {
            const std::int64_t sector = Run.FirstIndex + k + got / blockSize;
            SetOutcome(TJobStep::Input, sector);
            Status("Error : Read Error at sector " + std::to_string(sector) + " : " + why);
            return false;
        }
        BytesRead += got;
        const bool written = WriteBlocks(static_cast<std::uint32_t>(lba), static_cast<std::uint16_t>(count),
                                         static_cast<std::uint32_t>(bytes), piece.data());

        // Reported for every piece handed to the drive, also a failed one.
        const std::int64_t last = Run.FirstIndex + k + count - 1;
        bool queried = false;
        BufferState buffer;
        if (Run.ReportsAfterWait) {
            buffer = ReportBufferGauge(queried);
            if (OnProgress)
                OnProgress(static_cast<std::int32_t>(last), ProgressPercent(last, lastIndex));
        } else {
            if (OnProgress)
                OnProgress(static_cast<std::int32_t>(last), ProgressPercent(last, lastIndex));
            if (OnBytesRead)
                OnBytesRead(BytesRead);
            buffer = ReportBufferGauge(queried);
            if (OnBufferStatus)
                OnBufferStatus(BufferLength, BufferFree);
        }
        const std::int32_t filePercent = Source.FillPercent();
        if (!Run.ReportsAfterWait && filePercent >= 0 && OnFileBufferProgress)
            OnFileBufferProgress(filePercent);

        WaitResult wait = WaitResult::Room;
        if (written) {
            // The query just made for the gauge is as fresh as a second one would be.
            if (!queried)
                buffer = QueryBuffer();
            // Room for the next piece; a drive buffer smaller than one piece is waited on until empty.
            const std::uint32_t needed =
                Run.RoomNeeded != 0 ? Run.RoomNeeded
                                    : std::min<std::uint32_t>(static_cast<std::uint32_t>(bytes),
                                                              buffer.Answered ? buffer.Length : 0u);
            wait = WaitForBufferRoom(needed, buffer, filePercent);
        }
        if (Run.ReportsAfterWait) {
            if (OnBytesRead)
                OnBytesRead(BytesRead);
            if (OnBufferStatus)
                OnBufferStatus(BufferLength, BufferFree);
        }
        if (!written) {
            StepError(TJobStep::Write, "Write Error", lba, LastError);
            return false;
        }
        if (wait == WaitResult::Stalled)
            return StopOnStall(lba);
    }
    return true;
}

bool TCDBurner::BurnAudioTracks(std::int32_t TrackCount)
{
    // A count beyond the list is the list's index error, raised before the disc is touched
    // rather than halfway through the job.
    LastOutcome = TJobOutcome();
    StepText.clear();
    if (TrackCount > 0) {
        SetOutcome(TJobStep::Input);
        Tracks.Items(TrackCount - 1);
        LastOutcome = TJobOutcome();
    }

    const std::int32_t blockSize = BlockSizeOfDataType(kDataBlockRaw);
    // Checked before any command is sent, so that bad input cannot ruin the disc halfway.
    // A CD holds at most 99 tracks. A track without sample data would leave nothing to close:
    // CLOSE TRACK of a track never started fails on a drive, and every later track would be
    // closed under the wrong number.
    if (TrackCount > kMaxCdTracks) {
        SetOutcome(TJobStep::Input);
        Status("Error : Too Many Tracks : " + std::to_string(TrackCount) + " (a CD holds " +
               std::to_string(kMaxCdTracks) + ")");
        return false;
    }
    std::int64_t allBlocks = 0;
    for (std::int32_t t = 0; t < TrackCount; ++t) {
        TCDTrack& track = *Tracks.Items(t).CDTrack();
        const std::int64_t blocks = AudioBlocksOf(track, blockSize);
        if (blocks == 0) {
            SetOutcome(TJobStep::Input);
            Status("Error : No Audio Data in Track " + std::to_string(t + 1) + " :" + track.TrackTitle);
            return false;
        }
        allBlocks += blocks;
    }
    // The whole job must fit: a burn would otherwise write until the disc is full and leave it
    // ruined. A drive that cannot tell is trusted.
    const std::int64_t freeBlocks = GetFreeBlocks();
    if (freeBlocks >= 0 && allBlocks > freeBlocks) {
        SetOutcome(TJobStep::Input);
        Status("Error : Audio larger than disc (" + std::to_string(allBlocks) + " blocks needed, " +
               std::to_string(freeBlocks) + " free)");
        return false;
    }

    TJobScope job(*this);
    if (job.Refused())
        return false;
    TTrayLock tray(*this);
    std::int64_t total = 0;   // bytes of the waves handed to the drive
    std::int64_t next = 0;
    if (!SetWriteParameters(kWriteTypeTAO, kDataBlockRaw, kTrackModeAudio, 0, 0, kAudioPause, SimulateWrite, true)) {
        SetOutcome(TJobStep::WriteParameters, -1, LastError);
        Status("HardWare : Set Audio Write Mode Error");
        return false;
    }
    Status("HardWare : Set Audio Write Mode OK");

    for (std::int32_t t = 0; t < TrackCount; ++t) {
        TCDTrack& track = *Tracks.Items(t).CDTrack();
        Phase(TJobPhase::Write);
        Status("Burning :" + track.TrackTitle);
        track.SetBlockSize(blockSize);
        const std::int64_t start = next;
        const std::int64_t end = start + AudioBlocksOf(track, blockSize);
        track.Seek(track.DataOffset(), TSeekOrigin::soBeginning);

        TAudioBlocks source(track, blockSize);
        WriteRun run;
        run.Origin = static_cast<std::uint32_t>(start);
        run.Blocks = end - start;
        run.FirstIndex = start;
        run.JobBlocks = allBlocks;
        run.RoomNeeded = kAudioRoomNeeded;
        run.ReportsAfterWait = true;
        if (!WriteFrom(source, run, total))
            return false;

        Phase(TJobPhase::Close);
        Status("Finished Writing : Sync Cache");
        if (!SyncStep())
            return false;
        Status("Finished Writing : Closing Track :" + std::to_string(t + 1));
        if (!CloseTrackAndWait(static_cast<std::uint8_t>(t + 1)))
            return false;
        next = end;
    }

    if (!CloseSessionAndWait())
        return false;
    Status("Finished Writing : Closing Session");
    // The job sends CLOSE SESSION a second time. On a session already closed a drive may well
    // refuse it (the virtual writer does, with a sequence error); that is harmless, as the
    // first close has finished the session, so neither the result nor LastError takes it up.
    const TScsiError closed = LastError;
    if (CloseSession() && WaitReady(ReadyWaitLimit, TWaitPhase::CloseSession) == Err_Aborted)
        return StopWaitOnCancel();
    LastError = closed;
    return true;
}

std::string StepAction(const std::string& Step)
{
    const std::size_t colon = Step.find(" : ");
    return colon == std::string::npos ? Step : Step.substr(colon + 3);
}
