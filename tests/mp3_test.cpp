// The MPEG frame search and MP3 file information over crafted files, lame-made files checked
// against ffprobe, and the MP3 decoder search with its excluded driver.
#include "acm_test_util.h"
#include "convert/acm.h"
#include "frame/utils.h"

using qt::Bytes;
using qt::Join;

namespace {

Bytes H(std::uint32_t header) {  // a frame header as the file holds it
    return {static_cast<std::uint8_t>(header >> 24), static_cast<std::uint8_t>(header >> 16),
            static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
}

struct Found { DWORD kbps, rate; WORD channels; DWORD flags; };  // rate 0: not found

// What the two searches say about a file; the record is filled with 0x55 first.
Found Search(const std::string& path) {
    MPEGLAYER3WAVEFORMAT f;
    std::memset(&f, 0x55, sizeof f);
    const bool found = GetMP3HeaderInfo(path.c_str(), &f) == 1;
    const Found r{GetMP3BitRate(path.c_str()), found ? f.wfx.nSamplesPerSec : 0, found ? f.wfx.nChannels : WORD(0),
                  found ? f.fdwFlags : 0};
    if (!found) return r;
    EXPECT_EQ(r.kbps * 1000 / 8, f.wfx.nAvgBytesPerSec) << "the bit rate of both searches agrees";
    EXPECT_TRUE(f.wfx.wFormatTag == WAVE_FORMAT_MPEGLAYER3 && f.wfx.nBlockAlign == 1 && f.wfx.wBitsPerSample == 0 &&
                f.wfx.cbSize == 12 && f.wID == 1 && f.nBlockSize == 182 && f.nFramesPerBlock == 1 &&
                f.nCodecDelay == 1460);
    return r;
}

}  // namespace

TEST(Mp3FrameSearch, CraftedHeaders) {
    qt::ScratchDir dir;
    const Bytes good = H(0xFFFB9064), tail = {0};  // MPEG-1 Layer III 128 kbit/s 44100 joint stereo, no CRC
    const Bytes id3 = Join({{'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20}, Bytes(4, 0x11)});  // tags are not read
    const Found none{0, 0, 0, 0}, good128{128, 44100, 2, 2}, at64{64, 44100, 2, 2};
    Bytes frames;  // MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz with zero audio data
    for (int i = 0; i < 40; ++i) frames.insert(frames.end(), {0xFF, 0xFB, 0x90, 0x64}), frames.resize(frames.size() + 413);
    Bytes tagOnly = Join({{'I', 'D', '3', 4, 0, 0, 0, 0x0C, 0x1A, 0x38}, Bytes(200000, 0)});
    for (std::size_t i = 10; i < tagOnly.size(); ++i) tagOnly[i] = static_cast<std::uint8_t>((i * 37) & 0x7F);
    struct Case { const char* what; Bytes file; Found want; };
    const Case cases[] = {
        {"MPEG-1 Layer III 128 kbit/s joint stereo", Join({good, tail}), good128},
        {"protection bit clear", Join({H(0xFFFA9064), tail}), {128, 44100, 2, 1}},
        {"dual channel", Join({H(0xFFFB9084), tail}), {128, 44100, 1, 2}},
        {"mono", Join({H(0xFFFB90C4), tail}), {128, 44100, 1, 2}},
        {"MPEG-1 48000, 320 kbit/s", Join({H(0xFFFBE400), tail}), {320, 48000, 2, 2}},
        {"MPEG-1 Layer I", Join({H(0xFFFF9000), tail}), {288, 44100, 2, 2}},
        {"MPEG-1 Layer II", Join({H(0xFFFD9000), tail}), {160, 44100, 2, 2}},
        {"MPEG-2 Layer I", Join({H(0xFFF79000), tail}), {144, 22050, 2, 2}},
        {"MPEG-2 Layer II", Join({H(0xFFF59000), tail}), {80, 22050, 2, 2}},
        {"MPEG-2 Layer III 24000", Join({H(0xFFF394C0), tail}), {80, 24000, 1, 2}},
        {"MPEG 2.5 Layer III 11025", Join({H(0xFFE38000), tail}), {64, 11025, 2, 2}},
        {"MPEG 2.5 Layer III 8000, 8 kbit/s", Join({H(0xFFE318C0), tail}), {8, 8000, 1, 2}},
        {"reserved version", Join({H(0xFFEB9064), tail}), none},
        {"reserved layer", Join({H(0xFFF99064), tail}), none},
        {"sampling index 3", Join({H(0xFFFB9C64), tail}), none},
        {"bit-rate index 0 (free format)", Join({H(0xFFFB0064), tail}), none},
        {"bit-rate index 15", Join({H(0xFFFBF064), tail}), none},
        {"sync one bit short", Join({H(0xFFDB9064), tail}), none},
        {"refused headers, then one taken a byte later", Join({H(0xFFFBF064), H(0xFFEB9064), H(0xFFFB5000), tail}), at64},
        {"a header overlapping a refused one", Join({{0xFF}, H(0xFFFB5000), tail}), at64},
        {"header in the last four bytes is never examined", Join({Bytes(10, 0), good}), none},
        {"one byte more and it is", Join({Bytes(10, 0), good, tail}), good128},
        {"false sync inside an ID3 tag is taken", Join({id3, H(0xFFFB5000), Bytes(6, 0x22), good, tail}), at64},
        {"refused sync inside an ID3 tag is passed over", Join({id3, Bytes(8, 0xFF), good, tail}), good128},
        {"40 frames", frames, good128},
        {"an ID3 tag, then frames", Join({{'I', 'D', '3', 4, 0, 0, 0, 0, 0x10, 0}, Bytes(2048, 0), frames}), good128},
        {"frames with the last one cut short", Bytes(frames.begin(), frames.end() - 200), good128},
        {"all ID3 tag (no false sync: every byte below 0x80)", tagOnly, none},
        {"empty file", {}, none},
        {"4 bytes, a header", good, none},
        {"5 bytes, a header first", Join({good, tail}), good128},
        {"1 MB of 0xFF", Bytes(1 << 20, 0xFF), none},
        {"1 MB of 0xFF, then a header", Join({Bytes(1 << 20, 0xFF), good, tail}), good128},
    };
    const std::string path = dir.File("crafted.mp3");
    for (const Case& c : cases) {
        ASSERT_TRUE(qt::WriteBytes(path, c.file));
        const Found got = Search(path);
        EXPECT_TRUE(c.want.kbps == got.kbps && c.want.rate == got.rate && c.want.channels == got.channels &&
                    c.want.flags == got.flags)
            << c.what << ": " << got.kbps << " kbit/s " << got.rate << " Hz " << got.channels << " ch flags " << got.flags;
        MPEGLAYER3WAVEFORMAT info;
        DWORD length = 0x55555555u;
        std::memset(&playWaveFormatEx, 0, sizeof playWaveFormatEx);
        const WAVEFORMATEX& p = playWaveFormatEx;  // what the decoder gives: 16-bit PCM at the file's rate
        EXPECT_EQ(c.want.rate ? 0 : 102, GetMP3FileInfo(path.c_str(), &info, &length)) << c.what;
        EXPECT_EQ(c.file.size(), GetFileLength(path.c_str())) << c.what;
        if (c.want.rate == 0) continue;
        EXPECT_EQ(c.file.size(), length) << c.what;
        EXPECT_TRUE(p.wFormatTag == WAVE_FORMAT_PCM && p.nSamplesPerSec == c.want.rate && p.wBitsPerSample == 16 &&
                    p.nBlockAlign == 2 * p.nChannels && p.nAvgBytesPerSec == p.nBlockAlign * c.want.rate)
            << c.what << ": " << p.wFormatTag << " " << p.nChannels << " " << p.nSamplesPerSec << " " << p.wBitsPerSample;
    }
    const std::string missing = dir.File("missing.mp3");
    EXPECT_EQ(0, GetMP3HeaderInfo(missing.c_str(), nullptr));
    EXPECT_EQ(0u, GetMP3BitRate(missing.c_str()) + GetFileLength(missing.c_str()));
    EXPECT_EQ(102, GetMP3FileInfo(missing.c_str(), nullptr, nullptr));
}

// The search reads the file in blocks; a header may start in the last bytes of one and end in
// the next. One at every offset around the first two block boundaries, each after a refused one.
TEST(Mp3FrameSearch, HeadersAcrossTheSearchBlocks) {
    qt::ScratchDir dir;
    const std::string path = dir.File("boundary.mp3");
    for (std::size_t at : {0u, 1u, 65530u, 65531u, 65532u, 65533u, 65534u, 65535u, 65536u, 65537u, 131068u, 131069u,
                           131070u, 131071u, 131072u, 200000u}) {
        Bytes file(at + 4 + 3, 0);
        if (at >= 2) file[at - 2] = 0xFF, file[at - 1] = 0xFB;  // refused: bytes 0 and 0xFF follow
        const Bytes h = H(0xFFF394C0);
        std::memcpy(file.data() + at, h.data(), 4);
        ASSERT_TRUE(qt::WriteBytes(path, file));
        EXPECT_EQ(80u, GetMP3BitRate(path.c_str())) << "header at " << at;
        file.resize(at + 4);  // the header is now the last four bytes, never examined
        ASSERT_TRUE(qt::WriteBytes(path, file));
        EXPECT_EQ(0u, GetMP3BitRate(path.c_str())) << "header at the end, " << at;
    }
}

#ifdef _WIN32
TEST(Mp3Reference, NeedsTheNativeBuild) {
    GTEST_SKIP() << "lame and ffprobe run as child processes of the native test program";
}
TEST(Mp3CodecAccess, NeedsTheLinuxLayer) {
    GTEST_SKIP() << "the excluded and ordered MP3 decoders are fake drivers installed through the Linux "
                    "compression manager's seam";
}
#else
TEST(Mp3Reference, LameMadeFilesReadAsFfprobeReadsThem) {
    qt::ScratchDir dir;
    std::string out;
    if (qt::RunCommand("command -v lame >/dev/null && command -v ffprobe >/dev/null", &out) != 0)
        GTEST_SKIP() << "lame or ffprobe is not installed";
    const std::string raw = dir.File("in.raw"), mp3 = dir.File("out.mp3");
    // channels, rate, kbit/s, lame's mode: every MPEG version, a tag before the first frame
    for (const auto& [channels, rate, kbps, mode] :
         std::vector<std::tuple<int, int, int, const char*>>{{2, 44100, 128, "j"}, {1, 22050, 64, "m"}, {2, 11025, 32, "s"},
                                                              {1, 8000, 8, "m"}, {2, 48000, 320, "j"}, {2, 32000, 56, "f"},
                                                              {1, 16000, 24, "m"}, {2, 12000, 40, "j"}}) {
        ASSERT_TRUE(qt::WriteBytes(raw, qt::CountingSamples(static_cast<std::size_t>(rate) * channels * 2)));
        char cmd[512];
        std::snprintf(cmd, sizeof cmd,
                      "lame --quiet -r -s %g --bitwidth 16 --signed --little-endian -m %s --cbr -b %d --resample %g "
                      "--id3v2-only --tt 'A title' '%s' '%s' 2>/dev/null && ffprobe -v error -select_streams a:0 "
                      "-show_entries stream=sample_rate,channels,bit_rate -of csv=p=0 '%s'",
                      rate / 1000.0, mode, kbps, rate / 1000.0, raw.c_str(), mp3.c_str(), mp3.c_str());
        ASSERT_EQ(0, qt::RunCommand(cmd, &out)) << cmd;
        int probedRate = 0, probedChannels = 0, bitRate = 0;
        ASSERT_EQ(3, std::sscanf(out.c_str(), "%d,%d,%d", &probedRate, &probedChannels, &bitRate)) << out;
        const Found got = Search(mp3);
        EXPECT_TRUE(got.rate == DWORD(probedRate) && got.channels == probedChannels && got.kbps == DWORD(bitRate / 1000))
            << rate << " Hz: " << got.rate << " Hz " << got.channels << " ch " << got.kbps << " kbit/s";
    }
}

namespace {

template <DWORD Mark>  // an MP3 decoder whose suggestion carries its mark as the rate, 0 bits
MMRESULT Marked(const WAVEFORMATEX* src, DWORD, WAVEFORMATEX* dst, DWORD, DWORD) {
    if (src->wFormatTag != WAVE_FORMAT_MPEGLAYER3 || dst->wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    dst->nChannels = src->nChannels, dst->nSamplesPerSec = Mark;
    dst->wBitsPerSample = dst->nBlockAlign = 0, dst->nAvgBytesPerSec = 0;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"}, {WAVE_FORMAT_MPEGLAYER3, 30, 1, "MPEG Layer-3"}};

tAcmDriverTable Decoder(const char* name, MMRESULT (*suggest)(const WAVEFORMATEX*, DWORD, WAVEFORMATEX*, DWORD, DWORD),
                        DWORD support = ACMDRIVERDETAILS_SUPPORTF_CODEC) {
    tAcmDriverTable t = acmtest::FakeTable(name, support, kTags);
    t.suggest = suggest;
    return t;
}

}  // namespace

TEST(Mp3CodecAccess, TheExcludedDriverIsPassedOverAndTheFirstOtherDecoderAnswers) {
    const tAcmDriverTable excluded = Decoder("Creative MP3 CODEC", Marked<1111>);
    const tAcmDriverTable otherCase = Decoder("creative MP3 codec", Marked<2222>);
    const tAcmDriverTable second = Decoder("Second decoder", Marked<3333>);
    const tAcmDriverTable disabled =
        Decoder("Disabled decoder", Marked<4444>, ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    // The drivers in enumeration order, built-in drivers hidden; the rate of the decoder that
    // answers, 0 when none does (405, and the walk finds none).
    struct Case { const char* what; std::vector<const tAcmDriverTable*> drivers; DWORD rate; };
    const Case cases[] = {
        {"only the excluded driver", {&excluded}, 0},
        {"the excluded one first, the same name in other letters after", {&excluded, &otherCase}, 2222},
        {"two decoders: the first enumerated", {&second, &otherCase}, 3333},
        {"a disabled decoder is not walked", {&disabled, &second}, 3333},
        {"no drivers", {}, 0},
    };
    MPEGLAYER3WAVEFORMAT mp3;
    const tagMP3Header h = mpeg::SplitHeader(0xFFFB9064u);
    ASSERT_EQ(0, GetMPEGLayerFormat(&h, &mp3));
    for (const Case& c : cases) {
        acmtest::FakeDrivers fakes;  // removed at the end: the walk leaves no driver open
        for (auto it = c.drivers.rbegin(); it != c.drivers.rend(); ++it) fakes.Add(*it);
        acmQuillonShowBuiltinDrivers(FALSE);
        WAVEFORMATEX pcm;
        std::memset(&pcm, 0x55, sizeof pcm);
        EXPECT_EQ(c.rate ? 0 : 405, GetMP3DestinationWaveFormat(nullptr, &mp3.wfx, &pcm)) << c.what;
        if (c.rate) {  // repaired: 0 bits become 16, block align and bytes per second follow
            EXPECT_TRUE(pcm.nSamplesPerSec == c.rate && pcm.wBitsPerSample == 16 && pcm.nBlockAlign == 4 &&
                        pcm.nAvgBytesPerSec == 4 * c.rate)
                << c.what << ": " << pcm.nSamplesPerSec;
        }
        Bytes buffer(64, 0);
        reinterpret_cast<WAVEFORMATEX*>(buffer.data())->wFormatTag = WAVE_FORMAT_PCM;
        EXPECT_EQ(c.rate ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE,
                  myAcmFormatSuggest(nullptr, &mp3.wfx, reinterpret_cast<WAVEFORMATEX*>(buffer.data()), 64,
                                     ACM_FORMATSUGGESTF_WFORMATTAG))
            << c.what;
    }
}

#endif
