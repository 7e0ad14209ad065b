#include "Protocol/PngWriter.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "Protocol/PngBandWriter.h"

namespace Orvo {
namespace Browser {

PngWriter::PngWriter(int zlibLevel, int bands)
    : zlibLevel(std::max(0, std::min(9, zlibLevel))), bands(std::max(1, std::min(MaxBands, bands))) {}

int PngWriter::DefaultBands() {
    return std::max(1, std::min(MaxBands, static_cast<int>(std::thread::hardware_concurrency())));
}

bool PngWriter::Encode(const unsigned char* pixels, int width, int height, std::size_t stride, std::string& out,
                       std::string& error) const {
    out.clear();
    if (width <= 0 || height <= 0) {
        error = "PNG encoding failed: no pixels";
        return false;
    }
    PngBandWriter writer(zlibLevel, width, height);
    const int count = std::max(1, std::min(bands, height / MinBandRows));
    const auto add = [&](int k) {
        const int first = static_cast<int>(static_cast<long long>(height) * k / count);
        const int last = static_cast<int>(static_cast<long long>(height) * (k + 1) / count);
        writer.Add(first, last - first, pixels + static_cast<std::size_t>(first) * stride, stride);
    };
    std::vector<std::thread> helpers;
    try {
        // Room for every helper first: a vector growing while threads run
        // could throw with a thread left unjoined.
        helpers.reserve(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        error = "PNG encoding failed: no memory";
        return false;
    }
    for (int k = 1; k < count; ++k) {
        try {
            helpers.emplace_back(add, k);
        } catch (const std::system_error&) {
            add(k);
        }
    }
    add(0);
    for (std::thread& helper : helpers) {
        helper.join();
    }
    return writer.Finish(out, error);
}

} // namespace Browser
} // namespace Orvo
