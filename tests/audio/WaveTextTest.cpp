// Format texts, bit rate, play time, MulDiv rounding and the millisecond layouts.
#include <gtest/gtest.h>

#include <climits>
#include <clocale>

#include "audio/WaveUtils.h"

namespace {

// Separators are process-wide: every test sets what it needs and puts the locale back.
class Separators {
public:
    Separators(const char* Time, const char* Decimal) { SetLocaleSeparators(Time, Decimal); }
    ~Separators() { SetLocaleSeparators(std::nullopt, std::nullopt); }
};

TWaveFormatEx Format(std::uint16_t Tag, std::uint16_t Channels, std::uint32_t Rate, std::uint16_t Bits,
                     std::uint32_t AvgBytes = 0)
{
    TWaveFormatEx f;
    f.SetFormatTag(Tag);
    f.SetChannels(Channels);
    f.SetSamplesPerSec(Rate);
    f.SetBitsPerSample(Bits);
    f.SetAvgBytesPerSec(AvgBytes);
    return f;
}

TEST(WaveFormatText, Layouts)
{
    const Separators sep(":", ".");
    struct {
        TWaveFormatEx F;
        const char* Text;
    } const cases[] = {
        {Format(1, 2, 44100, 16), "PCM 44.100 kHz, 16 Bit, Stereo"},
        {Format(1, 1, 22050, 8), "PCM 22.050 kHz, 8 Bit, Mono"},
        {Format(0xFFFE, 6, 48000, 24), "48.000 kHz, 24 Bit, 6 Ch"},
        {Format(1, 0, 8000, 8), "PCM 8.000 kHz, 8 Bit, 0 Ch"},
        {Format(2, 2, 11025, 4), "11.025 kHz, 4 Bit, Stereo"},
        {Format(1, 65535, 0xFFFFFFFFu, 65535), "PCM 4294967.295 kHz, 65535 Bit, 65535 Ch"},
        {Format(1, 1, 1, 16), "PCM 0.001 kHz, 16 Bit, Mono"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaveFormatText(c.F), c.Text);
}

TEST(WaveFormatText, UsesTheLocaleDecimalSeparator)
{
    const Separators sep(".", ",");
    EXPECT_EQ(WaveFormatText(Format(1, 2, 44100, 16)), "PCM 44,100 kHz, 16 Bit, Stereo");
}

TEST(WaveBitRate, RoundsTheNominalRate)
{
    struct {
        TWaveFormatEx F;
        int Kbps;
    } const cases[] = {
        {Format(1, 2, 44100, 16), 1411},         // 1411.2
        {Format(1, 1, 22050, 8), 176},           // 176.4
        {Format(1, 2, 22050, 8), 353},           // 352.8
        {Format(1, 1, 44100, 24), 1058},         // 1058.4
        {Format(1, 1, 500, 1), 1},               // 0.5 rounds up
        {Format(1, 1, 499, 1), 0},
        {Format(1, 0, 44100, 16), 0},
        // Forged fields: the product exceeds 32 bits but not the 64-bit intermediate.
        {Format(1, 65535, 0xFFFFFFFFu, 65535), -1},
        {Format(1, 65535, 1000000, 32), 2097120000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaveBitRate(c.F), c.Kbps);
}

TEST(WaveDuration, FromTheAverageByteRate)
{
    struct {
        std::uint32_t Avg;
        std::int32_t Bytes;
        int Ms;
    } const cases[] = {
        {176400, 176400, 1000},
        {176400, 36232560, 205400},
        {176400, 0, 0},
        {0, 176400, 0},              // no division by zero
        {176400, -1, 0},             // a "data" size of FFFFFFFFh
        {2000, 1, 1},                // 0.5 ms, half away from zero
        {2000, -1, -1},
        {3, 1, 333},
        {3, 2, 667},
        {1, INT_MAX, -1},            // does not fit 32 bits
        {0x80000000u, INT_MAX, 1000},   // a rate above 2^31 stays positive
    };
    for (const auto& c : cases)
        EXPECT_EQ(WaveDuration(Format(1, 2, 44100, 16, c.Avg), c.Bytes), c.Ms)
            << c.Bytes << " bytes at " << c.Avg << " bytes/s";
}

TEST(MulDiv, RoundsHalvesAwayFromZero)
{
    struct {
        int A, B, C, R;
    } const cases[] = {
        {3, 1, 2, 2},    {-3, 1, 2, -2},  {3, -1, 2, -2},  {-3, -1, 2, 2},   {5, 1, -2, -3},
        {-5, 1, -2, 3},  {7, 1, 3, 2},    {8, 1, 3, 3},    {-8, 1, 3, -3},   {0, 5, 7, 0},
        {1, 1, 0, -1},   {0, 0, 0, -1},
        {INT_MAX, INT_MAX, INT_MAX, INT_MAX},
        {INT_MAX, 2, 1, -1},                   // overflow
        {INT_MIN, 1, 1, -1},                   // outside +-(2^31 - 1)
        {INT_MIN, -1, 1, -1},
        {INT_MIN, INT_MIN, INT_MIN, -1},
        {-INT_MAX, 1, 1, -INT_MAX},
        {1000, 44100, 1000, 44100},
        {65536, 65536, 65536, 65536},           // 2^32 intermediate
    };
    for (const auto& c : cases)
        EXPECT_EQ(MulDiv(c.A, c.B, c.C), c.R) << c.A << " * " << c.B << " / " << c.C;
}

struct TMsCase {
    std::uint32_t Ms;
    int Layout;
    const char* Text;
};

TEST(MillisecondsToText, AllLayouts)
{
    const Separators sep(":", ".");
    const TMsCase cases[] = {
        {205400, tfAutoh, "3:25.40"},
        {45120, tfAutoh, "45.12"},
        {3723000, tfAutoh, "1:02:03.00"},
        {3723000, tfAuto, "1:02:03"},
        {59999, tfAuto, "59"},
        {0, tfAutoh, "0.00"},
        {0, tfAuto, "0"},
        {60000, tfAutoh, "1:00.00"},
        {60000, tfAuto, "1:00"},
        {3599999, tfAuto, "59:59"},
        {3600000, tfAuto, "1:00:00"},
        {3723456, tfHMSh, "1:02:03.45"},
        {3723456, tfHMS, "1:02:03"},
        {3723456, tfMSh, "62:03.45"},
        {3723456, tfMS, "62:03"},
        {3723456, tfSh, "3723.45"},
        {3723456, tfS, "3723"},
        {5, tfHMSh, "0:00:00.00"},
        {9, tfSh, "0.00"},
        {10, tfSh, "0.01"},
        {4294967295u, tfAutoh, "1193:02:47.29"},
        {4294967295u, tfHMS, "1193:02:47"},
        {123456, 8, "123456"},
        {123456, 255, "123456"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MillisecondsToText(c.Ms, static_cast<TTimeTextFormat>(c.Layout)), c.Text)
            << c.Ms << " ms in layout " << c.Layout;
}

TEST(MillisecondsToText, UsesTheLocaleSeparators)
{
    const Separators sep(".", ",");
    const TMsCase cases[] = {
        {3723456, tfHMSh, "1.02.03,45"},
        {205400, tfAutoh, "3.25,40"},
        {45120, tfSh, "45,12"},
        {3723456, tfMS, "62.03"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MillisecondsToText(c.Ms, static_cast<TTimeTextFormat>(c.Layout)), c.Text);

    SetLocaleSeparators(" h ", "");
    EXPECT_EQ(MillisecondsToText(3723456, tfHMSh), "1 h 02 h 0345");
}

TEST(LocaleSeparators, ComeFromTheCLocaleUnlessOverridden)
{
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    SetLocaleSeparators(std::nullopt, std::nullopt);
    EXPECT_EQ(LocaleTimeSeparator(), ":");
    EXPECT_EQ(LocaleDecimalSeparator(), ".");
    {
        const Separators sep("h", ",");
        EXPECT_EQ(LocaleTimeSeparator(), "h");
        EXPECT_EQ(LocaleDecimalSeparator(), ",");
    }
    EXPECT_EQ(LocaleTimeSeparator(), ":");
}

TEST(LocaleSeparators, TimeSeparatorOfALayout)
{
    const struct {
        const char* Layout;
        const char* Sep;
    } cases[] = {
        {"%H:%M:%S", ":"}, {"%H.%M.%S", "."}, {"%T", ":"}, {"%r", ":"}, {"%I:%M:%S %p", ":"},
        {"%OH.%OM", "."},  {"%k h %M", " h "}, {"", ":"},   {"%p %l-%M", "-"}, {"%%H;%H;%M", ";"},
        {"%H%M", ":"},     {"%", ":"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimeSeparatorFromLayout(c.Layout), c.Sep) << c.Layout;
}

}  // namespace
