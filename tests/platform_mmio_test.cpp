// The buffered RIFF file I/O (mmio) as the core uses it. The same cases run natively against
// our POSIX layer and, cross-compiled, under Wine against its winmm: expected bytes are built
// here by hand, never read back from the code under test. Where Wine's winmm is known to
// differ (or would hang), the case skips there and says why.
#include "platform/win32api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& b, DWORD v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void PutId(Bytes& b, const char* id) { b.insert(b.end(), id, id + 4); }
void PutBytes(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
FOURCC Id(const char* id) { return mmioFOURCC(id[0], id[1], id[2], id[3]); }

// Byte i of a counting signal is its own position, folded so that no two nearby bytes agree.
Bytes Counting(std::size_t n, unsigned seed = 0) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<unsigned char>((i * 7 + i / 251 + seed) & 0xFF);
    return b;
}

bool UnderWine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}
#define SKIP_UNDER_WINE(why)                                         \
    do {                                                             \
        if (UnderWine()) GTEST_SKIP() << "Wine's winmm: " << (why); \
    } while (0)

bool SaveBytes(const std::string& path, const Bytes& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = b.empty() || std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}
Bytes LoadBytes(const std::string& path) {
    Bytes b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return b;
    unsigned char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + n);
    std::fclose(f);
    return b;
}
bool Exists(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) std::fclose(f);
    return f != nullptr;
}

// Closes on every way out of a test.
struct Handle {
    HMMIO h;
    explicit Handle(HMMIO handle) : h(handle) {}
    ~Handle() {
        if (h != nullptr) mmioClose(h, 0);
    }
    MMRESULT Close() {
        const MMRESULT r = mmioClose(h, 0);
        h = nullptr;
        return r;
    }
};

HMMIO Open(const std::string& name, DWORD flags, MMIOINFO* info = nullptr) {
    std::vector<char> buffer(name.begin(), name.end());
    buffer.resize(name.size() + MAX_PATH + 1, '\0');
    return mmioOpenA(buffer.data(), info, flags);
}

// A fresh folder under the platform's temporary directory for each test.
class MmioFixture {
protected:
    MmioFixture() {
        char temp[MAX_PATH + 1] = {};
        const DWORD n = GetTempPathA(sizeof temp, temp);
        EXPECT_GT(n, 0u);
        std::string base(temp, n);
        if (!base.empty() && base.back() != QL_PATH_SEPARATOR) base += QL_PATH_SEPARATOR;
        dir_ = base + "qmmio_" + std::to_string(std::random_device{}() % 1000000000u);
        std::filesystem::create_directories(dir_);
    }
    ~MmioFixture() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::string File(const std::string& name) const { return dir_ + QL_PATH_SEPARATOR + name; }
    std::string dir_;
};

class MmioTest : public MmioFixture, public ::testing::Test {};

// ---- writing ----------------------------------------------------------------------------

enum class Buffering { Default, Large, Tiny, None };
class MmioWriteRiff : public MmioFixture, public ::testing::TestWithParam<Buffering> {};

