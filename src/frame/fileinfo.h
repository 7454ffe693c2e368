// WAVE file information used inside the library.
#pragma once

#include "platform/win32api.h"

WORD GetDataChunkSize(const char* fileToOpen, DWORD* dataChunkSize);
int IsFileCompressed(const char* fileName);
