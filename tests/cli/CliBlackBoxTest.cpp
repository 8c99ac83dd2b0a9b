// keelvane-cli from the outside: the built program run against virtual writers in temporary
// folders, its output and exit code checked for every command, on good and bad drives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "MiniJson.h"
#include "burner/TempDir.h"
#include "ProcessRunner.h"

#ifndef KV_CLI_PATH
#error "KV_CLI_PATH must name the keelvane-cli under test"
#endif
#ifndef KV_ASPI_PROBE_DIR
#error "KV_ASPI_PROBE_DIR must name the folder of the probe WNASPI32.dll"
#endif

namespace fs = std::filesystem;
using kvtest::JsonReader;
using kvtest::JsonValue;
using kvtest::RunOptions;
using kvtest::RunProcess;
using kvtest::RunResult;

namespace {

const std::string kCli = KV_CLI_PATH;

// Exit codes as --help documents them.
constexpr int kOk = 0, kFailed = 1, kUsage = 2, kNoWriter = 3, kImage = 4, kWriteParameters = 5, kWrite = 6,
              kDiscUnusable = 9, kUnusable = kDiscUnusable, kInterrupted = 130;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// "E:\\  [ VENDOR PRODUCT]": an entry of the drive box.
bool IsDriveEntry(const std::string& line) {
    return line.size() > 8 && line[0] >= 'D' && line[0] <= 'Z' && line.compare(1, 6, ":\\  [ ") == 0 &&
           line.back() == ']';
}

// A --trace line of `opcode` ("43") whose tail contains `outcome`.
bool HasTraceLine(const std::string& err, const std::string& opcode, const std::string& outcome,
                  const std::string& direction = "  in ") {
    for (const auto& line : Lines(err))
        if (line.rfind("trace ", 0) == 0 && line.size() > 9 && line.compare(7, 2 + opcode.size(), ": " + opcode) == 0 &&
            line.find(direction) != std::string::npos && line.find(outcome) != std::string::npos)
            return true;
    return false;
}

std::string Describe(const RunResult& r) {
    return "exit " + std::to_string(r.exitCode) + (r.signal ? " signal " + std::to_string(r.signal) : "") +
           (r.timedOut ? " (timed out)" : "") + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

class CliBlackBox : public ::testing::Test {
protected:
    RunResult Cli(const std::vector<std::string>& args, RunOptions options = RunOptions()) {
        if (options.workingDirectory.empty()) options.workingDirectory = dir_.string();
        RunResult r = RunProcess(kCli, args, options);
        EXPECT_FALSE(r.timedOut) << Describe(r);
        return r;
    }
    // keelvane-cli --virtual-drive <dir>/<name>.cue[,options] ARGS...
    RunResult On(const std::string& drive, std::vector<std::string> args, RunOptions options = RunOptions()) {
        args.insert(args.begin(), {"--virtual-drive", (dir_ / drive).string()});
        return Cli(args, options);
    }

    // A real ISO 9660 image made by xorriso, of roughly `payload` bytes of random data; with
    // `bootable`, an El Torito boot record and a (no-emulation) boot image.
    fs::path MakeIso(const std::string& name, std::size_t payload, bool bootable = false) {
        const fs::path tree = dir_ / (name + ".tree");
        fs::create_directories(tree);
        std::ofstream(tree / "README.TXT") << "KeelVane test image " << name << "\n";
        std::string data(payload, '\0');
        std::mt19937 random(static_cast<unsigned>(payload));
        for (auto& c : data) c = static_cast<char>(random());
        std::ofstream(tree / "payload.bin", std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        const fs::path iso = dir_ / name;
        RunOptions options;
        options.timeout = std::chrono::seconds(60);
        std::vector<std::string> args = {"-as", "mkisofs", "-quiet", "-V", "KVTEST", "-o", iso.string()};
        if (bootable) {
            std::ofstream(tree / "boot.img", std::ios::binary) << std::string(2048, '\xF4');
            args.insert(args.end(), {"-b", "boot.img", "-no-emul-boot", "-boot-load-size", "4"});
        }
        args.push_back(tree.string());
        const RunResult r = RunProcess("/usr/bin/xorriso", args, options);
        if (r.exitCode != 0) ADD_FAILURE() << "xorriso: " << Describe(r);
        return iso;
    }
    fs::path MakeFile(const std::string& name, std::size_t bytes) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
        return path;
    }
    // `bytes` of filler with an ISO 9660 primary volume descriptor at sector 16 and nothing
    // else: enough for the image checks, no boot record.
    fs::path MakeIsoLike(const std::string& name, std::size_t bytes) {
        std::string data(bytes, 'k');
        if (bytes >= 17 * 2048) data.replace(16 * 2048, 7, "\x01" "CD001" "\x01");
        std::ofstream(dir_ / name, std::ios::binary) << data;
        return dir_ / name;
    }
    // Every data file the CUE sheet names, in track order.
    std::vector<fs::path> TrackFiles(const std::string& cue) {
        std::vector<fs::path> files;
        for (const auto& line : Lines(ReadFile(dir_ / cue))) {
            if (line.rfind("FILE \"", 0) != 0) continue;
            const auto end = line.find('"', 6);
            if (end != std::string::npos) files.push_back(dir_ / line.substr(6, end - 6));
        }
        return files;
    }
    // The data file the CUE sheet's first FILE line names.
    fs::path TrackFile(const std::string& cue) {
        const auto files = TrackFiles(cue);
        return files.empty() ? fs::path() : files.front();
    }
    // A wave file made by sox: `seconds` of a sine at `rate` Hz, `channels`, 16 bits.
    fs::path MakeWave(const std::string& name, const std::string& rate, const std::string& channels,
                      const std::string& seconds, std::vector<std::string> extra = {}) {
        const fs::path wave = dir_ / name;
        std::vector<std::string> args = {"-n", "-r", rate, "-c", channels, "-b", "16"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {wave.string(), "synth", seconds, "sine", "440"});
        const RunResult r = RunProcess("/usr/bin/sox", args);
        if (r.exitCode != 0) ADD_FAILURE() << "sox: " << Describe(r);
        return wave;
    }

    TempDir tmp_;
    const fs::path dir_ = tmp_.path();
};

// The sample bytes of a wave file, found by walking its chunks.
std::string DataChunkOf(const std::string& wave) {
    auto le32 = [&](std::size_t at) {
        return std::uint32_t(std::uint8_t(wave[at])) | std::uint32_t(std::uint8_t(wave[at + 1])) << 8 |
               std::uint32_t(std::uint8_t(wave[at + 2])) << 16 | std::uint32_t(std::uint8_t(wave[at + 3])) << 24;
    };
    for (std::size_t at = 12; at + 8 <= wave.size();) {
        const std::uint32_t size = le32(at + 4);
        if (wave.compare(at, 4, "data") == 0) return wave.substr(at + 8, size);
        at += 8 + std::size_t(size) + (size & 1);
    }
    ADD_FAILURE() << "no data chunk";
    return {};
}

// What an audio track on the disc holds for these samples: the bytes, then silence to a whole
// 2352-byte block.
std::string PaddedToBlocks(std::string samples) {
    samples.resize((samples.size() + 2351) / 2352 * 2352, '\0');
    return samples;
}

bool HaveSox() { return access("/usr/bin/sox", X_OK) == 0; }

// A required tool that is missing fails the test: a skip would pass unseen in a run.
#define REQUIRE_TOOL(name)                                 \
    if (access("/usr/bin/" name, X_OK) != 0)               \
    GTEST_FAIL() << name " is not installed (scripts/install-deps.sh installs it)"
#define REQUIRE_SOX() REQUIRE_TOOL("sox")
#define REQUIRE_XORRISO() REQUIRE_TOOL("xorriso")

TEST_F(CliBlackBox, ReportsOfAGoodDrive) {
    RunResult r = On("good.cue", {"drives"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const auto drives = Lines(r.out);
    ASSERT_GE(drives.size(), 2u);
    EXPECT_TRUE(IsDriveEntry(drives[0])) << drives[0];
    EXPECT_TRUE(Contains(r.out, (dir_ / "good.cue").string())) << r.out;
    EXPECT_TRUE(Contains(r.out, "SCSI address ")) << r.out;

    r = On("good.cue", {"capabilities"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    const auto caps = Lines(r.out);
    ASSERT_FALSE(caps.empty());
    EXPECT_EQ(caps.front(), "-- Device Reading Methods --");
    EXPECT_NE(std::find(caps.begin(), caps.end(), "-- Device Writing Methods --"), caps.end());
    EXPECT_NE(std::find(caps.begin(), caps.end(), "    Write CD-R media"), caps.end());
    EXPECT_NE(std::find(caps.begin(), caps.end(), "-- Device Extended Methods --"), caps.end());

    r = On("good.cue", {"speeds"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    const auto speeds = Lines(r.out);
    // The six lines of the report, then the write speeds offered for the disc.
    ASSERT_GE(speeds.size(), 8u) << r.out;
    EXPECT_EQ(speeds[6], "-- Write Speeds For This Disc --");
    EXPECT_EQ(speeds[0], "-- Device Reading Speeds --");
    EXPECT_EQ(speeds[1].rfind("       Current Read Speed = ", 0), 0u);
    EXPECT_EQ(speeds[3], "-- Device Writing Speeds --");
    EXPECT_EQ(speeds[5].rfind("       Maximum Write Speed = ", 0), 0u);

    // write-mode sends page 05h with MODE SELECT(10) and shows the result name. (A virtual
    // writer starts from its default page in every process, so the page is not read back here.)
    for (const char* mode : {"cdda", "data"}) {
        r = On("good.cue", {"--trace", "write-mode", mode});
        EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_EQ(r.out, "Err_None\n");
        EXPECT_TRUE(HasTraceLine(r.err, "55 10", "  GOOD", "  out ")) << r.err;
    }
    r = On("good.cue", {"writer-params"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Write Type :  Track At Once (TAO)")) << r.out;
    EXPECT_EQ(Lines(r.out).back(), "Err_None");

    r = On("good.cue", {"buffer"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_EQ(r.out, "Burner Buffer Size : 2048 kb\nBurner Free Buffer : 2048 kb\nCD Buffer : 0 %\n");

    // A CD has no DVD structure: the six labels, then the drive's refusal.
    r = On("good.cue", {"dvd-structure"});
    EXPECT_EQ(r.exitCode, kFailed) << Describe(r);
    const auto dvd = Lines(r.out);
    ASSERT_EQ(dvd.size(), 6u) << r.out;
    EXPECT_EQ(dvd[0], "Book Type     : ");
    EXPECT_EQ(dvd[4], "Linear Density: ");
    EXPECT_TRUE(Contains(r.err, "Err_SenseIllegalRequest")) << r.err;

    r = On("good.cue", {"eject"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
}

TEST_F(CliBlackBox, DvdStructureOfADvd) {
    const RunResult r = On("dvd.cue,media=dvd-rom", {"dvd-structure"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0].rfind("Book Type     : ", 0), 0u);
    EXPECT_GT(lines[0].size(), std::string("Book Type     : ").size()) << "a DVD names its book type";
    EXPECT_EQ(lines[5].rfind("Layer Type    : ", 0), 0u);
}

TEST_F(CliBlackBox, BurnsVerifiesAndEjects) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("rescue.iso", 700000);
    const auto sectors = fs::file_size(iso) / 2048;

    RunResult r = On("disc.cue", {"burn", iso.string()});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    // Status lines in their order, then the completion message of the main window.
    const std::vector<std::string> expected = {
        "HardWare : Set Write Mode OK",       "Finished Writing : Sync Cache",
        "Finished Writing : Closing Track",   "Finished Writing : Closing Session",
        "Finished Writing : Job Done!",       "Verify : Reading the track back",
        "Verify : " + std::to_string(sectors) + " sectors equal the image",
        "CD Creation Complete!",              "Be sure your computer can boot from your CD drive.",
    };
    std::vector<std::string> got;
    for (const auto& line : Lines(r.out))
        if (std::find(expected.begin(), expected.end(), line) != expected.end()) got.push_back(line);
    EXPECT_EQ(got, expected) << r.out;
    // Not a terminal: plain progress lines, the last one at the last sector.
    EXPECT_TRUE(Contains(r.out, "write 100%  sector " + std::to_string(sectors - 1) + " of " + std::to_string(sectors)))
        << r.out;

    const fs::path track = TrackFile("disc.cue");
    ASSERT_FALSE(track.empty());
    EXPECT_EQ(ReadFile(track), ReadFile(iso)) << "the data track is the image, byte for byte";

    r = On("disc.cue", {"toc"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const auto toc = Lines(r.out);
    ASSERT_EQ(toc.size(), 3u) << r.out;
    EXPECT_EQ(toc[0], "No   Num   LBA        Flags");
    EXPECT_EQ(toc[1], "0    1     0          [ssqfADRposition, ssqfDataTrack]");
    char leadOut[80];
    std::snprintf(leadOut, sizeof leadOut, "%-4d %-5d %-10llu [ssqfADRposition, ssqfDataTrack]", 1, 170,
                  static_cast<unsigned long long>(sectors));
    EXPECT_EQ(toc[2], leadOut);

    // The disc is closed: a second burn must not report success.
    r = On("disc.cue", {"burn", iso.string()});
    EXPECT_NE(r.exitCode, kOk) << Describe(r);
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!")) << r.out;
    EXPECT_EQ(ReadFile(TrackFile("disc.cue")), ReadFile(iso)) << "the first track is untouched";
}

TEST_F(CliBlackBox, KeepSessionOpenLeavesTheSessionOpen) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("open.iso", 100000);
    const RunResult r = On("open.cue", {"burn", iso.string(), "--keep-session-open", "--no-verify", "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Finished Writing : Closing Track")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Closing Session")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Verify :")) << r.out;
    const std::string cue = ReadFile(dir_ / "open.cue");
    EXPECT_TRUE(Contains(cue, "CLOSED-SESSIONS 0")) << cue;
}

TEST_F(CliBlackBox, BlankIsRefusedOnCdrAndDoneOnCdrw) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("rw.iso", 200000);
    const std::string image = ReadFile(iso);
    ASSERT_GT(image.size(), 65536u);
    struct Case {
        const char* drive;
        bool burnFirst;
        int exitCode;
        const char* says;       // stdout on success, stderr on a refusal
        const char* command;    // the command that blanks, in the trace (nullptr: none may be sent)
        const char* statusAfter;   // disc-info's status afterwards (nullptr: no disc)
    };
    const Case cases[] = {
        {"r.cue,media=cd-r", true, kUnusable,
         "The disc in D: is a CD-R, which is written once: it cannot be blanked. Nothing was blanked.", nullptr, "closed"},
        {"rw.cue,media=cd-rw", true, kOk, "Blanking Finished!", "a1 10", "blank"},
        {"dr.cue,media=dvd-r", true, kUnusable, "The disc in D: is a DVD-R, which is written once", nullptr, "closed"},
        {"drw.cue,media=dvd-rw", true, kOk, "Blanking Finished!", "a1 10", "blank"},
        // Overwritable media take no BLANK: their first 64 KiB are overwritten with zeros.
        {"plus.cue,media=dvd+rw", true, kOk, "Blanking Finished!", "2a 00 00 00 00 00", "blank"},
        {"ro.cue,media=dvd-rw-ro", true, kOk, "Blanking Finished!", "2a 00 00 00 00 00", "blank"},
        {"re.cue,media=bd-re", true, kOk, "Blanking Finished!", "2a 00 00 00 00 00", "blank"},
        {"new.cue,media=bd-re,unformatted", false, kOk,
         "The disc in D: is already blank (BD-RE, unformatted); nothing was changed.", nullptr, "unformatted"},
        {"plusr.cue,media=dvd+r", true, kUnusable, "The disc in D: is a DVD+R, which is written once", nullptr, "closed"},
        {"bdr.cue,media=bd-r", false, kUnusable, "The disc in D: is a BD-R, which is written once", nullptr, "blank"},
        {"rom.cue,media=dvd-rom", false, kUnusable,
         "The disc in D: is a DVD-ROM, which is read-only: it cannot be blanked.", nullptr, "closed"},
        {"none.cue,media=none", false, kUnusable, "There is no disc in D: to blank.", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        const std::string cue = std::string(c.drive).substr(0, std::string(c.drive).find(','));
        if (c.burnFirst) ASSERT_EQ(On(c.drive, {"burn", iso.string(), "--no-eject"}).exitCode, kOk);
        else ASSERT_EQ(On(c.drive, {"drives"}).exitCode, kOk);
        const fs::path track = TrackFile(cue);
        const std::string before = track.empty() ? std::string() : ReadFile(track);

        // The drive options come with every run (a drive without a disc keeps none).
        RunResult r = On(c.drive, {"--trace", "blank"});
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_TRUE(Contains(c.exitCode == kOk ? r.out : r.err, c.says)) << Describe(r);
        if (c.command) {
            EXPECT_TRUE(HasTraceLine(r.err, c.command, "GOOD", "")) << r.err;
        } else {
            // Refused or nothing to do: nothing that changes a disc was sent.
            for (const char* opcode : {"a1", "2a", "04", "5b", "55"})
                EXPECT_FALSE(HasTraceLine(r.err, opcode, "", "")) << opcode << "\n" << r.err;
            EXPECT_FALSE(Contains(r.out, "Blanking Finished!")) << r.out;
            if (!track.empty()) {
                EXPECT_EQ(ReadFile(track), before) << "the disc's track changed";
            }
        }
        if (c.command && std::string(c.command).rfind("2a", 0) == 0) {
            // No BLANK; the volume descriptors are zeros, the rest of the track as it was.
            EXPECT_FALSE(HasTraceLine(r.err, "a1", "", "")) << r.err;
            const std::string after = ReadFile(TrackFile(cue));
            ASSERT_GE(after.size(), image.size());
            EXPECT_EQ(after.substr(0, 65536), std::string(65536, '\0'));
            EXPECT_EQ(after.substr(65536, image.size() - 65536), image.substr(65536));
        }
        const RunResult info = On(c.drive, {"disc-info"});
        if (c.statusAfter) {
            EXPECT_EQ(info.exitCode, kOk) << Describe(info);
            EXPECT_TRUE(Contains(info.out, std::string("Disc status   : ") + c.statusAfter + "\n")) << info.out;
        }
        if (c.exitCode == kOk && c.burnFirst) {
            // Blank, it takes a burn as a new disc does.
            r = On(c.drive, {"burn", iso.string(), "--no-eject"});
            EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        }
    }
}

TEST_F(CliBlackBox, EmptyDrive) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("none.iso", 50000);
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* stdoutText;
        const char* stderrText;
    };
    const std::vector<Case> cases = {
        {{"toc"}, kFailed, "No   Num   LBA        Flags\n", "Err_SenseNotReady"},
        {{"burn", iso.string()}, kFailed, "Error : Drive Not Ready : Err_SenseNotReady", "not ready"},
        {{"blank"}, kUnusable, "", "There is no disc in D: to blank."},
        {{"capabilities"}, kOk, "-- Device Reading Methods --", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const RunResult r = On("empty.cue,media=none", c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_TRUE(Contains(r.out, c.stdoutText)) << r.out;
        EXPECT_TRUE(Contains(r.err, c.stderrText)) << r.err;
        EXPECT_FALSE(Contains(r.out, "CD Creation Complete!"));
    }
    EXPECT_FALSE(fs::exists(dir_ / "empty-01.iso")) << "nothing written without a disc";

    // A drive that does not answer its capabilities page: the report still shows (zeros), but
    // the exit code says that it failed.
    const RunResult speeds = On("busy.cue,not-ready=50", {"speeds"});
    EXPECT_EQ(speeds.exitCode, kFailed) << Describe(speeds);
    EXPECT_TRUE(Contains(speeds.out, "       Maximum Write Speed = 0\n")) << speeds.out;
    EXPECT_TRUE(Contains(speeds.err, "Err_SenseNotReady")) << speeds.err;
}

TEST_F(CliBlackBox, WriteErrorStopsTheBurn) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("bad.iso", 200000);
    const RunResult r = On("bad.cue,fail-write-at=20", {"burn", iso.string()});
    EXPECT_EQ(r.exitCode, kWrite) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Error : Write Error at sector 20 : Err_SenseMediumError")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Finished Writing : Job Done!")) << r.out;
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!")) << r.out;
}

TEST_F(CliBlackBox, ImageProblemsAreRefusedBeforeWriting) {
    MakeFile("ragged.iso", 2048 * 10 + 1);
    MakeFile("empty.iso", 0);
    MakeIsoLike("big.iso", 2048 * 300);
    fs::create_directories(dir_ / "folder.iso");
    struct Case {
        std::string drive;
        std::string image;
        const char* stdoutText;
    };
    const std::vector<Case> cases = {
        {"a.cue", "missing.iso", "Error creating CD."},
        {"a.cue", "folder.iso", "Error creating CD."},
        {"a.cue", "ragged.iso", "Error : Error in Image Size"},
        {"a.cue", "empty.iso", "Error : Error in Image Size"},
        {"small.cue,capacity=200", "big.iso", "Error : Image larger than disc (300 blocks needed, 200 free)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        const RunResult r = On(c.drive, {"burn", (dir_ / c.image).string(), "--no-eject"});
        EXPECT_EQ(r.exitCode, kImage) << Describe(r);
        EXPECT_TRUE(Contains(r.out, c.stdoutText)) << r.out;
        EXPECT_FALSE(Contains(r.out, "CD Creation Complete!"));
    }
    for (const char* track : {"a-01.iso", "small-01.iso"})
        EXPECT_TRUE(!fs::exists(dir_ / track) || fs::file_size(dir_ / track) == 0) << track << " was written";
}

// The file names and contents of the folder, so that "nothing was written" can be checked.
std::map<std::string, std::string> FolderContents(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file()) files[e.path().filename().string()] = ReadFile(e.path());
    return files;
}

// A command sent or a device opened: a trace line other than the summary of a run that cost
// the drives nothing.
bool HasAnyTraceLine(const std::string& err) {
    for (const auto& line : Lines(err))
        if (line.rfind("trace ", 0) == 0 && line != "trace summary: 0 commands, 0 device opens") return true;
    return false;
}

std::string Sha256Of(const fs::path& file) {
    const RunResult r = RunProcess("/usr/bin/sha256sum", {file.string()});
    return r.out.substr(0, 64);
}

TEST_F(CliBlackBox, ImagesAreCheckedBeforeTheDriveIsTouched) {
    REQUIRE_XORRISO();
    const fs::path plain = MakeIso("plain.iso", 100000);
    const fs::path boot = MakeIso("boot.iso", 100000, true);
    MakeFile("noise.iso", 2048 * 40);
    const std::string bootSum = Sha256Of(boot);
    fs::create_directories(dir_ / "dl");
    // A download cut short, with the published list beside it.
    const fs::path cut = dir_ / "dl" / "cut.iso";
    fs::copy_file(boot, cut);
    std::ofstream(dir_ / "dl" / "SHA256SUMS") << std::string(64, '0') << "  other.iso\n" << bootSum << " *cut.iso\n"
                                             << bootSum << "  whole.iso\n";
    fs::resize_file(cut, fs::file_size(boot) - 2048 * 7);
    const std::string cutSum = Sha256Of(cut);
    fs::copy_file(boot, dir_ / "dl" / "whole.iso");
    const std::string kNotBootable = "This image is not bootable: the disc will not start a computer.";
    // Checksum files that are there but cannot be used: one over the 1 MiB a listing may have
    // (its sum is right, yet it is not read), and a link to an endless device.
    fs::create_directories(dir_ / "big");
    fs::copy_file(boot, dir_ / "big" / "boot.iso");
    std::ofstream(dir_ / "big" / "SHA256SUMS") << std::string(1024 * 1024, '#') << "\n" << bootSum << "  boot.iso\n";
    fs::create_directories(dir_ / "zero");
    fs::copy_file(boot, dir_ / "zero" / "boot.iso");
    fs::create_symlink("/dev/zero", dir_ / "zero" / "SHA256SUMS");

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> says;      // in stdout or stderr
        std::vector<std::string> saysNot;
        bool driveTouched;
        std::string media = "";   // the writer's attach options after its sheet
    };
    const std::string kBootAdvice = "Be sure your computer can boot from your CD drive.";
    const std::vector<Case> cases = {
        {"truncated download", {"burn", cut.string()}, kImage,
         {"Image checksum mismatch (SHA-256): expected " + bootSum + " (SHA256SUMS), actual " + cutSum,
          "Error creating CD."}, {"CD Creation Complete!"}, false},
        {"wrong sum given", {"burn", boot.string(), "--sha256", std::string(64, 'A')}, kImage,
         {"expected " + std::string(64, 'a'), "actual " + bootSum}, {}, false},
        {"not ISO 9660", {"burn", (dir_ / "noise.iso").string()}, kImage,
         {"not an ISO 9660 image", "--force"}, {"Set Write Mode"}, false},
        {"not ISO, forced", {"burn", (dir_ / "noise.iso").string(), "--force", "--no-verify"}, kOk,
         {"Warning : the image is not ISO 9660; burnt as it is", "CD Creation Complete!"}, {}, true},
        {"no boot record", {"burn", plain.string(), "--no-verify"}, kOk, {kNotBootable, "CD Creation Complete!"}, {},
         true},
        {"onto a DVD+R", {"burn", (dir_ / "dl" / "whole.iso").string(), "--no-verify"}, kOk,
         {"DVD+R Creation Complete!", "Be sure your computer can boot from your DVD drive."},
         {"CD Creation Complete!", kBootAdvice}, true, ",media=dvd+r"},
        {"intact download", {"burn", (dir_ / "dl" / "whole.iso").string()}, kOk,
         {"Image checksum OK (SHA-256)", "Verify : SHA-256 of the disc " + bootSum,
          "Verify : the disc matches the published SHA-256", "CD Creation Complete!", kBootAdvice},
         {kNotBootable}, true},
        {"listing over 1 MiB", {"burn", (dir_ / "big" / "boot.iso").string(), "--no-verify"}, kOk,
         {"SHA256SUMS was not read: larger than 1 MiB; the image is not checked against it", "CD Creation Complete!"},
         {"Image checksum OK"}, true},
        {"listing is a link to /dev/zero", {"burn", (dir_ / "zero" / "boot.iso").string(), "--no-verify"}, kOk,
         {"SHA256SUMS was not read: not a regular file; the image is not checked against it", "CD Creation Complete!"},
         {"Image checksum OK"}, true},
        {"sum given", {"burn", boot.string(), "--sha256", bootSum, "--no-verify"}, kOk,
         {"Image checksum OK (SHA-256)"}, {kNotBootable}, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cue = "check" + std::to_string(++n) + ".cue" + c.media;
        std::vector<std::string> args = {"--trace"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("--no-eject");
        const RunResult r = On(cue, args);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        for (const auto& text : c.says) EXPECT_TRUE(Contains(r.out + r.err, text)) << text << "\n" << Describe(r);
        for (const auto& text : c.saysNot) EXPECT_FALSE(Contains(r.out + r.err, text)) << text;
        // A refused image never reaches the drive: not one command in the trace.
        EXPECT_EQ(HasAnyTraceLine(r.err), c.driveTouched) << r.err;
    }
    EXPECT_TRUE(!fs::exists(dir_ / "check1-01.iso") || fs::file_size(dir_ / "check1-01.iso") == 0);

    // The check's findings in the result object.
    const RunResult json = On("json-check.cue", {"--json", "burn", cut.string()});
    EXPECT_EQ(json.exitCode, kImage);
    EXPECT_TRUE(Contains(json.out, "\"checksum\":\"mismatch\"")) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"checksum_actual\":\"" + cutSum + "\"")) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"image_format\":\"ISO 9660\"")) << json.out;
    EXPECT_TRUE(Contains(json.out, "\"checksum_skipped\":[]")) << json.out;
    // A listing skipped is named in the result with its reason.
    const RunResult skipped = On("json-skip.cue", {"--json", "burn", (dir_ / "zero" / "boot.iso").string(), "--no-verify"});
    EXPECT_EQ(skipped.exitCode, kOk) << Describe(skipped);
    EXPECT_TRUE(Contains(skipped.out, "\"checksum_skipped\":[{\"file\":\"" + (dir_ / "zero" / "SHA256SUMS").string() +
                                          "\",\"reason\":\"not a regular file\"}]"))
        << skipped.out;
    EXPECT_TRUE(Contains(skipped.out, "\"checksum\":\"none\"")) << skipped.out;
}

TEST_F(CliBlackBox, SimulationWritesNothing) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("sim.iso", 300000, true);
    RunResult r = On("sim.cue,media=cd-r", {"drives"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    fs::create_directories(dir_ / "keep");
    fs::rename(iso, dir_ / "keep" / "sim.iso");
    const auto before = FolderContents(dir_);

    r = On("sim.cue", {"--trace", "burn", (dir_ / "keep" / "sim.iso").string(), "--simulate", "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Simulation finished: nothing was written.")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Finished Writing : Closing Session")) << r.out;
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Verify :")) << r.out;
    // MODE SELECT(10) with Test Write (bit 4 of the page's byte 2) in its parameter list, and
    // every block sent.
    EXPECT_TRUE(HasTraceLine(r.err, "55", "05 32 51", "  out ")) << r.err;
    EXPECT_TRUE(HasTraceLine(r.err, "2a", "GOOD", "  out ")) << r.err;
    EXPECT_EQ(FolderContents(dir_), before) << "the disc's files changed";
    r = On("sim.cue", {"toc"});
    EXPECT_NE(r.exitCode, kOk) << "a blank disc has no table of contents\n" << Describe(r);

    // A simulated audio burn ends the same way.
    if (HaveSox()) {
        const fs::path wave = MakeWave("tone.wav", "44100", "2", "1");
        r = On("sim.cue", {"burn-audio", wave.string(), "--simulate", "--no-eject"});
        EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_TRUE(Contains(r.out, "Simulation finished: nothing was written.")) << r.out;
        EXPECT_FALSE(Contains(r.out, "Audio Tracks Finished!")) << r.out;
        fs::remove(wave);
        EXPECT_EQ(FolderContents(dir_), before) << "the disc's files changed";
    }

    // Every medium of the virtual writer, new and used, in drives with and without test
    // writing: a simulation ends well or is refused before anything changes the disc, and the
    // disc's files (sheet and tracks) are byte for byte what they were.
    struct Case {
        std::string drive;        // media and drive options
        const char* firstBurn;    // a burn before the simulation (nullptr: a new disc)
        int exitCode;
        const char* says;         // in stdout (success) or stderr (refusal)
        const char* page05;       // MODE SELECT's parameter bytes from page 05h, when sent
    };
    const std::string sim = (dir_ / "keep" / "sim.iso").string();
    const std::vector<Case> cases = {
        {"media=cd-rom", nullptr, kUnusable, "The disc in D: is a CD-ROM and cannot be written.", nullptr},
        {"media=cd-r", nullptr, kOk, "Simulation finished: nothing was written.", "05 32 51"},
        {"media=cd-rw", nullptr, kOk, "Simulation finished: nothing was written.", "05 32 51"},
        {"media=dvd-rom", nullptr, kUnusable, "The disc in D: is a DVD-ROM and cannot be written.", nullptr},
        {"media=dvd-r", nullptr, kOk, "Simulation finished: nothing was written.", "05 32 50"},
        {"media=dvd-rw", nullptr, kOk, "Simulation finished: nothing was written.", "05 32 50"},
        {"media=dvd-rw-ro", nullptr, kUnusable,
         "cannot simulate: DVD-RW (restricted overwrite) media cannot be written in test mode", nullptr},
        {"media=dvd+r", nullptr, kUnusable, "cannot simulate: DVD+R media cannot be written in test mode", nullptr},
        {"media=dvd+r-dl", nullptr, kUnusable, "cannot simulate: DVD+R DL media cannot be written in test mode", nullptr},
        {"media=dvd+rw", nullptr, kUnusable, "cannot simulate: DVD+RW media cannot be written in test mode", nullptr},
        {"media=bd-rom", nullptr, kUnusable, "The disc in D: is a BD-ROM and cannot be written.", nullptr},
        {"media=bd-r", nullptr, kUnusable, "cannot simulate: BD-R media cannot be written in test mode", nullptr},
        {"media=bd-re", nullptr, kUnusable, "cannot simulate: BD-RE media cannot be written in test mode", nullptr},
        {"media=none", nullptr, kFailed, "the drive is not ready (no disc?)", nullptr},
        // Unformatted: the format would be real.
        {"media=dvd+rw,unformatted", nullptr, kUnusable, "cannot simulate: DVD+RW media", nullptr},
        {"media=dvd-rw-ro,unformatted", nullptr, kUnusable, "cannot simulate: DVD-RW (restricted overwrite)", nullptr},
        {"media=bd-re,unformatted", nullptr, kUnusable, "cannot simulate: BD-RE media", nullptr},
        // A drive whose write feature offers no test write; an old one whose capabilities page does not.
        {"media=cd-r,no-test-write", nullptr, kUnusable,
         "cannot simulate: the drive cannot write CD-R media in test mode (its feature 002Dh offers no test write)",
         nullptr},
        {"media=dvd-r,no-test-write", nullptr, kUnusable,
         "cannot simulate: the drive cannot write DVD-R media in test mode (its feature 002Fh offers no test write)",
         nullptr},
        {"media=cd-r,no-config", nullptr, kOk, "Simulation finished: nothing was written.", "05 32 51"},
        {"media=cd-r,no-config,no-test-write", nullptr, kUnusable,
         "cannot simulate: the drive cannot write in test mode (its capabilities page offers no test write)", nullptr},
        // Used discs, refused before anything is sent that changes them.
        {"media=dvd-r", "--keep-session-open", kUnusable, "The disc in D: is not blank (appendable DVD-R, 1 session)",
         nullptr},
        {"media=cd-r", "", kUnusable, "The disc in D: is not blank (closed CD-R, 1 session)", nullptr},
        {"media=cd-rw", "", kUnusable, "The disc in D: is not blank. Blank it first.", nullptr},
        {"media=dvd+rw", "", kUnusable, "cannot simulate: DVD+RW media", nullptr},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.drive + (c.firstBurn ? std::string(" after a burn ") + c.firstBurn : std::string()));
        const std::string folder = "m" + std::to_string(i);
        fs::create_directories(dir_ / folder);
        // The drive's options come with every run; the disc keeps its medium from the first.
        const std::string cue = folder + "/d.cue," + c.drive;
        ASSERT_EQ(On(cue, {"drives"}).exitCode, kOk);
        if (c.firstBurn) {
            std::vector<std::string> args = {"burn", sim, "--no-eject", "--no-verify"};
            if (*c.firstBurn) args.push_back(c.firstBurn);
            ASSERT_EQ(On(cue, args).exitCode, kOk);
        }
        const auto disc = FolderContents(dir_ / folder);
        r = On(cue, {"--trace", "burn", sim, "--simulate", "--no-eject"});
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_TRUE(Contains(c.exitCode == kOk ? r.out : r.err, c.says)) << Describe(r);
        EXPECT_EQ(FolderContents(dir_ / folder), disc) << "the disc's files changed";
        if (c.page05) {
            EXPECT_TRUE(HasTraceLine(r.err, "55", c.page05, "  out ")) << "Test Write set\n" << r.err;
            EXPECT_TRUE(HasTraceLine(r.err, "2a", "GOOD", "  out ")) << r.err;
        }
        if (c.exitCode != kOk) {
            // Nothing that changes a disc: MODE SELECT, FORMAT UNIT, WRITE, CLOSE, RESERVE, BLANK.
            for (const char* opcode : {"55", "04", "2a", "5b", "53", "a1"})
                EXPECT_FALSE(HasTraceLine(r.err, opcode, "", "")) << opcode << "\n" << r.err;
            EXPECT_FALSE(Contains(r.out, "Simulation finished")) << r.out;
        }
    }

    // A refused simulation's result still says what the image check found.
    r = On("plus.cue,media=dvd+rw", {"--json", "burn", (dir_ / "keep" / "sim.iso").string(), "--simulate"});
    EXPECT_EQ(r.exitCode, kUnusable) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "\"simulated\":true")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"image_format\":\"ISO 9660\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"checksum\":\"none\"")) << r.out;
}

TEST_F(CliBlackBox, WriteSpeedsQuickBlankAndTray) {
    REQUIRE_XORRISO();
    // The offered speeds follow the report's own six lines, which stay as they were.
    RunResult r = On("fast.cue,media=cd-rw,speed=16", {"speeds"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const std::vector<std::string> expected = {
        "-- Device Reading Speeds --",     "       Current Read Speed = 52", "       Maximum Read Speed = 52",
        "-- Device Writing Speeds --",     "       Current Write Speed = 16", "       Maximum Write Speed = 16",
        "-- Write Speeds For This Disc --", "       16x (2816 kB/s)",          "       12x (2112 kB/s)",
        "       8x (1408 kB/s)",           "       4x (704 kB/s)",
    };
    EXPECT_EQ(Lines(r.out), expected) << r.out;
    r = On("plus.cue,media=dvd+rw", {"speeds"});
    EXPECT_TRUE(Contains(r.out, "       16x (22160 kB/s)")) << r.out;
    EXPECT_TRUE(Contains(r.out, "       2x (2770 kB/s)")) << r.out;
    // 1x is 1,385 kB/s on a DVD and 4,495 kB/s on a BD, in the list and in the burn's line.
    r = On("bd.cue,media=bd-re", {"--json", "speeds"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const JsonValue bd = JsonReader::Parse(Lines(r.out).back());
    EXPECT_EQ(bd["medium"].string, "BD");
    ASSERT_FALSE(bd["lines"].array.empty()) << r.out;
    std::vector<std::string> bdSpeeds;
    bool listed = false;
    for (const JsonValue& line : bd["lines"].array) {
        if (listed) bdSpeeds.push_back(line.string);
        listed = listed || line.string == "-- Write Speeds For This Disc --";
    }
    EXPECT_EQ(bdSpeeds, (std::vector<std::string>{"       12x (53940 kB/s)", "       10x (44950 kB/s)",
                                                   "       8x (35960 kB/s)", "       6x (26970 kB/s)",
                                                   "       4x (17980 kB/s)", "       2x (8990 kB/s)"}))
        << r.out;
    MakeFile("speed.iso", 2048 * 20);
    // Overwritable discs: no lead-in or lead-out to wait for at the chosen speed.
    for (const auto& [drive, line] : {std::pair<std::string, std::string>{"dvd.cue,media=dvd+rw", "Write Speed : 4x (5540 kB/s, DVD)"},
                                      {"bdre.cue,media=bd-re", "Write Speed : 4x (17980 kB/s, BD)"}}) {
        SCOPED_TRACE(drive);
        r = On(drive, {"burn", (dir_ / "speed.iso").string(), "--speed", "4", "--force", "--no-eject", "--no-verify"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_TRUE(Contains(r.out, line + "\n")) << r.out;
    }

    // A burn at 8x: SET CD SPEED, and the speed the drive then reports.
    const fs::path iso = MakeIso("fast.iso", 100000, true);
    r = On("fast.cue", {"--trace", "burn", iso.string(), "--speed", "8", "--no-eject", "--no-verify"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Write Speed : 8x (1408 kB/s, CD)")) << r.out;
    EXPECT_TRUE(HasTraceLine(r.err, "bb 00 ff ff 05 84", "GOOD", "  none ")) << r.err;

    // The minimal blank leaves a blank disc; the tray closes again after an eject.
    r = On("fast.cue", {"--json", "blank", "--fast"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "\"fast\":true")) << r.out;
    r = On("fast.cue", {"--trace", "blank", "--fast"});
    EXPECT_TRUE(Contains(r.out, "Blanking Finished!")) << Describe(r);
    EXPECT_TRUE(HasTraceLine(r.err, "a1 11", "GOOD", "  none ")) << r.err;
    EXPECT_NE(On("fast.cue", {"toc"}).exitCode, kOk);
    EXPECT_EQ(On("fast.cue", {"eject"}).exitCode, kOk);
    r = On("fast.cue", {"--trace", "load"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(HasTraceLine(r.err, "1b 00 00 00 03 00", "GOOD", "  none ")) << r.err;
}

TEST_F(CliBlackBox, WriteParametersRefusedOnADvdRom) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("dvd.iso", 50000);
    const RunResult r = On("rom.cue,media=dvd-rom", {"burn", iso.string(), "--no-eject", "--trace"});
    // A pressed disc takes no data: the preflight says so before any write parameters.
    EXPECT_EQ(r.exitCode, kDiscUnusable) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "The disc in D: is a DVD-ROM and cannot be written.")) << r.err;
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!"));
    EXPECT_FALSE(Contains(r.err, "trace D: 55 ")) << "no MODE SELECT\n" << r.err;
    EXPECT_FALSE(Contains(r.err, "trace D: 2a ")) << "no WRITE(10)\n" << r.err;
}

// Each medium through the program as a user runs it: the plan's line, the burn, the disc
// afterwards in disc-info (plain and JSON), and the refusals with their exit code.
TEST_F(CliBlackBox, MediaBurnAndDiscInfo) {
    MakeFile("img.iso", 2048 * 40);
    struct Case {
        const char* drive;
        const char* discLine;
        const char* status;     // disc-info after the burn
        const char* traceMark;  // a command of the medium's strategy in the trace
    };
    const Case cases[] = {
        // MODE SELECT of the write parameters; the DVD+R finalize close function; FORMAT UNIT.
        {"r.cue,media=dvd-r", "Disc : DVD-R, blank, 2295104 blocks free", "closed", "trace D: 55 10 "},
        {"p.cue,media=dvd+r", "Disc : DVD+R, blank, 2295104 blocks free", "closed", "trace D: 5b 01 05 "},
        {"b.cue,media=bd-re,unformatted", "Disc : BD-RE, unformatted, 12219392 blocks free", "written",
         "trace D: 04 11 "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        RunResult r = On(c.drive, {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject", "--trace"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        ASSERT_GE(Lines(r.out).size(), 2u) << r.out;   // after the image check's warning for the noise image
        EXPECT_EQ(Lines(r.out)[1], c.discLine) << r.out;
        EXPECT_TRUE(Contains(r.out, "Verify : 40 sectors equal the image")) << r.out;
        EXPECT_TRUE(Contains(r.err, c.traceMark)) << r.err;
        const std::string cue = std::string(c.drive).substr(0, std::string(c.drive).find(','));
        EXPECT_EQ(ReadFile(TrackFile(cue)).substr(0, 2048 * 40), ReadFile(dir_ / "img.iso"));

        r = On(cue, {"disc-info"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_TRUE(Contains(r.out, std::string("Disc status   : ") + c.status)) << r.out;
        r = On(cue, {"disc-info", "--json"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        const JsonValue result = JsonReader::Parse(Lines(r.out).back());
        EXPECT_EQ(result["status"].string, c.status);
        EXPECT_EQ(result["sessions"].number, 1);
        EXPECT_EQ(result["tracks"].number, 1);
        EXPECT_GT(result["capacity_blocks"].number, 40);
    }

    // A closed write-once disc, a used CD-RW (then blanked on request), a pressed disc.
    RunResult r = On("p.cue", {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject"});
    EXPECT_EQ(r.exitCode, kDiscUnusable) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "The disc in D: is not blank (closed DVD+R, 1 session). Insert a blank disc.")) << r.err;
    ASSERT_EQ(On("rw.cue,media=cd-rw", {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject"}).exitCode, kOk);
    r = On("rw.cue", {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject", "--json"});
    EXPECT_EQ(r.exitCode, kDiscUnusable) << Describe(r);
    const JsonValue refused = JsonReader::Parse(Lines(r.out).back());
    EXPECT_EQ(refused["exit_code"].number, kDiscUnusable);
    EXPECT_EQ(refused["refusal"].string, "The disc in D: is not blank. Blank it first.");
    EXPECT_TRUE(refused["tray_unlocked"].boolean);
    r = On("rw.cue", {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject", "--blank-as-needed"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Blanking Finished!")) << r.out;
    r = On("bd.cue,media=bd-rom", {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject"});
    EXPECT_EQ(r.exitCode, kDiscUnusable) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "The disc in D: is a BD-ROM and cannot be written.")) << r.err;

    // A drive without GET CONFIGURATION names no medium: nothing is called a CD-R or CD-RW that
    // the drive did not call so. A blank CD-R in it still burns with the CD burn.
    struct Old {
        const char* drive;
        int exitCode;
        const char* says;   // stderr of the burn
        const char* status; // disc-info afterwards
    };
    for (const Old& c : {Old{"old-plus.cue,media=dvd+rw,no-config", kDiscUnusable,
                             "The drive reports the disc in D: as closed and erasable, 1 session, and names no medium "
                             "(it reports no profile). Blank it first.", "closed"},
                         Old{"old-cd.cue,media=cd-r,no-config", kOk, "", "closed"}}) {
        SCOPED_TRACE(c.drive);
        r = On(c.drive, {"disc-info", "--json"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_EQ(JsonReader::Parse(Lines(r.out).back())["profile"].string, "unknown (the drive reports no profile)");
        r = On(c.drive, {"burn", (dir_ / "img.iso").string(), "--force", "--no-eject"});
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_TRUE(Contains(r.err, c.says)) << r.err;
        for (const char* name : {"CD-R", "CD-RW", "not blank"})
            EXPECT_FALSE(Contains(r.out + r.err, name)) << name << "\n" << Describe(r);
        if (c.exitCode == kOk) {
            EXPECT_TRUE(Contains(r.out, "Disc : unknown medium (the drive reports no profile), blank")) << r.out;
            EXPECT_TRUE(Contains(r.out, "CD Creation Complete!")) << r.out;
        }
        r = On(c.drive, {"disc-info"});
        EXPECT_TRUE(Contains(r.out, "Profile       : unknown (the drive reports no profile)\n")) << r.out;
        EXPECT_TRUE(Contains(r.out, std::string("Disc status   : ") + c.status + "\n")) << r.out;
    }
}

// Every line of --json output is one JSON object; the last one is the result.
std::vector<JsonValue> ParseJsonLines(const std::string& out) {
    std::vector<JsonValue> objects;
    for (const auto& line : Lines(out)) {
        JsonValue v = JsonReader::Parse(line);
        EXPECT_EQ(v.type, JsonValue::Type::Object) << line;
        objects.push_back(std::move(v));
    }
    return objects;
}

// The same lines through Python's json module, which is stricter than any hand-written reader.
void ExpectPythonAcceptsEveryLine(const fs::path& dir, const std::string& out) {
    if (access("/usr/bin/python3", X_OK) != 0) return;
    const fs::path file = dir / "lines.json";
    std::ofstream(file, std::ios::binary) << out;
    const RunResult r = RunProcess("/usr/bin/python3",
                                   {"-c",
                                    "import json,sys\n"
                                    "for n, line in enumerate(open(sys.argv[1], encoding='utf-8', errors='strict')):\n"
                                    "    v = json.loads(line)\n"
                                    "    assert isinstance(v, dict), n\n",
                                    file.string()});
    EXPECT_EQ(r.exitCode, 0) << Describe(r);
}

TEST_F(CliBlackBox, JsonLinesForScripts) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("json.iso", 400000);
    const auto sectors = static_cast<double>(fs::file_size(iso) / 2048);

    const std::string sum = Sha256Of(iso);
    RunResult r = On("json.cue", {"--json", "burn", iso.string(), "--no-eject", "--sha256", sum});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    ExpectPythonAcceptsEveryLine(dir_, r.out);
    auto objects = ParseJsonLines(r.out);
    ASSERT_GE(objects.size(), 3u);
    const JsonValue& result = objects.back();
    // The published sum, the sum of the bytes burnt and the disc's, side by side.
    EXPECT_EQ(result["checksum_expected"].string, sum);
    EXPECT_EQ(result["checksum_burnt"].string, sum);
    EXPECT_EQ(result["burnt_sha256"].string, sum);
    EXPECT_EQ(result["read_back_sha256"].string, sum);
    EXPECT_EQ(result["checksum_disc"].string, "the disc matches the published SHA-256");
    EXPECT_FALSE(result["image_changed"].boolean);
    EXPECT_TRUE(result["checksum_skipped"].array.empty());
    EXPECT_EQ(result["type"].string, "result");
    EXPECT_EQ(result["command"].string, "burn");
    EXPECT_EQ(result["exit_code"].number, 0);
    EXPECT_TRUE(result["ok"].boolean);
    EXPECT_TRUE(result["error"].IsNull());
    EXPECT_TRUE(result["verified"].boolean);
    EXPECT_EQ(result["sectors"].number, sectors);
    EXPECT_EQ(result["sectors_sent"].number, sectors);
    int statuses = 0, writeEvents = 0;
    double lastPercent = -1, lastSector = -1;
    for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
        const JsonValue& e = objects[i];
        const std::string type = e["type"].string;
        ASSERT_TRUE(type == "status" || type == "progress") << type;
        ASSERT_TRUE(e.Has("phase"));
        if (type == "status") {
            ++statuses;
            EXPECT_EQ(e["text"].type, JsonValue::Type::String);
            continue;
        }
        for (const char* key : {"sector", "total", "percent", "drive_buffer", "file_buffer"})
            EXPECT_TRUE(e.Has(key)) << key;
        if (e["phase"].string != "write") continue;
        ++writeEvents;
        EXPECT_GE(e["percent"].number, lastPercent);
        EXPECT_GT(e["sector"].number, lastSector);
        EXPECT_LE(e["percent"].number, 100);
        EXPECT_EQ(e["total"].number, sectors);
        lastPercent = e["percent"].number;
        lastSector = e["sector"].number;
    }
    EXPECT_GE(statuses, 6);
    EXPECT_GT(writeEvents, 10);
    EXPECT_LE(writeEvents, 102) << "one event per percent, not per sector";
    EXPECT_EQ(lastPercent, 100);
    EXPECT_EQ(lastSector, sectors - 1);

    r = On("json.cue", {"toc", "--json"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 1u);
    const JsonValue& entries = objects[0]["entries"];
    ASSERT_EQ(entries.array.size(), 2u);
    EXPECT_EQ(entries.array[1]["num"].number, 170);
    EXPECT_EQ(entries.array[1]["lba"].number, sectors);
    EXPECT_EQ(entries.array[0]["flags"].string, "[ssqfADRposition, ssqfDataTrack]");

    r = On("json.cue", {"--json", "drives"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 1u);
    const JsonValue& drive = objects[0]["drives"].array.at(0);
    EXPECT_EQ(drive["device"].string, (dir_ / "json.cue").string());
    EXPECT_TRUE(IsDriveEntry(drive["entry"].string)) << drive["entry"].string;

    // Failures are results too, with the reason.
    r = On("json.cue", {"--json", "burn", (dir_ / "nope.iso").string()});
    EXPECT_EQ(r.exitCode, kImage);
    objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_FALSE(objects[0]["ok"].boolean);
    EXPECT_EQ(objects[0]["exit_code"].number, kImage);
    EXPECT_TRUE(Contains(objects[0]["error"].string, "nope.iso"));

    r = Cli({"--json", "write-mode", "mp3"});
    EXPECT_EQ(r.exitCode, kUsage);
    objects = ParseJsonLines(r.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]["exit_code"].number, kUsage);
}

TEST_F(CliBlackBox, BlankReportsTheDrivesProgressInJson) {
    // An empty CD-RW takes a blank too; busy-ms keeps the drive busy long enough to be polled.
    const RunResult r = On("rwj.cue,media=cd-rw,busy-ms=400", {"--json", "blank"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    ExpectPythonAcceptsEveryLine(dir_, r.out);
    const auto objects = ParseJsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    int events = 0;
    double last = -1;
    for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
        if (objects[i]["type"].string != "progress") continue;
        ++events;
        EXPECT_EQ(objects[i]["phase"].string, "blank");
        EXPECT_TRUE(objects[i]["sector"].IsNull());
        EXPECT_GT(objects[i]["percent"].number, last);
        last = objects[i]["percent"].number;
    }
    EXPECT_GE(events, 1);
    EXPECT_LE(last, 100);
    const JsonValue& result = objects.back();
    EXPECT_EQ(result["command"].string, "blank");
    EXPECT_EQ(result["result"].string, "Err_None");
    ASSERT_EQ(result["lines"].array.size(), 1u);
    EXPECT_EQ(result["lines"].array[0].string, "Blanking Finished!");
}

TEST_F(CliBlackBox, CtrlCStopsTheBurnAndLeavesTheTrayFree) {
    REQUIRE_XORRISO();
    // 4x is 300 sectors a second: some seconds for this image, long enough to interrupt.
    const fs::path iso = MakeIso("slow.iso", 6 * 1024 * 1024);
    const auto sectors = fs::file_size(iso) / 2048;
    RunOptions options;
    options.interruptMarker = "\"type\":\"progress\"";
    options.interruptAfterLines = 3;
    const RunResult r = On("slow.cue,speed=4", {"--json", "burn", iso.string(), "--no-eject"}, options);
    ASSERT_EQ(r.exitCode, kInterrupted) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Cancelled : Writing stopped at sector")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Finished Writing : Job Done!"));
    const auto objects = ParseJsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    const JsonValue& result = objects.back();
    EXPECT_EQ(result["type"].string, "result");
    EXPECT_EQ(result["exit_code"].number, kInterrupted);
    EXPECT_LT(result["sectors_sent"].number, static_cast<double>(sectors)) << "stopped before the end";
    EXPECT_FALSE(result["verified"].boolean);
    EXPECT_TRUE(result["tray_unlocked"].boolean);
    const std::string cue = ReadFile(dir_ / "slow.cue");
    EXPECT_TRUE(Contains(cue, "REM STATE OPEN")) << "the partly written track stays open\n" << cue;

    // The tray is not left locked: the next program can eject the disc.
    const RunResult eject = On("slow.cue", {"eject"});
    EXPECT_EQ(eject.exitCode, kOk) << Describe(eject);
}

// One image onto several writers at once: every target's own events and result, a write error
// on one ends that one only, and the exit code is that of the first failed target in the order
// given; Ctrl-C stops every target with its tray free.
TEST_F(CliBlackBox, SeveralWritersAtOnce) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("many.iso", 600000);
    const std::string image = ReadFile(iso);
    struct Case {
        std::vector<std::string> drives;   // the virtual drives, in letter order from D:
        std::string select;                // --drive
        int exitCode;
        std::vector<int> targetCodes;      // in the order of the targets
    };
    const std::vector<Case> cases = {
        {{"a.cue", "b.cue,fail-write-at=40"}, "all", kWrite, {kOk, kWrite}},
        {{"a.cue,media=dvd+r", "b.cue,fail-write-at=40", "c.cue,media=none", "d.cue,media=cd-rw"}, "F,E,D,G",
         kFailed, {kFailed, kWrite, kOk, kOk}},
        // all: the empty drive is named and left out; the first failure in drive order decides.
        {{"a.cue", "b.cue,media=none", "c.cue,fail-write-at=40", "d.cue,media=dvd+r"}, "all", kWrite,
         {kOk, kWrite, kOk}},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.select + " over " + std::to_string(c.drives.size()) + " writers");
        // Each case's discs are its own.
        const std::string prefix = "r" + std::to_string(round++) + "-";
        std::vector<std::string> args;
        for (const auto& d : c.drives) args.insert(args.end(), {"--virtual-drive", (dir_ / (prefix + d)).string()});
        args.insert(args.end(), {"--json", "burn", iso.string(), "--drive", c.select, "--no-eject"});
        const RunResult r = Cli(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        const auto objects = ParseJsonLines(r.out);
        ASSERT_FALSE(objects.empty()) << r.out;
        std::vector<const JsonValue*> results;
        for (const auto& o : objects) {
            if (o["type"].string == "target_result") results.push_back(&o);
            // The image is checked once, before any target: only its events name none.
            const bool event = o["type"].string == "status" || o["type"].string == "progress";
            if (event && o["phase"].string != "checksum" && o["phase"].string != "check") {
                EXPECT_TRUE(o.Has("target")) << "every target's event names it";
            }
        }
        const JsonValue& end = objects.back();
        EXPECT_EQ(end["type"].string, "result");
        EXPECT_EQ(end["exit_code"].number, c.exitCode);
        ASSERT_EQ(end["targets"].array.size(), c.targetCodes.size()) << r.out;
        ASSERT_EQ(results.size(), c.targetCodes.size()) << r.out;
        for (std::size_t i = 0; i < c.targetCodes.size(); ++i) {
            const JsonValue& summary = end["targets"].array[i];
            SCOPED_TRACE(summary["target"].string);
            EXPECT_EQ(summary["exit_code"].number, c.targetCodes[i]);
            const auto own = std::find_if(results.begin(), results.end(), [&](const JsonValue* o) {
                return (*o)["target"].string == summary["target"].string;
            });
            ASSERT_NE(own, results.end());
            EXPECT_EQ((**own)["exit_code"].number, c.targetCodes[i]);
            if (c.targetCodes[i] == kOk) {
                EXPECT_TRUE((**own)["verified"].boolean);
                EXPECT_TRUE((**own)["tray_unlocked"].boolean);
                EXPECT_EQ((**own)["sectors_sent"].number, static_cast<double>(image.size() / 2048));
            }
        }
        // What the writers that finished hold is the image, each its own copy.
        int written = 0;
        for (const auto& d : c.drives) {
            const std::string cue = prefix + d.substr(0, d.find(','));
            if (!fs::exists(dir_ / cue) || d.find("fail-write-at") != std::string::npos) continue;
            const auto files = TrackFiles(cue);
            if (files.empty()) continue;
            EXPECT_EQ(ReadFile(files.front()), image) << cue;
            ++written;
        }
        EXPECT_EQ(written, std::count(c.targetCodes.begin(), c.targetCodes.end(), kOk));
    }

    // Ctrl-C stops every target; each says how far it came and leaves its tray free.
    RunOptions options;
    options.interruptMarker = "\"type\":\"progress\"";
    options.interruptAfterLines = 6;
    const fs::path slow = MakeIso("slow.iso", 6 * 1024 * 1024);
    const RunResult r = Cli({"--virtual-drive", (dir_ / "s1.cue,speed=4").string(), "--virtual-drive",
                             (dir_ / "s2.cue,media=dvd+r,speed=2").string(), "--json", "burn", slow.string(),
                             "--drive", "all", "--no-eject"},
                            options);
    ASSERT_EQ(r.exitCode, kInterrupted) << Describe(r);
    int stopped = 0;
    for (const auto& o : ParseJsonLines(r.out)) {
        if (o["type"].string != "target_result") continue;
        ++stopped;
        EXPECT_EQ(o["exit_code"].number, kInterrupted) << o["target"].string;
        EXPECT_TRUE(o["tray_unlocked"].boolean) << o["target"].string;
        EXPECT_FALSE(o["verified"].boolean);
    }
    EXPECT_EQ(stopped, 2) << r.out;
    for (const char* cue : {"s1.cue", "s2.cue"}) EXPECT_EQ(On(cue, {"eject"}).exitCode, kOk) << cue;
}

// Every wait is live: wait events while the session closes, and a stop request during the
// wait for a drive that never becomes ready ends the job at once with the tray unlocked.
TEST_F(CliBlackBox, WaitsAreLiveAndStoppable) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("wait.iso", 512 * 1024);
    {
        // 24x: the session's lead-in and lead-out take some seconds.
        const RunResult r = On("fast.cue,speed=24", {"--json", "burn", iso.string(), "--no-eject", "--no-verify"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        int closing = 0;
        double lastElapsed = 0;
        for (const JsonValue& o : ParseJsonLines(r.out)) {
            if (o["type"].string != "wait" || o["phase"].string != "close-session") continue;
            ++closing;
            EXPECT_EQ(o["step"].string, "Finished Writing : Closing Session");
            EXPECT_EQ(o["elapsed_s"].number, lastElapsed + 1) << "one event per second of the wait";
            lastElapsed = o["elapsed_s"].number;
        }
        EXPECT_GE(closing, 2) << r.out;
    }
    // A stop during a wait of any kind is a stop (130/143), not the failure of the step waited on.
    struct Case {
        const char* disc;
        const char* command;
        const char* waitPhase;
        int signal;
        int exitCode;
    };
    constexpr char kNeverReady[] = "never.cue,media=cd-rw,not-ready=1000000";
    // Each stop leaves its disc written in part: one disc per case.
    constexpr char kSlowDvdR[] = "slow-dvd-r.cue,media=dvd-r,speed=24";
    constexpr char kSlowDvdR2[] = "slow-dvd-r-2.cue,media=dvd-r,speed=24";
    for (const Case& c : {Case{kNeverReady, "burn", "drive-ready", SIGINT, kInterrupted},
                          Case{kNeverReady, "burn", "drive-ready", SIGTERM, 143},
                          Case{kNeverReady, "blank", "drive-ready", SIGINT, kInterrupted},
                          Case{kSlowDvdR, "burn", "close-session", SIGINT, kInterrupted},
                          Case{kSlowDvdR2, "burn", "close-session", SIGTERM, 143}}) {
        SCOPED_TRACE(std::string(c.disc) + " " + c.command + " " + std::to_string(c.signal));
        const std::string sheet = std::string(c.disc).substr(0, std::string(c.disc).find(','));
        RunOptions options;
        options.interruptMarker = "\"type\":\"wait\",\"phase\":\"" + std::string(c.waitPhase) + "\"";
        options.interruptAfterLines = 1;
        options.interruptSignal = c.signal;
        std::vector<std::string> args = {"--json", c.command};
        if (std::string(c.command) == "burn") args.push_back(iso.string());
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = On(c.disc, args, options);
        const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ASSERT_EQ(r.exitCode, c.exitCode) << Describe(r);
        // The ready wait alone would last a minute: the stop came at its next call.
        EXPECT_LT(seconds, 15) << Describe(r);
        const auto objects = ParseJsonLines(r.out);
        ASSERT_FALSE(objects.empty());
        const auto wait = std::find_if(objects.begin(), objects.end(), [](const JsonValue& o) { return o["type"].string == "wait"; });
        ASSERT_NE(wait, objects.end());
        EXPECT_EQ((*wait)["phase"].string, c.waitPhase);
        if (std::string(c.waitPhase) == "drive-ready" && std::string(c.command) == "burn") {
            EXPECT_TRUE(objects.back()["tray_unlocked"].boolean) << r.out;
        }
        if (std::string(c.waitPhase) == "close-session") {
            EXPECT_TRUE(Contains(objects.back()["error"].string, "the drive finishes a close it has started by itself"))
                << r.out;
        }
        // Whatever the drive was doing, the next program can take the disc out.
        const RunResult eject = On(sheet, {"eject"});
        EXPECT_EQ(eject.exitCode, kOk) << Describe(eject);
    }

    // The image's hash stops too: a stop after its first piece of a 4 GiB image ends the
    // program before the drive is touched (the whole hash would take many seconds).
    const fs::path huge = dir_ / "huge.iso";
    std::ofstream(huge, std::ios::binary).close();
    fs::resize_file(huge, 4ull << 30);
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        RunOptions options;
        options.interruptMarker = "\"phase\":\"checksum\"";
        options.interruptAfterLines = 2;   // the status line, then the first piece's progress
        options.interruptSignal = signal;
        const RunResult r = On("hash.cue", {"--json", "--trace", "burn", huge.string(), "--sha256", std::string(64, '0')},
                               options);
        EXPECT_EQ(r.exitCode, signal == SIGTERM ? 143 : kInterrupted) << Describe(r);
        EXPECT_TRUE(Contains(r.out, "interrupted while checking the image; nothing was written")) << r.out;
        EXPECT_FALSE(HasAnyTraceLine(r.err)) << r.err;
    }
}

TEST_F(CliBlackBox, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},         {"fly"},          {"toc", "x"},           {"burn", "a", "b"},     {"write-mode"},
        {"--drive"}, {"toc", "--no-eject"}, {"--frobnicate", "toc"}, {"write-mode", "mp3"},
        {"burn-audio"}, {"blank", "--force"}, {"burn-audio", "a.wav", "--no-verify"},
    };
    for (const auto& args : bad) {
        const RunResult r = Cli(args);
        EXPECT_EQ(r.exitCode, kUsage) << Describe(r);
        EXPECT_TRUE(Contains(r.err, "--help")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // A malformed virtual drive is a usage error too, found before anything is attached.
    RunResult r = On("v.cue,speed=fast", {"toc"});
    EXPECT_EQ(r.exitCode, kUsage) << Describe(r);
    EXPECT_FALSE(fs::exists(dir_ / "v.cue"));

    r = Cli({"--help"});
    EXPECT_EQ(r.exitCode, kOk);
    EXPECT_TRUE(Contains(r.out, "Exit codes:")) << r.out;
    EXPECT_TRUE(Contains(r.out, "130")) << r.out;
    r = Cli({"--version"});
    EXPECT_EQ(r.exitCode, kOk);
    EXPECT_EQ(r.out.rfind("keelvane-cli ", 0), 0u) << r.out;
}

TEST_F(CliBlackBox, DriveSelection) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("sel.iso", 50000);
    const std::vector<std::string> two = {"--virtual-drive", (dir_ / "one.cue").string(), "--virtual-drive",
                                          (dir_ / "two.cue").string()};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.begin(), two.begin(), two.end());
        return Cli(args);
    };
    RunResult r = with({"--json", "drives"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const auto drives = ParseJsonLines(r.out).back()["drives"].array;
    ASSERT_EQ(drives.size(), 2u);
    const std::string second = drives[1]["letter"].string;

    r = with({"--drive", "1", "burn", iso.string(), "--no-eject", "--no-verify"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(fs::exists(dir_ / "two-01.iso"));
    EXPECT_FALSE(fs::exists(dir_ / "one-01.iso"));

    r = with({"--drive", second + ":", "toc"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    r = with({"--drive", "0", "toc"});
    EXPECT_EQ(r.exitCode, kFailed) << "the first disc is still blank\n" << Describe(r);

    r = with({"--drive", "2", "toc"});
    EXPECT_EQ(r.exitCode, kNoWriter) << Describe(r);
    r = with({"--drive", "Z", "toc"});
    EXPECT_EQ(r.exitCode, kNoWriter) << Describe(r);

    // --drive all: only the writers whose disc can take the image; a written disc and a pressed
    // one are named with the burn's own refusal and left alone.
    r = with({"--virtual-drive", (dir_ / "rom.cue").string() + ",media=dvd-rom", "--json", "--drive", "all", "burn",
              iso.string(), "--no-eject", "--no-verify"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const auto result = ParseJsonLines(r.out).back();
    const auto targets = result["targets"].array;
    ASSERT_EQ(targets.size(), 1u) << r.out;
    const std::string first = drives[0]["letter"].string;
    EXPECT_EQ(targets[0]["target"].string, first + ":") << r.out;
    EXPECT_TRUE(fs::exists(dir_ / "one-01.iso"));
    std::string lines;
    for (const auto& line : result["lines"].array) lines += line.string + "\n";
    EXPECT_TRUE(Contains(lines, second + ": skipped: The disc in " + second + ": is not blank")) << lines;
    EXPECT_TRUE(Contains(lines, ": is a DVD-ROM and cannot be written.")) << lines;
}

TEST_F(CliBlackBox, NoWriterAtAll) {
    if (!fs::exists("/dev") || fs::exists("/dev/sr0")) GTEST_SKIP() << "this machine has an optical drive";
    RunResult r = Cli({"toc"});
    EXPECT_EQ(r.exitCode, kNoWriter) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "No CD burners found on this computer.")) << r.err;
    r = Cli({"drives"});
    EXPECT_EQ(r.exitCode, kNoWriter) << Describe(r);
}

TEST_F(CliBlackBox, RescueImageBesideTheProgram) {
    REQUIRE_XORRISO();
    // A copy of the program in a bin folder of its own, laid out like an installation: its data
    // folder in share/keelvane/, and a user's data folder elsewhere.
    const fs::path bin = dir_ / "bin";
    const fs::path places[] = {bin, dir_ / "share" / "keelvane", dir_ / "user-data" / "keelvane"};
    for (const auto& place : places) fs::create_directories(place);
    fs::copy_file(kCli, bin / "keelvane-cli");
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    ::setenv("XDG_DATA_HOME", (dir_ / "user-data").c_str(), 1);
    struct RestoreXdg {
        bool had;
        std::string value;
        ~RestoreXdg() { had ? ::setenv("XDG_DATA_HOME", value.c_str(), 1) : ::unsetenv("XDG_DATA_HOME"); }
    } restoreXdg{oldXdg != nullptr, savedXdg};

    const fs::path demo = MakeIso("demo.iso", 60000);
    const fs::path own = MakeIso("own.iso", 90000);
    enum Where { Beside, Installed, User };
    struct Case {
        bool demo, own;   // beside the program
        int exitCode;
        fs::path burnt;
        std::vector<std::pair<Where, std::string>> elsewhere = {};   // images in the other places
        std::string found = "beside the program";
        fs::path chosen = {};                                         // the image command's path
    };
    const std::string kDemo = "KeelvaneDemo.iso", kOwn = "Keelvane.iso";
    int n = 0;
    for (const Case& c : {Case{false, false, kImage, {}}, Case{true, false, kOk, demo}, Case{true, true, kOk, own},
                          Case{false, true, kOk, own},
                          Case{false, false, kOk, demo, {{Installed, kDemo}}, "in the installed data folder",
                               places[Installed] / kDemo},
                          Case{false, false, kOk, demo, {{Installed, kDemo}, {User, kOwn}},
                               "in the installed data folder", places[Installed] / kDemo},
                          Case{false, false, kOk, own, {{User, kOwn}, {User, kDemo}}, "in the user's data folder",
                               places[User] / kOwn},
                          Case{true, false, kOk, demo, {{Installed, kOwn}}}}) {
        SCOPED_TRACE(n);
        for (const auto& place : places)
            for (const auto& name : {kDemo, kOwn}) fs::remove(place / name);
        if (c.demo) fs::copy_file(demo, bin / "KeelvaneDemo.iso");
        if (c.own) fs::copy_file(own, bin / "Keelvane.iso");
        for (const auto& [where, name] : c.elsewhere) fs::copy_file(name == kOwn ? own : demo, places[where] / name);
        const std::string cue = "beside" + std::to_string(n++) + ".cue";
        RunOptions options;
        options.workingDirectory = dir_.string();
        // Run from another folder: only the program's own folder counts.
        const RunResult r = RunProcess((bin / "keelvane-cli").string(),
                                       {"--virtual-drive", (dir_ / cue).string(), "burn", "--no-eject"}, options);
        ASSERT_EQ(r.exitCode, c.exitCode) << Describe(r);
        const RunResult named = RunProcess((bin / "keelvane-cli").string(), {"image"}, options);
        const RunResult json = RunProcess((bin / "keelvane-cli").string(), {"image", "--json"}, options);
        ExpectPythonAcceptsEveryLine(dir_, json.out);
        const auto result = ParseJsonLines(json.out);
        ASSERT_FALSE(result.empty()) << Describe(json);
        const JsonValue& last = result.back();
        if (c.exitCode == kOk) {
            EXPECT_EQ(ReadFile(TrackFile(cue)), ReadFile(c.burnt));
            const fs::path chosen = c.chosen.empty() ? bin / (c.own ? kOwn : kDemo) : c.chosen;
            EXPECT_EQ(named.exitCode, kOk) << Describe(named);
            EXPECT_EQ(Lines(named.out), (std::vector<std::string>{chosen.string(), "found " + c.found}));
            EXPECT_EQ(last["image"].string, chosen.string());
            EXPECT_TRUE(last["found"].boolean);
            EXPECT_EQ(last["place"].string, c.found);
        } else {
            EXPECT_TRUE(Contains(r.out, "Error creating CD.")) << r.out;
            EXPECT_TRUE(Contains(r.err, (bin / "KeelvaneDemo.iso").string())) << r.err;
            EXPECT_TRUE(Contains(r.err, "No rescue image found")) << r.err;
            EXPECT_EQ(named.exitCode, kImage) << Describe(named);
            EXPECT_TRUE(named.out.empty()) << named.out;
            for (const auto& place : places) EXPECT_TRUE(Contains(named.err, place.string() + "/")) << named.err;
            EXPECT_EQ(last["image"].string, (bin / kDemo).string());
            EXPECT_FALSE(last["found"].boolean);
        }
        ASSERT_EQ(last["searched"].array.size(), 3u) << json.out;
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(last["searched"].array[i].string, places[i].string() + "/");
    }
}

TEST_F(CliBlackBox, BurnAudioWritesEachWaveAsATrack) {
    REQUIRE_SOX();
    // CD audio of 0.3 s, and 0.2 s with a comment (a LIST chunk beside the samples).
    const fs::path first = MakeWave("first.wav", "44100", "2", "0.3");
    const fs::path second = MakeWave("side b.wav", "44100", "2", "0.2", {"--comment", "KeelVane test"});
    const std::string samples[] = {DataChunkOf(ReadFile(first)), DataChunkOf(ReadFile(second))};
    ASSERT_EQ(samples[0].size(), 52920u);
    const std::size_t blocks[] = {PaddedToBlocks(samples[0]).size() / 2352, PaddedToBlocks(samples[1]).size() / 2352};

    RunResult r = On("audio.cue", {"--json", "burn-audio", first.string(), second.string(), "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    ExpectPythonAcceptsEveryLine(dir_, r.out);
    const auto objects = ParseJsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    std::vector<std::string> statuses;
    double lastSector = -1, lastPercent = -1;
    for (std::size_t i = 0; i + 1 < objects.size(); ++i) {
        const JsonValue& e = objects[i];
        if (e["type"].string == "status") statuses.push_back(e["text"].string);
        if (e["type"].string != "progress") continue;
        EXPECT_EQ(e["phase"].string, "write");
        EXPECT_GT(e["sector"].number, lastSector);
        EXPECT_GE(e["percent"].number, lastPercent);
        lastSector = e["sector"].number;
        lastPercent = e["percent"].number;
    }
    // The plan's line first, then the audio burn's lines as they always were.
    const std::vector<std::string> expected = {
        "Disc : CD-R, blank, 359849 blocks free",
        "HardWare : Set Audio Write Mode OK", "Burning :first",
        "Finished Writing : Sync Cache",      "Finished Writing : Closing Track :1",
        "Burning :side b",                    "Finished Writing : Sync Cache",
        "Finished Writing : Closing Track :2", "Finished Writing : Closing Session",
    };
    EXPECT_EQ(statuses, expected);
    EXPECT_EQ(lastSector, static_cast<double>(blocks[0] + blocks[1] - 1));
    EXPECT_EQ(lastPercent, 100);
    const JsonValue& result = objects.back();
    EXPECT_EQ(result["command"].string, "burn-audio");
    EXPECT_TRUE(result["ok"].boolean);
    EXPECT_TRUE(result["tray_unlocked"].boolean);
    ASSERT_EQ(result["lines"].array.size(), 1u);
    EXPECT_EQ(result["lines"].array[0].string, "Audio Tracks Finished!");
    ASSERT_EQ(result["tracks"].array.size(), 2u);
    EXPECT_EQ(result["tracks"].array[1]["title"].string, "side b");
    EXPECT_EQ(result["tracks"].array[0]["format"].string, "PCM 44.100 kHz, 16 Bit, Stereo");

    // The disc's audio track files hold the data chunks byte for byte, padded to whole blocks.
    const auto files = TrackFiles("audio.cue");
    ASSERT_EQ(files.size(), 2u) << ReadFile(dir_ / "audio.cue");
    for (int t = 0; t < 2; ++t) EXPECT_TRUE(ReadFile(files[t]) == PaddedToBlocks(samples[t])) << t;

    r = On("audio.cue", {"toc"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    const auto toc = Lines(r.out);
    ASSERT_EQ(toc.size(), 4u) << r.out;
    for (int row = 1; row < 4; ++row) {
        EXPECT_TRUE(Contains(toc[row], "ssqfAudioTrack")) << toc[row];
        EXPECT_FALSE(Contains(toc[row], "ssqfDataTrack")) << toc[row];
    }
    char second_row[40];
    std::snprintf(second_row, sizeof second_row, "%-4d %-5d %-10zu ", 1, 2, blocks[0]);
    EXPECT_EQ(toc[2].rfind(second_row, 0), 0u) << toc[2];
    EXPECT_TRUE(Contains(toc[3], " 170   " + std::to_string(blocks[0] + blocks[1]))) << toc[3];
}

TEST_F(CliBlackBox, BurnAudioRefusesWhatWouldNotPlay) {
    REQUIRE_SOX();
    const fs::path good = MakeWave("good.wav", "44100", "2", "0.1");
    const fs::path mono = MakeWave("mono.wav", "22050", "1", "0.2");
    const fs::path text = MakeFile("notes.wav", 3000);
    struct Case {
        std::string drive;
        std::vector<std::string> files;
        const char* stderrText;
    };
    const std::vector<Case> cases = {
        {"r1.cue", {good.string(), mono.string()}, "mono.wav is PCM 22.050 kHz, 16 Bit, Mono, not CD audio"},
        {"r2.cue", {good.string(), (dir_ / "missing.wav").string()}, "cannot read the wave file"},
        {"r3.cue", {text.string(), "--force"}, "is not a wave file with samples (notes (Invalid Content))"},
        {"r4.cue,capacity=5", {good.string()}, "Error : Audio larger than disc (8 blocks needed, 5 free)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.drive);
        std::vector<std::string> args = {"burn-audio", "--no-eject"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        const RunResult r = On(c.drive, args);
        EXPECT_EQ(r.exitCode, kImage) << Describe(r);
        EXPECT_TRUE(Contains(r.err + r.out, c.stderrText)) << Describe(r);
        EXPECT_FALSE(Contains(r.out, "Audio Tracks Finished!"));
        const std::string cue = c.drive.substr(0, c.drive.find(','));
        EXPECT_FALSE(Contains(ReadFile(dir_ / cue), "TRACK")) << "nothing was written";
    }

    // --force burns the bytes as they are.
    const RunResult r = On("forced.cue", {"burn-audio", "--force", mono.string(), "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Warning : " + mono.string() + " is PCM 22.050 kHz, 16 Bit, Mono")) << r.out;
    EXPECT_TRUE(Contains(r.out, "Audio Tracks Finished!")) << r.out;
    const auto files = TrackFiles("forced.cue");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(ReadFile(files[0]) == PaddedToBlocks(DataChunkOf(ReadFile(mono))));
}

TEST_F(CliBlackBox, BurnAudioFailuresAndCtrlC) {
    REQUIRE_SOX();
    const fs::path wave = MakeWave("long.wav", "44100", "2", "10");
    // A write error ends the job with its line and code; nothing says it finished.
    RunResult r = On("bad.cue,fail-write-at=30", {"burn-audio", wave.string(), "--no-eject"});
    EXPECT_EQ(r.exitCode, kWrite) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Error : Write Error at sector 30 : Err_SenseMediumError")) << r.out;
    EXPECT_FALSE(Contains(r.out, "Audio Tracks Finished!"));

    r = On("none.cue,media=none", {"burn-audio", wave.string()});
    EXPECT_EQ(r.exitCode, kFailed) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Error : Drive Not Ready : Err_SenseNotReady")) << r.out;

    // 750 blocks at 4x take some seconds: long enough to interrupt.
    RunOptions options;
    options.interruptMarker = "\"type\":\"progress\"";
    options.interruptAfterLines = 3;
    r = On("slow.cue,speed=4", {"--json", "burn-audio", wave.string(), "--no-eject"}, options);
    ASSERT_EQ(r.exitCode, kInterrupted) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Cancelled : Writing stopped at sector")) << r.out;
    const auto objects = ParseJsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back()["exit_code"].number, kInterrupted);
    EXPECT_LT(objects.back()["sectors_sent"].number, 750);
    EXPECT_TRUE(objects.back()["tray_unlocked"].boolean);
    const RunResult eject = On("slow.cue", {"eject"});
    EXPECT_EQ(eject.exitCode, kOk) << Describe(eject);
}

TEST_F(CliBlackBox, TheAspiLibraryIsLoadedAtStartAndReleasedAtEnd) {
    // The child inherits the library path and the probe's file.
    const fs::path probe = dir_ / "aspi-probe.txt";
    const char* oldPath = std::getenv("LD_LIBRARY_PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("LD_LIBRARY_PATH", (std::string(KV_ASPI_PROBE_DIR) + (saved.empty() ? "" : ":" + saved)).c_str(), 1);
    setenv("KV_ASPI_PROBE", probe.c_str(), 1);
    const RunResult drives = On("aspi.cue", {"drives"});
    const std::string afterDrives = ReadFile(probe);
    const RunResult usage = Cli({"frobnicate"});
    if (oldPath) setenv("LD_LIBRARY_PATH", saved.c_str(), 1);
    else unsetenv("LD_LIBRARY_PATH");
    unsetenv("KV_ASPI_PROBE");

    EXPECT_EQ(drives.exitCode, kOk) << Describe(drives);
    EXPECT_EQ(afterDrives, "load\nrelease\n") << "once per run";
    EXPECT_EQ(usage.exitCode, kUsage) << Describe(usage);
    EXPECT_EQ(ReadFile(probe), "load\nrelease\nload\nrelease\n") << "also on a usage error";
}

TEST_F(CliBlackBox, TraceShowsEveryCommandWithItsSense) {
    const RunResult r = On("trace.cue", {"--trace", "toc"});
    EXPECT_EQ(r.exitCode, kFailed) << Describe(r);
    // READ TOC on a blank disc: the CDB, the direction and length, and the sense of the refusal.
    EXPECT_TRUE(HasTraceLine(r.err, "43", "  CHECK CONDITION  sense 5/")) << r.err;
    EXPECT_TRUE(HasTraceLine(r.err, "12 00 00 00", "  GOOD")) << r.err;
    EXPECT_FALSE(Contains(r.out, "trace")) << "trace lines go to standard error only";

    const RunResult quiet = On("trace.cue", {"toc"});
    EXPECT_FALSE(Contains(quiet.err, "trace ")) << quiet.err;
}

// --trace ends with what the run cost: the commands sent per kind and the device opens. A
// burn holds its drive open from the wait for the disc to the end.
TEST_F(CliBlackBox, TraceEndsWithTheCommandsPerKindAndTheOpens) {
    const fs::path iso = MakeIso("cost", 600 * 1024);
    const auto blocks = static_cast<long>(fs::file_size(iso) / 2048);
    const RunResult r = On("cost.cue", {"--trace", "burn", iso.string(), "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    std::map<std::string, long> perKind;
    long total = -1, opens = -1;
    for (const auto& line : Lines(r.err)) {
        if (line.rfind("trace summary: ", 0) != 0) continue;
        const std::string rest = line.substr(15);
        // Into temporaries: sscanf stores the first number of a per-kind line ("5c ...") too.
        long commands = 0, devices = 0;
        if (std::sscanf(rest.c_str(), "%ld commands, %ld device open", &commands, &devices) == 2) {
            total = commands;
            opens = devices;
            continue;
        }
        perKind[rest.substr(0, 2)] = std::stol(rest.substr(rest.find_last_of(' ') + 1));
    }
    ASSERT_GT(total, 0) << r.err;
    EXPECT_EQ(perKind["2a"], blocks) << r.err;
    EXPECT_EQ(perKind["5c"], blocks + 1) << r.err;
    EXPECT_EQ(perKind["12"], 2) << "the writer list's scan and the drive table's, once each";
    long sum = 0;
    for (const auto& [kind, n] : perKind) sum += n;
    EXPECT_EQ(sum, total);
    // The list's open at start, the job's one open (the verify and the eject nest in it), and
    // the tray release when the writer list is freed.
    EXPECT_EQ(opens, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "2a WRITE(10)")) << r.err;
    EXPECT_FALSE(Contains(r.err, " opcode 0x")) << "a command the burn sends is not named\n" << r.err;
}

constexpr int kVerifyFailed = 8, kDiscInUse = 10;

TEST_F(CliBlackBox, TheDiscTouchesNoFileButItsOwn) {
    REQUIRE_XORRISO();
    const std::string precious = "precious\n";
    const fs::path victim = dir_ / "victim.txt";
    std::ofstream(victim) << precious;
    fs::create_directories(dir_ / "d");
    fs::create_symlink(victim, dir_ / "d" / "out.iso");
    const fs::path image = MakeIso("rescue-01.iso", 60000);   // named like the next track of rescue.cue
    const std::string imageBytes = ReadFile(image);

    // Sheets naming files outside their folder: refused at attach, whatever the command.
    const std::string header =
        "REM KEELVANE-VIRTUAL-DISC 1\nREM MEDIA cd-rw\nREM CAPACITY 1000\nREM CLOSED-SESSIONS 0\nREM FINALIZED NO\n";
    auto sheet = [&](const std::string& file) {
        return header + "FILE \"" + file + "\" BINARY\n  TRACK 01 MODE1/2048\n    REM SESSION 1\n    REM START 0\n"
                        "    REM STATE OPEN\n    INDEX 01 00:00:00\n";
    };
    struct Refused {
        std::string cue, text, why;
    };
    const std::vector<Refused> refused = {
        {"d/up.cue", sheet("../victim.txt"), "line 6: the track file ../victim.txt contains a path separator"},
        {"d/abs.cue", sheet(victim.string()), "line 6: the track file " + victim.string() + " is an absolute path"},
        {"d/link.cue", sheet("out.iso"), "line 6: the track file out.iso is a link to a file outside"},
        // Files that are no disc's sheet at all: a burn once replaced them with a new disc.
        {"d/notes.txt", "REM call the plumber\nREM buy discs\n",
         ": not a virtual disc's sheet (no REM KEELVANE-VIRTUAL-DISC line and no tracks); it is left as it is"},
        {"d/empty.cue", "", ": not a virtual disc's sheet"},
    };
    for (const auto& c : refused) {
        std::ofstream(dir_ / c.cue) << c.text;
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"burn", image.string(), "--no-eject"}, {"blank"}, {"toc"}}) {
            SCOPED_TRACE(c.cue + " " + command[0]);
            const RunResult r = On(c.cue, command);
            EXPECT_EQ(r.exitCode, kNoWriter) << Describe(r);
            EXPECT_TRUE(Contains(r.err, (dir_ / c.cue).string() + (c.why[0] == ':' ? "" : " line"))) << r.err;
            EXPECT_TRUE(Contains(r.err, c.why)) << r.err;
            EXPECT_EQ(ReadFile(victim), precious);
            EXPECT_EQ(ReadFile(dir_ / c.cue), c.text);
        }
    }

    // Sheets whose next track name is taken by a file that is not the disc's: the image being
    // burnt, and a link to the victim. The track takes another name; nothing else is touched.
    fs::create_symlink(victim, dir_ / "d" / "next-01.iso");
    for (const std::string cue : {"rescue.cue", "d/next.cue"}) {
        SCOPED_TRACE(cue);
        RunResult r = On(cue + ",media=cd-rw", {"burn", image.string(), "--no-eject"});
        EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        const fs::path track = (dir_ / cue).parent_path() / TrackFile(cue).filename();
        EXPECT_EQ(track.filename().string(), cue == "rescue.cue" ? "rescue-01-2.iso" : "next-01-2.iso");
        EXPECT_TRUE(ReadFile(track) == imageBytes) << track;
        r = On(cue, {"toc"});
        EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        r = On(cue, {"blank"});
        EXPECT_EQ(r.exitCode, kOk) << Describe(r);
        EXPECT_FALSE(fs::exists(track));
        EXPECT_TRUE(ReadFile(image) == imageBytes) << "the image was changed";
        EXPECT_EQ(ReadFile(victim), precious);
    }
    EXPECT_TRUE(fs::is_symlink(dir_ / "d" / "next-01.iso"));

    // A sheet reached through a link is burnt where it lies; the link stays a link.
    fs::create_directories(dir_ / "discs");
    ASSERT_EQ(On("discs/real.cue,media=cd-r", {"disc-info"}).exitCode, kOk);
    fs::create_symlink(dir_ / "discs" / "real.cue", dir_ / "linked.cue");
    RunResult r = On("linked.cue", {"burn", image.string(), "--no-eject"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
    EXPECT_TRUE(fs::is_symlink(dir_ / "linked.cue"));
    EXPECT_TRUE(ReadFile(dir_ / "discs" / "real-01.iso") == imageBytes);
    EXPECT_FALSE(fs::exists(dir_ / "linked-01.iso"));
    r = On("linked.cue", {"toc"});
    EXPECT_EQ(r.exitCode, kOk) << Describe(r);
}

// Who holds the lock of a disc: its pid, or 0 when nobody.
pid_t DiscHolder(const fs::path& cue) {
    const int fd = open((cue.string() + ".lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct flock who {};
    who.l_type = F_WRLCK;
    who.l_whence = SEEK_SET;
    const bool asked = fcntl(fd, F_GETLK, &who) == 0;
    close(fd);
    return asked && who.l_type != F_UNLCK ? who.l_pid : 0;
}
// The holder once somebody takes the disc, waiting up to ten seconds; 0 if nobody did.
pid_t AwaitDiscHolder(const fs::path& cue) {
    pid_t holder = 0;
    for (int i = 0; i < 1000 && (holder = DiscHolder(cue)) == 0; ++i) usleep(10 * 1000);
    return holder;
}

TEST_F(CliBlackBox, OneProgramAtATimeOwnsADisc) {
    const fs::path cue = dir_ / "shared.cue";
    // The first program holds the disc for a while: a blank the drive takes its time over.
    for (int others : {1, 2}) {
        SCOPED_TRACE(others);
        RunResult first;
        std::thread owner([&] { first = On("shared.cue,media=cd-rw,busy-ms=1200", {"blank"}); });
        const pid_t holder = AwaitDiscHolder(cue);
        ASSERT_NE(holder, 0) << "the first program never took the disc";
        std::vector<RunResult> later(static_cast<std::size_t>(others));
        std::vector<std::thread> threads;
        for (auto& r : later) threads.emplace_back([&] { r = On("shared.cue", {"toc"}); });
        for (auto& t : threads) t.join();
        owner.join();
        EXPECT_EQ(first.exitCode, kOk) << Describe(first);
        EXPECT_TRUE(Contains(first.out, "Blanking Finished!")) << first.out;
        for (const auto& r : later) {
            EXPECT_EQ(r.exitCode, kDiscInUse) << Describe(r);
            EXPECT_TRUE(Contains(r.err, "the disc " + cue.string() + " is in use by another program (pid " +
                                             std::to_string(holder) + ")"))
                << r.err;
        }
        // Once the first is done, the disc is free again.
        const RunResult after = On("shared.cue", {"buffer"});
        EXPECT_EQ(after.exitCode, kOk) << Describe(after);
    }

    // A query holds the disc beside other queries: a second query reads it meanwhile, a job
    // that would change it is refused. (disc-info waits for a drive that is not ready yet.)
    RunResult query;
    std::thread reader([&] { query = On("shared.cue,not-ready=40", {"disc-info"}); });
    const pid_t holder = AwaitDiscHolder(cue);
    ASSERT_NE(holder, 0) << "the query never took the disc";
    const RunResult second = On("shared.cue", {"disc-info"});
    const RunResult job = On("shared.cue", {"blank"});
    reader.join();
    EXPECT_EQ(query.exitCode, kOk) << Describe(query);
    EXPECT_EQ(second.exitCode, kOk) << Describe(second);
    EXPECT_EQ(job.exitCode, kDiscInUse) << Describe(job);
    EXPECT_TRUE(Contains(job.err, "is in use by another program (pid " + std::to_string(holder) + ")")) << job.err;
}

// A disc in a folder the user cannot write is still read; a job that would change it is refused
// with the reason. Root writes any folder, so this runs for other users only (the disc's own
// tests present such a folder through the lock's test switch).
TEST_F(CliBlackBox, ADiscInAFolderThatCannotBeWrittenIsStillRead) {
    if (geteuid() == 0) GTEST_SKIP() << "root can write every folder";
    fs::create_directories(dir_ / "ro");
    const fs::path iso = MakeIso("ro-image.iso", 50000);
    ASSERT_EQ(On("ro/disc.cue,media=cd-r", {"burn", iso.string(), "--no-eject"}).exitCode, kOk);
    fs::remove(dir_ / "ro" / "disc.cue.lock");
    fs::permissions(dir_ / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    const RunResult toc = On("ro/disc.cue", {"toc"});
    const RunResult info = On("ro/disc.cue", {"disc-info"});
    const RunResult blank = On("ro/disc.cue", {"burn", iso.string(), "--no-eject"});
    fs::permissions(dir_ / "ro", fs::perms::owner_all);
    EXPECT_EQ(toc.exitCode, kOk) << Describe(toc);
    EXPECT_EQ(info.exitCode, kOk) << Describe(info);
    EXPECT_TRUE(Contains(info.out, "closed")) << info.out;
    EXPECT_EQ(blank.exitCode, kNoWriter) << Describe(blank);
    EXPECT_TRUE(Contains(blank.err, "Permission denied")) << blank.err;
    EXPECT_FALSE(fs::exists(dir_ / "ro" / "disc.cue.lock"));
}

TEST_F(CliBlackBox, InputsThatCannotHangOrLie) {
    // A FIFO as a wave or an image is refused at once, not waited on.
    const fs::path fifo = dir_ / "song.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    RunOptions quick;
    quick.timeout = std::chrono::seconds(20);
    RunResult r = On("a.cue", {"burn-audio", fifo.string(), "--no-eject"}, quick);
    EXPECT_EQ(r.exitCode, kImage) << Describe(r);
    EXPECT_TRUE(Contains(r.err, "not a regular file")) << r.err;
    r = On("a.cue", {"burn", fifo.string(), "--no-eject"}, quick);
    EXPECT_EQ(r.exitCode, kImage) << Describe(r);

    // An image truncated while it is burnt: the burn says so at its end and fails, instead of
    // the verify comparing the sectors that are left and calling the disc good.
    // Small enough to sit whole in the read-ahead, so the burn itself has all of it.
    const fs::path image = MakeFile("moving.iso", 900 * 2048);
    std::thread truncater([&] {
        for (int i = 0; i < 2000 && !Contains(ReadFile(dir_ / "slow.cue"), "STATE OPEN"); ++i) usleep(5 * 1000);
        fs::resize_file(image, 100 * 2048);
    });
    r = On("slow.cue,speed=52", {"burn", image.string(), "--no-eject", "--force"});
    truncater.join();
    EXPECT_EQ(r.exitCode, kVerifyFailed) << Describe(r);
    EXPECT_TRUE(Contains(r.out, "Error : the image changed while it was burnt : its size changed")) << r.out;
    EXPECT_TRUE(Contains(r.err, "the image changed while it was burnt: the image " + image.string() +
                                    " is no longer as it was checked (its size changed)"))
        << r.err;
    EXPECT_FALSE(Contains(r.out, "Verify :")) << r.out;
    EXPECT_FALSE(Contains(r.out, "sectors equal the image")) << r.out;
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!")) << r.out;
}

}  // namespace
