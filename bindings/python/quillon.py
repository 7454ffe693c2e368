"""Quillon from Python: the library's exported C calls through ctypes, and a small layer on top.

Loading: the library named by the QUILLON_LIBRARY environment variable, else the one beside this
module (libquillon.so, or Quillon.dll on Windows), else the one the system's search finds.
Quillon.dll is a 32-bit library with __stdcall calls, so on Windows it needs a 32-bit Python.

The raw calls keep their C names and signatures (``quillon.AudioClear(b"a.wav", ...)``); every
one of them is declared with its exact argument and result types. The layer on top takes str or
bytes paths, raises QuillonError for a result other than 0, and wraps job handles in Job:

    import quillon
    info = quillon.file_info("take1.wav", quillon.TIME_SAMPLES)
    quillon.clear("take1.wav", 0, 44100, quillon.TIME_SAMPLES)          # in this thread
    with quillon.clear("take1.wav", 0, 1000, asynchronous=True) as job: # on a worker thread
        while not job.poll():
            show(job.progress)
        job.check()                                                     # raises on failure

Standard library only; one file, so that it can be copied beside a host program.
"""

import ctypes
import os
import sys
import time
from ctypes import (POINTER, Structure, byref, c_char, c_char_p, c_int, c_uint, c_uint32, c_ushort,
                    c_void_p, sizeof)

__all__ = [
    "QuillonError", "Job", "library", "result_text", "file_info", "input_format", "set_temp_path",
    "cut", "copy", "paste", "paste_ex", "cut_in_file", "copy_in_file", "clear", "crop", "mute",
    "trim_silence", "insert_silence", "change_format", "convert", "codecs",
    "tQuillonFILEINFO", "WAVEFORMATEX", "tACMDRIVERINFO", "tACMCODECFORMATTAGINFO",
    "QUILLON_EDIT_HANDLE", "QUILLON_CONVERT_HANDLE",
    "TIME_MS", "TIME_SAMPLES", "TIME_BYTES", "CHANNEL_LEFT", "CHANNEL_RIGHT", "CHANNEL_BOTH",
]

_WINDOWS = sys.platform == "win32"

# ---- Units and constants ---------------------------------------------------------------------

TIME_MS = 0       # positions and lengths in milliseconds (any other unit number means this too)
TIME_SAMPLES = 1  # in sample frames: one sample of every channel
TIME_BYTES = 2    # in bytes of audio data

CHANNEL_LEFT = 1  # the channel mask of a mute
CHANNEL_RIGHT = 2
CHANNEL_BOTH = 3

# ---- Records -----------------------------------------------------------------------------------


class WAVEFORMATEX(Structure):
    """The platform's wave format record: 18 bytes, packed."""
    _pack_ = 1
    _fields_ = [
        ("wFormatTag", c_ushort),
        ("nChannels", c_ushort),
        ("nSamplesPerSec", c_uint),
        ("nAvgBytesPerSec", c_uint),
        ("nBlockAlign", c_ushort),
        ("wBitsPerSample", c_ushort),
        ("cbSize", c_ushort),
    ]


class tQuillonFILEINFO(Structure):
    """File information: 28 bytes, every field at its natural alignment (padding after
    wFormatTag and after recSource)."""
    _fields_ = [
        ("bitsPerSample", c_ushort),
        ("channels", c_ushort),
        ("length", c_uint),
        ("samplesPerSec", c_uint),
        ("wFormatTag", c_ushort),
        ("recSampleRate", c_uint),
        ("recNumBits", c_ushort),
        ("recMode", c_ushort),
        ("recSource", c_ushort),
    ]


class tACMCODECFORMATTAGINFO(Structure):
    """One format tag of a codec: 64 bytes in a 32-bit process (72 in a 64-bit one)."""


tACMCODECFORMATTAGINFO._fields_ = [
    ("codecIndex", c_uint),
    ("formatTagIndex", c_uint),
    ("formatTag", c_uint),
    ("formatTagDescription", c_char * 48),
    ("next", POINTER(tACMCODECFORMATTAGINFO)),
]


class tACMDRIVERINFO(Structure):
    """One codec: 152 bytes in a 32-bit process (168 in a 64-bit one)."""


