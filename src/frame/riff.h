// Chunk access to RIFF WAVE files through the platform's buffered mmio family, with an owner
// that closes the handle on every way out.
//
// File layout (little-endian):  "RIFF" size "WAVE" { id size data [pad] }...
// Chunks are found forward from the current position, so a reader that wants "fmt " and then
// "data" ascends out of "fmt " before searching for "data".
#pragma once

#include "platform/win32api.h"

constexpr DWORD kOpenRead = MMIO_READ | MMIO_ALLOCBUF;                             // 0x10000
constexpr DWORD kOpenWriteNew = MMIO_CREATE | MMIO_WRITE | MMIO_ALLOCBUF;           // 0x11001
constexpr DWORD kOpenConvertSource = MMIO_READ | MMIO_DENYWRITE | MMIO_ALLOCBUF;    // 0x10020
constexpr DWORD kOpenConvertTarget = MMIO_CREATE | MMIO_WRITE | MMIO_EXCLUSIVE | MMIO_ALLOCBUF;  // 0x11011

inline FOURCC FourCC(const char (&id)[5]) { return mmioFOURCC(id[0], id[1], id[2], id[3]); }

class MmioFile {
public:
    MmioFile() = default;
    MmioFile(const char* name, DWORD flags) : h_(mmioOpenA(const_cast<char*>(name), nullptr, flags)) {}
    ~MmioFile() { Close(); }
    MmioFile(const MmioFile&) = delete;
    MmioFile& operator=(const MmioFile&) = delete;

    explicit operator bool() const { return h_ != nullptr; }
    HMMIO get() const { return h_; }
    // Closes now; the result tells whether the last buffered bytes reached the disk.
    MMRESULT Close() {
        MMRESULT r = 0;
        if (h_ != nullptr) r = mmioClose(h_, 0);
        h_ = nullptr;
        return r;
    }

private:
    HMMIO h_ = nullptr;
};

// Enters the "WAVE" form from the start of the file: nonzero when the file is not a WAVE file.
inline MMRESULT DescendIntoWave(HMMIO h, MMCKINFO* riff) {
    riff->fccType = FourCC("WAVE");
    return mmioDescend(h, riff, nullptr, MMIO_FINDRIFF);
}

// Finds the chunk `id` forward from the current position inside `riff`.
inline MMRESULT FindChunk(HMMIO h, MMCKINFO* chunk, const MMCKINFO* riff, const char (&id)[5]) {
    chunk->ckid = FourCC(id);
    return mmioDescend(h, chunk, riff, MMIO_FINDCHUNK);
}
