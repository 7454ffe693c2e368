// The playback engine: one WAVE file at a time through a wave-out device.
//
// Threads. The host's threads run the exported calls: a start opens the file, the buffers and
// the device, fills the paused device's queue and restarts it; pause, resume, seek, position
// and stop act on the running playback. The player thread (its loop is in the main module) runs
// WaveCallbackProc for every wave-out message: it refills each returned buffer from the file,
// and after the last one runs Cleanup and posts the end-of-playback message.
//
// Locks. The wave-out lock (hMutexCorrespondingTohWaveOut, a platform mutex, so that its owner
// may enter it again) is held around every wave-out call and around every change of the file
// position and the play window: a refill holds it from the read to the write, a seek from its
// reset to its new window, so that a refill never reads from a place the seek is moving, and a
// buffer handed back by the seek's reset is counted and refilled only once the new window is
// set. The lock is made at the first open and kept for the life of the process: a host call
// that read `alreadyPlaying` just before the clean-up ended a playback must still find it.
// Nothing here waits for the player thread while holding the lock, and the end message is
// posted with no lock held.
//
// Buffers: allocated (GlobalAlloc, locked) -> prepared -> written to the device -> done (back
// on the player thread) -> refilled and written again while the play window has data ->
// unprepared and freed by Cleanup once the last one is back.
//
// Ends that the device cannot report (nothing could be written, or the last write failed) are
// turned into a done message without a header, posted to the player thread, which then cleans
// up as after the last buffer: every playback ends with exactly one end message.
#include "play/playwave.h"

#include "convert/acm.h"
#include "convert/codec.h"
#include "frame/fileinfo.h"
#include "frame/state.h"
#include "frame/utils.h"
#include "quillon.h"

#include <cstring>

std::atomic<int> playbackPaused{0};
std::atomic<HWND> hCallbackWindow{nullptr};
std::atomic<int> isPlayingWaveSet{0};
std::atomic<int> isPlayingMP3Set{0};

namespace {

constexpr int kMaxBuffers = 8;
constexpr LONG kFileBufferSize = 65536;

// The open file and its play window.
HMMIO hPlayFile = nullptr;
MMCKINFO mmioFormat;
MMCKINFO mmioData;  // during playback: dwDataOffset = first byte to play, cksize = window length
DWORD fileSize = 0;
DWORD dataOffset = 0;
std::atomic<DWORD> dataSent{0};
DWORD endPos = 0;
DWORD cursorPosBeforePlayback = 0;
std::atomic<DWORD> modifiedStartPosition{0};
std::atomic<DWORD> playWindow{0};  // mmioData.cksize, read by the player thread

// The buffers.
WAVEHDR* headers[kMaxBuffers];
HGLOBAL hWaveHdr[kMaxBuffers];
HGLOBAL hWaveData[kMaxBuffers];
WORD numPlayBuffers = 0;
DWORD playBufSize = 0;
std::atomic<WORD> buffersUsed{0};
std::atomic<WORD> bufferBeingPlayed{0};
std::atomic<int> buffersGivenToDriver{0};

// The device.
std::atomic<HWAVEOUT> hWaveOut{nullptr};
// The playback sends an MP3 file's bytes to the mapper, which decodes them: positions are asked
// for in decoded frames, and a seek maps decoded bytes to file bytes by the two byte rates.
std::atomic<int> playingMP3{0};
MPEGLAYER3WAVEFORMAT mp3Format;
HANDLE hMutexCorrespondingTohWaveOut = nullptr;

// The wave-out lock for the length of a scope.
class WaveOutLock {
public:
    WaveOutLock() {
        if (hMutexCorrespondingTohWaveOut != nullptr) WaitForSingleObject(hMutexCorrespondingTohWaveOut, INFINITE);
    }
    ~WaveOutLock() {
        if (hMutexCorrespondingTohWaveOut != nullptr) ReleaseMutex(hMutexCorrespondingTohWaveOut);
    }
    WaveOutLock(const WaveOutLock&) = delete;
    WaveOutLock& operator=(const WaveOutLock&) = delete;
};

// The start of every later playback reads these; a stop from the host writes them.
void SetWindow(DWORD length) {
    mmioData.cksize = length;
    playWindow.store(length);
}

// Asks the player thread to look at the end of the playback: a done message with no header.
void PostEndCheck() {
    PostThreadMessageA(playerThreadID, MM_WOM_DONE, reinterpret_cast<WPARAM>(hWaveOut.load()), 0);
}

void CloseWaveFile() {
    if (hPlayFile != nullptr) mmioClose(hPlayFile, 0);
    hPlayFile = nullptr;
}

WORD Fail(WORD code) {
    CloseWaveFile();
    return code;
}

DWORD BlockAlign() { return playWaveFormatEx.nBlockAlign != 0 ? playWaveFormatEx.nBlockAlign : 1; }

DWORD RoundUpToBlock(DWORD bytes) {
    const DWORD block = BlockAlign();
    const std::uint64_t rounded = (static_cast<std::uint64_t>(bytes) + block - 1) / block * block;
    return rounded > 0xFFFFFFFFu ? bytes - bytes % block : static_cast<DWORD>(rounded);
}

// The decoded length of the MP3 file being played, from the two byte rates.
DWORD DecodedLength() {
    if (mp3Format.wfx.nAvgBytesPerSec == 0) return fileSize;
    const std::uint64_t n = std::uint64_t(fileSize) * playWaveFormatEx.nAvgBytesPerSec / mp3Format.wfx.nAvgBytesPerSec;
    return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(n);
}

}  // namespace

