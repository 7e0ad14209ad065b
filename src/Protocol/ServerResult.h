#ifndef ORVO_PROTOCOL_SERVERRESULT_H
#define ORVO_PROTOCOL_SERVERRESULT_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_array.hpp>

#include "Protocol/Segment.h"
#include "Protocol/SnapshotEncoder.h"
#include "Protocol/WireFormat.h"

namespace Orvo {
namespace Browser {

// The record through which the worker returns one request's outcome: four
// strings of the client's result segment and nothing else. pageUrl is the
// page's URL, detail its last-modified text, a failed navigation's HTTP
// status or "DEAD", body the page's HTML or XML (or "DEAD"), snapshot the
// encoded snapshot (a FastLZ block of the bitmap and its 4-byte length), or
// empty.
//
// Payloads beyond SizeLimit bytes in all travel in temporary files: first
// the snapshot, then, if still needed, the body is written to a file made
// from "/tmp/_BWIMPL_XXXXXX", and the field holds "file:///" followed by the
// file's path instead. The reader owns those files. When the record cannot
// be brought under the limit, or a file cannot be written, all four fields
// stay empty and the files written on the way are removed.
class ServerResult {
public:
    static constexpr std::size_t SizeLimit = 4194303;
    // The size of the client library's result segments, each of which
    // holds one result channel. The worker delivers into a segment of any
    // size a client chooses.
    static constexpr std::size_t SegmentSize = WireFormat::ResultSegmentSize;
    static constexpr std::uint32_t WriteFailed = 0xFFFFFFFFu;

    // Builds the record in the segment whose manager allocates it. An empty
    // view (width or height 0) means no snapshot.
    template <class View>
    ServerResult(const Segment& segment, const char* url, const char* detail, const char* body, const View& view)
        : pageUrl(segment.get_segment_manager()),
          detail(segment.get_segment_manager()),
          body(segment.get_segment_manager()),
          snapshot(segment.get_segment_manager()) {
        std::uint32_t snapshotLength = 0;
        const boost::shared_array<char> encoded = SnapshotEncoder::Encode(view, &snapshotLength);
        Fill(url, detail, body, encoded ? encoded.get() : "", snapshotLength);
    }

    // Builds the record with a snapshot already encoded (snapshotLength 0
    // for none).
    ServerResult(const Segment& segment, const char* url, const char* detail, const char* body,
                 const char* encodedSnapshot, std::uint32_t snapshotLength)
        : pageUrl(segment.get_segment_manager()),
          detail(segment.get_segment_manager()),
          body(segment.get_segment_manager()),
          snapshot(segment.get_segment_manager()) {
        Fill(url, detail, body, encodedSnapshot, snapshotLength);
    }

    // Writes length bytes of data (its NUL-terminated length when length is
    // 0) to a new temporary file and sets reference to "file:///" followed by
    // the file's path. Returns the bytes written, or WriteFailed when the
    // file cannot be created or a write or the close fails; no file is left
    // behind then.
    std::uint32_t StoreToFile(std::string& reference, const char* data, std::uint32_t length) const;

    String pageUrl;
    String detail;
    String body;
    String snapshot;

private:
    void Fill(const char* url, const char* detailText, const char* bodyText, const char* snapshotBytes,
              std::uint32_t snapshotLength);
};

} // namespace Browser
} // namespace Orvo

#endif
