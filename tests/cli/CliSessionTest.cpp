// keelvane-cli's commands in-process, where the platform layer can be pointed at a kernel
// device the user may not open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "../audio/WaveTestSupport.h"
#include "cli/Commands.h"
#include "support/ScriptedDevice.h"
#include "burner/BurnJob.h"
#include "burner/ImageCheck.h"
#include "cli/ExitCodes.h"
#include "cli/JobWording.h"
#include "platform/VirtualDevice.h"
#include "vdrive/VirtualWriter.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

// Denying a kernel device by its permissions is Linux's (a forked child that drops root): the
// helper and its test are not built on Windows.
#ifndef _WIN32
struct ChildResult {
    int exitCode = -1;
    std::string out, err;
};

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

// Runs `command` in a child process that cannot open `device` (it drops root first), with
// `device` standing in as the machine's only optical drive.
ChildResult RunWithoutAccess(const std::string& device, Command command, std::vector<std::string> virtualDrives = {}) {
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(60);   // bounded whatever happens
        close(outPipe[0]);
        close(errPipe[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        win::SetKernelDevicePathsForTesting({device});
        FILE* out = fdopen(outPipe[1], "w");
        FILE* err = fdopen(errPipe[1], "w");
        int rc;
        {
            Output output(Output::Mode::Plain, out, err);
            Options options;
            options.command = command;
            options.virtualDrives = virtualDrives;
            rc = Run(options, output);
        }
        std::fclose(out);
        std::fclose(err);
        _exit(rc);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    ChildResult result;
    result.out = Drain(outPipe[0]);
    result.err = Drain(errPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
#endif


// A virtual writer behind a drive that fails one command or misreads one sector: the faults
// the virtual writer's own options do not offer.
class FaultyDrive final : public win::VirtualScsiDevice {
public:
    explicit FaultyDrive(std::shared_ptr<vdrive::VirtualWriter> inner) : inner_(std::move(inner)) {}

    std::optional<std::uint8_t> failOpcode;        // answered with MEDIUM ERROR 03/0C/00
    std::optional<std::uint32_t> corruptSector;    // READ(10) returns it with one byte flipped
    std::size_t commands = 0;                      // received, the scans' INQUIRYs aside
    std::vector<std::uint8_t> opcodes;             // the same, in order
    std::function<void(std::uint8_t opcode)> beforeCommand;   // a test's hand in the job

    bool Execute(win::ScsiRequest& r) override {
        commands += r.cdb[0] != 0x12;
        if (r.cdb[0] != 0x12) opcodes.push_back(r.cdb[0]);
        if (beforeCommand) beforeCommand(r.cdb[0]);
        if (failOpcode && r.cdb[0] == *failOpcode) {
            return kvtest::CheckCondition(r, 0x03, 0x0c);
        }
        const bool ok = inner_->Execute(r);
        if (corruptSector && r.cdb[0] == 0x28 && r.status == 0) {
            const std::uint32_t lba = (std::uint32_t(r.cdb[2]) << 24) | (std::uint32_t(r.cdb[3]) << 16) |
                                      (std::uint32_t(r.cdb[4]) << 8) | r.cdb[5];
            const std::uint32_t count = (std::uint32_t(r.cdb[7]) << 8) | r.cdb[8];
            if (*corruptSector >= lba && *corruptSector < lba + count && r.data)
                r.data[(*corruptSector - lba) * 2048 + 100] ^= 0xFF;
        }
        return ok;
    }
    std::string DevicePath() const override { return inner_->DevicePath(); }

private:
    std::shared_ptr<vdrive::VirtualWriter> inner_;
};

std::string Sha256Hex(const std::string& bytes) {
    TDigest digest(TDigestKind::Sha256);
    digest.Update(bytes.data(), bytes.size());
    return digest.FinalHex();
}

struct SessionResult {
    int exitCode = -1;
    std::string out;
};

std::string ReadAll(std::FILE* f) {
    std::string text;
    std::rewind(f);
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
}

class FaultyBurn : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kv-cli-fault.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        image_ = (dir_ / "image.iso").string();
        std::string data(64 * 2048, '\0');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 2048);
        // A primary volume descriptor at sector 16, so the image checks let it through.
        data.replace(16 * 2048, 7, "\x01" "CD001" "\x01");
        std::ofstream(image_, std::ios::binary) << data;
        vdrive::VirtualDriveOptions options;
        options.path = (dir_ / "disc.cue").string();
        std::string error;
        auto writer = vdrive::VirtualWriter::Open(options, error);
        ASSERT_TRUE(writer) << error;
        drive_ = std::make_shared<FaultyDrive>(writer);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    SessionResult Burn(const std::string& sha256 = "", Output::Mode mode = Output::Mode::Plain) {
        Options options;
        options.command = Command::Burn;
        options.image = image_;
        options.sha256 = sha256;
        options.noEject = true;
        return Run(options, mode);
    }
    // The command on the faulty drive as D:, or on the virtual drives the options give.
    SessionResult Run(const Options& options, Output::Mode mode = Output::Mode::Plain) {
        win::ResetKernelDevicePathsForTesting();
        win::SetKernelDevicePathsForTesting({});
        if (options.virtualDrives.empty()) win::AttachVirtualDevice(drive_);
        // Another program holding the drive exclusively for the run.
        const win::HANDLE elsewhere = heldElsewhere_ ? win::CreateFileA("\\\\.\\D:", win::GENERIC_READ, 0, nullptr,
                                                                       win::OPEN_EXISTING, 0, nullptr)
                                                     : win::INVALID_HANDLE_VALUE;
        SessionResult result;
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        {
            Output output(mode, out, err);
            result.exitCode = cli::Run(options, output);
        }
        if (elsewhere != win::INVALID_HANDLE_VALUE) win::CloseHandle(elsewhere);
        if (options.virtualDrives.empty()) win::DetachVirtualDevice(drive_);
        win::ResetKernelDevicePathsForTesting();
        result.out = ReadAll(out) + ReadAll(err);
        return result;
    }

    fs::path dir_;
    std::string image_;
    std::shared_ptr<FaultyDrive> drive_;
    bool heldElsewhere_ = false;
};

TEST_F(FaultyBurn, ADriveInUseByAnotherProgramIsRefusedBeforeAnythingIsSent) {
    heldElsewhere_ = true;
    const SessionResult r = Burn();
    EXPECT_EQ(r.exitCode, kExitInUse) << r.out;
    EXPECT_NE(r.out.find("D: is in use by another program"), std::string::npos) << r.out;
    EXPECT_EQ(drive_->commands, 0u) << "nothing but the scan reached the drive";

    heldElsewhere_ = false;
    EXPECT_EQ(Burn().exitCode, kExitOk);
}

TEST_F(FaultyBurn, EachFailedStepHasItsExitCode) {
    struct Case {
        std::uint8_t opcode;
        int exitCode;
        const char* line;    // the writer's status line
        const char* error;   // the program's own error line
    };
    for (const Case& c :
         {Case{0x55, kExitWriteParameters, "HardWare : Set Write Mode Error",
               "the burn failed: Error : Set Write Mode Error : Err_SenseMediumError"},
          Case{0x2A, kExitWrite, "Error : Write Error at sector 0 : Err_SenseMediumError",
               "the burn failed: Error : Write Error at sector 0 : Err_SenseMediumError"},
          Case{0x35, kExitClosing, "Error : Sync Cache Error : Err_SenseMediumError",
               "the burn failed: Error : Sync Cache Error : Err_SenseMediumError"},
          Case{0x5B, kExitClosing, "Error : Close Track Error : Err_SenseMediumError",
               "the burn failed: Error : Close Track Error : Err_SenseMediumError"},
          Case{0x28, kExitVerify, "Verify : Read Error at sector 0 : Err_SenseMediumError",
               "the burnt track does not read back equal to the image"},
          // No command fails: sector 37 reads back with a byte changed.
          Case{0, kExitVerify, "Verify : Sector 37 differs from the image",
               "the burnt track does not read back equal to the image"}}) {
        SCOPED_TRACE(c.line);
        TearDown();
        SetUp();
        if (c.opcode) drive_->failOpcode = c.opcode;
        else drive_->corruptSector = 37;
        const SessionResult r = Burn();
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_NE(r.out.find(c.error), std::string::npos) << r.out;
        // The status line itself, a line of its own.
        EXPECT_NE(("\n" + r.out).find("\n" + std::string(c.line) + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("CD Creation Complete!"), std::string::npos) << r.out;
    }
}

// A JSON run with the wording taken out: status texts emptied, waits and speeds (which depend
// on time) left out.
std::string WithoutWording(const std::string& json) {
    std::string kept;
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(R"("type":"wait")") != std::string::npos) continue;
        if (const std::size_t at = line.find(R"("text":")"); at != std::string::npos) {
            std::size_t end = at + 8;
            while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
            line.erase(at + 8, end - at - 8);
        }
        if (const std::size_t at = line.find(R"("speed_x":)"); at != std::string::npos)
            line.erase(at + 10, line.find_first_of(",}", at) - at - 10);
        kept += line + "\n";
    }
    return kept;
}

// Every status line worded otherwise, and the events (phase, sectors, buffers), the result's
// fields and the exit code stay: the program reads none of them from the wording.
TEST_F(FaultyBurn, RewordedStatusLinesChangeNoEventFieldOrExitCode) {
    // A CD-audio wave of a few blocks, in the folder of the run.
    const auto writeWave = [this] {
        wavetest::WriteFile(dir_ / "tone.wav", wavetest::CdWave(wavetest::Samples(5 * 2352)));
        return (dir_ / "tone.wav").string();
    };
    struct Case {
        const char* what;
        const char* media;    // the virtual drive's options; empty: the faulty drive
        Command command;
        int exitCode;
        bool usedDisc = false;   // burnt once before
        std::function<void(Options&)> more = nullptr;
    };
    const std::vector<Case> cases = {
        {"CD-R burn", "media=cd-r", Command::Burn, kExitOk},
        {"DVD+R burn", "media=dvd+r", Command::Burn, kExitOk},
        {"DVD+RW formatted first", "media=dvd+rw,unformatted", Command::Burn, kExitOk},
        {"CD-RW blanked first", "media=cd-rw", Command::Burn, kExitOk, true, [](Options& o) { o.blankAsNeeded = true; }},
        {"blank", "media=cd-rw", Command::Blank, kExitOk, true},
        {"blank without a disc", "media=none", Command::Blank, kExitDiscUnusable},
        {"simulated burn", "media=cd-r", Command::Burn, kExitOk, false, [](Options& o) { o.simulate = true; }},
        {"audio burn", "media=cd-r", Command::BurnAudio, kExitOk},
        {"failing write", "media=cd-r,fail-write-at=20", Command::Burn, kExitWrite},
        {"verify mismatch", "", Command::Burn, kExitVerify},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string seen[2];
        for (const bool reworded : {false, true}) {
            TearDown();
            SetUp();
            drive_->corruptSector = 37;
            Options options;
            if (*c.media) options.virtualDrives = {(dir_ / "v.cue").string() + "," + c.media};
            options.image = image_;
            if (c.usedDisc) {
                options.command = Command::Burn;
                options.noVerify = true;
                ASSERT_EQ(Run(options).exitCode, kExitOk);
                options.noVerify = false;
            }
            options.command = c.command;
            options.waveFiles = {writeWave()};
            if (c.more) c.more(options);
            if (reworded)
                SetStatusTextFilterForTesting(
                    [](const std::string& text) { return "Reworded <" + std::string(text.rbegin(), text.rend()) + ">"; });
            const SessionResult r = Run(options, Output::Mode::Json);
            SetStatusTextFilterForTesting(nullptr);
            EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
            EXPECT_EQ(r.out.find("Reworded <") != std::string::npos,
                      reworded && r.out.find(R"("type":"status")") != std::string::npos)
                << r.out;
            seen[reworded] = WithoutWording(r.out);
            // Each run has a folder of its own.
            for (auto at = seen[reworded].find(dir_.string()); at != std::string::npos; at = seen[reworded].find(dir_.string()))
                seen[reworded].replace(at, dir_.string().size(), "<dir>");
        }
        EXPECT_EQ(seen[0], seen[1]);
    }
}

// The image opened once by its check is the one burnt and verified: a change in place after
// the check fails the burn with the sums to compare, whether the file's size or time tells or
// only the sum of the bytes burnt does.
TEST_F(FaultyBurn, AnImageChangedAfterItsCheckIsNeverASuccess) {
    enum class Change { None, BytesKeepingTheTime, Size };
    struct Case {
        const char* what;
        std::uint8_t atOpcode;   // the command before which the image is changed
        Change change;
        int exitCode;
        std::vector<std::string> says;   // "<burnt>" and "<published>" stand for the sums
        bool written;
    };
    const std::vector<Case> cases = {
        {"unchanged", 0x2A, Change::None, kExitOk,
         {"Verify : the disc matches the published SHA-256", "\"read_back_sha256\":\"<published>\"",
          "\"checksum_burnt\":\"<published>\"", "\"checksum_disc\":\"the disc matches the published SHA-256\"",
          "\"image_changed\":false", "CD Creation Complete!"}, true},
        {"bytes during the burn", 0x2A, Change::BytesKeepingTheTime, kExitVerify,
         {"the image changed while it was burnt: the SHA-256 of the bytes burnt is <burnt>, the published one "
          "(--sha256) <published>; the disc holds the bytes read then and was not verified (read back, its "
          "SHA-256 is <burnt>)",
          "\"checksum_expected\":\"<published>\"", "\"checksum_burnt\":\"<burnt>\"", "\"burnt_sha256\":\"<burnt>\"",
          "\"read_back_sha256\":\"<burnt>\"",
          "\"image_changed\":true", "\"exit_code\":8"}, true},
        {"size during the burn", 0x2A, Change::Size, kExitVerify,
         {"the image changed while it was burnt: the image ", "is no longer as it was checked (its size changed)",
          "\"image_changed\":true"}, true},
        {"size during the verify", 0x28, Change::Size, kExitVerify,
         {"Verify : The image changed since the burn started; the disc was not compared with it",
          "\"image_changed\":true", "\"checksum_burnt\":\"<published>\""}, true},
        {"size before the burn", 0x51, Change::Size, kExitImage,
         {"the image changed after it was checked : its size changed; nothing was written"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        // Past the burn's first read-ahead of 1000 blocks, so a change is read after the burn began.
        std::string data(1100 * 2048, '\0');
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 2048);
        data.replace(16 * 2048, 7, "\x01" "CD001" "\x01");
        std::ofstream(image_, std::ios::binary) << data;
        const std::string published = Sha256Hex(data);
        std::string burnt = published;
        bool changed = false;
        drive_->beforeCommand = [&](std::uint8_t opcode) {
            if (opcode != c.atOpcode || changed || c.change == Change::None) return;
            changed = true;
            const auto time = fs::last_write_time(image_);
            std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
            if (c.change == Change::BytesKeepingTheTime) {
                f.seekp(2048 * 1050 + 9);
                f.put(static_cast<char>(data[2048 * 1050 + 9] ^ 0x5A));
                data[2048 * 1050 + 9] ^= 0x5A;
                burnt = Sha256Hex(data);
            } else {
                f.seekp(0, std::ios::end);
                f.put('+');
            }
            f.close();
            if (c.change == Change::BytesKeepingTheTime) fs::last_write_time(image_, time);
        };
        const SessionResult r = Burn(published, Output::Mode::Json);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        for (std::string text : c.says) {
            for (const auto& [key, value] : {std::pair<std::string, std::string>{"<burnt>", burnt}, {"<published>", published}})
                for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
                    text.replace(at, key.size(), value);
            EXPECT_NE(r.out.find(text), std::string::npos) << text << "\n" << r.out;
        }
        if (c.exitCode != kExitOk) {
            EXPECT_EQ(r.out.find("CD Creation Complete!"), std::string::npos) << r.out;
        }
        const bool wrote = std::find(drive_->opcodes.begin(), drive_->opcodes.end(), 0x2A) != drive_->opcodes.end();
        EXPECT_EQ(wrote, c.written);
    }
}

#ifndef _WIN32
// burn onto a stick: the image check and the hybrid check before anything is written, the
// question (no terminal here: only --yes answers it), the refusal of whatever is no stick, and
// the burn byte for byte with its read-back.
TEST_F(FaultyBurn, AStickIsWrittenOnlyWhenItIsOneAndTheUserSaidSo) {
    // A copy of the image with an MBR partition table, as a hybrid image has.
    const std::string hybrid = (dir_ / "hybrid.iso").string();
    {
        std::ifstream in(image_, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        data[446 + 4] = 0x17;                  // the first entry's type
        data[446 + 12] = 0x40;                 // and its length in sectors
        data[510] = '\x55';
        data[511] = '\xAA';
        std::ofstream(hybrid, std::ios::binary) << data;
    }
    struct Case {
        const char* name;
        std::string image;
        std::string stickSpec;   // after the stick's path
        std::string drive;       // --drive PATH; empty: the virtual stick by default
        bool yes, allowNonHybrid;
        int exitCode;
        const char* says;
        bool written;
    };
    const std::vector<Case> cases = {
        {"hybrid, confirmed", hybrid, ",size=1M", "", true, false, kExitOk, "USB Stick Creation Complete!", true},
        {"not confirmed, no terminal", hybrid, ",size=1M", "", false, false, kExitUsage, "there is no terminal to ask", false},
        {"no partition table", image_, ",size=1M", "", true, false, kExitImage, "it will not boot from a USB stick", false},
        {"no partition table, allowed", image_, ",size=1M", "", true, true, kExitOk, "USB Stick Creation Complete!", true},
        {"larger than the stick", hybrid, ",size=64K", "", true, false, kExitImage, "larger", false},
        {"not a disk", hybrid, ",size=1M", "/dev/null", true, false, kExitNoWriter, "cannot burn onto /dev/null: ", false},
        {"a plain file", hybrid, ",size=1M", image_, true, false, kExitNoWriter, "cannot burn onto ", false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string stick = (dir_ / ("stick" + std::to_string(n++) + ".img")).string();
        Options options;
        options.command = Command::Burn;
        options.image = c.image;
        options.virtualSticks = {stick + c.stickSpec};
        if (!c.drive.empty()) {
            options.drive.kind = DriveSelector::Kind::Path;
            options.drive.path = c.drive;
        }
        options.yes = c.yes;
        options.allowNonHybrid = c.allowNonHybrid;
        const SessionResult r = Run(options);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        std::ifstream in(stick, std::ios::binary);
        const std::string onStick((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ifstream img(c.image, std::ios::binary);
        const std::string image((std::istreambuf_iterator<char>(img)), std::istreambuf_iterator<char>());
        EXPECT_EQ(onStick.compare(0, image.size(), image) == 0, c.written);
        if (c.written) EXPECT_NE(r.out.find("The USB stick was read back: it equals the image."), std::string::npos);
        else EXPECT_EQ(onStick.find_first_not_of('\0'), std::string::npos) << "something was written";
    }
}

TEST(CliSession, ADriveWithoutPermissionIsNamedWithAdvice) {
    char pattern[] = "/tmp/kv-cli-perm.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path dir = pattern;
    chmod(dir.c_str(), 0755);
    const std::string device = (dir / "sr0").string();
    const int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    if (geteuid() != 0) chmod(device.c_str(), 0);

    const ChildResult toc = RunWithoutAccess(device, Command::Toc);
    EXPECT_EQ(toc.exitCode, kExitNoWriter) << toc.out << toc.err;
    EXPECT_NE(toc.err.find("cannot open " + device), std::string::npos) << toc.err;
    EXPECT_NE(toc.err.find("Permission denied"), std::string::npos) << toc.err;
    // The device belongs to no usable group: never advise joining root's group.
    EXPECT_NE(toc.err.find("\"cdrom\" group"), std::string::npos) << toc.err;
    EXPECT_EQ(toc.err.find("usermod -aG root"), std::string::npos) << toc.err;
    EXPECT_EQ(toc.out.find("No   Num"), std::string::npos) << "no report from a drive that was never opened";

    const ChildResult drives = RunWithoutAccess(device, Command::Drives);
    EXPECT_EQ(drives.exitCode, kExitOk) << drives.out << drives.err;
    EXPECT_NE(drives.out.find("D:\\  [ "), std::string::npos) << drives.out;
    EXPECT_NE(drives.out.find("device " + device), std::string::npos) << drives.out;
    EXPECT_NE(drives.out.find("cannot be opened: Permission denied"), std::string::npos) << drives.out;
    EXPECT_NE(drives.err.find("\"cdrom\" group"), std::string::npos) << drives.err;

    // With a virtual drive given and no --drive, the virtual drive is the one meant, not the
    // real D: that cannot be opened.
    fs::create_directories(dir / "discs");
    chmod((dir / "discs").c_str(), 0777);
    const ChildResult onVirtual = RunWithoutAccess(device, Command::Capabilities, {(dir / "discs/v.cue").string()});
    EXPECT_EQ(onVirtual.exitCode, kExitOk) << onVirtual.out << onVirtual.err;
    EXPECT_EQ(onVirtual.err.find("cannot open " + device), std::string::npos) << onVirtual.err;

    fs::remove_all(dir);
}
#endif

TEST(CliSession, EachFailureHasItsExitCode) {
    const std::vector<std::pair<TJobStep, int>> cases = {
        {TJobStep::Interrupted, kExitInterrupted}, {TJobStep::NotReady, kExitCommandFailed},
        {TJobStep::Medium, kExitDiscUnusable},     {TJobStep::WriteParameters, kExitWriteParameters},
        {TJobStep::Input, kExitImage},             {TJobStep::Write, kExitWrite},
        {TJobStep::BufferStall, kExitWrite},       {TJobStep::SyncCache, kExitClosing},
        {TJobStep::CloseTrack, kExitClosing},      {TJobStep::CloseSession, kExitClosing},
        {TJobStep::Blank, kExitCommandFailed},     {TJobStep::Verify, kExitVerify},
        {TJobStep::None, kExitWrite},              {TJobStep::InUse, kExitInUse},
        {TJobStep::ImageChanged, kExitVerify},
    };
    for (const auto& [step, code] : cases) EXPECT_EQ(ExitCodeOfFailure(step), code);
    EXPECT_EQ(ExitCodeOfFailure(TJobStep::Interrupted, kExitTerminated), kExitTerminated);
    // The error line says the failed step in the status lines' own words.
    const std::vector<std::pair<TJobOutcome, std::string>> texts = {
        {{TJobStep::Write, 5, Err_SenseMediumError}, "Write Error at sector 5 : Err_SenseMediumError"},
        {{TJobStep::SyncCache, -1, Err_SenseNotReady}, "Sync Cache Error : Err_SenseNotReady"},
        {{TJobStep::CloseSession, -1, Err_CommandTimeout}, "Close Session Error : Err_CommandTimeout"},
        {{TJobStep::Interrupted, 7, Err_Aborted}, "Cancelled at sector 7 : Err_Aborted"},
        {{TJobStep::Input, -1, Err_None}, "Input Error"},
    };
    for (const auto& [outcome, text] : texts) EXPECT_EQ(JobOutcomeText(outcome), text);
}

}  // namespace
}  // namespace cli
