#ifndef ORVO_IMPL_PAGEPICTURE_H
#define ORVO_IMPL_PAGEPICTURE_H

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QString>

class QWebPage;

// A page's picture as a script asks for it: drawn at the viewport's size
// or whole, cut to a region, scaled to a width, cut to a height, and
// encoded as PNG or JPEG.
class PagePicture {
public:
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

private:
    // The page drawn at its viewport's size, or whole (up to the
    // snapshot's caps); the viewport is as it was afterwards.
    static QImage Draw(QWebPage* page, bool whole);
};

#endif
