// Helpers for the compression-manager and codec tests: formats as byte records, a conversion
// loop shaped like the library's (64 KiB blocks, remainders carried over, a second call with
// ACM_STREAMCONVERTF_END when a block gives nothing), test signals, SNR and fingerprints.
// Files, scratch folders and child processes come from test_util.h.
#pragma once

#include "test_util.h"

namespace acmtest {

using Bytes = std::vector<std::uint8_t>;

// The two worlds differ in what their codecs can do: Wine's MS ADPCM converter decodes only,
// and Wine's codecs accept damaged formats at opening that ours refuse.
#ifdef _WIN32
constexpr bool kMsAdpcmEncoderPresent = false;
constexpr bool kRefusesDamagedFormats = false;
#else
constexpr bool kMsAdpcmEncoderPresent = true;
constexpr bool kRefusesDamagedFormats = true;
#endif

// A format record of any size, kept as bytes.
struct Format {
    Bytes bytes;
    // Not const: the compression manager's calls take writable records even for what they read.
    WAVEFORMATEX* wfx() const { return reinterpret_cast<WAVEFORMATEX*>(const_cast<std::uint8_t*>(bytes.data())); }
    DWORD size() const { return static_cast<DWORD>(bytes.size()); }
};

Format Pcm(WORD channels, DWORD rate, WORD bits);
Format Mp3(WORD channels, DWORD rate, DWORD kbps);

// The format a driver (or the manager, had null) suggests for src with the destination tag
// fixed; the result code goes to *res.
Format Suggest(HACMDRIVER had, const Format& src, WORD tag, MMRESULT* res);
// The format any driver suggests for 16-bit PCM of the given channels and rate, with the tag fixed.
Format Coded(WORD tag, WORD channels, DWORD rate);

// A-law or mu-law at 8 kHz.
Format Law(WORD tag, WORD channels = 1);
// An MS ADPCM format with the standard coefficients, and blocks of it with small nibbles.
Format MsAdpcm(WORD channels, DWORD rate, WORD blockAlign);
Bytes MsAdpcmBlocks(WORD channels, WORD blockAlign, int blocks);

// Runs `in` through a stream from src to dst (driver had, or any driver when null) the way the
// library's conversion loop does. Returns the first failing result, or 0 with *out filled.
MMRESULT ConvertAll(HACMDRIVER had, const Format& src, const Format& dst, const Bytes& in, Bytes* out,
                    DWORD block = 65536);

// 16-bit test signals: a chord of sines with a slow sweep and a little noise, distinct per
// channel, at about -6 dBFS; deterministic.
Bytes Signal16(WORD channels, DWORD rate, DWORD frames);
std::vector<std::int16_t> Samples16(const Bytes& b);
double SnrDb(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& test);
int MaxAbsDiff(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b);
std::uint32_t Fnv1a(const Bytes& b);

// The "fmt " record and the data of a WAVE file (false when either is missing).
bool ParseWave(const Bytes& file, Format* fmt, Bytes* data);

// The HACMDRIVERID of the first enabled driver that lists `tag`.
HACMDRIVERID FindDriverFor(WORD tag);

#ifndef _WIN32
// Fake drivers installed through the Linux compression manager's seam for the life of a scope.
// At its end they are removed (which fails for one left open) and the built-in drivers shown.
struct FakeDrivers {
    std::vector<HACMDRIVERID> ids;
    HACMDRIVERID Add(const tAcmDriverTable* table, bool atEnd = false);
    ~FakeDrivers();
};
// A driver table with a name, support flags and tags, and no functions.
tAcmDriverTable FakeTable(const char* name, DWORD support, const tAcmFormatTagInfo* tags, DWORD declaredTags = 2);
#endif

}  // namespace acmtest
