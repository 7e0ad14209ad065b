#include "Protocol/Request.h"

#include <string>

#include <gtest/gtest.h>

#include "Common/ChildProcess.h"
#include "Common/ScopedSegment.h"
#include "Protocol/Channel.h"

namespace {

using Orvo::Browser::Request;
using Orvo::Browser::Segment;
using Orvo::Browser::ServerRequest;
using Orvo::Browser::String;

typedef Orvo::Interprocess::Channel<Segment, Request> RequestChannel;

std::string Std(const String& text) {
    return std::string(text.begin(), text.end());
}

Request* Write(Segment& segment, const std::string& url, const std::string& name, const Request::Options& options) {
    return segment.construct<Request>(boost::interprocess::anonymous_instance)(segment, url, name, options);
}

class RequestTest : public ::testing::Test {
protected:
    OrvoTest::ScopedSegment shared;
    Segment& segment = shared.segment;
};

TEST_F(RequestTest, TypedOptionsAreStoredInTheirTextForms) {
    Request::Options options;
    options["snapshot"] = true;
    options["coordinate"] = false;
    options["keep"] = 30000;
    options["delay"] = -1;
    options["post"] = std::string("a=1&b=2");
    options["colour"] = std::string("blue");
    Request* request = Write(segment, "http://127.0.0.1/", "r17", options);
    const Request::OptionMap* map = segment.find<Request::OptionMap>("r17OptionMap").first;
    ASSERT_NE(nullptr, map);
    EXPECT_EQ(map, request->options);
    std::map<std::string, std::string> entries;
    for (const auto& entry : *map) {
        entries[Std(entry.first)] = Std(entry.second);
    }
    const std::map<std::string, std::string> expected = {
        {"snapshot", "1"}, {"coordinate", "0"}, {"keep", "30000"}, {"delay", "-1"}, {"post", "a=1&b=2"}};
    EXPECT_EQ(expected, entries);
    request->Destroy(segment);
    segment.destroy_ptr(request);
}

TEST_F(RequestTest, AValueOfTheWrongTypeIsRejectedAndLeavesNothingBehind) {
    Request::Options options;
    options["keep"] = std::string("30000");
    const auto freeBefore = segment.get_free_memory();
    try {
        Write(segment, "http://127.0.0.1/", "bad", options);
        FAIL() << "the writer should throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("Illegal option or option value: keep", e.what());
    }
    EXPECT_EQ(nullptr, segment.find<Request::OptionMap>("badOptionMap").first);
    EXPECT_EQ(freeBefore, segment.get_free_memory());
}

TEST_F(RequestTest, TwoLiveRequestsCannotShareAName) {
    Request* first = Write(segment, "http://127.0.0.1/a", "twin", {});
    try {
        Write(segment, "http://127.0.0.1/b", "twin", {});
        FAIL() << "the writer should throw";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(boost::interprocess::already_exists_error, e.get_error_code());
    }
    first->Destroy(segment);
    segment.destroy_ptr(first);
}

TEST_F(RequestTest, OptionMapNamesFollowTheRequestName) {
    const Request request(segment);
    std::string mapName;
    request.GetOptionMapName("r17", mapName);
    EXPECT_EQ("r17OptionMap", mapName);
    request.GetOptionMapName("", mapName);
    EXPECT_EQ("OptionMap", mapName);
    EXPECT_NO_THROW(request.GetOptionMapName(std::string(502, 'n'), mapName));
    EXPECT_THROW(request.GetOptionMapName(std::string(503, 'n'), mapName), std::invalid_argument);
    EXPECT_THROW(Write(segment, "http://127.0.0.1/", std::string(503, 'n'), {}), std::invalid_argument);
}

TEST_F(RequestTest, AnEmptyRecordHasNoOptions) {
    Request request(segment);
    EXPECT_TRUE(request.url.empty());
    EXPECT_TRUE(request.name.empty());
    EXPECT_EQ(nullptr, request.options);
}

// The client's side in one process, the worker's in another: the record is
// written and queued by the child, then taken, settled, converted and freed
// by the parent.
TEST_F(RequestTest, ARequestWrittenInOneProcessIsReadAndFreedInAnother) {
    const auto freeBefore = segment.get_free_memory();
    auto channel = RequestChannel::Create(segment, shared.name.c_str());
    OrvoTest::ChildProcess client([&] {
        Segment mapped(boost::interprocess::open_only, shared.name.c_str());
        auto handle = RequestChannel::Get(mapped, shared.name.c_str());
        Request::Options options;
        options["snapshot"] = false;
        options["script"] = std::string("document.title = 'x';\n1;");
        options["disable"] = std::string("images, javascript");
        handle->Put(boost::interprocess::make_managed_unique_ptr(
                        Write(mapped, "http://127.0.0.1:8080/page?q=1", "client_7_r3", options), mapped),
                    5000);
        return 0;
    });
    ASSERT_EQ(0, client.Wait());

    RequestChannel::Element record(nullptr, segment.get_deleter<Request>());
    channel->Take(record, 1000);
    ASSERT_TRUE(record);
    record->Settle(segment);
    ASSERT_NE(nullptr, record->options);
    const boost::shared_ptr<ServerRequest> copy = record->ToServerRequest();
    record->Destroy(segment);
    EXPECT_EQ(nullptr, record->options);
    EXPECT_EQ(nullptr, segment.find<Request::OptionMap>("client_7_r3OptionMap").first);
    record.reset();

    EXPECT_EQ("http://127.0.0.1:8080/page?q=1", copy->url);
    EXPECT_EQ("client_7_r3", copy->name);
    const ServerRequest::Options expected = {
        {"snapshot", "0"}, {"script", "document.title = 'x';\n1;"}, {"disable", "images, javascript"}};
    EXPECT_EQ(expected, copy->options);
    RequestChannel::Destroy(segment, shared.name.c_str(), {}, 1000);
    segment.destroy<RequestChannel::List>(shared.name.c_str());
    EXPECT_EQ(freeBefore, segment.get_free_memory()) << "the record and its map are freed in the segment";
}

TEST_F(RequestTest, ARecordWithoutItsOptionMapConvertsWithDefaults) {
    Request* request = Write(segment, "http://127.0.0.1/", "lost", {{"keep", 10}});
    segment.destroy<Request::OptionMap>("lostOptionMap");
    request->Settle(segment);
    EXPECT_EQ(nullptr, request->options);
    const boost::shared_ptr<ServerRequest> copy = request->ToServerRequest();
    EXPECT_EQ("http://127.0.0.1/", copy->url);
    EXPECT_EQ("lost", copy->name);
    EXPECT_TRUE(copy->options.empty());
    EXPECT_NO_THROW(request->Destroy(segment));
    segment.destroy_ptr(request);
}

TEST_F(RequestTest, AnEmptyOptionSetStillCreatesAndDestroysItsMap) {
    Request* request = Write(segment, "", "", {});
    ASSERT_NE(nullptr, segment.find<Request::OptionMap>("OptionMap").first);
    request->Settle(segment);
    EXPECT_TRUE(request->ToServerRequest()->options.empty());
    request->Destroy(segment);
    EXPECT_EQ(nullptr, segment.find<Request::OptionMap>("OptionMap").first);
    segment.destroy_ptr(request);
}

} // namespace