tACMDRIVERINFO._fields_ = [
    ("codecIndex", c_uint),
    ("hadid", c_void_p),
    ("cFormatTag", c_uint),        # format tags the driver declares
    ("currentFormatTag", c_uint),  # format tags listed in the catalogue
    ("formatDescription", c_char * 128),
    ("pFormatTagInfo", POINTER(tACMCODECFORMATTAGINFO)),
    ("next", POINTER(tACMDRIVERINFO)),
]

# The sizes the C header holds; the ones with pointers differ between 32 and 64 bits.
_POINTER_BYTES = sizeof(c_void_p)
RECORD_SIZES = {
    "tQuillonFILEINFO": 28,
    "WAVEFORMATEX": 18,
    "tACMDRIVERINFO": 152 if _POINTER_BYTES == 4 else 168,
    "tACMCODECFORMATTAGINFO": 64 if _POINTER_BYTES == 4 else 72,
}
assert sizeof(tQuillonFILEINFO) == RECORD_SIZES["tQuillonFILEINFO"]
assert sizeof(WAVEFORMATEX) == RECORD_SIZES["WAVEFORMATEX"]
assert sizeof(tACMDRIVERINFO) == RECORD_SIZES["tACMDRIVERINFO"]
assert sizeof(tACMCODECFORMATTAGINFO) == RECORD_SIZES["tACMCODECFORMATTAGINFO"]
assert tQuillonFILEINFO.recSampleRate.offset == 16 and tQuillonFILEINFO.recSource.offset == 24

# A job handle points to the job record's first field, its 32-bit size (a DWORD on Windows).
QUILLON_JOB_SIZE_FIELD = c_uint32
QUILLON_EDIT_HANDLE = POINTER(QUILLON_JOB_SIZE_FIELD)
QUILLON_CONVERT_HANDLE = POINTER(QUILLON_JOB_SIZE_FIELD)

# ---- Result codes ------------------------------------------------------------------------------

# Every result code the library gives, with its meaning in words (the same words the quillon
# command-line host prints).
RESULT_TEXT = {
    0: "done",
    100: "no file name given",
    101: "the engine is already playing",
    102: "the file cannot be opened or is not a readable WAVE file",
    103: "not enough memory for play buffers",
    104: "the device does not accept the format",
    105: "the device cannot be opened",
    106: "a device buffer cannot be prepared",
    107: "the file is not PCM, or its format has no channels, rate or bits",
    108: "the format chunk is missing or short",
    109: "the file is compressed",
    110: "the file has no audio data",
    111: "no microphone source",
    112: "no line-in source",
    113: "the file cannot be sought to the start position",
    114: "a chunk of the file cannot be left",
    115: "no memory for the format",
    116: "the format memory cannot be locked",
    117: "the audio data is empty",
    150: "no preferred playback device",
    151: "the output device's capabilities cannot be read",
    152: "output device index out of range",
    153: "no preferred recording device",
    154: "the input device's capabilities cannot be read",
    155: "input device index out of range",
    201: "the input device does not accept the format",
    202: "not enough memory for record buffers",
    203: "the target file cannot be created or its header written",
    204: "the input device cannot be opened",
    205: "the input device cannot be started",
    206: "a recording or level test is already running",
    207: "empty target file name",
    250: "the mixer control cannot be found",
    251: "source index out of range",
    252: "no memory for the mixer settings",
    253: "the mixer settings cannot be read",
    254: "the mixer settings cannot be written",
    301: "a chunk of the new file could not be created or closed",
    302: "the selection is empty",
    303: "not enough free space in the temporary directory",
    304: "no memory for the copy block",
    305: "the undo copy could not be made",
    306: "the selection is empty",
    307: "the clip file does not exist",
    308: "the clip's format differs from the file's",
    310: "the file is playing",
    311: "cancelled",
    312: "the clip is empty",
    313: "a position lies beyond the end of the audio",
    314: "undo and redo are disabled",
    315: "the redo copy could not be made",
    316: "nothing to undo or redo",
    317: "the redo copy could not be written back",
    318: "the file is compressed",
    319: "the result could not be moved to its destination",
    320: "the selection is empty",
    321: "the selection is empty",
    322: "not an existing directory",
    323: "the result would pass the 4 GiB a WAVE file can hold",
    350: "the input cannot be opened",
    351: "the input is not a RIFF WAVE file",
    352: "the input has no format chunk",
    353: "the input's format record is too short",
    354: "the input is not PCM",
    355: "the input has no data chunk",
    356: "the input's data chunk is empty",
    357: "not enough memory",
    358: "the output cannot be created or written",
    359: "the two rates are not whole multiples of one another",
    360: "the file already has that format",
    361: "only mono or stereo of 8 or 16 bits can be changed",
    400: "no such codec or format tag",
    401: "the codec's largest format size cannot be had",
    402: "no memory for the destination format",
    403: "the codec's support flags cannot be had",
    404: "the codec cannot be opened",
    405: "the codec suggests no destination format",
    406: "no conversion stream can be opened",
    407: "the source cannot be opened",
    408: "the destination cannot be created",
    409: "the source is not a RIFF WAVE file",
    410: "the source has no data chunk",
    411: "the destination block size cannot be had",
    412: "no memory for the source block",
    413: "no memory for the destination block",
    414: "the stream header cannot be prepared",
    415: "the destination RIFF form cannot be created",
    416: "the destination format chunk cannot be created",
    417: "the destination format cannot be written",
    418: "the destination format chunk cannot be closed",
    419: "the fact chunk cannot be created",
    420: "the fact value cannot be written",
    421: "the fact chunk cannot be closed",
    422: "the destination data chunk cannot be created",
    423: "the source ended before its data size",
    424: "the MP3 frame has no bit rate",
    425: "converted bytes cannot be written",
    426: "the destination data chunk cannot be closed",
    427: "the destination RIFF form cannot be closed",
    429: "the source has no format chunk",
    430: "the source format cannot be read whole",
}

