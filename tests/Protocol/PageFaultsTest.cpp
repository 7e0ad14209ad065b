// Mapping pages in ahead of a copy: a range long enough has every page it
// touches mapped afterwards, a short one none, and what the pages held
// before is kept.

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "Protocol/PageFaults.h"

namespace {

using Orvo::Browser::PageFaults;

const std::size_t Page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));

struct Mapping {
    explicit Mapping(std::size_t length)
        : length(length),
          bytes(static_cast<char*>(::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
    ~Mapping() { ::munmap(bytes, length); }

    // How many of the pages that [offset, offset + size) touches are mapped.
    std::size_t Resident(std::size_t offset, std::size_t size) const {
        const std::size_t first = offset / Page;
        const std::size_t end = (offset + size + Page - 1) / Page;
        std::vector<unsigned char> states(length / Page);
        EXPECT_EQ(0, ::mincore(bytes, length, states.data()));
        std::size_t count = 0;
        for (std::size_t k = first; k < end; ++k) {
            count += states[k] & 1;
        }
        return count;
    }

    const std::size_t length;
    char* const bytes;
};

bool KernelPopulates() {
    Mapping probe(Page);
    return ::madvise(probe.bytes, Page, MADV_POPULATE_WRITE) == 0;
}

TEST(PageFaults, LongRangesAreMappedWholeShortOnesLeftAndContentsKept) {
    if (!KernelPopulates()) {
        GTEST_SKIP() << "this kernel does not populate ranges on advice";
    }
    const struct {
        std::size_t offset;
        std::size_t size;
        bool mapped;
    } cases[] = {
        {0, PageFaults::MinLength - 1, false},
        {Page, PageFaults::MinLength - 1, false},
        {100, PageFaults::MinLength, true},
        {Page - 1, 3 * PageFaults::MinLength + 2, true},
        {0, 4 * PageFaults::MinLength + 2 * Page, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " + " + std::to_string(c.size));
        Mapping mapping(4 * PageFaults::MinLength + 2 * Page);
        ASSERT_NE(MAP_FAILED, static_cast<void*>(mapping.bytes));
        ASSERT_EQ(0u, mapping.Resident(0, mapping.length));
        PageFaults::AheadOfWrite(mapping.bytes + c.offset, c.size);
        const std::size_t touched = (c.offset + c.size + Page - 1) / Page - c.offset / Page;
        EXPECT_EQ(c.mapped ? touched : 0u, mapping.Resident(c.offset, c.size));
        EXPECT_EQ(c.mapped ? touched : 0u, mapping.Resident(0, mapping.length)) << "no page beyond the range";

        std::memset(mapping.bytes, 'x', mapping.length);
        PageFaults::AheadOfRead(mapping.bytes + c.offset, c.size);
        PageFaults::AheadOfWrite(mapping.bytes + c.offset, c.size);
        EXPECT_EQ(std::string(mapping.length, 'x'), std::string(mapping.bytes, mapping.length));
    }
}

} // namespace
