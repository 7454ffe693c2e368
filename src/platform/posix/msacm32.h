// The Audio Compression Manager (msacm32) for the POSIX build: the subset the core calls, with
// msacm32's names, records, flags and results, and the codec drivers behind it.
//
// Records keep the layout of the platform's own headers (byte packed, as <msacm.h> declares
// them): in this 64-bit build ACMDRIVERDETAILSA is 924 bytes, ACMFORMATTAGDETAILSA 72,
// ACMSTREAMHEADER 124 and ACMFORMATCHOOSEA 268.
//
// Driver handles: an HACMDRIVERID names an installed driver, an HACMDRIVER an open instance of
// one, an HACMSTREAM a conversion stream. Every handle is checked against the live set before
// use, so a stale or foreign handle gives MMSYSERR_INVALHANDLE instead of a crash.
//
// Drivers are tables of small functions (tAcmDriverTable). The built-in ones are enumerated in
// a fixed order: IMA ADPCM, MS ADPCM, G.711, MPEG Layer-3 decoder, PCM converter. A program may
// put its own driver tables in front of or behind them with acmQuillonInstallDriver; that call
// exists in this build only (the Windows build has acmDriverAdd with a driver procedure).
#pragma once

#include "wintypes.h"
#include "winmm_mmio.h"

