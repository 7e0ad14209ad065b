#ifndef ORVO_KERNEL_NAVIGATIONSTATUS_H
#define ORVO_KERNEL_NAVIGATIONSTATUS_H

namespace Orvo {
namespace Browser {

// Whether a main document's HTTP status makes its page a failed
// navigation, whichever engine loaded it: 400 to 415, 449, and 500 to 505.
inline bool IsFailedNavigationStatus(int code) {
    return (code >= 400 && code <= 415) || code == 449 || (code >= 500 && code <= 505);
}

} // namespace Browser
} // namespace Orvo

#endif
