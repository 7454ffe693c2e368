// The rewrite procedure shared by every edit.
//
// An edit reads its source's format and data size, turns the caller's positions into byte
// offsets on whole frames, checks them and the free space, takes the undo copy (which it then
// reads instead of the source), and makes one pass over the sample data. The pass is described
// as a list of segments of the data, each with a route: to the new version (the edit file), to
// the clip file, dropped, muted on its way to the edit file, or a point where a stream (a clip,
// silence) is inserted. Both outputs begin with the source's header block: every byte between
// the form type "WAVE" and the "data" chunk's header, copied verbatim. Chunks after "data" are
// not carried over. The clip of a cut or copy is written like the new version, into a work
// file of its own that replaces the clip's name only when it is complete. When the pass and the
// closing of the new files succeed, the clip and then the edit file replace their names through
// ReplaceFileSafely; on any failure or cancel the files this edit wrote are discarded and the
// destination (and a clip file the host named) is not touched.
//
// Outputs are checked against the inputs by file identity before anything is written: a clip
// that is the source or the destination (by any spelling or link) is refused with 301, and an
// output name that is not a regular file (a device, a FIFO, a link to nothing) with 301 for the
// clip and 319 for the destination. A destination that is the source is the usual replacement,
// and a paste may read its clip from the very file it pastes into, or replace that clip.
//
// Memory: one block buffer of 65,520 bytes (two for an insertion), whatever the file size; a
// header block longer than the buffer is copied in pieces.
// Threads: runs on the host's thread or on one job's worker; the job record's progress and
// cancel fields are the only state shared with another thread.
#include "edit/editwave.h"

#include "frame/fileinfo.h"
#include "frame/replace.h"
#include "frame/riffio.h"
#include "frame/state.h"
#include "frame/unload.h"
#include "quillon.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

