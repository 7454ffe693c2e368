// The compression manager as the library uses it: driver enumeration, details, metrics, open
// and close, format tags, suggestions, the format chooser and conversion streams, with every
// argument check the library can reach. Natively this runs against our layer; built for
// Windows it runs against the platform's msacm32 (under Wine here), so both must agree.
#include "acm_test_util.h"

using namespace acmtest;

namespace {

struct Seen { HACMDRIVERID id; DWORD support; };
BOOL CALLBACK Collect(HACMDRIVERID hadid, DWORD_PTR instance, DWORD support) {
    reinterpret_cast<std::vector<Seen>*>(instance)->push_back({hadid, support});
    return TRUE;
}
std::vector<Seen> Drivers(DWORD flags = 0) {
    std::vector<Seen> seen;
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverEnum(Collect, reinterpret_cast<DWORD_PTR>(&seen), flags));
    return seen;
}

BOOL CALLBACK CollectTags(HACMDRIVERID, LPACMFORMATTAGDETAILSA d, DWORD_PTR instance, DWORD) {
    reinterpret_cast<std::vector<ACMFORMATTAGDETAILSA>*>(instance)->push_back(*d);
    return TRUE;
}
// A record filled with 0x55 (so that untouched fields show) or zeros, its size field set.
template <typename Record>
Record Sized(DWORD cbStruct = sizeof(Record), int fill = 0x55) {
    Record r;
    std::memset(&r, fill, sizeof r);
    r.cbStruct = cbStruct;
    return r;
}
std::vector<ACMFORMATTAGDETAILSA> Tags(HACMDRIVER had) {  // of one driver, or of all
    std::vector<ACMFORMATTAGDETAILSA> tags;
    auto query = Sized<ACMFORMATTAGDETAILSA>(sizeof(ACMFORMATTAGDETAILSA), 0);
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatTagEnumA(had, &query, CollectTags, reinterpret_cast<DWORD_PTR>(&tags), 0));
    return tags;
}
DWORD Metric(HACMOBJ object, UINT metric) {
    DWORD value = 0x55555555;
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(object, metric, &value)) << metric;
    return value;
}

// An open driver handle, closed at the end of the scope.
struct DriverHandle {
    HACMDRIVER had = nullptr;
    explicit DriverHandle(HACMDRIVERID id) { EXPECT_EQ(MMSYSERR_NOERROR, acmDriverOpen(&had, id, 0)); }
    ~DriverHandle() { if (had) acmDriverClose(had, 0); }
};

}  // namespace

