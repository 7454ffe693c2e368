// WAVE file information: good files with chunks in any order, and a table of bad and hostile
// files, each with its result code, no crash, no leak and no handle left open.
#include "frame/fileinfo.h"
#include "frame/state.h"
#include "quillon.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using qt::Bytes;
using qt::Chunk;

// Open descriptors (Linux) or handles (Windows) of this process.
long OpenHandleCount() {
#ifdef _WIN32
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return static_cast<long>(n);
#else
    long n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
#endif
}

const Bytes kPcm = qt::PcmFormat(2, 44100, 16);
const Bytes kAudio = qt::CountingSamples(4000);

Bytes WithFormat(const Bytes& fmt) { return qt::RiffFile({{"fmt ", fmt}, {"data", kAudio}}); }

struct BadFile {
    const char* what;
    std::function<Bytes()> bytes;
    unsigned short infoCode;  // AudioGetFileInfo, milliseconds
};

const std::uint32_t kZero = 0, kAllOnes = 0xFFFFFFFFu;

const BadFile kBadFiles[] = {
    {"an empty file", [] { return Bytes(); }, 102},
    {"an 11-byte file", [] { return Bytes{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}; }, 102},
    {"a RIFX header", [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio}}, "WAVE", "RIFX"); }, 102},
    {"an RF64 header", [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio}}, "WAVE", "RF64"); }, 102},
    {"a form other than WAVE", [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio}}, "AVI "); }, 102},
    {"RIFF size 0", [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio}}, "WAVE", "RIFF", &kZero); }, 102},
    // Windows' chunk search takes the form's end as offset 8 + size in 32 bits, which wraps to
    // before the first chunk: nothing is inside. Ours reads it as "to the end of the file", the
    // size a writer leaves when it could not know the length.
    {"RIFF size 0xFFFFFFFF",
     [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio}}, "WAVE", "RIFF", &kAllOnes); },
#ifdef _WIN32
     102},
#else
     0},
#endif
    {"no fmt chunk", [] { return qt::RiffFile({{"data", kAudio}}); }, 102},
    {"two fmt chunks, the first one used",
     [] { return qt::RiffFile({{"fmt ", kPcm}, {"fmt ", qt::PcmFormat(1, 8000, 8)}, {"data", kAudio}}); }, 0},
    {"fmt of size 0", [] { return WithFormat(Bytes()); }, 102},
    {"fmt of size 2", [] { return WithFormat(Bytes(kPcm.begin(), kPcm.begin() + 2)); }, 102},
    {"fmt of size 14", [] { return WithFormat(Bytes(kPcm.begin(), kPcm.begin() + 14)); }, 102},
    {"fmt of size 16", [] { return WithFormat(kPcm); }, 0},
    {"fmt of size 18", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 16, 4, true, 0)); }, 0},
    {"fmt of size 65535",
     [] {
         Bytes f = kPcm;
         f.resize(65535, 0x55);
         return WithFormat(f);
     },
     0},
    {"fmt declaring 65535 bytes in a short file",
     [] { return qt::RiffFile({{"fmt ", kPcm, true, 65535}}); }, 102},
    {"cbSize 0xFFFF", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 16, 4, true, 0xFFFF)); }, 0},
    {"channels 0", [] { return WithFormat(qt::FormatBytes(1, 0, 44100, 16, 4)); }, 107},
    {"channels 65535", [] { return WithFormat(qt::FormatBytes(1, 65535, 44100, 16, 4)); }, 0},
    {"block align 0", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 16, 0)); }, 107},
    {"rate 0", [] { return WithFormat(qt::FormatBytes(1, 2, 0, 16, 4)); }, 107},
    {"bits 0", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 0, 4)); }, 107},
    {"bits 7", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 7, 4)); }, 0},
    {"bits 33", [] { return WithFormat(qt::FormatBytes(1, 2, 44100, 33, 4)); }, 0},
    {"a compressed format", [] { return WithFormat(qt::FormatBytes(0x11, 2, 44100, 4, 2048, true, 2)); }, 107},
    {"no data chunk", [] { return qt::RiffFile({{"fmt ", kPcm}}); }, 110},
    {"an empty data chunk", [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", Bytes()}}); }, 110},
    {"a data size past the end of the file",
     [] { return qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio, true, 1000000}}); }, 0},
    {"an odd chunk without its pad byte",
     [] {
         Chunk odd{"LIST", Bytes(5, 'x')};
         odd.pad = false;
         return qt::RiffFile({{"fmt ", kPcm}, odd, {"data", kAudio}});
     },
     110},
    {"a chunk size that wraps a 32-bit offset",
     [] { return qt::RiffFile({{"fmt ", kPcm}, {"junk", Bytes(8), true, 0xFFFFFFF0u}, {"data", kAudio}}); }, 110},
    {"an unknown chunk declaring 3 GiB",
     [] { return qt::RiffFile({{"fmt ", kPcm}, {"junk", Bytes(8), true, 3u << 30}, {"data", kAudio}}); }, 110},
    {"a truncated chunk header",
     [] {
         Bytes b = qt::RiffFile({{"fmt ", kPcm}});
         b.insert(b.end(), {'d', 'a', 't'});
         return b;
     },
     110},
};

