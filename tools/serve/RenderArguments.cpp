#include "RenderArguments.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <regex>

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QUrl>
#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>
#include <nlohmann/json.hpp>

#include "BadArgument.h"
#include "Protocol/Option.h"

namespace Orvo {
namespace Serve {

namespace {

// Workers live as long as the service: the longest keep a worker takes.
const int WorkerKeepMs = Browser::Option::Keep::MaxMs;

const std::string* Find(const RenderArguments::Texts& texts, const std::string& name) {
    const auto found = texts.find(name);
    return found == texts.end() ? nullptr : &found->second;
}

// The text of an argument that takes a string, a number or a boolean; an
// array or object given for it is refused, never dropped.
const std::string* Scalar(const RenderArguments::Texts& texts, const std::string& name) {
    if (texts.Structure(name) != nullptr) {
        throw BadArgument(name, name + " must be a string, a number or a boolean");
    }
    return Find(texts, name);
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
    if (text == "about:blank") {
        // An empty page, for scripts to fill.
        return;
    }
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    const bool web = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    const bool file = scheme == QLatin1String("file") && limits.allowFileUrls;
    const bool spaced = std::any_of(text.begin(), text.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; });
    if (!url.isValid() || spaced || !(web || file) || (web && url.host().isEmpty())) {
        throw BadArgument("url", std::string("url must be about:blank or an absolute ")
                                     + (limits.allowFileUrls ? "http, https or file" : "http or https") + " URL");
    }
}

void ReadViewport(const std::string& text, RenderArguments& arguments) {
    if (!Browser::Option::Viewport::Parse(text, arguments.viewportWidth, arguments.viewportHeight)) {
        throw BadArgument("viewport", "viewport must be WIDTHxHEIGHT, each from 1 to "
                                          + std::to_string(Browser::Option::Viewport::MaxSide));
    }
}

void ReadMethod(const RenderArguments::Texts& texts, RenderArguments& arguments) {
    const std::string* method = Scalar(texts, "http_method");
    const std::string* body = Scalar(texts, "body");
    arguments.post = method != nullptr && boost::algorithm::to_upper_copy(*method) == "POST";
    if (method != nullptr && !arguments.post && boost::algorithm::to_upper_copy(*method) != "GET") {
        throw BadArgument("http_method", "http_method must be GET or POST");
    }
    if (!arguments.post && body != nullptr) {
        throw BadArgument("body", "body is sent only with http_method POST");
    }
    arguments.body = body != nullptr ? *body : std::string();
}

// A header name is an HTTP token; a value holds no line break or NUL.
void AddHeader(const std::string& name, const nlohmann::json& value, RenderArguments::Headers& headers) {
    static const std::regex token("[!#$%&'*+.^_`|~0-9A-Za-z-]+");
    static const std::string breaks("\r\n\0", 3);
    if (!std::regex_match(name, token) || !value.is_string()
        || value.get<std::string>().find_first_of(breaks) != std::string::npos) {
        throw BadArgument("headers", "headers must name each header with a token and give it a text without line "
                                     "breaks");
    }
    headers.emplace_back(name, value.get<std::string>());
}

void ReadHeaders(const RenderArguments::Texts& texts, RenderArguments& arguments) {
    static const char* const Shape =
        "headers must be a JSON object or a JSON list of [name, value] pairs, sent in a JSON POST";
    const nlohmann::json* structure = texts.Structure("headers");
    if (structure == nullptr) {
        if (Find(texts, "headers") != nullptr) {
            throw BadArgument("headers", Shape);
        }
        return;
    }
    const nlohmann::json& value = *structure;
    if (value.is_object()) {
        for (const auto& item : value.items()) {
            AddHeader(item.key(), item.value(), arguments.headers);
        }
        return;
    }
    for (const nlohmann::json& pair : value) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string()) {
            throw BadArgument("headers", Shape);
        }
        AddHeader(pair[0].get<std::string>(), pair[1], arguments.headers);
    }
}

