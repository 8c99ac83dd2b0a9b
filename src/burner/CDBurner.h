// One CD/DVD writer as the rest of the system sees it: its identification, the result of its
// last command, its own command settings, the events a job reports through, one operation per
// drive command, the data image burn, and the list of audio tracks with their burn.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioUnit.h"
#include "burner/CDBufferedStream.h"
#include "burner/ImageCheck.h"
#include "mmc/SCSIUnit.h"
#include "scsi/SCSITypes.h"
#include "scsi/zqSCSI.h"

// Where a job ended. The front ends switch on this value (exit codes, message boxes), never on
// the wording of a status line.
enum class TJobStep : std::uint8_t {
    None,             // the job ran to its end
    Interrupted,      // stopped on request
    NotReady,         // no disc, or the drive never became ready
    Medium,           // the disc cannot take the job (read-only, not blank, cannot simulate)
    WriteParameters,  // the drive refused the write parameters (mode page 05h)
    Input,            // the image or the audio cannot be burnt as it is (size, read error, too large)
    Write,            // a WRITE(10) failed
    BufferStall,      // the drive's buffer never drained
    SyncCache,        // SYNCHRONIZE CACHE failed
    CloseTrack,       // CLOSE TRACK failed, or the drive never finished it
    CloseSession,     // CLOSE SESSION failed, or the drive never finished it
    Blank,            // BLANK failed, or the drive never finished it
    Format,           // FORMAT UNIT failed, or the drive never finished it
    Verify,           // the disc does not read back equal to the image
    InUse,            // another program has the drive (mounted, or another burner holds it)
    ImageChanged,     // the image changed while it was burnt (its identity, or the sum of the
                      // bytes burnt differs from the published one)
};

// The typed result of the last job: the failing step (None on success), the sector where the
// step applies (-1 elsewhere) and the drive's result of the failing command.
struct TJobOutcome {
    TJobStep Step = TJobStep::None;
    std::int64_t Sector = -1;
    TScsiError Error = Err_None;
    bool Succeeded() const { return Step == TJobStep::None; }
};

// What a job is waiting for while it waits on the drive.
enum class TWaitPhase : std::uint8_t {
    DriveReady,     // the disc spinning up before a job
    Buffer,         // the drive's buffer to drain
    SyncCache,      // SYNCHRONIZE CACHE
    CloseTrack,     // CLOSE TRACK (IMMED) to finish
    CloseSession,   // CLOSE SESSION (IMMED) to finish
    Blank,          // BLANK (IMMED) to finish
    Format,         // FORMAT UNIT (IMMED) to finish
};

// The step of a job its status lines and progress belong to: the phases scripts see.
enum class TJobPhase : std::uint8_t { Setup, Checksum, Check, Blank, Format, Write, Close, Verify, Eject };

// One call of OnWait: the phase, the status text of the step the job is in, the time waited
// so far and the drive's progress of the operation (0..100, -1 when it reports none).
struct TWaitInfo {
    TWaitPhase Phase = TWaitPhase::DriveReady;
    std::string Step;
    // The step without its label, for a short display: "Closing Session" of
    // "Finished Writing : Closing Session" (the whole text when it has no label).
    std::string Action;
    std::chrono::milliseconds Elapsed{0};
    std::int32_t Percent = -1;
};

// The action of a status line without its label (see TWaitInfo::Action).
std::string StepAction(const std::string& Step);

class TCDBurner {
public:
    explicit TCDBurner(const TCDBurnerInfo& AInfo);
    // Releases the tray (PREVENT ALLOW MEDIUM REMOVAL, prevent 0) when this writer locked it and
    // has not released it yet; a tray it never locked (a mounted disc's, another burner's) is
    // left alone.
    virtual ~TCDBurner();
    TCDBurner(const TCDBurner&) = delete;
    TCDBurner& operator=(const TCDBurner&) = delete;

    void GetInfo(TCDBurnerInfo& Out) const { Out = Info; }

    // Fixed at construction.
    const TCDBurnerInfo Info;
    // Result of the last storing operation.
    TScsiError LastError = Err_None;
    // This writer's copy of ScsiDefaultSettings, passed with every command.
    TScsiDefaults CommandSettings;

