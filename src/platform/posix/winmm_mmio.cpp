// winmm's buffered RIFF file I/O for the POSIX build: mmioOpenA and its buffer, reads, writes,
// seeks, the chunk operations (descend, ascend, create) and timeGetTime.
//
// Threads and locks: a handle is used by one thread at a time (as with winmm); the only shared
// state is the set of live handles, guarded by `gHandlesLock`, which lets every call refuse a
// null, closed or foreign handle instead of touching freed memory.
//
// The buffer is a window on the file:
//
//     file   ...|<-------------- cap bytes ------------->|...
//                ^ bufStart
//     buffer    [ mirrors the file: valid bytes | unused  ]
//                   [dirtyLo, dirtyHi) not yet written
//
// Every byte of [0, valid) is what the file holds (read from it, or written by the caller and
// waiting in [dirtyLo, dirtyHi)), so writing any part of it back is harmless. The position is
// kept apart from the window: a seek only moves it; the next read or write that falls outside
// the window writes the dirty bytes back and moves the window. A write may extend the window
// only from inside or from its end, never past a gap, so no unknown byte is ever written back.
//
// Positions are 64-bit inside (pread/pwrite at explicit offsets); LONG results stop at
// 0x7FFFFFFF and DWORD chunk offsets at 0xFFFFFFFF, as their types allow.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "winmm_mmio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct HMMIO__ {
    int fd = -1;
    DWORD openFlags = 0;

    char* buf = nullptr;
    std::size_t cap = 0;   // 0: unbuffered
    bool ownBuf = false;
    std::uint64_t bufStart = 0;
    std::size_t valid = 0;
    std::size_t dirtyLo = 0, dirtyHi = 0;

    std::uint64_t pos = 0;
    std::uint64_t fileSize = 0;  // including bytes still in the buffer
    bool writeFailed = false;    // a write to the disk failed since the open
    std::size_t unsentBytes = 0;  // written since the kernel was last asked to start writeback
};

