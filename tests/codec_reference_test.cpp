// Our codecs against independent decoders and encoders: ffmpeg and sox decode what we encode,
// we decode what ffmpeg and lame encode, sample by sample. The reference tools are run at test
// time, so these tests need the native build (a Windows program under Wine cannot start them);
// a missing tool skips its test with a message.
#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace acmtest;

#ifdef _WIN32

TEST(CodecReference, NeedsTheNativeBuild) {
    GTEST_SKIP() << "ffmpeg, sox and lame run as child processes of the native test program; under Wine the "
                    "codecs are checked by the round-trip and known-answer tests instead";
}

#else

namespace {

// How closely each reference decoder must agree with ours: the largest sample difference and
// the least agreement as SNR. Exact where the reference follows the codec's definition:
//  - sox decodes IMA ADPCM with the standard's sum of shifted steps, as we do; ffmpeg
//    multiplies ((2 * nibble + 1) * step / 8), which differs in the low bits and drifts
//    within a block;
//  - ffmpeg divides MS ADPCM's prediction by 256 as Microsoft's codec does; sox shifts (rounds
//    down), one step apart on negative predictions.
struct Codec {
    const char* what;
    WORD tag;
    const char* ffmpegCodec;
    int ffmpegMaxDiff;
    double ffmpegMinSnr;
    int soxMaxDiff;
    double soxMinSnr;
};

const Codec kCodecs[] = {
    {"IMA ADPCM", WAVE_FORMAT_IMA_ADPCM, "adpcm_ima_wav", 160, 35.0, 0, 200.0},
    {"MS ADPCM", WAVE_FORMAT_ADPCM, "adpcm_ms", 0, 200.0, 160, 40.0},
    {"A-law", WAVE_FORMAT_ALAW, "pcm_alaw", 0, 200.0, 0, 200.0},
    {"mu-law", WAVE_FORMAT_MULAW, "pcm_mulaw", 0, 200.0, 0, 200.0},
};

bool NeedTools(std::initializer_list<const char*> tools, std::string* missing) {
    for (const char* t : tools)
        if (!HaveTool(t)) {
            *missing = t;
            return false;
        }
    return true;
}

// ffmpeg's decode of a WAVE file to interleaved 16-bit samples.
std::vector<std::int16_t> FfmpegDecode(const Scratch& dir, const std::string& wav) {
    const std::string raw = dir.File("ffmpeg-decoded.raw");
    if (!RunTool("ffmpeg -nostdin -loglevel error -y -i '" + wav + "' -f s16le -acodec pcm_s16le '" + raw + "'"))
        return {};
    return Samples16(ReadFileBytes(raw));
}

std::vector<std::int16_t> SoxDecode(const Scratch& dir, const std::string& wav) {
    const std::string raw = dir.File("sox-decoded.raw");
    if (!RunTool("sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" + raw + "' 2>/dev/null")) return {};
    return Samples16(ReadFileBytes(raw));
}

}  // namespace

