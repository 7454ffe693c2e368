// Edits from several threads at once: jobs of different kinds started together on different
// files, a synchronous edit, undo, the flush and SetTempPath while a job runs, a job cancelled
// or closed while it waits for its turn, and the format change and the conversion, which do not
// wait for edits. Every file must end as the same calls made one after the other would leave it.
#include "convert/codec.h"
#include "edit_test_util.h"
#include "frame/editlock.h"
#include "frame/jobregistry.h"

#include <random>

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};
constexpr std::uint32_t kDataBytes = 200000;  // a few copy blocks
constexpr std::uint32_t kFrom = 40000, kTo = 150000;
constexpr std::uint32_t kSilenceMs = 100;  // 4,410 frames

enum class Kind { Clear, Crop, Mute, Insert, CutOwnClip, CutLibraryClip, CopyOwnClip, Paste, ClearPastTheEnd,
                  FormatChange, Convert };

const char* KindName(Kind k) {
    static const char* names[] = {"clear", "crop", "mute", "insert silence", "cut to its own clip",
                                  "cut to the library's clip", "copy to its own clip", "paste",
                                  "clear past the end", "format change", "conversion"};
    return names[static_cast<int>(k)];
}

// Kinds that use the shared temporary set, and of those the ones that change their file.
bool UsesEditLock(Kind k) { return k != Kind::FormatChange && k != Kind::Convert; }
bool ChangesItsFile(Kind k) { return UsesEditLock(k) && k != Kind::CopyOwnClip; }

// Counting audio, made different for every file so that no file can pass for another.
Bytes DistinctSamples(int index) {
    Bytes d = CountingSamples(kDataBytes);
    for (std::uint8_t& b : d) b = static_cast<std::uint8_t>(b ^ (index * 37 + 11));
    return d;
}

Bytes Zeros(std::size_t n) { return Bytes(n, 0); }

// One job of a round: its files, what they must hold afterwards, and its reason for exit.
struct Task {
    Kind kind;
    std::string file, clip, output;
    Bytes original, expectedFile, expectedClip, expectedOutput;
    unsigned short expectedReason = 0;
    QUILLON_EDIT_HANDLE edit = nullptr;
    QUILLON_CONVERT_HANDLE convert = nullptr;
};

int ImaCodec() { return GetCodecIndexFromLinkList(WAVE_FORMAT_IMA_ADPCM); }

class EditThreads : public EditFixture {
protected:
    // Files and expectations of a task; the format change and the conversion are expected to
    // give what the same call gives alone, run here first.
    Task Prepare(Kind kind, int index, const std::string& sharedClip, const Bytes& sharedClipData) {
        Task t;
        t.kind = kind;
        const std::string n = std::to_string(index);
        const Bytes d = DistinctSamples(index);
        t.original = EditSource(kStereo16, d);
        const Bytes h = HeaderBlock(t.original);
        t.file = Write("f" + n + ".wav", t.original);
        t.expectedFile = t.original;
        switch (kind) {
        case Kind::Clear:
            t.expectedFile = ExpectedFile(h, Join({Slice(d, 0, kFrom), Slice(d, kTo, d.size())}));
            break;
        case Kind::Crop:
            t.expectedFile = ExpectedFile(h, Slice(d, kFrom, kTo));
            break;
        case Kind::Mute:
            t.expectedFile = ExpectedFile(h, Join({Slice(d, 0, kFrom), Zeros(kTo - kFrom), Slice(d, kTo, d.size())}));
            break;
        case Kind::Insert:
            t.expectedFile = ExpectedFile(h, Join({Slice(d, 0, kFrom), Zeros(4410 * 4), Slice(d, kFrom, d.size())}));
            break;
        case Kind::CutOwnClip:
        case Kind::CutLibraryClip:
            t.expectedFile = ExpectedFile(h, Join({Slice(d, 0, kFrom), Slice(d, kTo, d.size())}));
            t.expectedClip = ExpectedFile(h, Slice(d, kFrom, kTo));
            if (kind == Kind::CutOwnClip) t.clip = Path("clip" + n + ".wav");
            break;
        case Kind::CopyOwnClip:
            t.expectedClip = ExpectedFile(h, Slice(d, kFrom, kTo));
            t.clip = Path("clip" + n + ".wav");
            break;
        case Kind::Paste:
            t.clip = sharedClip;
            t.expectedFile = ExpectedFile(h, Join({Slice(d, 0, kFrom), sharedClipData, Slice(d, kFrom, d.size())}));
            break;
        case Kind::ClearPastTheEnd:
            t.expectedReason = 313;
            break;
        case Kind::FormatChange:
            t.output = Path("out" + n + ".wav");
            EXPECT_EQ(AudioChangeFormat(t.file.c_str(), t.output.c_str(), 22050, 16, 2, nullptr, 1), 0);
            t.expectedOutput = ReadBytes(t.output);
            DeleteFileA(t.output.c_str());
            break;
        case Kind::Convert:
            t.output = Path("out" + n + ".wav");
            EXPECT_EQ(AudioConvert(static_cast<unsigned short>(ImaCodec()), -1, t.file.c_str(), t.output.c_str(),
                                   nullptr, 0, nullptr, 1),
                      0);
            t.expectedOutput = ReadBytes(t.output);
            DeleteFileA(t.output.c_str());
            break;
        }
        return t;
    }

