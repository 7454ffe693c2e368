// The buffered RIFF file I/O (mmio) as the core uses it. The same cases run natively against
// our POSIX layer and, cross-compiled, under Wine against its winmm: expected bytes are built
// here by hand, never read back from the code under test. Where Wine's winmm is known to
// differ (or would hang), the case skips there and says why.
#include <fstream>

#include "test_util.h"

namespace {

using qt::Bytes;
using qt::ScratchDir;

FOURCC Id(const char* id) { return mmioFOURCC(id[0], id[1], id[2], id[3]); }
const char* Chars(const Bytes& b) { return reinterpret_cast<const char*>(b.data()); }

using qt::Join;
using qt::UnderWine;
#define SKIP_UNDER_WINE(why) \
    if (UnderWine()) GTEST_SKIP() << "Wine's winmm: " << (why)

// Closes on every way out of a test.
struct Handle {
    HMMIO h;
    explicit Handle(HMMIO handle) : h(handle) {}
    ~Handle() { if (h != nullptr) mmioClose(h, 0); }
    MMRESULT Close() { return mmioClose(std::exchange(h, nullptr), 0); }
};

HMMIO Open(const std::string& name, DWORD flags, MMIOINFO* info = nullptr) {
    return mmioOpenA(const_cast<char*>(name.c_str()), info, flags);  // as the core opens, without MMIO_PARSE
}

// RIFF pieces whose size fields may lie.
Bytes Chunk(const char* id, DWORD size, const Bytes& data) {
    Bytes b;
    qt::PutId(b, id);
    qt::Put32(b, size);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}
Bytes Riff(DWORD riffSize, const char* form, const Bytes& body, const char* id = "RIFF") {
    Bytes formId;
    qt::PutId(formId, form);
    return Chunk(id, riffSize, Join({formId, body}));
}

// ---- writing ----------------------------------------------------------------------------

enum class Buffering { Default, Large, Tiny, None };
class MmioWriteRiff : public ::testing::TestWithParam<Buffering> {};

// A WAVE file with "fmt ", a LIST holding an odd-sized text chunk, and an odd-sized "data"
// chunk, written through CreateChunk/Ascend with buffers that the headers do or do not cross.
TEST_P(MmioWriteRiff, MatchesBytesBuiltByHand) {
    ScratchDir dir;
    const std::string name = dir.File("written.wav");
    MMIOINFO info{};
    if (GetParam() == Buffering::Tiny) info.cchBuffer = 7;
    const DWORD flags = MMIO_CREATE | MMIO_WRITE | (GetParam() == Buffering::None ? 0 : MMIO_ALLOCBUF);
    Handle file(Open(name, flags, &info));
    ASSERT_NE(file.h, nullptr) << info.wErrorRet;
    if (GetParam() == Buffering::Large) { ASSERT_EQ(mmioSetBuffer(file.h, nullptr, 65536, 0), 0u); }

    const Bytes format = qt::CountingSamples(18), text = {'a', 'b', 'c', 'd', 0}, audio = qt::CountingSamples(20001);
    MMCKINFO riff{}, fmt{}, list{}, note{}, data{};
    auto create = [&](MMCKINFO& ck, const char* id, UINT flags) {
        (flags ? ck.fccType : ck.ckid) = Id(id);
        return mmioCreateChunk(file.h, &ck, flags);
    };
    auto write = [&](const Bytes& b, std::size_t at, LONG n) { return mmioWrite(file.h, Chars(b) + at, n) == n; };
    ASSERT_EQ(create(riff, "WAVE", MMIO_CREATERIFF), 0u);
    ASSERT_EQ(create(fmt, "fmt ", 0), 0u);
    EXPECT_EQ(fmt.dwDataOffset, 20u);
    ASSERT_TRUE(write(format, 0, 18));
    ASSERT_EQ(mmioAscend(file.h, &fmt, 0), 0u);
    ASSERT_EQ(create(list, "INFO", MMIO_CREATELIST), 0u);
    ASSERT_EQ(create(note, "ISFT", 0), 0u);
    ASSERT_TRUE(write(text, 0, 5));
    ASSERT_EQ(mmioAscend(file.h, &note, 0), 0u);
    ASSERT_EQ(mmioAscend(file.h, &list, 0), 0u);
    ASSERT_EQ(create(data, "data", 0), 0u);
    for (std::size_t at = 0; at < audio.size(); at += 4099)
        ASSERT_TRUE(write(audio, at, static_cast<LONG>(std::min<std::size_t>(4099, audio.size() - at))));
    ASSERT_EQ(mmioAscend(file.h, &data, 0), 0u);
    EXPECT_EQ(data.cksize, 20001u);
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), static_cast<LONG>(data.dwDataOffset + 20002)) << "after the pad";
    ASSERT_EQ(mmioAscend(file.h, &riff, 0), 0u);
    ASSERT_EQ(file.Close(), 0u);
    const Bytes listBody = Join({{'I', 'N', 'F', 'O'}, Chunk("ISFT", 5, text), Bytes{0}});
    EXPECT_EQ(qt::ReadBytes(name), qt::RiffFile({{"fmt ", format}, {"LIST", listBody}, {"data", audio}}));
}
INSTANTIATE_TEST_SUITE_P(Mmio, MmioWriteRiff,
                         ::testing::Values(Buffering::Default, Buffering::Large, Buffering::Tiny, Buffering::None));