TEST(CodecReference, WhatWeEncodeFfmpegAndSoxDecodeAsWeDo) {
    std::string missing;
    if (!NeedTools({"ffmpeg", "sox"}, &missing)) GTEST_SKIP() << missing << " is not installed";
    Scratch dir;
    for (const Codec& c : kCodecs) {
        for (WORD channels : {1, 2}) {
            const DWORD rate = c.tag == WAVE_FORMAT_ALAW || c.tag == WAVE_FORMAT_MULAW ? 8000 : 22050;
            const Format pcm = Pcm(channels, rate, 16);
            MMRESULT res = 0;
            const Format coded = Suggest(nullptr, pcm, c.tag, &res);
            ASSERT_EQ(MMSYSERR_NOERROR, res) << c.what;
            const Bytes in = Signal16(channels, rate, rate * 2);
            Bytes packed, ours;
            ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, pcm, coded, in, &packed)) << c.what;
            ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, coded, pcm, packed, &ours)) << c.what;
            const std::string wav = dir.File("ours.wav");
            ASSERT_TRUE(WriteFileBytes(wav, WaveFile(coded, packed)));

            const std::vector<std::int16_t> mine = Samples16(ours);
            const std::vector<std::int16_t> ff = FfmpegDecode(dir, wav);
            ASSERT_FALSE(ff.empty()) << c.what << ": ffmpeg could not read our file";
            ASSERT_EQ(mine.size(), ff.size()) << c.what << " " << channels << " ch";
            EXPECT_LE(MaxAbsDiff(mine, ff), c.ffmpegMaxDiff) << c.what << " " << channels << " ch";
            EXPECT_GE(SnrDb(mine, ff), c.ffmpegMinSnr) << c.what << " " << channels << " ch";

            const std::vector<std::int16_t> sx = SoxDecode(dir, wav);
            ASSERT_FALSE(sx.empty()) << c.what << ": sox could not read our file";
            EXPECT_LE(MaxAbsDiff(mine, sx), c.soxMaxDiff) << c.what << " " << channels << " ch (sox)";
            EXPECT_GE(SnrDb(mine, sx), c.soxMinSnr) << c.what << " " << channels << " ch (sox)";
            std::printf("[ snr      ] %-9s %u ch %5u Hz: vs ffmpeg max diff %3d (%5.1f dB), vs sox max diff %3d "
                        "(%5.1f dB); signal kept at %.1f dB SNR\n",
                        c.what, channels, static_cast<unsigned>(rate), MaxAbsDiff(mine, ff), SnrDb(mine, ff),
                        MaxAbsDiff(mine, sx), SnrDb(mine, sx), SnrDb(Samples16(in), mine));
        }
    }
}

TEST(CodecReference, WhatFfmpegEncodesWeDecodeAsFfmpegDoes) {
    std::string missing;
    if (!NeedTools({"ffmpeg"}, &missing)) GTEST_SKIP() << missing << " is not installed";
    Scratch dir;
    for (const Codec& c : kCodecs) {
        for (WORD channels : {1, 2}) {
            const DWORD rate = c.tag == WAVE_FORMAT_ALAW || c.tag == WAVE_FORMAT_MULAW ? 8000 : 44100;
            const Bytes in = Signal16(channels, rate, rate * 2);
            const std::string raw = dir.File("in.raw"), wav = dir.File("ffmpeg.wav");
            ASSERT_TRUE(WriteFileBytes(raw, in));
            ASSERT_TRUE(RunTool("ffmpeg -nostdin -loglevel error -y -f s16le -ar " + std::to_string(rate) + " -ac " +
                                std::to_string(channels) + " -i '" + raw + "' -acodec " + c.ffmpegCodec + " '" + wav +
                                "'"))
                << c.what;
            Format fmt;
            Bytes data, ours;
            ASSERT_TRUE(ParseWave(ReadFileBytes(wav), &fmt, &data)) << c.what;
            ASSERT_EQ(c.tag, fmt.wfx()->wFormatTag);
            ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, fmt, Pcm(channels, rate, 16), data, &ours)) << c.what;
            const std::vector<std::int16_t> ff = FfmpegDecode(dir, wav);
            const std::vector<std::int16_t> mine = Samples16(ours);
            ASSERT_EQ(ff.size(), mine.size()) << c.what << " " << channels << " ch";
            EXPECT_LE(MaxAbsDiff(ff, mine), c.ffmpegMaxDiff) << c.what << " " << channels << " ch";
            EXPECT_GE(SnrDb(ff, mine), c.ffmpegMinSnr) << c.what << " " << channels << " ch";
        }
    }
}

