// The one door from the core to the Win32 API. On Windows it is the platform's own headers;
// on Linux the same subset, declared with the same names and implemented in posix/.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
#include <msacm.h>
#include <process.h>
#else
#include "posix/wintypes.h"
#include "posix/kernel32.h"
#include "posix/user32.h"
#include "posix/advapi32.h"
#include "posix/winmm_mmio.h"
#include "posix/msacm32.h"
#include "posix/winmm_wave.h"
#endif

// The separator the platform's paths use.
#ifdef _WIN32
#define QL_PATH_SEPARATOR '\\'
#else
#define QL_PATH_SEPARATOR '/'
#endif
