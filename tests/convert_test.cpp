// Codec conversion through AudioConvert: the bytes of every output (the layout, and the audio as
// the compression manager converts the source's data), every result a host can provoke (natively
// also those that need a misbehaving driver or a full disk), jobs (progress, cancel, early
// close) and hostile sources. An MP3 WAVE file as ffmpeg writes one is CodecReference's.
#include "acm_test_util.h"
#include "convert/codec.h"
#include "frame/jobregistry.h"
#include "quillon.h"

using qt::Bytes;

namespace {

Bytes Wave(const Bytes& fmt, const Bytes& data, std::vector<qt::Chunk> after = {}) {
    std::vector<qt::Chunk> chunks = {{"fmt ", fmt}, {"data", data}};
    chunks.insert(chunks.end(), after.begin(), after.end());
    return qt::RiffFile(chunks);
}

std::uint32_t Le(const Bytes& b, std::size_t at, int n = 4) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
    return v;
}

// The chunks of a RIFF WAVE file in order, each whole; empty when it is not one.
std::vector<qt::ChunkSeen> Chunks(const Bytes& file) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 || std::memcmp(file.data() + 8, "WAVE", 4) != 0)
        return {};
    EXPECT_EQ(file.size() - 8, Le(file, 4)) << "RIFF size";
    const std::vector<qt::ChunkSeen> seen = qt::WalkChunks(file);
    for (const qt::ChunkSeen& c : seen) EXPECT_EQ(c.size, c.data.size()) << c.id << " runs past the end";
    return seen;
}

// The output's audio is, byte for byte, what the compression manager makes of the source's
// data when it is fed the way the library feeds it (acmtest::ConvertAll).
void ExpectCodecBytes(const std::string& src, const std::string& dst, const std::string& what) {
    acmtest::Format inFmt, outFmt;
    Bytes inData, outData, expected;
    ASSERT_TRUE(acmtest::ParseWave(qt::ReadBytes(src), &inFmt, &inData)) << what;
    ASSERT_TRUE(acmtest::ParseWave(qt::ReadBytes(dst), &outFmt, &outData)) << what;
    ASSERT_EQ(MMSYSERR_NOERROR, acmtest::ConvertAll(nullptr, inFmt, outFmt, inData, &expected)) << what;
    EXPECT_TRUE(expected == outData) << what << ": " << outData.size() << " bytes, not the codec's " << expected.size();
}

// Position of a tag in a codec's list, -1 when it has none.
int TagIndex(int codec, DWORD tag) {
    tACMDRIVERINFO info;
    if (codec < 0 || GetCodecDescription(&info, static_cast<unsigned short>(codec)) != 0) return -1;
    for (unsigned i = 0; i < info.currentFormatTag; ++i) {
        tACMCODECFORMATTAGINFO t;
        GetCodecFormatTagDescription(&t, static_cast<unsigned short>(codec), static_cast<unsigned short>(i));
        if (t.formatTag == tag) return static_cast<int>(i);
    }
    return -1;
}

int CodecFor(DWORD tag) { return GetCodecIndexFromLinkList(tag); }

// The largest format record of a codec, as the compression manager tells it.
DWORD LargestFormat(int codec) {
    tACMDRIVERINFO info;
    EXPECT_EQ(0, GetCodecDescription(&info, static_cast<unsigned short>(codec)));
    DWORD size = 0;
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(static_cast<HACMOBJ>(info.hadid), ACM_METRIC_MAX_SIZE_FORMAT, &size));
    return size;
}

// Tag, bytes per second, block align and cbSize are nonsense: the conversion recomputes them.
const WAVEFORMATEX kWanted = {0x1234, 2, 44100, 7, 3, 16, 99};

unsigned short Sync(int codec, int tag, const std::string& src, const std::string& dst,
                    const WAVEFORMATEX* wanted = nullptr, int override = 0) {
    return AudioConvert(static_cast<unsigned short>(codec), tag, src.c_str(), dst.c_str(), wanted, override, nullptr, 1);
}

