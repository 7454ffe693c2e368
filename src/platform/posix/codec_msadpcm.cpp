// The MS ADPCM driver: 16-bit PCM to 4-bit Microsoft ADPCM and back, mono or stereo.
//
// Block layout, fields of the channels side by side (L then R when stereo):
//
//   predictor index (1 byte each) | delta (int16 each) | sample1 (int16 each) | sample2 (int16 each)
//   then nibbles, high nibble first; in stereo the high nibble is left, the low one right.
//
// The two header samples come out first (sample2, then sample1). Each further sample is
//   prediction = (sample1 * coef1 + sample2 * coef2) / 256   (integer division)
//   sample     = clamp16(prediction + nibble * delta)       (nibble signed, -8..7)
//   delta      = max(16, adaptation[nibble] * delta / 256)
// with the coefficient pair chosen by the block's predictor index from the format's table
// (the standard set is 256/0, 512/-256, 0/0, 192/64, 240/0, 460/-208, 392/-232).
// A block of nBlockAlign bytes holds 2 + (nBlockAlign - 7 * channels) * 2 / channels samples
// per channel.
//
// The encoder picks, for each block, the coefficient pair whose prediction from the block's own
// samples has the smallest squared error, then encodes the block once with it. A predictor index outside the format's table (a damaged block) decodes as a
// block of silence. Short last blocks with ACM_STREAMCONVERTF_END are treated as by the IMA
// ADPCM driver: PCM padded with silence, a truncated ADPCM block decoded as far as it goes.
#include "acm_codec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace quillon::acm {
namespace {

const int kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614, 768, 614, 512, 409, 307, 230, 230, 230};
const ADPCMCOEFSET kStandardCoefs[7] = {{256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};
constexpr int kMaxDelta = INT_MAX / 768;

struct Predictor {
    int coef1, coef2;
    int delta;
    int sample1, sample2;

    int Prediction() const {
        return static_cast<int>((static_cast<long long>(sample1) * coef1 + static_cast<long long>(sample2) * coef2) / 256);
    }

    // Takes one nibble (0..15) given the prediction for this sample; returns the sample.
    // In int: |prediction| < 2^24, |nibble * delta| < 2^25, and kMaxDelta keeps the adaptation
    // product below INT_MAX.
    int Apply(int nibble, int prediction) {
        const int signedNibble = nibble >= 8 ? nibble - 16 : nibble;
        const int value = prediction + signedNibble * delta;
        const int s = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
        sample2 = sample1;
        sample1 = s;
        delta = kAdaptation[nibble] * delta / 256;
        if (delta < 16) delta = 16;
        if (delta > kMaxDelta) delta = kMaxDelta;
        return s;
    }

    int Step(int nibble) { return Apply(nibble, Prediction()); }

    // The nibble nearest to target: the error divided by delta, rounded half away from zero
    // and limited to -8..7. The quotient of |error| + delta / 2 by delta, counted up to 8, is
    // the number of multiples 1..8 of delta that it reaches: eight comparisons that do not wait
    // for one another, where a division would cost tens of cycles per sample (8 * delta stays
    // far below INT_MAX). Signs and limits are worked as masks and selections: on a noisy
    // signal every branch here would be a coin toss for the processor.
    int Encode(int target) {
        const int prediction = Prediction();
        const int err = target - prediction;
        const int negative = err >> 31;  // 0 or -1
        const int a = ((err ^ negative) - negative) + delta / 2;
        const int d = delta, d2 = d + d, d3 = d2 + d, d4 = d2 + d2;
        int q = (a >= d) + (a >= d2) + (a >= d3) + (a >= d4);
        q += (a >= d4 + d) + (a >= d4 + d2) + (a >= d4 + d3) + (a >= d4 + d4);
        const int limit = 7 - negative;  // 8 below zero
        q = q < limit ? q : limit;
        const int n = (q ^ negative) - negative;
        const int value = prediction + n * delta;
        const int s = value < -32768 ? -32768 : (value > 32767 ? 32767 : value);
        sample2 = sample1;
        sample1 = s;
        const int nibble = n & 0x0F;
        int next = kAdaptation[nibble] * delta >> 8;  // delta > 0: the same as dividing by 256
        next = next < 16 ? 16 : next;
        delta = next > kMaxDelta ? kMaxDelta : next;
        return nibble;
    }
};

DWORD SamplesPerBlock(const WAVEFORMATEX& f) { return 2 + (f.nBlockAlign - 7u * f.nChannels) * 2 / f.nChannels; }

// The coefficient table of an MS ADPCM format, or empty when the record does not hold one.
std::vector<ADPCMCOEFSET> Coefficients(const WAVEFORMATEX* f, DWORD cbFormat) {
    if (cbFormat < sizeof(WAVEFORMATEX) + 4 || f->cbSize < 4) return {};
    const BYTE* extra = reinterpret_cast<const BYTE*>(f) + sizeof(WAVEFORMATEX);
    const DWORD count = static_cast<std::uint16_t>(extra[2] | (extra[3] << 8));
    if (count == 0 || 4 + 4 * count > f->cbSize || sizeof(WAVEFORMATEX) + 4 + 4 * count > cbFormat) return {};
    std::vector<ADPCMCOEFSET> coefs(count);
    for (DWORD i = 0; i < count; ++i) {
        coefs[i].iCoef1 = Read16(extra + 4 + 4 * i);
        coefs[i].iCoef2 = Read16(extra + 6 + 4 * i);
    }
    return coefs;
}

bool IsUsableMsAdpcm(const WAVEFORMATEX* f, DWORD cbFormat) {
    if (f->wFormatTag != WAVE_FORMAT_ADPCM || f->wBitsPerSample != 4) return false;
    if (f->nChannels < 1 || f->nChannels > 2 || f->nSamplesPerSec == 0) return false;
    if (f->nBlockAlign < 7u * f->nChannels + f->nChannels) return false;  // the header and one byte of nibbles
    return !Coefficients(f, cbFormat).empty();
}

class MsAdpcmStream : public AdpcmBlockStream {
public:
    MsAdpcmStream(const WAVEFORMATEX& adpcm, std::vector<ADPCMCOEFSET> coefs, bool encode)
        : AdpcmBlockStream(encode, adpcm.nChannels, adpcm.nBlockAlign, SamplesPerBlock(adpcm)),
          coefs_(std::move(coefs)) {}

private:
    void Restart() override { delta_[0] = delta_[1] = 16; }

    // A block is a 7-byte header per channel (two samples each), then a nibble per sample.
    DWORD FramesIn(DWORD bytes) const override {
        const DWORD header = 7u * channels_;
        return bytes >= header ? 2 + (bytes - header) * 2 / channels_ : 0;
    }
    void DecodeFrames(const BYTE* in, DWORD frames, BYTE* out) const override { DecodeBlock(in, frames, out); }

    // Decodes the first `samples` samples per channel of a block (at least the two in its header).
    void DecodeBlock(const BYTE* in, DWORD samples, BYTE* out) const {
        const DWORD ch = channels_;
        Predictor p[2];
        bool valid = true;
        for (DWORD c = 0; c < ch; ++c) {
            const DWORD index = in[c];
            if (index >= coefs_.size()) {
                valid = false;
                break;
            }
            p[c].coef1 = coefs_[index].iCoef1;
            p[c].coef2 = coefs_[index].iCoef2;
            p[c].delta = Read16(in + ch + 2 * c);
            p[c].sample1 = Read16(in + 3 * ch + 2 * c);
            p[c].sample2 = Read16(in + 5 * ch + 2 * c);
        }
        if (!valid) {
            std::memset(out, 0, samples * 2u * ch);
            return;
        }
        for (DWORD c = 0; c < ch; ++c) {
            Write16(out + 2 * c, p[c].sample2);
            Write16(out + 2 * (ch + c), p[c].sample1);
        }
        const BYTE* nibbles = in + 7 * ch;
        BYTE* o = out + 4 * ch;
        const DWORD total = (samples - 2) * ch;  // nibbles to decode, channels taking turns
        // A byte holds two nibbles, high first: left then right in stereo, two samples in mono.
        Predictor& high = p[0];
        Predictor& low = ch == 2 ? p[1] : p[0];
        for (DWORD k = 0; k + 1 < total; k += 2) {
            const BYTE b = nibbles[k / 2];
            Write16(o, high.Step(b >> 4));
            Write16(o + 2, low.Step(b & 0x0F));
            o += 4;
        }
        if (total & 1) Write16(o, high.Step(nibbles[total / 2] >> 4));
    }

    // Encodes `frames` frames (at most a block; missing frames are silence) into one block.
    void EncodeBlock(const BYTE* in, DWORD frames, BYTE* out) override {
        const DWORD ch = channels_;
        std::vector<int>& samples = blockSamples_;
        samples.resize(static_cast<std::size_t>(spb_) * ch);
        std::memset(out, 0, blockAlign_);
        const DWORD tried = std::min<DWORD>(static_cast<DWORD>(coefs_.size()), 7);
        Predictor p[2];
        for (DWORD c = 0; c < ch; ++c) {
            int* x = samples.data() + static_cast<std::size_t>(c) * spb_;
            for (DWORD i = 0; i < spb_; ++i) x[i] = i < frames ? Read16(in + 2 * (i * ch + c)) : 0;
            int startDelta = delta_[c] < 16 ? 16 : (delta_[c] > 32767 ? 32767 : delta_[c]);
            // Pick the coefficient pair that predicts the block's own samples best: the squared
            // error of x[i] - (c1 x[i-1] + c2 x[i-2]) / 256, summed over the block, written out
            // from the block's correlations so that the samples are read once.
            double r00 = 0, r01 = 0, r02 = 0, r11 = 0, r12 = 0, r22 = 0;
            for (DWORD i = 2; i < spb_; ++i) {
                const double a = x[i], b = x[i - 1], d = x[i - 2];
                r00 += a * a;
                r01 += a * b;
                r02 += a * d;
                r11 += b * b;
                r12 += b * d;
                r22 += d * d;
            }
            DWORD best = 0;
            double bestError = 0;
            for (DWORD k = 0; k < tried; ++k) {
                const double c1 = coefs_[k].iCoef1 / 256.0, c2 = coefs_[k].iCoef2 / 256.0;
                const double error =
                    r00 - 2 * (c1 * r01 + c2 * r02) + c1 * c1 * r11 + 2 * c1 * c2 * r12 + c2 * c2 * r22;
                if (k == 0 || error < bestError) {
                    bestError = error;
                    best = k;
                }
            }
            p[c] = Predictor{coefs_[best].iCoef1, coefs_[best].iCoef2, startDelta, x[1], x[0]};
            out[c] = static_cast<BYTE>(best);
            Write16(out + ch + 2 * c, startDelta);
            Write16(out + 3 * ch + 2 * c, x[1]);
            Write16(out + 5 * ch + 2 * c, x[0]);
        }
        // A byte holds two nibbles, high first: left and right of one frame in stereo, two
        // frames in mono. The channels' predictors depend only on their own samples: stepping
        // them side by side lets the processor overlap the two chains.
        BYTE* nibbles = out + 7 * ch;
        const int* left = samples.data();
        if (ch == 2) {
            const int* right = left + spb_;
            Predictor l = p[0], r = p[1];
            for (DWORD i = 2; i < spb_; ++i) {
                const int high = l.Encode(left[i]);
                *nibbles++ = static_cast<BYTE>(high << 4 | r.Encode(right[i]));
            }
            p[0] = l;
            p[1] = r;
        } else {
            Predictor m = p[0];
            DWORD i = 2;
            for (; i + 1 < spb_; i += 2) {
                const int high = m.Encode(left[i]);
                *nibbles++ = static_cast<BYTE>(high << 4 | m.Encode(left[i + 1]));
            }
            if (i < spb_) *nibbles = static_cast<BYTE>(m.Encode(left[i]) << 4);
            p[0] = m;
        }
        for (DWORD c = 0; c < ch; ++c) delta_[c] = p[c].delta;
    }

    std::vector<int> blockSamples_;  // one channel of the block being encoded
    std::vector<ADPCMCOEFSET> coefs_;
    int delta_[2] = {16, 16};
};

WORD DefaultBlockAlign(DWORD channels, DWORD rate) {
    DWORD per = 256;
    for (DWORD r = 11025 * 2; r <= rate && per < 4096; r *= 2) per *= 2;
    return static_cast<WORD>(per * channels);
}

constexpr DWORD kFormatSize = sizeof(WAVEFORMATEX) + 4 + 7 * sizeof(ADPCMCOEFSET);  // 50 bytes

MMRESULT Suggest(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest) {
    if (cbSrc < 16 || cbDst < 16) return ACMERR_NOTPOSSIBLE;
    const bool fromPcm = IsUsablePcm(src, 16);
    if (!fromPcm && !IsUsableMsAdpcm(src, cbSrc)) return ACMERR_NOTPOSSIBLE;
    const WORD tag = fromPcm ? WAVE_FORMAT_ADPCM : WAVE_FORMAT_PCM;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && dst->wFormatTag != tag) return ACMERR_NOTPOSSIBLE;
    TakeUnfixedFromSource(src, dst, fdwSuggest);
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) dst->wBitsPerSample = fromPcm ? 4 : 16;
    dst->wFormatTag = tag;
    if (dst->nChannels < 1 || dst->nChannels > 2 || dst->nSamplesPerSec == 0) return ACMERR_NOTPOSSIBLE;
    if (fromPcm) {
        if (cbDst < kFormatSize || dst->wBitsPerSample != 4) return ACMERR_NOTPOSSIBLE;
        dst->nBlockAlign = DefaultBlockAlign(dst->nChannels, dst->nSamplesPerSec);
        dst->cbSize = 4 + 7 * sizeof(ADPCMCOEFSET);
        BYTE* extra = reinterpret_cast<BYTE*>(dst) + sizeof(WAVEFORMATEX);
        const DWORD spb = SamplesPerBlock(*dst);
        Write16(extra, static_cast<int>(spb));
        Write16(extra + 2, 7);
        for (int i = 0; i < 7; ++i) {
            Write16(extra + 4 + 4 * i, kStandardCoefs[i].iCoef1);
            Write16(extra + 6 + 4 * i, kStandardCoefs[i].iCoef2);
        }
        dst->nAvgBytesPerSec =
            static_cast<DWORD>(static_cast<std::uint64_t>(dst->nSamplesPerSec) * dst->nBlockAlign / spb);
        return MMSYSERR_NOERROR;
    }
    return SuggestPcm16(dst, cbDst);
}

