// The client library takes nothing a worker sends on trust: an impossible
// snapshot length fails before anything is allocated for it, a file
// reference is read only when it names a private regular file of this user,
// and a result channel a worker broke still leaves no name behind.

#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Client/FileReference.h"
#include "Client/PendingRequest.h"
#include "Client/Snapshot.h"
#include "Common/SharedObjects.h"

namespace {

using Orvo::Browser::Client::FileReference;
using Orvo::Browser::Client::PendingRequest;
using Orvo::Browser::Client::Snapshot;

TEST(CarefulClient, ASnapshotAnnouncingMoreThanItsBlockCanHoldFailsAtOnce) {
    Snapshot snapshot;
    std::string error;
    EXPECT_FALSE(Snapshot::Decode(std::string("\x00\xff\xff\xff\x7f", 5), snapshot, error));
    EXPECT_EQ("snapshot announces an impossible bitmap length", error);
    EXPECT_FALSE(Snapshot::Decode(std::string(10, '\0') + std::string("\x00\x10\x00\x00", 4), snapshot, error))
        << "4096 bytes cannot come out of a 10-byte block";
    EXPECT_EQ("snapshot announces an impossible bitmap length", error);
    EXPECT_TRUE(snapshot.Empty());
}

// A file named like a worker's spill file, made by the test.
class SpillFile : public ::testing::Test {
protected:
    SpillFile() {
        char name[] = "/tmp/_BWIMPL_XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
        field = "file:///" + path;
    }

    ~SpillFile() override { boost::filesystem::remove_all(path); }

    // Replaces the file by something else at the same path.
    void Replace(const std::function<void()>& make) {
        boost::filesystem::remove_all(path);
        make();
    }

    std::string Resolve() {
        std::string error;
        if (FileReference::Resolve(field, error)) {
            return "read";
        }
        return error;
    }

    std::string path;
    std::string field;
};

TEST_F(SpillFile, APrivateRegularFileIsReadAndRemoved) {
    { std::ofstream(path) << "body bytes"; }
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ("read", Resolve());
    EXPECT_EQ("body bytes", field);
    EXPECT_FALSE(boost::filesystem::exists(path));
}

TEST_F(SpillFile, AnythingElseFailsWithAReasonAndIsLeftAlone) {
    Replace([this] { boost::filesystem::create_directory(path); });
    EXPECT_EQ("cannot read the result file " + path + ": it is not a regular file", Resolve());
    EXPECT_TRUE(boost::filesystem::is_directory(path));

    Replace([this] { ::mkfifo(path.c_str(), 0600); });
    EXPECT_EQ("cannot read the result file " + path + ": it is not a regular file", Resolve()) << "no wait";

    Replace([this] { boost::filesystem::create_symlink("/dev/zero", path); });
    EXPECT_EQ("cannot read the result file " + path + ": it is a link", Resolve());
    EXPECT_TRUE(boost::filesystem::is_symlink(path));

    Replace([this] { std::ofstream(path) << "x"; ::chmod(path.c_str(), 0644); });
    EXPECT_EQ("cannot read the result file " + path + ": it is not a private file of this user", Resolve());
    EXPECT_TRUE(boost::filesystem::exists(path));

    FileReference::Discard(field);
    EXPECT_TRUE(boost::filesystem::exists(path)) << "what a worker does not write is not removed either";
    ::chmod(path.c_str(), 0600);
    FileReference::Discard(field);
    EXPECT_FALSE(boost::filesystem::exists(path)) << "a spill file is discarded";
}


// The segment, the channel's list in it and the channel's mutex and
// condition all carry the request's name; whatever a worker did to the
// channel, ending the request removes every one of them.
TEST(CarefulClient, EndingARequestRemovesItsNamesWhateverBecameOfItsChannel) {
    const struct {
        const char* what;
        std::function<void(PendingRequest&)> worker;
    } cases[] = {
        {"the channel as it was made", [](PendingRequest&) {}},
        {"its list destroyed in the segment",
         [](PendingRequest& pending) {
             pending.ResultSegment().destroy<PendingRequest::ResultChannel::List>(pending.Name().c_str());
         }},
        {"its mutex removed",
         [](PendingRequest& pending) {
             boost::interprocess::named_mutex::remove(
                 PendingRequest::ResultChannel::MutexName(pending.Name().c_str()).c_str());
         }},
    };
    for (const auto& row : cases) {
        const std::string name = "orvo_careful_" + std::to_string(::getpid());
        std::unique_ptr<PendingRequest> pending(new PendingRequest("http://127.0.0.1/", name));
        ASSERT_EQ(3u, OrvoTest::SharedObjects(name).size()) << row.what << ": the segment, mutex and condition";
        row.worker(*pending);
        pending.reset();
        EXPECT_TRUE(OrvoTest::SharedObjects(name).empty()) << row.what;
    }
}

} // namespace
