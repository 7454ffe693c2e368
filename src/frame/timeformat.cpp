// Conversions between the caller's position unit and byte offsets into the "data" chunk.
//
// The routines that take the playback format use exact integer arithmetic for milliseconds;
// the Ex routines use double arithmetic evaluated left to right and truncate toward zero to a
// 64-bit integer whose low 32 bits are the result. Callers depend on each rule as it stands.
#include "frame/utils.h"

#include <cmath>

namespace {

// Toward zero to 64 bits, low 32 bits kept. Values outside the 64-bit range (only reachable
// with a nonsense format) and NaN give 0 instead of undefined behaviour.
DWORD TruncateLow32(double v) {
    if (!(v > -9.2e18 && v < 9.2e18)) return 0;
    return static_cast<DWORD>(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
}

DWORD SamplesToBytes(DWORD p, const WAVEFORMATEX& f) {
    return TruncateLow32(static_cast<double>(p) * (f.wBitsPerSample / 8.0) * f.nChannels);
}

// Bytes to frames divides by the block align; a format without one has no frames: 0.
DWORD BytesToSamples(DWORD p, const WAVEFORMATEX& f) { return f.nBlockAlign ? p / f.nBlockAlign : 0; }

double BitRate(const WAVEFORMATEX& f) {
    const DWORD d = f.nSamplesPerSec * f.wBitsPerSample * f.nChannels;  // 32-bit product, as specified
    return static_cast<double>(d);
}

}  // namespace

DWORD ConvertFromTimeFormat(DWORD position, WORD timeFormatType) {
    const WAVEFORMATEX& f = playWaveFormatEx;
    if (timeFormatType == kTimeBytes) return position;
    if (timeFormatType == kTimeSamples) return SamplesToBytes(position, f);
    const DWORD bytesPerSecond = f.nSamplesPerSec * static_cast<DWORD>(f.wBitsPerSample / 8) * f.nChannels;
    return static_cast<DWORD>(static_cast<std::uint64_t>(position) * bytesPerSecond / 1000);
}

DWORD ConvertFromTimeFormatEx(DWORD position, WORD timeFormatType, const WAVEFORMATEX* pFormatToConsider) {
    const WAVEFORMATEX& f = *pFormatToConsider;
    if (timeFormatType == kTimeBytes) return position;
    if (timeFormatType == kTimeSamples) return SamplesToBytes(position, f);
    return TruncateLow32(static_cast<double>(position) * (f.nSamplesPerSec / 1000.0) * (f.wBitsPerSample / 8.0) *
                         f.nChannels);
}

DWORD ConvertToTimeFormat(DWORD position, WORD timeFormatType) {
    const WAVEFORMATEX& f = playWaveFormatEx;
    if (timeFormatType == kTimeBytes) return position;
    if (timeFormatType == kTimeSamples) return BytesToSamples(position, f);
    return TruncateLow32((static_cast<double>(position) / BitRate(f)) * 8000.0);
}

DWORD ConvertToTimeFormatEx(DWORD position, WORD timeFormatType, const WAVEFORMATEX* pFormatToConsider) {
    const WAVEFORMATEX& f = *pFormatToConsider;
    if (timeFormatType == kTimeBytes) return position;
    if (timeFormatType == kTimeSamples) return BytesToSamples(position, f);
    return TruncateLow32(((static_cast<double>(position) / BitRate(f)) * 8.0) * 1000.0);
}