// The catalogue the library builds: every driver, its details (only the bytes asked for), its
// support, its format tags, and the largest format, which sizes every format buffer.
TEST(AcmDrivers, EnumerationDetailsTagsAndLargestFormatAgree) {
    const std::vector<Seen> all = Drivers();
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(all.size(), Drivers(ACM_DRIVERENUMF_DISABLED).size()) << "nothing is disabled by default";
    for (WORD tag : {WAVE_FORMAT_PCM, WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW,
                     WAVE_FORMAT_MPEGLAYER3})
        EXPECT_NE(nullptr, FindDriverFor(tag)) << "no driver for tag " << tag;
    DWORD largestSeen = 0;
    for (const Seen& s : all) {
        const HACMOBJ object = reinterpret_cast<HACMOBJ>(s.id);
        EXPECT_EQ(s.support, Metric(object, ACM_METRIC_DRIVER_SUPPORT));
        auto full = Sized<ACMDRIVERDETAILSA>();
        ASSERT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(s.id, &full, 0));
        EXPECT_EQ(ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC, full.fccType);
        EXPECT_GT(std::strlen(full.szLongName), 0u);
        EXPECT_EQ(s.support, full.fdwSupport);
        // A record cut after fdwSupport: the tag count and all after it stay untouched.
        auto part = Sized<ACMDRIVERDETAILSA>(offsetof(ACMDRIVERDETAILSA, cFormatTags));
        ASSERT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(s.id, &part, 0));
        EXPECT_EQ(full.fdwSupport, part.fdwSupport);
        EXPECT_EQ(0x55555555u, part.cFormatTags);

        DriverHandle opened(s.id);
        const std::vector<ACMFORMATTAGDETAILSA> tags = Tags(opened.had);
        EXPECT_LE(tags.size(), full.cFormatTags);
        DWORD largest = 0;
        for (const ACMFORMATTAGDETAILSA& t : tags) {
            largest = std::max(largest, t.cbFormatSize);
            EXPECT_NE('\0', t.szFormatTag[0]);
        }
        EXPECT_EQ(largest, Metric(object, ACM_METRIC_MAX_SIZE_FORMAT));
        EXPECT_EQ(largest, Metric(reinterpret_cast<HACMOBJ>(opened.had), ACM_METRIC_MAX_SIZE_FORMAT));
        largestSeen = std::max(largestSeen, largest);
    }
    const std::vector<ACMFORMATTAGDETAILSA> allTags = Tags(nullptr);
    EXPECT_EQ(1, std::count_if(allTags.begin(), allTags.end(), [](const ACMFORMATTAGDETAILSA& t) {
                  return t.dwFormatTag == WAVE_FORMAT_PCM;
              })) << "across all drivers PCM is listed once";
    EXPECT_EQ(largestSeen, Metric(nullptr, ACM_METRIC_MAX_SIZE_FORMAT));
    EXPECT_GE(largestSeen, 50u) << "MS ADPCM's format with its 7 coefficient pairs is 50 bytes";

    int calls = 0;
    auto stopAtOnce = [](HACMDRIVERID, DWORD_PTR instance, DWORD) -> BOOL {
        return ++*reinterpret_cast<int*>(instance) == 0;
    };
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverEnum(stopAtOnce, reinterpret_cast<DWORD_PTR>(&calls), 0));
    EXPECT_EQ(1, calls);
}

TEST(AcmDrivers, ArgumentChecksGiveMsacmResults) {
    const HACMDRIVERID first = Drivers().at(0).id;
    const HACMOBJ firstObject = reinterpret_cast<HACMOBJ>(first);
    auto details = Sized<ACMDRIVERDETAILSA>(), tiny = Sized<ACMDRIVERDETAILSA>(3);
    auto tag = Sized<ACMFORMATTAGDETAILSA>(sizeof(ACMFORMATTAGDETAILSA), 0), shortTag = tag;
    shortTag.cbStruct = sizeof tag - 1;
    Format pcm = Pcm(2, 44100, 16), ima = Coded(WAVE_FORMAT_IMA_ADPCM, 2, 44100);
    Bytes buf(256, 0);
    auto* dst = reinterpret_cast<WAVEFORMATEX*>(buf.data());
    DWORD value = 0;
    HACMDRIVER had = nullptr;
    const struct { const char* what; MMRESULT expected, got; } cases[] = {
        {"enum without callback", MMSYSERR_INVALPARAM, acmDriverEnum(nullptr, 0, 0)},
        {"enum with unknown flag", MMSYSERR_INVALFLAG, acmDriverEnum(Collect, 0, 1)},
        {"details without record", MMSYSERR_INVALPARAM, acmDriverDetailsA(first, nullptr, 0)},
        {"details with cbStruct 3", MMSYSERR_INVALPARAM, acmDriverDetailsA(first, &tiny, 0)},
        {"details with a flag", MMSYSERR_INVALFLAG, acmDriverDetailsA(first, &details, 1)},
        {"details of no driver", MMSYSERR_INVALHANDLE, acmDriverDetailsA(nullptr, &details, 0)},
        {"support of no driver", MMSYSERR_INVALHANDLE, acmMetrics(nullptr, ACM_METRIC_DRIVER_SUPPORT, &value)},
        {"support into nothing", MMSYSERR_INVALPARAM, acmMetrics(firstObject, ACM_METRIC_DRIVER_SUPPORT, nullptr)},
        {"largest format into nothing", MMSYSERR_INVALPARAM, acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, nullptr)},
        {"driver count for a driver", MMSYSERR_INVALHANDLE, acmMetrics(firstObject, ACM_METRIC_COUNT_DRIVERS, &value)},
        {"a metric not kept", MMSYSERR_NOTSUPPORTED, acmMetrics(nullptr, 30 /* hardware wave input */, &value)},
        {"open into nothing", MMSYSERR_INVALPARAM, acmDriverOpen(nullptr, first, 0)},
        {"open with a flag", MMSYSERR_INVALFLAG, acmDriverOpen(&had, first, 1)},
        {"open no driver", MMSYSERR_INVALHANDLE, acmDriverOpen(&had, nullptr, 0)},
        {"close no driver", MMSYSERR_INVALHANDLE, acmDriverClose(nullptr, 0)},
        {"tags with a short record", MMSYSERR_INVALPARAM, acmFormatTagEnumA(nullptr, &shortTag, CollectTags, 0, 0)},
        {"tags with a flag", MMSYSERR_INVALFLAG, acmFormatTagEnumA(nullptr, &tag, CollectTags, 0, 1)},
        {"tags without record", MMSYSERR_INVALPARAM, acmFormatTagEnumA(nullptr, nullptr, CollectTags, 0, 0)},
        {"suggest from nothing", MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, nullptr, dst, 256, 0)},
        {"suggest into nothing", MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, pcm.wfx(), nullptr, 256, 0)},
        {"suggest with a flag", MMSYSERR_INVALFLAG, acmFormatSuggest(nullptr, pcm.wfx(), dst, 256, 1)},
        // A compressed source needs room for the largest format of all drivers.
        {"suggest into too little", MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, ima.wfx(), dst, 18, 0)},
    };
    for (const auto& c : cases) EXPECT_EQ(c.expected, c.got) << c.what;
    ASSERT_EQ(MMSYSERR_NOERROR, acmDriverOpen(&had, first, 0));
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmDriverClose(had, 1));
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverClose(had, 0));
}

