#include "sound_test_util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace qt {

namespace {

using Clock = std::chrono::steady_clock;

int ElapsedMs(Clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The folder of the sound server, as a path of this world (Wine reaches Unix paths through Z:).
std::string SoundDir() {
    const char* dir = std::getenv("QUILLON_SOUND_DIR");
    if (dir == nullptr) return std::string();
#ifdef _WIN32
    return std::string("Z:") + dir;
#else
    return dir;
#endif
}

int ProcessNumber() {
#ifdef _WIN32
    return static_cast<int>(GetCurrentProcessId());
#else
    return static_cast<int>(getpid());
#endif
}

}  // namespace

bool HaveSoundServer() {
    const char* v = std::getenv("QUILLON_SOUND_SERVER");
    return v != nullptr && std::strcmp(v, "1") == 0 && std::getenv("QUILLON_SOUND_DIR") != nullptr;
}

WAVEFORMATEX PcmWaveFormat(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX f;
    std::memset(&f, 0, sizeof f);
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

bool NextMessage(WaveMessage* out, UINT first, UINT last, int ms) {
    const Clock::time_point start = Clock::now();
    MSG m;
    for (;;) {
        if (PeekMessageA(&m, nullptr, first, last, PM_REMOVE)) {
            *out = WaveMessage{m.message, m.wParam, m.lParam};
            return true;
        }
        if (ElapsedMs(start) > ms) return false;
        Sleep(2);
    }
}

std::vector<WaveMessage> PendingMessages(UINT first, UINT last) {
    std::vector<WaveMessage> out;
    MSG m;
    while (PeekMessageA(&m, nullptr, first, last, PM_REMOVE)) out.push_back(WaveMessage{m.message, m.wParam, m.lParam});
    return out;
}

WaveBuffers::WaveBuffers(const Bytes& bytes, const std::vector<std::size_t>& sizes) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < sizes.size() && at < bytes.size(); ++i) {
        const std::size_t n = i + 1 == sizes.size() ? bytes.size() - at : std::min(sizes[i], bytes.size() - at);
        data.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    headers.resize(data.size());
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::memset(&headers[i], 0, sizeof headers[i]);
        headers[i].lpData = reinterpret_cast<LPSTR>(data[i].data());
        headers[i].dwBufferLength = static_cast<DWORD>(data[i].size());
    }
}

WaveOutDevice::~WaveOutDevice() { Close(); }

MMRESULT WaveOutDevice::Open(UINT device, const WAVEFORMATEX* format) {
    MSG m;
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // this thread gets its queue
    PendingMessages(MM_WOM_OPEN, MM_WOM_DONE);
    return waveOutOpen(&h_, device, format, static_cast<DWORD_PTR>(GetCurrentThreadId()), 0, CALLBACK_THREAD);
}

MMRESULT WaveOutDevice::PrepareAndWrite(WaveBuffers& buffers) {
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        MMRESULT r = waveOutPrepareHeader(h_, buffers.at(i), sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) return r;
        r = waveOutWrite(h_, buffers.at(i), sizeof(WAVEHDR));
        if (r != MMSYSERR_NOERROR) return r;
    }
    return MMSYSERR_NOERROR;
}

bool WaveOutDevice::WaitDone(WaveBuffers& buffers, int ms) {
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        WaveMessage msg;
        do {
            if (!NextMessage(&msg, MM_WOM_OPEN, MM_WOM_DONE, ms)) return false;
        } while (msg.message != MM_WOM_DONE);
        if (msg.lParam != reinterpret_cast<LPARAM>(buffers.at(i))) return false;
    }
    return true;
}

MMRESULT WaveOutDevice::Close() {
    if (h_ == nullptr) return MMSYSERR_NOERROR;
    waveOutReset(h_);
    const MMRESULT r = waveOutClose(h_);
    h_ = nullptr;
    WaveMessage msg;
    while (NextMessage(&msg, MM_WOM_OPEN, MM_WOM_DONE, 1000) && msg.message != MM_WOM_CLOSE) {
    }
    return r;
}

