// The audio burn end to end: wave tracks in the writer's list, through the MMC, device-access
// and platform layers, onto the virtual writer's raw 2352-byte audio track files.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../audio/WaveTestSupport.h"
#include "VirtualWriterFixture.h"
#include "burner/CDBurner.h"
#include "burner/WaveTracks.h"

namespace {

using wavetest::Bytes;
constexpr std::size_t kRaw = 2352;

std::uint32_t BE32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// The sample bytes of a wave file, found by walking its chunks here rather than by the parser
// under test elsewhere.
Bytes DataChunkOf(const Bytes& wave)
{
    for (std::size_t at = 12; at + 8 <= wave.size();) {
        const std::uint32_t size = wavetest::GetLE32(wave, at + 4);
        if (std::equal(wave.begin() + at, wave.begin() + at + 4, "data")) {
            const std::size_t end = std::min<std::size_t>(wave.size(), at + 8 + std::size_t(size));
            return Bytes(wave.begin() + at + 8, wave.begin() + end);
        }
        at += 8 + size + (size & 1);
    }
    ADD_FAILURE() << "no data chunk";
    return {};
}

// What the disc must hold for these samples: the bytes, then silence to a whole block.
Bytes Padded(Bytes data)
{
    data.resize((data.size() + kRaw - 1) / kRaw * kRaw, 0);
    return data;
}

class AudioBurn : public VirtualWriterFixture {
protected:
    struct Command {
        std::vector<std::uint8_t> cdb;
        std::uint8_t status;
    };

    void Attach(const std::string& options = "")
    {
        win::SetScsiTraceSink([this](char, const win::ScsiRequest& r, bool) {
            if (r.cdb[0] == 0x12)   // the device-access layer's own drive scan
                return;
            std::lock_guard lock(mutex);
            commands.push_back({std::vector<std::uint8_t>(r.cdb, r.cdb + r.cdbLength), r.status});
        });
        ASSERT_NO_FATAL_FAILURE(AttachWriter("disc.cue", options));
    }

    void AddTrack(const Bytes& wave, const std::string& title)
    {
        TCDTrackItem& item = burner->Tracks.Add();
        wavetest::Load(*item.CDTrack(), wave);
        item.CDTrack()->TrackTitle = title;
    }

    std::vector<Command> Sent(std::uint8_t opcode)
    {
        std::lock_guard lock(mutex);
        std::vector<Command> out;
        for (const auto& c : commands)
            if (c.cdb[0] == opcode)
                out.push_back(c);
        return out;
    }
    std::vector<std::uint32_t> WriteAddresses()
    {
        std::vector<std::uint32_t> lbas;
        for (const auto& c : Sent(0x2A)) {
            EXPECT_EQ(c.cdb[8], 1) << "one block per WRITE";
            lbas.push_back(BE32(&c.cdb[2]));
        }
        return lbas;
    }
    // Track numbers of the CLOSE TRACK commands (function 1).
    std::vector<int> ClosedTrackNumbers()
    {
        std::vector<int> numbers;
        for (const auto& c : Sent(0x5B))
            if ((c.cdb[2] & 7) == 1)
                numbers.push_back((c.cdb[4] << 8) | c.cdb[5]);
        return numbers;
    }

    std::mutex mutex;
    std::vector<Command> commands;
};

std::vector<std::uint32_t> Range(std::uint32_t from, std::uint32_t to)
{
    std::vector<std::uint32_t> v;
    for (std::uint32_t a = from; a < to; ++a)
        v.push_back(a);
    return v;
}

TEST_F(AudioBurn, TwoTracksBurnOneAfterTheOtherAndCloseTheSession)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    EXPECT_EQ(burner->Tracks.Count(), 0) << "a new writer has no tracks";
    const Bytes first = wavetest::Samples(10 * kRaw, 3);
    const Bytes second = wavetest::Samples(20 * kRaw, 101);
    AddTrack(wavetest::CdWave(first), "");
    AddTrack(wavetest::CdWave(second), "Second");