# The header's names of the codes, as module constants (ERR_CANNOT_OPEN_FILE = 102, ...).
OK = 0
ERR_NO_FILE_NAME = 100
ERR_CANNOT_OPEN_FILE = 102
ERR_NOT_PCM = 107
ERR_NO_DATA = 110
ERR_NO_MEMORY_FORMAT = 115
ERR_CANNOT_LOCK_FORMAT = 116
ERR_CANNOT_WRITE = 301
ERR_CUT_EMPTY_RANGE = 302
ERR_NO_DISK_SPACE = 303
ERR_NO_MEMORY = 304
ERR_UNDO_COPY = 305
ERR_COPY_EMPTY_RANGE = 306
ERR_NO_CLIP_FILE = 307
ERR_CLIP_FORMAT = 308
ERR_FILE_IS_PLAYING = 310
ERR_CANCELLED = 311
ERR_CLIP_EMPTY = 312
ERR_BEYOND_END = 313
ERR_UNDO_DISABLED = 314
ERR_REDO_COPY = 315
ERR_NOTHING_TO_UNDO = 316
ERR_REDO_WRITE_BACK = 317
ERR_FILE_COMPRESSED = 318
ERR_CANNOT_REPLACE = 319
ERR_EMPTY_RANGE = 320
ERR_CROP_EMPTY_RANGE = 321
ERR_BAD_TEMP_PATH = 322
ERR_PASSES_4GB = 323
FMT_ERR_CANNOT_OPEN_INPUT = 350
FMT_ERR_NOT_WAVE = 351
FMT_ERR_NO_FORMAT_CHUNK = 352
FMT_ERR_SHORT_FORMAT = 353
FMT_ERR_NOT_PCM = 354
FMT_ERR_NO_DATA_CHUNK = 355
FMT_ERR_EMPTY_DATA = 356
FMT_ERR_NO_MEMORY = 357
FMT_ERR_CANNOT_WRITE = 358
FMT_ERR_RATES_NOT_MULTIPLES = 359
FMT_ERR_NOTHING_TO_DO = 360
FMT_ERR_LAYOUT_NOT_HANDLED = 361
CONV_ERR_NO_CODEC = 400
CONV_ERR_NO_MAX_FORMAT_SIZE = 401
CONV_ERR_NO_MEMORY_FORMAT = 402
CONV_ERR_NO_SUPPORT_FLAGS = 403
CONV_ERR_CANNOT_OPEN_CODEC = 404
CONV_ERR_NO_SUGGESTION = 405
CONV_ERR_NO_STREAM = 406
CONV_ERR_SOURCE = 407
CONV_ERR_DESTINATION = 408
CONV_ERR_SOURCE_NOT_WAVE = 409
CONV_ERR_SOURCE_NO_DATA = 410
CONV_ERR_NO_BLOCK_SIZE = 411
CONV_ERR_NO_MEMORY_SOURCE = 412
CONV_ERR_NO_MEMORY_DESTINATION = 413
CONV_ERR_PREPARE = 414
CONV_ERR_CREATE_RIFF = 415
CONV_ERR_CREATE_FMT = 416
CONV_ERR_WRITE_FMT = 417
CONV_ERR_CLOSE_FMT = 418
CONV_ERR_CREATE_FACT = 419
CONV_ERR_WRITE_FACT = 420
CONV_ERR_CLOSE_FACT = 421
CONV_ERR_CREATE_DATA = 422
CONV_ERR_SOURCE_SHORT = 423
CONV_ERR_CONVERT = 424
CONV_ERR_WRITE_DATA = 425
CONV_ERR_CLOSE_DATA = 426
CONV_ERR_CLOSE_RIFF = 427
CONV_ERR_SOURCE_NO_FMT = 429
CONV_ERR_SOURCE_SHORT_FMT = 430


