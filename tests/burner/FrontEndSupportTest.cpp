// The pieces both front ends share: the rescue image rule, the drive box entry, the write-mode
// presets on a virtual writer, the wait for the disc, what a failed job's lines say, the
// permission advice, and wave files turned into tracks.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../audio/WaveTestSupport.h"
#include "TempDir.h"
#include "burner/CDBurners.h"
#include "burner/FrontEndSupport.h"
#include "vdrive/VirtualWriter.h"

namespace {

void Touch(const std::string& path)
{
    std::fclose(std::fopen(path.c_str(), "w"));
}

TEST(FrontEndSupport, RescueImageRule)
{
    TempDir dir;
    const std::string folder = dir.path().string() + "/";
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso") << "the demo name even when missing";
    EXPECT_FALSE(RescueImagePresent(folder));
    // A folder of that name is no image.
    std::filesystem::create_directory(folder + "Keelvane.iso");
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso");
    EXPECT_FALSE(RescueImagePresent(folder));
    std::filesystem::remove(folder + "Keelvane.iso");

    Touch(folder + "KeelvaneDemo.iso");
    EXPECT_TRUE(RescueImagePresent(folder));
    EXPECT_EQ(RescueImagePath(folder), folder + "KeelvaneDemo.iso");
    Touch(folder + "Keelvane.iso");
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso") << "the own image wins";
    std::filesystem::remove(folder + "KeelvaneDemo.iso");
    EXPECT_TRUE(RescueImagePresent(folder));
    EXPECT_EQ(RescueImagePath(folder), folder + "Keelvane.iso");
    EXPECT_EQ(ProgramFolder().back(), '/');
}

// Sets an environment variable for the life of the object (unset: nullptr), then restores it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(FrontEndSupport, RescueImageFoundWhereAPackagePutsIt)
{
    // An installation in <prefix>: the program in bin/, its data in share/keelvane/, and the
    // user's data folder elsewhere.
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    const std::string bin = root + "prefix/bin/";
    const std::string folders[] = {bin, root + "prefix/share/keelvane/", root + "data/keelvane/"};
    for (const auto& f : folders)
        std::filesystem::create_directories(f);
    const ScopedEnv xdg("XDG_DATA_HOME", (root + "data").c_str());

    const auto folderList = RescueImageFolders(bin);
    ASSERT_EQ(folderList.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(folderList[i].Folder, folders[i]) << i;
        EXPECT_EQ(static_cast<int>(folderList[i].Place), static_cast<int>(i)) << i;
    }

    constexpr auto kBeside = TImagePlace::BesideProgram, kInstalled = TImagePlace::InstalledData,
                   kUser = TImagePlace::UserData;
    struct Image {
        TImagePlace place;
        const char* name;
    };
    struct Case {
        std::vector<Image> present;
        std::optional<Image> chosen;   // none: the demo name beside the program, not found
    };
    const Case cases[] = {
        {{}, std::nullopt},
        {{{kInstalled, kDemoImageName}}, Image{kInstalled, kDemoImageName}},
        {{{kUser, kDemoImageName}}, Image{kUser, kDemoImageName}},
        {{{kUser, kRescueImageName}, {kInstalled, kDemoImageName}}, Image{kInstalled, kDemoImageName}},
        {{{kInstalled, kDemoImageName}, {kInstalled, kRescueImageName}}, Image{kInstalled, kRescueImageName}},
        {{{kBeside, kDemoImageName}, {kInstalled, kRescueImageName}}, Image{kBeside, kDemoImageName}},
        {{{kUser, kDemoImageName}, {kUser, kRescueImageName}}, Image{kUser, kRescueImageName}},
        {{{kBeside, kRescueImageName}, {kInstalled, kRescueImageName}, {kUser, kRescueImageName}},
         Image{kBeside, kRescueImageName}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n++);
        for (const auto& f : folders)
            for (const char* name : {kRescueImageName, kDemoImageName})
                std::filesystem::remove(f + name);
        for (const Image& image : c.present)
            Touch(folders[static_cast<int>(image.place)] + image.name);
        const TRescueImage found = FindRescueImage(bin);
        EXPECT_EQ(found.Found, c.chosen.has_value());
        EXPECT_EQ(RescueImagePresent(bin), c.chosen.has_value());
        const Image chosen = c.chosen.value_or(Image{kBeside, kDemoImageName});
        EXPECT_EQ(found.Path, folders[static_cast<int>(chosen.place)] + chosen.name);
        EXPECT_EQ(RescueImagePath(bin), found.Path);
        EXPECT_EQ(found.Place, chosen.place);
    }
    EXPECT_STREQ(ImagePlaceText(kInstalled), "in the installed data folder");
}

TEST(FrontEndSupport, UserDataFolderFollowsTheXdgRules)
{
    const std::string home = "/home/someone";
    const ScopedEnv homeEnv("HOME", home.c_str());
    struct Case {
        const char* xdgDataHome;   // nullptr: unset
        std::string folder;
    };
    const Case cases[] = {
        {"/srv/data", "/srv/data/keelvane/"},
        {"/srv/data/", "/srv/data/keelvane/"},
        {nullptr, home + "/.local/share/keelvane/"},
        {"", home + "/.local/share/keelvane/"},
        {"relative/data", home + "/.local/share/keelvane/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xdgDataHome ? c.xdgDataHome : "(unset)");
        const ScopedEnv xdg("XDG_DATA_HOME", c.xdgDataHome);
        const auto folders = RescueImageFolders("/opt/kv/bin/");
        ASSERT_EQ(folders.size(), 3u);
        EXPECT_EQ(folders[1].Folder, "/opt/kv/share/keelvane/");
        EXPECT_EQ(folders[2].Place, TImagePlace::UserData);
        EXPECT_EQ(folders[2].Folder, c.folder);
    }
}

TEST(FrontEndSupport, DriveBoxEntryKeepsTheDisplayNameAsReported)
{
    TCDBurnerInfo info;
    info.DriveLetter = 'E';
    info.DisplayName = "KEELVANE VIRTUAL WRITER  ";
    EXPECT_EQ(DriveBoxEntry(info), "E:\\  [ KEELVANE VIRTUAL WRITER  ]");
}

TEST(FrontEndSupport, AFailedJobIsNamedByItsOutcome)
{
    // The CLI's error line and the desktop's message say the failed step in the status lines'
    // own words, whatever those lines said.
    const std::vector<std::pair<TJobOutcome, std::string>> cases = {
        {{TJobStep::Write, 5, Err_SenseMediumError}, "Write Error at sector 5 : Err_SenseMediumError"},
        {{TJobStep::SyncCache, -1, Err_SenseNotReady}, "Sync Cache Error : Err_SenseNotReady"},
        {{TJobStep::CloseSession, -1, Err_CommandTimeout}, "Close Session Error : Err_CommandTimeout"},
        {{TJobStep::Interrupted, 7, Err_Aborted}, "Cancelled at sector 7 : Err_Aborted"},
        {{TJobStep::Input, -1, Err_None}, "Input Error"},
    };
    for (const auto& [outcome, text] : cases)
        EXPECT_EQ(JobOutcomeText(outcome), text);
    EXPECT_TRUE(NoDiscOutcome({TJobStep::NotReady, -1, Err_SenseNotReady}));
    EXPECT_FALSE(NoDiscOutcome({TJobStep::NotReady, -1, Err_CommandTimeout}));
    EXPECT_FALSE(NoDiscOutcome({TJobStep::Write, 0, Err_SenseNotReady}));
    EXPECT_EQ(BurnFailureText({"a", "Error : b"}, Err_None), "Error : b");
    EXPECT_EQ(BurnFailureText({}, Err_SenseNotReady), "Err_SenseNotReady");
}

TEST(FrontEndSupport, PermissionAdvice)
{
#ifdef _WIN32
    // Windows gives pass-through to administrators: no group and no sudo to advise.
    const std::string advice = PermissionAdvice("\\\\.\\D:", "cdrom", "keelvane-cli");
    EXPECT_EQ(advice, "You have no permission to use \\\\.\\D:: SCSI pass-through needs administrator rights; "
                      "run keelvane-cli as administrator.");
    const std::string noProgram = PermissionAdvice("\\\\.\\D:", "");
    EXPECT_EQ(noProgram.find("run "), std::string::npos) << noProgram;
    EXPECT_EQ(noProgram.back(), '.');
#else
    const std::string advice = PermissionAdvice("/dev/sr0", "cdrom");
    EXPECT_NE(advice.find("/dev/sr0"), std::string::npos);
    EXPECT_NE(advice.find("sudo usermod -aG cdrom \"$USER\""), std::string::npos) << advice;
    // No usable group: never advise joining root's group; the program is offered with sudo
    // only where that makes sense (a command line).
    const std::string none = PermissionAdvice("/dev/sr1", "", "keelvane-cli");
    EXPECT_NE(none.find("\"cdrom\" group"), std::string::npos) << none;
    EXPECT_NE(none.find("run keelvane-cli with sudo."), std::string::npos) << none;
    EXPECT_EQ(none.find("usermod"), std::string::npos) << none;
    const std::string noProgram = PermissionAdvice("/dev/sr1", "");
    EXPECT_EQ(noProgram.find("sudo"), std::string::npos) << noProgram;
    EXPECT_EQ(noProgram.back(), '.');

    // A device of group root, or one its group may not write, has no group to join.
    TempDir dir;
    const std::string device = dir / "sr0";
    Touch(device);
    EXPECT_EQ(DeviceAccessGroup(device), "");
    EXPECT_EQ(DeviceAccessGroup(dir / "missing"), "");
#endif
}

TEST(FrontEndSupport, TrackTitleIsTheFileNameWithoutExtension)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/music/Side A.wav", "Side A"}, {"song.WAV", "song"}, {"a.b.wav", "a.b"},
        {"/x.y/noext", "noext"},          {"/d/.wav", ".wav"},   {"plain", "plain"},
    };
    for (const auto& [file, title] : cases)
        EXPECT_EQ(TrackTitleOfFile(file), title) << file;
}

