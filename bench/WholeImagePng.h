#ifndef ORVO_BENCH_WHOLEIMAGEPNG_H
#define ORVO_BENCH_WHOLEIMAGEPNG_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include <libdeflate.h>
#include <zlib.h>

namespace OrvoBench {

// The PNG that orvo-render's writer makes (8-bit RGB, no row filter), with
// its one zlib stream made from the whole image at once, by libdeflate at
// its level (useZlib false) or by zlib at its own: the rows are copied
// once, each behind its filter byte. Empty when memory runs out. For
// measuring only.
inline std::string WholeImagePng(const unsigned char* rgb, int width, int height, int level, bool useZlib) {
    const auto bigEndian = [](std::string& out, std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>(value >> shift));
        }
    };
    const auto chunk = [&bigEndian](std::string& out, const char* type, const void* data, std::size_t length) {
        bigEndian(out, static_cast<std::uint32_t>(length));
        const std::size_t start = out.size();
        out.append(type, 4);
        out.append(static_cast<const char*>(data), length);
        bigEndian(out, static_cast<std::uint32_t>(libdeflate_crc32(0, out.data() + start, length + 4)));
    };
    const std::size_t row = 3 * static_cast<std::size_t>(width);
    const std::size_t filtered = (row + 1) * static_cast<std::size_t>(height);
    std::unique_ptr<unsigned char[]> rows(new unsigned char[filtered]);
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
        rows[y * (row + 1)] = 0;
        std::memcpy(rows.get() + y * (row + 1) + 1, rgb + y * row, row);
    }
    std::size_t compressed = 0;
    std::unique_ptr<unsigned char[]> stream;
    if (useZlib) {
        uLongf length = compressBound(filtered);
        stream.reset(new unsigned char[length]);
        compressed = compress2(stream.get(), &length, rows.get(), filtered, level) == Z_OK ? length : 0;
    } else {
        libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
        const std::size_t bound = libdeflate_zlib_compress_bound(compressor, filtered);
        stream.reset(new unsigned char[bound]);
        compressed = libdeflate_zlib_compress(compressor, rows.get(), filtered, stream.get(), bound);
        libdeflate_free_compressor(compressor);
    }
    std::string header;
    bigEndian(header, static_cast<std::uint32_t>(width));
    bigEndian(header, static_cast<std::uint32_t>(height));
    header.append("\x08\x02\x00\x00\x00", 5);
    std::string png("\x89PNG\r\n\x1a\n", 8);
    chunk(png, "IHDR", header.data(), header.size());
    chunk(png, "IDAT", stream.get(), compressed);
    chunk(png, "IEND", "", 0);
    return compressed > 0 ? png : std::string();
}

} // namespace OrvoBench

#endif
