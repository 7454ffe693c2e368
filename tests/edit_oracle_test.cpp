// Every edit against an oracle computed from the source's bytes alone: 8- and 16-bit, mono and
// stereo, selections at 0, at the end, across the 65,520-byte block, given end first, with
// positions in bytes, frames and milliseconds (some inside a frame); run synchronously and as a
// job, which must give the same bytes and codes.
#include "edit_test_util.h"

namespace qt {
namespace {

// Test audio: counting bytes, with quiet stretches (so that trim has something to remove)
// around a loud middle.
Bytes Samples(const Fmt& f, std::size_t frames) {
    Bytes b = CountingSamples(frames * f.frame());
    const std::size_t quiet = frames / 5;
    for (std::size_t i = 0; i < frames; ++i) {
        if (i >= quiet && i < frames - quiet) continue;
        for (std::uint32_t c = 0; c < f.channels; ++c) {
            const std::size_t at = i * f.frame() + c * (f.bits / 8u);
            if (f.bits == 8) {
                b[at] = static_cast<std::uint8_t>(128 + (i % 3) - 1);  // magnitude <= 1
            } else {
                b[at] = static_cast<std::uint8_t>(i % 200);  // magnitude < 327
                b[at + 1] = 0;
            }
        }
    }
    return b;
}

// The oracle's trim: the first and last loud frames of the selection, loud meaning a sample of
// the first or second channel above 1 % of full scale.
Bytes TrimmedData(const Fmt& f, const Bytes& d, std::size_t s, std::size_t e) {
    const int threshold = f.bits == 8 ? 1 : 327;
    auto loud = [&](std::size_t frame) {
        for (std::uint32_t c = 0; c < std::min<std::uint32_t>(f.channels, 2); ++c) {
            const std::size_t at = frame + c * (f.bits / 8u);
            const int v = f.bits == 8 ? d[at] - 128 : static_cast<std::int16_t>(d[at] | (d[at + 1] << 8));
            if (std::abs(v) > threshold) return true;
        }
        return false;
    };
    std::size_t first = s, last = s;
    bool any = false;
    for (std::size_t at = s; at < e; at += f.frame()) {
        if (!loud(at)) continue;
        if (!any) first = at;
        any = true;
        last = at;
    }
    return Join({Slice(d, 0, s), Slice(d, first, last + f.frame()), Slice(d, e, d.size())});
}

Bytes MutedData(const Fmt& f, Bytes d, std::size_t s, std::size_t e, int mask) {
    for (std::size_t at = s; at < e; at += f.frame()) {
        for (std::uint32_t c = 0; c < std::min<std::uint32_t>(f.channels, 2); ++c) {
            if (!(mask & (1 << c))) continue;
            const std::size_t p = at + c * (f.bits / 8u);
            if (f.bits == 8)
                d[p] = 128;
            else
                d[p] = d[p + 1] = 0;
        }
    }
    return d;
}

// Positions a and b in the unit of `type`; paste and insert use only `a`.
struct Selection { const char* what; std::uint32_t a, b; std::uint16_t type; };

class EditOracle : public EditFixture {};

TEST_F(EditOracle, EveryEditMatchesTheSlicedSource) {
    const Fmt formats[] = {{1, 8000, 8}, {2, 22050, 8}, {1, 44100, 16}, {2, 44100, 16}};
    const std::size_t frames = 100000;  // 100,000 to 400,000 bytes: several blocks
    for (const Fmt& f : formats) {
        const std::uint32_t fr = f.frame();
        const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames * fr);
        const Selection selections[] = {
            {"from 0", 0, 1000, QUILLON_TIME_SAMPLES},
            {"to the end", 90000, 100000, QUILLON_TIME_SAMPLES},
            {"the whole data", 0, dataBytes, QUILLON_TIME_BYTES},
            {"across the block", 65520 - 6 * fr, 65520 + 10 * fr, QUILLON_TIME_BYTES},
            {"end first", 30000, 2000, QUILLON_TIME_SAMPLES},
            {"bytes inside a frame", 1001, 70001, QUILLON_TIME_BYTES},
            {"milliseconds", 3, 1100, QUILLON_TIME_MS},
            {"unknown type as ms", 7, 900, 9},
        };
        const Bytes samples = Samples(f, frames);
        const Bytes source = EditSource(f, samples);
        const Bytes header = HeaderBlock(source);
        // A clip of the same format for paste.
        const Bytes clipSamples = CountingSamples(3000 * fr);
        const Bytes clip = EditSource(f, clipSamples, false);

        for (const Selection& sel : selections) {
            const std::size_t a = ExpectedOffset(sel.a, sel.type, f);
            const std::size_t b = ExpectedOffset(sel.b, sel.type, f);
            const std::size_t s = std::min(a, b), e = std::max(a, b);
            ASSERT_LE(e, samples.size()) << sel.what;
            const std::uint32_t silenceMs = 250;
            const std::size_t silence = static_cast<std::size_t>(f.rate) * silenceMs / 1000 * fr;
            const std::size_t p = a;  // insertion point of paste and insert

            // The expected samples of the destination (of the clip for copy), and of the clip cut writes.
            struct Case { Op op; Bytes data, clipData; };
            const std::vector<Case> cases = {
                {Op::Cut, Join({Slice(samples, 0, s), Slice(samples, e, samples.size())}), Slice(samples, s, e)},
                {Op::Copy, Slice(samples, s, e), {}},
                {Op::Clear, Join({Slice(samples, 0, s), Slice(samples, e, samples.size())}), {}},
                {Op::Crop, Slice(samples, s, e), {}},
                {Op::MuteL, MutedData(f, samples, s, e, 1), {}},
                {Op::MuteR, MutedData(f, samples, s, e, 2), {}},
                {Op::MuteBoth, MutedData(f, samples, s, e, 3), {}},
                {Op::Trim, TrimmedData(f, samples, s, e), {}},
                {Op::Paste, Join({Slice(samples, 0, p), clipSamples, Slice(samples, p, samples.size())}), {}},
                {Op::Insert,
                 Join({Slice(samples, 0, p), Bytes(silence, f.bits == 8 ? 128 : 0), Slice(samples, p, samples.size())}),
                 {}},
            };
            for (const Case& c : cases) {
                for (bool sync : {true, false}) {
                    SCOPED_TRACE(std::string(OpName(c.op)) + " " + sel.what + " " + std::to_string(f.channels) + "ch " +
                                 std::to_string(f.bits) + "bit " + (sync ? "sync" : "job"));
                    const std::string file = Write("src.wav", source);
                    const std::string clipFile = Path("clip.wav");
                    if (c.op == Op::Paste) WriteBytes(clipFile, clip);
                    const std::uint32_t second = c.op == Op::Insert ? silenceMs : sel.b;
                    ASSERT_EQ(RunOp(c.op, file, sel.a, second, sel.type, sync, clipFile, ""), 0);
                    if (c.op == Op::Copy) {
                        EXPECT_EQ(ReadBytes(file), source);
                        EXPECT_EQ(ReadBytes(clipFile), ExpectedFile(header, c.data));
                    } else {
                        EXPECT_EQ(ReadBytes(file), ExpectedFile(header, c.data));
                    }
                    if (c.op == Op::Cut) { EXPECT_EQ(ReadBytes(clipFile), ExpectedFile(header, c.clipData)); }
                    EXPECT_TRUE(StrayTempFiles().empty());
                }
            }
        }
    }
}

// Edge cases of the selection: equal positions, one frame beyond the end.
TEST_F(EditOracle, EmptyAndOutOfRangeSelectionsChangeNothing) {
    const Fmt f{2, 44100, 16};
    const Bytes source = EditSource(f, CountingSamples(4000 * 4));
    struct Row { Op op; std::uint32_t a, b; unsigned short code; };
    const Row rows[] = {
        {Op::Cut, 100, 100, 302},   {Op::Copy, 100, 100, 306},     {Op::Clear, 5, 5, 320},
        {Op::Crop, 7, 7, 321},      {Op::MuteBoth, 9, 9, 320},     {Op::Trim, 0, 0, 320},
        {Op::Cut, 0, 4001, 313},    {Op::Copy, 4001, 0, 313},      {Op::Clear, 0, 4001, 313},
        {Op::Crop, 4001, 1, 313},   {Op::MuteL, 0, 4001, 313},     {Op::Trim, 0, 4001, 313},
        {Op::Insert, 4001, 10, 313}, {Op::Paste, 4001, 0, 313},
        // Inside the same frame counts as equal: 1 byte and 3 bytes both become 4.
    };
    for (const Row& r : rows) {
        for (bool sync : {true, false}) {
            SCOPED_TRACE(std::string(OpName(r.op)) + " " + std::to_string(r.a) + ".." + std::to_string(r.b));
            const std::string file = Write("src.wav", source);
            const std::string clip = Write("clip.wav", EditSource(f, CountingSamples(400)));
            EXPECT_EQ(RunOp(r.op, file, r.a, r.b, QUILLON_TIME_SAMPLES, sync, clip, ""), r.code);
            EXPECT_EQ(ReadBytes(file), source);
            EXPECT_TRUE(StrayTempFiles().empty());
        }
    }
    const std::string file = Write("src.wav", source);
    EXPECT_EQ(RunOp(Op::Cut, file, 1, 3, QUILLON_TIME_BYTES, true, Path("c.wav"), ""), 302);
    // The end of the data itself is a valid position.
    EXPECT_EQ(RunOp(Op::Crop, file, 3999, 4000, QUILLON_TIME_SAMPLES, true, "", ""), 0);
    EXPECT_EQ(DataOf(ReadBytes(file)), Slice(CountingSamples(16000), 15996, 16000));
}

}  // namespace
}  // namespace qt
