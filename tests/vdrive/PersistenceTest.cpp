// The disc beside the CUE sheet: a burnt ISO is a plain file xorriso reads, another writer
// object or process sees the same disc, a killed burn leaves an open track, and a damaged
// sheet is refused with a message instead of turning into some other disc.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "VdriveFixture.h"
#include "vdrive/DiscLock.h"

using namespace vdtest;

namespace {

std::string Shell(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        status = -1;
        return out;
    }
    std::array<char, 4096> buf{};
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    status = ::pclose(pipe);
    return out;
}

// Waits for a forked child, bounded so that a stuck child cannot hang the test.
int WaitChild(pid_t pid) {
    for (int i = 0; i < 600; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        ::usleep(50 * 1000);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

class Persistence : public PlatformClean {};

TEST_F(Persistence, BurntIsoIsTheImageAndSurvivesTheWriter) {
    // A real ISO 9660 image, made at test time.
    std::filesystem::create_directories(dir_ / "tree/docs");
    WriteFile(dir_ / "tree/README.TXT", "rescue disc\n");
    WriteFile(dir_ / "tree/docs/NOTES.TXT", std::string(300000, 'n'));
    int status = 0;
    const std::string make = Shell("xorriso -as mkisofs -quiet -o '" + (dir_ / "img.iso") + "' '" + (dir_ / "tree") + "'", status);
    ASSERT_EQ(status, 0) << make;
    const Bytes image = ReadFile(dir_ / "img.iso");
    ASSERT_EQ(image.size() % 2048, 0u);
    const auto blocks = static_cast<std::uint32_t>(image.size() / 2048);

    Bytes toc, discInfo;
    {
        Drive d(Route::PassThrough, dir_ / "disc.cue");
        ASSERT_EQ(d.SetWriteParameters(false).Sense(), "GOOD");
        for (std::uint32_t i = 0; i < blocks; ++i) {   // one block per WRITE, as the burn does
            Bytes block(image.begin() + i * 2048, image.begin() + (i + 1) * 2048);
            ASSERT_EQ(d.Write(i, block, 1).Sense(), "GOOD") << "block " << i;
        }
        ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
        ASSERT_EQ(d.CloseTrack(1).Sense(), "GOOD");
        ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
        ASSERT_EQ(d.CloseSession().Sense(), "GOOD");
        ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
        toc = d.ReadToc().data;
        discInfo = d.DiscInfo().data;
        EXPECT_EQ(discInfo[2] & 0x03, 2);   // complete
    }
    const std::string track = dir_ / "disc-01.iso";
    EXPECT_EQ(ReadFile(track), image);
    const std::string listing = Shell("xorriso -indev '" + track + "' -ls / ", status);
    EXPECT_EQ(status, 0) << listing;
    EXPECT_NE(listing.find("README.TXT"), std::string::npos) << listing;
    EXPECT_NE(listing.find("docs"), std::string::npos) << listing;

    // A new writer object on the same sheet: the same closed disc.
    {
        Drive again(Route::Direct, dir_ / "disc.cue");
        EXPECT_EQ(again.ReadToc().data, toc);
        EXPECT_EQ(again.DiscInfo().data, discInfo);
        EXPECT_EQ(again.Write(blocks, Pattern(0, 1), 1).Sense(), "05/21/02");
        Reply r = again.In({0x28, 0, 0, 0, 0, 16, 0, 0, 1, 0}, 2048);   // the volume descriptor
        ASSERT_EQ(r.Sense(), "GOOD");
        EXPECT_TRUE(std::equal(r.data.begin(), r.data.end(), image.begin() + 16 * 2048));
    }
    // And another process.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::string error;
        vdrive::VirtualDriveOptions options;
        options.path = dir_ / "disc.cue";
        auto w = vdrive::VirtualWriter::Open(options, error);
        if (!w) ::_exit(2);
        Bytes buf(804);
        win::ScsiRequest r;
        const std::uint8_t cdb[10] = {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0};
        std::memcpy(r.cdb, cdb, 10);
        r.cdbLength = 10;
        r.direction = win::ScsiRequest::Direction::In;
        r.data = buf.data();
        r.dataLength = 804;
        ::_exit(w->Execute(r) && r.status == 0 && buf == toc ? 0 : 1);
    }
    const int child = WaitChild(pid);
    EXPECT_TRUE(WIFEXITED(child) && WEXITSTATUS(child) == 0) << child;
}

TEST_F(Persistence, KilledBurnLeavesAnOpenTrack) {
    const std::string cue = dir_ / "disc.cue";
    const std::uint32_t written = 1500;   // whole write-behind buffers reach the file, the rest is lost
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Drive d(Route::Direct, cue);
            if (!d.SetWriteParameters(false).Good()) ::_exit(2);
            for (std::uint32_t i = 0; i < written; ++i)
                if (!d.Write(i, Pattern(i, 1), 1).Good()) ::_exit(3);
            ::raise(SIGKILL);
        } catch (...) {
        }
        ::_exit(4);
    }
    const int child = WaitChild(pid);
    ASSERT_TRUE(WIFSIGNALED(child) && WTERMSIG(child) == SIGKILL) << child;

    Drive d(Route::Direct, cue);
    vdrive::DiscState s = d.Writer().State();
    ASSERT_EQ(s.tracks.size(), 1u);
    EXPECT_FALSE(s.tracks[0].closed);
    const std::uint32_t kept = s.tracks[0].blocks;
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, written);
    EXPECT_EQ(s.status, vdrive::DiscStatus::Incomplete);
    EXPECT_EQ(ReadFile(s.tracks[0].file), Pattern(0, kept));
    Reply di = d.DiscInfo();
    EXPECT_EQ(di.data[2] & 0x0F, 1 << 2 | 1);   // incomplete session, incomplete disc
    Reply ti = d.TrackInfo(1, 0xFF);
    EXPECT_EQ(ti.data[2], 1);
    EXPECT_EQ(ti.Be32(12), kept);

    // A torn last block (killed inside a write) is dropped, and the burn can go on.
    {
        std::ofstream tail(s.tracks[0].file, std::ios::binary | std::ios::app);
        tail << std::string(100, 'x');
    }
    Drive resumed(Route::Direct, cue);
    EXPECT_EQ(resumed.Writer().State().tracks[0].blocks, kept);
    ASSERT_EQ(resumed.SetWriteParameters(false).Sense(), "GOOD");
    ASSERT_EQ(resumed.Write(kept, Pattern(kept, 10), 10).Sense(), "GOOD");
    ASSERT_EQ(resumed.CloseTrack(1).Sense(), "GOOD");
    ASSERT_EQ(resumed.CloseSession().Sense(), "GOOD");
    EXPECT_EQ(ReadFile(s.tracks[0].file), Pattern(0, kept + 10));
    // No temporary sheet is left behind.
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
}

