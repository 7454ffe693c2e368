// The playback engine: one WAVE (or MP3) file at a time through a wave-out device, its queue
// kept full from the player thread. See playwave.cpp for who runs what under which lock.
#pragma once

#include "platform/win32api.h"

#include <atomic>

// The end-of-playback message posted to the host's window.
constexpr UINT kEndOfPlaybackMessage = 0x465;

// Result codes of the playback engine.
constexpr WORD kPlayNoFileName = 100;
constexpr WORD kPlayAlreadyPlaying = 101;
constexpr WORD kPlayCannotOpen = 102;
constexpr WORD kPlayNoBuffers = 103;
constexpr WORD kPlayFormatRefused = 104;
constexpr WORD kPlayDeviceNotOpened = 105;
constexpr WORD kPlayCannotPrepare = 106;
constexpr WORD kPlayNoRiff = 107;
constexpr WORD kPlayNoFormat = 108;
constexpr WORD kPlayCompressed = 109;
constexpr WORD kPlayNoData = 110;
constexpr WORD kPlayCannotSeek = 113;
constexpr WORD kPlayCannotAscend = 114;
constexpr WORD kPlayEmptyData = 117;
constexpr WORD kPlayBufferNotSet = 304;

extern std::atomic<int> playbackPaused;
extern std::atomic<HWND> hCallbackWindow;
// A playback set is in use (its start and moves are built with the sets).
extern std::atomic<int> isPlayingWaveSet;
extern std::atomic<int> isPlayingMP3Set;

// The player thread's share: every wave-out message goes here.
void WaveCallbackProc(HWAVEOUT hWave, UINT message, DWORD_PTR dwInstance, DWORD_PTR wParam, DWORD_PTR lParam);
// Stops any playback and waits until the device and the file are closed.
void StopPlayWave();

WORD OpenTheWaveFile(const char* fileToOpen);
WORD PlayWave(const char* fileName, DWORD position, WORD timeFormatType, DWORD speedFactor, int dontDecompress,
              DWORD endPosition);
WORD LoadWave(const char* fileName);
WORD OpenMP3File(const char* fileToOpen, MPEGLAYER3WAVEFORMAT* pMP3Format, int scanEntireFile);
WORD PlayMP3File(const char* fileName, DWORD position, WORD timeFormatType, DWORD speedFactor, int dontDecompress,
                 DWORD endPosition);
WORD PlayLoadedWave(DWORD position, WORD timeFormatType);
void PauseResumePlayWave();
DWORD GetWavePlayPosition(WORD timeFormatType, int restricted);
void MoveToPlayWave(DWORD position, WORD timeFormatType);
