// libFuzzer harness for the MPEG frame search: any bytes as a file through the file searches and
// the MP3 file information, and the same bytes through the in-memory search, which must agree
// with a plain byte-by-byte search written here.
// Build: CC=clang CXX=clang++ cmake -B build/fuzz -DQUILLON_FUZZ=ON -DQUILLON_TESTS=OFF
// Run:   build/fuzz/fuzz_mpeg_frames fuzz/corpus/mpeg -max_total_time=60
#include "convert/acm.h"
#include "frame/state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LibraryLoad();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // In memory: the first acceptable header among offsets 0 .. size - 5.
    std::ptrdiff_t expected = -1;
    for (std::size_t at = 0; at + 4 < size && expected < 0; ++at)
        if (mpeg::IsAcceptable(mpeg::SplitHeader(mpeg::HeaderValue(data + at)))) expected = static_cast<std::ptrdiff_t>(at);
    const std::ptrdiff_t found = size >= 5 ? mpeg::FindAcceptableHeader(data, size - 4) : -1;
    if (found != expected) std::abort();

    static const std::string path = std::string(gTempPath) + "quillon-fuzz.mp3";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    MPEGLAYER3WAVEFORMAT format;
    const int header = GetMP3HeaderInfo(path.c_str(), &format);
    const DWORD kbps = GetMP3BitRate(path.c_str());
    if ((header == 1) != (expected >= 0) || (kbps != 0) != (expected >= 0)) std::abort();
    if (expected >= 0 && kbps != mpeg::BitRateKbps(mpeg::SplitHeader(mpeg::HeaderValue(data + expected)))) std::abort();
    DWORD length = 0;
    GetMP3FileInfo(path.c_str(), &format, &length);
    return 0;
}
