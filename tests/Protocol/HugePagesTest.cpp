// Picture buffers: every size asked for is writable to its last byte; from
// the huge-page size's half up the buffer starts on a huge page and the
// kernel holds the huge-page advice for it.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "Protocol/HugePages.h"

namespace {

using Orvo::Browser::HugePages;

// The VmFlags of the mapping that holds address, from /proc/self/smaps.
std::string FlagsOfMappingAt(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        std::uintptr_t from = 0;
        std::uintptr_t to = 0;
        char dash = 0;
        std::istringstream range(line);
        if (range >> std::hex >> from >> dash >> to && dash == '-') {
            inside = from <= at && at < to;
        } else if (inside && line.compare(0, 8, "VmFlags:") == 0) {
            return line;
        }
    }
    return std::string();
}

TEST(HugePages, EverySizeIsWritableAndBigOnesLieInAdvisedHugePages) {
    const bool kernelHasThem = boost::filesystem::exists("/sys/kernel/mm/transparent_hugepage/enabled");
    const struct {
        std::size_t size;
        bool huge;
    } cases[] = {
        {0, false},
        {1, false},
        {HugePages::MinSize - 1, false},
        {HugePages::MinSize, true},
        {HugePages::PageSize + 1, true},
        {3 * HugePages::PageSize + 12345, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const HugePages::Owned buffer = HugePages::Take(c.size);
        ASSERT_NE(nullptr, buffer.get());
        std::memset(buffer.get(), 0xA5, c.size);
        if (!c.huge) {
            continue;
        }
        EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(buffer.get()) % HugePages::PageSize);
        if (kernelHasThem) {
            EXPECT_NE(std::string::npos, FlagsOfMappingAt(buffer.get() + c.size - 1).find(" hg"));
        }
    }
}

TEST(HugePages, ASizeThatCannotBeRoundedUpOrCountedInBytesIsRefused) {
    EXPECT_THROW(HugePages::Allocate(static_cast<std::size_t>(-1)), std::bad_alloc);
    HugePages::Allocator<std::uint64_t> words;
    EXPECT_THROW(words.allocate(static_cast<std::size_t>(-1) / 4), std::bad_alloc);
}

} // namespace