// ---- The file ---------------------------------------------------------------------------------

WORD OpenTheWaveFile(const char* fileToOpen) {
    CloseWaveFile();
    hPlayFile = mmioOpenA(const_cast<LPSTR>(fileToOpen), nullptr, MMIO_READ | MMIO_ALLOCBUF);
    if (hPlayFile == nullptr) return kPlayCannotOpen;
    if (mmioSetBuffer(hPlayFile, nullptr, kFileBufferSize, 0) != 0) return Fail(kPlayBufferNotSet);
    MMCKINFO riff;
    std::memset(&riff, 0, sizeof riff);
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    if (mmioDescend(hPlayFile, &riff, nullptr, MMIO_FINDRIFF) != 0) return Fail(kPlayNoRiff);
    std::memset(&mmioFormat, 0, sizeof mmioFormat);
    mmioFormat.ckid = mmioFOURCC('f', 'm', 't', ' ');
    if (mmioDescend(hPlayFile, &mmioFormat, &riff, MMIO_FINDCHUNK) != 0) return Fail(kPlayNoFormat);
    // A "fmt " chunk shorter than the 16 bytes of a PCM format is refused.
    if (mmioFormat.cksize < 16) return Fail(kPlayNoFormat);
    std::memset(&playWaveFormatEx, 0, sizeof playWaveFormatEx);
    const LONG want = static_cast<LONG>(mmioFormat.cksize < sizeof(WAVEFORMATEX) ? mmioFormat.cksize : sizeof(WAVEFORMATEX));
    if (mmioRead(hPlayFile, reinterpret_cast<HPSTR>(&playWaveFormatEx), want) != want) return Fail(kPlayNoFormat);
    if (mmioAscend(hPlayFile, &mmioFormat, 0) != 0) return Fail(kPlayCannotAscend);
    std::memset(&mmioData, 0, sizeof mmioData);
    mmioData.ckid = mmioFOURCC('d', 'a', 't', 'a');
    if (mmioDescend(hPlayFile, &mmioData, &riff, MMIO_FINDCHUNK) != 0) return Fail(kPlayNoData);
    fileSize = mmioData.cksize;
    dataOffset = mmioData.dwDataOffset;
    playWindow.store(mmioData.cksize);
    if (fileSize == 0) return Fail(kPlayEmptyData);
    dataSent = 0;
    return playWaveFormatEx.wFormatTag == WAVE_FORMAT_PCM ? 0 : kPlayCompressed;
}

// ---- Buffers ------------------------------------------------------------------------------------

