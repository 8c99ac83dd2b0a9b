// The soak: many consecutive burns and blanks on one CD-RW, first inside one process (the
// engine as the desktop program uses it, one writer list for the whole run), then through
// keelvane-cli, a process per command. Every disc must be right, and nothing may pile up:
// live heap, open files and resident memory stay flat once the first cycles have warmed the
// allocator up.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Rig.h"
#include "burner/CDBurner.h"
#include "burner/CDBurners.h"
#include "vdrive/VirtualDisc.h"

#if defined(__SANITIZE_ADDRESS__)
#define KV_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ASAN 1
#endif
#endif
#ifdef KV_ASAN
// From the sanitizer runtime (sanitizer/allocator_interface.h, which not every compiler ships).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
// Freed blocks wait in ASan's quarantine before they are reused; a small quarantine lets the
// resident size settle within the warm-up, so that growth after it means a leak.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }
#endif

extern char** environ;

namespace {

using robust::Rig;

std::size_t LiveHeapBytes() {
#ifdef KV_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

std::size_t OpenFiles() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

struct Usage {
    std::size_t heap, files, resident;
    static Usage Now() { return {LiveHeapBytes(), OpenFiles(), ResidentBytes()}; }
};

constexpr std::size_t kMiB = 1024 * 1024;

TEST(Soak, BurnsAndBlanksInOneProcess) {
    constexpr int kCycles = 200;
    constexpr int kWarmUp = 20;
    Rig rig("media=cd-rw");
    // Three images of different lengths and contents, so a disc left over from the cycle
    // before can never pass for the new one.
    const std::vector<std::pair<std::string, std::uint32_t>> images = {
        {rig.Image(17, 1), 17}, {rig.Image(40, 2), 40}, {rig.Image(3, 3), 3}};

    TCDBurnerList list;
    TCDBurner* burner = nullptr;
    for (int i = 0; i < list.Count(); ++i)
        if (list.Burners(i)->Info.DriveLetter == rig.Letter()) burner = list.Burners(i);
    ASSERT_NE(burner, nullptr);
    burner->ReadyPollInterval = std::chrono::milliseconds(1);
    std::string lastStatus;
    int progressCalls = 0;
    burner->OnStatus = [&](const std::string& s) { lastStatus = s; };
    burner->OnProgress = [&](std::int32_t, std::int32_t) { ++progressCalls; };

    Usage before{};
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        if (cycle == kWarmUp) before = Usage::Now();
        const auto& [image, blocks] = images[cycle % images.size()];
        ASSERT_TRUE(burner->BurnDataImage(image, 1)) << "cycle " << cycle << ": " << lastStatus;
        ASSERT_EQ(lastStatus, "Finished Writing : Job Done!");
        vdrive::DiscState disc = rig.Disc();
        ASSERT_EQ(disc.tracks.size(), 1u) << "cycle " << cycle;
        ASSERT_TRUE(disc.tracks[0].closed);
        ASSERT_EQ(disc.closedSessions, 1);
        ASSERT_TRUE(rig.TrackHolds(image, blocks)) << "cycle " << cycle;

        ASSERT_TRUE(burner->Blank(0, 0)) << "cycle " << cycle << ": " << ScsiErrorToText(burner->LastError);
        disc = rig.Disc();
        ASSERT_TRUE(disc.tracks.empty()) << "cycle " << cycle;
        ASSERT_EQ(disc.status, vdrive::DiscStatus::Empty);
    }
    const Usage after = Usage::Now();
    EXPECT_GT(progressCalls, kCycles);

    std::printf("after %d warm-up cycles -> after %d: live heap %zu -> %zu bytes, open files %zu -> %zu, "
                "resident %zu -> %zu KiB\n",
                kWarmUp, kCycles, before.heap, after.heap, before.files, after.files, before.resident / 1024,
                after.resident / 1024);
    EXPECT_EQ(after.files, before.files);
    // Live heap: exact up to small bookkeeping (a growing log or table would show at once).
    EXPECT_LE(after.heap, before.heap + 64 * 1024)
        << "live heap grew by " << (after.heap - before.heap) << " bytes over " << kCycles - kWarmUp << " cycles";
#ifdef KV_ASAN
    constexpr std::size_t kResidentSlack = 16 * kMiB;   // the allocator's quarantine and caches
#else
    constexpr std::size_t kResidentSlack = 4 * kMiB;
#endif
    EXPECT_LE(after.resident, before.resident + kResidentSlack)
        << "resident memory grew from " << before.resident / kMiB << " MiB to " << after.resident / kMiB << " MiB";
}

#ifdef KV_CLI_PATH

struct ChildRun {
    int rc = -1;
    long peakKiB = -1;   // -1: not measured
    std::string output;
};

// The kernel's peak of a process also counts the memory of the process that started it, up
// to its exec (vfork shares the parent's memory, fork copies its high-water mark), and this
// test's own memory is no figure of the program's. GNU time, a small process, starts the
// program instead when it is installed.
constexpr const char* kTime = "/usr/bin/time";

ChildRun RunProgram(const std::vector<std::string>& args, const std::string& logPath) {
    const bool timed = ::access(kTime, X_OK) == 0;
    const std::string peakPath = logPath + ".peak";
    std::vector<std::string> words;
    if (timed) words = {kTime, "-f", "%M", "-o", peakPath};
    words.push_back(KV_CLI_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    ChildRun run;
    const int err = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) return run;
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid)
        run.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.output = robust::ReadText(logPath);
    if (timed) {
        // The last line is the figure; a line before it says how the program ended.
        std::istringstream peak(robust::ReadText(peakPath));
        for (std::string line; std::getline(peak, line);)
            if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) run.peakKiB = std::stol(line);
    }
    return run;
}

