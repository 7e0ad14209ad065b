#ifndef ORVO_KERNEL_VIEWHOLDER_H
#define ORVO_KERNEL_VIEWHOLDER_H

#include <QImage>
#include <boost/gil.hpp>
#include <boost/shared_ptr.hpp>

// One shared reference to a snapshot image in QImage::Format_RGB888, or to
// none, carrying it from the main thread to the sender thread. Copies share
// the pixels.
class ViewHolder {
public:
    ViewHolder() = default;
    // Converts other formats; an RGB888 image is shared, not copied.
    explicit ViewHolder(const QImage& image) : image(new QImage(image.convertToFormat(QImage::Format_RGB888))) {}

    // The pixels as an interleaved RGB view with the image's line stride;
    // an empty view when there is no image.
    boost::gil::rgb8c_view_t View() const {
        if (!image || image->isNull()) {
            return boost::gil::rgb8c_view_t();
        }
        return boost::gil::interleaved_view(image->width(), image->height(),
                                            reinterpret_cast<const boost::gil::rgb8_pixel_t*>(image->constBits()),
                                            image->bytesPerLine());
    }

    // Frees the pixels for every copy: a snapshot is sent once, and its
    // image is not needed once it has been encoded.
    void Release() {
        if (image) {
            *image = QImage();
        }
    }

private:
    boost::shared_ptr<QImage> image;
};

#endif