// ---- reading, seeking, rewriting ----------------------------------------------------------

// One handle walks a file of three and a bit default buffers; every step is checked against a
// slice of the bytes the file was made from. SEEK_END counts back from the end (end - offset).
TEST(MmioTest, SeekAndReadAcrossBufferEdges) {
    ScratchDir dir;
    const std::string name = dir.File("counting.bin");
    const Bytes source = qt::CountingSamples(3 * 8192 + 123);
    const LONG size = static_cast<LONG>(source.size());
    ASSERT_TRUE(qt::WriteBytes(name, source));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    const struct { LONG offset; int origin; LONG position, length; } steps[] = {  // position -1: refused
        {0, SEEK_SET, 0, 10},           {8180, SEEK_SET, 8180, 30},       {-20, SEEK_CUR, 8190, 8200},
        {16, SEEK_END, size - 16, 100}, {0, SEEK_END, size, 10},           {100, SEEK_SET, 100, 20000},
        {-1, SEEK_SET, -1, 5},          {5, 3, -1, 0},                     {size + 50, SEEK_SET, size + 50, 10},
        {-8192, SEEK_END, size + 8192, 1}, {8191, SEEK_SET, 8191, 2},
    };
    LONG expectPos = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "seek " << s.offset << " from " << s.origin);
        EXPECT_EQ(mmioSeek(file.h, s.offset, s.origin), s.position);
        if (s.position >= 0) expectPos = s.position;
        Bytes got(s.length + 1);
        const LONG n = mmioRead(file.h, reinterpret_cast<char*>(got.data()), s.length);
        ASSERT_EQ(n, expectPos < size ? std::min(s.length, size - expectPos) : 0);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, source.begin() + std::min(expectPos, size)));
        expectPos += n;
        EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), expectPos);
    }
}

// Writes through a read-write handle are seen by reads through the same handle before they
// reach the disk, and the file ends as the model says (a hole past the end reads as zeros).
TEST(MmioTest, RewritesThroughOneHandleStayCoherent) {
    ScratchDir dir;
    const std::string name = dir.File("rewrite.bin");
    Bytes model = qt::CountingSamples(20000);
    ASSERT_TRUE(qt::WriteBytes(name, model));
    Handle file(Open(name, MMIO_READWRITE | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    const struct { LONG at, length; } edits[] = {{8190, 5}, {0, 3}, {6, 9000}, {16380, 9000}, {19998, 4}, {30000, 2}, {7, 1}};
    for (const auto& e : edits) {
        SCOPED_TRACE(e.at);
        Bytes patch = qt::CountingSamples(e.length + 1);
        patch.erase(patch.begin());  // unlike the bytes it replaces
        ASSERT_EQ(mmioSeek(file.h, e.at, SEEK_SET), e.at);
        ASSERT_EQ(mmioWrite(file.h, Chars(patch), e.length), e.length);
        if (model.size() < static_cast<std::size_t>(e.at + e.length)) model.resize(e.at + e.length, 0);
        std::copy(patch.begin(), patch.end(), model.begin() + e.at);
        const LONG from = std::max<LONG>(0, e.at - 3);
        const LONG span = static_cast<LONG>(std::min<std::size_t>(e.length + 6, model.size() - from));
        ASSERT_EQ(mmioSeek(file.h, from, SEEK_SET), from);
        Bytes got(span);
        ASSERT_EQ(mmioRead(file.h, reinterpret_cast<char*>(got.data()), span), span);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), model.begin() + from));
    }
    ASSERT_EQ(file.Close(), 0u);
    EXPECT_EQ(qt::ReadBytes(name), model);
}

