// MPEG frame headers and MP3 file information, and MP3 codec access.
//
// The frame search looks at every byte offset from the start of the file for the first
// acceptable header; it reads the file in 64 KiB blocks (keeping the three bytes a header may
// straddle) and scans each block in memory, so a long run of tag bytes before the first frame
// costs one pass over memory rather than a seek and a read per byte.
//
// Codec access walks the installed drivers in enumeration order and hands a suggestion request
// to one opened driver at a time, never to the excluded "Creative MP3 CODEC".
//
// Threads: everything here runs on the caller's thread and keeps no state between calls.
#include "convert/acm.h"

#include "frame/riff.h"
#include "frame/riffio.h"
#include "frame/utils.h"
#include "quillon.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kSearchBlock = 65536;

// Finds the first acceptable header of a file; false when there is none or the file cannot be
// opened. The file is closed on every way out.
bool FindFirstHeader(const char* fileName, tagMP3Header* found) {
    if (fileName == nullptr) return false;
    riffio::File file;
    if (!file.Open(fileName, riffio::File::Access::ReadDenyWrite)) return false;
    const std::uint64_t length = file.Length();
    if (length < 4) return false;
    // Offsets 0 to length - 5 are examined: the last four bytes never start a header.
    const std::uint64_t offsets = length - 4;
    std::vector<std::uint8_t> block;
    try {
        block.resize(static_cast<std::size_t>(kSearchBlock) + 3);
    } catch (...) {
        return false;
    }
    std::uint64_t base = 0;  // file offset of block[0]
    std::size_t held = 0;    // bytes in block
    while (base < offsets) {
        const std::int64_t got = file.Read(block.data() + held, static_cast<DWORD>(block.size() - held));
        if (got > 0) held += static_cast<std::size_t>(got);
        if (held < 4) return false;
        std::size_t count = held - 3;  // offsets whose four bytes are all in the block
        if (count > offsets - base) count = static_cast<std::size_t>(offsets - base);
        const std::ptrdiff_t at = mpeg::FindAcceptableHeader(block.data(), count);
        if (at >= 0) {
            *found = mpeg::SplitHeader(mpeg::HeaderValue(block.data() + at));
            return true;
        }
        if (got <= 0) return false;  // the file ended (or failed) before length said
        std::memmove(block.data(), block.data() + count, held - count);
        base += count;
        held -= count;
    }
    return false;
}

}  // namespace

void EndianSwap(DWORD* someDWord) {
    const DWORD v = *someDWord;
    *someDWord = ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

WORD GetMPEGLayerFormat(const tagMP3Header* pMP3Header, MPEGLAYER3WAVEFORMAT* mp3Wfx) {
    mp3Wfx->wID = MPEGLAYER3_ID_MPEG;
    mp3Wfx->fdwFlags = pMP3Header->protection == 0 ? MPEGLAYER3_FLAG_PADDING_ON : MPEGLAYER3_FLAG_PADDING_OFF;
    mp3Wfx->nBlockSize = 182;
    mp3Wfx->nFramesPerBlock = 1;
    mp3Wfx->nCodecDelay = 1460;
    const unsigned column = (pMP3Header->version == 3 ? 0u : 3u) + (3u - pMP3Header->layer) % 3u;
    const DWORD kbps = mpeg::bitRate_Index[pMP3Header->bitrate][column];
    if (kbps == 0) return kMp3NoBitRate;
    mp3Wfx->wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    mp3Wfx->wfx.nChannels = static_cast<WORD>(mpeg::Channels(*pMP3Header));
    mp3Wfx->wfx.nSamplesPerSec = mpeg::freq_Index[mpeg::VersionRow(*pMP3Header)][pMP3Header->samplingRate];
    mp3Wfx->wfx.nAvgBytesPerSec = kbps * 1000 / 8;
    mp3Wfx->wfx.nBlockAlign = 1;
    mp3Wfx->wfx.wBitsPerSample = 0;
    mp3Wfx->wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    return 0;
}

int GetMP3HeaderInfo(const char* srcFileName, MPEGLAYER3WAVEFORMAT* pMPEGLayer3Format) {
    tagMP3Header header;
    if (!FindFirstHeader(srcFileName, &header)) return 0;
    GetMPEGLayerFormat(&header, pMPEGLayer3Format);  // an acceptable header always has a bit rate
    return 1;
}

DWORD GetMP3BitRate(const char* srcFileName) {
    tagMP3Header header;
    if (!FindFirstHeader(srcFileName, &header)) return 0;
    return mpeg::mp3BitRates[mpeg::VersionGroup(header)][mpeg::LayerColumn(header)][header.bitrate];
}

DWORD GetFileLength(const char* pFileName) {
    if (pFileName == nullptr) return 0;
    HANDLE h = CreateFileA(pFileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    // A size whose low part looks like the failure value is told apart by the last error.
    DWORD high = 0;
    SetLastError(NO_ERROR);
    const DWORD size = GetFileSize(h, &high);
    const bool failed = size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR;
    CloseHandle(h);
    return failed ? 0 : size;
}

WORD GetMP3FileInfo(const char* fileToOpen, MPEGLAYER3WAVEFORMAT* pMP3Format, DWORD* pMP3DataLength) {
    MPEGLAYER3WAVEFORMAT format;
    std::memset(&format, 0, sizeof format);
    if (!GetMP3HeaderInfo(fileToOpen, &format)) return kMp3NotFound;
    MmioFile file(fileToOpen, MMIO_READ | MMIO_ALLOCBUF);
    if (!file) return kMp3NotFound;
    // The length comes from the file API in 64 bits: a signed seek to the end cannot tell it
    // past 2 GiB. A file of 4 GiB or more has no length the 32-bit record can carry.
    std::uint64_t length = 0;
    if (!riffio::FileLength(fileToOpen, &length) || length == 0) return kMp3NotFound;
    if (length > 0xFFFFFFFFull) return QUILLON_ERR_PASSES_4GB;
    if (GetFileLength(fileToOpen) == 0) return kMp3NotFound;
    const WORD result = GetMP3DestinationWaveFormat(file.get(), &format.wfx, &playWaveFormatEx);
    if (result != 0) return result;
    file.Close();
    if (playWaveFormatEx.nSamplesPerSec == 0) return kMp3NotFound;
    if (pMP3Format != nullptr) std::memcpy(pMP3Format, &format, sizeof format);
    if (pMP3DataLength != nullptr) *pMP3DataLength = static_cast<DWORD>(length);
    return 0;
}

// ---- Codec access ---------------------------------------------------------------------------

WORD GetMP3DestinationWaveFormat(HMMIO hMP3File, const WAVEFORMATEX* pSrcWaveFormat, WAVEFORMATEX* pDestWaveFormat) {
    if (hMP3File != nullptr) mmioSeek(hMP3File, 0, SEEK_SET);
    DWORD size = 0;
    if (acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &size) != MMSYSERR_NOERROR) return kMp3NoMaxFormatSize;
    // Room for at least the 18-byte record, whatever the drivers say.
    const DWORD room = size < sizeof(WAVEFORMATEX) ? static_cast<DWORD>(sizeof(WAVEFORMATEX)) : size;
    auto* buffer = static_cast<WAVEFORMATEX*>(std::calloc(1, room));
    if (buffer == nullptr) return kMp3NoMemory;
    buffer->wFormatTag = WAVE_FORMAT_PCM;
    const MMRESULT res = myAcmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(pSrcWaveFormat), buffer, size,
                                            ACM_FORMATSUGGESTF_WFORMATTAG);
    if (res != MMSYSERR_NOERROR) {
        std::free(buffer);
        return kMp3NoSuggestion;
    }
    std::memcpy(pDestWaveFormat, buffer, sizeof(WAVEFORMATEX));
    std::free(buffer);
    return 0;
}

