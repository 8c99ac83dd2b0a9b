#include "vdrive/Media.h"

#include <string>

namespace vdrive {

namespace {

constexpr std::uint8_t kCdWriteTypes = Bit(1) | Bit(2);             // track at once, session at once
constexpr std::uint8_t kDashWriteTypes = Bit(0) | Bit(2);           // incremental, disc at once
constexpr std::uint8_t kIgnoredWriteTypes = Bit(0) | Bit(1) | Bit(2);
constexpr std::uint8_t kTrackSession = Bit(1) | Bit(2);

// Close functions (MMC, CLOSE TRACK/SESSION): 1 track, 2 session; DVD+R 5 finalize with
// minimal radius and 6 finalize; BD-R 6 finalize; 0 on overwritable media stops a background
// format, and 1 or 2 there are accepted and change nothing.
constexpr MediaInfo kMedia[] = {
    {MediaType::CDROM, "cd-rom", 0x0008, MediaFamily::CD, Recording::ReadOnly, false, false, kDefaultCdCapacity, kCdWriteTypes, kTrackSession, 0},
    {MediaType::CDR, "cd-r", 0x0009, MediaFamily::CD, Recording::Sequential, false, false, kDefaultCdCapacity, kCdWriteTypes, kTrackSession, 0},
    {MediaType::CDRW, "cd-rw", 0x000A, MediaFamily::CD, Recording::Sequential, true, true, kDefaultCdCapacity, kCdWriteTypes, kTrackSession, 0},
    {MediaType::DVDROM, "dvd-rom", 0x0010, MediaFamily::DVD, Recording::ReadOnly, false, false, kDefaultDvdCapacity, kCdWriteTypes, kTrackSession, 0},
    {MediaType::DVDR, "dvd-r", 0x0011, MediaFamily::DVD, Recording::Sequential, false, false, kDefaultDvdCapacity, kDashWriteTypes, kTrackSession, 0},
    {MediaType::DVDRW, "dvd-rw", 0x0014, MediaFamily::DVD, Recording::Sequential, true, true, kDefaultDvdCapacity, kDashWriteTypes, kTrackSession, 0},
    {MediaType::DVDRWRestricted, "dvd-rw-ro", 0x0013, MediaFamily::DVD, Recording::Overwritable, true, true, kDefaultDvdCapacity, kIgnoredWriteTypes, Bit(0) | kTrackSession, 0},
    {MediaType::DVDPlusR, "dvd+r", 0x001B, MediaFamily::DVD, Recording::Sequential, false, false, kDefaultDvdCapacity, 0, kTrackSession | Bit(5) | Bit(6), Bit(5) | Bit(6)},
    {MediaType::DVDPlusRDL, "dvd+r-dl", 0x002B, MediaFamily::DVD, Recording::Sequential, false, false, kDefaultDvdDlCapacity, 0, kTrackSession | Bit(5) | Bit(6), Bit(5) | Bit(6)},
    {MediaType::DVDPlusRW, "dvd+rw", 0x001A, MediaFamily::DVD, Recording::Overwritable, true, true, kDefaultDvdCapacity, kIgnoredWriteTypes, Bit(0) | kTrackSession, 0},
    {MediaType::BDROM, "bd-rom", 0x0040, MediaFamily::BD, Recording::ReadOnly, false, false, kDefaultBdCapacity, kCdWriteTypes, kTrackSession, 0},
    {MediaType::BDR, "bd-r", 0x0041, MediaFamily::BD, Recording::Sequential, false, false, kDefaultBdCapacity, 0, kTrackSession | Bit(6), Bit(6)},
    {MediaType::BDRE, "bd-re", 0x0043, MediaFamily::BD, Recording::Overwritable, true, false, kDefaultBdCapacity, 0, Bit(0) | kTrackSession, 0},
};

constexpr MediaInfo kNoMedium = {MediaType::None, "none", 0x0000, MediaFamily::CD, Recording::ReadOnly, false, false, kDefaultCdCapacity, kCdWriteTypes, kTrackSession, 0};

}  // namespace

const MediaInfo& Medium(MediaType media) {
    for (const MediaInfo& m : kMedia)
        if (m.type == media) return m;
    return kNoMedium;
}

const FamilySpeeds& SpeedsOf(MediaFamily family) {
    static constexpr FamilySpeeds kSpeeds[] = {
        {MediaFamily::CD, 176, {52, 48, 40, 32, 24, 16, 12, 8, 4}},
        {MediaFamily::DVD, 1385, {16, 12, 8, 6, 4, 2}},
        {MediaFamily::BD, 4495, {12, 10, 8, 6, 4, 2}},
    };
    for (const FamilySpeeds& f : kSpeeds)
        if (f.family == family) return f;
    return kSpeeds[0];
}

const MediaInfo* MediaTable(std::size_t& count) {
    count = sizeof kMedia / sizeof kMedia[0];
    return kMedia;
}

const char* MediaName(MediaType media) { return Medium(media).name; }

bool MediaFromName(const std::string& name, MediaType& media) {
    for (const MediaInfo& m : kMedia) {
        if (name == m.name) {
            media = m.type;
            return true;
        }
    }
    return false;
}

}  // namespace vdrive