    // Events: empty until assigned, and tested before every call.
    std::function<void(std::int32_t Index, std::int32_t Percent)> OnProgress;
    std::function<void(const std::string& Text)> OnStatus;
    std::function<void(std::int32_t Percent)> OnBufferProgress;
    std::function<void(std::int32_t Percent)> OnFileBufferProgress;
    std::function<void(std::int32_t Length, std::int32_t Free)> OnBufferStatus;
    std::function<void(std::int64_t Total)> OnBytesRead;
    // Called at least every WaitCallbackInterval while a job waits on the drive, so that a
    // front end stays responsive and can cancel; tested before every call like the others.
    std::function<void(const TWaitInfo& Wait)> OnWait;
    // The job enters Phase (Done false), just before the step's first status line; Done true
    // when a blank or format the burn needed has finished, before its "Finished!" line.
    std::function<void(TJobPhase Phase, bool Done)> OnPhase;

    // The outcome of the last job (burn, blank, audio burn, verify).
    TJobOutcome LastOutcome;

    // Drive buffer figures of the last buffer query; 0 until then.
    std::int32_t BufferLength = 0;
    std::int32_t BufferFree = 0;

    // Operations wrapping one command ---------------------------------------------------------
    // PREVENT ALLOW MEDIUM REMOVAL with prevent 1; stores. On success the tray counts as locked
    // by this writer until UnlockMedium releases it.
    bool LockMedium();
    // PREVENT ALLOW MEDIUM REMOVAL with prevent 0, only for a tray this writer locked itself
    // (stores then); otherwise nothing is sent, LastError is left as it is and the result is
    // true: the lock of a mounted disc or of another program is not ours to remove.
    bool UnlockMedium();
    bool TrayLockedByUs() const { return FTrayLocked; }
    bool Eject(bool Immediate);
    std::vector<std::string> GetSpeedsReport();
    // The lines of mode page 2Ah, then the profiles the drive can write (GET CONFIGURATION)
    // when it lists any.
    std::vector<std::string> GetCapabilitiesReport();
    void AppendWritableProfiles(std::vector<std::string>& Lines);
    bool GetWriterParameters(std::string& Text);
    TScsiError ReadTOC(TScsiTOC& TOC);
    TScsiError GetDVDStructure(TScsiDVDLayerDescriptorInfo& Descriptor);
    bool SetWriteParameters(std::uint8_t WriteType, std::uint8_t DataBlockType, std::uint8_t TrackModeByte,
                            std::uint8_t SessionFormat, std::uint32_t PacketSize,
                            std::uint16_t AudioPauseLength, bool TestWrite, bool BurnProof);
    bool WriteBlocks(std::uint32_t Address, std::uint16_t BlockCount, std::uint32_t ByteCount, const void* Buffer);
    // Sent with IMMED; the drive is then polled until the blank has finished, its progress
    // (from the sense data) reported through OnProgress(0, percent). A full blank would not
    // fit in one command's time-out.
    bool Blank(std::uint8_t BlankingType, std::uint32_t StartAddress);
    std::int32_t GetBufferFree();
    // Refreshes BufferLength and BufferFree; 0..100, and 0 for a buffer under 100 bytes
    // (including the zero reply of a failed query).
    std::int32_t GetBufferFillPercent();
    bool CloseTrack(std::uint8_t TrackNumber);
    bool CloseSession();
    bool SynchronizeCache();

