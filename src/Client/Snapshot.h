#ifndef ORVO_CLIENT_SNAPSHOT_H
#define ORVO_CLIENT_SNAPSHOT_H

#include <string>
#include <vector>

namespace Orvo {
namespace Browser {
namespace Client {

// A decoded page snapshot: width × height pixels, rows top to bottom, each
// pixel as red, green, blue bytes, no padding.
class Snapshot {
public:
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;

    bool Empty() const { return width == 0 || height == 0; }

    // Decodes the snapshot field of a result: a FastLZ block of a 24-bit
    // bitmap followed by the bitmap's length (4 bytes, little-endian).
    // Returns false, with error saying why, for anything malformed; snapshot
    // is left empty then.
    static bool Decode(const std::string& encoded, Snapshot& snapshot, std::string& error);
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
