// libFuzzer target for the virtual writer's CUE sheet reader. The input is written as the sheet
// of a disc in a private temporary folder that also holds a few track files the sheet may
// name (and a link to a file outside it); VirtualDisc::Load must then either refuse it with a
// message or describe a disc a drive could have written from files of that folder only. An accepted sheet is opened by a virtual writer, which answers the
// commands that report the disc (READ TOC, READ DISC/TRACK INFORMATION, READ(10)).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vdrive/VirtualDisc.h"
#include "vdrive/VirtualWriter.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

struct TrackFile {
    const char* name;
    std::size_t bytes;
};
// Whole data blocks, whole audio blocks, and a data file with a partial block at its end.
constexpr TrackFile kTrackFiles[] = {{"a.iso", 4 * 2048}, {"b.raw", 2 * 2352}, {"c.iso", 3 * 2048 + 100}};

class Folder {
public:
    Folder() {
        const char* base = std::getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/kv-cue-fuzz.XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back('\0');
        Check(::mkdtemp(buf.data()) != nullptr);
        dir_ = buf.data();
        cue_ = dir_ + "/disc.cue";
        // A file outside the folder, and a link to it inside: a sheet naming either is refused.
        outside_ = dir_ + ".outside";
        const int fd = ::open(outside_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        Check(fd >= 0 && ::ftruncate(fd, 4 * 2048) == 0);
        ::close(fd);
        Check(::symlink(outside_.c_str(), (dir_ + "/o.iso").c_str()) == 0);
        char resolved[PATH_MAX];
        Check(::realpath(dir_.c_str(), resolved) != nullptr);
        resolvedDir_ = resolved;
    }
    ~Folder() {
        for (const TrackFile& f : kTrackFiles) ::unlink((dir_ + "/" + f.name).c_str());
        ::unlink((dir_ + "/o.iso").c_str());
        ::unlink(outside_.c_str());
        ::unlink(cue_.c_str());
        ::unlink((cue_ + ".lock").c_str());
        ::rmdir(dir_.c_str());
    }
    // Every track file of an accepted sheet is a plain name in the folder and, links followed,
    // stays in it.
    bool AllInside(const vdrive::VirtualDisc& disc) const {
        for (const vdrive::DiscTrack& t : disc.Tracks()) {
            if (t.fileName.empty() || t.fileName.find('/') != std::string::npos || t.fileName == "..") return false;
            if (t.filePath != dir_ + "/" + t.fileName) return false;
            char resolved[PATH_MAX];
            if (!::realpath(t.filePath.c_str(), resolved)) return false;
            const std::string file = resolved;
            if (file.compare(0, resolvedDir_.size() + 1, resolvedDir_ + "/") != 0 ||
                file.find('/', resolvedDir_.size() + 1) != std::string::npos)
                return false;
        }
        return true;
    }
    const std::string& Cue() const { return cue_; }

    // Puts every track file back as it was (a writer may trim an open track's partial block).
    void ResetTrackFiles() const {
        for (const TrackFile& f : kTrackFiles) {
            const std::string path = dir_ + "/" + f.name;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && static_cast<std::size_t>(st.st_size) == f.bytes) continue;
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            Check(fd >= 0);
            Check(::ftruncate(fd, static_cast<off_t>(f.bytes)) == 0);
            ::close(fd);
        }
    }
    void WriteSheet(const std::uint8_t* data, std::size_t size) const {
        const int fd = ::open(cue_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        Check(fd >= 0);
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd, data + done, size - done);
            Check(n > 0);
            done += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
    // The sheet's track files all lie in this folder and are among the prepared ones: only
    // then may a writer open them (it trims an open track's file).
    bool OnlyOwnFiles(const vdrive::VirtualDisc& disc) const {
        for (const vdrive::DiscTrack& t : disc.Tracks()) {
            bool known = false;
            for (const TrackFile& f : kTrackFiles) known = known || t.filePath == dir_ + "/" + f.name;
            if (!known) return false;
        }
        return true;
    }

private:
    std::string dir_;
    std::string cue_;
    std::string outside_;
    std::string resolvedDir_;
};

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

void Send(vdrive::VirtualWriter& writer, std::vector<std::uint8_t> cdb, std::uint32_t length) {
    std::vector<std::uint8_t> data(length ? length : 1);
    win::ScsiRequest r;
    std::memcpy(r.cdb, cdb.data(), cdb.size());
    r.cdbLength = static_cast<std::uint8_t>(cdb.size());
    r.direction = length ? win::ScsiRequest::Direction::In : win::ScsiRequest::Direction::None;
    r.data = length ? data.data() : nullptr;
    r.dataLength = length;
    r.timeoutSeconds = 10;
    writer.Execute(r);
    Check(r.residual <= r.dataLength);
    Check(r.senseLength <= sizeof r.sense);
}

void Exercise(vdrive::VirtualWriter& writer, const vdrive::VirtualDisc& disc) {
    Send(writer, {0x00, 0, 0, 0, 0, 0}, 0);                                  // TEST UNIT READY
    Send(writer, {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, 804);               // READ TOC format 0
    Send(writer, {0x43, 0x02, 0x01, 0, 0, 0, 0, 0, 12, 0}, 12);              // READ TOC format 1, MSF
    Send(writer, {0x51, 0, 0, 0, 0, 0, 0, 0, 34, 0}, 34);                    // READ DISC INFORMATION
    const std::size_t tracks = disc.Tracks().size();
    for (std::size_t n = 1; n <= tracks + 1; ++n)
        Send(writer, {0x52, 0x01, 0, 0, 0, static_cast<std::uint8_t>(n), 0, 0, 36, 0}, 36);
    Send(writer, {0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, 36, 0}, 36);             // the invisible track
    Send(writer, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048);                   // READ(10) of block 0
    if (tracks > 0) {
        const std::uint32_t last = disc.Tracks().back().End() - (disc.Tracks().back().blocks ? 1 : 0);
        Send(writer, {0x28, 0, static_cast<std::uint8_t>(last >> 24), static_cast<std::uint8_t>(last >> 16),
                      static_cast<std::uint8_t>(last >> 8), static_cast<std::uint8_t>(last), 0, 0, 1, 0},
             2048);
    }
    Send(writer, {0x5C, 0, 0, 0, 0, 0, 0, 0, 12, 0}, 12);                    // READ BUFFER CAPACITY
    Send(writer, {0xAD, 0, 0, 0, 0, 0, 0, 0x08, 0x04, 0, 0, 0}, 2052);       // READ DVD STRUCTURE
    Send(writer, {0x46, 0, 0, 0, 0, 0, 0, 0x04, 0, 0}, 1024);                // GET CONFIGURATION
    Send(writer, {0x23, 0, 0, 0, 0, 0, 0, 0, 0xFC, 0}, 252);                 // READ FORMAT CAPACITIES
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    Folder& folder = TheFolder();
    folder.ResetTrackFiles();
    folder.WriteSheet(Data, Size);

    std::string error;
    std::unique_ptr<vdrive::VirtualDisc> disc = vdrive::VirtualDisc::Load(folder.Cue(), error);
    if (!disc) {
        Check(!error.empty());
        return 0;
    }
    // What was accepted is a layout a drive could have written.
    std::uint64_t previousEnd = 0;
    int number = 0;
    for (const vdrive::DiscTrack& t : disc->Tracks()) {
        Check(t.number == ++number);
        Check(t.start >= previousEnd);
        Check(static_cast<std::uint64_t>(t.start) + t.blocks <= disc->Capacity());
        previousEnd = t.End();
    }
    Check(disc->ClosedSessions() >= 0 && disc->ClosedSessions() <= 99);
    // A sheet naming a file outside its folder (absolute, "..", a separator, a link out) never
    // loads.
    Check(folder.AllInside(*disc));
    if (!folder.OnlyOwnFiles(*disc)) return 0;
    disc.reset();

    vdrive::VirtualDriveOptions options;
    options.path = folder.Cue();
    std::shared_ptr<vdrive::VirtualWriter> writer = vdrive::VirtualWriter::Open(options, error);
    Check(writer != nullptr);   // the sheet just loaded must load again
    std::unique_ptr<vdrive::VirtualDisc> again = vdrive::VirtualDisc::Load(folder.Cue(), error);
    Check(again != nullptr);
    Exercise(*writer, *again);
    return 0;
}
