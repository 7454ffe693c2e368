// Worker jobs: the polling calls on good, null and foreign handles, cancel at random moments,
// a host that closes a running job, threads racing on one job, and a process killed mid-edit.
#include "edit_test_util.h"
#include "frame/jobregistry.h"

#include <random>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};

class Jobs : public EditFixture {
protected:
    // Waits until no job record is left (the workers of closed jobs free their own).
    static bool WaitNoJobs(int baseline) {
        for (int i = 0; i < 20000 && LiveJobCount() > baseline; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return LiveJobCount() == baseline;
    }
};

TEST_F(Jobs, PollingCallsOnNullAndForeignHandles) {
    // Cancel, over, progress, reason, close of a null handle and through a null place.
    QUILLON_EDIT_HANDLE none = nullptr;
    QUILLON_CONVERT_HANDLE cnone = nullptr;
    EXPECT_EQ(std::make_tuple(0, 1, 0u, 0, 0, 0),
              std::make_tuple(AudioEditCancelPressed(nullptr), AudioEditProcessIsOver(nullptr),
                              AudioEditGetProcessProgress(nullptr), AudioEditGetReasonForProcessExit(nullptr),
                              AudioEditCloseHandle(&none), AudioEditCloseHandle(nullptr)));
    EXPECT_EQ(std::make_tuple(0, 1, 0u, 0, 0),
              std::make_tuple(AudioConvertCancelPressed(nullptr), AudioConvertProcessIsOver(nullptr),
                              AudioConvertGetProcessProgress(nullptr), AudioConvertGetReasonForProcessExit(nullptr),
                              AudioConvertCloseHandle(&cnone)));

    // A record the library never handed out is neither read nor freed, even with a right size.
    QUILLON_JOB_SIZE_FIELD fake[256] = {828};
    fake[0] = sizeof(tEDITWORKTHREADINFO);
    QUILLON_EDIT_HANDLE f = fake;
    EXPECT_EQ(AudioEditProcessIsOver(f), 1);
    EXPECT_EQ(AudioEditCloseHandle(&f), 0);
    EXPECT_EQ(f, nullptr);

    // An edit handle is refused by the conversion calls, and the other way round.
    const std::string file = Write("a.wav", EditSource(kStereo16, CountingSamples(400000)));
    QUILLON_EDIT_HANDLE h = nullptr;
    ASSERT_EQ(AudioClear(file.c_str(), 0, 10, 2, &h, 0, nullptr), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(*h, sizeof(tEDITWORKTHREADINFO));
    QUILLON_CONVERT_HANDLE asConvert = h;
    EXPECT_EQ(AudioConvertProcessIsOver(asConvert), 1);
    EXPECT_EQ(AudioConvertGetReasonForProcessExit(asConvert), 0);
    EXPECT_EQ(AudioConvertCloseHandle(&asConvert), 0);
    EXPECT_TRUE(WaitOver(h)) << "the conversion close did not touch the edit job";
    EXPECT_EQ(AudioEditGetReasonForProcessExit(h), 0);
    EXPECT_EQ(AudioEditCloseHandle(&h), 0);
    EXPECT_EQ(h, nullptr);

    tCONVERTWORKTHREADINFO* convert = NewConvertJob();
    ASSERT_NE(convert, nullptr);
    QUILLON_CONVERT_HANDLE c = &convert->cbSize;
    QUILLON_EDIT_HANDLE asEdit = c;
    EXPECT_EQ(AudioEditProcessIsOver(asEdit), 1);
    EXPECT_EQ(AudioConvertProcessIsOver(c), 0);
    convert->progressCounter = 250;
    EXPECT_EQ(AudioConvertGetProcessProgress(c), 100u) << "progress is clamped";
    EXPECT_EQ(convert->progressCounter.load(), 100u);
    FinishConvertJob(convert, 405);
    EXPECT_EQ(AudioConvertProcessIsOver(c), 1);
    EXPECT_EQ(AudioConvertGetReasonForProcessExit(c), 405);
    EXPECT_EQ(AudioConvertCloseHandle(&c), 0);
    EXPECT_EQ(c, nullptr);
}

// Cancel at random moments: the job ends cancelled with everything as it was, or done with
// the whole new version; never anything in between, never a stray temporary file.
TEST_F(Jobs, CancelAtRandomMomentsLeavesOldOrNewFile) {
    std::mt19937 random(20240611);
    const Bytes samples = CountingSamples(4 * 1024 * 1024);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const Bytes cleared = ExpectedFile(header, Join({Slice(samples, 0, 4000), Slice(samples, 3000000, samples.size())}));
    const Bytes inserted =
        ExpectedFile(header, Join({Slice(samples, 0, 4000), Bytes(176400, 0), Slice(samples, 4000, samples.size())}));
    int cancelled = 0;
    for (int round = 0; round < 24; ++round) {
        const bool clear = round % 2 == 0;
        AudioEditSetUndoRedo(round % 3 != 0);
        const std::string file = Write("a.wav", source);
        const int delayUs = std::uniform_int_distribution<int>(0, 30000)(random);
        QUILLON_EDIT_HANDLE h = nullptr;
        const Op op = clear ? Op::Clear : Op::Insert;
        ASSERT_EQ(StartOp(op, file.c_str(), 4000, clear ? 3000000 : 1000, 2, &h, 0, nullptr, nullptr), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        EXPECT_EQ(AudioEditCancelPressed(h), 0);
        ASSERT_TRUE(WaitOver(h));
        const unsigned short reason = AudioEditGetReasonForProcessExit(h);
        EXPECT_EQ(AudioEditCloseHandle(&h), 0);
        SCOPED_TRACE("round " + std::to_string(round) + " delay " + std::to_string(delayUs) + "us");
        if (reason == 311) {
            ++cancelled;
            EXPECT_EQ(ReadBytes(file), source);
            EXPECT_EQ(gEditOperatedFile[0], '\0');
            EXPECT_EQ(AudioEditCanUndo(), 0) << "the undo copy of a cancelled edit is gone";
        } else {
            ASSERT_EQ(reason, 0);
            EXPECT_EQ(ReadBytes(file), clear ? cleared : inserted);
            EXPECT_STREQ(gEditOperatedFile, file.c_str());
        }
        EXPECT_TRUE(StrayTempFiles().empty());
        EXPECT_EQ(ListDir(dir_.path()).size(), 2u) << "only the file and the temporary folder";
    }
    EXPECT_GT(cancelled, 0) << "no round was cancelled in time; the file is too small";
}

// A host that closes a running job: the handle is cleared at once, the worker stops at its
// next test, frees the record itself, and leaves the file whole.
TEST_F(Jobs, EarlyCloseOfARunningJobIsSafe) {
    const Bytes samples = CountingSamples(2 * 1024 * 1024);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const int baseline = LiveJobCount();
    for (int round = 0; round < 8; ++round) {
        const std::string file = Write("a.wav", source);
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(AudioCrop(file.c_str(), 400, 800000, 2, &h, 0, nullptr), 0);
        if (round % 2) std::this_thread::sleep_for(std::chrono::milliseconds(round));
        QUILLON_EDIT_HANDLE copy = h;
        EXPECT_EQ(AudioEditCloseHandle(&h), 0);
        EXPECT_EQ(h, nullptr);
        // The closed handle is dead for the polling calls, whatever the worker does.
        EXPECT_EQ(AudioEditProcessIsOver(copy), 1);
        EXPECT_EQ(AudioEditGetReasonForProcessExit(copy), 0);
        ASSERT_TRUE(WaitNoJobs(baseline));
        const Bytes now = ReadBytes(file);
        EXPECT_TRUE(now == source || now == ExpectedFile(header, Slice(samples, 400, 800000)));
        EXPECT_TRUE(StrayTempFiles().empty());
    }
}

// Threads racing on one job: one polls, one cancels, the host closes; nothing may be read
// after it was freed (AddressSanitizer) and no field is shared without order (ThreadSanitizer).
TEST_F(Jobs, PollCancelAndCloseRaceTheWorker) {
    const std::string file = Write("a.wav", EditSource(kStereo16, CountingSamples(1024 * 1024)));
    const int baseline = LiveJobCount();
    for (int round = 0; round < 10; ++round) {
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(AudioEditMute(file.c_str(), 0, 200000, 2, &h, 0, 3, nullptr), 0);
        std::atomic<bool> stop{false};
        QUILLON_EDIT_HANDLE shared = h;
        std::thread poller([&] {
            while (!stop) {
                AudioEditGetProcessProgress(shared);
                AudioEditProcessIsOver(shared);
                AudioEditGetReasonForProcessExit(shared);
            }
        });
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::microseconds(round * 300));
            AudioEditCancelPressed(shared);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(round * 200));
        AudioEditCloseHandle(&h);
        canceller.join();
        stop = true;
        poller.join();
        ASSERT_TRUE(WaitNoJobs(baseline));
        EXPECT_TRUE(StrayTempFiles().empty());
    }
}

// A process killed at random moments while it edits: the destination is afterwards the old
// version or the new one, byte for byte.
TEST_F(Jobs, KilledMidEditLeavesOldOrNewFile) {
#ifdef _WIN32
    GTEST_SKIP() << "killing a forked child is a POSIX test; Windows has no fork";
#else
    const Bytes samples = CountingSamples(3 * 1024 * 1024);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const Bytes edited = ExpectedFile(header, Join({Slice(samples, 0, 40000), Slice(samples, 1000000, samples.size())}));
    const std::string file = Path("a.wav");
    std::mt19937 random(777);

    // How long one edit takes here, so that the kills spread over its whole run.
    WriteBytes(file, source);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(AudioClear(file.c_str(), 40000, 1000000, 2, nullptr, 1, nullptr), 0);
    const int runUs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());

    int olds = 0, news = 0;
    for (int kill = 0; kill < 50; ++kill) {
        WriteBytes(file, source);
        const int delayUs = std::uniform_int_distribution<int>(0, runUs + runUs / 4)(random);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const unsigned short r = AudioClear(file.c_str(), 40000, 1000000, 2, nullptr, 1, nullptr);
            _exit(r == 0 ? 0 : 1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        ::kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        const Bytes now = ReadBytes(file);
        SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(delayUs) + "us");
        if (now == source)
            ++olds;
        else if (now == edited)
            ++news;
        else
            ADD_FAILURE() << "the file is neither the old nor the new version (" << now.size() << " bytes)";
    }
    std::printf("kills: %d left the old file, %d the new one\n", olds, news);
    EXPECT_EQ(olds + news, 50);
#endif
}

}  // namespace
}  // namespace qt
