// The compression manager as the library uses it: driver enumeration, details, metrics, open
// and close, format tags, suggestions, the format chooser and conversion streams, with every
// argument check the library can reach. Natively this runs against our layer; built for
// Windows it runs against the platform's msacm32 (under Wine here), so both must agree.
#include "acm_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace acmtest;

namespace {

struct Seen {
    HACMDRIVERID id;
    DWORD support;
};

BOOL CALLBACK Collect(HACMDRIVERID hadid, DWORD_PTR instance, DWORD support) {
    reinterpret_cast<std::vector<Seen>*>(instance)->push_back({hadid, support});
    return TRUE;
}

std::vector<Seen> Drivers(DWORD flags = 0) {
    std::vector<Seen> seen;
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverEnum(Collect, reinterpret_cast<DWORD_PTR>(&seen), flags));
    return seen;
}

struct TagSeen {
    HACMDRIVERID id;
    DWORD index, tag, size;
    std::string name;
};

BOOL CALLBACK CollectTags(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA d, DWORD_PTR instance, DWORD) {
    reinterpret_cast<std::vector<TagSeen>*>(instance)->push_back(
        {hadid, d->dwFormatTagIndex, d->dwFormatTag, d->cbFormatSize, d->szFormatTag});
    return TRUE;
}

std::vector<TagSeen> Tags(HACMDRIVER had) {
    std::vector<TagSeen> tags;
    ACMFORMATTAGDETAILSA d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatTagEnumA(had, &d, CollectTags, reinterpret_cast<DWORD_PTR>(&tags), 0));
    return tags;
}

// An open driver handle, closed at the end of the scope.
struct DriverHandle {
    HACMDRIVER had = nullptr;
    explicit DriverHandle(HACMDRIVERID id) { EXPECT_EQ(MMSYSERR_NOERROR, acmDriverOpen(&had, id, 0)); }
    ~DriverHandle() {
        if (had) acmDriverClose(had, 0);
    }
};

}  // namespace

TEST(AcmDrivers, EnumerationListsTheCodecsTheLibraryNeedsAndStopsWhenAsked) {
    const std::vector<Seen> all = Drivers();
    ASSERT_GE(all.size(), 5u);
    // The same list with disabled drivers asked for too: nothing is disabled by default.
    EXPECT_EQ(all.size(), Drivers(ACM_DRIVERENUMF_DISABLED).size());
    for (const Seen& s : all) {
        DWORD support = 0;
        EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(reinterpret_cast<HACMOBJ>(s.id), ACM_METRIC_DRIVER_SUPPORT, &support));
        EXPECT_EQ(s.support, support);
        EXPECT_EQ(0u, support & ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    }
    for (WORD tag : {WAVE_FORMAT_PCM, WAVE_FORMAT_IMA_ADPCM, WAVE_FORMAT_ADPCM, WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW,
                     WAVE_FORMAT_MPEGLAYER3})
        EXPECT_NE(nullptr, FindDriverFor(tag)) << "no driver for tag " << tag;

    int calls = 0;
    auto stopAtOnce = [](HACMDRIVERID, DWORD_PTR instance, DWORD) -> BOOL {
        ++*reinterpret_cast<int*>(instance);
        return FALSE;
    };
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverEnum(stopAtOnce, reinterpret_cast<DWORD_PTR>(&calls), 0));
    EXPECT_EQ(1, calls);
}

