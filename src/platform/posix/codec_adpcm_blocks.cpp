// The block stream that the IMA ADPCM and MS ADPCM drivers share.
#include "acm_codec.h"

namespace quillon::acm {

MMRESULT AdpcmBlockStream::Size(DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) {
    const bool fromPcm = encode_ == (fdwSize == ACM_STREAMSIZEF_SOURCE);
    const DWORD unitIn = fromPcm ? pcmBlock_ : blockAlign_;
    const DWORD unitOut = fromPcm ? blockAlign_ : pcmBlock_;
    if (cbInput / unitIn == 0) return ACMERR_NOTPOSSIBLE;
    const std::uint64_t blocks = fdwSize == ACM_STREAMSIZEF_SOURCE ? BlocksUp(cbInput, unitIn) : cbInput / unitIn;
    *pcbOutput = CapDword(blocks * unitOut);
    return MMSYSERR_NOERROR;
}

MMRESULT AdpcmBlockStream::Convert(const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst,
                                   DWORD* pcbDstUsed, DWORD fdwConvert) {
    if (fdwConvert & ACM_STREAMCONVERTF_START) Restart();
    DWORD used = 0, made = 0;
    const DWORD inUnit = encode_ ? pcmBlock_ : blockAlign_;
    const DWORD outUnit = encode_ ? blockAlign_ : pcmBlock_;
    while (cbSrc - used >= inUnit && cbDst - made >= outUnit) {
        if (encode_) EncodeBlock(src + used, spb_, dst + made);
        else DecodeFrames(src + used, spb_, dst + made);
        used += inUnit;
        made += outUnit;
    }
    const DWORD rest = cbSrc - used;
    if ((fdwConvert & ACM_STREAMCONVERTF_END) && rest > 0 && rest < inUnit) {
        if (encode_ && cbDst - made >= outUnit) {
            EncodeBlock(src + used, rest / (2u * channels_), dst + made);
            used = cbSrc;
            made += outUnit;
        } else if (!encode_) {
            const DWORD frames = FramesIn(rest);
            if (cbDst - made >= frames * 2u * channels_) {
                if (frames) DecodeFrames(src + used, frames, dst + made);
                used = cbSrc;
                made += frames * 2u * channels_;
            }
        }
    }
    *pcbSrcUsed = used;
    *pcbDstUsed = made;
    return MMSYSERR_NOERROR;
}

}  // namespace quillon::acm
