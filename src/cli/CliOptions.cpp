#include "cli/CliOptions.h"

#include <array>
#include <cctype>
#include <charconv>

#include "catalog/Media.h"
#include "cli/ExitCodes.h"

namespace cli {

namespace {

struct CommandEntry {
    Command command;
    const char* name;
};

constexpr std::array<CommandEntry, 15> kCommands = {{
    {Command::Drives, "drives"},
    {Command::Burn, "burn"},
    {Command::BurnAudio, "burn-audio"},
    {Command::Blank, "blank"},
    {Command::Capabilities, "capabilities"},
    {Command::Speeds, "speeds"},
    {Command::WriterParams, "writer-params"},
    {Command::Toc, "toc"},
    {Command::DvdStructure, "dvd-structure"},
    {Command::Buffer, "buffer"},
    {Command::WriteMode, "write-mode"},
    {Command::Eject, "eject"},
    {Command::DiscInfo, "disc-info"},
    {Command::Image, "image"},
    {Command::Load, "load"},
}};

bool ParseDrive(const std::string& text, DriveSelector& drive) {
    if (text.empty()) return false;
    if (text[0] == '/') {
        drive.kind = DriveSelector::Kind::Path;
        drive.path = text;
        return true;
    }
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        int value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || value < 0) return false;
        drive.kind = DriveSelector::Kind::Index;
        drive.index = value;
        return true;
    }
    // A letter, optionally with its colon and backslash as the drive box shows it.
    std::string rest = text.substr(1);
    if (!std::isalpha(static_cast<unsigned char>(text[0])) ||
        !(rest.empty() || rest == ":" || rest == ":\\" || rest == ":/"))
        return false;
    drive.kind = DriveSelector::Kind::Letter;
    drive.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return true;
}

}  // namespace

const char* CommandName(Command command) {
    for (const auto& entry : kCommands)
        if (entry.command == command) return entry.name;
    return "";
}