def result_text(code):
    """The meaning of a result code in words."""
    return RESULT_TEXT.get(code, "unknown result")


class QuillonError(Exception):
    """A call answered a result code other than 0."""

    def __init__(self, code, words=None, call=None):
        self.code = int(code)
        self.words = words if words is not None else result_text(self.code)
        self.call = call
        where = "%s: " % call if call else ""
        super().__init__("%s%d (%s)" % (where, self.code, self.words))


def _check(code, call):
    if code != 0:
        raise QuillonError(code, call=call)
    return code

# ---- Loading -----------------------------------------------------------------------------------


def _library_path():
    named = os.environ.get("QUILLON_LIBRARY")
    if named:
        return named
    base = "Quillon.dll" if _WINDOWS else "libquillon.so"
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), base)
    if os.path.exists(beside):
        return beside
    if _WINDOWS:
        return base
    import ctypes.util
    return ctypes.util.find_library("quillon") or base


def _load():
    path = _library_path()
    # WinDLL calls with __stdcall, the convention of the 32-bit DLL (a 64-bit process has one
    # convention only, and WinDLL serves it too).
    return ctypes.WinDLL(path) if _WINDOWS else ctypes.CDLL(path)


library = _load()

# ---- The exports, with their exact types -------------------------------------------------------

_u16, _u32, _int, _str = c_ushort, c_uint, c_int, c_char_p
_EDIT = POINTER(QUILLON_EDIT_HANDLE)
_CONV = POINTER(QUILLON_CONVERT_HANDLE)