TEST_F(Persistence, WritesAreBatchedUntilSynchronizeCache) {
    Drive d(Route::Direct, dir_ / "disc.cue");
    ASSERT_TRUE(d.SetWriteParameters(false).Good());
    for (std::uint32_t i = 0; i < 40; ++i) ASSERT_TRUE(d.Write(i, Pattern(i, 1), 1).Good());
    const std::string file = d.Writer().State().tracks.at(0).file;
    EXPECT_EQ(std::filesystem::file_size(file), 64u * 1024u);   // one 64 KiB batch so far
    ASSERT_TRUE(d.SyncCache().Good());
    EXPECT_EQ(ReadFile(file), Pattern(0, 40));
}

TEST_F(Persistence, TwoWritersOnOneSheetNeverClobberEachOther) {
    Drive a(Route::Direct, dir_ / "disc.cue");
    Drive b(Route::Direct, dir_ / "disc.cue");   // another program on the same disc
    ASSERT_TRUE(a.SetWriteParameters(false).Good());
    ASSERT_TRUE(b.SetWriteParameters(false).Good());
    ASSERT_TRUE(a.Write(0, Pattern(0, 10), 10).Good());
    // b still thinks the disc is blank: the sheet changed under it, so it reads it again.
    EXPECT_EQ(b.Write(0, Pattern(100, 1), 1).Sense(), "06/28/00");
    EXPECT_EQ(b.TrackInfo(1, 0xFF).data[2], 1);
    EXPECT_FALSE(b.Writer().State().tracks.at(0).closed);
    // a holds the open track: b may not append to it.
    EXPECT_EQ(b.Write(0, Pattern(100, 1), 1).Sense(), "02/04/08");
    ASSERT_TRUE(a.Write(10, Pattern(10, 5), 5).Good());
    ASSERT_TRUE(a.CloseTrack(1).Good());
    ASSERT_TRUE(a.CloseSession().Good());
    EXPECT_EQ(b.CloseTrack(1).Sense(), "06/28/00");
    EXPECT_EQ(b.DiscInfo().data[2] & 0x03, 2);   // now b sees the finished disc
    EXPECT_EQ(b.Write(15, Pattern(100, 1), 1).Sense(), "05/21/02");
    EXPECT_EQ(ReadFile(dir_ / "disc-01.iso"), Pattern(0, 15));
}

