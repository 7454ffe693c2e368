// The editing engine: every edit rewrites a PCM WAVE file whole, streaming its sample data
// through one block buffer into a new file that then replaces the destination.
//
// Routines take a job record or null (a synchronous run: no progress, no cancel). They run on
// the host's thread or on one worker thread; edits share the temporary file set, so each runs
// under the edit lock (frame/editlock.h), held by the exported call or the worker.
#pragma once

#include "frame/jobs.h"

// The copy block: 65,520 bytes, a multiple of every usual frame size (1, 2, 4, 6, 8 bytes).
constexpr DWORD kEditBlockSize = 65520;

WORD EditCut(const char* fileToCutFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
             tEDITWORKTHREADINFO* pEditWorkThreadInfo, const char* fileToCutIn, char* destFileName);
WORD EditCopy(const char* fileToCutFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, const char* fileToCopyIn);
WORD EditPaste(const char* pasteDataTo, DWORD fromPosition, WORD timeFormatType, tEDITWORKTHREADINFO* pEditWorkThreadInfo,
               const char* clipFileName, char* destFileName);
WORD EditClear(const char* fileToClearFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
               tEDITWORKTHREADINFO* pEditWorkThreadInfo, char* destFileName);
WORD EditCrop(const char* fileToCropFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, char* destFileName);
WORD EditMute(const char* fileToMuteFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, int channels, char* destFileName);
WORD EditTrimSilence(const char* fileToTrim, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
                     tEDITWORKTHREADINFO* pEditWorkThreadInfo, WORD silencePercent, char* destFileName);
WORD EditInsertSilence(const char* pasteDataTo, DWORD fromPosition, WORD timeFormatType,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, DWORD silenceTime, char* destFileName);

// Silences the channels of `channels` (bit 1 the first, bit 2 the second) in whole frames of
// 8-bit (to 128) or 16-bit (to 0) samples; other sample sizes are left alone.
void DoMute(BYTE* pData, DWORD dataSize, WORD bitRate, WORD nChannels, int channels);
// Builds `destinationFile` from `sourceFile` without the quiet frames at both ends of the byte
// range [startAt, stopAt) of the data: 0, 301, 304 or 311.
int DoTrimSilence(const char* sourceFile, const char* destinationFile, DWORD startAt, DWORD stopAt, WORD silencePercent,
                  tEDITWORKTHREADINFO* pEditWorkThreadInfo);

// Clip, undo and redo (undo.cpp).
// Copies a whole file (every chunk) into `undoFilename`: 1 when done or stopped by a cancel
// request, 0 when the copy could not be made.
int MakeUndoRedoFile(const char* undoFilename, const char* fileToCutFrom, tEDITWORKTHREADINFO* pEditWorkThreadInfo);
// 1 when `fileName` is a PCM WAVE file with data of the same rate, block align and channels.
int SameFormat(const char* fileName, WAVEFORMATEX format);
// The undo copy now holds `source` as it was (empty name: it holds nothing of use).
void NoteUndoCopyOf(const char* source);
// Empties a file of the temporary set (its name stays reserved) or deletes any other file.
void DiscardEditFile(const char* name);