// A WAVE file with "fmt ", a LIST holding an odd-sized text chunk, and an odd-sized "data"
// chunk, written through CreateChunk/Ascend with buffers that the headers do or do not cross.
TEST_P(MmioWriteRiff, MatchesBytesBuiltByHand) {
    const std::string name = File("written.wav");
    MMIOINFO info{};
    DWORD flags = MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF;
    if (GetParam() == Buffering::Tiny) info.cchBuffer = 7;
    if (GetParam() == Buffering::None) flags = MMIO_CREATE | MMIO_WRITE;
    Handle file(Open(name, flags, &info));
    ASSERT_NE(file.h, nullptr) << info.wErrorRet;
    if (GetParam() == Buffering::Large) {
        ASSERT_EQ(mmioSetBuffer(file.h, nullptr, 65536, 0), 0u);
    }

    const Bytes format = Counting(18, 1), text = {'a', 'b', 'c', 'd', 0}, audio = Counting(20001, 2);
    MMCKINFO riff{}, fmt{}, list{}, note{}, data{};
    riff.fccType = Id("WAVE");
    ASSERT_EQ(mmioCreateChunk(file.h, &riff, MMIO_CREATERIFF), 0u);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(riff.dwFlags, static_cast<DWORD>(MMIO_DIRTY));
    fmt.ckid = Id("fmt ");
    ASSERT_EQ(mmioCreateChunk(file.h, &fmt, 0), 0u);
    EXPECT_EQ(fmt.dwDataOffset, 20u);
    ASSERT_EQ(mmioWrite(file.h, reinterpret_cast<const char*>(format.data()), 18), 18);
    ASSERT_EQ(mmioAscend(file.h, &fmt, 0), 0u);
    EXPECT_EQ(fmt.cksize, 18u);
    EXPECT_EQ(fmt.dwFlags, 0u);
    list.fccType = Id("INFO");
    ASSERT_EQ(mmioCreateChunk(file.h, &list, MMIO_CREATELIST), 0u);
    EXPECT_EQ(list.ckid, FOURCC_LIST);
    note.ckid = Id("ISFT");
    ASSERT_EQ(mmioCreateChunk(file.h, &note, 0), 0u);
    ASSERT_EQ(mmioWrite(file.h, reinterpret_cast<const char*>(text.data()), 5), 5);
    ASSERT_EQ(mmioAscend(file.h, &note, 0), 0u);
    ASSERT_EQ(mmioAscend(file.h, &list, 0), 0u);
    data.ckid = Id("data");
    ASSERT_EQ(mmioCreateChunk(file.h, &data, 0), 0u);
    for (std::size_t at = 0; at < audio.size(); at += 4099) {
        const LONG n = static_cast<LONG>(std::min<std::size_t>(4099, audio.size() - at));
        ASSERT_EQ(mmioWrite(file.h, reinterpret_cast<const char*>(audio.data() + at), n), n);
    }
    ASSERT_EQ(mmioAscend(file.h, &data, 0), 0u);
    EXPECT_EQ(data.cksize, 20001u);
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), static_cast<LONG>(data.dwDataOffset + 20002));
    ASSERT_EQ(mmioAscend(file.h, &riff, 0), 0u);
    ASSERT_EQ(file.Close(), 0u);

    Bytes expected;
    PutId(expected, "RIFF");
    Put32(expected, 4 + (8 + 18) + (8 + 4 + 8 + 6) + (8 + 20002));
    PutId(expected, "WAVE");
    PutId(expected, "fmt ");
    Put32(expected, 18);
    PutBytes(expected, format);
    PutId(expected, "LIST");
    Put32(expected, 4 + 8 + 6);
    PutId(expected, "INFO");
    PutId(expected, "ISFT");
    Put32(expected, 5);
    PutBytes(expected, text);
    expected.push_back(0);
    PutId(expected, "data");
    Put32(expected, 20001);
    PutBytes(expected, audio);
    expected.push_back(0);
    EXPECT_EQ(LoadBytes(name), expected);
}
INSTANTIATE_TEST_SUITE_P(Mmio, MmioWriteRiff,
                         ::testing::Values(Buffering::Default, Buffering::Large, Buffering::Tiny, Buffering::None));

// Leaving a written chunk pads an odd size and lands after the pad, at any size around the
// default buffer's edge.
TEST_F(MmioTest, AscendPadsOddChunksAndLandsAfterThePad) {
    for (DWORD size : {0u, 1u, 2u, 7u, 8191u, 8192u, 8193u}) {
        const std::string name = File("chunk" + std::to_string(size));
        Handle file(Open(name, MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF));
        ASSERT_NE(file.h, nullptr);
        const Bytes body = Counting(size, size);
        MMCKINFO ck{};
        ck.ckid = Id("abcd");
        ASSERT_EQ(mmioCreateChunk(file.h, &ck, 0), 0u);
        ASSERT_EQ(mmioWrite(file.h, reinterpret_cast<const char*>(body.data()), static_cast<LONG>(size)),
                  static_cast<LONG>(size));
        ASSERT_EQ(mmioAscend(file.h, &ck, 0), 0u);
        EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), static_cast<LONG>(8 + size + (size & 1))) << size;
        ASSERT_EQ(file.Close(), 0u);
        Bytes expected;
        PutId(expected, "abcd");
        Put32(expected, size);
        PutBytes(expected, body);
        if (size & 1) expected.push_back(0);
        EXPECT_EQ(LoadBytes(name), expected) << size;
    }
}

