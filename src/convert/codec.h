// The codec catalogue (the installed compression-manager drivers with their format tags) and
// the conversion of a WAVE file through one codec of it.
#pragma once

#include "frame/jobs.h"
#include "quillon.h"

// The catalogue: a singly linked list of driver nodes, each with its list of format-tag nodes,
// in the compression manager's enumeration order. Built at load, rebuilt by GetNumberOfCodec
// and GetCodecIndexFromLinkList, freed at unload.
extern tACMDRIVERINFO* pstartAcmDriverList;
extern WORD totalDrivers;

// Frees every node; the list ends empty. Called at unload.
void FreeCodecCatalogue();

// Rebuilds the catalogue, then gives the codecIndex of the first driver that lists formatTag,
// or -1 when none does (or there are no codecs).
int GetCodecIndexFromLinkList(DWORD formatTag);

// The building steps.
BOOL CALLBACK acmDriverEnumCallback(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport);
void acmEnumerateFormatTags(HACMDRIVERID hadid, tACMDRIVERINFO* pTemp);
BOOL CALLBACK acmFormatTagEnumCallback(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA lpAftd, DWORD_PTR dwInstance,
                                       DWORD fdwSupport);

// Converts srcFileName into destFileName through the codec at acmCodecIndex (see AudioConvert
// in quillon.h). pConvertWorkThreadInfo is the job record, or null for a synchronous call.
// Returns 0 (also for a cancelled job and for a disabled codec) or a code from 400 to 430.
WORD Convert(WORD acmCodecIndex, int acmFormatTagIndex, const char* srcFileName, const char* destFileName,
             const WAVEFORMATEX* pDestWaveFormatDesired, int overrideFormatIfNeeded,
             tCONVERTWORKTHREADINFO* pConvertWorkThreadInfo);

// The worker procedure of a conversion job.
unsigned __stdcall ConvertWorkThread(void* record);