    // Waiting and checking ----------------------------------------------------------------------
    // Polls TEST UNIT READY until the drive is ready. NOT READY with ASC 04h (becoming
    // ready, operation or long write in progress) means busy; anything else is returned as it
    // came. Gives Err_CommandTimeout after Limit, Err_Aborted when the job is asked to stop
    // (OnWait comes between the polls, phase DriveReady). With ReportProgress, the progress of
    // the running operation (REQUEST SENSE) goes to OnProgress(0, percent). Stores the result.
    TScsiError WaitUntilReady(std::chrono::milliseconds Limit, bool ReportProgress = false);
    // The last command failed because no disc is in the drive (MEDIUM NOT PRESENT, 3Ah), as
    // opposed to a drive that is busy or failing: "no disc" is the one a user can mend at once.
    bool NoDiscSensed() const;
    bool ReadTrackInformation(std::uint8_t AddressType, std::uint32_t LBAOrTrack, TScsiTrackInformation& Track);
    bool ReadDiscInformation(TScsiDiscInformation& Disc);
    // Free blocks of the disc for the next track, or -1 when the drive cannot tell.
    std::int64_t GetFreeBlocks();
    bool Read10(std::uint32_t Address, std::uint16_t BlockCount, void* Buffer, std::uint32_t ByteCount);
    // Reads the written track back and compares it with the image. True when they match;
    // otherwise FirstDifferentSector is the first sector that differs or could not be read
    // (LastError tells which). A missing image raises, as for the burn.
    // The image opened once for the job is read through its descriptor; a change of its
    // identity since it was opened ends the verify (TJobStep::ImageChanged, no sector). With a
    // published SHA-256, the disc's sum must equal it as well (TJobStep::Verify, no sector);
    // PublishedComparison says what was compared.
    bool VerifyImage(const TImageFile& Image, const TPublishedDigest& Published, std::int64_t& FirstDifferentSector);
    bool VerifyImage(const std::string& FileName, std::int64_t& FirstDifferentSector);
    // Reads the first Blocks sectors of the disc back for their SHA-256 alone (lower-case hex in
    // Sha256): what a disc holds when there is no image left to compare it with.
    bool ReadBackDigest(std::int64_t Blocks, std::string& Sha256);
    // SHA-256 (lower-case hex) of what the last VerifyImage read back; empty unless it matched.
    std::string ReadBackSha256;
    // How the last VerifyImage's disc compared with the published sum, of the sum's own kind:
    // "the disc matches the published SHA-256" (or MD5), "the disc does not match the published
    // SHA-256"; empty when nothing was published or the verify failed first.
    std::string PublishedComparison;

    // The sums (lower-case hex) of the bytes the last data burn handed to the drive, set when
    // it wrote them all: SHA-256, and the published sum's kind (equal to it for a SHA-256).
    std::string BurntSha256;
    std::string BurntPublishedHex;

    // The burns write with the Test Write bit: the drive goes through every step and records
    // nothing. Checked by the front ends first (CanSimulate).
    bool SimulateWrite = false;

    // Jobs --------------------------------------------------------------------------------------
    // Writes the image as a CD-R takes it (the catalogue row's steps): one Mode 1 track, track
    // at once, from address 0, then closes the track and, when CloseSession is 1, the session. True when the job ran to
    // "Finished Writing : Job Done!". A missing or unreadable image file raises.
    // The image is read through the descriptor opened for it (its check read the same one), and
    // the bytes handed to the drive are hashed as they are read. Its identity (size,
    // modification time) is checked before anything is sent (a change: TJobStep::Input, nothing
    // written) and after the last close: a change then ends the job as TJobStep::ImageChanged,
    // as do burnt bytes that differ from a published sum ("Error : the image changed while it
    // was burnt : ...", the disc written and closed).
    bool BurnDataImage(const TImageFile& Image, const TPublishedDigest& Published, std::uint8_t CloseSession);
    // The same for the image by its name, opened here, with no published sum.
    bool BurnDataImage(const std::string& FileName, std::uint8_t CloseSession);

    // The audio tracks this writer burns, in index order; empty for a new writer. Freed with
    // the writer, after the tray release.
    TCDTrackList Tracks{nullptr};

    // Writes tracks 0 .. TrackCount-1 of Tracks as audio tracks, track at once, one after the
    // other from address 0 (raw 2352-byte blocks, a partial last block padded with silence),
    // closing each, then closes the session. False when the write parameters cannot be set, a
    // track holds no audio data or the tracks need more blocks than the disc has free
    // ("Error : Audio larger than disc (N blocks needed, M free)"; nothing is written then),
    // or a write, sync or close fails
    // (the status line says which, and where). A TrackCount beyond the list raises
    // EListError before any command is sent.
    bool BurnAudioTracks(std::int32_t TrackCount);

    // Asks a running job to stop after the command in progress (safe from a signal handler).
    // The job clears it when it stops.
    std::atomic<bool> CancelRequested{false};
    void Cancel() { CancelRequested.store(true, std::memory_order_relaxed); }

