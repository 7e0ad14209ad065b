#ifndef ORVO_CLIENT_FILEREFERENCE_H
#define ORVO_CLIENT_FILEREFERENCE_H

#include <string>

namespace Orvo {
namespace Browser {
namespace Client {

// A result field that names a temporary file instead of holding the bytes:
// "file:///" followed by the path of a worker's file "/tmp/_BWIMPL_XXXXXX".
// Nothing else is taken for a reference, so no other file is ever read or
// removed on a worker's word.
class FileReference {
public:
    // The referenced path, or false when field is no such reference.
    static bool Parse(const std::string& field, std::string& path);

    // Replaces a referenced field by the file's contents and removes the
    // file (or empties it, when it is the shared group's and this user may
    // not remove it). The file must be one SpillFiles::IsTrusted takes, of
    // at most 4 GiB; links are not followed and nothing blocks. Returns
    // false, with error saying why, otherwise (the file is left alone
    // then); fields that are no reference stay as they are.
    static bool Resolve(std::string& field, std::string& error);

    // Removes (or empties) the file a field references, if SpillFiles
    // takes it for a spill file.
    static void Discard(const std::string& field);
};

} // namespace Client
} // namespace Browser
} // namespace Orvo

#endif
