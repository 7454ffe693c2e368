// Time-format conversions against a table computed by another tool (tests/tools/
// timeformat_table.py: Python integers and IEEE doubles), over ordinary formats, a format
// whose two millisecond rules disagree (12-bit), formats that overflow 32 bits, and no format.
#include "frame/utils.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// One format and, for each conversion, its expected answers at the ten positions of kPositions;
// the Ex forms' answers are those of the plain forms unless given.
struct TimeRow {
    DWORD rate;
    WORD bits, channels, align;
    DWORD fromMs[10], fromSamples[10], toMs[10], toSamples[10];
    std::vector<DWORD> fromMsEx = {}, toMsEx = {};
};

const DWORD kPositions[10] = {0, 1, 3, 7, 999, 1000, 176400, 2147483647, 4294967295, 24347};

const TimeRow kRows[] = {
    {44100, 16, 2, 4,
     {0, 176, 529, 1234, 176223, 176400, 31116960, 858993282, 1717986742, 4294810},
     {0, 4, 12, 28, 3996, 4000, 705600, 4294967292, 4294967292, 97388},
     {0, 0, 0, 0, 5, 5, 1000, 12173943, 24347887, 138},
     {0, 0, 0, 1, 249, 250, 44100, 536870911, 1073741823, 6086}},
    {8000, 8, 1, 1,
     {0, 8, 24, 56, 7992, 8000, 1411200, 4294967288, 4294967288, 194776},
     {0, 1, 3, 7, 999, 1000, 176400, 2147483647, 4294967295, 24347},
     {0, 0, 0, 0, 124, 125, 22050, 268435455, 536870911, 3043},
     {0, 1, 3, 7, 999, 1000, 176400, 2147483647, 4294967295, 24347}},
    {22050, 8, 2, 2,
     {0, 44, 132, 308, 44055, 44100, 7779240, 214748320, 429496685, 1073702},
     {0, 2, 6, 14, 1998, 2000, 352800, 4294967294, 4294967294, 48694},
     {0, 0, 0, 0, 22, 22, 4000, 48695774, 97391548, 552},
     {0, 0, 1, 3, 499, 500, 88200, 1073741823, 2147483647, 12173}},
    {11025, 16, 1, 2,
     {0, 22, 66, 154, 22027, 22050, 3889620, 107374160, 214748342, 536851},
     {0, 2, 6, 14, 1998, 2000, 352800, 4294967294, 4294967294, 48694},
     {0, 0, 0, 0, 45, 45, 8000, 97391548, 194783097, 1104},
     {0, 0, 1, 3, 499, 500, 88200, 1073741823, 2147483647, 12173}},
    {48000, 16, 2, 4,
     {0, 192, 576, 1344, 191808, 192000, 33868800, 4294967104, 4294967104, 4674624},
     {0, 4, 12, 28, 3996, 4000, 705600, 4294967292, 4294967292, 97388},
     {0, 0, 0, 0, 5, 5, 918, 11184810, 22369621, 126},
     {0, 0, 0, 1, 249, 250, 44100, 536870911, 1073741823, 6086}},
    {96000, 16, 2, 4,
     {0, 384, 1152, 2688, 383616, 384000, 67737600, 4294966912, 4294966912, 9349248},
     {0, 4, 12, 28, 3996, 4000, 705600, 4294967292, 4294967292, 97388},
     {0, 0, 0, 0, 2, 2, 459, 5592405, 11184810, 63},
     {0, 0, 0, 1, 249, 250, 44100, 536870911, 1073741823, 6086}},
    {7, 16, 1, 2,
     {0, 0, 0, 0, 13, 14, 2469, 30064771, 60129542, 340},
     {0, 2, 6, 14, 1998, 2000, 352800, 4294967294, 4294967294, 48694},
     {0, 71, 214, 500, 71357, 71428, 12600000, 3067833711, 1840700198, 1739071},
     {0, 0, 1, 3, 499, 500, 88200, 1073741823, 2147483647, 12173}},
    {8000, 12, 1, 2,
     {0, 8, 24, 56, 7992, 8000, 1411200, 4294967288, 4294967288, 194776},
     {0, 1, 4, 10, 1498, 1500, 264600, 3221225470, 2147483646, 36520},
     {0, 0, 0, 0, 83, 83, 14700, 178956970, 357913941, 2028},
     {0, 0, 1, 3, 499, 500, 88200, 1073741823, 2147483647, 12173},
     {0, 12, 36, 84, 11988, 12000, 2116800, 4294967284, 4294967284, 292164}},
    {4294967295, 16, 2, 4,
     {0, 4294967, 12884901, 30064771, 4290672324, 4294967292, 1717986212, 2770253905, 1249835483, 1490353554},
     {0, 4, 12, 28, 3996, 4000, 705600, 4294967292, 4294967292, 97388},
     {0, 0, 0, 0, 0, 0, 0, 4000, 8000, 0},
     {0, 0, 0, 1, 249, 250, 44100, 536870911, 1073741823, 6086},
     {0, 17179869, 51539607, 120259084, 4277787422, 4294967292, 2576979672, 2516850832, 755914240, 1666447213}},
    {0, 0, 0, 0,
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
};

class TimeFormats : public testing::TestWithParam<TimeRow> {
protected:
    void SetUp() override { saved_ = playWaveFormatEx; }
    void TearDown() override { playWaveFormatEx = saved_; }
    WAVEFORMATEX saved_;
};

TEST_P(TimeFormats, MatchTheIndependentTable) {
    const TimeRow& r = GetParam();
    WAVEFORMATEX f{};
    f.wFormatTag = 1;
    f.nChannels = r.channels;
    f.nSamplesPerSec = r.rate;
    f.wBitsPerSample = r.bits;
    f.nBlockAlign = r.align;
    f.nAvgBytesPerSec = 12345;  // never used: the byte rate comes from the other fields
    playWaveFormatEx = f;
    for (std::size_t i = 0; i < 10; ++i) {
        const DWORD p = kPositions[i];
        const DWORD fromMsEx = r.fromMsEx.empty() ? r.fromMs[i] : r.fromMsEx[i];
        const DWORD toMsEx = r.toMsEx.empty() ? r.toMs[i] : r.toMsEx[i];
        SCOPED_TRACE(testing::Message() << "position " << p);
        EXPECT_EQ(ConvertFromTimeFormat(p, 0), r.fromMs[i]);
        EXPECT_EQ(ConvertFromTimeFormatEx(p, 0, &f), fromMsEx);
        EXPECT_EQ(ConvertFromTimeFormat(p, 1), r.fromSamples[i]);
        EXPECT_EQ(ConvertFromTimeFormatEx(p, 1, &f), r.fromSamples[i]);
        EXPECT_EQ(ConvertToTimeFormat(p, 0), r.toMs[i]);
        EXPECT_EQ(ConvertToTimeFormatEx(p, 0, &f), toMsEx);
        EXPECT_EQ(ConvertToTimeFormat(p, 1), r.toSamples[i]);
        EXPECT_EQ(ConvertToTimeFormatEx(p, 1, &f), r.toSamples[i]);
        // Bytes pass through unchanged; every unknown type means milliseconds.
        EXPECT_EQ(ConvertFromTimeFormat(p, 2), p);
        EXPECT_EQ(ConvertFromTimeFormatEx(p, 2, &f), p);
        EXPECT_EQ(ConvertToTimeFormat(p, 2), p);
        EXPECT_EQ(ConvertToTimeFormatEx(p, 2, &f), p);
        for (WORD type : {3, 7, 0xFFFF}) {
            EXPECT_EQ(ConvertFromTimeFormat(p, type), r.fromMs[i]);
            EXPECT_EQ(ConvertFromTimeFormatEx(p, type, &f), fromMsEx);
            EXPECT_EQ(ConvertToTimeFormat(p, type), r.toMs[i]);
            EXPECT_EQ(ConvertToTimeFormatEx(p, type, &f), toMsEx);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TimeFormats, testing::ValuesIn(kRows));

}  // namespace
