// The command line of keelvane-cli: global options, one command, its options and arguments.
// Parsing is a pure function so that every usage error is tested without running a drive.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class Command {
    None,
    Drives,
    Burn,
    BurnAudio,
    Blank,
    Capabilities,
    Speeds,
    WriterParams,
    Toc,
    DvdStructure,
    Buffer,
    WriteMode,
    Eject,
    DiscInfo,
    Image,
    Load,
};

enum class WriteMode { Data, Cdda };

// --drive E, --drive E:, --drive 0: a letter or a position in the drive list; --drive /dev/sdb:
// a removable drive (a USB stick or SD card) by its device path, or a virtual stick by its file.
struct DriveSelector {
    enum class Kind { Default, Letter, Index, Path } kind = Kind::Default;
    char letter = 0;   // upper case
    int index = 0;
    std::string path;
};

struct Options {
    bool help = false;
    bool version = false;
    bool json = false;
    bool trace = false;
    std::vector<std::string> virtualDrives;   // PATH[,OPTIONS], in the order given
    std::vector<std::string> virtualSticks;   // PATH[,size=N], in the order given
    DriveSelector drive;                      // the first one given
    // burn and blank: several targets at once (--drive D,E,/dev/sdb), or every writer with a
    // disc that can take the job (--drive all, with any stick named beside it)
    std::vector<DriveSelector> drives;
    bool allDrives = false;
    bool SeveralTargets() const { return allDrives || drives.size() > 1; }

    Command command = Command::None;
    // burn
    std::string image;                        // empty: the rescue image the image command names
    bool keepSessionOpen = false;
    bool noEject = false;
    bool noVerify = false;
    bool blankAsNeeded = false;               // blank a used rewritable disc first (burn, burn-audio)
    // burn-audio (and --no-eject)
    std::vector<std::string> waveFiles;      // one track each, in this order
    bool force = false;                       // burn waves that are not CD audio, or an image that is
                                              // not ISO 9660, as they are
    std::string sha256;                       // burn: the image's published SHA-256 (hex)
    bool simulate = false;                    // burn, burn-audio: Test Write, nothing recorded
    unsigned speed = 0;                       // burn, burn-audio, blank: x of the medium; 0 = max
    bool speedGiven = false;                  // --speed was given (max included)
    bool fastBlank = false;                   // blank: the minimal blank
    // burn onto a removable drive
    bool yes = false;                         // erase it without asking
    bool unmount = false;                     // unmount its own mounted partitions first
    bool allowLarge = false;                  // a drive over the size bound
    bool allowNonHybrid = false;              // an image that will not boot from a stick
    // write-mode
    WriteMode writeMode = WriteMode::Data;
};

struct ParseResult {
    Options options;
    std::string error;   // empty when the command line is valid
    bool ok() const { return error.empty(); }
};

// argv without the program name. Global options may stand before or after the command.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

const char* CommandName(Command command);
std::optional<Command> CommandFromName(const std::string& name);

// The --help text, exit codes included.
std::string UsageText(const std::string& program);

}  // namespace cli
