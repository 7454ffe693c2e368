// WAVE file information: good files with chunks in any order, and a table of bad and hostile
// files, each with its result code, no crash, no leak and no handle left open.
#include "frame/fileinfo.h"
#include "frame/state.h"
#include "quillon.h"
#include "test_util.h"

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
Bytes Resized(Bytes b, std::size_t n) {
    b.resize(n, 0x55);
    return b;
}

// infoCode: AudioGetFileInfo's answer in milliseconds; canSet: CanSetPositionAndSampleRate's, -1 not asked.
struct BadFile { const char* what; Bytes bytes; unsigned short infoCode; int canSet = -1; };
void PrintTo(const BadFile& b, std::ostream* os) { *os << b.what; }

std::vector<BadFile> BadFileTable() {
    const std::uint32_t zero = 0, allOnes = 0xFFFFFFFFu;
    const std::vector<Chunk> plain = {{"fmt ", kPcm}, {"data", kAudio}};
    Chunk odd{"LIST", Bytes(5, 'x')};
    odd.pad = false;
    return {
        {"an empty file", {}, 102},
        {"an 11-byte file", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V'}, 102},
        {"a RIFX header", qt::RiffFile(plain, "WAVE", "RIFX"), 102},
        {"an RF64 header", qt::RiffFile(plain, "WAVE", "RF64"), 102},
        {"a form other than WAVE", qt::RiffFile(plain, "AVI "), 102},
        {"RIFF size 0", qt::RiffFile(plain, "WAVE", "RIFF", &zero), 102},
        // The library's RIFF I/O adds sizes in 64 bits: the form runs to the end of the file, the
        // size a writer leaves when it could not know the length (in both worlds).
        {"RIFF size 0xFFFFFFFF", qt::RiffFile(plain, "WAVE", "RIFF", &allOnes), 0},
        {"an MPEG frame, no RIFF", Resized({0xFF, 0xFB, 0x90, 0x64}, 417), 102},
        {"no fmt chunk", qt::RiffFile({{"data", kAudio}}), 102},
        {"two fmt chunks, the first one used",
         qt::RiffFile({{"fmt ", kPcm}, {"fmt ", qt::PcmFormat(1, 8000, 8)}, {"data", kAudio}}), 0},
        {"fmt of size 0", WithFormat(Bytes()), 102},
        {"fmt of size 2", WithFormat(Resized(kPcm, 2)), 102},
        {"fmt of size 14", WithFormat(Resized(kPcm, 14)), 102},
        {"fmt of size 16", WithFormat(kPcm), 0},
        {"fmt of size 18", WithFormat(qt::FormatBytes(1, 2, 44100, 16, 4, true, 0)), 0},
        {"fmt of size 65535", WithFormat(Resized(kPcm, 65535)), 0},
        {"fmt declaring 65535 bytes in a short file", qt::RiffFile({{"fmt ", kPcm, true, 65535}}), 102},
        {"cbSize 0xFFFF", WithFormat(qt::FormatBytes(1, 2, 44100, 16, 4, true, 0xFFFF)), 0},
        {"channels 0", WithFormat(qt::FormatBytes(1, 0, 44100, 16, 4)), 107},
        {"channels 65535", WithFormat(qt::FormatBytes(1, 65535, 44100, 16, 4)), 0},
        {"block align 0", WithFormat(qt::FormatBytes(1, 2, 44100, 16, 0)), 107},
        {"rate 0", WithFormat(qt::FormatBytes(1, 2, 0, 16, 4)), 107},
        {"bits 0", WithFormat(qt::FormatBytes(1, 2, 44100, 0, 4)), 107},
        {"bits 7", WithFormat(qt::FormatBytes(1, 2, 44100, 7, 4)), 0},
        {"bits 33", WithFormat(qt::FormatBytes(1, 2, 44100, 33, 4)), 0},
        {"a compressed format", WithFormat(qt::FormatBytes(0x11, 2, 44100, 4, 2048, true, 2)), 107, 0},
        {"no data chunk", qt::RiffFile({{"fmt ", kPcm}}), 110},
        {"an empty data chunk", qt::RiffFile({{"fmt ", kPcm}, {"data", Bytes()}}), 110},
        {"a data size past the end of the file", qt::RiffFile({{"fmt ", kPcm}, {"data", kAudio, true, 1000000}}), 0},
        {"an odd chunk without its pad byte", qt::RiffFile({{"fmt ", kPcm}, odd, {"data", kAudio}}), 110},
        {"a chunk size that wraps a 32-bit offset",
         qt::RiffFile({{"fmt ", kPcm}, {"junk", Bytes(8), true, 0xFFFFFFF0u}, {"data", kAudio}}), 110},
        {"an unknown chunk declaring 3 GiB",
         qt::RiffFile({{"fmt ", kPcm}, {"junk", Bytes(8), true, 3u << 30}, {"data", kAudio}}), 110},
        {"a truncated chunk header", qt::Join({qt::RiffFile({{"fmt ", kPcm}}), {'d', 'a', 't'}}), 110},
    };
}

class BadFiles : public testing::TestWithParam<BadFile> {};

TEST_P(BadFiles, GiveTheirResultCode) {
    const BadFile& row = GetParam();
    qt::ScratchDir dir;
    const std::string path = dir.File("bad.wav");
    ASSERT_TRUE(qt::WriteBytes(path, row.bytes));
    const long handlesBefore = OpenHandleCount();

    tQuillonFILEINFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_EQ(AudioGetFileInfo(&info, path.c_str(), QUILLON_TIME_MS, 1), row.infoCode) << row.what;
    WAVEFORMATEX format{};
    const unsigned short formatCode = GetInputFileInfo(path.c_str(), &format);
    EXPECT_EQ(formatCode == 0, row.infoCode != 102) << row.what;
    DWORD size = 0;
    GetDataChunkSize(path.c_str(), &size);
    const int canSet = CanSetPositionAndSampleRate(path.c_str());
    if (row.canSet >= 0) { EXPECT_EQ(canSet, row.canSet) << row.what; }
    EXPECT_EQ(OpenHandleCount(), handlesBefore) << row.what << ": a handle was left open";
}

INSTANTIATE_TEST_SUITE_P(Table, BadFiles, testing::ValuesIn(BadFileTable()));

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

// Good files: the format in every unit, and through GetInputFileInfo only the PCM fields of the
// "fmt " record (read whole, extra bytes and all); a file whose data chunk is empty still fills
// the format and answers 110.
struct GoodFile { const char* what; std::vector<Chunk> chunks; WORD channels, bits; DWORD rate; DWORD dataBytes;
    unsigned short code = 0; };

TEST(FileInfo, ReportsFormatAndLengthInEveryUnit) {
    const Bytes audio = qt::CountingSamples(176400);
    const Bytes extended = qt::Join({qt::FormatBytes(1, 1, 8000, 16, 2, true, 4), {9, 9, 9, 9}});
    const GoodFile files[] = {
        {"plain 16-bit stereo", {{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"data", audio}}, 2, 16, 44100, 176400},
        {"a LIST chunk between fmt and data",
         {{"fmt ", qt::PcmFormat(2, 44100, 16)}, {"LIST", Bytes(27, 'i')}, {"data", audio}}, 2, 16, 44100, 176400},
        {"data before fmt", {{"data", audio}, {"fmt ", qt::PcmFormat(1, 8000, 8)}}, 1, 8, 8000, 176400},
        {"an odd data chunk", {{"fmt ", qt::PcmFormat(1, 8000, 8)}, {"data", Bytes(7, 1)}}, 1, 8, 8000, 7},
        {"fmt with cbSize 4 and its 4 bytes", {{"fmt ", extended}, {"data", Bytes(16, 0)}}, 1, 16, 8000, 16},
        {"an empty data chunk", {{"fmt ", qt::PcmFormat(2, 22050, 8)}, {"data", Bytes()}}, 2, 8, 22050, 0, 110},
    };
    qt::ScratchDir dir;
    for (const GoodFile& g : files) {
        SCOPED_TRACE(g.what);
        const std::string path = dir.File("good.wav");
        ASSERT_TRUE(qt::WriteBytes(path, qt::RiffFile(g.chunks)));
        const DWORD frameBytes = g.channels * g.bits / 8;
        const DWORD lengths[] = {static_cast<DWORD>(std::uint64_t{g.dataBytes} * 1000 / (g.rate * frameBytes)),
                                 g.dataBytes / frameBytes, g.dataBytes};
        for (WORD unit : {0, 1, 2}) {
            tQuillonFILEINFO info;
            std::memset(&info, 0x55, sizeof info);
            ASSERT_EQ(AudioGetFileInfo(&info, path.c_str(), unit, 1), g.code);
            EXPECT_EQ(std::make_tuple(info.channels, info.bitsPerSample, info.samplesPerSec, info.wFormatTag),
                      std::make_tuple(g.channels, g.bits, g.rate, WORD{1}));
            if (g.code == 0) { EXPECT_EQ(info.length, lengths[unit]) << "unit " << unit; }
            EXPECT_EQ(info.recSampleRate, 0x55555555u) << "recording fields are not touched";
        }
        WAVEFORMATEX f;
        std::memset(&f, 0x55, sizeof f);
        ASSERT_EQ(GetInputFileInfo(path.c_str(), &f), 0);
        EXPECT_EQ(std::make_tuple(f.wFormatTag, f.nChannels, f.nSamplesPerSec, f.nAvgBytesPerSec, f.nBlockAlign,
                                  f.wBitsPerSample),
                  std::make_tuple(WORD{1}, g.channels, g.rate, g.rate * frameBytes, WORD(frameBytes), g.bits));
        EXPECT_EQ(f.cbSize, 0x5555) << "cbSize is the caller's";
        if (g.code == 0) { EXPECT_EQ(CanSetPositionAndSampleRate(path.c_str()), 1); }
    }
}

TEST(FileInfo, RecordingFieldsWhenNothingRecords) {
    tQuillonFILEINFO info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(recording.load(), 0);
    EXPECT_EQ(AudioGetFileInfo(&info, nullptr, 0, 0), 0);
    EXPECT_EQ(std::make_tuple(info.recSampleRate, info.recNumBits, info.recMode), std::make_tuple(0u, WORD{0}, WORD{0}));
    EXPECT_EQ(std::make_tuple(info.channels, info.recSource), std::make_tuple(WORD{0x5555}, WORD{0x5555}))
        << "file fields are not touched";
}

}  // namespace