// A DVD+RW burnt before the disc knew overwritable media (a closed track in a closed, finalized
// session) reads as a formatted disc with its data, and takes a new burn from block 0.
TEST_F(Persistence, EarlierDvdPlusRwSheetIsAWrittenOverwritableDisc) {
    WriteFile(dir_ / "old.cue",
              "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA dvd+rw\nREM CAPACITY 2295104\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n"
              "FILE \"old-01.iso\" BINARY\n  TRACK 01 MODE1/2048\n    REM SESSION 1\n    REM START 0\n"
              "    REM STATE CLOSED\n    REM BLOCKS 4\n    INDEX 01 00:00:00\n");
    const Bytes old = Pattern(0, 4);
    WriteFile(dir_ / "old-01.iso", std::string(old.begin(), old.end()));
    Drive d(Route::Direct, dir_ / "old.cue");
    EXPECT_EQ(d.DiscInfo().data[2], 0x1E);
    EXPECT_EQ(d.In({0x28, 0, 0, 0, 0, 0, 0, 0, 4, 0}, 4 * 2048).data, old);
    ASSERT_EQ(d.Write(0, Pattern(9, 2), 2).Sense(), "GOOD");
    ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
    Bytes now = Pattern(9, 2);
    now.insert(now.end(), old.begin() + 2 * 2048, old.end());
    EXPECT_EQ(ReadFile(dir_ / "old-01.iso"), now);
}