TEST(AcmDrivers, ArgumentChecksGiveMsacmResults) {
    const HACMDRIVERID first = Drivers().at(0).id;
    ACMDRIVERDETAILSA details;
    DWORD value = 0;
    HACMDRIVER had = nullptr;
    struct Case {
        const char* what;
        MMRESULT expected;
        MMRESULT got;
    };
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    ACMDRIVERDETAILSA tiny;
    std::memset(&tiny, 0, sizeof tiny);
    tiny.cbStruct = 3;
    const Case cases[] = {
        {"enum without callback", MMSYSERR_INVALPARAM, acmDriverEnum(nullptr, 0, 0)},
        {"enum with unknown flag", MMSYSERR_INVALFLAG, acmDriverEnum(Collect, 0, 1)},
        {"details without record", MMSYSERR_INVALPARAM, acmDriverDetailsA(first, nullptr, 0)},
        {"details with cbStruct 3", MMSYSERR_INVALPARAM, acmDriverDetailsA(first, &tiny, 0)},
        {"details with a flag", MMSYSERR_INVALFLAG, acmDriverDetailsA(first, &details, 1)},
        {"details of no driver", MMSYSERR_INVALHANDLE, acmDriverDetailsA(nullptr, &details, 0)},
        {"support of no driver", MMSYSERR_INVALHANDLE, acmMetrics(nullptr, ACM_METRIC_DRIVER_SUPPORT, &value)},
        {"support into nothing", MMSYSERR_INVALPARAM,
         acmMetrics(reinterpret_cast<HACMOBJ>(first), ACM_METRIC_DRIVER_SUPPORT, nullptr)},
        {"largest format into nothing", MMSYSERR_INVALPARAM, acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, nullptr)},
        {"driver count for a driver", MMSYSERR_INVALHANDLE,
         acmMetrics(reinterpret_cast<HACMOBJ>(first), ACM_METRIC_COUNT_DRIVERS, &value)},
        {"a metric not kept", MMSYSERR_NOTSUPPORTED, acmMetrics(nullptr, 30 /* hardware wave input */, &value)},
        {"open into nothing", MMSYSERR_INVALPARAM, acmDriverOpen(nullptr, first, 0)},
        {"open with a flag", MMSYSERR_INVALFLAG, acmDriverOpen(&had, first, 1)},
        {"open no driver", MMSYSERR_INVALHANDLE, acmDriverOpen(&had, nullptr, 0)},
        {"close no driver", MMSYSERR_INVALHANDLE, acmDriverClose(nullptr, 0)},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.got) << c.what;

    ASSERT_EQ(MMSYSERR_NOERROR, acmDriverOpen(&had, first, 0));
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmDriverClose(had, 1));
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverClose(had, 0));
}

TEST(AcmDrivers, DetailsFillOnlyTheBytesTheCallerAsksFor) {
    for (const Seen& s : Drivers()) {
        ACMDRIVERDETAILSA full;
        std::memset(&full, 0x55, sizeof full);
        full.cbStruct = sizeof full;
        ASSERT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(s.id, &full, 0));
        EXPECT_EQ(sizeof full, full.cbStruct);
        EXPECT_EQ(ACMDRIVERDETAILS_FCCTYPE_AUDIOCODEC, full.fccType);
        EXPECT_GT(std::strlen(full.szLongName), 0u);
        EXPECT_LT(std::strlen(full.szLongName), sizeof full.szLongName);
        EXPECT_EQ(s.support, full.fdwSupport);

        // A record cut after fdwSupport: the tag count and all after it stay untouched.
        ACMDRIVERDETAILSA part;
        std::memset(&part, 0x55, sizeof part);
        part.cbStruct = offsetof(ACMDRIVERDETAILSA, cFormatTags);
        ASSERT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(s.id, &part, 0));
        EXPECT_EQ(offsetof(ACMDRIVERDETAILSA, cFormatTags), part.cbStruct);
        EXPECT_EQ(full.fdwSupport, part.fdwSupport);
        EXPECT_EQ(0x55555555u, part.cFormatTags);
        EXPECT_EQ(0x55, static_cast<unsigned char>(part.szLongName[0]));
    }
}

