#include "Protocol/PngBandWriter.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

namespace Orvo {
namespace Browser {

namespace {

const char Signature[] = "\x89PNG\r\n\x1a\n";
const char NoMemory[] = "PNG encoding failed: no memory";
const unsigned char NoFilter = 0;
// A chunk's data is shorter than 2^31 bytes.
const std::size_t MaxChunkData = std::size_t(1) << 30;

void PutUint32(std::string& out, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

// A chunk: length, type, data (a prefix and the rest), and the CRC of type
// and data.
void PutChunk(std::string& out, const char* type, const std::string& prefix, const char* data, std::size_t length) {
    PutUint32(out, static_cast<std::uint32_t>(prefix.size() + length));
    const std::size_t start = out.size();
    out.append(type, 4);
    out.append(prefix);
    out.append(data, length);
    const uLong crc =
        crc32(0L, reinterpret_cast<const Bytef*>(out.data() + start), static_cast<uInt>(out.size() - start));
    PutUint32(out, static_cast<std::uint32_t>(crc));
}

// The zlib header: 32 KiB window, the level's class, and the check bits.
std::string ZlibHeader(int level) {
    const unsigned method = 0x78;
    unsigned flags = (level <= 1 ? 0u : level <= 5 ? 1u : level == 6 ? 2u : 3u) << 6;
    flags += 31 - (method * 256 + flags) % 31;
    return std::string{static_cast<char>(method), static_cast<char>(flags)};
}

std::string Header(int width, int height) {
    std::string header;
    PutUint32(header, static_cast<std::uint32_t>(width));
    PutUint32(header, static_cast<std::uint32_t>(height));
    // 8 bits per sample, RGB, deflate, adaptive filtering, no interlace.
    header.append({8, 2, 0, 0, 0});
    return header;
}

// Feeds bytes to the stream and appends what comes out to out.
bool Feed(z_stream& stream, const unsigned char* bytes, std::size_t length, int flush, std::string& out) {
    unsigned char buffer[1 << 16];
    stream.next_in = const_cast<Bytef*>(bytes);
    stream.avail_in = static_cast<uInt>(length);
    do {
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        if (deflate(&stream, flush) == Z_STREAM_ERROR) {
            return false;
        }
        out.append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream.avail_out);
    } while (stream.avail_out == 0);
    return true;
}

} // namespace

PngBandWriter::PngBandWriter(int zlibLevel, int width, int height)
    : zlibLevel(std::max(0, std::min(9, zlibLevel))), width(width), height(height) {}

bool PngBandWriter::Add(int first, int count, const unsigned char* rows, std::size_t stride) {
    Band band;
    band.first = first;
    band.count = count;
    if (first < 0 || count <= 0 || count > height - first) {
        std::lock_guard<std::mutex> lock(mutex);
        failure = failure.empty() ? "PNG encoding failed: rows outside the picture" : failure;
        return false;
    }
    z_stream stream{};
    bool made = deflateInit2(&stream, zlibLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    if (made) {
        // The bottom band ends the stream, the others end on a byte boundary.
        const int lastFlush = first + count == height ? Z_FINISH : Z_SYNC_FLUSH;
        const std::size_t rowBytes = 3 * static_cast<std::size_t>(width);
        // libdeflate's Adler-32 is vectorised; zlib's took a sixth of the
        // time deflating a band.
        band.adler = 1;
        try {
            // Room for the worst case, so that the output is never moved as
            // it grows; pages it does not reach stay untouched. Beyond the
            // bound go the flush's marker and, for the last band, the
            // Adler-32.
            band.deflated.reserve(deflateBound(&stream, static_cast<uLong>(count * (rowBytes + 1))) + 16);
            for (int y = 0; y < count && made; ++y) {
                const unsigned char* row = rows + static_cast<std::size_t>(y) * stride;
                band.adler = libdeflate_adler32(libdeflate_adler32(band.adler, &NoFilter, 1), row, rowBytes);
                made = Feed(stream, &NoFilter, 1, Z_NO_FLUSH, band.deflated)
                       && Feed(stream, row, rowBytes, y + 1 < count ? Z_NO_FLUSH : lastFlush, band.deflated);
            }
        } catch (const std::bad_alloc&) {
            made = false;
        }
        deflateEnd(&stream);
    }
    std::lock_guard<std::mutex> lock(mutex);
    try {
        if (made) {
            bands.push_back(std::move(band));
        }
    } catch (const std::bad_alloc&) {
        made = false;
    }
    if (!made && failure.empty()) {
        failure = NoMemory;
    }
    return made;
}

bool PngBandWriter::Finish(std::string& out, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex);
    out.clear();
    std::sort(bands.begin(), bands.end(), [](const Band& a, const Band& b) { return a.first < b.first; });
    int next = 0;
    for (const Band& band : bands) {
        next = band.first == next ? next + band.count : -1;
    }
    if (failure.empty() && (next != height || width <= 0)) {
        failure = "PNG encoding failed: the bands do not make the picture";
    }
    if (failure.empty() && !Assemble(out)) {
        out.clear();
        failure = NoMemory;
    }
    error = failure;
    return failure.empty();
}

// The file: signature, header, the bands' data (the zlib header in front of
// the first, the whole stream's Adler-32 after the last) and the end.
bool PngBandWriter::Assemble(std::string& out) {
    const uLong rowBytes = 1 + 3 * static_cast<uLong>(width);
    uLong adler = bands[0].adler;
    for (std::size_t k = 1; k < bands.size(); ++k) {
        adler = adler32_combine(adler, bands[k].adler, static_cast<z_off_t>(rowBytes * bands[k].count));
    }
    try {
        PutUint32(bands.back().deflated, static_cast<std::uint32_t>(adler));
        std::size_t size = 64;
        for (const Band& band : bands) {
            size += band.deflated.size() + 12;
        }
        out.reserve(size);
        out.append(Signature, 8);
        const std::string header = Header(width, height);
        PutChunk(out, "IHDR", std::string(), header.data(), header.size());
        std::string prefix = ZlibHeader(zlibLevel);
        for (const Band& band : bands) {
            for (std::size_t at = 0; at < band.deflated.size(); at += MaxChunkData) {
                PutChunk(out, "IDAT", prefix, band.deflated.data() + at,
                         std::min(MaxChunkData, band.deflated.size() - at));
                prefix.clear();
            }
        }
        PutChunk(out, "IEND", std::string(), "", 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace Browser
} // namespace Orvo