// An expiry of a cookie object: an ISO 8601 date (as HAR writes them) or
// seconds since 1970.
QDateTime Expiry(const nlohmann::json& expires) {
    QDateTime when;
    if (expires.is_string()) {
        when = QDateTime::fromString(QString::fromStdString(expires.get<std::string>()), Qt::ISODate);
    } else if (expires.is_number()) {
        // Up to the end of the year 9999, the last a date can be written in.
        const double seconds = expires.get<double>();
        if (std::isfinite(seconds) && seconds >= 0 && seconds < 253402300800.0) {
            when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds), Qt::UTC);
        }
    }
    if (!when.isValid()) {
        throw BadArgument("cookies", "a cookie's expires must be an ISO 8601 date or seconds since 1970");
    }
    return when.toUTC();
}

// One cookie object as a Set-Cookie line for the worker.
std::string CookieLine(const nlohmann::json& cookie) {
    static const std::regex name("[^\\s;,=]+");
    static const std::regex text("[^;\\r\\n]*");
    const auto field = [&cookie](const char* key) {
        const auto found = cookie.find(key);
        return found == cookie.end() || found->is_null() ? nlohmann::json() : *found;
    };
    const nlohmann::json cookieName = field("name");
    const nlohmann::json value = field("value");
    if (!cookieName.is_string() || !std::regex_match(cookieName.get<std::string>(), name) || !value.is_string()
        || !std::regex_match(value.get<std::string>(), text)) {
        throw BadArgument("cookies", "each cookie must have a name and a value without ';' or line breaks");
    }
    std::string line = cookieName.get<std::string>() + "=" + value.get<std::string>();
    for (const auto& attribute : {std::make_pair("domain", "Domain"), std::make_pair("path", "Path")}) {
        const nlohmann::json part = field(attribute.first);
        if (part.is_string() && std::regex_match(part.get<std::string>(), text) && !part.get<std::string>().empty()) {
            line += std::string("; ") + attribute.second + "=" + part.get<std::string>();
        } else if (!part.is_null()) {
            throw BadArgument("cookies", std::string("a cookie's ") + attribute.first + " must be a text");
        }
    }
    if (!field("expires").is_null()) {
        line += "; Expires="
                + QLocale::c().toString(Expiry(field("expires")), "ddd, dd MMM yyyy hh:mm:ss 'GMT'").toStdString();
    }
    line += field("httpOnly") == true ? "; HttpOnly" : "";
    line += field("secure") == true ? "; Secure" : "";
    return line + "\n";
}

// cookies: "a=1; b=2" for the page's host, or a list of cookie objects.
void ReadCookies(const RenderArguments::Texts& texts, RenderArguments& arguments) {
    const nlohmann::json* structure = texts.Structure("cookies");
    if (structure == nullptr) {
        // 1 and 0 are no cookies: render.json's flag for the jar.
        if (const std::string* text = Find(texts, "cookies")) {
            arguments.cookiesOut = *text == "1";
            arguments.cookies = *text == "1" || *text == "0" ? std::string() : *text;
        }
        return;
    }
    if (!structure->is_array()) {
        throw BadArgument("cookies", "cookies must be a text like \"a=1; b=2\" or a list of cookie objects");
    }
    arguments.cookiesOut = true;
    for (const nlohmann::json& cookie : *structure) {
        if (!cookie.is_object()) {
            throw BadArgument("cookies", "cookies must be a text like \"a=1; b=2\" or a list of cookie objects");
        }
        arguments.setCookies += CookieLine(cookie);
    }
}

// The timeout, which render and script endpoints share.
void ReadTimeout(const RenderArguments::Texts& texts, const RenderArguments::Limits& limits,
                 RenderArguments& arguments) {
    if (const std::string* text = Scalar(texts, "timeout")) {
        arguments.timeoutMs = Milliseconds("timeout", *text, 0, limits.maxTimeoutSeconds);
        if (arguments.timeoutMs == 0) {
            throw BadArgument("timeout", "timeout must be more than 0 seconds");
        }
    }
}

