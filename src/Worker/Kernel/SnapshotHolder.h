#ifndef ORVO_KERNEL_SNAPSHOTHOLDER_H
#define ORVO_KERNEL_SNAPSHOTHOLDER_H

#include <cstdint>
#include <utility>

#include <boost/shared_array.hpp>

// One snapshot encoded already, or none, carried from the main thread to
// the sender thread: a page's picture encoded as it was painted, so that no
// picture of the whole page is held. Copies share the bytes. The same hand
// over as ViewHolder's, for a snapshot with nothing left to encode.
class SnapshotHolder {
public:
    SnapshotHolder() = default;
    SnapshotHolder(boost::shared_array<char> bytes, std::uint32_t length) : bytes(std::move(bytes)), length(length) {}

    // The encoded snapshot (null and 0 without one).
    boost::shared_array<char> Encode(std::uint32_t* encodedLength) const {
        *encodedLength = bytes ? length : 0;
        return bytes;
    }

private:
    boost::shared_array<char> bytes;
    std::uint32_t length = 0;
};

#endif