    ASSERT_TRUE(burner->BurnAudioTracks(2)) << reports.status.back();
    EXPECT_EQ(reports.status, (std::vector<std::string>{
                          "HardWare : Set Audio Write Mode OK", "Burning :", "Finished Writing : Sync Cache",
                          "Finished Writing : Closing Track :1", "Burning :Second", "Finished Writing : Sync Cache",
                          "Finished Writing : Closing Track :2", "Finished Writing : Closing Session"}));
    EXPECT_EQ(WriteAddresses(), Range(0, 30));
    EXPECT_EQ(ClosedTrackNumbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(reports.bytesRead, std::int64_t(30 * kRaw));
    EXPECT_EQ(reports.bufferStatusCalls, 30);
    EXPECT_FALSE(reports.outOfRange);

    // Progress per block, within 0..100, reaching 100 at each track's last block; the second
    // track's percents count from the start of the disc.
    ASSERT_EQ(reports.progress.size(), 30u);
    for (std::size_t i = 0; i < reports.progress.size(); ++i) {
        EXPECT_EQ(reports.progress[i].first, int(i));
        EXPECT_GE(reports.progress[i].second, 0);
        EXPECT_LE(reports.progress[i].second, 100);
    }
    EXPECT_EQ(reports.progress[9].second, 100);
    EXPECT_EQ(reports.progress[10].second, 10 * 100 / 29);
    EXPECT_EQ(reports.progress[29].second, 100);

    // The second CLOSE SESSION meets a closed session and is refused; that changes nothing.
    const auto closes = Sent(0x5B);
    ASSERT_EQ(closes.size(), 4u);
    EXPECT_EQ(closes[2].status, 0);
    EXPECT_EQ(closes[3].cdb[2] & 7, 2);
    EXPECT_EQ(burner->LastError, Err_None);

    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 2u);
    EXPECT_EQ(disc.status, vdrive::DiscStatus::Complete);
    EXPECT_EQ(disc.closedSessions, 1);
    EXPECT_TRUE(writer->Flush());
    const Bytes* data[] = {&first, &second};
    const std::uint32_t starts[] = {0, 10};
    for (int t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(disc.tracks[t].audio);
        EXPECT_TRUE(disc.tracks[t].closed);
        EXPECT_EQ(disc.tracks[t].start, starts[t]);
        EXPECT_EQ(wavetest::ReadFile(disc.tracks[t].file), *data[t]);
    }

    TScsiTOC toc;
    ASSERT_EQ(burner->ReadTOC(toc), Err_None);
    EXPECT_EQ(toc.FirstTrack, 1);
    EXPECT_EQ(toc.LastTrack, 2);
    ASSERT_EQ(toc.EntryCount, 3);
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(toc.Entries[t].TrackNumber, t + 1);
        EXPECT_EQ(toc.Entries[t].StartLBA, starts[t]);
        // Track mode byte 2: a two-channel track, copy permitted, without pre-emphasis (plain
        // PCM from a wave file must not be de-emphasised by the player).
        EXPECT_EQ(SetToText(toc.Entries[t].Flags), "[ssqfADRposition, ssqfCopyPermit, ssqfAudioTrack]");
    }
    EXPECT_EQ(toc.Entries[2].TrackNumber, 0xAA);
    EXPECT_EQ(toc.Entries[2].StartLBA, 30u);
}

TEST_F(AudioBurn, PartialLastBlockIsWrittenWholeWithASilentTail)
{
    // Each case on a disc of its own. The chunk after the data ("LIST", "junk") must not leak
    // into the padding, nor may the previous block's samples.
    struct Case {
        std::size_t dataSize;
        std::uint32_t blocks;
        bool trailingChunk;
    };
    const Case cases[] = {{4704, 2, false}, {4705, 3, false}, {4705, 3, true}, {1, 1, true}, {2 * kRaw - 1, 2, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dataSize);
        TearDown();
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directories(dir.path());
        commands.clear();
        ASSERT_NO_FATAL_FAILURE(Attach());
        const Bytes data = wavetest::Samples(c.dataSize, 9);
        Bytes chunks = wavetest::Concat({wavetest::Chunk("fmt ", wavetest::FmtBody(1, 2, 44100, 16)),
                                          wavetest::Chunk("data", data)});
        if (c.trailingChunk)
            chunks = wavetest::Concat({chunks, wavetest::Chunk("LIST", Bytes(3000, 0xEE))});
        AddTrack(wavetest::Riff(chunks), "t");

        ASSERT_TRUE(burner->BurnAudioTracks(1)) << reports.status.back();
        EXPECT_EQ(WriteAddresses(), Range(0, c.blocks));
        EXPECT_EQ(reports.bytesRead, std::int64_t(c.dataSize));
        EXPECT_TRUE(writer->Flush());
        const vdrive::DiscState disc = writer->State();
        ASSERT_EQ(disc.tracks.size(), 1u);
        EXPECT_EQ(wavetest::ReadFile(disc.tracks[0].file), Padded(data));
    }
}

