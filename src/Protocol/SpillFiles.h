#ifndef ORVO_PROTOCOL_SPILLFILES_H
#define ORVO_PROTOCOL_SPILLFILES_H

#include <cstddef>
#include <string>

#include <sys/stat.h>

namespace Orvo {
namespace Interprocess {

// The temporary files "/tmp/_BWIMPL_XXXXXX" in which result fields too
// large for a client's segment travel. A worker creates them, the client
// that reads one removes it. They are private to the worker's user (0600),
// or with a shared group (SharedAccess) the group's too (0660, owned by the
// group). A client of another user in that group may read such a file but,
// /tmp being sticky, not remove it: it empties the file instead, and the
// worker's user sweeps it away later.
class SpillFiles {
public:
    // Creates a new, empty spill file open for writing and sets path to its
    // name. Returns the descriptor, or -1 (leaving no file) on failure.
    static int Create(std::string& path);

    // Whether a file with this status may be taken for a spill file: a
    // regular file of this user with mode 0600, or, with a shared group, of
    // that group with mode 0660.
    static bool IsTrusted(const struct stat& status);

    // Removes the file at path, whose status was taken from an open
    // descriptor; when this user may not, empties it instead, provided path
    // still names that file.
    static void Remove(const std::string& path, const struct stat& status);

    // Removes the spill files in directory that belong to this user and
    // were last written more than maxAgeSeconds ago: a client reads its
    // files as soon as their record arrives, so such a file was left by a
    // client that died, or emptied by one of another user. Returns how many
    // it removed.
    static std::size_t SweepStale(long maxAgeSeconds = 3600, const std::string& directory = "/tmp");
};

} // namespace Interprocess
} // namespace Orvo

#endif
