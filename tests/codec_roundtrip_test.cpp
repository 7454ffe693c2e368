// Every codec through the compression manager, in both worlds: encode a test signal and decode
// it again (quality as SNR), PCM conversions sample by sample against values worked out by
// hand, and damaged input (short blocks, block align 0, bad coefficient tables) that must give
// a result code or a short output, never a crash.
#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace acmtest;

namespace {

struct RoundTrip {
    const char* what;
    WORD tag;
    WORD channels;
    DWORD rate;
    double minSnrDb;
};

}  // namespace

TEST(CodecRoundTrip, EncodeThenDecodeKeepsTheSignal) {
    const RoundTrip cases[] = {
        {"IMA ADPCM mono 8 kHz", WAVE_FORMAT_IMA_ADPCM, 1, 8000, 20.0},
        {"IMA ADPCM stereo 44.1 kHz", WAVE_FORMAT_IMA_ADPCM, 2, 44100, 25.0},
        {"MS ADPCM mono 22.05 kHz", WAVE_FORMAT_ADPCM, 1, 22050, 20.0},
        {"MS ADPCM stereo 44.1 kHz", WAVE_FORMAT_ADPCM, 2, 44100, 20.0},
        {"A-law stereo 8 kHz", WAVE_FORMAT_ALAW, 2, 8000, 30.0},
        {"mu-law mono 8 kHz", WAVE_FORMAT_MULAW, 1, 8000, 30.0},
    };
    for (const RoundTrip& c : cases) {
        if (c.tag == WAVE_FORMAT_ADPCM && !kMsAdpcmEncoderPresent) {
            std::printf("[ skipped  ] %s: the platform's MS ADPCM converter decodes only\n", c.what);
            continue;
        }
        const Format pcm = Pcm(c.channels, c.rate, 16);
        MMRESULT res = 0;
        const Format coded = Suggest(nullptr, pcm, c.tag, &res);
        ASSERT_EQ(MMSYSERR_NOERROR, res) << c.what;
        const Bytes in = Signal16(c.channels, c.rate, c.rate * 3 / 2);
        Bytes packed, back;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, pcm, coded, in, &packed)) << c.what;
        ASSERT_FALSE(packed.empty()) << c.what;
        EXPECT_EQ(0u, packed.size() % coded.wfx()->nBlockAlign) << c.what;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, coded, pcm, packed, &back)) << c.what;
        // Whole blocks come back; a short last block is either padded or dropped.
        const std::size_t blockPcm = back.size() / (packed.size() / coded.wfx()->nBlockAlign);
        EXPECT_LE(in.size() > blockPcm ? in.size() - blockPcm : 0, back.size()) << c.what;
        EXPECT_LE(back.size(), in.size() + blockPcm) << c.what;
        const double snr = SnrDb(Samples16(in), Samples16(back));
        EXPECT_GE(snr, c.minSnrDb) << c.what;
        std::printf("[ snr      ] %-28s round trip %.1f dB\n", c.what, snr);
    }
}

TEST(CodecRoundTrip, PcmConverterChangesWidthChannelsAndRate) {
    // Frames of stereo 16-bit: (1000, -3000), (-32768, 32767), (256, 255).
    const Bytes stereo16 = {0xE8, 0x03, 0x48, 0xF4, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x01, 0xFF, 0x00};
    struct Case {
        const char* what;
        Format src, dst;
        Bytes in, expected;
    };
    const Case cases[] = {
        // Stereo to mono adds the channels and clamps.
        {"stereo to mono", Pcm(2, 8000, 16), Pcm(1, 8000, 16), stereo16, {0x30, 0xF8, 0xFF, 0xFF, 0xFF, 0x01}},
        // 16 to 8 bits keeps the high byte, offset to unsigned.
        {"16 to 8 bits", Pcm(2, 8000, 16), Pcm(2, 8000, 8), stereo16, {0x83, 0x74, 0x00, 0xFF, 0x81, 0x80}},
        // 8 to 16 bits and mono to stereo: (b - 128) << 8 on both channels.
        {"8-bit mono to 16-bit stereo", Pcm(1, 8000, 8), Pcm(2, 8000, 16), {0x00, 0x80, 0xFF},
         {0x00, 0x80, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x00, 0x7F}},
        // Doubling the rate repeats each frame.
        {"8 to 16 kHz", Pcm(1, 8000, 8), Pcm(1, 16000, 8), {10, 20, 30}, {10, 10, 20, 20, 30, 30}},
        // Halving it keeps every other frame, starting with the second.
        {"16 to 8 kHz", Pcm(1, 16000, 8), Pcm(1, 8000, 8), {10, 20, 30, 40, 50, 60}, {20, 40, 60}},
    };
    for (const Case& c : cases) {
        Bytes out;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(FindDriverFor(WAVE_FORMAT_PCM) ? nullptr : nullptr, c.src, c.dst, c.in,
                                               &out))
            << c.what;
        EXPECT_EQ(c.expected, out) << c.what;
    }
}

