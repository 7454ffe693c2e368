// The codec catalogue and codec conversion.
//
// Catalogue: built by walking the compression manager's drivers (disabled ones included) and,
// for each driver that can be opened, its format tags. Nodes come from the runtime heap and are
// appended at the tail, so positions are the manager's order. One lock guards the list: builds,
// the host's reads and the lookups of conversions on worker threads never see a half-freed list.
// The lock is not held while a conversion runs; a conversion copies what it needs first.
//
// Conversion: the source is read in 64 KiB blocks; bytes a codec leaves unconsumed are carried
// to the front of the next block, so each byte is read once and memory does not depend on the
// file's length. The result ("fmt ", "fact", "data") is written through buffered RIFF I/O into
// a work file beside the destination (so that a full or missing destination folder shows at
// once), deleted again after a failure or a cancel; only a
// complete result replaces the destination (ReplaceFileSafely), so that a destination that is
// the source itself, or any other existing file, stays whole until then and keeps its identity.
//
// Threads: Convert runs on the host's thread (synchronous call) or on its job's worker thread.
// The worker shares only its job record with the host: it writes the byte counters and
// progressCounter, reads cancelPressed once per block, and ends with FinishConvertJob, which
// stores reasonForExit before threadExited.
#include "convert/codec.h"

#include "frame/jobregistry.h"
#include "frame/replace.h"
#include "frame/replace_detail.h"
#include "frame/riffio.h"
#include "frame/unload.h"
#include "quillon.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>

tACMDRIVERINFO* pstartAcmDriverList = nullptr;
WORD totalDrivers = 0;

