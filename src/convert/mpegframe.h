// MPEG audio frame headers: the bit layout, the bit-rate and sampling-rate tables, and the
// search for the first acceptable header in a run of bytes. Plain computation with no platform
// call, so that the library, the quillon host and the fuzz harness share one definition.
//
// A header is four bytes, most significant first (after EndianSwap, file byte 0 is bits 31-24):
//
//   AAAAAAAA AAABBCCD EEEEFFGH IIJJKLMM
//   A  sync, 11 bits, all ones              B  version: 3 MPEG-1, 2 MPEG-2, 0 MPEG 2.5, 1 reserved
//   C  layer: 3 I, 2 II, 1 III, 0 reserved  D  protection (0: a CRC follows the header)
//   E  bit-rate index (0 free, 15 bad)      F  sampling-rate index (3 reserved)
//   G  padding   H  extension (private)     I  mode: 0 stereo, 1 joint, 2 dual channel, 3 mono
//   J  mode extension   K copyright   L original   M emphasis
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// The header's fields by name, from bit 0 upward.
struct tagMP3Header {
    unsigned emphasis : 2;
    unsigned original : 1;
    unsigned copyright : 1;
    unsigned modeExtension : 2;
    unsigned mode : 2;
    unsigned extension : 1;
    unsigned padding : 1;
    unsigned samplingRate : 2;
    unsigned bitrate : 4;
    unsigned protection : 1;
    unsigned layer : 2;
    unsigned version : 2;
    unsigned sync : 11;
};

namespace mpeg {

// Bit rates in kbit/s: [0 MPEG-1, 1 MPEG-2 and 2.5][0 Layer I, 1 Layer II, 2 Layer III][index].
inline constexpr std::uint32_t mp3BitRates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}},
};

// The same bit rates by index, then column: MPEG-1 Layer I, II, III, MPEG-2/2.5 Layer I, II, III.
inline constexpr std::uint32_t bitRate_Index[16][6] = {
    {0, 0, 0, 0, 0, 0},           {32, 32, 32, 32, 8, 8},       {64, 48, 40, 48, 16, 16},
    {96, 56, 48, 56, 24, 24},     {128, 64, 56, 64, 32, 32},    {160, 80, 64, 80, 40, 40},
    {192, 96, 80, 96, 48, 48},    {224, 112, 96, 112, 56, 56},  {256, 128, 112, 128, 64, 64},
    {288, 160, 128, 144, 80, 80}, {320, 192, 160, 160, 96, 96}, {352, 224, 192, 176, 112, 112},
    {384, 256, 224, 192, 128, 128}, {416, 320, 256, 224, 144, 144}, {448, 384, 320, 256, 160, 160},
    {0, 0, 0, 0, 0, 0},
};

// Sampling rates: [0 MPEG-1, 1 MPEG-2, 2 MPEG 2.5][index]. Two equal copies, one per reader.
inline constexpr std::uint32_t samplingRatesMP3[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
inline constexpr std::uint32_t mp3SamplingRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
// The same with the reserved index 3 as 0.
inline constexpr std::uint32_t freq_Index[3][4] = {{44100, 48000, 32000, 0}, {22050, 24000, 16000, 0}, {11025, 12000, 8000, 0}};

// Splits a header value (file byte 0 in bits 31-24) into its fields.
inline tagMP3Header SplitHeader(std::uint32_t v) {
    tagMP3Header h;
    h.emphasis = v & 3u;
    h.original = (v >> 2) & 1u;
    h.copyright = (v >> 3) & 1u;
    h.modeExtension = (v >> 4) & 3u;
    h.mode = (v >> 6) & 3u;
    h.extension = (v >> 8) & 1u;
    h.padding = (v >> 9) & 1u;
    h.samplingRate = (v >> 10) & 3u;
    h.bitrate = (v >> 12) & 15u;
    h.protection = (v >> 16) & 1u;
    h.layer = (v >> 17) & 3u;
    h.version = (v >> 19) & 3u;
    h.sync = (v >> 21) & 0x7FFu;
    return h;
}

// The header value of four file bytes.
inline std::uint32_t HeaderValue(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// A header the library takes: sync all ones, a layer, a sampling-rate index below 3, a bit-rate
// index from 1 to 14 and a version that is not the reserved one.
inline bool IsAcceptable(const tagMP3Header& h) {
    return h.sync == 0x7FF && h.layer != 0 && h.samplingRate < 3 && h.bitrate >= 1 && h.bitrate <= 14 && h.version != 1;
}

// Version row of the sampling-rate tables: 0 MPEG-1 (code 3), 1 MPEG-2 (code 2), 2 MPEG 2.5 (code 0).
inline unsigned VersionRow(const tagMP3Header& h) { return h.version == 3 ? 0u : (h.version == 2 ? 1u : 2u); }
// Bit-rate version group: 0 MPEG-1, 1 MPEG-2 and MPEG 2.5.
inline unsigned VersionGroup(const tagMP3Header& h) { return h.version == 3 ? 0u : 1u; }
// Layer column of mp3BitRates: 0 Layer I, 1 Layer II, 2 Layer III.
inline unsigned LayerColumn(const tagMP3Header& h) { return 3u - h.layer; }

// Bit rate (kbit/s) and sampling rate of an acceptable header.
inline std::uint32_t BitRateKbps(const tagMP3Header& h) { return mp3BitRates[VersionGroup(h)][LayerColumn(h)][h.bitrate]; }
inline std::uint32_t SamplingRate(const tagMP3Header& h) { return samplingRatesMP3[VersionRow(h)][h.samplingRate]; }
// Channels as the codec is told: 2 for stereo and joint stereo, 1 for dual channel and mono.
inline unsigned Channels(const tagMP3Header& h) { return h.mode <= 1 ? 2u : 1u; }

// The first offset among offsets 0 .. count-1 of `bytes` that starts an acceptable header, or
// -1. `bytes` holds at least count + 3 bytes. The sync's first byte is 0xFF, so the scan jumps
// from one 0xFF to the next.
inline std::ptrdiff_t FindAcceptableHeader(const std::uint8_t* bytes, std::size_t count) {
    std::size_t at = 0;
    while (at < count) {
        const void* ff = std::memchr(bytes + at, 0xFF, count - at);
        if (ff == nullptr) return -1;
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - bytes);
        if ((bytes[at + 1] & 0xE0) == 0xE0 && IsAcceptable(SplitHeader(HeaderValue(bytes + at))))
            return static_cast<std::ptrdiff_t>(at);
        ++at;
    }
    return -1;
}

}  // namespace mpeg
