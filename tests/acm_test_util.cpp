#include "acm_test_util.h"
#include "test_util.h"

#include <cmath>

namespace acmtest {

template <class Record>
static Format AsFormat(const Record& r) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return Format{Bytes(p, p + sizeof r)};
}

Format Pcm(WORD channels, DWORD rate, WORD bits) {
    const auto align = static_cast<WORD>(channels * bits / 8);
    return AsFormat(WAVEFORMATEX{WAVE_FORMAT_PCM, channels, rate, rate * align, align, bits, 0});
}

Format Mp3(WORD channels, DWORD rate, DWORD kbps) {
    const WAVEFORMATEX wfx{WAVE_FORMAT_MPEGLAYER3, channels, rate, kbps * 1000 / 8, 1, 0, MPEGLAYER3_WFX_EXTRA_BYTES};
    return AsFormat(MPEGLAYER3WAVEFORMAT{wfx, MPEGLAYER3_ID_MPEG, MPEGLAYER3_FLAG_PADDING_OFF,
                                         static_cast<WORD>(144 * kbps * 1000 / rate), 1, 1393});
}

Format Suggest(HACMDRIVER had, const Format& src, WORD tag, MMRESULT* res) {
    DWORD largest = 0;
    acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest);
    Format dst;
    dst.bytes.assign(std::max<DWORD>(largest, 64), 0);
    dst.wfx()->wFormatTag = tag;
    *res = acmFormatSuggest(had, src.wfx(), dst.wfx(), dst.size(), ACM_FORMATSUGGESTF_WFORMATTAG);
    const DWORD used = dst.wfx()->wFormatTag == WAVE_FORMAT_PCM ? 18 : 18 + dst.wfx()->cbSize;
    if (*res == MMSYSERR_NOERROR && used <= dst.bytes.size()) dst.bytes.resize(used);
    if (dst.wfx()->wFormatTag == WAVE_FORMAT_PCM) dst.wfx()->cbSize = 0;
    return dst;
}

Format Coded(WORD tag, WORD channels, DWORD rate) {
    MMRESULT res = 0;
    Format f = Suggest(nullptr, Pcm(channels, rate, 16), tag, &res);
    EXPECT_EQ(MMSYSERR_NOERROR, res) << "suggesting tag " << tag;
    return f;
}

MMRESULT ConvertAll(HACMDRIVER had, const Format& src, const Format& dst, const Bytes& in, Bytes* out, DWORD block) {
    out->clear();
    HACMSTREAM has = nullptr;
    MMRESULT res = acmStreamOpen(&has, had, src.wfx(), dst.wfx(), nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (res != MMSYSERR_NOERROR) return res;
    DWORD dstSize = 0;
    res = acmStreamSize(has, block, &dstSize, ACM_STREAMSIZEF_SOURCE);
    Bytes srcBuf(block), dstBuf(dstSize);
    ACMSTREAMHEADER hdr{};
    hdr.cbStruct = sizeof hdr;
    hdr.pbSrc = srcBuf.data();
    hdr.cbSrcLength = block;
    hdr.pbDst = dstBuf.data();
    hdr.cbDstLength = dstSize;
    if (res == MMSYSERR_NOERROR) res = acmStreamPrepareHeader(has, &hdr, 0);
    if (res != MMSYSERR_NOERROR) {
        acmStreamClose(has, 0);
        return res;
    }
    std::size_t pos = 0;
    DWORD remaining = 0;
    for (int idle = 0;;) {
        const bool last = pos >= in.size();
        const DWORD take = static_cast<DWORD>(std::min<std::size_t>(block - remaining, in.size() - pos));
        std::copy_n(in.begin() + pos, take, srcBuf.begin() + remaining);
        pos += take;
        hdr.cbSrcLength = remaining + take;
        if (last && hdr.cbSrcLength == 0 && idle > 0) break;
        res = acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN);
        if (res == MMSYSERR_NOERROR && hdr.cbDstLengthUsed == 0) res = acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_END);
        if (res != MMSYSERR_NOERROR) break;
        out->insert(out->end(), dstBuf.begin(), dstBuf.begin() + hdr.cbDstLengthUsed);
        remaining = hdr.cbSrcLength - hdr.cbSrcLengthUsed;
        std::memmove(srcBuf.data(), srcBuf.data() + hdr.cbSrcLengthUsed, remaining);
        // Stop when drained, or for a codec that never takes its rest.
        if (last && ((hdr.cbDstLengthUsed == 0 && hdr.cbSrcLengthUsed == 0) || ++idle > 64)) break;
    }
    hdr.cbSrcLength = block;
    acmStreamUnprepareHeader(has, &hdr, 0);
    acmStreamClose(has, 0);
    return res;
}

Bytes Signal16(WORD channels, DWORD rate, DWORD frames) {
    Bytes b;
    std::uint32_t noise = 12345;
    const double pi = 3.14159265358979323846;
    for (DWORD i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate, sweep = 200.0 + 1800.0 * t / (1.0 + t);
        for (WORD c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double v = 0.25 * std::sin(2 * pi * (220.0 * (c + 1)) * t) + 0.15 * std::sin(2 * pi * 1333.0 * t + c) +
                             0.08 * std::sin(2 * pi * sweep * t) + 0.004 * ((noise >> 16) / 32768.0 - 1.0);
            const long s = std::lround(v * 32767.0);
            b.push_back(static_cast<std::uint8_t>(s & 0xFF));
            b.push_back(static_cast<std::uint8_t>((s >> 8) & 0xFF));
        }
    }
    return b;
}