TEST(FrontEndSupport, WaveFilesBecomeTracksAndOnlyCdAudioPassesTheCheck)
{
    using namespace wavetest;
    TempDir dir;
    const Bytes samples = Samples(5000);
    struct Case {
        const char* name;
        Bytes wave;
        bool cdAudio;
    };
    const std::vector<Case> cases = {
        {"cd.wav", CdWave(samples), true},
        {"mono.wav", Riff(Concat({Chunk("fmt ", FmtBody(1, 1, 44100, 16)), Chunk("data", samples)})), false},
        {"rate.wav", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 48000, 16)), Chunk("data", samples)})), false},
        {"bits.wav", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 24)), Chunk("data", samples)})), false},
        {"float.wav", Riff(Concat({Chunk("fmt ", FmtBody(3, 2, 44100, 16)), Chunk("data", samples)})), false},
        {"garbage.wav", Samples(300), false},
    };
    TCDTrackList tracks(nullptr);
    for (const auto& c : cases) {
        WriteFile(dir / c.name, c.wave);
        TCDTrackItem& item = AddWaveFileTrack(tracks, dir / c.name);
        EXPECT_EQ(item.CDTrack()->TrackTitle, TrackTitleOfFile(c.name));
        EXPECT_EQ(item.Name, item.CDTrack()->TrackTitle);
        EXPECT_EQ(item.CDTrack()->Size(), static_cast<std::int64_t>(c.wave.size())) << c.name;
        EXPECT_EQ(IsCDAudioFormat(*item.CDTrack()), c.cdAudio) << c.name;
    }
    EXPECT_EQ(tracks.Count(), static_cast<int>(cases.size()));
    EXPECT_EQ(tracks.Items(0).CDTrack()->AvailableDataSize(), samples.size());

    // WAVE_FORMAT_EXTENSIBLE passes when its sub-format is PCM.
    Bytes extensible = FmtBody(0xFFFE, 2, 44100, 16, 40);
    extensible[24] = 1;
    extensible[25] = 0;
    WriteFile(dir / "ext.wav", Riff(Concat({Chunk("fmt ", extensible), Chunk("data", samples)})));
    EXPECT_TRUE(IsCDAudioFormat(*AddWaveFileTrack(tracks, dir / "ext.wav").CDTrack()));
    extensible[24] = 3;
    WriteFile(dir / "extf.wav", Riff(Concat({Chunk("fmt ", extensible), Chunk("data", samples)})));
    EXPECT_FALSE(IsCDAudioFormat(*AddWaveFileTrack(tracks, dir / "extf.wav").CDTrack()));

    // A file that cannot be read leaves the list as it was; so does a FIFO, refused at once
    // (opening it to read would wait for a writer for ever), and a folder.
    const int before = tracks.Count();
    EXPECT_THROW(AddWaveFileTrack(tracks, dir / "missing.wav"), EStreamError);
