// The codec catalogue against the compression manager itself: the same drivers in the same
// order with the same format tags, whatever the world (our layer natively, Wine's msacm32 under
// Wine). Natively, fake drivers show how disabled, failing and multi-purpose drivers end or
// shape the list.
#include "acm_test_util.h"
#include "convert/codec.h"
#include "quillon.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct PlatformDriver {
    HACMDRIVERID id;
    DWORD support;
    std::string name;
    DWORD declaredTags;
    std::vector<std::pair<DWORD, std::string>> tags;
};

BOOL CALLBACK CollectDriver(HACMDRIVERID hadid, DWORD_PTR instance, DWORD support) {
    auto* list = reinterpret_cast<std::vector<PlatformDriver>*>(instance);
    if (support != ACMDRIVERDETAILS_SUPPORTF_CODEC && support != ACMDRIVERDETAILS_SUPPORTF_CONVERTER &&
        support != ACMDRIVERDETAILS_SUPPORTF_FILTER)
        return FALSE;
    ACMDRIVERDETAILSA d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(hadid, &d, 0));
    list->push_back({hadid, support, d.szLongName, d.cFormatTags, {}});
    return TRUE;
}

BOOL CALLBACK CollectTag(HACMDRIVERID, LPACMFORMATTAGDETAILSA d, DWORD_PTR instance, DWORD) {
    reinterpret_cast<std::vector<std::pair<DWORD, std::string>>*>(instance)->push_back({d->dwFormatTag, d->szFormatTag});
    return TRUE;
}

// What the catalogue should hold, asked of the platform directly.
std::vector<PlatformDriver> PlatformCatalogue() {
    std::vector<PlatformDriver> list;
    acmDriverEnum(CollectDriver, reinterpret_cast<DWORD_PTR>(&list), ACM_DRIVERENUMF_DISABLED);
    for (PlatformDriver& p : list) {
        DWORD support = 0;
        if (acmMetrics(reinterpret_cast<HACMOBJ>(p.id), ACM_METRIC_DRIVER_SUPPORT, &support) != MMSYSERR_NOERROR ||
            (support & ACMDRIVERDETAILS_SUPPORTF_DISABLED))
            continue;
        HACMDRIVER had = nullptr;
        if (acmDriverOpen(&had, p.id, 0) != MMSYSERR_NOERROR) continue;
        ACMFORMATTAGDETAILSA d;
        std::memset(&d, 0, sizeof d);
        d.cbStruct = sizeof d;
        acmFormatTagEnumA(had, &d, CollectTag, reinterpret_cast<DWORD_PTR>(&p.tags), 0);
        acmDriverClose(had, 0);
    }
    return list;
}

void Fill55(void* p, std::size_t n) { std::memset(p, 0x55, n); }

}  // namespace

TEST(Catalogue, ListsTheManagersDriversInItsOrderWithTheirTags) {
    const std::vector<PlatformDriver> expected = PlatformCatalogue();
    ASSERT_GE(expected.size(), 5u);
    for (int round = 0; round < 2; ++round) {  // a rebuild gives the same list again
        ASSERT_EQ(expected.size(), GetNumberOfCodec());
        for (unsigned i = 0; i < expected.size(); ++i) {
            const PlatformDriver& p = expected[i];
            tACMDRIVERINFO info;
            Fill55(&info, sizeof info);
            ASSERT_EQ(0, GetCodecDescription(&info, static_cast<unsigned short>(i)));
            EXPECT_EQ(i, info.codecIndex);
            EXPECT_EQ(static_cast<void*>(p.id), info.hadid);
            EXPECT_EQ(p.declaredTags, info.cFormatTag) << p.name;
            EXPECT_EQ(p.tags.size(), info.currentFormatTag) << p.name;
            EXPECT_EQ(p.name, std::string(info.formatDescription));
            EXPECT_EQ(nullptr, info.pFormatTagInfo);
            EXPECT_EQ(nullptr, info.next);
            for (unsigned t = 0; t < p.tags.size(); ++t) {
                tACMCODECFORMATTAGINFO tag;
                Fill55(&tag, sizeof tag);
                ASSERT_EQ(0, GetCodecFormatTagDescription(&tag, static_cast<unsigned short>(i),
                                                          static_cast<unsigned short>(t)));
                EXPECT_EQ(i, tag.codecIndex);
                EXPECT_EQ(t, tag.formatTagIndex);
                EXPECT_EQ(p.tags[t].first, tag.formatTag) << p.name;
                EXPECT_EQ(p.tags[t].second, std::string(tag.formatTagDescription)) << p.name;
                EXPECT_EQ(nullptr, tag.next);
            }
        }
    }
}

