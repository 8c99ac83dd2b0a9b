// The wave parse on files made by sox and on hand-built edge files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "WaveTestSupport.h"
#include "audio/WaveUtils.h"

using namespace wavetest;

namespace {

struct TParsed {
    bool Ok = false;
    std::unique_ptr<TWaveFormatEx> Format;
    std::uint32_t DataSize = 0;
    std::uint32_t DataOffset = 0;
};

TParsed Parse(const Bytes& File)
{
    TMemoryStream stream;
    Load(stream, File);
    TParsed p;
    p.Ok = ReadWaveInfo(stream, p.Format, p.DataSize, p.DataOffset);
    return p;
}

// Files sox writes ------------------------------------------------------------------------

struct TSoxCase {
    const char* Name;
    std::uint32_t Rate;
    int Channels;
    int Bits;
    const char* Encoding;   // sox -e
    const char* Seconds;
    std::uint16_t Tag;      // what sox puts in the header
    const char* Text;
    int Kbps;
};

const TSoxCase SoxCases[] = {
    {"cd", 44100, 2, 16, "signed-integer", "0.37", 1, "PCM 44.100 kHz, 16 Bit, Stereo", 1411},
    {"mono8_22k", 22050, 1, 8, "unsigned-integer", "0.5", 1, "PCM 22.050 kHz, 8 Bit, Mono", 176},
    {"stereo8_22k", 22050, 2, 8, "unsigned-integer", "0.25", 1, "PCM 22.050 kHz, 8 Bit, Stereo", 353},
    {"mono16_48k", 48000, 1, 16, "signed-integer", "0.3", 1, "PCM 48.000 kHz, 16 Bit, Mono", 768},
    // sox writes more than 16 bits or more than two channels as WAVE_FORMAT_EXTENSIBLE: a
    // 40-byte "fmt " chunk, tag FFFEh, and a "fact" chunk before "data".
    {"stereo24_48k", 48000, 2, 24, "signed-integer", "0.21", 0xFFFE, "48.000 kHz, 24 Bit, Stereo", 2304},
    {"mono24_44k", 44100, 1, 24, "signed-integer", "0.1", 0xFFFE, "44.100 kHz, 24 Bit, Mono", 1058},
    {"six16_44k", 44100, 6, 16, "signed-integer", "0.1", 0xFFFE, "44.100 kHz, 16 Bit, 6 Ch", 4234},
    // IEEE float: an 18-byte "fmt " chunk and a "fact" chunk.
    {"float32_44k", 44100, 1, 32, "floating-point", "0.2", 3, "44.100 kHz, 32 Bit, Mono", 1411},
};

class SoxWave : public ::testing::TestWithParam<TSoxCase> {
protected:
    void SetUp() override
    {
        if (!HaveSox())
            GTEST_FAIL() << "sox/soxi not installed (scripts/install-deps.sh installs them)";
        ASSERT_FALSE(Dir.Path().empty());
    }

    // Makes the wave and the same samples as raw bytes.
    void Make(const TSoxCase& c)
    {
        Wav = Dir / (std::string(c.Name) + ".wav");
        const auto raw = Dir / (std::string(c.Name) + ".raw");
        ASSERT_TRUE(RunTool({"sox", "-n", "-r", std::to_string(c.Rate), "-c", std::to_string(c.Channels), "-b",
                         std::to_string(c.Bits), "-e", c.Encoding, Wav.string(), "synth", c.Seconds, "sine",
                         "440", "vol", "0.5"}));
        ASSERT_TRUE(RunTool({"sox", Wav.string(), "-t", "raw", raw.string()}));
        File = ReadFile(Wav);
        RawSamples = ReadFile(raw);
        ASSERT_FALSE(File.empty());
        ASSERT_FALSE(RawSamples.empty());
    }

    std::int64_t Soxi(const char* Option)
    {
        const auto out = RunTool({"soxi", Option, Wav.string()});
        if (!out)
            throw std::runtime_error("soxi failed");
        return std::stoll(*out);
    }

    ScratchDir Dir;
    std::filesystem::path Wav;
    Bytes File;
    Bytes RawSamples;
};

TEST_P(SoxWave, ParsesAndAgreesWithSoxi)
{
    const TSoxCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Make(c));