TEST(AcmDrivers, FormatTagsAndLargestFormatAgree) {
    DWORD largestOfAll = 0;
    ASSERT_EQ(MMSYSERR_NOERROR, acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largestOfAll));
    DWORD largestSeen = 0;
    for (const Seen& s : Drivers()) {
        ACMDRIVERDETAILSA details;
        std::memset(&details, 0, sizeof details);
        details.cbStruct = sizeof details;
        ASSERT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(s.id, &details, 0));
        DriverHandle opened(s.id);
        const std::vector<TagSeen> tags = Tags(opened.had);
        EXPECT_LE(tags.size(), details.cFormatTags);
        DWORD largest = 0;
        for (const TagSeen& t : tags) {
            EXPECT_EQ(s.id, t.id);
            largest = std::max(largest, t.size);
            if (t.tag == WAVE_FORMAT_PCM) {
                EXPECT_EQ("PCM", t.name);
            }
            EXPECT_FALSE(t.name.empty());
        }
        DWORD metric = 0;
        EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(reinterpret_cast<HACMOBJ>(s.id), ACM_METRIC_MAX_SIZE_FORMAT, &metric));
        EXPECT_EQ(largest, metric);
        DWORD viaHandle = 0;
        EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(reinterpret_cast<HACMOBJ>(opened.had), ACM_METRIC_MAX_SIZE_FORMAT, &viaHandle));
        EXPECT_EQ(largest, viaHandle);
        largestSeen = std::max(largestSeen, largest);
    }
    EXPECT_EQ(largestSeen, largestOfAll);
    EXPECT_GE(largestOfAll, 50u) << "MS ADPCM's format with its 7 coefficient pairs is 50 bytes";

    // Across all drivers PCM is reported once.
    int pcm = 0;
    for (const TagSeen& t : Tags(nullptr)) pcm += t.tag == WAVE_FORMAT_PCM;
    EXPECT_EQ(1, pcm);

    ACMFORMATTAGDETAILSA d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d - 1;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatTagEnumA(nullptr, &d, CollectTags, 0, 0));
    d.cbStruct = sizeof d;
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmFormatTagEnumA(nullptr, &d, CollectTags, 0, 1));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatTagEnumA(nullptr, nullptr, CollectTags, 0, 0));
}

TEST(AcmFormats, SuggestionsForTheLibrarysRequests) {
    struct Case {
        const char* what;
        Format src;
        WORD tag;  // destination tag fixed with ACM_FORMATSUGGESTF_WFORMATTAG
        MMRESULT expected;
        WORD channels;
        DWORD rate;
        WORD bits;
        WORD blockAlign;  // 0: not checked
    };
    const Case cases[] = {
        {"PCM to IMA ADPCM, 44.1 kHz stereo", Pcm(2, 44100, 16), WAVE_FORMAT_IMA_ADPCM, 0, 2, 44100, 4, 2048},
        {"PCM to IMA ADPCM, 8 kHz mono", Pcm(1, 8000, 16), WAVE_FORMAT_IMA_ADPCM, 0, 1, 8000, 4, 256},
        {"PCM to MS ADPCM, 22.05 kHz mono", Pcm(1, 22050, 16), WAVE_FORMAT_ADPCM, 0, 1, 22050, 4, 512},
        {"PCM to A-law", Pcm(1, 8000, 16), WAVE_FORMAT_ALAW, 0, 1, 8000, 8, 1},
        {"PCM to mu-law, stereo", Pcm(2, 8000, 16), WAVE_FORMAT_MULAW, 0, 2, 8000, 8, 2},
        {"MP3 to PCM", Mp3(2, 44100, 128), WAVE_FORMAT_PCM, 0, 2, 44100, 16, 4},
        {"MP3 mono 22.05 kHz to PCM", Mp3(1, 22050, 64), WAVE_FORMAT_PCM, 0, 1, 22050, 16, 2},
        {"PCM to an unknown tag", Pcm(2, 44100, 16), 0x7777, ACMERR_NOTPOSSIBLE, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        MMRESULT res = 0;
        Format dst = Suggest(nullptr, c.src, c.tag, &res);
        EXPECT_EQ(c.expected, res) << c.what;
        if (res != MMSYSERR_NOERROR) continue;
        EXPECT_EQ(c.tag, dst.wfx()->wFormatTag) << c.what;
        EXPECT_EQ(c.channels, dst.wfx()->nChannels) << c.what;
        EXPECT_EQ(c.rate, dst.wfx()->nSamplesPerSec) << c.what;
        EXPECT_EQ(c.bits, dst.wfx()->wBitsPerSample) << c.what;
        if (c.blockAlign) {
            EXPECT_EQ(c.blockAlign, dst.wfx()->nBlockAlign) << c.what;
        }
        // Every suggestion opens a stream (Wine's MS ADPCM converter suggests but cannot encode).
        if (c.tag == WAVE_FORMAT_ADPCM && !kMsAdpcmEncoderPresent) continue;
        HACMSTREAM has = nullptr;
        EXPECT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&has, nullptr, const_cast<WAVEFORMATEX*>(c.src.wfx()), dst.wfx(), nullptr, 0, 0,
                                                  ACM_STREAMOPENF_QUERY))
            << c.what;
    }
}