TEST_F(Persistence, DamagedSheetsAreRefused) {
    const std::string header =
        "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-r\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n";
    const std::string track1 =
        "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n    REM SESSION 1\n    REM START 0\n"
        "    REM STATE CLOSED\n    REM BLOCKS 4\n    INDEX 01 00:00:00\n";
    struct Sheet {
        const char* name;
        std::string text;
        std::size_t trackBytes;   // size of t1.iso; SIZE_MAX: no file
        const char* error;        // part of the message
    };
    const std::size_t kNone = static_cast<std::size_t>(-1);
    const std::vector<Sheet> sheets = {
        {"binary garbage", std::string("\x7F" "ELF\0\0\x01", 7), 0, "binary data"},
        {"missing track file", header + track1, kNone, "t1.iso"},
        {"track file shorter than the sheet says", header + track1, 3 * 2048, "has 6144 bytes"},
        {"track file with a torn block while closed", header + track1, 4 * 2048 + 5, "has 8197 bytes"},
        {"unknown command", header + "FROB 1\n" + track1, 8192, "unsupported command FROB"},
        {"track numbers skip", header + "FILE \"t1.iso\" BINARY\n  TRACK 02 MODE1/2048\n", 8192, "track numbers"},
        {"a track without state", header + "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n", 8192, "lacks START"},
        {"finalized with an open track",
         header + "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n  REM SESSION 1\n  REM START 0\n  REM STATE OPEN\n  INDEX 01 00:00:00\n",
         8192, "open in a closed session"},
        {"unterminated quote", header + "FILE \"t1.iso BINARY\n", 8192, "unterminated quote"},
        {"a pregap index", header + "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n  INDEX 00 00:00:00\n", 8192, "INDEX 01"},
        {"track past the capacity", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-r\nREM CAPACITY 3\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n" + track1,
         8192, "past the capacity"},
        {"unknown media", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA bluray\n", 0, "bad MEDIA"},
        {"state lines missing", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-r\n", 0, "required"},
        {"future version", "REM KEELVANE-VIRTUAL-DISC 7\n", 0, "version"},
        {"two tracks in one file", header + track1 + "  TRACK 02 AUDIO\n", 8192, "one TRACK per FILE"},
        {"wave file", "FILE \"song.wav\" WAVE\n  TRACK 01 AUDIO\n", 0, "BINARY"},
        // Neither this program's sheet nor another's: taken as a blank disc, a burn replaced it.
        {"a text file of REM lines", "REM shopping list\nREM eggs, milk\n", kNone, "not a virtual disc's sheet"},
        {"an empty file", "", kNone, "not a virtual disc's sheet"},
        {"foreign sheet, odd-sized image", "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n", 2049, "whole number"},
        {"sessions counted wrong", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-r\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 3\nREM FINALIZED NO\n" + track1,
         8192, "CLOSED-SESSIONS"},
        {"a formatted CD-R", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-r\nREM CAPACITY 1000\nREM FORMATTED YES\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n" + track1,
         8192, "FORMATTED belongs to overwritable media only"},
        {"formatted twice", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA bd-re\nREM CAPACITY 1000\nREM FORMATTED YES\nREM FORMATTED NO\n", 0, "bad FORMATTED"},
        {"formatted maybe", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA dvd+rw\nREM CAPACITY 1000\nREM FORMATTED PARTLY\n", 0, "bad FORMATTED"},
        {"an audio track on a DVD+R", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA dvd+r\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n"
         "FILE \"t1.iso\" BINARY\n  TRACK 01 AUDIO\n    REM SESSION 1\n    REM START 0\n    REM STATE CLOSED\n    REM BLOCKS 1\n    INDEX 01 00:00:00\n",
         2352, "audio on a dvd+r"},
        {"a BD-RE track not at block 0", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA bd-re\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 0\nREM FINALIZED NO\n"
         "FILE \"t1.iso\" BINARY\n  TRACK 01 MODE1/2048\n    REM SESSION 1\n    REM START 7\n    REM STATE OPEN\n    INDEX 01 00:00:00\n",
         8192, "one track from block 0"},
        {"data on an unformatted DVD+RW", "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA dvd+rw\nREM CAPACITY 1000\nREM FORMATTED NO\nREM CLOSED-SESSIONS 1\nREM FINALIZED YES\n" + track1,
         8192, "an unformatted disc holds no track"},
    };
    for (const Sheet& sheet : sheets) {
        SCOPED_TRACE(sheet.name);
        std::filesystem::remove(dir_ / "t1.iso");
        if (sheet.trackBytes != kNone) WriteFile(dir_ / "t1.iso", std::string(sheet.trackBytes, 'd'));
        WriteFile(dir_ / "bad.cue", sheet.text);
        const Bytes before = ReadFile(dir_ / "bad.cue");
        std::string error;
        auto w = vdrive::AttachVirtualDrive(dir_ / "bad.cue", error);
        EXPECT_EQ(w, nullptr);
        EXPECT_NE(error.find(sheet.error), std::string::npos) << error;
        EXPECT_NE(error.find("bad.cue"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(dir_ / "bad.cue"), before);   // never rewritten
    }
    std::string error;
    EXPECT_EQ(vdrive::AttachVirtualDrive(dir_.path().string(), error), nullptr);   // a folder
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(vdrive::AttachVirtualDrive(dir_ / "no-such-dir/disc.cue", error), nullptr);
    EXPECT_NE(error.find("no-such-dir"), std::string::npos) << error;
}

TEST_F(Persistence, ForeignSheetIsAFinishedDisc) {
    WriteFile(dir_ / "data.iso", std::string(3 * 2048, 'i'));
    WriteFile(dir_ / "song.bin", std::string(2 * 2352, 'a'));
    WriteFile(dir_ / "other.cue",
              "TITLE \"x\"\r\nFILE \"data.iso\" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n"
              "FILE \"song.bin\" BINARY\r\n  TRACK 02 AUDIO\r\n    FLAGS PRE\r\n    INDEX 01 00:00:00\r\n");
    Drive d(Route::Direct, dir_ / "other.cue");
    Reply toc = d.ReadToc();
    ASSERT_EQ(toc.Sense(), "GOOD");
    EXPECT_EQ(Bytes(toc.data.begin(), toc.data.begin() + 28),
              (Bytes{0, 26, 1, 2, 0, 0x14, 1, 0, 0, 0, 0, 0, 0, 0x11, 2, 0, 0, 0, 0, 3, 0, 0x11, 0xAA, 0, 0, 0, 0, 5}));
    EXPECT_EQ(d.DiscInfo().data[2] & 0x03, 2);
}

TEST_F(Persistence, NewDiscKeepsItsMediaAndEmptyDriveMakesNoFile) {
    {
        Drive d(Route::Direct, dir_ / "rw.cue,media=cd-rw,capacity=1234");
    }
    Drive again(Route::Direct, dir_ / "rw.cue,media=cd-r,capacity=99");   // the sheet keeps its own
    EXPECT_EQ(again.Writer().State().media, kvcat::MediumByKey("cd-rw"));
    EXPECT_EQ(again.Writer().State().capacity, 1234u);
}

class DiscFiles : public PlatformClean {
protected:
    void SetUp() override {
        PlatformClean::SetUp();
        victim_ = dir_ / "victim.txt";
        WriteFile(victim_, "precious\n");
    }
    std::string victim_;
};

TEST_F(DiscFiles, SheetsNamingFilesOutsideTheirFolderAreRefused) {
    std::filesystem::create_directories(dir_ / "disc");
    std::filesystem::create_symlink(victim_, dir_ / "disc/out.iso");
    std::filesystem::create_symlink("inside.iso", dir_ / "disc/alias.iso");
    WriteFile(dir_ / "disc/inside.iso", std::string(2048, 'i'));
    const std::string header =
        "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-rw\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 0\nREM FINALIZED NO\n";
    auto sheet = [&](const std::string& file) {
        return header + "FILE \"" + file + "\" BINARY\n  TRACK 01 MODE1/2048\n    REM SESSION 1\n    REM START 0\n"
                        "    REM STATE OPEN\n    INDEX 01 00:00:00\n";
    };
    struct Case {
        const char* name;
        std::string text;
        std::string why;   // empty: accepted
    };
    const std::vector<Case> cases = {
        {"parent folder", sheet("../victim.txt"), "line 6: the track file ../victim.txt contains a path separator"},
        {"absolute path", sheet(victim_), "line 6: the track file " + victim_ + " is an absolute path"},
        {"folder name", sheet(".."), "line 6: the track file .. names a folder"},
        {"backslash", sheet("..\\victim.txt"), "contains a path separator"},
        {"link out of the folder", sheet("out.iso"), "line 6: the track file out.iso is a link to a file outside"},
        {"another program's sheet", "FILE \"../victim.txt\" BINARY\n  TRACK 01 MODE1/2048\n  INDEX 01 00:00:00\n",
         "line 1: the track file ../victim.txt contains a path separator"},
        {"link inside the folder", sheet("alias.iso"), ""},
#ifdef _WIN32
        {"another drive's folder", sheet("C:victim.txt"), "line 6: the track file C:victim.txt names a drive or a stream"},
        {"a stream of a file", sheet("inside.iso:hidden"), "names a drive or a stream"},
        {"a device name", sheet("nul.iso"), "line 6: the track file nul.iso names a device"},
        {"a port name", sheet("COM1"), "names a device"},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir_ / "disc/disc.cue", c.text);
        std::string error;
        auto w = vdrive::AttachVirtualDrive(dir_ / "disc/disc.cue", error);
        if (c.why.empty()) {
            EXPECT_NE(w, nullptr) << error;
        } else {
            EXPECT_EQ(w, nullptr);
            EXPECT_NE(error.find(c.why), std::string::npos) << error;
            EXPECT_NE(error.find("disc.cue"), std::string::npos) << error;
            EXPECT_EQ(ReadFile(dir_ / "disc/disc.cue"), Bytes(c.text.begin(), c.text.end()));
        }
        vdrive::DetachVirtualDrive(w);
        const std::string kept = "precious\n";
        EXPECT_EQ(ReadFile(victim_), Bytes(kept.begin(), kept.end()));
    }
    // A sheet whose name a FILE line could not hold is refused before anything is made.
    for (const std::string name : {"a\"b.cue", "a\nb.cue"}) {
        std::string error;
        EXPECT_EQ(vdrive::AttachVirtualDrive(dir_ / name, error), nullptr);
        EXPECT_NE(error.find("double quote or a line break"), std::string::npos) << error;
        EXPECT_FALSE(std::filesystem::exists(dir_ / name));
    }
}

TEST_F(DiscFiles, PlantedLinksAndForeignFilesAreNeverWrittenThrough) {
    // A link named like the next track file, one like the image being burnt in the same folder,
    // and links named like temporary sheets a killed program would have left.
    std::filesystem::create_symlink(victim_, dir_ / "disc-01.iso");
    WriteFile(dir_ / "disc-02.raw", "the image being burnt");
    std::filesystem::create_symlink(victim_, dir_ / "disc.cue.tmp.4242");
    std::filesystem::create_symlink(victim_, dir_ / "disc.cue.tmp.0123456789abcdef");
    {
        Drive d(Route::Direct, dir_ / "disc.cue,media=cd-rw");
        ASSERT_EQ(d.SetWriteParameters(false, 3).Sense(), "GOOD");
        ASSERT_EQ(d.Write(0, Pattern(0, 10), 10).Sense(), "GOOD");
        ASSERT_EQ(d.CloseTrack(1).Sense(), "GOOD");
        ASSERT_EQ(d.SetWriteParameters(true, 3).Sense(), "GOOD");
        ASSERT_EQ(d.Write(10, Pattern(10, 5, 2352), 5).Sense(), "GOOD");
        ASSERT_EQ(d.CloseTrack(2).Sense(), "GOOD");
        const vdrive::DiscState s = d.Writer().State();
        ASSERT_EQ(s.tracks.size(), 2u);
        EXPECT_EQ(s.tracks[0].file, dir_ / "disc-01-2.iso");
        EXPECT_EQ(s.tracks[1].file, dir_ / "disc-02-2.raw");
        EXPECT_EQ(ReadFile(s.tracks[0].file), Pattern(0, 10));
        EXPECT_EQ(d.ReadToc().Sense(), "GOOD");
        ASSERT_EQ(d.Blank(0x11).Sense(), "GOOD");
        while (d.TestUnitReady().Sense() != "GOOD") ::usleep(1000);
        EXPECT_FALSE(std::filesystem::exists(s.tracks[0].file));
    }
    const std::string kept = "precious\n", image = "the image being burnt";
    EXPECT_EQ(ReadFile(victim_), Bytes(kept.begin(), kept.end()));
    EXPECT_EQ(ReadFile(dir_ / "disc-02.raw"), Bytes(image.begin(), image.end()));
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "disc-01.iso"));
    // The orphans went at attach: links themselves, never what they point to.
    EXPECT_FALSE(std::filesystem::is_symlink(dir_ / "disc.cue.tmp.4242"));
    EXPECT_FALSE(std::filesystem::is_symlink(dir_ / "disc.cue.tmp.0123456789abcdef"));
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().string().find(".tmp."), std::string::npos) << entry.path();
}

// Waits for a child that is expected to end within moments, bounded all the same.
int WaitChildBriefly(pid_t pid) {
    for (int i = 0; i < 30000; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return status;
        ::usleep(1000);
    }
    return WaitChild(pid);
}

// Children that attach one disc at once: each either owns it and finishes its job, or is
// refused because another owns it (exit 10). Any other outcome is exit 1.
pid_t Contender(const std::string& cue, int job) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    try {
        std::string error;
        vdrive::AttachFailure failure = vdrive::AttachFailure::None;
        vdrive::VirtualDriveOptions options;
        options.path = cue;
        options.media = kvcat::MediumByKey("cd-rw");
        auto w = vdrive::VirtualWriter::Open(options, error, failure);
        if (!w) ::_exit(failure == vdrive::AttachFailure::InUse &&
                                error.find("is in use by another program (pid ") != std::string::npos
                            ? 10
                            : 1);
        Drive d(Route::Direct, cue);   // the same process: it shares the lock
        w.reset();
        bool ok = true;
        if (job == 0) {
            ok = d.Blank(0x11).Good();
            while (ok && !d.TestUnitReady().Good()) ::usleep(500);
        } else {
            const vdrive::DiscState s = d.Writer().State();
            const std::uint32_t at = s.nextWritableAddress.value_or(0);
            ok = !s.finalized && d.SetWriteParameters(false, 3).Good() && d.Write(at, Pattern(at, 4), 4).Good() &&
                 d.CloseTrack(static_cast<std::uint8_t>(s.tracks.size() + 1)).Good();
        }
        ::_exit(ok ? 0 : 1);
    } catch (...) {
        ::_exit(1);
    }
}

