#ifndef ORVO_PROTOCOL_PNGBANDWRITER_H
#define ORVO_PROTOCOL_PNGBANDWRITER_H

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace Orvo {
namespace Browser {

// Builds one 8-bit RGB PNG of width × height pixels from bands of rows that
// come in any order: each band is compressed when it is added, as a deflate
// stream of its own ending on a byte boundary, so that the bands, top to
// bottom, make the picture's one zlib stream. What it holds is the
// compressed bands, never the pixels. No row filter: on pages, with their
// flat areas, filtering costs more time than it saves bytes.
//
// At FastLevel, the default of every PNG the project makes, the bands are
// deflated by ISA-L's igzip: on page snapshots the writer goes three to
// four times as fast as with zlib's level 1, for about a tenth more bytes.
// Other levels are zlib's.
//
// Add may be called from several threads at once, for different bands.
class PngBandWriter {
public:
    static constexpr int FastLevel = 1;
    // The filter byte in front of each row.
    static constexpr unsigned char NoFilter = 0;

    PngBandWriter(int zlibLevel, int width, int height);

    // Compresses count rows from row first on, given top to bottom from
    // pixels, each width × 3 bytes, stride bytes apart. False when it
    // cannot (no memory, rows outside the picture); the picture is then
    // not made.
    bool Add(int first, int count, const unsigned char* pixels, std::size_t stride);
    // As Add, for rows given as the PNG's lines: each row behind its filter
    // byte, NoFilter, back to back. They are compressed where they lie, not
    // copied first.
    bool AddLines(int first, int count, const unsigned char* lines);

    // The PNG file, once the bands added cover every row exactly once.
    // False, with error set and out empty, when they do not or a band could
    // not be made.
    bool Finish(std::string& out, std::string& error);

private:
    // Rows [first, first + count) as a deflate stream, and the Adler-32 of
    // what it compressed.
    struct Band {
        int first = 0;
        int count = 0;
        std::string deflated;
        unsigned long adler = 0;
    };

    bool AddBand(int first, int count, const unsigned char* pixels, std::size_t stride, bool lines);
    bool Assemble(std::string& out);

    const int zlibLevel;
    const int width;
    const int height;
    std::mutex mutex;
    // Guarded by mutex: the bands made so far, and why one could not be
    // (empty while none failed).
    std::vector<Band> bands;
    std::string failure;
};

} // namespace Browser
} // namespace Orvo

#endif