TEST(AcmFormats, SuggestionArgumentChecks) {
    Format pcm = Pcm(2, 44100, 16);
    Format ima = Pcm(2, 44100, 16);
    MMRESULT res = 0;
    ima = Suggest(nullptr, pcm, WAVE_FORMAT_IMA_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);
    Bytes buf(256, 0);
    auto* dst = reinterpret_cast<WAVEFORMATEX*>(buf.data());
    // A PCM source with no driver and no fixed tag suggests itself.
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatSuggest(nullptr, pcm.wfx(), dst, 18, 0));
    EXPECT_EQ(0, std::memcmp(dst, pcm.wfx(), 16));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, nullptr, dst, 256, 0));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, pcm.wfx(), nullptr, 256, 0));
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmFormatSuggest(nullptr, pcm.wfx(), dst, 256, 1));
    // Any compressed source needs room for the largest format of all drivers.
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatSuggest(nullptr, ima.wfx(), dst, 18, 0));
    // With a driver: the driver's own answer.
    const HACMDRIVERID imaDriver = FindDriverFor(WAVE_FORMAT_IMA_ADPCM);
    ASSERT_NE(nullptr, imaDriver);
    DriverHandle opened(imaDriver);
    std::memset(buf.data(), 0, buf.size());
    dst->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(MMSYSERR_NOERROR, acmFormatSuggest(opened.had, ima.wfx(), dst, 256, ACM_FORMATSUGGESTF_WFORMATTAG));
    EXPECT_EQ(WAVE_FORMAT_PCM, dst->wFormatTag);
    EXPECT_EQ(16, dst->wBitsPerSample);
    EXPECT_EQ(4, dst->nBlockAlign);
    EXPECT_EQ(176400u, dst->nAvgBytesPerSec);
    Format mp3 = Mp3(2, 44100, 128);
    dst->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmFormatSuggest(opened.had, mp3.wfx(), dst, 256, ACM_FORMATSUGGESTF_WFORMATTAG));
}

TEST(AcmFormats, ChooserLeavesTheStartFormat) {
#ifdef _WIN32
    GTEST_SKIP() << "the platform's format chooser is a modal window; this build has none to test";
#else
    Format ima;
    MMRESULT res = 0;
    ima = Suggest(nullptr, Pcm(1, 22050, 16), WAVE_FORMAT_IMA_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);
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
    choose.cbStruct = sizeof choose - 1;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatChooseA(&choose));
    choose.cbStruct = sizeof choose;
    choose.pwfx = nullptr;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatChooseA(&choose));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmFormatChooseA(nullptr));
#endif
}

