// The Audio Compression Manager for the POSIX build.
//
// State: the list of installed drivers (programs' drivers in front, the built-in ones, programs'
// drivers behind), the set of open driver handles and the set of open streams. One mutex guards
// the three; it is never held while a driver function or a caller's callback runs, so a callback
// may call back into the manager. Handles are pointers to the records below and are looked up
// in the sets before any use.
//
// Results follow msacm32: argument checks in the order msacm32 makes them, MMSYSERR_* for bad
// arguments and handles, ACMERR_NOTPOSSIBLE when no driver can do what is asked.
#include "msacm32.h"

#include "acm_codec.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace {

using namespace quillon::acm;

struct DriverId {
    const tAcmDriverTable* table;
    bool builtin;
};

struct Driver {
    DriverId* id;
};

struct Stream {
    DriverId* id = nullptr;
    Driver* driver = nullptr;     // the driver the stream runs on
    bool ownsDriver = false;      // opened by acmStreamOpen itself (no driver given)
    void* state = nullptr;
    std::vector<BYTE> src;        // copies of the two formats
    std::vector<BYTE> dst;
};

// What acmStreamPrepareHeader remembers in the header's reserved words, to refuse a header
// whose buffers were moved or grown since.
struct PreparedBuffers {
    BYTE* src;
    DWORD cbSrc;
    BYTE* dst;
    DWORD cbDst;
};
static_assert(sizeof(PreparedBuffers) <= sizeof(ACMSTREAMHEADER::dwReservedDriver), "room in the header");

DriverId gBuiltins[] = {
    {&kImaAdpcmDriver, true}, {&kMsAdpcmDriver, true}, {&kG711Driver, true},
    {&kMp3Driver, true},      {&kPcmDriver, true},
};

struct Registry {
    std::mutex lock;
    std::vector<DriverId*> front;
    std::vector<DriverId*> back;
    bool showBuiltins = true;
    std::set<Driver*> drivers;
    std::set<Stream*> streams;
};

Registry& Reg() {
    static Registry registry;
    return registry;
}

// The visible drivers in enumeration order. Caller holds the lock.
std::vector<DriverId*> ListLocked(Registry& r) {
    std::vector<DriverId*> all(r.front.begin(), r.front.end());
    if (r.showBuiltins)
        for (DriverId& d : gBuiltins) all.push_back(&d);
    all.insert(all.end(), r.back.begin(), r.back.end());
    return all;
}

std::vector<DriverId*> List() {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    return ListLocked(r);
}

DriverId* FindIdLocked(Registry& r, const void* handle) {
    if (!handle) return nullptr;
    for (DriverId* d : ListLocked(r))
        if (d == handle) return d;
    return nullptr;
}

DriverId* FindId(HACMDRIVERID hadid) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    return FindIdLocked(r, hadid);
}

Driver* FindDriver(HACMDRIVER had) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.drivers.find(reinterpret_cast<Driver*>(had));
    return it == r.drivers.end() ? nullptr : *it;
}

Stream* FindStream(HACMSTREAM has) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    auto it = r.streams.find(reinterpret_cast<Stream*>(has));
    return it == r.streams.end() ? nullptr : *it;
}

bool IsDisabled(const DriverId* d) { return (d->table->fdwSupport & ACMDRIVERDETAILS_SUPPORTF_DISABLED) != 0; }

// The format tags a driver really offers: the declared count, bounded by its table.
DWORD TagCount(const tAcmDriverTable* t) { return std::min(t->cFormatTags, t->nFormatTags); }

const tAcmFormatTagInfo* FindTag(const tAcmDriverTable* t, DWORD tag) {
    for (DWORD i = 0; i < TagCount(t); ++i)
        if (t->formatTags[i].dwFormatTag == tag) return &t->formatTags[i];
    return nullptr;
}

DWORD LargestFormat(const tAcmDriverTable* t) {
    DWORD largest = 0;
    for (DWORD i = 0; i < TagCount(t); ++i) largest = std::max(largest, t->formatTags[i].cbFormatSize);
    return largest;
}