// The suggestions the library asks for, from any driver or from one, and the streams they open.
TEST(AcmFormats, SuggestionsOpenStreams) {
    Format pcm = Pcm(2, 44100, 16), mp3 = Mp3(2, 44100, 128), pcm8 = Pcm(2, 22050, 8);
    // tag: the destination tag fixed with ACM_FORMATSUGGESTF_WFORMATTAG; then the format expected.
    const struct { const char* what; Format src; WORD tag; MMRESULT expected; WORD channels; DWORD rate;
        WORD bits, blockAlign; } cases[] = {
        {"PCM to IMA ADPCM, 44.1 kHz stereo", pcm, WAVE_FORMAT_IMA_ADPCM, 0, 2, 44100, 4, 2048},
        {"PCM to IMA ADPCM, 8 kHz mono", Pcm(1, 8000, 16), WAVE_FORMAT_IMA_ADPCM, 0, 1, 8000, 4, 256},
        {"PCM to MS ADPCM, 22.05 kHz mono", Pcm(1, 22050, 16), WAVE_FORMAT_ADPCM, 0, 1, 22050, 4, 512},
        {"PCM to A-law", Pcm(1, 8000, 16), WAVE_FORMAT_ALAW, 0, 1, 8000, 8, 1},
        {"PCM to mu-law, stereo", Pcm(2, 8000, 16), WAVE_FORMAT_MULAW, 0, 2, 8000, 8, 2},
        {"MP3 to PCM", mp3, WAVE_FORMAT_PCM, 0, 2, 44100, 16, 4},
        {"MP3 mono 22.05 kHz to PCM", Mp3(1, 22050, 64), WAVE_FORMAT_PCM, 0, 1, 22050, 16, 2},
        {"PCM to an unknown tag", pcm, 0x7777, ACMERR_NOTPOSSIBLE, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MMRESULT res = 0;
        const Format dst = Suggest(nullptr, c.src, c.tag, &res);
        EXPECT_EQ(c.expected, res);
        if (res != MMSYSERR_NOERROR) continue;
        const WAVEFORMATEX* w = dst.wfx();
        EXPECT_EQ(std::make_tuple(c.tag, c.channels, c.rate, c.bits, c.blockAlign),
                  std::make_tuple(w->wFormatTag, w->nChannels, w->nSamplesPerSec, w->wBitsPerSample, w->nBlockAlign));
        if (c.tag == WAVE_FORMAT_ADPCM && !kMsAdpcmEncoderPresent) continue;  // Wine's converter only decodes
        HACMSTREAM has = nullptr;
        EXPECT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&has, nullptr, const_cast<WAVEFORMATEX*>(c.src.wfx()),
                                                  const_cast<WAVEFORMATEX*>(w), nullptr, 0, 0, ACM_STREAMOPENF_QUERY));
    }
    // PCM from no driver and no fixed tag suggests itself; a driver gives its own answer.
    Bytes buf(256, 0);
    auto* dst = reinterpret_cast<WAVEFORMATEX*>(buf.data());
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatSuggest(nullptr, pcm.wfx(), dst, 18, 0));
    EXPECT_EQ(0, std::memcmp(dst, pcm.wfx(), 16));
    Format ima = Coded(WAVE_FORMAT_IMA_ADPCM, 2, 44100);
    DriverHandle imaDriver(FindDriverFor(WAVE_FORMAT_IMA_ADPCM));
    dst->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatSuggest(imaDriver.had, ima.wfx(), dst, 256, ACM_FORMATSUGGESTF_WFORMATTAG));
    EXPECT_TRUE(dst->wBitsPerSample == 16 && dst->nBlockAlign == 4 && dst->nAvgBytesPerSec == 176400u);
    dst->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmFormatSuggest(imaDriver.had, mp3.wfx(), dst, 256, ACM_FORMATSUGGESTF_WFORMATTAG));

    // Streams no driver can make, and a driver that does not know the tags.
    HACMSTREAM has = nullptr;
    auto query = [&](const Format& from, const Format& to, HACMDRIVER had = nullptr) {
        return acmStreamOpen(&has, had, const_cast<WAVEFORMATEX*>(from.wfx()), const_cast<WAVEFORMATEX*>(to.wfx()),
                             nullptr, 0, 0, ACM_STREAMOPENF_QUERY);
    };
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, query(pcm, mp3)) << "MP3 encoding";
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, query(mp3, pcm8)) << "MP3 to a rate it does not have";
    EXPECT_EQ(MMSYSERR_NOERROR, query(pcm, pcm8)) << "PCM rate, width and channel change";
    DriverHandle g711(FindDriverFor(WAVE_FORMAT_ALAW));
    EXPECT_NE(MMSYSERR_NOERROR, query(mp3, pcm, g711.had));
}

