#include "vdrive/VirtualDisc.h"

#include "platform/Posix.h"
#include <limits.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

namespace vdrive {

namespace {

// A sheet of another program (one track per file, no header) is read as a finished CD-R.
const kvcat::Medium& ForeignMedium() { return *kvcat::MediumByKey("cd-r"); }

// Small enough that several writers burning at once copy into the page cache cheaply: with
// eight writes of 1 MiB in flight a byte cost several times what it cost one writer (measured,
// not a guess), with 64 KiB about the same; and large enough that a sector-sized write is not a
// system call each.
constexpr std::size_t kWriteBehindBytes = 64 * 1024;
constexpr std::size_t kMaxCueBytes = 1024 * 1024;
constexpr const char* kHeader = "KEELVANE-VIRTUAL-DISC";

std::string ErrnoText(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool ParseU32(const std::string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    value = static_cast<std::uint32_t>(v);
    return true;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Splits a CUE line into words; "quoted text" is one word. False for an unterminated quote.
bool Tokenize(const std::string& line, std::vector<std::string>& words) {
    words.clear();
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size()) break;
        std::string word;
        if (line[i] == '"') {
            std::size_t close = line.find('"', i + 1);
            if (close == std::string::npos) return false;
            word = line.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') word += line[i++];
        }
        words.push_back(word);
    }
    return true;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t bytes, off_t offset) {
    while (bytes > 0) {
        ssize_t n = ::pwrite(fd, data, bytes, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        bytes -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

bool FileSize(const std::string& path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// Why a CUE FILE name may not stand for a track of this disc: a track file is a plain name in
// the sheet's own folder, so that no sheet can make the writer read, trim, overwrite or delete
// a file elsewhere. Empty when the name is fine.
std::string ForeignFileName(const std::string& name) {
    if (name.empty()) return "empty file name";
#ifdef _WIN32
    const bool absolute = name[0] == '/' || name[0] == '\\' ||
                          (name.size() > 2 && name[1] == ':' && (name[2] == '\\' || name[2] == '/'));
#else
    const bool absolute = name[0] == '/';
#endif
    if (absolute) return "the track file " + name + " is an absolute path";
    if (name == "." || name == "..") return "the track file " + name + " names a folder";
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos)
        return "the track file " + name + " contains a path separator (only files beside the sheet)";
#ifdef _WIN32
    // "C:name" is a file on another drive's current folder, "name:x" a stream of another file,
    // and the old device names (CON, NUL, COM1, ...) stand for devices in every folder.
    if (name.find(':') != std::string::npos)
        return "the track file " + name + " names a drive or a stream";
    std::string device = name.substr(0, name.find('.'));
    for (char& c : device) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (device == "CON" || device == "PRN" || device == "AUX" || device == "NUL" ||
        ((device.rfind("COM", 0) == 0 || device.rfind("LPT", 0) == 0) && device.size() == 4 &&
         device[3] >= '1' && device[3] <= '9'))
        return "the track file " + name + " names a device";
#endif
    return {};
}

// True when path, with every symbolic link followed, is a file directly inside dir.
bool ResolvesInside(const std::string& path, const std::string& dir) {
    char resolvedFile[PATH_MAX];
    char resolvedDir[PATH_MAX];
    if (!::realpath(path.c_str(), resolvedFile) || !::realpath(dir.c_str(), resolvedDir)) return false;
    const std::string file = resolvedFile;
    const std::string folder = resolvedDir;
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos) return false;
    return file.substr(0, slash == 0 ? 1 : slash) == folder;
}

// 16 hex digits no other program can guess, for the temporary sheet's name.
std::string UnpredictableSuffix() {
    std::uint64_t value = 0;
    if (::getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value)) {
        std::random_device device;
        value = static_cast<std::uint64_t>(device()) << 32 | device();
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

void SyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

static void SplitPath(const std::string& cuePath, std::string& dir, std::string& stem) {
    std::size_t slash = cuePath.find_last_of(kvsys::kPathSeparators);
    // A root ("/", "C:\") keeps its separator.
    const bool root = slash == 0 || (slash != std::string::npos && cuePath[slash - 1] == ':');
    dir = slash == std::string::npos ? "." : (root ? cuePath.substr(0, slash + 1) : cuePath.substr(0, slash));
    std::string name = slash == std::string::npos ? cuePath : cuePath.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    stem = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
}

VirtualDisc::~VirtualDisc() {
    std::string ignored;
    Flush(false, ignored);
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<VirtualDisc> VirtualDisc::Create(const std::string& cuePath, const kvcat::Medium& media,
                                                 std::uint32_t capacity, std::string& error, bool formatted) {
    std::unique_ptr<VirtualDisc> disc(new VirtualDisc());
    disc->cuePath_ = cuePath;
    SplitPath(cuePath, disc->dir_, disc->stem_);
    disc->media_ = &media;
    disc->capacity_ = capacity;
    disc->formatted_ = formatted || !media.Overwritable();
    if (!disc->Save(error)) return nullptr;
    return disc;
}

std::unique_ptr<VirtualDisc> VirtualDisc::Load(const std::string& cuePath, std::string& error) {
    std::unique_ptr<VirtualDisc> disc(new VirtualDisc());
    disc->cuePath_ = cuePath;
    SplitPath(cuePath, disc->dir_, disc->stem_);
    const std::string where = "CUE sheet " + cuePath;

    // Read through one descriptor: the identity remembered is that of the bytes parsed.
    const int cueFd = ::open(cuePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (cueFd < 0) {
        error = ErrnoText("cannot read", cuePath);
        return nullptr;
    }
    struct stat cueStat {};
    const bool statted = ::fstat(cueFd, &cueStat) == 0;
    if (!statted || !S_ISREG(cueStat.st_mode)) {
        if (statted) errno = S_ISDIR(cueStat.st_mode) ? EISDIR : EINVAL;
        error = ErrnoText("cannot read", cuePath);
        ::close(cueFd);
        return nullptr;
    }
    if (static_cast<std::uint64_t>(cueStat.st_size) > kMaxCueBytes) {
        ::close(cueFd);
        error = where + ": too large for a CUE sheet";
        return nullptr;
    }
    std::string cueText;
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(cueFd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = ErrnoText("cannot read", cuePath);
                ::close(cueFd);
                return nullptr;
            }
            if (n == 0) break;
            cueText.append(buf, static_cast<std::size_t>(n));
            if (cueText.size() > kMaxCueBytes) {
                ::close(cueFd);
                error = where + ": too large for a CUE sheet";
                return nullptr;
            }
        }
    }
    ::close(cueFd);
    std::istringstream in(cueText);

    bool ours = false, haveMedia = false, haveCapacity = false, haveFinalized = false, haveSessions = false;
    bool haveFormatted = false;
    std::uint32_t closedSessions = 0;
    std::vector<DiscTrack> tracks;
    struct Pending { bool haveStart = false, haveBlocks = false, haveSession = false, haveState = false, haveIndex = false; };
    std::vector<Pending> pending;
    std::string currentFile;
    int fileLine = 0;
    std::vector<int> fileLines;   // the FILE line of each track
    bool fileUsed = true;
    std::set<std::string> files;

    std::string line;
    int lineNo = 0;
    std::vector<std::string> w;
    auto fail = [&](const std::string& message) {
        error = where + " line " + std::to_string(lineNo) + ": " + message;
        return nullptr;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (lineNo == 1 && line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF &&
            static_cast<unsigned char>(line[1]) == 0xBB && static_cast<unsigned char>(line[2]) == 0xBF)
            line.erase(0, 3);
        if (line.find('\0') != std::string::npos) return fail("binary data");
        if (!Tokenize(line, w)) return fail("unterminated quote");
        if (w.empty()) continue;
        const std::string cmd = Upper(w[0]);
        std::uint32_t n = 0;
        if (cmd == "REM") {
            if (w.size() < 2) continue;
            const std::string key = Upper(w[1]);
            const bool inTrack = !tracks.empty() && fileUsed;
            if (key == kHeader) {
                if (lineNo != 1 && ours) return fail("header repeated");
                if (w.size() != 3 || w[2] != "1") return fail("unsupported format version");
                ours = true;
            } else if (!ours) {
                continue;   // a comment of another program
            } else if (key == "MEDIA") {
                const kvcat::Medium* media = w.size() == 3 ? kvcat::MediumByKey(w[2]) : nullptr;
                if (media == nullptr) return fail("bad MEDIA");
                disc->media_ = media;
                haveMedia = true;
            } else if (key == "CAPACITY") {
                if (w.size() != 3 || !ParseU32(w[2], disc->capacity_) || disc->capacity_ == 0 ||
                    disc->capacity_ > 0x7FFFFFFFu)
                    return fail("bad CAPACITY");
                haveCapacity = true;
            } else if (key == "CLOSED-SESSIONS") {
                if (w.size() != 3 || !ParseU32(w[2], closedSessions) || closedSessions > 99)
                    return fail("bad CLOSED-SESSIONS");
                haveSessions = true;
            } else if (key == "FORMATTED") {
                if (w.size() != 3 || (w[2] != "YES" && w[2] != "NO") || haveFormatted) return fail("bad FORMATTED");
                disc->formatted_ = w[2] == "YES";
                haveFormatted = true;
            } else if (key == "FINALIZED") {
                if (w.size() != 3 || (w[2] != "YES" && w[2] != "NO")) return fail("bad FINALIZED");
                disc->finalized_ = w[2] == "YES";
                haveFinalized = true;
            } else if (key == "SESSION" || key == "START" || key == "BLOCKS" || key == "STATE") {
                if (!inTrack) return fail(key + " outside a track");
                DiscTrack& t = tracks.back();
                Pending& p = pending.back();
                if (w.size() != 3) return fail("bad " + key);
                if (key == "STATE") {
                    if (w[2] != "OPEN" && w[2] != "CLOSED") return fail("bad STATE");
                    t.closed = w[2] == "CLOSED";
                    p.haveState = true;
                } else {
                    if (!ParseU32(w[2], n)) return fail("bad " + key);
                    if (key == "SESSION") {
                        if (n == 0 || n > 99) return fail("bad SESSION");
                        t.session = static_cast<int>(n);
                        p.haveSession = true;
                    } else if (key == "START") {
                        t.start = n;
                        p.haveStart = true;
                    } else {
                        t.blocks = n;
                        p.haveBlocks = true;
                    }
                }
            }
            // Other REM lines are comments.
        } else if (cmd == "FILE") {
            if (!fileUsed) return fail("FILE without a TRACK");
            if (w.size() != 3 || Upper(w[2]) != "BINARY") return fail("only BINARY track files are supported");
            if (const std::string why = ForeignFileName(w[1]); !why.empty()) return fail(why);
            currentFile = w[1];
            fileLine = lineNo;
            fileUsed = false;
            if (!files.insert(currentFile).second) return fail("track file " + currentFile + " named twice");
        } else if (cmd == "TRACK") {
            if (fileUsed) return fail(currentFile.empty() ? "TRACK before FILE" : "one TRACK per FILE is supported");
            if (w.size() != 3 || !ParseU32(w[1], n) || n != tracks.size() + 1 || n > 99)
                return fail("track numbers must run 1, 2, 3 ...");
            DiscTrack t;
            t.number = static_cast<int>(n);
            const std::string mode = Upper(w[2]);
            if (mode == "MODE1/2048") {
                t.audio = false;
                t.control = 0x04;
            } else if (mode == "AUDIO") {
                t.audio = true;
                t.control = 0x00;
            } else {
                return fail("unsupported track mode " + w[2]);
            }
            t.fileName = currentFile;
            t.filePath = disc->dir_ + "/" + currentFile;
            tracks.push_back(t);
            fileLines.push_back(fileLine);
            pending.emplace_back();
            fileUsed = true;
        } else if (cmd == "FLAGS") {
            if (tracks.empty() || pending.back().haveIndex) return fail("FLAGS outside a track");
            for (std::size_t i = 1; i < w.size(); ++i) {
                const std::string f = Upper(w[i]);
                if (f == "PRE") tracks.back().control |= 0x01;
                else if (f == "DCP") tracks.back().control |= 0x02;
                else if (f == "4CH") tracks.back().control |= 0x08;
                else if (f != "SCMS") return fail("unknown flag " + w[i]);
            }
        } else if (cmd == "INDEX") {
            if (tracks.empty()) return fail("INDEX outside a track");
            if (w.size() != 3 || w[1] != "01" || w[2] != "00:00:00")
                return fail("only INDEX 01 00:00:00 is supported (one track per file, no pregap)");
            if (pending.back().haveIndex) return fail("INDEX repeated");
            pending.back().haveIndex = true;
        } else if (cmd == "CATALOG" || cmd == "TITLE" || cmd == "PERFORMER" || cmd == "SONGWRITER" ||
                   cmd == "ISRC" || cmd == "CDTEXTFILE") {
            continue;
        } else {
            return fail("unsupported command " + w[0]);
        }
    }
    lineNo = 0;
    auto failAll = [&](const std::string& message) {
        error = where + ": " + message;
        return nullptr;
    };
    if (!fileUsed) return failAll("FILE without a TRACK");
    for (const Pending& p : pending)
        if (!p.haveIndex) return failAll("a track without INDEX 01");

    if (ours) {
        if (!haveMedia || !haveCapacity || !haveSessions || !haveFinalized)
            return failAll("MEDIA, CAPACITY, CLOSED-SESSIONS and FINALIZED are required");
        for (std::size_t i = 0; i < tracks.size(); ++i) {
            const Pending& p = pending[i];
            if (!p.haveStart || !p.haveSession || !p.haveState)
                return failAll("track " + std::to_string(i + 1) + " lacks START, SESSION or STATE");
            if (tracks[i].closed != p.haveBlocks)
                return failAll("track " + std::to_string(i + 1) + ": BLOCKS belongs to closed tracks only");
        }
    } else if (tracks.empty()) {
        // Neither ours nor a disc of another program (a text file of REM lines, an empty file):
        // taken as a blank disc it would be overwritten by the first burn.
        return failAll(std::string("not a virtual disc's sheet (no REM ") + kHeader +
                       " line and no tracks); it is left as it is");
    } else {
        // A sheet of another program: a finished single-session disc with its tracks back to back.
        disc->media_ = &ForeignMedium();
        disc->finalized_ = !tracks.empty();
        closedSessions = tracks.empty() ? 0 : 1;
    }
    disc->closedSessions_ = static_cast<int>(closedSessions);

    // Track files and sizes.
    for (DiscTrack& t : tracks) {
        std::uint64_t size = 0;
        struct stat link {};
        if (::lstat(t.filePath.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !ResolvesInside(t.filePath, disc->dir_)) {
            error = where + " line " + std::to_string(fileLines[static_cast<std::size_t>(t.number - 1)]) +
                    ": the track file " + t.fileName + " is a link to a file outside the sheet's folder";
            return nullptr;
        }
        if (!FileSize(t.filePath, size)) {
            error = where + ": track " + std::to_string(t.number) + ": " + ErrnoText("cannot read", t.filePath);
            return nullptr;
        }
        if (!ours) {
            if (size % t.BlockSize() != 0 || size / t.BlockSize() > 0x7FFFFFFFu)
                return failAll("track file " + t.filePath + " is not a whole number of " +
                               std::to_string(t.BlockSize()) + "-byte blocks");
            t.blocks = static_cast<std::uint32_t>(size / t.BlockSize());
            t.session = 1;
            t.closed = true;
            t.start = &t == &tracks.front() ? 0 : (&t - 1)->End();
        } else if (t.closed) {
            if (size != static_cast<std::uint64_t>(t.blocks) * t.BlockSize())
                return failAll("track file " + t.filePath + " has " + std::to_string(size) +
                               " bytes; the sheet says " + std::to_string(t.blocks) + " blocks of " +
                               std::to_string(t.BlockSize()) + " bytes");
        } else {
            // An open track after an interrupted burn: whatever whole blocks reached the file.
            std::uint64_t blocks = size / t.BlockSize();
            if (blocks > 0x7FFFFFFFu) return failAll("track file " + t.filePath + " is too large");
            t.blocks = static_cast<std::uint32_t>(blocks);
        }
    }
    if (!ours) {
        const std::uint32_t capacity = ForeignMedium().capacity;
        disc->capacity_ = tracks.empty() ? capacity : std::max(capacity, tracks.back().End());
    }

    // The layout must be one a drive could have written.
    int lastSession = 0;
    std::uint64_t previousEnd = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const DiscTrack& t = tracks[i];
        const std::string name = "track " + std::to_string(t.number);
        if (t.session < lastSession || t.session > lastSession + 1 || (i == 0 && t.session != 1))
            return failAll(name + ": sessions out of order");
        if (t.start < previousEnd) return failAll(name + " overlaps the track before it");
        if (static_cast<std::uint64_t>(t.start) + t.blocks > disc->capacity_)
            return failAll(name + " ends past the capacity of the disc");
        if (!t.closed && i + 1 != tracks.size()) return failAll(name + " is open but not the last track");
        if (t.session <= static_cast<int>(closedSessions) && !t.closed)
            return failAll(name + " is open in a closed session");
        lastSession = t.session;
        previousEnd = t.End();
    }
    if (static_cast<int>(closedSessions) > lastSession || static_cast<int>(closedSessions) < lastSession - 1)
        return failAll("CLOSED-SESSIONS does not match the tracks");
    if (disc->finalized_ && (closedSessions == 0 || static_cast<int>(closedSessions) != lastSession))
        return failAll("a finalized disc needs its last session closed");
    const kvcat::Medium& medium = disc->Media();
    if (haveFormatted && !medium.Overwritable())
        return failAll("FORMATTED belongs to overwritable media only");
    if (medium.family != kvcat::Family::CD) {
        for (const DiscTrack& t : tracks)
            if (t.audio) return failAll("track " + std::to_string(t.number) + ": audio on a " + medium.key);
    }
    if (medium.Overwritable()) {
        // One data track from block 0 that grows as it is written; no sessions to close.
        if (tracks.size() > 1 || (!tracks.empty() && tracks[0].start != 0))
            return failAll("an overwritable disc holds one track from block 0");
        if (!disc->formatted_ && !tracks.empty()) return failAll("an unformatted disc holds no track");
        closedSessions = 0;
        disc->closedSessions_ = 0;
        disc->finalized_ = false;
        if (!tracks.empty()) tracks[0].closed = false;
    }
    disc->tracks_ = std::move(tracks);
    disc->sheet_ = SheetIdentity{true, kvsys::StatDevice(cueStat), kvsys::StatInode(cueStat),
                                 static_cast<std::uint64_t>(cueStat.st_size), kvsys::ModifiedSeconds(cueStat), kvsys::ModifiedNanoseconds(cueStat)};
    return disc;
}

namespace {
bool Identify(const std::string& path, bool& exists, std::uint64_t& device, std::uint64_t& inode,
              std::uint64_t& size, std::int64_t& sec, std::int64_t& nsec) {
    struct stat st {};
    if (kvsys::StatLikeFstat(path.c_str(), &st) != 0) {
        exists = false;
        return errno == ENOENT;
    }
    exists = true;
    device = kvsys::StatDevice(st);
    inode = kvsys::StatInode(st);
    size = static_cast<std::uint64_t>(st.st_size);
    sec = kvsys::ModifiedSeconds(st);
    nsec = kvsys::ModifiedNanoseconds(st);
    return true;
}
}  // namespace

bool VirtualDisc::SheetUnchanged(std::string& error) {
    SheetIdentity id;
    if (Identify(cuePath_, id.exists, id.device, id.inode, id.size, id.modifiedSec, id.modifiedNsec) && id == sheet_)
        return true;
    error = "the CUE sheet " + cuePath_ + " was changed by another program";
    failure_ = Failure::ChangedElsewhere;
    return false;
}

bool VirtualDisc::Save(std::string& error) {
    failure_ = Failure::Io;
    if (!SheetUnchanged(error)) return false;
    std::ostringstream out;
    out << "REM " << kHeader << " 1\n";
    out << "REM MEDIA " << media_->key << "\n";
    out << "REM CAPACITY " << capacity_ << "\n";
    if (Overwritable()) out << "REM FORMATTED " << (formatted_ ? "YES" : "NO") << "\n";
    out << "REM CLOSED-SESSIONS " << closedSessions_ << "\n";
    out << "REM FINALIZED " << (finalized_ ? "YES" : "NO") << "\n";
    for (const DiscTrack& t : tracks_) {
        char number[8];
        std::snprintf(number, sizeof number, "%02d", t.number);
        out << "FILE \"" << t.fileName << "\" BINARY\n";
        out << "  TRACK " << number << (t.audio ? " AUDIO" : " MODE1/2048") << "\n";
        std::string flags;
        if (t.control & 0x01) flags += " PRE";
        if (t.control & 0x02) flags += " DCP";
        if (t.control & 0x08) flags += " 4CH";
        if (!flags.empty()) out << "    FLAGS" << flags << "\n";
        out << "    REM SESSION " << t.session << "\n";
        out << "    REM START " << t.start << "\n";
        out << "    REM STATE " << (t.closed ? "CLOSED" : "OPEN") << "\n";
        if (t.closed) out << "    REM BLOCKS " << t.blocks << "\n";
        out << "    INDEX 01 00:00:00\n";
    }
    const std::string text = out.str();

    // Replace the sheet atomically: a crash leaves either the old or the new one.
    // A new file of a name nobody can foresee, never through a link planted in its place.
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = cuePath_ + ".tmp." + UnpredictableSuffix();
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        error = ErrnoText("cannot create", temp);
        return false;
    }
    bool ok = WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 0) && ::fsync(fd) == 0;
    if (!ok) error = ErrnoText("cannot write", temp);
    struct stat written {};
    if (ok && ::fstat(fd, &written) != 0) {
        error = ErrnoText("cannot read", temp);
        ok = false;
    }
    ::close(fd);
    if (ok && kvsys::RenameReplacing(temp.c_str(), cuePath_.c_str()) != 0) {
        error = ErrnoText("cannot replace", cuePath_);
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(dir_);
    // The identity of the file written, not of whatever the name may point at by now.
    sheet_ = SheetIdentity{true, kvsys::StatDevice(written), kvsys::StatInode(written),
                           static_cast<std::uint64_t>(written.st_size), kvsys::ModifiedSeconds(written), kvsys::ModifiedNanoseconds(written)};
    failure_ = Failure::None;
    return true;
}

DiscStatus VirtualDisc::Status() const {
    // A pressed disc is complete; an overwritable one once formatted (what drives report).
    if (Present() && !media_->Writable()) return DiscStatus::Complete;
    if (Overwritable()) return formatted_ ? DiscStatus::Complete : DiscStatus::Empty;
    if (finalized_) return DiscStatus::Complete;
    return tracks_.empty() ? DiscStatus::Empty : DiscStatus::Incomplete;
}

const DiscTrack* VirtualDisc::OpenTrack() const {
    if (!tracks_.empty() && !tracks_.back().closed) return &tracks_.back();
    return nullptr;
}

std::optional<std::uint32_t> VirtualDisc::NextWritableAddress() const {
    if (finalized_ || !Writable()) return std::nullopt;
    if (Overwritable()) {
        if (!formatted_) return std::nullopt;
        return 0u;   // written anywhere; a burn starts at block 0
    }
    std::uint64_t nwa = 0;
    if (!tracks_.empty()) {
        const DiscTrack& last = tracks_.back();
        nwa = last.End();
        if (last.closed && last.session <= closedSessions_)
            nwa += !IsCd() ? kDvdSessionGap : closedSessions_ == 1 ? kFirstSessionGap : kLaterSessionGap;
    }
    if (nwa > capacity_) return std::nullopt;
    return static_cast<std::uint32_t>(nwa);
}

std::string VirtualDisc::TrackFileName(int number, bool audio, int variant) const {
    char suffix[32];
    if (variant <= 1) std::snprintf(suffix, sizeof suffix, "-%02d.%s", number, audio ? "raw" : "iso");
    else std::snprintf(suffix, sizeof suffix, "-%02d-%d.%s", number, variant, audio ? "raw" : "iso");
    return stem_ + suffix;
}

bool VirtualDisc::OpenTrackFile(DiscTrack& track, bool create, std::string& error) {
    if (fd_ >= 0) return true;
    failure_ = Failure::Io;
    // Touch no track file unless the sheet is still the one this disc was read from.
    if (!SheetUnchanged(error)) return false;
    // A new track gets a new file (never one that was there before, and never through a link);
    // an open track is only ever the sheet's own plain file.
    fd_ = ::open(track.filePath.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0644);
    if (fd_ < 0) {
        if (create && errno == EEXIST) failure_ = Failure::NameTaken;
        error = ErrnoText(create ? "cannot create" : "cannot open", track.filePath);
        return false;
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot write " + track.filePath + ": not a regular file";
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    // One writer per track file, also across processes; a killed writer's lock goes with it.
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) failure_ = Failure::InUse;
        error = ErrnoText("cannot lock", track.filePath);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    // A new track starts empty; an open one loses a partial block an interrupted burn left.
    fileBytes_ = create ? 0 : static_cast<std::uint64_t>(track.blocks) * track.BlockSize();
    if (::ftruncate(fd_, static_cast<off_t>(fileBytes_)) != 0) {
        error = ErrnoText("cannot trim", track.filePath);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    pendingBytes_ = 0;
    failure_ = Failure::None;
    return true;
}

bool VirtualDisc::BeginTrack(bool audio, std::uint8_t control, std::string& error) {
    std::optional<std::uint32_t> nwa = NextWritableAddress();
    if (!nwa || OpenTrack()) {
        error = "no track can be started";
        return false;
    }
    DiscTrack t;
    t.number = NextTrackNumber();
    t.session = CurrentSession();
    t.start = *nwa;
    t.audio = audio;
    t.control = control;
    // The file first, then the sheet that names it: a crash in between leaves a stray empty
    // file, never a sheet pointing at nothing.
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    // A file already under the track's name is not this disc's (the image being burnt, or a
    // stray file of a crash): it is left alone and the track takes the next free name.
    bool opened = false;
    for (int variant = 1; variant <= kTrackNameVariants && !opened; ++variant) {
        t.fileName = TrackFileName(t.number, audio, variant);
        t.filePath = dir_ + "/" + t.fileName;
        opened = OpenTrackFile(t, true, error);
        if (!opened && failure_ != Failure::NameTaken) return false;
    }
    if (!opened) {
        failure_ = Failure::Io;
        error = "no free name for track " + std::to_string(t.number) + " beside " + cuePath_ + " (" +
                TrackFileName(t.number, audio) + " and " + std::to_string(kTrackNameVariants - 1) +
                " other names are taken by files that are not this disc's)";
        return false;
    }
    tracks_.push_back(t);
    if (!Save(error)) {
        tracks_.pop_back();
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool VirtualDisc::WritePending(std::string& error) {
    if (pendingBytes_ == 0) return true;
    DiscTrack& t = tracks_.back();
    if (!WriteAll(fd_, pending_.data(), pendingBytes_, static_cast<off_t>(fileBytes_))) {
        error = ErrnoText("cannot write", t.filePath);
        return false;
    }
    fileBytes_ += pendingBytes_;
    pendingBytes_ = 0;
    return true;
}

bool VirtualDisc::Append(const std::uint8_t* data, std::size_t bytes, std::uint32_t blocks, std::string& error) {
    failure_ = Failure::Io;
    if (tracks_.empty() || tracks_.back().closed) {
        error = "no open track";
        return false;
    }
    DiscTrack& t = tracks_.back();
    if (!OpenTrackFile(t, false, error)) return false;
    if (pending_.empty()) pending_.resize(kWriteBehindBytes);
    if (pendingBytes_ + bytes > pending_.size()) {
        if (!WritePending(error)) return false;
    }
    if (bytes >= pending_.size()) {
        if (!WriteAll(fd_, data, bytes, static_cast<off_t>(fileBytes_))) {
            error = ErrnoText("cannot write", t.filePath);
            return false;
        }
        fileBytes_ += bytes;
    } else {
        std::memcpy(pending_.data() + pendingBytes_, data, bytes);
        pendingBytes_ += bytes;
    }
    t.blocks += blocks;
    return true;
}

bool VirtualDisc::Flush(bool durable, std::string& error) {
    failure_ = Failure::Io;
    if (fd_ < 0) return true;
    if (!WritePending(error)) return false;
    if (durable && ::fdatasync(fd_) != 0) {
        error = ErrnoText("cannot sync", tracks_.back().filePath);
        return false;
    }
    return true;
}

bool VirtualDisc::CloseTrack(std::string& error) {
    failure_ = Failure::Io;
    if (!OpenTrack()) {
        error = "no open track";
        return false;
    }
    if (!Flush(true, error)) return false;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    tracks_.back().closed = true;
    if (!Save(error)) {
        tracks_.back().closed = false;
        return false;
    }
    return true;
}

bool VirtualDisc::CloseSession(bool appendable, std::string& error) {
    failure_ = Failure::Io;
    if (OpenTrack() && !CloseTrack(error)) return false;
    const int before = closedSessions_;
    closedSessions_ = CurrentSession();
    finalized_ = !appendable;
    if (!Save(error)) {
        closedSessions_ = before;
        finalized_ = false;
        return false;
    }
    return true;
}

bool VirtualDisc::Blank(std::string& error) {
    failure_ = Failure::Io;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    pendingBytes_ = 0;
    std::vector<DiscTrack> old = std::move(tracks_);
    const int oldSessions = closedSessions_;
    const bool oldFinalized = finalized_;
    tracks_.clear();
    closedSessions_ = 0;
    finalized_ = false;
    if (!Save(error)) {
        tracks_ = std::move(old);
        closedSessions_ = oldSessions;
        finalized_ = oldFinalized;
        return false;
    }
    for (const DiscTrack& t : old) ::unlink(t.filePath.c_str());
    return true;
}

bool VirtualDisc::Reformat(const kvcat::Medium& media, bool formatted, std::string& error) {
    const kvcat::Medium* oldMedia = media_;
    const bool oldFormatted = formatted_;
    media_ = &media;
    formatted_ = formatted || !Overwritable();
    if (Blank(error)) return true;
    media_ = oldMedia;
    formatted_ = oldFormatted;
    return false;
}

bool VirtualDisc::Finalize(std::string& error) {
    failure_ = Failure::Io;
    if (OpenTrack() || closedSessions_ == 0 || finalized_) {
        error = "nothing to finalize";
        return false;
    }
    finalized_ = true;
    if (!Save(error)) {
        finalized_ = false;
        return false;
    }
    return true;
}

bool VirtualDisc::WriteAt(std::uint32_t lba, const std::uint8_t* data, std::size_t bytes, std::uint32_t blocks,
                          std::string& error) {
    failure_ = Failure::Io;
    if (tracks_.empty()) {
        if (!BeginTrack(false, 0x04, error)) return false;
    }
    DiscTrack& t = tracks_.back();
    if (lba == t.End()) return Append(data, bytes, blocks, error);
    // Anywhere else: what is buffered goes first, then the blocks in place.
    if (!OpenTrackFile(t, false, error) || !WritePending(error)) return false;
    if (!WriteAll(fd_, data, bytes, static_cast<off_t>(lba) * 2048)) {
        error = ErrnoText("cannot write", t.filePath);
        return false;
    }
    if (lba + blocks > t.End()) {
        t.blocks = lba + blocks - t.start;
        fileBytes_ = static_cast<std::uint64_t>(t.blocks) * 2048u;
    }
    failure_ = Failure::None;
    return true;
}

bool VirtualDisc::Remove(std::string& error) {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    pendingBytes_ = 0;
    if (::unlink(cuePath_.c_str()) != 0 && errno != ENOENT) {
        error = ErrnoText("cannot remove", cuePath_);
        return false;
    }
    for (const DiscTrack& t : tracks_) ::unlink(t.filePath.c_str());
    tracks_.clear();
    return true;
}

VirtualDisc::ReadResult VirtualDisc::Read(std::uint32_t lba, std::uint32_t count, std::uint8_t* out) {
    while (count > 0) {
        const DiscTrack* track = nullptr;
        for (const DiscTrack& t : tracks_) {
            if (lba >= t.start && lba < t.End()) {
                track = &t;
                break;
            }
        }
        if (!track) return ReadResult::OutOfRange;
        if (track->audio) return ReadResult::AudioTrack;
        if (&tracks_.back() == track && fd_ >= 0) {
            std::string ignored;
            if (!WritePending(ignored)) return ReadResult::IoError;
        }
        const std::uint32_t n = std::min(count, track->End() - lba);
        int fd = ::open(track->filePath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return ReadResult::IoError;
        std::size_t want = static_cast<std::size_t>(n) * 2048u;
        off_t offset = static_cast<off_t>(lba - track->start) * 2048;
        std::uint8_t* p = out;
        while (want > 0) {
            ssize_t got = ::pread(fd, p, want, offset);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ::close(fd);
                return ReadResult::IoError;
            }
            p += got;
            want -= static_cast<std::size_t>(got);
            offset += got;
        }
        ::close(fd);
        out += static_cast<std::size_t>(n) * 2048u;
        lba += n;
        count -= n;
    }
    return ReadResult::Ok;
}

}  // namespace vdrive