// Runs a job to its end; its progress never falls and ends at most at 100.
unsigned short Job(int codec, int tag, const std::string& src, const std::string& dst, const WAVEFORMATEX* wanted,
                   int override) {
    QUILLON_CONVERT_HANDLE h = nullptr;
    const unsigned short started = AudioConvert(static_cast<unsigned short>(codec), tag, src.c_str(), dst.c_str(),
                                                wanted, override, &h, 0);
    if (started != 0) return started;
    for (unsigned last = 0, now = 0; !AudioConvertProcessIsOver(h); last = now) {
        EXPECT_LE(last, now = AudioConvertGetProcessProgress(h));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_LE(AudioConvertGetProcessProgress(h), 100u);
    const unsigned short reason = AudioConvertGetReasonForProcessExit(h);
    EXPECT_EQ(0, AudioConvertCloseHandle(&h));
    EXPECT_EQ(nullptr, h);
    return reason;
}

// MPEG-1 Layer III frames (128 kbit/s, 44100 Hz, joint stereo) of all-zero audio data: silence.
Bytes SilentMp3Frames(int count, std::size_t cut = 0) {
    Bytes frames;
    for (int i = 0; i < count; ++i) {
        const Bytes header = {0xFF, 0xFB, 0x90, 0x64};
        frames.insert(frames.end(), header.begin(), header.end());
        frames.resize(frames.size() + 413, 0);
    }
    frames.resize(frames.size() - cut);
    return frames;
}

}  // namespace

TEST(ConvertOutput, ByteLayoutOfEveryOutput) {
    qt::ScratchDir dir;
    const int ima = CodecFor(WAVE_FORMAT_IMA_ADPCM), ms = CodecFor(WAVE_FORMAT_ADPCM);
    const int g711 = CodecFor(WAVE_FORMAT_ALAW), mp3 = CodecFor(WAVE_FORMAT_MPEGLAYER3);
    ASSERT_TRUE(ima >= 0 && g711 >= 0 && mp3 >= 0);
    const std::string pcm = dir.File("pcm.wav"), mono = dir.File("mono.wav"), mp3Wav = dir.File("mp3.wav");
    const std::string trailing = dir.File("trailing.wav"), dataFirst = dir.File("data-first.wav");
    const Bytes monoFmt = qt::PcmFormat(1, 8000, 16), monoData = acmtest::Signal16(1, 8000, 8000);
    ASSERT_TRUE(qt::WriteBytes(pcm, Wave(qt::PcmFormat(2, 44100, 16), acmtest::Signal16(2, 44100, 88200))));
    ASSERT_TRUE(qt::WriteBytes(mono, Wave(monoFmt, monoData)));
    ASSERT_TRUE(qt::WriteBytes(trailing, Wave(monoFmt, monoData, {{"LIST", Bytes(333, 0x42)}, {"junk", Bytes(1001, 7)}})));
    ASSERT_TRUE(qt::WriteBytes(dataFirst, qt::RiffFile({{"data", monoData}, {"fmt ", monoFmt}})));
    ASSERT_TRUE(qt::WriteBytes(mp3Wav, Wave(acmtest::Mp3(2, 44100, 128).bytes, SilentMp3Frames(30))));
    // tag -1: the codec suggests; destTag 0: A-law or mu-law; sameAs: an output these bytes must equal.
    struct Case { const char* what; int codec, tag; std::string src, dst; const WAVEFORMATEX* wanted; WORD destTag;
        DWORD fmtSize; const char* sameAs = nullptr; };
    std::vector<Case> cases = {
        {"IMA ADPCM encode", ima, -1, pcm, "ima.wav", nullptr, WAVE_FORMAT_IMA_ADPCM, LargestFormat(ima)},
        {"G.711 encode", g711, -1, mono, "law.wav", nullptr, 0, LargestFormat(g711)},
        {"only the data chunk is converted", g711, -1, trailing, "law2.wav", nullptr, 0, LargestFormat(g711), "law.wav"},
        {"a data chunk before fmt", g711, -1, dataFirst, "law3.wav", nullptr, 0, LargestFormat(g711), "law.wav"},
        {"IMA ADPCM decode", ima, -1, dir.File("ima.wav"), "ima-dec.wav", nullptr, WAVE_FORMAT_PCM, LargestFormat(ima)},
        {"IMA ADPCM decode to the PCM tag", ima, TagIndex(ima, WAVE_FORMAT_PCM), dir.File("ima.wav"), "ima-pcm.wav",
         &kWanted, WAVE_FORMAT_PCM, 18},
        {"G.711 decode", g711, -1, dir.File("law.wav"), "law-dec.wav", nullptr, WAVE_FORMAT_PCM, LargestFormat(g711)},
        {"MP3 decode", mp3, -1, mp3Wav, "mp3-dec.wav", nullptr, WAVE_FORMAT_PCM, LargestFormat(mp3)},
        {"tag index past the codec's list: the suggestion decides", ima, 1 << 20, pcm, "ima2.wav", nullptr,
         WAVE_FORMAT_IMA_ADPCM, LargestFormat(ima)},
    };
    if (acmtest::kMsAdpcmEncoderPresent && ms >= 0) {
        cases.push_back({"MS ADPCM encode", ms, -1, pcm, "ms.wav", nullptr, WAVE_FORMAT_ADPCM, LargestFormat(ms)});
        cases.push_back({"MS ADPCM decode", ms, -1, dir.File("ms.wav"), "ms-dec.wav", nullptr, WAVE_FORMAT_PCM,
                         LargestFormat(ms)});
    }
    for (const Case& c : cases) {
        ASSERT_EQ(0, Sync(c.codec, c.tag, c.src, dir.File(c.dst), c.wanted)) << c.what;
        std::size_t sourceData = 0;
        for (const qt::ChunkSeen& chunk : Chunks(qt::ReadBytes(c.src)))
            if (chunk.id == "data") sourceData = chunk.data.size();
        const std::vector<qt::ChunkSeen> out = Chunks(qt::ReadBytes(dir.File(c.dst)));
        ASSERT_EQ(3u, out.size()) << c.what;
        EXPECT_EQ("fmt factdata", out[0].id + out[1].id + out[2].id) << c.what;
        EXPECT_EQ(c.fmtSize, out[0].data.size()) << c.what;
        ASSERT_EQ(4u, out[1].data.size()) << c.what;
        EXPECT_EQ(sourceData, Le(out[1].data, 0)) << c.what << ": fact holds the source's data size in bytes";
        const WORD tag = static_cast<WORD>(Le(out[0].data, 0, 2));
        EXPECT_TRUE(c.destTag != 0 ? tag == c.destTag : tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW) << c.what;
        if (c.destTag == 0) { EXPECT_EQ(sourceData / 2, out[2].data.size()) << c.what << ": one byte per sample"; }
        if (c.sameAs) { EXPECT_EQ(qt::ReadBytes(dir.File(c.sameAs)), qt::ReadBytes(dir.File(c.dst))) << c.what; }
        if (c.wanted != nullptr) {  // bytes per second, block align and cbSize as the format says
            EXPECT_EQ(std::make_tuple(176400u, 4u, 0u),
                      std::make_tuple(Le(out[0].data, 8), Le(out[0].data, 12, 2), Le(out[0].data, 16, 2))) << c.what;
        }
        ExpectCodecBytes(c.src, dir.File(c.dst), c.what);
    }
}

