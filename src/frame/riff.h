// An owner for a handle of the platform's buffered mmio file I/O that closes it on every way out.
// WAVE files are read and written through the library's own RIFF I/O (riffio.h); mmio handles
// remain where the design hands one on (the MP3 codec access).
#pragma once

#include "platform/win32api.h"

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
