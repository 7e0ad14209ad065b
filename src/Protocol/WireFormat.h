#ifndef ORVO_PROTOCOL_WIREFORMAT_H
#define ORVO_PROTOCOL_WIREFORMAT_H

#include <cstddef>

namespace Orvo {
namespace Browser {

// The constants of the protocol that worker and client both read and
// write, defined once here:
//
//   worker's objects  "Orvo_Browser_PID_Request": the request segment,
//                     with its channel's "..._Channel_Mutex" and
//                     "..._Channel_Condition"; "Orvo_Browser_PID_Ready":
//                     the ready marker (a named semaphore)
//   request record    in the request segment; its options in the map
//                     "NAMEOptionMap" of the same segment
//   client's objects  "OrvoClient_PID_N_...": result segments, each with
//                     a result channel under the segment's name
//   result record     detail and body "DEAD" when the worker was stopping;
//                     a field too large for the segment spills into a file
//                     "/tmp/_BWIMPL_XXXXXX" and holds "file:///" + its path
//   snapshot          FastLZ blocks of a 24-bit bitmap file whose header is
//                     BitmapHeaderLength bytes
namespace WireFormat {

constexpr char WorkerPrefix[] = "Orvo_Browser_";
constexpr char RequestSegmentSuffix[] = "_Request";
constexpr char ReadyMarkerSuffix[] = "_Ready";
constexpr char ChannelMutexSuffix[] = "_Channel_Mutex";
constexpr char ChannelConditionSuffix[] = "_Channel_Condition";
constexpr char ClientPrefix[] = "OrvoClient_";
constexpr char OptionMapSuffix[] = "OptionMap";

// The worker's request segment.
constexpr std::size_t RequestSegmentSize = 435200;
// The client library's result segments; the worker delivers into a
// segment of any size a client chooses.
constexpr std::size_t ResultSegmentSize = 8 << 20;

// The detail and the body of a dead answer.
constexpr char Dead[] = "DEAD";

// A rendered page's detail: its Last-Modified date, as Qt's date format
// writes it ("11/15/1994 12:45:26").
constexpr char LastModifiedPattern[] = "MM/dd/yyyy hh:mm:ss";

// Spill files: mkstemp's template, the names it makes (a pattern), and
// what a field holds in front of the file's path.
constexpr char SpillTemplate[] = "/tmp/_BWIMPL_XXXXXX";
constexpr char SpillNamePattern[] = "_BWIMPL_[A-Za-z0-9]{6}";
constexpr char SpillDirectory[] = "/tmp/";
constexpr char SpillReference[] = "file:///";

constexpr std::size_t BitmapHeaderLength = 54;

// Set by a client in the environment of a worker it starts: the client's
// process id. Such a worker ends when that process is no longer its parent.
constexpr char ParentPidVariable[] = "ORVO_PARENT_PID";

} // namespace WireFormat

} // namespace Browser
} // namespace Orvo

#endif