    static void Start(Task& t) {
        const char* f = t.file.c_str();
        unsigned short r = 0;
        switch (t.kind) {
        case Kind::Clear: r = AudioClear(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, nullptr); break;
        case Kind::Crop: r = AudioCrop(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, nullptr); break;
        case Kind::Mute: r = AudioEditMute(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, 3, nullptr); break;
        case Kind::Insert: r = AudioInsertSilence(f, kFrom, QUILLON_TIME_BYTES, &t.edit, 0, kSilenceMs, nullptr); break;
        case Kind::CutOwnClip:
            r = AudioCutInFile(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, t.clip.c_str(), nullptr);
            break;
        case Kind::CutLibraryClip: r = AudioCut(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, nullptr); break;
        case Kind::CopyOwnClip: r = AudioCopyInFile(f, kFrom, kTo, QUILLON_TIME_BYTES, &t.edit, 0, t.clip.c_str()); break;
        case Kind::Paste: r = AudioPasteEx(f, kFrom, QUILLON_TIME_BYTES, &t.edit, 0, t.clip.c_str(), nullptr); break;
        case Kind::ClearPastTheEnd:
            r = AudioClear(f, 0, kDataBytes + 4, QUILLON_TIME_BYTES, &t.edit, 0, nullptr);
            break;
        case Kind::FormatChange:
            r = AudioChangeFormat(f, t.output.c_str(), 22050, 16, 2, &t.edit, 0);
            break;
        case Kind::Convert:
            r = AudioConvert(static_cast<unsigned short>(ImaCodec()), -1, f, t.output.c_str(), nullptr, 0, &t.convert, 0);
            break;
        }
        EXPECT_EQ(r, 0) << KindName(t.kind);
    }

