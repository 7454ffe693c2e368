// Quillon from .NET: P/Invoke declarations of every export of Quillon.dll, its records and its
// result codes. Quillon.dll is a 32-bit library with __stdcall calls and undecorated names, so
// the host process must run as x86 (<PlatformTarget>x86</PlatformTarget>).
//
// Names are 8-bit strings in the ANSI code page (CharSet.Ansi). Positions and lengths are
// unsigned 32-bit numbers in the unit given by the time format type (TimeFormat). Result codes
// are unsigned 16-bit, 0 on success; Result.Text gives their meaning in words.
//
// Jobs: an edit, format change or conversion called with isSyncOperation = 0 returns 0 and
// stores a job handle (IntPtr) through its handle argument. Poll it until ...ProcessIsOver
// answers 1, read ...GetReasonForProcessExit, then pass it by ref to ...CloseHandle, which sets
// it to IntPtr.Zero. Edit and format-change jobs use the AudioEdit* calls, conversions the
// AudioConvert* calls.

using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Quillon
{
    /// <summary>Units of positions and lengths; any other value counts as milliseconds.</summary>
    public static class TimeFormat
    {
        public const ushort Milliseconds = 0;
        public const ushort Samples = 1;   // sample frames: one sample of every channel
        public const ushort Bytes = 2;     // bytes of audio data
    }

    /// <summary>The channel mask of AudioEditMute.</summary>
    public static class Channels
    {
        public const int Left = 1;
        public const int Right = 2;
        public const int Both = 3;
    }

    /// <summary>The platform's wave format record: 18 bytes, packed.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct WAVEFORMATEX
    {
        public ushort wFormatTag;
        public ushort nChannels;
        public uint nSamplesPerSec;
        public uint nAvgBytesPerSec;
        public ushort nBlockAlign;
        public ushort wBitsPerSample;
        public ushort cbSize;
    }

    /// <summary>File information: 28 bytes, every field at its natural alignment (2 bytes of
    /// padding after wFormatTag and after recSource).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8)]
    public struct tQuillonFILEINFO
    {
        public ushort bitsPerSample;
        public ushort channels;
        public uint length;
        public uint samplesPerSec;
        public ushort wFormatTag;
        public uint recSampleRate;
        public ushort recNumBits;
        public ushort recMode;
        public ushort recSource;
    }

    /// <summary>One format tag of a codec, natural alignment: 64 bytes in the 32-bit process
    /// (72 in a 64-bit one).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8, CharSet = CharSet.Ansi)]
    public struct tACMCODECFORMATTAGINFO
    {
        public uint codecIndex;
        public uint formatTagIndex;
        public uint formatTag;
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 48)]
        public string formatTagDescription;
        public IntPtr next;              // always zero in the copies the library hands out
    }

    /// <summary>One codec, natural alignment: 152 bytes in the 32-bit process (168 in a 64-bit
    /// one).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 8, CharSet = CharSet.Ansi)]
    public struct tACMDRIVERINFO
    {
        public uint codecIndex;
        public IntPtr hadid;
        public uint cFormatTag;          // format tags the driver declares
        public uint currentFormatTag;    // format tags listed in the catalogue
        [MarshalAs(UnmanagedType.ByValTStr, SizeConst = 128)]
        public string formatDescription;
        public IntPtr pFormatTagInfo;    // always zero in the copies the library hands out
        public IntPtr next;              // always zero in the copies the library hands out
    }

    /// <summary>Result codes and their meaning in words.</summary>
    public static class Result
    {
        public const ushort OK = 0;
        public const ushort ERR_NO_FILE_NAME = 100;
        public const ushort ERR_CANNOT_OPEN_FILE = 102;
        public const ushort ERR_NOT_PCM = 107;
        public const ushort ERR_NO_DATA = 110;
        public const ushort ERR_NO_MEMORY_FORMAT = 115;
        public const ushort ERR_CANNOT_LOCK_FORMAT = 116;
        public const ushort ERR_CANNOT_WRITE = 301;
        public const ushort ERR_CUT_EMPTY_RANGE = 302;
        public const ushort ERR_NO_DISK_SPACE = 303;
        public const ushort ERR_NO_MEMORY = 304;
        public const ushort ERR_UNDO_COPY = 305;
        public const ushort ERR_COPY_EMPTY_RANGE = 306;
        public const ushort ERR_NO_CLIP_FILE = 307;
        public const ushort ERR_CLIP_FORMAT = 308;
        public const ushort ERR_FILE_IS_PLAYING = 310;
        public const ushort ERR_CANCELLED = 311;
        public const ushort ERR_CLIP_EMPTY = 312;
        public const ushort ERR_BEYOND_END = 313;
        public const ushort ERR_UNDO_DISABLED = 314;
        public const ushort ERR_REDO_COPY = 315;
        public const ushort ERR_NOTHING_TO_UNDO = 316;
        public const ushort ERR_REDO_WRITE_BACK = 317;
        public const ushort ERR_FILE_COMPRESSED = 318;
        public const ushort ERR_CANNOT_REPLACE = 319;
        public const ushort ERR_EMPTY_RANGE = 320;
        public const ushort ERR_CROP_EMPTY_RANGE = 321;
        public const ushort ERR_BAD_TEMP_PATH = 322;
        public const ushort ERR_PASSES_4GB = 323;
        public const ushort FMT_ERR_CANNOT_OPEN_INPUT = 350;
        public const ushort FMT_ERR_NOT_WAVE = 351;
        public const ushort FMT_ERR_NO_FORMAT_CHUNK = 352;
        public const ushort FMT_ERR_SHORT_FORMAT = 353;
        public const ushort FMT_ERR_NOT_PCM = 354;
        public const ushort FMT_ERR_NO_DATA_CHUNK = 355;
        public const ushort FMT_ERR_EMPTY_DATA = 356;
        public const ushort FMT_ERR_NO_MEMORY = 357;
        public const ushort FMT_ERR_CANNOT_WRITE = 358;
        public const ushort FMT_ERR_RATES_NOT_MULTIPLES = 359;
        public const ushort FMT_ERR_NOTHING_TO_DO = 360;
        public const ushort FMT_ERR_LAYOUT_NOT_HANDLED = 361;
        public const ushort CONV_ERR_NO_CODEC = 400;
        public const ushort CONV_ERR_NO_MAX_FORMAT_SIZE = 401;
        public const ushort CONV_ERR_NO_MEMORY_FORMAT = 402;
        public const ushort CONV_ERR_NO_SUPPORT_FLAGS = 403;
        public const ushort CONV_ERR_CANNOT_OPEN_CODEC = 404;
        public const ushort CONV_ERR_NO_SUGGESTION = 405;
        public const ushort CONV_ERR_NO_STREAM = 406;
        public const ushort CONV_ERR_SOURCE = 407;
        public const ushort CONV_ERR_DESTINATION = 408;
        public const ushort CONV_ERR_SOURCE_NOT_WAVE = 409;
        public const ushort CONV_ERR_SOURCE_NO_DATA = 410;
        public const ushort CONV_ERR_NO_BLOCK_SIZE = 411;
        public const ushort CONV_ERR_NO_MEMORY_SOURCE = 412;
        public const ushort CONV_ERR_NO_MEMORY_DESTINATION = 413;
        public const ushort CONV_ERR_PREPARE = 414;
        public const ushort CONV_ERR_CREATE_RIFF = 415;
        public const ushort CONV_ERR_CREATE_FMT = 416;
        public const ushort CONV_ERR_WRITE_FMT = 417;
        public const ushort CONV_ERR_CLOSE_FMT = 418;
        public const ushort CONV_ERR_CREATE_FACT = 419;
        public const ushort CONV_ERR_WRITE_FACT = 420;
        public const ushort CONV_ERR_CLOSE_FACT = 421;
        public const ushort CONV_ERR_CREATE_DATA = 422;
        public const ushort CONV_ERR_SOURCE_SHORT = 423;
        public const ushort CONV_ERR_CONVERT = 424;
        public const ushort CONV_ERR_WRITE_DATA = 425;
        public const ushort CONV_ERR_CLOSE_DATA = 426;
        public const ushort CONV_ERR_CLOSE_RIFF = 427;
        public const ushort CONV_ERR_SOURCE_NO_FMT = 429;
        public const ushort CONV_ERR_SOURCE_SHORT_FMT = 430;

        /// <summary>The meaning of a result code in words (the quillon host's words).</summary>
        public static string Text(int code)
        {
            switch (code)
            {
                case 0: return "done";
                case 100: return "no file name given";
                case 101: return "the engine is already playing";
                case 102: return "the file cannot be opened or is not a readable WAVE file";
                case 103: return "not enough memory for play buffers";
                case 104: return "the device does not accept the format";
                case 105: return "the device cannot be opened";
                case 106: return "a device buffer cannot be prepared";
                case 107: return "the file is not PCM, or its format has no channels, rate or bits";
                case 108: return "the format chunk is missing or short";
                case 109: return "the file is compressed";
                case 110: return "the file has no audio data";
                case 111: return "no microphone source";
                case 112: return "no line-in source";
                case 113: return "the file cannot be sought to the start position";
                case 114: return "a chunk of the file cannot be left";
                case 115: return "no memory for the format";
                case 116: return "the format memory cannot be locked";
                case 117: return "the audio data is empty";
                case 150: return "no preferred playback device";
                case 151: return "the output device's capabilities cannot be read";
                case 152: return "output device index out of range";
                case 153: return "no preferred recording device";
                case 154: return "the input device's capabilities cannot be read";
                case 155: return "input device index out of range";
                case 201: return "the input device does not accept the format";
                case 202: return "not enough memory for record buffers";
                case 203: return "the target file cannot be created or its header written";
                case 204: return "the input device cannot be opened";
                case 205: return "the input device cannot be started";
                case 206: return "a recording or level test is already running";
                case 207: return "empty target file name";
                case 250: return "the mixer control cannot be found";
                case 251: return "source index out of range";
                case 252: return "no memory for the mixer settings";
                case 253: return "the mixer settings cannot be read";
                case 254: return "the mixer settings cannot be written";
                case 301: return "a chunk of the new file could not be created or closed";
                case 302: return "the selection is empty";
                case 303: return "not enough free space in the temporary directory";
                case 304: return "no memory for the copy block";
                case 305: return "the undo copy could not be made";
                case 306: return "the selection is empty";
                case 307: return "the clip file does not exist";
                case 308: return "the clip's format differs from the file's";
                case 310: return "the file is playing";
                case 311: return "cancelled";
                case 312: return "the clip is empty";
                case 313: return "a position lies beyond the end of the audio";
                case 314: return "undo and redo are disabled";
                case 315: return "the redo copy could not be made";
                case 316: return "nothing to undo or redo";
                case 317: return "the redo copy could not be written back";
                case 318: return "the file is compressed";
                case 319: return "the result could not be moved to its destination";
                case 320: return "the selection is empty";
                case 321: return "the selection is empty";
                case 322: return "not an existing directory";
                case 323: return "the result would pass the 4 GiB a WAVE file can hold";
                case 350: return "the input cannot be opened";
                case 351: return "the input is not a RIFF WAVE file";
                case 352: return "the input has no format chunk";
                case 353: return "the input's format record is too short";
                case 354: return "the input is not PCM";
                case 355: return "the input has no data chunk";
                case 356: return "the input's data chunk is empty";
                case 357: return "not enough memory";
                case 358: return "the output cannot be created or written";
                case 359: return "the two rates are not whole multiples of one another";
                case 360: return "the file already has that format";
                case 361: return "only mono or stereo of 8 or 16 bits can be changed";
                case 400: return "no such codec or format tag";
                case 401: return "the codec's largest format size cannot be had";
                case 402: return "no memory for the destination format";
                case 403: return "the codec's support flags cannot be had";
                case 404: return "the codec cannot be opened";
                case 405: return "the codec suggests no destination format";
                case 406: return "no conversion stream can be opened";
                case 407: return "the source cannot be opened";
                case 408: return "the destination cannot be created";
                case 409: return "the source is not a RIFF WAVE file";
                case 410: return "the source has no data chunk";
                case 411: return "the destination block size cannot be had";
                case 412: return "no memory for the source block";
                case 413: return "no memory for the destination block";
                case 414: return "the stream header cannot be prepared";
                case 415: return "the destination RIFF form cannot be created";
                case 416: return "the destination format chunk cannot be created";
                case 417: return "the destination format cannot be written";
                case 418: return "the destination format chunk cannot be closed";
                case 419: return "the fact chunk cannot be created";
                case 420: return "the fact value cannot be written";
                case 421: return "the fact chunk cannot be closed";
                case 422: return "the destination data chunk cannot be created";
                case 423: return "the source ended before its data size";
                case 424: return "the MP3 frame has no bit rate";
                case 425: return "converted bytes cannot be written";
                case 426: return "the destination data chunk cannot be closed";
                case 427: return "the destination RIFF form cannot be closed";
                case 429: return "the source has no format chunk";
                case 430: return "the source format cannot be read whole";
                default: return "unknown result";
            }
        }
    }

    /// <summary>The exports of Quillon.dll. Every argument takes one 4-byte slot on the 32-bit
    /// stack; string arguments may be null where the library takes "no name".</summary>
    public static class NativeMethods
    {
        private const string Dll = "Quillon.dll";

        // ---- Library frame ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int SetTempPath(string newTempPath);

        // ---- File information ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort GetInputFileInfo(string szFileName, ref WAVEFORMATEX pWaveFileInfo);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioGetFileInfo(ref tQuillonFILEINFO pFileInformation, string fileName,
                                                     ushort timeFormatType, int infoOfPlayBackFile);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int CanSetPositionAndSampleRate(string fileName);

        // ---- Edits: (file, positions, unit, ref handle, isSyncOperation, ...) ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioCut(string fileName, uint startPoint, uint endPoint, ushort timeFormatType,
                                             ref IntPtr pEditWorkThreadHandle, int isSyncOperation,
                                             string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioCopy(string fileName, uint startPoint, uint endPoint, ushort timeFormatType,
                                              ref IntPtr pEditWorkThreadHandle, int isSyncOperation);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioPaste(string fileName, uint startPoint, ushort timeFormatType,
                                               ref IntPtr pEditWorkThreadHandle, int isSyncOperation);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioPasteEx(string fileName, uint startPoint, ushort timeFormatType,
                                                 ref IntPtr pEditWorkThreadHandle, int isSyncOperation,
                                                 string clipFileName, string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioCutInFile(string fileName, uint startPoint, uint endPoint,
                                                   ushort timeFormatType, ref IntPtr pEditWorkThreadHandle,
                                                   int isSyncOperation, string fileNameToCutIn, string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioCopyInFile(string fileName, uint startPoint, uint endPoint,
                                                    ushort timeFormatType, ref IntPtr pEditWorkThreadHandle,
                                                    int isSyncOperation, string fileNameToCopyIn);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioClear(string fileName, uint startPoint, uint endPoint, ushort timeFormatType,
                                               ref IntPtr pEditWorkThreadHandle, int isSyncOperation,
                                               string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioCrop(string fileName, uint startPoint, uint endPoint, ushort timeFormatType,
                                              ref IntPtr pEditWorkThreadHandle, int isSyncOperation,
                                              string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditMute(string fileName, uint startPoint, uint endPoint,
                                                  ushort timeFormatType, ref IntPtr pEditWorkThreadHandle,
                                                  int isSyncOperation, int channels, string destFileName);

        /// <param name="silencePercent">threshold in hundredths of a percent of full scale (0 to 10000)</param>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditTrimSilence(string fileName, uint startPoint, uint endPoint,
                                                         ushort timeFormatType, ref IntPtr pEditWorkThreadHandle,
                                                         int isSyncOperation, ushort silencePercent,
                                                         string destFileName);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioInsertSilence(string fileName, uint startPoint, ushort timeFormatType,
                                                       ref IntPtr pEditWorkThreadHandle, int isSyncOperation,
                                                       uint silenceTime, string destFileName);

        // ---- Clip, undo and redo ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int AudioEditCanPaste();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioFlushCutCopyPasteBuffer();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int AudioEditCanUndo();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int AudioEditCanRedo();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditUndo();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditRedo();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditSetUndoRedo(int enableUndoRedo);

        // ---- Job polling: edits and format changes ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditCancelPressed(IntPtr pEditWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int AudioEditProcessIsOver(IntPtr pEditWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern uint AudioEditGetProcessProgress(IntPtr pEditWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditGetReasonForProcessExit(IntPtr pEditWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioEditCloseHandle(ref IntPtr pEditWorkThreadHandle);

        // ---- Job polling: codec conversions ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioConvertCancelPressed(IntPtr pConvertWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern int AudioConvertProcessIsOver(IntPtr pConvertWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern uint AudioConvertGetProcessProgress(IntPtr pConvertWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioConvertGetReasonForProcessExit(IntPtr pConvertWorkThreadHandle);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioConvertCloseHandle(ref IntPtr pConvertWorkThreadHandle);

        // ---- PCM format change (polled with the AudioEdit* calls) ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioChangeFormat(string inputFileName, string outputFileName, uint sampleRate,
                                                      ushort bitsPerSample, ushort numChannels,
                                                      ref IntPtr pEditWorkThreadHandle, int isSyncOperation);

        // ---- Codec catalogue and conversion ----
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort GetNumberOfCodec();

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort GetCodecDescription(ref tACMDRIVERINFO pcodecInformation, ushort acmDriverIndex);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort GetCodecFormatTagDescription(ref tACMCODECFORMATTAGINFO pFormatTagInformation,
                                                                 ushort acmDriverIndex, ushort acmCodecFormatTagIndex);

        /// <param name="pDestWaveFormatDesired">the wanted PCM destination format, or IntPtr.Zero;
        /// use the overload below to pass a record</param>
        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioConvert(ushort acmCodecIndex, int acmFormatTagIndex, string srcFileName,
                                                 string destFileName, IntPtr pDestWaveFormatDesired,
                                                 int overrideFormatIfNeeded, ref IntPtr pConvertWorkThreadHandle,
                                                 int isSyncOperation);

        [DllImport(Dll, CallingConvention = CallingConvention.StdCall, CharSet = CharSet.Ansi, ExactSpelling = true)]
        public static extern ushort AudioConvert(ushort acmCodecIndex, int acmFormatTagIndex, string srcFileName,
                                                 string destFileName, ref WAVEFORMATEX pDestWaveFormatDesired,
                                                 int overrideFormatIfNeeded, ref IntPtr pConvertWorkThreadHandle,
                                                 int isSyncOperation);

        /// <summary>The record sizes the library was built with; throws when this process or
        /// these declarations disagree (for instance a process that is not 32-bit).</summary>
        public static void CheckRecordSizes()
        {
            Check("tQuillonFILEINFO", Marshal.SizeOf(typeof(tQuillonFILEINFO)), 28);
            Check("WAVEFORMATEX", Marshal.SizeOf(typeof(WAVEFORMATEX)), 18);
            bool wide = IntPtr.Size == 8;
            Check("tACMDRIVERINFO", Marshal.SizeOf(typeof(tACMDRIVERINFO)), wide ? 168 : 152);
            Check("tACMCODECFORMATTAGINFO", Marshal.SizeOf(typeof(tACMCODECFORMATTAGINFO)), wide ? 72 : 64);
        }

        private static void Check(string record, int size, int expected)
        {
            if (size != expected)
                throw new InvalidOperationException(record + " is " + size + " bytes, the library's is " + expected);
        }
    }

    /// <summary>A failed call: its result code and the code's meaning.</summary>
    public class QuillonException : Exception
    {
        public int Code { get; private set; }
        public string Words { get; private set; }

        public QuillonException(int code, string call)
            : base(call + ": " + code + " (" + Result.Text(code) + ")")
        {
            Code = code;
            Words = Result.Text(code);
        }
    }
}