TEST(ConvertResults, EveryCodeAHostCanProvoke) {
    qt::ScratchDir dir;
    const int ima = CodecFor(WAVE_FORMAT_IMA_ADPCM), mp3 = CodecFor(WAVE_FORMAT_MPEGLAYER3);
    const int imaPcm = TagIndex(ima, WAVE_FORMAT_PCM);
    const Bytes fmt = qt::PcmFormat(2, 44100, 16), audio = qt::CountingSamples(40000);
    auto file = [&](const char* name, const Bytes& bytes) {
        EXPECT_TRUE(qt::WriteBytes(dir.File(name), bytes));
        return dir.File(name);
    };
    Bytes shortFmt = qt::RiffFile({{"fmt ", Bytes(50, 1), true, 50}});
    shortFmt.resize(12 + 8 + 20);
    Bytes claims = Wave(fmt, audio);
    const std::uint32_t claimed = static_cast<std::uint32_t>(audio.size() * 5 / 2);  // 2.5 times what is there
    std::memcpy(claims.data() + claims.size() - audio.size() - 4, &claimed, 4);
    const std::string good = file("good.wav", Wave(fmt, audio)), out = dir.File("out.wav");
    struct Case { const char* what; int codec, tag; std::string src, dst; const WAVEFORMATEX* wanted; int override;
        unsigned short expected; };
    const Case cases[] = {
        {"empty source name", ima, -1, "", out, nullptr, 0, 407},
        {"empty destination name", ima, -1, good, "", nullptr, 0, 408},
        {"missing source", ima, -1, dir.File("missing.wav"), out, nullptr, 0, 407},
        {"source not RIFF", ima, -1, file("text.wav", Bytes(100, 'x')), out, nullptr, 0, 409},
        {"RIFF of another form", ima, -1, file("avi.wav", qt::RiffFile({{"fmt ", fmt}, {"data", audio}}, "AVI ")), out,
         nullptr, 0, 409},
        {"no fmt chunk", ima, -1, file("nofmt.wav", qt::RiffFile({{"data", audio}})), out, nullptr, 0, 429},
        {"fmt chunk cut short by the end of the file", ima, -1, file("short.wav", shortFmt), out, nullptr, 0, 430},
        {"no data chunk", ima, -1, file("nodata.wav", qt::RiffFile({{"fmt ", fmt}, {"LIST", Bytes(10, 0)}})), out,
         nullptr, 0, 410},
        {"data size past the end of the file", ima, -1, file("claims.wav", claims), out, nullptr, 0, 423},
        {"codec index past the catalogue", 9999, -1, good, out, nullptr, 0, 400},
        {"codec index 65535", 65535, -1, good, out, nullptr, 0, 400},
        {"destination folder missing", ima, -1, good, dir.File("no-such-folder") + QL_PATH_SEPARATOR + "out.wav",
         nullptr, 0, 408},
        {"a PCM tag the codec cannot reach, no override", ima, imaPcm, good, out, &kWanted, 0, 406},
        {"the same with the override", ima, imaPcm, good, out, &kWanted, 1, 0},
        {"an MP3 decoder given PCM", mp3, -1, good, out, nullptr, 0, 405},
        {"a successful conversion", ima, -1, good, out, nullptr, 0, 0},
        {"a PCM tag and no wanted format: all zero, no stream opens", ima, imaPcm, good, out, nullptr, 0, 406},
        {"the same with the override: the source's own format", ima, imaPcm, good, out, nullptr, 1, 0},
    };
    for (const Case& c : cases) {
        Bytes synchronous;
        for (bool job : {false, true}) {  // 407 and 408 come from the start call of a job
            std::remove(out.c_str());
            EXPECT_EQ(c.expected, job ? Job(c.codec, c.tag, c.src, c.dst, c.wanted, c.override)
                                      : Sync(c.codec, c.tag, c.src, c.dst, c.wanted, c.override))
                << c.what << (job ? " (job)" : "");
            EXPECT_EQ(c.expected == 0, qt::FileExists(out)) << c.what << (job ? " (job)" : "");
            if (c.expected == 0 && !job) synchronous = qt::ReadBytes(out);
            if (c.expected == 0 && job) {
                EXPECT_EQ(synchronous, qt::ReadBytes(out)) << c.what << ": the job writes the same";
            }
        }
    }
    const std::vector<qt::ChunkSeen> own = Chunks(qt::ReadBytes(out));  // the last row's output
    ASSERT_EQ(3u, own.size());
    EXPECT_EQ(fmt, Bytes(own[0].data.begin(), own[0].data.begin() + 16));
    EXPECT_EQ(audio, own[2].data);
}