    // Waits for the task's job and returns its reason for exit; the handle is closed.
    static unsigned short Finish(Task& t) {
        if (t.kind == Kind::Convert) {
            for (int i = 0; i < 60000 && !AudioConvertProcessIsOver(t.convert); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            EXPECT_TRUE(AudioConvertProcessIsOver(t.convert));
            const unsigned short reason = AudioConvertGetReasonForProcessExit(t.convert);
            AudioConvertCloseHandle(&t.convert);
            return reason;
        }
        EXPECT_TRUE(WaitOver(t.edit)) << KindName(t.kind);
        const unsigned short reason = AudioEditGetReasonForProcessExit(t.edit);
        AudioEditCloseHandle(&t.edit);
        return reason;
    }

    // The file, clip and output of a task as it must stand; `undone` when an undo has since
    // given the file back.
    void ExpectResult(const Task& t, bool undone) {
        SCOPED_TRACE(KindName(t.kind));
        EXPECT_TRUE(ReadBytes(t.file) == (undone ? t.original : t.expectedFile)) << t.file;
        if (!t.expectedClip.empty()) {
            const std::string clip = t.kind == Kind::CutLibraryClip ? std::string(gCLIPFILE) : t.clip;
            EXPECT_TRUE(ReadBytes(clip) == t.expectedClip) << "clip " << clip;
        }
        if (!t.output.empty()) {
            EXPECT_TRUE(ReadBytes(t.output) == t.expectedOutput) << "output " << t.output;
        }
    }
};

// Two, three and eight jobs of different kinds started together, with small random gaps:
// each file ends as that edit alone makes it, with the reason the edit alone gives; edits run
// in the order they were started, so undo afterwards gives back the file of the last one.
TEST_F(EditThreads, JobsStartedTogetherEndAsEachAloneWould) {
    const std::vector<Kind> kinds = {Kind::Clear, Kind::Crop, Kind::Mute, Kind::Insert,
                                     Kind::CutOwnClip, Kind::CutLibraryClip, Kind::CopyOwnClip, Kind::Paste,
                                     Kind::ClearPastTheEnd, Kind::FormatChange, Kind::Convert};
    ASSERT_GE(ImaCodec(), 0) << "the IMA ADPCM codec is listed";
    const Bytes clipData = DistinctSamples(99);
    const std::string sharedClip = Write("shared-clip.wav", EditSource(kStereo16, Slice(clipData, 0, 30000), false));
    const Bytes sharedClipData = Slice(clipData, 0, 30000);
    std::mt19937 random(15021);
    int undoChecks = 0;
    for (int count : {2, 3, 8}) {
        for (int round = 0; round < 4; ++round) {
            std::vector<Kind> pick = kinds;
            std::shuffle(pick.begin(), pick.end(), random);
            pick.resize(count);
            const bool undo = round != 3;
            AudioEditSetUndoRedo(undo ? 1 : 0);
            std::string trace = std::to_string(count) + " jobs, undo " + (undo ? "on" : "off") + ":";
            std::vector<Task> tasks;
            for (int i = 0; i < count; ++i) {
                tasks.push_back(Prepare(pick[i], i, sharedClip, sharedClipData));
                trace += std::string(" ") + KindName(pick[i]) + ",";
            }
            SCOPED_TRACE(trace);
            ASSERT_FALSE(HasFailure());

            for (Task& t : tasks) {
                Start(t);
                std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 2000)(random)));
            }
            for (Task& t : tasks) EXPECT_EQ(Finish(t), t.expectedReason) << KindName(t.kind);
            for (const Task& t : tasks) ExpectResult(t, false);

            // The last edit started is the last that ran: undo gives its file back when it
            // changed one; after a copy or a failed edit there is nothing to undo.
            const Task* last = nullptr;
            for (const Task& t : tasks)
                if (UsesEditLock(t.kind)) last = &t;
            if (undo && last != nullptr) {
                const bool undoable = ChangesItsFile(last->kind) && last->expectedReason == 0;
                if (undoable) {
                    EXPECT_STREQ(gEditOperatedFile, last->file.c_str());
                }
                EXPECT_EQ(AudioEditUndo(), undoable ? 0 : 316) << "after " << KindName(last->kind);
                for (const Task& t : tasks) ExpectResult(t, undoable && &t == last);
                undoChecks += undoable ? 1 : 0;
            }
            EXPECT_TRUE(StrayTempFiles().empty());
            for (const Task& t : tasks) {
                DeleteFileA(t.file.c_str());
                if (t.kind != Kind::Paste && !t.clip.empty()) DeleteFileA(t.clip.c_str());
                if (!t.output.empty()) DeleteFileA(t.output.c_str());
            }
        }
    }
    EXPECT_GT(undoChecks, 0) << "no round ended with an edit that undo could give back";
}

