// Output names and the files they lead to. Every call that reads one file and writes another is
// given outputs that name its input in every way a user can (the same spelling, "./" and ".."
// forms, a symbolic link, a hard link, another letter case on Windows): each either does its
// well-defined work or refuses before anything is written, and the input is never lost. Then
// every replacing call against the kinds of file a destination can be (private, of another
// group, read-only, links, a hard link, a link to nothing, a device, a FIFO): the file replaced
// keeps its permissions, owner and group, a link keeps naming its file, and only regular files
// are ever replaced. Every file the library leaves in its temporary folder is private.
#include "acm_test_util.h"
#include "convert/codec.h"
#include "edit_test_util.h"
#include "frame/utils.h"

#include <random>

#ifndef _WIN32
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qt {
namespace {

const Fmt kStereo16{2, 44100, 16};
const Fmt kMono16{1, 22050, 16};

// Another name for `target` in the folder `dir`: a symbolic link (relative text when
// `relative` is given) or a hard link. False where the platform or the test world cannot make it.
bool MakeSymlink(const std::string& text, const std::string& link) {
#ifdef _WIN32
    (void)text;
    (void)link;
    return false;
#else
    return ::symlink(text.c_str(), link.c_str()) == 0;
#endif
}
bool MakeHardLink(const std::string& target, const std::string& link) {
#ifdef _WIN32
    return CreateHardLinkA(link.c_str(), target.c_str(), nullptr) != FALSE;
#else
    return ::link(target.c_str(), link.c_str()) == 0;
#endif
}

// Removes a folder made by a test with the files in it (ScratchDir removes only empty folders).
void RemoveFolder(const std::string& dir) {
    for (const std::string& f : ListDir(dir)) {
        const std::string full = dir + QL_PATH_SEPARATOR + f;
        SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
#ifdef _WIN32
        DeleteFileA(full.c_str());
#else
        ::unlink(full.c_str());
#endif
    }
    RemoveDirectoryA(dir.c_str());
}

int CodecFor(DWORD tag) { return GetCodecIndexFromLinkList(tag); }

unsigned short ConvertToALaw(const std::string& src, const std::string& dst) {
    return AudioConvert(static_cast<unsigned short>(CodecFor(WAVE_FORMAT_ALAW)), -1, src.c_str(), dst.c_str(), nullptr,
                        0, nullptr, 1);
}

// Mono to stereo at 16 bits: every sample twice, in the format change's own layout.
Bytes MonoToStereo(const Bytes& samples, std::uint32_t rate) {
    Bytes data;
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2)
        for (int k = 0; k < 2; ++k) data.insert(data.end(), {samples[i], samples[i + 1]});
    return RiffFile({{"fmt ", FormatBytes(1, 2, rate, 16, 4, true, 0)}, {"data", data}});
}

class OutputPaths : public EditFixture {
protected:
    // Every file the library left in its temporary folder is private (natively; Windows has no
    // permission bits).
    void ExpectPrivateTempFiles(const std::string& what) const {
#ifndef _WIN32
        for (const std::string& f : ListDir(tempDir_)) {
            struct stat st;
            ASSERT_EQ(::stat((tempDir_ + "/" + f).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << what << ": " << f;
        }
#else
        (void)what;
#endif
    }
};

// ---------------------------------------------------------------------------------------------
// Outputs that name an input.

TEST_F(OutputPaths, OutputsNamingTheirInputNeverDestroyIt) {
    const Bytes samples = CountingSamples(40000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const Bytes other = EditSource(kStereo16, CountingSamples(8000));
    const Bytes monoSamples = CountingSamples(3000);
    const Bytes mono = EditSource(kMono16, monoSamples, false);
    CreateDirectoryA(Path("sub").c_str(), nullptr);
    const char sep = QL_PATH_SEPARATOR;

    // The ways of naming the file "take.wav" of the test's folder.
    struct Naming { const char* what; std::function<std::string()> make; const char* skip; bool breaksLink = false; };
    const std::vector<Naming> namings = {
        {"the same spelling", [&] { return Path("take.wav"); }, nullptr},
        {"a ./ form", [&] { return dir_.path() + sep + "." + sep + "take.wav"; }, nullptr},
        {"a .. form", [&] { return Path("sub") + sep + ".." + sep + "take.wav"; }, nullptr},
        {"a symbolic link",
         [&] { return MakeSymlink("take.wav", Path("alias.wav")) ? Path("alias.wav") : std::string(); },
#ifdef _WIN32
         "symbolic links need a privilege Windows rarely grants; the link rows run natively"},
#else
         nullptr},
#endif
        {"a hard link", [&] { return MakeHardLink(Path("take.wav"), Path("hard.wav")) ? Path("hard.wav") : std::string(); },
         nullptr, true},
        {"another letter case", [&] { return Path("TAKE.WAV"); },
#ifdef _WIN32
         nullptr},
#else
         "names differing in case are different files on Linux"},
#endif
    };

    // Each call with its output naming the input, and what the output holds afterwards: the
    // result named by the call's output (`resultInName`: the name given, else take.wav itself).
    // A refused call leaves the input as it was.
    struct Row {
        const char* what;
        bool resultInName;
        const Bytes* input;  // what take.wav holds before the call
        std::function<unsigned short(const std::string& take, const std::string& name, bool sync)> call;
        unsigned short code;
        std::function<Bytes()> expected;
    };
    const std::string otherFile = Write("other.wav", other);
    const std::vector<Row> rows = {
        {"cut, the clip naming the source", false, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Cut, t, 100, 200, 2, sync, n, ""); },
         301, [&] { return source; }},
        {"cut with a destination, the clip naming the source", false, &source,
         [&](const std::string& t, const std::string& n, bool sync) {
             return RunOp(Op::Cut, t, 100, 200, 2, sync, n, Path("out.wav"));
         },
         301, [&] { return source; }},
        {"copy, the clip naming the source", false, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Copy, t, 100, 200, 2, sync, n, ""); },
         301, [&] { return source; }},
        {"cut, the destination naming the source", true, &source,
         [&](const std::string& t, const std::string& n, bool sync) {
             return RunOp(Op::Cut, t, 100, 200, 2, sync, Path("clip.wav"), n);
         },
         0, [&] { return ExpectedFile(header, Join({Slice(samples, 0, 100), Slice(samples, 200, samples.size())})); }},
        {"clear, the destination naming the source", true, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Clear, t, 0, 400, 2, sync, "", n); },
         0, [&] { return ExpectedFile(header, Slice(samples, 400, samples.size())); }},
        {"crop, the destination naming the source", true, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Crop, t, 400, 800, 2, sync, "", n); },
         0, [&] { return ExpectedFile(header, Slice(samples, 400, 800)); }},
        {"mute, the destination naming the source", true, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::MuteBoth, t, 400, 800, 2, sync, "", n); },
         0, [&] { return ExpectedFile(header, Join({Slice(samples, 0, 400), Bytes(400, 0), Slice(samples, 800, samples.size())})); }},
        {"insert silence, the destination naming the source", true, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Insert, t, 400, 10, 2, sync, "", n); },
         0, [&] { return ExpectedFile(header, Join({Slice(samples, 0, 400), Bytes(441 * 4, 0), Slice(samples, 400, samples.size())})); }},
        {"paste, the clip being the target itself", false, &source,
         [&](const std::string& t, const std::string& n, bool sync) { return RunOp(Op::Paste, t, 1000, 0, 2, sync, n, ""); },
         0,
         [&] { return ExpectedFile(header, Join({Slice(samples, 0, 1000), samples, Slice(samples, 1000, samples.size())})); }},
        {"paste into another file, the destination naming the clip", true, &source,
         [&](const std::string&, const std::string& n, bool sync) {
             return RunOp(Op::Paste, otherFile, 0, 0, 2, sync, Path("take.wav"), n);
         },
         0, [&] { return ExpectedFile(HeaderBlock(other), Join({samples, DataOf(other)})); }},
        {"format change, the output naming the input", true, &mono,
         [&](const std::string& t, const std::string& n, bool) {
             return AudioChangeFormat(t.c_str(), n.c_str(), kMono16.rate, 16, 2, nullptr, 1);
         },
         0, [&] { return MonoToStereo(monoSamples, kMono16.rate); }},
    };

    for (const Naming& naming : namings) {
        SCOPED_TRACE(naming.what);
        if (naming.skip != nullptr) {
            std::printf("[  SKIPPED ] %s: %s\n", naming.what, naming.skip);
            continue;
        }
        for (const Row& row : rows) {
            for (bool sync : {true, false}) {
                SCOPED_TRACE(std::string(row.what) + (sync ? ", in the call" : ", as a job"));
                const std::string take = Write("take.wav", *row.input);
                const std::string name = naming.make();
                ASSERT_FALSE(name.empty()) << "the other name could not be made";
                ASSERT_TRUE(IsSameFile(take.c_str(), name.c_str()));
                const Bytes undoBefore = ReadBytes(gUNDOFILE);
                EXPECT_EQ(row.call(take, name, sync), row.code);
                EXPECT_EQ(ReadBytes(row.code == 0 && row.resultInName ? name : take), row.expected());
                // A hard link is broken by a replacement: the name replaced holds the result, the
                // other name keeps the input.
                if (row.code == 0 && row.resultInName && naming.breaksLink) {
                    EXPECT_EQ(ReadBytes(take), *row.input);
                }
                if (row.code != 0) {
                    EXPECT_EQ(ReadBytes(gUNDOFILE), undoBefore) << "refused before anything was written";
                    EXPECT_FALSE(FileExists(Path("out.wav")));
                }
                EXPECT_TRUE(StrayTempFiles().empty());
                ExpectPrivateTempFiles(row.what);
                for (const char* extra : {"alias.wav", "hard.wav", "out.wav", "clip.wav"}) DeleteFileA(Path(extra).c_str());
                WriteBytes(otherFile, other);
            }
        }
    }
    RemoveFolder(Path("sub"));
}