TEST(CodecRoundTrip, G711DecodesEveryCodeAsTheStandardSays) {
    // Values of ITU-T G.711 for a few codes of each law.
    struct Case {
        WORD tag;
        std::uint8_t code;
        std::int16_t value;
    };
    const Case cases[] = {
        {WAVE_FORMAT_ALAW, 0xD5, 8},      {WAVE_FORMAT_ALAW, 0x55, -8},      {WAVE_FORMAT_ALAW, 0xAA, 32256},
        {WAVE_FORMAT_ALAW, 0x2A, -32256}, {WAVE_FORMAT_ALAW, 0x80, 5504},    {WAVE_FORMAT_MULAW, 0xFF, 0},
        {WAVE_FORMAT_MULAW, 0x7F, 0},     {WAVE_FORMAT_MULAW, 0x80, 32124}, {WAVE_FORMAT_MULAW, 0x00, -32124},
        {WAVE_FORMAT_MULAW, 0xF0, 120},
    };
    for (const Case& c : cases) {
        Format law = Pcm(1, 8000, 8);
        law.wfx()->wFormatTag = c.tag;
        Bytes out;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, law, Pcm(1, 8000, 16), Bytes{c.code}, &out));
        ASSERT_EQ(2u, out.size());
        EXPECT_EQ(c.value, Samples16(out)[0]) << "tag " << c.tag << " code " << int(c.code);
    }
    // Every code decodes to a value that encodes back to a code of the same value.
    for (WORD tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
        Format law = Pcm(1, 8000, 8);
        law.wfx()->wFormatTag = tag;
        Bytes codes(256);
        for (int i = 0; i < 256; ++i) codes[i] = static_cast<std::uint8_t>(i);
        Bytes linear, again, linear2;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, law, Pcm(1, 8000, 16), codes, &linear));
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, Pcm(1, 8000, 16), law, linear, &again));
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, law, Pcm(1, 8000, 16), again, &linear2));
        EXPECT_EQ(linear, linear2) << "tag " << tag;
    }
}

TEST(CodecRoundTrip, DamagedFormatsAreRefusedAtOpening) {
    if (!kRefusesDamagedFormats)
        GTEST_SKIP() << "Wine's codecs open these formats (block align 0 would then divide by zero); ours refuse them";
    const Format pcm = Pcm(1, 22050, 16);
    MMRESULT res = 0;
    const Format ms = Suggest(nullptr, pcm, WAVE_FORMAT_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);
    const Format ima = Suggest(nullptr, pcm, WAVE_FORMAT_IMA_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);
    ASSERT_EQ(50u, ms.size());

    struct Case {
        const char* what;
        Format src;
    };
    std::vector<Case> cases;
    Format f = ima;
    f.wfx()->nBlockAlign = 0;
    cases.push_back({"IMA ADPCM with block align 0", f});
    f = ima;
    f.wfx()->nBlockAlign = 6;
    cases.push_back({"IMA ADPCM block shorter than its header and one word", f});
    f = ms;
    f.wfx()->nBlockAlign = 0;
    cases.push_back({"MS ADPCM with block align 0", f});
    f = ms;
    f.bytes[20] = 0;  // wNumCoef
    f.bytes[21] = 0;
    cases.push_back({"MS ADPCM with no coefficients", f});
    f = ms;
    f.bytes[20] = 0xFF;
    f.bytes[21] = 0xFF;
    cases.push_back({"MS ADPCM claiming 65535 coefficients", f});
    f = ms;
    f.wfx()->nChannels = 0;
    cases.push_back({"MS ADPCM with no channels", f});
    f = Pcm(1, 8000, 8);
    f.wfx()->wFormatTag = WAVE_FORMAT_ALAW;
    f.wfx()->nBlockAlign = 0;
    cases.push_back({"A-law with block align 0", f});
    for (Case& c : cases) {
        HACMSTREAM has = nullptr;
        EXPECT_NE(MMSYSERR_NOERROR,
                  acmStreamOpen(&has, nullptr, c.src.wfx(), const_cast<WAVEFORMATEX*>(pcm.wfx()), nullptr, 0, 0, 0))
            << c.what;
        if (has) acmStreamClose(has, 0);
    }
}

TEST(CodecRoundTrip, TruncatedAdpcmDataNeverReadsPastItsEnd) {
    // Whole blocks of noise are valid ADPCM; cut them anywhere and decode what is there.
    for (WORD tag : {WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM}) {
        const Format pcm = Pcm(2, 11025, 16);
        MMRESULT res = 0;
        const Format coded = Suggest(nullptr, pcm, tag, &res);
        ASSERT_EQ(MMSYSERR_NOERROR, res);
        const DWORD block = coded.wfx()->nBlockAlign;
        Bytes data(block * 3);
        std::uint32_t x = 99;
        for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 24);
        for (DWORD i = 0; i < 3; ++i) {
            data[i * block] = static_cast<std::uint8_t>(i);  // a valid predictor or step index
            data[i * block + 1] = static_cast<std::uint8_t>(i);
        }
        for (DWORD cut : std::vector<DWORD>{1u, 7u, 13u, block - 1, block + 5, 2 * block + block / 2}) {
            Bytes part(data.begin(), data.begin() + cut);
            Bytes out;
            EXPECT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, coded, pcm, part, &out)) << "tag " << tag << " cut " << cut;
            EXPECT_EQ(0u, out.size() % 4);
            EXPECT_LE(out.size(), (cut / block + 1) * (block * 4 + 16));  // 4-bit to 16-bit, one block more at most
        }
    }
}
