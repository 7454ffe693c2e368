// Helpers of the edit and job tests: source files with chunks around "data", the expected
// result of an edit computed from the source's bytes alone, and a fixture that gives every test
// its own temporary directory (so that left-over temporary files can be counted).
#pragma once

#include "frame/state.h"
#include "quillon.h"
#include "test_util.h"

namespace qt {

struct Fmt {
    std::uint16_t channels;
    std::uint32_t rate;
    std::uint16_t bits;
    std::uint32_t frame() const { return channels * bits / 8u; }
};

// A source: "fmt ", a LIST chunk before "data" (kept by edits), "data", and a chunk after it
// (dropped by edits).
inline Bytes EditSource(const Fmt& f, const Bytes& samples, bool trailing = true) {
    Bytes list = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 5, 0, 0, 0, 't', 'e', 's', 't', 0, 0};
    std::vector<Chunk> chunks = {{"fmt ", PcmFormat(f.channels, f.rate, f.bits)}, {"LIST", list}, {"data", samples}};
    if (trailing) chunks.push_back({"junk", Bytes(10, 0xEE)});
    return RiffFile(chunks);
}

// The header block of a WAVE file given as bytes (everything between "WAVE" and the header of
// its "data" chunk) and the sample bytes present in its "data" chunk.
inline Bytes HeaderBlock(const Bytes& file) {
    for (const ChunkSeen& c : WalkChunks(file))
        if (c.id == "data") return Bytes(file.begin() + 12, file.begin() + c.at);
    return {};
}
inline Bytes DataOf(const Bytes& file) {
    for (const ChunkSeen& c : WalkChunks(file))
        if (c.id == "data") return c.data;
    return {};
}

// What an edit must write: "RIFF" size "WAVE", the header block, "data" with the new samples.
inline Bytes ExpectedFile(const Bytes& header, const Bytes& data) { return RiffFile({{"", header}, {"data", data}}); }

inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

// A position in a caller's unit as the byte offset an edit uses: converted with the file's
// own format and raised to the next whole frame.
inline std::uint64_t ExpectedOffset(std::uint32_t position, std::uint16_t type, const Fmt& f) {
    std::uint64_t bytes;
    if (type == QUILLON_TIME_BYTES)
        bytes = position;
    else if (type == QUILLON_TIME_SAMPLES)
        bytes = static_cast<std::uint64_t>(position) * f.frame();
    else
        bytes = static_cast<std::uint64_t>(static_cast<double>(position) * (f.rate / 1000.0) * (f.bits / 8.0) * f.channels);
    return (bytes + f.frame() - 1) / f.frame() * f.frame();
}

// Waits for a job to be over (bounded, so a hung job fails instead of blocking the suite).
inline bool WaitOver(QUILLON_EDIT_HANDLE h) {
    for (int i = 0; i < 60000; ++i) {
        if (AudioEditProcessIsOver(h)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

enum class Op { Cut, Copy, Clear, Crop, MuteL, MuteR, MuteBoth, Trim, Paste, Insert };

inline const char* OpName(Op op) {
    static const char* names[] = {"cut", "copy", "clear", "crop", "mute1", "mute2", "mute3", "trim", "paste", "insert"};
    return names[static_cast<int>(op)];
}

// The start call of an edit; with no clip named, cut, copy and paste use the library's own.
inline unsigned short StartOp(Op op, const char* f, std::uint32_t a, std::uint32_t b, std::uint16_t type,
                              QUILLON_EDIT_HANDLE* h, int s, const char* clip, const char* d) {
    switch (op) {
    case Op::Cut: return clip ? AudioCutInFile(f, a, b, type, h, s, clip, d) : AudioCut(f, a, b, type, h, s, d);
    case Op::Copy: return clip ? AudioCopyInFile(f, a, b, type, h, s, clip) : AudioCopy(f, a, b, type, h, s);
    case Op::Clear: return AudioClear(f, a, b, type, h, s, d);
    case Op::Crop: return AudioCrop(f, a, b, type, h, s, d);
    case Op::MuteL: return AudioEditMute(f, a, b, type, h, s, 1, d);
    case Op::MuteR: return AudioEditMute(f, a, b, type, h, s, 2, d);
    case Op::MuteBoth: return AudioEditMute(f, a, b, type, h, s, 3, d);
    case Op::Trim: return AudioEditTrimSilence(f, a, b, type, h, s, 100, d);
    case Op::Paste: return clip ? AudioPasteEx(f, a, type, h, s, clip, d) : AudioPaste(f, a, type, h, s);
    case Op::Insert: return AudioInsertSilence(f, a, type, h, s, b, d);
    }
    return 0;
}

// Starts an edit synchronously or as a job and returns its code (the job's reason for exit).
inline unsigned short RunOp(Op op, const std::string& file, std::uint32_t a, std::uint32_t b, std::uint16_t type, bool sync,
                   const std::string& clip, const std::string& dest) {
    QUILLON_EDIT_HANDLE h = nullptr;
    const unsigned short r = StartOp(op, file.c_str(), a, b, type, &h, sync ? 1 : 0, clip.c_str(),
                                     dest.empty() ? nullptr : dest.c_str());
    if (sync) {
        EXPECT_EQ(h, nullptr) << "a synchronous run leaves the handle alone";
        return r;
    }
    EXPECT_EQ(r, 0);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(WaitOver(h));
    const unsigned short reason = AudioEditGetReasonForProcessExit(h);
    if (reason == 0) { EXPECT_EQ(AudioEditGetProcessProgress(h), 100u); }
    EXPECT_EQ(AudioEditCloseHandle(&h), 0);
    EXPECT_EQ(h, nullptr);
    return reason;
}

// Every test gets its own temporary directory for the library's file set, and plays nothing.
class EditFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CopyName(savedTemp_, gTempPath);
        tempDir_ = dir_.File("tmp");
        CreateDirectoryA(tempDir_.c_str(), nullptr);
        ASSERT_EQ(SetTempPath(tempDir_.c_str()), 0);
        AudioEditSetUndoRedo(1);
        alreadyPlaying = 0;
        playbackFileName[0] = '\0';
    }
    void TearDown() override {
        AudioEditSetUndoRedo(1);
        alreadyPlaying = 0;
        playbackFileName[0] = '\0';
        SetTempPath(savedTemp_);
    }
    std::string Path(const std::string& name) const { return dir_.File(name); }
    std::string Write(const std::string& name, const Bytes& bytes) const {
        const std::string p = Path(name);
        EXPECT_TRUE(WriteBytes(p, bytes));
        return p;
    }
    // Files in the temporary directory other than the library's own five.
    std::vector<std::string> StrayTempFiles() const {
        std::vector<std::string> stray;
        for (const std::string& f : ListDir(tempDir_)) {
            const std::string full = tempDir_ + QL_PATH_SEPARATOR + f;
            bool known = false;
            for (const char* n : {gCLIPFILE, gEDITFILE, gUNDOFILE, gREDOFILE, gTEMPCOMPRESS})
                known = known || full == n;
            if (!known) stray.push_back(f);
        }
        return stray;
    }

    ScratchDir dir_;
    std::string tempDir_;
    char savedTemp_[MAX_PATH];
};

}  // namespace qt
