// winmm's wave-out for the POSIX build, on ALSA's PCM API.
//
// Threads and locks. Every open device has one device thread. It waits in poll() on the PCM's
// own descriptors (only while it has data the PCM has no room for yet), on the device's wake-up
// eventfd, and with a timeout when the next queued header ends within the device's buffer. After
// every wake it checks the device's `quit` flag, moves queued bytes to ALSA, and hands back the
// headers whose last frame the device has played. The calls (write, pause, restart, reset,
// close) change the device under its lock and write the eventfd; none of them waits for the
// thread, except close, which ends it.
//
// `Device::lock` guards the PCM handle and every field below it; `g_devicesLock` guards the
// table of open handles and is never taken while a device lock is held. Messages to the callback
// thread are posted with no lock held (the thread may call back into this layer at once).
//
// A queued header goes through: prepared (WHDR_PREPARED) -> queued (WHDR_INQUEUE, in `queue`,
// its bytes moved to ALSA frame by frame) -> written (its last frame given to ALSA; `endFrame`
// says where it ends in the device's count) -> played (the device's played count has reached
// `endFrame`) -> done (WHDR_DONE, MM_WOM_DONE posted). Reset, and a device that fails, take every
// queued header straight to done.
//
// Positions count frames the device has played since open or reset: frames written minus
// snd_pcm_delay, never decreasing. An underrun means everything written has played; the stream
// is recovered and goes on with the next write. Any other ALSA error fails the device: every
// queued header is handed back, and later writes are refused with MMSYSERR_NODRIVER.
//
// The wave mapper plays a non-PCM format by opening the PCM format that the compression manager
// suggests for it and converting each header's bytes when it is written; its position in bytes
// counts bytes of the written (compressed) stream, scaled from the frames played by the two
// formats' byte rates, as Windows' mapper reports it.
#include "winmm_wave.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "msacm32.h"
#include "user32.h"

namespace {

// ALSA's own buffer and period. Pause (snd_pcm_pause), reset (snd_pcm_drop) and positions
// (snd_pcm_delay) do not wait for it, so it can be long enough for PulseAudio's plugin: with
// 60 or 100 ms, its stream was seen to run dry in the middle of playback (the server stopped
// asking for data), 120 ms and more never did.
constexpr unsigned kBufferMicroseconds = 150000;
constexpr unsigned kPeriodMicroseconds = 30000;
// A stream whose played count stands still this long with nothing left to write is drained.
constexpr int kStallMs = 40;
constexpr int kStallCheckMs = 10;

// ---- ALSA errors to MMRESULT, in one place ------------------------------------------------

MMRESULT FromAlsa(int err) {
    switch (-err) {
    case 0: return MMSYSERR_NOERROR;
    case EBUSY: return MMSYSERR_ALLOCATED;
    case ENOMEM: return MMSYSERR_NOMEM;
    case EINVAL: return WAVERR_BADFORMAT;
    case ENOENT: case ENODEV: case ENXIO: case ECONNREFUSED: case ECONNRESET: case EIO:
    case EBADFD: case ESHUTDOWN: case EPIPE: case ESTRPIPE: case ENOTCONN:
        return MMSYSERR_NODRIVER;
    default: return MMSYSERR_ERROR;
    }
}

// ---- Devices: the PCMs that wave-out lists -------------------------------------------------

struct Endpoint {
    std::string pcm;   // the name snd_pcm_open takes
    std::string name;  // what the capabilities call it
};

std::string MapperPcm() {
    const char* named = std::getenv("QUILLON_ALSA_OUTPUT");
    return named != nullptr && *named != '\0' ? named : "default";
}

// The first line of an ALSA hint description, or the PCM name.
std::string HintName(const char* pcm, char* desc) {
    std::string name = desc != nullptr ? desc : pcm;
    std::size_t nl = name.find('\n');
    if (nl != std::string::npos) name.resize(nl);
    return name;
}

// Device 0 is the mapper's PCM; then the sound server ("pulse") and each card's default PCM,
// as ALSA's hints name them. Plugins that only convert (rate converters, upmix, null, ...) are
// not devices.
std::vector<Endpoint> ListEndpoints() {
    std::vector<Endpoint> list;
    const std::string mapper = MapperPcm();
    std::string mapperName = mapper;
    std::vector<Endpoint> others;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) == 0 && hints != nullptr) {
        for (void** h = hints; *h != nullptr; ++h) {
            char* name = snd_device_name_get_hint(*h, "NAME");
            char* desc = snd_device_name_get_hint(*h, "DESC");
            char* ioid = snd_device_name_get_hint(*h, "IOID");
            if (name != nullptr && (ioid == nullptr || std::strcmp(ioid, "Output") == 0)) {
                const std::string n = name;
                if (n == mapper) {
                    mapperName = HintName(name, desc);
                } else if (n == "pulse" || n.rfind("sysdefault:", 0) == 0) {
                    others.push_back({n, HintName(name, desc)});
                }
            }
            std::free(name);
            std::free(desc);
            std::free(ioid);
        }
        snd_device_name_free_hint(hints);
    }
    list.push_back({mapper, mapperName});
    list.insert(list.end(), others.begin(), others.end());
    return list;
}

