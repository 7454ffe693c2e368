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

/* Playback. The end of a playback is told by message 0x465 (wParam 0, lParam 0) posted to the
 * window given to SetCallbackWindow (NULL: no message). On Windows the handle is a window
 * (HWND); on Linux it is a message window of the library's own window layer. */
#define QUILLON_END_OF_PLAYBACK_MESSAGE 0x465
#define QUILLON_ERR_ALREADY_PLAYING 101
QUILLON_API(void) SetCallbackWindow(void* hCallbackWnd);
QUILLON_API(unsigned short) AudioLoadFile(const char* fileName);
QUILLON_API(unsigned short) AudioPlayCurrentFile(unsigned int position, unsigned short timeFormatType);
QUILLON_API(unsigned short) AudioPlayWave(const char* fileName, unsigned int position, unsigned short timeFormatType,
                                          unsigned int speedFactor, int decompressCompressedFiles,
                                          unsigned int stopPosition);
QUILLON_API(unsigned short) AudioStop(void);
QUILLON_API(unsigned short) AudioPause(void);
QUILLON_API(unsigned short) AudioResume(void);
QUILLON_API(unsigned int) AudioGetPosition(unsigned short timeFormatType);
QUILLON_API(unsigned short) AudioMoveTo(unsigned int position, unsigned short timeFormatType);
QUILLON_API(int) AudioIsTheSampleSpeedSupported(const char* fileName, unsigned int sampleSpeed);
QUILLON_API(unsigned short) AudioPlayMP3(const char* fileName, unsigned int position, unsigned short timeFormatType,
                                         unsigned int speedFactor, int decompressCompressedFiles,
                                         unsigned int stopPosition);

/* Library frame. */
QUILLON_API(int) SetTempPath(const char* newTempPath);

/* File information. */
QUILLON_API(unsigned short) GetInputFileInfo(const char* szFileName, WAVEFORMATEX* pWaveFileInfo);
QUILLON_API(unsigned short) AudioGetFileInfo(tQuillonFILEINFO* pFileInformation, const char* fileName,
                                             unsigned short timeFormatType, int infoOfPlayBackFile);
QUILLON_API(int) CanSetPositionAndSampleRate(const char* fileName);

/* ---- Editing and worker jobs ---------------------------------------------------------------
 * Edits rewrite PCM WAVE files. Each edit call runs in the caller's thread when
 * isSyncOperation is nonzero and returns its result; otherwise it starts a job, returns 0 and
 * stores a job handle through its handle argument. Poll the handle with the AudioEdit... calls
 * until AudioEditProcessIsOver answers 1, read AudioEditGetReasonForProcessExit, then close it.
 * A handle points to the job record's first field, its size.
 *
 * Threads: edits share one set of temporary files (edit file, undo and redo copies, clip), so
 * the library runs them one at a time, in the order they were started, whatever thread starts
 * them. Every edit call (synchronous or job), AudioEditUndo, AudioEditRedo,
 * AudioFlushCutCopyPasteBuffer and SetTempPath waits for the one before it to end: a
 * synchronous call blocks meanwhile; a job reports progress 0 while it waits, and a cancel then
 * ends it at once with 311, having changed nothing. Undo and redo act on the last edit that
 * ran. AudioChangeFormat and AudioConvert use files of their own and run beside edits.
 *
 * Unloading the library while jobs run is safe: on Linux the unload cancels every job and waits
 * for it; on Windows FreeLibrary returns at once and the library stays loaded until its last
 * job has ended. Calls that other threads of the host are making when it unloads the library
 * are asked to stop and waited for a while; a host should not unload it under them. */
#if defined(_WIN32)
typedef unsigned long QUILLON_JOB_SIZE_FIELD; /* the platform's DWORD */
#else
typedef unsigned int QUILLON_JOB_SIZE_FIELD;
#endif
typedef QUILLON_JOB_SIZE_FIELD* QUILLON_EDIT_HANDLE;
typedef QUILLON_JOB_SIZE_FIELD* QUILLON_CONVERT_HANDLE;