// The option of row from its argument, when given: seconds up to
// mostSeconds as milliseconds, or a text in the option's form (an empty
// text asks for nothing).
void ReadDirect(const RenderArguments::Texts& texts, const Browser::Option::Row& row, int mostSeconds,
                Browser::Request::Options& options) {
    const std::string* text = Scalar(texts, row.spec.http);
    const std::string name = row.spec.http;
    if (text != nullptr && row.spec.httpForm == Browser::Option::HttpForm::Seconds) {
        options[row.key] = Milliseconds(name, *text, 0, mostSeconds);
        return;
    }
    if (text == nullptr || text->empty()) {
        return;
    }
    if (row.spec.form != nullptr && !row.spec.form(*text)) {
        throw BadArgument(name, name + " must be " + row.spec.formText);
    }
    options[row.key] = *text;
}

// Arguments of the API this service does not support: refused, so that a
// request never seems served as asked when it was not.
Engine ReadEngine(const RenderArguments::Texts& texts) {
    const std::string* text = Scalar(texts, "engine");
    if (text == nullptr || text->empty() || *text == EngineName(Engine::WebKit)) {
        return Engine::WebKit;
    }
    for (const Engine engine : {Engine::Chromium, Engine::Auto}) {
        if (*text == EngineName(engine)) {
            return engine;
        }
    }
    throw BadArgument("engine", "engine must be webkit, chromium or auto");
}

void RefuseUnsupported(const RenderArguments::Texts& texts) {
    static const char* const Arguments[] = {"js", "filters"};
    for (const char* name : Arguments) {
        const std::string* text = Find(texts, name);
        if ((text != nullptr && !text->empty()) || texts.Structure(name) != nullptr) {
            throw BadArgument(name, std::string(name) + " is not supported by this service");
        }
    }
}

