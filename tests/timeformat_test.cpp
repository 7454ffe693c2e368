// Time-format conversions against a table computed by another tool (tests/tools/
// timeformat_table.py: Python integers and IEEE doubles), over ordinary formats, a format
// whose two millisecond rules disagree (12-bit), formats that overflow 32 bits, and no format.
#include "frame/utils.h"

#include <gtest/gtest.h>

namespace {

struct TimeRow {
    DWORD rate;
    WORD bits, channels, align;
    DWORD position;
    DWORD fromMs, fromMsEx, fromSamples, toMs, toMsEx, toSamples;
};

const TimeRow kRows[] = {
    {44100u, 16, 2, 4, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {44100u, 16, 2, 4, 1u, 176u, 176u, 4u, 0u, 0u, 0u},
    {44100u, 16, 2, 4, 3u, 529u, 529u, 12u, 0u, 0u, 0u},
    {44100u, 16, 2, 4, 7u, 1234u, 1234u, 28u, 0u, 0u, 1u},
    {44100u, 16, 2, 4, 999u, 176223u, 176223u, 3996u, 5u, 5u, 249u},
    {44100u, 16, 2, 4, 1000u, 176400u, 176400u, 4000u, 5u, 5u, 250u},
    {44100u, 16, 2, 4, 176400u, 31116960u, 31116960u, 705600u, 1000u, 1000u, 44100u},
    {44100u, 16, 2, 4, 2147483647u, 858993282u, 858993282u, 4294967292u, 12173943u, 12173943u, 536870911u},
    {44100u, 16, 2, 4, 4294967295u, 1717986742u, 1717986742u, 4294967292u, 24347887u, 24347887u, 1073741823u},
    {44100u, 16, 2, 4, 24347u, 4294810u, 4294810u, 97388u, 138u, 138u, 6086u},
    {8000u, 8, 1, 1, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {8000u, 8, 1, 1, 1u, 8u, 8u, 1u, 0u, 0u, 1u},
    {8000u, 8, 1, 1, 3u, 24u, 24u, 3u, 0u, 0u, 3u},
    {8000u, 8, 1, 1, 7u, 56u, 56u, 7u, 0u, 0u, 7u},
    {8000u, 8, 1, 1, 999u, 7992u, 7992u, 999u, 124u, 124u, 999u},
    {8000u, 8, 1, 1, 1000u, 8000u, 8000u, 1000u, 125u, 125u, 1000u},
    {8000u, 8, 1, 1, 176400u, 1411200u, 1411200u, 176400u, 22050u, 22050u, 176400u},
    {8000u, 8, 1, 1, 2147483647u, 4294967288u, 4294967288u, 2147483647u, 268435455u, 268435455u, 2147483647u},
    {8000u, 8, 1, 1, 4294967295u, 4294967288u, 4294967288u, 4294967295u, 536870911u, 536870911u, 4294967295u},
    {8000u, 8, 1, 1, 24347u, 194776u, 194776u, 24347u, 3043u, 3043u, 24347u},
    {22050u, 8, 2, 2, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {22050u, 8, 2, 2, 1u, 44u, 44u, 2u, 0u, 0u, 0u},
    {22050u, 8, 2, 2, 3u, 132u, 132u, 6u, 0u, 0u, 1u},
    {22050u, 8, 2, 2, 7u, 308u, 308u, 14u, 0u, 0u, 3u},
    {22050u, 8, 2, 2, 999u, 44055u, 44055u, 1998u, 22u, 22u, 499u},
    {22050u, 8, 2, 2, 1000u, 44100u, 44100u, 2000u, 22u, 22u, 500u},
    {22050u, 8, 2, 2, 176400u, 7779240u, 7779240u, 352800u, 4000u, 4000u, 88200u},
    {22050u, 8, 2, 2, 2147483647u, 214748320u, 214748320u, 4294967294u, 48695774u, 48695774u, 1073741823u},
    {22050u, 8, 2, 2, 4294967295u, 429496685u, 429496685u, 4294967294u, 97391548u, 97391548u, 2147483647u},
    {22050u, 8, 2, 2, 24347u, 1073702u, 1073702u, 48694u, 552u, 552u, 12173u},
    {11025u, 16, 1, 2, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {11025u, 16, 1, 2, 1u, 22u, 22u, 2u, 0u, 0u, 0u},
    {11025u, 16, 1, 2, 3u, 66u, 66u, 6u, 0u, 0u, 1u},
    {11025u, 16, 1, 2, 7u, 154u, 154u, 14u, 0u, 0u, 3u},
    {11025u, 16, 1, 2, 999u, 22027u, 22027u, 1998u, 45u, 45u, 499u},
    {11025u, 16, 1, 2, 1000u, 22050u, 22050u, 2000u, 45u, 45u, 500u},
    {11025u, 16, 1, 2, 176400u, 3889620u, 3889620u, 352800u, 8000u, 8000u, 88200u},
    {11025u, 16, 1, 2, 2147483647u, 107374160u, 107374160u, 4294967294u, 97391548u, 97391548u, 1073741823u},
    {11025u, 16, 1, 2, 4294967295u, 214748342u, 214748342u, 4294967294u, 194783097u, 194783097u, 2147483647u},
    {11025u, 16, 1, 2, 24347u, 536851u, 536851u, 48694u, 1104u, 1104u, 12173u},
    {48000u, 16, 2, 4, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {48000u, 16, 2, 4, 1u, 192u, 192u, 4u, 0u, 0u, 0u},
    {48000u, 16, 2, 4, 3u, 576u, 576u, 12u, 0u, 0u, 0u},
    {48000u, 16, 2, 4, 7u, 1344u, 1344u, 28u, 0u, 0u, 1u},
    {48000u, 16, 2, 4, 999u, 191808u, 191808u, 3996u, 5u, 5u, 249u},
    {48000u, 16, 2, 4, 1000u, 192000u, 192000u, 4000u, 5u, 5u, 250u},
    {48000u, 16, 2, 4, 176400u, 33868800u, 33868800u, 705600u, 918u, 918u, 44100u},
    {48000u, 16, 2, 4, 2147483647u, 4294967104u, 4294967104u, 4294967292u, 11184810u, 11184810u, 536870911u},
    {48000u, 16, 2, 4, 4294967295u, 4294967104u, 4294967104u, 4294967292u, 22369621u, 22369621u, 1073741823u},
    {48000u, 16, 2, 4, 24347u, 4674624u, 4674624u, 97388u, 126u, 126u, 6086u},
    {96000u, 16, 2, 4, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {96000u, 16, 2, 4, 1u, 384u, 384u, 4u, 0u, 0u, 0u},
    {96000u, 16, 2, 4, 3u, 1152u, 1152u, 12u, 0u, 0u, 0u},
    {96000u, 16, 2, 4, 7u, 2688u, 2688u, 28u, 0u, 0u, 1u},
    {96000u, 16, 2, 4, 999u, 383616u, 383616u, 3996u, 2u, 2u, 249u},
    {96000u, 16, 2, 4, 1000u, 384000u, 384000u, 4000u, 2u, 2u, 250u},
    {96000u, 16, 2, 4, 176400u, 67737600u, 67737600u, 705600u, 459u, 459u, 44100u},
    {96000u, 16, 2, 4, 2147483647u, 4294966912u, 4294966912u, 4294967292u, 5592405u, 5592405u, 536870911u},
    {96000u, 16, 2, 4, 4294967295u, 4294966912u, 4294966912u, 4294967292u, 11184810u, 11184810u, 1073741823u},
    {96000u, 16, 2, 4, 24347u, 9349248u, 9349248u, 97388u, 63u, 63u, 6086u},
    {7u, 16, 1, 2, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {7u, 16, 1, 2, 1u, 0u, 0u, 2u, 71u, 71u, 0u},
    {7u, 16, 1, 2, 3u, 0u, 0u, 6u, 214u, 214u, 1u},
    {7u, 16, 1, 2, 7u, 0u, 0u, 14u, 500u, 500u, 3u},
    {7u, 16, 1, 2, 999u, 13u, 13u, 1998u, 71357u, 71357u, 499u},
    {7u, 16, 1, 2, 1000u, 14u, 14u, 2000u, 71428u, 71428u, 500u},
    {7u, 16, 1, 2, 176400u, 2469u, 2469u, 352800u, 12600000u, 12600000u, 88200u},
    {7u, 16, 1, 2, 2147483647u, 30064771u, 30064771u, 4294967294u, 3067833711u, 3067833711u, 1073741823u},
    {7u, 16, 1, 2, 4294967295u, 60129542u, 60129542u, 4294967294u, 1840700198u, 1840700198u, 2147483647u},
    {7u, 16, 1, 2, 24347u, 340u, 340u, 48694u, 1739071u, 1739071u, 12173u},
    {8000u, 12, 1, 2, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {8000u, 12, 1, 2, 1u, 8u, 12u, 1u, 0u, 0u, 0u},
    {8000u, 12, 1, 2, 3u, 24u, 36u, 4u, 0u, 0u, 1u},
    {8000u, 12, 1, 2, 7u, 56u, 84u, 10u, 0u, 0u, 3u},
    {8000u, 12, 1, 2, 999u, 7992u, 11988u, 1498u, 83u, 83u, 499u},
    {8000u, 12, 1, 2, 1000u, 8000u, 12000u, 1500u, 83u, 83u, 500u},
    {8000u, 12, 1, 2, 176400u, 1411200u, 2116800u, 264600u, 14700u, 14700u, 88200u},
    {8000u, 12, 1, 2, 2147483647u, 4294967288u, 4294967284u, 3221225470u, 178956970u, 178956970u, 1073741823u},
    {8000u, 12, 1, 2, 4294967295u, 4294967288u, 4294967284u, 2147483646u, 357913941u, 357913941u, 2147483647u},
    {8000u, 12, 1, 2, 24347u, 194776u, 292164u, 36520u, 2028u, 2028u, 12173u},
    {4294967295u, 16, 2, 4, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {4294967295u, 16, 2, 4, 1u, 4294967u, 17179869u, 4u, 0u, 0u, 0u},
    {4294967295u, 16, 2, 4, 3u, 12884901u, 51539607u, 12u, 0u, 0u, 0u},
    {4294967295u, 16, 2, 4, 7u, 30064771u, 120259084u, 28u, 0u, 0u, 1u},
    {4294967295u, 16, 2, 4, 999u, 4290672324u, 4277787422u, 3996u, 0u, 0u, 249u},
    {4294967295u, 16, 2, 4, 1000u, 4294967292u, 4294967292u, 4000u, 0u, 0u, 250u},
    {4294967295u, 16, 2, 4, 176400u, 1717986212u, 2576979672u, 705600u, 0u, 0u, 44100u},
    {4294967295u, 16, 2, 4, 2147483647u, 2770253905u, 2516850832u, 4294967292u, 4000u, 4000u, 536870911u},
    {4294967295u, 16, 2, 4, 4294967295u, 1249835483u, 755914240u, 4294967292u, 8000u, 8000u, 1073741823u},
    {4294967295u, 16, 2, 4, 24347u, 1490353554u, 1666447213u, 97388u, 0u, 0u, 6086u},
    {0u, 0, 0, 0, 0u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 1u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 3u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 7u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 999u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 1000u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 176400u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 2147483647u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 4294967295u, 0u, 0u, 0u, 0u, 0u, 0u},
    {0u, 0, 0, 0, 24347u, 0u, 0u, 0u, 0u, 0u, 0u},
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

    EXPECT_EQ(ConvertFromTimeFormat(r.position, 0), r.fromMs);
    EXPECT_EQ(ConvertFromTimeFormatEx(r.position, 0, &f), r.fromMsEx);
    EXPECT_EQ(ConvertFromTimeFormat(r.position, 1), r.fromSamples);
    EXPECT_EQ(ConvertFromTimeFormatEx(r.position, 1, &f), r.fromSamples);
    EXPECT_EQ(ConvertToTimeFormat(r.position, 0), r.toMs);
    EXPECT_EQ(ConvertToTimeFormatEx(r.position, 0, &f), r.toMsEx);
    EXPECT_EQ(ConvertToTimeFormat(r.position, 1), r.toSamples);
    EXPECT_EQ(ConvertToTimeFormatEx(r.position, 1, &f), r.toSamples);

    // Bytes pass through unchanged; every unknown type means milliseconds.
    for (WORD type : {2}) {
        EXPECT_EQ(ConvertFromTimeFormat(r.position, type), r.position);
        EXPECT_EQ(ConvertFromTimeFormatEx(r.position, type, &f), r.position);
        EXPECT_EQ(ConvertToTimeFormat(r.position, type), r.position);
        EXPECT_EQ(ConvertToTimeFormatEx(r.position, type, &f), r.position);
    }
    for (WORD type : {3, 7, 0xFFFF}) {
        EXPECT_EQ(ConvertFromTimeFormat(r.position, type), r.fromMs);
        EXPECT_EQ(ConvertFromTimeFormatEx(r.position, type, &f), r.fromMsEx);
        EXPECT_EQ(ConvertToTimeFormat(r.position, type), r.toMs);
        EXPECT_EQ(ConvertToTimeFormatEx(r.position, type, &f), r.toMsEx);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, TimeFormats, testing::ValuesIn(kRows));

}  // namespace