// A call on another thread while a job runs waits for the job and then acts as it would after
// it. The test holds the edit lock while it starts the job, so the job is sure to go first.
TEST_F(EditThreads, CallsOnAnotherThreadWaitForTheRunningJob) {
    struct Row {
        const char* what;
        std::function<unsigned short(EditThreads&, const std::string& other)> call;
    };
    const std::string newTemp = Path("moved");
    CreateDirectoryA(newTemp.c_str(), nullptr);
    const std::vector<Row> rows = {
        {"a synchronous edit of another file",
         [](EditThreads&, const std::string& other) {
             return AudioClear(other.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, nullptr, 1, nullptr);
         }},
        {"undo", [](EditThreads&, const std::string&) { return AudioEditUndo(); }},
        {"flush of the clip", [](EditThreads&, const std::string&) { return AudioFlushCutCopyPasteBuffer(); }},
        {"SetTempPath",
         [newTemp](EditThreads&, const std::string&) { return static_cast<unsigned short>(SetTempPath(newTemp.c_str())); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(SetTempPath(tempDir_.c_str()), 0);
        const Task job = Prepare(Kind::CutLibraryClip, 0, "", {});
        const Task other = Prepare(Kind::Clear, 1, "", {});
        QUILLON_EDIT_HANDLE h = nullptr;
        unsigned short otherResult = 999;
        std::thread thread;
        {
            EditLockGuard hold;
            ASSERT_TRUE(hold.held());
            ASSERT_EQ(AudioCut(job.file.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, &h, 0, nullptr), 0);
            thread = std::thread([&] { otherResult = row.call(*this, other.file); });
        }
        thread.join();
        ASSERT_TRUE(WaitOver(h));
        EXPECT_EQ(AudioEditGetReasonForProcessExit(h), 0);
        AudioEditCloseHandle(&h);
        EXPECT_EQ(otherResult, 0);

        const std::string what = row.what;
        if (what == "undo") {
            EXPECT_EQ(ReadBytes(job.file), job.original) << "the cut came first, then its undo";
            EXPECT_EQ(AudioEditCanRedo(), 1);
            EXPECT_EQ(ReadBytes(gCLIPFILE), job.expectedClip);
        } else {
            EXPECT_EQ(ReadBytes(job.file), job.expectedFile);
        }
        if (what == "a synchronous edit of another file") {
            EXPECT_EQ(ReadBytes(other.file), other.expectedFile);
            EXPECT_STREQ(gEditOperatedFile, other.file.c_str()) << "the synchronous edit ran last";
            EXPECT_EQ(AudioEditUndo(), 0);
            EXPECT_EQ(ReadBytes(other.file), other.original);
            EXPECT_EQ(ReadBytes(job.file), job.expectedFile);
        } else {
            EXPECT_EQ(ReadBytes(other.file), other.original);
        }
        if (what == "flush of the clip") {
            EXPECT_EQ(std::make_tuple(0, 0), std::make_tuple(AudioEditCanPaste(), AudioEditCanUndo()));
            EXPECT_EQ(AudioEditUndo(), 316) << "the undo copy went with the flush";
        }
        if (what == "SetTempPath") {
            EXPECT_TRUE(ListDir(tempDir_).empty()) << "the job's files went with the old set";
            EXPECT_EQ(ListDir(newTemp).size(), 5u);
            EXPECT_EQ(std::make_tuple(0, 0), std::make_tuple(AudioEditCanPaste(), AudioEditCanUndo()));
        } else {
            EXPECT_TRUE(StrayTempFiles().empty());
        }
    }
}

// A job that waits for its turn reports progress 0, and a cancel or an early close ends it at
// once, having changed nothing (the bookkeeping of the last edit included); a synchronous call
// waits until the lock is free.
TEST_F(EditThreads, CancelOfAWaitingJobEndsItAtOnce) {
    const Task before = Prepare(Kind::Crop, 0, "", {});
    ASSERT_EQ(AudioCrop(before.file.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, nullptr, 1, nullptr), 0);
    const Task waiting = Prepare(Kind::Clear, 1, "", {});
    const int baseline = LiveJobCount();
    std::atomic<bool> syncDone{false};
    unsigned short syncResult = 999;
    std::thread sync;
    {
        EditLockGuard hold;
        ASSERT_TRUE(hold.held());
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(AudioClear(waiting.file.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, &h, 0, nullptr), 0);
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(std::make_tuple(0, 0u), std::make_tuple(AudioEditProcessIsOver(h), AudioEditGetProcessProgress(h)));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(AudioEditCancelPressed(h), 0);
        ASSERT_TRUE(WaitOver(h)) << "the cancel ends the waiting job while the lock is still held";
        EXPECT_EQ(std::make_tuple(311, 0u), std::make_tuple(AudioEditGetReasonForProcessExit(h), AudioEditGetProcessProgress(h)));
        EXPECT_EQ(AudioEditCloseHandle(&h), 0);
        EXPECT_EQ(ReadBytes(waiting.file), waiting.original);
        EXPECT_STREQ(gEditCurrentFile, before.file.c_str()) << "a job that never ran leaves the bookkeeping";
        EXPECT_STREQ(gEditOperatedFile, before.file.c_str());

        // Closed while it waits: the worker frees the record itself.
        ASSERT_EQ(AudioClear(waiting.file.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, &h, 0, nullptr), 0);
        EXPECT_EQ(AudioEditCloseHandle(&h), 0);
        for (int i = 0; i < 20000 && LiveJobCount() > baseline; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_EQ(LiveJobCount(), baseline);

        sync = std::thread([&] {
            syncResult = AudioClear(waiting.file.c_str(), kFrom, kTo, QUILLON_TIME_BYTES, nullptr, 1, nullptr);
            syncDone = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(syncDone.load()) << "a synchronous edit waits for the lock";
        EXPECT_EQ(ReadBytes(waiting.file), waiting.original);
    }
    sync.join();
    EXPECT_EQ(syncResult, 0);
    EXPECT_EQ(ReadBytes(waiting.file), waiting.expectedFile);
    EXPECT_EQ(AudioEditUndo(), 0) << "undo gives back the synchronous edit, the last that ran";
    EXPECT_EQ(ReadBytes(waiting.file), waiting.original);
    EXPECT_EQ(ReadBytes(before.file), before.expectedFile);
    EXPECT_TRUE(StrayTempFiles().empty());
}

// The format change and the conversion use files of their own: they run to their end while an
// edit holds the lock, and give what they give alone.
TEST_F(EditThreads, FormatChangeAndConversionDoNotWaitForEdits) {
    ASSERT_GE(ImaCodec(), 0);
    Task format = Prepare(Kind::FormatChange, 0, "", {});
    Task convert = Prepare(Kind::Convert, 1, "", {});
    std::atomic<bool> done{false};
    std::thread worker;
    {
        EditLockGuard hold;
        worker = std::thread([&] {
            EXPECT_EQ(AudioChangeFormat(format.file.c_str(), format.output.c_str(), 22050, 16, 2, nullptr, 1), 0);
            EXPECT_EQ(AudioConvert(static_cast<unsigned short>(ImaCodec()), -1, convert.file.c_str(),
                                   convert.output.c_str(), nullptr, 0, nullptr, 1),
                      0);
            done = true;
        });
        for (int i = 0; i < 120000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(done.load()) << "the format change or the conversion waited for the edit lock";
    }
    worker.join();
    ExpectResult(format, false);
    ExpectResult(convert, false);
    EXPECT_TRUE(StrayTempFiles().empty());
}

// Temporary names drawn by several threads at the same moment (edits, format changes) are all
// different, and each file exists.
TEST_F(EditThreads, TemporaryNamesDrawnAtTheSameMomentDiffer) {
    constexpr int kThreads = 4, kEach = 64;
    std::vector<std::vector<std::string>> drawn(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < kThreads) std::this_thread::yield();
            for (int n = 0; n < kEach; ++n) {
                char name[MAX_PATH] = "VMX";
                GetTemporaryFileName(name);
                drawn[i].push_back(name);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    std::set<std::string> names;
    for (const auto& list : drawn) {
        for (const std::string& n : list) {
            EXPECT_TRUE(FileExists(n)) << n;
            names.insert(n);
            DeleteFileA(n.c_str());
        }
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace qt
