#ifndef ORVO_PROTOCOL_DEADLINE_H
#define ORVO_PROTOCOL_DEADLINE_H

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Orvo {
namespace Interprocess {

// Absolute deadlines in UTC, as the interprocess library's timed locks and
// waits expect them. A timed operation computes its deadline once, at its
// start, and uses it for every lock and wait inside.
class Deadline {
public:
    // The longest time a channel operation waits: about 24.8 days.
    static constexpr int Unlimited = 2147483647;

    // Now plus ms milliseconds; a negative time gives a deadline in the past.
    static boost::posix_time::ptime After(int ms) {
        return boost::posix_time::microsec_clock::universal_time() + boost::posix_time::milliseconds(ms);
    }

    // As After, with 0 standing for the longest time.
    static boost::posix_time::ptime ForChannel(int ms) { return After(ms == 0 ? Unlimited : ms); }
};

} // namespace Interprocess
} // namespace Orvo

#endif