std::vector<std::int16_t> Samples16(const Bytes& b) {
    std::vector<std::int16_t> s(b.size() / 2);
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return s;
}

double SnrDb(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& test) {
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < std::min(ref.size(), test.size()); ++i) {
        signal += static_cast<double>(ref[i]) * ref[i];
        noise += (static_cast<double>(ref[i]) - test[i]) * (static_cast<double>(ref[i]) - test[i]);
    }
    return noise == 0 ? 200.0 : 10.0 * std::log10(signal / noise);
}

int MaxAbsDiff(const std::vector<std::int16_t>& a, const std::vector<std::int16_t>& b) {
    int worst = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

std::uint32_t Fnv1a(const Bytes& b) {
    std::uint32_t h = 2166136261u;
    for (std::uint8_t x : b) h = (h ^ x) * 16777619u;
    return h;
}

bool ParseWave(const Bytes& file, Format* fmt, Bytes* data) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) || std::memcmp(file.data() + 8, "WAVE", 4)) return false;
    bool haveFmt = false, haveData = false;
    for (qt::ChunkSeen& c : qt::WalkChunks(file)) {
        if (c.id == "fmt ") {
            fmt->bytes = c.data;
            fmt->bytes.resize(std::max(fmt->bytes.size(), sizeof(WAVEFORMATEX)), 0);
            haveFmt = true;
        } else if (c.id == "data") {
            *data = std::move(c.data);
            haveData = true;
        }
    }
    return haveFmt && haveData;
}

static BOOL CALLBACK FindTagCallback(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA details, DWORD_PTR instance, DWORD) {
    auto* found = reinterpret_cast<std::pair<DWORD, HACMDRIVERID>*>(instance);
    if (details->dwFormatTag != found->first) return TRUE;
    found->second = hadid;
    return FALSE;
}

HACMDRIVERID FindDriverFor(WORD tag) {
    std::pair<DWORD, HACMDRIVERID> found{tag, nullptr};
    ACMFORMATTAGDETAILSA details{};
    details.cbStruct = sizeof details;
    acmFormatTagEnumA(nullptr, &details, FindTagCallback, reinterpret_cast<DWORD_PTR>(&found), 0);
    return found.second;
}

#ifndef _WIN32
HACMDRIVERID FakeDrivers::Add(const tAcmDriverTable* table, bool atEnd) {
    ids.push_back(nullptr);
    EXPECT_EQ(MMSYSERR_NOERROR, acmQuillonInstallDriver(table, atEnd ? TRUE : FALSE, &ids.back()));
    return ids.back();
}

FakeDrivers::~FakeDrivers() {
    for (HACMDRIVERID id : ids) EXPECT_EQ(MMSYSERR_NOERROR, acmQuillonRemoveDriver(id)) << "a fake driver was left open";
    acmQuillonShowBuiltinDrivers(TRUE);
}

tAcmDriverTable FakeTable(const char* name, DWORD support, const tAcmFormatTagInfo* tags, DWORD declaredTags) {
    return tAcmDriverTable{"fake", name, support, declaredTags, tags, 2, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr};
}
#endif

Format Law(WORD tag, WORD channels) {
    Format f = Pcm(channels, 8000, 8);
    f.wfx()->wFormatTag = tag;
    return f;
}

// MS ADPCM with nibbles of small magnitude (-4..4), so that the step size wanders but does not
// run away as it would on uniform noise (where decoders part ways once it overflows 32 bits).
Bytes MsAdpcmBlocks(WORD channels, WORD blockAlign, int blocks) {
    static const std::uint8_t kNibbles[9] = {0, 1, 2, 3, 4, 12, 13, 14, 15};
    std::uint32_t x = 77;
    auto Next = [](std::uint32_t& v) { return v = v * 1664525u + 1013904223u; };
    Bytes b(static_cast<std::size_t>(blockAlign) * blocks);
    for (auto& v : b)
        v = static_cast<std::uint8_t>(kNibbles[(Next(x) >> 8) % 9] << 4 | kNibbles[(Next(x) >> 8) % 9]);
    for (int k = 0; k < blocks; ++k) {
        std::uint8_t* h = &b[static_cast<std::size_t>(k) * blockAlign];
        for (WORD c = 0; c < channels; ++c) {
            h[c] = static_cast<std::uint8_t>(Next(x) % 7);
            const int delta = 16 + static_cast<int>(Next(x) % 600);
            h[channels + 2 * c] = static_cast<std::uint8_t>(delta & 0xFF);
            h[channels + 2 * c + 1] = static_cast<std::uint8_t>(delta >> 8);
            h[3 * channels + 2 * c + 1] &= 0x1F;  // moderate header samples
            h[5 * channels + 2 * c + 1] &= 0x1F;
        }
    }
    return b;
}

// An MS ADPCM format with the standard coefficients, built here: Wine's converter decodes only
// and need not suggest one.
Format MsAdpcm(WORD channels, DWORD rate, WORD blockAlign) {
    const int perBlock = 2 + (blockAlign - 7 * channels) * 2 / channels;
    Bytes b = qt::FormatBytes(WAVE_FORMAT_ADPCM, channels, rate, 4, blockAlign, true, 32);
    const DWORD avg = rate * blockAlign / perBlock;
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<std::uint8_t>(avg >> (8 * i));
    qt::Put16(b, static_cast<std::uint16_t>(perBlock));
    qt::Put16(b, 7);
    for (int v : {256, 0, 512, -256, 0, 0, 192, 64, 240, 0, 460, -208, 392, -232})
        qt::Put16(b, static_cast<std::uint16_t>(v));
    return Format{b};
}

}  // namespace acmtest