TEST(CodecReference, G711EncodingStaysWithinOneLevelOfSoxAndFfmpeg) {
    // Three encoders, three rounding rules: we cut at the step boundaries as the reference code
    // of G.711 does (the platform's codec agrees: see the known-answer test), sox first rounds to
    // 13 bits, ffmpeg picks the nearest level. Their codes may differ by one level, never more.
    std::string missing;
    if (!NeedTools({"ffmpeg", "sox"}, &missing)) GTEST_SKIP() << missing << " is not installed";
    Scratch dir;
    for (const Codec& c : kCodecs) {
        if (c.tag != WAVE_FORMAT_ALAW && c.tag != WAVE_FORMAT_MULAW) continue;
        // Every 16-bit value once, as a mono file.
        Bytes in;
        for (int v = -32768; v <= 32767; ++v) {
            in.push_back(static_cast<std::uint8_t>(v & 0xFF));
            in.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
        }
        const std::string raw = dir.File("all.raw"), soxWav = dir.File("sox.wav"), ffWav = dir.File("ff.wav");
        ASSERT_TRUE(WriteFileBytes(raw, in));
        const std::string encoding = c.tag == WAVE_FORMAT_ALAW ? "a-law" : "u-law";
        ASSERT_TRUE(RunTool("sox -D -t raw -r 8000 -e signed-integer -b 16 -c 1 -L '" + raw + "' -e " + encoding +
                            " -b 8 '" + soxWav + "' 2>/dev/null"));
        ASSERT_TRUE(RunTool("ffmpeg -nostdin -loglevel error -y -f s16le -ar 8000 -ac 1 -i '" + raw + "' -acodec " +
                            c.ffmpegCodec + " '" + ffWav + "'"));
        Format fmt;
        Bytes soxCodes, ffCodes, ours;
        ASSERT_TRUE(ParseWave(ReadFileBytes(soxWav), &fmt, &soxCodes));
        ASSERT_TRUE(ParseWave(ReadFileBytes(ffWav), &fmt, &ffCodes));
        ASSERT_EQ(c.tag, fmt.wfx()->wFormatTag);
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, Pcm(1, 8000, 16), fmt, in, &ours));
        ASSERT_EQ(65536u, ours.size());
        ASSERT_EQ(65536u, soxCodes.size());
        ASSERT_EQ(65536u, ffCodes.size());
        // Compare the levels the codes stand for, as positions on the scale.
        Bytes all(256), levels;
        for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, fmt, Pcm(1, 8000, 16), all, &levels));
        const std::vector<std::int16_t> value = Samples16(levels);
        auto level = [&](std::uint8_t code) { return value[code]; };
        for (const Bytes* other : {&soxCodes, &ffCodes}) {
            long differing = 0;
            for (std::size_t i = 0; i < 65536; ++i) {
                if (ours[i] == (*other)[i]) continue;
                ++differing;
                // Adjacent levels: nothing of the scale lies strictly between the two.
                const int lo = std::min(level(ours[i]), level((*other)[i]));
                const int hi = std::max(level(ours[i]), level((*other)[i]));
                int between = 0;
                for (std::int16_t v : value) between += v > lo && v < hi;
                EXPECT_EQ(0, between) << c.what << " input " << static_cast<long>(i) - 32768;
                if (between) break;
            }
            std::printf("[ g711     ] %-7s all 65536 inputs: %ld codes one level from %s's\n", c.what, differing,
                        other == &soxCodes ? "sox" : "ffmpeg");
        }
    }
}

namespace {

// The best alignment of `test` against `ref` within +-maxShift samples (interleaved), by the
// least squared difference over a middle window.
long BestShift(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& test, long maxShift,
               int channels) {
    long best = 0;
    double bestErr = -1;
    const long start = static_cast<long>(ref.size()) / 4, len = 4000;
    for (long s = -maxShift; s <= maxShift; s += channels) {
        double err = 0;
        for (long i = start; i < start + len; ++i) {
            const long j = i + s;
            if (j < 0 || j >= static_cast<long>(test.size()) || i >= static_cast<long>(ref.size())) {
                err += 1e12;
                break;
            }
            const double d = static_cast<double>(ref[i]) - test[j];
            err += d * d;
        }
        if (bestErr < 0 || err < bestErr) {
            bestErr = err;
            best = s;
        }
    }
    return best;
}

}  // namespace

