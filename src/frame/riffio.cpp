// The library's own buffered RIFF file I/O on kernel32 (see riffio.h).
//
// Positions go to the file API as 64-bit numbers (SetFilePointer with its high part), lengths
// come from GetFileSize with its high part. A writer that appends a block of zeros does not
// write it at once: the file is extended over it by the next write or when it is closed, which
// leaves a hole where the filesystem keeps them (a long silence costs no disk) and zeros
// everywhere else, as every Windows filesystem fills an extended file with zeros.
#include "frame/riffio.h"

#include <cstdlib>
#include <cstring>

namespace riffio {

namespace {

constexpr DWORD kBufferBytes = 65536;
constexpr DWORD kDirectBytes = kBufferBytes / 2;  // reads and writes this large bypass the buffer

DWORD Le32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

void PutLe32(BYTE* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

bool AllZero(const BYTE* p, DWORD n) {
    DWORD i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word != 0) return false;
    }
    for (; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// The 64-bit length of an open file; false when the file API cannot say.
bool LengthOf(HANDLE h, U64* length) {
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD low = GetFileSize(h, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *length = (static_cast<U64>(high) << 32) | low;
    return true;
}

}  // namespace

bool FileLength(const char* name, U64* length) {
    if (name == nullptr || name[0] == '\0') return false;
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = LengthOf(h, length);
    CloseHandle(h);
    return ok;
}

DWORD Id(const char (&id)[5]) { return mmioFOURCC(id[0], id[1], id[2], id[3]); }

// ---- File -----------------------------------------------------------------------------------

bool File::Open(const char* name, Access access) {
    Close();
    failed_ = false;
    pos_ = length_ = onDisk_ = handleAt_ = bufAt_ = 0;
    bufLen_ = 0;
    if (name == nullptr || name[0] == '\0') return false;
    writing_ = access == Access::CreateWrite || access == Access::CreateWriteExclusive;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (access == Access::ReadDenyWrite || access == Access::CreateWrite) share = FILE_SHARE_READ;
    if (access == Access::CreateWriteExclusive) share = 0;
    h_ = CreateFileA(name, writing_ ? GENERIC_WRITE : GENERIC_READ, share, nullptr,
                     writing_ ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL | (writing_ ? 0 : FILE_FLAG_SEQUENTIAL_SCAN), nullptr);
    if (h_ == INVALID_HANDLE_VALUE) return false;
    buffer_ = static_cast<BYTE*>(std::malloc(kBufferBytes));
    if (buffer_ == nullptr || (!writing_ && !LengthOf(h_, &length_))) {
        Abandon();
        return false;
    }
    onDisk_ = length_;
    return true;
}

bool File::MoveTo(U64 position) {
    if (position == handleAt_) return true;
    LONG high = static_cast<LONG>(position >> 32);
    SetLastError(NO_ERROR);
    const DWORD low = SetFilePointer(h_, static_cast<LONG>(static_cast<DWORD>(position)), &high, FILE_BEGIN);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
    handleAt_ = position;
    return true;
}

bool File::ReadThrough(U64 position, BYTE* data, DWORD n, DWORD* got) {
    *got = 0;
    if (!MoveTo(position)) return false;
    DWORD done = 0;
    if (!ReadFile(h_, data, n, &done, nullptr)) return false;
    handleAt_ += done;
    *got = done;
    return true;
}

bool File::WriteThrough(U64 position, const BYTE* data, DWORD n) {
    if (n == 0) return true;
    if (position >= onDisk_ && AllZero(data, n)) {
        // Appended zeros: the file is extended over them later.
        if (position + n > length_) length_ = position + n;
        return true;
    }
    if (!MoveTo(position)) return false;
    DWORD done = 0;
    const BOOL ok = WriteFile(h_, data, n, &done, nullptr);
    handleAt_ += done;
    if (handleAt_ > onDisk_) onDisk_ = handleAt_;
    if (handleAt_ > length_) length_ = handleAt_;
    return ok && done == n;
}

bool File::FlushBuffer() {
    if (!writing_ || bufLen_ == 0) return true;
    const bool ok = WriteThrough(bufAt_, buffer_, bufLen_);
    bufLen_ = 0;
    if (!ok) failed_ = true;
    return ok;
}

bool File::FillAt(U64 position) {
    bufAt_ = position;
    bufLen_ = 0;
    DWORD got = 0;
    if (!ReadThrough(position, buffer_, kBufferBytes, &got)) return false;
    bufLen_ = got;
    return true;
}

bool File::SeekTo(U64 position) {
    if (!IsOpen()) return false;
    if (writing_ && bufLen_ > 0 && position != bufAt_ + bufLen_ && !FlushBuffer()) return false;
    pos_ = position;
    return true;
}

std::int64_t File::Read(void* buffer, DWORD n) {
    if (!IsOpen() || writing_) return -1;
    BYTE* out = static_cast<BYTE*>(buffer);
    DWORD done = 0;
    while (done < n) {
        if (pos_ >= bufAt_ && pos_ < bufAt_ + bufLen_) {
            const U64 offset = pos_ - bufAt_;
            DWORD take = static_cast<DWORD>(bufLen_ - offset);
            if (take > n - done) take = n - done;
            std::memcpy(out + done, buffer_ + offset, take);
            done += take;
            pos_ += take;
            continue;
        }
        if (pos_ >= length_) break;
        if (n - done >= kDirectBytes) {
            DWORD got = 0;
            if (!ReadThrough(pos_, out + done, n - done, &got)) return -1;
            done += got;
            pos_ += got;
            break;  // a short direct read is the end of the file
        }
        if (!FillAt(pos_)) return -1;
        if (bufLen_ == 0) break;
    }
    return done;
}

bool File::Write(const void* buffer, DWORD n) {
    if (!IsOpen() || !writing_ || failed_) return false;
    if (n == 0) return true;
    if (pos_ + n > kMaxWaveFileBytes) {
        failed_ = true;
        return false;
    }
    const BYTE* in = static_cast<const BYTE*>(buffer);
    if (bufLen_ > 0 && pos_ != bufAt_ + bufLen_ && !FlushBuffer()) return false;
    if ((n >= kDirectBytes || bufLen_ + n > kBufferBytes) && !FlushBuffer()) return false;
    if (n >= kDirectBytes) {
        if (!WriteThrough(pos_, in, n)) {
            failed_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    if (bufLen_ == 0) bufAt_ = pos_;
    std::memcpy(buffer_ + bufLen_, in, n);
    bufLen_ += n;
    pos_ += n;
    if (pos_ > length_) length_ = pos_;
    return true;
}

bool File::Close() {
    if (!IsOpen()) return true;
    bool ok = true;
    if (writing_) {
        ok = FlushBuffer() && !failed_;
        // A run of zeros at the end: the file is extended over it.
        if (ok && length_ > onDisk_) ok = MoveTo(length_) && SetEndOfFile(h_);
    }
    if (!CloseHandle(h_)) ok = false;
    h_ = INVALID_HANDLE_VALUE;
    std::free(buffer_);
    buffer_ = nullptr;
    return ok;
}

void File::Abandon() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    std::free(buffer_);
    buffer_ = nullptr;
    bufLen_ = 0;
}

// ---- Chunks ---------------------------------------------------------------------------------

bool EnterForm(File& file, Chunk* riff, const char (&form)[5]) {
    // As the platform's form search: top-level chunks from the start, the first RIFF chunk of
    // this form type.
    const DWORD riffId = Id("RIFF"), formId = Id(form);
    for (U64 at = 0; at + 12 <= file.Length();) {
        BYTE header[12];
        if (!file.SeekTo(at) || !file.ReadExact(header, 12)) return false;
        const DWORD size = Le32(header + 4);
        if (Le32(header) == riffId && Le32(header + 8) == formId) {
            riff->id = riffId;
            riff->size = size;
            riff->form = formId;
            riff->dataOffset = at + 8;
            return true;
        }
        at += 8 + static_cast<U64>(size) + (size & 1u);
    }
    return false;
}

U64 FormEnd(const File& file, const Chunk& riff) {
    const U64 declared = riff.dataOffset + riff.size;
    return declared < file.Length() ? declared : file.Length();
}

bool FindChunk(File& file, const Chunk& riff, const char (&id)[5], Chunk* found) {
    const U64 start = file.Position();
    const U64 end = FormEnd(file, riff);
    const DWORD wanted = Id(id);
    // Sizes are added in 64 bits: a chunk that claims more than the form holds ends the search.
    for (U64 at = start < riff.dataOffset + 4 ? riff.dataOffset + 4 : start; at + 8 <= end;) {
        BYTE header[8];
        if (!file.SeekTo(at) || !file.ReadExact(header, 8)) break;
        const DWORD size = Le32(header + 4);
        if (Le32(header) == wanted) {
            found->id = wanted;
            found->size = size;
            found->form = 0;
            found->dataOffset = at + 8;
            return true;
        }
        at += 8 + static_cast<U64>(size) + (size & 1u);
    }
    file.SeekTo(start);
    return false;
}

bool LeaveChunk(File& file, const Chunk& chunk) {
    return file.SeekTo(chunk.dataOffset + chunk.size + (chunk.size & 1u));
}

DWORD BytesPresent(const File& file, const Chunk& chunk) {
    if (file.Length() <= chunk.dataOffset) return 0;
    const U64 present = file.Length() - chunk.dataOffset;
    return present < chunk.size ? static_cast<DWORD>(present) : chunk.size;
}

LayoutResult ReadWaveLayout(File& file, WaveLayout* layout) {
    if (!EnterForm(file, &layout->riff, "WAVE")) return LayoutResult::NotWave;
    if (!FindChunk(file, layout->riff, "data", &layout->data)) return LayoutResult::NoData;
    layout->dataBytes = BytesPresent(file, layout->data);
    return LayoutResult::Ok;
}

LayoutResult ReadWaveLayout(const char* name, WaveLayout* layout) {
    File file;
    if (!file.Open(name, File::Access::Read)) return LayoutResult::CannotOpen;
    return ReadWaveLayout(file, layout);
}

// ---- Writer ---------------------------------------------------------------------------------

bool Writer::Create(const char* name, const char (&form)[5], bool exclusive) {
    chunkOpen_ = false;
    if (!file_.Open(name, exclusive ? File::Access::CreateWriteExclusive : File::Access::CreateWrite)) return false;
    BYTE header[12];
    PutLe32(header, Id("RIFF"));
    PutLe32(header + 4, 0);
    PutLe32(header + 8, Id(form));
    riff_.id = Id("RIFF");
    riff_.form = Id(form);
    riff_.dataOffset = 8;
    return file_.Write(header, 12);
}

bool Writer::BeginChunk(const char (&id)[5]) {
    if (chunkOpen_ && !EndChunk()) return false;
    BYTE header[8];
    PutLe32(header, Id(id));
    PutLe32(header + 4, 0);
    chunk_.id = Id(id);
    chunk_.dataOffset = file_.Position() + 8;
    chunkOpen_ = true;
    return file_.Write(header, 8);
}

bool Writer::PatchSize(U64 sizeFieldAt, U64 size) {
    if (size > kMaxRiffSize) return false;
    const U64 back = file_.Position();
    BYTE field[4];
    PutLe32(field, static_cast<DWORD>(size));
    return file_.SeekTo(sizeFieldAt) && file_.Write(field, 4) && file_.SeekTo(back);
}

bool Writer::EndChunk() {
    if (!chunkOpen_) return true;
    chunkOpen_ = false;
    const U64 size = file_.Position() - chunk_.dataOffset;
    if (!PatchSize(chunk_.dataOffset - 4, size)) return false;
    chunk_.size = static_cast<DWORD>(size);
    const BYTE pad = 0;
    return (size & 1u) == 0 || file_.Write(&pad, 1);
}

bool Writer::Finish() {
    const bool ok = EndChunk() && PatchSize(4, file_.Position() - 8);
    const bool closed = file_.Close();
    return ok && closed;
}

// ---- Result check ---------------------------------------------------------------------------

std::atomic<std::int64_t> gResultSizeSkew{0};

bool ResultHoldsExactly(const char* name, U64 expectedDataBytes) {
    WaveLayout layout;
    if (ReadWaveLayout(name, &layout) != LayoutResult::Ok) return false;
    const std::int64_t skew = gResultSizeSkew.load();
    const std::int64_t declared = static_cast<std::int64_t>(layout.data.size) + skew;
    const std::int64_t present = static_cast<std::int64_t>(layout.dataBytes) + skew;
    const auto expected = static_cast<std::int64_t>(expectedDataBytes);
    return declared == expected && present == expected;
}

}  // namespace riffio