TEST(AcmStreams, HeaderLifeCycleAndArgumentChecks) {
    Format src = Pcm(2, 44100, 16);
    MMRESULT res = 0;
    Format dst = Suggest(nullptr, src, WAVE_FORMAT_IMA_ADPCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);

    EXPECT_EQ(MMSYSERR_NOERROR,
              acmStreamOpen(nullptr, nullptr, src.wfx(), dst.wfx(), nullptr, 0, 0, ACM_STREAMOPENF_QUERY));
    HACMSTREAM has = nullptr;
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamOpen(&has, nullptr, src.wfx(), dst.wfx(), nullptr, 0, 0,
                                              ACM_STREAMOPENF_NONREALTIME));
    ASSERT_NE(nullptr, has);

    DWORD size = 0;
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamSize(has, 65536, &size, ACM_STREAMSIZEF_SOURCE));
    // 65536 bytes of stereo PCM are 8.03 blocks of 2041 frames: nine 2048-byte blocks.
    EXPECT_EQ(9u * 2048u, size);
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmStreamSize(has, 65536, &size, 0x10));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamSize(nullptr, 65536, &size, 0));

    Bytes in = Signal16(2, 44100, 2041 * 3);
    Bytes out(size, 0);
    ACMSTREAMHEADER hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.cbStruct = sizeof hdr;
    hdr.pbSrc = in.data();
    hdr.cbSrcLength = static_cast<DWORD>(in.size());
    hdr.pbDst = out.data();
    hdr.cbDstLength = size;
    EXPECT_EQ(ACMERR_UNPREPARED, acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN));
    EXPECT_EQ(ACMERR_UNPREPARED, acmStreamUnprepareHeader(has, &hdr, 0));
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmStreamPrepareHeader(has, &hdr, 1));
    hdr.cbStruct = sizeof hdr - 1;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamPrepareHeader(has, &hdr, 0));
    hdr.cbStruct = sizeof hdr;
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamPrepareHeader(nullptr, &hdr, 0));
    // A PCM source shorter than one frame cannot be prepared.
    hdr.cbSrcLength = 3;
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmStreamPrepareHeader(has, &hdr, 0));
    hdr.cbSrcLength = 0;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamPrepareHeader(has, &hdr, 0));
    hdr.cbSrcLength = static_cast<DWORD>(in.size());
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamPrepareHeader(has, &hdr, 0));
    EXPECT_TRUE(hdr.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);

    // Three whole blocks in, three blocks out, done bit set.
    ASSERT_EQ(MMSYSERR_NOERROR, acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN));
    EXPECT_TRUE(hdr.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE);
    EXPECT_EQ(in.size(), hdr.cbSrcLengthUsed);
    EXPECT_EQ(3u * 2048u, hdr.cbDstLengthUsed);

    // A shorter source is fine; a longer one or a moved buffer is not.
    hdr.cbSrcLength = 2041 * 4;
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN));
    EXPECT_EQ(2048u, hdr.cbDstLengthUsed);
    hdr.cbSrcLength = static_cast<DWORD>(in.size()) + 4;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN));
    hdr.cbSrcLength = static_cast<DWORD>(in.size());
    hdr.pbDst = out.data() + 4;
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamConvert(has, &hdr, ACM_STREAMCONVERTF_BLOCKALIGN));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamUnprepareHeader(has, &hdr, 0));
    hdr.pbDst = out.data();
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamConvert(nullptr, &hdr, 0));
    EXPECT_EQ(MMSYSERR_INVALPARAM, acmStreamConvert(has, nullptr, 0));

#ifndef _WIN32
    // Wine's msacm32 does not look at this reserved argument; ours refuses it.
    EXPECT_EQ(MMSYSERR_INVALFLAG, acmStreamUnprepareHeader(has, &hdr, 1));
#endif
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamUnprepareHeader(has, &hdr, 0));
    EXPECT_FALSE(hdr.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);
    EXPECT_EQ(MMSYSERR_NOERROR, acmStreamClose(has, 0));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmStreamClose(nullptr, 0));
}

