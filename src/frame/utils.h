// Utility module: time formats, temporary names, disk and file helpers, the error log.
// The globals here are plain module state, written by the host's thread (and at load).
#pragma once

#include "platform/win32api.h"

#include <cstdint>

constexpr int kNameSize = MAX_PATH;  // every file-name buffer holds 260 characters

extern char gTempPath[kNameSize];
extern char gCLIPFILE[kNameSize];
extern char gEDITFILE[kNameSize];
extern char gUNDOFILE[kNameSize];
extern char gREDOFILE[kNameSize];
extern char gTEMPCOMPRESS[kNameSize];
extern char globalErrorFile[kNameSize];
extern WAVEFORMATEX playWaveFormatEx;

// Time formats: positions in milliseconds (0 and any unknown type), frames (1) or bytes (2).
constexpr WORD kTimeMs = 0;
constexpr WORD kTimeSamples = 1;
constexpr WORD kTimeBytes = 2;
DWORD ConvertFromTimeFormat(DWORD position, WORD timeFormatType);
DWORD ConvertFromTimeFormatEx(DWORD position, WORD timeFormatType, const WAVEFORMATEX* pFormatToConsider);
DWORD ConvertToTimeFormat(DWORD position, WORD timeFormatType);
DWORD ConvertToTimeFormatEx(DWORD position, WORD timeFormatType, const WAVEFORMATEX* pFormatToConsider);

// Temporary file names, drawn in gTempPath: on entry the buffer holds the prefix.
void GetTemporaryFileName(char* fileName);
// A fresh work file in gTempPath with the three-letter `prefix` (created empty by the drawing;
// private on POSIX); false when none could be made.
bool DrawWorkFile(char* name, const char* prefix);

// gTempPath and the five names of the temporary set change only while the edit lock is held
// (SetTempPath, the flush of the clip) or at load, and each change is made through
// WriteTempName. A holder of the edit lock reads them directly; any other thread (the format
// change drawing its work files, the can-undo questions) reads them through ReadTempName, which
// never sees half of a change.
void ReadTempName(const char* name, char* copy);
void WriteTempName(char* name, const char* value);

// Files and disks.
int IsDirectoryExists(const char* directoryName);
std::int64_t RemainingSpaceInTempDrive();
int OSGreaterThenWin95();
DWORD GetTheFilesSize(const char* fileName);
int CompFiles(const char* fileToBePlayed, const char* lastFilePlayed);
// Whether two names lead to one and the same existing file, compared by identity (volume serial
// number and file index, links followed), not by spelling: "take.wav", "./take.wav", a link to
// it, a hard link, and on Windows "TAKE.WAV" are all one file.
bool IsSameFile(const char* a, const char* b);
// Whether the library may put a file under this name: a name that leads to nothing yet (a new
// file is made) or to an existing regular file. A device, a FIFO, a socket, or a symbolic link
// to nothing is not an output.
bool IsOutputName(const char* name);
void Trim(char* s);
int ReadRegistryKey(HKEY hParentKey, const char* keyToRead, const char* itemToRead, BYTE* value, DWORD cbValue);

// The error log.
void SetLogErrorFileName();
void LogError(const char* msg);

// Copies a zero-terminated name into a 260-character buffer, always terminated.
void CopyName(char* dest, const char* src);