    TMemoryStream stream;
    Load(stream, File);
    stream.SetPosition(5);
    std::unique_ptr<TWaveFormatEx> format;
    std::uint32_t size = 0, offset = 0;
    ASSERT_TRUE(ReadWaveInfo(stream, format, size, offset));
    EXPECT_EQ(stream.Position(), 5) << "the parse puts the source back where it was";
    ASSERT_NE(format, nullptr);

    EXPECT_EQ(format->FormatTag(), c.Tag);
    EXPECT_EQ(format->SamplesPerSec(), static_cast<std::uint32_t>(Soxi("-r")));
    EXPECT_EQ(format->Channels(), Soxi("-c"));
    EXPECT_EQ(format->BitsPerSample(), Soxi("-b"));
    EXPECT_EQ(format->Size(), c.Tag == 0xFFFE ? 40u : 18u);

    // The data chunk holds exactly the samples sox reports, and they are the bytes sox
    // writes when asked for raw output.
    EXPECT_EQ(size, static_cast<std::uint64_t>(Soxi("-s")) * c.Channels * (c.Bits / 8));
    ASSERT_EQ(size, RawSamples.size());
    ASSERT_LE(static_cast<std::uint64_t>(offset) + size, File.size());
    EXPECT_TRUE(std::equal(RawSamples.begin(), RawSamples.end(), File.begin() + offset));

    EXPECT_EQ(WaveFormatText(*format), c.Text);
    EXPECT_EQ(WaveBitRate(*format), c.Kbps);