// ---- Formats -------------------------------------------------------------------------------

struct PcmShape {
    snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
    unsigned channels = 0;
    unsigned rate = 0;
    unsigned frameBytes = 0;
};

// The ALSA shape of a PCM wave format; false for anything else. As winmm does, the frame size
// comes from the channels and bits, whatever nBlockAlign and nAvgBytesPerSec say.
bool ShapeOf(const WAVEFORMATEX& f, PcmShape* shape) {
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels == 0 || f.nSamplesPerSec == 0) return false;
    switch (f.wBitsPerSample) {
    case 8: shape->format = SND_PCM_FORMAT_U8; break;
    case 16: shape->format = SND_PCM_FORMAT_S16_LE; break;
    case 24: shape->format = SND_PCM_FORMAT_S24_3LE; break;
    case 32: shape->format = SND_PCM_FORMAT_S32_LE; break;
    default: return false;
    }
    shape->channels = f.nChannels;
    shape->rate = f.nSamplesPerSec;
    shape->frameBytes = static_cast<unsigned>(f.nChannels) * f.wBitsPerSample / 8;
    return true;
}

// Opens the PCM and sets it up for the shape: interleaved, exact rate, short buffer. With
// `query` only tests the shape and closes it again.
MMRESULT OpenPcm(const std::string& name, const PcmShape& shape, bool query, snd_pcm_t** out,
                 snd_pcm_uframes_t* bufferFrames, bool* canPause) {
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err < 0) return err == -EINVAL ? MMSYSERR_NODRIVER : FromAlsa(err);
    snd_pcm_hw_params_t* hw;
    snd_pcm_hw_params_alloca(&hw);
    MMRESULT result = MMSYSERR_NOERROR;
    if (snd_pcm_hw_params_any(pcm, hw) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, shape.format) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, shape.channels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw, shape.rate, 0) < 0) {
        result = WAVERR_BADFORMAT;
    }
    if (result == MMSYSERR_NOERROR && !query) {
        unsigned buffer = kBufferMicroseconds, period = kPeriodMicroseconds;
        snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer, nullptr);
        snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, nullptr);
        err = snd_pcm_hw_params(pcm, hw);
        if (err < 0) result = FromAlsa(err);
    }
    if (result == MMSYSERR_NOERROR && !query) {
        snd_pcm_uframes_t frames = 0, periodFrames = 0;
        snd_pcm_hw_params_get_buffer_size(hw, &frames);
        snd_pcm_hw_params_get_period_size(hw, &periodFrames, nullptr);
        *bufferFrames = frames;
        *canPause = snd_pcm_hw_params_can_pause(hw) != 0;
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        // The stream starts once half the buffer is full, or when the queue has nothing more.
        if (snd_pcm_sw_params_current(pcm, sw) < 0 ||
            snd_pcm_sw_params_set_start_threshold(pcm, sw, std::max<snd_pcm_uframes_t>(1, frames / 2)) < 0 ||
            snd_pcm_sw_params_set_avail_min(pcm, sw, std::max<snd_pcm_uframes_t>(1, periodFrames)) < 0 ||
            snd_pcm_sw_params(pcm, sw) < 0) {
            result = MMSYSERR_ERROR;
        }
    }
    if (result != MMSYSERR_NOERROR || query) {
        snd_pcm_close(pcm);
        return result;
    }
    *out = pcm;
    return MMSYSERR_NOERROR;
}

