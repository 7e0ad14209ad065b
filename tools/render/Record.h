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
    double ms = 0;  // from sending the request to its result
    bool done = false;
};

} // namespace Render
} // namespace Orvo

#endif