TEST_F(OutputPaths, AConversionOntoItsOwnSourceConvertsInPlace) {
    const int alaw = CodecFor(WAVE_FORMAT_ALAW);
    if (alaw < 0) GTEST_SKIP() << "no A-law codec in this world's compression manager";
    const Bytes source = PcmWave(1, 8000, 16, acmtest::Signal16(1, 8000, 4000));
    const std::string take = Write("take.wav", source);
    ASSERT_EQ(ConvertToALaw(take, Path("fresh.wav")), 0);
    const Bytes converted = ReadBytes(Path("fresh.wav"));
    const char sep = QL_PATH_SEPARATOR;
    for (const std::string& name : {take, dir_.path() + sep + "." + sep + "take.wav"}) {
        WriteBytes(take, source);
        EXPECT_EQ(ConvertToALaw(take, name), 0) << name;
        EXPECT_EQ(ReadBytes(take), converted) << name;
    }
    WriteBytes(take, source);
    ASSERT_TRUE(MakeHardLink(take, Path("hard.wav")));
    EXPECT_EQ(ConvertToALaw(take, Path("hard.wav")), 0);
    EXPECT_EQ(ReadBytes(Path("hard.wav")), converted);
    EXPECT_EQ(ReadBytes(take), source) << "the hard link is broken: the other name keeps the old content";
    EXPECT_EQ(ListDir(dir_.path()).size(), 4u) << "take, fresh, hard and the temporary folder; no work file";
}

