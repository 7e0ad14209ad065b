#include "Reply.h"

#include <algorithm>

#include <QByteArray>
#include <boost/algorithm/string/find.hpp>
#include <boost/beast/http/status.hpp>

#include "HttpArchive.h"
#include "ImageEncoder.h"

namespace Orvo {
namespace Serve {

using Browser::Client::Result;

namespace {

const char* const JsonType = "application/json";

std::string Base64(const std::string& bytes) {
    return QByteArray::fromRawData(bytes.data(), static_cast<int>(bytes.size())).toBase64().toStdString();
}

// Appends the UTF-8 form of a code point (replacement character for one
// that is not a character).
void AppendUtf8(unsigned long code, std::string& out) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        code = 0xFFFD;
    }
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Decodes the character references the engine writes into text: the
// numeric ones and amp, lt, gt, quot, apos and nbsp. Others stay as
// they are.
std::string DecodeReferences(const std::string& text) {
    static const std::pair<const char*, unsigned long> named[] = {
        {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", 0xA0}};
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const std::size_t end = text[k] == '&' ? text.find(';', k) : std::string::npos;
        if (end == std::string::npos || end - k > 10) {
            out += text[k];
            continue;
        }
        const std::string name = text.substr(k + 1, end - k - 1);
        unsigned long code = 0;
        bool known = false;
        if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string digits = name.substr(hex ? 2 : 1);
            char* stop = nullptr;
            code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
            known = !digits.empty() && *stop == '\0';
        }
        for (const auto& entry : named) {
            if (name == entry.first) {
                code = entry.second;
                known = true;
            }
        }
        if (!known) {
            out += text[k];
            continue;
        }
        AppendUtf8(code, out);
        k = end;
    }
    return out;
}

Reply Image(Endpoint endpoint, const RenderArguments& arguments, const Result& result) {
    Reply reply;
    std::string error;
    const bool jpeg = endpoint == Endpoint::Jpeg;
    if (!ImageEncoder::Encode(result, jpeg ? ImageEncoder::Format::Jpeg : ImageEncoder::Format::Png,
                              arguments, reply.body, error)) {
        return Reply::Error(500, "InternalError", "The snapshot could not be encoded", {{"reason", error}},
                            Reply::Outcome::Internal);
    }
    reply.contentType = jpeg ? "image/jpeg" : "image/png";
    return reply;
}

// value's member key when it has the type of fallback, else fallback: the
// worker's description is read without trusting its shape.
template <class T>
T Member(const nlohmann::json& value, const char* key, const T& fallback) {
    if (!value.is_object() || !value.contains(key)) {
        return fallback;
    }
    const nlohmann::json& member = value[key];
    const nlohmann::json like = fallback;
    const bool sameType = member.type() == like.type() || (member.is_number() && like.is_number());
    return sameType ? member.get<T>() : fallback;
}

// The main document's responses as HAR entries: request method and URL,
// response status, status text and headers.
nlohmann::json History(const nlohmann::json& info) {
    nlohmann::json entries = nlohmann::json::array();
    for (const nlohmann::json& response : Member(info, "history", nlohmann::json::array())) {
        nlohmann::json headers = nlohmann::json::array();
        for (const nlohmann::json& header : Member(response, "headers", nlohmann::json::array())) {
            if (header.is_array() && header.size() == 2 && header[0].is_string() && header[1].is_string()) {
                headers.push_back({{"name", header[0]}, {"value", header[1]}});
            }
        }
        entries.push_back(
            {{"request",
              {{"method", Member(response, "method", std::string())}, {"url", Member(response, "url", std::string())}}},
             {"response",
              {{"status", Member(response, "status", 0)},
               {"statusText", Member(response, "reason", std::string())},
               {"headers", headers}}}});
    }
    return entries;
}

// The worker's child frames in the API's form: each with its url (also as
// requestedUrl), title, frameName, geometry, childFrames and, with html,
// its html.
nlohmann::json ChildFrames(const nlohmann::json& frames, bool html) {
    nlohmann::json children = nlohmann::json::array();
    for (const nlohmann::json& frame : frames) {
        const std::string url = Member(frame, "url", std::string());
        nlohmann::json child{{"url", url},
                             {"requestedUrl", url},
                             {"title", Member(frame, "title", std::string())},
                             {"frameName", Member(frame, "name", std::string())},
                             {"geometry", Member(frame, "geometry", nlohmann::json::array({0, 0, 0, 0}))},
                             {"childFrames", ChildFrames(Member(frame, "frames", nlohmann::json::array()), html)}};
        if (html) {
            child["html"] = Member(frame, "html", std::string());
        }
        children.push_back(std::move(child));
    }
    return children;
}

Reply Page(const RenderArguments& arguments, const Result& result, const nlohmann::json& info) {
    nlohmann::json page = {{"url", Member(info, "url", arguments.url)},
                           {"requestedUrl", arguments.url},
                           {"title", Reply::PageTitle(result.body)},
                           {"geometry", {0, 0, arguments.viewportWidth, arguments.viewportHeight}},
                           {"engine", EngineName(arguments.engine)}};
    if (arguments.html) {
        page["html"] = result.body;
    }
    if (arguments.history) {
        page["history"] = History(info);
        if (arguments.responseBodies) {
            HttpArchive::AddContent(info, page["history"]);
        }
    }
    if (arguments.har) {
        page["har"] = HttpArchive::Of(info);
    }
    if (arguments.cookiesOut) {
        page["cookies"] = Member(info, "cookies", nlohmann::json::array());
    }
    if (arguments.scriptResult) {
        page["script"] = info.is_object() && info.contains("script") ? info["script"] : nlohmann::json();
    }
    if (arguments.console) {
        page["console"] = Member(info, "console", nlohmann::json::array());
    }
    if (arguments.iframes) {
        page["frameName"] = "";
        page["childFrames"] = ChildFrames(Member(info, "frames", nlohmann::json::array()), arguments.html);
    }
    for (const Endpoint image : {Endpoint::Png, Endpoint::Jpeg}) {
        const bool asked = image == Endpoint::Png ? arguments.png : arguments.jpeg;
        if (asked) {
            const Reply picture = Image(image, arguments, result);
            if (picture.status != 200) {
                return picture;
            }
            page[image == Endpoint::Png ? "png" : "jpeg"] = Base64(picture.body);
        }
    }
    return Reply::Json(page);
}

// Whether text can stand in a header: a line break would end the header
// and let what follows forge others, or a second answer.
bool OneLine(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

// A script's answer: the detail says the status, type and headers of the
// result in the body, or why the script failed.
Reply Scripted(const RenderArguments& arguments, const Result& result) {
    const nlohmann::json detail = nlohmann::json::parse(result.detail, nullptr, false);
    if (!detail.is_object()) {
        return Reply::Error(500, "InternalError", "The worker's answer could not be used",
                            {{"reason", "the script's answer is not a JSON object"}}, Reply::Outcome::Internal);
    }
    if (detail.contains("error")) {
        const nlohmann::json& error = detail["error"];
        if (Member(error, "type", std::string()) == "GlobalTimeoutError") {
            return Reply::TimedOut(arguments);
        }
        return Reply::Error(400, "ScriptError", "Error happened while executing Lua script",
                            Member(error, "info", nlohmann::json::object()), Reply::Outcome::ScriptError);
    }
    Reply reply;
    reply.status = Member(detail, "status", 200);
    reply.contentType = Member(detail, "contentType", std::string("text/plain; charset=utf-8"));
    for (const nlohmann::json& header : Member(detail, "headers", nlohmann::json::array())) {
        if (header.is_array() && header.size() == 2 && header[0].is_string() && header[1].is_string()) {
            reply.headers.emplace_back(header[0].get<std::string>(), header[1].get<std::string>());
        }
    }
    if (!OneLine(reply.contentType) || !std::all_of(reply.headers.begin(), reply.headers.end(), [](const auto& h) {
            return OneLine(h.first) && OneLine(h.second);
        })) {
        return Reply::Error(500, "InternalError", "The worker's answer could not be used",
                            {{"reason", "a header of the script's result holds a line break"}},
                            Reply::Outcome::Internal);
    }
    reply.body = result.body;
    if (Member(detail, "encoding", std::string()) == "base64") {
        reply.body = QByteArray::fromBase64(QByteArray::fromStdString(result.body)).toStdString();
    }
    return reply;
}

} // namespace

const char* Reply::Label(Outcome outcome) {
    static const char* const Labels[] = {"ok",           "bad_option",          "bad_method",  "bad_request",
                                         "not_found",    "unauthorized",        "expired_arguments",
                                         "too_large",    "internal",            "render_error",
                                         "script_error", "timeout",             "stopping",    "queue_full",
                                         "worker_lost",  "too_many_connections", "too_many_deliveries"};
    static_assert(sizeof Labels / sizeof Labels[0] == static_cast<std::size_t>(Outcome::TooManyDeliveries) + 1,
                  "a label for each outcome");
    return Labels[static_cast<std::size_t>(outcome)];
}

Reply Reply::Error(int status, const std::string& type, const std::string& description, nlohmann::json info,
                   Outcome outcome) {
    Reply reply;
    reply.status = status;
    reply.contentType = JsonType;
    reply.body = nlohmann::json{{"error", status}, {"type", type}, {"description", description}, {"info", info}}
                     .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    reply.outcome = outcome;
    return reply;
}

Reply Reply::BadOption(const BadArgument& bad) {
    return Error(400, "BadOption", "Incorrect HTTP API arguments",
                 {{"type", "bad_argument"}, {"argument", bad.argument}, {"description", bad.what()}},
                 Outcome::BadOption);
}

Reply Reply::Unanswerable(const std::exception& e) {
    return Error(500, "InternalError", "The request could not be answered", {{"reason", e.what()}},
                 Outcome::Internal);
}

Reply Reply::Json(const nlohmann::json& value) {
    Reply reply;
    reply.contentType = JsonType;
    reply.body = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return reply;
}

Reply Reply::TimedOut(const RenderArguments& arguments) {
    return Error(504, "GlobalTimeoutError", "Timeout exceeded rendering page",
                 {{"url", arguments.url}, {"timeout", arguments.timeoutMs / 1000.0}}, Reply::Outcome::Timeout);
}

Reply Reply::Rendered(Endpoint endpoint, const RenderArguments& arguments, const Result& result,
                      const nlohmann::json* described) {
    switch (result.outcome) {
    case Browser::Client::Outcome::Rendered:
        break;
    case Browser::Client::Outcome::NavigationError:
        return RenderFailed(arguments, result.status, std::string());
    case Browser::Client::Outcome::TimedOut:
        return TimedOut(arguments);
    case Browser::Client::Outcome::Dead:
    case Browser::Client::Outcome::WorkerGone: {
        Reply reply = Error(503, "WorkerUnavailable", "The page's worker ended before it answered",
                            {{"url", arguments.url}, {"reason", result.error}}, Reply::Outcome::WorkerLost);
        reply.headers.push_back({"Retry-After", "1"});
        return reply;
    }
    case Browser::Client::Outcome::Failed:
        return Error(500, "InternalError", "The worker's answer could not be used",
                     {{"url", arguments.url}, {"reason", result.error}}, Reply::Outcome::Internal);
    }
    if (IsScript(endpoint)) {
        return Scripted(arguments, result);
    }
    nlohmann::json parsed;
    const nlohmann::json& info = described != nullptr ? *described
                                                      : (parsed = nlohmann::json::parse(result.body, nullptr, false));
    if (!info.is_object() || !info.contains("html") || !info["html"].is_string()) {
        return Error(500, "InternalError", "The worker's answer could not be used",
                     {{"url", arguments.url}, {"reason", "the page's description is not a JSON object"}},
                     Reply::Outcome::Internal);
    }
    const int status = Member(info, "status", 0);
    if (status >= 400) {
        return RenderFailed(arguments, status, Member(info, "reason", std::string()));
    }
    if (!Member(info, "ok", false)) {
        // Failed with no error status: unreachable, refused by a proxy, or
        // aborted for its content type.
        return RenderFailed(arguments, 0, Member(info, "error", std::string()));
    }
    Result page = result;
    page.body = info["html"].get<std::string>();
    if (endpoint == Endpoint::Png || endpoint == Endpoint::Jpeg) {
        return Image(endpoint, arguments, page);
    }
    if (endpoint == Endpoint::Json) {
        return Page(arguments, page, info);
    }
    if (endpoint == Endpoint::Har) {
        return Json(HttpArchive::Of(info));
    }
    Reply reply;
    reply.contentType = "text/html; charset=utf-8";
    reply.body = page.body;
    return reply;
}

Reply Reply::RenderFailed(const RenderArguments& arguments, int status, const std::string& reason) {
    nlohmann::json info = {{"url", arguments.url}};
    if (status != 0) {
        info["type"] = "HTTP";
        info["code"] = status;
        info["text"] = !reason.empty() ? reason
                                       : std::string(boost::beast::http::obsolete_reason(
                                             static_cast<boost::beast::http::status>(status)));
    } else {
        info["type"] = "Network";
        info["text"] = !reason.empty() ? reason : "the server gave no usable answer";
    }
    return Error(502, "RenderError", "Error rendering page", info, Reply::Outcome::RenderError);
}

std::string Reply::PageTitle(const std::string& html) {
    const auto open = boost::algorithm::ifind_first(html, "<title");
    if (open.empty()) {
        return std::string();
    }
    const std::size_t start = html.find('>', static_cast<std::size_t>(open.end() - html.begin()));
    if (start == std::string::npos) {
        return std::string();
    }
    const auto rest = boost::make_iterator_range(html.begin() + static_cast<std::ptrdiff_t>(start + 1), html.end());
    const auto close = boost::algorithm::ifind_first(rest, "</title");
    const auto end = close.empty() ? html.end() : close.begin();
    return DecodeReferences(std::string(html.begin() + static_cast<std::ptrdiff_t>(start + 1), end));
}

} // namespace Serve
} // namespace Orvo
