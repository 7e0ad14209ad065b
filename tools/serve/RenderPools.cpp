#include "RenderPools.h"

namespace Orvo {
namespace Serve {

namespace {

RenderPool::Settings ChromiumSettings(RenderPool::Settings settings, int workers) {
    settings.workers = workers;
    settings.workerArguments = {"--engine", EngineName(Engine::Chromium)};
    return settings;
}

} // namespace

RenderPools::RenderPools(const RenderPool::Settings& webkit, int chromiumWorkers) : webkit(webkit) {
    if (chromiumWorkers > 0) {
        chromium.reset(new RenderPool(ChromiumSettings(webkit, chromiumWorkers)));
    }
}

RenderPool* RenderPools::For(Engine engine) {
    return engine == Engine::Chromium ? chromium.get() : &webkit;
}

void RenderPools::Start() {
    webkit.Start();
    if (chromium) {
        chromium->Start();
    }
}

void RenderPools::Stop() {
    webkit.Stop();
    if (chromium) {
        chromium->Stop();
    }
}

RenderPool::Stats RenderPools::GetStats() const {
    RenderPool::Stats stats = webkit.GetStats();
    if (chromium) {
        const RenderPool::Stats more = chromium->GetStats();
        stats.queued += more.queued;
        stats.busyWorkers += more.busyWorkers;
        stats.readyWorkers += more.readyWorkers;
        stats.restartedWorkers += more.restartedWorkers;
        stats.recycledWorkers += more.recycledWorkers;
    }
    return stats;
}

} // namespace Serve
} // namespace Orvo
