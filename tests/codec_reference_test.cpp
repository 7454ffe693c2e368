// Our codecs against independent decoders and encoders, sample by sample: ffmpeg and sox decode
// what we encode, we decode what ffmpeg and lame encode. The tools run as child processes, so
// these tests need the native build; a missing tool skips its test with a message.
#include "acm_test_util.h"
#include "convert/codec.h"
#include "quillon.h"

using namespace acmtest;

#ifdef _WIN32

TEST(CodecReference, NeedsTheNativeBuild) {
    GTEST_SKIP() << "ffmpeg, sox and lame run as child processes of the native test program; under Wine the "
                    "codecs are checked against Wine's by the known-answer tests instead";
}

#else

namespace {

bool Shell(const std::string& commandLine) { return qt::RunCommand(commandLine + " 2>/dev/null", nullptr) == 0; }

std::vector<std::int16_t> Decoded(const qt::ScratchDir& dir, const std::string& wav, bool sox) {
    const std::string raw = dir.File("decoded.raw");
    const bool ok = Shell(sox ? "sox '" + wav + "' -t raw -e signed-integer -b 16 -L '" + raw + "'"
                            : "ffmpeg -nostdin -loglevel error -y -i '" + wav + "' -f s16le '" + raw + "'");
    return ok ? Samples16(qt::ReadBytes(raw)) : std::vector<std::int16_t>{};
}

}  // namespace

// One row per codec, stereo, both ways: ffmpeg and sox decode what we encode as we do, we decode
// what ffmpeg encodes as ffmpeg does. Exact where the tool follows the codec's definition: sox
// sums IMA ADPCM's shifted steps as we do (ffmpeg multiplies, drifting in the low bits); ffmpeg
// divides MS ADPCM's prediction by 256 as Microsoft's codec does (sox shifts, rounding down).
TEST(CodecReference, TheirDecodersAgreeWithOursBothWays) {
    if (!Shell("command -v ffmpeg && command -v sox")) GTEST_SKIP() << "ffmpeg or sox is not installed";
    // keptSnr: our round trip against the signal.
    const struct { WORD tag; DWORD rate; const char* ffmpegCodec; int ffMaxDiff, soxMaxDiff;
        double ffMinSnr, soxMinSnr, keptSnr; } codecs[] = {
        {WAVE_FORMAT_IMA_ADPCM, 22050, "adpcm_ima_wav", 160, 0, 35.0, 200.0, 25.0},
        {WAVE_FORMAT_ADPCM, 22050, "adpcm_ms", 0, 160, 200.0, 40.0, 20.0},
        {WAVE_FORMAT_ALAW, 8000, "pcm_alaw", 0, 0, 200.0, 200.0, 30.0},
        {WAVE_FORMAT_MULAW, 8000, "pcm_mulaw", 0, 0, 200.0, 200.0, 30.0},
    };
    qt::ScratchDir dir;
    const std::string raw = dir.File("in.raw"), ours = dir.File("ours.wav"), theirs = dir.File("ffmpeg.wav");
    for (const auto& c : codecs) {
        SCOPED_TRACE(testing::Message() << "tag " << c.tag);
        const Format pcm = Pcm(2, c.rate, 16), coded = Coded(c.tag, 2, c.rate);
        const Bytes in = Signal16(2, c.rate, c.rate * 2);
        Bytes packed, back;
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, pcm, coded, in, &packed));
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, coded, pcm, packed, &back));
        EXPECT_GE(SnrDb(Samples16(in), Samples16(back)), c.keptSnr);
        ASSERT_TRUE(qt::WriteBytes(ours, qt::RiffFile({{"fmt ", coded.bytes}, {"data", packed}})));
        const auto mine = Samples16(back), ff = Decoded(dir, ours, false), sx = Decoded(dir, ours, true);
        ASSERT_EQ(mine.size(), ff.size()) << "ffmpeg's decode of our file";
        ASSERT_FALSE(sx.empty()) << "sox could not read our file";
        EXPECT_LE(MaxAbsDiff(mine, ff), c.ffMaxDiff);
        EXPECT_GE(SnrDb(mine, ff), c.ffMinSnr);
        EXPECT_LE(MaxAbsDiff(mine, sx), c.soxMaxDiff);
        EXPECT_GE(SnrDb(mine, sx), c.soxMinSnr);

        ASSERT_TRUE(qt::WriteBytes(raw, in));
        ASSERT_TRUE(Shell("ffmpeg -nostdin -loglevel error -y -f s16le -ar " + std::to_string(c.rate) + " -ac 2 -i '" +
                        raw + "' -acodec " + c.ffmpegCodec + " '" + theirs + "'"));
        Format fmt;
        Bytes data, decoded;
        ASSERT_TRUE(ParseWave(qt::ReadBytes(theirs), &fmt, &data));
        ASSERT_EQ(c.tag, fmt.wfx()->wFormatTag);
        ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, fmt, pcm, data, &decoded));
        const auto ffTheirs = Decoded(dir, theirs, false), oursOfTheirs = Samples16(decoded);
        ASSERT_EQ(ffTheirs.size(), oursOfTheirs.size());
        EXPECT_LE(MaxAbsDiff(ffTheirs, oursOfTheirs), c.ffMaxDiff);
        EXPECT_GE(SnrDb(ffTheirs, oursOfTheirs), c.ffMinSnr);
    }
}