// ---- The device ----------------------------------------------------------------------------

struct Queued {
    WAVEHDR* header = nullptr;
    const std::uint8_t* data = nullptr;  // the PCM to play: the header's or `decoded`
    std::size_t size = 0;
    std::vector<std::uint8_t> decoded;   // the mapper's conversion of a compressed header
    std::size_t written = 0;             // bytes given to ALSA
    std::uint64_t endFrame = 0;          // once fully written: where it ends in the device count
};

struct Device {
    // Set at open, constant afterwards.
    HWAVEOUT handle = nullptr;
    DWORD callbackType = CALLBACK_NULL;
    DWORD_PTR callback = 0;
    PcmShape shape;
    bool mapped = false;           // compressed source through the compression manager
    WAVEFORMATEX pcmFormat{};      // what the PCM plays
    std::vector<std::uint8_t> sourceFormat;  // the format given to open (with its extra bytes)
    snd_pcm_uframes_t bufferFrames = 0;
    bool canPause = false;
    int wake = -1;
    std::thread thread;
    std::atomic<bool> quit{false};

    std::mutex lock;
    snd_pcm_t* pcm = nullptr;
    HACMSTREAM acm = nullptr;
    bool acmStarted = false;
    std::deque<Queued> queue;
    std::size_t next = 0;           // first entry not fully written
    std::uint64_t written = 0;      // frames given to ALSA since open or reset
    std::uint64_t played = 0;       // frames known played since open or reset
    bool paused = false;
    bool failed = false;
    bool broken = false;            // the device stopped answering: fail at the next turn
    int fruitless = 0;              // recoveries in a row with nothing played or written between
    std::optional<std::chrono::steady_clock::time_point> silentSince;  // the device stopped answering
    std::uint64_t watchedPlayed = 0;  // the played count when it last moved, and when that was
    std::chrono::steady_clock::time_point watchedSince;
    std::uint64_t lastRecovery = ~0ull;
    bool closing = false;

    void Wake() {
        const std::uint64_t one = 1;
        ssize_t n = ::write(wake, &one, sizeof one);
        (void)n;
    }
};

std::mutex g_devicesLock;
std::map<HWAVEOUT, std::shared_ptr<Device>> g_devices;
std::uintptr_t g_nextHandle = 0x8000;

std::shared_ptr<Device> Find(HWAVEOUT h) {
    std::lock_guard<std::mutex> guard(g_devicesLock);
    auto it = g_devices.find(h);
    return it == g_devices.end() ? nullptr : it->second;
}

void Notify(const Device& d, UINT message, LPARAM param) {
    const WPARAM wParam = reinterpret_cast<WPARAM>(d.handle);
    if (d.callbackType == CALLBACK_THREAD) {
        PostThreadMessageA(static_cast<DWORD>(d.callback), message, wParam, param);
    } else if (d.callbackType == CALLBACK_WINDOW) {
        PostMessageA(reinterpret_cast<HWND>(d.callback), message, wParam, param);
    }
}

void HandBack(const Device& d, std::vector<WAVEHDR*>& headers) {
    for (WAVEHDR* h : headers) {
        h->dwFlags = (h->dwFlags & ~static_cast<DWORD>(WHDR_INQUEUE)) | WHDR_DONE;
        Notify(d, MM_WOM_DONE, reinterpret_cast<LPARAM>(h));
    }
    headers.clear();
}

// Everything queued leaves the queue (to be handed back by the caller, with no lock held).
void TakeAll(Device& d, std::vector<WAVEHDR*>* out) {
    for (Queued& q : d.queue) out->push_back(q.header);
    d.queue.clear();
    d.next = 0;
}

// The device has failed for good (the server went away, the card was unplugged).
void Fail(Device& d, std::vector<WAVEHDR*>* out) {
    d.failed = true;
    TakeAll(d, out);
}

