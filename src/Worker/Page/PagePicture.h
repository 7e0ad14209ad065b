#ifndef ORVO_WORKER_PAGE_PAGEPICTURE_H
#define ORVO_WORKER_PAGE_PAGEPICTURE_H

#include <cstdint>

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QString>
#include <boost/shared_array.hpp>

#include "Protocol/Option.h"

class QWebFrame;
class QWebPage;

// A page's picture as a script asks for it: drawn at the viewport's size
// or whole, cut to a region, scaled to a width, cut to a height, and
// encoded as PNG or JPEG; and as a result's snapshot.
class PagePicture {
public:
    // The largest picture; a larger page is cut.
    static constexpr int MaxWidth = Orvo::Browser::Option::Viewport::MaxSide;
    static constexpr int MaxHeight = Orvo::Browser::Option::MaxHeight::Default();
    // Pictures are drawn in bands of this height: Qt's raster engine paints
    // nothing past 32,767 px in one go, and a snapshot holds one band's
    // pixels at a time.
    static constexpr int BandHeight = 1024;
    struct Request {
        bool whole = false;
        // {left, top, right, bottom}, right and bottom excluded; null for
        // all of it.
        QRect region;
        int width = 0;   // 0: as drawn
        int height = 0;  // 0: as scaled
        bool jpeg = false;
        int quality = 75;
    };

    // The encoded picture; empty when nothing is left to draw (an empty
    // page, a region outside it), with error set when encoding failed.
    static QByteArray Take(QWebPage* page, const Request& request, QString& error);
    // As Take, of a picture already drawn (at the viewport's size, or whole
    // as request asks).
    static QByteArray Encode(QImage image, const Request& request, QString& error);

    // Paints frame into image, which is as large as the frame's viewport,
    // in bands of BandHeight.
    static void RenderInBands(QWebFrame* frame, QImage& image);
    // The encoded snapshot of frame at its viewport's size, on white, and
    // sets *length to its size (a null array and 0 for an empty viewport).
    // The picture is encoded band by band as it is painted: no more than
    // one band's pixels are held. Throws std::bad_alloc when memory runs
    // out, and as SnapshotEncoder does.
    static boost::shared_array<char> Snapshot(QWebFrame* frame, std::uint32_t* length);

private:
    // The page drawn at its viewport's size, or whole (up to the
    // snapshot's caps); the viewport is as it was afterwards.
    static QImage Draw(QWebPage* page, bool whole);
    // Paints the rows of frame from top down into band.
    static void PaintBand(QWebFrame* frame, QImage& band, int top);
    // As a JPEG of the request's quality, or as a PNG: 8-bit RGB, no row
    // filter, at the writer's fast level, as orvo-serve's own PNG answers.
    static QByteArray Compress(const QImage& image, const Request& request, QString& error);
};

#endif
