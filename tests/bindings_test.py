#!/usr/bin/env python3
"""The Python binding against the freshly built libquillon.so.

Runs natively on Linux only: it loads the shared library named by QUILLON_LIBRARY into this
Python process (ctest sets it, and preloads the AddressSanitizer runtime when the library was
built with it). The Windows DLL's calling convention is checked by the export check instead.

Every expected file is built here from the source bytes: the WAVE files are written byte by
byte, and an edit's expected result is the source's header block and slices of its data.
"""

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
os.makedirs(os.path.join(WORK, "tmp"))
os.makedirs(os.path.join(WORK, "log"))
os.environ["TMPDIR"] = os.path.join(WORK, "tmp")
os.environ["QUILLON_LOG_DIR"] = os.path.join(WORK, "log")

import quillon  # noqa: E402  (after the environment above)


# ---- WAVE files, byte by byte ------------------------------------------------------------------

def chunk(ident, payload):
    pad = b"\0" if len(payload) % 2 else b""
    return ident + struct.pack("<I", len(payload)) + payload + pad


def fmt_chunk(tag, channels, rate, bits):
    align = channels * bits // 8
    return chunk(b"fmt ", struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits))


def wave(before_data, data, after_data=b""):
    body = b"WAVE" + before_data + chunk(b"data", data) + after_data
    return b"RIFF" + struct.pack("<I", len(body)) + body


def counting(size):
    """Audio bytes that differ from their neighbours, so that a misplaced slice shows."""
    return bytes((i * 7 + (i >> 8) * 13 + 1) & 0xFF for i in range(size))


