#include "acm_test_util.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace acmtest {

Format Pcm(WORD channels, DWORD rate, WORD bits) {
    Format f;
    f.bytes.assign(sizeof(WAVEFORMATEX), 0);
    WAVEFORMATEX* w = f.wfx();
    w->wFormatTag = WAVE_FORMAT_PCM;
    w->nChannels = channels;
    w->nSamplesPerSec = rate;
    w->wBitsPerSample = bits;
    w->nBlockAlign = static_cast<WORD>(channels * bits / 8);
    w->nAvgBytesPerSec = rate * w->nBlockAlign;
    return f;
}

Format Mp3(WORD channels, DWORD rate, DWORD kbps) {
    Format f;
    f.bytes.assign(sizeof(MPEGLAYER3WAVEFORMAT), 0);
    auto* m = reinterpret_cast<MPEGLAYER3WAVEFORMAT*>(f.bytes.data());
    m->wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
    m->wfx.nChannels = channels;
    m->wfx.nSamplesPerSec = rate;
    m->wfx.nAvgBytesPerSec = kbps * 1000 / 8;
    m->wfx.nBlockAlign = 1;
    m->wfx.wBitsPerSample = 0;
    m->wfx.cbSize = MPEGLAYER3_WFX_EXTRA_BYTES;
    m->wID = MPEGLAYER3_ID_MPEG;
    m->fdwFlags = MPEGLAYER3_FLAG_PADDING_OFF;
    m->nBlockSize = static_cast<WORD>(144 * kbps * 1000 / rate);
    m->nFramesPerBlock = 1;
    m->nCodecDelay = 1393;
    return f;
}

Format Suggest(HACMDRIVER had, const Format& src, WORD tag, MMRESULT* res) {
    DWORD largest = 0;
    acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest);
    Format dst;
    dst.bytes.assign(largest < 64 ? 64 : largest, 0);
    dst.wfx()->wFormatTag = tag;
    *res = acmFormatSuggest(had, const_cast<WAVEFORMATEX*>(src.wfx()), dst.wfx(), dst.size(),
                            ACM_FORMATSUGGESTF_WFORMATTAG);
    const DWORD used = dst.wfx()->wFormatTag == WAVE_FORMAT_PCM ? 18 : 18 + dst.wfx()->cbSize;
    if (*res == MMSYSERR_NOERROR && used <= dst.bytes.size()) dst.bytes.resize(used);
    if (dst.wfx()->wFormatTag == WAVE_FORMAT_PCM) dst.wfx()->cbSize = 0;
    return dst;
}

MMRESULT ConvertAll(HACMDRIVER had, const Format& src, const Format& dst, const Bytes& in, Bytes* out, DWORD block) {
    out->clear();
    HACMSTREAM has = nullptr;
    MMRESULT res = acmStreamOpen(&has, had, const_cast<WAVEFORMATEX*>(src.wfx()), const_cast<WAVEFORMATEX*>(dst.wfx()),
                                 nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME);
    if (res != MMSYSERR_NOERROR) return res;
    DWORD dstSize = 0;
    res = acmStreamSize(has, block, &dstSize, ACM_STREAMSIZEF_SOURCE);
    if (res != MMSYSERR_NOERROR) {
        acmStreamClose(has, 0);
        return res;
    }
    Bytes srcBuf(block), dstBuf(dstSize);
    ACMSTREAMHEADER hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.cbStruct = sizeof hdr;
    hdr.pbSrc = srcBuf.data();
    hdr.cbSrcLength = block;
    hdr.pbDst = dstBuf.data();
    hdr.cbDstLength = dstSize;
    res = acmStreamPrepareHeader(has, &hdr, 0);
    if (res != MMSYSERR_NOERROR) {
        acmStreamClose(has, 0);
        return res;
    }
    std::size_t pos = 0;
    DWORD remaining = 0;
    int idle = 0;
    for (;;) {
        const bool last = pos >= in.size();
        const DWORD take = static_cast<DWORD>(std::min<std::size_t>(block - remaining, in.size() - pos));
        if (take) std::memcpy(srcBuf.data() + remaining, in.data() + pos, take);
        pos += take;
        hdr.cbSrcLength = remaining + take;
        if (last && hdr.cbSrcLength == 0 && idle > 0) break;
        res = acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN);
        if (res == MMSYSERR_NOERROR && hdr.cbDstLengthUsed == 0) res = acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_END);
        if (res != MMSYSERR_NOERROR) break;
        out->insert(out->end(), dstBuf.begin(), dstBuf.begin() + hdr.cbDstLengthUsed);
        remaining = hdr.cbSrcLength - hdr.cbSrcLengthUsed;
        if (remaining) std::memmove(srcBuf.data(), srcBuf.data() + hdr.cbSrcLengthUsed, remaining);
        const bool progress = hdr.cbDstLengthUsed || hdr.cbSrcLengthUsed;
        if (last) {
            if (!progress || ++idle > 64) break;  // drained, or a codec that never takes its rest
        }
    }
    hdr.cbSrcLength = block;
    acmStreamUnprepareHeader(has, &hdr, 0);
    acmStreamClose(has, 0);
    return res;
}

