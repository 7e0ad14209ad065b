#include "Protocol/PngBandWriter.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include "Protocol/PageFaults.h"

namespace Orvo {
namespace Browser {

namespace {

const char Signature[] = "\x89PNG\r\n\x1a\n";
const char NoMemory[] = "PNG encoding failed: no memory";
// Rows are handed to a deflater in pieces of about this many bytes.
const std::size_t PieceBytes = 256 * 1024;
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
    PutUint32(out, crc32_gzip_refl(0, reinterpret_cast<const unsigned char*>(out.data() + start), out.size() - start));
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

// A band's rows: count of them, rowBytes long, stride apart; or, as lines,
// each row behind its filter byte, back to back from first.
struct Rows {
    const unsigned char* first;
    int count;
    std::size_t stride;
    std::size_t rowBytes;
    bool lines;
};

// Copies n rows from row y on into piece, each behind its filter byte;
// returns piece.
const unsigned char* Gather(const Rows& rows, int y, int n, unsigned char* piece) {
    unsigned char* line = piece;
    for (int k = y; k < y + n; ++k, line += rows.rowBytes + 1) {
        line[0] = PngBandWriter::NoFilter;
        std::memcpy(line + 1, rows.first + static_cast<std::size_t>(k) * rows.stride, rows.rowBytes);
    }
    return piece;
}

// Hands the rows, each behind its filter byte, to take(bytes, length, last)
// in pieces of whole rows, adding their Adler-32 to adler: both deflaters
// go faster on long inputs than on a row and its filter byte apart. Lines
// are handed over where they lie; rows are gathered into lines first.
// False as soon as take is.
template <class Take>
bool EachPiece(const Rows& rows, std::uint32_t& adler, Take take) {
    const std::size_t lineBytes = rows.rowBytes + 1;
    const int perPiece = static_cast<int>(std::max<std::size_t>(1, PieceBytes / lineBytes));
    std::vector<unsigned char> piece(rows.lines ? 0 : static_cast<std::size_t>(perPiece) * lineBytes);
    for (int y = 0; y < rows.count; y += perPiece) {
        const int n = std::min(perPiece, rows.count - y);
        const unsigned char* bytes =
            rows.lines ? rows.first + static_cast<std::size_t>(y) * lineBytes : Gather(rows, y, n, piece.data());
        const std::size_t length = static_cast<std::size_t>(n) * lineBytes;
        adler = isal_adler32(adler, bytes, length);
        if (!take(bytes, length, y + n == rows.count)) {
            return false;
        }
    }
    return true;
}

// Deflates the rows with zlib at level, ending the stream with flush.
bool DeflateWithZlib(int level, const Rows& rows, int flush, std::uint32_t& adler, std::string& out) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return false;
    }
    unsigned char buffer[1 << 16];
    const bool made = EachPiece(rows, adler, [&](const unsigned char* bytes, std::size_t length, bool last) {
        stream.next_in = const_cast<Bytef*>(bytes);
        stream.avail_in = static_cast<uInt>(length);
        do {
            stream.next_out = buffer;
            stream.avail_out = sizeof buffer;
            if (deflate(&stream, last ? flush : Z_NO_FLUSH) == Z_STREAM_ERROR) {
                return false;
            }
            out.append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
        return true;
    });
    deflateEnd(&stream);
    return made;
}

// Deflates the rows with ISA-L's igzip at its level 1, ending the stream
// when final, else on a byte boundary.
bool DeflateWithIsal(const Rows& rows, bool final, std::uint32_t& adler, std::string& out) {
    const std::unique_ptr<isal_zstream> stream(new isal_zstream);
    // Left unset: the library sets up what it reads of it.
    const std::unique_ptr<unsigned char[]> levelBuffer(new unsigned char[ISAL_DEF_LVL1_DEFAULT]);
    isal_deflate_init(stream.get());
    stream->level = 1;
    stream->level_buf = levelBuffer.get();
    stream->level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    unsigned char buffer[1 << 16];
    return EachPiece(rows, adler, [&](const unsigned char* bytes, std::size_t length, bool last) {
        stream->next_in = const_cast<unsigned char*>(bytes);
        stream->avail_in = static_cast<std::uint32_t>(length);
        stream->end_of_stream = last && final;
        stream->flush = last && !final ? SYNC_FLUSH : NO_FLUSH;
        do {
            stream->next_out = buffer;
            stream->avail_out = sizeof buffer;
            if (isal_deflate(stream.get()) != COMP_OK) {
                return false;
            }
            out.append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream->avail_out);
        } while (stream->avail_out == 0 && stream->internal_state.state != ZSTATE_END);
        return !stream->end_of_stream || stream->internal_state.state == ZSTATE_END;
    });
}

} // namespace

PngBandWriter::PngBandWriter(int zlibLevel, int width, int height)
    : zlibLevel(std::max(0, std::min(9, zlibLevel))), width(width), height(height) {}

bool PngBandWriter::Add(int first, int count, const unsigned char* pixels, std::size_t stride) {
    return AddBand(first, count, pixels, stride, false);
}

bool PngBandWriter::AddLines(int first, int count, const unsigned char* lines) {
    return AddBand(first, count, lines, 1 + 3 * static_cast<std::size_t>(width), true);
}

bool PngBandWriter::AddBand(int first, int count, const unsigned char* pixels, std::size_t stride, bool lines) {
    Band band;
    band.first = first;
    band.count = count;
    if (first < 0 || count <= 0 || count > height - first) {
        std::lock_guard<std::mutex> lock(mutex);
        failure = failure.empty() ? "PNG encoding failed: rows outside the picture" : failure;
        return false;
    }
    const bool final = first + count == height;
    std::uint32_t adler = 1;
    bool made = false;
    const Rows rows{pixels, count, stride, 3 * static_cast<std::size_t>(width), lines};
    try {
        // Room for the worst case, so that the output is never moved as it
        // grows; pages it does not reach stay untouched. Beyond the bound
        // go the flush's marker and, for the last band, the Adler-32.
        band.deflated.reserve(compressBound(static_cast<uLong>(count * (rows.rowBytes + 1))) + 16);
        made = zlibLevel == FastLevel
                   ? DeflateWithIsal(rows, final, adler, band.deflated)
                   : DeflateWithZlib(zlibLevel, rows, final ? Z_FINISH : Z_SYNC_FLUSH, adler, band.deflated);
    } catch (const std::bad_alloc&) {
        made = false;
    }
    band.adler = adler;
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
        PageFaults::AheadOfWrite(out.data(), size);
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