// Frames the device has played since open or reset. Under the lock.
std::uint64_t Played(Device& d) {
    snd_pcm_sframes_t delay = 0;
    const snd_pcm_state_t state = snd_pcm_state(d.pcm);
    if (state == SND_PCM_STATE_XRUN || d.failed) {
        d.played = d.written;
    } else if (state == SND_PCM_STATE_RUNNING || state == SND_PCM_STATE_PAUSED ||
               state == SND_PCM_STATE_DRAINING || state == SND_PCM_STATE_PREPARED) {
        const int err = snd_pcm_delay(d.pcm, &delay);
        if (err < 0) {
            // A stream just prepared may not answer yet (a sound server's stream still being
            // made); a running one that stays silent for a second, or says its device is gone,
            // has failed.
            const auto now = std::chrono::steady_clock::now();
            if (state != SND_PCM_STATE_RUNNING || !d.silentSince) d.silentSince = now;
            if (snd_pcm_state(d.pcm) == SND_PCM_STATE_XRUN || err == -EPIPE) d.played = d.written;
            else if (err == -ENODEV || err == -ENOTCONN || err == -ESHUTDOWN || now - *d.silentSince > std::chrono::seconds(1))
                d.broken = true;
        } else {
            d.silentSince.reset();
            if (delay < 0) delay = 0;
            const std::uint64_t held = std::min<std::uint64_t>(static_cast<std::uint64_t>(delay), d.written);
            d.played = std::max(d.played, d.written - held);
        }
    } else {
        d.played = d.written;
    }
    return d.played;
}

// An underrun or a suspend: recover and go on. False when the device has failed. Under the lock.
bool Recover(Device& d, int err) {
    if (err == -EPIPE) d.played = d.written;  // an underrun: all that was written has played
    // A device that fails again at once after every recovery is gone.
    d.fruitless = d.lastRecovery == d.written ? d.fruitless + 1 : 0;
    d.lastRecovery = d.written;
    if (d.fruitless > 8) return false;
    return snd_pcm_recover(d.pcm, err, 1) >= 0;
}

// Moves queued bytes to ALSA while it has room. Under the lock.
void Pump(Device& d, std::vector<WAVEHDR*>* failedOut) {
    const unsigned fb = d.shape.frameBytes;
    snd_pcm_state_t state = snd_pcm_state(d.pcm);
    if (state == SND_PCM_STATE_DRAINING) return;  // the last frames play out first
    if (state == SND_PCM_STATE_SETUP && d.next < d.queue.size()) {
        int err = snd_pcm_prepare(d.pcm);
        if (err < 0) return Fail(d, failedOut);
    }
    while (d.next < d.queue.size()) {
        Queued& q = d.queue[d.next];
        const std::size_t frames = (q.size - q.written) / fb;
        if (frames == 0) {  // a part of a frame left over: winmm drops it
            q.written = q.size;
            q.endFrame = d.written;
            ++d.next;
            continue;
        }
        // Never more than the buffer ahead of what has played: a sound server's plugin may take
        // more at the start than the server asked for, and then asks for nothing until its
        // stream has run dry.
        const std::uint64_t ahead = d.written - Played(d);
        if (ahead >= d.bufferFrames) return;
        const std::size_t count = std::min<std::size_t>(frames, static_cast<std::size_t>(d.bufferFrames - ahead));
        snd_pcm_sframes_t n = snd_pcm_writei(d.pcm, q.data + q.written, count);
        if (n == -EAGAIN || n == 0) return;
        if (n < 0) {
            if (!Recover(d, static_cast<int>(n))) return Fail(d, failedOut);
            continue;
        }
        q.written += static_cast<std::size_t>(n) * fb;
        d.written += static_cast<std::uint64_t>(n);
        if (q.size - q.written < fb) {
            q.written = q.size;
            q.endFrame = d.written;
            ++d.next;
        }
    }
    // Nothing more to write: a stream below its start threshold starts now.
    if (d.written > d.played && snd_pcm_state(d.pcm) == SND_PCM_STATE_PREPARED) {
        int err = snd_pcm_start(d.pcm);
        if (err < 0 && !Recover(d, err)) Fail(d, failedOut);
    }
}