#ifndef _WIN32   // Windows has no FIFOs in the file system
    ASSERT_EQ(::mkfifo((dir / "pipe.wav").c_str(), 0644), 0);
    EXPECT_THROW(AddWaveFileTrack(tracks, dir / "pipe.wav"), EStreamError);
#endif
    EXPECT_THROW(AddWaveFileTrack(tracks, dir / ""), EStreamError);
    EXPECT_EQ(tracks.Count(), before);

    // The samples stay in the file: the track holds no copy of them.
    EXPECT_TRUE(tracks.Items(0).CDTrack()->Linked());
    EXPECT_EQ(tracks.Items(0).CDTrack()->Capacity(), 0);
}

// On a virtual writer: the two presets land in mode page 05h, and the wait before a burn tells
// a drive without a disc from one that only needs a moment.
class FrontEndDrive : public ::testing::Test {
protected:
    void Attach(const std::string& options)
    {
        win::SetKernelDevicePathsForTesting({});
        std::string error;
        // A disc of its own each time: an existing CUE sheet keeps its medium.
        const std::string cue = dir / ("disc" + std::to_string(++discs) + ".cue");
        writer = vdrive::AttachVirtualDrive(cue + (options.empty() ? "" : "," + options), error);
        ASSERT_TRUE(writer) << error;
        list = std::make_unique<TCDBurnerList>();
        ASSERT_EQ(list->Count(), 1);
        burner = list->Burners(0);
        burner->ReadyPollInterval = std::chrono::milliseconds(5);
        burner->OnStatus = [this](const std::string& s) { status.push_back(s); };
    }
    void TearDown() override
    {
        list.reset();
        if (writer)
            vdrive::DetachVirtualDrive(writer);
        writer.reset();
        win::ResetKernelDevicePathsForTesting();
    }