TEST(AcmStreams, OpeningRefusesWhatNoDriverDoes) {
    Format pcm = Pcm(2, 44100, 16);
    Format mp3 = Mp3(2, 44100, 128);
    Format pcm8 = Pcm(2, 22050, 8);
    HACMSTREAM has = nullptr;
    struct Case {
        const char* what;
        const Format* src;
        const Format* dst;
        MMRESULT expected;
    };
    const Case cases[] = {
        {"MP3 encoding", &pcm, &mp3, ACMERR_NOTPOSSIBLE},
        {"MP3 to a rate it does not have", &mp3, &pcm8, ACMERR_NOTPOSSIBLE},
        {"PCM rate, width and channel change", &pcm, &pcm8, MMSYSERR_NOERROR},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, acmStreamOpen(&has, nullptr, const_cast<WAVEFORMATEX*>(c.src->wfx()),
                                            const_cast<WAVEFORMATEX*>(c.dst->wfx()), nullptr, 0, 0,
                                            ACM_STREAMOPENF_QUERY))
            << c.what;

    // A driver that does not know the tags: its own refusal.
    const HACMDRIVERID g711 = FindDriverFor(WAVE_FORMAT_ALAW);
    ASSERT_NE(nullptr, g711);
    DriverHandle opened(g711);
    EXPECT_NE(MMSYSERR_NOERROR,
              acmStreamOpen(&has, opened.had, mp3.wfx(), pcm.wfx(), nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME));
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
    dst->wFormatTag = WAVE_FORMAT_PCM;
    dst->nChannels = 1;
    dst->nSamplesPerSec = Mark;
    dst->wBitsPerSample = 8;
    dst->nBlockAlign = 1;
    dst->nAvgBytesPerSec = Mark;
    return MMSYSERR_NOERROR;
}

const tAcmFormatTagInfo kFakeTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"},
                                       {WAVE_FORMAT_MPEGLAYER3, 30, 1, "MPEG Layer-3"}};

tAcmDriverTable Fake(const char* name, DWORD support) {
    return tAcmDriverTable{"fake", name, support, 2, kFakeTags, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Installs fakes for the life of a test and shows the built-in drivers again at the end.
struct Installed {
    std::vector<HACMDRIVERID> ids;
    HACMDRIVERID Add(const tAcmDriverTable* t, bool atEnd = false) {
        HACMDRIVERID id = nullptr;
        EXPECT_EQ(MMSYSERR_NOERROR, acmQuillonInstallDriver(t, atEnd ? TRUE : FALSE, &id));
        ids.push_back(id);
        return id;
    }
    ~Installed() {
        for (HACMDRIVERID id : ids) EXPECT_EQ(MMSYSERR_NOERROR, acmQuillonRemoveDriver(id));
        acmQuillonShowBuiltinDrivers(TRUE);
    }
};

std::string LongName(HACMDRIVERID id) {
    ACMDRIVERDETAILSA d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(id, &d, 0));
    return d.szLongName;
}

}  // namespace

TEST(AcmFakeDrivers, ADisabledDriverIsListedOnlyWhenAskedAndCannotBeOpened) {
    const tAcmDriverTable disabled = Fake("Disabled codec", ACMDRIVERDETAILS_SUPPORTF_CODEC |
                                                                ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    Installed fakes;
    const HACMDRIVERID id = fakes.Add(&disabled);
    const std::vector<Seen> enabled = Drivers();
    const std::vector<Seen> all = Drivers(ACM_DRIVERENUMF_DISABLED);
    ASSERT_EQ(enabled.size() + 1, all.size());
    EXPECT_EQ(id, all.front().id);
    EXPECT_EQ(ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_DISABLED, all.front().support);
    DWORD support = 0, largest = 1;
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_DRIVER_SUPPORT, &support));
    EXPECT_TRUE(support & ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_MAX_SIZE_FORMAT, &largest));
    EXPECT_EQ(0u, largest);
    DWORD count = 0;
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(nullptr, ACM_METRIC_COUNT_DISABLED, &count));
    EXPECT_EQ(1u, count);
    HACMDRIVER had = nullptr;
    EXPECT_EQ(MMSYSERR_NOTENABLED, acmDriverOpen(&had, id, 0));
    EXPECT_EQ("Disabled codec", LongName(id));
}

