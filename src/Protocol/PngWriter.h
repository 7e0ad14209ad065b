#ifndef ORVO_PROTOCOL_PNGWRITER_H
#define ORVO_PROTOCOL_PNGWRITER_H

#include <cstddef>
#include <string>

namespace Orvo {
namespace Browser {

// Encodes snapshots as 8-bit RGB PNG with libpng, for orvo-render's files,
// orvo-serve's answers and the scripts' pictures alike, tuned for page
// snapshots: no row filter (on pages, with their flat areas, filtering
// costs more time than it saves bytes) and the given zlib level.
class PngWriter {
public:
    explicit PngWriter(int zlibLevel) : zlibLevel(zlibLevel) {}

    // Encodes width × height RGB pixels whose rows start stride bytes apart
    // into out. Returns false, with error set, when libpng fails.
    bool Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                std::string& error) const;

private:
    const int zlibLevel;
};

} // namespace Browser
} // namespace Orvo

#endif