class BadFiles : public testing::TestWithParam<BadFile> {};

TEST_P(BadFiles, GiveTheirResultCode) {
    const BadFile& row = GetParam();
    qt::ScratchDir dir;
    const std::string path = dir.File("bad.wav");
    ASSERT_TRUE(qt::WriteBytes(path, row.bytes()));
    const long handlesBefore = OpenHandleCount();

    tQuillonFILEINFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(AudioGetFileInfo(&info, path.c_str(), QUILLON_TIME_MS, 1), row.infoCode) << row.what;
    WAVEFORMATEX format{};
    const unsigned short formatCode = GetInputFileInfo(path.c_str(), &format);
    EXPECT_EQ(formatCode == 0, row.infoCode != 102) << row.what;
    DWORD size = 0;
    GetDataChunkSize(path.c_str(), &size);
    CanSetPositionAndSampleRate(path.c_str());
    EXPECT_EQ(OpenHandleCount(), handlesBefore) << row.what << ": a handle was left open";
}

INSTANTIATE_TEST_SUITE_P(Table, BadFiles, testing::ValuesIn(kBadFiles));

// Names that are not plain files.
TEST(FileInfoNames, DirectoriesLongAndOddNames) {
    qt::ScratchDir dir;
    tQuillonFILEINFO info{};
    EXPECT_EQ(AudioGetFileInfo(&info, dir.path().c_str(), QUILLON_TIME_MS, 1), 102);
    EXPECT_EQ(AudioGetFileInfo(&info, "", QUILLON_TIME_MS, 1), 100);
    EXPECT_EQ(AudioGetFileInfo(&info, nullptr, QUILLON_TIME_MS, 1), 100);
    EXPECT_EQ(AudioGetFileInfo(&info, dir.File("missing.wav").c_str(), QUILLON_TIME_MS, 1), 102);

    for (std::size_t length : {259u, 260u, 300u}) {
        std::string name = dir.path() + QL_PATH_SEPARATOR;
        name.append(length > name.size() ? length - name.size() : 1, 'n');
        EXPECT_EQ(AudioGetFileInfo(&info, name.c_str(), QUILLON_TIME_MS, 1), 102) << length;
        EXPECT_EQ(CanSetPositionAndSampleRate(name.c_str()), 0) << length;
    }

    // Non-ASCII bytes in a name are just bytes of the name.
    const std::string odd = dir.File("caf\xc3\xa9-\xe9\xff.wav");
    if (qt::WriteBytes(odd, qt::PcmWave(1, 8000, 8, qt::CountingSamples(800)))) {
        EXPECT_EQ(AudioGetFileInfo(&info, odd.c_str(), QUILLON_TIME_MS, 1), 0);
        EXPECT_EQ(info.length, 100u);
    }
}

TEST(FileInfoNames, AnUnreadableFile) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no permission bits to take read access away with";
#else
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    qt::ScratchDir dir;
    const std::string path = dir.File("locked.wav");
    ASSERT_TRUE(qt::WriteBytes(path, qt::PcmWave(1, 8000, 8, qt::CountingSamples(800))));
    chmod(path.c_str(), 0);
    tQuillonFILEINFO info{};
    EXPECT_EQ(AudioGetFileInfo(&info, path.c_str(), QUILLON_TIME_MS, 1), 102);
#endif
}

struct GoodFile {
    const char* what;
    std::vector<Chunk> chunks;
    WORD channels, bits;
    DWORD rate;
    DWORD dataBytes;
};

