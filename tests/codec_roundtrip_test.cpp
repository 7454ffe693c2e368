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

// ---- Known answers: fixed input, a fingerprint of the output ------------------------------
//
// The fingerprints (FNV-1a of the output bytes) are those of independent decoders: sox for
// IMA ADPCM, ffmpeg for MS ADPCM and G.711 decoding. Wine's codecs give the same ones, the
// G.711 encodings included. Natively the test also runs those tools on the same input, when
// they are installed, so a wrong constant cannot hide.

namespace {

struct KnownAnswer {
    const char* what;
    Format format;       // the coded format
    Bytes coded;         // coded input (decoding) or PCM input (encoding)
    bool encode;
    std::uint32_t fingerprint;
    std::size_t outBytes;
};

std::uint32_t Next(std::uint32_t& x) { return x = x * 1664525u + 1013904223u; }

// Blocks of valid-looking ADPCM: random nibbles behind headers with in-range fields.
Bytes ImaBlocks(WORD channels, WORD blockAlign, int blocks) {
    std::uint32_t x = 2024;
    Bytes b(static_cast<std::size_t>(blockAlign) * blocks);
    for (auto& v : b) v = static_cast<std::uint8_t>(Next(x) >> 24);
    for (int k = 0; k < blocks; ++k)
        for (WORD c = 0; c < channels; ++c) {
            std::uint8_t* h = &b[static_cast<std::size_t>(k) * blockAlign + 4 * c];
            h[1] = static_cast<std::uint8_t>(h[1] & 0x3F);  // a moderate first sample
            h[2] = static_cast<std::uint8_t>(Next(x) % 60);
            h[3] = 0;
        }
    return b;
}

// Nibbles of small magnitude (-4..4), so that the step size wanders but does not run away as
// it would on uniform noise (where decoders part ways once it overflows 32 bits).
Bytes MsAdpcmBlocks(WORD channels, WORD blockAlign, int blocks) {
    static const std::uint8_t kNibbles[9] = {0, 1, 2, 3, 4, 12, 13, 14, 15};
    std::uint32_t x = 77;
    Bytes b(static_cast<std::size_t>(blockAlign) * blocks);
    for (auto& v : b)
        v = static_cast<std::uint8_t>(kNibbles[(Next(x) >> 8) % 9] << 4 | kNibbles[(Next(x) >> 8) % 9]);
    for (int k = 0; k < blocks; ++k) {
        std::uint8_t* h = &b[static_cast<std::size_t>(k) * blockAlign];
        for (WORD c = 0; c < channels; ++c) {
            h[c] = static_cast<std::uint8_t>(Next(x) % 7);
            const int delta = 16 + static_cast<int>(Next(x) % 600);
            h[channels + 2 * c] = static_cast<std::uint8_t>(delta & 0xFF);
            h[channels + 2 * c + 1] = static_cast<std::uint8_t>(delta >> 8);
            h[3 * channels + 2 * c + 1] &= 0x1F;  // moderate header samples
            h[5 * channels + 2 * c + 1] &= 0x1F;
        }
    }
    return b;
}

Format Coded(WORD tag, WORD channels, DWORD rate) {
    MMRESULT res = 0;
    Format f = Suggest(nullptr, Pcm(channels, rate, 16), tag, &res);
    EXPECT_EQ(MMSYSERR_NOERROR, res);
    return f;
}

Format Law(WORD tag) {
    Format f = Pcm(1, 8000, 8);
    f.wfx()->wFormatTag = tag;
    return f;
}

Bytes AllSixteenBitValues() {
    Bytes in;
    for (int v = -32768; v <= 32767; ++v) {
        in.push_back(static_cast<std::uint8_t>(v & 0xFF));
        in.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
    }
    return in;
}

Bytes AllCodes() {
    Bytes b(256);
    for (int i = 0; i < 256; ++i) b[i] = static_cast<std::uint8_t>(i);
    return b;
}

// An MS ADPCM format with the standard coefficients, built here: the platform's converter
// need not suggest one.
Format MsAdpcm(WORD channels, DWORD rate, WORD blockAlign) {
    static const short kCoefs[7][2] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
    Format f;
    f.bytes.assign(50, 0);
    WAVEFORMATEX* w = f.wfx();
    w->wFormatTag = WAVE_FORMAT_ADPCM;
    w->nChannels = channels;
    w->nSamplesPerSec = rate;
    w->nBlockAlign = blockAlign;
    w->wBitsPerSample = 4;
    w->cbSize = 32;
    const int spb = 2 + (blockAlign - 7 * channels) * 2 / channels;
    w->nAvgBytesPerSec = rate * blockAlign / spb;
    auto put16 = [&](std::size_t at, int v) {
        f.bytes[at] = static_cast<std::uint8_t>(v & 0xFF);
        f.bytes[at + 1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    };
    put16(18, spb);
    put16(20, 7);
    for (int i = 0; i < 7; ++i) {
        put16(22 + 4 * i, kCoefs[i][0]);
        put16(24 + 4 * i, kCoefs[i][1]);
    }
    return f;
}

std::vector<KnownAnswer> KnownAnswers() {
    return {
        {"IMA ADPCM mono, 4 blocks of 256", Coded(WAVE_FORMAT_IMA_ADPCM, 1, 11025), ImaBlocks(1, 256, 4), false,
         0xfd55ae93u, 4 * 505 * 2},
        {"IMA ADPCM stereo, 3 blocks of 1024", Coded(WAVE_FORMAT_IMA_ADPCM, 2, 22050), ImaBlocks(2, 1024, 3), false,
         0x1acb4966u, 3 * 1017 * 4},
        {"MS ADPCM mono, 4 blocks of 256", MsAdpcm(1, 11025, 256), MsAdpcmBlocks(1, 256, 4), false, 0xded3cf15u,
         4 * 500 * 2},
        {"MS ADPCM stereo, 3 blocks of 1024", MsAdpcm(2, 22050, 1024), MsAdpcmBlocks(2, 1024, 3), false, 0x7bad788du,
         3 * 1012 * 4},
        {"A-law, every code", Law(WAVE_FORMAT_ALAW), AllCodes(), false, 0x12fb6645u, 512},
        {"mu-law, every code", Law(WAVE_FORMAT_MULAW), AllCodes(), false, 0x715d95a8u, 512},
        {"A-law, every 16-bit value", Law(WAVE_FORMAT_ALAW), AllSixteenBitValues(), true, 0x826fe2c5u, 65536},
        {"mu-law, every 16-bit value", Law(WAVE_FORMAT_MULAW), AllSixteenBitValues(), true, 0xf2471a71u, 65536},
    };
}

}  // namespace

TEST(CodecKnownAnswer, FixedInputsGiveTheReferenceOutputs) {
    for (const KnownAnswer& k : KnownAnswers()) {
        const Format pcm = Pcm(k.format.wfx()->nChannels, k.format.wfx()->nSamplesPerSec, 16);
        Bytes out;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, k.encode ? pcm : k.format, k.encode ? k.format : pcm, k.coded,
                                               &out))
            << k.what;
        EXPECT_EQ(k.outBytes, out.size()) << k.what;
        EXPECT_EQ(k.fingerprint, Fnv1a(out)) << k.what;
        std::printf("[ answer   ] %-36s %zu bytes, fingerprint 0x%08x\n", k.what, out.size(), Fnv1a(out));
    }
}

