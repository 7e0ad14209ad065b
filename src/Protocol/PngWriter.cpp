#include "Protocol/PngWriter.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include <zlib.h>

namespace Orvo {
namespace Browser {

namespace {

const char Signature[] = "\x89PNG\r\n\x1a\n";
const unsigned char NoFilter = 0;
const char NoMemory[] = "PNG encoding failed: no memory";
// A chunk's data is shorter than 2^31 bytes.
const std::size_t MaxChunkData = std::size_t(1) << 30;

// One band of rows [first, last): its deflate stream, the Adler-32 of what
// it compressed, and whether it was made.
struct Band {
    int first = 0;
    int last = 0;
    std::string deflated;
    uLong adler = 0;
    bool made = false;
};

void PutUint32(std::string& out, std::uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

// A chunk: length, type, data, and the CRC of type and data.
void PutChunk(std::string& out, const char* type, const char* data, std::size_t length) {
    PutUint32(out, static_cast<std::uint32_t>(length));
    const std::size_t start = out.size();
    out.append(type, 4);
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

// Compresses the band's rows, each behind its filter byte, as raw deflate:
// the last band ends the stream, the others end on a byte boundary.
void Deflate(const unsigned char* pixels, int width, std::size_t stride, int level, bool lastBand, Band& band) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return;
    }
    const std::size_t rowBytes = 3 * static_cast<std::size_t>(width);
    band.adler = adler32(0L, Z_NULL, 0);
    bool fed = true;
    try {
        for (int y = band.first; y < band.last && fed; ++y) {
            const unsigned char* row = pixels + static_cast<std::size_t>(y) * stride;
            const int flush = y + 1 < band.last ? Z_NO_FLUSH : lastBand ? Z_FINISH : Z_SYNC_FLUSH;
            band.adler = adler32(adler32(band.adler, &NoFilter, 1), row, static_cast<uInt>(rowBytes));
            fed = Feed(stream, &NoFilter, 1, Z_NO_FLUSH, band.deflated)
                  && Feed(stream, row, rowBytes, flush, band.deflated);
        }
        band.made = fed;
    } catch (const std::bad_alloc&) {
        band.deflated.clear();
    }
    deflateEnd(&stream);
}

std::vector<Band> Split(int height, int most) {
    const int count = std::max(1, std::min(most, height / PngWriter::MinBandRows));
    std::vector<Band> bands(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        bands[k].first = static_cast<int>(static_cast<long long>(height) * k / count);
        bands[k].last = static_cast<int>(static_cast<long long>(height) * (k + 1) / count);
    }
    return bands;
}

std::string Header(int width, int height) {
    std::string header;
    PutUint32(header, static_cast<std::uint32_t>(width));
    PutUint32(header, static_cast<std::uint32_t>(height));
    // 8 bits per sample, RGB, deflate, adaptive filtering, no interlace.
    header.append({8, 2, 0, 0, 0});
    return header;
}

// The file: signature, header, the bands' data (the zlib header is in the
// first, the whole stream's Adler-32 goes after the last) and the end.
bool Assemble(std::vector<Band>& parts, int width, int height, std::string& out) {
    const uLong rowBytes = 1 + 3 * static_cast<uLong>(width);
    uLong adler = parts[0].adler;
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const z_off_t length = static_cast<z_off_t>(rowBytes * (parts[k].last - parts[k].first));
        adler = adler32_combine(adler, parts[k].adler, length);
    }
    try {
        PutUint32(parts.back().deflated, static_cast<std::uint32_t>(adler));
        std::size_t size = 64;
        for (const Band& band : parts) {
            size += band.deflated.size() + 12;
        }
        out.reserve(size);
        out.append(Signature, 8);
        const std::string header = Header(width, height);
        PutChunk(out, "IHDR", header.data(), header.size());
        for (const Band& band : parts) {
            for (std::size_t at = 0; at < band.deflated.size(); at += MaxChunkData) {
                PutChunk(out, "IDAT", band.deflated.data() + at, std::min(MaxChunkData, band.deflated.size() - at));
            }
        }
        PutChunk(out, "IEND", "", 0);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

PngWriter::PngWriter(int zlibLevel, int bands)
    : zlibLevel(std::max(0, std::min(9, zlibLevel))), bands(std::max(1, std::min(MaxBands, bands))) {}

int PngWriter::DefaultBands() {
    return std::max(1, std::min(MaxBands, static_cast<int>(std::thread::hardware_concurrency())));
}

bool PngWriter::Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                       std::string& error) const {
    out.clear();
    if (width <= 0 || height <= 0) {
        error = "PNG encoding failed: no pixels";
        return false;
    }
    std::vector<Band> parts;
    std::vector<std::thread> helpers;
    try {
        parts = Split(height, bands);
        parts.front().deflated = ZlibHeader(zlibLevel);
        // Room for every helper first: a vector growing while threads run
        // could throw with a thread left unjoined.
        helpers.reserve(parts.size());
    } catch (const std::bad_alloc&) {
        error = NoMemory;
        return false;
    }
    for (std::size_t k = 1; k < parts.size(); ++k) {
        const bool lastBand = k + 1 == parts.size();
        try {
            helpers.emplace_back(&Deflate, pixels, width, stride, zlibLevel, lastBand, std::ref(parts[k]));
        } catch (const std::system_error&) {
            Deflate(pixels, width, stride, zlibLevel, lastBand, parts[k]);
        }
    }
    Deflate(pixels, width, stride, zlibLevel, parts.size() == 1, parts[0]);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    const bool made = std::all_of(parts.begin(), parts.end(), [](const Band& band) { return band.made; });
    if (made && Assemble(parts, width, height, out)) {
        return true;
    }
    out.clear();
    error = NoMemory;
    return false;
}

} // namespace Browser
} // namespace Orvo