// Size of a format record as the manager copies it: PCM is 18 bytes with cbSize 0, any other
// tag 18 bytes plus its cbSize.
DWORD FormatSize(const WAVEFORMATEX* f) {
    return f->wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + f->cbSize;
}

std::vector<BYTE> CopyFormat(const WAVEFORMATEX* f) {
    std::vector<BYTE> copy(FormatSize(f));
    if (f->wFormatTag == WAVE_FORMAT_PCM) {
        std::memcpy(copy.data(), f, 16);
        reinterpret_cast<WAVEFORMATEX*>(copy.data())->cbSize = 0;
    } else {
        std::memcpy(copy.data(), f, copy.size());
    }
    return copy;
}

void CopyName(char* dst, std::size_t size, const char* src) {
    std::snprintf(dst, size, "%s", src ? src : "");
}

MMRESULT OpenDriver(DriverId* id, Driver** out) {
    if (IsDisabled(id)) return MMSYSERR_NOTENABLED;
    Driver* d = new (std::nothrow) Driver{id};
    if (!d) return MMSYSERR_NOMEM;
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    r.drivers.insert(d);
    *out = d;
    return MMSYSERR_NOERROR;
}

void CloseDriver(Driver* d) {
    Registry& r = Reg();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.drivers.erase(d);
    }
    delete d;
}

// A PCM format that the PCM converter lists among its standard formats.
bool IsStandardPcm(const WAVEFORMATEX* f) {
    static const DWORD kRates[] = {8000, 11025, 22050, 44100, 48000, 96000};
    if (f->wFormatTag != WAVE_FORMAT_PCM || f->nChannels < 1 || f->nChannels > 2) return false;
    if (f->wBitsPerSample != 8 && f->wBitsPerSample != 16 && f->wBitsPerSample != 24) return false;
    return std::find(std::begin(kRates), std::end(kRates), f->nSamplesPerSec) != std::end(kRates);
}

}  // namespace