std::optional<Command> CommandFromName(const std::string& name) {
    for (const auto& entry : kCommands)
        if (name == entry.name) return entry.command;
    return std::nullopt;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
    ParseResult result;
    Options& o = result.options;
    std::vector<std::string> positional;
    bool optionsEnded = false;

    auto fail = [&](std::string message) {
        result.error = std::move(message);
        return result;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        std::string name = arg;
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0) {
            auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
            }
        }
        auto takeValue = [&](std::string& value) -> bool {
            if (inlineValue) {
                value = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) return false;
            value = args[++i];
            return true;
        };
        auto noValue = [&]() { return !inlineValue.has_value(); };

        if (name == "-h" || name == "--help") {
            if (!noValue()) return fail("option " + name + " takes no value");
            o.help = true;
        } else if (name == "-V" || name == "--version") {
            if (!noValue()) return fail("option " + name + " takes no value");
            o.version = true;
        } else if (name == "--json") {
            if (!noValue()) return fail("option --json takes no value");
            o.json = true;
        } else if (name == "--trace") {
            if (!noValue()) return fail("option --trace takes no value");
            o.trace = true;
        } else if (name == "--virtual-drive") {
            std::string value;
            if (!takeValue(value)) return fail("option --virtual-drive needs PATH[,OPTIONS]");
            if (value.empty() || value[0] == ',')
                return fail("option --virtual-drive needs a path before its options");
            o.virtualDrives.push_back(value);
        } else if (name == "--virtual-stick") {
            std::string value;
            if (!takeValue(value)) return fail("option --virtual-stick needs PATH[,size=N]");
            if (value.empty() || value[0] == ',')
                return fail("option --virtual-stick needs a path before its options");
            o.virtualSticks.push_back(value);
        } else if (name == "--yes" || name == "--unmount" || name == "--allow-large" || name == "--allow-non-hybrid") {
            if (!noValue()) return fail("option " + name + " takes no value");
            if (name == "--yes") o.yes = true;
            if (name == "--unmount") o.unmount = true;
            if (name == "--allow-large") o.allowLarge = true;
            if (name == "--allow-non-hybrid") o.allowNonHybrid = true;
        } else if (name == "--drive") {
            std::string value;
            if (!takeValue(value)) return fail("option --drive needs a drive letter, an index or a device path");
            // A list: one burn per target, at once.
            o.drives.clear();
            o.allDrives = false;
            std::size_t from = 0;
            for (;;) {
                const std::size_t comma = value.find(',', from);
                const std::string one = value.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
                DriveSelector selector;
                if (one == "all") o.allDrives = true;
                else if (ParseDrive(one, selector)) o.drives.push_back(selector);
                else return fail("option --drive: \"" + one + "\" is neither a drive letter, an index, a device path nor all");
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
            o.drive = o.drives.empty() ? DriveSelector{} : o.drives.front();
        } else if (name == "--keep-session-open" || name == "--no-eject" || name == "--no-verify") {
            if (!noValue()) return fail("option " + name + " takes no value");
            if (name == "--keep-session-open") o.keepSessionOpen = true;
            if (name == "--no-eject") o.noEject = true;
            if (name == "--no-verify") o.noVerify = true;
        } else if (name == "--blank-as-needed") {
            if (!noValue()) return fail("option --blank-as-needed takes no value");
            o.blankAsNeeded = true;
        } else if (name == "--force") {
            if (!noValue()) return fail("option --force takes no value");
            o.force = true;
        } else if (name == "--simulate" || name == "--fast") {
            if (!noValue()) return fail("option " + name + " takes no value");
            (name == "--simulate" ? o.simulate : o.fastBlank) = true;
        } else if (name == "--speed") {
            std::string value;
            if (!takeValue(value)) return fail("option --speed needs a speed (8, 16, ... or max)");
            unsigned x = 0;
            auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), x);
            if (value == "max") x = 0;
            else if (ec != std::errc() || end != value.data() + value.size() || x == 0 || x > 255)
                return fail("option --speed: \"" + value + "\" is neither a speed from 1 to 255 nor max");
            o.speed = x;
            o.speedGiven = true;
        } else if (name == "--sha256") {
            std::string value;
            if (!takeValue(value)) return fail("option --sha256 needs the image's SHA-256 (64 hex digits)");
            if (value.size() != 64 || value.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return fail("option --sha256: \"" + value + "\" is not a SHA-256 (64 hex digits)");
            o.sha256 = value;
        } else {
            return fail("unknown option " + arg);
        }
    }

    // The first positional word is the command, the rest are its arguments.
    const std::vector<std::string>& words = positional;
    if (words.empty()) {
        if (o.help || o.version) return result;
        return fail("no command given");
    }
    auto command = CommandFromName(words[0]);
    if (!command) return fail("unknown command \"" + words[0] + "\"");
    o.command = *command;

    if ((o.keepSessionOpen || o.noVerify) && o.command != Command::Burn)
        return fail("--keep-session-open and --no-verify belong to the burn command");
    if (o.noEject && o.command != Command::Burn && o.command != Command::BurnAudio)
        return fail("--no-eject belongs to the burn and burn-audio commands");
    if (o.force && o.command != Command::BurnAudio && o.command != Command::Burn)
        return fail("--force belongs to the burn and burn-audio commands");
    if (o.simulate && o.command != Command::Burn && o.command != Command::BurnAudio)
        return fail("--simulate belongs to the burn and burn-audio commands");
    if (o.speedGiven && o.command != Command::Burn && o.command != Command::BurnAudio && o.command != Command::Blank)
        return fail("--speed belongs to the burn, burn-audio and blank commands");
    if (!o.sha256.empty() && o.command != Command::Burn) return fail("--sha256 belongs to the burn command");
    if (o.fastBlank && o.command != Command::Blank) return fail("--fast belongs to the blank command");
    if (o.blankAsNeeded && o.command != Command::Burn && o.command != Command::BurnAudio)
        return fail("--blank-as-needed belongs to the burn and burn-audio commands");
    if ((o.yes || o.unmount || o.allowLarge || o.allowNonHybrid) && o.command != Command::Burn)
        return fail("--yes, --unmount, --allow-large and --allow-non-hybrid belong to the burn command");
    if (o.SeveralTargets() && o.command != Command::Burn && o.command != Command::Blank)
        return fail("--drive with several drives, or all, belongs to the burn and blank commands");
    for (std::size_t i = 0; i < o.drives.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (o.drives[i].kind == o.drives[j].kind && o.drives[i].letter == o.drives[j].letter &&
                o.drives[i].index == o.drives[j].index && o.drives[i].path == o.drives[j].path)
                return fail("option --drive names one drive twice");
    for (const DriveSelector& d : o.drives)
        if (d.kind == DriveSelector::Kind::Path && o.command != Command::Burn)
            return fail("--drive with a device path (a USB stick or card) belongs to the burn command");
    if (o.drive.kind == DriveSelector::Kind::Path && o.command != Command::Burn)
        return fail("--drive with a device path (a USB stick or card) belongs to the burn command");
    // A simulation records nothing, but the blank before it would be real.
    if (o.blankAsNeeded && o.simulate) return fail("--blank-as-needed cannot be simulated: the blank would erase the disc");

    const std::size_t extra = words.size() - 1;
    switch (o.command) {
    case Command::Burn:
        if (extra > 1) return fail("burn takes at most one image");
        if (extra == 1) o.image = words[1];
        break;
    case Command::BurnAudio:
        if (extra == 0) return fail("burn-audio needs at least one wave file");
        o.waveFiles.assign(words.begin() + 1, words.end());
        break;
    case Command::WriteMode:
        if (extra != 1) return fail("write-mode needs one argument: data or cdda");
        if (words[1] == "data")
            o.writeMode = WriteMode::Data;
        else if (words[1] == "cdda")
            o.writeMode = WriteMode::Cdda;
        else
            return fail("write-mode: \"" + words[1] + "\" is neither data nor cdda");
        break;
    default:
        if (extra != 0)
            return fail(std::string(CommandName(o.command)) + " takes no arguments");
        break;
    }
    return result;
}