// ---- reading, seeking, rewriting ----------------------------------------------------------

// One handle walks a file of three and a bit default buffers; every step is checked against a
// slice of the bytes the file was made from. SEEK_END counts back from the end (end - offset).
TEST_F(MmioTest, SeekAndReadAcrossBufferEdges) {
    const std::string name = File("counting.bin");
    const Bytes source = Counting(3 * 8192 + 123);
    const LONG size = static_cast<LONG>(source.size());
    ASSERT_TRUE(SaveBytes(name, source));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    struct Step {
        LONG offset;
        int origin;
        LONG position;  // expected result of the seek
        LONG length;    // bytes asked for
    };
    const Step steps[] = {
        {0, SEEK_SET, 0, 10},           {8180, SEEK_SET, 8180, 30},      {-20, SEEK_CUR, 8190, 8200},
        {16, SEEK_END, size - 16, 100}, {0, SEEK_END, size, 10},          {100, SEEK_SET, 100, 20000},
        {-1, SEEK_SET, -1, 5},          {5, 3, -1, 0},                    {size + 50, SEEK_SET, size + 50, 10},
        {-8192, SEEK_END, size + 8192, 1}, {8191, SEEK_SET, 8191, 2},
    };
    LONG expectPos = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "seek " << s.offset << " from " << s.origin);
        EXPECT_EQ(mmioSeek(file.h, s.offset, s.origin), s.position);
        if (s.position >= 0) expectPos = s.position;
        Bytes got(s.length + 1);
        const LONG n = mmioRead(file.h, reinterpret_cast<char*>(got.data()), s.length);
        const LONG avail = expectPos < size ? std::min(s.length, size - expectPos) : 0;
        ASSERT_EQ(n, avail);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + n, source.begin() + std::min(expectPos, size)));
        expectPos += n;
        EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), expectPos);
    }
}

