// MPEG frame headers and MP3 file information: the frame search over crafted files (each
// refused field value, every version and layer, block boundaries of the buffered search, tags,
// tiny and hostile files), lame-made files checked against ffprobe, and the MP3 codec access
// with its excluded driver.
#include "convert/acm.h"
#include "frame/utils.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using qt::Bytes;

namespace {

Bytes Header(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) { return Bytes{a, b, c, d}; }

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Fill(std::size_t n, std::uint8_t v) { return Bytes(n, v); }

struct Found {
    bool found;
    DWORD kbps;
    DWORD rate;
    WORD channels;
    DWORD flags;
};

// What the two searches say about a file.
Found Search(const std::string& path) {
    MPEGLAYER3WAVEFORMAT f;
    std::memset(&f, 0x55, sizeof f);
    Found r{GetMP3HeaderInfo(path.c_str(), &f) == 1, GetMP3BitRate(path.c_str()), 0, 0, 0};
    if (r.found) {
        r.rate = f.wfx.nSamplesPerSec;
        r.channels = f.wfx.nChannels;
        r.flags = f.fdwFlags;
        EXPECT_EQ(WAVE_FORMAT_MPEGLAYER3, f.wfx.wFormatTag);
        EXPECT_EQ(r.kbps * 1000 / 8, f.wfx.nAvgBytesPerSec) << "the bit rate of both tables agrees";
        EXPECT_EQ(1, f.wfx.nBlockAlign);
        EXPECT_EQ(0, f.wfx.wBitsPerSample);
        EXPECT_EQ(12, f.wfx.cbSize);
        EXPECT_EQ(1, f.wID);
        EXPECT_EQ(182, f.nBlockSize);
        EXPECT_EQ(1, f.nFramesPerBlock);
        EXPECT_EQ(1460, f.nCodecDelay);
    }
    return r;
}

}  // namespace