// The override for a PCM tag the stream cannot reach (44.1 kHz mono 8-bit from 8 or 22.05 kHz
// stereo): every compressed kind that is decoded falls back to the PCM the drivers suggest for
// it (its own rate and channels, 16 bits), synchronously and as a job, and the audio is the
// compression manager's decode of the source's data; natively ffmpeg or sox decodes the source
// to the same samples. Without the override no stream opens.
TEST(ConvertOverride, EveryCompressedSourceFallsBackToTheSuggestedPcm) {
    qt::ScratchDir dir;
    acmtest::Format ima = acmtest::Coded(WAVE_FORMAT_IMA_ADPCM, 2, 22050);
    Bytes imaData;
    ASSERT_EQ(MMSYSERR_NOERROR, acmtest::ConvertAll(nullptr, acmtest::Pcm(2, 22050, 16), ima,
                                                    acmtest::Signal16(2, 22050, 22050), &imaData));
    Bytes lawData;
    for (int i = 0; i < 3 * 256; ++i) lawData.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
    const WAVEFORMATEX wanted = {WAVE_FORMAT_PCM, 1, 44100, 44100, 1, 8, 0};
    const struct { const char* what; WORD tag; acmtest::Format fmt; Bytes data; bool sox; } cases[] = {
        {"IMA ADPCM", WAVE_FORMAT_IMA_ADPCM, ima, imaData, true},
        {"MS ADPCM", WAVE_FORMAT_ADPCM, acmtest::MsAdpcm(2, 22050, 1024), acmtest::MsAdpcmBlocks(2, 1024, 5), false},
        {"A-law", WAVE_FORMAT_ALAW, acmtest::Law(WAVE_FORMAT_ALAW, 2), lawData, false},
        {"mu-law", WAVE_FORMAT_MULAW, acmtest::Law(WAVE_FORMAT_MULAW, 2), lawData, false},
        {"MP3", WAVE_FORMAT_MPEGLAYER3, acmtest::Mp3(2, 44100, 128), SilentMp3Frames(30), false},
    };
#ifndef _WIN32
    const bool tools = qt::RunCommand("command -v sox && command -v ffmpeg", nullptr) == 0;
    if (!tools) std::printf("[ note     ] sox or ffmpeg is not installed: the decodes are not compared with theirs\n");
#endif
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int codec = CodecFor(c.tag), pcmTag = TagIndex(codec, WAVE_FORMAT_PCM);
        ASSERT_GE(pcmTag, 0) << "the codec that decodes it lists PCM";
        const std::string src = dir.File("src.wav"), dst = dir.File("dst.wav");
        ASSERT_TRUE(qt::WriteBytes(src, Wave(c.fmt.bytes, c.data)));
        std::remove(dst.c_str());
        EXPECT_EQ(406, Sync(codec, pcmTag, src, dst, &wanted, 0));
        EXPECT_FALSE(qt::FileExists(dst));
        EXPECT_EQ(0, Job(codec, pcmTag, src, dst, &wanted, 1));
        const Bytes fromJob = qt::ReadBytes(dst);
        ASSERT_EQ(0, Sync(codec, pcmTag, src, dst, &wanted, 1));
        EXPECT_EQ(fromJob, qt::ReadBytes(dst)) << "the job writes the same";
        const std::vector<qt::ChunkSeen> out = Chunks(qt::ReadBytes(dst));
        ASSERT_EQ(3u, out.size());
        const WORD channels = c.fmt.wfx()->nChannels;
        const DWORD rate = c.fmt.wfx()->nSamplesPerSec;
        EXPECT_EQ(qt::FormatBytes(WAVE_FORMAT_PCM, channels, rate, 16, static_cast<WORD>(2 * channels), true, 0),
                  out[0].data) << "an 18-byte PCM record at the source's rate and channels, 16 bits";
        ExpectCodecBytes(src, dst, c.what);
#ifndef _WIN32
        if (!tools || c.tag == WAVE_FORMAT_MPEGLAYER3) continue;  // MP3 decoders differ in the encoder delay
        const std::string raw = dir.File("ref.raw");
        ASSERT_EQ(0, qt::RunCommand(c.sox ? "sox '" + src + "' -t raw -e signed-integer -b 16 -L '" + raw + "'"
                                          : "ffmpeg -nostdin -loglevel error -y -i '" + src + "' -f s16le '" + raw + "'",
                                    nullptr));
        EXPECT_TRUE(qt::ReadBytes(raw) == out[2].data) << (c.sox ? "sox" : "ffmpeg") << " decodes the source alike";
#endif
    }
}

