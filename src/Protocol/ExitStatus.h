#ifndef ORVO_PROTOCOL_EXITSTATUS_H
#define ORVO_PROTOCOL_EXITSTATUS_H

namespace Orvo {
namespace Browser {

// How a worker process ends, as its parent sees it. 0 is a normal end.
struct ExitStatus {
    // The configuration or the server could not be set up.
    static constexpr int StartupFailed = 1;
    // The main thread did not come back to its event loop in time.
    static constexpr int MainThreadStuck = 3;
    // The request channel's lock stayed taken (its holder died with it).
    static constexpr int ChannelWedged = 4;
    // The worker retired by its recycling limits, every request it was
    // sent answered.
    static constexpr int Recycled = 5;
    // The Chromium engine's browser ended: a fresh worker brings a fresh
    // browser.
    static constexpr int BrowserLost = 6;
};

} // namespace Browser
} // namespace Orvo

#endif
