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

// Undo copies are made with the platform's copy: natively it keeps the holes, Wine's copies every
// byte of them.
bool UndoIsCheap() { return !UnderWine(); }

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
        // Wine reads every byte of the holes: the whole-file edits run there on the smallest file.
        if (UnderWine() && s.length != kSizes[0].length) continue;
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
            if (c.op == Op::Cut) EXPECT_TRUE(ReadBytes(cutClip) == ExpectedFile(w.header(), w.Source(a, b))) << what;
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

}  // namespace
}  // namespace qt