MMRESULT Open(const WAVEFORMATEX* src, DWORD cbSrc, const WAVEFORMATEX* dst, DWORD cbDst, void** state) {
    const bool encode = src->wFormatTag == WAVE_FORMAT_PCM;
    const WAVEFORMATEX* pcm = encode ? src : dst;
    const WAVEFORMATEX* adpcm = encode ? dst : src;
    const DWORD cbAdpcm = encode ? cbDst : cbSrc;
    if (!IsUsablePcm(pcm, 16) || !IsUsableMsAdpcm(adpcm, cbAdpcm)) return ACMERR_NOTPOSSIBLE;
    if (pcm->nChannels != adpcm->nChannels || pcm->nSamplesPerSec != adpcm->nSamplesPerSec) return ACMERR_NOTPOSSIBLE;
    auto* s = new (std::nothrow) MsAdpcmStream(*adpcm, Coefficients(adpcm, cbAdpcm), encode);
    if (!s) return MMSYSERR_NOMEM;
    *state = s;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {
    {WAVE_FORMAT_PCM, 16, 16, "PCM"},
    {WAVE_FORMAT_ADPCM, kFormatSize, 8, "MS ADPCM"},
};

}  // namespace

extern const tAcmDriverTable kMsAdpcmDriver = {
    "MS ADPCM", "Quillon MS ADPCM codec", ACMDRIVERDETAILS_SUPPORTF_CODEC, 2, kTags, 2, nullptr, Suggest, Open,
    StreamSizeThunk, StreamConvertThunk, StreamCloseThunk,
};

}  // namespace quillon::acm