#define QUILLON_ERR_CANNOT_WRITE 301
#define QUILLON_ERR_CUT_EMPTY_RANGE 302
#define QUILLON_ERR_NO_DISK_SPACE 303
#define QUILLON_ERR_NO_MEMORY 304
#define QUILLON_ERR_UNDO_COPY 305
#define QUILLON_ERR_COPY_EMPTY_RANGE 306
#define QUILLON_ERR_NO_CLIP_FILE 307
#define QUILLON_ERR_CLIP_FORMAT 308
#define QUILLON_ERR_FILE_IS_PLAYING 310
#define QUILLON_ERR_CANCELLED 311
#define QUILLON_ERR_CLIP_EMPTY 312
#define QUILLON_ERR_BEYOND_END 313
#define QUILLON_ERR_UNDO_DISABLED 314
#define QUILLON_ERR_REDO_COPY 315
#define QUILLON_ERR_NOTHING_TO_UNDO 316
#define QUILLON_ERR_REDO_WRITE_BACK 317
#define QUILLON_ERR_FILE_COMPRESSED 318
#define QUILLON_ERR_CANNOT_REPLACE 319
#define QUILLON_ERR_EMPTY_RANGE 320
#define QUILLON_ERR_CROP_EMPTY_RANGE 321
/* The result would pass the 4 GiB a RIFF WAVE file can describe: a paste, an insertion of
 * silence, a format change or a conversion that would make it larger is refused (nothing is
 * written, or a conversion's partial destination is deleted); an MP3 file of 4 GiB or more has
 * no 32-bit length. */
#define QUILLON_ERR_PASSES_4GB 323

/* Mute: which channels (a mask). */
#define QUILLON_CHANNEL_LEFT 1
#define QUILLON_CHANNEL_RIGHT 2
#define QUILLON_CHANNEL_BOTH 3

QUILLON_API(unsigned short) AudioCut(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                     unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                     int isSyncOperation, const char* destFileName);
QUILLON_API(unsigned short) AudioCopy(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                      unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                      int isSyncOperation);
QUILLON_API(unsigned short) AudioPaste(const char* fileName, unsigned int startPoint, unsigned short timeFormatType,
                                       QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation);
QUILLON_API(unsigned short) AudioPasteEx(const char* fileName, unsigned int startPoint, unsigned short timeFormatType,
                                         QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation,
                                         const char* clipFileName, const char* destFileName);
QUILLON_API(unsigned short) AudioCutInFile(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                           unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                           int isSyncOperation, const char* fileNameToCutIn, const char* destFileName);
QUILLON_API(unsigned short) AudioCopyInFile(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                            unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                            int isSyncOperation, const char* fileNameToCopyIn);
QUILLON_API(unsigned short) AudioClear(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                       unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                       int isSyncOperation, const char* destFileName);
QUILLON_API(unsigned short) AudioCrop(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                      unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                      int isSyncOperation, const char* destFileName);
QUILLON_API(unsigned short) AudioEditMute(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                          unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                          int isSyncOperation, int channels, const char* destFileName);
QUILLON_API(unsigned short) AudioEditTrimSilence(const char* fileName, unsigned int startPoint, unsigned int endPoint,
                                                 unsigned short timeFormatType,
                                                 QUILLON_EDIT_HANDLE* pEditWorkThreadHandle, int isSyncOperation,
                                                 unsigned short silencePercent, const char* destFileName);
QUILLON_API(unsigned short) AudioInsertSilence(const char* fileName, unsigned int startPoint,
                                               unsigned short timeFormatType, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                               int isSyncOperation, unsigned int silenceTime, const char* destFileName);

/* Clip, undo and redo. */
QUILLON_API(int) AudioEditCanPaste(void);
QUILLON_API(unsigned short) AudioFlushCutCopyPasteBuffer(void);
QUILLON_API(int) AudioEditCanUndo(void);
QUILLON_API(int) AudioEditCanRedo(void);
QUILLON_API(unsigned short) AudioEditUndo(void);
QUILLON_API(unsigned short) AudioEditRedo(void);
QUILLON_API(unsigned short) AudioEditSetUndoRedo(int enableUndoRedo);

