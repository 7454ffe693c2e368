// WAVE file information: the format of a file, the size of its audio data, whether it is
// compressed, and the exported record the host reads. Files are read through the library's own
// 64-bit RIFF I/O, so that files up to 4 GiB give their information on every platform.
#include "frame/fileinfo.h"

#include "frame/riffio.h"
#include "frame/state.h"
#include "quillon.h"

#include <cstring>

namespace {

// A "fmt " chunk shorter than the 16 bytes of the PCM fields, or longer than the 16-bit block
// it is read into, is not a format this library can read.
constexpr DWORD kMinFormatChunk = 16;
constexpr DWORD kMaxFormatChunk = 0xFFFF;

}  // namespace

QUILLON_API(unsigned short) GetInputFileInfo(const char* szFileName, WAVEFORMATEX* pWaveFileInfo) {
    if (szFileName == nullptr || pWaveFileInfo == nullptr) return QUILLON_ERR_CANNOT_OPEN_FILE;
    riffio::File file;
    if (!file.Open(szFileName, riffio::File::Access::Read)) return QUILLON_ERR_CANNOT_OPEN_FILE;
    riffio::Chunk riff, fmt;
    if (!riffio::EnterForm(file, &riff, "WAVE")) return QUILLON_ERR_CANNOT_OPEN_FILE;
    if (!riffio::FindChunk(file, riff, "fmt ", &fmt)) return QUILLON_ERR_CANNOT_OPEN_FILE;
    if (fmt.size < kMinFormatChunk || fmt.size > kMaxFormatChunk) return QUILLON_ERR_CANNOT_OPEN_FILE;

    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, static_cast<WORD>(fmt.size));
    if (block == nullptr) return QUILLON_ERR_NO_MEMORY_FORMAT;
    auto* bytes = static_cast<char*>(LocalLock(block));
    if (bytes == nullptr) {
        LocalFree(block);
        return QUILLON_ERR_CANNOT_LOCK_FORMAT;
    }
    WORD result = 0;
    if (!file.ReadExact(bytes, fmt.size)) {
        result = QUILLON_ERR_CANNOT_OPEN_FILE;
    } else {
        // Only the PCM fields are copied; the caller's cbSize is left as it was.
        WAVEFORMATEX read;
        std::memcpy(&read, bytes, kMinFormatChunk);
        pWaveFileInfo->wFormatTag = read.wFormatTag;
        pWaveFileInfo->nChannels = read.nChannels;
        pWaveFileInfo->nSamplesPerSec = read.nSamplesPerSec;
        pWaveFileInfo->nAvgBytesPerSec = read.nAvgBytesPerSec;
        pWaveFileInfo->nBlockAlign = read.nBlockAlign;
        pWaveFileInfo->wBitsPerSample = read.wBitsPerSample;
    }
    LocalUnlock(block);
    LocalFree(block);
    return result;
}

// The size reported is the audio the file really holds after the chunk header, never more than
// the header declares (a recording cut short keeps its placeholder size).
WORD GetDataChunkSize(const char* fileToOpen, DWORD* dataChunkSize) {
    riffio::WaveLayout layout;
    switch (riffio::ReadWaveLayout(fileToOpen, &layout)) {
    case riffio::LayoutResult::CannotOpen: return QUILLON_ERR_CANNOT_OPEN_FILE;
    case riffio::LayoutResult::NotWave: return QUILLON_ERR_NOT_PCM;
    case riffio::LayoutResult::NoData: return QUILLON_ERR_NO_DATA;
    case riffio::LayoutResult::Ok: break;
    }
    *dataChunkSize = layout.dataBytes;
    return 0;
}

int IsFileCompressed(const char* fileName) {
    WAVEFORMATEX format{};
    if (GetInputFileInfo(fileName, &format) != 0) return 1;  // unreadable: not editable, codec path
    return format.wFormatTag == WAVE_FORMAT_PCM ? 0 : 1;
}

QUILLON_API(unsigned short) AudioGetFileInfo(tQuillonFILEINFO* pFileInformation, const char* fileName,
                                             unsigned short timeFormatType, int infoOfPlayBackFile) {
    if (pFileInformation == nullptr) return QUILLON_ERR_NO_FILE_NAME;
    if (!infoOfPlayBackFile) {
        // The running recording; the file fields are left alone.
        if (recording) {
            pFileInformation->recSampleRate = gRecFileInfo.recSampleRate;
            pFileInformation->recNumBits = gRecFileInfo.recNumBits;
            pFileInformation->recMode = gRecFileInfo.recMode;
        } else {
            pFileInformation->recSampleRate = 0;
            pFileInformation->recNumBits = 0;
            pFileInformation->recMode = 0;
        }
        return 0;
    }
    if (fileName == nullptr || fileName[0] == '\0') return QUILLON_ERR_NO_FILE_NAME;

    WAVEFORMATEX format{};
    const WORD read = GetInputFileInfo(fileName, &format);
    if (read != 0) return read;
    if (format.wFormatTag != WAVE_FORMAT_PCM) return QUILLON_ERR_NOT_PCM;
    pFileInformation->channels = format.nChannels;
    pFileInformation->samplesPerSec = format.nSamplesPerSec;
    pFileInformation->bitsPerSample = format.wBitsPerSample;
    pFileInformation->wFormatTag = format.wFormatTag;
    // A frame of no bytes would make every length a division by zero.
    if (format.nChannels == 0 || format.nSamplesPerSec == 0 || format.wBitsPerSample == 0 || format.nBlockAlign == 0)
        return QUILLON_ERR_NOT_PCM;

    DWORD dataSize = 0;
    if (GetDataChunkSize(fileName, &dataSize) != 0 || dataSize == 0) return QUILLON_ERR_NO_DATA;
    pFileInformation->length = ConvertToTimeFormatEx(dataSize, timeFormatType, &format);
    return 0;
}

QUILLON_API(int) CanSetPositionAndSampleRate(const char* fileName) {
    if (fileName == nullptr) return 0;
    return IsFileCompressed(fileName) ? 0 : 1;
}