// ---- finding chunks -----------------------------------------------------------------------

// Searches as the core makes them, in "fmt " (at 12), LIST (at 36), "data" (at 60) and "fact"
// (at 76), each record filled with 0x55 first so that untouched fields show.
TEST(MmioTest, DescendFindsForwardOnlyInsideTheParent) {
    ScratchDir dir;
    const std::string name = dir.File("sample.wav");
    ASSERT_TRUE(qt::WriteBytes(name, qt::RiffFile({{"fmt ", qt::CountingSamples(16)}, {"LIST", qt::CountingSamples(16)},
                                                   {"data", qt::CountingSamples(8)}, {"fact", {2, 0, 0, 0}}})));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    MMCKINFO riff;
    std::memset(&riff, 0x55, sizeof riff);
    riff.fccType = Id("WAVE");
    ASSERT_EQ(mmioDescend(file.h, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(std::make_tuple(riff.ckid, riff.cksize, riff.dwDataOffset, riff.dwFlags),
              std::make_tuple(FOURCC_RIFF, 80u, 8u, 0u));
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), 12);
    // seekBefore -1: search from where the last step left; position: after the call (for a failed
    // search, where it began).
    const struct { const char* id; LONG seekBefore; bool found; DWORD size, dataOffset; LONG position; } steps[] = {
        {"data", -1, true, 8, 68, 68},  {"fmt ", 76, false, 0, 0, 76},  // behind us
        {"fact", 76, true, 4, 84, 84},  {"data", 88, false, 0, 0, 88},  // past the parent
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.id);
        if (s.seekBefore >= 0) { ASSERT_EQ(mmioSeek(file.h, s.seekBefore, SEEK_SET), s.seekBefore); }
        MMCKINFO ck;
        std::memset(&ck, 0x55, sizeof ck);
        ck.ckid = Id(s.id);
        const MMRESULT r = mmioDescend(file.h, &ck, &riff, MMIO_FINDCHUNK);
        EXPECT_EQ(r, s.found ? 0u : static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
        EXPECT_EQ(ck.dwFlags, s.found ? 0u : 0x55555555u);
        if (s.found) {
            EXPECT_EQ(std::make_tuple(ck.cksize, ck.dwDataOffset, ck.fccType), std::make_tuple(s.size, s.dataOffset, 0u));
        }
        if (s.found || !UnderWine()) { EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), s.position); }  // Wine stops elsewhere
    }
}

// Files that lie about their sizes. Each must end in a result, never a crash or an endless
// search; where the "data" chunk is found, reading it gives what the file really holds.
// wineDiffers: why the case skips under Wine, or nullptr.
struct Hostile { const char* name; Bytes bytes; bool riffFound, dataFound; DWORD dataSize; LONG dataPresent;
    const char* wineDiffers; };
void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

