#ifndef ORVO_TOOLS_RENDER_PNGWRITER_H
#define ORVO_TOOLS_RENDER_PNGWRITER_H

#include <cstddef>
#include <string>

#include "Client/Snapshot.h"

namespace Orvo {
namespace Render {

// Encodes snapshots as 8-bit RGB PNG with libpng, tuned for page
// snapshots: no row filter (on pages, with their flat areas, filtering
// costs more time than it saves bytes) and the given zlib level.
class PngWriter {
public:
    explicit PngWriter(int zlibLevel) : zlibLevel(zlibLevel) {}

    // Encodes width × height RGB pixels whose rows start stride bytes apart
    // into out. Returns false, with error set, when libpng fails.
    bool Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                std::string& error) const;

    // Returns false, with error set, when the file cannot be written; no
    // partial file is left then.
    bool Write(const std::string& path, const Browser::Client::Snapshot& snapshot, std::string& error) const;

private:
    const int zlibLevel;
};

} // namespace Render
} // namespace Orvo

#endif