// Everything queued is with ALSA but the played count stands still: a sound server waiting for
// more data before it plays the last milliseconds. Draining makes it play them; a later write
// waits for the drain to end. Returns the milliseconds until the next look. Under the lock.
int WatchTheEnd(Device& d, std::vector<WAVEHDR*>* failedOut) {
    const auto now = std::chrono::steady_clock::now();
    if (d.paused || d.next < d.queue.size() || d.written <= d.played ||
        snd_pcm_state(d.pcm) != SND_PCM_STATE_RUNNING || d.played != d.watchedPlayed) {
        d.watchedPlayed = d.played;
        d.watchedSince = now;
        const bool dry = d.next == d.queue.size() && d.written > d.played && !d.paused;
        return dry ? kStallCheckMs : -1;
    }
    if (now - d.watchedSince < std::chrono::milliseconds(kStallMs)) return kStallCheckMs;
    int err = snd_pcm_drain(d.pcm);
    if (err < 0 && err != -EAGAIN && !Recover(d, err)) Fail(d, failedOut);
    return kStallCheckMs;
}

// Headers whose last frame has played leave the queue. Returns the milliseconds until the next
// written header ends, or -1. Under the lock.
int Collect(Device& d, std::vector<WAVEHDR*>* done) {
    if (d.queue.empty()) return -1;
    const std::uint64_t played = Played(d);
    while (d.next > 0 && d.queue.front().endFrame <= played) {
        done->push_back(d.queue.front().header);
        d.queue.pop_front();
        --d.next;
    }
    if (d.next == 0 || (d.paused && d.canPause)) return -1;
    const std::uint64_t left = d.queue.front().endFrame - played;
    return static_cast<int>(left * 1000 / d.shape.rate) + 1;
}

void DeviceThread(Device* d) {
    std::vector<pollfd> fds;
    std::vector<WAVEHDR*> done;
    for (;;) {
        int timeout = -1;
        bool wantRoom = false;
        {
            std::lock_guard<std::mutex> guard(d->lock);
            if (d->quit.load()) break;
            if (!d->failed && !d->paused) Pump(*d, &done);
            if (!d->failed) timeout = Collect(*d, &done);
            if (!d->failed) {
                const int watch = WatchTheEnd(*d, &done);
                if (watch >= 0) timeout = timeout < 0 ? watch : std::min(timeout, watch);
            }
            if (d->broken && !d->failed) Fail(*d, &done);
            wantRoom = !d->failed && !d->paused && d->next < d->queue.size();
            // While the device drains, new data waits: look again every few milliseconds.
            if (wantRoom && snd_pcm_state(d->pcm) == SND_PCM_STATE_DRAINING) {
                wantRoom = false;
                timeout = timeout < 0 ? 5 : std::min(timeout, 5);
            }
            fds.assign(1, pollfd{d->wake, POLLIN, 0});
            if (wantRoom) {
                const int count = snd_pcm_poll_descriptors_count(d->pcm);
                if (count > 0) {
                    fds.resize(1 + static_cast<std::size_t>(count));
                    snd_pcm_poll_descriptors(d->pcm, fds.data() + 1, static_cast<unsigned>(count));
                }
            }
        }
        HandBack(*d, done);
        // With data waiting for room, the buffer is looked at again after a period at most: a
        // sound server's plugin does not always wake its descriptors when room appears, and a
        // missed wake-up would let the device run dry.
        if (wantRoom) {
            const int period = static_cast<int>(kPeriodMicroseconds / 1000);
            timeout = timeout < 0 ? period : std::min(timeout, period);
        }
        ::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            ssize_t n = ::read(d->wake, &count, sizeof count);
            (void)n;
        }
        if (fds.size() > 1) {
            std::lock_guard<std::mutex> guard(d->lock);
            if (!d->quit.load() && !d->failed) {
                unsigned short revents = 0;
                snd_pcm_poll_descriptors_revents(d->pcm, fds.data() + 1, static_cast<unsigned>(fds.size() - 1), &revents);
                if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
                    const snd_pcm_sframes_t avail = snd_pcm_avail_update(d->pcm);
                    if (snd_pcm_state(d->pcm) == SND_PCM_STATE_DISCONNECTED || (avail < 0 && !Recover(*d, static_cast<int>(avail))))
                        Fail(*d, &done);
                }
            }
        }
    }
}