namespace {

// Result codes of the conversion.
constexpr WORD kNoCodec = 400;
constexpr WORD kNoMaxFormatSize = 401;
constexpr WORD kNoMemoryFormat = 402;
constexpr WORD kNoSupportFlags = 403;
constexpr WORD kCannotOpenCodec = 404;
constexpr WORD kNoSuggestion = 405;
constexpr WORD kNoStream = 406;
constexpr WORD kSourceFailed = 407;
constexpr WORD kDestinationFailed = 408;
constexpr WORD kSourceNotWave = 409;
constexpr WORD kSourceNoData = 410;
constexpr WORD kNoBlockSize = 411;
constexpr WORD kNoMemorySource = 412;
constexpr WORD kNoMemoryDestination = 413;
constexpr WORD kPrepareFailed = 414;
constexpr WORD kCreateRiff = 415;
constexpr WORD kCreateFmt = 416;
constexpr WORD kWriteFmt = 417;
constexpr WORD kCloseFmt = 418;
constexpr WORD kCreateFact = 419;
constexpr WORD kWriteFact = 420;
constexpr WORD kCloseFact = 421;
constexpr WORD kCreateData = 422;
constexpr WORD kSourceShort = 423;
constexpr WORD kConvertFailed = 424;
constexpr WORD kWriteData = 425;
constexpr WORD kCloseData = 426;
constexpr WORD kCloseRiff = 427;
constexpr WORD kSourceNoFmt = 429;
constexpr WORD kSourceShortFmt = 430;

constexpr DWORD kSourceBlock = 65536;
// A format record is 18 bytes and at most 65 535 bytes of format-specific data.
constexpr DWORD kLargestFormatRecord = sizeof(WAVEFORMATEX) + 0xFFFFu;

std::mutex& CatalogueLock() {
    static std::mutex lock;  // constant-initialised and trivially destroyed: usable during unload
    return lock;
}

void FreeCatalogueLocked() {
    while (pstartAcmDriverList != nullptr) {
        tACMDRIVERINFO* head = pstartAcmDriverList;
        pstartAcmDriverList = head->next;
        tACMCODECFORMATTAGINFO* tag = head->pFormatTagInfo;
        while (tag != nullptr) {
            tACMCODECFORMATTAGINFO* next = tag->next;
            std::free(tag);
            tag = next;
        }
        std::free(head);
    }
    totalDrivers = 0;
}

WORD RebuildLocked() {
    FreeCatalogueLocked();
    acmDriverEnum(acmDriverEnumCallback, 0, ACM_DRIVERENUMF_DISABLED);
    return totalDrivers;
}

tACMDRIVERINFO* DriverAtLocked(unsigned index) {
    tACMDRIVERINFO* node = pstartAcmDriverList;
    for (unsigned i = 0; node != nullptr && i < index; ++i) node = node->next;
    return node;
}

void CopyText(char* dest, std::size_t size, const char* src) {
    std::size_t n = 0;
    while (n + 1 < size && src[n] != '\0') ++n;
    std::memcpy(dest, src, n);
    dest[n] = '\0';
}

// What a conversion takes from the catalogue, copied under the lock.
struct CodecChoice {
    HACMDRIVERID hadid = nullptr;
    bool tagChosen = false;
    DWORD formatTag = 0;
    bool pcm = false;
};

bool IsPcmName(const char* name) {
    const char* pcm = "PCM";
    for (int i = 0; i < 4; ++i) {
        char c = name[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != pcm[i]) return false;
    }
    return true;
}

WORD ChooseCodec(WORD acmCodecIndex, int acmFormatTagIndex, CodecChoice* choice) {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    if (pstartAcmDriverList == nullptr) return kNoCodec;
    tACMDRIVERINFO* node = pstartAcmDriverList;
    while (node != nullptr && node->codecIndex != acmCodecIndex) node = node->next;
    if (node == nullptr) return kNoCodec;
    if (acmFormatTagIndex < 0 || static_cast<DWORD>(acmFormatTagIndex) >= node->cFormatTag) acmFormatTagIndex = -1;
    choice->hadid = static_cast<HACMDRIVERID>(node->hadid);
    if (acmFormatTagIndex < 0) return 0;
    tACMCODECFORMATTAGINFO* tag = node->pFormatTagInfo;
    for (int i = 0; tag != nullptr && i < acmFormatTagIndex; ++i) tag = tag->next;
    if (tag == nullptr) return kNoCodec;
    choice->tagChosen = true;
    choice->formatTag = tag->formatTag;
    choice->pcm = IsPcmName(tag->formatTagDescription);
    return 0;
}

// Everything a conversion takes, released in the order the ending asks for: the stream header,
// the stream, the blocks, the destination (deleted when marked), the source, the driver.
struct Conversion {
    HACMDRIVER had = nullptr;
    std::optional<riffio::File> source;
    std::optional<riffio::Writer> dest;
    char destName[kNameSize] = {};  // the work file
    bool destCreated = false;
    bool deleteDest = false;
    BYTE* srcFormat = nullptr;
    BYTE* dstFormat = nullptr;
    BYTE* srcBlock = nullptr;
    BYTE* dstBlock = nullptr;
    HACMSTREAM stream = nullptr;
    ACMSTREAMHEADER header;
    bool prepared = false;

    Conversion() { std::memset(&header, 0, sizeof header); }
    ~Conversion() {
        if (prepared) {
            header.cbSrcLength = kSourceBlock;  // as prepared
            acmStreamUnprepareHeader(stream, &header, 0);
        }
        if (stream != nullptr) acmStreamClose(stream, 0);
        std::free(srcBlock);
        std::free(dstBlock);
        std::free(srcFormat);
        std::free(dstFormat);
        dest.reset();
        if (deleteDest && destCreated) DeleteFileA(destName);
        source.reset();
        if (had != nullptr) acmDriverClose(had, 0);
    }
    Conversion(const Conversion&) = delete;
    Conversion& operator=(const Conversion&) = delete;

