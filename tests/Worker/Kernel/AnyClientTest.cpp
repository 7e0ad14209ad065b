// The serving kernel against a client written from the protocol alone
// (OrvoTest::ProtocolClient, not the client library), under the test
// program that plays the main thread (orvo-test-worker): result segments of
// the sizes such a client may choose, objects that are no result segment,
// and the channel's order around a record that ends serving.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/Occurrences.h"
#include "Common/ProtocolClient.h"
#include "Common/SharedObjects.h"
#include "Common/TemporaryDirectory.h"

namespace {

using OrvoTest::ProtocolClient;
using OrvoTest::SharedObjects;

const char* const LastModified = "12/07/2026 09:00:00";

// A shared-memory object of bytes bytes that is no managed segment: zeros,
// then firstWord at its start.
class RawObject {
public:
    RawObject(const std::string& name, std::size_t bytes, std::uint32_t firstWord) : name(name) {
        const int fd = ::shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        made = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(bytes)) == 0
               && ::pwrite(fd, &firstWord, sizeof firstWord, 0) == static_cast<ssize_t>(sizeof firstWord);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ~RawObject() { ::shm_unlink(name.c_str()); }

    const std::string name;
    bool made = false;
};

class AnyClient : public ::testing::Test {
protected:
    // The test worker logs at DEBUG into worker.log; with its long waits
    // divided by 100 it stops 1.8 s after the last request and ends.
    void SetUp() override {
        directory.Write("worker.ini", "[Orvo.browser.webkit.Server]\nlogLevel=DEBUG\nlogFile=" + directory.path
                                          + "/worker.log\n");
        worker = OrvoTest::StartProgram({ORVO_TEST_WORKER_BINARY, "--config", directory.path + "/worker.ini"},
                                        {"ORVO_TEST_TIME_DIVISOR=100"}, directory.path + "/worker.out");
        ASSERT_TRUE(ProtocolClient::AwaitReady(worker->Pid(), 20000));
    }

    // However serving ended, the worker ends with status 0 and leaves none
    // of its names.
    void TearDown() override {
        EXPECT_EQ(0, worker->Wait(30000)) << Log();
        EXPECT_EQ(std::vector<std::string>(), SharedObjects("Orvo_Browser_" + std::to_string(worker->Pid()) + "_"));
    }

    std::string Log() const { return directory.Read("worker.log"); }

    bool AwaitLog(const std::string& text, int timeoutMs = 20000) const {
        return directory.AwaitText("worker.log", text, timeoutMs);
    }

    // The answer under name, which must come.
    static ProtocolClient::Answer Answer(ProtocolClient& client, const std::string& name) {
        ProtocolClient::Answer answer;
        EXPECT_TRUE(client.Take(name, answer, 10000)) << "no answer for " << name;
        return answer;
    }

    OrvoTest::TemporaryDirectory directory;
    std::unique_ptr<OrvoTest::ChildProcess> worker;
};

TEST_F(AnyClient, ResultSegmentsOfTheClientsOwnSizeAreAnswered) {
    ProtocolClient client(worker->Pid(), "OrvoTestSizes");
    for (const std::size_t mebibytes : {1, 8, 64, 256}) {
        const std::string name = client.NewName(mebibytes << 20);
        const std::string url = "test://host/echo?mib=" + std::to_string(mebibytes);
        client.Put(url, name);
        const ProtocolClient::Answer answer = Answer(client, name);
        EXPECT_EQ(url, answer.pageUrl) << mebibytes << " MiB";
        EXPECT_EQ(LastModified, answer.detail) << mebibytes << " MiB";
        EXPECT_EQ("echo " + url + " " + name, answer.body) << mebibytes << " MiB";
    }
    const std::string name = client.NewName(64 << 20);
    client.Put("test://host/snapshot?width=640&height=480", name);
    EXPECT_LT(0u, Answer(client, name).snapshotBytes) << "a snapshot in a segment of 64 MiB";
}

// An object that would hang or crash the delivery (zeros, whose header
// the library would wait on for ever; one too small for a segment's
// header) is refused under its name, and serving goes on.
TEST_F(AnyClient, ObjectsThatAreNoResultSegmentAreRefusedAndServingGoesOn) {
    const RawObject zeros("OrvoTestZeros_" + std::to_string(::getpid()), 64 << 20, 0);
    const RawObject tiny("OrvoTestTiny_" + std::to_string(::getpid()), 64, 2);
    ASSERT_TRUE(zeros.made && tiny.made);
    ProtocolClient client(worker->Pid(), "OrvoTestRefused");
    client.Put("test://host/echo?zeros=1", zeros.name);
    client.Put("test://host/echo?tiny=1", tiny.name);
    EXPECT_TRUE(AwaitLog("not a client's result segment: " + zeros.name)) << Log();
    EXPECT_TRUE(AwaitLog("not a client's result segment: " + tiny.name)) << Log();
    const std::string name = client.NewName();
    client.Put("test://host/echo?after=1", name);
    EXPECT_EQ("test://host/echo?after=1", Answer(client, name).pageUrl);
}

// All five records are in the channel before the worker takes any: the
// two ahead of the empty record are served, the two behind it are
// answered dead, and serving ends.
TEST_F(AnyClient, RecordsAheadOfAnEmptyRecordAreServedAndThoseBehindItAnsweredDead) {
    ProtocolClient client(worker->Pid(), "OrvoTestOrder");
    std::vector<std::string> names;
    std::vector<ProtocolClient::Record> records;
    for (const char* label : {"A", "B", "", "C", "D"}) {
        if (*label == '\0') {
            records.push_back(ProtocolClient::EndOfServing());
            continue;
        }
        names.push_back(client.NewName());
        records.push_back({std::string("test://host/echo?") + label, names.back(), {}, {}});
    }
    client.Put(records);
    for (std::size_t k = 0; k < names.size(); ++k) {
        const ProtocolClient::Answer answer = Answer(client, names[k]);
        EXPECT_EQ(records[k < 2 ? k : k + 1].url, answer.pageUrl);
        EXPECT_EQ(k < 2 ? LastModified : "DEAD", answer.detail) << answer.pageUrl;
    }
    EXPECT_TRUE(AwaitLog("Server::Serve => EMPTY"));
}

// The same with two clients interleaved: fairness among the records ahead
// of the empty one, none of those behind it served.
TEST_F(AnyClient, TwoClientsInterleavedKeepTheChannelsOrderAroundAnEmptyRecord) {
    ProtocolClient first(worker->Pid(), "OrvoTestFirst");
    ProtocolClient second(worker->Pid(), "OrvoTestSecond");
    std::vector<ProtocolClient::Record> records;
    for (int k = 0; k < 6; ++k) {
        if (k == 4) {
            records.push_back(ProtocolClient::EndOfServing());
        }
        ProtocolClient& client = k % 2 == 0 ? first : second;
        records.push_back({"test://host/echo?k=" + std::to_string(k), client.NewName(), {}, {}});
    }
    first.Put(records);
    for (const ProtocolClient::Record& record : records) {
        if (record.name.empty()) {
            continue;
        }
        ProtocolClient& client = record.name.find("OrvoTestFirst") == 0 ? first : second;
        const ProtocolClient::Answer answer = Answer(client, record.name);
        EXPECT_EQ(record.url, answer.pageUrl);
        const bool ahead = &record < &records[4];
        EXPECT_EQ(ahead ? LastModified : "DEAD", answer.detail) << record.url;
    }
    EXPECT_EQ(4u, OrvoTest::Occurrences(Log(), "ServerMediator::GetRequest => GET: test://host/echo?k="));
}

} // namespace