// A compressed source and a buffer that holds only the 18-byte PCM record: a free suggestion is
// refused (the buffer must hold the largest format of every driver), a suggestion with the PCM
// tag fixed fits and decodes to 16 bits at the source's rate and channels.
TEST(AcmFormats, APcmRecordHoldsASuggestionOnlyWithThePcmTagFixed) {
    const struct { const char* what; Format src; } cases[] = {
        {"IMA ADPCM", Coded(WAVE_FORMAT_IMA_ADPCM, 2, 22050)}, {"MS ADPCM", MsAdpcm(2, 22050, 1024)},
        {"A-law", Law(WAVE_FORMAT_ALAW, 2)},                  {"mu-law", Law(WAVE_FORMAT_MULAW, 2)},
        {"MP3", Mp3(2, 44100, 128)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes record(18, 0x55);
        auto* dst = reinterpret_cast<WAVEFORMATEX*>(record.data());
        EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, c.src.wfx(), dst, 18, 0));
        EXPECT_EQ(Bytes(18, 0x55), record) << "nothing written";
        dst->wFormatTag = WAVE_FORMAT_PCM;
        ASSERT_EQ(MMSYSERR_NOERROR, acmFormatSuggest(nullptr, c.src.wfx(), dst, 18, ACM_FORMATSUGGESTF_WFORMATTAG));
        const WAVEFORMATEX* s = c.src.wfx();
        EXPECT_EQ(std::make_tuple(WORD{WAVE_FORMAT_PCM}, s->nChannels, s->nSamplesPerSec, WORD{16},
                                  static_cast<WORD>(2 * s->nChannels), s->nSamplesPerSec * 2 * s->nChannels),
                  std::make_tuple(dst->wFormatTag, dst->nChannels, dst->nSamplesPerSec, dst->wBitsPerSample,
                                  dst->nBlockAlign, dst->nAvgBytesPerSec));
    }
}