TEST_F(AudioBurn, SoxWavesBurnByteForByte)
{
    if (!wavetest::HaveSox())
        GTEST_FAIL() << "sox is not installed (scripts/install-deps.sh installs it)";
    ASSERT_NO_FATAL_FAILURE(Attach());
    // 0.1 s of CD audio (17,640 bytes, 7.5 blocks), and 0.25 s with a comment (a LIST chunk
    // after the samples).
    const std::vector<std::vector<std::string>> runs = {
        {"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", dir / "a.wav", "synth", "0.1", "sine", "440"},
        {"sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "--comment", "KeelVane test", dir / "b.wav", "synth",
         "0.25", "sine", "1000"}};
    std::vector<Bytes> samples;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        ASSERT_TRUE(wavetest::RunTool(runs[i])) << runs[i][8];
        const Bytes wave = wavetest::ReadFile(i == 0 ? dir / "a.wav" : dir / "b.wav");
        samples.push_back(DataChunkOf(wave));
        AddTrack(wave, i == 0 ? "a" : "b");
    }
    ASSERT_EQ(samples[0].size(), 17640u);

    ASSERT_TRUE(burner->BurnAudioTracks(2)) << reports.status.back();
    const std::uint32_t firstBlocks = static_cast<std::uint32_t>(Padded(samples[0]).size() / kRaw);
    const std::uint32_t allBlocks = firstBlocks + static_cast<std::uint32_t>(Padded(samples[1]).size() / kRaw);
    EXPECT_EQ(WriteAddresses(), Range(0, allBlocks));
    EXPECT_TRUE(writer->Flush());
    const vdrive::DiscState disc = writer->State();
    ASSERT_EQ(disc.tracks.size(), 2u);
    EXPECT_EQ(disc.tracks[1].start, firstBlocks);
    for (int t = 0; t < 2; ++t)
        EXPECT_EQ(wavetest::ReadFile(disc.tracks[t].file), Padded(samples[t])) << t;
}

TEST_F(AudioBurn, OversizedDeclaredDataBurnsOnlyTheBytesHeld)
{
    // A header that declares FFFFFFFFh bytes (a streaming writer's) over 3 blocks and 100
    // bytes of samples: four blocks, not 1.8 million.
    ASSERT_NO_FATAL_FAILURE(Attach());
    const Bytes data = wavetest::Samples(3 * kRaw + 100, 5);
    AddTrack(wavetest::Riff(wavetest::Concat({wavetest::Chunk("fmt ", wavetest::FmtBody(1, 2, 44100, 16)),
                                              wavetest::Chunk("data", data, 0xFFFFFFFFu)})),
             "stream");
    ASSERT_TRUE(burner->BurnAudioTracks(1)) << reports.status.back();
    EXPECT_EQ(WriteAddresses(), Range(0, 4));
    EXPECT_TRUE(writer->Flush());
    EXPECT_EQ(wavetest::ReadFile(writer->State().tracks.at(0).file), Padded(data));
}