TEST(Mp3FrameSearch, CraftedHeaders) {
    qt::ScratchDir dir;
    const Bytes good = Header(0xFF, 0xFB, 0x90, 0x64);  // MPEG-1 Layer III 128 kbit/s 44100 joint stereo, no CRC
    const Bytes tail = Fill(1, 0);
    // An ID3v2 tag holding bytes that look like frame headers.
    const Bytes id3 = Cat({Bytes{'I', 'D', '3', 3, 0, 0, 0, 0, 0, 20}, Fill(4, 0x11)});
    struct Case {
        const char* what;
        Bytes file;
        Found want;
    };
    const Case cases[] = {
        {"MPEG-1 Layer III 128 kbit/s joint stereo", Cat({good, tail}), {true, 128, 44100, 2, 2}},
        {"protection bit clear", Cat({Header(0xFF, 0xFA, 0x90, 0x64), tail}), {true, 128, 44100, 2, 1}},
        {"stereo", Cat({Header(0xFF, 0xFB, 0x90, 0x04), tail}), {true, 128, 44100, 2, 2}},
        {"dual channel", Cat({Header(0xFF, 0xFB, 0x90, 0x84), tail}), {true, 128, 44100, 1, 2}},
        {"mono", Cat({Header(0xFF, 0xFB, 0x90, 0xC4), tail}), {true, 128, 44100, 1, 2}},
        {"MPEG-1 48000, 320 kbit/s", Cat({Header(0xFF, 0xFB, 0xE4, 0x00), tail}), {true, 320, 48000, 2, 2}},
        {"MPEG-1 32000, 32 kbit/s", Cat({Header(0xFF, 0xFB, 0x18, 0x00), tail}), {true, 32, 32000, 2, 2}},
        {"MPEG-1 Layer I", Cat({Header(0xFF, 0xFF, 0x90, 0x00), tail}), {true, 288, 44100, 2, 2}},
        {"MPEG-1 Layer II", Cat({Header(0xFF, 0xFD, 0x90, 0x00), tail}), {true, 160, 44100, 2, 2}},
        {"MPEG-2 Layer I", Cat({Header(0xFF, 0xF7, 0x90, 0x00), tail}), {true, 144, 22050, 2, 2}},
        {"MPEG-2 Layer II", Cat({Header(0xFF, 0xF5, 0x90, 0x00), tail}), {true, 80, 22050, 2, 2}},
        {"MPEG-2 Layer III 24000", Cat({Header(0xFF, 0xF3, 0x94, 0xC0), tail}), {true, 80, 24000, 1, 2}},
        {"MPEG 2.5 Layer III 11025", Cat({Header(0xFF, 0xE3, 0x80, 0x00), tail}), {true, 64, 11025, 2, 2}},
        {"MPEG 2.5 Layer III 8000, 8 kbit/s", Cat({Header(0xFF, 0xE3, 0x18, 0xC0), tail}), {true, 8, 8000, 1, 2}},
        {"reserved version", Cat({Header(0xFF, 0xEB, 0x90, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"reserved layer", Cat({Header(0xFF, 0xF9, 0x90, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"sampling index 3", Cat({Header(0xFF, 0xFB, 0x9C, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"bit-rate index 0 (free format)", Cat({Header(0xFF, 0xFB, 0x00, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"bit-rate index 15", Cat({Header(0xFF, 0xFB, 0xF0, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"sync one bit short", Cat({Header(0xFF, 0xDB, 0x90, 0x64), tail}), {false, 0, 0, 0, 0}},
        {"refused headers, then one taken a byte later",
         Cat({Header(0xFF, 0xFB, 0xF0, 0x64), Header(0xFF, 0xEB, 0x90, 0x64), Header(0xFF, 0xFB, 0x50, 0x00), tail}),
         {true, 64, 44100, 2, 2}},
        {"a header overlapping a refused one", Cat({Bytes{0xFF}, Header(0xFF, 0xFB, 0x50, 0x00), tail}),
         {true, 64, 44100, 2, 2}},
        {"header in the last four bytes is never examined", Cat({Fill(10, 0), good}), {false, 0, 0, 0, 0}},
        {"one byte more and it is", Cat({Fill(10, 0), good, tail}), {true, 128, 44100, 2, 2}},
        {"false sync inside an ID3 tag is taken (tags are not read)",
         Cat({id3, Header(0xFF, 0xFB, 0x50, 0x00), Fill(6, 0x22), good, tail}), {true, 64, 44100, 2, 2}},
        {"refused sync inside an ID3 tag is passed over", Cat({id3, Fill(8, 0xFF), good, tail}), {true, 128, 44100, 2, 2}},
        {"empty file", Bytes{}, {false, 0, 0, 0, 0}},
        {"3 bytes", Bytes{0xFF, 0xFB, 0x90}, {false, 0, 0, 0, 0}},
        {"4 bytes, a header", good, {false, 0, 0, 0, 0}},
        {"5 bytes, a header first", Cat({good, tail}), {true, 128, 44100, 2, 2}},
        {"1 MB of 0xFF", Fill(1 << 20, 0xFF), {false, 0, 0, 0, 0}},
        {"1 MB of 0xFF, then a header", Cat({Fill(1 << 20, 0xFF), good, tail}), {true, 128, 44100, 2, 2}},
        {"1 MB of zeros", Fill(1 << 20, 0x00), {false, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("crafted.mp3");
        ASSERT_TRUE(qt::WriteBytes(path, c.file));
        const Found got = Search(path);
        EXPECT_EQ(c.want.found, got.found) << c.what;
        EXPECT_EQ(c.want.kbps, got.kbps) << c.what;
        EXPECT_EQ(c.want.rate, got.rate) << c.what;
        EXPECT_EQ(c.want.channels, got.channels) << c.what;
        EXPECT_EQ(c.want.flags, got.flags) << c.what;
        MPEGLAYER3WAVEFORMAT info;
        DWORD length = 0;
        const WORD r = GetMP3FileInfo(path.c_str(), &info, &length);
        if (!c.want.found) {
            EXPECT_EQ(102, r) << c.what;
        }
    }
    EXPECT_EQ(0, GetMP3HeaderInfo(dir.File("missing.mp3").c_str(), nullptr));
    EXPECT_EQ(0u, GetMP3BitRate(dir.File("missing.mp3").c_str()));
    EXPECT_EQ(0u, GetFileLength(dir.File("missing.mp3").c_str()));
    EXPECT_EQ(102, GetMP3FileInfo(dir.File("missing.mp3").c_str(), nullptr, nullptr));
}

TEST(Mp3FrameSearch, HeadersAcrossTheSearchBlocks) {
    // The search reads the file in blocks; a header may start in the last bytes of one and end
    // in the next. Put one at every offset around the first and second block boundaries, each
    // after a refused one two bytes before it.
    qt::ScratchDir dir;
    const std::string path = dir.File("boundary.mp3");
    for (std::size_t at : {0u, 1u, 65530u, 65531u, 65532u, 65533u, 65534u, 65535u, 65536u, 65537u, 131068u, 131069u,
                           131070u, 131071u, 131072u, 200000u}) {
        Bytes file(at + 4 + 3, 0);
        if (at >= 2) {
            file[at - 2] = 0xFF;
            file[at - 1] = 0xFB;  // refused: bytes 0 and 0xFF follow
        }
        const Bytes h = Header(0xFF, 0xF3, 0x94, 0xC0);
        std::memcpy(file.data() + at, h.data(), 4);
        ASSERT_TRUE(qt::WriteBytes(path, file));
        EXPECT_EQ(80u, GetMP3BitRate(path.c_str())) << "header at " << at;
        // Three bytes shorter: the header is the file's last four bytes and is not examined.
        file.resize(at + 4);
        ASSERT_TRUE(qt::WriteBytes(path, file));
        EXPECT_EQ(0u, GetMP3BitRate(path.c_str())) << "header at the end, " << at;
    }
}

TEST(Mp3FrameSearch, FormatRecordOfAHeaderWithoutBitRate) {
    struct Case {
        std::uint32_t header;
        WORD result;
    };
    for (const Case& c : {Case{0xFFFB0064u, 424}, Case{0xFFFBF064u, 424}, Case{0xFFFB9064u, 0}}) {
        const tagMP3Header h = mpeg::SplitHeader(c.header);
        MPEGLAYER3WAVEFORMAT f;
        std::memset(&f, 0x55, sizeof f);
        EXPECT_EQ(c.result, GetMPEGLayerFormat(&h, &f));
        // The fields after the wave format are always written; on 424 the wave format is not.
        EXPECT_EQ(1, f.wID);
        EXPECT_EQ(2u, f.fdwFlags);
        EXPECT_EQ(182, f.nBlockSize);
        EXPECT_EQ(1, f.nFramesPerBlock);
        EXPECT_EQ(1460, f.nCodecDelay);
        if (c.result != 0) {
            EXPECT_EQ(0x5555, f.wfx.wFormatTag);
            EXPECT_EQ(0x55555555u, f.wfx.nSamplesPerSec);
        }
    }
    DWORD v = 0x11223344u;
    EndianSwap(&v);
    EXPECT_EQ(0x44332211u, v);
}

TEST(Mp3FileInfo, LengthIsTheWholeFileAndThePcmFormatIsTheCodecs) {
    qt::ScratchDir dir;
    // A short stream of MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz (417 bytes each)
    // whose audio data is zero: decodable silence.
    Bytes frames;
    for (int i = 0; i < 40; ++i) {
        Bytes frame(417, 0);
        frame[0] = 0xFF;
        frame[1] = 0xFB;
        frame[2] = 0x90;
        frame[3] = 0x64;
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    struct Case {
        const char* what;
        Bytes file;
        WORD result;
    };
    const Bytes tag = Cat({Bytes{'I', 'D', '3', 4, 0, 0, 0, 0, 0x10, 0}, Fill(2048, 0)});
    Bytes tagOnly = Cat({Bytes{'I', 'D', '3', 4, 0, 0, 0, 0x0C, 0x1A, 0x38}, Fill(200000, 0)});
    for (std::size_t i = 10; i < tagOnly.size(); ++i) tagOnly[i] = static_cast<std::uint8_t>((i * 37) & 0x7F);
    const Case cases[] = {
        {"frames", frames, 0},
        {"a tag, then frames", Cat({tag, frames}), 0},
        {"frames with the last one cut short", Bytes(frames.begin(), frames.end() - 200), 0},
        {"all tag", tagOnly, 102},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("file.mp3");
        ASSERT_TRUE(qt::WriteBytes(path, c.file));
        MPEGLAYER3WAVEFORMAT f;
        std::memset(&f, 0x55, sizeof f);
        DWORD length = 0x55555555u;
        std::memset(&playWaveFormatEx, 0, sizeof playWaveFormatEx);
        EXPECT_EQ(c.result, GetMP3FileInfo(path.c_str(), &f, &length)) << c.what;
        EXPECT_EQ(c.file.size(), GetFileLength(path.c_str())) << c.what;
        if (c.result != 0) continue;
        EXPECT_EQ(c.file.size(), length) << c.what;
        EXPECT_EQ(WAVE_FORMAT_MPEGLAYER3, f.wfx.wFormatTag) << c.what;
        EXPECT_EQ(44100u, f.wfx.nSamplesPerSec) << c.what;
        EXPECT_EQ(WAVE_FORMAT_PCM, playWaveFormatEx.wFormatTag) << c.what;
        EXPECT_EQ(2, playWaveFormatEx.nChannels) << c.what;
        EXPECT_EQ(44100u, playWaveFormatEx.nSamplesPerSec) << c.what;
        EXPECT_EQ(16, playWaveFormatEx.wBitsPerSample) << c.what;
        EXPECT_EQ(4, playWaveFormatEx.nBlockAlign) << c.what;
        EXPECT_EQ(176400u, playWaveFormatEx.nAvgBytesPerSec) << c.what;
    }
}

TEST(Mp3CodecAccess, BuiltInDecoderGivesSixteenBitPcmAtTheFilesRateAndChannels) {
    for (std::uint32_t header : {0xFFFB9064u, 0xFFF394C0u, 0xFFE38000u}) {
        const tagMP3Header h = mpeg::SplitHeader(header);
        MPEGLAYER3WAVEFORMAT mp3;
        std::memset(&mp3, 0, sizeof mp3);
        ASSERT_EQ(0, GetMPEGLayerFormat(&h, &mp3));
        WAVEFORMATEX pcm;
        std::memset(&pcm, 0x55, sizeof pcm);
        ASSERT_EQ(0, GetMP3DestinationWaveFormat(nullptr, &mp3.wfx, &pcm));
        EXPECT_EQ(WAVE_FORMAT_PCM, pcm.wFormatTag);
        EXPECT_EQ(mp3.wfx.nChannels, pcm.nChannels);
        EXPECT_EQ(mp3.wfx.nSamplesPerSec, pcm.nSamplesPerSec);
        EXPECT_EQ(16, pcm.wBitsPerSample);
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
    struct Case {
        int channels;
        int rate;
        int kbps;
        const char* mode;
    };
    const Case cases[] = {{2, 44100, 128, "j"}, {1, 22050, 64, "m"}, {2, 11025, 32, "s"}, {1, 8000, 8, "m"},
                          {2, 48000, 320, "j"}, {2, 32000, 56, "f"}, {1, 16000, 24, "m"}, {2, 12000, 40, "j"}};
    for (const Case& c : cases) {
        const Bytes pcm = qt::CountingSamples(static_cast<std::size_t>(c.rate) * c.channels * 2);
        const std::string raw = dir.File("in.raw"), mp3 = dir.File("out.mp3");
        ASSERT_TRUE(qt::WriteBytes(raw, pcm));
        char cmd[512];
        std::snprintf(cmd, sizeof cmd,
                      "lame --quiet -r -s %g --bitwidth 16 --signed --little-endian -m %s --cbr -b %d "
                      "--resample %g --id3v2-only --tt 'A title' "
                      "'%s' '%s' 2>/dev/null",
                      c.rate / 1000.0, c.mode, c.kbps, c.rate / 1000.0, raw.c_str(), mp3.c_str());
        ASSERT_EQ(0, qt::RunCommand(cmd, &out)) << cmd;
        std::snprintf(cmd, sizeof cmd,
                      "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels,bit_rate "
                      "-of csv=p=0 '%s'",
                      mp3.c_str());
        ASSERT_EQ(0, qt::RunCommand(cmd, &out));
        int rate = 0, channels = 0, bitRate = 0;
        ASSERT_EQ(3, std::sscanf(out.c_str(), "%d,%d,%d", &rate, &channels, &bitRate)) << out;
        MPEGLAYER3WAVEFORMAT f;
        std::memset(&f, 0, sizeof f);
        ASSERT_EQ(1, GetMP3HeaderInfo(mp3.c_str(), &f)) << c.rate;
        EXPECT_EQ(static_cast<DWORD>(rate), f.wfx.nSamplesPerSec);
        EXPECT_EQ(static_cast<WORD>(channels), f.wfx.nChannels) << c.rate;
        EXPECT_EQ(static_cast<DWORD>(bitRate / 1000), GetMP3BitRate(mp3.c_str())) << c.rate;
        DWORD length = 0;
        ASSERT_EQ(0, GetMP3FileInfo(mp3.c_str(), &f, &length));
        EXPECT_EQ(qt::ReadBytes(mp3).size(), length);
    }
}

namespace {

MMRESULT MarkedSuggestImpl(DWORD mark, WORD bits, const WAVEFORMATEX* src, WAVEFORMATEX* dst) {
    if (src->wFormatTag != WAVE_FORMAT_MPEGLAYER3 || dst->wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    dst->nChannels = src->nChannels;
    dst->nSamplesPerSec = mark;
    dst->wBitsPerSample = bits;
    dst->nBlockAlign = 0;
    dst->nAvgBytesPerSec = 0;
    return MMSYSERR_NOERROR;
}
template <DWORD Mark>
MMRESULT Marked(const WAVEFORMATEX* src, DWORD, WAVEFORMATEX* dst, DWORD, DWORD) {
    return MarkedSuggestImpl(Mark, 0, src, dst);
}

const tAcmFormatTagInfo kTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"}, {WAVE_FORMAT_MPEGLAYER3, 30, 1, "MPEG Layer-3"}};

tAcmDriverTable Decoder(const char* name, MMRESULT (*suggest)(const WAVEFORMATEX*, DWORD, WAVEFORMATEX*, DWORD, DWORD),
                        DWORD support = ACMDRIVERDETAILS_SUPPORTF_CODEC) {
    return tAcmDriverTable{"fake", name, support, 2, kTags, 2, nullptr, suggest, nullptr, nullptr, nullptr, nullptr};
}

}  // namespace

TEST(Mp3CodecAccess, TheExcludedDriverIsPassedOverAndTheFirstOtherDecoderAnswers) {
    const tAcmDriverTable excluded = Decoder("Creative MP3 CODEC", Marked<1111>);
    const tAcmDriverTable otherCase = Decoder("creative MP3 codec", Marked<2222>);
    const tAcmDriverTable second = Decoder("Second decoder", Marked<3333>);
    const tAcmDriverTable disabled =
        Decoder("Disabled decoder", Marked<4444>, ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    struct Case {
        const char* what;
        std::vector<const tAcmDriverTable*> drivers;  // in enumeration order, built-in drivers hidden
        WORD result;                                  // of GetMP3DestinationWaveFormat
        MMRESULT walk;                                // of myAcmFormatSuggest with no driver
        DWORD rate;
    };
    const Case cases[] = {
        {"only the excluded driver", {&excluded}, 405, ACMERR_NOTPOSSIBLE, 0},
        {"the excluded one first, the same name in other letters after", {&excluded, &otherCase}, 0, 0, 2222},
        {"two decoders: the first enumerated", {&second, &otherCase}, 0, 0, 3333},
        {"a disabled decoder is not walked", {&disabled, &second}, 0, 0, 3333},
        {"no drivers", {}, 405, ACMERR_NOTPOSSIBLE, 0},
    };
    MPEGLAYER3WAVEFORMAT mp3;
    std::memset(&mp3, 0, sizeof mp3);
    const tagMP3Header h = mpeg::SplitHeader(0xFFFB9064u);
    ASSERT_EQ(0, GetMPEGLayerFormat(&h, &mp3));
    for (const Case& c : cases) {
        std::vector<HACMDRIVERID> ids;
        for (auto it = c.drivers.rbegin(); it != c.drivers.rend(); ++it) {
            HACMDRIVERID id = nullptr;
            ASSERT_EQ(MMSYSERR_NOERROR, acmQuillonInstallDriver(*it, FALSE, &id));
            ids.push_back(id);
        }
        acmQuillonShowBuiltinDrivers(FALSE);
        WAVEFORMATEX pcm;
        std::memset(&pcm, 0x55, sizeof pcm);
        EXPECT_EQ(c.result, GetMP3DestinationWaveFormat(nullptr, &mp3.wfx, &pcm)) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(c.rate, pcm.nSamplesPerSec) << c.what;
            // Repaired: 0 bits become 16, then block align and bytes per second follow.
            EXPECT_EQ(16, pcm.wBitsPerSample) << c.what;
            EXPECT_EQ(4, pcm.nBlockAlign) << c.what;
            EXPECT_EQ(4u * c.rate, pcm.nAvgBytesPerSec) << c.what;
        }
        Bytes buffer(64, 0);
        auto* dst = reinterpret_cast<WAVEFORMATEX*>(buffer.data());
        dst->wFormatTag = WAVE_FORMAT_PCM;
        EXPECT_EQ(c.walk, myAcmFormatSuggest(nullptr, &mp3.wfx, dst, 64, ACM_FORMATSUGGESTF_WFORMATTAG)) << c.what;
        // The walk leaves no driver open: an open driver could not be removed.
        for (HACMDRIVERID id : ids) EXPECT_EQ(MMSYSERR_NOERROR, acmQuillonRemoveDriver(id)) << c.what;
        acmQuillonShowBuiltinDrivers(TRUE);
    }
}

#endif
