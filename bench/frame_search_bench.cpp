// Frame search benchmark: the time GetMP3BitRate takes to find the first frame header behind
// 100 MB of bytes that are no header (tag-like data with many refused sync patterns), beside the
// seek-and-read-4-bytes-per-offset search through the same buffered file I/O on a tenth of it.
// Usage: frame_search_bench DIR   (writes DIR/junk.mp3, about 100 MB)
#include "convert/acm.h"
#include "frame/riff.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void WriteJunk(const std::string& path, std::size_t junk) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::mt19937 rng(7);
    std::vector<unsigned char> block(1 << 20);
    for (std::size_t done = 0; done < junk; done += block.size()) {
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(rng() & 0x7F);
        for (std::size_t i = 0; i + 3 < block.size(); i += 61) {  // a refused header (bit-rate index 15)
            block[i] = 0xFF;
            block[i + 1] = 0xFB;
            block[i + 2] = 0xF0;
        }
        std::fwrite(block.data(), 1, std::min(block.size(), junk - done), f);
    }
    const unsigned char frame[8] = {0xFF, 0xFB, 0x90, 0x64, 0, 0, 0, 0};
    std::fwrite(frame, 1, sizeof frame, f);
    std::fclose(f);
}

// The search as one seek and one 4-byte read per offset, over the first `limit` offsets.
DWORD SeekAndReadSearch(const std::string& path, long limit) {
    MmioFile file(path.c_str(), MMIO_READ | MMIO_DENYWRITE | MMIO_ALLOCBUF);
    const LONG length = mmioSeek(file.get(), 0, SEEK_END);
    for (LONG at = 0; at < length - 4 && at < limit; ++at) {
        unsigned char b[4];
        mmioSeek(file.get(), at, SEEK_SET);
        if (mmioRead(file.get(), reinterpret_cast<HPSTR>(b), 4) != 4) return 0;
        const tagMP3Header h = mpeg::SplitHeader(mpeg::HeaderValue(b));
        if (mpeg::IsAcceptable(h)) return mpeg::BitRateKbps(h);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string path = std::string(argc > 1 ? argv[1] : ".") + "/junk.mp3";
    const std::size_t junk = 100u * 1000 * 1000;
    WriteJunk(path, junk);
    std::vector<double> times;
    DWORD kbps = 0;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        kbps = GetMP3BitRate(path.c_str());
        times.push_back(Seconds(start));
    }
    std::sort(times.begin(), times.end());
    const long tenth = static_cast<long>(junk / 10);
    const auto start = std::chrono::steady_clock::now();
    SeekAndReadSearch(path, tenth);
    const double naive = Seconds(start);
    std::printf("%-44s %10s %10s\n", "frame search, 100 MB before the first frame", "seconds", "MB/s");
    std::printf("%-44s %10.3f %10.0f   (found %u kbit/s)\n", "buffered blocks (GetMP3BitRate), median of 5", times[2],
                junk / 1e6 / times[2], static_cast<unsigned>(kbps));
    std::printf("%-44s %10.3f %10.0f   (10 MB measured, x10)\n", "seek + 4-byte read per offset", naive * 10,
                tenth / 1e6 / naive);
    std::remove(path.c_str());
    return kbps == 128 ? 0 : 1;
}
