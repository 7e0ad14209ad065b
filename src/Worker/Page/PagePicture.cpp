#include "Page/PagePicture.h"

#include <algorithm>

#include <QPainter>
#include <QWebFrame>
#include <QWebPage>

#include "Protocol/HugePages.h"
#include "Protocol/JpegWriter.h"
#include "Protocol/PngBandWriter.h"
#include "Protocol/PngWriter.h"
#include "Protocol/SnapshotEncoder.h"

QByteArray PagePicture::Take(QWebPage* page, const Request& request, QString& error) {
    return Encode(Draw(page, request.whole), request, error);
}

QByteArray PagePicture::Encode(QImage image, const Request& request, QString& error) {
    if (!request.region.isNull()) {
        const QRect kept = request.region.intersected(image.rect());
        image = kept.isEmpty() ? QImage() : image.copy(kept);
    }
    if (image.isNull() || image.width() == 0 || image.height() == 0) {
        return QByteArray();
    }
    if (request.width > 0) {
        image = image.scaledToWidth(request.width, Qt::SmoothTransformation);
    }
    if (request.height > 0) {
        image = image.copy(0, 0, image.width(), request.height);
    }
    return Compress(image, request, error);
}

QByteArray PagePicture::Compress(const QImage& image, const Request& request, QString& error) {
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull()) {
        error = QStringLiteral("no memory to convert the picture");
        return QByteArray();
    }
    const std::size_t stride = static_cast<std::size_t>(rgb.bytesPerLine());
    std::string bytes;
    std::string failure;
    using Orvo::Browser::JpegWriter;
    using Orvo::Browser::PngWriter;
    const bool made = request.jpeg ? JpegWriter(request.quality)
                                         .Encode(rgb.constBits(), rgb.width(), rgb.height(), stride,
                                                 JpegWriter::Order::Rgb, bytes, failure)
                                   : PngWriter(Orvo::Browser::PngBandWriter::FastLevel)
                                         .Encode(rgb.constBits(), rgb.width(), rgb.height(), stride, bytes, failure);
    if (!made) {
        error = QString::fromStdString(failure);
        return QByteArray();
    }
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

QImage PagePicture::Draw(QWebPage* page, bool whole) {
    QWebFrame* frame = page->mainFrame();
    const QSize viewport = page->viewportSize();
    QSize size = viewport;
    if (whole && !frame->contentsSize().isEmpty()) {
        size = frame->contentsSize().boundedTo(
            QSize(MaxWidth, MaxHeight));
    }
    if (size.isEmpty()) {
        return QImage();
    }
    page->setViewportSize(size);
    QImage image(size, QImage::Format_RGB32);
    if (!image.isNull()) {
        image.fill(Qt::white);
        RenderInBands(frame, image);
    }
    page->setViewportSize(viewport);
    return image;
}

// Each band is painted through an image that shares the band's rows of the
// whole one, with the painter moved up to the band: device coordinates stay
// small and no second bitmap is made.
void PagePicture::RenderInBands(QWebFrame* frame, QImage& image) {
    for (int top = 0; top < image.height(); top += BandHeight) {
        const int height = std::min(BandHeight, image.height() - top);
        QImage band(image.scanLine(top), image.width(), height, image.bytesPerLine(), image.format());
        PaintBand(frame, band, top);
    }
}

// The bands are painted in Qt's 32-bit format, whose fills, text and
// images have its raster engine's fast paths (in 24 bits each fill is
// written 3 bytes at a time), and their rows reach the encoder as the
// bitmap file's, blue, green, red; from the page's bottom up, the order
// the file holds its rows in.
boost::shared_array<char> PagePicture::Snapshot(QWebFrame* frame, std::uint32_t* length) {
    const QSize size = frame->page()->viewportSize();
    *length = 0;
    if (size.isEmpty()) {
        return boost::shared_array<char>();
    }
    const int bytesPerLine = 4 * size.width();
    const Orvo::Browser::HugePages::Owned rows = Orvo::Browser::HugePages::Take(
        static_cast<std::size_t>(bytesPerLine) * static_cast<std::size_t>(std::min(BandHeight, size.height())));
    Orvo::Browser::SnapshotEncoder encoder(size.width(), size.height());
    for (int bottom = size.height(); bottom > 0;) {
        const int top = std::max(0, bottom - BandHeight);
        QImage band(rows.get(), size.width(), bottom - top, bytesPerLine, QImage::Format_RGB32);
        band.fill(Qt::white);
        PaintBand(frame, band, top);
        encoder.AddBandAbove(boost::gil::interleaved_view(
            band.width(), band.height(), reinterpret_cast<const boost::gil::bgra8_pixel_t*>(band.constBits()),
            band.bytesPerLine()));
        bottom = top;
    }
    return encoder.Finish(length);
}

void PagePicture::PaintBand(QWebFrame* frame, QImage& band, int top) {
    QPainter painter(&band);
    painter.translate(0, -top);
    frame->render(&painter, QRegion(0, top, band.width(), band.height()));
    painter.end();
}