# name: (result type, argument types)
_EXPORTS = {
    # Library frame.
    "SetTempPath": (_int, [_str]),
    # File information.
    "GetInputFileInfo": (_u16, [_str, POINTER(WAVEFORMATEX)]),
    "AudioGetFileInfo": (_u16, [POINTER(tQuillonFILEINFO), _str, _u16, _int]),
    "CanSetPositionAndSampleRate": (_int, [_str]),
    # Edits: (file, positions..., unit, &handle, isSyncOperation, ...).
    "AudioCut": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _str]),
    "AudioCopy": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int]),
    "AudioPaste": (_u16, [_str, _u32, _u16, _EDIT, _int]),
    "AudioPasteEx": (_u16, [_str, _u32, _u16, _EDIT, _int, _str, _str]),
    "AudioCutInFile": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _str, _str]),
    "AudioCopyInFile": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _str]),
    "AudioClear": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _str]),
    "AudioCrop": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _str]),
    "AudioEditMute": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _int, _str]),
    "AudioEditTrimSilence": (_u16, [_str, _u32, _u32, _u16, _EDIT, _int, _u16, _str]),
    "AudioInsertSilence": (_u16, [_str, _u32, _u16, _EDIT, _int, _u32, _str]),
    # Clip, undo and redo.
    "AudioEditCanPaste": (_int, []),
    "AudioFlushCutCopyPasteBuffer": (_u16, []),
    "AudioEditCanUndo": (_int, []),
    "AudioEditCanRedo": (_int, []),
    "AudioEditUndo": (_u16, []),
    "AudioEditRedo": (_u16, []),
    "AudioEditSetUndoRedo": (_u16, [_int]),
    # Job polling: edits and format changes.
    "AudioEditCancelPressed": (_u16, [QUILLON_EDIT_HANDLE]),
    "AudioEditProcessIsOver": (_int, [QUILLON_EDIT_HANDLE]),
    "AudioEditGetProcessProgress": (_u32, [QUILLON_EDIT_HANDLE]),
    "AudioEditGetReasonForProcessExit": (_u16, [QUILLON_EDIT_HANDLE]),
    "AudioEditCloseHandle": (_u16, [_EDIT]),
    # Job polling: codec conversions.
    "AudioConvertCancelPressed": (_u16, [QUILLON_CONVERT_HANDLE]),
    "AudioConvertProcessIsOver": (_int, [QUILLON_CONVERT_HANDLE]),
    "AudioConvertGetProcessProgress": (_u32, [QUILLON_CONVERT_HANDLE]),
    "AudioConvertGetReasonForProcessExit": (_u16, [QUILLON_CONVERT_HANDLE]),
    "AudioConvertCloseHandle": (_u16, [_CONV]),
    # PCM format change: (input, output, rate, bits, channels, &handle, isSyncOperation).
    "AudioChangeFormat": (_u16, [_str, _str, _u32, _u16, _u16, _EDIT, _int]),
    # Codec catalogue and conversion.
    "GetNumberOfCodec": (_u16, []),
    "GetCodecDescription": (_u16, [POINTER(tACMDRIVERINFO), _u16]),
    "GetCodecFormatTagDescription": (_u16, [POINTER(tACMCODECFORMATTAGINFO), _u16, _u16]),
    # Playback.
    "SetCallbackWindow": (None, [c_void_p]),
    "AudioLoadFile": (_u16, [_str]),
    "AudioPlayCurrentFile": (_u16, [_u32, _u16]),
    "AudioPlayWave": (_u16, [_str, _u32, _u16, _u32, _int, _u32]),
    "AudioStop": (_u16, []),
    "AudioPause": (_u16, []),
    "AudioResume": (_u16, []),
    "AudioGetPosition": (_u32, [_u16]),
    "AudioMoveTo": (_u16, [_u32, _u16]),
    "AudioPlayMP3": (_u16, [_str, _u32, _u16, _u32, _int, _u32]),
    "AudioIsTheSampleSpeedSupported": (_int, [_str, _u32]),
    "AudioConvert": (_u16, [_u16, _int, _str, _str, POINTER(WAVEFORMATEX), _int, _CONV, _int]),
}

# Every export, name -> (result type, argument types). On the 32-bit stack each argument takes
# one 4-byte slot, so 4 x the argument count is the call's __stdcall decoration (Name@bytes).
EXPORTS = dict(_EXPORTS)

for _name, (_restype, _argtypes) in _EXPORTS.items():
    _function = getattr(library, _name)
    _function.restype = _restype
    _function.argtypes = _argtypes
    globals()[_name] = _function
del _name, _restype, _argtypes, _function

# ---- The Pythonic layer ------------------------------------------------------------------------


def _name(path):
    """A file name as the library takes it: bytes in the file system's encoding (the ANSI code
    page on Windows); None stays None (a null pointer: "no name")."""
    if path is None:
        return None
    if isinstance(path, bytes):
        return path
    path = os.fspath(path)
    if isinstance(path, bytes):
        return path
    return path.encode("mbcs") if _WINDOWS else os.fsencode(path)


def set_temp_path(directory):
    """Move the library's temporary files to an existing directory (their contents, the clip
    and undo copies among them, are lost)."""
    _check(SetTempPath(_name(directory)), "SetTempPath")