/* Job polling: edits and format changes. */
QUILLON_API(unsigned short) AudioEditCancelPressed(QUILLON_EDIT_HANDLE pEditWorkThreadHandle);
QUILLON_API(int) AudioEditProcessIsOver(QUILLON_EDIT_HANDLE pEditWorkThreadHandle);
QUILLON_API(unsigned int) AudioEditGetProcessProgress(QUILLON_EDIT_HANDLE pEditWorkThreadHandle);
QUILLON_API(unsigned short) AudioEditGetReasonForProcessExit(QUILLON_EDIT_HANDLE pEditWorkThreadHandle);
QUILLON_API(unsigned short) AudioEditCloseHandle(QUILLON_EDIT_HANDLE* pEditWorkThreadHandle);

/* Job polling: codec conversions. */
QUILLON_API(unsigned short) AudioConvertCancelPressed(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle);
QUILLON_API(int) AudioConvertProcessIsOver(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle);
QUILLON_API(unsigned int) AudioConvertGetProcessProgress(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle);
QUILLON_API(unsigned short) AudioConvertGetReasonForProcessExit(QUILLON_CONVERT_HANDLE pConvertWorkThreadHandle);
QUILLON_API(unsigned short) AudioConvertCloseHandle(QUILLON_CONVERT_HANDLE* pConvertWorkThreadHandle);
/* ---- End of editing and worker jobs ---- */

/* ---- PCM format change ------------------------------------------------------------------
 * AudioChangeFormat writes outputFileName as the audio of the PCM WAVE file inputFileName (an
 * empty name means the file loaded for playback) at another sample rate (by whole ratios: the
 * larger rate a multiple of the smaller), channel count (1 or 2) or width (8 or 16 bits). With
 * isSyncOperation non-zero it returns the result; with 0 it starts a job, returns 0 and stores
 * the job handle through pEditWorkThreadHandle: poll and close it with the AudioEdit* calls.
 * The start call also answers 100 (no name, nothing loaded), 102 (missing or empty file),
 * 310 (the file is playing) and 318 (not PCM); a job ends with 311 when cancelled. */
#define QUILLON_FMT_ERR_CANNOT_OPEN_INPUT 350
#define QUILLON_FMT_ERR_NOT_WAVE 351
#define QUILLON_FMT_ERR_NO_FORMAT_CHUNK 352
#define QUILLON_FMT_ERR_SHORT_FORMAT 353
#define QUILLON_FMT_ERR_NOT_PCM 354
#define QUILLON_FMT_ERR_NO_DATA_CHUNK 355
#define QUILLON_FMT_ERR_EMPTY_DATA 356
#define QUILLON_FMT_ERR_NO_MEMORY 357
#define QUILLON_FMT_ERR_CANNOT_WRITE 358
#define QUILLON_FMT_ERR_RATES_NOT_MULTIPLES 359
#define QUILLON_FMT_ERR_NOTHING_TO_DO 360
#define QUILLON_FMT_ERR_LAYOUT_NOT_HANDLED 361

QUILLON_API(unsigned short) AudioChangeFormat(const char* inputFileName, const char* outputFileName,
                                              unsigned int sampleRate, unsigned short bitsPerSample,
                                              unsigned short numChannels, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                              int isSyncOperation);
/* ---- end of PCM format change ---- */

/* ---- Codec catalogue and codec conversion ------------------------------------------------
 * The catalogue lists the installed compression-manager drivers, each with its format tags, in
 * the manager's order; it is built at load and rebuilt by GetNumberOfCodec. A codec and a tag
 * are named by their positions (codecIndex, formatTagIndex). GetCodecDescription and
 * GetCodecFormatTagDescription fill copies (their pointers are 0); both answer 400 for a
 * position not in the catalogue.
 *
 * AudioConvert writes destFileName as a WAVE file ("fmt ", "fact" holding the source's data
 * size in bytes, "data") converted from the WAVE file srcFileName through one codec. The tag
 * index decides the destination format: a tag named "PCM" takes pDestWaveFormatDesired's
 * channels, rate and width; another tag is chosen in the platform's format chooser (where
 * there is none, mono 11025 Hz 8 bits of that tag); an index below 0 or at or above the
 * codec's tag count lets the codec suggest. overrideFormatIfNeeded lets the library pick a
 * format and a codec when the wanted one cannot be had. With isSyncOperation nonzero the call
 * returns the result; with 0 it starts a job: poll it with the AudioConvert... calls. A
 * cancelled job ends with 0 and leaves no destination file. */