std::vector<Hostile> HostileFiles() {
    const Bytes four = {1, 2, 3, 4}, five = {1, 2, 3, 4, 5}, data = Chunk("data", 4, four);
    const char* parent = "searches past the end of the parent chunk";
    const char* wraps = "adds chunk sizes in 32 bits, so the search loops or jumps backwards";
    const char* pastLong = "cannot seek past 2 GiB and reads the next header where it stood";
    return {
        {"Empty", {}, false, false, 0, 0, nullptr},
        {"NotRiff", Riff(16, "WAVE", data, "RIFX"), false, false, 0, 0, nullptr},
        {"OtherForm", Riff(16, "AVI ", data), false, false, 0, 0, nullptr},
        {"Truncated", Join({Riff(100, "WAVE", {}), Bytes{'d', 'a'}}), true, false, 0, 0, nullptr},
        {"HeaderWithoutSize", Join({Riff(100, "WAVE", {}), Bytes{'d', 'a', 't', 'a', 4, 0}}), true, false, 0, 0, nullptr},
        {"RiffSizeZero", Riff(0, "WAVE", data), true, false, 0, 0, nullptr},
        {"ChunkPastEndOfFile", Riff(100, "WAVE", Join({Chunk("junk", 1000, four), data})), true, false, 0, 0, nullptr},
        {"OddSizeWithPad", Riff(30, "WAVE", Join({Chunk("junk", 5, five), Bytes{0}, data})), true, true, 4, 4, nullptr},
        {"OddSizeWithoutPad", Riff(29, "WAVE", Join({Chunk("junk", 5, five), data})), true, false, 0, 0, nullptr},
        {"DataSizePastEnd", Riff(1000, "WAVE", Chunk("data", 1000, four)), true, true, 1000, 4, nullptr},
        {"DataDeclares3GiB", Riff(0xC0000010, "WAVE", Chunk("data", 0xC0000000, four)), true, true, 0xC0000000, 4, nullptr},
        {"DataAfterRiffEnd", Riff(4 + 12, "WAVE", Join({Chunk("junk", 4, four), data})), true, false, 0, 0, parent},
        {"UnknownChunkOf3GiB", Riff(0xFFFFFFF0, "WAVE", Join({Chunk("junk", 0xC0000000, four), data})), true, false, 0, 0,
         pastLong},
        {"SizeWrapsToSameHeader", Riff(100, "WAVE", Join({Chunk("junk", 0xFFFFFFF8, four), data})), true, false, 0, 0, wraps},
        {"SizeWrapsBackwards", Riff(100, "WAVE", Join({Chunk("junk", 0xFFFFFFF4, four), data})), true, false, 0, 0, wraps},
    };
}

class MmioHostile : public ::testing::TestWithParam<Hostile> {};

