#ifndef ORVO_TOOLS_RENDER_OUTPUTWRITER_H
#define ORVO_TOOLS_RENDER_OUTPUTWRITER_H

#include <string>
#include <vector>

#include "Record.h"
#include "Settings.h"

namespace Orvo {
namespace Render {

// Writes what a run produced into the output directory: for the URL
// numbered N (0001, 0002, ...) N.html or N.xml with the body, N.png, N.jpeg
// or N.bmp with the snapshot, with --raw also N.detail, N.body and
// N.snapshot holding the fields byte for byte; and results.jsonl, one JSON
// object per URL in input order.
class OutputWriter {
public:
    // Creates the directory; throws std::runtime_error when it cannot.
    explicit OutputWriter(const Settings& settings);

    // Sets the record's file names and body size from its result.
    void Name(Record& record) const;

    // Writes the files of a named record (or of its payload). A snapshot
    // left encoded is made into its PNG or JPEG as it decodes; when its rows
    // prove unusable no image is written and the reason is returned (else
    // empty):
    // the record is to be failed with it (Unusable). Throws
    // std::runtime_error when a file cannot be written. Safe to call from
    // several threads at once for different records.
    std::string WriteFiles(const Record& record) const;

    // Fails a named record whose snapshot proved unusable, for that reason.
    static void Unusable(Record& record, const std::string& reason);

    // Writes results.jsonl for every record.
    void WriteResults(const std::vector<Record>& records) const;

    std::string ResultsPath() const;

    static std::string Number(std::size_t index);
    // One line of results.jsonl, for a named record.
    static std::string JsonLine(const Record& record);

private:
    std::string Path(const std::string& name) const;
    void Save(const std::string& name, const std::string& bytes) const;
    void SaveBmp(const std::string& name, const Browser::Client::Snapshot& snapshot) const;
    std::string SaveEncoded(const std::string& name, const Browser::Client::Result& result) const;

    const Settings& settings;
};

} // namespace Render
} // namespace Orvo

#endif
