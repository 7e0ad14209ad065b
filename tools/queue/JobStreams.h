#ifndef ORVO_TOOLS_QUEUE_JOBSTREAMS_H
#define ORVO_TOOLS_QUEUE_JOBSTREAMS_H

#include <map>
#include <string>
#include <vector>

#include "RedisConnection.h"

namespace Orvo {
namespace Queue {

// The Redis streams of one queue NAME, shared by those who add jobs and
// those who render them:
//
//   NAME:jobs     jobs: id (the caller's), endpoint (render.html, ...),
//                 args (a JSON object of the HTTP API's arguments),
//                 reply (optional: the stream for the result)
//   NAME          the consumer group that renders NAME:jobs, its only
//                 reader: a job ended is deleted from the stream
//   NAME:results  results, unless a job names its own reply stream: id,
//                 status, content_type, body, attempts, consumer, ms, and
//                 error (the JSON error object) when status is not 200
//   NAME:dead     jobs given up after too many deliveries: the job's
//                 fields, its stream entry (entry), attempts and error
struct JobStreams {
    explicit JobStreams(const std::string& name)
        : jobs(name + ":jobs"), group(name), results(name + ":results"), dead(name + ":dead") {}

    const std::string jobs;
    const std::string group;
    const std::string results;
    const std::string dead;
};

// One entry of a stream as XRANGE, XREADGROUP or XAUTOCLAIM give it.
struct StreamEntry {
    std::string id;
    std::map<std::string, std::string> fields;

    // The field's value, or empty.
    std::string Field(const std::string& name) const {
        const auto found = fields.find(name);
        return found == fields.end() ? std::string() : found->second;
    }

    // The entries of an array of [id, [field, value, ...]]; an entry
    // deleted from its stream (nil fields) is left out.
    static std::vector<StreamEntry> List(const RedisReply& array) {
        std::vector<StreamEntry> entries;
        for (const RedisReply& item : array.elements) {
            if (item.elements.size() != 2 || item.elements[1].Nil()) {
                continue;
            }
            StreamEntry entry;
            entry.id = item.elements[0].text;
            const std::vector<RedisReply>& pairs = item.elements[1].elements;
            for (std::size_t k = 0; k + 1 < pairs.size(); k += 2) {
                entry.fields[pairs[k].text] = pairs[k + 1].text;
            }
            entries.push_back(std::move(entry));
        }
        return entries;
    }
};

} // namespace Queue
} // namespace Orvo

#endif