TEST(ConvertResults, AFullDiskLeavesNoDestination) {
    qt::ScratchDir dir;
    qt::TinyDisk disk(dir.File("disk"), "64k");
    QT_SKIP_WITHOUT_TMPFS(disk);
    const std::string filler = disk.File("filler"), dst = disk.File("out.wav");
    // The buffered writer reaches the disk when its buffer fills (while converted bytes are
    // written) and when the sizes are patched at the end (when the data chunk is closed).
    struct Case { const char* what; std::size_t filler, samples; unsigned short expected; };
    for (const Case& c : {Case{"the disk fills while converted bytes are written", 0, 200000, 425},
                          Case{"the disk fills when the data chunk is closed", 60 * 1024, 6000, 426}}) {
        ASSERT_TRUE(qt::WriteBytes(filler, Bytes(c.filler, 1)));
        ASSERT_TRUE(qt::WriteBytes(dir.File("src.wav"),
                                   Wave(qt::PcmFormat(1, 8000, 16), acmtest::Signal16(1, 8000, c.samples))));
        EXPECT_EQ(c.expected, Sync(CodecFor(WAVE_FORMAT_ALAW), -1, dir.File("src.wav"), dst)) << c.what;
        EXPECT_FALSE(qt::FileExists(dst)) << c.what;
        std::remove(filler.c_str());
    }
}