    // A failure from the source's opening on: the destination goes.
    WORD Fail(WORD code) {
        deleteDest = true;
        return code;
    }
};

WORD WaitDone(ACMSTREAMHEADER* header) {
    while (!(header->fdwStatus & ACMSTREAMHEADER_STATUSF_DONE)) Sleep(1);
    return 0;
}

// Step 4: the whole "fmt " chunk of the source. The block is at least the 18-byte record and
// at least as long as its cbSize says, zero-filled past what the file holds, so that no reader
// of the record runs past it.
WORD ReadSourceFormat(Conversion& c, const char* srcFileName, riffio::Chunk* riff) {
    c.source.emplace();
    if (!c.source->Open(srcFileName, riffio::File::Access::ReadDenyWrite)) return kSourceFailed;
    if (!riffio::EnterForm(*c.source, riff, "WAVE")) return kSourceNotWave;
    riffio::Chunk fmt;
    if (!riffio::FindChunk(*c.source, *riff, "fmt ", &fmt)) return kSourceNoFmt;
    if (fmt.size > kLargestFormatRecord) return kSourceShortFmt;
    BYTE first[sizeof(WAVEFORMATEX)] = {};
    const DWORD head = std::min<DWORD>(fmt.size, sizeof first);
    if (!c.source->ReadExact(first, head)) return kSourceShortFmt;
    const DWORD declared = sizeof(WAVEFORMATEX) + static_cast<DWORD>(first[16] | (first[17] << 8));
    const DWORD room = std::max<DWORD>(fmt.size, declared);
    c.srcFormat = static_cast<BYTE*>(std::calloc(1, room));
    if (c.srcFormat == nullptr) return kSourceShortFmt;
    std::memcpy(c.srcFormat, first, static_cast<std::size_t>(head));
    const DWORD rest = fmt.size - head;
    if (rest > 0 && !c.source->ReadExact(c.srcFormat + head, rest)) return kSourceShortFmt;
    return 0;
}

// Step 6 for a non-PCM tag: the chooser's start value, then the chooser.
void ChooseFormat(WAVEFORMATEX* f, DWORD size, WORD tag) {
    f->wFormatTag = tag;
    f->nChannels = 1;
    f->nSamplesPerSec = 11025;
    f->wBitsPerSample = 8;
    f->nAvgBytesPerSec = 11025;
    f->nBlockAlign = 1;
    f->cbSize = 0;
    ACMFORMATCHOOSEA choose;
    std::memset(&choose, 0, sizeof choose);
    choose.cbStruct = sizeof choose;
    choose.fdwStyle = ACMFORMATCHOOSE_STYLEF_INITTOWFXSTRUCT;
    choose.pwfx = f;
    choose.cbwfx = size;
    acmFormatChooseA(&choose);  // whatever the buffer holds afterwards is the format
}

void SetPcm(WAVEFORMATEX* f, WORD channels, DWORD rate, WORD bits) {
    f->wFormatTag = WAVE_FORMAT_PCM;
    f->nChannels = channels;
    f->nSamplesPerSec = rate;
    f->wBitsPerSample = bits;
    f->nBlockAlign = static_cast<WORD>(channels * (bits / 8));
    f->nAvgBytesPerSec = rate * f->nBlockAlign;
    f->cbSize = 0;
}

// The format any driver suggests for the source in an 18-byte PCM record. The compression
// manager measures a free suggestion's buffer against the largest format of every driver (Wine's
// msacm32 answers MMSYSERR_INVALPARAM for 18 bytes as soon as an ADPCM driver is installed), so
// a compressed source is asked again with the PCM tag fixed, which is all such a buffer holds. A
// PCM source suggests itself at the first call.
bool SuggestPcm(WAVEFORMATEX* src, WAVEFORMATEX* dst) {
    if (acmFormatSuggest(nullptr, src, dst, sizeof(WAVEFORMATEX), 0) == MMSYSERR_NOERROR) return true;
    std::memset(dst, 0, sizeof(WAVEFORMATEX));
    dst->wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, src, dst, sizeof(WAVEFORMATEX), ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR)
        return false;
    dst->cbSize = 0;
    return dst->wFormatTag == WAVE_FORMAT_PCM;
}

}  // namespace

// ---- Catalogue ------------------------------------------------------------------------------