// A clip file the host names is written like every other output: a cut cancelled at any moment
// leaves the file that held the name as it was, or holds the whole new clip when the cut ended
// first.
TEST_F(OutputPaths, ACancelledCutLeavesANamedClipAsItWas) {
    const Bytes samples = CountingSamples(3000000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes header = HeaderBlock(source);
    const std::string file = Write("take.wav", source);
    const Bytes oldClip = EditSource(kStereo16, CountingSamples(400));
    const std::string clip = Write("myclip.wav", oldClip);
    const std::string dest = Path("out.wav");
    int cancelled = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        QUILLON_EDIT_HANDLE h = nullptr;
        ASSERT_EQ(AudioCutInFile(file.c_str(), 1000, 2000000, QUILLON_TIME_BYTES, &h, 0, clip.c_str(), dest.c_str()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 4));
        AudioEditCancelPressed(h);
        ASSERT_TRUE(WaitOver(h));
        const unsigned short reason = AudioEditGetReasonForProcessExit(h);
        AudioEditCloseHandle(&h);
        EXPECT_EQ(ReadBytes(file), source);
        if (reason == 0) {
            EXPECT_EQ(ReadBytes(clip), ExpectedFile(header, Slice(samples, 1000, 2000000)));
            EXPECT_EQ(ReadBytes(dest), ExpectedFile(header, Join({Slice(samples, 0, 1000), Slice(samples, 2000000, samples.size())})));
        } else {
            ++cancelled;
            EXPECT_EQ(reason, 311);
            EXPECT_EQ(ReadBytes(clip), oldClip) << "the named clip is as it was";
            EXPECT_FALSE(FileExists(dest));
        }
        EXPECT_TRUE(StrayTempFiles().empty());
        EXPECT_EQ(ListDir(dir_.path()).size(), 3u + (reason == 0 ? 1u : 0u)) << "no work file beside the outputs";
        WriteBytes(clip, oldClip);
        DeleteFileA(dest.c_str());
    }
    std::printf("[          ] %d of 12 cuts cancelled before their end\n", cancelled);
    EXPECT_GE(cancelled, 1);
}

