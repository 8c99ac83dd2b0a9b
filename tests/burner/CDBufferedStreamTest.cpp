#include <gtest/gtest.h>

#include <sys/stat.h>

#include <system_error>
#include <vector>

#include "TempDir.h"
#include "burner/CDBufferedStream.h"

namespace {

constexpr std::int32_t kAhead = TCDBufferedStream::ReadAheadSize;

TEST(CDBufferedStream, BlockCountAndAlignment)
{
    struct Case {
        std::uint64_t size;
        std::int32_t blockSize;
        std::int32_t count;
        bool aligned;
    };
    const Case cases[] = {
        {0, 2048, 0, true},
        {2049, 2048, 1, false},
        {2048 * 101, 2048, 101, true},
        {2048 * 100 + 1, 2048, 100, false},
        {2352 * 3, 2352, 3, true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = dir / "f.bin";
        WritePatternFile(path, c.size);
        TCDBufferedStream s(path);
        EXPECT_FALSE(s.BlockAligned());
        EXPECT_EQ(s.SetBlockSize(c.blockSize), c.aligned);
        EXPECT_EQ(s.BlockCount(), c.count);
        EXPECT_EQ(s.BlockAligned(), c.aligned);
        EXPECT_EQ(s.BlockSize(), c.blockSize);
    }
}

TEST(CDBufferedStream, EmptyFileReadsNothing)
{
    TempDir dir;
    WritePatternFile(dir / "empty", 0);
    TCDBufferedStream s(dir / "empty");
    std::uint8_t b[16];
    EXPECT_EQ(s.Read(b, sizeof b), 0);
    EXPECT_EQ(s.Seek(0, soFromCurrent), 0);
}

// Two full fills and a short third, read block by block: every byte arrives in order, the
// fills happen where they should (watched through FillPercent and the logical position).
TEST(CDBufferedStream, ThreeFillsBlockByBlock)
{
    TempDir dir;
    const std::uint64_t size = 2048000ull * 2 + 2048;
    WritePatternFile(dir / "img", size);
    TCDBufferedStream s(dir / "img");
    EXPECT_EQ(s.FillPercent(), 100);   // nothing read yet
    ASSERT_TRUE(s.SetBlockSize(2048));
    ASSERT_EQ(s.BlockCount(), 2001);

    std::vector<std::uint8_t> block(2048);
    for (int i = 0; i < 2001; ++i) {
        ASSERT_EQ(s.Read(block.data(), 2048), 2048) << i;
        ASSERT_EQ(block, PatternBytes(std::uint64_t(i) * 2048, 2048)) << i;
        ASSERT_EQ(s.Seek(0, soFromCurrent), std::int64_t(i + 1) * 2048);
        if (i == 999) {
            EXPECT_EQ(s.FillPercent(), 0) << "first fill used up";
        } else if (i == 1000) {
            EXPECT_EQ(s.FillPercent(), (kAhead - 2048) / 20480) << "second fill started";
        } else if (i == 2000) {
            EXPECT_EQ(s.FillPercent(), 99) << "short third fill still measured against the full buffer";
        }
    }
    EXPECT_EQ(s.Read(block.data(), 2048), 0);
}

TEST(CDBufferedStream, ReadAcrossARefill)
{
    TempDir dir;
    WritePatternFile(dir / "img", 2048000ull + 5000);
    TCDBufferedStream s(dir / "img");
    std::vector<std::uint8_t> big(kAhead - 1000);
    ASSERT_EQ(s.Read(big.data(), kAhead - 1000), kAhead - 1000);
    // 1000 bytes left in the buffer, 2000 more from the next fill.
    std::vector<std::uint8_t> part(3000);
    ASSERT_EQ(s.Read(part.data(), 3000), 3000);
    EXPECT_EQ(part, PatternBytes(kAhead - 1000, 3000));
    EXPECT_EQ(s.Seek(0, soFromCurrent), kAhead + 2000);
    // Asking past the end returns what is left.
    ASSERT_EQ(s.Read(part.data(), 3000), 3000);
    EXPECT_EQ(s.Read(part.data(), 3000), 0);
}

TEST(CDBufferedStream, FillPercentSteps)
{
    TempDir dir;
    WritePatternFile(dir / "img", 3 * 2048000ull);
    TCDBufferedStream s(dir / "img");
    std::vector<std::uint8_t> buf(kAhead);
    // Logical position to read up to, and the percent expected there.
    const struct {
        std::int64_t upTo;
        std::int32_t percent;
    } steps[] = {{1, 99},           {20480, 99},       {20481, 98},         {1024000, 50},
                 {kAhead - 20481, 1}, {kAhead - 20480, 1}, {kAhead - 20479, 0}, {kAhead, 0},
                 {kAhead + 1, 99}};
    std::int64_t pos = 0;
    for (const auto& st : steps) {
        const auto n = static_cast<std::int32_t>(st.upTo - pos);
        ASSERT_EQ(s.Read(buf.data(), n), n);
        pos = st.upTo;
        EXPECT_EQ(s.FillPercent(), st.percent) << "at " << pos;
    }
}

TEST(CDBufferedStream, PositionQueryAndSeeksDropTheReadAhead)
{
    TempDir dir;
    WritePatternFile(dir / "img", 3 * 2048000ull);
    TCDBufferedStream s(dir / "img");
    std::vector<std::uint8_t> b(4096);
    ASSERT_EQ(s.Read(b.data(), 4096), 4096);
    EXPECT_EQ(s.Seek(0, soFromCurrent), 4096);

    // A relative seek counts from what was handed out, not from where the file stands.
    EXPECT_EQ(s.Seek(100, soFromCurrent), 4196);
    ASSERT_EQ(s.Read(b.data(), 100), 100);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 100), PatternBytes(4196, 100));

    EXPECT_EQ(s.Seek(10, soFromBeginning), 10);
    ASSERT_EQ(s.Read(b.data(), 50), 50);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 50), PatternBytes(10, 50));

    EXPECT_EQ(s.Seek(-20, soFromEnd), 3 * 2048000 - 20);
    EXPECT_EQ(s.Read(b.data(), 4096), 20);
    EXPECT_EQ(std::vector<std::uint8_t>(b.begin(), b.begin() + 20), PatternBytes(3 * 2048000 - 20, 20));

    EXPECT_THROW(s.Seek(-1, soFromBeginning), std::invalid_argument);
}

TEST(CDBufferedStream, OpenAndReadErrorsRaise)
{
    TempDir dir;
    try {
        TCDBufferedStream s(dir / "missing.iso");
        FAIL() << "opened a missing file";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("missing.iso"), std::string::npos) << e.what();
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    // A folder would open for reading with every read failing, and a FIFO would block the open
    // for ever: both are refused at once, with the reason, never read as an empty image.
#ifdef _WIN32
    // Windows has no FIFOs in the file system.
    const std::pair<std::string, int> refused[] = {{dir.path().string(), EISDIR}};
#else
    ASSERT_EQ(::mkfifo((dir / "pipe.iso").c_str(), 0644), 0);
    const std::pair<std::string, int> refused[] = {{dir.path().string(), EISDIR}, {dir / "pipe.iso", EINVAL}};
#endif
    for (const auto& [path, code] : refused) {
        try {
            TCDBufferedStream s(path);
            ADD_FAILURE() << "opened " << path;
        } catch (const std::system_error& e) {
            EXPECT_NE(std::string(e.what()).find("not a regular file"), std::string::npos) << e.what();
            EXPECT_EQ(e.code().value(), code) << path;
        }
    }
}

}  // namespace
