// libFuzzer harness for the WAVE chunk reader: any bytes as a file, every information call.
// Build: CC=clang CXX=clang++ cmake -B build/fuzz -DQUILLON_FUZZ=ON -DQUILLON_TESTS=OFF
// Run:   build/fuzz/fuzz_wave_info fuzz/corpus/wave -max_total_time=60
#include "frame/fileinfo.h"
#include "frame/state.h"
#include "quillon.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LibraryLoad();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = std::string(gTempPath) + "quillon-fuzz.wav";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (unsigned short unit = 0; unit < 3; ++unit) {
        tQuillonFILEINFO info;
        AudioGetFileInfo(&info, path.c_str(), unit, 1);
    }
    WAVEFORMATEX format;
    GetInputFileInfo(path.c_str(), &format);
    DWORD dataSize = 0;
    GetDataChunkSize(path.c_str(), &dataSize);
    CanSetPositionAndSampleRate(path.c_str());
    return 0;
}