extern "C" {

#ifndef WAVE_FORMAT_UNKNOWN
#define WAVE_FORMAT_UNKNOWN 0x0000
#endif
#ifndef WAVE_FORMAT_GSM610
#define WAVE_FORMAT_GSM610 0x0031
#endif

struct HACMDRIVERID__;
typedef HACMDRIVERID__* HACMDRIVERID;
typedef HACMDRIVERID* LPHACMDRIVERID;
struct HACMDRIVER__;
typedef HACMDRIVER__* HACMDRIVER;
typedef HACMDRIVER* LPHACMDRIVER;
struct HACMSTREAM__;
typedef HACMSTREAM__* HACMSTREAM;
typedef HACMSTREAM* LPHACMSTREAM;
struct HACMOBJ__;
typedef HACMOBJ__* HACMOBJ;
struct HICON__;
typedef HICON__* HICON;

#define ACMERR_BASE 512
#define ACMERR_NOTPOSSIBLE (ACMERR_BASE + 0)
#define ACMERR_BUSY (ACMERR_BASE + 1)
#define ACMERR_UNPREPARED (ACMERR_BASE + 2)
#define ACMERR_CANCELED (ACMERR_BASE + 3)

#define ACM_METRIC_COUNT_DRIVERS 1
#define ACM_METRIC_COUNT_CODECS 2
#define ACM_METRIC_COUNT_CONVERTERS 3
#define ACM_METRIC_COUNT_FILTERS 4
#define ACM_METRIC_COUNT_DISABLED 5
#define ACM_METRIC_MAX_SIZE_FORMAT 50
#define ACM_METRIC_DRIVER_SUPPORT 100

#define ACM_DRIVERENUMF_NOLOCAL 0x40000000u
#define ACM_DRIVERENUMF_DISABLED 0x80000000u

#define ACMDRIVERDETAILS_SHORTNAME_CHARS 32
#define ACMDRIVERDETAILS_LONGNAME_CHARS 128
#define ACMDRIVERDETAILS_COPYRIGHT_CHARS 80
#define ACMDRIVERDETAILS_LICENSING_CHARS 128
#define ACMDRIVERDETAILS_FEATURES_CHARS 512
#define ACMFORMATTAGDETAILS_FORMATTAG_CHARS 48
#define ACMFORMATDETAILS_FORMAT_CHARS 128

#define ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC mmioFOURCC('a', 'u', 'd', 'c')
#define ACMDRIVERDETAILS_SUPPORTF_CODEC 0x00000001u
#define ACMDRIVERDETAILS_SUPPORTF_CONVERTER 0x00000002u
#define ACMDRIVERDETAILS_SUPPORTF_FILTER 0x00000004u
#define ACMDRIVERDETAILS_SUPPORTF_HARDWARE 0x00000008u
#define ACMDRIVERDETAILS_SUPPORTF_ASYNC 0x00000010u
#define ACMDRIVERDETAILS_SUPPORTF_LOCAL 0x40000000u
#define ACMDRIVERDETAILS_SUPPORTF_DISABLED 0x80000000u

#define ACM_FORMATSUGGESTF_WFORMATTAG 0x00010000u
#define ACM_FORMATSUGGESTF_NCHANNELS 0x00020000u
#define ACM_FORMATSUGGESTF_NSAMPLESPERSEC 0x00040000u
#define ACM_FORMATSUGGESTF_WBITSPERSAMPLE 0x00080000u
#define ACM_FORMATSUGGESTF_TYPEMASK 0x00FF0000u

#define ACMFORMATCHOOSE_STYLEF_SHOWHELP 0x00000004u
#define ACMFORMATCHOOSE_STYLEF_ENABLEHOOK 0x00000008u
#define ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATE 0x00000010u
#define ACMFORMATCHOOSE_STYLEF_ENABLETEMPLATEHANDLE 0x00000020u
#define ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT 0x00000040u
#define ACMFORMATCHOOSE_STYLEF_CONTEXTHELP 0x00000080u

#define ACM_STREAMOPENF_QUERY 0x00000001u
#define ACM_STREAMOPENF_ASYNC 0x00000002u
#define ACM_STREAMOPENF_NONREALTIME 0x00000004u

#define ACM_STREAMSIZEF_SOURCE 0x00000000u
#define ACM_STREAMSIZEF_DESTINATION 0x00000001u
#define ACM_STREAMSIZEF_QUERYMASK 0x0000000Fu

#define ACM_STREAMCONVERTF_BLOCKALIGN 0x00000004u
#define ACM_STREAMCONVERTF_START 0x00000010u
#define ACM_STREAMCONVERTF_END 0x00000020u

#define ACMSTREAMHEADER_STATUSF_DONE 0x00010000u
#define ACMSTREAMHEADER_STATUSF_PREPARED 0x00020000u
#define ACMSTREAMHEADER_STATUSF_INQUEUE 0x00100000u

#pragma pack(push, 1)

typedef struct tACMDRIVERDETAILSA {
    DWORD cbStruct;
    FOURCC fccType;
    FOURCC fccComp;
    WORD wMid;
    WORD wPid;
    DWORD vdwACM;
    DWORD vdwDriver;
    DWORD fdwSupport;
    DWORD cFormatTags;
    DWORD cFilterTags;
    HICON hicon;
    char szShortName[ACMDRIVERDETAILS_SHORTNAME_CHARS];
    char szLongName[ACMDRIVERDETAILS_LONGNAME_CHARS];
    char szCopyright[ACMDRIVERDETAILS_COPYRIGHT_CHARS];
    char szLicensing[ACMDRIVERDETAILS_LICENSING_CHARS];
    char szFeatures[ACMDRIVERDETAILS_FEATURES_CHARS];
} ACMDRIVERDETAILSA, *PACMDRIVERDETAILSA, *LPACMDRIVERDETAILSA;

typedef struct tACMFORMATTAGDETAILSA {
    DWORD cbStruct;
    DWORD dwFormatTagIndex;
    DWORD dwFormatTag;
    DWORD cbFormatSize;
    DWORD fdwSupport;
    DWORD cStandardFormats;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
} ACMFORMATTAGDETAILSA, *PACMFORMATTAGDETAILSA, *LPACMFORMATTAGDETAILSA;

typedef UINT (*ACMFORMATCHOOSEHOOKPROCA)(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

typedef struct tACMFORMATCHOOSEA {
    DWORD cbStruct;
    DWORD fdwStyle;
    HWND hwndOwner;
    LPWAVEFORMATEX pwfx;
    DWORD cbwfx;
    LPCSTR pszTitle;
    char szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
    char szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
    LPSTR pszName;
    DWORD cchName;
    DWORD fdwEnum;
    LPWAVEFORMATEX pwfxEnum;
    HINSTANCE hInstance;
    LPCSTR pszTemplateName;
    LPARAM lCustData;
    ACMFORMATCHOOSEHOOKPROCA pfnHook;
} ACMFORMATCHOOSEA, *PACMFORMATCHOOSEA, *LPACMFORMATCHOOSEA;

#if UINTPTR_MAX > 0xFFFFFFFFu
#define QL_ACM_DRVRESERVED 15
#else
#define QL_ACM_DRVRESERVED 10
#endif

typedef struct tACMSTREAMHEADER {
    DWORD cbStruct;
    DWORD fdwStatus;
    DWORD_PTR dwUser;
    LPBYTE pbSrc;
    DWORD cbSrcLength;
    DWORD cbSrcLengthUsed;
    DWORD_PTR dwSrcUser;
    LPBYTE pbDst;
    DWORD cbDstLength;
    DWORD cbDstLengthUsed;
    DWORD_PTR dwDstUser;
    DWORD dwReservedDriver[QL_ACM_DRVRESERVED];
} ACMSTREAMHEADER, *PACMSTREAMHEADER, *LPACMSTREAMHEADER;

typedef struct tWAVEFILTER {
    DWORD cbStruct;
    DWORD dwFilterTag;
    DWORD fdwFilter;
    DWORD dwReserved[5];
} WAVEFILTER, *PWAVEFILTER, *LPWAVEFILTER;

// Format records of the codecs (mmreg). All byte packed.
typedef struct mpeglayer3waveformat_tag {
    WAVEFORMATEX wfx;
    WORD wID;
    DWORD fdwFlags;
    WORD nBlockSize;
    WORD nFramesPerBlock;
    WORD nCodecDelay;
} MPEGLAYER3WAVEFORMAT, *PMPEGLAYER3WAVEFORMAT, *LPMPEGLAYER3WAVEFORMAT;

#define MPEGLAYER3_WFX_EXTRA_BYTES 12
#define MPEGLAYER3_ID_UNKNOWN 0
#define MPEGLAYER3_ID_MPEG 1
#define MPEGLAYER3_ID_CONSTANTFRAMESIZE 2
#define MPEGLAYER3_FLAG_PADDING_ISO 0x00000000u
#define MPEGLAYER3_FLAG_PADDING_ON 0x00000001u
#define MPEGLAYER3_FLAG_PADDING_OFF 0x00000002u

typedef struct ima_adpcmwaveformat_tag {
    WAVEFORMATEX wfx;
    WORD wSamplesPerBlock;
} IMAADPCMWAVEFORMAT, *PIMAADPCMWAVEFORMAT, *LPIMAADPCMWAVEFORMAT;

typedef struct adpcmcoef_tag {
    SHORT iCoef1;
    SHORT iCoef2;
} ADPCMCOEFSET, *PADPCMCOEFSET;

// The coefficient array runs on for wNumCoef entries.
typedef struct adpcmwaveformat_tag {
    WAVEFORMATEX wfx;
    WORD wSamplesPerBlock;
    WORD wNumCoef;
    ADPCMCOEFSET aCoef[1];
} ADPCMWAVEFORMAT, *PADPCMWAVEFORMAT, *LPADPCMWAVEFORMAT;

#pragma pack(pop)

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(ACMDRIVERDETAILSA) == 924, "ACMDRIVERDETAILSA is 924 bytes in a 64-bit build");
static_assert(sizeof(ACMSTREAMHEADER) == 124, "ACMSTREAMHEADER is 124 bytes in a 64-bit build");
static_assert(sizeof(ACMFORMATCHOOSEA) == 268, "ACMFORMATCHOOSEA is 268 bytes in a 64-bit build");
#endif
static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72, "ACMFORMATTAGDETAILSA is 72 bytes");
static_assert(sizeof(MPEGLAYER3WAVEFORMAT) == 30, "MPEGLAYER3WAVEFORMAT is 30 bytes");
static_assert(sizeof(IMAADPCMWAVEFORMAT) == 20, "IMAADPCMWAVEFORMAT is 20 bytes");
static_assert(sizeof(ADPCMWAVEFORMAT) == 26, "ADPCMWAVEFORMAT is 26 bytes with one coefficient pair");