// How deep the arrays and objects of a JSON text nest, read without
// parsing it (brackets inside strings do not count), so that a text nested
// deeper than any argument needs is refused before anything recurses over
// it.
std::size_t NestingDepth(const std::string& text) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    for (std::size_t k = 0; k < text.size(); ++k) {
        const char c = text[k];
        if (inString) {
            k += c == '\\' ? 1 : 0;
            inString = c != '"';
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

// Bounds what a snapshot costs: the viewport's area is refused past its
// limit, and a whole page is cut at the height that keeps it within its
// limit at the viewport's width.
void ApplyPictureLimits(const RenderArguments::Limits& limits, RenderArguments& arguments) {
    const long long area = static_cast<long long>(arguments.viewportWidth) * arguments.viewportHeight;
    if (area > limits.maxViewportArea) {
        throw BadArgument("viewport", "viewport may be at most " + std::to_string(limits.maxViewportArea)
                                          + " pixels in area, not " + std::to_string(area));
    }
    arguments.maxSnapshotHeight = static_cast<int>(std::clamp<long long>(
        limits.maxSnapshotPixels / arguments.viewportWidth, 1, Browser::Option::MaxHeight::Default()));
}

} // namespace

const char* EngineName(Engine engine) {
    return engine == Engine::Chromium ? "chromium" : engine == Engine::Auto ? "auto" : "webkit";
}

bool EndpointOf(const std::string& name, Endpoint& endpoint) {
    static const std::pair<const char*, Endpoint> endpoints[] = {
        {"render.html", Endpoint::Html}, {"render.png", Endpoint::Png},   {"render.jpeg", Endpoint::Jpeg},
        {"render.json", Endpoint::Json}, {"render.har", Endpoint::Har},   {"execute", Endpoint::Execute},
        {"run", Endpoint::Run}};
    for (const auto& entry : endpoints) {
        if (name == entry.first) {
            endpoint = entry.second;
            return true;
        }
    }
    return false;
}

RenderArguments RenderArguments::Parse(const Texts& texts, const Limits& limits) {
    RenderArguments arguments;
    const std::string* url = Scalar(texts, "url");
    CheckUrl(url != nullptr ? *url : std::string(), limits);
    arguments.url = *url;
    const auto read = [&texts](const char* name, auto apply) {
        if (const std::string* text = Scalar(texts, name)) {
            apply(name, *text);
        }
    };
    ReadTimeout(texts, limits, arguments);
    for (const Browser::Option::Row& row : Browser::Option::Schema()) {
        const bool direct = row.spec.httpForm == Browser::Option::HttpForm::Text
                            || row.spec.httpForm == Browser::Option::HttpForm::Seconds;
        if (direct) {
            const bool wait = std::string(row.key) == Browser::Option::Delay::Name();
            ReadDirect(texts, row, wait ? MaxWaitSeconds : limits.maxTimeoutSeconds, arguments.direct);
        }
    }
    read("images", [&](const std::string& n, const std::string& t) { arguments.images = Flag(n, t); });
    read("viewport", [&](const std::string&, const std::string& t) {
        if (t == "full") {
            arguments.renderAll = true;
        } else {
            ReadViewport(t, arguments);
        }
    });
    read("quality", [&](const std::string& n, const std::string& t) { arguments.quality = Integer(n, t, 0, 100); });
    read("render_all", [&](const std::string& n, const std::string& t) { arguments.renderAll = Flag(n, t); });
    read("width", [&](const std::string& n, const std::string& t) {
        arguments.width = Integer(n, t, 1, Browser::Option::Viewport::MaxSide);
    });
    read("html", [&](const std::string& n, const std::string& t) { arguments.html = Flag(n, t); });
    read("png", [&](const std::string& n, const std::string& t) { arguments.png = Flag(n, t); });
    read("jpeg", [&](const std::string& n, const std::string& t) { arguments.jpeg = Flag(n, t); });
    read("history", [&](const std::string& n, const std::string& t) { arguments.history = Flag(n, t); });
    read("har", [&](const std::string& n, const std::string& t) { arguments.har = Flag(n, t); });
    read("response_body", [&](const std::string& n, const std::string& t) { arguments.responseBodies = Flag(n, t); });
    read("script", [&](const std::string& n, const std::string& t) { arguments.scriptResult = Flag(n, t); });
    read("console", [&](const std::string& n, const std::string& t) { arguments.console = Flag(n, t); });
    read("iframes", [&](const std::string& n, const std::string& t) { arguments.iframes = Flag(n, t); });
    ReadMethod(texts, arguments);
    ApplyPictureLimits(limits, arguments);
    ReadHeaders(texts, arguments);
    ReadCookies(texts, arguments);
    RefuseUnsupported(texts);
    arguments.engine = ReadEngine(texts);
    return arguments;
}

RenderArguments RenderArguments::ParseScript(const Texts& texts, const Limits& limits, Endpoint endpoint) {
    RenderArguments arguments;
    const std::string* source = Scalar(texts, "lua_source");
    if (source == nullptr || source->empty()) {
        throw BadArgument("lua_source", "lua_source is required: the script to run");
    }
    // The body of main keeps its line numbers: main opens on its first line.
    arguments.luaSource =
        endpoint == Endpoint::Run ? "function main(splash, args) " + *source + "\nend" : *source;
    arguments.url = "about:blank";
    ReadTimeout(texts, limits, arguments);
    for (const char* key : {Browser::Option::Proxy::Name(), Browser::Option::AllowedDomains::Name()}) {
        ReadDirect(texts, *Browser::Option::Find(key), limits.maxTimeoutSeconds, arguments.direct);
    }
    const std::string* filters = Find(texts, "filters");
    if ((filters != nullptr && !filters->empty()) || texts.Structure("filters") != nullptr) {
        throw BadArgument("filters", "filters is not supported by this service");
    }
    arguments.scriptArguments = texts.ToJson();
    arguments.engine = ReadEngine(texts);
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
    if (NestingDepth(text) > MaxJsonDepth) {
        throw BadArgument("body", "the body's JSON is nested more than " + std::to_string(MaxJsonDepth) + " deep");
    }
    const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object()) {
        throw BadArgument("body", "the body must be a JSON object");
    }
    Texts texts;
    for (const auto& item : object.items()) {
        if (item.value().is_null()) {
            throw BadArgument(item.key(), item.key() + " must not be null");
        }
        texts.Set(item.key(), item.value());
    }
    return texts;
}

void RenderArguments::Texts::Set(const std::string& name, const nlohmann::json& value) {
    Remove(name);
    if (value.is_string()) {
        (*this)[name] = value.get<std::string>();
        return;
    }
    typed[name] = value;
    if (value.is_boolean()) {
        (*this)[name] = value.get<bool>() ? "1" : "0";
    } else if (value.is_number()) {
        (*this)[name] = value.dump();
    }
}