    // Pacing and bounds of the waits; tests shorten them.
    std::chrono::milliseconds BufferPollInterval{1};
    std::chrono::milliseconds BufferStallLimit{std::chrono::seconds(90)};   // without any drain
    std::chrono::milliseconds ReadyPollInterval{50};
    std::chrono::milliseconds ReadyWaitLimit{std::chrono::minutes(20)};     // close track/session
    std::chrono::milliseconds BlankWaitLimit{std::chrono::minutes(150)};    // full blank at 1x
    std::chrono::milliseconds WaitCallbackInterval{250};                    // OnWait at least this often

    // 0..100 for block Index of a job whose last block is LastIndex (equal percent steps,
    // 100 at the last block, also for jobs of 100 blocks or fewer).
    static std::int32_t ProgressPercent(std::int64_t Index, std::int64_t LastIndex);
    // Fill percent of a buffer of Length bytes with Free bytes free: 0..100, 0 when Length < 100.
    static std::int32_t FillPercentOf(std::uint32_t Length, std::uint32_t Free);

protected:
    // The data burn of every medium (DiscStrategy.cpp), by the catalogue row's write steps.
    friend class TDiscWriter;
    friend class TTrayLock;
    bool FTrayLocked = false;      // PREVENT 1 sent by this writer and not yet released
    int FTrayLockDepth = 0;        // nested TTrayLock scopes of the running job
    // One WRITE(10), sent again while the drive answers NOT READY 04/xx (busy), bounded by
    // BufferStallLimit. Stores the result.
    bool SendWrite(std::uint32_t Address, std::uint16_t BlockCount, std::uint32_t ByteCount, const void* Buffer);
    struct BufferState {
        bool Answered = false;    // the query succeeded and reported a buffer
        std::uint32_t Length = 0;
        std::uint32_t Free = 0;
    };
    // One READ BUFFER CAPACITY; refreshes BufferLength and BufferFree.
    BufferState QueryBuffer();
    enum class WaitResult { Room, Stalled };
    // Polls until the drive has Needed bytes free, sleeping between polls; a drive that
    // cannot report its buffer is not waited for. Reports the gauges on every poll
    // (FileBufferPercent < 0: not reported). Stalled after BufferStallLimit without any drain.
    WaitResult WaitForBufferRoom(std::uint32_t Needed, BufferState State, std::int32_t FileBufferPercent);
    void Phase(TJobPhase Step, bool Done = false)
    {
        if (OnPhase)
            OnPhase(Step, Done);
    }
    void Status(const std::string& Text)
    {
        StepText = Text;
        if (OnStatus)
            OnStatus(Text);
    }
    // Error line of a failed step: "Error : <Step>[ at sector N] : <error text>".
    void StepError(const std::string& Step, std::int64_t Sector, TScsiError Error);
    // The same, and LastOutcome set to the step (Outcome) that failed.
    void StepError(TJobStep Outcome, const std::string& Step, std::int64_t Sector, TScsiError Error);
    // The end of a job stopped on request: cache flushed, tray released, where it stopped said.
    bool StopOnCancel(std::int64_t NextSector, std::int64_t Blocks);
    // The drive-buffer gauge for one block (a query only when OnBufferProgress is assigned).
    BufferState ReportBufferGauge(bool& Queried);
    // Ends a job whose drive buffer did not drain within BufferStallLimit.
    bool StopOnStall(std::int64_t Sector);
    // CLOSE TRACK / CLOSE SESSION (sent with IMMED) and the wait for the drive to finish;
    // a failure of either is the step's error line. False after the error line.
    bool CloseTrackAndWait(std::uint8_t TrackNumber);
    bool CloseSessionAndWait();
    // SYNCHRONIZE CACHE with the error line on failure.
    bool SyncStep();

