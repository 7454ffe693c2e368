// The codec catalogue against the compression manager itself (our layer natively, Wine's msacm32
// under Wine): the same drivers in the same order with the same tags; natively also fake drivers.
#include "acm_test_util.h"
#include "convert/codec.h"
#include "quillon.h"

namespace {

struct PlatformDriver { HACMDRIVERID id; std::string name; DWORD declaredTags;
    std::vector<std::pair<DWORD, std::string>> tags; };

// The enumeration ends at a driver that is not exactly one of codec, converter or filter.
BOOL CALLBACK CollectDriver(HACMDRIVERID hadid, DWORD_PTR instance, DWORD support) {
    if (support != ACMDRIVERDETAILS_SUPPORTF_CODEC && support != ACMDRIVERDETAILS_SUPPORTF_CONVERTER &&
        support != ACMDRIVERDETAILS_SUPPORTF_FILTER)
        return FALSE;
    ACMDRIVERDETAILSA d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    EXPECT_EQ(MMSYSERR_NOERROR, acmDriverDetailsA(hadid, &d, 0));
    reinterpret_cast<std::vector<PlatformDriver>*>(instance)->push_back({hadid, d.szLongName, d.cFormatTags, {}});
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
        HACMDRIVER had = nullptr;
        if (acmMetrics(reinterpret_cast<HACMOBJ>(p.id), ACM_METRIC_DRIVER_SUPPORT, &support) != MMSYSERR_NOERROR ||
            (support & ACMDRIVERDETAILS_SUPPORTF_DISABLED) || acmDriverOpen(&had, p.id, 0) != MMSYSERR_NOERROR)
            continue;
        ACMFORMATTAGDETAILSA d;
        std::memset(&d, 0, sizeof d);
        d.cbStruct = sizeof d;
        acmFormatTagEnumA(had, &d, CollectTag, reinterpret_cast<DWORD_PTR>(&p.tags), 0);
        acmDriverClose(had, 0);
    }
    return list;
}

// The catalogue as the platform lists it; every record is filled with 0x55 before the call.
void ExpectCatalogue(const std::vector<PlatformDriver>& expected, const char* what) {
    ASSERT_EQ(expected.size(), GetNumberOfCodec()) << what;
    for (unsigned short i = 0; i < expected.size(); ++i) {
        const PlatformDriver& p = expected[i];
        tACMDRIVERINFO info;
        std::memset(&info, 0x55, sizeof info);
        ASSERT_EQ(0, GetCodecDescription(&info, i)) << what;
        EXPECT_EQ(p.name, std::string(info.formatDescription)) << what;
        EXPECT_TRUE(info.codecIndex == i && info.hadid == static_cast<void*>(p.id) && info.cFormatTag == p.declaredTags &&
                    info.currentFormatTag == p.tags.size() && !info.pFormatTagInfo && !info.next)
            << p.name << ": " << info.cFormatTag << " tags declared, " << info.currentFormatTag << " listed";
        for (unsigned short t = 0; !p.tags.empty() && t < p.tags.size() + 2; ++t) {  // past the count: the first
            tACMCODECFORMATTAGINFO tag;
            std::memset(&tag, 0x55, sizeof tag);
            ASSERT_EQ(0, GetCodecFormatTagDescription(&tag, i, t)) << p.name;
            const unsigned listed = t < p.tags.size() ? t : 0;
            EXPECT_TRUE(tag.codecIndex == i && tag.formatTagIndex == listed && tag.next == nullptr) << p.name << t;
            EXPECT_EQ(p.tags[listed].first, tag.formatTag) << p.name;
            EXPECT_EQ(p.tags[listed].second, std::string(tag.formatTagDescription)) << p.name;
        }
        if (p.tags.empty()) {
            tACMCODECFORMATTAGINFO tag;
            EXPECT_EQ(QUILLON_CONV_ERR_NO_CODEC, GetCodecFormatTagDescription(&tag, i, 0)) << p.name << ": no tags";
        }
    }
    // Outside the list, or no record: refused. A tag's codec is the first driver listing it.
    tACMDRIVERINFO info;
    tACMCODECFORMATTAGINFO tag;
    const unsigned short n = static_cast<unsigned short>(expected.size()), none = QUILLON_CONV_ERR_NO_CODEC;
    EXPECT_TRUE(GetCodecDescription(&info, n) == none && GetCodecDescription(&info, 65535) == none &&
                GetCodecDescription(nullptr, 0) == none && GetCodecFormatTagDescription(&tag, n, 0) == none &&
                GetCodecFormatTagDescription(nullptr, 0, 0) == none)
        << what;
    for (DWORD wanted : {1u, 2u, 6u, 7u, 0x11u, 0x55u, 0x7777u, 0x8888u}) {
        int first = -1;
        for (unsigned i = expected.size(); i-- > 0;)
            for (const auto& t : expected[i].tags)
                if (t.first == wanted) first = static_cast<int>(i);
        EXPECT_EQ(first, GetCodecIndexFromLinkList(wanted)) << what << ": tag " << wanted;
    }
}

}  // namespace

