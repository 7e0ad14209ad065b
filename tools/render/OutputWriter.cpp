#include "OutputWriter.h"

#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <QImage>
#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

namespace Orvo {
namespace Render {

using Browser::Client::Outcome;

namespace {

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonOrNull(const std::string& text, bool present) {
    return present ? Json(text) : "null";
}

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
        throw std::runtime_error("cannot write " + Path(name));
    }
}

std::string OutputWriter::BodyFile(const Record& record) const {
    if (record.result.outcome != Outcome::Rendered) {
        return std::string();
    }
    return Number(record.index) + (IsXml(record.result.body) ? ".xml" : ".html");
}

std::string OutputWriter::ImageFile(const Record& record) const {
    if (record.result.snapshot.Empty()) {
        return std::string();
    }
    return Number(record.index) + "." + settings.imageFormat;
}

void OutputWriter::WriteFiles(const Record& record) {
    const Browser::Client::Result& result = record.result;
    const std::string body = BodyFile(record);
    if (!body.empty()) {
        Save(body, result.body);
    }
    const std::string image = ImageFile(record);
    if (!image.empty()) {
        const QImage picture(result.snapshot.rgb.data(), result.snapshot.width, result.snapshot.height,
                             3 * result.snapshot.width, QImage::Format_RGB888);
        if (!picture.save(QString::fromStdString(Path(image)), settings.imageFormat == "png" ? "PNG" : "BMP")) {
            throw std::runtime_error("cannot write " + Path(image));
        }
    }
    const bool answered = result.outcome == Outcome::Rendered || result.outcome == Outcome::NavigationError
                          || result.outcome == Outcome::Dead;
    if (settings.raw && answered) {
        const std::string number = Number(record.index);
        Save(number + ".detail", result.detail);
        Save(number + ".body", result.body);
        Save(number + ".snapshot", result.encodedSnapshot);
    }
}

std::string OutputWriter::JsonLine(const Record& record, const std::string& bodyFile, const std::string& imageFile) {
    const Browser::Client::Result& result = record.result;
    const bool rendered = result.outcome == Outcome::Rendered;
    const bool navigationError = result.outcome == Outcome::NavigationError;
    std::string line = "{\"url\":" + Json(record.url);
    line += ",\"name\":" + JsonOrNull(result.name, !result.name.empty());
    line += ",\"pageUrl\":" + JsonOrNull(result.pageUrl, !result.pageUrl.empty());
    line += ",\"detail\":" + JsonOrNull(result.detail, !result.detail.empty());
    line += ",\"outcome\":" + Json(Browser::Client::OutcomeName(result.outcome));
    line += ",\"status\":" + (navigationError && result.status != 0 ? std::to_string(result.status) : "null");
    line += ",\"lastModified\":" + JsonOrNull(result.detail, rendered && !result.detail.empty());
    line += ",\"body\":" + JsonOrNull(bodyFile, !bodyFile.empty());
    line += ",\"snapshot\":" + JsonOrNull(imageFile, !imageFile.empty());
    line += ",\"width\":" + std::to_string(result.snapshot.width);
    line += ",\"height\":" + std::to_string(result.snapshot.height);
    line += ",\"bodyBytes\":" + std::to_string(result.body.size());
    line += ",\"ms\":" + std::to_string(static_cast<long>(record.ms + 0.5));
    if (!result.error.empty()) {
        line += ",\"error\":" + Json(result.error);
    }
    return line + "}";
}

void OutputWriter::WriteResults(const std::vector<Record>& records) {
    std::string lines;
    for (const Record& record : records) {
        lines += JsonLine(record, BodyFile(record), ImageFile(record)) + "\n";
    }
    Save("results.jsonl", lines);
}

} // namespace Render
} // namespace Orvo