def file_info(path, unit=TIME_MS):
    """The format and length of a PCM WAVE file: a tQuillonFILEINFO whose length is in `unit`
    (TIME_MS, TIME_SAMPLES or TIME_BYTES). Raises QuillonError (102 missing or unreadable, 107
    not PCM, 110 no audio data, ...)."""
    info = tQuillonFILEINFO()
    _check(AudioGetFileInfo(byref(info), _name(path), unit, 1), "AudioGetFileInfo")
    return info


def input_format(path):
    """The "fmt " record of a WAVE file, PCM or not (cbSize is left 0)."""
    fmt = WAVEFORMATEX()
    _check(GetInputFileInfo(_name(path), byref(fmt)), "GetInputFileInfo")
    return fmt


class Job:
    """A job handle of an edit, a format change (kind "edit") or a codec conversion (kind
    "convert"). As a context manager it closes the handle on the way out; a job still running
    then is cancelled and waited for first, so that the files are settled when the block ends.

    A cancelled edit or format change ends with reason 311; a cancelled conversion ends with 0
    and its destination file deleted."""

    _CALLS = {
        "edit": ("AudioEditProcessIsOver", "AudioEditGetProcessProgress", "AudioEditCancelPressed",
                 "AudioEditGetReasonForProcessExit", "AudioEditCloseHandle"),
        "convert": ("AudioConvertProcessIsOver", "AudioConvertGetProcessProgress",
                    "AudioConvertCancelPressed", "AudioConvertGetReasonForProcessExit",
                    "AudioConvertCloseHandle"),
    }

    def __init__(self, handle, kind="edit", call=None):
        if kind not in self._CALLS:
            raise ValueError("a job is an 'edit' or a 'convert' job")
        self.handle = handle
        self.kind = kind
        self.call = call
        self.cancel_requested = False
        over, progress, cancel, reason, close = (globals()[n] for n in self._CALLS[kind])
        self._over, self._progress, self._cancel, self._reason, self._close = \
            over, progress, cancel, reason, close

    @property
    def closed(self):
        return not self.handle

    def poll(self):
        """True when the job is over (a closed job counts as over)."""
        return bool(self._over(self.handle))

    @property
    def progress(self):
        """Progress, 0 to 100."""
        return int(self._progress(self.handle))

    def cancel(self):
        """Ask the job to stop; it ends at its next block."""
        self.cancel_requested = True
        self._cancel(self.handle)

    @property
    def reason(self):
        """The job's result code (meaningful once poll() answered True)."""
        return int(self._reason(self.handle))

    def wait(self, interval=0.01):
        """Poll until the job is over; return its result code."""
        while not self.poll():
            time.sleep(interval)
        return self.reason

    def check(self):
        """Wait for the end and raise QuillonError when the job failed."""
        _check(self.wait(), self.call or "job")

    def close(self):
        """Free the job record; the handle becomes null. Closing twice is harmless."""
        if self.handle:
            self._close(byref(self.handle))

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if self.handle:
            if not self.poll():
                self.cancel()
                self.wait()
            self.close()
        return False

    def __del__(self):
        # A forgotten handle: closing a running job makes the library cancel and free it.
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self):
        state = "closed" if self.closed else ("over" if self.poll() else "running")
        return "<quillon.Job %s %s %s>" % (self.kind, self.call or "", state)


def _run(call, args_before, args_after=(), asynchronous=False, kind="edit"):
    """Call an exported job starter: in this thread (raise on failure) or as a Job."""
    function = globals()[call]
    if kind == "edit":
        handle = QUILLON_EDIT_HANDLE()
    else:
        handle = QUILLON_CONVERT_HANDLE()
    code = function(*args_before, byref(handle), 0 if asynchronous else 1, *args_after)
    _check(code, call)
    if not asynchronous:
        return None
    if not handle:
        raise QuillonError(ERR_NO_MEMORY, "no job could be started", call)
    return Job(handle, kind, call)


def cut(path, start, end, unit=TIME_MS, dest=None, asynchronous=False):
    """Remove [start, end) into the clip file; the result goes to dest, else over path."""
    return _run("AudioCut", (_name(path), start, end, unit), (_name(dest),), asynchronous)