namespace {

using U64 = std::uint64_t;

struct FreeDeleter {
    void operator()(BYTE* p) const { std::free(p); }
};
using Block = std::unique_ptr<BYTE, FreeDeleter>;

Block NewBlock() { return Block(static_cast<BYTE*>(std::calloc(1, kEditBlockSize))); }

// The host's cancel of a job, or (a synchronous run included) the library being unloaded.
bool Cancelled(const tEDITWORKTHREADINFO* job) {
    return LibraryUnloading() || (job != nullptr && job->cancelPressed.load() != 0);
}

void SetProgress(tEDITWORKTHREADINFO* job, U64 value) {
    if (job != nullptr) job->progressCounter = static_cast<DWORD>(value > 100 ? 100 : value);
}

U64 Percent(U64 done, U64 total) { return done * 100 / (total == 0 ? 1 : total); }

// The size of a file in 64 bits (files of 4 GiB and more included); 0 when it cannot be read.
U64 FileSize64(const char* name) {
    U64 length = 0;
    return riffio::FileLength(name, &length) ? length : 0;
}

// 303 when the temporary directory's drive has no more than `need` bytes free.
WORD CheckFreeSpace(U64 need) {
    const std::int64_t free = RemainingSpaceInTempDrive();
    return static_cast<std::int64_t>(need) >= free ? QUILLON_ERR_NO_DISK_SPACE : 0;
}

// The source as the edit sees it.
struct Source {
    WAVEFORMATEX format{};
    DWORD dataSize = 0;  // bytes of audio actually present, at most the declared size
    DWORD frame = 1;     // nBlockAlign
    DWORD block = kEditBlockSize;  // the largest whole number of frames in the block buffer
    U64 headerBytes = 0;           // the header block: between "WAVE" and the data chunk's header
};

WORD ReadSource(const char* name, Source* s) {
    const WORD info = GetInputFileInfo(name, &s->format);
    if (info != 0) return info;
    const WORD size = GetDataChunkSize(name, &s->dataSize);
    if (size != 0) return size;
    // A frame of no bytes, or larger than the block, cannot be edited frame by frame.
    if (s->format.wFormatTag != WAVE_FORMAT_PCM || s->format.nChannels == 0 || s->format.nBlockAlign == 0 ||
        s->format.nBlockAlign > kEditBlockSize)
        return QUILLON_ERR_NOT_PCM;
    s->frame = s->format.nBlockAlign;
    s->block = kEditBlockSize / s->frame * s->frame;
    riffio::WaveLayout layout;
    if (riffio::ReadWaveLayout(name, &layout) != riffio::LayoutResult::Ok) return QUILLON_ERR_NO_DATA;
    s->headerBytes = layout.HeaderLength();
    return 0;
}

// A new version of the source with `dataBytes` of audio must fit what a RIFF form describes:
// its size field counts the form type, the header block, the data chunk's header, the audio
// and its pad byte. Larger: 323, before anything is written.
WORD CheckResultFits(const Source& s, U64 dataBytes) {
    const U64 riffSize = 4 + s.headerBytes + 8 + dataBytes + (dataBytes & 1u);
    return riffSize > riffio::kMaxRiffSize ? QUILLON_ERR_PASSES_4GB : 0;
}

// A caller's position as a byte offset, raised to the next whole frame. A position in frames or
// milliseconds that lies 4 GiB or more into the audio is past the end of any WAVE file: it is
// taken as such (the caller gets 313), never as the low 32 bits of its byte offset, which would
// put the edit somewhere inside a long file.
U64 ToOffset(DWORD position, WORD timeFormatType, const Source& s) {
    const WAVEFORMATEX& f = s.format;
    if (timeFormatType != kTimeBytes) {
        const double perFrame = (f.wBitsPerSample / 8.0) * f.nChannels;
        const double exact = timeFormatType == kTimeSamples
                                 ? static_cast<double>(position) * perFrame
                                 : static_cast<double>(position) * (f.nSamplesPerSec / 1000.0) * perFrame;
        if (exact >= 4294967296.0) return U64{1} << 33;
    }
    const U64 bytes = ConvertFromTimeFormatEx(position, timeFormatType, &f);
    return (bytes + s.frame - 1) / s.frame * s.frame;
}

// Reading a WAVE file: the header block and then the sample data, front to back.
class WaveReader {
public:
    // 301 when the file cannot be opened or has no "WAVE" form or no "data" chunk.
    WORD Open(const char* name) {
        if (!file_.Open(name, riffio::File::Access::Read)) return QUILLON_ERR_CANNOT_WRITE;
        if (riffio::ReadWaveLayout(file_, &layout_) != riffio::LayoutResult::Ok) return QUILLON_ERR_CANNOT_WRITE;
        return 0;
    }
    DWORD dataSize() const { return layout_.dataBytes; }
    U64 headerOffset() const { return layout_.HeaderOffset(); }
    U64 headerLength() const { return layout_.HeaderLength(); }
    bool SeekToData() { return file_.SeekTo(layout_.data.dataOffset); }
    bool SeekTo(U64 offset) { return file_.SeekTo(offset); }
    // Exactly n bytes, or false (a read error, or a file shorter than it claimed).
    bool Read(BYTE* buffer, DWORD n) { return n == 0 || file_.ReadExact(buffer, n); }
    // Moves n bytes forward in the data without reading them.
    bool Skip(U64 n) { return file_.SeekTo(file_.Position() + n); }
    void Close() { file_.Close(); }

private:
    riffio::File file_;
    riffio::WaveLayout layout_;
};

// Writing a new WAVE file: the RIFF form, the header block, one "data" chunk.
class WaveWriter {
public:
    bool Create(const char* name) { return name != nullptr && name[0] != '\0' && writer_.Create(name, "WAVE"); }
    bool BeginData() { return writer_.BeginChunk("data"); }
    bool Write(const BYTE* p, DWORD n) { return writer_.Write(p, n); }
    // Patches both sizes, pads, and closes: false when any of it did not reach the file.
    bool Finish() { return writer_.Finish(); }
    void Abandon() { writer_.Abandon(); }

private:
    riffio::Writer writer_;
};

// Copies the reader's header block to every writer (in pieces through the buffer), creates
// their "data" chunks and leaves the reader at its first sample byte.
bool StartOutputs(WaveReader& reader, const std::vector<WaveWriter*>& writers, BYTE* buffer) {
    if (!reader.SeekTo(reader.headerOffset())) return false;
    U64 left = reader.headerLength();
    while (left > 0) {
        const DWORD n = static_cast<DWORD>(left < kEditBlockSize ? left : kEditBlockSize);
        if (!reader.Read(buffer, n)) return false;
        for (WaveWriter* w : writers)
            if (!w->Write(buffer, n)) return false;
        left -= n;
    }
    for (WaveWriter* w : writers)
        if (!w->BeginData()) return false;
    return reader.SeekToData();
}

enum class Route { Edit, Clip, Drop, Mute, Insert };

struct Segment {
    U64 begin;
    U64 end;
    Route route;
};

// A stream put into the new version at an Insert segment: the data of a clip, or silence.
struct Insertion {
    U64 length = 0;
    WaveReader* clip = nullptr;  // null: silence
    BYTE fill = 0;
};

struct Pass {
    std::vector<Segment> segments;
    WaveWriter* edit = nullptr;
    WaveWriter* clip = nullptr;
    Insertion insertion;
    int muteChannels = 0;
    U64 progressBase = 0;  // progress runs from base to base + span over the pass
    U64 progressSpan = 100;
};

// The audio a pass puts into the new version (to the clip, when `toClip`): what its segments
// send there, and the inserted stream. The finished file must hold exactly this.
U64 BytesRouted(const Pass& pass, U64 dataSize, bool toClip) {
    U64 total = toClip ? 0 : pass.insertion.length;
    for (const Segment& s : pass.segments) {
        const bool counts = toClip ? s.route == Route::Clip : (s.route == Route::Edit || s.route == Route::Mute);
        const U64 end = s.end < dataSize ? s.end : dataSize;
        if (counts && end > s.begin) total += end - s.begin;
    }
    return total;
}

// One pass over the data: 0, 301 (a read or write failed) or 311 (cancelled).
WORD RunPass(const Pass& pass, WaveReader& reader, const Source& src, BYTE* buffer, BYTE* second,
             tEDITWORKTHREADINFO* job) {
    const U64 size = src.dataSize;
    const U64 total = size + pass.insertion.length;
    bool inserted = !std::any_of(pass.segments.begin(), pass.segments.end(),
                                 [](const Segment& s) { return s.route == Route::Insert; });
    U64 insertedBytes = 0;
    // Past the last byte that goes anywhere, the rest of the data need not be read.
    U64 needed = 0;
    for (const Segment& s : pass.segments)
        if (s.route != Route::Drop) needed = s.end > needed ? s.end : needed;

    U64 pos = 0;
    auto progress = [&]() {
        if (job != nullptr)
            SetProgress(job, pass.progressBase + pass.progressSpan * Percent(pos + insertedBytes, total) / 100);
    };
    auto insert = [&]() -> WORD {
        if (pass.insertion.clip == nullptr) std::memset(second, pass.insertion.fill, kEditBlockSize);
        while (insertedBytes < pass.insertion.length) {
            const U64 left = pass.insertion.length - insertedBytes;
            const DWORD n = static_cast<DWORD>(left < src.block ? left : src.block);
            if (pass.insertion.clip != nullptr && !pass.insertion.clip->Read(second, n)) return QUILLON_ERR_CANNOT_WRITE;
            if (!pass.edit->Write(second, n)) return QUILLON_ERR_CANNOT_WRITE;
            insertedBytes += n;
            progress();
            if (Cancelled(job)) return QUILLON_ERR_CANCELLED;
        }
        inserted = true;
        return 0;
    };

    do {
        progress();
        if (Cancelled(job)) return QUILLON_ERR_CANCELLED;
        if (inserted && pos >= needed && pos > 0) break;
        // A dropped stretch of whole blocks is passed over without reading it.
        bool skipped = false;
        for (const Segment& s : pass.segments) {
            if (s.route == Route::Drop && s.begin <= pos && pos < s.end && s.end - pos >= src.block) {
                const U64 end = s.end < size ? s.end : size;
                const U64 n = (end - pos) / src.block * src.block;
                if (!reader.Skip(n)) return QUILLON_ERR_CANNOT_WRITE;
                pos += n;
                skipped = true;
                break;
            }
        }
        if (skipped) continue;

        const DWORD n = static_cast<DWORD>(size - pos < src.block ? size - pos : src.block);
        if (!reader.Read(buffer, n)) return QUILLON_ERR_CANNOT_WRITE;
        const U64 blockEnd = pos + n;
        for (const Segment& s : pass.segments) {
            if (s.route == Route::Insert) {
                if (!inserted && pos <= s.begin && s.begin <= blockEnd) {
                    // The bytes of this block before the point were written by the segment
                    // before it, which ends at the point.
                    const WORD r = insert();
                    if (r != 0) return r;
                }
                continue;
            }
            const U64 from = s.begin > pos ? s.begin : pos;
            const U64 to = s.end < blockEnd ? s.end : blockEnd;
            if (from >= to) continue;
            BYTE* piece = buffer + (from - pos);
            const DWORD length = static_cast<DWORD>(to - from);
            bool ok = true;
            switch (s.route) {
            case Route::Edit:
                ok = pass.edit->Write(piece, length);
                break;
            case Route::Clip:
                ok = pass.clip->Write(piece, length);
                break;
            case Route::Mute:
                DoMute(piece, length, src.format.wBitsPerSample, src.format.nChannels, pass.muteChannels);
                ok = pass.edit->Write(piece, length);
                break;
            case Route::Drop:
            case Route::Insert:
                break;
            }
            if (!ok) return QUILLON_ERR_CANNOT_WRITE;
        }
        pos = blockEnd;
    } while (pos < size);
    if (!inserted) {
        const WORD r = insert();
        if (r != 0) return r;
    }
    return 0;
}

// The files of one edit and what happens to them at the end.
struct EditFiles {
    const char* source = nullptr;
    char readCopy[kNameSize] = {0};
    bool undoTaken = false;
    const char* clipName = nullptr;  // being written (cut, copy), else null
    char clipWork[kNameSize] = {0};  // where the clip is written until it is complete
    bool writesEdit = true;
};

// The output names of an edit, checked before anything is written: 0, 301 (the clip) or 319
// (the destination). `clipName` is null for the edits that write no clip.
WORD CheckOutputs(const char* source, const char* clipName, const char* destFileName) {
    const char* dest = destFileName[0] != '\0' ? destFileName : source;
    if (clipName != nullptr && (!IsOutputName(clipName) || std::strcmp(clipName, dest) == 0 ||
                                IsSameFile(clipName, source) || IsSameFile(clipName, dest)))
        return QUILLON_ERR_CANNOT_WRITE;
    if (destFileName[0] != '\0' && !IsOutputName(destFileName)) return QUILLON_ERR_CANNOT_REPLACE;
    return 0;
}

// Takes the undo copy when undo is on and names the file the edit reads: 0 or 305.
WORD TakeReadCopy(EditFiles& files, tEDITWORKTHREADINFO* job) {
    if (!gEnableUndoRedo) {
        CopyName(files.readCopy, files.source);
        return 0;
    }
    CopyName(files.readCopy, gUNDOFILE);
    if (!MakeUndoRedoFile(gUNDOFILE, files.source, job)) {
        DiscardEditFile(gUNDOFILE);
        return QUILLON_ERR_UNDO_COPY;
    }
    files.undoTaken = true;
    NoteUndoCopyOf(files.source);
    return 0;
}

// After the pass: on success the edit file replaces the destination (319 when it cannot); on
// a failure the files this edit wrote are discarded. Returns the final code.
WORD Conclude(WORD result, EditFiles& files, char* destFileName, tEDITWORKTHREADINFO* job) {
    // The clip goes in place first; a clip that cannot is a clip file that cannot be written.
    if (result == 0 && files.clipWork[0] != '\0') {
        if (ReplaceFileSafely(files.clipWork, files.clipName))
            files.clipWork[0] = '\0';
        else
            result = QUILLON_ERR_CANNOT_WRITE;
    }
    if (files.clipWork[0] != '\0') DeleteFileA(files.clipWork);
    if (result == 0 && files.writesEdit) {
        if (destFileName[0] == '\0') CopyName(destFileName, files.source);
        if (!ReplaceFileSafely(gEDITFILE, destFileName)) result = QUILLON_ERR_CANNOT_REPLACE;
        // Keep the name of the edit file reserved for the next edit.
        DiscardEditFile(gEDITFILE);
    }
    if (result != 0 && result != QUILLON_ERR_CANNOT_REPLACE) {
        // The library's clip is lost with a failed cut or copy; a clip file the host named was
        // never written and stays as it was.
        if (files.clipName != nullptr && std::strcmp(files.clipName, gCLIPFILE) == 0) DiscardEditFile(gCLIPFILE);
        if (files.undoTaken) {
            DiscardEditFile(files.readCopy);
            NoteUndoCopyOf("");
        }
        if (files.writesEdit) DiscardEditFile(gEDITFILE);
    }
    SetProgress(job, 100);
    return result;
}

// Edits of a selection: cut, copy, clear, crop, mute.
struct RangePlan {
    WORD equalCode;         // start and end on the same byte
    bool spaceBeforeRange;  // copy tests the free space before the positions
    bool writesEdit;
    bool writesClip;
    Route before, inside, after;
};

constexpr RangePlan kCutPlan{QUILLON_ERR_CUT_EMPTY_RANGE, false, true, true, Route::Edit, Route::Clip, Route::Edit};
constexpr RangePlan kCopyPlan{QUILLON_ERR_COPY_EMPTY_RANGE, true, false, true, Route::Drop, Route::Clip, Route::Drop};
constexpr RangePlan kClearPlan{QUILLON_ERR_EMPTY_RANGE, false, true, false, Route::Edit, Route::Drop, Route::Edit};
constexpr RangePlan kCropPlan{QUILLON_ERR_CROP_EMPTY_RANGE, false, true, false, Route::Drop, Route::Edit, Route::Drop};
constexpr RangePlan kMutePlan{QUILLON_ERR_EMPTY_RANGE, false, true, false, Route::Edit, Route::Mute, Route::Edit};

// Steps up to the undo copy shared by the selection edits: the source, the two offsets in
// ascending order, the free space and the buffer. Nonzero: finished, nothing changed.
WORD PrepareRange(const char* source, DWORD fromPosition, DWORD toPosition, WORD timeFormatType, WORD equalCode,
                  bool spaceBeforeRange, Source* src, U64* start, U64* stop, Block* buffer) {
    const WORD read = ReadSource(source, src);
    if (read != 0) return read;
    const U64 a = ToOffset(fromPosition, timeFormatType, *src);
    const U64 b = ToOffset(toPosition, timeFormatType, *src);
    if (a == b) return equalCode;
    const U64 need = 2 * FileSize64(source);
    if (spaceBeforeRange) {
        if (const WORD r = CheckFreeSpace(need)) return r;
    }
    if (a > src->dataSize || b > src->dataSize) return QUILLON_ERR_BEYOND_END;
    if (!spaceBeforeRange) {
        if (const WORD r = CheckFreeSpace(need)) return r;
    }
    *buffer = NewBlock();
    if (!*buffer) return QUILLON_ERR_NO_MEMORY;
    *start = a < b ? a : b;
    *stop = a < b ? b : a;
    return 0;
}

WORD RangeEdit(const RangePlan& plan, const char* source, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
               tEDITWORKTHREADINFO* job, const char* clipName, char* destFileName, int muteChannels) {
    Source src;
    U64 start = 0, stop = 0;
    Block buffer;
    if (const WORD r = PrepareRange(source, fromPosition, toPosition, timeFormatType, plan.equalCode,
                                    plan.spaceBeforeRange, &src, &start, &stop, &buffer))
        return r;

    EditFiles files;
    files.source = source;
    files.writesEdit = plan.writesEdit;
    files.clipName = plan.writesClip ? (clipName != nullptr ? clipName : "") : nullptr;
    if (const WORD r = CheckOutputs(source, files.clipName, destFileName)) return r;
    if (const WORD r = TakeReadCopy(files, job)) return r;
    if (plan.writesClip && !DrawWorkFile(files.clipWork, "VMX"))
        return Conclude(QUILLON_ERR_CANNOT_WRITE, files, destFileName, job);
    if (Cancelled(job)) return Conclude(QUILLON_ERR_CANCELLED, files, destFileName, job);

    WORD result = 0;
    U64 expectedEdit = 0, expectedClip = 0;
    {
        WaveReader reader;
        WaveWriter clip, edit;
        std::vector<WaveWriter*> outputs;
        if (plan.writesClip) outputs.push_back(&clip);
        if (plan.writesEdit) outputs.push_back(&edit);
        bool ok = reader.Open(files.readCopy) == 0;
        if (ok && plan.writesClip) ok = clip.Create(files.clipWork);
        if (ok && plan.writesEdit) ok = edit.Create(gEDITFILE);
        if (ok) ok = StartOutputs(reader, outputs, buffer.get());
        if (!ok) {
            result = QUILLON_ERR_CANNOT_WRITE;
        } else {
            Pass pass;
            pass.segments = std::vector<Segment>{
                {0, start, plan.before}, {start, stop, plan.inside}, {stop, src.dataSize, plan.after}};
            pass.edit = &edit;
            pass.clip = &clip;
            pass.muteChannels = muteChannels;
            result = RunPass(pass, reader, src, buffer.get(), nullptr, job);
            expectedEdit = BytesRouted(pass, src.dataSize, false);
            expectedClip = BytesRouted(pass, src.dataSize, true);
        }
        // New files are closed edit first, then clip; a failure to complete either is 301, and
        // so is a file that does not hold exactly the audio the pass routed to it.
        if (result == 0 && plan.writesEdit && (!edit.Finish() || !riffio::ResultHoldsExactly(gEDITFILE, expectedEdit)))
            result = QUILLON_ERR_CANNOT_WRITE;
        if (result == 0 && plan.writesClip &&
            (!clip.Finish() || !riffio::ResultHoldsExactly(files.clipWork, expectedClip)))
            result = QUILLON_ERR_CANNOT_WRITE;
        reader.Close();
        clip.Abandon();
        edit.Abandon();
    }
    return Conclude(result, files, destFileName, job);
}

// Edits that put a stream into the file at one point: paste and insert silence.
WORD InsertEdit(const char* target, U64 point, const Source& src, const char* clipName, U64 silenceBytes,
                tEDITWORKTHREADINFO* job, char* destFileName) {
    Block buffer = NewBlock();
    Block second = buffer ? NewBlock() : Block();
    if (!buffer || !second) return QUILLON_ERR_NO_MEMORY;

    EditFiles files;
    files.source = target;
    if (const WORD r = CheckOutputs(target, nullptr, destFileName)) return r;
    if (const WORD r = TakeReadCopy(files, job)) return r;
    if (Cancelled(job)) return Conclude(QUILLON_ERR_CANCELLED, files, destFileName, job);

    WORD result = 0;
    U64 expected = 0;
    {
        WaveReader reader, clip;
        WaveWriter edit;
        bool ok = reader.Open(files.readCopy) == 0;
        if (ok && clipName != nullptr) ok = clip.Open(clipName) == 0;
        if (ok) ok = edit.Create(gEDITFILE);
        if (ok) ok = StartOutputs(reader, {&edit}, buffer.get());
        if (!ok) {
            result = QUILLON_ERR_CANNOT_WRITE;
        } else {
            Pass pass;
            pass.segments = std::vector<Segment>{
                {0, point, Route::Edit}, {point, point, Route::Insert}, {point, src.dataSize, Route::Edit}};
            pass.edit = &edit;
            if (clipName != nullptr) {
                pass.insertion.clip = &clip;
                pass.insertion.length = clip.dataSize();
            } else {
                pass.insertion.length = silenceBytes;
                pass.insertion.fill = src.format.wBitsPerSample == 8 ? 128 : 0;
            }
            result = RunPass(pass, reader, src, buffer.get(), second.get(), job);
            expected = BytesRouted(pass, src.dataSize, false);
        }
        if (result == 0 && (!edit.Finish() || !riffio::ResultHoldsExactly(gEDITFILE, expected)))
            result = QUILLON_ERR_CANNOT_WRITE;
        reader.Close();
        clip.Close();
        edit.Abandon();
    }
    return Conclude(result, files, destFileName, job);
}

}  // namespace