namespace {

constexpr std::uint64_t kMaxLong = 0x7FFFFFFF;
constexpr std::uint64_t kMaxDword = 0xFFFFFFFF;

std::mutex gHandlesLock;
std::unordered_set<HMMIO__*> gHandles;

HMMIO__* Lookup(HMMIO h) {
    if (h == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(gHandlesLock);
    return gHandles.count(h) != 0 ? h : nullptr;
}

// ---- errors -------------------------------------------------------------------------------

bool ParentFolderExists(const char* name) {
    std::string folder(name);
    const std::size_t slash = folder.find_last_of('/');
    if (slash == std::string::npos) return true;  // the current folder
    folder.resize(slash == 0 ? 1 : slash);
    struct stat st;
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The one translation of an open failure into winmm's result codes.
UINT OpenErrorFromErrno(int err, const char* name) {
    switch (err) {
    case ENOENT: return ParentFolderExists(name) ? MMIOERR_FILENOTFOUND : MMIOERR_PATHNOTFOUND;
    case ENOTDIR: return MMIOERR_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return MMIOERR_ACCESSDENIED;
    case ETXTBSY:
    case EBUSY: return MMIOERR_SHARINGVIOLATION;
    case EMFILE:
    case ENFILE: return MMIOERR_TOOMANYOPENFILES;
    case ENOMEM: return MMIOERR_OUTOFMEMORY;
    default: return MMIOERR_INVALIDFILE;
    }
}

// ---- raw file access ----------------------------------------------------------------------

// Reads up to n bytes at `at`; returns the count (short only at the end of the file) or -1.
long long ReadFileAt(int fd, char* dst, std::size_t n, std::uint64_t at) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, dst + done, n - done, static_cast<off_t>(at + done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? static_cast<long long>(done) : -1;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<long long>(done);
}

// Long writes start the kernel's writeback every few megabytes, without waiting for it. The
// dirty pages of a large new file then never pile up: the flush before it replaces a file is
// short, and so is a cancel that throws the file away.
constexpr std::size_t kWriteBehindBytes = 8u << 20;

void NoteWritten(HMMIO__* f, std::size_t n) {
    f->unsentBytes += n;
    if (f->unsentBytes < kWriteBehindBytes) return;
    f->unsentBytes = 0;
    ::sync_file_range(f->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool WriteFileAt(int fd, const char* src, std::size_t n, std::uint64_t at) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, src + done, n - done, static_cast<off_t>(at + done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (w == 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// ---- the buffer ---------------------------------------------------------------------------

// Writes the dirty bytes back. On failure they stay dirty (a later flush tries again) and the
// handle remembers that the disk refused data.
bool Flush(HMMIO__* f) {
    if (f->dirtyHi <= f->dirtyLo) return true;
    if (!WriteFileAt(f->fd, f->buf + f->dirtyLo, f->dirtyHi - f->dirtyLo, f->bufStart + f->dirtyLo)) {
        f->writeFailed = true;
        return false;
    }
    NoteWritten(f, f->dirtyHi - f->dirtyLo);
    f->dirtyLo = f->dirtyHi = 0;
    return true;
}

// Empties the window and places it at the position. The dirty bytes must be written first.
void MoveWindow(HMMIO__* f) {
    f->bufStart = f->pos;
    f->valid = 0;
    f->dirtyLo = f->dirtyHi = 0;
}

long long Read(HMMIO__* f, char* dst, std::size_t n) {
    std::size_t total = 0;
    while (total < n) {
        if (f->cap > 0 && f->pos >= f->bufStart && f->pos < f->bufStart + f->valid) {
            const std::size_t off = static_cast<std::size_t>(f->pos - f->bufStart);
            const std::size_t k = std::min(n - total, f->valid - off);
            std::memcpy(dst + total, f->buf + off, k);
            total += k;
            f->pos += k;
            continue;
        }
        // Outside the window: the disk must hold every byte written so far.
        if (!Flush(f)) return total > 0 ? static_cast<long long>(total) : -1;
        const std::size_t want = n - total;
        if (f->cap == 0 || want >= f->cap) {
            const long long r = ReadFileAt(f->fd, dst + total, want, f->pos);
            if (r < 0) return total > 0 ? static_cast<long long>(total) : -1;
            total += static_cast<std::size_t>(r);
            f->pos += static_cast<std::uint64_t>(r);
            break;  // a short direct read means the end of the file
        }
        MoveWindow(f);
        const long long r = ReadFileAt(f->fd, f->buf, f->cap, f->pos);
        if (r < 0) return total > 0 ? static_cast<long long>(total) : -1;
        if (r == 0) break;
        f->valid = static_cast<std::size_t>(r);
    }
    return static_cast<long long>(total);
}

// Returns false when the disk refused bytes during this call.
bool Write(HMMIO__* f, const char* src, std::size_t n) {
    // A write of at least a buffer's worth goes straight to the file: copying it through the
    // buffer would only cut it into buffer-sized system calls.
    if (f->cap == 0 || n >= f->cap) {
        if (!Flush(f)) return false;
        if (!WriteFileAt(f->fd, src, n, f->pos)) {
            f->writeFailed = true;
            return false;
        }
        NoteWritten(f, n);
        f->pos += n;
        f->fileSize = std::max(f->fileSize, f->pos);
        if (f->cap > 0) MoveWindow(f);  // the window may hold older copies of these bytes
        return true;
    }
    std::size_t done = 0;
    while (done < n) {
        const bool inWindow = f->pos >= f->bufStart && f->pos <= f->bufStart + f->valid &&
                              f->pos < f->bufStart + f->cap;
        if (!inWindow) {
            if (!Flush(f)) return false;
            MoveWindow(f);
            continue;
        }
        const std::size_t off = static_cast<std::size_t>(f->pos - f->bufStart);
        const std::size_t k = std::min(n - done, f->cap - off);
        std::memcpy(f->buf + off, src + done, k);
        if (f->dirtyHi <= f->dirtyLo) {
            f->dirtyLo = off;
            f->dirtyHi = off + k;
        } else {
            f->dirtyLo = std::min(f->dirtyLo, off);
            f->dirtyHi = std::max(f->dirtyHi, off + k);
        }
        f->valid = std::max(f->valid, off + k);
        done += k;
        f->pos += k;
        f->fileSize = std::max(f->fileSize, f->pos);
    }
    return true;
}

bool ReadExactlyAt(HMMIO__* f, std::uint64_t at, char* dst, std::size_t n, std::size_t* got) {
    f->pos = at;
    const long long r = Read(f, dst, n);
    *got = r > 0 ? static_cast<std::size_t>(r) : 0;
    return *got == n;
}

void FreeBuffer(HMMIO__* f) {
    if (f->ownBuf) delete[] f->buf;
    f->buf = nullptr;
    f->ownBuf = false;
    f->cap = 0;
}

// Installs a buffer of `size` bytes: the caller's when given, else one of our own.
UINT InstallBuffer(HMMIO__* f, char* callerBuffer, std::size_t size) {
    char* fresh = callerBuffer;
    if (fresh == nullptr && size > 0) {
        fresh = new (std::nothrow) char[size];
        if (fresh == nullptr) return MMIOERR_OUTOFMEMORY;
    }
    FreeBuffer(f);
    f->buf = fresh;
    f->ownBuf = callerBuffer == nullptr && size > 0;
    f->cap = size;
    MoveWindow(f);
    return MMSYSERR_NOERROR;
}

// ---- names --------------------------------------------------------------------------------

// The absolute form of a name, with "." and ".." and repeated separators resolved by their
// spelling alone (as GetFullPathName does); empty when the current folder is unknown.
std::string FullPathName(const char* name) {
    std::string whole;
    if (name[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) == nullptr) return std::string();
        whole = cwd;
        whole += '/';
    }
    whole += name;
    std::string out;
    std::size_t i = 0;
    while (i < whole.size()) {
        std::size_t j = whole.find('/', i);
        if (j == std::string::npos) j = whole.size();
        const std::string part = whole.substr(i, j - i);
        if (part == "..") {
            const std::size_t cut = out.find_last_of('/');
            out.resize(cut == std::string::npos ? 0 : cut);
        } else if (!part.empty() && part != ".") {
            out += '/';
            out += part;
        }
        i = j + 1;
    }
    if (out.empty()) out = "/";
    if (!whole.empty() && whole.back() == '/' && out != "/") out += '/';
    return out;
}

void SetError(LPMMIOINFO info, UINT code) {
    if (info != nullptr) info->wErrorRet = code;
}

HMMIO BoolHandle(bool value) { return reinterpret_cast<HMMIO>(static_cast<std::uintptr_t>(value ? 1 : 0)); }

// MMIO_PARSE and MMIO_EXIST: the full name goes back into the caller's buffer (only written
// when it differs, so that a constant absolute name is never written to), nothing is opened.
HMMIO ParseOrTest(LPSTR name, LPMMIOINFO info, DWORD flags) {
    if (name == nullptr) return BoolHandle(false);
    const std::string full = FullPathName(name);
    if (full.empty() || full.size() >= MAX_PATH) return BoolHandle(false);
    if ((flags & MMIO_EXIST) != 0) {
        struct stat st;
        if (::stat(full.c_str(), &st) != 0) {
            SetError(info, MMIOERR_FILENOTFOUND);
            return BoolHandle(false);
        }
    }
    if (std::strcmp(name, full.c_str()) != 0) std::memcpy(name, full.c_str(), full.size() + 1);
    return BoolHandle(true);
}

// ---- chunks -------------------------------------------------------------------------------

DWORD ReadLE32(const unsigned char* p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

void PutLE32(unsigned char* p, DWORD v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool IsForm(FOURCC id) { return id == FOURCC_RIFF || id == FOURCC_LIST; }

}  // namespace

extern "C" {

HMMIO mmioOpenA(LPSTR pszFileName, LPMMIOINFO pmmioinfo, DWORD fdwOpen) {
    if ((fdwOpen & (MMIO_PARSE | MMIO_EXIST)) != 0) return ParseOrTest(pszFileName, pmmioinfo, fdwOpen);

    if ((fdwOpen & MMIO_DELETE) != 0) {
        if (pszFileName == nullptr) return BoolHandle(false);
        if (::unlink(pszFileName) != 0) {
            SetError(pmmioinfo, OpenErrorFromErrno(errno, pszFileName));
            return BoolHandle(false);
        }
        return BoolHandle(true);
    }

    if (pmmioinfo != nullptr &&
        ((pmmioinfo->fccIOProc != 0 && pmmioinfo->fccIOProc != FOURCC_DOS) || pmmioinfo->pIOProc != nullptr)) {
        SetError(pmmioinfo, MMSYSERR_NOTSUPPORTED);  // only the file procedure exists here
        return nullptr;
    }
    if (pszFileName == nullptr) {
        SetError(pmmioinfo, MMSYSERR_INVALPARAM);
        return nullptr;
    }
    if (std::strlen(pszFileName) >= MAX_PATH) {  // as the platform's 260-character paths
        SetError(pmmioinfo, MMIOERR_INVALIDFILE);
        return nullptr;
    }

    int access;
    switch (fdwOpen & MMIO_RWMODE) {
    case MMIO_READ: access = O_RDONLY; break;
    case MMIO_WRITE: access = O_WRONLY; break;
    case MMIO_READWRITE: access = O_RDWR; break;
    default: SetError(pmmioinfo, MMSYSERR_INVALFLAG); return nullptr;
    }
    int oflags = access | O_CLOEXEC | O_NONBLOCK;  // O_NONBLOCK: a FIFO must not hang the open
    if ((fdwOpen & MMIO_CREATE) != 0) oflags |= O_CREAT | O_TRUNC;

    // A folder or a device named as a file is refused before anything is truncated.
    struct stat st;
    if (::stat(pszFileName, &st) == 0 && !S_ISREG(st.st_mode)) {
        SetError(pmmioinfo, S_ISDIR(st.st_mode) ? MMIOERR_ACCESSDENIED : MMIOERR_INVALIDFILE);
        return nullptr;
    }
    int fd;
    do {
        fd = ::open(pszFileName, oflags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        SetError(pmmioinfo, OpenErrorFromErrno(errno, pszFileName));
        return nullptr;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetError(pmmioinfo, S_ISDIR(st.st_mode) ? MMIOERR_ACCESSDENIED : MMIOERR_INVALIDFILE);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    auto* f = new (std::nothrow) HMMIO__;
    if (f == nullptr) {
        ::close(fd);
        SetError(pmmioinfo, MMIOERR_OUTOFMEMORY);
        return nullptr;
    }
    f->fd = fd;
    f->openFlags = fdwOpen;
    f->fileSize = static_cast<std::uint64_t>(st.st_size);

    // The buffer: MMIO_ALLOCBUF gives one of the caller's size or the default size; without
    // it, the caller may still hand one in (or ask for one by size) through the MMIOINFO.
    char* callerBuffer = pmmioinfo != nullptr ? pmmioinfo->pchBuffer : nullptr;
    const LONG askedSize = pmmioinfo != nullptr ? pmmioinfo->cchBuffer : 0;
    UINT result = MMSYSERR_NOERROR;
    if (askedSize < 0) {
        result = MMSYSERR_INVALPARAM;
    } else if ((fdwOpen & MMIO_ALLOCBUF) != 0) {
        result = InstallBuffer(f, callerBuffer, askedSize > 0 ? static_cast<std::size_t>(askedSize) : MMIO_DEFAULTBUFFER);
    } else if (askedSize > 0) {
        result = InstallBuffer(f, callerBuffer, static_cast<std::size_t>(askedSize));
    }
    if (result != MMSYSERR_NOERROR) {
        FreeBuffer(f);
        ::close(fd);
        delete f;
        SetError(pmmioinfo, result);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(gHandlesLock);
        gHandles.insert(f);
    }
    SetError(pmmioinfo, MMSYSERR_NOERROR);
    return f;
}

MMRESULT mmioClose(HMMIO hmmio, UINT fuClose) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> lock(gHandlesLock);
        gHandles.erase(f);
    }
    // The handle is released whatever happens; a failure is reported, never hidden.
    bool ok = Flush(f) && !f->writeFailed;
    if ((fuClose & MMIO_FHOPEN) == 0 && ::close(f->fd) != 0 && errno != EINTR) ok = false;
    FreeBuffer(f);
    delete f;
    return ok ? MMSYSERR_NOERROR : MMIOERR_CANNOTWRITE;
}

LONG mmioRead(HMMIO hmmio, HPSTR pch, LONG cch) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr || cch < 0 || (pch == nullptr && cch > 0)) return -1;
    if (cch == 0) return 0;
    return static_cast<LONG>(Read(f, pch, static_cast<std::size_t>(cch)));
}

LONG mmioWrite(HMMIO hmmio, const char* pch, LONG cch) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr || cch < 0 || (pch == nullptr && cch > 0)) return -1;
    if (cch == 0) return 0;
    return Write(f, pch, static_cast<std::size_t>(cch)) ? cch : -1;
}

// The origins are winmm's: SEEK_END counts lOffset back from the end (end - lOffset).
LONG mmioSeek(HMMIO hmmio, LONG lOffset, int iOrigin) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return -1;
    long long target;
    switch (iOrigin) {
    case SEEK_SET: target = lOffset; break;
    case SEEK_CUR: target = static_cast<long long>(f->pos) + lOffset; break;
    case SEEK_END: target = static_cast<long long>(f->fileSize) - lOffset; break;
    default: return -1;
    }
    if (target < 0 || static_cast<unsigned long long>(target) > kMaxLong) return -1;
    f->pos = static_cast<std::uint64_t>(target);
    return static_cast<LONG>(target);
}

MMRESULT mmioFlush(HMMIO hmmio, UINT fuFlush) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    if (!Flush(f) || f->writeFailed) return MMIOERR_CANNOTWRITE;
    if ((fuFlush & MMIO_EMPTYBUF) != 0) MoveWindow(f);
    return MMSYSERR_NOERROR;
}

MMRESULT mmioSetBuffer(HMMIO hmmio, LPSTR pchBuffer, LONG cchBuffer, UINT fuBuffer) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    if (cchBuffer < 0) return MMSYSERR_INVALPARAM;
    if (!Flush(f)) return MMIOERR_CANNOTWRITE;
    return InstallBuffer(f, cchBuffer > 0 ? pchBuffer : nullptr, static_cast<std::size_t>(cchBuffer));
}

// Searches forward from the current position for the chunk the flags name; inside a parent the
// search ends at the parent's end. Each header read is left in *pmmcki, so after a failed search
// it holds the last header seen; the position then returns to where the search began.
MMRESULT mmioDescend(HMMIO hmmio, LPMMCKINFO pmmcki, const MMCKINFO* pmmckiParent, UINT fuDescend) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    if (pmmcki == nullptr) return MMSYSERR_INVALPARAM;

