#ifndef ORVO_TOOLS_SERVE_RENDERPOOLS_H
#define ORVO_TOOLS_SERVE_RENDERPOOLS_H

#include <memory>

#include "RenderArguments.h"
#include "RenderPool.h"

namespace Orvo {
namespace Serve {

// The render pools of the engines the service runs: WebKit's always, and
// Chromium's when it is given workers (their workers start with --engine
// chromium). Started, stopped and counted together.
class RenderPools {
public:
    // chromiumWorkers: 0 for no Chromium engine; its pool takes webkit's
    // other settings.
    RenderPools(const RenderPool::Settings& webkit, int chromiumWorkers);

    RenderPools(const RenderPools&) = delete;
    RenderPools& operator=(const RenderPools&) = delete;

    // The pool of engine; nullptr when the service runs none.
    RenderPool* For(Engine engine);

    void Start();
    void Stop();

    // The pools' counts added up.
    RenderPool::Stats GetStats() const;

private:
    RenderPool webkit;
    std::unique_ptr<RenderPool> chromium;
};

} // namespace Serve
} // namespace Orvo

#endif