TEST(FileInfo, ReportsFormatAndLengthInEveryUnit) {
    const Bytes audio = qt::CountingSamples(176400);
    const GoodFile files[] = {
        {"plain 16-bit stereo", {{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"data", audio}}, 2, 16, 44100, 176400},
        {"a LIST chunk between fmt and data",
         {{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"LIST", Bytes(27, 'i')}, {"data", audio}}, 2, 16, 44100, 176400},
        {"data before fmt", {{"data", audio}, {"fmt ", qt::PcmFormat(1, 8000, 8)}}, 1, 8, 8000, 176400},
        {"an odd data chunk", {{"fmt ", qt::PcmFormat(1, 8000, 8)}, {"data", Bytes(7, 1)}}, 1, 8, 8000, 7},
    };
    qt::ScratchDir dir;
    for (const GoodFile& g : files) {
        const std::string path = dir.File("good.wav");
        ASSERT_TRUE(qt::WriteBytes(path, qt::RiffFile(g.chunks)));
        const DWORD frameBytes = g.channels * g.bits / 8;
        const struct {
            WORD type;
            DWORD expected;
        } units[] = {{0, static_cast<DWORD>(static_cast<std::uint64_t>(g.dataBytes) * 1000 / (g.rate * frameBytes))},
                     {1, g.dataBytes / frameBytes},
                     {2, g.dataBytes}};
        for (const auto& u : units) {
            tQuillonFILEINFO info;
            std::memset(&info, 0x55, sizeof info);
            ASSERT_EQ(AudioGetFileInfo(&info, path.c_str(), u.type, 1), 0) << g.what;
            EXPECT_EQ(info.channels, g.channels) << g.what;
            EXPECT_EQ(info.bitsPerSample, g.bits) << g.what;
            EXPECT_EQ(info.samplesPerSec, g.rate) << g.what;
            EXPECT_EQ(info.wFormatTag, 1) << g.what;
            EXPECT_EQ(info.length, u.expected) << g.what << " unit " << u.type;
            EXPECT_EQ(info.recSampleRate, 0x55555555u) << "recording fields are not touched";
        }
        EXPECT_EQ(CanSetPositionAndSampleRate(path.c_str()), 1);
    }
}

TEST(FileInfo, EmptyDataFillsTheFormatAndAnswers110) {
    qt::ScratchDir dir;
    const std::string path = dir.File("empty.wav");
    ASSERT_TRUE(qt::WriteBytes(path, qt::PcmWave(2, 22050, 8, Bytes())));
    tQuillonFILEINFO info{};
    EXPECT_EQ(AudioGetFileInfo(&info, path.c_str(), 0, 1), 110);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplesPerSec, 22050u);
}

TEST(FileInfo, RecordingFieldsWhenNothingRecords) {
    tQuillonFILEINFO info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(recording.load(), 0);
    EXPECT_EQ(AudioGetFileInfo(&info, nullptr, 0, 0), 0);
    EXPECT_EQ(info.recSampleRate, 0u);
    EXPECT_EQ(info.recNumBits, 0);
    EXPECT_EQ(info.recMode, 0);
    EXPECT_EQ(info.channels, 0x5555) << "file fields are not touched";
    EXPECT_EQ(info.recSource, 0x5555);
}

TEST(FileInfo, CompressedAndMp3Files) {
    qt::ScratchDir dir;
    const std::string adpcm = dir.File("adpcm.wav");
    ASSERT_TRUE(qt::WriteBytes(
        adpcm, qt::RiffFile({{"fmt ", qt::FormatBytes(0x11, 1, 8000, 4, 256, true, 0)}, {"data", Bytes(512, 0)}})));
    tQuillonFILEINFO info{};
    EXPECT_EQ(AudioGetFileInfo(&info, adpcm.c_str(), 0, 1), 107);
    EXPECT_EQ(CanSetPositionAndSampleRate(adpcm.c_str()), 0);

    const std::string mp3 = dir.File("song.mp3");
    Bytes frame = {0xFF, 0xFB, 0x90, 0x64};
    frame.resize(417, 0);
    ASSERT_TRUE(qt::WriteBytes(mp3, frame));
    EXPECT_EQ(AudioGetFileInfo(&info, mp3.c_str(), 0, 1), 102);
}

TEST(FileInfo, FormatChunkIsReadWholeButOnlyItsPcmFieldsAreCopied) {
    qt::ScratchDir dir;
    const std::string path = dir.File("ext.wav");
    Bytes fmt = qt::FormatBytes(1, 1, 8000, 16, 2, true, 4);
    fmt.insert(fmt.end(), {9, 9, 9, 9});
    ASSERT_TRUE(qt::WriteBytes(path, qt::RiffFile({{"fmt ", fmt}, {"data", Bytes(16, 0)}})));
    WAVEFORMATEX f;
    std::memset(&f, 0x55, sizeof f);
    ASSERT_EQ(GetInputFileInfo(path.c_str(), &f), 0);
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nSamplesPerSec, 8000u);
    EXPECT_EQ(f.nAvgBytesPerSec, 16000u);
    EXPECT_EQ(f.nBlockAlign, 2);
    EXPECT_EQ(f.cbSize, 0x5555) << "cbSize is the caller's";
    EXPECT_EQ(IsFileCompressed(path.c_str()), 0);
}

}  // namespace