TEST_F(AudioBurn, NoTracksGoesStraightToTheSessionClose)
{
    // On a blank disc there is no session to close: the drive refuses, and the job says so.
    ASSERT_NO_FATAL_FAILURE(Attach());
    EXPECT_FALSE(burner->BurnAudioTracks(0));
    EXPECT_TRUE(Sent(0x2A).empty());
    EXPECT_TRUE(Sent(0x35).empty());
    ASSERT_EQ(Sent(0x5B).size(), 1u);
    EXPECT_EQ(Sent(0x5B)[0].cdb[2] & 7, 2);
    ASSERT_EQ(reports.status.size(), 2u);
    EXPECT_EQ(reports.status[0], "HardWare : Set Audio Write Mode OK");
    EXPECT_EQ(reports.status[1].rfind("Error : Close Session Error : Err_Sense", 0), 0u) << reports.status[1];
}

TEST_F(AudioBurn, FailuresEndTheJobWithTheirLine)
{
    struct Case {
        const char* name;
        std::string options;
        std::vector<Bytes> tracks;
        std::int32_t count;
        std::vector<std::string> tail;   // the last status lines
        std::vector<std::uint32_t> writes;
        std::vector<int> closes;
        bool writeModeSent;
        TJobStep step;   // the outcome's failed step
    };
    const Bytes wave10 = wavetest::CdWave(wavetest::Samples(10 * kRaw));
    const Bytes wave20 = wavetest::CdWave(wavetest::Samples(20 * kRaw));
    const Bytes garbage = wavetest::Samples(5000);
    const Bytes emptyData = wavetest::CdWave({});
    const Case cases[] = {
        {"write error in the second track", "fail-write-at=15", {wave10, wave20}, 2,
         {"Burning :t2", "Error : Write Error at sector 15 : Err_SenseMediumError"}, Range(0, 16), {1}, true, TJobStep::Write},
        {"a track that is not a wave", "", {wave10, garbage}, 2, {"Error : No Audio Data in Track 2 :t2"}, {}, {},
         false, TJobStep::Input},
        {"a wave without samples", "", {emptyData}, 1, {"Error : No Audio Data in Track 1 :t1"}, {}, {}, false,
         TJobStep::Input},
        {"drive refuses the write mode", "not-ready=100000", {wave10}, 1,
         {"HardWare : Set Audio Write Mode Error"}, {}, {}, true, TJobStep::WriteParameters},
        {"buffer that never drains", "stuck-buffer", {wave10}, 1,
         {"Burning :t1", "Error : Buffer Wait Timeout at sector 0 : the drive's buffer did not drain"}, Range(0, 1), {},
         true, TJobStep::BufferStall},
        // Refused before anything is sent but the free-blocks query: the disc stays blank.
        {"tracks longer than the disc", "capacity=25", {wave10, wave20}, 2,
         {"Error : Audio larger than disc (30 blocks needed, 25 free)"}, {}, {}, false, TJobStep::Input},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        std::filesystem::remove_all(dir.path());
        std::filesystem::create_directories(dir.path());
        commands.clear();
        reports.status.clear();
        ASSERT_NO_FATAL_FAILURE(Attach(c.options));
        burner->BufferStallLimit = std::chrono::milliseconds(50);
        for (std::size_t i = 0; i < c.tracks.size(); ++i)
            AddTrack(c.tracks[i], "t" + std::to_string(i + 1));

        EXPECT_FALSE(burner->BurnAudioTracks(c.count));
        ASSERT_GE(reports.status.size(), c.tail.size());
        EXPECT_EQ(std::vector<std::string>(reports.status.end() - std::ptrdiff_t(c.tail.size()), reports.status.end()), c.tail);
        EXPECT_EQ(WriteAddresses(), c.writes);
        EXPECT_EQ(ClosedTrackNumbers(), c.closes);
        EXPECT_TRUE(Sent(0x5B).size() == c.closes.size()) << "no session close after a failure";
        EXPECT_EQ(!Sent(0x5A).empty(), c.writeModeSent);
        EXPECT_EQ(burner->LastOutcome.Step, c.step);
        if (c.writes.empty()) {
            EXPECT_TRUE(writer->State().tracks.empty());
        }
    }
}