    // One run of the write loop: Blocks blocks of a source written from address Origin.
    struct WriteRun {
        std::uint32_t Origin = 0;
        std::int64_t Blocks = 0;
        // The index progress and a stop name the first block by (the data burn counts the
        // image's blocks from 0, the audio burn the disc's addresses), and the blocks of the
        // whole job a stop counts against.
        std::int64_t FirstIndex = 0;
        std::int64_t JobBlocks = 0;
        std::int32_t BlocksPerWrite = 1;
        // Bytes the drive's buffer must have free before the next WRITE; 0: one whole piece's
        // (or the whole buffer, when that is smaller).
        std::uint32_t RoomNeeded = 0;
        // The audio burn reports a piece's progress before the buffer wait and its bytes and
        // buffer figures after it; the data burn reports all of them before.
        bool ReportsAfterWait = false;
    };
    // The one write loop of every burn: reads each piece of BlocksPerWrite blocks from Source
    // (its read-ahead, its digest observer), stops on request before each, sends it as one
    // WRITE(10), reports progress, bytes read (BytesRead counts on across runs) and the buffers,
    // and waits for room in the drive's buffer. False after the error line of a failed read or
    // write, a stall or a stop; LastOutcome says where.
    bool WriteFrom(TBlockSource& Source, const WriteRun& Run, std::int64_t& BytesRead);

    // Blocks per READ(10) when the disc is read back.
    static constexpr std::int32_t kReadBackChunk = 32;
    // Reads the first Blocks sectors back from address 0, honouring a stop request, with
    // progress; Each sees every piece read (its first address, its blocks, their bytes) and ends
    // the read by returning false. False when stopped (TJobStep::Interrupted), when a read failed
    // (TJobStep::Verify) or when Each ended it; the outcome's sector says where.
    bool ReadBack(std::int64_t Blocks,
                  const std::function<bool(std::int64_t Lba, std::int32_t Count, const std::uint8_t* Disc)>& Each);

    // The bytes a data burn hands to the drive, hashed as the stream hands them out.
    class BurntHash {
    public:
        BurntHash(TCDBufferedStream& Stream, const TPublishedDigest& Published);
        BurntHash(const BurntHash&) = delete;
        BurntHash& operator=(const BurntHash&) = delete;
        std::string Sha256Hex() { return sha256_.FinalHex(); }
        std::string PublishedKindHex() { return other_ ? other_->FinalHex() : std::string(); }

    private:
        TDigest sha256_{TDigestKind::Sha256};
        std::unique_ptr<TDigest> other_;
    };
    // Before a data burn sends anything: false (TJobStep::Input, the line said) when the image
    // is no longer as it was opened.
    bool ImageAsChecked(const TImageFile& Image);
    // After a data burn's last close: the burnt bytes' sums stored, and false (TJobStep::
    // ImageChanged, the line said) when the image changed or the sum differs from Published.
    bool ImageBurntAsPublished(const TImageFile& Image, const TPublishedDigest& Published, BurntHash& Hash);

    // Waits on the drive ---------------------------------------------------------------------
    // The last status line: the step a wait reports through OnWait.
    std::string StepText;
    // One wait of a job, as OnWait reports it.
    struct WaitTimer {
        TWaitPhase Phase;
        std::chrono::steady_clock::time_point Start;
        std::chrono::steady_clock::time_point LastCall;
    };
    // A wait starting now. With AtOnce the first OnWait comes at the first tick, otherwise one
    // WaitCallbackInterval later (a buffer wait is mostly a few milliseconds long).
    WaitTimer StartWait(TWaitPhase Phase, bool AtOnce) const;
    // WaitUntilReady for a wait of the given phase.
    TScsiError WaitReady(std::chrono::milliseconds Limit, TWaitPhase Phase, bool ReportProgress = false);
    // Every wait passes through here between its polls: sleeps for Pause in slices no longer
    // than WaitCallbackInterval, calling OnWait whenever one is due. True when the job was
    // asked to stop (then at once, without sleeping further).
    bool WaitTick(WaitTimer& Timer, std::chrono::milliseconds Pause, std::int32_t Percent = -1);
    // Sets LastOutcome for a job that ends at Step.
    void SetOutcome(TJobStep Step, std::int64_t Sector = -1, TScsiError Error = Err_None);
    // Ends a job stopped on request during a wait: tray released, the step said.
    bool StopWaitOnCancel();
    // Before SYNCHRONIZE CACHE: lets the drive's buffer drain while OnWait keeps coming, so
    // that the command itself, which blocks until the buffer is on the disc, returns quickly.
    // Only when the last buffer query reported data held. False when asked to stop.
    bool DrainBeforeSync();
};
