#!/usr/bin/env python3
"""The Python binding against the freshly built libquillon.so.

Runs natively on Linux only: it loads the shared library named by QUILLON_LIBRARY into this
Python process (ctest sets it, and preloads the AddressSanitizer runtime when the library was
built with it). The Windows DLL's calling convention is checked by the export check instead.

Every expected file is built here from the source bytes: the WAVE files are written byte by
byte, and an edit's expected result is the source's header block and slices of its data.
"""

import ctypes
import os
import re
import shutil
import struct
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "bindings", "python"))

if not sys.platform.startswith("linux"):
    print("skipped: the binding test loads the native Linux library")
    sys.exit(0)
if not os.environ.get("QUILLON_LIBRARY"):
    sys.exit("set QUILLON_LIBRARY to the libquillon.so to test")

# The library draws its temporary files at load and writes its log: keep both in a folder of
# this test, set before the library is loaded.
WORK = tempfile.mkdtemp(prefix="quillon-binding-")
for sub, variable in (("tmp", "TMPDIR"), ("log", "QUILLON_LOG_DIR")):
    os.makedirs(os.path.join(WORK, sub))
    os.environ[variable] = os.path.join(WORK, sub)

import quillon  # noqa: E402  (after the environment above)

MISSING_WORDS = "the file cannot be opened or is not a readable WAVE file"


# ---- WAVE files, byte by byte ------------------------------------------------------------------

def chunk(ident, payload):
    return ident + struct.pack("<I", len(payload)) + payload + b"\0" * (len(payload) % 2)


def fmt_chunk(tag, channels, rate, bits):
    align = channels * bits // 8
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits))


def riff(body):
    return b"RIFF" + struct.pack("<I", len(body) + 4) + b"WAVE" + body


def wave(before_data, data, after_data=b""):
    return riff(before_data + chunk(b"data", data) + after_data)