    const auto seconds = RunTool({"soxi", "-D", Wav.string()});
    ASSERT_TRUE(seconds);
    EXPECT_NEAR(WaveDuration(*format, static_cast<std::int32_t>(size)), std::stod(*seconds) * 1000.0, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, SoxWave, ::testing::ValuesIn(SoxCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// sox (14.4) writes no comments into wave files, so the LIST chunks are spliced in: one
// between "fmt " and "data" (odd-sized, padded), one before "fmt ". soxi reading the result
// shows the file stays a wave other tools accept.
TEST_P(SoxWave, SkipsListChunksSplicedIntoSoxFile)
{
    const TSoxCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(Make(c));
    const TParsed plain = Parse(File);
    ASSERT_TRUE(plain.Ok);

    const Bytes list = Chunk("LIST", Concat({Bytes{'I', 'N', 'F', 'O'}, Chunk("ICMT", Bytes{'x', 'y', 'z', 0, 'q'})}));
    ASSERT_EQ(list.size() % 2, 0u);
    // Header, the fmt chunk where sox put it (right after "WAVE"), the LIST chunk, the rest.
    ASSERT_EQ(GetLE32(File, 12), GetLE32(Bytes{'f', 'm', 't', ' '}, 0));
    const std::size_t fmtEnd = 12 + 8 + GetLE32(File, 16);
    Bytes spliced(File.begin(), File.begin() + 12);
    spliced.insert(spliced.end(), list.begin(), list.end());
    spliced.insert(spliced.end(), File.begin() + 12, File.begin() + fmtEnd);
    spliced.insert(spliced.end(), list.begin(), list.end());
    spliced.insert(spliced.end(), File.begin() + fmtEnd, File.end());
    const auto newRiffSize = static_cast<std::uint32_t>(GetLE32(File, 4) + 2 * list.size());
    for (int i = 0; i < 4; ++i)
        spliced[4 + i] = static_cast<std::uint8_t>(newRiffSize >> (8 * i));
    Wav = Dir / "spliced.wav";
    WriteFile(Wav, spliced);

    const TParsed p = Parse(spliced);
    ASSERT_TRUE(p.Ok);
    EXPECT_EQ(p.DataSize, plain.DataSize);
    EXPECT_EQ(p.DataOffset, plain.DataOffset + 2 * list.size());
    EXPECT_EQ(Soxi("-s") * c.Channels * (c.Bits / 8), p.DataSize);
}

// Hand-built files -------------------------------------------------------------------------

struct TEdgeCase {
    const char* Name;
    Bytes File;
    bool Ok;
    std::uint32_t DataSize = 0;
    std::uint32_t DataOffset = 0;
    std::size_t RecordSize = 0;
};

std::vector<TEdgeCase> EdgeCases()
{
    const Bytes fmt16 = Chunk("fmt ", FmtBody(1, 2, 44100, 16));   // 24 bytes with header
    const Bytes data10 = Chunk("data", Samples(10));
    const Bytes list5 = Chunk("LIST", Bytes{'I', 'N', 'F', 'O', 'x'});   // odd, padded: 14 bytes
    return {
        {"plain", CdWave(Samples(10)), true, 10, 12 + 24 + 8, 18},
        {"fmt13", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 13)), data10})), false},
        {"fmt14", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 14)), data10})), true, 10, 12 + 22 + 8, 18},
        {"fmt18", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 18)), data10})), true, 10, 12 + 26 + 8, 18},
        {"fmt40", Riff(Concat({Chunk("fmt ", FmtBody(0xFFFE, 2, 48000, 24, 40)), data10})), true, 10, 12 + 48 + 8, 40},
        {"fmt19_padded", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 19)), data10})), true, 10, 12 + 28 + 8, 19},
        {"fmt19_unpadded", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 19), {}, false), data10})), true, 10,
         12 + 27 + 8, 19},
        {"list_between", Riff(Concat({fmt16, list5, data10})), true, 10, 12 + 24 + 14 + 8, 18},
        {"list_before_fmt", Riff(Concat({list5, fmt16, data10})), true, 10, 12 + 14 + 24 + 8, 18},
        {"data_before_fmt", Riff(Concat({data10, fmt16})), false},
        {"data_before_and_after_fmt", Riff(Concat({Chunk("data", Samples(4)), fmt16, data10})), true, 10,
         12 + 12 + 24 + 8, 18},
        {"no_fmt", Riff(data10), false},
        {"no_data", Riff(fmt16), false},
        {"data_past_end", Riff(Concat({fmt16, Chunk("data", Samples(10), 100000)})), true, 100000, 44, 18},
        {"data_size_minus_1", Riff(Concat({fmt16, Chunk("data", Samples(10), 0xFFFFFFFFu)})), true, 0xFFFFFFFFu, 44, 18},
        {"empty_data", Riff(Concat({fmt16, Chunk("data", {})})), true, 0, 44, 18},
        {"fmt_size_minus_1", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16), 0xFFFFFFFFu), data10})), false},
        {"fmt_size_past_end", Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16), 1000), data10})), false},
        // A chunk whose size would wrap 32-bit position arithmetic back to "data".
        {"skip_size_wraps", Riff(Concat({fmt16, Chunk("JUNK", {}, 0xFFFFFFF8u), data10})), false},
        {"riff_size_minus_1", Riff(Concat({fmt16, data10}), "WAVE", 0xFFFFFFFFu), true, 10, 44, 18},
        // The form ends before "data": chunks outside it are not looked at.
        {"riff_size_short", Riff(Concat({fmt16, data10}), "WAVE", 4 + 24), false},
        {"riff_size_tiny", Riff(Concat({fmt16, data10}), "WAVE", 2), false},
        {"not_wave_form", Riff(Concat({fmt16, data10}), "AVI "), false},
        {"second_form_is_wave", Concat({Riff(Concat({fmt16, data10}), "AVI "), CdWave(Samples(6))}), true, 6,
         54 + 44, 18},
        {"chunk_before_riff", Concat({Chunk("JUNK", Samples(3)), CdWave(Samples(6))}), true, 6, 12 + 44, 18},
        {"rifx_big_endian", [] { auto f = CdWave(Samples(10)); f[3] = 'X'; return f; }(), false},
        {"garbage", Samples(300, 0x52), false},
        {"header_only", Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'}, false},
        {"truncated_in_data_header", [] { auto f = CdWave(Samples(10)); f.resize(40); return f; }(), false},
        {"truncated_in_fmt_body", [] { auto f = CdWave(Samples(10)); f.resize(30); return f; }(), false},
    };
}

TEST(ReadWaveInfo, HandBuiltFiles)
{
    for (const auto& c : EdgeCases()) {
        SCOPED_TRACE(c.Name);
        const TParsed p = Parse(c.File);
        ASSERT_EQ(p.Ok, c.Ok);
        if (!c.Ok) {
            EXPECT_EQ(p.Format, nullptr);
            continue;
        }
        EXPECT_EQ(p.DataSize, c.DataSize);
        EXPECT_EQ(p.DataOffset, c.DataOffset);
        ASSERT_NE(p.Format, nullptr);
        EXPECT_EQ(p.Format->Size(), std::max<std::size_t>(c.RecordSize, 18));
    }
}