extern "C" {

MMRESULT acmDriverEnum(ACMDRIVERENUMCB fnCallback, DWORD_PTR dwInstance, DWORD fdwEnum) {
    if (!fnCallback) return MMSYSERR_INVALPARAM;
    if (fdwEnum & ~(ACM_DRIVERENUMF_NOLOCAL | ACM_DRIVERENUMF_DISABLED)) return MMSYSERR_INVALFLAG;
    for (DriverId* d : List()) {
        if (IsDisabled(d) && !(fdwEnum & ACM_DRIVERENUMF_DISABLED)) continue;
        if (!fnCallback(reinterpret_cast<HACMDRIVERID>(d), dwInstance, d->table->fdwSupport)) break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmDriverDetailsA(HACMDRIVERID hadid, LPACMDRIVERDETAILSA padd, DWORD fdwDetails) {
    if (!padd || padd->cbStruct < 4) return MMSYSERR_INVALPARAM;
    if (fdwDetails) return MMSYSERR_INVALFLAG;
    DriverId* id = FindId(hadid);
    if (!id) return MMSYSERR_INVALHANDLE;
    const tAcmDriverTable* t = id->table;
    ACMDRIVERDETAILSA full;
    std::memset(&full, 0, sizeof full);
    full.fccType = ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC;
    full.fccComp = 0;
    full.wMid = 0xFF;
    full.wPid = 0;
    full.vdwACM = 0x01000000;
    full.vdwDriver = 0x01000000;
    full.fdwSupport = t->fdwSupport;
    full.cFormatTags = t->cFormatTags;
    full.cFilterTags = 0;
    full.hicon = nullptr;
    CopyName(full.szShortName, sizeof full.szShortName, t->szShortName);
    CopyName(full.szLongName, sizeof full.szLongName, t->szLongName);
    full.cbStruct = std::min<DWORD>(padd->cbStruct, sizeof full);
    std::memcpy(padd, &full, full.cbStruct);
    return MMSYSERR_NOERROR;
}

MMRESULT acmMetrics(HACMOBJ hao, UINT uMetric, LPVOID pMetric) {
    Registry& r = Reg();
    switch (uMetric) {
    case ACM_METRIC_COUNT_DRIVERS:
    case ACM_METRIC_COUNT_CODECS:
    case ACM_METRIC_COUNT_CONVERTERS:
    case ACM_METRIC_COUNT_FILTERS:
    case ACM_METRIC_COUNT_DISABLED: {
        if (hao) return MMSYSERR_INVALHANDLE;
        if (!pMetric) return MMSYSERR_INVALPARAM;
        static const DWORD kBit[] = {0, 0, ACMDRIVERDETAILS_SUPPORTF_CODEC, ACMDRIVERDETAILS_SUPPORTF_CONVERTER,
                                     ACMDRIVERDETAILS_SUPPORTF_FILTER};
        DWORD count = 0;
        for (DriverId* d : List()) {
            if (uMetric == ACM_METRIC_COUNT_DISABLED) count += IsDisabled(d);
            else if (!IsDisabled(d) && (uMetric == ACM_METRIC_COUNT_DRIVERS || (d->table->fdwSupport & kBit[uMetric])))
                ++count;
        }
        *static_cast<DWORD*>(pMetric) = count;
        return MMSYSERR_NOERROR;
    }
    case ACM_METRIC_MAX_SIZE_FORMAT: {
        DWORD largest = 0;
        if (!hao) {
            for (DriverId* d : List())
                if (!IsDisabled(d)) largest = std::max(largest, LargestFormat(d->table));
        } else {
            DriverId* id = nullptr;
            {
                std::lock_guard<std::mutex> guard(r.lock);
                id = FindIdLocked(r, hao);
                auto it = r.drivers.find(reinterpret_cast<Driver*>(hao));
                if (!id && it != r.drivers.end()) id = (*it)->id;
            }
            if (!id) return MMSYSERR_INVALHANDLE;
            if (!IsDisabled(id)) largest = LargestFormat(id->table);
        }
        if (!pMetric) return MMSYSERR_INVALPARAM;
        *static_cast<DWORD*>(pMetric) = largest;
        return MMSYSERR_NOERROR;
    }
    case ACM_METRIC_DRIVER_SUPPORT: {
        if (!hao) return MMSYSERR_INVALHANDLE;
        DriverId* id = FindId(reinterpret_cast<HACMDRIVERID>(hao));
        if (!id) return MMSYSERR_INVALHANDLE;
        if (!pMetric) return MMSYSERR_INVALPARAM;
        DWORD support = id->table->fdwSupport;
        if (id->table->querySupport) {
            MMRESULT res = id->table->querySupport(&support);
            if (res != MMSYSERR_NOERROR) return res;
        }
        *static_cast<DWORD*>(pMetric) = support;
        return MMSYSERR_NOERROR;
    }
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

MMRESULT acmDriverOpen(LPHACMDRIVER phad, HACMDRIVERID hadid, DWORD fdwOpen) {
    if (!phad) return MMSYSERR_INVALPARAM;
    if (fdwOpen) return MMSYSERR_INVALFLAG;
    DriverId* id = FindId(hadid);
    if (!id) return MMSYSERR_INVALHANDLE;
    Driver* d = nullptr;
    MMRESULT res = OpenDriver(id, &d);
    if (res == MMSYSERR_NOERROR) *phad = reinterpret_cast<HACMDRIVER>(d);
    return res;
}

MMRESULT acmDriverClose(HACMDRIVER had, DWORD fdwClose) {
    if (fdwClose) return MMSYSERR_INVALFLAG;
    Registry& r = Reg();
    Driver* d = nullptr;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.drivers.find(reinterpret_cast<Driver*>(had));
        if (it == r.drivers.end()) return MMSYSERR_INVALHANDLE;
        d = *it;
        for (Stream* s : r.streams)
            if (s->driver == d) return ACMERR_BUSY;
        r.drivers.erase(it);
    }
    delete d;
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagEnumA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd, ACMFORMATTAGENUMCBA fnCallback,
                           DWORD_PTR dwInstance, DWORD fdwEnum) {
    if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA)) return MMSYSERR_INVALPARAM;
    if (fdwEnum) return MMSYSERR_INVALFLAG;
    if (!fnCallback) return MMSYSERR_INVALPARAM;
    std::vector<DriverId*> ids;
    if (had) {
        Driver* d = FindDriver(had);
        if (!d) return MMSYSERR_INVALHANDLE;
        ids.push_back(d->id);
    } else {
        for (DriverId* d : List())
            if (!IsDisabled(d)) ids.push_back(d);
    }
    // The PCM tag is reported once, by the first driver that lists it.
    bool pcmDone = false;
    for (DriverId* id : ids) {
        const tAcmDriverTable* t = id->table;
        for (DWORD i = 0; i < t->cFormatTags; ++i) {
            if (i >= t->nFormatTags) continue;
            const tAcmFormatTagInfo& info = t->formatTags[i];
            if (info.dwFormatTag == WAVE_FORMAT_PCM) {
                if (pcmDone) continue;
                pcmDone = true;
            }
            paftd->dwFormatTagIndex = i;
            paftd->dwFormatTag = info.dwFormatTag;
            paftd->cbFormatSize = info.cbFormatSize;
            paftd->fdwSupport = t->fdwSupport;
            paftd->cStandardFormats = info.cStandardFormats;
            CopyName(paftd->szFormatTag, sizeof paftd->szFormatTag,
                     info.szFormatTag ? info.szFormatTag : (info.dwFormatTag == WAVE_FORMAT_PCM ? "PCM" : ""));
            if (!fnCallback(reinterpret_cast<HACMDRIVERID>(id), paftd, dwInstance, t->fdwSupport))
                return MMSYSERR_NOERROR;
        }
    }
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst, DWORD cbwfxDst,
                          DWORD fdwSuggest) {
    if (!pwfxSrc || !pwfxDst) return MMSYSERR_INVALPARAM;
    if (fdwSuggest & ~(ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                       ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE))
        return MMSYSERR_INVALFLAG;
    Driver* drv = nullptr;
    if (had && !(drv = FindDriver(had))) return MMSYSERR_INVALHANDLE;

    std::vector<DriverId*> ids;
    if (drv) {
        ids.push_back(drv->id);
    } else {
        for (DriverId* d : List())
            if (!IsDisabled(d)) ids.push_back(d);
    }

    // With no driver and no fixed tag, a PCM source that a driver lists is its own suggestion.
    if (!drv && pwfxSrc->wFormatTag == WAVE_FORMAT_PCM && !(fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) &&
        IsStandardPcm(pwfxSrc)) {
        for (DriverId* d : ids)
            if (FindTag(d->table, WAVE_FORMAT_PCM)) {
                if (cbwfxDst < 16) return MMSYSERR_INVALPARAM;
                std::memcpy(pwfxDst, pwfxSrc, 16);
                return MMSYSERR_NOERROR;
            }
    }

    // The destination must hold the largest format of the tag asked for (any tag when free).
    const bool tagFixed = (fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) != 0;
    DWORD largest = 0;
    bool found = false;
    for (DriverId* d : ids) {
        if (tagFixed) {
            if (const tAcmFormatTagInfo* info = FindTag(d->table, pwfxDst->wFormatTag)) {
                largest = std::max(largest, info->cbFormatSize);
                found = true;
            }
        } else {
            largest = std::max(largest, LargestFormat(d->table));
        }
    }
    if (tagFixed && !found) return ACMERR_NOTPOSSIBLE;
    if (cbwfxDst < largest || cbwfxDst < 16) return MMSYSERR_INVALPARAM;

    const DWORD cbSrc = FormatSize(pwfxSrc);
    MMRESULT res = ACMERR_NOTPOSSIBLE;
    for (DriverId* d : ids) {
        if (!d->table->suggest) {
            if (drv) res = MMSYSERR_NOTSUPPORTED;
            continue;
        }
        res = d->table->suggest(pwfxSrc, cbSrc, pwfxDst, cbwfxDst, fdwSuggest);
        if (res == MMSYSERR_NOERROR) return res;
    }
    return drv ? res : ACMERR_NOTPOSSIBLE;
}

MMRESULT acmFormatChooseA(LPACMFORMATCHOOSEA pafmtc) {
    // No chooser window in this build: the format the caller put in pwfx stands as the choice.
    if (!pafmtc || pafmtc->cbStruct < sizeof(ACMFORMATCHOOSEA)) return MMSYSERR_INVALPARAM;
    if (!pafmtc->pwfx || pafmtc->cbwfx < 16) return MMSYSERR_INVALPARAM;
    const WAVEFORMATEX* f = pafmtc->pwfx;
    const char* tagName = "";
    for (DriverId* d : List())
        if (const tAcmFormatTagInfo* info = FindTag(d->table, f->wFormatTag)) {
            if (info->szFormatTag) tagName = info->szFormatTag;
            break;
        }
    CopyName(pafmtc->szFormatTag, sizeof pafmtc->szFormatTag, tagName);
    if (f->wBitsPerSample)
        std::snprintf(pafmtc->szFormat, sizeof pafmtc->szFormat, "%u Hz; %u bits; %s",
                      static_cast<unsigned>(f->nSamplesPerSec), static_cast<unsigned>(f->wBitsPerSample),
                      f->nChannels == 1 ? "Mono" : "Stereo");
    else
        std::snprintf(pafmtc->szFormat, sizeof pafmtc->szFormat, "%u Hz; %s",
                      static_cast<unsigned>(f->nSamplesPerSec), f->nChannels == 1 ? "Mono" : "Stereo");
    if (pafmtc->pszName && pafmtc->cchName) pafmtc->pszName[0] = '\0';
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(LPHACMSTREAM phas, HACMDRIVER had, LPWAVEFORMATEX pwfxSrc, LPWAVEFORMATEX pwfxDst,
                       LPWAVEFILTER pwfltr, DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen) {
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (query) phas = nullptr;
    if (!pwfxSrc || !pwfxDst || (!phas && !query)) return MMSYSERR_INVALPARAM;
    if (phas) *phas = nullptr;
    if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME | 0x00070000u))
        return MMSYSERR_INVALFLAG;
    if (pwfltr && pwfxSrc->wFormatTag != pwfxDst->wFormatTag) return MMSYSERR_INVALPARAM;
    // No driver of this build filters or runs asynchronously.
    if (pwfltr || (fdwOpen & ACM_STREAMOPENF_ASYNC)) return ACMERR_NOTPOSSIBLE;

    Stream* s = new (std::nothrow) Stream;
    if (!s) return MMSYSERR_NOMEM;
    s->src = CopyFormat(pwfxSrc);
    s->dst = CopyFormat(pwfxDst);
    const auto* src = reinterpret_cast<const WAVEFORMATEX*>(s->src.data());
    const auto* dst = reinterpret_cast<const WAVEFORMATEX*>(s->dst.data());
    const DWORD cbSrc = static_cast<DWORD>(s->src.size());
    const DWORD cbDst = static_cast<DWORD>(s->dst.size());

    MMRESULT res = ACMERR_NOTPOSSIBLE;
    if (had) {
        Driver* d = FindDriver(had);
        if (!d) {
            delete s;
            return MMSYSERR_INVALPARAM;
        }
        const tAcmDriverTable* t = d->id->table;
        res = t->streamOpen ? t->streamOpen(src, cbSrc, dst, cbDst, &s->state) : MMSYSERR_NOTSUPPORTED;
        if (res == MMSYSERR_NOERROR) {
            s->id = d->id;
            s->driver = d;
        }
    } else {
        for (DriverId* id : List()) {
            const tAcmDriverTable* t = id->table;
            if (IsDisabled(id) || !t->streamOpen || !FindTag(t, src->wFormatTag) || !FindTag(t, dst->wFormatTag))
                continue;
            Driver* d = nullptr;
            if (OpenDriver(id, &d) != MMSYSERR_NOERROR) continue;
            if (t->streamOpen(src, cbSrc, dst, cbDst, &s->state) == MMSYSERR_NOERROR) {
                s->id = id;
                s->driver = d;
                s->ownsDriver = true;
                res = MMSYSERR_NOERROR;
                break;
            }
            CloseDriver(d);
        }
    }
    if (res != MMSYSERR_NOERROR || query) {
        if (res == MMSYSERR_NOERROR) {
            if (s->id->table->streamClose) s->id->table->streamClose(s->state);
            if (s->ownsDriver) CloseDriver(s->driver);
        }
        delete s;
        return res;
    }
    {
        Registry& r = Reg();
        std::lock_guard<std::mutex> guard(r.lock);
        r.streams.insert(s);
    }
    *phas = reinterpret_cast<HACMSTREAM>(s);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose) {
    Registry& r = Reg();
    Stream* s = nullptr;
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto it = r.streams.find(reinterpret_cast<Stream*>(has));
        if (it == r.streams.end()) return MMSYSERR_INVALHANDLE;
        if (fdwClose) return MMSYSERR_INVALFLAG;
        s = *it;
        r.streams.erase(it);
    }
    if (s->id->table->streamClose) s->id->table->streamClose(s->state);
    if (s->ownsDriver) CloseDriver(s->driver);
    delete s;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, LPDWORD pdwOutputBytes, DWORD fdwSize) {
    Stream* s = FindStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (fdwSize & ~ACM_STREAMSIZEF_QUERYMASK) return MMSYSERR_INVALFLAG;
    if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
    *pdwOutputBytes = 0;
    const DWORD query = fdwSize & ACM_STREAMSIZEF_QUERYMASK;
    if (query != ACM_STREAMSIZEF_SOURCE && query != ACM_STREAMSIZEF_DESTINATION) return MMSYSERR_INVALFLAG;
    if (!s->id->table->streamSize) return MMSYSERR_NOTSUPPORTED;
    DWORD out = 0;
    MMRESULT res = s->id->table->streamSize(s->state, query, cbInput, &out);
    if (res == MMSYSERR_NOERROR) *pdwOutputBytes = out;
    return res;
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwPrepare) {
    Stream* s = FindStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwPrepare) return MMSYSERR_INVALFLAG;
    const auto* src = reinterpret_cast<const WAVEFORMATEX*>(s->src.data());
    if ((src->wFormatTag == WAVE_FORMAT_ADPCM || src->wFormatTag == WAVE_FORMAT_PCM) &&
        pash->cbSrcLength < src->nBlockAlign)
        return pash->cbSrcLength ? ACMERR_NOTPOSSIBLE : MMSYSERR_INVALPARAM;
    PreparedBuffers prepared{pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength};
    std::memcpy(pash->dwReservedDriver, &prepared, sizeof prepared);
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_INQUEUE;
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

