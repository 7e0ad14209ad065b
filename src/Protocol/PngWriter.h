#ifndef ORVO_PROTOCOL_PNGWRITER_H
#define ORVO_PROTOCOL_PNGWRITER_H

#include <cstddef>
#include <string>

namespace Orvo {
namespace Browser {

// Encodes snapshots as 8-bit RGB PNG, for orvo-render's files, orvo-serve's
// answers and the scripts' pictures alike, tuned for page snapshots: no row
// filter (on pages, with their flat areas, filtering costs more time than
// it saves bytes) and the given level: ISA-L's fast deflate at 1, zlib's
// level otherwise. A tall picture is compressed in bands of rows, one
// thread each (see PngBandWriter). Thread-safe: an
// encoding keeps nothing.
class PngWriter {
public:
    // Rows in a band at least: fewer cost more in threads and flushes than
    // they save.
    static constexpr int MinBandRows = 128;
    // Bands of one picture at most.
    static constexpr int MaxBands = 4;

    // bands is how many threads one picture may use, from 1 to MaxBands;
    // by default as many as the machine has cores, up to MaxBands.
    explicit PngWriter(int zlibLevel, int bands = DefaultBands());

    // Encodes width × height RGB pixels whose rows start stride bytes apart
    // into out. Returns false, with error set and out empty, when it cannot
    // (no pixels, no memory).
    bool Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                std::string& error) const;

    static int DefaultBands();

private:
    const int zlibLevel;
    const int bands;
};

} // namespace Browser
} // namespace Orvo

#endif