def counting(size):
    """Audio bytes that differ from their neighbours, so that a misplaced slice shows; repeated
    with a prime period (65521), which no block of the library lines up with."""
    unit = bytes((i * 7 + (i >> 8) * 13 + 1) & 0xFF for i in range(min(size, 65521)))
    return (unit * (size // len(unit) + 1))[:size] if size else b""


def edited(source, data):
    """The file an edit writes: the source up to its data chunk header, a new data chunk."""
    return riff(source[12:source.index(b"data", 12)] + chunk(b"data", data))


def data_of(source):
    at = source.index(b"data", 12)
    return source[at + 8:at + 8 + struct.unpack_from("<I", source, at + 4)[0]]


class BindingTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=WORK)
        quillon.set_temp_path(os.path.join(WORK, "tmp"))
        quillon.AudioEditSetUndoRedo(1)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def write(self, name, content):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def fails(self, code, call, *args, words=None, **kwargs):
        """The call raises QuillonError with this code, and the words of the code."""
        with self.assertRaises(quillon.QuillonError) as caught:
            call(*args, **kwargs)
        self.assertEqual(caught.exception.code, code)
        self.assertEqual(caught.exception.words, words or quillon.result_text(code))
        return caught.exception


class Declarations(BindingTest):
    def test_record_sizes_and_offsets(self):
        pointer = ctypes.sizeof(ctypes.c_void_p)
        self.assertEqual([ctypes.sizeof(r) for r in (quillon.tQuillonFILEINFO, quillon.WAVEFORMATEX,
                                                     quillon.tACMDRIVERINFO, quillon.tACMCODECFORMATTAGINFO)],
                         [28, 18, 152 if pointer == 4 else 168, 64 if pointer == 4 else 72])
        offsets = {name: getattr(quillon.tQuillonFILEINFO, name).offset
                   for name, _ in quillon.tQuillonFILEINFO._fields_}
        self.assertEqual(offsets, {"bitsPerSample": 0, "channels": 2, "length": 4,
                                   "samplesPerSec": 8, "wFormatTag": 12, "recSampleRate": 16,
                                   "recNumBits": 20, "recMode": 22, "recSource": 24})
        self.assertEqual((quillon.WAVEFORMATEX.cbSize.offset,
                          quillon.tACMCODECFORMATTAGINFO.formatTagDescription.offset,
                          quillon.tACMDRIVERINFO.formatDescription.offset), (16, 12, 8 + 2 * pointer))

    def test_every_export_of_the_table_is_declared_with_its_argument_count(self):
        # The table gives each export's argument bytes on the 32-bit stack: 4 per argument.
        with open(os.path.join(SOURCE_DIR, "src", "exports.tab")) as f:
            table = {w[0]: int(w[1]) for w in map(str.split, f) if w and not w[0].startswith("#")}
        self.assertEqual(sorted(quillon.EXPORTS), sorted(table))
        for name, (restype, argtypes) in quillon.EXPORTS.items():
            self.assertEqual(4 * len(argtypes), table[name], name)
            self.assertIs(getattr(quillon, name).restype, restype)

    def test_result_words(self):
        self.assertEqual([quillon.result_text(c) for c in (102, 311, 9999)],
                         [MISSING_WORDS, "cancelled", "unknown result"])
        # The binding speaks the words of the quillon host, code for code.
        with open(os.path.join(SOURCE_DIR, "cli", "result_text.cpp")) as f:
            host = {int(code): words for code, words in re.findall(r'\{(\d+), "([^"]*)"\}', f.read())}
        self.assertEqual(quillon.RESULT_TEXT, host)

    def test_temp_path_that_is_no_directory(self):
        self.fails(322, quillon.set_temp_path, os.path.join(self.dir, "missing"),
                   words="not an existing directory")


class FileInfo(BindingTest):
    def test_all_three_units(self):
        # 8000 Hz, 16 bits, stereo: 32000 bytes a second; 96400 bytes are 3.0125 s.
        list_chunk = chunk(b"LIST", b"INFOISFT\x05\0\0\0test\0")
        path = self.write("a.wav", wave(fmt_chunk(1, 2, 8000, 16) + list_chunk, counting(96400),
                                         chunk(b"junk", b"after")))
        for unit, length in ((quillon.TIME_BYTES, 96400), (quillon.TIME_SAMPLES, 24100),
                             (quillon.TIME_MS, 3012), (7, 3012)):
            info = quillon.file_info(path, unit)
            self.assertEqual((info.bitsPerSample, info.channels, info.samplesPerSec,
                              info.wFormatTag, info.length), (16, 2, 8000, 1, length), unit)

    def test_data_before_format_and_8_bit_mono(self):
        # An odd data size, padded.
        path = self.write("b.wav", riff(chunk(b"data", counting(11026)) + fmt_chunk(1, 1, 11025, 8)))
        info = quillon.file_info(path, quillon.TIME_SAMPLES)
        self.assertEqual((info.bitsPerSample, info.channels, info.samplesPerSec, info.length),
                         (8, 1, 11025, 11026))
        fmt = quillon.input_format(path)
        self.assertEqual((fmt.wFormatTag, fmt.nChannels, fmt.nSamplesPerSec, fmt.nAvgBytesPerSec,
                          fmt.nBlockAlign, fmt.wBitsPerSample), (1, 1, 11025, 11025, 1, 8))

    def test_recording_fields_without_a_recording(self):
        info = quillon.tQuillonFILEINFO(recSampleRate=1, recNumBits=2, recMode=3, recSource=4,
                                        length=77)
        self.assertEqual(quillon.AudioGetFileInfo(info, None, 0, 0), 0)
        self.assertEqual((info.recSampleRate, info.recNumBits, info.recMode, info.recSource,
                          info.length), (0, 0, 0, 4, 77))

    def test_errors(self):
        missing = os.path.join(self.dir, "missing.wav")
        self.assertIn("102", str(self.fails(102, quillon.file_info, missing, words=MISSING_WORDS)))
        self.assertEqual(quillon.AudioGetFileInfo(quillon.tQuillonFILEINFO(), missing.encode(), 0, 1), 102)
        adpcm = wave(fmt_chunk(2, 1, 8000, 4), counting(100))
        for content, code in ((adpcm, 107), (wave(fmt_chunk(1, 1, 8000, 8), b""), 110),
                              (b"ID3" + bytes(200), 102)):
            self.fails(code, quillon.file_info, self.write("bad.wav", content))
        self.fails(100, quillon.file_info, "")
        self.assertEqual(quillon.CanSetPositionAndSampleRate(self.write("c.wav", adpcm).encode()), 0)


class Edits(BindingTest):
    def source(self, size):
        return wave(fmt_chunk(1, 2, 44100, 16) + chunk(b"LIST", b"INFOabc"), counting(size),
                    chunk(b"cue ", bytes(12)))

    def test_synchronous_clear_and_crop(self):
        source = self.source(200000)
        data = data_of(source)
        path = self.write("a.wav", source)
        # Frames 1000 to 3000 of 4-byte frames are bytes 4000 to 12000.
        self.assertIsNone(quillon.clear(path, 1000, 3000, quillon.TIME_SAMPLES))
        self.assertEqual(self.read(path), edited(source, data[:4000] + data[12000:]))
        self.assertEqual((quillon.AudioEditCanUndo(), quillon.AudioEditUndo()), (1, 0))
        self.assertEqual(self.read(path), source)

        dest = os.path.join(self.dir, "out.wav")
        quillon.crop(path, 10, 20, quillon.TIME_MS, dest=dest)  # 1764 to 3528 bytes
        self.assertEqual(self.read(path), source)
        self.assertEqual(self.read(dest), edited(source, data[1764:3528]))

    def test_synchronous_errors(self):
        source = self.source(40000)
        path = self.write("a.wav", source)
        for call, args, code in ((quillon.clear, (path, 100, 100), 320), (quillon.crop, (path, 100, 100), 321),
                                 (quillon.clear, (path, 0, 40004), 313), (quillon.clear, (path + ".no", 0, 4), 102)):
            self.fails(code, call, *args, quillon.TIME_BYTES)
            self.assertEqual(self.read(path), source)

    def test_job_polled_to_the_end(self):
        source = self.source(4 * 1024 * 1024)
        path = self.write("a.wav", source)
        seen = []
        with quillon.clear(path, 4000, 3000000, quillon.TIME_BYTES, asynchronous=True) as job:
            self.assertIsInstance(job, quillon.Job)
            while not job.poll():
                seen.append(job.progress)
            self.assertEqual((job.reason, job.progress), (0, 100))
            job.check()
        self.assertTrue(job.closed)
        self.assertTrue(job.poll(), "a closed handle answers over")
        self.assertEqual(job.reason, 0)
        self.assertTrue(all(0 <= p <= 100 for p in seen), seen)
        data = data_of(source)
        self.assertEqual(self.read(path), edited(source, data[:4000] + data[3000000:]))

    def test_job_that_fails_gives_its_reason(self):
        source = self.source(40000)
        path = self.write("a.wav", source)
        with quillon.insert_silence(path, 50000, 10, quillon.TIME_BYTES, asynchronous=True) as job:
            self.assertEqual(job.wait(), 313)
            self.fails(313, job.check, words="a position lies beyond the end of the audio")
        self.assertEqual(self.read(path), source)
        self.fails(102, quillon.clear, path + ".no", 0, 4, asynchronous=True)  # a failed start makes no job

    def test_cancelled_job_and_a_block_left_early(self):
        # Cancel is asked right after the start; a job that outran it must have written the
        # whole new version. At least one of the rounds has to end cancelled.
        source = self.source(16 * 1024 * 1024)
        data = data_of(source)
        done = edited(source, data[:4000] + data[9000000:])
        for _ in range(4):
            path = self.write("a.wav", source)
            with quillon.clear(path, 4000, 9000000, quillon.TIME_BYTES, asynchronous=True) as job:
                job.cancel()
                reason = job.wait()
            if reason == 311:
                self.assertEqual(self.read(path), source)
                self.assertEqual(quillon.AudioEditCanUndo(), 0)
                break
            self.assertEqual((reason, self.read(path)), (0, done))
        else:
            self.fail("no job was cancelled in time")
        # Leaving the block early cancels the job and waits for it.
        with quillon.crop(path, 400, 8000000, quillon.TIME_BYTES, asynchronous=True) as job:
            pass
        self.assertTrue(job.closed)
        self.assertIn(self.read(path), (source, edited(source, data[400:8000000])))


class Codecs(BindingTest):
    def test_catalogue_records(self):
        catalogue = quillon.codecs()
        self.assertGreater(len(catalogue), 0, "the Linux layer always has its own codecs")
        for index, (driver, tags) in enumerate(catalogue):
            self.assertEqual(driver.codecIndex, index)
            self.assertTrue(driver.formatDescription, index)
            self.assertFalse(driver.pFormatTagInfo or driver.next, "the copy's pointers are 0")
            self.assertLessEqual(driver.currentFormatTag, driver.cFormatTag)
            for tag_index, tag in enumerate(tags):
                self.assertEqual((tag.codecIndex, tag.formatTagIndex), (index, tag_index))
                self.assertTrue(tag.formatTagDescription)
                self.assertFalse(tag.next)
        tag = quillon.tACMCODECFORMATTAGINFO()
        self.assertEqual((quillon.GetCodecDescription(quillon.tACMDRIVERINFO(), len(catalogue)),
                          quillon.GetCodecFormatTagDescription(tag, len(catalogue), 0)), (400, 400))
        # A tag position past the codec's tags answers with its first tag.
        index, first = next((i, tags[0]) for i, (_, tags) in enumerate(catalogue) if tags)
        self.assertEqual(quillon.GetCodecFormatTagDescription(tag, index, 60000), 0)
        self.assertEqual((tag.codecIndex, tag.formatTagIndex, tag.formatTag, tag.formatTagDescription),
                         (index, 0, first.formatTag, first.formatTagDescription))

    def test_conversion_job_through_a_codec_that_is_not_there(self):
        source = self.write("a.wav", wave(fmt_chunk(1, 1, 8000, 16), counting(8000)))
        dest = os.path.join(self.dir, "out.wav")
        with quillon.convert(60000, 0, source, dest, asynchronous=True) as job:
            self.assertEqual((job.kind, job.wait()), ("convert", 400))
        self.assertTrue(job.closed)
        self.assertFalse(os.path.exists(dest))
        self.fails(400, quillon.convert, 60000, 0, source, dest, words="no such codec or format tag")


if __name__ == "__main__":
    try:
        unittest.main()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
