// Helpers for the tests that play through the private sound server that scripts/test starts
// (scripts/sound-server): whether it is there, wave-out devices opened with this thread as their
// callback thread, the wave messages on this thread's queue, and what reached the device, read
// back exactly (natively through an ALSA "file" plugin, in both worlds by recording the monitor
// of the server's "out" sink).
#pragma once

#include "test_util.h"

#include <memory>

namespace qt {

// True when scripts/test started the private sound server for this run.
bool HaveSoundServer();
#define QT_NEED_SOUND_SERVER()                                                                       \
    if (!qt::HaveSoundServer())                                                                       \
    GTEST_SKIP() << "no private sound server (scripts/test starts one and sets QUILLON_SOUND_SERVER)"

// A PCM wave format record.
WAVEFORMATEX PcmWaveFormat(WORD channels, DWORD rate, WORD bits);

// A wave message taken from this thread's queue.
struct WaveMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
// Takes the next message in [first, last] from this thread's queue, waiting up to `ms`.
bool NextMessage(WaveMessage* out, UINT first, UINT last, int ms = 5000);
// The wave-out messages waiting on this thread's queue now, in order, without waiting.
std::vector<WaveMessage> PendingMessages(UINT first, UINT last);

// Buffers with their headers at stable addresses.
struct WaveBuffers {
    std::vector<Bytes> data;
    std::vector<WAVEHDR> headers;
    // Splits `bytes` into pieces of the given sizes (the last takes the rest).
    WaveBuffers(const Bytes& bytes, const std::vector<std::size_t>& sizes);
    WAVEHDR* at(std::size_t i) { return &headers[i]; }
    std::size_t size() const { return headers.size(); }
};

// A wave-out device opened with this thread as its callback thread; closed (after a reset) at the
// end, its messages taken off the queue. Buffers written to it must outlive it (declare them first).
class WaveOutDevice {
public:
    WaveOutDevice() = default;
    ~WaveOutDevice();
    WaveOutDevice(const WaveOutDevice&) = delete;
    WaveOutDevice& operator=(const WaveOutDevice&) = delete;
    MMRESULT Open(UINT device, const WAVEFORMATEX* format);
    HWAVEOUT handle() const { return h_; }
    // Prepares and writes every buffer; the first failing result, or 0.
    MMRESULT PrepareAndWrite(WaveBuffers& buffers);
    // Waits for MM_WOM_DONE of each buffer in turn; false when one does not come in time.
    bool WaitDone(WaveBuffers& buffers, int ms = 5000);
    MMRESULT Close();
    // The position in the unit asked for; *answered gets the unit the device answered in.
    DWORD Position(UINT type, UINT* answered = nullptr);

private:
    HWAVEOUT h_ = nullptr;
};

// Sets an environment variable for the life of a scope, then puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// What the server's "out" sink played, recorded from its monitor (44,100 Hz 16-bit stereo) by a
// recorder that runs for `seconds` and then ends by itself.
class MonitorRecording {
public:
    explicit MonitorRecording(int seconds);
    // True once the recording has begun (it records the sink's silence too).
    bool Started(int ms = 5000);
    // Waits until the recording holds `expected` from byte `skip` on as one exact contiguous run
    // (the first milliseconds of a stream may be missing at the monitor). `why` says what was
    // found otherwise.
    // With `allowGaps` (Wine, whose own driver may run dry or touch samples on a loaded machine),
    // nine in ten pieces of 64 bytes, one every 1,024 bytes, must be heard exactly and in order.
    bool Holds(const Bytes& expected, std::size_t skip, std::string* why, int ms = 8000, bool allowGaps = false);
    Bytes Read() const;

private:
    std::string path_;
};

// A message-only window on this thread that receives the end-of-playback message (0x465).
class EndMessageWindow {
public:
    EndMessageWindow();
    ~EndMessageWindow();
    EndMessageWindow(const EndMessageWindow&) = delete;
    EndMessageWindow& operator=(const EndMessageWindow&) = delete;
    bool made() const { return window_ != nullptr; }
    HWND window() const { return window_; }
    // Takes one end message off the queue, waiting up to `ms`.
    bool Wait(int ms = 5000);
    // Takes every end message waiting now and counts them.
    int Count();

private:
    HWND window_ = nullptr;
};

}  // namespace qt