typedef BOOL (*ACMDRIVERENUMCB)(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport);
typedef BOOL (*ACMFORMATTAGENUMCBA)(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA paftd, DWORD_PTR dwInstance,
                                    DWORD fdwSupport);

MMRESULT acmDriverEnum(ACMDRIVERENUMCB fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum);
MMRESULT acmDriverDetailsA(HACMDRIVERID hadid, LPACMDRIVERDETAILSA padd, DWORD fdwDetails);
MMRESULT acmMetrics(HACMOBJ hao, UINT uMetric, LPVOID pMetric);
MMRESULT acmDriverOpen(LPHACMDRIVER phad, HACMDRIVERID hadid, DWORD fdwOpen);
MMRESULT acmDriverClose(HACMDRIVER had, DWORD fdwClose);
MMRESULT acmFormatTagEnumA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, ACMFORMATTAGENUMCBA fnCallback,
                           DWORD_PTR dwInstance, DWORD fdwEnum);
MMRESULT acmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst,
                          DWORD fdwSuggest);
MMRESULT acmFormatChooseA(LPACMFORMATCHOOSEA pafmtc);
MMRESULT acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst,
                       LPWAVEFILTER pwfltr, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose);
MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, LPDWORD pdwOutputBytes, DWORD fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwUnprepare);
MMRESULT acmStreamConvert(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwConvert);

