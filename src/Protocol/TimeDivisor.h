#ifndef ORVO_PROTOCOL_TIMEDIVISOR_H
#define ORVO_PROTOCOL_TIMEDIVISOR_H

namespace Orvo {
namespace Browser {

// The one test-only setting: the environment variable
// ORVO_TEST_TIME_DIVISOR (a whole number from 1) divides the long waits of
// every program of the system (the worker's, the service's), so that tests
// can see idle stops, grace periods and time-outs end. It is read once.
class TimeDivisor {
public:
    // ms divided by the divisor, at least 1: 0 would mean no limit.
    static int Scaled(int ms);

private:
    static int Divisor();
};

} // namespace Browser
} // namespace Orvo

#endif