// ---- The mapper's conversion -----------------------------------------------------------------

// Converts one header's compressed bytes into PCM through the open stream. Under the lock.
bool Decode(Device& d, const std::uint8_t* src, DWORD size, std::vector<std::uint8_t>* out) {
    out->clear();
    DWORD room = 0;
    if (acmStreamSize(d.acm, std::max<DWORD>(size, 1), &room, ACM_STREAMSIZEF_SOURCE) != 0 || room == 0) room = 65536;
    std::vector<std::uint8_t> chunk(room);
    DWORD used = 0;
    for (int rounds = 0; rounds < 1024; ++rounds) {
        ACMSTREAMHEADER ash;
        std::memset(&ash, 0, sizeof ash);
        ash.cbStruct = sizeof ash;
        ash.pbSrc = const_cast<LPBYTE>(src + used);
        ash.cbSrcLength = size - used;
        ash.pbDst = chunk.data();
        ash.cbDstLength = room;
        if (acmStreamPrepareHeader(d.acm, &ash, 0) != 0) return false;
        DWORD flags = d.acmStarted ? 0 : ACM_STREAMCONVERTF_START;
        MMRESULT r = acmStreamConvert(d.acm, &ash, flags);
        acmStreamUnprepareHeader(d.acm, &ash, 0);
        if (r != 0) return false;
        d.acmStarted = true;
        used += ash.cbSrcLengthUsed;
        out->insert(out->end(), chunk.data(), chunk.data() + ash.cbDstLengthUsed);
        // Done once the source is used and the decoder had less than a full block to give.
        if (used >= size && ash.cbDstLengthUsed < room) break;
        if (ash.cbSrcLengthUsed == 0 && ash.cbDstLengthUsed == 0) break;
    }
    return true;
}

MMRESULT OpenConversion(const WAVEFORMATEX* src, WAVEFORMATEX* pcm, HACMSTREAM* stream, bool query) {
    std::memset(pcm, 0, sizeof *pcm);
    pcm->wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, const_cast<LPWAVEFORMATEX>(src), pcm, sizeof *pcm, ACM_FORMATSUGGESTF_WFORMATTAG) != 0)
        return WAVERR_BADFORMAT;
    if (acmStreamOpen(query ? nullptr : stream, nullptr, const_cast<LPWAVEFORMATEX>(src), pcm, nullptr, 0, 0,
                      query ? ACM_STREAMOPENF_QUERY : 0) != 0)
        return WAVERR_BADFORMAT;
    return MMSYSERR_NOERROR;
}

bool ValidHeader(const WAVEHDR* h, UINT size) { return h != nullptr && size >= sizeof(WAVEHDR); }

}  // namespace