DWORD WaveOutDevice::Position(UINT type, UINT* answered) {
    MMTIME t;
    std::memset(&t, 0x55, sizeof t);
    t.wType = type;
    if (waveOutGetPosition(h_, &t, sizeof t) != MMSYSERR_NOERROR) return 0xFFFFFFFFu;
    if (answered != nullptr) *answered = t.wType;
    return t.u.cb;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

ScopedEnv::~ScopedEnv() {
#ifdef _WIN32
    _putenv_s(name_.c_str(), had_ ? old_.c_str() : "");
#else
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
#endif
}

MonitorRecording::MonitorRecording(int seconds) {
    static std::atomic<int> counter{0};
    const char* unixDir = std::getenv("QUILLON_SOUND_DIR");
    if (unixDir == nullptr) return;
    char name[64];
    std::snprintf(name, sizeof name, "/monitor-%d-%d.raw", ProcessNumber(), counter++);
    const std::string unixPath = std::string(unixDir) + name;
    path_ = SoundDir() + name;
    char cmd[1024];
    // The recorder ends by itself: the Windows build cannot signal a Unix process.
#ifdef _WIN32
    std::snprintf(cmd, sizeof cmd,
                  "start /unix /usr/bin/timeout %d /usr/bin/parec -d out.monitor --format=s16le --rate=44100 "
                  "--channels=2 --raw --latency-msec=20 %s",
                  seconds, unixPath.c_str());
#else
    std::snprintf(cmd, sizeof cmd,
                  "timeout %d parec -d out.monitor --format=s16le --rate=44100 --channels=2 --raw --latency-msec=20 "
                  "'%s' >/dev/null 2>&1 &",
                  seconds, unixPath.c_str());
#endif
    RunCommand(cmd, nullptr);
}

bool MonitorRecording::Started(int ms) {
    const Clock::time_point start = Clock::now();
    while (ElapsedMs(start) < ms) {
        if (!path_.empty() && ReadBytes(path_).size() >= 4 * 441) return true;
        Sleep(10);
    }
    return false;
}

Bytes MonitorRecording::Read() const { return ReadBytes(path_); }

bool MonitorRecording::Holds(const Bytes& expected, std::size_t skip, std::string* why, int ms, bool allowGaps) {
    const std::size_t key = 256;
    if (expected.size() < skip + key) {
        *why = "the expected data is shorter than the key";
        return false;
    }
    const Clock::time_point start = Clock::now();
    for (;;) {
        const Bytes rec = Read();
        if (allowGaps) {
            // Every 1,024th byte on, 64 bytes must be found in the recording, in order; nine in
            // ten of them at least.
            std::size_t blocks = 0, found = 0;
            auto from = rec.begin();
            for (std::size_t e = skip; e + 64 <= expected.size(); e += 1024, ++blocks) {
                auto hit = std::search(from, rec.end(), expected.begin() + static_cast<std::ptrdiff_t>(e),
                                       expected.begin() + static_cast<std::ptrdiff_t>(e + 64));
                if (hit == rec.end()) continue;
                ++found;
                from = hit + 64;
            }
            if (found * 10 >= blocks * 9) {
                if (found < blocks) std::printf("[          ] %zu of %zu pieces heard in order\n", found, blocks);
                return true;
            }
            *why = std::to_string(found) + " of " + std::to_string(blocks) + " pieces heard in order";
            if (ElapsedMs(start) > ms) return false;
            Sleep(50);
            continue;
        }
        auto at = std::search(rec.begin(), rec.end(), expected.begin() + static_cast<std::ptrdiff_t>(skip),
                              expected.begin() + static_cast<std::ptrdiff_t>(skip + key));
        if (at == rec.end()) {
            *why = "the data was not found in " + std::to_string(rec.size()) + " recorded bytes";
        } else {
            // Walk both: e through the expected data, r through the recording.
            std::size_t e = skip, r = static_cast<std::size_t>(at - rec.begin());
            bool broken = false;
            while (e < expected.size() && r < rec.size()) {
                if (expected[e] == rec[r]) {
                    ++e;
                    ++r;
                    continue;
                }
                std::size_t zeros = 0;
                while (r + zeros < rec.size() && rec[r + zeros] == 0) ++zeros;
                *why = "the run breaks at byte " + std::to_string(e) + " of " + std::to_string(expected.size()) +
                       "; the recording has " + std::to_string(zeros) + " zero bytes there";
                broken = true;
                break;
            }
            if (broken) return false;
            if (e == expected.size()) return true;
            *why = "the recording holds " + std::to_string(e) + " of " + std::to_string(expected.size()) + " bytes";
        }
        if (ElapsedMs(start) > ms) return false;
        Sleep(50);
    }
}

EndMessageWindow::EndMessageWindow() {
#ifdef _WIN32
    window_ = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
#else
    window_ = QuillonCreateMessageWindow();
#endif
    Count();
}

EndMessageWindow::~EndMessageWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
}

bool EndMessageWindow::Wait(int ms) {
    const Clock::time_point start = Clock::now();
    MSG m;
    for (;;) {
        if (PeekMessageA(&m, window_, 0x465, 0x465, PM_REMOVE)) return true;
        if (ElapsedMs(start) > ms) return false;
        Sleep(2);
    }
}

int EndMessageWindow::Count() {
    int n = 0;
    MSG m;
    while (window_ != nullptr && PeekMessageA(&m, window_, 0x465, 0x465, PM_REMOVE)) ++n;
    return n;
}

}  // namespace qt
