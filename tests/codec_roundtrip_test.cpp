// Every codec through the compression manager in both worlds (ours natively, Wine's under Wine):
// known answers, and damaged input that must give a result code or a short output, never a crash.
#include "acm_test_util.h"

using namespace acmtest;

namespace {

std::uint32_t Next(std::uint32_t& x) { return x = x * 1664525u + 1013904223u; }

// Blocks of valid-looking IMA ADPCM: random nibbles behind headers with in-range fields.
Bytes ImaBlocks(WORD channels, WORD blockAlign, int blocks) {
    std::uint32_t x = 2024;
    Bytes b(static_cast<std::size_t>(blockAlign) * blocks);
    for (auto& v : b) v = static_cast<std::uint8_t>(Next(x) >> 24);
    for (int k = 0; k < blocks; ++k)
        for (WORD c = 0; c < channels; ++c) {
            std::uint8_t* h = &b[static_cast<std::size_t>(k) * blockAlign + 4 * c];
            h[1] &= 0x3F;  // a moderate first sample
            h[2] = static_cast<std::uint8_t>(Next(x) % 60);
            h[3] = 0;
        }
    return b;
}

// 16-bit PCM with steep ramps and noise, from integers only (the same bytes on every platform).
Bytes RampsAndNoise(DWORD frames, WORD channels) {
    Bytes b;
    std::uint32_t r = 12345;
    for (DWORD i = 0; i < frames; ++i)
        for (WORD c = 0; c < channels; ++c) {
            r = r * 1664525u + 1013904223u;
            const int ramp = static_cast<int>(i * (37 + 11 * c) % 2000) - 1000;
            qt::Put16(b, static_cast<std::uint16_t>(ramp * 20 + static_cast<int>(r >> 20) - 2048));
        }
    return b;
}

Bytes EveryValue(bool sixteenBits) {  // every code, or every 16-bit value, once
    Bytes b;
    for (int v = sixteenBits ? -32768 : 0; v < (sixteenBits ? 32768 : 256); ++v)
        sixteenBits ? qt::Put16(b, static_cast<std::uint16_t>(v)) : b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

// Fixed input, a fingerprint (FNV-1a) of the output: that of independent decoders (sox for IMA
// ADPCM, ffmpeg for MS ADPCM and G.711), of Wine's encoder for the IMA ADPCM encodings, or of
// bytes worked out by hand for the PCM converter.
// Wine's codecs give the same outputs, the G.711 encodings of every 16-bit value included, so
// one table compares ours with Wine's.
struct KnownAnswer { const char* what; Format src, dst; Bytes in; std::uint32_t fingerprint; std::size_t outBytes; };

// Full-scale square waves of a few periods per channel, with a step near every sample value:
// the encoder's nibbles reach both ends (-8 and 7) and the output clamps.
Bytes Squares(DWORD frames, WORD channels) {
    Bytes b;
    for (DWORD i = 0; i < frames; ++i)
        for (WORD c = 0; c < channels; ++c) {
            const DWORD period = 23u + 41u * c + i / 997u;
            const int level = (i / period) % 2 ? 32767 : -32768;
            qt::Put16(b, static_cast<std::uint16_t>(i % 5 == 0 ? level / 3 : level));
        }
    return b;
}

std::vector<KnownAnswer> KnownAnswers() {
    const Bytes st16 = {0xE8, 0x03, 0x48, 0xF4, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x01, 0xFF, 0x00};
    const Format alaw = Law(WAVE_FORMAT_ALAW), mulaw = Law(WAVE_FORMAT_MULAW), g711 = Pcm(1, 8000, 16);
    std::vector<KnownAnswer> answers = {
        {"IMA ADPCM mono, 4 blocks of 256", Coded(WAVE_FORMAT_IMA_ADPCM, 1, 11025), Pcm(1, 11025, 16),
         ImaBlocks(1, 256, 4), 0xfd55ae93u, 4 * 505 * 2},
        {"IMA ADPCM stereo, 3 blocks of 1024", Coded(WAVE_FORMAT_IMA_ADPCM, 2, 22050), Pcm(2, 22050, 16),
         ImaBlocks(2, 1024, 3), 0x1acb4966u, 3 * 1017 * 4},
        {"MS ADPCM mono, 4 blocks of 256", MsAdpcm(1, 11025, 256), Pcm(1, 11025, 16), MsAdpcmBlocks(1, 256, 4),
         0xded3cf15u, 4 * 500 * 2},
        {"MS ADPCM stereo, 3 blocks of 1024", MsAdpcm(2, 22050, 1024), Pcm(2, 22050, 16), MsAdpcmBlocks(2, 1024, 3),
         0x7bad788du, 3 * 1012 * 4},
        {"IMA ADPCM encode, mono", Pcm(1, 11025, 16), Coded(WAVE_FORMAT_IMA_ADPCM, 1, 11025), RampsAndNoise(4 * 505, 1),
         0x64a52547u, 4 * 256},
        {"IMA ADPCM encode, stereo", Pcm(2, 22050, 16), Coded(WAVE_FORMAT_IMA_ADPCM, 2, 22050),
         RampsAndNoise(3 * 1017, 2), 0x502bd20au, 3 * 1024},
        {"A-law, every code", alaw, g711, EveryValue(false), 0x12fb6645u, 512},
        {"mu-law, every code", mulaw, g711, EveryValue(false), 0x715d95a8u, 512},
        {"A-law, every 16-bit value", g711, alaw, EveryValue(true), 0x826fe2c5u, 65536},
        {"mu-law, every 16-bit value", g711, mulaw, EveryValue(true), 0xf2471a71u, 65536},
        // Stereo frames (1000, -3000), (-32768, 32767), (256, 255).
        {"PCM stereo to mono: the channels added, clamped", Pcm(2, 8000, 16), Pcm(1, 8000, 16), st16,
         Fnv1a({0x30, 0xF8, 0xFF, 0xFF, 0xFF, 0x01}), 6},
        {"PCM 16 to 8 bits: the high byte, offset", Pcm(2, 8000, 16), Pcm(2, 8000, 8), st16,
         Fnv1a({0x83, 0x74, 0x00, 0xFF, 0x81, 0x80}), 6},
        {"PCM 8-bit mono to 16-bit stereo: (b - 128) << 8 twice", Pcm(1, 8000, 8), Pcm(2, 8000, 16), {0, 0x80, 0xFF},
         Fnv1a({0, 0x80, 0, 0x80, 0, 0, 0, 0, 0, 0x7F, 0, 0x7F}), 12},
        {"PCM 8 to 16 kHz: each frame twice", Pcm(1, 8000, 8), Pcm(1, 16000, 8), {10, 20, 30},
         Fnv1a({10, 10, 20, 20, 30, 30}), 6},
        {"PCM 16 to 8 kHz: every other frame from the second", Pcm(1, 16000, 8), Pcm(1, 8000, 8),
         {10, 20, 30, 40, 50, 60}, Fnv1a({20, 40, 60}), 3},
    };
    // Our MS ADPCM encoder (Wine's converter only decodes): the bytes it has always written, so
    // that a faster encoder is the same encoder. CodecReference has ffmpeg decode its output.
    if (kMsAdpcmEncoderPresent) {
        answers.push_back({"MS ADPCM encode, mono", Pcm(1, 11025, 16), MsAdpcm(1, 11025, 256),
                           RampsAndNoise(4 * 500, 1), 0xaf9b8696u, 4 * 256});
        answers.push_back({"MS ADPCM encode, stereo", Pcm(2, 22050, 16), MsAdpcm(2, 22050, 1024),
                           RampsAndNoise(3 * 1012, 2), 0xc2f60010u, 3 * 1024});
        answers.push_back({"MS ADPCM encode, full-scale squares", Pcm(2, 22050, 16), MsAdpcm(2, 22050, 1024),
                           Squares(5 * 1012, 2), 0x79c210b6u, 5 * 1024});
    }
    return answers;
}

}  // namespace

// Natively the reference tool decodes the same coded input too, so a wrong constant cannot hide.
TEST(CodecKnownAnswer, FixedInputsGiveTheReferenceOutputs) {
#ifndef _WIN32
    const bool tools = qt::RunCommand("command -v sox && command -v ffmpeg", nullptr) == 0;
    if (!tools) std::printf("[ note     ] sox or ffmpeg is not installed: the fingerprints are not checked\n");
    qt::ScratchDir dir;
    const std::string wav = dir.File("known.wav"), raw = dir.File("known.raw");
#endif
    for (const KnownAnswer& k : KnownAnswers()) {
        Bytes out;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, k.src, k.dst, k.in, &out)) << k.what;
        EXPECT_EQ(k.outBytes, out.size()) << k.what;
        EXPECT_EQ(k.fingerprint, Fnv1a(out)) << k.what;
#ifndef _WIN32
        if (!tools || k.src.wfx()->wFormatTag == WAVE_FORMAT_PCM) continue;  // decoders only
        ASSERT_TRUE(qt::WriteBytes(wav, qt::RiffFile({{"fmt ", k.src.bytes}, {"data", k.in}})));
        const bool sox = k.src.wfx()->wFormatTag == WAVE_FORMAT_IMA_ADPCM;  // ffmpeg's IMA ADPCM drifts
        ASSERT_EQ(0, qt::RunCommand(sox ? "sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" + raw + "'"
                                        : "ffmpeg -nostdin -loglevel error -y -i '" + wav + "' -f s16le '" + raw + "'",
                                    nullptr));
        EXPECT_EQ(k.fingerprint, Fnv1a(qt::ReadBytes(raw))) << k.what << (sox ? " by sox" : " by ffmpeg");
#endif
    }
}