namespace {
// A prepared header whose buffers are still the prepared ones, no longer than prepared.
MMRESULT CheckPrepared(const ACMSTREAMHEADER* pash) {
    if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    PreparedBuffers prepared;
    std::memcpy(&prepared, pash->dwReservedDriver, sizeof prepared);
    if (prepared.src != pash->pbSrc || prepared.cbSrc < pash->cbSrcLength || prepared.dst != pash->pbDst ||
        prepared.cbDst < pash->cbDstLength)
        return MMSYSERR_INVALPARAM;
    return MMSYSERR_NOERROR;
}
}  // namespace

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwUnprepare) {
    Stream* s = FindStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwUnprepare) return MMSYSERR_INVALFLAG;
    MMRESULT res = CheckPrepared(pash);
    if (res != MMSYSERR_NOERROR) return res;
    pash->fdwStatus &= ~(ACMSTREAMHEADER_STATUSF_INQUEUE | ACMSTREAMHEADER_STATUSF_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, LPACMSTREAMHEADER pash, DWORD fdwConvert) {
    Stream* s = FindStream(has);
    if (!s) return MMSYSERR_INVALHANDLE;
    if (!pash || pash->cbStruct < sizeof(ACMSTREAMHEADER)) return MMSYSERR_INVALPARAM;
    if (fdwConvert & ~(ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END))
        return MMSYSERR_INVALFLAG;
    if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    pash->cbSrcLengthUsed = 0;
    pash->cbDstLengthUsed = 0;
    MMRESULT res = CheckPrepared(pash);
    if (res != MMSYSERR_NOERROR) return res;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
    if (!s->id->table->streamConvert) return MMSYSERR_NOTSUPPORTED;
    DWORD used = 0, produced = 0;
    res = s->id->table->streamConvert(s->state, pash->pbSrc, pash->cbSrcLength, &used, pash->pbDst,
                                      pash->cbDstLength, &produced, fdwConvert);
    if (res != MMSYSERR_NOERROR) return res;
    pash->cbSrcLengthUsed = std::min(used, pash->cbSrcLength);
    pash->cbDstLengthUsed = std::min(produced, pash->cbDstLength);
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT acmQuillonInstallDriver(const tAcmDriverTable* table, BOOL atEnd, LPHACMDRIVERID phadid) {
    if (!table || !phadid) return MMSYSERR_INVALPARAM;
    DriverId* id = new (std::nothrow) DriverId{table, false};
    if (!id) return MMSYSERR_NOMEM;
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    if (atEnd) r.back.push_back(id);
    else r.front.insert(r.front.begin(), id);
    *phadid = reinterpret_cast<HACMDRIVERID>(id);
    return MMSYSERR_NOERROR;
}

MMRESULT acmQuillonRemoveDriver(HACMDRIVERID hadid) {
    Registry& r = Reg();
    DriverId* id = reinterpret_cast<DriverId*>(hadid);
    {
        std::lock_guard<std::mutex> guard(r.lock);
        auto inFront = std::find(r.front.begin(), r.front.end(), id);
        auto inBack = std::find(r.back.begin(), r.back.end(), id);
        if (inFront == r.front.end() && inBack == r.back.end()) return MMSYSERR_INVALHANDLE;
        for (Driver* d : r.drivers)
            if (d->id == id) return ACMERR_BUSY;
        if (inFront != r.front.end()) r.front.erase(inFront);
        else r.back.erase(inBack);
    }
    delete id;
    return MMSYSERR_NOERROR;
}

void acmQuillonShowBuiltinDrivers(BOOL show) {
    Registry& r = Reg();
    std::lock_guard<std::mutex> guard(r.lock);
    r.showBuiltins = show != FALSE;
}

}  // extern "C"

namespace quillon::acm {

MMRESULT StreamSizeThunk(void* state, DWORD fdwSize, DWORD cbInput, DWORD* pcbOutput) {
    return static_cast<CodecStream*>(state)->Size(fdwSize, cbInput, pcbOutput);
}

MMRESULT StreamConvertThunk(void* state, const BYTE* src, DWORD cbSrc, DWORD* pcbSrcUsed, BYTE* dst, DWORD cbDst,
                            DWORD* pcbDstUsed, DWORD fdwConvert) {
    return static_cast<CodecStream*>(state)->Convert(src, cbSrc, pcbSrcUsed, dst, cbDst, pcbDstUsed, fdwConvert);
}

void StreamCloseThunk(void* state) { delete static_cast<CodecStream*>(state); }

}  // namespace quillon::acm