Bytes Signal16(WORD channels, DWORD rate, DWORD frames) {
    Bytes b(static_cast<std::size_t>(frames) * channels * 2);
    std::uint32_t noise = 12345;
    const double pi = 3.14159265358979323846;
    for (DWORD i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        for (WORD c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double sweep = 200.0 + 1800.0 * t / (1.0 + t);
            double v = 0.25 * std::sin(2 * pi * (220.0 * (c + 1)) * t) + 0.15 * std::sin(2 * pi * 1333.0 * t + c) +
                       0.08 * std::sin(2 * pi * sweep * t) + 0.004 * ((noise >> 16) / 32768.0 - 1.0);
            const int s = static_cast<int>(std::lround(v * 32767.0));
            const std::size_t at = (static_cast<std::size_t>(i) * channels + c) * 2;
            b[at] = static_cast<std::uint8_t>(s & 0xFF);
            b[at + 1] = static_cast<std::uint8_t>((s >> 8) & 0xFF);
        }
    }
    return b;
}

std::vector<std::int16_t> Samples16(const Bytes& b) {
    std::vector<std::int16_t> s(b.size() / 2);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(b[2 * i] | (b[2 * i + 1] << 8)));
    return s;
}

double SnrDb(const std::vector<std::int16_t>& ref, const std::vector<std::int16_t>& test) {
    const std::size_t n = std::min(ref.size(), test.size());
    double signal = 0, noise = 0;
    for (std::size_t i = 0; i < n; ++i) {
        signal += static_cast<double>(ref[i]) * ref[i];
        const double d = static_cast<double>(ref[i]) - test[i];
        noise += d * d;
    }
    if (noise == 0) return 200.0;
    return 10.0 * std::log10(signal / noise);
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

namespace {
void Put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
}  // namespace

Bytes WaveFile(const Format& fmt, const Bytes& data) {
    Bytes b;
    const char* riff = "RIFF";
    b.insert(b.end(), riff, riff + 4);
    Put32(b, 0);
    const char* ids = "WAVEfmt ";
    b.insert(b.end(), ids, ids + 8);
    Put32(b, fmt.size());
    b.insert(b.end(), fmt.bytes.begin(), fmt.bytes.end());
    if (fmt.size() & 1) b.push_back(0);
    const char* dataId = "data";
    b.insert(b.end(), dataId, dataId + 4);
    Put32(b, static_cast<std::uint32_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    if (data.size() & 1) b.push_back(0);
    const std::uint32_t riffSize = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<std::uint8_t>(riffSize >> (8 * i));
    return b;
}

bool ParseWave(const Bytes& file, Format* fmt, Bytes* data) {
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) || std::memcmp(file.data() + 8, "WAVE", 4)) return false;
    bool haveFmt = false, haveData = false;
    std::size_t at = 12;
    while (at + 8 <= file.size()) {
        const std::uint32_t size = Get32(file, at + 4);
        const std::size_t body = at + 8;
        const std::size_t end = std::min<std::size_t>(file.size(), body + size);
        if (!std::memcmp(file.data() + at, "fmt ", 4)) {
            fmt->bytes.assign(file.begin() + body, file.begin() + end);
            if (fmt->bytes.size() < sizeof(WAVEFORMATEX)) fmt->bytes.resize(sizeof(WAVEFORMATEX), 0);
            haveFmt = true;
        } else if (!std::memcmp(file.data() + at, "data", 4)) {
            data->assign(file.begin() + body, file.begin() + end);
            haveData = true;
        }
        at = body + size + (size & 1);
    }
    return haveFmt && haveData;
}

namespace {
BOOL CALLBACK FindTagCallback(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA details, DWORD_PTR instance, DWORD) {
    auto* found = reinterpret_cast<std::pair<DWORD, HACMDRIVERID>*>(instance);
    if (details->dwFormatTag == found->first) {
        found->second = hadid;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

HACMDRIVERID FindDriverFor(WORD tag) {
    std::pair<DWORD, HACMDRIVERID> found{tag, nullptr};
    ACMFORMATTAGDETAILSA details;
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    acmFormatTagEnumA(nullptr, &details, FindTagCallback, reinterpret_cast<DWORD_PTR>(&found), 0);
    return found.second;
}

#ifndef _WIN32
Scratch::Scratch() {
    char pattern[] = "/tmp/quillon-acm-XXXXXX";
    const char* made = mkdtemp(pattern);
    dir_ = made ? made : "/tmp";
}

Scratch::~Scratch() {
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            unlink((dir_ + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    rmdir(dir_.c_str());
}

bool HaveTool(const char* name) {
    return RunTool(std::string("command -v ") + name + " >/dev/null 2>&1");
}

bool RunTool(const std::string& commandLine) {
    const int rc = std::system(commandLine.c_str());
    return rc == 0;
}

bool WriteFileBytes(const std::string& path, const Bytes& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

Bytes ReadFileBytes(const std::string& path) {
    Bytes b;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return b;
    std::uint8_t buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}
#endif

}  // namespace acmtest
