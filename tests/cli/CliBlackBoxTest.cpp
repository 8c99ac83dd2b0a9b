// keelvane-cli from the outside: the built program run against virtual writers in temporary
// folders, its output and exit code checked for every command, on good and bad drives.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "MiniJson.h"
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
              kInterrupted = 130;

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
    void SetUp() override {
        char pattern[] = "/tmp/kv-cli-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

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

    // A real ISO 9660 image made by xorriso, of roughly `payload` bytes of random data.
    fs::path MakeIso(const std::string& name, std::size_t payload) {
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
        const RunResult r = RunProcess("/usr/bin/xorriso", {"-as", "mkisofs", "-quiet", "-V", "KVTEST", "-o",
                                                            iso.string(), tree.string()}, options);
        if (r.exitCode != 0) ADD_FAILURE() << "xorriso: " << Describe(r);
        return iso;
    }
    fs::path MakeFile(const std::string& name, std::size_t bytes) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << std::string(bytes, 'k');
        return path;
    }
    // The data file the CUE sheet's first FILE line names.
    fs::path TrackFile(const std::string& cue) {
        for (const auto& line : Lines(ReadFile(dir_ / cue))) {
            if (line.rfind("FILE \"", 0) != 0) continue;
            const auto end = line.find('"', 6);
            if (end != std::string::npos) return dir_ / line.substr(6, end - 6);
        }
        return {};
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

    fs::path dir_;
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

#define REQUIRE_SOX() \
    if (!HaveSox()) GTEST_SKIP() << "sox is not installed"

bool HaveXorriso() { return access("/usr/bin/xorriso", X_OK) == 0; }

#define REQUIRE_XORRISO() \
    if (!HaveXorriso()) GTEST_SKIP() << "xorriso is not installed"

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
    ASSERT_EQ(speeds.size(), 6u) << r.out;
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
    const fs::path iso = MakeIso("rw.iso", 100000);
    struct Case {
        const char* drive;
        int exitCode;
        const char* output;
    };
    for (const Case& c : {Case{"r.cue,media=cd-r", kFailed, "Err_SenseIllegalRequest"},
                          Case{"rw.cue,media=cd-rw", kOk, "Blanking Finished!"}}) {
        SCOPED_TRACE(c.drive);
        const std::string cue = std::string(c.drive).substr(0, std::string(c.drive).find(','));
        RunResult r = On(c.drive, {"burn", iso.string(), "--no-eject"});
        ASSERT_EQ(r.exitCode, kOk) << Describe(r);
        r = On(cue, {"blank"});
        EXPECT_EQ(r.exitCode, c.exitCode) << Describe(r);
        EXPECT_TRUE(Contains(r.out, c.output)) << r.out;
        const RunResult toc = On(cue, {"toc"});
        if (c.exitCode == kOk) {
            EXPECT_FALSE(Contains(toc.out, "[ssqfADRposition, ssqfDataTrack]")) << "blanked disc has no track";
        } else {
            EXPECT_EQ(toc.exitCode, kOk);
            EXPECT_TRUE(Contains(toc.out, "0    1     0")) << "the CD-R keeps its track\n" << toc.out;
            EXPECT_FALSE(Contains(r.out, "Blanking Finished!"));
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
        {{"blank"}, kFailed, "Err_SenseNotReady", ""},
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
    MakeFile("big.iso", 2048 * 300);
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

TEST_F(CliBlackBox, WriteParametersRefusedOnADvdRom) {
    REQUIRE_XORRISO();
    const fs::path iso = MakeIso("dvd.iso", 50000);
    const RunResult r = On("rom.cue,media=dvd-rom", {"burn", iso.string(), "--no-eject"});
    // A pressed disc takes no data: either the parameters or the first write are refused.
    EXPECT_TRUE(r.exitCode == kWriteParameters || r.exitCode == kWrite) << Describe(r);
    EXPECT_FALSE(Contains(r.out, "CD Creation Complete!"));
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

    RunResult r = On("json.cue", {"--json", "burn", iso.string(), "--no-eject"});
    ASSERT_EQ(r.exitCode, kOk) << Describe(r);
    ExpectPythonAcceptsEveryLine(dir_, r.out);
    auto objects = ParseJsonLines(r.out);
    ASSERT_GE(objects.size(), 3u);
    const JsonValue& result = objects.back();
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

TEST_F(CliBlackBox, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},         {"fly"},          {"toc", "x"},           {"burn", "a", "b"},     {"write-mode"},
        {"--drive"}, {"toc", "--no-eject"}, {"--frobnicate", "toc"}, {"write-mode", "mp3"},
        {"burn-audio"}, {"burn", "--force"}, {"burn-audio", "a.wav", "--no-verify"},
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
    // A copy of the program in a folder of its own, with the images beside it.
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    fs::copy_file(kCli, bin / "keelvane-cli");
    const fs::path demo = MakeIso("demo.iso", 60000);
    const fs::path own = MakeIso("own.iso", 90000);
    struct Case {
        bool demo, own;
        int exitCode;
        fs::path burnt;
    };
    int n = 0;
    for (const Case& c : {Case{false, false, kImage, {}}, Case{true, false, kOk, demo}, Case{true, true, kOk, own},
                          Case{false, true, kOk, own}}) {
        SCOPED_TRACE(n);
        fs::remove(bin / "KeelvaneDemo.iso");
        fs::remove(bin / "Keelvane.iso");
        if (c.demo) fs::copy_file(demo, bin / "KeelvaneDemo.iso");
        if (c.own) fs::copy_file(own, bin / "Keelvane.iso");
        const std::string cue = "beside" + std::to_string(n++) + ".cue";
        RunOptions options;
        options.workingDirectory = dir_.string();
        // Run from another folder: only the program's own folder counts.
        const RunResult r = RunProcess((bin / "keelvane-cli").string(),
                                       {"--virtual-drive", (dir_ / cue).string(), "burn", "--no-eject"}, options);
        ASSERT_EQ(r.exitCode, c.exitCode) << Describe(r);
        if (c.exitCode == kOk) {
            EXPECT_EQ(ReadFile(TrackFile(cue)), ReadFile(c.burnt));
        } else {
            EXPECT_TRUE(Contains(r.out, "Error creating CD.")) << r.out;
            EXPECT_TRUE(Contains(r.err, (bin / "KeelvaneDemo.iso").string())) << r.err;
        }
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
    const std::vector<std::string> expected = {
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
        if (std::sscanf(rest.c_str(), "%ld commands, %ld device open", &total, &opens) == 2) continue;
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
}

}  // namespace
