#include "Protocol/PixelRows.h"

#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Orvo::Browser::PixelRows;

typedef std::vector<unsigned char> Bytes;

const unsigned char Guard = 0xA5;

// Both paths where the processor has the shuffle, the portable one alone
// where it has not.
std::vector<bool> Paths() {
    return PixelRows::CanShuffle() ? std::vector<bool>{false, true} : std::vector<bool>{false};
}

// Every width up to well past a few 16-byte steps, and a page's, on noise:
// each output byte is the input byte it must be, and the bytes after the
// row's last pixel are left as they were.
TEST(PixelRows, EveryWidthGivesThePixelsBytesAndWritesNothingPastThem) {
    std::mt19937 random(5);
    std::vector<std::size_t> widths;
    for (std::size_t n = 0; n <= 40; ++n) {
        widths.push_back(n);
    }
    widths.push_back(1283);
    for (const bool shuffle : Paths()) {
        for (const std::size_t n : widths) {
            SCOPED_TRACE(std::string(shuffle ? "shuffled" : "portable") + ", " + std::to_string(n) + " pixels");
            Bytes wide(4 * n);
            Bytes narrow(3 * n);
            for (unsigned char& byte : wide) {
                byte = static_cast<unsigned char>(random());
            }
            for (unsigned char& byte : narrow) {
                byte = static_cast<unsigned char>(random());
            }
            Bytes dropped(3 * n + 16, Guard);
            Bytes swapped(3 * n + 16, Guard);
            PixelRows::DropFourthBytes(wide.data(), dropped.data(), n, shuffle);
            PixelRows::SwapOuterBytes(narrow.data(), swapped.data(), n, shuffle);
            for (std::size_t x = 0; x < n; ++x) {
                for (std::size_t k = 0; k < 3; ++k) {
                    ASSERT_EQ(wide[4 * x + k], dropped[3 * x + k]) << "pixel " << x << " byte " << k;
                    ASSERT_EQ(narrow[3 * x + 2 - k], swapped[3 * x + k]) << "pixel " << x << " byte " << k;
                }
            }
            for (std::size_t k = 3 * n; k < dropped.size(); ++k) {
                ASSERT_EQ(Guard, dropped[k]) << "byte " << k << " past the row";
                ASSERT_EQ(Guard, swapped[k]) << "byte " << k << " past the row";
            }
        }
    }
}

} // namespace