void DoMute(BYTE* pData, DWORD dataSize, WORD bitRate, WORD nChannels, int channels) {
    if ((bitRate != 8 && bitRate != 16) || nChannels == 0) return;
    const DWORD sample = bitRate / 8;
    const DWORD frame = sample * nChannels;
    for (DWORD at = 0; at + sample <= dataSize; at += frame) {
        if (channels & 1) {
            if (sample == 1)
                pData[at] = 128;
            else
                pData[at] = pData[at + 1] = 0;
        }
        if (nChannels > 1 && (channels & 2) && at + 2 * sample <= dataSize) {
            if (sample == 1)
                pData[at + 1] = 128;
            else
                pData[at + 2] = pData[at + 3] = 0;
        }
    }
}

WORD EditCut(const char* fileToCutFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
             tEDITWORKTHREADINFO* pEditWorkThreadInfo, const char* fileToCutIn, char* destFileName) {
    return RangeEdit(kCutPlan, fileToCutFrom, fromPosition, toPosition, timeFormatType, pEditWorkThreadInfo, fileToCutIn,
                     destFileName, 0);
}

WORD EditCopy(const char* fileToCutFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, const char* fileToCopyIn) {
    char unused[kNameSize] = {0};
    return RangeEdit(kCopyPlan, fileToCutFrom, fromPosition, toPosition, timeFormatType, pEditWorkThreadInfo,
                     fileToCopyIn, unused, 0);
}