BOOL CALLBACK acmFormatTagEnumCallback(HACMDRIVERID hadid, LPACMFORMATTAGDETAILSA lpAftd, DWORD_PTR dwInstance,
                                       DWORD fdwSupport) {
    auto* driver = reinterpret_cast<tACMDRIVERINFO*>(dwInstance);
    auto* node = static_cast<tACMCODECFORMATTAGINFO*>(std::calloc(1, sizeof(tACMCODECFORMATTAGINFO)));
    if (node == nullptr) return FALSE;  // the tags listed so far stay
    node->formatTag = lpAftd->dwFormatTag;
    node->formatTagIndex = driver->currentFormatTag;
    node->codecIndex = driver->codecIndex;
    CopyText(node->formatTagDescription, sizeof node->formatTagDescription, lpAftd->szFormatTag);
    tACMCODECFORMATTAGINFO** tail = &driver->pFormatTagInfo;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = node;
    ++driver->currentFormatTag;
    return TRUE;
}

void acmEnumerateFormatTags(HACMDRIVERID hadid, tACMDRIVERINFO* pTemp) {
    DWORD support = 0;
    if (acmMetrics(reinterpret_cast<HACMOBJ>(hadid), ACM_METRIC_DRIVER_SUPPORT, &support) != MMSYSERR_NOERROR)
        support = ACMDRIVERDETAILS_SUPPORTF_DISABLED;
    if (support & ACMDRIVERDETAILS_SUPPORTF_DISABLED) return;
    HACMDRIVER had = nullptr;
    if (acmDriverOpen(&had, hadid, 0) != MMSYSERR_NOERROR || had == nullptr) return;
    ACMFORMATTAGDETAILSA details;
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    acmFormatTagEnumA(had, &details, acmFormatTagEnumCallback, reinterpret_cast<DWORD_PTR>(pTemp), 0);
    acmDriverClose(had, 0);
}

BOOL CALLBACK acmDriverEnumCallback(HACMDRIVERID hadid, DWORD_PTR dwInstance, DWORD fdwSupport) {
    // Exactly one of codec, converter or filter; anything else (disabled, several) ends the list.
    if (fdwSupport != ACMDRIVERDETAILS_SUPPORTF_CODEC && fdwSupport != ACMDRIVERDETAILS_SUPPORTF_CONVERTER &&
        fdwSupport != ACMDRIVERDETAILS_SUPPORTF_FILTER)
        return FALSE;
    ACMDRIVERDETAILSA details;
    std::memset(&details, 0, sizeof details);
    details.cbStruct = sizeof details;
    acmDriverDetailsA(hadid, &details, 0);
    auto* node = static_cast<tACMDRIVERINFO*>(std::calloc(1, sizeof(tACMDRIVERINFO)));
    if (node == nullptr) return FALSE;  // the drivers listed so far stay
    node->codecIndex = totalDrivers;
    node->hadid = hadid;
    node->cFormatTag = details.cFormatTags;
    CopyText(node->formatDescription, sizeof node->formatDescription, details.szLongName);
    node->currentFormatTag = 0;
    tACMDRIVERINFO** tail = &pstartAcmDriverList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = node;
    acmEnumerateFormatTags(hadid, node);
    ++totalDrivers;
    return TRUE;
}

void FreeCodecCatalogue() {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    FreeCatalogueLocked();
}

QUILLON_API(unsigned short) GetNumberOfCodec(void) {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    return RebuildLocked();
}

QUILLON_API(unsigned short) GetCodecDescription(tACMDRIVERINFO* pcodecInformation, unsigned short acmDriverIndex) {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    if (pstartAcmDriverList == nullptr) return kNoCodec;
    const tACMDRIVERINFO* node = DriverAtLocked(acmDriverIndex);
    if (node == nullptr || pcodecInformation == nullptr) return kNoCodec;
    std::memset(pcodecInformation, 0, sizeof *pcodecInformation);
    pcodecInformation->codecIndex = node->codecIndex;
    pcodecInformation->hadid = node->hadid;
    pcodecInformation->cFormatTag = node->cFormatTag;
    pcodecInformation->currentFormatTag = node->currentFormatTag;
    std::memcpy(pcodecInformation->formatDescription, node->formatDescription, sizeof node->formatDescription);
    return 0;
}