TEST(AcmFormats, ChooserLeavesTheStartFormat) {
#ifdef _WIN32
    GTEST_SKIP() << "the platform's format chooser is a modal window; this build has none to test";
#else
    Format ima = Coded(WAVE_FORMAT_IMA_ADPCM, 1, 22050);
    const Bytes before = ima.bytes;
    ACMFORMATCHOOSEA choose;
    std::memset(&choose, 0, sizeof choose);
    choose.cbStruct = sizeof choose;
    choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    choose.pwfx = ima.wfx();
    choose.cbwfx = ima.size();
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatChooseA(&choose));
    EXPECT_EQ(before, ima.bytes);
    EXPECT_STREQ("IMA ADPCM", choose.szFormatTag);
    EXPECT_STREQ("22050 Hz; 4 bits; Mono", choose.szFormat);
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatChooseA(nullptr));
    choose.pwfx = nullptr;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatChooseA(&choose));
#endif
}

// A header's life as the library's conversion loop drives it, and every refusal on the way.
TEST(AcmStreams, HeaderLifeCycleAndArgumentChecks) {
    Format src = Pcm(2, 44100, 16), dst = Coded(WAVE_FORMAT_IMA_ADPCM, 2, 44100);
    HACMSTREAM has = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR,
              acmStreamOpen(&has, nullptr, src.wfx(), dst.wfx(), nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME));
    DWORD size = 0;
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamSize(has, 65536, &size, ACM_STREAMSIZEF_SOURCE));
    EXPECT_EQ(9u * 2048u, size) << "65536 bytes of stereo PCM are 8.03 blocks of 2041 frames";

    Bytes in = Signal16(2, 44100, 2041 * 3), out(size, 0);
    ACMSTREAMHEADER hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.cbStruct = sizeof hdr;
    hdr.pbSrc = in.data();
    hdr.pbDst = out.data();
    hdr.cbDstLength = size;
    const DWORD whole = static_cast<DWORD>(in.size());
    const DWORD align = ACM_STREAMCONVERTF_BLOCKALIGN;
    // Each step changes the header (cbStruct, cbSrcLength, pbDst), then makes one call.
    // call: 0 prepare, 1 convert, 2 unprepare; dstUsed: after a successful conversion.
    const struct { const char* what; DWORD cbStruct, srcLength; std::size_t dstShift; int call; HACMSTREAM stream;
        DWORD flags; MMRESULT expected; DWORD dstUsed; } steps[] = {
        {"convert unprepared", sizeof hdr, whole, 0, 1, has, align, ACMERR_UNPREPARED, 0},
        {"unprepare unprepared", sizeof hdr, whole, 0, 2, has, 0, ACMERR_UNPREPARED, 0},
        {"prepare with a flag", sizeof hdr, whole, 0, 0, has, 1, MMSYSERR_INVALFLAG, 0},
        {"prepare a short header", sizeof hdr - 1, whole, 0, 0, has, 0, MMSYSERR_INVALPARAM, 0},
        {"prepare on no stream", sizeof hdr, whole, 0, 0, nullptr, 0, MMSYSERR_INVALHANDLE, 0},
        {"prepare less than a frame", sizeof hdr, 3, 0, 0, has, 0, ACMERR_NOTPOSSIBLE, 0},
        {"prepare nothing", sizeof hdr, 0, 0, 0, has, 0, MMSYSERR_INVALPARAM, 0},
        {"prepare", sizeof hdr, whole, 0, 0, has, 0, MMSYSERR_NOERROR, 0},
        {"three blocks", sizeof hdr, whole, 0, 1, has, align, MMSYSERR_NOERROR, 3 * 2048},
        {"a shorter source", sizeof hdr, 2041 * 4, 0, 1, has, align, MMSYSERR_NOERROR, 2048},
        {"a longer source", sizeof hdr, whole + 4, 0, 1, has, align, MMSYSERR_INVALPARAM, 0},
        {"a moved buffer", sizeof hdr, whole, 4, 1, has, align, MMSYSERR_INVALPARAM, 0},
        {"unprepare a moved buffer", sizeof hdr, whole, 4, 2, has, 0, MMSYSERR_INVALPARAM, 0},
        {"convert on no stream", sizeof hdr, whole, 0, 1, nullptr, 0, MMSYSERR_INVALHANDLE, 0},
        {"unprepare", sizeof hdr, whole, 0, 2, has, 0, MMSYSERR_NOERROR, 0},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        hdr.cbStruct = s.cbStruct;
        hdr.cbSrcLength = s.srcLength;
        hdr.pbDst = out.data() + s.dstShift;
        const MMRESULT r = s.call == 0   ? acmStreamPrepareHeader(s.stream, &hdr, s.flags)
                           : s.call == 1 ? acmStreamConvert(s.stream, &hdr, s.flags)
                                         : acmStreamUnprepareHeader(s.stream, &hdr, s.flags);
        EXPECT_EQ(s.expected, r);
        if (r == MMSYSERR_NOERROR && s.call == 1) {
            EXPECT_TRUE(hdr.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
            EXPECT_EQ(s.srcLength, hdr.cbSrcLengthUsed);
            EXPECT_EQ(s.dstUsed, hdr.cbDstLengthUsed);
        }
        if (r == MMSYSERR_NOERROR) { EXPECT_EQ(s.call != 2, (hdr.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) != 0); }
    }
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamConvert(has, nullptr, 0));
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmStreamSize(has, 65536, &size, 0x10));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamSize(nullptr, 65536, &size, 0));
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamClose(has, 0));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamClose(nullptr, 0));
}