TEST(Catalogue, PositionsOutsideTheListAreRefusedOrFallBackToTheFirstTag) {
    const unsigned short n = GetNumberOfCodec();
    ASSERT_GT(n, 0);
    tACMDRIVERINFO info;
    tACMCODECFORMATTAGINFO tag, first;
    ASSERT_EQ(0, GetCodecDescription(&info, 0));
    ASSERT_GT(info.currentFormatTag, 0u);
    ASSERT_EQ(0, GetCodecFormatTagDescription(&first, 0, 0));
    struct Case {
        const char* what;
        unsigned short result;
        unsigned short expected;
    };
    const Case cases[] = {
        {"driver past the end", GetCodecDescription(&info, n), QUILLON_CONV_ERR_NO_CODEC},
        {"driver 65535", GetCodecDescription(&info, 65535), QUILLON_CONV_ERR_NO_CODEC},
        {"no record", GetCodecDescription(nullptr, 0), QUILLON_CONV_ERR_NO_CODEC},
        {"tags of a driver past the end", GetCodecFormatTagDescription(&tag, n, 0), QUILLON_CONV_ERR_NO_CODEC},
        {"no tag record", GetCodecFormatTagDescription(nullptr, 0, 0), QUILLON_CONV_ERR_NO_CODEC},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, c.result) << c.what;
    // A tag index at or past the listed count gives the driver's first tag.
    for (unsigned index : {info.currentFormatTag, info.currentFormatTag + 1, 65535u}) {
        Fill55(&tag, sizeof tag);
        ASSERT_EQ(0, GetCodecFormatTagDescription(&tag, 0, static_cast<unsigned short>(index)));
        EXPECT_EQ(0, std::memcmp(&first, &tag, sizeof tag)) << index;
    }
}

TEST(Catalogue, CodecIndexForAFormatTagIsTheFirstDriverListingIt) {
    const std::vector<PlatformDriver> drivers = PlatformCatalogue();
    auto firstListing = [&](DWORD tag) {
        for (unsigned i = 0; i < drivers.size(); ++i)
            for (const auto& t : drivers[i].tags)
                if (t.first == tag) return static_cast<int>(i);
        return -1;
    };
    for (DWORD tag : {1u, 2u, 6u, 7u, 0x11u, 0x55u, 0x7777u}) {
        EXPECT_EQ(firstListing(tag), GetCodecIndexFromLinkList(tag)) << "tag " << tag;
    }
    EXPECT_EQ(-1, GetCodecIndexFromLinkList(0x7777));
    EXPECT_NE(-1, GetCodecIndexFromLinkList(WAVE_FORMAT_MPEGLAYER3));
}

TEST(Catalogue, RecordsKeepTheirPublishedLayout) {
    // 152 and 64 bytes in the 32-bit build (asserted when it compiles); the same order with
    // natural pointer sizes here.
    EXPECT_EQ(0u, offsetof(tACMDRIVERINFO, codecIndex));
    EXPECT_EQ(sizeof(void*), offsetof(tACMDRIVERINFO, hadid));
    EXPECT_EQ(2 * sizeof(void*), offsetof(tACMDRIVERINFO, cFormatTag));
    EXPECT_EQ(2 * sizeof(void*) + 8, offsetof(tACMDRIVERINFO, formatDescription));
    EXPECT_EQ(2 * sizeof(void*) + 136, offsetof(tACMDRIVERINFO, pFormatTagInfo));
    EXPECT_EQ(12u, offsetof(tACMCODECFORMATTAGINFO, formatTagDescription));
    EXPECT_EQ(sizeof(void*) == 4 ? 60u : 64u, offsetof(tACMCODECFORMATTAGINFO, next));
}