typedef struct tACMCODECFORMATTAGINFO {
    unsigned int codecIndex;
    unsigned int formatTagIndex;
    unsigned int formatTag;
    char formatTagDescription[48];
    struct tACMCODECFORMATTAGINFO* next;
} tACMCODECFORMATTAGINFO;

typedef struct tACMDRIVERINFO {
    unsigned int codecIndex;
    void* hadid;
    unsigned int cFormatTag;       /* format tags the driver declares */
    unsigned int currentFormatTag; /* format tags listed in the catalogue */
    char formatDescription[128];
    tACMCODECFORMATTAGINFO* pFormatTagInfo;
    struct tACMDRIVERINFO* next;
} tACMDRIVERINFO;

#define QUILLON_CONV_ERR_NO_CODEC 400
#define QUILLON_CONV_ERR_NO_MAX_FORMAT_SIZE 401
#define QUILLON_CONV_ERR_NO_MEMORY_FORMAT 402
#define QUILLON_CONV_ERR_NO_SUPPORT_FLAGS 403
#define QUILLON_CONV_ERR_CANNOT_OPEN_CODEC 404
#define QUILLON_CONV_ERR_NO_SUGGESTION 405
#define QUILLON_CONV_ERR_NO_STREAM 406
#define QUILLON_CONV_ERR_SOURCE 407
#define QUILLON_CONV_ERR_DESTINATION 408
#define QUILLON_CONV_ERR_SOURCE_NOT_WAVE 409
#define QUILLON_CONV_ERR_SOURCE_NO_DATA 410
#define QUILLON_CONV_ERR_NO_BLOCK_SIZE 411
#define QUILLON_CONV_ERR_NO_MEMORY_SOURCE 412
#define QUILLON_CONV_ERR_NO_MEMORY_DESTINATION 413
#define QUILLON_CONV_ERR_PREPARE 414
#define QUILLON_CONV_ERR_CREATE_RIFF 415
#define QUILLON_CONV_ERR_CREATE_FMT 416
#define QUILLON_CONV_ERR_WRITE_FMT 417
#define QUILLON_CONV_ERR_CLOSE_FMT 418
#define QUILLON_CONV_ERR_CREATE_FACT 419
#define QUILLON_CONV_ERR_WRITE_FACT 420
#define QUILLON_CONV_ERR_CLOSE_FACT 421
#define QUILLON_CONV_ERR_CREATE_DATA 422
#define QUILLON_CONV_ERR_SOURCE_SHORT 423
#define QUILLON_CONV_ERR_CONVERT 424
#define QUILLON_CONV_ERR_WRITE_DATA 425
#define QUILLON_CONV_ERR_CLOSE_DATA 426
#define QUILLON_CONV_ERR_CLOSE_RIFF 427
#define QUILLON_CONV_ERR_SOURCE_NO_FMT 429
#define QUILLON_CONV_ERR_SOURCE_SHORT_FMT 430

QUILLON_API(unsigned short) GetNumberOfCodec(void);
QUILLON_API(unsigned short) GetCodecDescription(tACMDRIVERINFO* pcodecInformation, unsigned short acmDriverIndex);
QUILLON_API(unsigned short) GetCodecFormatTagDescription(tACMCODECFORMATTAGINFO* pFormatTagInformation,
                                                         unsigned short acmDriverIndex,
                                                         unsigned short acmCodecFormatTagIndex);
QUILLON_API(unsigned short) AudioConvert(unsigned short acmCodecIndex, int acmFormatTagIndex, const char* srcFileName,
                                         const char* destFileName, const WAVEFORMATEX* pDestWaveFormatDesired,
                                         int overrideFormatIfNeeded, QUILLON_CONVERT_HANDLE* pConvertWorkThreadHandle,
                                         int isSyncOperation);
#if defined(_WIN32) && !defined(_WIN64)
typedef char quillon_size_of_tACMDRIVERINFO_is_152[(sizeof(tACMDRIVERINFO) == 152) ? 1 : -1];
typedef char quillon_size_of_tACMCODECFORMATTAGINFO_is_64[(sizeof(tACMCODECFORMATTAGINFO) == 64) ? 1 : -1];
#endif
/* ---- end of codec catalogue and codec conversion ---- */

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
