#include "RenderArguments.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <regex>

#include <QString>
#include <QUrl>
#include <boost/algorithm/string/case_conv.hpp>
#include <nlohmann/json.hpp>

#include "BadArgument.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

namespace {

// Workers live as long as the service; an hour idle is the longest keep a
// worker takes.
const int WorkerKeepMs = 3600000;

const std::string* Find(const RenderArguments::Texts& texts, const std::string& name) {
    const auto found = texts.find(name);
    return found == texts.end() ? nullptr : &found->second;
}

// Seconds from least to most as milliseconds: a decimal number, fractions
// and exponents allowed (as JSON writes numbers), nothing else.
int Milliseconds(const std::string& name, const std::string& text, double least, double most) {
    static const std::regex decimal("[0-9]+(\\.[0-9]*)?([eE][-+]?[0-9]+)?");
    const double value = std::regex_match(text, decimal) ? std::strtod(text.c_str(), nullptr) : -1;
    if (!std::isfinite(value) || value < least || value > most) {
        throw BadArgument(name, name + " must be a number of seconds from " + std::to_string(static_cast<int>(least))
                                    + " to " + std::to_string(static_cast<int>(most)));
    }
    return static_cast<int>(std::lround(value * 1000));
}

int Integer(const std::string& name, const std::string& text, int least, int most) {
    const bool digits = !text.empty() && text.size() <= 9
                        && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    const int value = digits ? std::stoi(text) : least - 1;
    if (value < least || value > most) {
        throw BadArgument(name, name + " must be a whole number from " + std::to_string(least) + " to "
                                    + std::to_string(most));
    }
    return value;
}

bool Flag(const std::string& name, const std::string& text) {
    if (text != "0" && text != "1") {
        throw BadArgument(name, name + " must be 0 or 1");
    }
    return text == "1";
}

void CheckUrl(const std::string& text, const RenderArguments::Limits& limits) {
    if (text.empty()) {
        throw BadArgument("url", "url is required");
    }
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    const bool file = scheme == QLatin1String("file") && limits.allowFileUrls;
    const bool spaced = std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
    if (!url.isValid() || spaced || !(web || file) || (web && url.host().isEmpty())) {
        throw BadArgument("url", std::string("url must be an absolute ") + (limits.allowFileUrls ? "http, https or file"
                                                                                                 : "http or https")
                                     + " URL");
    }
}

void ReadViewport(const std::string& text, RenderArguments& arguments) {
    if (!Browser::Option::Viewport::Parse(text, arguments.viewportWidth, arguments.viewportHeight)) {
        throw BadArgument("viewport", "viewport must be WIDTHxHEIGHT, each from 1 to "
                                          + std::to_string(Browser::Option::Viewport::MaxSide));
    }
}

void ReadMethod(const RenderArguments::Texts& texts, RenderArguments& arguments) {
    const std::string* method = Find(texts, "http_method");
    const std::string* body = Find(texts, "body");
    const bool post = method != nullptr && boost::algorithm::to_upper_copy(*method) == "POST";
    if (method != nullptr && !post && boost::algorithm::to_upper_copy(*method) != "GET") {
        throw BadArgument("http_method", "http_method must be GET or POST");
    }
    if (post && (body == nullptr || body->empty())) {
        throw BadArgument("body", "a POST needs a body that is not empty");
    }
    if (!post && body != nullptr) {
        throw BadArgument("body", "body is sent only with http_method POST");
    }
    arguments.body = post ? *body : std::string();
}

} // namespace