// ---- Drivers of this build -------------------------------------------------------------

// One format tag a driver offers: its tag, the size of its largest format record, the number
// of standard formats and its name.
typedef struct tAcmFormatTagInfo {
    DWORD dwFormatTag;
    DWORD cbFormatSize;
    DWORD cStandardFormats;
    const char* szFormatTag;
} tAcmFormatTagInfo;

// A codec driver. Names and tags are data; the work is done by the functions. A format record
// handed to a driver function is at least 18 bytes; cbSrc/cbDst give the real sizes. A stream
// state is whatever streamOpen returns; the manager passes it back and frees it with streamClose.
typedef struct tAcmDriverTable {
    const char* szShortName;
    const char* szLongName;
    DWORD fdwSupport;     // ACMDRIVERDETAILS_SUPPORTF_*; with ..._DISABLED the driver is disabled
    DWORD cFormatTags;    // the count the driver declares in its details
    const tAcmFormatTagInfo* formatTags;
    DWORD nFormatTags;    // entries in formatTags (an index at or past it is not possible)
    // Optional: the answer to ACM_METRIC_DRIVER_SUPPORT; null means fdwSupport stands.
    MMRESULT (*querySupport)(DWORD* pfdwSupport);
    MMRESULT (*suggest)(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest);
    MMRESULT (*streamOpen)(const WAVEFORMATEX* src, DWORD cbSrc, const WAVEFORMATEX* dst, DWORD cbDst,
                           void** ppState);
    MMRESULT (*streamSize)(void* state, DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput);
    MMRESULT (*streamConvert)(void* state, const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst,
                              DWORD cbDst, DWORD* pcbDstUsed, DWORD fdwConvert);
    void (*streamClose)(void* state);
} tAcmDriverTable;

// Installs a driver table (which must outlive the installation) in front of all drivers
// (atEnd FALSE) or behind them (atEnd TRUE). MMSYSERR_INVALPARAM for a null table or handle.
MMRESULT acmQuillonInstallDriver(const tAcmDriverTable* table, BOOL atEnd, LPHACMDRIVERID phadid);
// Removes an installed driver; ACMERR_BUSY while it is open, MMSYSERR_INVALHANDLE for a
// built-in driver or an unknown handle.
MMRESULT acmQuillonRemoveDriver(HACMDRIVERID hadid);
// Hides (FALSE) or shows (TRUE) the built-in drivers; installed drivers stay.
void acmQuillonShowBuiltinDrivers(BOOL show);
}