TEST(ConvertJobs, CancelEndsWithZeroAndLeavesNoDestination) {
    qt::ScratchDir dir;
    const int ima = CodecFor(WAVE_FORMAT_IMA_ADPCM);
    const std::string src = dir.File("src.wav"), dst = dir.File("dst.wav");
    ASSERT_TRUE(qt::WriteBytes(src, Wave(qt::PcmFormat(2, 44100, 16), acmtest::Signal16(2, 44100, 44100 * 30))));
    int cancelledMidway = 0;
    for (int attempt = 0; attempt < 20 && cancelledMidway < 3; ++attempt) {
        QUILLON_CONVERT_HANDLE h = nullptr;
        ASSERT_EQ(0, AudioConvert(static_cast<unsigned short>(ima), -1, src.c_str(), dst.c_str(), nullptr, 0, &h, 0));
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 3));
        EXPECT_EQ(0, AudioConvertCancelPressed(h));
        while (!AudioConvertProcessIsOver(h)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const unsigned progress = AudioConvertGetProcessProgress(h);
        EXPECT_EQ(0, AudioConvertGetReasonForProcessExit(h));
        EXPECT_EQ(0, AudioConvertCloseHandle(&h));
        const bool finishedFirst = qt::FileExists(dst);
        cancelledMidway += !finishedFirst;
        EXPECT_TRUE(finishedFirst ? Chunks(qt::ReadBytes(dst)).size() == 3 : progress < 100) << "a job that finished is whole";
        std::remove(dst.c_str());
    }
    EXPECT_GE(cancelledMidway, 1);
    EXPECT_EQ(0, LiveJobCount());
}