    TempDir dir;
    int discs = 0;
    std::shared_ptr<vdrive::VirtualWriter> writer;
    std::unique_ptr<TCDBurnerList> list;
    TCDBurner* burner = nullptr;
    std::vector<std::string> status;
};

TEST_F(FrontEndDrive, WriteModePresetsReachThePage)
{
    ASSERT_NO_FATAL_FAILURE(Attach(""));
    std::string text;
    ASSERT_TRUE(SetWriteMode(*burner, kCDDAWriteParameters));
    ASSERT_TRUE(burner->GetWriterParameters(text));
    EXPECT_NE(text.find("Track At Once"), std::string::npos) << text;
    const std::string cdda = text;
    ASSERT_TRUE(SetWriteMode(*burner, kDataWriteParameters));
    EXPECT_EQ(burner->LastError, Err_None);
    ASSERT_TRUE(burner->GetWriterParameters(text));
    EXPECT_NE(text, cdda) << "the data preset changes the page again";
}

TEST_F(FrontEndDrive, WaitBeforeABurn)
{
    // Becoming ready (NOT READY 04h/01h) is waited for, without a status line.
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=3"));
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_None);
    EXPECT_TRUE(status.empty());
    TearDown();

    ASSERT_NO_FATAL_FAILURE(Attach("media=none"));
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_SenseNotReady);
    EXPECT_EQ(status, std::vector<std::string>{"Error : Drive Not Ready : Err_SenseNotReady"});
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::NotReady);
    EXPECT_TRUE(NoDiscOutcome(burner->LastOutcome));
    TearDown();

    // A drive that never becomes ready is waited for with OnWait between the polls, and a stop
    // request ends the wait at the next call.
    ASSERT_NO_FATAL_FAILURE(Attach("not-ready=1000000"));
    std::vector<TWaitInfo> waits;
    burner->WaitCallbackInterval = std::chrono::milliseconds(0);
    burner->OnWait = [&](const TWaitInfo& w) {
        waits.push_back(w);
        if (waits.size() == 3)
            burner->Cancel();
    };
    EXPECT_EQ(WaitForDriveBeforeBurn(*burner), Err_Aborted);
    ASSERT_EQ(waits.size(), 3u);
    EXPECT_EQ(waits.front().Phase, TWaitPhase::DriveReady);
    EXPECT_LE(waits.front().Elapsed, waits.back().Elapsed);
    EXPECT_EQ(burner->LastOutcome.Step, TJobStep::Interrupted);
    EXPECT_FALSE(burner->CancelRequested.load()) << "the next job starts afresh";
    EXPECT_EQ(status.back(), "Cancelled : Stopped waiting for the drive to become ready");
}

TEST_F(FrontEndDrive, AnOpenedDriveHasNoAccessProblem)
{
    ASSERT_NO_FATAL_FAILURE(Attach(""));
    EXPECT_FALSE(DriveAccessProblem(*list, 0).Exists());
    EXPECT_FALSE(DriveAccessProblem(*list, 1).Exists());
    EXPECT_FALSE(DriveAccessProblem(*list, -1).Exists());
}

}  // namespace