namespace {

// Text wrapped greedily: the first line after First, the others after Indent spaces, none longer
// than Width. Lines break at spaces and after a '|' of a list of choices.
std::string Wrapped(const std::string& First, std::size_t Indent, std::size_t Width, const std::string& Text) {
    std::string out = First;
    std::size_t lineStart = First.rfind('\n') == std::string::npos ? 0 : First.rfind('\n') + 1;
    std::size_t at = 0;
    bool lineEmpty = true;
    while (at < Text.size()) {
        const bool spaced = Text[at] == ' ';
        if (spaced) ++at;
        std::size_t end = at;
        while (end < Text.size() && Text[end] != ' ' && Text[end] != '|') ++end;
        if (end < Text.size() && Text[end] == '|') ++end;
        const std::string word = Text.substr(at, end - at);
        const std::size_t gap = lineEmpty || !spaced ? 0 : 1;
        if (!lineEmpty && out.size() - lineStart + gap + word.size() > Width) {
            out += '\n';
            lineStart = out.size();
            out.append(Indent, ' ');
        } else if (gap != 0) {
            out += ' ';
        }
        out += word;
        lineEmpty = false;
        at = end;
    }
    return out + '\n';
}

// "1,385", "176.4": kB/s of 1x as the help says them.
std::string KBsText(double KBs) {
    const auto whole = static_cast<unsigned>(KBs);
    const std::string plain = std::to_string(whole);
    std::string digits;
    for (std::size_t i = 0; i < plain.size(); ++i) {
        if (i > 0 && (plain.size() - i) % 3 == 0) digits += ',';
        digits += plain[i];
    }
    const auto tenths = static_cast<unsigned>((KBs - whole) * 10 + 0.5);
    if (tenths != 0) {
        digits += '.';
        digits += std::to_string(tenths);
    }
    return digits;
}

// The speed option's text: 1x of every family, from the catalogue.
std::string SpeedHelp() {
    std::string text = "write at N x of the medium (";
    const char* sep = "";
    for (kvcat::Family family : {kvcat::Family::CD, kvcat::Family::DVD, kvcat::Family::BD}) {
        const kvcat::FamilySpeeds& speeds = kvcat::SpeedsOf(family);
        text += sep + std::string(speeds.name) + " " + KBsText(speeds.exactKbsPerX) + " kB/s";
        sep = ", ";
    }
    return Wrapped("      --speed N|max        ", 27, 80, text + "); default max, the drive's best");
}

// The virtual writer's options: every medium of the catalogue with a key, then none.
std::string VirtualDriveHelp() {
    std::string media;
    for (const kvcat::Medium& m : kvcat::Media())
        if (m.key != nullptr) media += std::string(m.key) + "|";
    return Wrapped("  --virtual-drive PATH[,OPTIONS]  attach a file-backed virtual writer whose disc is\n"
                   "                         ",
                   25, 85,
                   "the CUE sheet PATH (repeatable); OPTIONS: media=" + media +
                       "none, unformatted (a new dvd+rw, dvd-rw-ro or bd-re), speed=N, capacity=BLOCKS, "
                       "fail-write-at=LBA, stuck-buffer, no-rbc, no-config, no-test-write, not-ready=K, busy-ms=N, slow-disc-ms=N");
}

}  // namespace