TEST(ReadWaveInfo, ShortFmtChunkLeavesMissingFieldsZero)
{
    Bytes body = FmtBody(1, 2, 44100, 16, 14);
    const TParsed p = Parse(Riff(Concat({Chunk("fmt ", body), Chunk("data", Samples(4))})));
    ASSERT_TRUE(p.Ok);
    EXPECT_EQ(p.Format->BitsPerSample(), 0);
    EXPECT_EQ(p.Format->ExtraSize(), 0);
    EXPECT_EQ(p.Format->SamplesPerSec(), 44100u);
    SetLocaleSeparators(":", ".");
    EXPECT_EQ(WaveFormatText(*p.Format), "PCM 44.100 kHz, 0 Bit, Stereo");
    SetLocaleSeparators(std::nullopt, std::nullopt);
}

TEST(ReadWaveInfo, LongFmtChunkIsKeptWhole)
{
    const Bytes body = FmtBody(0xFFFE, 6, 48000, 24, 40);
    const TParsed p = Parse(Riff(Concat({Chunk("fmt ", body), Chunk("data", Samples(4))})));
    ASSERT_TRUE(p.Ok);
    ASSERT_EQ(p.Format->Size(), 40u);
    EXPECT_TRUE(std::equal(body.begin(), body.end(), p.Format->Data()));
    EXPECT_EQ(WaveFormatText(*p.Format), "48.000 kHz, 24 Bit, 6 Ch");
}

// Every prefix of a valid file: never a crash or a read out of bounds (ASan watches), and a
// success exactly when the "data" header is complete.
TEST(ReadWaveInfo, EveryTruncationOfAValidFile)
{
    const Bytes full = Riff(Concat({Chunk("fmt ", FmtBody(1, 2, 44100, 16, 18)),
                                    Chunk("LIST", Bytes{'I', 'N', 'F', 'O', 'x'}), Chunk("data", Samples(20))}));
    const std::size_t dataOffset = 12 + 26 + 14 + 8;
    for (std::size_t n = 0; n <= full.size(); ++n) {
        SCOPED_TRACE(n);
        const TParsed p = Parse(Bytes(full.begin(), full.begin() + n));
        EXPECT_EQ(p.Ok, n >= dataOffset);
        if (p.Ok) {
            EXPECT_EQ(p.DataSize, 20u) << "the declared size, even when the bytes are cut short";
        }
    }
}

// A source that counts its calls and can fail on demand.
class TProbeStream : public TMemoryStream {
public:
    enum class TFail { None, Read, Seek };
    TFail Fail = TFail::None;
    int Reads = 0;

    std::size_t Read(void* Buffer, std::size_t Count) override
    {
        ++Reads;
        if (Fail == TFail::Read)
            throw std::runtime_error("device gone");
        return TMemoryStream::Read(Buffer, Count);
    }
    std::int64_t Seek(std::int64_t Offset, TSeekOrigin Origin) override
    {
        if (Fail == TFail::Seek && !(Offset == 0 && Origin != TSeekOrigin::soBeginning))
            throw std::runtime_error("seek failed");
        return TMemoryStream::Seek(Offset, Origin);
    }
};

TEST(ReadWaveInfo, EmptySourceFailsWithoutReading)
{
    TProbeStream probe;
    std::unique_ptr<TWaveFormatEx> format;
    std::uint32_t size = 7, offset = 7;
    EXPECT_FALSE(ReadWaveInfo(probe, format, size, offset));
    EXPECT_EQ(probe.Reads, 0);
    EXPECT_EQ(format, nullptr);
}

TEST(ReadWaveInfo, FailingSourceEndsTheParseWithoutRaising)
{
    for (auto fail : {TProbeStream::TFail::Read, TProbeStream::TFail::Seek}) {
        TProbeStream probe;
        Load(probe, CdWave(Samples(10)));
        probe.Fail = fail;
        std::unique_ptr<TWaveFormatEx> format;
        std::uint32_t size = 0, offset = 0;
        bool ok = true;
        EXPECT_NO_THROW(ok = ReadWaveInfo(probe, format, size, offset));
        EXPECT_FALSE(ok);
        EXPECT_EQ(format, nullptr);
    }
}

}  // namespace
