#ifndef ORVO_TOOLS_RENDER_RECORD_H
#define ORVO_TOOLS_RENDER_RECORD_H

#include <cstddef>
#include <string>

#include "Client/Result.h"

namespace Orvo {
namespace Render {

// One URL of the run and what became of it.
struct Record {
    std::size_t index = 0;  // from 1, in input order
    std::string url;
    Browser::Client::Result result;
    double ms = 0;     // from sending the request to its result
    int attempts = 0;  // requests sent for the URL
    long pid = 0;      // the worker that answered or was last sent the URL
    std::string consumer;  // the fleet's instance that answered, HOST:PID
    std::string engine;    // the page engine of the workers the run started; empty for others
    bool done = false;
    // Set by the output writer before the payloads go to be written.
    std::string bodyFile;
    std::string imageFile;
    std::size_t bodyBytes = 0;

    // Moves the payloads (body, encoded and decoded snapshot) into a new
    // record that holds what writing the files needs; this one keeps the
    // rest, light enough to be kept for every URL of a long run.
    Record TakePayload() {
        Record payload;
        payload.index = index;
        payload.url = url;
        payload.bodyFile = bodyFile;
        payload.imageFile = imageFile;
        payload.result.outcome = result.outcome;
        payload.result.detail = result.detail;
        payload.result.body.swap(result.body);
        payload.result.encodedSnapshot.swap(result.encodedSnapshot);
        payload.result.snapshot.width = result.snapshot.width;
        payload.result.snapshot.height = result.snapshot.height;
        payload.result.snapshot.rgb.swap(result.snapshot.rgb);
        return payload;
    }
};

} // namespace Render
} // namespace Orvo

#endif