TEST(AcmFakeDrivers, ASupportQueryCanFail) {
    tAcmDriverTable failing = Fake("Failing codec", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    failing.querySupport = FailingSupport;
    Installed fakes;
    const HACMDRIVERID id = fakes.Add(&failing, true);
    EXPECT_EQ(id, Drivers().back().id);
    DWORD support = 0;
    EXPECT_EQ(MMSYSERR_ERROR, acmMetrics(reinterpret_cast<HACMOBJ>(id), ACM_METRIC_DRIVER_SUPPORT, &support));
}

TEST(AcmFakeDrivers, MpegDecodersAnswerInEnumerationOrder) {
    tAcmDriverTable first = Fake("Creative MP3 CODEC", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    first.suggest = MarkedSuggest<1111>;
    tAcmDriverTable second = Fake("creative mp3 codec", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    second.suggest = MarkedSuggest<2222>;
    Installed fakes;
    fakes.Add(&second);
    fakes.Add(&first);  // in front of the one before
    acmQuillonShowBuiltinDrivers(FALSE);
    const std::vector<Seen> seen = Drivers();
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ("Creative MP3 CODEC", LongName(seen[0].id));
    EXPECT_EQ("creative mp3 codec", LongName(seen[1].id));

    MMRESULT res = 0;
    Format dst = Suggest(nullptr, Mp3(2, 44100, 128), WAVE_FORMAT_PCM, &res);
    ASSERT_EQ(MMSYSERR_NOERROR, res);
    EXPECT_EQ(1111u, dst.wfx()->nSamplesPerSec);
    {
        DriverHandle opened(seen[1].id);
        dst = Suggest(opened.had, Mp3(2, 44100, 128), WAVE_FORMAT_PCM, &res);
        ASSERT_EQ(MMSYSERR_NOERROR, res);
        EXPECT_EQ(2222u, dst.wfx()->nSamplesPerSec);
        // An open driver cannot be removed.
        EXPECT_EQ(ACMERR_BUSY, acmQuillonRemoveDriver(seen[1].id));
    }
    // Without the built-in drivers nothing decodes the MP3 into a stream.
    HACMSTREAM has = nullptr;
    Format pcm = Pcm(2, 44100, 16);
    EXPECT_EQ(ACMERR_NOTPOSSIBLE, acmStreamOpen(&has, nullptr, Mp3(2, 44100, 128).wfx(), pcm.wfx(), nullptr, 0, 0,
                                                ACM_STREAMOPENF_QUERY));
}

TEST(AcmFakeDrivers, WithNoDriversEverythingSaysSo) {
    acmQuillonShowBuiltinDrivers(FALSE);
    EXPECT_TRUE(Drivers(ACM_DRIVERENUMF_DISABLED).empty());
    DWORD largest = 7;
    EXPECT_EQ(MMSYSERR_NOERROR, acmMetrics(nullptr, ACM_METRIC_MAX_SIZE_FORMAT, &largest));
    EXPECT_EQ(0u, largest);
    MMRESULT res = 0;
    Suggest(nullptr, Mp3(2, 44100, 128), WAVE_FORMAT_PCM, &res);
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
    ACMDRIVERDETAILSA details;
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmDriverDetailsA(reinterpret_cast<HACMDRIVERID>(&local), &details, 0));
    DWORD v = 0;
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmMetrics(reinterpret_cast<HACMOBJ>(&local), ACM_METRIC_DRIVER_SUPPORT, &v));
    EXPECT_EQ(MMSYSERR_INVALHANDLE, acmQuillonRemoveDriver(id)) << "built-in drivers stay";
}
#endif
