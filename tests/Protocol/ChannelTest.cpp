#include "Protocol/Channel.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/interprocess/sync/named_mutex.hpp>
#include <boost/interprocess/sync/named_semaphore.hpp>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Common/ChildProcess.h"
#include "Common/ScopedSegment.h"
#include "Protocol/ObjectName.h"
#include "Protocol/Segment.h"

namespace {

using Orvo::Browser::Segment;
using Orvo::Browser::String;

// A small record that lives in the segment.
struct Record {
    Record(Segment& segment, const std::string& text, int number)
        : text(text.begin(), text.end(), segment.get_segment_manager()), number(number) {}
    String text;
    int number;
};

typedef Orvo::Interprocess::Channel<Segment, Record> RecordChannel;

RecordChannel::Element NewRecord(Segment& segment, const std::string& text, int number) {
    return boost::interprocess::make_managed_unique_ptr(
        segment.construct<Record>(boost::interprocess::anonymous_instance)(segment, text, number), segment);
}

RecordChannel::Element Empty(Segment& segment) {
    return RecordChannel::Element(nullptr, segment.get_deleter<Record>());
}

std::string Text(const RecordChannel::Element& e) {
    return std::string(e->text.begin(), e->text.end());
}

bool NamedMutexExists(const std::string& name) {
    try {
        boost::interprocess::named_mutex mutex(boost::interprocess::open_only, name.c_str());
        return true;
    } catch (const boost::interprocess::interprocess_exception&) {
        return false;
    }
}

class ChannelTest : public ::testing::Test {
protected:
    ~ChannelTest() override {
        boost::interprocess::named_mutex::remove(MutexName().c_str());
        boost::interprocess::named_condition::remove((shared.name + "_Channel_Condition").c_str());
    }

    std::string MutexName() const { return shared.name + "_Channel_Mutex"; }

    // Starts a child that holds the channel's mutex for holdMs and returns
    // once it holds it.
    std::unique_ptr<OrvoTest::ChildProcess> HoldMutexElsewhere(int holdMs) {
        int ready[2];
        EXPECT_EQ(0, ::pipe(ready));
        auto holder = std::make_unique<OrvoTest::ChildProcess>([&] {
            boost::interprocess::named_mutex mutex(boost::interprocess::open_only, MutexName().c_str());
            mutex.lock();
            const bool told = ::write(ready[1], "!", 1) == 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            mutex.unlock();
            return told ? 0 : 1;
        });
        char signal;
        EXPECT_EQ(1, ::read(ready[0], &signal, 1));
        ::close(ready[0]);
        ::close(ready[1]);
        return holder;
    }

    OrvoTest::ScopedSegment shared;
    Segment& segment = shared.segment;
    const char* name = shared.name.c_str();
};

TEST_F(ChannelTest, RecordsPutByAnotherProcessComeOutInOrder) {
    auto channel = RecordChannel::Create(segment, name);
    const int count = 200;
    OrvoTest::ChildProcess writer([&] {
        Segment mapped(boost::interprocess::open_only, name);
        auto handle = RecordChannel::Get(mapped, name);
        for (int k = 0; k < count; ++k) {
            handle->Put(NewRecord(mapped, "record " + std::to_string(k), k), 5000);
        }
        return 0;
    });
    for (int k = 0; k < count; ++k) {
        auto out = Empty(segment);
        channel->Take(out, 10000);
        ASSERT_TRUE(out);
        EXPECT_EQ(k, out->number);
        EXPECT_EQ("record " + std::to_string(k), Text(out));
    }
    EXPECT_EQ(0, writer.Wait());
}

TEST_F(ChannelTest, ATakerInAnotherProcessWakesForEachPut) {
    auto channel = RecordChannel::Create(segment, name);
    OrvoTest::ChildProcess reader([&] {
        Segment mapped(boost::interprocess::open_only, name);
        auto handle = RecordChannel::Get(mapped, name);
        for (int k = 0; k < 3; ++k) {
            auto out = Empty(mapped);
            handle->Take(out, k == 0 ? 0 : 10000);
            if (!out || out->number != k) {
                return 10 + k;
            }
        }
        return 0;
    });
    for (int k = 0; k < 3; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        channel->Put(NewRecord(segment, "wake", k), 1000);
    }
    EXPECT_EQ(0, reader.Wait());
}

TEST_F(ChannelTest, TakeReturnsAQueuedRecordEvenWithANegativeTime) {
    auto channel = RecordChannel::Create(segment, name);
    channel->Put(NewRecord(segment, "ready", 1), 1000);
    auto out = Empty(segment);
    channel->Take(out, -5);
    ASSERT_TRUE(out);
    EXPECT_EQ("ready", Text(out));
}

TEST_F(ChannelTest, TakeOnAnEmptyChannelTimesOutAtItsDeadline) {
    auto channel = RecordChannel::Create(segment, name);
    auto out = Empty(segment);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(channel->Take(out, 100), Orvo::Interprocess::TimeOutException);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_FALSE(out);
}

TEST_F(ChannelTest, LockHeldByAnotherProcessTimesOutPutAndTake) {
    auto channel = RecordChannel::Create(segment, name);
    const auto holder = HoldMutexElsewhere(1000);
    auto record = NewRecord(segment, "kept", 1);
    EXPECT_THROW(channel->Put(std::move(record), 100), Orvo::Interprocess::TimeOutException);
    EXPECT_TRUE(record) << "a record that was not put stays with the caller";
    auto out = Empty(segment);
    EXPECT_THROW(channel->Take(out, 100), Orvo::Interprocess::TimeOutException);
    EXPECT_EQ(0, holder->Wait());
}

TEST_F(ChannelTest, GetOfAMissingChannelNamesIt) {
    try {
        RecordChannel::Get(segment, "NoSuchChannel");
        FAIL() << "Get should throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Unable to find NoSuchChannel", e.what());
    }
}