// A process killed at seeded moments while it cuts into a named clip: the clip is afterwards
// the old file or the whole new clip, and the source is whole.
TEST_F(OutputPaths, AKilledCutLeavesANamedClipOldOrNew) {
#ifdef _WIN32
    GTEST_SKIP() << "killing a forked child is a POSIX test; Windows has no fork";
#else
    const Bytes samples = CountingSamples(3 * 1024 * 1024);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes newClip = ExpectedFile(HeaderBlock(source), Slice(samples, 40000, 2000000));
    const Bytes oldClip = EditSource(kStereo16, CountingSamples(400));
    const std::string file = Write("take.wav", source), clip = Path("myclip.wav"), dest = Path("out.wav");
    std::mt19937 random(4242);
    auto cut = [&] {
        return AudioCutInFile(file.c_str(), 40000, 2000000, QUILLON_TIME_BYTES, nullptr, 1, clip.c_str(), dest.c_str());
    };
    // How long one cut takes here, so that the kills spread over its whole run.
    WriteBytes(clip, oldClip);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(cut(), 0);
    const int runUs = static_cast<int>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count());
    int olds = 0, news = 0;
    for (int kill = 0; kill < 30; ++kill) {
        WriteBytes(clip, oldClip);
        DeleteFileA(dest.c_str());
        const int delayUs = std::uniform_int_distribution<int>(0, runUs + runUs / 4)(random);
        std::fflush(nullptr);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(cut() == 0 ? 0 : 1);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
        ::kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        SCOPED_TRACE("kill " + std::to_string(kill) + " after " + std::to_string(delayUs) + "us");
        const Bytes now = ReadBytes(clip);
        if (now == oldClip)
            ++olds;
        else if (now == newClip)
            ++news;
        else
            ADD_FAILURE() << "the clip is neither the old file nor the new clip (" << now.size() << " bytes)";
        EXPECT_EQ(ReadBytes(file), source);
    }
    std::printf("[          ] kills: %d left the old clip, %d the new one\n", olds, news);
    EXPECT_EQ(olds + news, 30);
#endif
}

// ---------------------------------------------------------------------------------------------
// The identity of a replaced file (natively: permission bits, owner, group, links, devices).

