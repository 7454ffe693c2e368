/*
 * Quillon audio engine: the exported C interface.
 *
 * Every call is a plain C function; on 32-bit Windows it uses __stdcall with an undecorated
 * name. Positions and lengths are unsigned 32-bit numbers in the unit named by a time format
 * type (0 milliseconds, 1 sample frames, 2 bytes; any other value counts as milliseconds).
 * Result codes are unsigned 16-bit, 0 on success; their names are below.
 *
 * This header compiles as C89 and as C++.
 */
#ifndef QUILLON_H
#define QUILLON_H

#if defined(_WIN32) && !defined(_WIN64)
#define QUILLON_CALL __stdcall
#else
#define QUILLON_CALL
#endif

#if defined(_WIN32)
#define QUILLON_EXPORT
#else
#define QUILLON_EXPORT __attribute__((visibility("default")))
#endif

#define QUILLON_API(type) QUILLON_EXPORT type QUILLON_CALL

#ifdef __cplusplus
extern "C" {
#endif

/* The platform's 18-byte wave format record, defined here unless a Windows header did. */
#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    unsigned short wFormatTag;
    unsigned short nChannels;
    unsigned int nSamplesPerSec;
    unsigned int nAvgBytesPerSec;
    unsigned short nBlockAlign;
    unsigned short wBitsPerSample;
    unsigned short cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX, *NPWAVEFORMATEX, *LPWAVEFORMATEX;
#pragma pack(pop)
#endif

/* Time format types. */
#define QUILLON_TIME_MS 0
#define QUILLON_TIME_SAMPLES 1
#define QUILLON_TIME_BYTES 2

/* File information (28 bytes). */
typedef struct tQuillonFILEINFO {
    unsigned short bitsPerSample;
    unsigned short channels;
    unsigned int length;
    unsigned int samplesPerSec;
    unsigned short wFormatTag;
    unsigned int recSampleRate;
    unsigned short recNumBits;
    unsigned short recMode;
    unsigned short recSource;
} tQuillonFILEINFO;

/* Result codes. */
#define QUILLON_OK 0
#define QUILLON_ERR_NO_FILE_NAME 100
#define QUILLON_ERR_CANNOT_OPEN_FILE 102
#define QUILLON_ERR_NOT_PCM 107
#define QUILLON_ERR_NO_DATA 110
#define QUILLON_ERR_NO_MEMORY_FORMAT 115
#define QUILLON_ERR_CANNOT_LOCK_FORMAT 116
#define QUILLON_ERR_BAD_TEMP_PATH 322

/* Library frame. */
QUILLON_API(int) SetTempPath(const char* newTempPath);

/* File information. */
QUILLON_API(unsigned short) GetInputFileInfo(const char* szFileName, WAVEFORMATEX* pWaveFileInfo);
QUILLON_API(unsigned short) AudioGetFileInfo(tQuillonFILEINFO* pFileInformation, const char* fileName,
                                             unsigned short timeFormatType, int infoOfPlayBackFile);
QUILLON_API(int) CanSetPositionAndSampleRate(const char* fileName);

/* Record sizes are part of the interface: a wrong size fails to compile (C89 and C++). */
typedef char quillon_size_of_tQuillonFILEINFO_is_28[(sizeof(tQuillonFILEINFO) == 28) ? 1 : -1];
typedef char quillon_size_of_WAVEFORMATEX_is_18[(sizeof(WAVEFORMATEX) == 18) ? 1 : -1];
#if defined(_WIN32) && !defined(_WIN64)
/* Records with pointers have their published sizes in the 32-bit build. */
#endif

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */
