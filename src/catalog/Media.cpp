#include "catalog/Media.h"

#include <string>

namespace kvcat {

namespace {

constexpr std::uint32_t kCd = 359849;        // 80-minute CD-R
constexpr std::uint32_t kDvd = 2295104;      // single-layer 4.7 GB
constexpr std::uint32_t kDvdDl = 4173824;    // dual-layer 8.5 GB
constexpr std::uint32_t kBd = 12219392;      // single-layer 25 GB
constexpr std::uint32_t kBdDl = 24438784;    // dual-layer 50 GB

// Close functions: 1 track, 2 session, 5 DVD+R finalize with minimal radius, 6 finalize; 0 on
// overwritable media stops a background format, and 1 or 2 there are accepted and change nothing.
constexpr std::uint8_t kNoFinalize = 0;
constexpr std::uint8_t kFinalizeMinimalRadius = 5;
constexpr std::uint8_t kFinalize = 6;
constexpr std::uint8_t kTrackSession = Bit(1) | Bit(2);

// Write types of mode page 05h a drive accepts: track at once and session at once on a CD;
// incremental and disc at once on DVD-R/-RW; overwritable media ignore the page.
constexpr std::uint8_t kCdWriteTypes = Bit(1) | Bit(2);
constexpr std::uint8_t kDashWriteTypes = Bit(0) | Bit(2);
constexpr std::uint8_t kIgnoredWriteTypes = Bit(0) | Bit(1) | Bit(2);

constexpr std::uint8_t kIncremental = 0x00;
constexpr std::uint8_t kFormatFull = 0x00;        // DVD-RW restricted overwrite, BD-RE with spares
constexpr std::uint8_t kFormatDvdPlusRW = 0x26;

constexpr std::uint16_t kTestWriteCd = 0x002D;    // CD Track at Once
constexpr std::uint16_t kTestWriteDash = 0x002F;  // DVD-R/-RW Write

constexpr FormatOffer kEnd = {0xFF, 0, false};
constexpr std::array<FormatOffer, 3> kNoFormats = {kEnd, kEnd, kEnd};
constexpr std::array<FormatOffer, 3> kDvdPlusRwFormats = {{{kFormatDvdPlusRW, 0, false}, kEnd, kEnd}};
constexpr std::array<FormatOffer, 3> kDvdRwFormats = {{{kFormatFull, 16, true}, {0x15, 16, false}, kEnd}};
constexpr std::array<FormatOffer, 3> kBdReFormats = {{{kFormatFull, 0x3000, false}, {0x30, 0x3000, false}, {0x31, 0, false}}};

constexpr std::uint8_t kTrackAtOnce = 0x01;
constexpr std::uint8_t kTrackModeCdData = 4;
constexpr std::uint8_t kTrackModeIncremental = 5;
constexpr std::uint16_t kCdAudioPause = 150;
constexpr std::uint16_t kCdRoom = 1024;

// Steps: page 05h, write type, track mode, audio pause, sized after the parameters, from the
// start, says where, formats, format type, stops background format, closes track, closes
// session, finalizes, finalize function, blocks per write, room before a write, test write.
constexpr WriteSteps kNotWritten = {false, 0, 0, 0, false, false, false, false, 0, false, false, false, false, kNoFinalize, 1, 0, 0};
// One Mode 1 track at once from address 0, closed track then session, a block a WRITE.
constexpr WriteSteps kCdSteps = {true, kTrackAtOnce, kTrackModeCdData, kCdAudioPause, true, true, false, false, 0, false, true, true, false, kNoFinalize, 1, kCdRoom, kTestWriteCd};
constexpr WriteSteps kDashSteps = {true, kIncremental, kTrackModeIncremental, 0, false, false, true, false, 0, false, true, true, false, kNoFinalize, 16, 0, kTestWriteDash};
constexpr WriteSteps kPlusRSteps = {false, 0, 0, 0, false, false, true, false, 0, false, true, true, true, kFinalizeMinimalRadius, 16, 0, 0};
constexpr WriteSteps kPlusRDlSteps = {false, 0, 0, 0, false, false, true, false, 0, false, true, true, true, kFinalize, 16, 0, 0};
constexpr WriteSteps kRestrictedSteps = {false, 0, 0, 0, false, true, true, true, kFormatFull, false, false, false, false, kNoFinalize, 16, 0, 0};
constexpr WriteSteps kPlusRwSteps = {false, 0, 0, 0, false, true, true, true, kFormatDvdPlusRW, true, false, false, false, kNoFinalize, 16, 0, 0};
constexpr WriteSteps kBdRSteps = {false, 0, 0, 0, false, false, true, false, 0, false, true, true, true, kFinalize, 32, 0, 0};
constexpr WriteSteps kBdReSteps = {false, 0, 0, 0, false, true, true, true, kFormatFull, false, false, false, false, kNoFinalize, 32, 0, 0};

// Drive side: erasable, BLANK accepted, formats as, blanks as, write types, close functions,
// finalizing ones, features, formats, random blocking, DVD book type, DVD layers and type,
// background format.
constexpr DriveSide kPressed = {false, false, nullptr, nullptr, kCdWriteTypes, kTrackSession, 0, {}, kNoFormats, 16, 0x01, 0x01, false};

constexpr Medium kMedia[] = {
    {0x0008, "CD-ROM", "cd-rom", Family::CD, Recording::ReadOnly, Blanking::None, 1, kCd,
     kNotWritten,
     kPressed},
    {0x0009, "CD-R", "cd-r", Family::CD, Recording::Sequential, Blanking::None, 1, kCd,
     kCdSteps,
     {false, false, nullptr, nullptr, kCdWriteTypes, kTrackSession, 0, {0x0021, 0x002D}, kNoFormats, 16, 0, 0, false}},
    {0x000A, "CD-RW", "cd-rw", Family::CD, Recording::Sequential, Blanking::Blank, 1, kCd,
     kCdSteps,
     {true, true, nullptr, nullptr, kCdWriteTypes, kTrackSession, 0, {0x0021, 0x002D}, kNoFormats, 16, 0, 0, false}},
    {0x0010, "DVD-ROM", "dvd-rom", Family::DVD, Recording::ReadOnly, Blanking::None, 1, kDvd,
     kNotWritten,
     kPressed},
    {0x0011, "DVD-R", "dvd-r", Family::DVD, Recording::Sequential, Blanking::None, 1, kDvd,
     kDashSteps,
     {false, false, nullptr, nullptr, kDashWriteTypes, kTrackSession, 0, {0x0021, 0x002F}, kNoFormats, 16, 0x25, 0x02, false}},
    {0x0014, "DVD-RW", "dvd-rw", Family::DVD, Recording::Sequential, Blanking::Blank, 1, kDvd,
     kDashSteps,
     {true, true, "dvd-rw-ro", nullptr, kDashWriteTypes, kTrackSession, 0, {0x0021, 0x0023, 0x002F}, kDvdRwFormats, 16, 0x32, 0x04, false}},
    {0x0015, "DVD-R DL", nullptr, Family::DVD, Recording::Sequential, Blanking::None, 2, kDvdDl,
     kDashSteps,
     {false, false, nullptr, nullptr, kDashWriteTypes, kTrackSession, 0, {0x0021, 0x002F}, kNoFormats, 16, 0x25, 0x22, false}},
    {0x0013, "DVD-RW (restricted overwrite)", "dvd-rw-ro", Family::DVD, Recording::Overwritable, Blanking::Overwrite, 1, kDvd,
     kRestrictedSteps,
     {true, true, nullptr, "dvd-rw", kIgnoredWriteTypes, Bit(0) | kTrackSession, 0, {0x0023, 0x0026}, kDvdRwFormats, 16, 0x32, 0x04, false}},
    {0x001B, "DVD+R", "dvd+r", Family::DVD, Recording::Sequential, Blanking::None, 1, kDvd,
     kPlusRSteps,
     {false, false, nullptr, nullptr, 0, kTrackSession | Bit(5) | Bit(6), Bit(5) | Bit(6), {0x002B}, kNoFormats, 16, 0xA1, 0x02, false}},
    {0x002B, "DVD+R DL", "dvd+r-dl", Family::DVD, Recording::Sequential, Blanking::None, 2, kDvdDl,
     kPlusRDlSteps,
     {false, false, nullptr, nullptr, 0, kTrackSession | Bit(5) | Bit(6), Bit(5) | Bit(6), {0x002B, 0x003B}, kNoFormats, 16, 0xE1, 0x22, false}},
    {0x001A, "DVD+RW", "dvd+rw", Family::DVD, Recording::Overwritable, Blanking::Overwrite, 1, kDvd,
     kPlusRwSteps,
     {true, true, nullptr, nullptr, kIgnoredWriteTypes, Bit(0) | kTrackSession, 0, {0x0023, 0x002A}, kDvdPlusRwFormats, 16, 0x92, 0x04, true}},
    {0x0040, "BD-ROM", "bd-rom", Family::BD, Recording::ReadOnly, Blanking::None, 1, kBd,
     kNotWritten,
     kPressed},
    {0x0041, "BD-R", "bd-r", Family::BD, Recording::Sequential, Blanking::None, 1, kBd,
     kBdRSteps,
     {false, false, nullptr, nullptr, 0, kTrackSession | Bit(6), Bit(6), {0x0021, 0x0041}, kNoFormats, 16, 0, 0, false}},
    {0x0041, "BD-R DL", "bd-r-dl", Family::BD, Recording::Sequential, Blanking::None, 2, kBdDl,
     kBdRSteps,
     {false, false, nullptr, nullptr, 0, kTrackSession | Bit(6), Bit(6), {0x0021, 0x0041}, kNoFormats, 16, 0, 0, false}},
    {0x0043, "BD-RE", "bd-re", Family::BD, Recording::Overwritable, Blanking::Overwrite, 1, kBd,
     kBdReSteps,
     {true, false, nullptr, nullptr, 0, Bit(0) | kTrackSession, 0, {0x0023, 0x0041}, kBdReFormats, 32, 0, 0, true}},
    {0x0043, "BD-RE DL", "bd-re-dl", Family::BD, Recording::Overwritable, Blanking::Overwrite, 2, kBdDl,
     kBdReSteps,
     {true, false, nullptr, nullptr, 0, Bit(0) | kTrackSession, 0, {0x0023, 0x0041}, kBdReFormats, 32, 0, 0, true}},
};

constexpr Medium kNoMedium = {0x0000, "none", "none", Family::CD, Recording::ReadOnly, Blanking::None, 0, kCd,
                              kNotWritten,
                              {false, false, nullptr, nullptr, kCdWriteTypes, kTrackSession, 0, {}, kNoFormats, 16, 0, 0, false}};

constexpr FamilySpeeds kSpeeds[] = {
    {Family::CD, 176, 176.4, "CD", {52, 48, 40, 32, 24, 16, 12, 8, 4}},
    {Family::DVD, 1385, 1385.0, "DVD", {16, 12, 8, 6, 4, 2}},
    {Family::BD, 4495, 4495.0, "BD", {12, 10, 8, 6, 4, 2}},
};

}  // namespace

std::span<const Medium> Media() { return kMedia; }

const Medium& NoMedium() { return kNoMedium; }

const Medium* MediumByKey(std::string_view key) {
    for (const Medium& m : kMedia)
        if (m.key != nullptr && key == m.key) return &m;
    return nullptr;
}

const Medium* MediumByProfile(std::uint16_t profile) {
    for (const Medium& m : kMedia)
        if (m.profile == profile) return &m;
    return nullptr;
}

const Medium* MediumByProfileAndCapacity(std::uint16_t profile, std::int64_t blocks) {
    const Medium* holds = nullptr;     // the smallest row that holds the blocks
    const Medium* largest = nullptr;   // else the largest row of the profile
    for (const Medium& m : kMedia) {
        if (m.profile != profile) continue;
        if (blocks < 0) return &m;
        if (m.capacity >= blocks && (holds == nullptr || m.capacity < holds->capacity)) holds = &m;
        if (largest == nullptr || m.capacity > largest->capacity) largest = &m;
    }
    return holds != nullptr ? holds : largest;
}

std::string_view KeyList() {
    static const std::string list = [] {
        std::string out;
        for (const Medium& m : kMedia) {
            if (m.key == nullptr) continue;
            if (!out.empty()) out += ", ";
            out += m.key;
        }
        return out;
    }();
    return list;
}

const FamilySpeeds& SpeedsOf(Family family) {
    for (const FamilySpeeds& f : kSpeeds)
        if (f.family == family) return f;
    return kSpeeds[0];
}

}  // namespace kvcat
