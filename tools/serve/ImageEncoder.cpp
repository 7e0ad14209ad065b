#include "ImageEncoder.h"

#include <algorithm>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include "Protocol/PngWriter.h"

namespace Orvo {
namespace Serve {

namespace {

bool EncodeJpeg(const QImage& picture, int quality, std::string& out, std::string& error) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(picture)) {
        error = "JPEG encoding failed: " + writer.errorString().toStdString();
        return false;
    }
    out.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

} // namespace

bool ImageEncoder::Encode(const Browser::Client::Snapshot& snapshot, Format format, const RenderArguments& arguments,
                          std::string& out, std::string& error) {
    if (snapshot.Empty()) {
        error = "the page has no snapshot";
        return false;
    }
    const int width = arguments.renderAll ? snapshot.width : std::min(snapshot.width, arguments.viewportWidth);
    const int height = arguments.renderAll ? snapshot.height : std::min(snapshot.height, arguments.viewportHeight);
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
        return EncodeJpeg(picture, arguments.quality, out, error);
    }
    return Browser::PngWriter(PngLevel).Encode(picture.constBits(), picture.width(), picture.height(),
                                              static_cast<std::size_t>(picture.bytesPerLine()), out, error);
}

} // namespace Serve
} // namespace Orvo
