#ifndef ORVO_CLIENT_RESULT_H
#define ORVO_CLIENT_RESULT_H

#include <string>

#include "Client/Snapshot.h"

namespace Orvo {
namespace Browser {
namespace Client {

// How a request ended, from the client's side.
enum class Outcome {
    Rendered,         // the page loaded; detail is its last-modified text
    NavigationError,  // the page failed; detail and status hold the HTTP status
                      // (empty and 0 when the server never answered)
    Dead,             // the worker answered "DEAD": it was stopping
    TimedOut,         // no answer within the client's own time limit
    WorkerGone,       // the worker ended without answering
    Failed            // the worker answered with an unusable record
};

const char* OutcomeName(Outcome outcome);

// One request's result, copied out of shared memory: file references are
// resolved to the files' contents (the files are removed) and the snapshot
// is decoded, or only sized by a client that keeps snapshots encoded.
struct Result {
    Outcome outcome = Outcome::Failed;
    std::string url;
    std::string name;
    std::string pageUrl;
    std::string detail;
    std::string body;
    // The snapshot field as sent: a FastLZ block and the bitmap's length.
    std::string encodedSnapshot;
    // Its picture; only its width and height (rgb empty) when the client
    // keeps snapshots encoded.
    Snapshot snapshot;
    // The HTTP status of a navigation error, else 0.
    int status = 0;
    // Why the outcome is Failed, TimedOut or WorkerGone.
    std::string error;

    // A result no worker gave: for url, with the outcome and why.
    static Result Unanswered(const std::string& url, Outcome outcome, const std::string& error);
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
