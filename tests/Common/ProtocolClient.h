#ifndef ORVO_TESTS_PROTOCOLCLIENT_H
#define ORVO_TESTS_PROTOCOLCLIENT_H

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Protocol/Request.h"
#include "Protocol/Segment.h"

namespace OrvoTest {

// A client of a worker written from the shared-memory protocol alone, not
// with the client library: it makes its result segments in sizes of its own
// choosing and puts request records into the worker's request channel under
// the channel's lock itself, several in one hold of the lock if it likes,
// as any client may. Request names are PREFIX_N, so that the worker knows
// each ProtocolClient as one client. Its result segments and channels are
// removed with it.
class ProtocolClient {
public:
    struct Record {
        std::string url;
        // Empty for a record that ends serving.
        std::string name;
        Orvo::Browser::Request::Options options;
        // Entries put into the option map as they stand, as a client that
        // does not use the library's writer may: any key, any text.
        std::map<std::string, std::string> texts;
    };

    struct Answer {
        std::string pageUrl;
        std::string detail;
        std::string body;
        std::size_t snapshotBytes = 0;
    };

    ProtocolClient(long workerPid, const std::string& prefix);
    ~ProtocolClient();
    ProtocolClient(const ProtocolClient&) = delete;
    ProtocolClient& operator=(const ProtocolClient&) = delete;

    // Whether the worker's ready marker appears within timeoutMs.
    static bool AwaitReady(long workerPid, int timeoutMs);

    // Makes a result segment of bytes bytes with its result channel under a
    // new request name, and returns the name.
    std::string NewName(std::size_t bytes = 8 << 20);

    // A record with empty url and name: it ends the worker's serving.
    static Record EndOfServing() { return Record(); }

    // Puts the records into the worker's request channel, in this order,
    // holding the channel's lock once for all of them.
    void Put(const std::vector<Record>& records);
    void Put(const std::string& url, const std::string& name,
             const Orvo::Browser::Request::Options& options = {},
             const std::map<std::string, std::string>& texts = {});

    // Takes the next result delivered under name, waiting up to timeoutMs;
    // false when none came.
    bool Take(const std::string& name, Answer& answer, int timeoutMs);

private:
    long workerPid;
    std::string prefix;
    std::map<std::string, std::unique_ptr<Orvo::Browser::Segment>> results;
};

} // namespace OrvoTest

#endif