QUILLON_API(unsigned short) GetCodecFormatTagDescription(tACMCODECFORMATTAGINFO* pFormatTagInformation,
                                                         unsigned short acmDriverIndex,
                                                         unsigned short acmCodecFormatTagIndex) {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    if (pFormatTagInformation == nullptr) return kNoCodec;
    std::memset(pFormatTagInformation, 0, sizeof *pFormatTagInformation);
    const tACMDRIVERINFO* node = DriverAtLocked(acmDriverIndex);
    if (node == nullptr || node->pFormatTagInfo == nullptr) return kNoCodec;
    const unsigned index = acmCodecFormatTagIndex < node->currentFormatTag ? acmCodecFormatTagIndex : 0u;
    const tACMCODECFORMATTAGINFO* tag = node->pFormatTagInfo;
    for (unsigned i = 0; tag->next != nullptr && i < index; ++i) tag = tag->next;
    std::memcpy(pFormatTagInformation->formatTagDescription, tag->formatTagDescription,
                sizeof tag->formatTagDescription);
    pFormatTagInformation->formatTagIndex = tag->formatTagIndex;
    pFormatTagInformation->codecIndex = tag->codecIndex;
    pFormatTagInformation->formatTag = tag->formatTag;
    return 0;
}

int GetCodecIndexFromLinkList(DWORD formatTag) {
    std::lock_guard<std::mutex> guard(CatalogueLock());
    if (RebuildLocked() == 0) return -1;
    for (const tACMDRIVERINFO* node = pstartAcmDriverList; node != nullptr; node = node->next)
        for (const tACMCODECFORMATTAGINFO* tag = node->pFormatTagInfo; tag != nullptr; tag = tag->next)
            if (tag->formatTag == formatTag) return static_cast<int>(node->codecIndex);
    return -1;
}

// ---- Conversion -----------------------------------------------------------------------------

