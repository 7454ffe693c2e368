// The MPEG Layer-3 decoder driver, on libmpg123: MPEG Layer-3 to 16-bit PCM of the same rate
// and channel count (mpg123 folds or spreads channels when the stream's count differs from the
// format's). Decoding only; a PCM source gets no suggestion and no stream.
//
// Stream life: the decoder is fed in mpg123's feed mode. A conversion call first drains what
// the decoder already holds into the destination; only when the decoder asks for more input is
// the whole source block fed (and reported as used). So a destination that fills up leaves the
// source untouched for the next call, and nothing decoded is ever dropped between calls.
// A truncated last frame is dropped by the decoder; data it cannot decode at all is consumed
// without output, so a caller's loop always moves on.
#include "acm_codec.h"

#include <mpg123.h>

#include <algorithm>
#include <mutex>

namespace quillon::acm {
namespace {

bool IsMpegRate(DWORD rate) {
    static const DWORD kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
    return std::find(std::begin(kRates), std::end(kRates), rate) != std::end(kRates);
}

bool IsUsableMp3(const WAVEFORMATEX* f) {
    return f->wFormatTag == WAVE_FORMAT_MPEGLAYER3 && f->nChannels >= 1 && f->nChannels <= 2 &&
           IsMpegRate(f->nSamplesPerSec);
}

void InitLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mpg123_init(); });
}

class Mp3Stream : public CodecStream {
public:
    Mp3Stream(mpg123_handle* mh, const WAVEFORMATEX& mp3, const WAVEFORMATEX& pcm)
        : mh_(mh), pcmFrame_(pcm.nBlockAlign), rate_(mp3.nSamplesPerSec) {
        // The smallest frame to expect: half the average frame size the format declares (room
        // for variable bit rates), and never under 24 bytes.
        const std::uint64_t avg = static_cast<std::uint64_t>(mp3.nAvgBytesPerSec) * 1152 / rate_;
        minFrameBytes_ = static_cast<DWORD>(std::max<std::uint64_t>(24, avg / 2));
        avgFrameBytes_ = static_cast<DWORD>(std::max<std::uint64_t>(24, avg));
    }
    ~Mp3Stream() override {
        mpg123_close(mh_);
        mpg123_delete(mh_);
    }

    MMRESULT Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) override {
        const std::uint64_t pcmPerFrame = 1152ull * pcmFrame_;
        if (fdwSize == ACM_STREAMSIZEF_SOURCE) {
            *pcbOutput = CapDword((cbInput / minFrameBytes_ + 2) * pcmPerFrame);
        } else {
            const std::uint64_t frames = cbInput / pcmPerFrame;
            if (frames == 0) return ACMERR_NOTPOSSIBLE;
            *pcbOutput = CapDword(frames * avgFrameBytes_);
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst, DWORD* pcbDstUsed,
                     DWORD fdwConvert) override {
        if (fdwConvert & ACM_STREAMCONVERTF_START) {
            mpg123_close(mh_);
            mpg123_open_feed(mh_);
        }
        DWORD used = 0, made = 0;
        bool fed = false;
        const DWORD room = cbDst - cbDst % pcmFrame_;
        while (made < room) {
            size_t got = 0;
            const int r = mpg123_read(mh_, dst + made, room - made, &got);
            made += static_cast<DWORD>(got);
            if (r == MPG123_OK || r == MPG123_NEW_FORMAT) continue;
            if (r == MPG123_NEED_MORE && !fed && cbSrc > 0) {
                fed = true;
                used = cbSrc;
                if (mpg123_feed(mh_, src, cbSrc) != MPG123_OK) break;
                continue;
            }
            if (r != MPG123_NEED_MORE && !fed) used = cbSrc;  // undecodable: consume it
            break;
        }
        *pcbSrcUsed = used;
        *pcbDstUsed = made;
        return MMSYSERR_NOERROR;
    }

private:
    mpg123_handle* mh_;
    DWORD pcmFrame_;
    DWORD rate_;
    DWORD minFrameBytes_ = 24;
    DWORD avgFrameBytes_ = 24;
};

MMRESULT Suggest(const WAVEFORMATEX* src, DWORD cbSrc, WAVEFORMATEX* dst, DWORD cbDst, DWORD fdwSuggest) {
    if (cbSrc < 16 || cbDst < 16 || !IsUsableMp3(src)) return ACMERR_NOTPOSSIBLE;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && dst->wFormatTag != WAVE_FORMAT_PCM) return ACMERR_NOTPOSSIBLE;
    TakeUnfixedFromSource(src, dst, fdwSuggest);
    if (!(fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE)) dst->wBitsPerSample = 16;
    if (dst->nChannels < 1 || dst->nChannels > 2 || !IsMpegRate(dst->nSamplesPerSec)) return ACMERR_NOTPOSSIBLE;
    return SuggestPcm16(dst, cbDst);
}

MMRESULT Open(const WAVEFORMATEX* src, DWORD, const WAVEFORMATEX* dst, DWORD, void** state) {
    if (!IsUsableMp3(src) || !IsUsablePcm(dst, 16)) return ACMERR_NOTPOSSIBLE;
    if (src->nChannels != dst->nChannels || src->nSamplesPerSec != dst->nSamplesPerSec) return ACMERR_NOTPOSSIBLE;
    InitLibrary();
    int err = MPG123_OK;
    mpg123_handle* mh = mpg123_new(nullptr, &err);
    if (!mh) return MMSYSERR_NOMEM;
    mpg123_param(mh, MPG123_FLAGS, MPG123_QUIET, 0.0);
    mpg123_format_none(mh);
    if (mpg123_format(mh, static_cast<long>(dst->nSamplesPerSec), dst->nChannels == 1 ? MPG123_MONO : MPG123_STEREO,
                      MPG123_ENC_SIGNED_16) != MPG123_OK ||
        mpg123_open_feed(mh) != MPG123_OK) {
        mpg123_delete(mh);
        return ACMERR_NOTPOSSIBLE;
    }
    auto* s = new (std::nothrow) Mp3Stream(mh, *src, *dst);
    if (!s) {
        mpg123_close(mh);
        mpg123_delete(mh);
        return MMSYSERR_NOMEM;
    }
    *state = s;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kTags[] = {
    {WAVE_FORMAT_PCM, 16, 36, "PCM"},
    {WAVE_FORMAT_MPEGLAYER3, sizeof(MPEGLAYER3WAVEFORMAT), 18, "MPEG Layer-3"},
};

}  // namespace

extern const tAcmDriverTable kMp3Driver = {
    "MPEG Layer-3", "Quillon MPEG Layer-3 decoder", ACMDRIVERDETAILS_SUPPORTF_CODEC, 2, kTags, 2, nullptr, Suggest,
    Open, StreamSizeThunk, StreamConvertThunk, StreamCloseThunk,
};

}  // namespace quillon::acm
