// quillon codecs: the codec catalogue, each driver with its format tags.
// quillon convert SRC DST --codec N [--tag N] [--rate R] [--channels C] [--bits B] [--override]:
// converts a WAVE file through codec N. Without --tag the codec suggests the destination
// format; with the codec's PCM tag, --rate/--channels/--bits (default: the source's) name it.
// An MP3 file is first wrapped in a WAVE file (its bytes behind an MPEG Layer-3 format) so
// that an MP3 decoder can take it.
//
// The conversion runs as a job that this command polls, drawing a progress bar when stderr is a
// terminal. The library writes into a work file beside the target; only a finished result is
// renamed over the target, so Ctrl-C (which cancels the job) or a failure leaves no half file
// and the target as it was.
#include "commands.h"
#include "console.h"
#include "result_text.h"

#include "../src/convert/mpegframe.h"
#include "quillon.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// 424 means "a stream conversion call failed" to a conversion.
const char* ConvertWords(unsigned code) {
    if (code == QUILLON_CONV_ERR_CONVERT) return "the codec failed to convert the audio";
    return ResultText(code);
}

bool ParseNumber(const char* text, unsigned long limit, unsigned long* value) {
    if (text == nullptr || *text == '\0' || text[0] == '-') return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || v > limit) return false;
    *value = v;
    return true;
}


// The first `limit` bytes of a file, and its whole size.
std::vector<unsigned char> ReadHead(const char* name, std::size_t limit, unsigned long* size) {
    std::vector<unsigned char> bytes;
    *size = 0;
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return bytes;
    bytes.resize(limit);
    bytes.resize(std::fread(bytes.data(), 1, limit, f));
    if (std::fseek(f, 0, SEEK_END) == 0) *size = static_cast<unsigned long>(std::ftell(f));
    std::fclose(f);
    return bytes;
}

constexpr std::size_t kHeadBytes = (1u << 20) + 4;

