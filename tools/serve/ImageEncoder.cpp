#include "ImageEncoder.h"

#include <algorithm>

#include <QImage>

#include "Client/SnapshotStream.h"
#include "Protocol/JpegWriter.h"
#include "Protocol/PngBandWriter.h"
#include "Protocol/PngWriter.h"

namespace Orvo {
namespace Serve {

namespace {

// The part of a width × height snapshot that the request shows.
QSize Shown(int width, int height, const RenderArguments& arguments) {
    if (arguments.renderAll) {
        return QSize(width, height);
    }
    return QSize(std::min(width, arguments.viewportWidth), std::min(height, arguments.viewportHeight));
}

} // namespace

bool ImageEncoder::Encode(const Browser::Client::Result& result, Format format, const RenderArguments& arguments,
                          std::string& out, std::string& error) {
    if (!result.snapshot.rgb.empty() || result.encodedSnapshot.empty()) {
        return Encode(result.snapshot, format, arguments, out, error);
    }
    Browser::Client::SnapshotStream stream;
    if (!stream.Open(result.encodedSnapshot, error)) {
        return false;
    }
    const QSize shown = Shown(stream.Width(), stream.Height(), arguments);
    if (!(arguments.width > 0 && arguments.width < shown.width())) {
        return format == Format::Png ? stream.EncodePng(Browser::PngBandWriter::FastLevel, shown.width(), shown.height(), out, error)
                                     : stream.EncodeJpeg(arguments.quality, shown.width(), shown.height(), out, error);
    }
    Browser::Client::Snapshot snapshot;
    return Browser::Client::Snapshot::Decode(result.encodedSnapshot, snapshot, error)
           && Encode(snapshot, format, arguments, out, error);
}

bool ImageEncoder::Encode(const Browser::Client::Snapshot& snapshot, Format format, const RenderArguments& arguments,
                          std::string& out, std::string& error) {
    if (snapshot.rgb.empty()) {
        error = "the page has no snapshot";
        return false;
    }
    const QSize shown = Shown(snapshot.width, snapshot.height, arguments);
    const int width = shown.width();
    const int height = shown.height();
    // The snapshot's own rows, cut to width × height without a copy.
    QImage picture(snapshot.rgb.data(), width, height, 3 * snapshot.width, QImage::Format_RGB888);
    if (arguments.width > 0 && arguments.width < width) {
        // Smooth scaling works in 32-bit pixels; the encoders take 24.
        picture = picture.scaledToWidth(arguments.width, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_RGB888);
        if (picture.isNull()) {
            error = "no memory to scale the snapshot";
            return false;
        }
    }
    if (format == Format::Jpeg) {
        return Browser::JpegWriter(arguments.quality)
            .Encode(picture.constBits(), picture.width(), picture.height(),
                    static_cast<std::size_t>(picture.bytesPerLine()), Browser::JpegWriter::Order::Rgb, out, error);
    }
    return Browser::PngWriter(Browser::PngBandWriter::FastLevel).Encode(picture.constBits(), picture.width(), picture.height(),
                                              static_cast<std::size_t>(picture.bytesPerLine()), out, error);
}

} // namespace Serve
} // namespace Orvo