#ifndef _WIN32
struct NodeState {
    bool exists = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    dev_t rdev = 0;
    nlink_t links = 0;
    std::string linkText;  // when the name is a symbolic link
};
NodeState StateOf(const std::string& name) {
    NodeState s;
    struct stat st;
    if (::lstat(name.c_str(), &st) != 0) return s;
    s.exists = true;
    if (S_ISLNK(st.st_mode)) {
        char text[4096];
        const ssize_t n = ::readlink(name.c_str(), text, sizeof text - 1);
        s.linkText.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (::stat(name.c_str(), &st) != 0) return s;
    }
    s.mode = st.st_mode;
    s.uid = st.st_uid;
    s.gid = st.st_gid;
    s.rdev = st.st_rdev;
    s.links = st.st_nlink;
    return s;
}
void ExpectSameState(const NodeState& a, const NodeState& b) {
    EXPECT_EQ(a.exists, b.exists);
    EXPECT_EQ(a.mode, b.mode) << std::oct << a.mode << " became " << b.mode;
    EXPECT_EQ(a.uid, b.uid);
    EXPECT_EQ(a.gid, b.gid);
    EXPECT_EQ(a.rdev, b.rdev);
    EXPECT_EQ(a.linkText, b.linkText);
}
#endif

TEST_F(OutputPaths, ReplacedFilesKeepTheirIdentity) {
#ifdef _WIN32
    GTEST_SKIP() << "permission bits, owners, links, devices and FIFOs are POSIX matters; "
                    "the read-only attribute is checked in both worlds by ReadOnlyAndDevicesUnderEveryReplacingCall";
#else
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file another group and making a device node need root";
    const gid_t otherGroup = 1;  // daemon on Debian, any group but root's serves
    const Bytes samples = CountingSamples(20000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes cleared = ExpectedFile(HeaderBlock(source), Slice(samples, 400, samples.size()));
    const Bytes monoSamples = CountingSamples(3000);
    const Bytes mono = EditSource(kMono16, monoSamples, false);
    const std::string monoFile = Write("mono.wav", mono);
    const Bytes stereo = MonoToStereo(monoSamples, kMono16.rate);
    const Bytes alawSource = PcmWave(1, 8000, 16, acmtest::Signal16(1, 8000, 4000));
    const std::string alawFile = Write("speech.wav", alawSource);
    ASSERT_EQ(ConvertToALaw(alawFile, Path("alaw-fresh.wav")), 0);
    const Bytes alaw = ReadBytes(Path("alaw-fresh.wav"));
    CreateDirectoryA(Path("real").c_str(), nullptr);
    CreateDirectoryA(Path("links").c_str(), nullptr);
    const std::string real = Path("real/take.wav");

    // The kinds of file a name can lead to. `name` is what the call is given; `file` the regular
    // file that holds the bytes (empty for a device, a FIFO, a link to nothing).
    struct Kind {
        const char* what;
        std::function<void(const Bytes&)> make;
        std::string name, file;
        bool regular;
    };
    const std::vector<Kind> kinds = {
        {"mode 0600", [&](const Bytes& b) { WriteBytes(real, b); ::chmod(real.c_str(), 0600); }, real, real, true},
        {"mode 0640, another group",
         [&](const Bytes& b) {
             WriteBytes(real, b);
             ASSERT_EQ(::chown(real.c_str(), 0, otherGroup), 0);
             ::chmod(real.c_str(), 0640);
         },
         real, real, true},
        {"a symbolic link",
         [&](const Bytes& b) { WriteBytes(real, b); ::chmod(real.c_str(), 0604); ASSERT_TRUE(MakeSymlink(real, Path("link.wav"))); },
         Path("link.wav"), real, true},
        {"a relative symbolic link in another folder",
         [&](const Bytes& b) { WriteBytes(real, b); ASSERT_TRUE(MakeSymlink("../real/take.wav", Path("links/rel.wav"))); },
         Path("links/rel.wav"), real, true},
        {"a link to nothing", [&](const Bytes&) { ASSERT_TRUE(MakeSymlink("../real/none.wav", Path("links/dangling.wav"))); },
         Path("links/dangling.wav"), "", false},
        {"a character device", [&](const Bytes&) { ASSERT_EQ(::mknod(Path("nul").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0); },
         Path("nul"), "", false},
        {"a FIFO", [&](const Bytes&) { ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0644), 0); }, Path("fifo"), "", false},
    };
    auto clean = [&] {
        for (const char* n : {"link.wav", "nul", "fifo", "links/rel.wav", "links/dangling.wav", "real/take.wav", "dest.wav"})
            ::unlink(Path(n).c_str());
    };

    // The calls that replace a file, each with the content it must leave and its refusal code.
    struct Call {
        const char* what;
        std::function<unsigned short(const std::string& name)> run;
        const Bytes* before;  // what the regular file holds before the call
        const Bytes* after;
        unsigned short refusal;
    };
    const std::vector<Call> calls = {
        {"clear", [&](const std::string& n) { return RunOp(Op::Clear, n, 0, 400, 2, true, "", ""); }, &source, &cleared, 102},
        {"undo",
         [&](const std::string& n) {
             const unsigned short r = RunOp(Op::Clear, n, 0, 400, 2, true, "", "");
             return r != 0 ? r : AudioEditUndo();
         },
         &source, &source, 102},
        {"redo",
         [&](const std::string& n) {
             unsigned short r = RunOp(Op::Clear, n, 0, 400, 2, true, "", "");
             if (r == 0) r = AudioEditUndo();
             return r != 0 ? r : AudioEditRedo();
         },
         &source, &cleared, 102},
        {"clear into an existing destination",
         [&](const std::string& n) { return RunOp(Op::Clear, Write("src.wav", source), 0, 400, 2, false, "", n); }, &mono,
         &cleared, 319},
        {"format change onto an existing output",
         [&](const std::string& n) { return AudioChangeFormat(monoFile.c_str(), n.c_str(), kMono16.rate, 16, 2, nullptr, 1); },
         &source, &stereo, 358},
        {"conversion onto an existing output", [&](const std::string& n) { return ConvertToALaw(alawFile, n); },
         &source, &alaw, 408},
    };

    for (const Call& call : calls) {
        for (const Kind& kind : kinds) {
            SCOPED_TRACE(std::string(call.what) + " on " + kind.what);
            clean();
            kind.make(*call.before);
            const NodeState before = StateOf(kind.name);
            const NodeState fileBefore = kind.regular ? StateOf(kind.file) : NodeState();
            const unsigned short code = call.run(kind.name);
            if (kind.regular) {
                EXPECT_EQ(code, 0);
                EXPECT_EQ(ReadBytes(kind.file), *call.after);
                ExpectSameState(StateOf(kind.file), fileBefore);
            } else {
                EXPECT_EQ(code, call.refusal);
            }
            ExpectSameState(StateOf(kind.name), before);
            EXPECT_EQ(ListDir(Path("real")).size(), kind.file.empty() ? 0u : 1u) << "nothing left beside the file";
            ExpectPrivateTempFiles(call.what);
        }
    }

    // A hard link is broken, as editors break it: the name given holds the new version with the
    // old one's permissions, the other name keeps the old content.
    clean();
    WriteBytes(real, source);
    ::chmod(real.c_str(), 0600);
    ASSERT_TRUE(MakeHardLink(real, Path("links/hard.wav")));
    ASSERT_EQ(RunOp(Op::Clear, real, 0, 400, 2, true, "", ""), 0);
    EXPECT_EQ(ReadBytes(real), cleared);
    EXPECT_EQ(ReadBytes(Path("links/hard.wav")), source);
    EXPECT_EQ(StateOf(real).mode & 0777, 0600u);
    EXPECT_EQ(StateOf(real).links, 1u);
    ::unlink(Path("links/hard.wav").c_str());

    // A new destination takes the permissions of a new file in its folder (0666 less the
    // umask), not the private ones of the work file it came from.
    clean();
    const mode_t mask = ::umask(022);
    ASSERT_EQ(RunOp(Op::Clear, Write("src.wav", source), 0, 400, 2, true, "", Path("dest.wav")), 0);
    ::umask(mask);
    EXPECT_EQ(StateOf(Path("dest.wav")).mode & 0777, 0644u);
    clean();
    RemoveFolder(Path("real"));
    RemoveFolder(Path("links"));
#endif
}