def counting_fast(size):
    unit = counting(65521)  # a prime length: no block of the library lines up with it
    return (unit * (size // len(unit) + 1))[:size]


def edited(source, data):
    """The file an edit writes: the source up to its data chunk header, a new data chunk."""
    at = source.index(b"data", 12)
    header_block = source[12:at]
    body = b"WAVE" + header_block + chunk(b"data", data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def data_of(source):
    at = source.index(b"data", 12)
    size = struct.unpack_from("<I", source, at + 4)[0]
    return source[at + 8:at + 8 + size]


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


class Declarations(BindingTest):
    def test_record_sizes_and_offsets(self):
        import ctypes
        self.assertEqual(ctypes.sizeof(quillon.tQuillonFILEINFO), 28)
        self.assertEqual(ctypes.sizeof(quillon.WAVEFORMATEX), 18)
        pointer = ctypes.sizeof(ctypes.c_void_p)
        self.assertEqual(ctypes.sizeof(quillon.tACMDRIVERINFO), 152 if pointer == 4 else 168)
        self.assertEqual(ctypes.sizeof(quillon.tACMCODECFORMATTAGINFO), 64 if pointer == 4 else 72)
        offsets = {name: getattr(quillon.tQuillonFILEINFO, name).offset
                   for name, _ in quillon.tQuillonFILEINFO._fields_}
        self.assertEqual(offsets, {"bitsPerSample": 0, "channels": 2, "length": 4,
                                   "samplesPerSec": 8, "wFormatTag": 12, "recSampleRate": 16,
                                   "recNumBits": 20, "recMode": 22, "recSource": 24})
        self.assertEqual(quillon.WAVEFORMATEX.cbSize.offset, 16)
        self.assertEqual(quillon.tACMCODECFORMATTAGINFO.formatTagDescription.offset, 12)
        self.assertEqual(quillon.tACMDRIVERINFO.formatDescription.offset, 8 + 2 * pointer)

    def test_every_export_of_the_table_is_declared_with_its_argument_count(self):
        # The table gives each export's argument bytes on the 32-bit stack: 4 per argument.
        table = {}
        with open(os.path.join(SOURCE_DIR, "src", "exports.tab")) as f:
            for line in f:
                words = line.split()
                if words and not words[0].startswith("#"):
                    table[words[0]] = int(words[1])
        self.assertEqual(sorted(quillon.EXPORTS), sorted(table))
        for name, (restype, argtypes) in quillon.EXPORTS.items():
            self.assertEqual(4 * len(argtypes), table[name], name)
            self.assertIs(getattr(quillon, name).restype, restype)

    def test_result_words(self):
        self.assertEqual(quillon.result_text(102),
                         "the file cannot be opened or is not a readable WAVE file")
        self.assertEqual(quillon.result_text(311), "cancelled")
        self.assertEqual(quillon.result_text(9999), "unknown result")
        # The binding speaks the words of the quillon host, code for code.
        with open(os.path.join(SOURCE_DIR, "cli", "result_text.cpp")) as f:
            host = {int(code): words
                    for code, words in re.findall(r'\{(\d+), "([^"]*)"\}', f.read())}
        self.assertEqual(quillon.RESULT_TEXT, host)

    def test_temp_path_that_is_no_directory(self):
        with self.assertRaises(quillon.QuillonError) as caught:
            quillon.set_temp_path(os.path.join(self.dir, "missing"))
        self.assertEqual(caught.exception.code, 322)
        self.assertEqual(caught.exception.words, "not an existing directory")


class FileInfo(BindingTest):
    def test_all_three_units(self):
        # 8000 Hz, 16 bits, stereo: 32000 bytes a second; 96400 bytes are 3.0125 s.
        data = counting(96400)
        list_chunk = chunk(b"LIST", b"INFOISFT\x05\0\0\0test\0")
        path = self.write("a.wav", wave(fmt_chunk(1, 2, 8000, 16) + list_chunk, data,
                                         chunk(b"junk", b"after")))
        for unit, length in ((quillon.TIME_BYTES, 96400), (quillon.TIME_SAMPLES, 24100),
                             (quillon.TIME_MS, 3012), (7, 3012)):
            info = quillon.file_info(path, unit)
            self.assertEqual((info.bitsPerSample, info.channels, info.samplesPerSec,
                              info.wFormatTag, info.length), (16, 2, 8000, 1, length), unit)

    def test_data_before_format_and_8_bit_mono(self):
        data = counting(11025 + 1)  # an odd size, padded
        body = b"WAVE" + chunk(b"data", data) + fmt_chunk(1, 1, 11025, 8)
        path = self.write("b.wav", b"RIFF" + struct.pack("<I", len(body)) + body)
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
        with self.assertRaises(quillon.QuillonError) as caught:
            quillon.file_info(missing)
        self.assertEqual(caught.exception.code, 102)
        self.assertEqual(caught.exception.words,
                         "the file cannot be opened or is not a readable WAVE file")
        self.assertIn("102", str(caught.exception))
        self.assertEqual(quillon.AudioGetFileInfo(quillon.tQuillonFILEINFO(), missing.encode(), 0, 1),
                         102)
        for content, code in ((wave(fmt_chunk(2, 1, 8000, 4), counting(100)), 107),
                              (wave(fmt_chunk(1, 1, 8000, 8), b""), 110),
                              (b"ID3" + bytes(200), 102)):
            path = self.write("bad.wav", content)
            with self.assertRaises(quillon.QuillonError) as caught:
                quillon.file_info(path)
            self.assertEqual(caught.exception.code, code)
            self.assertEqual(caught.exception.words, quillon.result_text(code))
        with self.assertRaises(quillon.QuillonError) as caught:
            quillon.file_info("")
        self.assertEqual(caught.exception.code, 100)
        self.assertEqual(quillon.CanSetPositionAndSampleRate(
            self.write("c.wav", wave(fmt_chunk(2, 1, 8000, 4), counting(100))).encode()), 0)


class Edits(BindingTest):
    def source(self, size):
        return wave(fmt_chunk(1, 2, 44100, 16) + chunk(b"LIST", b"INFOabc"), counting_fast(size),
                    chunk(b"cue ", bytes(12)))

    def test_synchronous_clear_and_crop(self):
        source = self.source(200000)
        data = data_of(source)
        path = self.write("a.wav", source)
        # Frames 1000 to 3000 of 4-byte frames are bytes 4000 to 12000.
        self.assertIsNone(quillon.clear(path, 1000, 3000, quillon.TIME_SAMPLES))
        self.assertEqual(self.read(path), edited(source, data[:4000] + data[12000:]))
        self.assertEqual(quillon.AudioEditCanUndo(), 1)
        self.assertEqual(quillon.AudioEditUndo(), 0)
        self.assertEqual(self.read(path), source)

        dest = os.path.join(self.dir, "out.wav")
        quillon.crop(path, 10, 20, quillon.TIME_MS, dest=dest)  # 1764 to 3528 bytes
        self.assertEqual(self.read(path), source)
        self.assertEqual(self.read(dest), edited(source, data[1764:3528]))

    def test_synchronous_errors(self):
        source = self.source(40000)
        path = self.write("a.wav", source)
        for call, code in ((lambda: quillon.clear(path, 100, 100, quillon.TIME_BYTES), 320),
                           (lambda: quillon.crop(path, 100, 100, quillon.TIME_BYTES), 321),
                           (lambda: quillon.clear(path, 0, 40004, quillon.TIME_BYTES), 313),
                           (lambda: quillon.clear(path + ".no", 0, 4, quillon.TIME_BYTES), 102)):
            with self.assertRaises(quillon.QuillonError) as caught:
                call()
            self.assertEqual(caught.exception.code, code)
            self.assertEqual(self.read(path), source)

    def test_job_polled_to_the_end(self):
        source = self.source(4 * 1024 * 1024)
        data = data_of(source)
        path = self.write("a.wav", source)
        seen = []
        with quillon.clear(path, 4000, 3000000, quillon.TIME_BYTES, asynchronous=True) as job:
            self.assertIsInstance(job, quillon.Job)
            while not job.poll():
                seen.append(job.progress)
            self.assertEqual(job.reason, 0)
            self.assertEqual(job.progress, 100)
            job.check()
        self.assertTrue(job.closed)
        self.assertTrue(job.poll(), "a closed handle answers over")
        self.assertEqual(job.reason, 0)
        self.assertTrue(all(0 <= p <= 100 for p in seen), seen)
        self.assertEqual(self.read(path), edited(source, data[:4000] + data[3000000:]))

    def test_job_that_fails_gives_its_reason(self):
        source = self.source(40000)
        path = self.write("a.wav", source)
        with quillon.insert_silence(path, 50000, 10, quillon.TIME_BYTES, asynchronous=True) as job:
            self.assertEqual(job.wait(), 313)
            with self.assertRaises(quillon.QuillonError) as caught:
                job.check()
            self.assertEqual(caught.exception.code, 313)
            self.assertEqual(caught.exception.words, "a position lies beyond the end of the audio")
        self.assertEqual(self.read(path), source)
        # A start that fails makes no job.
        with self.assertRaises(quillon.QuillonError) as caught:
            quillon.clear(path + ".no", 0, 4, asynchronous=True)
        self.assertEqual(caught.exception.code, 102)

    def test_cancelled_job_leaves_the_file(self):
        # Cancel is asked right after the start; a job that outran it must have written the
        # whole new version. At least one of the rounds has to end cancelled.
        source = self.source(16 * 1024 * 1024)
        data = data_of(source)
        done = edited(source, data[:4000] + data[9000000:])
        cancelled = 0
        for round_ in range(4):
            path = self.write("a.wav", source)
            with quillon.clear(path, 4000, 9000000, quillon.TIME_BYTES, asynchronous=True) as job:
                job.cancel()
                reason = job.wait()
            if reason == 311:
                cancelled += 1
                self.assertEqual(self.read(path), source)
                self.assertEqual(quillon.AudioEditCanUndo(), 0)
                break
            self.assertEqual(reason, 0)
            self.assertEqual(self.read(path), done)
        self.assertGreater(cancelled, 0, "no job was cancelled in time")

    def test_leaving_the_block_early_cancels_and_waits(self):
        source = self.source(16 * 1024 * 1024)
        data = data_of(source)
        path = self.write("a.wav", source)
        with quillon.crop(path, 400, 8000000, quillon.TIME_BYTES, asynchronous=True) as job:
            pass
        self.assertTrue(job.closed)
        now = self.read(path)
        self.assertTrue(now == source or now == edited(source, data[400:8000000]))


class Codecs(BindingTest):
    def test_catalogue_records(self):
        catalogue = quillon.codecs()
        self.assertGreater(len(catalogue), 0, "the Linux layer always has its own codecs")
        for index, (driver, tags) in enumerate(catalogue):
            self.assertEqual(driver.codecIndex, index)
            self.assertTrue(driver.formatDescription, index)
            self.assertFalse(driver.pFormatTagInfo, "the copy's pointers are 0")
            self.assertFalse(driver.next)
            self.assertLessEqual(driver.currentFormatTag, driver.cFormatTag)
            for tag_index, tag in enumerate(tags):
                self.assertEqual((tag.codecIndex, tag.formatTagIndex), (index, tag_index))
                self.assertTrue(tag.formatTagDescription)
                self.assertFalse(tag.next)
        driver = quillon.tACMDRIVERINFO()
        self.assertEqual(quillon.GetCodecDescription(driver, len(catalogue)), 400)
        tag = quillon.tACMCODECFORMATTAGINFO()
        self.assertEqual(quillon.GetCodecFormatTagDescription(tag, len(catalogue), 0), 400)
        # A tag position past the codec's tags answers with its first tag.
        first = next((i, tags[0]) for i, (_, tags) in enumerate(catalogue) if tags)
        self.assertEqual(quillon.GetCodecFormatTagDescription(tag, first[0], 60000), 0)
        self.assertEqual((tag.codecIndex, tag.formatTagIndex, tag.formatTag,
                          tag.formatTagDescription),
                         (first[0], 0, first[1].formatTag, first[1].formatTagDescription))

    def test_conversion_job_through_a_codec_that_is_not_there(self):
        source = self.write("a.wav", wave(fmt_chunk(1, 1, 8000, 16), counting(8000)))
        dest = os.path.join(self.dir, "out.wav")
        with quillon.convert(60000, 0, source, dest, asynchronous=True) as job:
            self.assertEqual(job.kind, "convert")
            self.assertEqual(job.wait(), 400)
        self.assertTrue(job.closed)
        self.assertFalse(os.path.exists(dest))
        with self.assertRaises(quillon.QuillonError) as caught:
            quillon.convert(60000, 0, source, dest)
        self.assertEqual(caught.exception.code, 400)
        self.assertEqual(caught.exception.words, "no such codec or format tag")


if __name__ == "__main__":
    try:
        unittest.main()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