// Damaged formats: refused at opening natively. Wine's codecs open them (block align 0 would
// then divide by zero), so the table runs natively only.
TEST(CodecBadInput, DamagedFormatsAreRefusedAtOpening) {
    if (!kRefusesDamagedFormats) GTEST_SKIP() << "Wine's codecs open these formats; ours refuse them";
    const Format pcm = Pcm(1, 22050, 16), alaw = Law(WAVE_FORMAT_ALAW);
    const Format ms = Coded(WAVE_FORMAT_ADPCM, 1, 22050), ima = Coded(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    ASSERT_EQ(50u, ms.size());
    const struct { const char* what; const Format& base; std::size_t offset; WORD value; } cases[] = {
        {"IMA ADPCM with block align 0", ima, 12, 0},
        {"IMA ADPCM block shorter than its header and one word", ima, 12, 6},
        {"MS ADPCM with block align 0", ms, 12, 0},
        {"MS ADPCM with no coefficients", ms, 20, 0},
        {"MS ADPCM claiming 65535 coefficients", ms, 20, 0xFFFF},
        {"MS ADPCM with no channels", ms, 2, 0},
        {"A-law with block align 0", alaw, 12, 0},
    };
    for (const auto& c : cases) {
        Format f = c.base;
        f.bytes[c.offset] = static_cast<std::uint8_t>(c.value);
        f.bytes[c.offset + 1] = static_cast<std::uint8_t>(c.value >> 8);
        HACMSTREAM has = nullptr;
        EXPECT_NE(MMSYSERR_NOERROR, acmStreamOpen(&has, nullptr, f.wfx(), pcm.wfx(), nullptr, 0, 0, 0)) << c.what;
        if (has) acmStreamClose(has, 0);
    }
}

// Valid stereo blocks of the known answers cut anywhere: what is there decodes, nothing is read
// past the end.
TEST(CodecBadInput, TruncatedAdpcmBlocksNeverReadPastTheirEnd) {
    for (const KnownAnswer& k : KnownAnswers()) {
        const WAVEFORMATEX* w = k.src.wfx();
        const bool adpcm = w->wFormatTag == WAVE_FORMAT_IMA_ADPCM || w->wFormatTag == WAVE_FORMAT_ADPCM;
        if (!adpcm || w->nChannels != 2) continue;
        const DWORD block = w->nBlockAlign;
        for (DWORD cut : std::vector<DWORD>{1, 7, 13, block - 1, block + 5, 2 * block + block / 2}) {
            Bytes out;
            const Bytes part(k.in.begin(), k.in.begin() + cut);
            EXPECT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, k.src, k.dst, part, &out)) << k.what << ", cut at " << cut;
            EXPECT_EQ(0u, out.size() % 4);
            EXPECT_LE(out.size(), (cut / block + 1) * (block * 4 + 16));  // 4 to 16 bits, one block more at most
        }
    }
}