TEST_F(DiscFiles, OneProcessAtATimeOwnsADisc) {
    const std::string cue = dir_ / "shared.cue";
    {
        // While this process holds the disc, another is refused and told who holds it.
        Drive owner(Route::Direct, cue + ",media=cd-rw");
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string error;
            vdrive::AttachFailure failure = vdrive::AttachFailure::None;
            auto w = vdrive::AttachVirtualDrive(cue, error, failure);
            const bool refused = !w && failure == vdrive::AttachFailure::InUse &&
                                 error == "the disc " + cue + " is in use by another program (pid " +
                                              std::to_string(::getppid()) + ")";
            ::_exit(refused ? 0 : 1);
        }
        const int child = WaitChild(pid);
        EXPECT_TRUE(WIFEXITED(child) && WEXITSTATUS(child) == 0) << child;
    }
    // Two, then three, programs at once, again and again: the disc always loads afterwards.
    int owned = 0, refused = 0;
    for (int round = 0; round < 100; ++round) {
        const int contenders = round < 50 ? 2 : 3;
        std::vector<pid_t> pids;
        for (int k = 0; k < contenders; ++k) pids.push_back(Contender(cue, (round + k) % 2));
        for (pid_t pid : pids) {
            ASSERT_GT(pid, 0);
            const int status = WaitChildBriefly(pid);
            ASSERT_TRUE(WIFEXITED(status)) << "round " << round;
            ASSERT_NE(WEXITSTATUS(status), 1) << "round " << round;
            (WEXITSTATUS(status) == 0 ? owned : refused)++;
        }
        std::string error;
        vdrive::VirtualDriveOptions options;
        options.path = cue;
        ASSERT_NE(vdrive::VirtualWriter::Open(options, error), nullptr) << "round " << round << ": " << error;
    }
    EXPECT_GE(owned, 100);
    std::printf("contenders: %d owned the disc, %d were refused\n", owned, refused);
}

