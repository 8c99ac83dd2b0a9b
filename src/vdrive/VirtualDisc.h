// The disc inside the virtual writer: tracks, sessions and their files beside the CUE sheet.
// Knows nothing about CDBs; the writer decides what is allowed and maps failures to sense data.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/Media.h"
#include "vdrive/VirtualWriter.h"

namespace vdrive {

struct DiscTrack {
    int number = 0;
    int session = 0;
    std::uint32_t start = 0;
    std::uint32_t blocks = 0;
    bool closed = false;
    bool audio = false;
    std::uint8_t control = 0;   // TOC CONTROL nibble (04h data, 00h audio, 01h pre-emphasis ...)
    std::string fileName;       // as written in the CUE sheet
    std::string filePath;       // resolved against the CUE sheet's folder

    std::uint32_t BlockSize() const { return audio ? 2352u : 2048u; }
    std::uint32_t End() const { return start + blocks; }
};

// Blocks between the end of a closed session and the first track of the next one on a CD:
// lead-out, lead-in and the 2-second pregap (MMC, multisession layout).
constexpr std::uint32_t kFirstSessionGap = 6750 + 4500 + 150;
constexpr std::uint32_t kLaterSessionGap = 2250 + 4500 + 150;
// On DVD and BD a closed session ends with a border-out (lead-out) and the next one starts
// after its border-in: one figure for both, in 2048-byte blocks.
constexpr std::uint32_t kDvdSessionGap = 0x3000;

class VirtualDisc {
public:
    // Reads an existing CUE sheet with its track files. Null and a message when the sheet is
    // damaged or a track file is missing or does not match the sheet.
    static std::unique_ptr<VirtualDisc> Load(const std::string& cuePath, std::string& error);
    // A new blank disc; writes its CUE sheet at once so another process sees the same medium.
    static std::unique_ptr<VirtualDisc> Create(const std::string& cuePath, const kvcat::Medium& media,
                                               std::uint32_t capacity, std::string& error, bool formatted = true);
    ~VirtualDisc();

    VirtualDisc(const VirtualDisc&) = delete;
    VirtualDisc& operator=(const VirtualDisc&) = delete;

    // The medium's row in the catalogue (NoMedium() for none).
    const kvcat::Medium& Media() const { return *media_; }
    std::uint32_t Capacity() const { return capacity_; }
    const std::vector<DiscTrack>& Tracks() const { return tracks_; }
    int ClosedSessions() const { return closedSessions_; }
    bool Finalized() const { return finalized_; }
    const std::string& CuePath() const { return cuePath_; }

    bool Present() const { return media_->profile != 0; }
    bool Rewritable() const { return media_->drive.erasable; }
    bool IsCd() const { return media_->family == kvcat::Family::CD; }
    bool IsDvd() const { return Present() && media_->family == kvcat::Family::DVD; }
    bool Writable() const { return Present() && media_->Writable(); }
    bool Overwritable() const { return media_->Overwritable(); }
    // Overwritable media only: FORMAT UNIT has run (other media count as formatted).
    bool Formatted() const { return formatted_; }

    DiscStatus Status() const;
    // The open (incomplete) track, if a track has been started and not closed.
    const DiscTrack* OpenTrack() const;
    // Where the next block must go; none on a finalized disc or one without room.
    std::optional<std::uint32_t> NextWritableAddress() const;
    int NextTrackNumber() const { return static_cast<int>(tracks_.size()) + 1; }
    int CurrentSession() const { return closedSessions_ + 1; }

    // Starts track NextTrackNumber() at NextWritableAddress(): creates its file and records it
    // as open in the CUE sheet.
    bool BeginTrack(bool audio, std::uint8_t control, std::string& error);
    // Appends whole blocks to the open track; buffered, so most calls make no system call.
    bool Append(const std::uint8_t* data, std::size_t bytes, std::uint32_t blocks, std::string& error);
    // Writes buffered data to the track file; durable also syncs it to the storage.
    bool Flush(bool durable, std::string& error);
    bool CloseTrack(std::string& error);
    // Closes the open track first, if any. appendable leaves room for another session.
    bool CloseSession(bool appendable, std::string& error);
    // Back to a blank disc: the sheet is rewritten first, then the track files go.
    bool Blank(std::string& error);
    // Like Blank, and the medium may change its recording mode on the way (a formatted DVD-RW
    // is in restricted overwrite mode, a blanked one sequential again).
    bool Reformat(const kvcat::Medium& media, bool formatted, std::string& error);
    // Finalizes a disc whose last session is already closed (DVD+R, BD-R close functions).
    bool Finalize(std::string& error);
    // Overwritable media: writes whole blocks at any address; the single track grows to cover
    // them (a gap reads as zeros).
    bool WriteAt(std::uint32_t lba, const std::uint8_t* data, std::size_t bytes, std::uint32_t blocks,
                 std::string& error);
    // Removes the sheet and the track files (a disc taken out for good).
    bool Remove(std::string& error);

    // Why the last state change failed. Two programs may attach the same sheet: the one that
    // finds the sheet changed under it, or the track file locked by the other, must not write.
    enum class Failure : std::uint8_t { None, Io, ChangedElsewhere, InUse, NameTaken };
    Failure LastFailure() const { return failure_; }

    enum class ReadResult : std::uint8_t { Ok, OutOfRange, AudioTrack, IoError };
    ReadResult Read(std::uint32_t lba, std::uint32_t count, std::uint8_t* out);

private:
    VirtualDisc() = default;
    bool Save(std::string& error);
    bool SheetUnchanged(std::string& error);
    // "disc-01.iso"; variant 2 and on ("disc-01-2.iso") when the plain name is taken.
    std::string TrackFileName(int number, bool audio, int variant = 1) const;
    static constexpr int kTrackNameVariants = 20;
    bool OpenTrackFile(DiscTrack& track, bool create, std::string& error);
    bool WritePending(std::string& error);

    std::string cuePath_;
    std::string dir_;
    std::string stem_;
    const kvcat::Medium* media_ = &kvcat::NoMedium();
    std::uint32_t capacity_ = 0;
    bool formatted_ = true;
    int closedSessions_ = 0;
    bool finalized_ = false;
    std::vector<DiscTrack> tracks_;

    int fd_ = -1;                          // the open track's file
    std::vector<std::uint8_t> pending_;    // write-behind buffer of the open track
    std::size_t pendingBytes_ = 0;
    std::uint64_t fileBytes_ = 0;          // bytes of the open track already in its file

    // The sheet as this object last read or wrote it.
    struct SheetIdentity {
        bool exists = false;
        std::uint64_t device = 0, inode = 0, size = 0;
        std::int64_t modifiedSec = 0, modifiedNsec = 0;
        bool operator==(const SheetIdentity&) const = default;
    };
    SheetIdentity sheet_;
    Failure failure_ = Failure::None;
};

}  // namespace vdrive