    const std::uint64_t start = f->pos;
    std::uint64_t limit = kMaxDword;  // a header whose data offset a DWORD cannot hold is out of reach
    if (pmmckiParent != nullptr) {
        const std::uint64_t parentStart = pmmckiParent->dwDataOffset;
        const std::uint64_t parentEnd = parentStart + pmmckiParent->cksize;
        if (start < parentStart || start >= parentEnd) return MMIOERR_CHUNKNOTFOUND;
        limit = std::min(limit, parentEnd);
    }

    FOURCC wantId = 0, wantType = 0;  // 0: any
    if ((fuDescend & MMIO_FINDCHUNK) != 0) wantId = pmmcki->ckid;
    if ((fuDescend & MMIO_FINDLIST) != 0) {
        wantId = FOURCC_LIST;
        wantType = pmmcki->fccType;
    }
    if ((fuDescend & MMIO_FINDRIFF) != 0) {
        wantId = FOURCC_RIFF;
        wantType = pmmcki->fccType;
    }

    // Header: id (4) size (4), and for RIFF and LIST the form type (4) that opens the data.
    std::uint64_t at = start;
    while (at + 8 <= limit) {
        unsigned char header[12];
        std::size_t got = 0;
        ReadExactlyAt(f, at, reinterpret_cast<char*>(header), sizeof header, &got);
        if (got < 8) break;
        const FOURCC id = ReadLE32(header);
        const DWORD size = ReadLE32(header + 4);
        const bool form = IsForm(id);
        const bool typeKnown = got == sizeof header;
        pmmcki->ckid = id;
        pmmcki->cksize = size;
        if (typeKnown) pmmcki->fccType = ReadLE32(header + 8);
        pmmcki->dwDataOffset = static_cast<DWORD>(at + 8);
        if ((wantId == 0 || id == wantId) && (wantType == 0 || (typeKnown && pmmcki->fccType == wantType))) {
            if (form && !typeKnown) break;  // a form cut off before its type cannot be entered
            pmmcki->dwFlags = 0;
            if (form) {
                f->pos = at + 12;
            } else {
                pmmcki->fccType = 0;
                f->pos = at + 8;
            }
            return MMSYSERR_NOERROR;
        }
        at += 8 + static_cast<std::uint64_t>(size) + (size & 1);  // 64-bit: a size cannot wrap
    }
    f->pos = start;
    return MMIOERR_CHUNKNOTFOUND;
}

