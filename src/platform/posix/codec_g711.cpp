// The G.711 driver: 16-bit PCM to 8-bit A-law or mu-law and back, and A-law to mu-law and
// back (through the linear value), mono or stereo, one byte per sample.
//
// The companding follows ITU-T G.711. A-law works on the 13 high bits of a sample, mu-law on
// the 14 high bits with a bias of 33 (132 in 16-bit terms), both in eight segments of 16 steps:
//   A-law byte:  s eee mmmm, sign 1 for positive, then XOR 0x55
//   mu-law byte: s eee mmmm, sign 1 for positive, all bits inverted
// Encoding truncates towards the segment's step below, as the reference code does.
#include "acm_codec.h"

#include <algorithm>

namespace quillon::acm {
namespace {

int AlawToLinear(BYTE a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    if (seg == 0) t += 8;
    else t = (t + 0x108) << (seg - 1);
    return (a & 0x80) ? t : -t;
}

int MulawToLinear(BYTE u) {
    u = static_cast<BYTE>(~u);
    int t = ((u & 0x0F) << 3) + 0x84;
    t <<= (u & 0x70) >> 4;
    return (u & 0x80) ? (0x84 - t) : (t - 0x84);
}

BYTE LinearToAlaw(int pcm) {
    static const int kSegEnd[8] = {0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF};
    int v = pcm >> 3;
    int mask = 0xD5;
    if (v < 0) {
        mask = 0x55;
        v = -v - 1;
    }
    int seg = 0;
    while (seg < 8 && v > kSegEnd[seg]) ++seg;
    if (seg >= 8) return static_cast<BYTE>(0x7F ^ mask);
    int a = seg << 4;
    a |= seg < 2 ? (v >> 1) & 0x0F : (v >> seg) & 0x0F;
    return static_cast<BYTE>(a ^ mask);
}

BYTE LinearToMulaw(int pcm) {
    static const int kSegEnd[8] = {0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF, 0x1FFF};
    int v = pcm >> 2;
    int mask = 0xFF;
    if (v < 0) {
        v = -v;
        mask = 0x7F;
    }
    if (v > 8159) v = 8159;
    v += 0x84 >> 2;
    int seg = 0;
    while (seg < 8 && v > kSegEnd[seg]) ++seg;
    if (seg >= 8) return static_cast<BYTE>(0x7F ^ mask);
    return static_cast<BYTE>(((seg << 4) | ((v >> (seg + 1)) & 0x0F)) ^ mask);
}

// Lookup tables, built once: 256 linear values per law, one code per 16-bit sample per law.
struct Tables {
    std::int16_t toLinear[2][256];
    BYTE fromLinear[2][65536];
    Tables() {
        for (int i = 0; i < 256; ++i) {
            toLinear[0][i] = static_cast<std::int16_t>(AlawToLinear(static_cast<BYTE>(i)));
            toLinear[1][i] = static_cast<std::int16_t>(MulawToLinear(static_cast<BYTE>(i)));
        }
        for (int s = -32768; s <= 32767; ++s) {
            fromLinear[0][s & 0xFFFF] = LinearToAlaw(s);
            fromLinear[1][s & 0xFFFF] = LinearToMulaw(s);
        }
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

bool IsLaw(WORD tag) { return tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW; }
int LawIndex(WORD tag) { return tag == WAVE_FORMAT_MULAW ? 1 : 0; }

bool IsUsableLaw(const WAVEFORMATEX* f) {
    return IsLaw(f->wFormatTag) && f->nChannels >= 1 && f->nChannels <= 2 && f->wBitsPerSample == 8 &&
           f->nBlockAlign == f->nChannels && f->nSamplesPerSec != 0;
}

bool IsUsable(const WAVEFORMATEX* f) { return IsUsablePcm(f, 16) || IsUsableLaw(f); }

class G711Stream : public CodecStream {
public:
    G711Stream(const WAVEFORMATEX& src, const WAVEFORMATEX& dst)
        : srcTag_(src.wFormatTag), dstTag_(dst.wFormatTag), inBytes_(src.wFormatTag == WAVE_FORMAT_PCM ? 2 : 1),
          outBytes_(dst.wFormatTag == WAVE_FORMAT_PCM ? 2 : 1), channels_(src.nChannels) {}

    MMRESULT Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) override {
        const DWORD from = (fdwSize == ACM_STREAMSIZEF_SOURCE ? inBytes_ : outBytes_) * channels_;
        const DWORD to = (fdwSize == ACM_STREAMSIZEF_SOURCE ? outBytes_ : inBytes_) * channels_;
        *pcbOutput = CapDword(static_cast<std::uint64_t>(cbInput / from) * to);
        return MMSYSERR_NOERROR;
    }

    MMRESULT Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst, DWORD* pcbDstUsed,
                     DWORD) override {
        const Tables& t = T();
        const DWORD frames = std::min(cbSrc / (inBytes_ * channels_), cbDst / (outBytes_ * channels_));
        const DWORD samples = frames * channels_;
        for (DWORD i = 0; i < samples; ++i) {
            const int linear = srcTag_ == WAVE_FORMAT_PCM ? Read16(src + 2 * i) : t.toLinear[LawIndex(srcTag_)][src[i]];
            if (dstTag_ == WAVE_FORMAT_PCM) Write16(dst + 2 * i, linear);
            else dst[i] = t.fromLinear[LawIndex(dstTag_)][linear & 0xFFFF];
        }
        *pcbSrcUsed = samples * inBytes_;
        *pcbDstUsed = samples * outBytes_;
        return MMSYSERR_NOERROR;
    }

private:
    WORD srcTag_, dstTag_;
    DWORD inBytes_, outBytes_, channels_;
};

MMRESULT Suggest(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest) {
    if (cbSrc < 16 || cbDst < 16 || !IsUsable(src)) return ACMERR_NOTPOSSIBLE;
    WORD tag = src->wFormatTag == WAVE_FORMAT_PCM ? WAVE_FORMAT_ALAW : WAVE_FORMAT_PCM;
    if (fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) {
        tag = dst->wFormatTag;
        if (tag == src->wFormatTag || (tag != WAVE_FORMAT_PCM && !IsLaw(tag))) return ACMERR_NOTPOSSIBLE;
    }
    TakeUnfixedFromSource(src, dst, fdwSuggest);
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) dst->wBitsPerSample = tag == WAVE_FORMAT_PCM ? 16 : 8;
    dst->wFormatTag = tag;
    if (dst->nChannels < 1 || dst->nChannels > 2 || dst->nSamplesPerSec == 0) return ACMERR_NOTPOSSIBLE;
    if (tag == WAVE_FORMAT_PCM) {
        CompletePcm(dst);
    } else {
        dst->nBlockAlign = dst->nChannels;
        dst->nAvgBytesPerSec = dst->nSamplesPerSec * dst->nChannels;
    }
    if (!IsUsable(dst)) return ACMERR_NOTPOSSIBLE;
    if (cbDst >= sizeof(WAVEFORMATEX)) dst->cbSize = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT Open(const WAVEFORMATEX* src, DWORD, const WAVEFORMATEX* dst, DWORD, void** state) {
    if (!IsUsable(src) || !IsUsable(dst) || src->wFormatTag == dst->wFormatTag) return ACMERR_NOTPOSSIBLE;
    if (src->nChannels != dst->nChannels || src->nSamplesPerSec != dst->nSamplesPerSec) return ACMERR_NOTPOSSIBLE;
    auto* s = new (std::nothrow) G711Stream(*src, *dst);
    if (!s) return MMSYSERR_NOMEM;
    *state = s;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {
    {WAVE_FORMAT_PCM, 16, 8, "PCM"},
    {WAVE_FORMAT_ALAW, sizeof(WAVEFORMATEX), 4, "A-Law"},
    {WAVE_FORMAT_MULAW, sizeof(WAVEFORMATEX), 4, "mu-Law"},
};

}  // namespace

extern const tAcmDriverTable kG711Driver = {
    "G.711", "Quillon G.711 codec", ACMDRIVERDETAILS_SUPPORTF_CODEC, 3, kTags, 3, nullptr, Suggest, Open,
    StreamSizeThunk, StreamConvertThunk, StreamCloseThunk,
};

}  // namespace quillon::acm
