#ifndef ORVO_KERNEL_VIEWHOLDER_H
#define ORVO_KERNEL_VIEWHOLDER_H

#include <cstdint>

#include <QImage>
#include <boost/gil.hpp>
#include <boost/shared_array.hpp>
#include <boost/shared_ptr.hpp>

#include "Protocol/SnapshotEncoder.h"

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

    // The encoded snapshot of the image (null and 0 without one). The
    // pixels are freed for every copy, made or not: a snapshot is sent
    // once. Throws as SnapshotEncoder::Encode does.
    boost::shared_array<char> Encode(std::uint32_t* length) {
        struct Releaser {
            ~Releaser() { holder.Release(); }
            ViewHolder& holder;
        } releaser{*this};
        return Orvo::Browser::SnapshotEncoder::Encode(View(), length);
    }

private:
    void Release() {
        if (image) {
            *image = QImage();
        }
    }

    boost::shared_ptr<QImage> image;
};

#endif
