// Every code a user can reach through the edit calls, and the files after each: start checks,
// clip and undo states, hostile sources, a read-only destination, a destination on another
// filesystem, a full disk.
#include "edit_test_util.h"

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};

class EditErrors : public EditFixture {};

TEST_F(EditErrors, StartChecksComeInTheirOrderAndStartNoJob) {
    const std::string file = Write("a.wav", EditSource(kStereo16, CountingSamples(40000)));
    const std::string empty = Write("empty.wav", Bytes());
    const std::string compressed =
        Write("adpcm.wav", RiffFile({{"fmt ", FormatBytes(2, 2, 44100, 4, 2048)}, {"data", CountingSamples(4096)}}));
    struct Row { const char* what; std::string name; bool playing; std::string playbackName; unsigned short code; };
    const Row rows[] = {
        {"the playing file", file, true, file, 310},
        {"no name, nothing loaded", "", false, "", 100},
        {"missing file", Path("missing.wav"), false, "", 102},
        {"empty file", empty, false, "", 102},
        {"compressed file", compressed, false, "", 318},
        {"playing, named through the empty name", "", true, compressed, 318},
        {"missing before compressed", Path("nope.wav"), false, "", 102},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        alreadyPlaying = r.playing ? 1 : 0;
        CopyName(playbackFileName, r.playbackName.c_str());
        for (Op op : {Op::Cut, Op::Copy, Op::Clear, Op::Crop, Op::MuteBoth, Op::Trim, Op::Paste, Op::Insert}) {
            for (int sync : {1, 0}) {
                QUILLON_EDIT_HANDLE h = nullptr;
                EXPECT_EQ(StartOp(op, r.name.c_str(), 0, 10, 2, &h, sync, nullptr, nullptr), r.code) << OpName(op);
                EXPECT_EQ(h, nullptr) << "no job is started";
            }
        }
    }
    EXPECT_EQ(ReadBytes(file), EditSource(kStereo16, CountingSamples(40000)));
}

