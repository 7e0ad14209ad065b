#ifndef ORVO_PROTOCOL_JPEGWRITER_H
#define ORVO_PROTOCOL_JPEGWRITER_H

#include <cstddef>
#include <string>
#include <vector>

namespace Orvo {
namespace Browser {

// Encodes snapshots as baseline JPEG through libjpeg-turbo, for orvo-render's
// files, orvo-serve's answers and the scripts' pictures alike: quality 1 to
// 100 with the library's standard tables, 4:2:0 chroma, as Qt's writer made
// them. Rows are given as pointers, so that a bitmap's rows are taken where
// they lie, bottom-up and blue-green-red, without a copy. Thread-safe: an
// encoding keeps nothing.
class JpegWriter {
public:
    enum class Order { Rgb, Bgr };

    explicit JpegWriter(int quality);

    // Encodes the rows, top first, of width pixels each in the given channel
    // order into out. Returns false, with error set and out empty, when it
    // cannot (no pixels, a side past JPEG's 65,500, no memory).
    bool Encode(const std::vector<const unsigned char*>& rows, int width, Order order, std::string& out,
                std::string& error) const;
    // The same for width × height pixels whose rows start stride bytes
    // apart, top first.
    bool Encode(const unsigned char* pixels, int width, int height, std::size_t stride, Order order,
                std::string& out, std::string& error) const;

private:
    const int quality;
};

} // namespace Browser
} // namespace Orvo

#endif
