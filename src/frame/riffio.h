// The library's own buffered RIFF file I/O, on kernel32 with 64-bit positions.
//
// winmm's mmio answers positions as LONGs and so cannot say where anything past 2 GiB is (Wine's
// and the real winmm stop there), while a RIFF size describes files up to 4 GiB. Every reader and
// writer of WAVE files in the core (file information, the edits, the format change, the codec
// conversion, the MP3 length) goes through this module instead, so that both platforms reach
// 4 GiB alike. The chunk access gives the results the mmio calls give for the same files: the
// form entered from the start, chunks found forward from the current position inside the form,
// sizes patched when a chunk is closed, an odd chunk padded.
//
// A file's length always comes from the file API in 64 bits, never from a signed seek. Sizes
// stored in the file are 32-bit; offsets and sums of sizes are 64-bit.
//
// Memory: one 64 KiB buffer per open file. Reads and writes of half the buffer or more go straight
// to the file. Threads: an object is used by one thread at a time.
#pragma once

#include "platform/win32api.h"

#include <atomic>
#include <cstdint>

namespace riffio {

using U64 = std::uint64_t;

// The largest RIFF size field, and so the largest file a RIFF form describes (its 8-byte header
// plus this).
constexpr U64 kMaxRiffSize = 0xFFFFFFFFull;
constexpr U64 kMaxWaveFileBytes = kMaxRiffSize + 8;

// The length of a file in bytes, from the file API (all 64 bits); nothing when it cannot be had.
bool FileLength(const char* name, U64* length);

class File {
public:
    enum class Access {
        Read,           // shared with readers and writers (mmio's compatibility mode)
        ReadDenyWrite,  // others may read only
        CreateWrite,    // created or truncated; others may read
        CreateWriteExclusive,
    };

    File() = default;
    ~File() { Close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool Open(const char* name, Access access);
    bool IsOpen() const { return h_ != INVALID_HANDLE_VALUE; }
    // The file's length: for a file being written, as far as it has been written.
    U64 Length() const { return length_; }
    U64 Position() const { return pos_; }
    bool SeekTo(U64 position);
    // Bytes read, fewer at the end of the file; -1 on a read error.
    std::int64_t Read(void* buffer, DWORD n);
    // Exactly n bytes, or false.
    bool ReadExact(void* buffer, DWORD n) { return Read(buffer, n) == static_cast<std::int64_t>(n); }
    // All n bytes at the current position, or false (a write error, or a file that would pass
    // what a RIFF form describes).
    bool Write(const void* buffer, DWORD n);
    // Writes what is buffered, brings the file to its length and closes it: false when any of
    // the written bytes did not reach the file. Closing a file opened to read is always true.
    bool Close();
    // Closes without caring whether the last bytes reached the file (a file given up).
    void Abandon();

private:
    bool FillAt(U64 position);
    bool FlushBuffer();
    bool WriteThrough(U64 position, const BYTE* data, DWORD n);
    bool ReadThrough(U64 position, BYTE* data, DWORD n, DWORD* got);
    bool MoveTo(U64 position);

    HANDLE h_ = INVALID_HANDLE_VALUE;
    bool writing_ = false;
    bool failed_ = false;
    BYTE* buffer_ = nullptr;
    U64 pos_ = 0;       // where the next read or write happens
    U64 length_ = 0;    // the file's length, counting what the buffer holds
    U64 onDisk_ = 0;    // how far the file really extends (a written run of zeros may not be there yet)
    U64 handleAt_ = 0;  // where the handle's own pointer stands
    // Reading: the buffer holds bufLen_ bytes of the file from bufAt_. Writing: it holds
    // bufLen_ bytes still to be written at bufAt_.
    U64 bufAt_ = 0;
    DWORD bufLen_ = 0;
};

// A chunk as found or created: its identifier, the size its header says, the form type for a
// RIFF chunk, and where its data begins.
struct Chunk {
    DWORD id = 0;
    DWORD size = 0;
    DWORD form = 0;
    U64 dataOffset = 0;
};

DWORD Id(const char (&id)[5]);

// Enters the RIFF form `form` at the start of the file: false when the file is no such form.
// Afterwards the position is the first chunk (offset 12).
bool EnterForm(File& file, Chunk* riff, const char (&form)[5]);
// Where the form ends: after its declared size, but not past the end of the file.
U64 FormEnd(const File& file, const Chunk& riff);
// Finds the chunk `id` forward from the current position inside `riff`: on success the position
// is its first data byte; otherwise the position is where the search began.
bool FindChunk(File& file, const Chunk& riff, const char (&id)[5], Chunk* found);
// Moves past a chunk that was read, and its pad byte.
bool LeaveChunk(File& file, const Chunk& chunk);
// The bytes of a chunk's data that the file really holds: its size, or less when the file ends
// before.
DWORD BytesPresent(const File& file, const Chunk& chunk);

// The layout of a WAVE file as the readers use it: the form, its "data" chunk (searched from the
// start of the form, so it may stand anywhere in it) and the audio really present.
struct WaveLayout {
    Chunk riff;
    Chunk data;
    DWORD dataBytes = 0;
    // Every byte between the form type and the "data" chunk's header.
    U64 HeaderOffset() const { return riff.dataOffset + 4; }
    U64 HeaderLength() const { return data.dataOffset - 8 - HeaderOffset(); }
};
enum class LayoutResult { Ok, CannotOpen, NotWave, NoData };
LayoutResult ReadWaveLayout(const char* name, WaveLayout* layout);
// The same on an open file; the position afterwards is the first audio byte.
LayoutResult ReadWaveLayout(File& file, WaveLayout* layout);

// Writing a RIFF form: chunks one after the other inside it, each closed before the next.
class Writer {
public:
    bool Create(const char* name, const char (&form)[5], bool exclusive = false);
    bool BeginChunk(const char (&id)[5]);
    bool Write(const void* data, DWORD n) { return n == 0 || file_.Write(data, n); }
    // Patches the open chunk's size and pads it: false when the size does not fit its field or
    // the bytes did not reach the file.
    bool EndChunk();
    // Closes the open chunk and the form, patches the form's size and closes the file.
    bool Finish();
    void Abandon() { file_.Abandon(); }
    bool IsOpen() const { return file_.IsOpen(); }

private:
    bool PatchSize(U64 sizeFieldAt, U64 size);

    File file_;
    Chunk riff_;
    Chunk chunk_;
    bool chunkOpen_ = false;
};

// The audio a finished WAVE file holds in its "data" chunk, read back from the file itself.
// Test seam: gResultSizeSkew is added to what is read, to show that a result of the wrong size
// is never put in place.
extern std::atomic<std::int64_t> gResultSizeSkew;
bool ResultHoldsExactly(const char* name, U64 expectedDataBytes);

}  // namespace riffio