def copy(path, start, end, unit=TIME_MS, asynchronous=False):
    """Copy [start, end) into the clip file."""
    return _run("AudioCopy", (_name(path), start, end, unit), (), asynchronous)


def paste(path, at, unit=TIME_MS, asynchronous=False):
    """Insert the clip file at `at`."""
    return _run("AudioPaste", (_name(path), at, unit), (), asynchronous)


def paste_ex(path, at, unit=TIME_MS, clip=None, dest=None, asynchronous=False):
    """Insert the WAVE file `clip` (else the clip file) at `at`; the result goes to dest."""
    return _run("AudioPasteEx", (_name(path), at, unit), (_name(clip), _name(dest)), asynchronous)


def cut_in_file(path, start, end, clip, unit=TIME_MS, dest=None, asynchronous=False):
    """Cut [start, end) into the WAVE file `clip` instead of the clip file."""
    return _run("AudioCutInFile", (_name(path), start, end, unit), (_name(clip), _name(dest)),
                asynchronous)


def copy_in_file(path, start, end, clip, unit=TIME_MS, asynchronous=False):
    """Copy [start, end) into the WAVE file `clip`."""
    return _run("AudioCopyInFile", (_name(path), start, end, unit), (_name(clip),), asynchronous)


def clear(path, start, end, unit=TIME_MS, dest=None, asynchronous=False):
    """Remove [start, end); the clip file is not touched."""
    return _run("AudioClear", (_name(path), start, end, unit), (_name(dest),), asynchronous)


def crop(path, start, end, unit=TIME_MS, dest=None, asynchronous=False):
    """Keep only [start, end)."""
    return _run("AudioCrop", (_name(path), start, end, unit), (_name(dest),), asynchronous)


def mute(path, start, end, unit=TIME_MS, channels=CHANNEL_BOTH, dest=None, asynchronous=False):
    """Silence [start, end) in the channels of the mask (CHANNEL_LEFT, CHANNEL_RIGHT)."""
    return _run("AudioEditMute", (_name(path), start, end, unit), (channels, _name(dest)),
                asynchronous)


def trim_silence(path, start, end, unit=TIME_MS, threshold=100, dest=None, asynchronous=False):
    """Remove the quiet frames at both ends of [start, end); `threshold` is in hundredths of a
    percent of full scale (0 to 10000; 100 is 1 %)."""
    return _run("AudioEditTrimSilence", (_name(path), start, end, unit), (threshold, _name(dest)),
                asynchronous)


def insert_silence(path, at, length, unit=TIME_MS, dest=None, asynchronous=False):
    """Insert `length` (in `unit`) of silence at `at`."""
    return _run("AudioInsertSilence", (_name(path), at, unit), (length, _name(dest)), asynchronous)


def change_format(source, dest, rate, bits, channels, asynchronous=False):
    """Write dest as source at another rate (whole ratios), width (8, 16) or channel count
    (1, 2). A job of this kind is polled with the edit calls."""
    return _run("AudioChangeFormat", (_name(source), _name(dest), rate, bits, channels), (),
                asynchronous)


def convert(codec, tag, source, dest, wanted=None, override=False, asynchronous=False):
    """Convert the WAVE file source through the codec at position `codec`, format tag at
    position `tag` (below 0 or past the codec's tags: the codec suggests); `wanted`, a
    WAVEFORMATEX, is the destination format of a PCM tag."""
    wanted_ref = byref(wanted) if wanted is not None else None
    return _run("AudioConvert", (codec, tag, _name(source), _name(dest), wanted_ref,
                                 1 if override else 0), (), asynchronous, kind="convert")


def codecs():
    """The codec catalogue: a list of (tACMDRIVERINFO, [tACMCODECFORMATTAGINFO, ...])."""
    result = []
    for index in range(GetNumberOfCodec()):
        driver = tACMDRIVERINFO()
        _check(GetCodecDescription(byref(driver), index), "GetCodecDescription")
        tags = []
        for tag_index in range(driver.currentFormatTag):
            tag = tACMCODECFORMATTAGINFO()
            _check(GetCodecFormatTagDescription(byref(tag), index, tag_index),
                   "GetCodecFormatTagDescription")
            tags.append(tag)
        result.append((driver, tags))
    return result
