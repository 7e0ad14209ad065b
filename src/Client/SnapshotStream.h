#ifndef ORVO_CLIENT_SNAPSHOTSTREAM_H
#define ORVO_CLIENT_SNAPSHOTSTREAM_H

#include <memory>
#include <string>

#include "Client/BitmapLayout.h"

class FastLzDecoder;

namespace Orvo {
namespace Browser {
namespace Client {

// A result's snapshot field (a FastLZ block of a 24-bit bitmap, then the
// bitmap's length) read as it decodes: its header first, then its rows
// through the decoder's small window. A tall page's PNG is made from it
// holding the block, one band of rows and the PNG, not the picture
// (Snapshot::Decode holds the picture). A JPEG, written top down, needs
// the bitmap's rows whole, but takes them as they lie: bottom up, blue
// green red, without turning them into a picture first.
class SnapshotStream {
public:
    // Rows of the picture in a band at most.
    static constexpr int BandRows = 256;

    SnapshotStream();
    ~SnapshotStream();

    // Reads the bitmap's header; encoded must outlive the stream. False,
    // with error, when the field or the header is malformed.
    bool Open(const std::string& encoded, std::string& error);

    int Width() const { return layout.width; }
    int Height() const { return static_cast<int>(layout.height); }

    // Once opened, and only once: the top-left width × height pixels of the
    // picture (at most its own size) as a PNG at the zlib level. False, with
    // error and out empty, when the rows cannot be decoded or encoded.
    bool EncodePng(int zlibLevel, int width, int height, std::string& out, std::string& error);
    // As EncodePng, as a JPEG of the given quality.
    bool EncodeJpeg(int quality, int width, int height, std::string& out, std::string& error);

private:
    enum class Format { Png, Jpeg };

    bool EncodeAs(Format format, int setting, int width, int height, std::string& out, std::string& error);
    bool Skip(std::uint64_t n);
    bool Png(int zlibLevel, int width, int height, std::string& out, std::string& error);
    bool Jpeg(int quality, int width, int height, std::string& out, std::string& error);
    bool SkipTail();

    std::unique_ptr<FastLzDecoder> decoder;
    std::uint64_t bitmapLength = 0;
    BitmapLayout layout;
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
