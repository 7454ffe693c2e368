// The PCM converter driver: 8 and 16 bits, mono and stereo, any sampling rate.
//
// A frame is read into the 16-bit domain (8-bit unsigned b becomes (b - 128) << 8), changed
// in channel count (mono to stereo copies the sample; stereo to mono adds the two channels,
// clamped) and written in the destination width (16 to 8 bits keeps the high byte).
// A rate change repeats or drops whole frames: an error term starts at half the source rate,
// grows by the destination rate for each source frame and emits one destination frame for
// each source rate it exceeds. The term carries over from one conversion call to the next,
// so block boundaries do not show.
#include "acm_codec.h"

#include <cstring>

namespace quillon::acm {
namespace {

struct Frame {
    int left;
    int right;
};

// Readers by [16-bit][stereo], writers by [16-bit][stereo]; a writer gets the source's
// channel count to decide how to fold or spread.
using ReadFrame = Frame (*)(const BYTE* p);
using WriteFrame = void (*)(BYTE* p, Frame f, bool srcStereo);

int From8(BYTE b) { return (static_cast<int>(b) - 128) * 256; }
BYTE To8(int s) { return static_cast<BYTE>(((s >> 8) & 0xFF) ^ 0x80); }
int Mono(Frame f, bool srcStereo) { return srcStereo ? Clamp16(f.left + f.right) : f.left; }

const ReadFrame kReaders[2][2] = {
    {[](const BYTE* p) { return Frame{From8(p[0]), From8(p[0])}; },
     [](const BYTE* p) { return Frame{From8(p[0]), From8(p[1])}; }},
    {[](const BYTE* p) { return Frame{Read16(p), Read16(p)}; },
     [](const BYTE* p) { return Frame{Read16(p), Read16(p + 2)}; }},
};

const WriteFrame kWriters[2][2] = {
    {[](BYTE* p, Frame f, bool s) { p[0] = To8(Mono(f, s)); },
     [](BYTE* p, Frame f, bool) {
         p[0] = To8(f.left);
         p[1] = To8(f.right);
     }},
    {[](BYTE* p, Frame f, bool s) { Write16(p, Mono(f, s)); },
     [](BYTE* p, Frame f, bool) {
         Write16(p, f.left);
         Write16(p + 2, f.right);
     }},
};

class PcmStream : public CodecStream {
public:
    PcmStream(const WAVEFORMATEX& src, const WAVEFORMATEX& dst)
        : src_(src), dst_(dst), read_(kReaders[src.wBitsPerSample == 16][src.nChannels == 2]),
          write_(kWriters[dst.wBitsPerSample == 16][dst.nChannels == 2]), error_(src.nSamplesPerSec / 2) {}

    MMRESULT Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) override {
        const WAVEFORMATEX& from = fdwSize == ACM_STREAMSIZEF_SOURCE ? src_ : dst_;
        const WAVEFORMATEX& to = fdwSize == ACM_STREAMSIZEF_SOURCE ? dst_ : src_;
        const std::uint64_t frames = cbInput / from.nBlockAlign;
        const std::uint64_t out =
            (frames * to.nSamplesPerSec + from.nSamplesPerSec - 1) / from.nSamplesPerSec;
        *pcbOutput = CapDword(out * to.nBlockAlign);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst, DWORD* pcbDstUsed,
                     DWORD) override {
        const DWORD inFrames = cbSrc / src_.nBlockAlign;
        const DWORD outFrames = cbDst / dst_.nBlockAlign;
        const bool srcStereo = src_.nChannels == 2;
        DWORD in = 0, out = 0;
        if (src_.nSamplesPerSec == dst_.nSamplesPerSec) {
            for (; in < inFrames && in < outFrames; ++in, ++out)
                write_(dst + out * dst_.nBlockAlign, read_(src + in * src_.nBlockAlign), srcStereo);
        } else {
            const std::uint64_t srcRate = src_.nSamplesPerSec, dstRate = dst_.nSamplesPerSec;
            for (; in < inFrames; ++in) {
                std::uint64_t error = error_ + dstRate;
                DWORD emit = 0;
                if (error > srcRate) {
                    emit = static_cast<DWORD>((error - 1) / srcRate);
                    error -= static_cast<std::uint64_t>(emit) * srcRate;
                }
                if (emit > outFrames - out) break;  // this frame's output does not fit: keep it
                const Frame f = read_(src + in * src_.nBlockAlign);
                for (DWORD k = 0; k < emit; ++k, ++out) write_(dst + out * dst_.nBlockAlign, f, srcStereo);
                error_ = error;
            }
        }
        *pcbSrcUsed = in * src_.nBlockAlign;
        *pcbDstUsed = out * dst_.nBlockAlign;
        return MMSYSERR_NOERROR;
    }

private:
    WAVEFORMATEX src_, dst_;
    ReadFrame read_;
    WriteFrame write_;
    std::uint64_t error_;
};

MMRESULT Suggest(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest) {
    if (cbSrc < 16 || cbDst < 16 || !IsUsablePcm(src)) return ACMERR_NOTPOSSIBLE;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && dst->wFormatTag != WAVE_FORMAT_PCM)
        return ACMERR_NOTPOSSIBLE;
    TakeUnfixedFromSource(src, dst, fdwSuggest);
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) dst->wBitsPerSample = src->wBitsPerSample;
    dst->wFormatTag = WAVE_FORMAT_PCM;
    CompletePcm(dst);
    if (!IsUsablePcm(dst)) return ACMERR_NOTPOSSIBLE;
    if (cbDst >= sizeof(WAVEFORMATEX)) dst->cbSize = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT Open(const WAVEFORMATEX* src, DWORD, const WAVEFORMATEX* dst, DWORD, void** state) {
    if (!IsUsablePcm(src) || !IsUsablePcm(dst)) return ACMERR_NOTPOSSIBLE;
    auto* s = new (std::nothrow) PcmStream(*src, *dst);
    if (!s) return MMSYSERR_NOMEM;
    *state = s;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {{WAVE_FORMAT_PCM, 16, 24, "PCM"}};

}  // namespace

extern const tAcmDriverTable kPcmDriver = {
    "PCM",  "Quillon PCM converter", ACMDRIVERDETAILS_SUPPORTF_CONVERTER, 1, kTags, 1, nullptr, Suggest, Open,
    StreamSizeThunk, StreamConvertThunk, StreamCloseThunk,
};

}  // namespace quillon::acm
