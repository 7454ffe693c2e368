// The IMA ADPCM driver: 16-bit PCM to 4-bit IMA ADPCM and back, mono or stereo, in
// Microsoft's block layout:
//
//   per channel, a 4-byte header:  sample (int16 LE) | step index (0..88) | 0
//   then words of 4 bytes, channels taking turns word by word: each word holds 8 samples of
//   one channel, two per byte, the earlier sample in the low nibble.
//
// A block of nBlockAlign bytes holds 1 + (nBlockAlign / channels - 4) * 2 samples per channel:
// the header sample and 8 per word. A block is decoded on its own; the encoder carries the step
// index from block to block and starts each block from the exact first sample.
//
// Whole blocks only, unless ACM_STREAMCONVERTF_END is given: then a short last block of PCM is
// padded with silence to a whole block, and a short last ADPCM block (a truncated file) gives
// the samples of its whole words; in both cases the short rest is consumed.
#include "acm_codec.h"

namespace quillon::acm {
namespace {

const int kStep[89] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,    28,
    31,    34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,   118,
    130,   143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,   494,
    544,   598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,
    2272,  2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,
    9493,  10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int kIndexShift[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

int ClampIndex(int i) { return i < 0 ? 0 : (i > 88 ? 88 : i); }

struct Channel {
    int sample = 0;
    int index = 0;

    int Decode(int code) {
        const int step = kStep[index];
        int diff = step >> 3;
        if (code & 1) diff += step >> 2;
        if (code & 2) diff += step >> 1;
        if (code & 4) diff += step;
        sample = Clamp16((code & 8) ? sample - diff : sample + diff);
        index = ClampIndex(index + kIndexShift[code]);
        return sample;
    }

    // Without branches on the sample values: music makes each of these tests a coin toss.
    int Encode(int target) {
        int diff = target - sample;
        const int negative = diff < 0;
        diff = negative ? -diff : diff;
        const int step = kStep[index];
        const int b2 = diff >= step;
        diff -= step & -b2;
        const int b1 = diff >= (step >> 1);
        diff -= (step >> 1) & -b1;
        const int b0 = diff >= (step >> 2);
        const int code = (negative << 3) | (b2 << 2) | (b1 << 1) | b0;
        Decode(code);  // follow the decoder exactly
        return code;
    }
};

DWORD SamplesPerBlock(const WAVEFORMATEX& f) { return 1 + (f.nBlockAlign / f.nChannels - 4) * 2; }

// An IMA ADPCM format this driver reads and writes.
bool IsUsableIma(const WAVEFORMATEX* f) {
    if (f->wFormatTag != WAVE_FORMAT_IMA_ADPCM || f->wBitsPerSample != 4) return false;
    if (f->nChannels < 1 || f->nChannels > 2 || f->nSamplesPerSec == 0) return false;
    const DWORD word = 4u * f->nChannels;
    return f->nBlockAlign >= 2 * word && f->nBlockAlign % word == 0;
}

class ImaStream : public AdpcmBlockStream {
public:
    ImaStream(const WAVEFORMATEX& ima, bool encode)
        : AdpcmBlockStream(encode, ima.nChannels, ima.nBlockAlign, SamplesPerBlock(ima)) {}

private:
    void Restart() override { state_[0] = state_[1] = Channel{}; }

    // A block is a 4-byte header per channel, then 4-byte words per channel in turn, 8 samples each.
    DWORD FramesIn(DWORD bytes) const override {
        const DWORD word = 4u * channels_;
        return bytes >= word ? 1 + (bytes - word) / word * 8 : 0;
    }
    void DecodeFrames(const BYTE* in, DWORD frames, BYTE* out) const override {
        const DWORD word = 4u * channels_;
        DecodeBlock(in, word + (frames - 1) / 8 * word, out);
    }

    // Decodes a block of `bytes` (the header and whole words) into interleaved 16-bit PCM.
    void DecodeBlock(const BYTE* in, DWORD bytes, BYTE* out) const {
        const DWORD words = (bytes / channels_ - 4) / 4;
        for (DWORD c = 0; c < channels_; ++c) {
            Channel ch;
            ch.sample = Read16(in + 4 * c);
            ch.index = ClampIndex(in[4 * c + 2]);
            BYTE* o = out + 2 * c;
            Write16(o, ch.sample);
            o += 2 * channels_;
            for (DWORD w = 0; w < words; ++w) {
                const BYTE* word = in + 4 * channels_ + 4 * (w * channels_ + c);
                for (int b = 0; b < 4; ++b) {
                    Write16(o, ch.Decode(word[b] & 0x0F));
                    o += 2 * channels_;
                    Write16(o, ch.Decode(word[b] >> 4));
                    o += 2 * channels_;
                }
            }
        }
    }

    // Encodes `frames` frames (at most a block; missing frames are silence) into one block.
    void EncodeBlock(const BYTE* in, DWORD frames, BYTE* out) override {
        auto sample = [&](DWORD frame, DWORD c) { return frame < frames ? Read16(in + 2 * (frame * channels_ + c)) : 0; };
        const DWORD words = (blockAlign_ / channels_ - 4) / 4;
        for (DWORD c = 0; c < channels_; ++c) {
            Channel& ch = state_[c];
            ch.sample = sample(0, c);
            Write16(out + 4 * c, ch.sample);
            out[4 * c + 2] = static_cast<BYTE>(ch.index);
            out[4 * c + 3] = 0;
        }
        // Each channel's 4-byte word holds its next eight samples. The channels are stepped side
        // by side, sample by sample, so that the processor overlaps their two chains.
        for (DWORD w = 0; w < words; ++w) {
            int nibbles[2][8];
            for (DWORD j = 0; j < 8; ++j)
                for (DWORD c = 0; c < channels_; ++c) nibbles[c][j] = state_[c].Encode(sample(1 + 8 * w + j, c));
            for (DWORD c = 0; c < channels_; ++c) {
                BYTE* word = out + 4 * channels_ + 4 * (w * channels_ + c);
                for (int b = 0; b < 4; ++b)
                    word[b] = static_cast<BYTE>(nibbles[c][2 * b] | (nibbles[c][2 * b + 1] << 4));
            }
        }
    }

    Channel state_[2];
};

// The block size this driver picks: 256 bytes per channel up to 11025 samples per second,
// doubled for each doubling of the rate.
WORD DefaultBlockAlign(DWORD channels, DWORD rate) {
    DWORD per = 256;
    for (DWORD r = 11025 * 2; r <= rate && per < 4096; r *= 2) per *= 2;
    if (rate >= 44100 && per < 1024) per = 1024;
    return static_cast<WORD>(per * channels);
}

MMRESULT Suggest(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest) {
    if (cbSrc < 16 || cbDst < 16) return ACMERR_NOTPOSSIBLE;
    const bool fromPcm = IsUsablePcm(src, 16);
    if (!fromPcm && !(cbSrc >= sizeof(WAVEFORMATEX) && IsUsableIma(src))) return ACMERR_NOTPOSSIBLE;
    const WORD tag = fromPcm ? WAVE_FORMAT_IMA_ADPCM : WAVE_FORMAT_PCM;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && dst->wFormatTag != tag) return ACMERR_NOTPOSSIBLE;
    TakeUnfixedFromSource(src, dst, fdwSuggest);
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) dst->wBitsPerSample = fromPcm ? 4 : 16;
    dst->wFormatTag = tag;
    if (dst->nChannels < 1 || dst->nChannels > 2 || dst->nSamplesPerSec == 0) return ACMERR_NOTPOSSIBLE;
    if (fromPcm) {
        if (cbDst < sizeof(IMAADPCMWAVEFORMAT) || dst->wBitsPerSample != 4) return ACMERR_NOTPOSSIBLE;
        auto* ima = reinterpret_cast<IMAADPCMWAVEFORMAT*>(dst);
        dst->nBlockAlign = DefaultBlockAlign(dst->nChannels, dst->nSamplesPerSec);
        dst->cbSize = 2;
        ima->wSamplesPerBlock = static_cast<WORD>(SamplesPerBlock(*dst));
        dst->nAvgBytesPerSec = static_cast<DWORD>(
            static_cast<std::uint64_t>(dst->nSamplesPerSec) * dst->nBlockAlign / ima->wSamplesPerBlock);
        return MMSYSERR_NOERROR;
    }
    return SuggestPcm16(dst, cbDst);
}

MMRESULT Open(const WAVEFORMATEX* src, DWORD cbSrc, const WAVEFORMATEX* dst, DWORD cbDst, void** state) {
    const bool encode = src->wFormatTag == WAVE_FORMAT_PCM;
    const WAVEFORMATEX* pcm = encode ? src : dst;
    const WAVEFORMATEX* ima = encode ? dst : src;
    if (!IsUsablePcm(pcm, 16) || !IsUsableIma(ima)) return ACMERR_NOTPOSSIBLE;
    (void)cbSrc;
    (void)cbDst;
    if (pcm->nChannels != ima->nChannels || pcm->nSamplesPerSec != ima->nSamplesPerSec) return ACMERR_NOTPOSSIBLE;
    auto* s = new (std::nothrow) ImaStream(*ima, encode);
    if (!s) return MMSYSERR_NOMEM;
    *state = s;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {
    {WAVE_FORMAT_PCM, 16, 16, "PCM"},
    {WAVE_FORMAT_IMA_ADPCM, sizeof(IMAADPCMWAVEFORMAT), 8, "IMA ADPCM"},
};

}  // namespace

extern const tAcmDriverTable kImaAdpcmDriver = {
    "IMA ADPCM", "Quillon IMA ADPCM codec", ACMDRIVERDETAILS_SUPPORTF_CODEC, 2, kTags, 2, nullptr, Suggest, Open,
    StreamSizeThunk, StreamConvertThunk, StreamCloseThunk,
};

}  // namespace quillon::acm