// Writes through a read-write handle are seen by reads through the same handle before they
// reach the disk, and the file ends as the model says (a hole past the end reads as zeros).
TEST_F(MmioTest, RewritesThroughOneHandleStayCoherent) {
    const std::string name = File("rewrite.bin");
    Bytes model = Counting(20000, 3);
    ASSERT_TRUE(SaveBytes(name, model));
    Handle file(Open(name, MMIO_READWRITE | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    struct Edit {
        LONG at, length;
    };
    for (const Edit e : {Edit{8190, 5}, Edit{0, 3}, Edit{16380, 9000}, Edit{19998, 4}, Edit{30000, 2}, Edit{7, 1}}) {
        SCOPED_TRACE(e.at);
        const Bytes patch = Counting(e.length, static_cast<unsigned>(e.at));
        ASSERT_EQ(mmioSeek(file.h, e.at, SEEK_SET), e.at);
        ASSERT_EQ(mmioWrite(file.h, reinterpret_cast<const char*>(patch.data()), e.length), e.length);
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
    EXPECT_EQ(LoadBytes(name), model);
}

// ---- finding chunks -----------------------------------------------------------------------

Bytes SampleWave() {
    Bytes b;
    PutId(b, "RIFF");
    Put32(b, 4 + (8 + 16) + (8 + 4 + 8 + 4) + (8 + 8) + (8 + 4));
    PutId(b, "WAVE");
    PutId(b, "fmt ");            // 12
    Put32(b, 16);
    PutBytes(b, Counting(16, 5));
    PutId(b, "LIST");            // 36
    Put32(b, 4 + 8 + 4);
    PutId(b, "INFO");
    PutId(b, "INAM");            // 48
    Put32(b, 4);
    PutId(b, "name");
    PutId(b, "data");            // 60
    Put32(b, 8);
    PutBytes(b, Counting(8, 6));
    PutId(b, "fact");            // 76
    Put32(b, 4);
    Put32(b, 2);
    return b;                    // 88 bytes
}

// A walk through a file, one descend or ascend per step, each checked field by field after
// the record was filled with 0x55 so that untouched fields show.
TEST_F(MmioTest, DescendFindsForwardOnlyInsideTheParent) {
    const std::string name = File("sample.wav");
    ASSERT_TRUE(SaveBytes(name, SampleWave()));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    MMCKINFO riff;
    std::memset(&riff, 0x55, sizeof riff);
    riff.fccType = Id("WAVE");
    ASSERT_EQ(mmioDescend(file.h, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(riff.ckid, FOURCC_RIFF);
    EXPECT_EQ(riff.cksize, 80u);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(riff.dwFlags, 0u);
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), 12);

    struct Step {
        const char* id;   // ckid, or fccType for MMIO_FINDLIST
        UINT flags;
        MMRESULT result;
        const char* foundId;
        DWORD size, dataOffset;
        LONG position;    // after the call; for a failed search, where it began
        bool ascendAfter;
        LONG seekBefore;  // -1: search from where the last step left
    };
    const Step steps[] = {
        {"data", MMIO_FINDCHUNK, 0, "data", 8, 68, 68, true, -1},
        {"fmt ", MMIO_FINDCHUNK, MMIOERR_CHUNKNOTFOUND, "fact", 4, 84, 76, false, -1},  // behind us
        {"fact", MMIO_FINDCHUNK, 0, "fact", 4, 84, 84, true, 76},
        {"data", MMIO_FINDCHUNK, MMIOERR_CHUNKNOTFOUND, nullptr, 0, 0, 88, false, -1},  // past the parent
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.id);
        if (s.seekBefore >= 0) {
            ASSERT_EQ(mmioSeek(file.h, s.seekBefore, SEEK_SET), s.seekBefore);
        }
        MMCKINFO ck;
        std::memset(&ck, 0x55, sizeof ck);
        ck.ckid = Id(s.id);
        const MMRESULT r = mmioDescend(file.h, &ck, &riff, s.flags);
        EXPECT_EQ(r, s.result);
        if (s.foundId != nullptr) {
            EXPECT_EQ(ck.ckid, Id(s.foundId));
            EXPECT_EQ(ck.cksize, s.size);
            EXPECT_EQ(ck.dwDataOffset, s.dataOffset);
        } else {
            EXPECT_EQ(ck.dwDataOffset, 0x55555555u);  // refused before reading anything
        }
        if (r == 0) {
            EXPECT_EQ(ck.fccType, 0u);
            EXPECT_EQ(ck.dwFlags, 0u);
        } else {
            EXPECT_EQ(ck.dwFlags, 0x55555555u);
        }
        if (r == 0 || !UnderWine()) {  // Wine leaves a failed search where it stopped
            EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), s.position);
        }
        if (s.ascendAfter) {
            ASSERT_EQ(mmioAscend(file.h, &ck, 0), 0u);
        }
    }

    // Back to the first chunk: a list by its type, the chunk inside it, then any next chunk.
    ASSERT_EQ(mmioSeek(file.h, 12, SEEK_SET), 12);
    MMCKINFO list, inner, next;
    std::memset(&list, 0x55, sizeof list);
    list.fccType = Id("INFO");
    ASSERT_EQ(mmioDescend(file.h, &list, &riff, MMIO_FINDLIST), 0u);
    EXPECT_EQ(list.ckid, FOURCC_LIST);
    EXPECT_EQ(list.dwDataOffset, 44u);
    EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), 48);
    ASSERT_EQ(mmioDescend(file.h, &inner, &list, 0), 0u);
    EXPECT_EQ(inner.ckid, Id("INAM"));
    ASSERT_EQ(mmioAscend(file.h, &inner, 0), 0u);
    EXPECT_EQ(mmioDescend(file.h, &next, &list, 0), static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));  // list ends
    ASSERT_EQ(mmioAscend(file.h, &list, 0), 0u);
    ASSERT_EQ(mmioDescend(file.h, &next, &riff, 0), 0u);
    EXPECT_EQ(next.ckid, Id("data"));

    // Another form type is not a WAVE file.
    ASSERT_EQ(mmioSeek(file.h, 0, SEEK_SET), 0);
    MMCKINFO avi{};
    avi.fccType = Id("AVI ");
    EXPECT_EQ(mmioDescend(file.h, &avi, nullptr, MMIO_FINDRIFF), static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
}