TEST(ConvertJobs, StartChecksAndAnEarlyClose) {
    qt::ScratchDir dir;
    const unsigned short ima = static_cast<unsigned short>(CodecFor(WAVE_FORMAT_IMA_ADPCM));
    const std::string src = dir.File("src.wav"), dst = dir.File("dst.wav");
    ASSERT_TRUE(qt::WriteBytes(src, Wave(qt::PcmFormat(2, 44100, 16), acmtest::Signal16(2, 44100, 44100 * 20))));
    const int before = LiveJobCount();  // names are checked first, a handle needs a place
    QUILLON_CONVERT_HANDLE h = reinterpret_cast<QUILLON_CONVERT_HANDLE>(&dir);
    EXPECT_EQ(407, AudioConvert(ima, -1, nullptr, dst.c_str(), nullptr, 0, &h, 0));
    EXPECT_EQ(408, AudioConvert(ima, -1, src.c_str(), nullptr, nullptr, 0, &h, 0));
    EXPECT_EQ(reinterpret_cast<QUILLON_CONVERT_HANDLE>(&dir), h);
    EXPECT_EQ(402, AudioConvert(ima, -1, src.c_str(), dst.c_str(), nullptr, 0, nullptr, 0));
    EXPECT_EQ(before, LiveJobCount());
    EXPECT_FALSE(qt::FileExists(dst));
    // Closing a running job cancels it; the worker frees its record.
    ASSERT_EQ(0, AudioConvert(ima, -1, src.c_str(), dst.c_str(), nullptr, 0, &h, 0));
    EXPECT_EQ(0, AudioConvertCloseHandle(&h));
    EXPECT_EQ(nullptr, h);
    for (int i = 0; i < 60000 && LiveJobCount() != before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(before, LiveJobCount());
    if (qt::FileExists(dst)) { EXPECT_EQ(3u, Chunks(qt::ReadBytes(dst)).size()); }
}

TEST(ConvertBadInput, DamagedAndTruncatedSources) {
    qt::ScratchDir dir;
    const int ima = CodecFor(WAVE_FORMAT_IMA_ADPCM), mp3 = CodecFor(WAVE_FORMAT_MPEGLAYER3);
    // IMA ADPCM from our own encode, MP3 frames of silence.
    ASSERT_TRUE(qt::WriteBytes(dir.File("pcm.wav"), Wave(qt::PcmFormat(1, 22050, 16), acmtest::Signal16(1, 22050, 22050))));
    ASSERT_EQ(0, Sync(ima, -1, dir.File("pcm.wav"), dir.File("ima.wav")));
    const std::vector<qt::ChunkSeen> imaFile = Chunks(qt::ReadBytes(dir.File("ima.wav")));
    const Bytes imaFmt = imaFile.at(0).data, imaData = imaFile.at(2).data;
    const std::size_t imaAlign = Le(imaFmt, 12, 2);
    Bytes imaAlign0 = imaFmt;
    imaAlign0[12] = imaAlign0[13] = 0;
    Bytes allTag(100000);
    std::memcpy(allTag.data(), "ID3\x04\x00\x00\x00\x06\x0D\x18", 10);
    for (std::size_t i = 10; i < allTag.size(); ++i) allTag[i] = static_cast<std::uint8_t>((i * 37) & 0x7F);
    // A damaged format: Wine's codecs open these and then divide or read past the record.
    struct Case { const char* what; int codec; Bytes fmt, data; bool damagedFormat; unsigned short expected; };
    const Case cases[] = {
        {"IMA ADPCM, last block cut to half", ima, imaFmt,
         Bytes(imaData.begin(), imaData.end() - static_cast<long>(imaData.size() % imaAlign + imaAlign / 2)), true, 0},
        {"IMA ADPCM, block align 0", ima, imaAlign0, imaData, true, 405},
        {"MP3, the last frame cut short", mp3, acmtest::Mp3(2, 44100, 128).bytes, SilentMp3Frames(20, 300), false, 0},
        {"MP3 data that is all ID3 tag", mp3, acmtest::Mp3(2, 44100, 128).bytes, allTag, false, 0},
    };
    const std::string src = dir.File("bad.wav"), dst = dir.File("bad-out.wav");
    for (const Case& c : cases) {
        if (c.damagedFormat && !acmtest::kRefusesDamagedFormats) {
            std::printf("[ skipped  ] %s: Wine's codec accepts this format and then misbehaves on it\n", c.what);
            continue;
        }
        std::remove(dst.c_str());
        ASSERT_TRUE(qt::WriteBytes(src, Wave(c.fmt, c.data)));
        EXPECT_EQ(c.expected, Sync(c.codec, -1, src, dst)) << c.what;
        EXPECT_EQ(c.expected == 0, qt::FileExists(dst)) << c.what;
        if (c.expected != 0) continue;
        const std::vector<qt::ChunkSeen> out = Chunks(qt::ReadBytes(dst));
        ASSERT_EQ(3u, out.size()) << c.what;
        EXPECT_EQ(c.data.size(), Le(out[1].data, 0)) << c.what;
        EXPECT_TRUE(c.data != allTag || out[2].data.empty()) << c.what << ": no frame, no audio";
        ExpectCodecBytes(src, dst, c.what);
    }
}

#ifdef _WIN32
TEST(ConvertFakeDrivers, NeedTheLinuxLayer) {
    GTEST_SKIP() << "drivers that fail on purpose are installed through the Linux compression manager's seam";
}
#else
namespace {

// A fake codec from PCM to tag 0x7777 that copies bytes; how it misbehaves is set per row.
enum class Misbehaviour { None, SizeFails, ConvertFails, TakesWholeWordsOnly, TakesNothing };
Misbehaviour gMisbehaviour = Misbehaviour::None;
DWORD gSupportAnswer = ACMDRIVERDETAILS_SUPPORTF_CODEC;
int gStreamToken;

MMRESULT FakeSupport(DWORD* support) {
    if (gSupportAnswer == 0) return MMSYSERR_ERROR;
    *support = gSupportAnswer;
    return MMSYSERR_NOERROR;
}
MMRESULT FakeSuggest(const WAVEFORMATEX* src, DWORD, WAVEFORMATEX* dst, DWORD, DWORD) {
    if (src->wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    *dst = *src;
    dst->wFormatTag = 0x7777, dst->cbSize = 0;
    return MMSYSERR_NOERROR;
}
MMRESULT FakeOpen(const WAVEFORMATEX* src, DWORD, const WAVEFORMATEX* dst, DWORD, void** state) {
    if (src->wFormatTag != WAVE_FORMAT_PCM || dst->wFormatTag != 0x7777) return ACMERR_NOTPOSSIBLE;
    *state = &gStreamToken;
    return MMSYSERR_NOERROR;
}
MMRESULT FakeSize(void*, DWORD, DWORD cbInput, DWORD* out) {
    if (gMisbehaviour == Misbehaviour::SizeFails) return MMSYSERR_ERROR;
    *out = cbInput;
    return MMSYSERR_NOERROR;
}
MMRESULT FakeConvert(void*, const BYTE* src, DWORD cbSrc, DWORD* used, BYTE* dst, DWORD cbDst, DWORD* made, DWORD) {
    if (gMisbehaviour == Misbehaviour::ConvertFails) return MMSYSERR_ERROR;
    DWORD n = std::min(cbSrc, cbDst);
    if (gMisbehaviour == Misbehaviour::TakesWholeWordsOnly) n -= n % 4;
    if (gMisbehaviour == Misbehaviour::TakesNothing) n = 0;
    std::memcpy(dst, src, n);
    *used = *made = n;
    return MMSYSERR_NOERROR;
}
void FakeClose(void*) {}

const tAcmFormatTagInfo kFakeTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"}, {0x7777, 18, 1, "Copy"}};

}  // namespace

TEST(ConvertFakeDrivers, CodesOnlyAMisbehavingDriverGives) {
    qt::ScratchDir dir;
    const std::string src = dir.File("src.wav"), dst = dir.File("dst.wav");
    const Bytes audio = qt::CountingSamples(200001);  // an odd size: one byte that makes no word
    ASSERT_TRUE(qt::WriteBytes(src, Wave(qt::PcmFormat(1, 8000, 8), audio)));
    tAcmDriverTable table{"copy", "Copying codec", ACMDRIVERDETAILS_SUPPORTF_CODEC, 2, kFakeTags, 2, FakeSupport,
                          FakeSuggest, FakeOpen, FakeSize, FakeConvert, FakeClose};
    struct Rebuild {  // the catalogue without the fake, however the test ends
        ~Rebuild() { GetNumberOfCodec(); }
    } rebuild;
    acmtest::FakeDrivers fake;
    ASSERT_NE(nullptr, fake.Add(&table));
    GetNumberOfCodec();  // the fake is codec 0
    const DWORD codec = ACMDRIVERDETAILS_SUPPORTF_CODEC, disabled = codec | ACMDRIVERDETAILS_SUPPORTF_DISABLED;
    // flags: the driver's own; support: what its support query answers (0: it fails); dataOut -1: no destination left.
    struct Case { const char* what; Misbehaviour misbehaviour; DWORD flags, support; int tag; unsigned short expected;
        long dataOut; };
    const Case cases[] = {
        {"a copying codec", Misbehaviour::None, codec, codec, -1, 0, 200001},
        {"its own tag chosen (no chooser here)", Misbehaviour::None, codec, codec, 1, 0, 200001},
        {"a tag index past the tags listed", Misbehaviour::None, codec, codec, 2, 0, 200001},
        {"the support query fails", Misbehaviour::None, codec, 0, -1, 403, -1},
        {"it says it is enabled but cannot be opened", Misbehaviour::None, disabled, codec, -1, 404, -1},
        {"disabled since the catalogue was built: nothing is done", Misbehaviour::None, codec, disabled, -1, 0, -1},
        {"no block size", Misbehaviour::SizeFails, codec, codec, -1, 411, -1},
        {"the conversion call fails", Misbehaviour::ConvertFails, codec, codec, -1, 424, -1},
        {"a tail it never takes is left out", Misbehaviour::TakesWholeWordsOnly, codec, codec, -1, 0, 200000},
        {"a block it never takes", Misbehaviour::TakesNothing, codec, codec, -1, 424, -1},
    };
    for (const Case& c : cases) {
        gMisbehaviour = c.misbehaviour;
        gSupportAnswer = c.support;
        table.fdwSupport = c.flags;
        std::remove(dst.c_str());
        EXPECT_EQ(c.expected, Sync(0, c.tag, src, dst)) << c.what;
        table.fdwSupport = codec;
        EXPECT_EQ(c.dataOut >= 0, qt::FileExists(dst)) << c.what;
        if (c.dataOut < 0) continue;
        const std::vector<qt::ChunkSeen> out = Chunks(qt::ReadBytes(dst));
        ASSERT_EQ(3u, out.size()) << c.what;
        EXPECT_EQ(audio.size(), Le(out[1].data, 0)) << c.what;
        EXPECT_EQ(Bytes(audio.begin(), audio.begin() + c.dataOut), out[2].data) << c.what;
        EXPECT_EQ(18u, out[0].data.size()) << c.what;
        EXPECT_EQ(0x7777u, Le(out[0].data, 0, 2)) << c.what;
    }
}

#endif