TEST(Catalogue, ListsTheManagersDriversInItsOrderWithTheirTags) {
    const std::vector<PlatformDriver> expected = PlatformCatalogue();
    ASSERT_GE(expected.size(), 5u);
    ExpectCatalogue(expected, "built-in drivers");
    ExpectCatalogue(expected, "a rebuild gives the same list");
    EXPECT_NE(-1, GetCodecIndexFromLinkList(WAVE_FORMAT_MPEGLAYER3));
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

tAcmDriverTable Fake(const char* name, DWORD support, DWORD declared = 2, MMRESULT (*query)(DWORD*) = nullptr) {
    tAcmDriverTable t = acmtest::FakeTable(name, support, kTwoTags, declared);
    t.querySupport = query;
    return t;
}

}  // namespace

TEST(CatalogueFakeDrivers, DisabledMultiPurposeFailingAndMissingDrivers) {
    std::vector<std::string> builtins;
    for (const PlatformDriver& p : PlatformCatalogue()) builtins.push_back(p.name);
    const DWORD codec = ACMDRIVERDETAILS_SUPPORTF_CODEC;
    const tAcmDriverTable disabled = Fake("Disabled", codec | ACMDRIVERDETAILS_SUPPORTF_DISABLED);
    const tAcmDriverTable both = Fake("Codec and converter", codec | ACMDRIVERDETAILS_SUPPORTF_CONVERTER);
    const tAcmDriverTable filter = Fake("Filter", ACMDRIVERDETAILS_SUPPORTF_FILTER);
    const tAcmDriverTable failing = Fake("Failing support", codec, 2, FailingSupport);
    const tAcmDriverTable undercounted = Fake("Declares three tags", ACMDRIVERDETAILS_SUPPORTF_CONVERTER, 3);
    // install: each table, and whether at the end; in expected "*" stands for the built-in drivers.
    struct Case { const char* what; std::vector<std::pair<const tAcmDriverTable*, bool>> install; bool hideBuiltins;
        std::vector<std::string> expected; };
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
        acmtest::FakeDrivers fakes;
        for (const auto& [table, atEnd] : c.install) fakes.Add(table, atEnd);
        if (c.hideBuiltins) acmQuillonShowBuiltinDrivers(FALSE);
        const std::vector<PlatformDriver> platform = PlatformCatalogue();
        std::vector<std::string> want, got;
        for (const std::string& e : c.expected) {
            if (e == "*") want.insert(want.end(), builtins.begin(), builtins.end());
            else want.push_back(e);
        }
        for (const PlatformDriver& p : platform) got.push_back(p.name);
        EXPECT_EQ(want, got) << c.what;
        ExpectCatalogue(platform, c.what);
    }
}
#endif
