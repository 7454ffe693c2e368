// MPEG frame headers and MP3 file information; MP3 codec access through the compression manager.
#pragma once

#include "convert/mpegframe.h"
#include "platform/win32api.h"

// Results of this module (the 400 range is shared with the codec conversion).
constexpr WORD kMp3NoMaxFormatSize = 401;
constexpr WORD kMp3NoMemory = 402;
constexpr WORD kMp3NoSuggestion = 405;
constexpr WORD kMp3NoBitRate = 424;
constexpr WORD kMp3NotFound = 102;

// The name of the MP3 codec that is never used to decode.
constexpr const char kExcludedMp3Driver[] = "Creative MP3 CODEC";

// ---- Frame headers and file information -----------------------------------------------------

// Reverses the four bytes of a 32-bit value in place.
void EndianSwap(DWORD* someDWord);

// 1 when the file holds an acceptable frame header (searched byte by byte from the start, the
// last four bytes never examined) and pMPEGLayer3Format was filled from it; 0 otherwise.
int GetMP3HeaderInfo(const char* srcFileName, MPEGLAYER3WAVEFORMAT* pMPEGLayer3Format);
// The bit rate in kbit/s of the first acceptable frame header, 0 when there is none.
DWORD GetMP3BitRate(const char* srcFileName);
// Fills the compressed format record from one header: 0, or 424 when the bit-rate index has no
// bit rate (then only the fields after wfx have been written).
WORD GetMPEGLayerFormat(const tagMP3Header* pMP3Header, MPEGLAYER3WAVEFORMAT* mp3Wfx);
// The file's size in bytes (low 32 bits), 0 when it cannot be opened for shared reading.
DWORD GetFileLength(const char* pFileName);
// The compressed format (30 bytes) and the whole file's length; also sets playWaveFormatEx to
// the PCM format the codec will produce. 0, 102, or 401/402/405 from the codec access.
WORD GetMP3FileInfo(const char* fileToOpen, MPEGLAYER3WAVEFORMAT* pMP3Format, DWORD* pMP3DataLength);

// ---- Codec access ---------------------------------------------------------------------------

// The parameter block of a suggestion through the driver walk; lives on the walker's stack.
struct tMYFORMATSUGGEST {
    DWORD result;  // starts as ACMERR_NOTPOSSIBLE
    HACMDRIVER had;
    LPWAVEFORMATEX pwfxSrc;
    LPWAVEFORMATEX pwfxDst;
    DWORD cbwfxDst;
    DWORD fdwSuggest;
};

// The PCM format a codec produces for an MP3 source format: 0, 401, 402 or 405. hMP3File is
// only rewound.
WORD GetMP3DestinationWaveFormat(HMMIO hMP3File, const WAVEFORMATEX* pSrcWaveFormat, WAVEFORMATEX* pDestWaveFormat);
// acmFormatSuggest on `had`; with a null driver, the first enabled driver in enumeration order
// that suggests a format, the excluded one passed over. The driver that answered is closed
// before the call returns.
MMRESULT myAcmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst,
                            DWORD fdwSuggest);
BOOL CALLBACK MyAcmFormatSuggestCallback(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport);
