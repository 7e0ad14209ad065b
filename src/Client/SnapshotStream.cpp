#include "Client/SnapshotStream.h"

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "Protocol/FastLzDecoder.h"
#include "Protocol/HugePages.h"
#include "Protocol/JpegWriter.h"
#include "Protocol/PixelRows.h"
#include "Protocol/PngBandWriter.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {
namespace Client {

namespace {

const std::size_t HeaderLength = WireFormat::BitmapHeaderLength;
// A band's pixels at most, for pictures too wide for BandRows rows.
const std::size_t MaxBandBytes = std::size_t(8) << 20;
const char Undecodable[] = "snapshot does not decompress to its announced length";
const char NoMemory[] = "PNG encoding failed: no memory";

bool Fail(std::string& error, const char* why) {
    error = why;
    return false;
}

} // namespace

SnapshotStream::SnapshotStream() = default;

SnapshotStream::~SnapshotStream() = default;

bool SnapshotStream::Open(const std::string& encoded, std::string& error) {
    std::uint32_t length = 0;
    if (!BitmapLayout::Announced(encoded, length, error)) {
        return false;
    }
    bitmapLength = length;
    decoder.reset(new FastLzDecoder(encoded.data(), encoded.size() - 4, length));
    unsigned char header[HeaderLength];
    if (!decoder->Read(header, HeaderLength)) {
        decoder.reset();
        return Fail(error, Undecodable);
    }
    if (!BitmapLayout::Read(header, bitmapLength, layout, error)) {
        decoder.reset();
        return false;
    }
    return true;
}

bool SnapshotStream::EncodePng(int zlibLevel, int width, int height, std::string& out, std::string& error) {
    return EncodeAs(Format::Png, zlibLevel, width, height, out, error);
}

bool SnapshotStream::EncodeJpeg(int quality, int width, int height, std::string& out, std::string& error) {
    return EncodeAs(Format::Jpeg, quality, width, height, out, error);
}

bool SnapshotStream::EncodeAs(Format format, int setting, int width, int height, std::string& out,
                              std::string& error) {
    out.clear();
    const char* const name = format == Format::Png ? "PNG" : "JPEG";
    if (!decoder) {
        return Fail(error, "snapshot is not open");
    }
    width = std::min(width, Width());
    height = std::min(height, Height());
    if (width <= 0 || height <= 0) {
        error = std::string(name) + " encoding failed: no pixels";
        return false;
    }
    try {
        const bool made = format == Format::Png ? Png(setting, width, height, out, error)
                                                : Jpeg(setting, width, height, out, error);
        decoder.reset();
        return made;
    } catch (const std::bad_alloc&) {
        decoder.reset();
        out.clear();
        error = std::string(name) + " encoding failed: no memory";
        return false;
    }
}

// Decodes every row in the file's order, keeps those of the picture wanted
// in a band as the PNG's lines, and hands each band to the PNG as soon as
// its last row came.
bool SnapshotStream::Png(int zlibLevel, int width, int height, std::string& out, std::string& error) {
    const std::size_t lineBytes = 1 + 3 * static_cast<std::size_t>(width);
    const int bandRows = static_cast<int>(std::clamp<std::size_t>(MaxBandBytes / lineBytes, 1, BandRows));
    const HugePages::Owned band = HugePages::Take(static_cast<std::size_t>(bandRows) * lineBytes);
    std::vector<unsigned char> fileRow(layout.rowBytes);
    PngBandWriter png(zlibLevel, width, height);
    if (!Skip(layout.offset - HeaderLength)) {
        return Fail(error, Undecodable);
    }
    for (std::int64_t k = 0; k < layout.height; ++k) {
        if (!decoder->Read(fileRow.data(), fileRow.size())) {
            return Fail(error, Undecodable);
        }
        const std::int64_t y = layout.bottomUp ? layout.height - 1 - k : k;
        if (y >= height) {
            continue;
        }
        const int first = static_cast<int>(y / bandRows * bandRows);
        const int count = std::min(bandRows, height - first);
        unsigned char* const line = band.get() + (y - first) * lineBytes;
        line[0] = PngBandWriter::NoFilter;
        PixelRows::SwapOuterBytes(fileRow.data(), line + 1, width);
        const bool complete = layout.bottomUp ? y == first : y == first + count - 1;
        if (complete && !png.AddLines(first, count, band.get())) {
            return Fail(error, NoMemory);
        }
    }
    if (!SkipTail()) {
        return Fail(error, Undecodable);
    }
    return png.Finish(out, error);
}

// Decodes the rows whole, then hands the JPEG the picture's rows top
// first where they lie in the bitmap.
bool SnapshotStream::Jpeg(int quality, int width, int height, std::string& out, std::string& error) {
    const std::size_t size = layout.rowBytes * static_cast<std::size_t>(layout.height);
    // Faulting in a tall picture page by page costs more than decoding it.
    const HugePages::Owned pixels = HugePages::Take(size);
    if (!Skip(layout.offset - HeaderLength) || !decoder->Read(pixels.get(), size) || !SkipTail()) {
        return Fail(error, Undecodable);
    }
    std::vector<const unsigned char*> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        const std::int64_t k = layout.bottomUp ? layout.height - 1 - y : y;
        rows[static_cast<std::size_t>(y)] = pixels.get() + static_cast<std::size_t>(k) * layout.rowBytes;
    }
    return JpegWriter(quality).Encode(rows, width, JpegWriter::Order::Bgr, out, error);
}

// Past the rows to the bitmap's end, which must be the block's.
bool SnapshotStream::SkipTail() {
    return Skip(bitmapLength - layout.offset - layout.rowBytes * layout.height) && decoder->Done();
}

bool SnapshotStream::Skip(std::uint64_t n) {
    unsigned char scratch[4096];
    while (n > 0) {
        const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scratch));
        if (!decoder->Read(scratch, piece)) {
            return false;
        }
        n -= piece;
    }
    return true;
}

} // namespace Client
} // namespace Browser
} // namespace Orvo