namespace {

void FreePlayBuffers() {
    for (int i = 0; i < kMaxBuffers; ++i) {
        if (headers[i] != nullptr && hWaveOut.load() != nullptr) {
            WaveOutLock lock;
            waveOutUnprepareHeader(hWaveOut.load(), headers[i], sizeof(WAVEHDR));
        }
        if (hWaveData[i] != nullptr) {
            GlobalUnlock(hWaveData[i]);
            GlobalFree(hWaveData[i]);
        }
        if (hWaveHdr[i] != nullptr) {
            GlobalUnlock(hWaveHdr[i]);
            GlobalFree(hWaveHdr[i]);
        }
        headers[i] = nullptr;
        hWaveData[i] = nullptr;
        hWaveHdr[i] = nullptr;
    }
    numPlayBuffers = 0;
}

WORD AllocatePlayBuffers() {
    numPlayBuffers = 0;
    const bool set = isPlayingWaveSet.load() || isPlayingMP3Set.load();
    const DWORD perSecond = playWaveFormatEx.nSamplesPerSec * playWaveFormatEx.nBlockAlign;  // 32 bits, as designed
    const DWORD units = perSecond / (set ? 2048u : 8192u);
    playBufSize = (units == 0 ? 1 : units) * 1024;
    const int count = set ? 2 : kMaxBuffers;
    for (int i = 0; i < count; ++i) {
        hWaveHdr[i] = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(WAVEHDR));
        if (hWaveHdr[i] == nullptr) break;
        headers[i] = static_cast<WAVEHDR*>(GlobalLock(hWaveHdr[i]));
        hWaveData[i] = GlobalAlloc(GMEM_MOVEABLE, playBufSize);
        if (headers[i] == nullptr || hWaveData[i] == nullptr) break;
        headers[i]->lpData = static_cast<LPSTR>(GlobalLock(hWaveData[i]));
        if (headers[i]->lpData == nullptr) break;
        headers[i]->dwBufferLength = playBufSize;
        ++numPlayBuffers;
    }
    // A slot whose allocation stopped half-way is released with the others.
    for (int i = numPlayBuffers; i < kMaxBuffers; ++i) {
        if (hWaveData[i] != nullptr) {
            GlobalUnlock(hWaveData[i]);
            GlobalFree(hWaveData[i]);
        }
        if (hWaveHdr[i] != nullptr) {
            GlobalUnlock(hWaveHdr[i]);
            GlobalFree(hWaveHdr[i]);
        }
        headers[i] = nullptr;
        hWaveData[i] = nullptr;
        hWaveHdr[i] = nullptr;
    }
    return numPlayBuffers;
}

// The whole "fmt " chunk, with the speed factor as its rate; then the query or the open.
bool OpenOrQuery(DWORD speedFactor, bool query) {
    const DWORD size = mmioFormat.cksize < sizeof(WAVEFORMATEX) ? sizeof(WAVEFORMATEX) : mmioFormat.cksize;
    HLOCAL block = LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, size);
    if (block == nullptr) return false;
    auto* format = static_cast<WAVEFORMATEX*>(block);
    const LONG here = mmioSeek(hPlayFile, 0, SEEK_CUR);
    bool ok = mmioSeek(hPlayFile, static_cast<LONG>(mmioFormat.dwDataOffset), SEEK_SET) >= 0 &&
              mmioRead(hPlayFile, static_cast<HPSTR>(block), static_cast<LONG>(mmioFormat.cksize)) ==
                  static_cast<LONG>(mmioFormat.cksize);
    mmioSeek(hPlayFile, here, SEEK_SET);
    if (ok) {
        if (mmioFormat.cksize < sizeof(WAVEFORMATEX)) format->cbSize = 0;
        if (speedFactor != 0) format->nSamplesPerSec = speedFactor;
        if (query) {
            ok = waveOutOpen(nullptr, static_cast<UINT>(gPlaybackCurrentDeviceID), format, 0, 0, WAVE_FORMAT_QUERY) == 0;
        } else {
            HWAVEOUT h = nullptr;
            ok = waveOutOpen(&h, static_cast<UINT>(gPlaybackCurrentDeviceID), format,
                             static_cast<DWORD_PTR>(playerThreadID), 0, CALLBACK_THREAD) == 0;
            if (ok) hWaveOut = h;
        }
    }
    LocalFree(block);
    return ok;
}

bool IsFormatSupported(DWORD speedFactor) { return OpenOrQuery(speedFactor, true); }

bool OpenWaveDevice(DWORD speedFactor) {
    if (hMutexCorrespondingTohWaveOut == nullptr) hMutexCorrespondingTohWaveOut = CreateMutexA(nullptr, FALSE, nullptr);
    return OpenOrQuery(speedFactor, false);
}

bool PrepareBuffers() {
    for (int i = 0; i < numPlayBuffers; ++i) {
        WaveOutLock lock;
        if (waveOutPrepareHeader(hWaveOut.load(), headers[i], sizeof(WAVEHDR)) != 0) return false;
        headers[i]->dwFlags = WHDR_PREPARED;
    }
    return true;
}

void CloseWaveDevice() {
    HWAVEOUT h = hWaveOut.load();
    if (h == nullptr) return;
    WaveOutLock lock;
    waveOutReset(h);
    for (int i = 0; i < numPlayBuffers; ++i) waveOutUnprepareHeader(h, headers[i], sizeof(WAVEHDR));
    waveOutClose(h);
    hWaveOut = nullptr;
}