TEST_P(MmioHostile, EndsWithAResult) {
    const Hostile& c = GetParam();
    if (c.wineDiffers != nullptr) SKIP_UNDER_WINE(c.wineDiffers);
    ScratchDir dir;
    const std::string name = dir.File("hostile.wav");
    ASSERT_TRUE(qt::WriteBytes(name, c.bytes));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    MMCKINFO riff{}, data{};
    riff.fccType = Id("WAVE");
    const MMRESULT r = mmioDescend(file.h, &riff, nullptr, MMIO_FINDRIFF);
    ASSERT_EQ(r, c.riffFound ? 0u : static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
    if (!c.riffFound) return;
    data.ckid = Id("data");
    const MMRESULT d = mmioDescend(file.h, &data, &riff, MMIO_FINDCHUNK);
    ASSERT_EQ(d, c.dataFound ? 0u : static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
    if (!c.dataFound) {
        if (!UnderWine()) { EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), 12); }
        return;
    }
    EXPECT_EQ(data.cksize, c.dataSize);
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), static_cast<LONG>(data.dwDataOffset));
    char got[64];
    ASSERT_EQ(mmioRead(file.h, got, sizeof got), c.dataPresent);
    EXPECT_EQ(std::memcmp(got, c.bytes.data() + data.dwDataOffset, c.dataPresent), 0);
    EXPECT_EQ(mmioRead(file.h, got, sizeof got), 0);
}
INSTANTIATE_TEST_SUITE_P(Mmio, MmioHostile, ::testing::ValuesIn(HostileFiles()),
                         [](const testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// ---- opening ------------------------------------------------------------------------------

// The opens the core makes (read, deny-write, create, create exclusive, exist) on a file, a
// missing file, a missing folder, a folder, and names too long for 260 characters. Wine's
// file procedure reports every failed open as MMIOERR_FILENOTFOUND.
TEST(MmioTest, OpensGiveWinmmResults) {
    ScratchDir dir;
    ASSERT_LT(dir.path().size(), 200u);
    const std::string present = dir.File("present.wav"), absent = dir.File("absent.wav"), folder = dir.path(),
                      noFolder = dir.File("absent") + QL_PATH_SEPARATOR + "x.wav",
                      name259 = (dir.File("") + std::string(259, 'n')).substr(0, 259),
                      name260 = (dir.File("") + std::string(260, 'n')).substr(0, 260),
                      foreign = dir.File("caf\xE9\xFF.wav");
    qt::WriteBytes(name260, {1});  // refused by its name alone
    const DWORD kRead = MMIO_READ | MMIO_ALLOCBUF, kCreate = MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF;
    // opens: a handle to close, or for MMIO_EXIST the TRUE answer; error: wErrorRet after a failed
    // open, 0 for any failure; keepsContent: the four bytes of present.wav are still there afterwards.
    const struct { const std::string& name; DWORD flags; bool opens; UINT error; bool keepsContent; } cases[] = {
        {present, kRead, true, 0, true},
        {present, kRead | MMIO_DENYWRITE, true, 0, true},
        {present, MMIO_READWRITE | MMIO_ALLOCBUF, true, 0, true},
        {present, kCreate, true, 0, false},
        {present, kCreate | MMIO_EXCLUSIVE, true, 0, false},
        {present, MMIO_EXIST, true, 0, true},
        {folder, MMIO_EXIST, true, 0, true},
        {absent, MMIO_EXIST, false, 0, true},
        {absent, kRead, false, MMIOERR_FILENOTFOUND, true},
        {noFolder, kRead, false, MMIOERR_PATHNOTFOUND, true},
        {noFolder, kCreate, false, MMIOERR_PATHNOTFOUND, true},
        {folder, kRead, false, MMIOERR_ACCESSDENIED, true},
        {folder, kCreate, false, MMIOERR_ACCESSDENIED, true},
        {name259, kCreate, true, 0, true},
        {name259, MMIO_EXIST, true, 0, true},
        {name260, kRead, false, 0, true},  // the terminator no longer fits
        {name260, MMIO_EXIST, false, 0, true},
        {foreign, kCreate, true, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name.substr(folder.size()) << " flags " << std::hex << c.flags);
        ASSERT_TRUE(qt::WriteBytes(present, {1, 2, 3, 4}));
        MMIOINFO info{};
        info.wErrorRet = 0xDEAD;
        HMMIO h = Open(c.name, c.flags, &info);
        if (c.flags == MMIO_EXIST) {
            EXPECT_EQ(h, reinterpret_cast<HMMIO>(static_cast<UINT_PTR>(c.opens ? 1 : 0)));
        } else if (c.opens) {
            EXPECT_NE(h, nullptr);
            EXPECT_EQ(info.wErrorRet, 0u);
            EXPECT_EQ(mmioClose(h, 0), 0u);
        } else {
            EXPECT_EQ(h, nullptr);
            EXPECT_NE(info.wErrorRet, 0u);
            if (c.error != 0) {
                EXPECT_EQ(info.wErrorRet, UnderWine() ? static_cast<UINT>(MMIOERR_FILENOTFOUND) : c.error);
            }
        }
        EXPECT_EQ(qt::ReadBytes(present).size(), c.keepsContent ? 4u : 0u);
    }
    // Bytes outside ASCII reach the disk unchanged.
    const std::vector<std::string> names = qt::ListDir(folder);
    EXPECT_NE(std::find(names.begin(), names.end(), "caf\xE9\xFF.wav"), names.end());
}

// ---- handles and disks refusing ------------------------------------------------------------

TEST(MmioTest, InvalidHandlesAndRefusedWritesAreReported) {
    ScratchDir dir;
    const std::string name = dir.File("readonly.wav");
    ASSERT_TRUE(qt::WriteBytes(name, {1, 2, 3, 4}));
    HMMIO h = Open(name, MMIO_READ);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(mmioClose(h, 0), static_cast<MMRESULT>(MMSYSERR_NOERROR));
    for (HMMIO bad : {static_cast<HMMIO>(nullptr), h}) {
        char c;
        MMCKINFO ck{};
        EXPECT_EQ(mmioClose(bad, 0), static_cast<MMRESULT>(MMSYSERR_INVALHANDLE));
        EXPECT_EQ(mmioRead(bad, &c, 1), -1);
        EXPECT_EQ(mmioWrite(bad, &c, 1), -1);
        // The core relies on these failing; Wine answers with other nonzero codes.
        EXPECT_NE(mmioDescend(bad, &ck, nullptr, 0), 0u);
        EXPECT_NE(mmioCreateChunk(bad, &ck, 0), 0u);
    }
    SKIP_UNDER_WINE("mmioFlush and mmioClose do not report write errors");
    // A handle opened to read cannot put bytes on the disk: the buffer takes them, the flush
    // and the close say so.
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    EXPECT_EQ(mmioWrite(file.h, "abcd", 4), 4);
    EXPECT_EQ(mmioFlush(file.h, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
    EXPECT_EQ(file.Close(), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
    EXPECT_EQ(qt::ReadBytes(name), (Bytes{1, 2, 3, 4}));
}

// A recording-like file on a 256 KiB tmpfs: once the disk is full, writes, the closing
// ascend and the close report it, whether the disk fills during the writes or at the close.
TEST(MmioTest, FullDiskIsReported) {
    ScratchDir dir;
    qt::TinyDisk mnt(dir.File("disk"), "256k");
    QT_SKIP_WITHOUT_TMPFS(mnt);
    for (bool fillFirst : {false, true}) {
        SCOPED_TRACE(fillFirst ? "full at close" : "full during writes");
        const std::string filler = mnt.File("filler"), name = mnt.File("rec.wav");
        if (fillFirst) {
            std::ofstream f(filler, std::ios::binary);
            const Bytes block(4096, 0x5A);
            while (f.write(Chars(block), 4096) && f.flush()) {
            }
        }
        Handle file(Open(name, MMIO_CREATE | MMIO_WRITE));
        ASSERT_NE(file.h, nullptr);
        ASSERT_EQ(mmioSetBuffer(file.h, nullptr, 65536, 0), 0u);
        MMCKINFO riff{}, data{};
        riff.fccType = Id("WAVE");
        data.ckid = Id("data");
        ASSERT_EQ(mmioCreateChunk(file.h, &riff, MMIO_CREATERIFF), 0u);
        ASSERT_EQ(mmioCreateChunk(file.h, &data, 0), 0u);
        const Bytes block = qt::CountingSamples(4096);
        bool refused = false;
        for (int i = 0; i < (fillFirst ? 2 : 128); ++i) refused |= mmioWrite(file.h, Chars(block), 4096) == -1;
        EXPECT_EQ(refused, !fillFirst);  // while the buffer holds everything, nothing is refused yet
        EXPECT_EQ(mmioAscend(file.h, &data, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        EXPECT_EQ(mmioFlush(file.h, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        EXPECT_EQ(file.Close(), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        DeleteFileA(name.c_str());
    }
}

// A sparse file whose "data" chunk starts past 2 GiB: found and read through 64-bit offsets,
// a chunk is written after it, while mmioSeek, whose answer is a LONG, refuses to say where.
TEST(MmioTest, ChunksPastTwoGiB) {
    SKIP_UNDER_WINE("mmio positions are 32-bit LONGs, so nothing past 2 GiB can be reached");
    ScratchDir dir;
    const std::string name = dir.File("huge.wav");
    const DWORD big = 0x90000000;  // 2.25 GiB of holes
    const std::uint64_t dataAt = 12 + 8 + std::uint64_t{big};
    {
        std::ofstream out(name, std::ios::binary);
        const Bytes head = Riff(4 + 8 + big + 8 + 4, "WAVE", Chunk("big ", big, {}));
        out.write(Chars(head), head.size());
        out.seekp(static_cast<std::streamoff>(dataAt));
        const Bytes tail = Chunk("data", 4, {'w', 'x', 'y', 'z'});
        ASSERT_TRUE(out.write(Chars(tail), tail.size()).good());
    }
    Handle file(Open(name, MMIO_READWRITE | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    MMCKINFO riff{}, data{}, note{};
    riff.fccType = Id("WAVE");
    ASSERT_EQ(mmioDescend(file.h, &riff, nullptr, MMIO_FINDRIFF), 0u);
    data.ckid = Id("data");
    ASSERT_EQ(mmioDescend(file.h, &data, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(data.dwDataOffset, static_cast<DWORD>(dataAt + 8));
    char got[8] = {};
    EXPECT_EQ(mmioRead(file.h, got, 8), 4);
    EXPECT_EQ(std::string(got, 4), "wxyz");
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), -1);
    ASSERT_EQ(mmioAscend(file.h, &data, 0), 0u);
    note.ckid = Id("note");
    ASSERT_EQ(mmioCreateChunk(file.h, &note, 0), 0u);
    ASSERT_EQ(mmioWrite(file.h, "abc", 3), 3);
    ASSERT_EQ(mmioAscend(file.h, &note, 0), 0u);
    ASSERT_EQ(file.Close(), 0u);
    std::ifstream in(name, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(dataAt + 12));
    Bytes tail(13);
    tail.resize(in.read(reinterpret_cast<char*>(tail.data()), 13).gcount());
    EXPECT_EQ(tail, Chunk("note", 3, {'a', 'b', 'c', 0}));  // padded, and the end of the file
}

}  // namespace
