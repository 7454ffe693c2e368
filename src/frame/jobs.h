// Worker job records. A job handle given to the host is the address of one of these records;
// the host sees it as a pointer to its first field, cbSize, which marks the record as valid.
//
// Threads: the host's thread writes cancelPressed and reads the rest; the worker writes
// progressCounter, reasonForExit and threadExited (in that order: the reason is final before
// the job shows as over). The shared fields are atomics of the interface's widths, so the
// records keep their published layout: 828 and 588 bytes in the 32-bit build.
#pragma once

#include "frame/utils.h"

#include <atomic>

struct tFMTWORKTHREADINFO {
    DWORD cbSize;
    char inputFileName[kNameSize];
    char outputFileName[kNameSize];
    DWORD sampleRate;
    WORD bitsPerSample;
    WORD numChannels;
};

struct tEDITWORKTHREADINFO {
    DWORD cbSize;
    char fileName[kNameSize];
    char destFileName[kNameSize];
    char clipFileName[kNameSize];
    DWORD startPoint;
    DWORD endPoint;
    WORD timeFormatType;
    DWORD threadID;
    std::atomic<DWORD> progressCounter;
    std::atomic<int> cancelPressed;
    std::atomic<int> threadExited;
    std::atomic<WORD> reasonForExit;
    int channels;
    WORD silencePercent;
    tFMTWORKTHREADINFO* pMoreInfo;
};

struct tCONVERTWORKTHREADINFO {
    DWORD cbSize;
    WORD acmCodecIndex;
    int acmFormatTagIndex;
    char srcFileName[kNameSize];
    char destFileName[kNameSize];
    WAVEFORMATEX destWaveFormatDesired;
    DWORD threadID;
    std::atomic<DWORD> progressCounter;
    std::atomic<DWORD> inputDataSize;
    std::atomic<DWORD> inputDataProcessed;
    std::atomic<DWORD> outputDataWritten;
    std::atomic<int> cancelPressed;
    std::atomic<int> threadExited;
    std::atomic<WORD> reasonForExit;
    int overrideFormatIfNeeded;
};

static_assert(sizeof(std::atomic<DWORD>) == 4 && sizeof(std::atomic<WORD>) == 2, "atomics keep the field widths");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(tFMTWORKTHREADINFO) == 532, "format-change parameters are 532 bytes");
static_assert(sizeof(tEDITWORKTHREADINFO) == 828, "the edit job record is 828 bytes");
static_assert(sizeof(tCONVERTWORKTHREADINFO) == 588, "the conversion job record is 588 bytes");
#endif

// The checks every file-changing start call makes, in this order: the file named is the one
// playing (310), no name and nothing loaded for playback (100; an empty name otherwise means
// the playback file), missing or empty file (102), compressed file (318). On 0, workingName
// (260 characters) holds the file to work on.
WORD CheckEditSource(const char* fileName, char* workingName);
