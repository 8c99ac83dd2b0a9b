// TCDTrack: modified / valid state, OnChange, the parse results and SetBlockSize.
#include <gtest/gtest.h>

#include <stdexcept>

#include "WaveTestSupport.h"
#include "audio/AudioUnit.h"

using namespace wavetest;

namespace {

struct ChangeCounter {
    int Calls = 0;
    TCDTrack* Sender = nullptr;
    void Attach(TCDTrack& Track)
    {
        Track.OnChange = [this](TCDTrack& s) {
            ++Calls;
            Sender = &s;
        };
    }
};

TEST(CDTrack, NewTrackIsCleanAndNotValid)
{
    TCDTrack track;
    EXPECT_FALSE(track.Modified());
    EXPECT_FALSE(track.IsValid());
    EXPECT_EQ(track.DataSize(), 0u);
    EXPECT_EQ(track.DataOffset(), 0u);
    EXPECT_EQ(track.WaveFormat(), nullptr);
    EXPECT_EQ(track.FormatText(), "");
    EXPECT_EQ(track.BitRate(), 0);
    EXPECT_EQ(track.Duration(), 0);
    EXPECT_EQ(track.TrackTitle, "");
    EXPECT_EQ(track.Size(), 0);
}

TEST(CDTrack, OnChangeFiresOncePerChangeFromClean)
{
    TCDTrack track;
    ChangeCounter counter;
    counter.Attach(track);

    const Bytes wave = CdWave(Samples(100));
    track.WriteBuffer(wave.data(), wave.size());
    EXPECT_EQ(counter.Calls, 1);
    EXPECT_EQ(counter.Sender, &track);
    EXPECT_TRUE(track.Modified());

    track.WriteBuffer(wave.data(), 4);   // still modified: no second event
    track.SetSize(static_cast<std::int64_t>(wave.size()));
    EXPECT_EQ(counter.Calls, 1);

    EXPECT_TRUE(track.IsValid());
    EXPECT_FALSE(track.Modified());
    EXPECT_EQ(track.Position(), 0) << "a parse leaves the stream at its start";

    // Reading and seeking change nothing.
    std::uint8_t buffer[16];
    track.ReadBuffer(buffer, sizeof buffer);
    track.Seek(-4, TSeekOrigin::soEnd);
    EXPECT_FALSE(track.Modified());
    EXPECT_EQ(counter.Calls, 1);

    track.WriteBuffer(buffer, 1);
    EXPECT_EQ(counter.Calls, 2);
}

// Every way of changing the content marks a clean track modified and fires OnChange once.
TEST(CDTrack, EveryMutationMarksModified)
{
    const Bytes wave = CdWave(Samples(64));
    struct {
        const char* Name;
        void (*Mutate)(TCDTrack&, const Bytes&);
    } const mutations[] = {
        {"write", [](TCDTrack& t, const Bytes&) { t.WriteBuffer("x", 1); }},
        {"empty write", [](TCDTrack& t, const Bytes&) { t.Write("x", 0); }},
        {"set size", [](TCDTrack& t, const Bytes& w) { t.SetSize(static_cast<std::int64_t>(w.size()) - 1); }},
        {"same size", [](TCDTrack& t, const Bytes&) { t.SetSize(t.Size()); }},
        {"clear", [](TCDTrack& t, const Bytes&) { t.Clear(); }},
        {"load memory", [](TCDTrack& t, const Bytes& w) { t.LoadFromMemory(w.data(), w.size()); }},
        {"load stream",
         [](TCDTrack& t, const Bytes& w) {
             TMemoryStream m;
             Load(m, w);
             t.LoadFromStream(m);
         }},
    };
    for (const auto& m : mutations) {
        SCOPED_TRACE(m.Name);
        TCDTrack track;
        Load(track, wave);
        ASSERT_TRUE(track.IsValid());
        ChangeCounter counter;
        counter.Attach(track);
        m.Mutate(track, wave);
        EXPECT_TRUE(track.Modified());
        EXPECT_EQ(counter.Calls, 1);
    }
}

TEST(CDTrack, GarbageThenWaveThenGarbage)
{
    TCDTrack track;
    const Bytes garbage = Samples(500, 3);
    Load(track, garbage);
    EXPECT_FALSE(track.IsValid());
    EXPECT_EQ(track.DataSize(), 0u);
    EXPECT_EQ(track.FormatText(), "");

    const Bytes wave = Riff(Concat({Chunk("fmt ", FmtBody(1, 1, 22050, 8)), Chunk("LIST", Samples(7)),
                                    Chunk("data", Samples(22050))}));
    Load(track, wave);
    ASSERT_TRUE(track.IsValid());
    EXPECT_EQ(track.DataSize(), 22050u);
    EXPECT_EQ(track.DataOffset(), 12u + 24 + 16 + 8);
    ASSERT_NE(track.WaveFormat(), nullptr);
    EXPECT_EQ(track.WaveFormat()->Channels(), 1);
    SetLocaleSeparators(":", ".");
    EXPECT_EQ(track.FormatText(), "PCM 22.050 kHz, 8 Bit, Mono");
    SetLocaleSeparators(std::nullopt, std::nullopt);
    EXPECT_EQ(track.BitRate(), 176);
    EXPECT_EQ(track.Duration(), 1000);

    // A bad edit takes everything back to "not valid".
    track.SetPosition(0);
    track.WriteBuffer("RIFX", 4);
    EXPECT_FALSE(track.IsValid());
    EXPECT_EQ(track.WaveFormat(), nullptr);
    EXPECT_EQ(track.DataSize(), 0u);
    EXPECT_EQ(track.DataOffset(), 0u);
    EXPECT_EQ(track.Duration(), 0);
}

TEST(CDTrack, DeclaredDataSizeIsReportedUnclipped)
{
    TCDTrack track;
    Load(track, Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", Samples(10), 1764000)})));
    EXPECT_EQ(track.DataSize(), 1764000u);
    EXPECT_EQ(track.AvailableDataSize(), 10u);
    EXPECT_EQ(track.Duration(), 10000);

    Load(track, Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", Samples(10), 0xFFFFFFFFu)})));
    EXPECT_EQ(track.DataSize(), 0xFFFFFFFFu);
    EXPECT_EQ(track.AvailableDataSize(), 10u);
    EXPECT_EQ(track.Duration(), 0);

    // Declared shorter than present (chunks after "data"): the declared size stands.
    Load(track, Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", Samples(10)),
                             Chunk("LIST", Samples(100))})));
    EXPECT_EQ(track.DataSize(), 10u);
    EXPECT_EQ(track.AvailableDataSize(), 10u);

    Load(track, Samples(100));
    EXPECT_EQ(track.AvailableDataSize(), 0u);
}

TEST(CDTrack, SetBlockSizeCountsWholeBlocks)
{
    const struct {
        std::uint32_t DataBytes;
        std::int32_t BlockSize;
        std::int32_t Blocks;
    } cases[] = {
        {2352 * 10 + 1, 2352, 10}, {4704, 2352, 2}, {4705, 2352, 2}, {2351, 2352, 0},
        {0, 2352, 0},              {2048 * 3, 2048, 3}, {7, 1, 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.DataBytes);
        TCDTrack track;
        Load(track, CdWave(Samples(c.DataBytes)));
        track.SetBlockSize(c.BlockSize);
        EXPECT_EQ(track.BlockSize(), c.BlockSize);
        EXPECT_EQ(track.BlockCount(), c.Blocks);
    }

    // A declared size of FFFFFFFFh gives a block count that still fits.
    TCDTrack huge;
    Load(huge, Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16)), Chunk("data", {}, 0xFFFFFFFFu)})));
    huge.SetBlockSize(2352);
    EXPECT_EQ(huge.BlockCount(), static_cast<std::int32_t>(0xFFFFFFFFu / 2352));
    huge.SetBlockSize(1);
    EXPECT_EQ(huge.BlockCount(), 0x7FFFFFFF);

    TCDTrack garbage;
    Load(garbage, Samples(9000));
    garbage.SetBlockSize(2352);
    EXPECT_EQ(garbage.BlockCount(), 0) << "a track that is not valid has no data";

    EXPECT_THROW(garbage.SetBlockSize(0), std::invalid_argument);
    EXPECT_THROW(garbage.SetBlockSize(-2352), std::invalid_argument);
}

// What the audio burn does with a track: block size, seek to the data, read block by block.
TEST(CDTrack, ReadsTheDataChunkAtItsOffset)
{
    const Bytes samples = Samples(2352 * 2 + 100, 9);
    TCDTrack track;
    Load(track, Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 18)), Chunk("data", samples),
                             Chunk("LIST", Samples(30))})));
    track.SetBlockSize(2352);
    ASSERT_EQ(track.BlockCount(), 2);
    track.Seek(track.DataOffset(), TSeekOrigin::soBeginning);
    Bytes read(track.DataSize());
    track.ReadBuffer(read.data(), read.size());
    EXPECT_EQ(read, samples);
}

TEST(CDTrack, LoadsAndSavesFiles)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const Bytes wave = CdWave(Samples(1000));
    WriteFile(dir / "in.wav", wave);

    TCDTrack track;
    track.LoadFromFile((dir / "in.wav").string());
    EXPECT_TRUE(track.IsValid());
    EXPECT_EQ(track.DataSize(), 1000u);
    track.SaveToFile((dir / "out.wav").string());
    EXPECT_EQ(ReadFile(dir / "out.wav"), wave);

    EXPECT_THROW(track.LoadFromFile((dir / "missing.wav").string()), EStreamError);
    EXPECT_THROW(track.LoadFromFile(dir.Path().string()), EStreamError);
    EXPECT_TRUE(track.IsValid()) << "a failed load leaves the content as it was";
}