RenderArguments RenderArguments::Parse(const Texts& texts, const Limits& limits) {
    RenderArguments arguments;
    const std::string* url = Find(texts, "url");
    CheckUrl(url != nullptr ? *url : std::string(), limits);
    arguments.url = *url;
    const auto read = [&texts](const char* name, auto apply) {
        if (const std::string* text = Find(texts, name)) {
            apply(name, *text);
        }
    };
    read("timeout", [&](const std::string& n, const std::string& t) {
        arguments.timeoutMs = Milliseconds(n, t, 0, limits.maxTimeoutSeconds);
        if (arguments.timeoutMs == 0) {
            throw BadArgument(n, n + " must be more than 0 seconds");
        }
    });
    read("wait", [&](const std::string& n, const std::string& t) {
        arguments.waitMs = Milliseconds(n, t, 0, MaxWaitSeconds);
    });
    read("resource_timeout", [&](const std::string& n, const std::string& t) {
        arguments.resourceTimeoutMs = Milliseconds(n, t, 0, limits.maxTimeoutSeconds);
    });
    read("images", [&](const std::string& n, const std::string& t) { arguments.images = Flag(n, t); });
    read("js_source", [&](const std::string&, const std::string& t) { arguments.jsSource = t; });
    read("cookies", [&](const std::string&, const std::string& t) { arguments.cookies = t; });
    read("viewport", [&](const std::string&, const std::string& t) { ReadViewport(t, arguments); });
    read("quality", [&](const std::string& n, const std::string& t) { arguments.quality = Integer(n, t, 0, 100); });
    read("render_all", [&](const std::string& n, const std::string& t) { arguments.renderAll = Flag(n, t); });
    read("width", [&](const std::string& n, const std::string& t) {
        arguments.width = Integer(n, t, 1, Browser::Option::Viewport::MaxSide);
    });
    read("html", [&](const std::string& n, const std::string& t) { arguments.html = Flag(n, t); });
    read("png", [&](const std::string& n, const std::string& t) { arguments.png = Flag(n, t); });
    read("jpeg", [&](const std::string& n, const std::string& t) { arguments.jpeg = Flag(n, t); });
    ReadMethod(texts, arguments);
    return arguments;
}

RenderArguments::Texts RenderArguments::FromQuery(const std::string& query) {
    Texts texts;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        end = end == std::string::npos ? query.size() : end;
        const std::string pair = query.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        if (!pair.empty()) {
            const QByteArray name = QByteArray::fromStdString(pair.substr(0, equals)).replace('+', ' ');
            const QByteArray value =
                QByteArray::fromStdString(equals == std::string::npos ? std::string() : pair.substr(equals + 1))
                    .replace('+', ' ');
            texts.emplace(QByteArray::fromPercentEncoding(name).toStdString(),
                          QByteArray::fromPercentEncoding(value).toStdString());
        }
        start = end + 1;
    }
    return texts;
}

RenderArguments::Texts RenderArguments::FromJson(const std::string& text) {
    const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object()) {
        throw BadArgument("body", "the body must be a JSON object");
    }
    Texts texts;
    for (const auto& item : object.items()) {
        const nlohmann::json& value = item.value();
        if (value.is_string()) {
            texts[item.key()] = value.get<std::string>();
        } else if (value.is_boolean()) {
            texts[item.key()] = value.get<bool>() ? "1" : "0";
        } else if (value.is_number()) {
            texts[item.key()] = value.dump();
        } else {
            throw BadArgument(item.key(), item.key() + " must be a string, a number or a boolean");
        }
    }
    return texts;
}

bool RenderArguments::NeedsSnapshot(Endpoint endpoint) const {
    return endpoint == Endpoint::Png || endpoint == Endpoint::Jpeg || (endpoint == Endpoint::Json && (png || jpeg));
}

Browser::Request::Options RenderArguments::ToOptions(Endpoint endpoint, int timeLeftMs) const {
    Browser::Request::Options options;
    options["keep"] = WorkerKeepMs;
    options["snapshot"] = NeedsSnapshot(endpoint);
    options["delay"] = waitMs;
    options["timeout"] = timeLeftMs;
    options["viewport"] = std::to_string(viewportWidth) + "x" + std::to_string(viewportHeight);
    if (!renderAll) {
        options["maxHeight"] = viewportHeight;
    }
    if (resourceTimeoutMs >= 0) {
        options["resourceTimeout"] = resourceTimeoutMs;
    }
    if (!images) {
        options["disable"] = std::string("images");
    }
    if (!jsSource.empty()) {
        options["script"] = jsSource;
    }
    if (!body.empty()) {
        options["post"] = body;
    }
    if (!cookies.empty()) {
        options["cookie"] = cookies;
    }
    return options;
}

} // namespace Serve
} // namespace Orvo
