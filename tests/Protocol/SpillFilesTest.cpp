#include <ctime>
#include <set>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "Common/TemporaryDirectory.h"
#include "Protocol/SpillFiles.h"

namespace {

using Orvo::Interprocess::SpillFiles;

// Files are aged by setting their modification time two hours back.
TEST(SpillFiles, OnlyOldSpillFilesOfThisUserAreSwept) {
    OrvoTest::TemporaryDirectory tmp;
    for (const std::string name : {"_BWIMPL_old000", "_BWIMPL_new000", "other_old"}) {
        tmp.Write(name, "x");
    }
    boost::filesystem::create_directory(tmp.path + "/_BWIMPL_dir000");
    const std::time_t twoHoursAgo = std::time(nullptr) - 7200;
    for (const std::string name : {"_BWIMPL_old000", "other_old", "_BWIMPL_dir000"}) {
        boost::filesystem::last_write_time(tmp.path + "/" + name, twoHoursAgo);
    }
    EXPECT_EQ(1u, SpillFiles::SweepStale(3600, tmp.path));
    EXPECT_EQ((std::set<std::string>{"_BWIMPL_dir000", "_BWIMPL_new000", "other_old"}), tmp.Names());
}

} // namespace
