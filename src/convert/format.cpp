// PCM format change. ConvertFormat runs up to three single-purpose passes over a WAVE file, in
// a fixed order: sample rate (whole frames repeated or dropped), channels (mono to stereo by
// copying, stereo to mono by averaging), bits (8 <-> 16 by shifting). No filtering anywhere.
//
// Threads: ConvertFormat runs on the host's thread (synchronous call) or on the job's own
// worker thread (ChangeFormatWorkThread). The worker shares only its job record with the host:
// it writes progressCounter, then reasonForExit, then threadExited, and reads cancelPressed
// once per 8192-byte block. No lock is taken anywhere here.
//
// Files: no pass writes the output name. Each pass writes a work file drawn in the temporary
// directory and reads the one the pass before it wrote; only one complete result is moved over
// the output, with ReplaceFileSafely: the last pass's on success, the result of the passes
// finished before a failure or a cancel otherwise. So a kill or a crash at any moment leaves
// the output as it was or as the whole new file, and an output name equal to the input name
// converts the file in place. The input is only read.
//
// Memory: each pass holds one 8192-byte input block and one 64 KiB output block from the global
// heap, whatever the length of the file.
#include "convert/format.h"

#include "frame/jobregistry.h"
#include "frame/replace.h"
#include "frame/riffio.h"
#include "frame/state.h"
#include "frame/unload.h"
#include "quillon.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr DWORD kBlockBytes = 8192;      // input bytes per block; the frame dropping restarts at each
constexpr DWORD kOutBlockBytes = 65536;  // room for the output of one input block (or a part of it)
constexpr LONG kFormatRecordBytes = 18;
// The largest audio data a result may hold: its RIFF size counts the form type (4 bytes), the
// 18-byte "fmt " chunk with its header (26), the data chunk's header (8), the audio and a pad byte.
constexpr std::uint64_t kMaxDataBytes = riffio::kMaxRiffSize - 4 - 26 - 8 - 1;

// ---------------------------------------------------------------------------------------------
// Heap blocks: zero-filled global memory, locked for the life of the owner.
class GlobalBlock {
public:
    explicit GlobalBlock(std::size_t bytes) : handle_(GlobalAlloc(GHND, bytes)) {
        if (handle_ != nullptr) data_ = static_cast<BYTE*>(GlobalLock(handle_));
    }
    ~GlobalBlock() {
        if (handle_ == nullptr) return;
        if (data_ != nullptr) GlobalUnlock(handle_);
        GlobalFree(handle_);
    }
    GlobalBlock(const GlobalBlock&) = delete;
    GlobalBlock& operator=(const GlobalBlock&) = delete;
    BYTE* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    HGLOBAL handle_;
    BYTE* data_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Samples. 8-bit PCM is unsigned (silence 128), 16-bit signed little-endian.
inline int Get16(const BYTE* p) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8))); }
inline void Set16(BYTE* p, int v) {
    p[0] = static_cast<BYTE>(v & 0xFF);
    p[1] = static_cast<BYTE>((v >> 8) & 0xFF);
}

// Block converters: `frames` whole frames from `in` into `out`; the result is the number of
// bytes written. Tables keyed by frame size, by channels and sample width, and by width pick
// the one a pass needs.
using FrameConverter = DWORD (*)(const BYTE* in, DWORD frames, DWORD factor, BYTE* out);
using SampleConverter = DWORD (*)(const BYTE* in, DWORD frames, BYTE* out);

// Rate up: every frame `factor` times in a row.
template <DWORD FrameBytes>
DWORD RepeatFrames(const BYTE* in, DWORD frames, DWORD factor, BYTE* out) {
    BYTE* o = out;
    for (DWORD f = 0; f < frames; ++f, in += FrameBytes) {
        for (DWORD k = 0; k < factor; ++k, o += FrameBytes) std::memcpy(o, in, FrameBytes);
    }
    return static_cast<DWORD>(o - out);
}

// Rate down: the frames whose index is a multiple of `factor`, the others dropped.
template <DWORD FrameBytes>
DWORD KeepEveryNthFrame(const BYTE* in, DWORD frames, DWORD factor, BYTE* out) {
    BYTE* o = out;
    for (DWORD f = 0; f < frames; f += factor, o += FrameBytes) std::memcpy(o, in + f * FrameBytes, FrameBytes);
    return static_cast<DWORD>(o - out);
}

// Indexed by frame bytes: 1 (mono 8), 2 (stereo 8, mono 16), 4 (stereo 16).
constexpr FrameConverter kRepeatFrames[5] = {nullptr, RepeatFrames<1>, RepeatFrames<2>, nullptr, RepeatFrames<4>};
constexpr FrameConverter kKeepEveryNthFrame[5] = {nullptr, KeepEveryNthFrame<1>, KeepEveryNthFrame<2>, nullptr,
                                                  KeepEveryNthFrame<4>};

// Stereo to mono: the mean of the two samples, truncated toward zero (always within range).
DWORD StereoToMono8(const BYTE* in, DWORD frames, BYTE* out) {
    for (DWORD f = 0; f < frames; ++f, in += 2) out[f] = static_cast<BYTE>(((in[0] - 128) + (in[1] - 128)) / 2 + 128);
    return frames;
}
DWORD StereoToMono16(const BYTE* in, DWORD frames, BYTE* out) {
    for (DWORD f = 0; f < frames; ++f, in += 4, out += 2) Set16(out, (Get16(in) + Get16(in + 2)) / 2);
    return frames * 2;
}
// Mono to stereo: every sample as the left and then the right sample.
DWORD MonoToStereo8(const BYTE* in, DWORD frames, BYTE* out) {
    for (DWORD f = 0; f < frames; ++f, out += 2) out[0] = out[1] = in[f];
    return frames * 2;
}
DWORD MonoToStereo16(const BYTE* in, DWORD frames, BYTE* out) {
    for (DWORD f = 0; f < frames; ++f, in += 2, out += 4) {
        out[0] = out[2] = in[0];
        out[1] = out[3] = in[1];
    }
    return frames * 4;
}
// [old channels - 1][bytes per sample - 1]
constexpr SampleConverter kChannelConverters[2][2] = {{MonoToStereo8, MonoToStereo16},
                                                       {StereoToMono8, StereoToMono16}};

// Widths: `frames` counts samples here (the pass gives frames × channels).
DWORD SixteenToEight(const BYTE* in, DWORD samples, BYTE* out) {
    for (DWORD s = 0; s < samples; ++s, in += 2) out[s] = static_cast<BYTE>(Get16(in) / 256 + 128);
    return samples;
}
DWORD EightToSixteen(const BYTE* in, DWORD samples, BYTE* out) {
    for (DWORD s = 0; s < samples; ++s, out += 2) Set16(out, (in[s] - 128) * 256);
    return samples * 2;
}
// [old bytes per sample - 1]
constexpr SampleConverter kWidthConverters[2] = {EightToSixteen, SixteenToEight};

// ---------------------------------------------------------------------------------------------
// Layouts the change handles: 1 or 2 channels of 1 or 2 bytes, frames of exactly that size.
WORD BytesPerSample(const WAVEFORMATEX& f) { return f.nChannels ? static_cast<WORD>(f.nBlockAlign / f.nChannels) : 0; }

bool LayoutHandled(const WAVEFORMATEX& f) {
    const WORD bps = BytesPerSample(f);
    return (f.nChannels == 1 || f.nChannels == 2) && (bps == 1 || bps == 2) && f.nBlockAlign == f.nChannels * bps;
}

// Opens `name` for reading and checks it: RIFF form WAVE (351), a "fmt " chunk (352) whose first
// 18 bytes are read whatever its declared size (353 when fewer come), PCM (354), then a
// non-empty "data" chunk after it (355, 356). On 0 the file stands at the first audio byte and
// dataBytes is the audio it really holds: the declared size, but no more than the file has.
WORD OpenPcmSource(const char* name, riffio::File& file, WAVEFORMATEX& format, DWORD& dataBytes) {
    if (!file.Open(name, riffio::File::Access::Read)) return kFmtCannotOpenInput;
    riffio::Chunk riff, fmt, data;
    if (!riffio::EnterForm(file, &riff, "WAVE")) return kFmtNotWave;
    if (!riffio::FindChunk(file, riff, "fmt ", &fmt)) return kFmtNoFormatChunk;
    BYTE record[kFormatRecordBytes];
    if (!file.ReadExact(record, kFormatRecordBytes)) return kFmtShortFormat;
    std::memcpy(&format, record, sizeof format);
    if (format.wFormatTag != WAVE_FORMAT_PCM) return kFmtNotPcm;
    if (!riffio::LeaveChunk(file, fmt)) return kFmtNoDataChunk;
    if (!riffio::FindChunk(file, riff, "data", &data)) return kFmtNoDataChunk;
    if (data.size == 0) return kFmtEmptyData;
    dataBytes = riffio::BytesPresent(file, data);
    if (dataBytes == 0) return kFmtEmptyData;
    return 0;
}

// The output file of a pass: RIFF form, an 18-byte "fmt " record (cbSize 0), then "data".
class WaveWriter {
public:
    WORD Create(const char* name, const WAVEFORMATEX& format) {
        if (name == nullptr || name[0] == '\0' || !writer_.Create(name, "WAVE")) return kFmtCannotWrite;
        WAVEFORMATEX record = format;
        record.cbSize = 0;
        if (!writer_.BeginChunk("fmt ") || !writer_.Write(&record, kFormatRecordBytes) || !writer_.EndChunk() ||
            !writer_.BeginChunk("data"))
            return kFmtCannotWrite;
        return 0;
    }
    bool Write(const BYTE* bytes, DWORD n) { return writer_.Write(bytes, n); }
    // Fixes both sizes and closes; the close writes the last buffered bytes.
    WORD Finish() { return writer_.Finish() ? 0 : kFmtCannotWrite; }

private:
    riffio::Writer writer_;
};

// Where a pass reports progress and tests for cancel, relative to the block it works on.
enum class CancelPoint { BeforeRead, AfterRead, AfterWrite };

// Reports progress and answers whether the host asked to cancel.
bool ReportAndTestCancel(tEDITWORKTHREADINFO* job, int factor, int base, DWORD processed, DWORD total) {
    const std::uint64_t share = static_cast<std::uint64_t>(factor) * processed / total;
    job->progressCounter = static_cast<DWORD>(std::min<std::uint64_t>(100, share + static_cast<std::uint64_t>(base)));
    return job->cancelPressed != 0;
}

// What distinguishes the three passes: the output format and the conversion of one block.
struct Pass {
    CancelPoint cancelPoint;
    // The audio bytes the pass writes for `input` bytes of frames `align` bytes long.
    virtual std::uint64_t OutputBytes(std::uint64_t input, DWORD align) const = 0;
    // Converts `frames` whole frames of one input block and writes the result.
    virtual bool ConvertBlock(const BYTE* in, DWORD frames, BYTE* out, WaveWriter& writer) const = 0;

protected:
    ~Pass() = default;
};

// The frame shared by the passes: check the input, write the header, then block by block
// read, convert, write, report. The input's trailing bytes that do not make a whole frame are
// not carried over; a file shorter than its "data" size ends the pass with what it holds.
WORD RunPass(const char* outName, const Pass& pass, const WAVEFORMATEX& outFormat, riffio::File& in, DWORD totalBytes,
             WORD inAlign, tEDITWORKTHREADINFO* job, int factor, int base) {
    // Progress and cancel at this pass's point of the block, when there is a job record.
    // An unload of the library stops a synchronous change at the same points.
    auto cancelledAt = [&](CancelPoint point, DWORD processed) {
        if (pass.cancelPoint != point) return false;
        if (job != nullptr && ReportAndTestCancel(job, factor, base, processed, totalBytes)) return true;
        return LibraryUnloading();
    };
    GlobalBlock inBlock(kBlockBytes);
    GlobalBlock outBlock(kOutBlockBytes);
    if (!inBlock || !outBlock) return kFmtNoMemory;
    WaveWriter writer;
    if (const WORD r = writer.Create(outName, outFormat)) return r;

    DWORD remaining = totalBytes;
    DWORD processed = 0;
    while (remaining > 0) {
        if (cancelledAt(CancelPoint::BeforeRead, processed)) return kFmtCancelled;
        const DWORD want = std::min(kBlockBytes, remaining);
        const std::int64_t got = in.Read(inBlock.get(), want);
        if (got <= 0) break;  // the file ends before its declared size
        remaining -= static_cast<DWORD>(got);
        if (cancelledAt(CancelPoint::AfterRead, processed)) return kFmtCancelled;
        if (!pass.ConvertBlock(inBlock.get(), static_cast<DWORD>(got) / inAlign, outBlock.get(), writer))
            return kFmtCannotWrite;
        processed += static_cast<DWORD>(got);
        if (cancelledAt(CancelPoint::AfterWrite, processed)) return kFmtCancelled;
        if (static_cast<DWORD>(got) < want) break;
    }
    if (const WORD r = writer.Finish()) return r;
    // The result must hold exactly what the arithmetic predicts for this input: a pass that
    // ended early never passes for a whole one.
    return riffio::ResultHoldsExactly(outName, pass.OutputBytes(totalBytes, inAlign)) ? 0 : kFmtCannotWrite;
}

std::uint64_t RatePassOutput(std::uint64_t data, DWORD frameBytes, DWORD oldRate, DWORD newRate);

struct RatePass final : Pass {
    DWORD factor;
    bool up;
    DWORD frameBytes;
    DWORD oldRate, newRate;
    std::uint64_t OutputBytes(std::uint64_t input, DWORD) const override {
        return RatePassOutput(input, frameBytes, oldRate, newRate);
    }
    bool ConvertBlock(const BYTE* in, DWORD frames, BYTE* out, WaveWriter& writer) const override {
        if (!up) {
            const DWORD n = kKeepEveryNthFrame[frameBytes](in, frames, factor, out);
            return writer.Write(out, n);
        }
        // Up: as many frames at a time as their copies fill the output block.
        const std::uint64_t perFrame = static_cast<std::uint64_t>(factor) * frameBytes;
        if (perFrame <= kOutBlockBytes) {
            const DWORD group = static_cast<DWORD>(kOutBlockBytes / perFrame);
            for (DWORD f = 0; f < frames; f += group) {
                const DWORD n = std::min(group, frames - f);
                if (!writer.Write(out, kRepeatFrames[frameBytes](in + f * frameBytes, n, factor, out))) return false;
            }
            return true;
        }
        // A ratio so large that the copies of one frame exceed the block: fill the block with
        // the frame once, then write it as often as needed.
        const DWORD perBlock = kOutBlockBytes / frameBytes;
        for (DWORD f = 0; f < frames; ++f) {
            kRepeatFrames[frameBytes](in + f * frameBytes, 1, perBlock, out);
            for (std::uint64_t left = perFrame; left > 0;) {
                const DWORD n = static_cast<DWORD>(std::min<std::uint64_t>(left, perBlock * frameBytes));
                if (!writer.Write(out, n)) return false;
                left -= n;
            }
        }
        return true;
    }
};

// Channel and width passes write whole frames of the output's size for the input's whole frames.
struct FramePass : Pass {
    DWORD outAlign = 1;
    std::uint64_t OutputBytes(std::uint64_t input, DWORD align) const override { return input / align * outAlign; }

protected:
    ~FramePass() = default;
};

struct ChannelPass final : FramePass {
    SampleConverter convert;
    bool ConvertBlock(const BYTE* in, DWORD frames, BYTE* out, WaveWriter& writer) const override {
        return writer.Write(out, convert(in, frames, out));
    }
};

struct WidthPass final : FramePass {
    SampleConverter convert;
    DWORD channels;
    bool ConvertBlock(const BYTE* in, DWORD frames, BYTE* out, WaveWriter& writer) const override {
        return writer.Write(out, convert(in, frames * channels, out));
    }
};

// ---------------------------------------------------------------------------------------------
// Sizes: the audio bytes each pass will write, to refuse before writing anything a result that
// the RIFF I/O could not hold.
std::uint64_t RatePassOutput(std::uint64_t data, DWORD frameBytes, DWORD oldRate, DWORD newRate) {
    const std::uint64_t frames = data / frameBytes;
    if (newRate >= oldRate) {
        const std::uint64_t duplicate = newRate / oldRate;  // up to 2^32: keep the product in range
        if (frames * frameBytes > kMaxDataBytes / duplicate) return kMaxDataBytes + 1;
        return frames * frameBytes * duplicate;
    }
    const std::uint64_t average = oldRate / newRate;
    const std::uint64_t blockFrames = kBlockBytes / frameBytes;
    const std::uint64_t fullBlocks = data / kBlockBytes;
    const std::uint64_t tailFrames = (data % kBlockBytes) / frameBytes;
    const std::uint64_t kept =
        fullBlocks * ((blockFrames + average - 1) / average) + (tailFrames + average - 1) / average;
    return kept * frameBytes;
}


// Puts a finished work file in place of the output; the work file is gone either way.
WORD Install(const char* work, const char* output) {
    if (ReplaceFileSafely(work, output)) return 0;
    DeleteFileA(work);
    return kFmtCannotWrite;
}

// The output receives a copy of the input.
WORD CopyInputToOutput(const char* input, const char* output) {
    if (std::strcmp(input, output) == 0 || IsSameFile(input, output)) return 0;
    char work[kNameSize];
    if (!DrawWorkFile(work, "VMX")) return kFmtCannotWrite;
    if (!CopyFileA(input, work, FALSE)) {
        DeleteFileA(work);
        return kFmtCannotWrite;
    }
    return Install(work, output);
}

// The passes of one change, run one after the other. Each reads what the one before it wrote
// (the input for the first) and writes a work file of its own in the temporary directory; the
// last finished result is kept there and the one before it deleted.
class PassChain {
public:
    explicit PassChain(const char* input) : source_(input) {}
    ~PassChain() {
        if (finished_[0] != '\0') DeleteFileA(finished_);
    }
    PassChain(const PassChain&) = delete;
    PassChain& operator=(const PassChain&) = delete;

    template <typename PassFn>
    WORD Run(PassFn pass) {
        char work[kNameSize];
        if (!DrawWorkFile(work, "VMX")) return kFmtCannotWrite;
        const WORD r = pass(source_, static_cast<const char*>(work));
        if (r != 0) {
            DeleteFileA(work);
            return r;
        }
        if (finished_[0] != '\0') DeleteFileA(finished_);
        CopyName(finished_, work);
        source_ = finished_;
        return 0;
    }
    bool AnyFinished() const { return finished_[0] != '\0'; }
    // Moves the last finished result over the output.
    WORD InstallLast(const char* output) {
        const WORD r = Install(finished_, output);
        finished_[0] = '\0';
        return r;
    }

private:
    const char* source_;
    char finished_[kNameSize] = {};
};

}  // namespace

WORD ConvertSampleRate(const char* inFilename, const char* outFilename, DWORD newRate,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress) {
    riffio::File in;
    WAVEFORMATEX format{};
    DWORD total = 0;
    if (const WORD r = OpenPcmSource(inFilename, in, format, total)) return r;
    if (!LayoutHandled(format)) return kFmtLayoutNotHandled;
    if (newRate == 0 || format.nSamplesPerSec == 0) return kFmtRatesNotMultiples;
    const DWORD oldRate = format.nSamplesPerSec;
    const DWORD larger = std::max(oldRate, newRate), smaller = std::min(oldRate, newRate);
    if (larger % smaller != 0) return kFmtRatesNotMultiples;

    RatePass pass;
    pass.cancelPoint = CancelPoint::AfterWrite;
    pass.up = newRate >= oldRate;
    pass.factor = larger / smaller;
    pass.frameBytes = format.nBlockAlign;
    pass.oldRate = oldRate;
    pass.newRate = newRate;

    WAVEFORMATEX out = format;
    out.nSamplesPerSec = newRate;
    out.nAvgBytesPerSec = newRate * format.nBlockAlign;
    out.wBitsPerSample = static_cast<WORD>(BytesPerSample(format) * 8);
    return RunPass(outFilename, pass, out, in, total, format.nBlockAlign, pEditWorkThreadInfo,
                   progressFactor, oldProgress);
}

WORD ConvertChannels(const char* inFileName, const char* outFileName, WORD newChannels,
                     tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress) {
    riffio::File in;
    WAVEFORMATEX format{};
    DWORD total = 0;
    if (const WORD r = OpenPcmSource(inFileName, in, format, total)) return r;
    if (!LayoutHandled(format) || (newChannels != 1 && newChannels != 2)) return kFmtLayoutNotHandled;

    const WORD bps = BytesPerSample(format);
    ChannelPass pass;
    pass.cancelPoint = CancelPoint::BeforeRead;
    pass.convert = kChannelConverters[format.nChannels - 1][bps - 1];

    WAVEFORMATEX out = format;
    out.nChannels = newChannels;
    out.nBlockAlign = static_cast<WORD>(newChannels * format.nBlockAlign / format.nChannels);
    pass.outAlign = out.nBlockAlign;
    out.nAvgBytesPerSec = format.nSamplesPerSec * out.nBlockAlign;
    out.wBitsPerSample = static_cast<WORD>(bps * 8);
    return RunPass(outFileName, pass, out, in, total, format.nBlockAlign, pEditWorkThreadInfo,
                   progressFactor, oldProgress);
}

WORD ConvertResolution(const char* inFileName, const char* outFileName, WORD newBitsPerSample,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, int progressFactor, int oldProgress) {
    riffio::File in;
    WAVEFORMATEX format{};
    DWORD total = 0;
    if (const WORD r = OpenPcmSource(inFileName, in, format, total)) return r;
    if (!LayoutHandled(format) || (newBitsPerSample != 8 && newBitsPerSample != 16)) return kFmtLayoutNotHandled;

    const WORD bps = BytesPerSample(format);
    WidthPass pass;
    pass.cancelPoint = CancelPoint::AfterRead;
    pass.convert = kWidthConverters[bps - 1];
    pass.channels = format.nChannels;

    WAVEFORMATEX out = format;
    out.nBlockAlign = static_cast<WORD>(newBitsPerSample / 8 * format.nChannels);
    pass.outAlign = out.nBlockAlign;
    out.nAvgBytesPerSec = format.nSamplesPerSec * out.nBlockAlign;
    out.wBitsPerSample = newBitsPerSample;
    return RunPass(outFileName, pass, out, in, total, format.nBlockAlign, pEditWorkThreadInfo,
                   progressFactor, oldProgress);
}

WORD ConvertFormat(const char* inputFileName, const char* outputFileName, DWORD sampleRate, WORD bitsPerSample,
                   WORD numChannels, tEDITWORKTHREADINFO* pEditWorkThreadInfo) {
    WAVEFORMATEX format{};
    DWORD dataBytes = 0;
    {
        riffio::File in;
        if (const WORD r = OpenPcmSource(inputFileName, in, format, dataBytes)) return r;
    }
    // Only mono and stereo of 8 or 16 bits, in and out; a rate of 0 is no multiple of anything.
    if (!LayoutHandled(format) || (numChannels != 1 && numChannels != 2) || (bitsPerSample != 8 && bitsPerSample != 16))
        return kFmtLayoutNotHandled;
    if (sampleRate == 0 || format.nSamplesPerSec == 0) return kFmtRatesNotMultiples;

    const WORD oldBytes = BytesPerSample(format);
    const WORD newBytes = static_cast<WORD>(bitsPerSample / 8);
    const bool rateChanges = sampleRate != format.nSamplesPerSec;
    const bool channelsChange = numChannels != format.nChannels;
    const bool bitsChange = newBytes != oldBytes;
    const int changes = int(rateChanges) + int(channelsChange) + int(bitsChange);
    if (changes == 0) return kFmtNothingToDo;
    if (rateChanges) {
        const DWORD larger = std::max(sampleRate, format.nSamplesPerSec);
        const DWORD smaller = std::min(sampleRate, format.nSamplesPerSec);
        if (larger % smaller != 0) return kFmtRatesNotMultiples;
    }
    if (outputFileName == nullptr || outputFileName[0] == '\0') return kFmtCannotWrite;
    // Only a regular file (or a new one) receives the result: a device, a FIFO or a link to
    // nothing is refused before anything is written.
    if (!IsOutputName(outputFileName)) return kFmtCannotWrite;

    // Refuse, before writing anything, a result that would pass what a RIFF form describes.
    const std::uint64_t afterRate =
        rateChanges ? RatePassOutput(dataBytes, format.nBlockAlign, format.nSamplesPerSec, sampleRate)
                    : dataBytes / format.nBlockAlign * format.nBlockAlign;
    const std::uint64_t afterChannels = afterRate / format.nChannels * numChannels;
    const std::uint64_t afterBits = afterChannels / oldBytes * newBytes;
    if (std::max({afterRate, afterChannels, afterBits}) > kMaxDataBytes) return QUILLON_ERR_PASSES_4GB;

    const int progressFactor = 100 / changes;
    int oldProgress = 0;
    tEDITWORKTHREADINFO* job = pEditWorkThreadInfo;
    char output[kNameSize];
    CopyName(output, outputFileName);

    // The output receives one complete result. On success that is the last pass's. When a
    // pass fails or is cancelled it is the result of the passes finished before it, or, when
    // the rate stayed and no pass finished, a copy of the input: what the output would hold had
    // each pass written it in turn. A failed or cancelled first rate pass leaves it untouched.
    PassChain chain(inputFileName);
    auto base = [&] {
        if (job) oldProgress = static_cast<int>(job->progressCounter.load());
    };
    WORD result = 0;
    if (rateChanges) {
        result = chain.Run([&](const char* in, const char* work) {
            return ConvertSampleRate(in, work, sampleRate, job, progressFactor, oldProgress);
        });
        if (result != 0) return result;
        base();
    }
    if (channelsChange) {
        result = chain.Run([&](const char* in, const char* work) {
            return ConvertChannels(in, work, numChannels, job, progressFactor, oldProgress);
        });
        if (result == 0) base();
    }
    if (result == 0 && bitsChange) {
        result = chain.Run([&](const char* in, const char* work) {
            return ConvertResolution(in, work, bitsPerSample, job, progressFactor, oldProgress);
        });
    }
    if (result == 0) return chain.InstallLast(output);
    if (chain.AnyFinished())
        chain.InstallLast(output);
    else
        CopyInputToOutput(inputFileName, output);
    return result;
}