BOOL CALLBACK MyAcmFormatSuggestCallback(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport) {
    auto* block = reinterpret_cast<tMYFORMATSUGGEST*>(dwInstance);
    ACMDRIVERDETAILSA details;
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    if (acmDriverDetailsA(hadid, &details, 0) != MMSYSERR_NOERROR) return TRUE;
    if (std::strcmp(details.szLongName, kExcludedMp3Driver) == 0) return TRUE;
    block->had = nullptr;
    if (acmDriverOpen(&block->had, hadid, 0) != MMSYSERR_NOERROR || block->had == nullptr) {
        block->had = nullptr;
        return TRUE;
    }
    if (acmFormatSuggest(block->had, block->pwfxSrc, block->pwfxDst, block->cbwfxDst, block->fdwSuggest) !=
        MMSYSERR_NOERROR) {
        acmDriverClose(block->had, 0);
        block->had = nullptr;
        return TRUE;
    }
    // Repair what some codecs leave empty, in this order.
    WAVEFORMATEX* f = block->pwfxDst;
    if (f->wBitsPerSample == 0) f->wBitsPerSample = 16;
    if (f->nBlockAlign == 0) f->nBlockAlign = static_cast<WORD>(f->nChannels * f->wBitsPerSample / 8);
    if (f->nAvgBytesPerSec == 0) f->nAvgBytesPerSec = static_cast<DWORD>(f->nBlockAlign) * f->nSamplesPerSec;
    block->result = MMSYSERR_NOERROR;
    return FALSE;  // the driver stays open; the walker closes it
}

MMRESULT myAcmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst,
                            DWORD fdwSuggest) {
    if (had != nullptr) return acmFormatSuggest(had, pwfxSrc, pwfxDst, cbwfxDst, fdwSuggest);
    tMYFORMATSUGGEST block;
    block.result = ACMERR_NOTPOSSIBLE;
    block.had = nullptr;
    block.pwfxSrc = pwfxSrc;
    block.pwfxDst = pwfxDst;
    block.cbwfxDst = cbwfxDst;
    block.fdwSuggest = fdwSuggest;
    acmDriverEnum(MyAcmFormatSuggestCallback, reinterpret_cast<DWORD_PTR>(&block), 0);
    // The suggestion is in the caller's buffer; nothing needs the driver any longer.
    if (block.had != nullptr) acmDriverClose(block.had, 0);
    return block.result;
}