TEST_F(EditErrors, AnEmptyNameEditsThePlaybackFile) {
    const Bytes samples = CountingSamples(40000);
    const Bytes source = EditSource(kStereo16, samples);
    const std::string file = Write("a.wav", source);
    CopyName(playbackFileName, file.c_str());
    alreadyPlaying = 0;  // loaded, not playing
    EXPECT_EQ(AudioClear("", 0, 100, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 0);
    EXPECT_EQ(ReadBytes(file), ExpectedFile(HeaderBlock(source), Slice(samples, 100, samples.size())));
    EXPECT_STREQ(gEditCurrentFile, file.c_str());
    EXPECT_STREQ(gEditOperatedFile, file.c_str());
}

TEST_F(EditErrors, ClipStatesGiveTheirCodes) {
    const Bytes source = EditSource(kStereo16, CountingSamples(40000));
    const std::string file = Write("a.wav", source);
    EXPECT_EQ(AudioEditCanPaste(), 0);
    EXPECT_EQ(AudioPaste(file.c_str(), 0, 2, nullptr, 1), 312) << "no clip yet";
    // A clip of another rate, of other channels, of another block align; an empty clip.
    const Bytes others[] = {EditSource({2, 22050, 16}, CountingSamples(400)),
                            EditSource({1, 44100, 16}, CountingSamples(400)),
                            EditSource({2, 44100, 8}, CountingSamples(400)), EditSource(kStereo16, Bytes())};
    for (const Bytes& clip : others) {
        const std::string c = Write("clip.wav", clip);
        EXPECT_EQ(AudioPasteEx(file.c_str(), 0, 2, nullptr, 1, c.c_str(), nullptr), 308);
        EXPECT_EQ(ReadBytes(file), source);
    }
    // Cutting into a clip file that cannot be created.
    EXPECT_EQ(AudioCutInFile(file.c_str(), 0, 100, 2, nullptr, 1, "", nullptr), 301);
    EXPECT_EQ(AudioCutInFile(file.c_str(), 0, 100, 2, nullptr, 1, Path("no/such/dir/c.wav").c_str(), nullptr), 301);
    EXPECT_EQ(ReadBytes(file), source);
    EXPECT_TRUE(StrayTempFiles().empty());
    // Copy fills the clip, leaves the bookkeeping; flush empties everything again.
    gEditCurrentFile[0] = 'x';
    gEditCurrentFile[1] = '\0';
    EXPECT_EQ(AudioCopy(file.c_str(), 0, 100, 2, nullptr, 1), 0);
    EXPECT_STREQ(gEditCurrentFile, "x");
    EXPECT_EQ(AudioEditCanPaste(), 1);
    EXPECT_EQ(AudioFlushCutCopyPasteBuffer(), 0);
    EXPECT_EQ(AudioEditCanPaste(), 0);
    EXPECT_EQ(AudioEditCanUndo(), 0);
    EXPECT_EQ(AudioEditCanRedo(), 0);
}

TEST_F(EditErrors, UndoAndRedoRestoreExactBytes) {
    const Bytes samples = CountingSamples(40000);
    const Bytes source = EditSource(kStereo16, samples);
    const std::string file = Write("a.wav", source);
    EXPECT_EQ(AudioEditUndo(), 316);
    EXPECT_EQ(AudioEditRedo(), 316);
    ASSERT_EQ(AudioCut(file.c_str(), 100, 200, QUILLON_TIME_SAMPLES, nullptr, 1, nullptr), 0);
    const Bytes cut = ReadBytes(file);
    EXPECT_EQ(AudioEditCanUndo(), 1);
    ASSERT_EQ(AudioEditUndo(), 0);
    EXPECT_EQ(ReadBytes(file), source) << "undo gives every byte back, the chunk after data too";
    EXPECT_EQ(AudioEditCanRedo(), 1);
    ASSERT_EQ(AudioEditRedo(), 0);
    EXPECT_EQ(ReadBytes(file), cut);
    // Undo twice: the second saves the undone content as redo.
    ASSERT_EQ(AudioEditUndo(), 0);
    ASSERT_EQ(AudioEditUndo(), 0);
    ASSERT_EQ(AudioEditRedo(), 0);
    EXPECT_EQ(ReadBytes(file), source);
    // Disabled: 314, and edits leave the undo copy alone.
    AudioEditSetUndoRedo(0);
    EXPECT_EQ(AudioEditCanUndo(), 0);
    EXPECT_EQ(AudioEditUndo(), 314);
    EXPECT_EQ(AudioEditRedo(), 314);
    const Bytes undoBefore = ReadBytes(gUNDOFILE);
    ASSERT_EQ(AudioClear(file.c_str(), 0, 4, 2, nullptr, 1, nullptr), 0);
    EXPECT_EQ(ReadBytes(gUNDOFILE), undoBefore);
    AudioEditSetUndoRedo(1);
    // A refused edit empties the operated name: undo answers 316 though a copy exists.
    EXPECT_EQ(AudioCut(file.c_str(), 0, 999999, QUILLON_TIME_SAMPLES, nullptr, 1, nullptr), 313);
    EXPECT_EQ(AudioEditCanUndo(), 1);
    EXPECT_EQ(AudioEditUndo(), 316);
}

TEST_F(EditErrors, UndoNeverWritesOneFilesCopyOverAnother) {
    const Bytes a = EditSource(kStereo16, CountingSamples(4000));
    const Bytes b = EditSource({1, 8000, 8}, CountingSamples(3000));
    const std::string fa = Write("a.wav", a);
    const std::string fb = Write("b.wav", b);
    ASSERT_EQ(AudioClear(fa.c_str(), 0, 8, 2, nullptr, 1, nullptr), 0);
    const Bytes aEdited = ReadBytes(fa);
    // A copy of b refreshes the undo copy with b's content; a's undo must not take it.
    ASSERT_EQ(AudioCopy(fb.c_str(), 0, 8, 2, nullptr, 1), 0);
    EXPECT_EQ(AudioEditUndo(), 316);
    EXPECT_EQ(ReadBytes(fa), aEdited);
    // An emptied undo copy is not written back either.
    ASSERT_EQ(AudioClear(fa.c_str(), 0, 8, 2, nullptr, 1, nullptr), 0);
    WriteBytes(gUNDOFILE, Bytes());
    const Bytes now = ReadBytes(fa);
    EXPECT_EQ(AudioEditUndo(), 316);
    EXPECT_EQ(ReadBytes(fa), now);
}

TEST_F(EditErrors, HostileSources) {
    // Chunks before "data" longer than the copy block are carried over in pieces.
    const Bytes samples = CountingSamples(100000);
    Bytes bigList(150001, 0x5A);
    const Bytes big = RiffFile({{"fmt ", PcmFormat(2, 44100, 16)}, {"LIST", bigList}, {"data", samples}});
    const std::string f1 = Write("big.wav", big);
    ASSERT_EQ(AudioCut(f1.c_str(), 1000, 70000, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 0);
    EXPECT_EQ(ReadBytes(f1), ExpectedFile(HeaderBlock(big), Join({Slice(samples, 0, 1000), Slice(samples, 70000, 100000)})));
    EXPECT_EQ(ReadBytes(gCLIPFILE), ExpectedFile(HeaderBlock(big), Slice(samples, 1000, 70000)));

    // A "data" size that claims more than the file holds: the bytes present are the data.
    Chunk data{"data", samples, true, 900000};
    const Bytes liar = RiffFile({{"fmt ", PcmFormat(2, 44100, 16)}, data});
    const std::string f2 = Write("liar.wav", liar);
    ASSERT_EQ(AudioCrop(f2.c_str(), 0, 100000, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 0);
    EXPECT_EQ(ReadBytes(f2), ExpectedFile(HeaderBlock(liar), samples));
    EXPECT_EQ(AudioCrop(f2.c_str(), 0, 100004, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 313);

    // A frame of zero bytes cannot be edited.
    const Bytes zeroAlign = RiffFile({{"fmt ", FormatBytes(1, 2, 44100, 16, 0)}, {"data", samples}});
    const std::string f3 = Write("zero.wav", zeroAlign);
    EXPECT_EQ(AudioCut(f3.c_str(), 0, 10, 2, nullptr, 1, nullptr), 107);
    EXPECT_EQ(ReadBytes(f3), zeroAlign);
    // Not a WAVE file at all.
    const std::string f4 = Write("text.wav", Bytes(100, 'x'));
    EXPECT_EQ(AudioCut(f4.c_str(), 0, 10, 2, nullptr, 1, nullptr), 318);
    EXPECT_TRUE(StrayTempFiles().empty());
}

TEST_F(EditErrors, ReadOnlyDestinationIsLeftWhole) {
    const Bytes samples = CountingSamples(40000);
    const Bytes source = EditSource(kStereo16, samples);
    const std::string file = Write("a.wav", source);
    const std::string dest = Write("dest.wav", Bytes{1, 2, 3});
    ASSERT_TRUE(SetFileAttributesA(dest.c_str(), FILE_ATTRIBUTE_READONLY));
    for (Op op : {Op::Cut, Op::Clear, Op::Crop, Op::MuteL, Op::Trim, Op::Insert}) {
        for (bool sync : {true, false}) {
            EXPECT_EQ(RunOp(op, file, 0, 1000, 2, sync, Path("clip.wav"), dest), 319) << OpName(op);
            EXPECT_EQ(ReadBytes(dest), (Bytes{1, 2, 3}));
            EXPECT_EQ(ReadBytes(file), source);
        }
    }
    SetFileAttributesA(dest.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A destination in a folder that does not exist.
    EXPECT_EQ(AudioClear(file.c_str(), 0, 4, 2, nullptr, 1, Path("none/x.wav").c_str()), 319);
    EXPECT_EQ(ReadBytes(file), source);
}

}  // namespace
}  // namespace qt