TEST(CDTrack, ALinkedTrackReadsItsFileAsALoadedOneWouldHoldIt)
{
    ScratchDir dir;
    ASSERT_FALSE(dir.Path().empty());
    // More samples than one read-ahead holds, so reads cross its refills.
    const Bytes wave = CdWave(Samples(1024 * 1024 * 2 + 3000, 5));
    WriteFile(dir / "in.wav", wave);

    TCDTrack loaded, linked;
    loaded.LoadFromFile((dir / "in.wav").string());
    ChangeCounter changes;
    changes.Attach(linked);
    linked.LinkToFile((dir / "in.wav").string());
    EXPECT_EQ(changes.Calls, 1);
    EXPECT_TRUE(linked.Linked());
    EXPECT_EQ(linked.Capacity(), 0) << "no copy of the samples in memory";
    ASSERT_TRUE(linked.IsValid());
    EXPECT_EQ(linked.Size(), loaded.Size());
    EXPECT_EQ(linked.DataOffset(), loaded.DataOffset());
    EXPECT_EQ(linked.AvailableDataSize(), loaded.AvailableDataSize());

    // Reads of every size from several places, each compared with the loaded copy.
    struct Step {
        std::int64_t at;
        TSeekOrigin origin;
        std::size_t count;
    };
    const Step steps[] = {
        {0, TSeekOrigin::soBeginning, 44},          {0, TSeekOrigin::soCurrent, 2352},
        {1024 * 1024 - 10, TSeekOrigin::soBeginning, 2352}, {-7, TSeekOrigin::soEnd, 100},
        {5, TSeekOrigin::soBeginning, 1024 * 1024 * 2 + 100}, {-3000, TSeekOrigin::soCurrent, 10},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.at);
        ASSERT_EQ(linked.Seek(step.at, step.origin), loaded.Seek(step.at, step.origin));
        Bytes a(step.count), b(step.count);
        const std::size_t got = linked.Read(a.data(), a.size());
        ASSERT_EQ(got, loaded.Read(b.data(), b.size()));
        EXPECT_TRUE(a == b);
    }
    EXPECT_THROW(linked.Seek(-1, TSeekOrigin::soBeginning), EStreamError);

    // Another entry takes the link, not a copy.
    TCDTrackList list(nullptr);
    TCDTrackItem& source = list.Add();
    source.CDTrack()->LinkToFile((dir / "in.wav").string());
    TCDTrackItem& copy = list.Add();
    copy.Assign(&source);
    EXPECT_TRUE(copy.CDTrack()->Linked());
    EXPECT_EQ(copy.CDTrack()->Size(), loaded.Size());

    // A write reads the file in first; the bytes around it stay.
    linked.Seek(100, TSeekOrigin::soBeginning);
    linked.WriteBuffer("XY", 2);
    EXPECT_FALSE(linked.Linked());
    ASSERT_EQ(linked.Size(), loaded.Size());
    Bytes expected = wave;
    expected[100] = 'X';
    expected[101] = 'Y';
    EXPECT_TRUE(Bytes(linked.Memory(), linked.Memory() + linked.Size()) == expected);

    // Not a regular file: refused, the track as it was.
    EXPECT_THROW(linked.LinkToFile(dir.Path().string()), EStreamError);
    EXPECT_THROW(linked.LinkToFile((dir / "missing.wav").string()), EStreamError);
    EXPECT_FALSE(linked.Linked());
    EXPECT_EQ(linked.Size(), loaded.Size());
    // Loading other content drops the link.
    copy.CDTrack()->LoadFromMemory("abc", 3);
    EXPECT_FALSE(copy.CDTrack()->Linked());
    EXPECT_EQ(copy.CDTrack()->Size(), 3);
}

TEST(MemoryStream, GapsAndRegrownSpaceReadAsZeros)
{
    TMemoryStream m;
    m.WriteBuffer("abcdefgh", 8);
    m.SetSize(2);
    m.Seek(6, TSeekOrigin::soBeginning);
    m.WriteBuffer("Z", 1);
    ASSERT_EQ(m.Size(), 7);
    EXPECT_EQ(Bytes(m.Memory(), m.Memory() + 7), (Bytes{'a', 'b', 0, 0, 0, 0, 'Z'}));
    m.SetSize(1);
    m.SetSize(4);
    EXPECT_EQ(Bytes(m.Memory(), m.Memory() + 4), (Bytes{'a', 0, 0, 0}));

    EXPECT_THROW(m.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
    EXPECT_THROW(m.SetSize(-1), EStreamError);
    m.Seek(100, TSeekOrigin::soBeginning);
    std::uint8_t byte = 0;
    EXPECT_EQ(m.Read(&byte, 1), 0u);
    EXPECT_THROW(m.ReadBuffer(&byte, 1), EReadError);
}

}  // namespace
