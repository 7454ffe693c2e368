// What the codec drivers of the POSIX compression manager share: the built-in driver tables,
// little-endian sample access, format checks and the glue that turns a stream class into the
// stream functions of a driver table.
#pragma once

#include "msacm32.h"

#include <cstdint>
#include <new>

namespace quillon::acm {

// The built-in drivers, in the order the manager enumerates them.
extern const tAcmDriverTable kImaAdpcmDriver;
extern const tAcmDriverTable kMsAdpcmDriver;
extern const tAcmDriverTable kG711Driver;
extern const tAcmDriverTable kMp3Driver;
extern const tAcmDriverTable kPcmDriver;

inline std::int16_t Read16(const BYTE* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}
inline void Write16(BYTE* p, int v) {
    p[0] = static_cast<BYTE>(v & 0xFF);
    p[1] = static_cast<BYTE>((v >> 8) & 0xFF);
}
inline int Clamp16(int v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

// A PCM format this system converts: tag 1, 1 or 2 channels, 8 or 16 bits, a rate, and a
// block align that matches. Only the first 16 bytes are read (cbSize is not PCM's).
inline bool IsUsablePcm(const WAVEFORMATEX* f, WORD bits = 0) {
    if (f->wFormatTag != WAVE_FORMAT_PCM) return false;
    if (f->nChannels < 1 || f->nChannels > 2 || f->nSamplesPerSec == 0) return false;
    if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16) return false;
    if (bits != 0 && f->wBitsPerSample != bits) return false;
    return f->nBlockAlign == f->nChannels * f->wBitsPerSample / 8;
}

// Fills the PCM fields that follow from channels, rate and width.
inline void CompletePcm(WAVEFORMATEX* f) {
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nBlockAlign = static_cast<WORD>(f->nChannels * f->wBitsPerSample / 8);
    f->nAvgBytesPerSec = f->nSamplesPerSec * f->nBlockAlign;
}

// A suggested 16-bit PCM destination of cb bytes: completed, with no extra bytes when the
// record has room for cbSize.
inline MMRESULT SuggestPcm16(WAVEFORMATEX* dst, DWORD cb) {
    if (dst->wBitsPerSample != 16) return ACMERR_NOTPOSSIBLE;
    CompletePcm(dst);
    if (cb >= sizeof(WAVEFORMATEX)) dst->cbSize = 0;
    return MMSYSERR_NOERROR;
}

// Applies the caller's fixed fields of a suggestion: what fdwSuggest names stays as the caller
// put it in dst, the rest is taken from the source. Returns the destination tag to aim for.
inline void TakeUnfixedFromSource(const WAVEFORMATEX* src, WAVEFORMATEX* dst, DWORD fdwSuggest) {
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS)) dst->nChannels = src->nChannels;
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC)) dst->nSamplesPerSec = src->nSamplesPerSec;
}

// A stream of one codec: how many bytes one side needs for the other, and one conversion
// call. Convert consumes and produces what it can; the flags are those of acmStreamConvert.
class CodecStream {
public:
    virtual ~CodecStream() = default;
    virtual MMRESULT Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) = 0;
    virtual MMRESULT Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst,
                             DWORD* pcbDstUsed, DWORD fdwConvert) = 0;
};

// A stream between 16-bit PCM and an ADPCM of fixed-size blocks. Whole blocks go through one at
// a time; with ACM_STREAMCONVERTF_END a short last piece of PCM is encoded padded with silence,
// and a truncated last block is decoded as far as its bytes go. A codec supplies the block work.
class AdpcmBlockStream : public CodecStream {
public:
    MMRESULT Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) override;
    MMRESULT Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst, DWORD* pcbDstUsed,
                     DWORD fdwConvert) override;

protected:
    AdpcmBlockStream(bool encode, DWORD channels, DWORD blockAlign, DWORD framesPerBlock)
        : encode_(encode), channels_(channels), blockAlign_(blockAlign), spb_(framesPerBlock),
          pcmBlock_(framesPerBlock * 2u * channels) {}

    // ACM_STREAMCONVERTF_START: the encoder starts afresh.
    virtual void Restart() = 0;
    // Encodes `frames` frames (at most a block; missing frames are silence) into one block.
    virtual void EncodeBlock(const BYTE* in, DWORD frames, BYTE* out) = 0;
    // Decodes the first `frames` frames of a block (all of them, or what a truncated block holds).
    virtual void DecodeFrames(const BYTE* in, DWORD frames, BYTE* out) const = 0;
    // The frames that the first `bytes` bytes of a block hold.
    virtual DWORD FramesIn(DWORD bytes) const = 0;

    const bool encode_;
    const DWORD channels_;
    const DWORD blockAlign_;
    const DWORD spb_;       // frames per block
    const DWORD pcmBlock_;  // PCM bytes of a block
};

// The stream functions of a driver table for streams made by a factory
// `CodecStream* Open(src, cbSrc, dst, cbDst, MMRESULT* result)`.
MMRESULT StreamSizeThunk(void* state, DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput);
MMRESULT StreamConvertThunk(void* state, const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst,
                            DWORD* pcbDstUsed, DWORD fdwConvert);
void StreamCloseThunk(void* state);

// Block counts for the size queries of block codecs: `units` whole units of `unit` bytes,
// rounded up (source side) or down (destination side).
inline DWORD BlocksUp(DWORD bytes, DWORD unit) { return unit ? bytes / unit + (bytes % unit ? 1 : 0) : 0; }

// Caps a 64-bit byte count to what a DWORD holds.
inline DWORD CapDword(std::uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(v); }

}  // namespace quillon::acm