void RenderArguments::Texts::Remove(const std::string& name) {
    erase(name);
    typed.erase(name);
}

const nlohmann::json* RenderArguments::Texts::Structure(const std::string& name) const {
    const auto found = typed.find(name);
    return found != typed.end() && (found->second.is_array() || found->second.is_object()) ? &found->second
                                                                                            : nullptr;
}

nlohmann::json RenderArguments::Texts::ToJson() const {
    nlohmann::json all = nlohmann::json::object();
    for (const auto& item : *this) {
        all[item.first] = item.second;
    }
    for (const auto& item : typed) {
        all[item.first] = item.second;
    }
    return all;
}

bool RenderArguments::NeedsSnapshot(Endpoint endpoint) const {
    return endpoint == Endpoint::Png || endpoint == Endpoint::Jpeg || (endpoint == Endpoint::Json && (png || jpeg));
}

Browser::Request::Options RenderArguments::ScriptOptions() const {
    Browser::Request::Options options;
    options["keep"] = WorkerKeepMs;
    options["snapshot"] = false;
    options["luaSource"] = luaSource;
    options["luaArguments"] = scriptArguments.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    options.insert(direct.begin(), direct.end());
    // A script's page starts with the render endpoints' viewport.
    options["viewport"] = std::to_string(viewportWidth) + "x" + std::to_string(viewportHeight);
    return options;
}

void RenderArguments::CheckEngine(Endpoint endpoint) const {
    if (engine == Engine::WebKit) {
        return;
    }
    if (IsScript(endpoint) && engine == Engine::Auto) {
        // auto judges a page once it has rendered; a script's pages come
        // one after another from the script itself.
        throw BadArgument("engine", "a script runs on webkit or chromium: engine=auto is for the render endpoints");
    }
}

Browser::Request::Options RenderArguments::ToOptions(Endpoint endpoint) const {
    if (IsScript(endpoint)) {
        return ScriptOptions();
    }
    Browser::Request::Options options;
    options["keep"] = WorkerKeepMs;
    options["snapshot"] = NeedsSnapshot(endpoint);
    options["pageInfo"] = true;
    if (engine == Engine::Auto) {
        options["engineGaps"] = true;
    }
    if (endpoint == Endpoint::Json && scriptResult) {
        options["scriptResult"] = true;
    }
    if (endpoint == Endpoint::Json && console) {
        options["consoleLog"] = true;
    }
    if (endpoint == Endpoint::Json && iframes) {
        options["frames"] = true;
    }
    const bool log = endpoint == Endpoint::Har || (endpoint == Endpoint::Json && har);
    if (log) {
        options["networkLog"] = true;
    }
    if (responseBodies && (log || (endpoint == Endpoint::Json && history))) {
        options["responseBodies"] = true;
    }
    // The API waits nothing unless asked.
    options["delay"] = 0;
    for (const auto& option : direct) {
        options[option.first] = option.second;
    }
    options["viewport"] = std::to_string(viewportWidth) + "x" + std::to_string(viewportHeight);
    if (!renderAll) {
        options["maxHeight"] = viewportHeight;
    } else if (maxSnapshotHeight < Browser::Option::MaxHeight::Default()) {
        options["maxHeight"] = maxSnapshotHeight;
    }
    if (!images) {
        options["disable"] = std::string("images");
    }
    if (post) {
        options["httpMethod"] = std::string("POST");
        options["post"] = body;
    }
    if (!cookies.empty()) {
        options["cookie"] = cookies;
    }
    if (!setCookies.empty()) {
        options["setCookies"] = setCookies;
    }
    std::string lines;
    bool typed = false;
    for (const auto& header : headers) {
        lines += header.first + ": " + header.second + "\n";
        typed = typed || boost::algorithm::iequals(header.first, "Content-Type");
    }
    if (post && !typed) {
        lines += "Content-Type: application/x-www-form-urlencoded\n";
    }
    if (!lines.empty()) {
        options["headers"] = lines;
    }
    return options;
}

} // namespace Serve
} // namespace Orvo