// Refills one buffer from the play window and writes it, under the lock from the read to the
// write. False when nothing was written: the buffer then leaves circulation.
bool PutMoreDataInQueue(WAVEHDR* header) {
    WaveOutLock lock;
    const DWORD window = playWindow.load();
    if (dataSent.load() >= window) return false;
    LONG n = mmioRead(hPlayFile, header->lpData, static_cast<LONG>(playBufSize));
    if (n < 0) {
        LogError("PutMoreDataInQueue: the playback file could not be read; playback ends here");
        n = 0;
    }
    if (n == 0) dataSent = window;  // a read error or data that end before their declared size
    const DWORD sent = dataSent.load() + static_cast<DWORD>(n);
    dataSent = sent;
    DWORD length = static_cast<DWORD>(n);
    if (sent > window) length -= sent - window;
    header->dwBufferLength = length;
    if (length == 0 || waveOutWrite(hWaveOut.load(), header, sizeof(WAVEHDR)) != 0) return false;
    ++buffersGivenToDriver;
    return true;
}

void FillupQueue() {
    WORD used = 0;
    for (int i = 0; i < numPlayBuffers && dataSent.load() < playWindow.load(); ++i) {
        PutMoreDataInQueue(headers[i]);
        ++used;
    }
    buffersUsed = used;
    bufferBeingPlayed = 1;
    // Nothing reached the device (an empty window, failed writes): the playback ends at once.
    if (buffersGivenToDriver.load() == 0) PostEndCheck();
}

void Cleanup() {
    if (alreadyPlaying.load()) {
        WaveOutLock lock;
        waveOutReset(hWaveOut.load());
    }
    CloseWaveFile();
    FreePlayBuffers();
    alreadyPlaying = 0;
    WaveOutLock lock;
    waveOutClose(hWaveOut.load());
    hWaveOut = nullptr;
}

// Releases what a failed start took, device first.
void AbandonStart() {
    CloseWaveDevice();
    FreePlayBuffers();
    CloseWaveFile();
}

}  // namespace

// ---- The player thread ------------------------------------------------------------------------

void WaveCallbackProc(HWAVEOUT hWave, UINT message, DWORD_PTR, DWORD_PTR wParam, DWORD_PTR) {
    if (message != MM_WOM_DONE || hWave == nullptr || hWave != hWaveOut.load()) return;
    auto* header = reinterpret_cast<WAVEHDR*>(wParam);
    {
        WaveOutLock lock;
        if (header != nullptr) {
            WORD next = static_cast<WORD>(bufferBeingPlayed.load() + 1);
            bufferBeingPlayed = next > buffersUsed.load() ? 1 : next;
            // The buffer is written again before it is counted back, so that the count seen
            // from the host's side never passes through 0 while the playback goes on.
            const bool refilled = alreadyPlaying.load() && dataSent.load() < playWindow.load() && PutMoreDataInQueue(header);
            --buffersGivenToDriver;
            if (refilled) return;
        }
        if (buffersGivenToDriver.load() != 0) return;
    }
    Cleanup();
    HWND window = hCallbackWindow.load();
    if (window != nullptr) PostMessageA(window, kEndOfPlaybackMessage, 0, 0);
}

// ---- Starting ---------------------------------------------------------------------------------

WORD PlayWave(const char* fileName, DWORD position, WORD timeFormatType, DWORD speedFactor, int dontDecompress,
              DWORD endPosition) {
    if (alreadyPlaying.load()) return kPlayAlreadyPlaying;
    WORD opened = OpenTheWaveFile(fileName);
    if (opened != 0 && opened != kPlayCompressed) return kPlayCannotOpen;
    const bool sendCompressed = opened == kPlayCompressed && dontDecompress;
    if (sendCompressed) {
        position = 0;
        speedFactor = 0;
    } else if (opened == kPlayCompressed) {
        CloseWaveFile();
        const int codec = GetCodecIndexFromLinkList(playWaveFormatEx.wFormatTag);
        if (codec < 0) return kPlayCannotOpen;
        WAVEFORMATEX wanted;
        std::memset(&wanted, 0, sizeof wanted);
        wanted.wFormatTag = WAVE_FORMAT_PCM;
        wanted.nChannels = playWaveFormatEx.nChannels;
        wanted.nSamplesPerSec = playWaveFormatEx.nSamplesPerSec;
        wanted.wBitsPerSample = 16;
        const WORD converted = Convert(static_cast<WORD>(codec), -1, fileName, gTEMPCOMPRESS, &wanted, 1, nullptr);
        if (converted != 0) return converted;
        if (OpenTheWaveFile(gTEMPCOMPRESS) != 0) {
            CloseWaveFile();
            return kPlayCannotOpen;
        }
    }
    if (AllocatePlayBuffers() < 2) {
        FreePlayBuffers();
        return Fail(kPlayNoBuffers);
    }
    if (!IsFormatSupported(speedFactor)) {
        FreePlayBuffers();
        return Fail(kPlayFormatRefused);
    }
    if (!OpenWaveDevice(speedFactor)) {
        FreePlayBuffers();
        return Fail(kPlayDeviceNotOpened);
    }
    if (!PrepareBuffers()) {
        AbandonStart();
        return kPlayCannotPrepare;
    }
    endPos = endPosition;
    if (endPos != 0) {
        endPos = ConvertFromTimeFormat(endPos, timeFormatType);
        if (endPos > fileSize) endPos = fileSize;
    }
    const bool set = isPlayingWaveSet.load() || isPlayingMP3Set.load();
    DWORD start = 0;
    if (!set && !sendCompressed) {
        start = ConvertFromTimeFormat(position, timeFormatType);
        if (start >= fileSize) start = 0;
    }
    cursorPosBeforePlayback = start;
    playingMP3 = 0;
    alreadyPlaying = 1;
    playbackPaused = 0;
    modifiedStartPosition = 0;
    if (playWaveFormatEx.wFormatTag == WAVE_FORMAT_PCM) start = RoundUpToBlock(start);
    if (start > fileSize) start = fileSize;
    mmioData.dwDataOffset += start;
    DWORD window = mmioData.cksize - start;
    modifiedStartPosition = start;
    // A stop position at or before the start leaves an empty window: nothing plays, and the
    // playback ends at once with its end message.
    if (endPos != 0) window = endPos > start ? endPos - start : 0;
    SetWindow(window);
    buffersGivenToDriver = 0;
    if (mmioSeek(hPlayFile, static_cast<LONG>(mmioData.dwDataOffset), SEEK_SET) < 0) {
        AbandonStart();
        alreadyPlaying = 0;
        return kPlayCannotSeek;
    }
    {
        WaveOutLock lock;
        waveOutPause(hWaveOut.load());
    }
    FillupQueue();
    {
        WaveOutLock lock;
        waveOutRestart(hWaveOut.load());
    }
    return 0;
}

WORD LoadWave(const char* fileName) {
    if (alreadyPlaying.load()) return kPlayAlreadyPlaying;
    if (OpenTheWaveFile(fileName) != 0) {
        CloseWaveFile();
        return kPlayCannotOpen;
    }
    if (!IsFormatSupported(0)) return Fail(kPlayFormatRefused);
    return 0;
}

WORD PlayLoadedWave(DWORD position, WORD timeFormatType) {
    if (alreadyPlaying.load()) return kPlayAlreadyPlaying;
    if (hPlayFile == nullptr) return kPlayCannotOpen;
    if (AllocatePlayBuffers() < 2) {
        FreePlayBuffers();
        return kPlayNoBuffers;
    }
    if (!IsFormatSupported(0)) {
        FreePlayBuffers();
        return kPlayFormatRefused;
    }
    if (!OpenWaveDevice(0)) {
        FreePlayBuffers();
        return kPlayDeviceNotOpened;
    }
    if (!PrepareBuffers()) {
        CloseWaveDevice();
        FreePlayBuffers();
        return kPlayCannotPrepare;
    }
    // A loaded file plays to its end: a stop position left by an earlier start does not apply.
    endPos = 0;
    playingMP3 = 0;
    alreadyPlaying = 1;
    playbackPaused = 0;
    DWORD start = RoundUpToBlock(ConvertFromTimeFormat(position, timeFormatType));
    if (start > fileSize) start = fileSize;
    cursorPosBeforePlayback = start;
    mmioData.dwDataOffset = dataOffset + start;
    modifiedStartPosition = start;
    SetWindow(fileSize - start);
    dataSent = 0;
    buffersGivenToDriver = 0;
    if (mmioSeek(hPlayFile, static_cast<LONG>(mmioData.dwDataOffset), SEEK_SET) < 0) {
        CloseWaveDevice();
        FreePlayBuffers();
        alreadyPlaying = 0;
        return kPlayCannotSeek;
    }
    FillupQueue();
    return 0;
}

// ---- MP3 files ----------------------------------------------------------------------------------

WORD OpenMP3File(const char* fileToOpen, MPEGLAYER3WAVEFORMAT* pMP3Format, int scanEntireFile) {
    MPEGLAYER3WAVEFORMAT format;
    std::memset(&format, 0, sizeof format);
    if (GetMP3HeaderInfo(fileToOpen, &format) != 1) return kPlayCannotOpen;
    CloseWaveFile();
    hPlayFile = mmioOpenA(const_cast<LPSTR>(fileToOpen), nullptr, MMIO_READ | MMIO_ALLOCBUF);
    if (hPlayFile == nullptr) return kPlayCannotOpen;
    mmioSeek(hPlayFile, 0, SEEK_SET);
    const LONG length = mmioSeek(hPlayFile, 0, SEEK_END);
    if (length <= 0 || GetFileLength(fileToOpen) == 0) return Fail(kPlayCannotOpen);
    if (mmioSetBuffer(hPlayFile, nullptr, kFileBufferSize, 0) != 0) return Fail(kPlayBufferNotSet);
    DWORD window = static_cast<DWORD>(length);
    if (scanEntireFile) {
        const WORD r = GetMP3DestinationWaveFormat(hPlayFile, &format.wfx, &playWaveFormatEx);
        if (r != 0) return Fail(r);
        *pMP3Format = format;
        window -= window % BlockAlign();
    } else {
        mmioSeek(hPlayFile, 0, SEEK_SET);
    }
    std::memset(&mmioData, 0, sizeof mmioData);
    mmioData.dwDataOffset = 0;
    dataOffset = 0;
    SetWindow(window);
    fileSize = window;
    dataSent = 0;
    return 0;
}

namespace {

bool OpenMP3Device(MPEGLAYER3WAVEFORMAT* pMP3Format) {
    if (hMutexCorrespondingTohWaveOut == nullptr) hMutexCorrespondingTohWaveOut = CreateMutexA(nullptr, FALSE, nullptr);
    HWAVEOUT h = nullptr;
    if (waveOutOpen(&h, WAVE_MAPPER, &pMP3Format->wfx, static_cast<DWORD_PTR>(playerThreadID), 0, CALLBACK_THREAD) != 0)
        return false;
    hWaveOut = h;
    return true;
}

}  // namespace

WORD PlayMP3File(const char* fileName, DWORD position, WORD timeFormatType, DWORD, int, DWORD endPosition) {
    if (alreadyPlaying.load()) return kPlayAlreadyPlaying;
    MPEGLAYER3WAVEFORMAT format;
    if (OpenMP3File(fileName, &format, 1) != 0) {
        CloseWaveFile();
        return kPlayCannotOpen;
    }
    mp3Format = format;
    if (AllocatePlayBuffers() < 2) {
        FreePlayBuffers();
        return Fail(kPlayNoBuffers);
    }
    if (!OpenMP3Device(&format)) {
        FreePlayBuffers();
        return Fail(kPlayDeviceNotOpened);
    }
    if (!PrepareBuffers()) {
        AbandonStart();
        return kPlayCannotPrepare;
    }
    endPos = endPosition != 0 ? ConvertFromTimeFormat(endPosition, timeFormatType) : 0;
    (void)position;
    cursorPosBeforePlayback = 0;
    playingMP3 = 1;
    alreadyPlaying = 1;
    playbackPaused = 0;
    modifiedStartPosition = 0;
    buffersGivenToDriver = 0;
    if (mmioSeek(hPlayFile, 0, SEEK_SET) < 0) {
        AbandonStart();
        alreadyPlaying = 0;
        return kPlayCannotSeek;
    }
    {
        WaveOutLock lock;
        waveOutPause(hWaveOut.load());
    }
    FillupQueue();
    {
        WaveOutLock lock;
        waveOutRestart(hWaveOut.load());
    }
    return 0;
}

// ---- Running ----------------------------------------------------------------------------------

void StopPlayWave() {
    if (!alreadyPlaying.load()) return;
    alreadyPlaying = 0;
    {
        WaveOutLock lock;
        waveOutReset(hWaveOut.load());
    }
    // A playback with no buffer at the device has nothing to hand back: ask for the end.
    if (buffersGivenToDriver.load() == 0) PostEndCheck();
    // The player thread counts the buffers back and cleans up; a few seconds at most.
    for (int waited = 0; waited < 500; ++waited) {
        if (buffersGivenToDriver.load() == 0 && hWaveOut.load() == nullptr) return;
        Sleep(10);
    }
    LogError("StopPlayWave: the player thread did not close the device in time");
}

void PauseResumePlayWave() {
    if (!alreadyPlaying.load()) return;
    WaveOutLock lock;
    if (playbackPaused.load()) {
        waveOutRestart(hWaveOut.load());
        playbackPaused = 0;
    } else {
        waveOutPause(hWaveOut.load());
        playbackPaused = 1;
    }
}

DWORD GetWavePlayPosition(WORD timeFormatType, int restricted) {
    if (!alreadyPlaying.load() || buffersGivenToDriver.load() == 0) return 0;
    MMTIME t;
    std::memset(&t, 0, sizeof t);
    t.wType = restricted ? TIME_MS : playingMP3.load() ? TIME_SAMPLES : TIME_BYTES;
    MMRESULT r;
    {
        WaveOutLock lock;
        r = waveOutGetPosition(hWaveOut.load(), &t, sizeof t);
    }
    const WAVEFORMATEX& f = playWaveFormatEx;
    if (restricted) {
        if (r != 0) return 0;
        switch (t.wType) {
        case TIME_MS: return t.u.ms;
        case TIME_SAMPLES: return f.nSamplesPerSec ? static_cast<DWORD>(std::uint64_t(t.u.sample) * 1000 / f.nSamplesPerSec) : 0;
        case TIME_BYTES: {
            const double perSecond = double(f.nSamplesPerSec) * f.wBitsPerSample * f.nChannels;
            return perSecond > 0 ? static_cast<DWORD>(double(t.u.cb) * 8 * 1000 / perSecond) : 0;
        }
        case TIME_SMPTE:
            return (t.u.smpte.hour * 3600u + t.u.smpte.min * 60u + t.u.smpte.sec) * 1000u +
                   (t.u.smpte.fps ? t.u.smpte.frame * 1000u / t.u.smpte.fps : 0);
        default: return 0;
        }
    }
    // A device that cannot say where it is reports the start of the playback; one that answers
    // in another unit is converted to bytes.
    DWORD bytes = 0;
    if (r == 0) {
        switch (t.wType) {
        case TIME_BYTES: bytes = t.u.cb; break;
        case TIME_SAMPLES: bytes = t.u.sample * BlockAlign(); break;
        case TIME_MS: bytes = static_cast<DWORD>(std::uint64_t(t.u.ms) * f.nAvgBytesPerSec / 1000); break;
        default: break;
        }
    }
    return ConvertToTimeFormat(bytes + modifiedStartPosition.load(), timeFormatType);
}

void MoveToPlayWave(DWORD position, WORD timeFormatType) {
    if (!alreadyPlaying.load() || position >= fileSize) return;
    if (playingMP3.load() && ConvertFromTimeFormat(position, timeFormatType) >= DecodedLength()) return;
    // The reset and the new window are one step under the lock: the buffers it hands back are
    // counted on the player thread only after the window is set, so a seek while the last
    // buffers drain moves the playback rather than ending it.
    WaveOutLock lock;
    waveOutReset(hWaveOut.load());
    if (playbackPaused.load()) waveOutPause(hWaveOut.load());
    DWORD start = RoundUpToBlock(ConvertFromTimeFormat(position, timeFormatType));
    const DWORD limit = endPos != 0 ? endPos : playingMP3.load() ? DecodedLength() : fileSize;
    if (start > limit) start = limit;
    cursorPosBeforePlayback = start;
    modifiedStartPosition = start;
    SetWindow(limit - start);
    DWORD fileOffset = start;
    if (playingMP3.load() && playWaveFormatEx.nAvgBytesPerSec != 0) {
        // Decoded bytes to bytes of the file, by the two byte rates; the window is the rest of
        // the file (the decoder finds the next frame itself).
        fileOffset = static_cast<DWORD>(std::uint64_t(start) * mp3Format.wfx.nAvgBytesPerSec / playWaveFormatEx.nAvgBytesPerSec);
        if (fileOffset > fileSize) fileOffset = fileSize;
        SetWindow(fileSize - fileOffset);
    }
    mmioSeek(hPlayFile, static_cast<LONG>(dataOffset + fileOffset), SEEK_SET);
    dataSent = 0;
    // Every buffer came back in the reset; none at the device means none will be refilled.
    if (buffersGivenToDriver.load() == 0) PostEndCheck();
}

// ---- Exported ---------------------------------------------------------------------------------

QUILLON_API(void) SetCallbackWindow(void* hCallbackWnd) { hCallbackWindow = static_cast<HWND>(hCallbackWnd); }

QUILLON_API(unsigned short) AudioLoadFile(const char* fileName) {
    if (fileName == nullptr || fileName[0] == '\0') return kPlayNoFileName;
    CopyName(playbackFileName, fileName);
    return LoadWave(fileName);
}

QUILLON_API(unsigned short) AudioPlayCurrentFile(unsigned int position, unsigned short timeFormatType) {
    return PlayLoadedWave(position, timeFormatType);
}

QUILLON_API(unsigned short) AudioPlayWave(const char* fileName, unsigned int position, unsigned short timeFormatType,
                                          unsigned int speedFactor, int decompressCompressedFiles,
                                          unsigned int stopPosition) {
    restrictedOperation = 0;
    if (fileName == nullptr || fileName[0] == '\0') return kPlayNoFileName;
    const bool same = CompFiles(fileName, playbackFileName) != 0;
    WORD result;
    if (same && fileWasCompressed.load()) {
        if (decompressCompressedFiles) {
            result = PlayWave(gTEMPCOMPRESS, position, timeFormatType, speedFactor, 0, stopPosition);
        } else {
            result = PlayWave(fileName, position, timeFormatType, speedFactor, 1, stopPosition);
            if (result == 0) restrictedOperation = 1;
        }
    } else {
        const bool compressed = IsFileCompressed(fileName) != 0;
        fileWasCompressed = compressed ? 1 : 0;
        if (!same) CopyName(playbackFileName, fileName);
        if (!decompressCompressedFiles && compressed) {
            result = PlayWave(fileName, position, timeFormatType, speedFactor, 1, stopPosition);
            if (result == 0) {
                restrictedOperation = 1;
                fileWasCompressed = 0;
            }
        } else {
            result = PlayWave(fileName, position, timeFormatType, speedFactor, 0, stopPosition);
        }
    }
    if (result == 0) {
        audioPlaying = 1;
    } else {
        fileWasCompressed = 0;
        playbackFileName[0] = '\0';
    }
    return result;
}

QUILLON_API(unsigned short) AudioStop(void) {
    StopPlayWave();
    audioPaused = 0;
    audioPlaying = 0;
    isPlayingWaveSet = 0;
    isPlayingMP3Set = 0;
    return 0;
}

QUILLON_API(unsigned short) AudioPause(void) {
    if (!alreadyPlaying.load()) audioPlaying = 0;
    if (!audioPaused.load() && audioPlaying.load()) {
        PauseResumePlayWave();
        audioPaused = 1;
    }
    return 0;
}

QUILLON_API(unsigned short) AudioResume(void) {
    if (audioPaused.load() && audioPlaying.load()) {
        PauseResumePlayWave();
        audioPaused = 0;
    }
    return 0;
}

QUILLON_API(unsigned int) AudioGetPosition(unsigned short timeFormatType) {
    return GetWavePlayPosition(timeFormatType, restrictedOperation.load());
}

QUILLON_API(unsigned short) AudioMoveTo(unsigned int position, unsigned short timeFormatType) {
    if (restrictedOperation.load() || !audioPlaying.load()) return 0;
    MoveToPlayWave(position, timeFormatType);
    return 0;
}

QUILLON_API(unsigned short) AudioPlayMP3(const char* fileName, unsigned int position, unsigned short timeFormatType,
                                         unsigned int speedFactor, int decompressCompressedFiles,
                                         unsigned int stopPosition) {
    restrictedOperation = 0;
    if (fileName == nullptr || fileName[0] == '\0') return kPlayNoFileName;
    const int same = CompFiles(fileName, playbackFileName);
    fileWasCompressed = 0;
    (void)decompressCompressedFiles;
    const WORD result = PlayMP3File(fileName, position, timeFormatType, speedFactor, same, stopPosition);
    if (result == 0) audioPlaying = 1;
    else playbackFileName[0] = '\0';
    return result;
}

QUILLON_API(int) AudioIsTheSampleSpeedSupported(const char* fileName, unsigned int sampleSpeed) {
    if (fileName == nullptr || fileName[0] == '\0') return 0;
    WAVEFORMATEX format;
    std::memset(&format, 0, sizeof format);
    if (GetInputFileInfo(fileName, &format) != 0) return 0;
    format.nSamplesPerSec = sampleSpeed;
    return waveOutOpen(nullptr, static_cast<UINT>(gPlaybackCurrentDeviceID), &format, 0, 0, WAVE_FORMAT_QUERY) == 0;
}
