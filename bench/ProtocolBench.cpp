// Snapshot encoding and the FastLZ codec: throughput in bytes per second of
// input, and the compressed size as a share of the input ("ratio").

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Protocol/BitmapWriter.h"
#include "Protocol/Compressor.h"
#include "Protocol/FastLz.h"
#include "Protocol/SnapshotEncoder.h"

namespace {

typedef std::vector<unsigned char> Bytes;

const int PageWidth = 1280;
const int PageHeight = 4000;

// A rendered page as a crawler sees it: white ground, a coloured header
// bar, paragraphs of dark glyph-like runs on 18-pixel lines, a side column
// of link-blue text, and a photo with smooth gradients.
Bytes PageLikeImage() {
    Bytes pixels(3 * PageWidth * PageHeight, 255);
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    auto paint = [&pixels](int x, int y, unsigned char r, unsigned char g, unsigned char b) {
        unsigned char* p = &pixels[3 * (y * PageWidth + x)];
        p[0] = r;
        p[1] = g;
        p[2] = b;
    };
    for (int y = 0; y < 120; ++y) {
        for (int x = 0; x < PageWidth; ++x) {
            paint(x, y, 32, 64, 128);
        }
    }
    for (int line = 0; line * 18 + 160 < PageHeight - 20; ++line) {
        const int top = 160 + line * 18;
        const bool side = (line / 12) % 3 == 2;
        const int left = side ? 980 : 80;
        const int right = side ? 1240 : 900 - static_cast<int>(next() % 200);
        for (int x = left; x < right;) {
            const int glyph = 4 + static_cast<int>(next() % 7);
            const std::uint32_t shape = next();
            for (int dx = 0; dx < glyph && x + dx < right; ++dx) {
                for (int dy = 3; dy < 14; ++dy) {
                    if ((shape >> ((dx * 3 + dy) % 31)) & 1) {
                        const unsigned char ink = static_cast<unsigned char>(20 + (shape >> 27));
                        paint(x + dx, top + dy, side ? 0 : ink, side ? 0 : ink, side ? 200 : ink);
                    }
                }
            }
            x += glyph + 1 + ((next() % 9 == 0) ? 5 : 0);
        }
    }
    for (int y = 1400; y < 1800; ++y) {
        for (int x = 100; x < 700; ++x) {
            paint(x, y, static_cast<unsigned char>(x / 3), static_cast<unsigned char>(y / 8),
                  static_cast<unsigned char>((x + y) / 6 + next() % 3));
        }
    }
    return pixels;
}

const Bytes& Page() {
    static const Bytes page = PageLikeImage();
    return page;
}

boost::gil::rgb8c_view_t PageView() {
    return boost::gil::interleaved_view(PageWidth, PageHeight,
                                        reinterpret_cast<const boost::gil::rgb8_pixel_t*>(Page().data()), 3 * PageWidth);
}

Bytes PageBitmap() {
    std::size_t length = 0;
    const auto bitmap = Orvo::Browser::BitmapWriter<boost::gil::rgb8c_view_t>(PageView())(&length);
    return Bytes(bitmap.get(), bitmap.get() + length);
}

Bytes Vector(const std::string& name) {
    std::ifstream file(std::string(ORVO_TEST_DATA_DIR) + "/fastlz/" + name + ".raw", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void BitmapWriter(benchmark::State& state) {
    const auto view = PageView();
    std::size_t length = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Orvo::Browser::BitmapWriter<boost::gil::rgb8c_view_t>(view)(&length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}
BENCHMARK(BitmapWriter)->Unit(benchmark::kMillisecond);

// The bitmap given to the compressor in pieces of 64 KiB, as the snapshot
// encoder's stream hands it over.
boost::shared_array<char> Compress(const char* bitmap, std::size_t size, std::size_t* length) {
    const std::size_t piece = 64 * 1024;
    Orvo::Browser::Compressor compressor(size);
    for (std::size_t at = 0; at < size; at += piece) {
        compressor.Write(bitmap + at, std::min(piece, size - at));
    }
    return compressor.Finish(length);
}

void Compressor(benchmark::State& state) {
    const Bytes bitmap = PageBitmap();
    std::size_t length = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Compress(reinterpret_cast<const char*>(bitmap.data()), bitmap.size(), &length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bitmap.size()));
    state.counters["ratio"] = static_cast<double>(length) / bitmap.size();
}
BENCHMARK(Compressor)->Unit(benchmark::kMillisecond);

// The snapshot as the worker encodes it: the bitmap compressed as it is
// written.
void SnapshotEncoding(benchmark::State& state) {
    const auto view = PageView();
    const std::size_t bitmapLength = Orvo::Browser::BitmapLayout::Length(view.width(), view.height());
    std::uint32_t length = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Orvo::Browser::SnapshotEncoder::Encode(view, &length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bitmapLength);
    state.counters["ratio"] = static_cast<double>(length) / bitmapLength;
}
BENCHMARK(SnapshotEncoding)->Unit(benchmark::kMillisecond);

// The same in two passes, for comparison: the whole bitmap file, then the
// codec over it in one call.
void SnapshotEncodingWholeBitmap(benchmark::State& state) {
    const auto view = PageView();
    std::size_t bitmapLength = 0;
    std::size_t length = 0;
    for (auto _ : state) {
        const auto bitmap = Orvo::Browser::BitmapWriter<boost::gil::rgb8c_view_t>(view)(&bitmapLength);
        std::unique_ptr<char[]> block(new char[Orvo::Browser::Compressor::Capacity(bitmapLength)]);
        length = fastlz_compress(bitmap.get(), bitmapLength, block.get());
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bitmapLength);
    state.counters["ratio"] = static_cast<double>(length + 4) / bitmapLength;
}
BENCHMARK(SnapshotEncodingWholeBitmap)->Unit(benchmark::kMillisecond);

void FastLzCompress(benchmark::State& state, const std::string& name) {
    const Bytes input = Vector(name);
    Bytes output(input.size() + input.size() / 32 + 1);
    std::size_t length = 0;
    for (auto _ : state) {
        length = fastlz_compress(input.data(), input.size(), output.data());
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
    state.counters["ratio"] = static_cast<double>(length) / input.size();
}

void FastLzDecompress(benchmark::State& state, const std::string& name) {
    const Bytes input = Vector(name);
    Bytes block(input.size() + input.size() / 32 + 1);
    block.resize(fastlz_compress(input.data(), input.size(), block.data()));
    Bytes output(input.size());
    for (auto _ : state) {
        benchmark::DoNotOptimize(fastlz_decompress(block.data(), block.size(), output.data(), output.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.size()));
}

void RegisterVectors() {
    for (const char* name : {"bmp-997x131", "far-matches", "runs", "zeros-65535", "random-1000", "text-small"}) {
        benchmark::RegisterBenchmark((std::string("FastLzCompress/") + name).c_str(), FastLzCompress, name);
    }
    benchmark::RegisterBenchmark("FastLzDecompress/bmp-997x131", FastLzDecompress, "bmp-997x131");
}

} // namespace

int main(int argc, char** argv) {
    RegisterVectors();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
