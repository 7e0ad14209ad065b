#include "OutputWriter.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <QImage>
#include <QImageWriter>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>
#include <nlohmann/json.hpp>

#include "Client/SnapshotStream.h"

namespace Orvo {
namespace Render {

using Browser::Client::Outcome;

namespace {

// An XML serialisation starts with its own root element, never html; the
// engine's HTML dump starts with a doctype, an XML declaration or <html>,
// the compact form with <body>.
bool IsXml(const std::string& body) {
    if (body.empty() || body[0] != '<') {
        return false;
    }
    for (const char* html : {"<!doctype", "<?xml", "<html", "<body"}) {
        if (boost::algorithm::istarts_with(body, html)) {
            return false;
        }
    }
    return true;
}

nlohmann::ordered_json TextOrNull(const std::string& text, bool present) {
    return present ? nlohmann::ordered_json(text) : nlohmann::ordered_json(nullptr);
}

} // namespace

OutputWriter::OutputWriter(const Settings& settings) : settings(settings) {
    boost::system::error_code error;
    boost::filesystem::create_directories(settings.outDirectory, error);
    if (!boost::filesystem::is_directory(settings.outDirectory)) {
        throw std::runtime_error("cannot create the output directory " + settings.outDirectory);
    }
}

std::string OutputWriter::Number(std::size_t index) {
    char text[24];
    std::snprintf(text, sizeof text, "%04zu", index);
    return text;
}

std::string OutputWriter::Path(const std::string& name) const {
    return (boost::filesystem::path(settings.outDirectory) / name).string();
}

std::string OutputWriter::ResultsPath() const {
    return Path("results.jsonl");
}

void OutputWriter::Save(const std::string& name, const std::string& bytes) const {
    std::ofstream file(Path(name), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file) {
        std::remove(Path(name).c_str());
        throw std::runtime_error("cannot write " + Path(name));
    }
}

void OutputWriter::Name(Record& record) const {
    const Browser::Client::Result& result = record.result;
    record.bodyBytes = result.body.size();
    record.bodyFile.clear();
    record.imageFile.clear();
    if (result.outcome == Outcome::Rendered) {
        record.bodyFile = Number(record.index) + (IsXml(result.body) ? ".xml" : ".html");
    }
    if (!result.snapshot.Empty()) {
        record.imageFile = Number(record.index) + "." + settings.imageFormat;
    }
}

std::string OutputWriter::WriteFiles(const Record& record) const {
    const Browser::Client::Result& result = record.result;
    if (!record.bodyFile.empty()) {
        Save(record.bodyFile, result.body);
    }
    std::string unusable;
    if (!record.imageFile.empty() && result.snapshot.rgb.empty()) {
        unusable = SaveEncoded(record.imageFile, result);
    } else if (!record.imageFile.empty()) {
        SaveBmp(record.imageFile, result.snapshot);
    }
    const bool answered = result.outcome == Outcome::Rendered || result.outcome == Outcome::NavigationError
                          || result.outcome == Outcome::Dead;
    if (settings.raw && answered) {
        const std::string number = Number(record.index);
        Save(number + ".detail", result.detail);
        Save(number + ".body", result.body);
        Save(number + ".snapshot", result.encodedSnapshot);
    }
    return unusable;
}

void OutputWriter::Unusable(Record& record, const std::string& reason) {
    record.result.outcome = Outcome::Failed;
    record.result.error = reason;
    record.imageFile.clear();
}

// A snapshot left encoded, straight to its PNG at the run's zlib level or
// its JPEG at the run's quality.
std::string OutputWriter::SaveEncoded(const std::string& name, const Browser::Client::Result& result) const {
    Browser::Client::SnapshotStream stream;
    std::string image;
    std::string error;
    if (!stream.Open(result.encodedSnapshot, error)) {
        return error;
    }
    const bool made = settings.imageFormat == "jpeg"
                          ? stream.EncodeJpeg(settings.jpegQuality, stream.Width(), stream.Height(), image, error)
                          : stream.EncodePng(settings.pngLevel, stream.Width(), stream.Height(), image, error);
    if (!made) {
        return error;
    }
    Save(name, image);
    return std::string();
}

// A decoded snapshot through Qt's BMP writer.
void OutputWriter::SaveBmp(const std::string& name, const Browser::Client::Snapshot& snapshot) const {
    const QImage picture(snapshot.rgb.data(), snapshot.width, snapshot.height, 3 * snapshot.width,
                         QImage::Format_RGB888);
    QImageWriter writer(QString::fromStdString(Path(name)), "bmp");
    if (!writer.write(picture)) {
        throw std::runtime_error("cannot write " + Path(name) + ": " + writer.errorString().toStdString());
    }
}

std::string OutputWriter::JsonLine(const Record& record) {
    const Browser::Client::Result& result = record.result;
    const bool rendered = result.outcome == Outcome::Rendered;
    const bool navigationError = result.outcome == Outcome::NavigationError;
    nlohmann::ordered_json line;
    line["url"] = record.url;
    line["name"] = TextOrNull(result.name, !result.name.empty());
    line["pageUrl"] = TextOrNull(result.pageUrl, !result.pageUrl.empty());
    line["detail"] = TextOrNull(result.detail, !result.detail.empty());
    line["outcome"] = Browser::Client::OutcomeName(result.outcome);
    line["status"] = navigationError && result.status != 0 ? nlohmann::ordered_json(result.status) : nullptr;
    line["lastModified"] = TextOrNull(result.detail, rendered && !result.detail.empty());
    line["body"] = TextOrNull(record.bodyFile, !record.bodyFile.empty());
    line["snapshot"] = TextOrNull(record.imageFile, !record.imageFile.empty());
    line["width"] = result.snapshot.width;
    line["height"] = result.snapshot.height;
    line["bodyBytes"] = record.bodyBytes;
    line["ms"] = static_cast<long>(record.ms + 0.5);
    line["attempts"] = record.attempts;
    line["pid"] = record.pid != 0 ? nlohmann::ordered_json(record.pid) : nullptr;
    line["engine"] = TextOrNull(record.engine, !record.engine.empty());
    if (!record.consumer.empty()) {
        line["consumer"] = record.consumer;
    }
    if (!result.error.empty()) {
        line["error"] = result.error;
    }
    // Texts that are not UTF-8 (a URL as given, say) are kept readable.
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void OutputWriter::WriteResults(const std::vector<Record>& records) const {
    std::string lines;
    for (const Record& record : records) {
        lines += JsonLine(record) + "\n";
    }
    Save("results.jsonl", lines);
}

} // namespace Render
} // namespace Orvo