// The read-only attribute and devices, in both worlds: a read-only file is refused by every
// replacing call and keeps its attribute; the null device as an output is refused before
// anything is written.
TEST_F(OutputPaths, ReadOnlyAndDevicesUnderEveryReplacingCall) {
    const Bytes samples = CountingSamples(20000);
    const Bytes source = EditSource(kStereo16, samples);
    const Bytes mono = EditSource(kMono16, CountingSamples(3000), false);
    const std::string monoFile = Write("mono.wav", mono);
    const std::string take = Path("take.wav");
    auto readOnly = [&] { return (GetFileAttributesA(take.c_str()) & FILE_ATTRIBUTE_READONLY) != 0; };

    struct Row { const char* what; std::function<unsigned short()> run; unsigned short code; };
    const std::vector<Row> rows = {
        {"clear", [&] { return RunOp(Op::Clear, take, 0, 400, 2, true, "", ""); }, 319},
        {"clear as a job", [&] { return RunOp(Op::Clear, take, 0, 400, 2, false, "", ""); }, 319},
        {"format change onto it",
         [&] { return AudioChangeFormat(monoFile.c_str(), take.c_str(), kMono16.rate, 16, 2, nullptr, 1); }, 358},
        {"conversion onto it", [&] { return ConvertToALaw(monoFile, take); }, 408},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteBytes(take, source);
        ASSERT_TRUE(SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_READONLY));
        EXPECT_EQ(row.run(), row.code);
        EXPECT_EQ(ReadBytes(take), source);
        EXPECT_TRUE(readOnly()) << "the read-only attribute stays";
    }
    // Undo and redo refuse to write over a file made read-only after the edit.
    SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_NORMAL);
    WriteBytes(take, source);
    ASSERT_EQ(RunOp(Op::Clear, take, 0, 400, 2, true, "", ""), 0);
    const Bytes cleared = ReadBytes(take);
    SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(AudioEditUndo(), 305);
    EXPECT_EQ(ReadBytes(take), cleared);
    SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_EQ(AudioEditUndo(), 0);
    SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(AudioEditRedo(), 317);
    EXPECT_EQ(ReadBytes(take), source);
    EXPECT_TRUE(readOnly());
    SetFileAttributesA(take.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(StrayTempFiles().empty());

#ifdef _WIN32
    // "nul" names the null device in every folder on Windows.
    const std::string device = Path("nul");
#else
    const std::string device = "/dev/null";
#endif
    struct Out { const char* what; std::function<unsigned short()> run; unsigned short code; };
    const std::vector<Out> outputs = {
        {"clear into the null device", [&] { return RunOp(Op::Clear, take, 0, 400, 2, true, "", device); }, 319},
        {"cut with the clip in the null device", [&] { return RunOp(Op::Cut, take, 0, 400, 2, true, device, ""); }, 301},
        {"format change into the null device",
         [&] { return AudioChangeFormat(monoFile.c_str(), device.c_str(), kMono16.rate, 16, 2, nullptr, 1); }, 358},
        {"conversion into the null device", [&] { return ConvertToALaw(monoFile, device); }, 408},
    };
    for (const Out& o : outputs) {
        SCOPED_TRACE(o.what);
        const Bytes undoBefore = ReadBytes(gUNDOFILE);
        EXPECT_EQ(o.run(), o.code);
        EXPECT_EQ(ReadBytes(take), source);
        EXPECT_EQ(ReadBytes(gUNDOFILE), undoBefore) << "refused before anything was written";
        EXPECT_TRUE(StrayTempFiles().empty());
    }
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null is still the device";
#endif
}

}  // namespace
}  // namespace qt