// Queries read a disc beside each other; only a job that changes it holds it alone. In a folder
// the user cannot write (the test switch stands for one: tests run with every right) a query
// still reads the disc, without any lock file, and the disc is write-protected for it.
TEST_F(DiscFiles, QueriesShareADiscAndReadOneInAFolderThatCannotBeWritten) {
    const std::string cue = dir_ / "read.cue";
    { Drive make(Route::Direct, cue + ",media=cd-rw"); }
    const auto open = [&](vdrive::DiscAccess access, std::string& error, vdrive::AttachFailure& failure) {
        vdrive::VirtualDriveOptions options;
        options.path = cue;
        options.access = access;
        return vdrive::VirtualWriter::Open(options, error, failure);
    };
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Another program's query holds the disc while the parent asks.
        std::string error;
        vdrive::AttachFailure failure = vdrive::AttachFailure::None;
        auto reader = open(vdrive::DiscAccess::Shared, error, failure);
        const char byte = reader ? 'y' : 'n';
        (void)!::write(ready[1], &byte, 1);
        ::usleep(reader ? 1500 * 1000 : 0);
        ::_exit(reader ? 0 : 1);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    {
        std::string error;
        vdrive::AttachFailure failure = vdrive::AttachFailure::None;
        EXPECT_NE(open(vdrive::DiscAccess::Shared, error, failure), nullptr) << error;
        auto job = open(vdrive::DiscAccess::Exclusive, error, failure);
        EXPECT_EQ(job, nullptr);
        EXPECT_EQ(failure, vdrive::AttachFailure::InUse) << error;
        EXPECT_NE(error.find("is in use by another program (pid " + std::to_string(pid) + ")"), std::string::npos)
            << error;
    }
    const int child = WaitChild(pid);
    EXPECT_TRUE(WIFEXITED(child) && WEXITSTATUS(child) == 0) << child;
    ::close(ready[0]);
    ::close(ready[1]);

    std::filesystem::remove(cue + ".lock");
    const Bytes sheet = ReadFile(cue);
    vdrive::SetUnwritableFolderForTesting(dir_.path().string());
    {
        std::string error;
        vdrive::AttachFailure failure = vdrive::AttachFailure::None;
        auto reader = open(vdrive::DiscAccess::Shared, error, failure);
        ASSERT_NE(reader, nullptr) << error;
        EXPECT_FALSE(std::filesystem::exists(cue + ".lock"));
        EXPECT_EQ(reader->State().media, kvcat::MediumByKey("cd-rw"));
        // What would change the disc is refused as on a write-protected disc.
        struct Change {
            Bytes cdb;
            win::ScsiRequest::Direction direction;
            std::uint32_t length;
        } changes[] = {
            {{0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}, win::ScsiRequest::Direction::Out, 2048},
            {{0xA1, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, win::ScsiRequest::Direction::None, 0},
            {{0x5B, 0, 2, 0, 0, 0, 0, 0, 0, 0}, win::ScsiRequest::Direction::None, 0},
            {{0x53, 0, 0, 0, 0, 0, 0, 0, 10, 0}, win::ScsiRequest::Direction::None, 0},
            {{0x04, 0x11, 0, 0, 0, 0}, win::ScsiRequest::Direction::Out, 12},
        };
        for (const Change& c : changes) {
            SCOPED_TRACE(static_cast<int>(c.cdb[0]));
            Bytes data(c.length, 0);
            win::ScsiRequest r;
            std::copy(c.cdb.begin(), c.cdb.end(), r.cdb);
            r.cdbLength = static_cast<std::uint8_t>(c.cdb.size());
            r.direction = c.direction;
            r.data = data.empty() ? nullptr : data.data();
            r.dataLength = c.length;
            ASSERT_TRUE(reader->Execute(r));
            EXPECT_EQ(r.status, 2);
            EXPECT_EQ(r.sense[2] & 0x0F, 0x07);
            EXPECT_EQ(r.sense[12], 0x27);
        }
        auto job = open(vdrive::DiscAccess::Exclusive, error, failure);
        EXPECT_EQ(job, nullptr);
        EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
    }
    vdrive::SetUnwritableFolderForTesting("");
    EXPECT_EQ(ReadFile(cue), sheet) << "a query changed the disc";
}

// A sheet reached through a link is the file it names: it loads, its tracks are written beside
// it, and saving it replaces that file, never the link.
TEST_F(DiscFiles, ASheetReachedThroughALinkLoadsAndStaysWhereItIs) {
    std::filesystem::create_directories(dir_ / "discs");
    const std::string real = dir_ / "discs/real.cue";
    { Drive make(Route::Direct, real + ",media=cd-r"); }
    std::filesystem::create_symlink(real, dir_ / "link.cue");
    {
        Drive d(Route::Direct, dir_ / "link.cue");
        ASSERT_EQ(d.SetWriteParameters(false).Sense(), "GOOD");
        ASSERT_EQ(d.Write(0, Bytes(2 * 2048, 'x'), 2).Sense(), "GOOD");
        ASSERT_EQ(d.SyncCache().Sense(), "GOOD");
        ASSERT_EQ(d.CloseTrack(1, false).Sense(), "GOOD");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.cue"));
    EXPECT_TRUE(std::filesystem::exists(dir_ / "discs/real-01.iso"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "link-01.iso"));
    const Bytes sheet = ReadFile(real);
    EXPECT_NE(std::string(sheet.begin(), sheet.end()).find("real-01.iso"), std::string::npos);
    // A link to nothing is refused with the reason, and nothing is made where it points.
    std::filesystem::create_symlink(dir_ / "discs/gone.cue", dir_ / "dangling.cue");
    std::string error;
    EXPECT_EQ(vdrive::AttachVirtualDrive(dir_ / "dangling.cue", error), nullptr);
    EXPECT_NE(error.find("is a link to nothing"), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "discs/gone.cue"));
}

}  // namespace