std::string UsageText(const std::string& program) {
    std::string p = program;
    return "Usage: " + p + " [OPTIONS] COMMAND [ARGS]\n"
           "Burns a bootable rescue image onto a CD and reports what a CD/DVD writer says.\n"
           "\n"
           "Commands:\n"
           "  drives                 list the writers (letter, name, device path, SCSI address)\n"
           "  burn [IMAGE]           burn IMAGE as one data track (default: the rescue image, see\n"
           "                         image), read it back, eject\n"
           "      --keep-session-open  close the track but leave the session open\n"
           "      --no-verify          do not read the track back and compare it with the image\n"
           "      --no-eject           leave the disc in the drive\n"
           "      --blank-as-needed    blank a used CD-RW or DVD-RW first instead of refusing it\n"
           "      --simulate           go through the whole burn with the drive's Test Write:\n"
           "                           nothing is recorded (CD-R/RW, DVD-R/RW only; refused\n"
           "                           on other media and where a blank or format is due)\n"
           + SpeedHelp() +
           "      --sha256 HEX         the image's published SHA-256, checked before burning\n"
           "                           (else IMAGE.sha256, SHA256SUMS, IMAGE.md5 or MD5SUMS\n"
           "                           beside the image are used when they list it)\n"
           "      --force              burn an image that is not ISO 9660 as it is\n"
           "  burn-audio FILE.wav... burn the wave files as audio tracks, one track each, in\n"
           "                         order (title: the file name), close the session, eject\n"
           "      --force              burn waves that are not CD audio (44.1 kHz, 16-bit,\n"
           "                           stereo PCM) as they are: they will play as noise\n"
           "      --no-eject           leave the disc in the drive\n"
           "      --simulate, --speed N|max   as for burn\n"
           "  blank                  blank a rewritable disc: CD-RW and DVD-RW with BLANK (the\n"
           "                         whole disc); DVD+RW, DVD-RW in restricted overwrite mode\n"
           "                         and BD-RE, which take no BLANK, by overwriting their first\n"
           "                         64 KiB with zeros, so that no volume descriptor is left and\n"
           "                         the disc reads as blank (nothing is done when it already\n"
           "                         does); read-only and write-once discs are refused (exit 9)\n"
           "      --fast               the minimal blank (table of contents and PMA only)\n"
           "      --speed N|max        as for burn\n"
           "  capabilities           the drive's reading and writing capabilities\n"
           "  speeds                 the drive's current and maximum read and write speeds, and\n"
           "                         the write speeds it offers for the disc in it\n"
           "  writer-params          the drive's current write parameters\n"
           "  toc                    the disc's table of contents (No, Num, LBA, Flags)\n"
           "  dvd-structure          the DVD physical format descriptor\n"
           "  buffer                 the drive buffer's size and free space\n"
           "  write-mode data|cdda   set the write parameters for data or for audio (CD-DA)\n"
           "  eject                  eject the disc\n"
           "  load                   close the tray\n"
           "  disc-info              the disc in the drive: profile, status, sessions, tracks,\n"
           "                         next writable address, free blocks, capacity\n"
           "  image                  the rescue image burn takes without IMAGE, and where it\n"
           "                         was found\n"
           "\n"
           "Rescue image:\n"
           "  burn without IMAGE looks for Keelvane.iso, then KeelvaneDemo.iso, in these folders;\n"
           "  the first found wins:\n"
           "    1. the program's own folder\n"
           "    2. the installed data folder, ../share/keelvane/ from the program's folder\n"
           "       (/usr/share/keelvane/ for /usr/bin/keelvane-cli)\n"
           "    3. $XDG_DATA_HOME/keelvane/ (default: ~/.local/share/keelvane/): put your own\n"
           "       Keelvane.iso here, no root needed\n"
           "\n"
           "Options:\n"
           + VirtualDriveHelp() +
           "  --drive LETTER|INDEX|PATH\n"
           "                         the writer to use (default: the first --virtual-drive, else\n"
           "                         the first --virtual-stick, else the first writer); a PATH\n"
           "                         (/dev/sdb, or a --virtual-stick's file) burns onto a USB stick\n"
           "                         or SD card\n"
           "  --drive D,E,PATH|all   burn and blank: several targets at once, one job each (the\n"
           "                         image is checked once); all: every writer with a disc that\n"
           "                         can take the job, and every --virtual-stick (a real stick only\n"
           "                         when named: --drive all,/dev/sdb). The exit code is 0 when\n"
           "                         every target succeeded, else the first failed target's\n"
           "                         (in the order given; for all, the order of `drives`)\n"
           "  --virtual-stick PATH[,size=N]\n"
           "                         a file presented as a removable USB drive of N bytes (suffix K,\n"
           "                         M or G; default 1G); repeatable\n"
           "  --json                 one JSON object per line: events, then a final result\n"
           "  --trace                every SCSI command, its status and sense data on stderr,\n"
           "                         and at the end the commands sent per kind and the device opens\n"
           "  -h, --help             this text\n"
           "  -V, --version          the program's version\n"
           "\n"
           "Burning onto a USB stick or SD card (burn --drive PATH):\n"
           "  --yes                  erase it without asking (needed without a terminal)\n"
           "  --unmount              unmount its own mounted partitions first\n"
           "  --allow-large          a drive larger than 256 GiB (not a stick, most likely)\n"
           "  --allow-non-hybrid     an image without a partition table, which will not boot\n"
           "                         from a stick\n"
           "  Only removable drives and drives on USB or a card reader are taken; a disk that\n"
           "  holds the running system's file systems or swap never is.\n"
           "\n"
           "Exit codes:\n"
           "  0    success\n"
           "  1    the drive refused or failed the command (burn: no disc, drive not ready)\n"
           "  2    usage error; a stick's erasure not confirmed (without a terminal: no --yes)\n"
           "  3    no writer found, no such drive, or the drive cannot be opened; a --drive PATH\n"
           "       that is no stick this program may write (it says why)\n"
           "  4    image problem (missing, unreadable, not whole 2048-byte sectors, too big,\n"
           "       not ISO 9660 without --force, checksum mismatch;\n"
           "       burn-audio: a wave file missing, unreadable, not CD audio, or too long;\n"
           "       a stick: an image without a partition table, or larger than the stick)\n"
           "  5    the drive refused the write parameters\n"
           "  6    write error\n"
           "  7    error while synchronising the cache or closing the track or session\n"
           "  8    the burned track does not read back equal to the image, or the image\n"
           "       changed while it was burnt\n"
           "  9    the disc or drive cannot take the job: the disc cannot be written (read-only,\n"
           "       not blank, or a medium this program does not write), or burn --simulate on a\n"
           "       drive or medium without test write, or that would need a blank or format\n"
           "       first; blank: no disc, or one that cannot be blanked; nothing was written\n"
           "  10   the drive or the virtual disc is in use by another program (the drive is\n"
           "       mounted, or another burner has it); nothing was written\n"
           "  130  interrupted (Ctrl-C): the burn stopped after the current command\n"
           "  143  stopped by SIGTERM, as for Ctrl-C\n";
}

}  // namespace cli