#ifndef _WIN32
// ---- The POSIX layer's own drivers: a seam for fake drivers -------------------------------

namespace {

MMRESULT FailingSupport(DWORD*) { return MMSYSERR_ERROR; }

// An MP3 "decoder" that suggests 8-bit PCM carrying a mark in its rate, so that tests see which
// driver answered.
template <DWORD Mark>
MMRESULT MarkedSuggest(const WAVEFORMATEX* src, DWORD, WAVEFORMATEX* dst, DWORD, DWORD) {
    if (src->wFormatTag != WAVE_FORMAT_MPEGLAYER3) return ACMERR_NOTPOSSIBLE;
    *dst = WAVEFORMATEX{WAVE_FORMAT_PCM, 1, Mark, Mark, 1, 8, 0};
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kFakeTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"},
                                       {WAVE_FORMAT_MPEGLAYER3, 30, 1, "MPEG Layer-3"}};

tAcmDriverTable Fake(const char* name, DWORD support) { return FakeTable(name, support, kFakeTags); }

std::string LongName(HACMDRIVERID id) {
    auto d = Sized<ACMDRIVERDETAILSA>();
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(id, &d, 0));
    return d.szLongName;
}

}  // namespace

// The library lists disabled drivers too; a disabled one cannot be opened, and a support
// query may fail.
TEST(AcmFakeDrivers, DisabledAndFailingDrivers) {
    const tAcmDriverTable disabled =
        Fake("Disabled codec", ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    tAcmDriverTable failing = Fake("Failing codec", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    failing.querySupport = FailingSupport;
    FakeDrivers fakes;
    const HACMDRIVERID id = fakes.Add(&disabled), failingId = fakes.Add(&failing, true);
    const std::vector<Seen> enabled = Drivers(), all = Drivers(ACM_DRIVERENUMF_DISABLED);
    ASSERT_EQ(enabled.size() + 1, all.size());
    EXPECT_EQ(id, all.front().id);
    EXPECT_EQ(disabled.fdwSupport, all.front().support);
    EXPECT_EQ(failingId, enabled.back().id);
    EXPECT_EQ(disabled.fdwSupport, Metric(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_DRIVER_SUPPORT));
    EXPECT_EQ(0u, Metric(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_MAX_SIZE_FORMAT));
    EXPECT_EQ(1u, Metric(nullptr, ACM_METRIC_COUNT_DISABLED));
    EXPECT_EQ("Disabled codec", LongName(id));
    HACMDRIVER had = nullptr;
    EXPECT_EQ(MMSYSERR_NOTENABLED, acmDriverOpen(&had, id, 0));
    DWORD support = 0;
    EXPECT_EQ(MMSYSERR_ERROR, acmMetrics(reinterpret_cast<HACMOBJ>(failingId), ACM_METRIC_DRIVER_SUPPORT, &support));
}

// The first MP3 decoder in enumeration order answers a suggestion for any driver; without
// the built-in drivers nothing decodes, and with no drivers at all everything says so.
TEST(AcmFakeDrivers, MpegDecodersAnswerInEnumerationOrder) {
    tAcmDriverTable first = Fake("Creative MP3 CODEC", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    first.suggest = MarkedSuggest<1111>;
    tAcmDriverTable second = Fake("creative mp3 codec", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    second.suggest = MarkedSuggest<2222>;
    const Format mp3 = Mp3(2, 44100, 128), pcm = Pcm(2, 44100, 16);
    MMRESULT res = 0;
    {
        FakeDrivers fakes;
        fakes.Add(&second);
        fakes.Add(&first);  // in front of the one before
        acmQuillonShowBuiltinDrivers(FALSE);
        const std::vector<Seen> seen = Drivers();
        ASSERT_EQ(2u, seen.size());
        EXPECT_EQ("Creative MP3 CODEC", LongName(seen[0].id));
        EXPECT_EQ(1111u, Suggest(nullptr, mp3, WAVE_FORMAT_PCM, &res).wfx()->nSamplesPerSec);
        DriverHandle opened(seen[1].id);
        EXPECT_EQ(2222u, Suggest(opened.had, mp3, WAVE_FORMAT_PCM, &res).wfx()->nSamplesPerSec);
        EXPECT_EQ(ACMERR_BUSY, acmQuillonRemoveDriver(seen[1].id)) << "an open driver stays";
        HACMSTREAM has = nullptr;
        EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmStreamOpen(&has, nullptr, const_cast<WAVEFORMATEX*>(mp3.wfx()),
                                                    const_cast<WAVEFORMATEX*>(pcm.wfx()), nullptr, 0, 0,
                                                    ACM_STREAMOPENF_QUERY));
    }
    acmQuillonShowBuiltinDrivers(FALSE);
    EXPECT_TRUE(Drivers(ACM_DRIVERENUMF_DISABLED).empty());
    EXPECT_EQ(0u, Metric(nullptr, ACM_METRIC_MAX_SIZE_FORMAT));
    Suggest(nullptr, mp3, WAVE_FORMAT_PCM, &res);
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, res);
    acmQuillonShowBuiltinDrivers(TRUE);
    EXPECT_FALSE(Drivers().empty());
}

TEST(AcmFakeDrivers, StaleAndForeignHandlesAreRefused) {
    const HACMDRIVERID id = Drivers().at(0).id;
    HACMDRIVER had = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, acmDriverOpen(&had, id, 0));
    Format src = Pcm(1, 8000, 16);
    MMRESULT res = 0;
    Format dst = Suggest(had, src, WAVE_FORMAT_IMA_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res) << "the first built-in driver is the IMA ADPCM codec";
    HACMSTREAM has = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&has, had, src.wfx(), dst.wfx(), nullptr, 0, 0, 0));
    EXPECT_EQ(ACMERR_BUSY, acmDriverClose(had, 0));
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamClose(has, 0));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamClose(has, 0));
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverClose(had, 0));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmDriverClose(had, 0));
    int local = 0;
    auto details = Sized<ACMDRIVERDETAILSA>();
    DWORD v = 0;
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmDriverDetailsA(reinterpret_cast<HACMDRIVERID>(&local), &details, 0));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmMetrics(reinterpret_cast<HACMOBJ>(&local), ACM_METRIC_DRIVER_SUPPORT, &v));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmQuillonRemoveDriver(id)) << "built-in drivers stay";
}
#endif