TEST(CodecReference, LameMadeMp3DecodesLikeFfmpegDecodesIt) {
    std::string missing;
    if (!NeedTools({"ffmpeg", "lame"}, &missing)) GTEST_SKIP() << missing << " is not installed";
    Scratch dir;
    struct Case {
        WORD channels;
        DWORD rate;
        int kbps;
    };
    for (const Case& c : {Case{2, 44100, 128}, Case{1, 22050, 64}, Case{2, 48000, 192}}) {
        const Bytes in = Signal16(c.channels, c.rate, c.rate * 3);
        const std::string raw = dir.File("in.raw"), mp3 = dir.File("lame.mp3");
        ASSERT_TRUE(WriteFileBytes(raw, in));
        char rateText[16];
        std::snprintf(rateText, sizeof rateText, "%g", c.rate / 1000.0);
        ASSERT_TRUE(RunTool(std::string("lame --quiet -r -s ") + rateText +
                            " --bitwidth 16 --signed --little-endian -m " + (c.channels == 2 ? "j" : "m") +
                            " --cbr -b " + std::to_string(c.kbps) + " '" + raw + "' '" + mp3 + "' 2>/dev/null"));
        const Bytes file = ReadFileBytes(mp3);
        Bytes ours;
        ASSERT_EQ(MMSYSERR_NOERROR,
                  ConvertAll(nullptr, Mp3(c.channels, c.rate, c.kbps), Pcm(c.channels, c.rate, 16), file, &ours));
        const std::vector<std::int16_t> mine = Samples16(ours);
        const std::vector<std::int16_t> ff = FfmpegDecode(dir, mp3);
        ASSERT_GT(mine.size(), in.size() / 2 * 9 / 10);
        ASSERT_FALSE(ff.empty());
        const long shift = BestShift(ff, mine, 2600, c.channels);
        std::vector<std::int16_t> aligned;
        for (std::size_t i = 0; i < ff.size(); ++i) {
            const long j = static_cast<long>(i) + shift;
            aligned.push_back(j >= 0 && j < static_cast<long>(mine.size()) ? mine[j] : 0);
        }
        // Both decoders compute in floating point and round to 16 bits: a step or two apart.
        std::vector<std::int16_t> ffBody(ff.begin() + 4000, ff.end() - 4000), oursBody(aligned.begin() + 4000,
                                                                                        aligned.end() - 4000);
        const double agree = SnrDb(ffBody, oursBody);
        EXPECT_GE(agree, 70.0) << c.rate << " Hz " << c.channels << " ch";
        EXPECT_LE(MaxAbsDiff(ffBody, oursBody), 4);
        std::printf("[ snr      ] MP3 %u Hz %u ch %d kbit/s: ours vs ffmpeg %.1f dB, max diff %d, shift %ld\n",
                    static_cast<unsigned>(c.rate), c.channels, c.kbps, agree, MaxAbsDiff(ffBody, oursBody), shift);

        // A truncated last frame and a file that is all tag decode without harm.
        Bytes cut(file.begin(), file.end() - 100);
        Bytes shorter;
        EXPECT_EQ(MMSYSERR_NOERROR,
                  ConvertAll(nullptr, Mp3(c.channels, c.rate, c.kbps), Pcm(c.channels, c.rate, 16), cut, &shorter));
        EXPECT_LE(shorter.size(), ours.size());
        EXPECT_GE(shorter.size() + 2 * 1152 * 2 * c.channels, ours.size());
    }
    Bytes tagOnly(200000, 0);
    std::memcpy(tagOnly.data(), "ID3\x04\x00\x00\x00\x0C\x1A\x38", 10);  // a tag of about 200 kB
    for (std::size_t i = 10; i < tagOnly.size(); ++i) tagOnly[i] = static_cast<std::uint8_t>(i * 37);
    Bytes none;
    EXPECT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, Mp3(2, 44100, 128), Pcm(2, 44100, 16), tagOnly, &none));
    EXPECT_LT(none.size(), 4u * 1152 * 4) << "junk may resemble a frame or two, no more";
}

#endif
