// The one catalogue of media. Each medium a drive may hold is one row: what it is (profile,
// names, capacity, how it is recorded), how a data image goes onto it (the engine's write
// steps), and what a drive accepts and answers on it (the virtual writer's replies). The burn
// plan, the virtual writer, the command line's option parsing and help, and the reports all
// read this table, so a new medium is a new row here and nowhere else.
//
// Plain data with no dependencies: every layer above may read it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kvcat {

enum class Family : std::uint8_t { CD, DVD, BD };

enum class Recording : std::uint8_t {
    ReadOnly,       // pressed: every write refused
    Sequential,     // written at the next writable address, then closed (write-once, or a
                    // rewritable disc that is blanked to be written again)
    Overwritable,   // formatted once, then written anywhere below the formatted capacity
};

// How a used disc is made blank again.
enum class Blanking : std::uint8_t {
    None,        // it cannot be (pressed or write-once)
    Blank,       // BLANK (CD-RW, sequential DVD-RW)
    Overwrite,   // overwritable: its first 64 KiB zeroed, as the independent burners do
};

constexpr std::uint8_t Bit(unsigned n) { return static_cast<std::uint8_t>(1u << n); }

// How a data image goes onto the medium: the steps of the one burn, each row saying which
// apply and with what. Close functions are CLOSE TRACK/SESSION's (1 track, 2 session, 5 DVD+R
// finalize with minimal radius, 6 finalize).
struct WriteSteps {
    bool setsWriteParameters;      // mode page 05h, data block type 8 (Mode 1), with:
    std::uint8_t writeType;        //   1 track at once; 0 incremental (disc at once where the
                                   //   drive has no incremental recording)
    std::uint8_t trackMode;        //   the track mode byte (4 a CD data track, 5 incremental data)
    std::uint16_t audioPause;      //   the audio pause length field
    // The image's size and the room left are checked once the write parameters are set, the
    // room asked of the drive (a CD's depends on them); otherwise before, from the plan.
    bool sizesAfterParameters;
    bool fromStart;                // written from address 0 as track 1 (else from the next
                                   // writable address into the track the disc names)
    bool saysWhere;                // "Writing : N blocks from sector S" before the first write
    bool formatsWhenUnformatted;   // FORMAT UNIT (IMMED) first on an unformatted disc
    std::uint8_t formatType;       // with this format descriptor type
    bool stopsBackgroundFormat;    // a background format the drive runs is ended after the write
    bool closesTrack;              // CLOSE TRACK after the write
    bool closesSession;            // CLOSE SESSION when the session is closed
    bool finalizes;                // and then finalizeFunction
    std::uint8_t finalizeFunction;
    std::uint16_t blocksPerWrite;  // 2048-byte blocks per WRITE(10)
    // Bytes the drive's buffer must have free before the next WRITE; 0: one whole write's
    // (or the whole buffer, when that is smaller).
    std::uint16_t roomBeforeWrite;
    // The feature whose Test Write bit says the drive simulates a burn on the medium (CD Track
    // at Once 002Dh, DVD-R/-RW Write 002Fh); 0: the medium takes no test write at all.
    std::uint16_t testWriteFeature;
};

// A format a drive offers for the medium (READ FORMAT CAPACITIES) and accepts (FORMAT UNIT).
struct FormatOffer {
    std::uint8_t type;
    std::uint32_t parameter;   // the type-dependent parameter
    bool full;                 // takes as long as writing the whole disc
};

// What a drive accepts and answers on the medium.
struct DriveSide {
    bool erasable;                      // READ DISC INFORMATION's erasable bit
    bool blankAccepted;                 // BLANK accepted
    // The medium a FORMAT UNIT turns the disc into, and the one a BLANK turns it back into
    // (a sequential DVD-RW formatted to restricted overwrite and back); null: itself.
    const char* formatsAs;
    const char* blanksAs;
    // Write types (mode page 05h) MODE SELECT accepts, bit per type; 0: the drive takes no
    // write parameters page at all on this medium and refuses one.
    std::uint8_t writeTypes;
    std::uint8_t closeFunctions;        // CLOSE TRACK/SESSION functions accepted, bit per function
    std::uint8_t finalizeFunctions;     // of those, the ones that finalize the disc
    // The features current with this medium beyond those of its family (incremental writing,
    // formattable, the medium's write feature ...); 0 ends the list.
    std::array<std::uint16_t, 4> features;
    std::array<FormatOffer, 3> formats; // type 0xFF ends the list
    std::uint16_t randomBlocking;       // blocks per random write (feature 0020h)
    std::uint8_t dvdBook;               // READ DVD STRUCTURE format 0: book type and version
    std::uint8_t dvdLayerType;          // and layers and layer type (0 on other families)
    bool backgroundFormat;              // formats in the background: READ DISC INFORMATION
                                        // reports the format complete once it ran
};

struct Medium {
    std::uint16_t profile;      // MMC profile number (GET CONFIGURATION)
    const char* name;           // "DVD+R": reports and messages
    const char* key;            // "dvd+r": media= values, the CUE sheet's MEDIA line; null: no
                                // virtual disc of this medium
    Family family;
    Recording recording;
    Blanking blanking;
    std::uint8_t layers;
    std::uint32_t capacity;     // 2048-byte blocks of a new disc
    WriteSteps steps;
    DriveSide drive;

    bool Writable() const { return recording != Recording::ReadOnly; }
    bool WriteOnce() const { return recording == Recording::Sequential && blanking == Blanking::None; }
    bool Rewritable() const { return recording != Recording::ReadOnly && !WriteOnce(); }
    bool Overwritable() const { return recording == Recording::Overwritable; }
};

// How a family counts speed: 1x in kB/s (176 on a CD, as the capabilities page counts it; 1385
// on a DVD; 4495 on a BD) and the write speeds a drive offers on it, fastest first, in x (the
// list ends at the first 0).
struct FamilySpeeds {
    Family family;
    unsigned kbsPerX;
    // 1x exactly, in kB/s of 1000 bytes: what a speed asked in x is turned into, and a drive's
    // kB/s shown as x (CD 176.4: 75 blocks of 2352 bytes a second).
    double exactKbsPerX;
    const char* name;                        // "CD", "DVD", "BD"
    std::array<std::uint8_t, 10> offered;
};
const FamilySpeeds& SpeedsOf(Family family);

// Every medium, in the order the attach syntax and help list them.
std::span<const Medium> Media();
// The row of a key ("dvd+r"); null when no medium has that key.
const Medium* MediumByKey(std::string_view key);
// The first row of a profile; null for one the catalogue does not know. Profiles shared by
// several rows (single and dual layer BD) name the single-layer row; ByProfileAndCapacity
// tells them apart.
const Medium* MediumByProfile(std::uint16_t profile);
// The row of a profile whose default capacity is the smallest that holds Blocks (the dual
// layer row of a disc larger than one layer); the first row of the profile when Blocks is
// unknown (negative).
const Medium* MediumByProfileAndCapacity(std::uint16_t profile, std::int64_t blocks);
// The row of an empty drive (profile 0: nothing accepted).
const Medium& NoMedium();
// The keys, "cd-rom, cd-r, ...": for help texts and error messages.
std::string_view KeyList();

}  // namespace kvcat