// Files that lie about their sizes. Each must end in a result, never a crash or an endless
// search; where the "data" chunk is found, reading it gives what the file really holds.
struct Hostile {
    const char* name;
    Bytes bytes;
    bool riffFound;
    bool dataFound;
    DWORD dataSize;
    LONG dataPresent;
    const char* wineDiffers;  // why this case skips under Wine, or nullptr
};
void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

Bytes Riff(DWORD riffSize, const char* form, const Bytes& body, const char* id = "RIFF") {
    Bytes b;
    PutId(b, id);
    Put32(b, riffSize);
    PutId(b, form);
    PutBytes(b, body);
    return b;
}
Bytes Chunk(const char* id, DWORD size, const Bytes& data) {
    Bytes b;
    PutId(b, id);
    Put32(b, size);
    PutBytes(b, data);
    return b;
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes b;
    for (const Bytes& p : parts) PutBytes(b, p);
    return b;
}

std::vector<Hostile> HostileFiles() {
    const Bytes four = {1, 2, 3, 4}, five = {1, 2, 3, 4, 5};
    const Bytes data = Chunk("data", 4, four);
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
        {"UnknownChunkOf3GiB", Riff(0xFFFFFFF0, "WAVE", Join({Chunk("junk", 0xC0000000, four), data})), true, false, 0, 0, pastLong},
        {"SizeWrapsToSameHeader", Riff(100, "WAVE", Join({Chunk("junk", 0xFFFFFFF8, four), data})), true, false, 0, 0, wraps},
        {"SizeWrapsBackwards", Riff(100, "WAVE", Join({Chunk("junk", 0xFFFFFFF4, four), data})), true, false, 0, 0, wraps},
    };
}

class MmioHostile : public MmioFixture, public ::testing::TestWithParam<Hostile> {};