TEST_F(ChannelTest, CreateTwiceFailsWithTheLibrarysAlreadyExistsError) {
    auto first = RecordChannel::Create(segment, name);
    try {
        RecordChannel::Create(segment, name);
        FAIL() << "Create should throw";
    } catch (const boost::interprocess::interprocess_exception& e) {
        EXPECT_EQ(boost::interprocess::already_exists_error, e.get_error_code());
    }
    EXPECT_FALSE(NamedMutexExists(MutexName()))
        << "the second Create removes the names before it fails";
}

TEST_F(ChannelTest, DestroyHandsQueuedRecordsOverAndRemovesTheNames) {
    auto channel = RecordChannel::Create(segment, name);
    OrvoTest::ChildProcess writer([&] {
        Segment mapped(boost::interprocess::open_only, name);
        auto handle = RecordChannel::Get(mapped, name);
        for (int k = 0; k < 3; ++k) {
            handle->Put(NewRecord(mapped, "left", k), 1000);
        }
        return 0;
    });
    ASSERT_EQ(0, writer.Wait());
    std::vector<int> seen;
    RecordChannel::Destroy(
        segment, name,
        [&](RecordChannel::List& list) {
            for (const auto& e : list) {
                seen.push_back(e->number);
            }
        },
        1000);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), seen);
    EXPECT_FALSE(NamedMutexExists(MutexName()));
    EXPECT_THROW(RecordChannel::Get(segment, name), boost::interprocess::interprocess_exception)
        << "the list stays, the mutex and condition are gone";
    EXPECT_NE(nullptr, segment.find<RecordChannel::List>(name).first);
}

TEST_F(ChannelTest, DestroyWithAnEmptyListDoesNotCallBack) {
    auto channel = RecordChannel::Create(segment, name);
    bool called = false;
    RecordChannel::Destroy(
        segment, name, [&](RecordChannel::List&) { called = true; }, 1000);
    EXPECT_FALSE(called);
}

TEST_F(ChannelTest, DestroyIgnoresWhatTheCallbackThrows) {
    auto channel = RecordChannel::Create(segment, name);
    channel->Put(NewRecord(segment, "x", 1), 1000);
    EXPECT_NO_THROW(RecordChannel::Destroy(
        segment, name, [](RecordChannel::List&) { throw std::runtime_error("boom"); }, 1000));
    EXPECT_FALSE(NamedMutexExists(MutexName()));
}

TEST_F(ChannelTest, DestroyWithTheMutexHeldElsewhereSkipsTheCallbackAndStillRemoves) {
    auto channel = RecordChannel::Create(segment, name);
    channel->Put(NewRecord(segment, "x", 1), 1000);
    const auto holder = HoldMutexElsewhere(1000);
    bool called = false;
    RecordChannel::Destroy(
        segment, name, [&](RecordChannel::List&) { called = true; }, 100);
    EXPECT_FALSE(called);
    EXPECT_FALSE(NamedMutexExists(MutexName()));
    EXPECT_EQ(0, holder->Wait());
}

TEST_F(ChannelTest, NamesTooLongForTheBufferAreRejectedUncut) {
    // 493 characters plus "_Channel_Condition" fill the 512-byte buffer.
    const std::string tooLong(494, 'n');
    try {
        RecordChannel::Create(segment, tooLong.c_str());
        FAIL() << "Create should throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("Name too long")) << e.what();
    }
    EXPECT_EQ(nullptr, segment.find<RecordChannel::List>(tooLong.c_str()).first);
    EXPECT_THROW(RecordChannel::Get(segment, tooLong.c_str()), std::invalid_argument);
}

} // namespace