// An MP3 stream from lame decodes as ffmpeg decodes it, once aligned (the decoders start at
// different points of the encoder's delay): both compute in floating point and round to 16 bits,
// a step or two apart. In a WAVE file ffmpeg wrote it converts alike; a truncated last frame and
// a file that is all tag do no harm.
TEST(CodecReference, LameMadeMp3DecodesLikeFfmpegDecodesIt) {
    if (!Shell("command -v ffmpeg && command -v lame")) GTEST_SKIP() << "ffmpeg or lame is not installed";
    qt::ScratchDir dir;
    const std::string raw = dir.File("in.raw"), mp3 = dir.File("lame.mp3");
    ASSERT_TRUE(qt::WriteBytes(raw, Signal16(2, 44100, 44100 * 3)));
    ASSERT_TRUE(Shell("lame --quiet -r -s 44.1 --bitwidth 16 --signed --little-endian -m j --cbr -b 128 '" + raw + "' '" +
                    mp3 + "'"));
    const Bytes file = qt::ReadBytes(mp3), cut(file.begin(), file.end() - 100);
    const Format mp3Format = Mp3(2, 44100, 128), pcm = Pcm(2, 44100, 16);
    Bytes ours, shorter, none;
    ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, mp3Format, pcm, file, &ours));
    const std::vector<std::int16_t> mine = Samples16(ours), ff = Decoded(dir, mp3, false);
    ASSERT_GT(mine.size(), 44100u * 3 * 2 * 9 / 10);
    ASSERT_GT(ff.size(), 20000u);
    // The shift (whole stereo frames, up to 1300) with the least squared difference over a window.
    auto at = [&](long j) { return j >= 0 && j < static_cast<long>(mine.size()) ? mine[j] : 0; };
    long best = 0;
    double bestErr = 1e300;
    for (long s = -2600; s <= 2600; s += 2) {
        double err = 0;
        for (long i = 10000; i < 14000; ++i) err += static_cast<double>(ff[i] - at(i + s)) * (ff[i] - at(i + s));
        if (err < bestErr) bestErr = err, best = s;
    }
    std::vector<std::int16_t> a(ff.begin() + 4000, ff.end() - 4000), b;
    for (std::size_t i = 4000; i + 4000 < ff.size(); ++i)
        b.push_back(static_cast<std::int16_t>(at(static_cast<long>(i) + best)));
    EXPECT_GE(SnrDb(a, b), 70.0) << "shift " << best;
    EXPECT_LE(MaxAbsDiff(a, b), 4) << "shift " << best;

    // In a WAVE file as ffmpeg writes one (its own "fmt " record, chunks around "data"), the stream
    // converts through AudioConvert to the audio our own format gives it.
    const std::string wav = dir.File("lame.wav"), out = dir.File("out.wav");
    ASSERT_TRUE(Shell("ffmpeg -nostdin -loglevel error -y -i '" + mp3 + "' -c:a copy '" + wav + "'"));
    ASSERT_EQ(0, AudioConvert(static_cast<unsigned short>(GetCodecIndexFromLinkList(WAVE_FORMAT_MPEGLAYER3)), -1,
                              wav.c_str(), out.c_str(), nullptr, 0, nullptr, 1));
    Format wavFmt, outFmt;
    Bytes stream, converted, expected;
    ASSERT_TRUE(ParseWave(qt::ReadBytes(wav), &wavFmt, &stream) && ParseWave(qt::ReadBytes(out), &outFmt, &converted));
    ASSERT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, mp3Format, pcm, stream, &expected));
    EXPECT_EQ(WAVE_FORMAT_PCM, outFmt.wfx()->wFormatTag);
    EXPECT_GT(expected.size(), 44100u * 4 * 29 / 10) << "three seconds of stereo audio";
    EXPECT_TRUE(expected == converted) << "not the stream's audio as a format of our own describes it";

    EXPECT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, mp3Format, pcm, cut, &shorter));
    EXPECT_LE(shorter.size(), ours.size());
    EXPECT_GE(shorter.size() + 2 * 1152 * 4, ours.size()) << "at most the cut frame and the one it feeds are lost";
    Bytes tagOnly(200000, 0);
    std::memcpy(tagOnly.data(), "ID3\x04\x00\x00\x00\x0C\x1A\x38", 10);  // a tag of about 200 kB
    for (std::size_t i = 10; i < tagOnly.size(); ++i) tagOnly[i] = static_cast<std::uint8_t>(i * 37);
    EXPECT_EQ(MMSYSERR_NOERROR, ConvertAll(nullptr, mp3Format, pcm, tagOnly, &none));
    EXPECT_LT(none.size(), 4u * 1152 * 4) << "junk may resemble a frame or two, no more";
}

#endif