TEST_P(MmioHostile, EndsWithAResult) {
    const Hostile& c = GetParam();
    if (c.wineDiffers != nullptr) SKIP_UNDER_WINE(c.wineDiffers);
    const std::string name = File("hostile.wav");
    ASSERT_TRUE(SaveBytes(name, c.bytes));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    MMCKINFO riff{}, data{};
    riff.fccType = Id("WAVE");
    const MMRESULT r = mmioDescend(file.h, &riff, nullptr, MMIO_FINDRIFF);
    ASSERT_EQ(r == 0, c.riffFound) << r;
    if (!c.riffFound) {
        EXPECT_EQ(r, static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
        return;
    }
    data.ckid = Id("data");
    const MMRESULT d = mmioDescend(file.h, &data, &riff, MMIO_FINDCHUNK);
    if (!c.dataFound) {
        EXPECT_EQ(d, static_cast<MMRESULT>(MMIOERR_CHUNKNOTFOUND));
        if (!UnderWine()) {
            EXPECT_EQ(mmioSeek(file.h, 0, SEEK_CUR), 12);
        }
        return;
    }
    ASSERT_EQ(d, 0u);
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

enum class Target { File, Missing, MissingFolder, Folder };
struct OpenCase {
    const char* name;
    Target target;
    DWORD flags;
    bool opens;         // a handle to close, or for EXIST/DELETE the TRUE answer
    UINT error;         // wErrorRet after a failed open
    bool keepsContent;  // the four bytes are still there afterwards
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class MmioOpen : public MmioFixture, public ::testing::TestWithParam<OpenCase> {};

// Wine's file procedure reports every failed open as MMIOERR_FILENOTFOUND.
TEST_P(MmioOpen, GivesWinmmResults) {
    const OpenCase& c = GetParam();
    std::string name = File("present.wav");
    ASSERT_TRUE(SaveBytes(name, {1, 2, 3, 4}));
    if (c.target == Target::Missing) name = File("absent.wav");
    if (c.target == Target::MissingFolder) name = File("absent") + QL_PATH_SEPARATOR + "x.wav";
    if (c.target == Target::Folder) name = dir_;
    MMIOINFO info{};
    info.wErrorRet = 0xDEAD;
    HMMIO h = Open(name, c.flags, &info);
    const bool answersOnly = (c.flags & (MMIO_EXIST | MMIO_DELETE)) != 0;
    if (answersOnly) {
        EXPECT_EQ(h, reinterpret_cast<HMMIO>(static_cast<UINT_PTR>(c.opens ? 1 : 0)));
    } else if (c.opens) {
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(info.wErrorRet, 0u);
        EXPECT_EQ(mmioClose(h, 0), 0u);
    } else {
        EXPECT_EQ(h, nullptr);
        EXPECT_EQ(info.wErrorRet, UnderWine() ? static_cast<UINT>(MMIOERR_FILENOTFOUND) : c.error);
    }
    EXPECT_EQ(LoadBytes(File("present.wav")).size(), c.keepsContent ? 4u : 0u);
}
const OpenCase kOpenCases[] = {
    {"Read", Target::File, MMIO_READ | MMIO_ALLOCBUF, true, 0, true},
    {"ReadDenyWrite", Target::File, 0x10020, true, 0, true},
    {"ReadWrite", Target::File, MMIO_READWRITE | MMIO_ALLOCBUF, true, 0, true},
    {"CreateTruncates", Target::File, 0x11001, true, 0, false},
    {"CreateExclusiveTruncates", Target::File, 0x11011, true, 0, false},
    {"ReadMissing", Target::Missing, 0x10000, false, MMIOERR_FILENOTFOUND, true},
    {"ReadInMissingFolder", Target::MissingFolder, 0x10000, false, MMIOERR_PATHNOTFOUND, true},
    {"CreateInMissingFolder", Target::MissingFolder, 0x11001, false, MMIOERR_PATHNOTFOUND, true},
    {"ReadFolder", Target::Folder, 0x10000, false, MMIOERR_ACCESSDENIED, true},
    {"CreateFolder", Target::Folder, 0x11001, false, MMIOERR_ACCESSDENIED, true},
    {"ExistFile", Target::File, MMIO_EXIST, true, 0, true},
    {"ExistMissing", Target::Missing, MMIO_EXIST, false, 0, true},
    {"ExistFolder", Target::Folder, MMIO_EXIST, true, 0, true},
};
INSTANTIATE_TEST_SUITE_P(Mmio, MmioOpen, ::testing::ValuesIn(kOpenCases),
                         [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST_F(MmioTest, DeleteRemovesTheFileAndAnswersTrueOrFalse) {
    SKIP_UNDER_WINE("mmioOpenA ignores MMIO_DELETE and opens the file");
    const std::string name = File("doomed.wav");
    ASSERT_TRUE(SaveBytes(name, {1}));
    EXPECT_EQ(Open(name, MMIO_DELETE), reinterpret_cast<HMMIO>(1));
    EXPECT_FALSE(Exists(name));
    EXPECT_EQ(Open(name, MMIO_DELETE), nullptr);
    EXPECT_EQ(Open(dir_, MMIO_DELETE), nullptr);
}

// Names as long as a 260-character buffer allows, longer ones, and bytes outside ASCII:
// a name of 260 characters or more (the terminator no longer fits) is refused.
TEST_F(MmioTest, LongAndForeignNames) {
    struct Case {
        std::size_t length;
        DWORD flags;
        bool opens;
    };
    for (const Case c : {Case{259, 0x11001, true}, Case{259, 0x10000, true}, Case{259, MMIO_EXIST, true},
                         Case{260, 0x10000, false}, Case{260, MMIO_EXIST, false}, Case{261, 0x11001, false},
                         Case{300, 0x11001, false}, Case{300, 0x10000, false}, Case{300, MMIO_EXIST, false}}) {
        SCOPED_TRACE(testing::Message() << c.length << " flags " << c.flags);
        std::string name = File("");
        ASSERT_LT(name.size(), 200u);
        name.resize(c.length, 'n');
        if (!c.opens && (c.flags & MMIO_CREATE) == 0) SaveBytes(name, {1});  // refused by its name alone
        HMMIO h = Open(name, c.flags);
        if (c.flags == MMIO_EXIST) {
            EXPECT_EQ(h, reinterpret_cast<HMMIO>(static_cast<UINT_PTR>(c.opens)));
        } else {
            EXPECT_EQ(h != nullptr, c.opens);
            if (h != nullptr) {
                EXPECT_EQ(mmioClose(h, 0), 0u);
            }
        }
    }
    const std::string foreign = File("caf\xE9\xFF.wav");
    Handle out(Open(foreign, 0x11001));
    ASSERT_NE(out.h, nullptr);
    ASSERT_EQ(mmioWrite(out.h, "RIFF", 4), 4);
    ASSERT_EQ(out.Close(), 0u);
    EXPECT_EQ(Open(foreign, MMIO_EXIST), reinterpret_cast<HMMIO>(1));
    EXPECT_EQ(LoadBytes(foreign), (Bytes{'R', 'I', 'F', 'F'}));
}

TEST_F(MmioTest, ParseMakesARelativeNameAbsolute) {
    char name[MAX_PATH] = "qmmio_relative.wav";
    EXPECT_EQ(mmioOpenA(name, nullptr, MMIO_PARSE), reinterpret_cast<HMMIO>(1));
    const std::string full(name);
    EXPECT_GT(full.size(), std::strlen("qmmio_relative.wav"));
    EXPECT_EQ(full.substr(full.size() - 19), std::string(1, QL_PATH_SEPARATOR) + "qmmio_relative.wav");
}

TEST_F(MmioTest, InvalidHandlesAreRefused) {
    const std::string name = File("once.wav");
    ASSERT_TRUE(SaveBytes(name, {1, 2}));
    HMMIO h = Open(name, 0x10000);
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
}

// ---- the disk refusing data ---------------------------------------------------------------

// A handle opened to read cannot put bytes on the disk: the buffer takes them, the flush and
// the close say so.
TEST_F(MmioTest, RefusedWritesAreReportedByFlushAndClose) {
    SKIP_UNDER_WINE("mmioFlush and mmioClose do not report write errors");
    const std::string name = File("readonly.wav");
    ASSERT_TRUE(SaveBytes(name, {1, 2, 3, 4}));
    Handle file(Open(name, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(file.h, nullptr);
    EXPECT_EQ(mmioWrite(file.h, "abcd", 4), 4);
    EXPECT_EQ(mmioFlush(file.h, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
    EXPECT_EQ(file.Close(), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
    EXPECT_EQ(LoadBytes(name), (Bytes{1, 2, 3, 4}));
}

// A recording-like file on a 256 KiB tmpfs: once the disk is full, writes, the closing
// ascend and the close report it, whether the disk fills during the writes or at the close.
TEST_F(MmioTest, FullDiskIsReported) {
#ifdef _WIN32
    GTEST_SKIP() << "a small tmpfs is mounted by the Linux host only; Wine has no way to make one";
#else
    const std::string mnt = File("tmpfs");
    std::filesystem::create_directories(mnt);
    if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + mnt + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    struct Unmount {
        std::string dir;
        ~Unmount() { std::system(("umount '" + dir + "'").c_str()); }
    } unmount{mnt};

    for (bool fillFirst : {false, true}) {
        SCOPED_TRACE(fillFirst ? "full at close" : "full during writes");
        const std::string filler = mnt + "/filler", name = mnt + "/rec.wav";
        std::remove(filler.c_str());
        if (fillFirst) {
            FILE* f = std::fopen(filler.c_str(), "wb");
            ASSERT_NE(f, nullptr);
            const Bytes block(4096, 0x5A);
            while (std::fwrite(block.data(), 1, block.size(), f) == block.size() && std::fflush(f) == 0) {
            }
            std::fclose(f);
        }
        Handle file(Open(name, 0x11001));
        ASSERT_NE(file.h, nullptr);
        ASSERT_EQ(mmioSetBuffer(file.h, nullptr, 65536, 0), 0u);
        MMCKINFO riff{}, data{};
        riff.fccType = Id("WAVE");
        data.ckid = Id("data");
        ASSERT_EQ(mmioCreateChunk(file.h, &riff, MMIO_CREATERIFF), 0u);
        ASSERT_EQ(mmioCreateChunk(file.h, &data, 0), 0u);
        const Bytes block = Counting(4096);
        bool refused = false;
        for (int i = 0; i < (fillFirst ? 2 : 128); ++i)
            refused |= mmioWrite(file.h, reinterpret_cast<const char*>(block.data()), 4096) == -1;
        EXPECT_EQ(refused, !fillFirst);  // while the buffer holds everything, nothing is refused yet
        EXPECT_EQ(mmioAscend(file.h, &data, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        EXPECT_EQ(mmioFlush(file.h, 0), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        EXPECT_EQ(file.Close(), static_cast<MMRESULT>(MMIOERR_CANNOTWRITE));
        std::remove(name.c_str());
    }
#endif
}

// ---- past 2 GiB ---------------------------------------------------------------------------

// A sparse file whose "data" chunk starts past 2 GiB: found and read through 64-bit offsets,
// a chunk is written after it, while mmioSeek, whose answer is a LONG, refuses to say where.
TEST_F(MmioTest, ChunksPastTwoGiB) {
    SKIP_UNDER_WINE("mmio positions are 32-bit LONGs, so nothing past 2 GiB can be reached");
    const std::string name = File("huge.wav");
    const DWORD big = 0x90000000;  // 2.25 GiB of holes
    const std::uint64_t dataAt = 12 + 8 + std::uint64_t{big};
    {
        std::ofstream out(name, std::ios::binary);
        const Bytes head = Riff(4 + 8 + big + 8 + 4, "WAVE", Chunk("big ", big, {}));
        out.write(reinterpret_cast<const char*>(head.data()), head.size());
        out.seekp(static_cast<std::streamoff>(dataAt));
        const Bytes tail = Chunk("data", 4, {'w', 'x', 'y', 'z'});
        out.write(reinterpret_cast<const char*>(tail.data()), tail.size());
        ASSERT_TRUE(out.good());
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
    Bytes tail(12);
    in.read(reinterpret_cast<char*>(tail.data()), 12);
    EXPECT_EQ(tail, Chunk("note", 3, {'a', 'b', 'c', 0}));
    EXPECT_EQ(std::filesystem::file_size(name), dataAt + 24);
}

// ---- small things -------------------------------------------------------------------------

TEST(MmioStrings, StringToFourccPadsTruncatesAndRaises) {
    struct Case {
        const char* text;
        UINT flags;
        const char* code;
    };
    for (const Case c : {Case{"WAVE", 0, "WAVE"}, Case{"ab", 0, "ab  "}, Case{"", 0, "    "},
                         Case{"wave", MMIO_TOUPPER, "WAVE"}, Case{"fmt", MMIO_TOUPPER, "FMT "},
                         Case{"abcdef", 0, "abcd"}, Case{"wave", 0, "wave"}})
        EXPECT_EQ(mmioStringToFOURCCA(c.text, c.flags), Id(c.code)) << c.text;
}

TEST(MmioClock, TimeGetTimeNeverGoesBack) {
    DWORD last = timeGetTime();
    for (int i = 0; i < 1000; ++i) {
        const DWORD now = timeGetTime();
        EXPECT_LT(static_cast<DWORD>(now - last), 60000u);  // modular: also right across the wrap
        last = now;
    }
}

}  // namespace