#ifndef _WIN32
TEST(CodecKnownAnswer, TheReferenceToolsGiveTheSameFingerprints) {
    if (!HaveTool("sox") || !HaveTool("ffmpeg")) GTEST_SKIP() << "sox or ffmpeg is not installed";
    Scratch dir;
    for (const KnownAnswer& k : KnownAnswers()) {
        if (k.encode) continue;  // encoders round differently: see CodecReference
        const std::string wav = dir.File("known.wav"), raw = dir.File("known.raw");
        ASSERT_TRUE(WriteFileBytes(wav, WaveFile(k.format, k.coded)));
        const bool useSox = k.format.wfx()->wFormatTag == WAVE_FORMAT_IMA_ADPCM;
        ASSERT_TRUE(useSox ? RunTool("sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" + raw + "'")
                           : RunTool("ffmpeg -nostdin -loglevel error -y -i '" + wav +
                                     "' -f s16le -acodec pcm_s16le '" + raw + "'"))
            << k.what;
        const Bytes reference = ReadFileBytes(raw);
        EXPECT_EQ(k.outBytes, reference.size()) << k.what;
        EXPECT_EQ(k.fingerprint, Fnv1a(reference)) << k.what << (useSox ? " (sox)" : " (ffmpeg)");
    }
}
#endif