WORD EditClear(const char* fileToClearFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
               tEDITWORKTHREADINFO* pEditWorkThreadInfo, char* destFileName) {
    return RangeEdit(kClearPlan, fileToClearFrom, fromPosition, toPosition, timeFormatType, pEditWorkThreadInfo,
                     nullptr, destFileName, 0);
}

WORD EditCrop(const char* fileToCropFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, char* destFileName) {
    return RangeEdit(kCropPlan, fileToCropFrom, fromPosition, toPosition, timeFormatType, pEditWorkThreadInfo, nullptr,
                     destFileName, 0);
}

WORD EditMute(const char* fileToMuteFrom, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
              tEDITWORKTHREADINFO* pEditWorkThreadInfo, int channels, char* destFileName) {
    return RangeEdit(kMutePlan, fileToMuteFrom, fromPosition, toPosition, timeFormatType, pEditWorkThreadInfo, nullptr,
                     destFileName, channels);
}

WORD EditPaste(const char* pasteDataTo, DWORD fromPosition, WORD timeFormatType, tEDITWORKTHREADINFO* pEditWorkThreadInfo,
               const char* clipFileName, char* destFileName) {
    Source src;
    if (const WORD r = ReadSource(pasteDataTo, &src)) return r;
    const U64 point = ToOffset(fromPosition, timeFormatType, src);
    if (point > src.dataSize) return QUILLON_ERR_BEYOND_END;
    const char* clip = clipFileName != nullptr ? clipFileName : "";
    const U64 fileSize1 = FileSize64(pasteDataTo);
    const U64 fileSize2 = clip[0] != '\0' ? FileSize64(clip) : 0;
    if (fileSize2 == 0) return QUILLON_ERR_CLIP_EMPTY;
    if (const WORD r = CheckFreeSpace(fileSize1 + fileSize2)) return r;
    if (const WORD r = CheckFreeSpace(2 * fileSize1)) return r;
    if (mmioOpenA(const_cast<char*>(clip), nullptr, MMIO_EXIST) == nullptr) return QUILLON_ERR_NO_CLIP_FILE;
    if (!SameFormat(clip, src.format)) return QUILLON_ERR_CLIP_FORMAT;
    DWORD clipBytes = 0;
    if (GetDataChunkSize(clip, &clipBytes) != 0) return QUILLON_ERR_CLIP_FORMAT;
    if (const WORD r = CheckResultFits(src, U64{src.dataSize} + clipBytes)) return r;
    return InsertEdit(pasteDataTo, point, src, clip, 0, pEditWorkThreadInfo, destFileName);
}

WORD EditInsertSilence(const char* pasteDataTo, DWORD fromPosition, WORD timeFormatType,
                       tEDITWORKTHREADINFO* pEditWorkThreadInfo, DWORD silenceTime, char* destFileName) {
    Source src;
    if (const WORD r = ReadSource(pasteDataTo, &src)) return r;
    const U64 point = ToOffset(fromPosition, timeFormatType, src);
    if (point > src.dataSize) return QUILLON_ERR_BEYOND_END;
    const U64 frames = static_cast<U64>(src.format.nSamplesPerSec) * silenceTime / 1000;
    const U64 silenceBytes = frames * src.frame;
    if (const WORD r = CheckResultFits(src, src.dataSize + silenceBytes)) return r;
    const U64 fileSize1 = FileSize64(pasteDataTo);
    if (const WORD r = CheckFreeSpace(fileSize1)) return r;
    if (const WORD r = CheckFreeSpace(2 * fileSize1)) return r;
    return InsertEdit(pasteDataTo, point, src, nullptr, silenceBytes, pEditWorkThreadInfo, destFileName);
}

WORD EditTrimSilence(const char* fileToTrim, DWORD fromPosition, DWORD toPosition, WORD timeFormatType,
                     tEDITWORKTHREADINFO* pEditWorkThreadInfo, WORD silencePercent, char* destFileName) {
    Source src;
    U64 start = 0, stop = 0;
    Block buffer;
    if (const WORD r = PrepareRange(fileToTrim, fromPosition, toPosition, timeFormatType, QUILLON_ERR_EMPTY_RANGE,
                                    false, &src, &start, &stop, &buffer))
        return r;
    buffer.reset();  // the trim takes its own

    EditFiles files;
    files.source = fileToTrim;
    if (const WORD r = CheckOutputs(fileToTrim, nullptr, destFileName)) return r;
    if (const WORD r = TakeReadCopy(files, pEditWorkThreadInfo)) return r;
    if (Cancelled(pEditWorkThreadInfo)) return Conclude(QUILLON_ERR_CANCELLED, files, destFileName, pEditWorkThreadInfo);
    const int result = DoTrimSilence(files.readCopy, gEDITFILE, static_cast<DWORD>(start), static_cast<DWORD>(stop),
                                     silencePercent, pEditWorkThreadInfo);
    return Conclude(static_cast<WORD>(result), files, destFileName, pEditWorkThreadInfo);
}