unsigned __stdcall ChangeFormatWorkThread(void* record) {
    auto* job = static_cast<tEDITWORKTHREADINFO*>(record);
    const tFMTWORKTHREADINFO* params = job->pMoreInfo;
    const WORD result = ConvertFormat(params->inputFileName, params->outputFileName, params->sampleRate,
                                      params->bitsPerSample, params->numChannels, job);
    // The last touch of the record: it may be freed inside when the host closed it early.
    FinishEditJob(job, result, nullptr);
    return 0;
}

namespace {
// Ends and frees a job that never ran, and clears the host's handle.
void DropUnstartedJob(tEDITWORKTHREADINFO* job, QUILLON_EDIT_HANDLE* handle) {
    FinishEditJob(job, kFmtNoMemory, nullptr);
    QUILLON_EDIT_HANDLE h = &job->cbSize;
    AudioEditCloseHandle(&h);
    *handle = nullptr;
}
}  // namespace

QUILLON_API(unsigned short) AudioChangeFormat(const char* inputFileName, const char* outputFileName,
                                              unsigned int sampleRate, unsigned short bitsPerSample,
                                              unsigned short numChannels, QUILLON_EDIT_HANDLE* pEditWorkThreadHandle,
                                              int isSyncOperation) {
    CallInFlight call;
    char workingName[kNameSize];
    if (const WORD r = CheckEditSource(inputFileName, workingName)) return r;
    if (isSyncOperation)
        return ConvertFormat(workingName, outputFileName, sampleRate, bitsPerSample, numChannels, nullptr);

    // A job the host could neither poll nor close is not started.
    if (pEditWorkThreadHandle == nullptr) return kFmtNoMemory;
    tEDITWORKTHREADINFO* job = NewEditJob();
    *pEditWorkThreadHandle = job != nullptr ? &job->cbSize : nullptr;
    if (job == nullptr) return kFmtNoMemory;
    // Freed with the record by the close call.
    auto* params = static_cast<tFMTWORKTHREADINFO*>(std::calloc(1, sizeof(tFMTWORKTHREADINFO)));
    if (params == nullptr) {
        DropUnstartedJob(job, pEditWorkThreadHandle);
        return kFmtNoMemory;
    }
    params->cbSize = sizeof(tFMTWORKTHREADINFO);
    CopyName(params->inputFileName, workingName);
    CopyName(params->outputFileName, outputFileName != nullptr ? outputFileName : "");
    params->sampleRate = sampleRate;
    params->bitsPerSample = bitsPerSample;
    params->numChannels = numChannels;
    job->pMoreInfo = params;
    job->cancelPressed = 0;
    if (!StartJobThread(ChangeFormatWorkThread, job, &job->threadID)) {
        // No worker: nothing would ever end the job, so there is none.
        DropUnstartedJob(job, pEditWorkThreadHandle);
        return kFmtNoMemory;
    }
    return 0;
}
