// WAVE files from 2 GiB to 4 GiB: information, every edit, the format change, the conversion and
// the MP3 length, on sparse files (their holes read as zeros and take no disk). Each file has
// patterned regions at the start of its audio, across the 2 GiB line and at its end; results are
// checked by reading only those regions (and the edit's own neighbourhood) of the output and
// comparing them with the source's bytes, sliced by the test's own arithmetic. Files are made and
// read through the C runtime's 64-bit calls, not through the library's file I/O.
//
// Cost: the library skips the holes of a sparse file when it reads (natively) and leaves a hole
// where it writes zeros, so an edit that streams the whole file costs little natively. Under Wine
// every byte of a hole is read, so the edits that stream a whole file run there on the smallest
// file only.
#include "edit_test_util.h"

#include "convert/acm.h"
#include "convert/codec.h"
#include "frame/fileinfo.h"
#include "frame/riffio.h"

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace qt {
namespace {

using U64 = std::uint64_t;
constexpr U64 kGiB = U64{1} << 30;
constexpr U64 kTwoGiB = 2 * kGiB;
const Fmt kStereo16{2, 44100, 16};

// ---- The tests' own 64-bit file access ------------------------------------------------------

std::FILE* OpenAt(const std::string& path, const char* mode, U64 at) {
    std::FILE* f = std::fopen(path.c_str(), mode);
    if (f == nullptr) return nullptr;
#ifdef _WIN32
    const int moved = _fseeki64(f, static_cast<__int64>(at), SEEK_SET);
#else
    const int moved = fseeko(f, static_cast<off_t>(at), SEEK_SET);
#endif
    if (moved != 0) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

bool WriteAt(const std::string& path, U64 at, const Bytes& bytes) {
    std::FILE* f = OpenAt(path, "r+b", at);
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

Bytes ReadAt(const std::string& path, U64 at, std::size_t n) {
    Bytes out(n);
    std::FILE* f = OpenAt(path, "rb", at);
    if (f == nullptr) return {};
    out.resize(std::fread(out.data(), 1, n, f));
    std::fclose(f);
    return out;
}

U64 LengthOf(const std::string& path) {
#ifdef _WIN32
    struct _stati64 st;
    return _stati64(path.c_str(), &st) == 0 ? static_cast<U64>(st.st_size) : 0;
#else
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<U64>(st.st_size) : 0;
#endif
}

// Extends a file to `length` bytes without writing them: a hole.
bool SetLength(const std::string& path, U64 length) {
#ifdef _WIN32
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) return false;
    const bool ok = _chsize_s(_fileno(f), static_cast<__int64>(length)) == 0;
    return std::fclose(f) == 0 && ok;
#else
    return ::truncate(path.c_str(), static_cast<off_t>(length)) == 0;
#endif
}

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | (static_cast<std::uint32_t>(b[at + 1]) << 8) |
           (static_cast<std::uint32_t>(b[at + 2]) << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// ---- Sparse WAVE files with patterned regions -----------------------------------------------

// The byte at data offset o of a patterned region: it shows its own position.
std::uint8_t PatternAt(U64 o) { return static_cast<std::uint8_t>(o * 7 + o / 251 + (o >> 20) * 31 + 1); }

struct Range {
    U64 from, to;
};

// A WAVE file of stereo 16-bit audio with a LIST chunk before "data" (kept by edits) and a
// file length that the test names; its audio is zero except in three regions of patterned
// bytes: the start, across the file's 2 GiB line, and the end.
class BigWave {
public:
    static constexpr U64 kRegion = 200000;

    explicit BigWave(U64 fileLength) : fileLength_(fileLength) {
        // 20 bytes, so that the audio starts at offset 72 and every file length named below is
        // whole frames of audio.
        const Bytes list = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 8, 0, 0, 0, 'l', 'o', 'n', 'g', 't', 'a', 'k', 'e'};
        header_ = Join({Chunk8("fmt ", PcmFormat(2, 44100, 16)), Chunk8("LIST", list)});
        dataOffset_ = 12 + header_.size() + 8;
        dataSize_ = fileLength - dataOffset_;
        const U64 line = (kTwoGiB - dataOffset_) / 4 * 4;
        regions_.push_back({0, kRegion});
        if (line + kRegion / 2 < dataSize_ - kRegion) regions_.push_back({line - kRegion / 2, line + kRegion / 2});
        regions_.push_back({(dataSize_ - kRegion) / 4 * 4, dataSize_});
    }

    bool Create(const std::string& path) const {
        Bytes head = Join({{'R', 'I', 'F', 'F'}, Le(static_cast<std::uint32_t>(fileLength_ - 8)), {'W', 'A', 'V', 'E'},
                           header_, {'d', 'a', 't', 'a'}, Le(static_cast<std::uint32_t>(dataSize_))});
        if (!WriteBytes(path, head) || !SetLength(path, fileLength_)) return false;
        for (const Range& r : regions_)
            if (!WriteAt(path, dataOffset_ + r.from, Source(r.from, r.to))) return false;
        return true;
    }

    // The source's audio in [a, b): the pattern inside the regions, zeros elsewhere.
    Bytes Source(U64 a, U64 b) const {
        Bytes out(static_cast<std::size_t>(b - a), 0);
        for (const Range& r : regions_)
            for (U64 o = std::max(a, r.from); o < std::min(b, r.to); ++o) out[static_cast<std::size_t>(o - a)] = PatternAt(o);
        return out;
    }

    const Bytes& header() const { return header_; }
    U64 dataOffset() const { return dataOffset_; }
    U64 dataSize() const { return dataSize_; }
    const std::vector<Range>& regions() const { return regions_; }

private:
    static Bytes Le(std::uint32_t v) {
        Bytes b;
        Put32(b, v);
        return b;
    }
    static Bytes Chunk8(const char* id, const Bytes& data) {
        Bytes b;
        PutId(b, id);
        Put32(b, static_cast<std::uint32_t>(data.size()));
        return Join({b, data});
    }

    U64 fileLength_;
    Bytes header_;
    U64 dataOffset_ = 0;
    U64 dataSize_ = 0;
    std::vector<Range> regions_;
};

// The three files: 2 GiB and a few bytes, 3 GiB, and 4 GiB less a frame.
struct Size {
    const char* what;
    U64 length;
};
const Size kSizes[] = {{"2 GiB + 8 bytes", kTwoGiB + 8}, {"3 GiB", 3 * kGiB}, {"4 GiB - a frame", 4 * kGiB - 4}};

// The output of an edit as pieces: runs of the source's audio (muted or not), of inserted bytes,
// or of zeros. What any stretch of the output must hold follows from them.
struct Piece {
    U64 length;
    enum Kind { FromSource, Zeros, Inserted, MutedLeft } kind;
    U64 at = 0;                // source offset (FromSource, MutedLeft) or offset in `inserted`
    const Bytes* inserted = nullptr;
};

Bytes ExpectedOutput(const BigWave& w, const std::vector<Piece>& pieces, U64 a, U64 b) {
    Bytes out;
    U64 start = 0;
    for (const Piece& p : pieces) {
        const U64 from = std::max(a, start), to = std::min(b, start + p.length);
        if (from < to) {
            const U64 in = p.at + (from - start), n = to - from;
            Bytes part;
            switch (p.kind) {
            case Piece::FromSource: part = w.Source(in, in + n); break;
            case Piece::MutedLeft:
                part = w.Source(in, in + n);
                for (U64 o = in; o < in + n; ++o)
                    if (o % 4 < 2) part[static_cast<std::size_t>(o - in)] = 0;
                break;
            case Piece::Zeros: part.assign(static_cast<std::size_t>(n), 0); break;
            case Piece::Inserted: part = Slice(*p.inserted, static_cast<std::size_t>(in), static_cast<std::size_t>(in + n)); break;
            }
            out.insert(out.end(), part.begin(), part.end());
        }
        start += p.length;
    }
    return out;
}

U64 TotalLength(const std::vector<Piece>& pieces) {
    U64 n = 0;
    for (const Piece& p : pieces) n += p.length;
    return n;
}

// Checks a big output file: its sizes, its header block, and its audio around every place where
// something of note stands: the images of the source's regions and the given points.
void ExpectBigOutput(const std::string& out, const BigWave& w, const std::vector<Piece>& pieces,
                     const std::vector<U64>& points, const std::string& what) {
    const U64 data = TotalLength(pieces);
    const U64 length = w.dataOffset() + data + (data & 1);
    ASSERT_EQ(LengthOf(out), length) << what;
    const Bytes head = ReadAt(out, 0, static_cast<std::size_t>(w.dataOffset()));
    ASSERT_EQ(head.size(), w.dataOffset()) << what;
    EXPECT_EQ(Le32(head, 4), length - 8) << what << ": RIFF size";
    EXPECT_EQ(Slice(head, 12, 12 + w.header().size()), w.header()) << what << ": header block";
    EXPECT_EQ(Le32(head, static_cast<std::size_t>(w.dataOffset() - 4)), data) << what << ": data size";
    // Where each source region lands, found by walking the pieces.
    std::vector<Range> windows;
    U64 start = 0;
    for (const Piece& p : pieces) {
        if (p.kind == Piece::FromSource || p.kind == Piece::MutedLeft) {
            for (const Range& r : w.regions()) {
                const U64 from = std::max(r.from, p.at), to = std::min(r.to, p.at + p.length);
                if (from < to) windows.push_back({start + (from - p.at), start + (to - p.at)});
            }
        }
        start += p.length;
    }
    for (U64 point : points) windows.push_back({point > 70000 ? point - 70000 : 0, std::min(data, point + 70000)});
    for (const Range& r : windows) {
        const Bytes got = ReadAt(out, w.dataOffset() + r.from, static_cast<std::size_t>(r.to - r.from));
        EXPECT_TRUE(got == ExpectedOutput(w, pieces, r.from, r.to))
            << what << ": audio " << r.from << " to " << r.to << " differs";
    }
}

std::uint32_t U32(U64 v) { return static_cast<std::uint32_t>(v); }

class BigFiles : public EditFixture {
protected:
    void TearDown() override {
        riffio::gResultSizeSkew = 0;
        EditFixture::TearDown();
    }
    // A fresh sparse file of the given length.
    std::string Make(const BigWave& w, const std::string& name) {
        const std::string path = Path(name);
        EXPECT_TRUE(w.Create(path)) << name;
        return path;
    }
    // The source is as it was: its length and its regions.
    void ExpectUnchanged(const std::string& path, const BigWave& w, const std::string& what) {
        EXPECT_EQ(LengthOf(path), w.dataOffset() + w.dataSize()) << what;
        for (const Range& r : w.regions())
            EXPECT_TRUE(ReadAt(path, w.dataOffset() + r.from, static_cast<std::size_t>(r.to - r.from)) ==
                        w.Source(r.from, r.to))
                << what << ": region at " << r.from << " changed";
    }
};

// Undo copies are made with the platform's copy: natively it keeps the holes, Wine's writes every
// byte of them (3 GiB of disk and a minute a copy), so under Wine these edits run without undo.
bool UndoIsCheap() {
    static const bool cheap = [] {
        if (UnderWine())
            std::printf("[          ] big files are edited without undo under Wine: its CopyFile writes every "
                        "byte of their holes\n");
        return !UnderWine();
    }();
    return cheap;
}

TEST_F(BigFiles, InformationOfEveryFile) {
    for (const Size& s : kSizes) {
        const BigWave w(s.length);
        const std::string file = Make(w, "info.wav");
        tQuillonFILEINFO info;
        std::memset(&info, 0x55, sizeof info);
        ASSERT_EQ(AudioGetFileInfo(&info, file.c_str(), QUILLON_TIME_BYTES, 1), 0) << s.what;
        EXPECT_EQ(info.length, w.dataSize()) << s.what;
        EXPECT_EQ(info.channels, 2) << s.what;
        EXPECT_EQ(info.samplesPerSec, 44100u) << s.what;
        EXPECT_EQ(info.bitsPerSample, 16) << s.what;
        ASSERT_EQ(AudioGetFileInfo(&info, file.c_str(), QUILLON_TIME_SAMPLES, 1), 0) << s.what;
        EXPECT_EQ(info.length, w.dataSize() / 4) << s.what;
        ASSERT_EQ(AudioGetFileInfo(&info, file.c_str(), QUILLON_TIME_MS, 1), 0) << s.what;
        EXPECT_EQ(info.length, static_cast<std::uint32_t>(w.dataSize() * 1000 / 176400)) << s.what;
        DWORD size = 0;
        EXPECT_EQ(GetDataChunkSize(file.c_str(), &size), 0) << s.what;
        EXPECT_EQ(size, w.dataSize()) << s.what;
        EXPECT_EQ(CanSetPositionAndSampleRate(file.c_str()), 1) << s.what;
        EXPECT_EQ(IsFileCompressed(file.c_str()), 0) << s.what;
        DeleteFileA(file.c_str());
    }
    // A recording cut short: its data chunk claims 4 GiB less its headers, 3 GiB are there.
    const BigWave w(3 * kGiB);
    const std::string file = Make(w, "short.wav");
    ASSERT_TRUE(WriteAt(file, w.dataOffset() - 4, Bytes{0xB0, 0xFF, 0xFF, 0xFF}));
    DWORD size = 0;
    EXPECT_EQ(GetDataChunkSize(file.c_str(), &size), 0);
    EXPECT_EQ(size, w.dataSize());
}

// The edits that leave out most of the file: crop keeps a region, copy takes it into a clip; the
// rest is passed over unread. Every region of every file, synchronously and as a job, with and
// without undo, into a new file and over the source itself.
TEST_F(BigFiles, CropAndCopyEveryRegion) {
    int round = 0;
    for (const Size& s : kSizes) {
        const BigWave w(s.length);
        for (const Range& r : w.regions()) {
            const U64 a = r.from + 4000, b = r.to - 4000;  // inside the region, not on a block boundary
            const Bytes expected = ExpectedFile(w.header(), w.Source(a, b));
            const bool sync = round % 2 == 0;
            const bool undo = round % 4 < 2 && UndoIsCheap();
            ++round;
            AudioEditSetUndoRedo(undo ? 1 : 0);
            const std::string what = std::string(s.what) + " at " + std::to_string(a) + (sync ? " sync" : " job") +
                                     (undo ? " undo" : "");
            const std::string file = Make(w, "big.wav");
            const std::string out = Path("out.wav"), clip = Path("clip.wav");
            ASSERT_EQ(RunOp(Op::Crop, file, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b),
                            QUILLON_TIME_BYTES, sync, "", out),
                      0)
                << what;
            EXPECT_TRUE(ReadBytes(out) == expected) << what << ": crop into a new file";
            ASSERT_EQ(RunOp(Op::Copy, file, static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(a),
                            QUILLON_TIME_BYTES, sync, clip, ""),
                      0)
                << what;
            EXPECT_TRUE(ReadBytes(clip) == expected) << what << ": copy into a clip";
            ExpectUnchanged(file, w, what);
            ASSERT_EQ(RunOp(Op::Crop, file, static_cast<std::uint32_t>(a / 4), static_cast<std::uint32_t>(b / 4),
                            QUILLON_TIME_SAMPLES, sync, "", ""),
                      0)
                << what;
            EXPECT_TRUE(ReadBytes(file) == expected) << what << ": crop of the file itself";
            if (undo) {
                ASSERT_EQ(AudioEditUndo(), 0) << what;
                ExpectUnchanged(file, w, what + " after undo");
            }
            EXPECT_TRUE(StrayTempFiles().empty()) << what;
            for (const std::string& f : {file, out, clip}) DeleteFileA(f.c_str());
        }
    }
}

// The region of a file that lies across its 2 GiB line.
Range LineRegion(const BigWave& w) {
    const U64 line = kTwoGiB - w.dataOffset();
    for (const Range& r : w.regions())
        if (r.from <= line && line < r.to) return r;
    return w.regions().back();
}

// The bytes a trim of [a, b) keeps, by the rule: from the first frame with a sample louder than
// 327 (1 %) in either channel to the end of the last such frame.
Range Loud(const BigWave& w, U64 a, U64 b) {
    const Bytes audio = w.Source(a, b);
    U64 first = b, last = a;
    for (std::size_t at = 0; at + 4 <= audio.size(); at += 4) {
        const int left = static_cast<std::int16_t>(audio[at] | (audio[at + 1] << 8));
        const int right = static_cast<std::int16_t>(audio[at + 2] | (audio[at + 3] << 8));
        if (std::abs(left) > 327 || std::abs(right) > 327) {
            first = std::min<U64>(first, a + at);
            last = a + at + 4;
        }
    }
    return {first, last};
}

// Every edit whose new version holds (nearly) the whole file, on each file it can be made of,
// around the region across the 2 GiB line: the output is checked in every region, at the edit's
// own place, in its sizes and its header block. Synchronously and as a job, with undo (then the
// undo gives the source back) and without, into a new file and over the source itself.
TEST_F(BigFiles, EveryEditOfTheWholeFile) {
    const Bytes clipAudio = [] {
        Bytes b(100000);
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(0xA5 ^ (i * 13));
        return b;
    }();
    const std::string clip = Write("clip.wav", EditSource(kStereo16, clipAudio, false));
    int round = 0;
    for (const Size& s : kSizes) {
        const BigWave w(s.length);
        const U64 n = w.dataSize();
        const Range x = LineRegion(w);
        const U64 a = x.from + 1000, b = x.to - 1000, p = x.from + 50000;
        const Range sel{x.from - 100000, std::min(n, x.to + 100000)};
        const Range keep = Loud(w, sel.from, sel.to);
        struct Case {
            Op op;
            std::uint32_t first, second;
            std::vector<Piece> pieces;
            std::vector<U64> points;
        };
        std::vector<Case> cases = {
            {Op::Cut, U32(a), U32(b), {{a, Piece::FromSource, 0}, {n - b, Piece::FromSource, b}}, {a}},
            {Op::Clear, U32(b), U32(a), {{a, Piece::FromSource, 0}, {n - b, Piece::FromSource, b}}, {a}},
            {Op::MuteL, U32(a), U32(b),
             {{a, Piece::FromSource, 0}, {b - a, Piece::MutedLeft, a}, {n - b, Piece::FromSource, b}}, {a, b}},
            {Op::Trim, U32(sel.from), U32(sel.to),
             {{sel.from, Piece::FromSource, 0}, {keep.to - keep.from, Piece::FromSource, keep.from},
              {n - sel.to, Piece::FromSource, sel.to}},
             {sel.from}},
        };
        // Paste and insertion make the file larger: not the largest file (they are refused there).
        if (s.length < 4 * kGiB - 4) {
            cases.push_back({Op::Paste, U32(p), 0,
                             {{p, Piece::FromSource, 0}, {clipAudio.size(), Piece::Inserted, 0, &clipAudio},
                              {n - p, Piece::FromSource, p}},
                             {p, p + clipAudio.size()}});
            cases.push_back({Op::Insert, U32(p), 1000,
                             {{p, Piece::FromSource, 0}, {176400, Piece::Zeros}, {n - p, Piece::FromSource, p}},
                             {p, p + 176400}});
        }
        for (const Case& c : cases) {
            const bool sync = round % 2 == 0;
            const bool undo = round % 4 < 2 && UndoIsCheap();
            const bool intoNew = round % 3 != 0;
            ++round;
            AudioEditSetUndoRedo(undo ? 1 : 0);
            const std::string what = std::string(s.what) + " " + OpName(c.op) + (sync ? " sync" : " job") +
                                     (undo ? " undo" : "") + (intoNew ? " into a new file" : " in place");
            const std::string file = Make(w, "big.wav"), out = intoNew ? Path("out.wav") : file;
            const std::string cutClip = Path("cut.wav");
            const bool clipNamed = c.op == Op::Paste || c.op == Op::Cut;
            ASSERT_EQ(RunOp(c.op, file, c.first, c.second, QUILLON_TIME_BYTES, sync,
                            clipNamed ? (c.op == Op::Paste ? clip : cutClip) : "", intoNew ? out : ""),
                      0)
                << what;
            ExpectBigOutput(out, w, c.pieces, c.points, what);
            if (c.op == Op::Cut) {
                EXPECT_TRUE(ReadBytes(cutClip) == ExpectedFile(w.header(), w.Source(a, b))) << what;
            }
            if (intoNew) ExpectUnchanged(file, w, what);
            if (undo && !intoNew) {
                ASSERT_EQ(AudioEditUndo(), 0) << what;
                ExpectUnchanged(file, w, what + " after undo");
            }
            EXPECT_TRUE(StrayTempFiles().empty()) << what;
            for (const std::string& f : {file, out, cutClip}) DeleteFileA(f.c_str());
        }
    }
}

// What would pass the 4 GiB a RIFF form describes is refused with 323 before anything is
// written: a paste or an insertion into the largest file, an insertion of more than a gigabyte
// into the 3 GiB file, format changes that double the audio. The file stays as it was, no
// temporary file is left with content and the undo copy is not touched.
TEST_F(BigFiles, WhatWouldPassFourGiBIsRefusedAndNothingChanges) {
    const std::string clip = Write("clip.wav", EditSource(kStereo16, CountingSamples(400000), false));
    const BigWave largest(4 * kGiB - 4), three(3 * kGiB), smallest(kTwoGiB + 8);
    struct Case {
        const char* what;
        const BigWave* w;
        std::function<unsigned short(const char* file, QUILLON_EDIT_HANDLE* h, int sync)> start;
    };
    const std::vector<Case> cases = {
        {"paste of 400,000 bytes into 4 GiB less a frame", &largest,
         [&](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioPasteEx(f, 1000, QUILLON_TIME_BYTES, h, sync, clip.c_str(), nullptr);
         }},
        {"paste at the end of 4 GiB less a frame", &largest,
         [&](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioPasteEx(f, U32(largest.dataSize()), QUILLON_TIME_BYTES, h, sync, clip.c_str(), nullptr);
         }},
        {"one frame of silence into 4 GiB less a frame", &largest,
         [](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioInsertSilence(f, 0, QUILLON_TIME_BYTES, h, sync, 1, nullptr);
         }},
        {"6100 s of silence into 3 GiB", &three,
         [](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioInsertSilence(f, 0, QUILLON_TIME_MS, h, sync, 6100000, nullptr);
         }},
        {"3 GiB at twice the rate", &three,
         [&](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioChangeFormat(f, f, 88200, 16, 2, h, sync);
         }},
        {"2 GiB and 8 bytes at three times the rate", &smallest,
         [&](const char* f, QUILLON_EDIT_HANDLE* h, int sync) {
             return AudioChangeFormat(f, f, 132300, 16, 2, h, sync);
         }},
    };
    int round = 0;
    for (const Case& c : cases) {
        for (bool sync : {true, false}) {
            const bool undo = round++ % 2 == 0;
            AudioEditSetUndoRedo(undo ? 1 : 0);
            const std::string what = std::string(c.what) + (sync ? " sync" : " job") + (undo ? " undo" : "");
            const std::string file = Make(*c.w, "big.wav");
            const Bytes undoBefore = ReadBytes(gUNDOFILE);
            QUILLON_EDIT_HANDLE h = nullptr;
            const unsigned short started = c.start(file.c_str(), &h, sync ? 1 : 0);
            unsigned short result = started;
            if (!sync) {
                ASSERT_EQ(started, 0) << what;
                ASSERT_TRUE(WaitOver(h)) << what;
                result = AudioEditGetReasonForProcessExit(h);
                EXPECT_EQ(AudioEditCloseHandle(&h), 0) << what;
            }
            EXPECT_EQ(result, QUILLON_ERR_PASSES_4GB) << what;
            ExpectUnchanged(file, *c.w, what);
            EXPECT_EQ(ReadBytes(gUNDOFILE), undoBefore) << what;
            EXPECT_TRUE(StrayTempFiles().empty()) << what;
            for (const char* t : {gEDITFILE, gUNDOFILE}) EXPECT_EQ(LengthOf(t), 0u) << what << ": " << t;
            DeleteFileA(file.c_str());
        }
    }
}

// Defence in depth: every result is read back before it replaces anything, and a result whose
// audio is not exactly what the edit, the format change or the conversion put into it (a size
// made wrong through the test seam) fails and replaces nothing: the edits with 301, the format
// change with 358, the conversion with 425 and no destination.
TEST_F(BigFiles, AResultOfTheWrongSizeReplacesNothing) {
    const Bytes samples = CountingSamples(300000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes old = {1, 2, 3};
    const std::string clip = Write("clip.wav", EditSource(kStereo16, CountingSamples(40000), false));
    const int ima = GetCodecIndexFromLinkList(WAVE_FORMAT_IMA_ADPCM);
    ASSERT_GE(ima, 0);
    struct Case {
        const char* what;
        unsigned short code;
        bool inPlace;  // the result would replace the source itself
        std::function<unsigned short(const std::string& file, const std::string& dest)> run;
    };
    const auto edit = [](Op op, std::uint32_t a, std::uint32_t b, bool inPlace) {
        return [=](const std::string& file, const std::string& dest) {
            return RunOp(op, file, a, b, QUILLON_TIME_BYTES, true, "", inPlace ? "" : dest);
        };
    };
    const std::vector<Case> cases = {
        {"cut", 301, false, edit(Op::Cut, 1000, 5000, false)},
        {"clear in place", 301, true, edit(Op::Clear, 1000, 5000, true)},
        {"crop", 301, false, edit(Op::Crop, 1000, 5000, false)},
        {"mute", 301, false, edit(Op::MuteBoth, 1000, 5000, false)},
        {"trim silence in place", 301, true, edit(Op::Trim, 0, 300000, true)},
        {"insert silence", 301, false, edit(Op::Insert, 4000, 100, false)},
        {"paste", 301, false,
         [&](const std::string& file, const std::string& dest) {
             return RunOp(Op::Paste, file, 4000, 0, QUILLON_TIME_BYTES, false, clip, dest);
         }},
        {"format change", 358, false,
         [](const std::string& file, const std::string& dest) {
             return AudioChangeFormat(file.c_str(), dest.c_str(), 22050, 8, 1, nullptr, 1);
         }},
        {"format change in place", 358, true,
         [](const std::string& file, const std::string&) {
             return AudioChangeFormat(file.c_str(), file.c_str(), 44100, 16, 1, nullptr, 1);
         }},
    };
    for (std::int64_t skew : {-2, 2}) {
        for (const Case& c : cases) {
            const std::string what = std::string(c.what) + " with a size off by " + std::to_string(skew);
            const std::string file = Write("a.wav", source), dest = Write("dest.wav", old);
            riffio::gResultSizeSkew = skew;
            EXPECT_EQ(c.run(file, dest), c.code) << what;
            riffio::gResultSizeSkew = 0;
            EXPECT_EQ(ReadBytes(file), source) << what;
            if (!c.inPlace) {
                EXPECT_EQ(ReadBytes(dest), old) << what;
            }
            EXPECT_TRUE(StrayTempFiles().empty()) << what;
        }
        // The conversion's work file beside the destination is not whole: it is deleted, and the
        // destination stays as it was.
        const std::string file = Write("a.wav", source), dest = Write("dest.wav", old);
        const std::size_t files = ListDir(dir_.path()).size();
        riffio::gResultSizeSkew = skew;
        EXPECT_EQ(AudioConvert(static_cast<unsigned short>(ima), -1, file.c_str(), dest.c_str(), nullptr, 0, nullptr, 1),
                  425);
        riffio::gResultSizeSkew = 0;
        EXPECT_EQ(ReadBytes(dest), old) << "conversion with a size off by " << skew;
        EXPECT_EQ(ListDir(dir_.path()).size(), files) << "no work file is left beside the destination";
        EXPECT_EQ(ReadBytes(file), source);
    }
}

// The MP3 length comes from the file API: a file of 3 GiB reports it, one past 4 GiB has no
// 32-bit length and is refused with 323.
TEST_F(BigFiles, Mp3LengthPastTwoAndFourGiB) {
    Bytes frames;  // MPEG-1 Layer III frames of 128 kbit/s at 44100 Hz with zero audio data
    for (int i = 0; i < 40; ++i) frames.insert(frames.end(), {0xFF, 0xFB, 0x90, 0x64}), frames.resize(frames.size() + 413);
    struct Case {
        U64 length;
        unsigned short code;
    };
    for (const Case& c : {Case{3 * kGiB, 0}, Case{4 * kGiB - 1, 0}, Case{4 * kGiB + 4, QUILLON_ERR_PASSES_4GB}}) {
        const std::string file = Write("long.mp3", frames);
        ASSERT_TRUE(SetLength(file, c.length));
        MPEGLAYER3WAVEFORMAT format;
        std::memset(&format, 0, sizeof format);
        DWORD length = 0x55555555;
        EXPECT_EQ(GetMP3FileInfo(file.c_str(), &format, &length), c.code) << c.length;
        if (c.code == 0) {
            EXPECT_EQ(length, c.length);
            EXPECT_EQ(format.wfx.nSamplesPerSec, 44100u);
        } else {
            EXPECT_EQ(length, 0x55555555u) << "nothing is reported for a file of " << c.length;
        }
        EXPECT_EQ(GetMP3BitRate(file.c_str()), 128u) << c.length;
        DeleteFileA(file.c_str());
    }
}

// The PCM converter of the compression manager: a converter whose only tag is PCM.
int PcmConverter() {
    for (unsigned short i = 0, n = GetNumberOfCodec(); i < n; ++i) {
        tACMDRIVERINFO info;
        tACMCODECFORMATTAGINFO tag;
        if (GetCodecDescription(&info, i) == 0 && info.currentFormatTag == 1 &&
            GetCodecFormatTagDescription(&tag, i, 0) == 0 && tag.formatTag == WAVE_FORMAT_PCM)
            return info.codecIndex;
    }
    return -1;
}

std::int16_t Sample(const Bytes& b, std::size_t at) { return static_cast<std::int16_t>(b[at] | (b[at + 1] << 8)); }

// The format change in its three passes (half the rate, mono, 8 bits) of whole files: the output
// is checked in the images of the source's regions, computed by the rules (every second frame;
// the mean of the two samples truncated toward zero; the sample divided by 256 toward zero, plus
// 128). The smallest file's whole-file work is the edits' and the conversion's.
TEST_F(BigFiles, FormatChangeOfWholeFiles) {
    for (const Size& s : kSizes) {
        if (s.length == kSizes[0].length) continue;
        const BigWave w(s.length);
        const std::string file = Make(w, "big.wav"), out = Path("out.wav");
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(AudioChangeFormat(file.c_str(), out.c_str(), 22050, 8, 1, &h, 0), 0) << s.what;
        ASSERT_TRUE(WaitOver(h));
        ASSERT_EQ(AudioEditGetReasonForProcessExit(h), 0) << s.what;
        AudioEditCloseHandle(&h);
        const U64 frames = w.dataSize() / 4, outData = (frames + 1) / 2;
        ASSERT_EQ(LengthOf(out), 46 + outData + (outData & 1)) << s.what;
        EXPECT_EQ(ReadAt(out, 20, 16), PcmFormat(1, 22050, 8)) << s.what;
        for (const Range& r : w.regions()) {
            const U64 first = (r.from / 4 + 1) / 2, last = r.to / 4 / 2;  // output frames of even source frames
            const Bytes src = w.Source(first * 8, last * 8);
            Bytes expected;
            for (U64 j = 0; j < last - first; ++j) {
                const int mono = (Sample(src, static_cast<std::size_t>(j * 8)) + Sample(src, static_cast<std::size_t>(j * 8 + 2))) / 2;
                expected.push_back(static_cast<std::uint8_t>(mono / 256 + 128));
            }
            EXPECT_TRUE(ReadAt(out, 46 + first, static_cast<std::size_t>(last - first)) == expected)
                << s.what << ": format change of the region at " << r.from;
        }
        ExpectUnchanged(file, w, s.what);
        for (const std::string& f : {file, out}) DeleteFileA(f.c_str());
    }
}

// A conversion through the PCM converter in the same format, of the file that crosses the 2 GiB
// line: the audio comes out as it went in, after an 18-byte "fmt " and a "fact" chunk holding
// the source's data size. (The codec works on every byte, holes included.)
TEST_F(BigFiles, ConversionOfAWholeFile) {
    const int converter = PcmConverter();
    ASSERT_GE(converter, 0);
    const BigWave w(kSizes[0].length);
    const std::string file = Make(w, "big.wav"), out = Path("out.wav");
    const WAVEFORMATEX same = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    QUILLON_CONVERT_HANDLE h = nullptr;
    ASSERT_EQ(AudioConvert(static_cast<unsigned short>(converter), 0, file.c_str(), out.c_str(), &same, 0, &h, 0), 0);
    while (!AudioConvertProcessIsOver(h)) Sleep(5);
    ASSERT_EQ(AudioConvertGetReasonForProcessExit(h), 0);
    AudioConvertCloseHandle(&h);
    ASSERT_EQ(LengthOf(out), 58 + w.dataSize());
    EXPECT_EQ(Le32(ReadAt(out, 46, 4), 0), w.dataSize()) << "fact";
    for (const Range& r : w.regions())
        EXPECT_TRUE(ReadAt(out, 58 + r.from, static_cast<std::size_t>(r.to - r.from)) == w.Source(r.from, r.to))
            << "conversion of the region at " << r.from;
    ExpectUnchanged(file, w, "source of the conversion");
}

// A conversion whose output passes 4 GiB (3 GiB at twice the rate) ends with 323 when it gets
// there; its partial work file is deleted and no destination is made.
TEST_F(BigFiles, AConversionPassingFourGiBLeavesNoDestination) {
    const int converter = PcmConverter();
    ASSERT_GE(converter, 0);
    const BigWave w(3 * kGiB);
    const std::string file = Make(w, "big.wav"), out = Path("out.wav");
    const WAVEFORMATEX twice = {WAVE_FORMAT_PCM, 2, 88200, 352800, 4, 16, 0};
    EXPECT_EQ(AudioConvert(static_cast<unsigned short>(converter), 0, file.c_str(), out.c_str(), &twice, 0, nullptr, 1),
              QUILLON_ERR_PASSES_4GB);
    EXPECT_FALSE(FileExists(out));
    EXPECT_EQ(ListDir(dir_.path()).size(), 2u) << "the source and the temporary folder, no work file";
    ExpectUnchanged(file, w, "source of the conversion");
}

// The tester's long recording through the host: `quillon info` tells its length, `quillon paste`
// (a one-shot command, so without undo) and `quillon insert-silence` make it longer by exactly
// what they insert, and a paste that would pass 4 GiB is refused in words, the file untouched.
TEST_F(BigFiles, TheHostOnALongRecording) {
    const BigWave w(3 * kGiB), largest(4 * kGiB - 4);
    const std::string file = Make(w, "long.wav");
    const std::string clip = Write("clip.wav", EditSource(kStereo16, CountingSamples(400000), false));
    const std::string host = qt::HostCommand();
    std::string text;
    ASSERT_EQ(RunCommand(host + " info \"" + file + "\"", &text), 0) << text;
    EXPECT_NE(text.find(std::to_string(w.dataSize()) + " bytes"), std::string::npos) << text;
    const std::string out = Path("out.wav");
    ASSERT_EQ(RunCommand(host + " paste \"" + file + "\" 0 \"" + clip + "\" -o \"" + out + "\"", &text), 0) << text;
    const Bytes clipAudio = CountingSamples(400000);
    ExpectBigOutput(out, w, {{400000, Piece::Inserted, 0, &clipAudio}, {w.dataSize(), Piece::FromSource, 0}}, {0}, "paste");
    ASSERT_EQ(RunCommand(host + " insert-silence \"" + file + "\" 0 1000", &text), 0) << text;
    ExpectBigOutput(file, w, {{176400, Piece::Zeros}, {w.dataSize(), Piece::FromSource, 0}}, {0}, "insert-silence");
    const std::string big = Make(largest, "largest.wav");
    EXPECT_EQ(RunCommand(host + " paste \"" + big + "\" 0 \"" + clip + "\" 2>&1", &text), 1);
    EXPECT_NE(text.find("(323)"), std::string::npos) << text;
    ExpectUnchanged(big, largest, "a paste past 4 GiB");
    for (const std::string& f : {file, out, big}) DeleteFileA(f.c_str());
}

// A position in frames or milliseconds whose byte offset is 4 GiB or more lies past the end of
// every WAVE file: 313, never the low 32 bits of the offset, which would land inside a 3 GiB file.
TEST_F(BigFiles, PositionsPastFourGiBOfAudioAreBeyondTheEnd) {
    const BigWave w(3 * kGiB);
    const std::string file = Make(w, "big.wav"), out = Path("out.wav");
    AudioEditSetUndoRedo(0);
    struct Case {
        const char* what;
        std::uint32_t position;
        std::uint16_t type;
    };
    // 25,000,000 ms are 4,410,000,000 bytes (115,032,704 past 4 GiB); 1,100,000,000 frames are
    // 4,400,000,000 bytes.
    const Case cases[] = {{"milliseconds", 25000000, QUILLON_TIME_MS}, {"frames", 1100000000, QUILLON_TIME_SAMPLES}};
    for (const Case& c : cases) {
        for (Op op : {Op::Crop, Op::Copy, Op::Clear, Op::Insert}) {
            const std::uint32_t second = op == Op::Insert ? 10 : c.position;
            EXPECT_EQ(RunOp(op, file, op == Op::Insert ? c.position : 0, second, c.type, true, Path("clip.wav"), out),
                      QUILLON_ERR_BEYOND_END)
                << c.what << " " << OpName(op);
            EXPECT_FALSE(FileExists(out)) << c.what << " " << OpName(op);
        }
    }
    ExpectUnchanged(file, w, "positions past 4 GiB");
}

}  // namespace
}  // namespace qt
