// PCM format change: sample rate by whole ratios, mono and stereo, 8 and 16 bits.
#pragma once

#include "frame/jobs.h"

// Result codes of the format change (the start call's own 100, 102, 310 and 318 come from the
// checks shared with the edits; 311 is a cancel through the job record).
constexpr WORD kFmtCancelled = 311;
constexpr WORD kFmtCannotOpenInput = 350;
constexpr WORD kFmtNotWave = 351;
constexpr WORD kFmtNoFormatChunk = 352;
constexpr WORD kFmtShortFormat = 353;
constexpr WORD kFmtNotPcm = 354;
constexpr WORD kFmtNoDataChunk = 355;
constexpr WORD kFmtEmptyData = 356;
constexpr WORD kFmtNoMemory = 357;
constexpr WORD kFmtCannotWrite = 358;
constexpr WORD kFmtRatesNotMultiples = 359;
constexpr WORD kFmtNothingToDo = 360;
constexpr WORD kFmtLayoutNotHandled = 361;

// Writes outputFileName as the audio of inputFileName at sampleRate, bitsPerSample and
// numChannels. Up to three passes run in this order: rate, channels, bits. With a job record,
// progress and cancel go through it; null means a synchronous call. The output name holds at
// every moment what it held before or the complete result of the passes done so far.
WORD ConvertFormat(const char* inputFileName, const char* outputFileName, DWORD sampleRate, WORD bitsPerSample,
                   WORD numChannels, tEDITWORKTHREADINFO* pEditWorkThreadInfo);

// The three passes. Each reads one complete WAVE file and writes one complete WAVE file at the
// name it is given (created or truncated). progressFactor is the share of the job this pass
// covers, oldProgress the percent reached before it.
WORD ConvertSampleRate(const char* inFilename, const char* outFilename, DWORD newRate,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress);
WORD ConvertChannels(const char* inFileName, const char* outFileName, WORD newChannels,
                     tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress);
WORD ConvertResolution(const char* inFileName, const char* outFileName, WORD newBitsPerSample,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress);

// The worker procedure of a format-change job: runs ConvertFormat with the parameters in the
// record's pMoreInfo, stores the result in reasonForExit, then sets threadExited.
unsigned __stdcall ChangeFormatWorkThread(void* record);