// Leaves a chunk. A chunk made by mmioCreateChunk (MMIO_DIRTY) ends at the current position:
// its size is written into its header and an odd size gets its zero pad byte. Then the position
// moves past the chunk and its pad.
MMRESULT mmioAscend(HMMIO hmmio, LPMMCKINFO pmmcki, UINT fuAscend) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    if (pmmcki == nullptr) return MMSYSERR_INVALPARAM;

    MMRESULT result = MMSYSERR_NOERROR;
    if ((pmmcki->dwFlags & MMIO_DIRTY) != 0) {
        const std::uint64_t end = f->pos;
        if (end < pmmcki->dwDataOffset || end - pmmcki->dwDataOffset > kMaxDword || pmmcki->dwDataOffset < 4)
            return MMIOERR_CANNOTWRITE;
        const DWORD size = static_cast<DWORD>(end - pmmcki->dwDataOffset);
        bool ok = true;
        if ((size & 1) != 0) {
            const char pad = 0;
            ok = Write(f, &pad, 1) && ok;
        }
        if (size != pmmcki->cksize) {
            unsigned char field[4];
            PutLE32(field, size);
            f->pos = pmmcki->dwDataOffset - 4;
            ok = Write(f, reinterpret_cast<const char*>(field), sizeof field) && ok;
            pmmcki->cksize = size;
        }
        pmmcki->dwFlags = 0;
        // The chunk is complete only once it is on the disk: a full disk shows here.
        ok = Flush(f) && ok && !f->writeFailed;
        if (!ok) result = MMIOERR_CANNOTWRITE;
    }
    f->pos = static_cast<std::uint64_t>(pmmcki->dwDataOffset) + pmmcki->cksize + (pmmcki->cksize & 1);
    return result;
}

// Writes a chunk header at the current position: id, the caller's cksize as a placeholder and,
// for RIFF and LIST, the form type. The chunk is marked MMIO_DIRTY for mmioAscend.
MMRESULT mmioCreateChunk(HMMIO hmmio, LPMMCKINFO pmmcki, UINT fuCreate) {
    HMMIO__* f = Lookup(hmmio);
    if (f == nullptr) return MMSYSERR_INVALHANDLE;
    if (pmmcki == nullptr) return MMSYSERR_INVALPARAM;

    const std::uint64_t start = f->pos;
    if (fuCreate == MMIO_CREATELIST) pmmcki->ckid = FOURCC_LIST;
    if (fuCreate == MMIO_CREATERIFF) pmmcki->ckid = FOURCC_RIFF;
    if (start + 8 > kMaxDword) return MMIOERR_CANNOTWRITE;  // its data offset would not fit a DWORD

    unsigned char header[12];
    PutLE32(header, pmmcki->ckid);
    PutLE32(header + 4, pmmcki->cksize);
    PutLE32(header + 8, pmmcki->fccType);
    const std::size_t length = IsForm(pmmcki->ckid) ? 12 : 8;
    pmmcki->dwDataOffset = static_cast<DWORD>(start + 8);
    pmmcki->dwFlags = MMIO_DIRTY;
    if (!Write(f, reinterpret_cast<const char*>(header), length)) {
        f->pos = start;
        return MMIOERR_CANNOTWRITE;
    }
    return MMSYSERR_NOERROR;
}

FOURCC mmioStringToFOURCCA(LPCSTR sz, UINT uFlags) {
    char code[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; sz != nullptr && i < 4 && sz[i] != '\0'; ++i) {
        char c = sz[i];
        if ((uFlags & MMIO_TOUPPER) != 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        code[i] = c;
    }
    return mmioFOURCC(code[0], code[1], code[2], code[3]);
}

// Milliseconds of a monotonic clock, wrapping at 2^32 as a DWORD does.
DWORD timeGetTime() {
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

}  // extern "C"