#ifdef _WIN32
TEST(CatalogueFakeDrivers, NeedTheLinuxLayer) {
    GTEST_SKIP() << "fake drivers are installed through the Linux compression manager's seam; Windows and Wine "
                    "install drivers only from driver modules";
}
#else
namespace {

MMRESULT FailingSupport(DWORD*) { return MMSYSERR_ERROR; }

const tAcmFormatTagInfo kTwoTags[] = {{WAVE_FORMAT_PCM, 16, 1, "PCM"}, {0x7777, 18, 1, "Fake tag"}};

tAcmDriverTable Fake(const char* name, DWORD support) {
    return tAcmDriverTable{"fake", name, support, 2, kTwoTags, 2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// Installs fakes for one test; at the end removes them, shows the built-in drivers and rebuilds
// the catalogue so the next test sees the usual one.
struct Installed {
    std::vector<HACMDRIVERID> ids;
    void Add(const tAcmDriverTable* t, bool atEnd) {
        HACMDRIVERID id = nullptr;
        ASSERT_EQ(MMSYSERR_NOERROR, acmQuillonInstallDriver(t, atEnd ? TRUE : FALSE, &id));
        ids.push_back(id);
    }
    ~Installed() {
        for (HACMDRIVERID id : ids) acmQuillonRemoveDriver(id);
        acmQuillonShowBuiltinDrivers(TRUE);
        GetNumberOfCodec();
    }
};

std::vector<std::string> Names() {
    std::vector<std::string> names;
    const unsigned short n = GetNumberOfCodec();
    for (unsigned short i = 0; i < n; ++i) {
        tACMDRIVERINFO info;
        EXPECT_EQ(0, GetCodecDescription(&info, i));
        names.push_back(info.formatDescription);
    }
    return names;
}

}  // namespace

TEST(CatalogueFakeDrivers, DisabledMultiPurposeFailingAndMissingDrivers) {
    const std::vector<std::string> builtins = Names();
    const tAcmDriverTable disabled = Fake("Disabled", ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    const tAcmDriverTable both = Fake("Codec and converter", ACMDRIVERDETAILS_SUPPORTF_CODEC | ACMDRIVERDETAILS_SUPPORTF_CONVERTER);
    const tAcmDriverTable filter = Fake("Filter", ACMDRIVERDETAILS_SUPPORTF_FILTER);
    tAcmDriverTable failing = Fake("Failing support", ACMDRIVERDETAILS_SUPPORTF_CODEC);
    failing.querySupport = FailingSupport;
    tAcmDriverTable undercounted = Fake("Declares three tags", ACMDRIVERDETAILS_SUPPORTF_CONVERTER);
    undercounted.cFormatTags = 3;

    struct Case {
        const char* what;
        std::vector<std::pair<const tAcmDriverTable*, bool>> install;  // table, at the end
        bool hideBuiltins;
        std::vector<std::string> expected;  // "*" stands for the built-in drivers
    };
    const Case cases[] = {
        {"a disabled driver first ends the list at once", {{&disabled, false}}, false, {}},
        {"a disabled driver last ends it after the others", {{&disabled, true}}, false, {"*"}},
        {"codec and converter at once ends the list there", {{&both, true}, {&filter, true}}, false, {"*"}},
        {"a filter is listed", {{&filter, false}}, false, {"Filter", "*"}},
        {"a failing support query keeps the driver, without tags", {{&failing, true}}, false, {"*", "Failing support"}},
        {"no drivers at all", {}, true, {}},
        {"more tags declared than listed", {{&undercounted, false}}, true, {"Declares three tags"}},
    };
    for (const Case& c : cases) {
        Installed fakes;
        for (const auto& [table, atEnd] : c.install) fakes.Add(table, atEnd);
        if (c.hideBuiltins) acmQuillonShowBuiltinDrivers(FALSE);
        std::vector<std::string> want;
        for (const std::string& e : c.expected) {
            if (e == "*") want.insert(want.end(), builtins.begin(), builtins.end());
            else want.push_back(e);
        }
        EXPECT_EQ(want, Names()) << c.what;
        if (want.empty()) {
            tACMDRIVERINFO info;
            tACMCODECFORMATTAGINFO tag;
            EXPECT_EQ(QUILLON_CONV_ERR_NO_CODEC, GetCodecDescription(&info, 0)) << c.what;
            EXPECT_EQ(QUILLON_CONV_ERR_NO_CODEC, GetCodecFormatTagDescription(&tag, 0, 0)) << c.what;
            EXPECT_EQ(-1, GetCodecIndexFromLinkList(WAVE_FORMAT_PCM)) << c.what;
        }
        for (unsigned short i = 0; i < want.size(); ++i) {
            tACMDRIVERINFO info;
            ASSERT_EQ(0, GetCodecDescription(&info, i));
            if (want[i] == "Failing support") {
                EXPECT_EQ(2u, info.cFormatTag);
                EXPECT_EQ(0u, info.currentFormatTag);
                tACMCODECFORMATTAGINFO tag;
                EXPECT_EQ(QUILLON_CONV_ERR_NO_CODEC, GetCodecFormatTagDescription(&tag, i, 0));
            }
            if (want[i] == "Declares three tags") {
                EXPECT_EQ(3u, info.cFormatTag);
                EXPECT_EQ(2u, info.currentFormatTag);
            }
        }
    }
    EXPECT_EQ(builtins, Names());
}
#endif