extern "C" {

UINT waveOutGetNumDevs() { return static_cast<UINT>(ListEndpoints().size()); }

MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc) {
    if (pwoc == nullptr) return MMSYSERR_INVALPARAM;
    const std::vector<Endpoint> list = ListEndpoints();
    // The mapper answers with the capabilities of the device it plays on.
    std::size_t index = uDeviceID == WAVE_MAPPER || uDeviceID == static_cast<UINT_PTR>(-1) ||
                                uDeviceID == 0xFFFF
                            ? 0
                            : static_cast<std::size_t>(uDeviceID);
    if (index >= list.size()) return MMSYSERR_BADDEVICEID;
    WAVEOUTCAPSA caps;
    std::memset(&caps, 0, sizeof caps);
    caps.wMid = 0xFF;
    caps.wPid = 0xFF;
    caps.vDriverVersion = 0x00010001;
    std::strncpy(caps.szPname, list[index].name.c_str(), MAXPNAMELEN - 1);
    caps.dwFormats = 0x000FFFFF;  // every standard rate, width and channel count up to 96 kHz
    caps.wChannels = 2;
    caps.dwSupport = WAVECAPS_SAMPLEACCURATE;
    std::memcpy(pwoc, &caps, std::min<std::size_t>(cbwoc, sizeof caps));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen) {
    const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
    if (pwfx == nullptr || (!query && phwo == nullptr)) return MMSYSERR_INVALPARAM;
    const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_THREAD && callbackType != CALLBACK_WINDOW)
        return MMSYSERR_NOTSUPPORTED;
    if (phwo != nullptr && !query) *phwo = nullptr;

    const bool mapper = uDeviceID == WAVE_MAPPER || uDeviceID == 0xFFFF;
    const std::vector<Endpoint> list = ListEndpoints();
    const std::size_t index = mapper ? 0 : uDeviceID;
    if (index >= list.size()) return MMSYSERR_BADDEVICEID;

    auto d = std::make_shared<Device>();
    const bool compressed = pwfx->wFormatTag != WAVE_FORMAT_PCM;
    if (compressed) {
        if (!mapper && !(fdwOpen & WAVE_MAPPED)) return WAVERR_BADFORMAT;
        MMRESULT r = OpenConversion(pwfx, &d->pcmFormat, &d->acm, query);
        if (r != MMSYSERR_NOERROR) return r;
        d->mapped = true;
        const std::size_t n = sizeof(WAVEFORMATEX) + pwfx->cbSize;
        const auto* p = reinterpret_cast<const std::uint8_t*>(pwfx);
        d->sourceFormat.assign(p, p + n);
    } else {
        // A PCM format may come as the 16-byte PCMWAVEFORMAT: cbSize is not read.
        std::memcpy(&d->pcmFormat, pwfx, offsetof(WAVEFORMATEX, cbSize));
        d->pcmFormat.cbSize = 0;
    }
    auto closeAcm = [&] {
        if (d->acm != nullptr) acmStreamClose(d->acm, 0);
        d->acm = nullptr;
    };
    if (!ShapeOf(d->pcmFormat, &d->shape)) {
        closeAcm();
        return WAVERR_BADFORMAT;
    }
    MMRESULT r = OpenPcm(list[index].pcm, d->shape, query, &d->pcm, &d->bufferFrames, &d->canPause);
    if (r != MMSYSERR_NOERROR || query) {
        closeAcm();
        return r;
    }
    d->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->wake < 0) {
        snd_pcm_close(d->pcm);
        closeAcm();
        return MMSYSERR_NOMEM;
    }
    d->callbackType = callbackType;
    d->callback = dwCallback;
    (void)dwInstance;
    {
        std::lock_guard<std::mutex> guard(g_devicesLock);
        d->handle = reinterpret_cast<HWAVEOUT>(g_nextHandle);
        g_nextHandle += 4;
        g_devices[d->handle] = d;
    }
    d->thread = std::thread(DeviceThread, d.get());
    *phwo = d->handle;
    Notify(*d, MM_WOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->closing) return MMSYSERR_INVALHANDLE;
        if (!d->queue.empty()) return WAVERR_STILLPLAYING;
        d->closing = true;
    }
    {
        std::lock_guard<std::mutex> guard(g_devicesLock);
        g_devices.erase(hwo);
    }
    d->quit.store(true);
    d->Wake();
    d->thread.join();
    snd_pcm_drop(d->pcm);
    snd_pcm_close(d->pcm);
    d->pcm = nullptr;
    if (d->acm != nullptr) acmStreamClose(d->acm, 0);
    ::close(d->wake);
    Notify(*d, MM_WOM_CLOSE, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!Find(hwo)) return MMSYSERR_INVALHANDLE;
    if (!ValidHeader(pwh, cbwh) || pwh->lpData == nullptr) return MMSYSERR_INVALPARAM;
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags = (pwh->dwFlags | WHDR_PREPARED) & ~static_cast<DWORD>(WHDR_DONE);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    if (!Find(hwo)) return MMSYSERR_INVALHANDLE;
    if (!ValidHeader(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags &= ~static_cast<DWORD>(WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!ValidHeader(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(d->lock);
    if (d->closing) return MMSYSERR_INVALHANDLE;
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (!(pwh->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (d->failed) return MMSYSERR_NODRIVER;
    Queued q;
    q.header = pwh;
    if (d->mapped) {
        if (!Decode(*d, reinterpret_cast<const std::uint8_t*>(pwh->lpData), pwh->dwBufferLength, &q.decoded))
            return MMSYSERR_ERROR;
        q.data = q.decoded.data();
        q.size = q.decoded.size();
    } else {
        q.data = reinterpret_cast<const std::uint8_t*>(pwh->lpData);
        q.size = pwh->dwBufferLength;
    }
    pwh->dwFlags = (pwh->dwFlags | WHDR_INQUEUE) & ~static_cast<DWORD>(WHDR_DONE);
    pwh->lpNext = nullptr;
    d->queue.push_back(std::move(q));
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT hwo) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(d->lock);
    if (d->closing) return MMSYSERR_INVALHANDLE;
    if (d->paused || d->failed) return MMSYSERR_NOERROR;
    d->paused = true;
    // A PCM that cannot pause plays out its short buffer; nothing more is written meanwhile.
    if (d->canPause && snd_pcm_state(d->pcm) == SND_PCM_STATE_RUNNING) {
        Played(*d);
        snd_pcm_pause(d->pcm, 1);
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(d->lock);
    if (d->closing) return MMSYSERR_INVALHANDLE;
    if (!d->paused) return MMSYSERR_NOERROR;
    d->paused = false;
    if (snd_pcm_state(d->pcm) == SND_PCM_STATE_PAUSED) {
        int err = snd_pcm_pause(d->pcm, 0);
        if (err < 0) Recover(*d, err);
    }
    d->Wake();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    std::vector<WAVEHDR*> done;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->closing) return MMSYSERR_INVALHANDLE;
        if (!d->failed) {
            snd_pcm_drop(d->pcm);
            snd_pcm_prepare(d->pcm);
        }
        TakeAll(*d, &done);
        d->written = 0;
        d->played = 0;
        // As winmm does, a reset device is no longer paused: the next write plays.
        d->paused = false;
        // The decoder starts again: the next bytes need not follow the ones it holds.
        if (d->acm != nullptr) {
            HACMSTREAM fresh = nullptr;
            WAVEFORMATEX pcm;
            if (OpenConversion(reinterpret_cast<const WAVEFORMATEX*>(d->sourceFormat.data()), &pcm, &fresh, false) ==
                MMSYSERR_NOERROR) {
                acmStreamClose(d->acm, 0);
                d->acm = fresh;
                d->acmStarted = false;
            }
        }
        d->Wake();
    }
    HandBack(*d, done);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt) {
    std::shared_ptr<Device> d = Find(hwo);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (pmmt == nullptr || cbmmt < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    std::uint64_t frames;
    {
        std::lock_guard<std::mutex> guard(d->lock);
        if (d->closing) return MMSYSERR_INVALHANDLE;
        frames = Played(*d);
    }
    const std::uint64_t rate = d->shape.rate;
    switch (pmmt->wType) {
    case TIME_SAMPLES:
        pmmt->u.sample = static_cast<DWORD>(frames);
        break;
    case TIME_MS:
        pmmt->u.ms = static_cast<DWORD>(frames * 1000 / rate);
        break;
    case TIME_SMPTE: {
        std::uint64_t f = frames + rate / 30 - 1;  // rounded up to a whole SMPTE frame
        pmmt->u.smpte.fps = 30;
        pmmt->u.smpte.frame = static_cast<BYTE>((f % rate) * 30 / rate);
        f /= rate;
        pmmt->u.smpte.sec = static_cast<BYTE>(f % 60);
        f /= 60;
        pmmt->u.smpte.min = static_cast<BYTE>(f % 60);
        pmmt->u.smpte.hour = static_cast<BYTE>(f / 60);
        break;
    }
    default:
        pmmt->wType = TIME_BYTES;
        if (d->mapped) {
            const auto* src = reinterpret_cast<const WAVEFORMATEX*>(d->sourceFormat.data());
            pmmt->u.cb = static_cast<DWORD>(frames * src->nAvgBytesPerSec / rate);
        } else {
            pmmt->u.cb = static_cast<DWORD>(frames * d->shape.frameBytes);
        }
        break;
    }
    return MMSYSERR_NOERROR;
}

}  // extern "C"
