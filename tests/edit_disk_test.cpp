// Edits against small filesystems: a full temporary drive, a destination on another filesystem
// than the temporary directory, a free-space need beyond 32 bits. The filesystems are tmpfs
// mounts, so these tests run natively as root only; elsewhere they skip and say why.
#include "edit_test_util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};

class EditDisk : public EditFixture {};

TEST_F(EditDisk, FullTemporaryDriveFailsWithItsCodeAndChangesNothing) {
    TinyDisk disk(Path("small"), "2m");
    QT_SKIP_WITHOUT_TMPFS(disk);
    ASSERT_EQ(SetTempPath(disk.path().c_str()), 0);

    // Twice the file does not fit: refused before any change.
    const Bytes large = EditSource(kStereo16, CountingSamples(1200000));
    const std::string big = Write("big.wav", large);
    for (Op op : {Op::Cut, Op::Copy, Op::Clear, Op::Crop, Op::MuteBoth, Op::Trim, Op::Insert}) {
        EXPECT_EQ(RunOp(op, big, 0, 100, 2, true, Path("clip.wav"), ""), 303) << OpName(op);
        EXPECT_EQ(ReadBytes(big), large);
    }

    // The need is tested before the silence is known: thirty seconds of 8-bit silence (bytes of
    // 128: silence of zeros would be left as a hole and take no room) fill the disk while the
    // edit file is written, and the write failure ends the edit.
    const Bytes small = EditSource(Fmt{2, 44100, 8}, CountingSamples(100000));
    const std::string file = Write("a.wav", small);
    for (bool undo : {true, false}) {
        AudioEditSetUndoRedo(undo ? 1 : 0);
        for (bool sync : {true, false}) {
            EXPECT_EQ(RunOp(Op::Insert, file, 0, 30000, 2, sync, "", ""), 301);
            EXPECT_EQ(ReadBytes(file), small);
            for (const std::string& f : ListDir(disk.path()))
                EXPECT_EQ(ReadBytes(disk.File(f)).size(), 0u) << f << " was left with content";
        }
    }
}

TEST_F(EditDisk, FreeSpaceNeedOfFilesOverTwoGigabytesIsCountedIn64Bits) {
    TinyDisk disk(Path("small"), "2m");
    QT_SKIP_WITHOUT_TMPFS(disk);
    ASSERT_EQ(SetTempPath(disk.path().c_str()), 0);
    // A sparse source of 2 GiB + 256 KiB: twice its size wraps in 32 bits to 512 KiB, which
    // would fit the 2 MiB disk.
    const std::uint32_t dataSize = 0x80040000u;
    const Bytes head = RiffFile({{"fmt ", PcmFormat(2, 44100, 16)}, {"data", Bytes(), true, dataSize}});
    const std::string file = Path("huge.wav");
    ASSERT_TRUE(WriteBytes(file, head));
#ifndef _WIN32
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(dataSize) + static_cast<off_t>(head.size())), 0);
#endif
    for (Op op : {Op::Cut, Op::Copy, Op::Clear, Op::Crop, Op::MuteBoth, Op::Trim, Op::Insert})
        EXPECT_EQ(RunOp(op, file, 0, 100, QUILLON_TIME_BYTES, true, Path("clip.wav"), ""), 303) << OpName(op);
    DeleteFileA(file.c_str());
}

TEST_F(EditDisk, DestinationOnAnotherFilesystemIsReplacedWhole) {
    TinyDisk disk(Path("other"), "8m");
    QT_SKIP_WITHOUT_TMPFS(disk);
    const Bytes samples = CountingSamples(400000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const std::string file = Write("a.wav", source);
    const std::string dest = disk.File("dest.wav");
    WriteBytes(dest, Bytes{9, 9, 9});
    for (bool sync : {true, false}) {
        ASSERT_EQ(RunOp(Op::Clear, file, 1000, 2000, QUILLON_TIME_BYTES, sync, "", dest), 0);
        EXPECT_EQ(ReadBytes(dest), ExpectedFile(header, Join({Slice(samples, 0, 1000), Slice(samples, 2000, 400000)})));
        EXPECT_EQ(ReadBytes(file), source);
        EXPECT_EQ(ListDir(disk.path()).size(), 1u) << "no temporary copy is left beside the destination";
    }
    // The other filesystem is full: the copy beside the destination fails, the old file stays.
    const std::string filler = disk.File("filler");
    WriteBytes(dest, Bytes{7, 7});
    WriteBytes(filler, Bytes(8 * 1024 * 1024, 1));  // fills the disk to its last byte
    EXPECT_EQ(RunOp(Op::Clear, file, 0, 4, QUILLON_TIME_BYTES, true, "", dest), 319);
    EXPECT_EQ(ReadBytes(dest), (Bytes{7, 7}));
    EXPECT_EQ(ListDir(disk.path()).size(), 2u);
    // Undo writes back across filesystems the same way.
    DeleteFileA(filler.c_str());
    const std::string onOther = disk.File("b.wav");
    WriteBytes(onOther, source);
    ASSERT_EQ(AudioCut(onOther.c_str(), 0, 400, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 0);
    ASSERT_EQ(AudioEditUndo(), 0);
    EXPECT_EQ(ReadBytes(onOther), source);
}

}  // namespace
}  // namespace qt
