#ifndef ORVO_TOOLS_RENDER_OUTPUTWRITER_H
#define ORVO_TOOLS_RENDER_OUTPUTWRITER_H

#include <string>
#include <vector>

#include "Record.h"
#include "Settings.h"

namespace Orvo {
namespace Render {

// Writes what a run produced into the output directory: for the URL
// numbered N (0001, 0002, ...) N.html or N.xml with the body, N.png or N.bmp
// with the decoded snapshot, with --raw also N.detail, N.body and
// N.snapshot holding the fields byte for byte; and results.jsonl, one JSON
// object per URL in input order.
class OutputWriter {
public:
    // Creates the directory; throws std::runtime_error when it cannot.
    explicit OutputWriter(const Settings& settings);

    // Writes one record's files. Throws std::runtime_error when a file
    // cannot be written.
    void WriteFiles(const Record& record);

    // Writes results.jsonl for every record.
    void WriteResults(const std::vector<Record>& records);

    std::string ResultsPath() const;

    static std::string Number(std::size_t index);
    static std::string JsonLine(const Record& record, const std::string& bodyFile, const std::string& imageFile);

private:
    std::string Path(const std::string& name) const;
    void Save(const std::string& name, const std::string& bytes) const;
    std::string BodyFile(const Record& record) const;
    std::string ImageFile(const Record& record) const;

    const Settings& settings;
};

} // namespace Render
} // namespace Orvo

#endif