void Put16(std::vector<unsigned char>& b, unsigned v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(std::vector<unsigned char>& b, unsigned long v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// What the first frame header of an MP3 file says; false when there is none. Only the first
// 1 MiB is searched here: the host reads no further.
bool FirstFrame(const std::vector<unsigned char>& file, tagMP3Header* header, std::size_t* at) {
    if (file.size() < 5) return false;
    std::size_t count = file.size() - 4;
    if (count > (1u << 20)) count = 1u << 20;
    const std::ptrdiff_t found = mpeg::FindAcceptableHeader(file.data(), count);
    if (found < 0) return false;
    *header = mpeg::SplitHeader(mpeg::HeaderValue(file.data() + found));
    *at = static_cast<std::size_t>(found);
    return true;
}

bool IsWave(const char* name) {
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return false;
    char head[12] = {};
    const bool wave = std::fread(head, 1, 12, f) == 12 && std::memcmp(head, "RIFF", 4) == 0 &&
                      std::memcmp(head + 8, "WAVE", 4) == 0;
    std::fclose(f);
    return wave;
}

// Writes the MP3 stream of `mp3` into a WAVE file "fmt " (MPEG Layer-3 format), "data".
bool WrapMp3(const char* mp3, const std::string& wave) {
    unsigned long fileSize = 0;
    const std::vector<unsigned char> head = ReadHead(mp3, kHeadBytes, &fileSize);
    tagMP3Header h;
    std::size_t at = 0;
    if (!FirstFrame(head, &h, &at)) return false;
    std::vector<unsigned char> out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    const std::size_t dataSize = fileSize - at;
    Put32(out, 4 + 8 + 30 + 8 + dataSize + (dataSize & 1));
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(out, 30);
    Put16(out, 0x55);
    Put16(out, mpeg::Channels(h));
    Put32(out, mpeg::SamplingRate(h));
    Put32(out, mpeg::BitRateKbps(h) * 1000 / 8);
    Put16(out, 1);
    Put16(out, 0);
    Put16(out, 12);
    Put16(out, 1);                                   // MPEG
    Put32(out, h.protection == 0 ? 1 : 2);           // padding flags
    Put16(out, 144 * mpeg::BitRateKbps(h) * 1000 / mpeg::SamplingRate(h));  // frame size
    Put16(out, 1);
    Put16(out, 1393);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put32(out, dataSize);
    std::FILE* in = std::fopen(mp3, "rb");
    if (in == nullptr) return false;
    std::FILE* f = std::fopen(wave.c_str(), "wb");
    if (f == nullptr) {
        std::fclose(in);
        return false;
    }
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size() && std::fseek(in, static_cast<long>(at), SEEK_SET) == 0;
    std::vector<unsigned char> block(65536);
    std::size_t copied = 0, n = 0;
    while (ok && (n = std::fread(block.data(), 1, block.size(), in)) > 0) {
        ok = std::fwrite(block.data(), 1, n, f) == n;
        copied += n;
    }
    ok = ok && copied == dataSize;
    if (dataSize & 1) ok = ok && std::fputc(0, f) != EOF;
    std::fclose(in);
    return std::fclose(f) == 0 && ok;
}

int ConvertUsage() {
    std::fprintf(stderr,
                 "usage: quillon convert SRC DST --codec N [--tag N] [--rate R] [--channels C] [--bits B] "
                 "[--override]\n  (quillon codecs lists the codecs and their tags)\n");
    return 2;
}

// Whether the tag at this position of the codec's list is the PCM tag, as the library decides
// it (by its name). Past the list no tag is chosen at all.
bool IsPcmTag(unsigned long codec, unsigned long tag) {
    tACMDRIVERINFO d;
    if (codec > 0xFFFF || GetCodecDescription(&d, static_cast<unsigned short>(codec)) != 0) return false;
    if (tag >= d.cFormatTag || tag >= d.currentFormatTag) return false;
    tACMCODECFORMATTAGINFO t;
    if (GetCodecFormatTagDescription(&t, static_cast<unsigned short>(codec), static_cast<unsigned short>(tag)) != 0)
        return false;
    const char* name = t.formatTagDescription;
    return (name[0] | 0x20) == 'p' && (name[1] | 0x20) == 'c' && (name[2] | 0x20) == 'm' && name[3] == '\0';
}

}  // namespace

int RunCodecsCommand(int argc, char** argv) {
    (void)argv;
    if (argc != 0) {
        std::fprintf(stderr, "usage: quillon codecs\n");
        return 2;
    }
    const unsigned short n = GetNumberOfCodec();
    if (n == 0) {
        std::printf("no codecs installed\n");
        return 0;
    }
    for (unsigned short i = 0; i < n; ++i) {
        tACMDRIVERINFO d;
        if (GetCodecDescription(&d, i) != 0) continue;
        std::printf("codec %u: %s\n", d.codecIndex, d.formatDescription);
        if (d.currentFormatTag == 0) std::printf("  (no format tags: disabled or cannot be opened)\n");
        for (unsigned t = 0; t < d.currentFormatTag; ++t) {
            tACMCODECFORMATTAGINFO tag;
            if (GetCodecFormatTagDescription(&tag, i, static_cast<unsigned short>(t)) != 0) continue;
            std::printf("  tag %u: %-24s (format tag %u)\n", tag.formatTagIndex, tag.formatTagDescription,
                        tag.formatTag);
        }
    }
    return 0;
}

int RunConvertCommand(int argc, char** argv) {
    const char* src = nullptr;
    const char* dst = nullptr;
    unsigned long codec = 0, tag = 0, rate = 0, channels = 0, bits = 0;
    bool haveCodec = false, haveTag = false, override = false;
    bool haveRate = false, haveChannels = false, haveBits = false;
    for (int i = 0; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        struct Option {
            const char* name;
            unsigned long limit;
            unsigned long* target;
            bool* seen;
        };
        const Option options[] = {{"--codec", 0xFFFF, &codec, &haveCodec},       {"--tag", 0x7FFFFFFF, &tag, &haveTag},
                                  {"--rate", 0xFFFFFFFF, &rate, &haveRate},       {"--channels", 0xFFFF, &channels, &haveChannels},
                                  {"--bits", 0xFFFF, &bits, &haveBits}};
        bool matched = false;
        for (const Option& o : options) {
            if (std::strcmp(a, o.name) != 0) continue;
            if (!ParseNumber(value, o.limit, o.target)) return ConvertUsage();
            *o.seen = true;
            matched = true;
            ++i;
        }
        if (matched) continue;
        if (std::strcmp(a, "--override") == 0) {
            override = true;
        } else if (a[0] == '-' && a[1] != '\0') {
            return ConvertUsage();
        } else if (src == nullptr) {
            src = a;
        } else if (dst == nullptr) {
            dst = a;
        } else {
            return ConvertUsage();
        }
    }
    if (src == nullptr || dst == nullptr || !haveCodec) return ConvertUsage();

    std::string wrapped;
    const char* source = src;
    std::FILE* probe = std::fopen(src, "rb");
    const bool readable = probe != nullptr;
    if (probe != nullptr) std::fclose(probe);
    if (readable && !IsWave(src)) {
        wrapped = std::string(dst) + ".quillon-" + std::to_string(ProcessId()) + ".mp3.wav";
        if (!WrapMp3(src, wrapped)) {
            std::remove(wrapped.c_str());
            std::fprintf(stderr, "%s: neither a WAVE file nor an MP3 file with a frame header\n", src);
            return 1;
        }
        source = wrapped.c_str();
    }

    // The wanted PCM format: what was given, else the source's.
    WAVEFORMATEX wanted;
    std::memset(&wanted, 0, sizeof wanted);
    WAVEFORMATEX current;
    std::memset(&current, 0, sizeof current);
    if (GetInputFileInfo(source, &current) == 0) wanted = current;
    if (haveRate) wanted.nSamplesPerSec = static_cast<unsigned int>(rate);
    if (haveChannels) wanted.nChannels = static_cast<unsigned short>(channels);
    if (haveBits) wanted.wBitsPerSample = static_cast<unsigned short>(bits);
    if (wanted.wFormatTag != 1 && !haveBits) wanted.wBitsPerSample = 16;

    CatchInterrupts();
    QUILLON_CONVERT_HANDLE job = nullptr;
    const unsigned short started = AudioConvert(static_cast<unsigned short>(codec), haveTag ? static_cast<int>(tag) : -1,
                                                source, dst, &wanted, override ? 1 : 0, &job, 0);
    if (started != 0) {
        if (!wrapped.empty()) std::remove(wrapped.c_str());
        std::fprintf(stderr, "%s: error %u: %s\n", src, started, ConvertWords(started));
        return 1;
    }
    unsigned short reason = 0;
    // The library writes the destination only when the conversion is complete, keeping an
    // existing destination's identity; a cancelled or failed conversion leaves it as it was.
    const int status = FinishJobInto(job, kConvertJob, nullptr, dst, src, &reason);
    if (!wrapped.empty()) std::remove(wrapped.c_str());
    if (status >= 0) return status;
    if (reason == 0) {
        std::fprintf(stderr, "%s: the codec is disabled, or the result could not be put in place of %s\n", src, dst);
        return 1;
    }
    std::fprintf(stderr, "%s: error %u: %s\n", src, reason, ConvertWords(reason));
    if (reason == QUILLON_CONV_ERR_NO_STREAM && haveTag && !IsPcmTag(codec, tag))
        std::fprintf(stderr, "  (with no format chooser a non-PCM tag means mono, 11025 Hz, 8 bits; leave out --tag "
                             "to let the codec suggest a format)\n");
    return 1;
}

// MP3 files for `quillon info`: what the first frame header says, and the length the bit rate
// gives for the whole file (tags included, as the library counts it).
bool DescribeMp3(const char* name) {
    unsigned long fileSize = 0;
    const std::vector<unsigned char> head = ReadHead(name, kHeadBytes, &fileSize);
    tagMP3Header h;
    std::size_t at = 0;
    if (!FirstFrame(head, &h, &at)) return false;
    static const char* const kVersions[] = {"MPEG 2.5", "?", "MPEG-2", "MPEG-1"};
    static const char* const kLayers[] = {"?", "Layer III", "Layer II", "Layer I"};
    static const char* const kModes[] = {"stereo", "joint stereo", "dual channel", "mono"};
    const unsigned kbps = mpeg::BitRateKbps(h);
    const unsigned long long ms = kbps ? static_cast<unsigned long long>(fileSize) * 8 / kbps : 0;
    std::printf("%s: %s %s, %u kbit/s, %u Hz, %s; first frame at byte %lu; %lu bytes, about %lu ms\n", name,
                kVersions[h.version], kLayers[h.layer], kbps, static_cast<unsigned>(mpeg::SamplingRate(h)),
                kModes[h.mode], static_cast<unsigned long>(at), fileSize,
                static_cast<unsigned long>(ms));
    return true;
}