WORD Convert(WORD acmCodecIndex, int acmFormatTagIndex, const char* srcFileName, const char* destFileName,
             const WAVEFORMATEX* pDestWaveFormatDesired, int overrideFormatIfNeeded,
             tCONVERTWORKTHREADINFO* pConvertWorkThreadInfo) {
    // 1-2: names, then the codec and tag in the catalogue.
    if (srcFileName == nullptr || srcFileName[0] == '\0') return kSourceFailed;
    if (destFileName == nullptr || destFileName[0] == '\0') return kDestinationFailed;
    CodecChoice choice;
    WORD result = ChooseCodec(acmCodecIndex, acmFormatTagIndex, &choice);
    if (result != 0) return result;

    // Only a regular file (or a new one) receives the result: a device, a FIFO or a link to
    // nothing is refused before anything is done.
    if (!IsOutputName(destFileName)) return kDestinationFailed;

    Conversion c;
    // 3: the driver, unless it is disabled (then nothing is done).
    if (choice.hadid != nullptr) {
        DWORD support = 0;
        if (acmMetrics(reinterpret_cast<HACMOBJ>(choice.hadid), ACM_METRIC_DRIVER_SUPPORT, &support) !=
            MMSYSERR_NOERROR)
            return kNoSupportFlags;
        if (!(support & ACMDRIVERDETAILS_SUPPORTF_DISABLED) &&
            acmDriverOpen(&c.had, choice.hadid, 0) != MMSYSERR_NOERROR)
            return kCannotOpenCodec;
        if (c.had == nullptr) return 0;
    }

    // 4: the source format.
    riffio::Chunk riff;
    result = ReadSourceFormat(c, srcFileName, &riff);
    if (result != 0) return c.Fail(result);
    auto* srcFormat = reinterpret_cast<WAVEFORMATEX*>(c.srcFormat);

    // 5: the destination format buffer.
    DWORD formatSize = sizeof(WAVEFORMATEX);
    if (!choice.pcm) {
        HACMOBJ object = c.had != nullptr ? reinterpret_cast<HACMOBJ>(c.had) : nullptr;
        if (acmMetrics(object, ACM_METRIC_MAX_SIZE_FORMAT, &formatSize) != MMSYSERR_NOERROR)
            return c.Fail(kNoMaxFormatSize);
        formatSize = std::max<DWORD>(formatSize, sizeof(WAVEFORMATEX));
    }
    c.dstFormat = static_cast<BYTE*>(std::calloc(1, formatSize));
    if (c.dstFormat == nullptr) return c.Fail(kNoMemoryFormat);
    auto* dstFormat = reinterpret_cast<WAVEFORMATEX*>(c.dstFormat);

    // 6: the destination format.
    if (choice.pcm) {
        WAVEFORMATEX wanted;
        std::memset(&wanted, 0, sizeof wanted);
        if (pDestWaveFormatDesired != nullptr) std::memcpy(&wanted, pDestWaveFormatDesired, sizeof wanted);
        SetPcm(dstFormat, wanted.nChannels, wanted.nSamplesPerSec, wanted.wBitsPerSample);
    } else if (!choice.tagChosen) {
        if (acmFormatSuggest(c.had, srcFormat, dstFormat, formatSize, 0) != MMSYSERR_NOERROR)
            return c.Fail(kNoSuggestion);
    } else {
        dstFormat->wFormatTag = static_cast<WORD>(choice.formatTag);
        if (acmFormatSuggest(c.had, srcFormat, dstFormat, formatSize, ACM_FORMATSUGGESTF_WFORMATTAG) !=
            MMSYSERR_NOERROR)
            return c.Fail(kNoSuggestion);
        ChooseFormat(dstFormat, formatSize, static_cast<WORD>(choice.formatTag));
    }

    // 7: the stream; with the override, the library's own choice of format and driver.
    if (acmStreamOpen(&c.stream, c.had, srcFormat, dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
        MMSYSERR_NOERROR) {
        c.stream = nullptr;
        if (!overrideFormatIfNeeded) return c.Fail(kNoStream);
        if (choice.pcm && !SuggestPcm(srcFormat, dstFormat)) SetPcm(dstFormat, 2, 22050, 16);
        if (acmStreamOpen(&c.stream, nullptr, srcFormat, dstFormat, nullptr, 0, 0, ACM_STREAMOPENF_NONREALTIME) !=
            MMSYSERR_NOERROR) {
            c.stream = nullptr;
            return c.Fail(kNoStream);
        }
    }

    // 8: the source's audio, wherever it lies in the form.
    riffio::Chunk data;
    if (!c.source->SeekTo(riff.dataOffset + 4) || !riffio::FindChunk(*c.source, riff, "data", &data))
        return c.Fail(kSourceNoData);
    const DWORD totalSize = data.size;

    // 9: the destination's header chunks.
    if (!MakeTemporaryBeside(destFileName, c.destName)) return c.Fail(kDestinationFailed);
    c.destCreated = true;
    c.dest.emplace();
    if (!c.dest->Create(c.destName, "WAVE", true)) return c.Fail(kDestinationFailed);
    riffio::Writer& out = *c.dest;
    if (!out.BeginChunk("fmt ")) return c.Fail(kCreateFmt);
    if (!out.Write(c.dstFormat, formatSize)) return c.Fail(kWriteFmt);
    if (!out.EndChunk()) return c.Fail(kCloseFmt);
    if (!out.BeginChunk("fact")) return c.Fail(kCreateFact);
    const BYTE factValue[4] = {static_cast<BYTE>(totalSize), static_cast<BYTE>(totalSize >> 8),
                               static_cast<BYTE>(totalSize >> 16), static_cast<BYTE>(totalSize >> 24)};
    if (!out.Write(factValue, 4)) return c.Fail(kWriteFact);
    if (!out.EndChunk()) return c.Fail(kCloseFact);
    if (!out.BeginChunk("data")) return c.Fail(kCreateData);
    // The converted audio must leave the destination within what a RIFF form describes: the
    // form type, the "fmt " chunk (padded), the 4-byte "fact" chunk, the data chunk's header, and
    // a pad byte after the audio.
    const std::uint64_t headerBytes = 4 + 8 + formatSize + (formatSize & 1u) + 12 + 8;
    const std::uint64_t maxOutput = riffio::kMaxRiffSize - headerBytes - 1;

    // 10: the blocks and the stream header.
    c.srcBlock = static_cast<BYTE*>(std::malloc(kSourceBlock));
    if (c.srcBlock == nullptr) return c.Fail(kNoMemorySource);
    DWORD dstBlockSize = 0;
    if (acmStreamSize(c.stream, kSourceBlock, &dstBlockSize, ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR)
        return c.Fail(kNoBlockSize);
    c.dstBlock = static_cast<BYTE*>(std::malloc(dstBlockSize > 0 ? dstBlockSize : 1));
    if (c.dstBlock == nullptr) return c.Fail(kNoMemoryDestination);
    c.header.cbStruct = sizeof c.header;
    c.header.pbSrc = c.srcBlock;
    c.header.cbSrcLength = kSourceBlock;
    c.header.pbDst = c.dstBlock;
    c.header.cbDstLength = dstBlockSize;
    if (acmStreamPrepareHeader(c.stream, &c.header, 0) != MMSYSERR_NOERROR) return c.Fail(kPrepareFailed);
    c.prepared = true;

    // 11: the conversion loop.
    tCONVERTWORKTHREADINFO* job = pConvertWorkThreadInfo;
    if (job != nullptr) {
        job->inputDataSize = totalSize;
        job->inputDataProcessed = 0;
        job->outputDataWritten = 0;
    }
    DWORD dataRemaining = 0;          // carried over from the last pass
    DWORD remainderAt = 0;            // where in the block it starts
    DWORD sizeOfDataConverted = 0;    // source bytes consumed
    DWORD sizeOfOutputDataWritten = 0;
    DWORD sizeOfDataRead = 0;         // source bytes read from the data chunk
    bool oneMorePass = true;
    while (sizeOfDataConverted < totalSize || oneMorePass) {
        if (LibraryUnloading()) return c.Fail(0);  // the library is being unloaded: as a cancel
        if (job != nullptr) {
            if (job->cancelPressed) return c.Fail(0);
            const std::uint64_t percent =
                totalSize == 0 ? 0 : static_cast<std::uint64_t>(sizeOfDataConverted) * 100u / totalSize;
            job->progressCounter = static_cast<DWORD>(std::min<std::uint64_t>(percent, 100));
        }
        if (sizeOfDataConverted >= totalSize) oneMorePass = false;

        DWORD length = dataRemaining;
        if (dataRemaining > 0 && remainderAt > 0) std::memmove(c.srcBlock, c.srcBlock + remainderAt, dataRemaining);
        bool grew = false;
        if (length < kSourceBlock && oneMorePass) {
            const DWORD want = std::min<DWORD>(kSourceBlock - length, totalSize - sizeOfDataRead);
            const std::int64_t got = want == 0 ? 0 : c.source->Read(c.srcBlock + length, want);
            if (got > 0) {
                length += static_cast<DWORD>(got);
                sizeOfDataRead += static_cast<DWORD>(got);
                grew = true;
            }
            if (length == 0) return c.Fail(kSourceShort);
        }
        c.header.cbSrcLength = length;
        c.header.cbSrcLengthUsed = 0;
        c.header.cbDstLengthUsed = 0;
        if (acmStreamConvert(c.stream, &c.header, ACM_STREAMCONVERTF_BLOCKALIGN) != MMSYSERR_NOERROR)
            return c.Fail(kConvertFailed);
        WaitDone(&c.header);
        if (c.header.cbDstLengthUsed == 0) {
            c.header.cbSrcLengthUsed = 0;
            if (acmStreamConvert(c.stream, &c.header, ACM_STREAMCONVERTF_END) != MMSYSERR_NOERROR)
                return c.Fail(kConvertFailed);
            WaitDone(&c.header);
        }
        const DWORD used = std::min(c.header.cbSrcLengthUsed, length);
        const DWORD produced = std::min(c.header.cbDstLengthUsed, dstBlockSize);
        dataRemaining = length - used;
        remainderAt = used;
        // A pass that takes nothing, gives nothing and had nothing new to offer would repeat
        // itself for ever. With the source's audio all read, what is left is a tail shorter
        // than the codec's block that it declines even at the end: it is left out. A file that
        // ended before its data size is short; a full block that the codec does not touch is
        // a conversion that cannot go on.
        if (used == 0 && produced == 0 && !grew && dataRemaining > 0) {
            if (sizeOfDataRead < totalSize && length < kSourceBlock) return c.Fail(kSourceShort);
            if (length == kSourceBlock) return c.Fail(kConvertFailed);
            break;
        }
        if (std::uint64_t{sizeOfOutputDataWritten} + produced > maxOutput) return c.Fail(QUILLON_ERR_PASSES_4GB);
        if (produced > 0 && !out.Write(c.dstBlock, produced)) return c.Fail(kWriteData);
        sizeOfDataConverted += used;
        sizeOfOutputDataWritten += produced;
        if (job != nullptr) {
            job->inputDataProcessed = sizeOfDataConverted;
            job->outputDataWritten = sizeOfOutputDataWritten;
        }
    }
    if (!out.EndChunk()) return c.Fail(kCloseData);
    // The last buffered bytes reach the disk only now: a failure here loses the file's end.
    if (!out.Finish()) return c.Fail(kCloseRiff);
    // A complete output holds every byte the codec produced; only then does it replace anything.
    if (!riffio::ResultHoldsExactly(c.destName, sizeOfOutputDataWritten)) return c.Fail(kWriteData);
    // The source is let go first: it may be the destination itself, which Windows does not
    // replace while it is open without delete sharing.
    c.source.reset();
    if (!ReplaceFileSafely(c.destName, destFileName)) return c.Fail(kDestinationFailed);
    c.destCreated = false;
    return 0;
}

unsigned __stdcall ConvertWorkThread(void* record) {
    auto* job = static_cast<tCONVERTWORKTHREADINFO*>(record);
    const WORD result = Convert(job->acmCodecIndex, job->acmFormatTagIndex, job->srcFileName, job->destFileName,
                                &job->destWaveFormatDesired, job->overrideFormatIfNeeded, job);
    FinishConvertJob(job, result);  // the record is not touched after this
    return 0;
}

QUILLON_API(unsigned short) AudioConvert(unsigned short acmCodecIndex, int acmFormatTagIndex, const char* srcFileName,
                                         const char* destFileName, const WAVEFORMATEX* pDestWaveFormatDesired,
                                         int overrideFormatIfNeeded, QUILLON_CONVERT_HANDLE* pConvertWorkThreadHandle,
                                         int isSyncOperation) {
    CallInFlight call;
    if (srcFileName == nullptr || srcFileName[0] == '\0') return kSourceFailed;
    if (destFileName == nullptr || destFileName[0] == '\0') return kDestinationFailed;
    if (isSyncOperation != 0)
        return Convert(acmCodecIndex, acmFormatTagIndex, srcFileName, destFileName, pDestWaveFormatDesired,
                       overrideFormatIfNeeded, nullptr);
    // A job that could not be handed over or could never end is not started.
    if (pConvertWorkThreadHandle == nullptr) return kNoMemoryFormat;
    tCONVERTWORKTHREADINFO* job = NewConvertJob();
    *pConvertWorkThreadHandle = reinterpret_cast<QUILLON_CONVERT_HANDLE>(job);
    if (job == nullptr) return kNoMemoryFormat;
    job->acmCodecIndex = acmCodecIndex;
    job->acmFormatTagIndex = acmFormatTagIndex;
    job->overrideFormatIfNeeded = overrideFormatIfNeeded;
    CopyName(job->srcFileName, srcFileName);
    CopyName(job->destFileName, destFileName);
    if (pDestWaveFormatDesired != nullptr) std::memcpy(&job->destWaveFormatDesired, pDestWaveFormatDesired, 18);
    if (!StartJobThread(ConvertWorkThread, job, &job->threadID)) {
        FinishConvertJob(job, kNoMemoryFormat);
        AudioConvertCloseHandle(pConvertWorkThreadHandle);
        return kNoMemoryFormat;
    }
    return 0;
}