TEST_F(AudioBurn, ProgressFollowsTheDiscAddressesWithin0To100)
{
    // Two tracks of 1000 blocks: percent = address div ((end - 1) div 100), so the first track
    // climbs by divisor 9 and the second starts at 1000 div 19 = 52; 111 and 105 at the ends
    // are held at 100. The drive stays busy after every close and is waited for.
    ASSERT_NO_FATAL_FAILURE(Attach("busy-ms=20"));
    AddTrack(wavetest::CdWave(wavetest::Samples(1000 * kRaw, 1)), "a");
    AddTrack(wavetest::CdWave(wavetest::Samples(1000 * kRaw, 2)), "b");
    ASSERT_TRUE(burner->BurnAudioTracks(2)) << reports.status.back();
    ASSERT_EQ(reports.progress.size(), 2000u);
    const std::pair<int, int> expected[] = {{0, 0}, {500, 55}, {899, 99}, {900, 100}, {999, 100},
                                            {1000, 52}, {1899, 99}, {1900, 100}, {1999, 100}};
    for (const auto& [address, percent] : expected)
        EXPECT_EQ(reports.progress[address], std::make_pair(address, percent));
    EXPECT_TRUE(std::all_of(reports.progress.begin(), reports.progress.end(),
                            [](const auto& p) { return p.second >= 0 && p.second <= 100; }));

    // After each CLOSE TRACK and the first CLOSE SESSION: TEST UNIT READY until the drive is
    // ready, before anything else.
    std::lock_guard lock(mutex);
    int closes = 0;
    for (std::size_t i = 0; i + 1 < commands.size(); ++i) {
        if (commands[i].cdb[0] != 0x5B || commands[i].status != 0)
            continue;
        ++closes;
        EXPECT_EQ(commands[i + 1].cdb[0], 0x00) << "command " << i;
    }
    EXPECT_GE(closes, 3);
}

TEST_F(AudioBurn, CountBeyondTheListSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    AddTrack(wavetest::CdWave(wavetest::Samples(kRaw)), "only");
    EXPECT_THROW(burner->BurnAudioTracks(2), EListError);
    EXPECT_TRUE(commands.empty());

    // A CD has room for 99 track numbers; a 100th is refused before the drive is asked.
    for (int t = 1; t < 100; ++t)
        AddTrack(wavetest::CdWave(wavetest::Samples(kRaw)), "more");
    ASSERT_TRUE(burner->BurnAudioTracks(99)) << reports.status.back();
    const std::vector<int> closed = ClosedTrackNumbers();
    ASSERT_EQ(closed.size(), 99u);
    EXPECT_EQ(closed.back(), 99);
    commands.clear();
    reports.status.clear();
    EXPECT_FALSE(burner->BurnAudioTracks(100));
    EXPECT_EQ(reports.status, std::vector<std::string>{"Error : Too Many Tracks : 100 (a CD holds 99)"});
    EXPECT_TRUE(commands.empty());
}

TEST_F(AudioBurn, CancelStopsBetweenBlocks)
{
    ASSERT_NO_FATAL_FAILURE(Attach());
    AddTrack(wavetest::CdWave(wavetest::Samples(10 * kRaw)), "a");
    AddTrack(wavetest::CdWave(wavetest::Samples(20 * kRaw)), "b");
    burner->OnProgress = [&](int a, int) {
        if (a == 12)
            burner->Cancel();
    };
    EXPECT_FALSE(burner->BurnAudioTracks(2));
    EXPECT_EQ(reports.status.back(), "Cancelled : Writing stopped at sector 13 of 30, the track is left open");
    EXPECT_EQ(WriteAddresses(), Range(0, 13));
    EXPECT_EQ(ClosedTrackNumbers(), std::vector<int>{1});
    EXPECT_FALSE(burner->CancelRequested.load());
}

TEST(WaveTracks, TrackTitleIsTheFileNameWithoutExtension)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/music/Side A.wav", "Side A"}, {"song.WAV", "song"}, {"a.b.wav", "a.b"},
        {"/x.y/noext", "noext"},          {"/d/.wav", ".wav"},   {"plain", "plain"},
    };
    for (const auto& [file, title] : cases)
        EXPECT_EQ(TrackTitleOfFile(file), title) << file;
}

TEST(WaveTracks, WaveFilesBecomeTracksAndOnlyCdAudioPassesTheCheck)
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

}  // namespace