TEST(Soak, BurnsAndBlanksThroughTheCli) {
    constexpr int kCycles = 50;
    robust::TempFolder folder;
    const std::string cue = folder / "disc.cue";
    const std::string drive = cue + ",media=cd-rw";
    const std::string log = folder / "cli.log";
    const std::vector<std::pair<std::string, std::uint32_t>> images = {
        {robust::MakeImage(folder / "a.iso", 17, 1), 17}, {robust::MakeImage(folder / "b.iso", 40, 2), 40}};

    long firstPeak = -1, lastPeak = -1;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const auto& [image, blocks] = images[cycle % images.size()];
        const ChildRun burn = RunProgram({"--virtual-drive", drive, "burn", image, "--no-eject", "--force"}, log);
        ASSERT_EQ(burn.rc, 0) << "cycle " << cycle << "\n" << burn.output;
        ASSERT_NE(burn.output.find("CD Creation Complete!"), std::string::npos) << burn.output;

        std::string error;
        auto disc = vdrive::VirtualDisc::Load(cue, error);
        ASSERT_TRUE(disc) << error;
        ASSERT_EQ(disc->Tracks().size(), 1u);
        ASSERT_TRUE(disc->Tracks()[0].closed);
        ASSERT_EQ(disc->Tracks()[0].blocks, blocks);
        ASSERT_EQ(robust::ReadFile(disc->Tracks()[0].filePath), robust::ReadFile(image)) << "cycle " << cycle;
        disc.reset();

        const ChildRun blank = RunProgram({"--virtual-drive", drive, "blank"}, log);
        ASSERT_EQ(blank.rc, 0) << "cycle " << cycle << "\n" << blank.output;
        ASSERT_NE(blank.output.find("Blanking Finished!"), std::string::npos) << blank.output;
        disc = vdrive::VirtualDisc::Load(cue, error);
        ASSERT_TRUE(disc) << error;
        ASSERT_TRUE(disc->Tracks().empty());

        // Peak of the burns at the start and at the end: a disc that has been through many
        // cycles must cost no more than a new one.
        if (cycle < 4) firstPeak = std::max(firstPeak, burn.peakKiB);
        if (cycle >= kCycles - 4) lastPeak = std::max(lastPeak, burn.peakKiB);
    }
    // Nothing is left behind beside the sheet: no temporary sheets, no stale track files (the
    // lock file stays on purpose: removing it would let two programs lock different files).
    std::size_t leftovers = 0;
    for (const auto& entry : robust::fs::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename();
        if (name.rfind("disc", 0) == 0 && name != "disc.cue" && name != "disc.cue.lock") ++leftovers;
    }
    EXPECT_EQ(leftovers, 0u);
    std::printf("peak resident memory of keelvane-cli burn: %ld KiB in the first cycles, %ld KiB in the last\n",
                firstPeak, lastPeak);
    if (firstPeak < 0 || lastPeak < 0) {
        std::printf("peak resident memory not measured: %s is not installed\n", kTime);
        return;
    }
    EXPECT_LE(lastPeak, firstPeak + 1024) << "peak resident memory of a burn grew from " << firstPeak << " KiB to "
                                          << lastPeak << " KiB";
}

#endif

}  // namespace