int DoTrimSilence(const char* sourceFile, const char* destinationFile, DWORD startAt, DWORD stopAt, WORD silencePercent,
                  tEDITWORKTHREADINFO* job) {
    Block buffer = NewBlock();
    if (!buffer) return QUILLON_ERR_NO_MEMORY;
    Source src;
    if (ReadSource(sourceFile, &src) != 0) return QUILLON_ERR_CANNOT_WRITE;
    WaveReader reader;
    WaveWriter edit;
    if (reader.Open(sourceFile) != 0 || !edit.Create(destinationFile) ||
        !StartOutputs(reader, {&edit}, buffer.get()))
        return QUILLON_ERR_CANNOT_WRITE;
    if (stopAt > src.dataSize) stopAt = src.dataSize;
    if (startAt > stopAt) startAt = stopAt;

    // Loud means a magnitude above the threshold in the first or second channel. Samples are
    // 8-bit unsigned when a channel takes one byte of the frame, else 16-bit signed.
    const WAVEFORMATEX& f = src.format;
    const DWORD sampleBytes = f.nBlockAlign / f.nChannels;
    const bool eightBit = sampleBytes <= 1;
    const int silenceValue = static_cast<int>(silencePercent * (eightBit ? 127.0 : 32767.0) / 10000.0);
    const DWORD secondAt = eightBit ? 1 : 2;
    const bool hasSecond = f.nChannels > 1 && secondAt + (eightBit ? 1 : 2) <= f.nBlockAlign;
    const bool firstFits = eightBit || f.nBlockAlign >= 2;
    auto magnitude = [&](const BYTE* p) -> int {
        if (eightBit) return p[0] >= 128 ? p[0] - 128 : 128 - p[0];
        const int v = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
        return v < 0 ? -v : v;
    };

    SetProgress(job, 0);
    const U64 length = stopAt - startAt;
    bool anyLoud = false;
    U64 firstLoud = 0, lastLoud = 0;
    if (!reader.Skip(startAt)) return QUILLON_ERR_CANNOT_WRITE;
    for (U64 scanned = 0; scanned < length;) {
        SetProgress(job, scanned * 50 / (length == 0 ? 1 : length));
        if (Cancelled(job)) return QUILLON_ERR_CANCELLED;
        const DWORD n = static_cast<DWORD>(length - scanned < src.block ? length - scanned : src.block);
        if (!reader.Read(buffer.get(), n)) return QUILLON_ERR_CANNOT_WRITE;
        for (DWORD at = 0; at + f.nBlockAlign <= n; at += f.nBlockAlign) {
            const BYTE* frame = buffer.get() + at;
            const bool loud = (firstFits && magnitude(frame) > silenceValue) ||
                              (hasSecond && magnitude(frame + secondAt) > silenceValue);
            if (loud) {
                if (!anyLoud) firstLoud = scanned + at;
                anyLoud = true;
                lastLoud = scanned + at;
            }
        }
        scanned += n;
    }
    // The kept part runs from the first loud frame to the end of the last; a selection quiet
    // from end to end keeps its first frame.
    const U64 keepFrom = startAt + (anyLoud ? firstLoud : 0);
    const U64 keepTo = startAt + (anyLoud ? lastLoud : 0) + f.nBlockAlign;

    if (!reader.SeekToData()) return QUILLON_ERR_CANNOT_WRITE;
    Pass pass;
    pass.segments = std::vector<Segment>{{0, startAt, Route::Edit},
                                         {startAt, keepFrom, Route::Drop},
                                         {keepFrom, keepTo < stopAt ? keepTo : stopAt, Route::Edit},
                                         {keepTo < stopAt ? keepTo : stopAt, stopAt, Route::Drop},
                                         {stopAt, src.dataSize, Route::Edit}};
    pass.edit = &edit;
    pass.progressBase = 50;
    pass.progressSpan = 50;
    const WORD result = RunPass(pass, reader, src, buffer.get(), nullptr, job);
    if (result != 0) return result;
    reader.Close();
    const bool whole = edit.Finish() && riffio::ResultHoldsExactly(destinationFile, BytesRouted(pass, src.dataSize, false));
    return whole ? 0 : QUILLON_ERR_CANNOT_WRITE;
}
