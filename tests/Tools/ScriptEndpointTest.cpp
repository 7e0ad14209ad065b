// orvo-serve's script endpoints end to end: Lua scripts run in real
// workers, drive pages of the test site, and answer through the service.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "OrvoServeFixture.h"
#include "serve/SavedArguments.h"

namespace {

using namespace OrvoServeTest;

class Scripts : public OrvoServe {
protected:
    // Posts source to /execute with the further arguments in more, on
    // engine when one is set and more names none.
    HttpClient::Response Execute(const std::string& source, json more = json::object()) {
        more["lua_source"] = source;
        if (!engine.empty() && !more.contains("engine")) {
            more["engine"] = engine;
        }
        return client->Post("/execute", more.dump(), "application/json");
    }

    // The JSON object a script answered with; a failed answer fails the test.
    json Answer(const HttpClient::Response& response) {
        EXPECT_EQ(200, response.status) << response.body;
        EXPECT_EQ("application/json", response.headers.at("content-type")) << response.body;
        return json::parse(response.body, nullptr, false);
    }

    // The info of a ScriptError answer.
    json ScriptError(const HttpClient::Response& response) {
        ExpectError(response, 400, "ScriptError");
        return json::parse(response.body).at("info");
    }

    // Runs the script of each row (its text between prefix and suffix, with
    // arguments) and expects its answer: a string as the answer's text,
    // anything else as its JSON.
    typedef std::vector<std::pair<std::string, json>> Table;
    void ExpectAnswers(const Table& table, const std::string& prefix, const std::string& suffix,
                       const json& arguments = json::object()) {
        for (const auto& row : table) {
            const HttpClient::Response response = Execute(prefix + row.first + suffix, arguments);
            const json answered =
                row.second.is_string() ? json(response.body) : json::parse(response.body, nullptr, false);
            EXPECT_EQ(row.second, answered) << row.first << "\n" << response.body;
        }
    }

    std::string engine;
};

// The tests of what scripts do alike on both engines: each runs once per
// engine, its scripts sent to that engine's workers.
class EachEngine : public Scripts, public ::testing::WithParamInterface<std::string> {
protected:
    EachEngine() { engine = GetParam(); }

    void Start(std::vector<std::string> arguments, const std::vector<std::string>& environment = {}) {
        if (engine == "chromium") {
            arguments.insert(arguments.end(), {"--chromium-workers", "1"});
        }
        Scripts::Start(arguments, environment);
    }
};

INSTANTIATE_TEST_SUITE_P(Engines, EachEngine, ::testing::Values("webkit", "chromium"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

// A port on 127.0.0.1 where nothing listens.
unsigned short ClosedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    return acceptor.local_endpoint().port();
}

TEST_P(EachEngine, MainGetsItsArgumentsAndItsResultIsTheAnswer) {
    Start({"--workers", "1"});
    const json echoed = Answer(Execute("function main(splash, args)\n"
                                       "  return {n = args.n + 1, list = args.list, same = splash.args == args,\n"
                                       "          nested = args.nested, text = args.text}\n"
                                       "end",
                                       {{"n", 41}, {"list", {1, "two"}}, {"nested", {{"a", {{"b", true}}}}},
                                        {"text", "x y"}}));
    EXPECT_EQ(json::parse(R"({"n": 42, "list": [1, "two"], "same": true, "nested": {"a": {"b": true}},
                               "text": "x y"})"),
              echoed);

    const std::string source = "function main(splash, args) return {n = args.n} end";
    const HttpClient::Response saving = Execute(source, {{"n", 1}, {"save_args", {"lua_source"}}});
    const std::string saved = saving.headers.at("x-splash-saved-arguments");
    EXPECT_EQ("lua_source=" + Orvo::Serve::SavedArguments::Hash(source), saved);
    const HttpClient::Response loaded =
        client->Post("/execute", json{{"load_args", saved}, {"n", 2}}.dump(), "application/json");
    EXPECT_EQ((json{{"n", 2}}), json::parse(loaded.body)) << "the script came from the service's store";

    const HttpClient::Response text = client->Get("/run?lua_source=" + HttpClient::Encode("return 'hello ' .. args.who")
                                                  + "&who=world");
    EXPECT_EQ(200, text.status) << text.body;
    EXPECT_EQ("text/plain; charset=utf-8", text.headers.at("content-type"));
    EXPECT_EQ("hello world", text.body);

    const HttpClient::Response shaped = Execute("function main(splash)\n"
                                                "  splash:set_result_status_code(201)\n"
                                                "  splash:set_result_content_type('text/csv')\n"
                                                "  splash:set_result_header('X-Rows', '2')\n"
                                                "  return 'a,b\\n1,2\\n'\n"
                                                "end");
    EXPECT_EQ(201, shaped.status);
    EXPECT_EQ("text/csv", shaped.headers.at("content-type"));
    EXPECT_EQ("2", shaped.headers.at("x-rows"));
    EXPECT_EQ("a,b\n1,2\n", shaped.body);

    const json libraries = Answer(Execute("function main(splash)\n"
                                          "  local json, base64 = require('json'), require('base64')\n"
                                          "  return {encoded = json.encode(require('treat').as_array({1, {a = 'b'}})), plain = json.encode({1}),\n"
                                          "          decoded = json.decode('{\"k\": [true, null, 2.5]}'),\n"
                                          "          b64 = base64.encode('\\0\\1orvo'),\n"
                                          "          back = base64.decode('b3J2bw==')}\n"
                                          "end"));
    EXPECT_EQ(R"([1,{"a":"b"}])", libraries.at("encoded"));
    EXPECT_EQ(R"({"1":1})", libraries.at("plain")) << "a table is an object unless marked as a list";
    EXPECT_EQ(json::parse(R"({"k": [true, null, 2.5]})"), libraries.at("decoded"))
        << "null is nil: a list keeps its hole";
    EXPECT_EQ("AAFvcnZv", libraries.at("b64"));
    EXPECT_EQ("orvo", libraries.at("back"));
    EXPECT_EQ(0, Stop());
}

TEST_P(EachEngine, GoLoadsThePageAndSaysWhyItFailed) {
    Start({"--workers", "1"});
    const json page = Answer(Execute("function main(splash, args)\n"
                                     "  local ok, reason = splash:go(args.url)\n"
                                     "  assert(splash:wait(0.1))\n"
                                     "  return {ok = ok, reason = reason, url = splash:url(), html = splash:html(),\n"
                                     "          title = splash:evaljs('document.title'),\n"
                                     "          sum = splash:evaljs('[1, 2].map(function (x) { return x * 2 })'),\n"
                                     "          ran = splash:runjs('window.mark = 7'), mark = splash:evaljs('mark'),\n"
                                     "          window = splash:evaljs('window') == nil, null = splash:evaljs('null'),\n"
                                     "          body = splash:evaljs('document.body').nodeName,\n"
                                     "          items = #splash:evaljs('document.querySelectorAll(\"*\")') > 2,\n"
                                     "          nothing = splash:evaljs('undefined') == nil}\n"
                                     "end",
                                     {{"url", server.Url("/page-go")}}));
    EXPECT_EQ(true, page.at("ok"));
    EXPECT_FALSE(page.contains("reason"));
    EXPECT_EQ(server.Url("/page-go"), page.at("url"));
    EXPECT_NE(std::string::npos, page.at("html").get<std::string>().find("text of /page-go")) << page;
    EXPECT_EQ("Page & </page-go>", page.at("title"));
    EXPECT_EQ(json::array({2, 4}), page.at("sum"));
    EXPECT_EQ(true, page.at("ran"));
    EXPECT_EQ(7, page.at("mark"));
    EXPECT_EQ(true, page.at("window")) << "what JSON cannot hold is nil";
    EXPECT_EQ("", page.at("null")) << "null is an empty text";
    EXPECT_EQ("BODY", page.at("body")) << "a node as an element object";
    EXPECT_EQ(true, page.at("items")) << "a node list as a list of element objects";
    EXPECT_EQ(true, page.at("nothing"));

    const std::string refused = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
    const json failures = Answer(Execute("function main(splash, args)\n"
                                         "  local _, teapot = splash:go(args.teapot)\n"
                                         "  local _, refused = splash:go(args.refused)\n"
                                         "  local moved = splash:go(args.moved)\n"
                                         "  return {teapot = teapot, refused = refused, moved = moved,\n"
                                         "          url = splash:url()}\n"
                                         "end",
                                         {{"teapot", server.Url("/teapot")},
                                          {"refused", refused},
                                          {"moved", server.Url("/moved")}}));
    EXPECT_EQ("http418", failures.at("teapot"));
    EXPECT_EQ("network1", failures.at("refused")) << "Qt's ConnectionRefusedError";
    EXPECT_EQ(true, failures.at("moved"));
    EXPECT_EQ(server.Url("/other/landing"), failures.at("url"));

    const json posted = Answer(Execute("function main(splash, args)\n"
                                       "  splash:set_custom_headers({['X-Custom'] = 'everywhere'})\n"
                                       "  assert(splash:go{args.echo, formdata = {a = '1'},\n"
                                       "                   headers = {['X-Go'] = 'once'}})\n"
                                       "  local echo = splash:html()\n"
                                       "  assert(splash:go(args.headers))\n"
                                       "  return {echo = echo, headers = splash:html()}\n"
                                       "end",
                                       {{"echo", server.Url("/echo")}, {"headers", server.Url("/headers")}}));
    const std::string echo = posted.at("echo");
    EXPECT_NE(std::string::npos, echo.find("<p id=\"method\">POST</p><p id=\"body\">a=1</p>")) << echo;
    EXPECT_NE(std::string::npos, echo.find("application/x-www-form-urlencoded")) << echo;
    EXPECT_NE(std::string::npos, posted.at("headers").get<std::string>().find("<p id=\"custom\">everywhere</p>"));
    bool sentOnce = false;
    for (const auto& request : server.Received()) {
        if (request.target == "/echo") {
            sentOnce = request.headers.count("x-go") == 1 && request.headers.at("x-custom") == "everywhere";
        }
        if (request.target == "/headers") {
            EXPECT_EQ(0u, request.headers.count("x-go")) << "go's headers are for its own request";
        }
    }
    EXPECT_TRUE(sentOnce);
    EXPECT_EQ(0, Stop());
}

// go's reasons are the same on both engines: the HTTP status of an error
// page, the network layer's number for a server that cannot be reached.
TEST_P(EachEngine, GoSaysWhyAPageFailed) {
    Start({"--workers", "1"});
    std::string elsewhere = server.Url("/page-a");
    elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
    const Table table = {
        {server.Url("/nothing-here"), json::array({nullptr, "http404", true})},
        {"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/", json::array({nullptr, "network1", false})},
        {server.Url("/page-a"), json::array({true, nullptr, false})},
        // Refused by the request's own allowed domains, never sent.
        {elsewhere, json::array({nullptr, "network301", false})},
    };
    for (const auto& row : table) {
        const json answer = Answer(Execute("function main(splash, args)\n"
                                           "  local ok, reason = splash:go(args.url)\n"
                                           "  local text = splash:evaljs('document.body && document.body.textContent')\n"
                                           "  return require('treat').as_array({ok or nil, reason or nil, text == 'not found'})\n"
                                           "end",
                                           {{"url", row.first}, {"allowed_domains", "127.0.0.1"}}));
        EXPECT_EQ(row.second, answer) << row.first;
    }
    EXPECT_EQ(0, Stop());
}

// set_content lays data out as the document of its base URL, which is
// never fetched: its links resolve against it.
TEST_P(EachEngine, SetContentLaysDataOutAtItsBaseUrl) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  assert(splash:set_content{'<html><body><a href=\"next\">n</a></body></html>', baseurl = args.base})\n"
        "  return {url = splash:url(), link = splash:select('a').node.href,\n"
        "          text = splash:select('a'):text()}\n"
        "end",
        {{"base", server.Url("/base/")}}));
    EXPECT_EQ((json{{"url", server.Url("/base/")}, {"link", server.Url("/base/next")}, {"text", "n"}}), answer);
    EXPECT_FALSE(server.Got("/base/")) << "the base URL is never fetched";
    // Without a base, content of any type is laid out as the engine shows
    // such a response, at no address.
    const json plain = Answer(Execute("function main(splash)\n"
                                      "  assert(splash:set_content{'a <b>', mime_type = 'text/plain'})\n"
                                      "  return {url = splash:url(), text = splash:select('pre'):text()}\n"
                                      "end"));
    EXPECT_EQ((json{{"url", ""}, {"text", "a <b>"}}), plain);
    EXPECT_EQ(0, Stop());
}

// While navigation is locked the page stays where it is, whatever its own
// scripts do, and go is refused at once; unlocked, both go again.
TEST_P(EachEngine, ALockedPageStaysWhereItIs) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  assert(splash:go(args.first))\n"
        "  splash:lock_navigation()\n"
        "  splash:runjs('location.href = \"' .. args.second .. '\"')\n"
        "  splash:wait(0.3)\n"
        "  local stayed = splash:url()\n"
        "  local ok, reason = splash:go(args.second)\n"
        "  splash:unlock_navigation()\n"
        "  splash:runjs('location.href = \"' .. args.second .. '\"')\n"
        "  splash:wait(0.3)\n"
        "  return {stayed = stayed, ok = ok or false, reason = reason, moved = splash:url()}\n"
        "end",
        {{"first", server.Url("/page-a")}, {"second", server.Url("/page-b")}}));
    EXPECT_EQ((json{{"stayed", server.Url("/page-a")},
                    {"ok", false},
                    {"reason", "navigation_locked"},
                    {"moved", server.Url("/page-b")}}),
              answer);
    EXPECT_EQ(0, Stop());
}

// What the Chromium engine has no means for yet is refused by name, never
// done otherwise or left undone.
TEST_F(Scripts, TheChromiumEngineRefusesWhatItCannotDoYetByName) {
    Start({"--workers", "1", "--chromium-workers", "1"});
    engine = "chromium";
    const Table table = {
        {"splash.webgl_enabled = true", "webgl_enabled: the chromium engine cannot turn it on"},
        {"splash.indexeddb_enabled = false", "indexeddb_enabled: the chromium engine cannot turn it off"},
        {"splash:set_content{string.rep('x', 1600000), mime_type = 'text/plain'}",
         "set_content: content of another type than HTML over 1572096 bytes needs a baseurl on the chromium engine"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.first);
        const json error = ScriptError(Execute("function main(splash, args)\n"
                                               "  assert(splash:go(args.url))\n  " + row.first + "\nend",
                                               {{"url", server.Url("/page-a")}}));
        EXPECT_EQ("SPLASH_LUA_ERROR", error.value("type", ""));
        EXPECT_EQ(row.second, error.value("message", ""));
    }
    // A value the browser will not return is an error saying so, not one
    // saying that time ran out.
    const HttpClient::Response deep =
        Execute("function main(splash)\n"
                "  local ok, e = pcall(splash.evaljs, splash,\n"
                "    'var o = {}, r = o; for (var i = 0; i < 20000; i++) { o = o.a = {}; } r')\n"
                "  return e.js_error\n"
                "end");
    EXPECT_EQ(0u, deep.body.find("the browser could not return the value: ")) << deep.body;
    EXPECT_EQ(0, Stop());
}

// wait ends early when the page goes elsewhere (if asked) or fails to.
TEST_P(EachEngine, AWaitEndsEarlyOnARedirectOrAnError) {
    Start({"--workers", "1"});
    const std::string closed = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/";
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  assert(splash:go(args.url))\n"
        "  local full = splash:wait(0.2)\n"
        "  splash:runjs('setTimeout(function () { location.href = \"/page-next\"; }, 100)')\n"
        "  local _, redirect = splash:wait{10, cancel_on_redirect = true}\n"
        "  local landed = splash:url()\n"
        "  splash:runjs('setTimeout(function () { location.href = \"' .. args.closed .. '\"; }, 100)')\n"
        "  local _, failed = splash:wait(10)\n"
        "  return {full = full, redirect = redirect, landed = landed, failed = failed}\n"
        "end",
        {{"url", server.Url("/page-first")}, {"closed", closed}}));
    EXPECT_EQ(true, answer.at("full"));
    EXPECT_EQ("redirect", answer.at("redirect"));
    EXPECT_EQ(server.Url("/page-next"), answer.at("landed"));
    EXPECT_EQ("error", answer.at("failed")) << "cancel_on_error is on unless turned off";
    EXPECT_EQ(0, Stop());
}

TEST_P(EachEngine, GoLaysADocumentOutWithItsBaseUrl) {
    TestHttpServer assets([](const TestHttpServer::Request&) { return Html("", 404); });
    Start({"--workers", "1"});
    const json answer = Answer(Execute("function main(splash, args)\n"
                                       "  local ok = splash:go{args.url, baseurl = args.base}\n"
                                       "  local _, missing = splash:go{args.missing, baseurl = args.base}\n"
                                       "  return {ok = ok, missing = missing}\n"
                                       "end",
                                       {{"url", server.Url("/relative")},
                                        {"missing", server.Url("/missing")},
                                        {"base", assets.Url("/assets/")}}));
    EXPECT_EQ(json::parse(R"({"ok": true, "missing": "http404"})"), answer);
    EXPECT_TRUE(assets.Got("/assets/relative.css"));
    EXPECT_FALSE(server.Got("/relative.css"));
    EXPECT_EQ(0, Stop());
}

TEST_P(EachEngine, TheViewportCookiesAndUserAgentAreTheScripts) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute("function main(splash, args)\n"
                                       "  local sw, sh = splash:get_viewport_size()\n"
                                       "  splash:set_viewport_size(400, 300)\n"
                                       "  local w, h = splash:get_viewport_size()\n"
                                       "  splash:set_user_agent('OrvoScript/1')\n"
                                       "  assert(splash:go(args.cookie))\n"
                                       "  local cookies = splash:get_cookies()\n"
                                       "  local cleared = splash:clear_cookies()\n"
                                       "  assert(splash:go(args.tall))\n"
                                       "  local fw, fh = splash:set_viewport_full()\n"
                                       "  return {w = w, h = h, inner = splash:evaljs('innerWidth'), start = sw .. 'x' .. sh,\n"
                                       "          cookies = cookies,\n"
                                       "          cleared = cleared, left = #splash:get_cookies(), fw = fw, fh = fh,\n"
                                       "          agent = splash:evaljs('navigator.userAgent')}\n"
                                       "end",
                                       {{"cookie", server.Url("/sets-cookie")}, {"tall", server.Url("/tall")}}));
    EXPECT_EQ("1024x768", answer.at("start")) << "the render endpoints' viewport";
    EXPECT_EQ(400, answer.at("w"));
    EXPECT_EQ(300, answer.at("h"));
    EXPECT_EQ(400, answer.at("inner"));
    EXPECT_EQ(400, answer.at("fw"));
    EXPECT_EQ(3000, answer.at("fh")) << "the tall page's whole height";
    EXPECT_EQ("OrvoScript/1", answer.at("agent"));
    ASSERT_EQ(2u, answer.at("cookies").size()) << answer;
    EXPECT_EQ(2, answer.at("cleared"));
    EXPECT_EQ(0, answer.at("left"));
    for (const auto& request : server.Received()) {
        EXPECT_EQ("OrvoScript/1", request.headers.at("user-agent")) << request.target;
    }
    EXPECT_EQ(0, Stop());
}

// The cookie jar through init_cookies, add_cookie and delete_cookies, and
// the main document's responses through history, as the common crawler
// plugin's script reads them.
TEST_P(EachEngine, CookiesAndHistoryAreTheCrawlersScriptsOwn) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  splash:init_cookies(args.cookies)\n"
        "  splash:add_cookie{'added', 'yes', '/', domain = '127.0.0.1'}\n"
        "  assert(splash:go{args.url, headers = args.headers})\n"
        "  local entries = splash:history()\n"
        "  local last = entries[#entries].response\n"
        "  local removed = splash:delete_cookies{name = 'flavour'}\n"
        "  return {url = splash:url(), http_status = last.status, headers = last.headers, html = splash:html(),\n"
        "          first = entries[1].response.status, count = #entries, removed = removed,\n"
        "          cookies = splash:get_cookies()}\n"
        "end",
        {{"url", server.Url("/moved")},
         {"cookies", json::array({{{"name", "session"}, {"value", "s1"}, {"domain", "127.0.0.1"}, {"path", "/"}}})},
         {"headers", {{"X-Custom", "from-args"}}}}));
    EXPECT_EQ(server.Url("/other/landing"), answer.at("url"));
    EXPECT_EQ(200, answer.at("http_status"));
    EXPECT_EQ(302, answer.at("first"));
    EXPECT_EQ(2, answer.at("count"));
    EXPECT_NE(std::string::npos, answer.at("html").get<std::string>().find("session=s1"))
        << "the cookies went with the redirect too: " << answer.at("html");
    EXPECT_NE(std::string::npos, answer.at("html").get<std::string>().find("added=yes"));
    const json& headers = answer.at("headers");
    EXPECT_NE(headers.end(), std::find(headers.begin(), headers.end(),
                                       json{{"name", "Content-Type"}, {"value", "text/html; charset=utf-8"}}))
        << headers;
    EXPECT_EQ(0, answer.at("removed")) << "no cookie of that name";
    std::vector<std::string> names;
    for (const json& cookie : answer.at("cookies")) {
        names.push_back(cookie.at("name"));
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"added", "session"}), names);

    const json deleted = Answer(Execute("function main(splash, args)\n"
                                        "  assert(splash:go(args.url))\n"
                                        "  local before = #splash:get_cookies()\n"
                                        "  return {before = before,\n"
                                        "          removed = splash:delete_cookies{name = 'flavour'},\n"
                                        "          left = splash:get_cookies()[1].name}\n"
                                        "end",
                                        {{"url", server.Url("/sets-cookie")}}));
    EXPECT_EQ(json::parse(R"({"before": 2, "removed": 1, "left": "scripted"})"), deleted);
    // Before any page a cookie without a domain is one of the page the
    // script loads next, and of its host alone.
    const json early = Answer(Execute("function main(splash, args)\n"
                                      "  splash:init_cookies{{name = 'early', value = '1'}}\n"
                                      "  splash:add_cookie{'later', '2'}\n"
                                      "  assert(splash:go(args.url))\n"
                                      "  return {html = splash:html(), cookies = splash:get_cookies()}\n"
                                      "end",
                                      {{"url", server.Url("/other/landing")}}));
    const std::string sent = early.at("html");
    EXPECT_NE(std::string::npos, sent.find("early=1")) << sent;
    EXPECT_NE(std::string::npos, sent.find("later=2")) << sent;
    ASSERT_EQ(2u, early.at("cookies").size()) << early;
    EXPECT_EQ("127.0.0.1", early.at("cookies")[0].at("domain"));
    EXPECT_EQ(0, Stop());
}

// png and jpeg give binary objects: returned alone they are the answer with
// their type, inside a table they are base64; treat makes and reads them.
TEST_P(EachEngine, ImagesAreBinaryObjects) {
    Start({"--workers", "1"});
    const std::string go = "function main(splash, args)\n"
                           "  splash:set_viewport_size(300, 200)\n"
                           "  assert(splash:go(args.url))\n";
    const HttpClient::Response png = Execute(go + "  return splash:png()\nend", {{"url", server.Url("/tall")}});
    EXPECT_EQ(200, png.status) << png.body;
    EXPECT_EQ("image/png", png.headers.at("content-type"));
    const QImage viewport = Picture(png.body);
    EXPECT_EQ(QSize(300, 200), viewport.size());
    EXPECT_EQ(qRgb(255, 0, 0), viewport.pixel(150, 100));

    const json images = Answer(Execute(go + "  local treat = require('treat')\n"
                                            "  local whole = splash:png{width = 30, render_all = true}\n"
                                            "  local cut = splash:jpeg{render_all = true,\n"
                                            "                          region = {0, 2990, 300, 3000}, quality = 90}\n"
                                            "  local made = treat.as_binary('bytes', 'text/x-test')\n"
                                            "  local text, type = treat.as_string(made)\n"
                                            "  return {whole = whole, cut = cut, size = #whole,\n"
                                            "          text = text, type = type,\n"
                                            "          empty = treat.as_array({}), plain = {},\n"
                                            "          outside = splash:png{region = {0, 500, 10, 510}} == nil,\n"
                                            "          positional = splash:png(nil, nil, true, nil, {0, 0, 7, 5})}\n"
                                            "end",
                                       {{"url", server.Url("/tall")}}));
    const QImage whole =
        Picture(QByteArray::fromBase64(QByteArray::fromStdString(images.at("whole").get<std::string>())).toStdString());
    EXPECT_EQ(QSize(30, 300), whole.size()) << "3000 px tall, scaled to a tenth";
    EXPECT_EQ(qRgb(0, 0, 255), whole.pixel(15, 250));
    EXPECT_EQ(static_cast<int>(QByteArray::fromBase64(QByteArray::fromStdString(images.at("whole"))).size()),
              images.at("size"));
    const QImage cut =
        Picture(QByteArray::fromBase64(QByteArray::fromStdString(images.at("cut").get<std::string>())).toStdString());
    EXPECT_EQ(QSize(300, 10), cut.size());
    const std::string positional = images.at("positional");
    EXPECT_EQ(QSize(7, 5), Picture(QByteArray::fromBase64(QByteArray::fromStdString(positional)).toStdString()).size());
    EXPECT_EQ("bytes", images.at("text"));
    EXPECT_EQ("text/x-test", images.at("type"));
    EXPECT_EQ(json::array(), images.at("empty"));
    EXPECT_EQ(json::object(), images.at("plain"));
    EXPECT_EQ(true, images.at("outside")) << "a region outside the viewport leaves nothing";

    const HttpClient::Response made = Execute("function main(splash)\n"
                                              "  return require('treat').as_binary('\\0raw', 'application/x-raw')\n"
                                              "end");
    EXPECT_EQ("application/x-raw", made.headers.at("content-type"));
    EXPECT_EQ(std::string("\0raw", 4), made.body);
    EXPECT_EQ(0, Stop());
}

// The splash object's attributes are the page's settings.
TEST_P(EachEngine, AttributesSetThePage) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute("function main(splash, args)\n"
                                       "  local before = {images = splash.images_enabled, js = splash.js_enabled,\n"
                                       "                  timeout = splash.resource_timeout,\n"
                                       "                  private = splash.private_mode_enabled}\n"
                                       "  splash.images_enabled = false\n"
                                       "  splash.resource_timeout = 2.5\n"
                                       "  splash.own = 'kept'\n"
                                       "  assert(splash:go(args.pictured))\n"
                                       "  assert(splash:go(args.tall))\n"
                                       "  splash.scroll_position = {x = 0, y = 500}\n"
                                       "  local scrolled = splash.scroll_position\n"
                                       "  splash.js_enabled = false\n"
                                       "  return {before = before, images = splash.images_enabled, own = splash.own,\n"
                                       "          timeout = splash.resource_timeout, y = scrolled.y,\n"
                                       "          js = splash.js_enabled}\n"
                                       "end",
                                       {{"pictured", server.Url("/pictured")}, {"tall", server.Url("/tall")}}));
    EXPECT_EQ(json::parse(R"({"before": {"images": true, "js": true, "timeout": 15, "private": true},
                               "images": false, "own": "kept",
                               "timeout": 2.5, "y": 500, "js": false})"),
              answer);
    EXPECT_FALSE(server.Got("/picture.png")) << "images were off";
    EXPECT_EQ(0, Stop());
}

// jsfunc makes a Lua function of a JavaScript one (element objects passed
// as their nodes, a node returned as an element object); wait_for_resume
// waits for the page's JavaScript to call back, or gives up at its
// timeout.
TEST_P(EachEngine, JavaScriptCanBeCalledAndAwaited) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash)\n"
        "  local add = splash:jsfunc('function (a, b) { return {sum: a + b.n, list: [a, b.n]} }')\n"
        "  local resumed = splash:wait_for_resume([[\n"
        "    function main(splash) {\n"
        "      splash.set('early', 'set');\n"
        "      setTimeout(function () { splash.resume({late: 'resumed'}); }, 200);\n"
        "    }]])\n"
        "  local _, failed = splash:wait_for_resume('function main(splash) { splash.error(\"no way\"); }')\n"
        "  local _, silent = splash:wait_for_resume('function main(splash) {}', 0.2)\n"
        "  local ok, thrown = pcall(add, 1)\n"
        "  assert(splash:set_content('<html><body><p>one</p><p>two</p></body></html>'))\n"
        "  local second = splash:jsfunc('function (p) { return p.nextElementSibling; }')\n"
        "  local text = splash:jsfunc('function (p) { return p.textContent; }')\n"
        "  return {added = add(2, {n = 3}), resumed = resumed, failed = failed, silent = silent,\n"
        "          thrown = thrown.type, element = text(second(splash:select('p')))}\n"
        "end"));
    EXPECT_EQ(json::parse(R"({"sum": 5, "list": [2, 3]})"), answer.at("added"));
    EXPECT_EQ(json::parse(R"({"early": "set", "value": {"late": "resumed"}})"), answer.at("resumed"));
    EXPECT_EQ("error: no way", answer.at("failed"));
    EXPECT_EQ("error: One shot callback timed out while waiting for resume() or error().", answer.at("silent"));
    EXPECT_EQ("JS_ERROR", answer.at("thrown")) << "b.n of undefined";
    EXPECT_EQ("two", answer.at("element")) << "element objects go in as their nodes and come back out";
    EXPECT_EQ(0, Stop());
}

// har gives every request since the script began (or since har_reset) as
// HAR 1.2.
TEST_P(EachEngine, TheNetworkActivityIsAnArchive) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute("function main(splash, args)\n"
                                       "  assert(splash:go(args.first))\n"
                                       "  local first = splash:har()\n"
                                       "  splash:har_reset()\n"
                                       "  assert(splash:go(args.second))\n"
                                       "  return {first = first, second = splash:har{reset = true},\n"
                                       "          after = splash:har()}\n"
                                       "end",
                                       {{"first", server.Url("/styled")}, {"second", server.Url("/page-har")}}));
    const json& first = answer.at("first").at("log");
    EXPECT_EQ("1.2", first.at("version"));
    ASSERT_LE(2u, first.at("entries").size()) << first;
    EXPECT_EQ(server.Url("/styled"), first.at("entries")[0].at("request").at("url"));
    EXPECT_EQ(server.Url("/style.css"), first.at("entries")[1].at("request").at("url"));
    const json& second = answer.at("second").at("log");
    ASSERT_EQ(1u, second.at("entries").size()) << second;
    EXPECT_EQ(server.Url("/page-har"), second.at("entries")[0].at("request").at("url"));
    EXPECT_EQ(200, second.at("entries")[0].at("response").at("status"));
    EXPECT_EQ("Page & </page-har>", second.at("pages")[0].at("title"));
    EXPECT_LE(0, second.at("pages")[0].at("pageTimings").at("onLoad").get<int>());
    EXPECT_EQ(json::object(), answer.at("after").at("log").at("entries").empty() ? json::object() : json::array())
        << "har{reset = true} emptied it";
    EXPECT_EQ(0, Stop());
}

// The reference's call forms, one script each, answered as it documents:
// headers found in any case, a number as a header's value, a scroll
// position as a list, go refused at once while navigation is locked, a
// fetch of an unusable URL as a failed response, autoload of a URL given
// first, wait_for_resume's JavaScript that cannot start as nil and why,
// element actions that return true, localStorage out of private mode,
// switches of what the engine lacks, the API's version, JavaScript given as
// source, several values from main as a list, tables as objects unless
// marked as lists, a cookie's domain given as a URL, delete_cookies with
// neither name nor URL, a table answered as JSON whatever the type set,
// requests and responses in HAR's shape as their info, and the page's
// switches (WebGL, HTTP/2, response bodies; what the engine lacks refused).
TEST_P(EachEngine, TheReferencesCallFormsAnswerAsItDocuments) {
    Start({"--workers", "1"});
    const bool webkit = engine == "webkit";
    const std::string go = "function main(splash, args)\n  assert(splash:go(args.url))\n";
    const Table table = {
        {"function main(splash, args)\n  local r = splash:http_get(args.url)\n"
         "  return r.headers['content-type'], r.headers['CONTENT-TYPE']\nend",
         json::array({"text/html; charset=utf-8", "text/html; charset=utf-8"})},
        {"function main(splash, args)\n  assert(splash:go(args.tall))\n  splash.scroll_position = {0, 200}\n"
         "  return splash.scroll_position\nend",
         {{"x", 0}, {"y", 200}}},
        {go + "  splash:lock_navigation()\n  local ok, reason = splash:go(args.url .. '?again')\n"
              "  return tostring(ok), reason\nend",
         json::array({"nil", "navigation_locked"})},
        {"function main(splash)\n  local r = splash:http_get('ftp://127.0.0.1/')\n"
         "  return {ok = r.ok, error = r.error, body = #r.body}\nend",
         {{"ok", false}, {"error", "the URL must be an absolute http or https URL"}, {"body", 0}}},
        {"function main(splash, args)\n  assert(splash:autoload(args.script))\n  assert(splash:go(args.url))\n"
         "  return splash:evaljs('window.fetchedScript')\nend",
         "from a URL"},
        {go + "  local result, error = splash:wait_for_resume('function other(splash) {}', 1)\n"
              "  return tostring(result), error\nend",
         json::array({"nil", "error: wait_for_resume(): no main() function defined"})},
        {go + "  local p = splash:select('#p')\n"
              "  return p:mouse_click(), p:mouse_hover(), p:send_text(''), p:send_keys('<Tab>')\nend",
         json::array({true, true, true, true})},
        {"function main(splash, args)\n  splash.private_mode_enabled = false\n  assert(splash:go(args.url))\n"
         "  splash:evaljs('localStorage.setItem(\"k\", \"kept\")')\n  assert(splash:go(args.url .. '?next'))\n"
         "  return splash:evaljs('localStorage.getItem(\"k\")')\nend",
         "kept"},
        {"function main(splash)\n  local v = splash:get_version()\n  return v.major, v.minor, v.splash\nend",
         json::array({3, 5, "3.5"})},
        {"function main(splash)\n  return splash:evaljs{source = '1 + 2'}, splash:runjs{source = 'x = 1'}\nend",
         json::array({3, true})},
        {"function main(splash)\n  return 1, nil, 'x'\nend", json::array({1, nullptr, "x"})},
        {"function main(splash)\n  return {'foo', 'bar'}\nend", {{"1", "foo"}, {"2", "bar"}}},
        {"treat = require('treat')\nfunction main(splash)\n  return treat.as_array({'foo', 'bar'})\nend",
         json::array({"foo", "bar"})},
        {"function main(splash, args)\n"
         "  splash:add_cookie{'sessionid', '2374', '/', domain = 'http://127.0.0.1'}\n"
         "  local c = splash:get_cookies()[1]\n"
         "  return c.domain, c.path, splash:delete_cookies{}, #splash:get_cookies()\nend",
         json::array({"127.0.0.1", "/", 0, 1})},
        {"function main(splash, args)\n  local infos = require('treat').as_array({})\n"
         "  splash:on_request(function (r) infos[#infos + 1] = r.info.method .. ' ' .. r.info.url end)\n"
         "  splash:on_response(function (r)\n"
         "    infos[#infos + 1] = r.info.status .. ' ' .. r.info.content.mimeType .. ' ' .. r.request.info.method\n"
         "  end)\n"
         "  assert(splash:go(args.url))\n  local got = splash:http_get(args.url)\n"
         "  return infos[1], infos[2], got.info.status, got.info.headers[1].name ~= nil, got.request.info.method\nend",
         json::array({"GET " + server.Url("/page-forms"), "200 text/html; charset=utf-8 GET", 200, true, "GET"})},
        // The switches read as each engine is, and refuse what it cannot be.
        {"function main(splash)\n  local before = {splash.indexeddb_enabled, splash.html5_media_enabled}\n"
         "  local refused = {pcall(function () splash.html5_media_enabled = not before[2] end)}\n"
         "  return before[1], before[2], refused[1], refused[2]\nend",
         webkit ? json::array({false, false, false,
                               {{"type", "SPLASH_LUA_ERROR"},
                                {"message", "html5_media_enabled: the WebKit engine plays no HTML5 media"}}})
                : json::array({true, true, false,
                               {{"type", "SPLASH_LUA_ERROR"},
                                {"message", "html5_media_enabled: the chromium engine cannot turn it off"}}})},
        {"function main(splash)\n  local before = {splash.webgl_enabled, splash.response_body_enabled,\n"
         "    splash.http2_enabled, splash.media_source_enabled, splash.request_body_enabled}\n"
         "  splash.webgl_enabled = false\n  splash.http2_enabled = true\n  splash.request_body_enabled = false\n"
         "  local refused = select(2, pcall(function () splash.request_body_enabled = true end)).message\n"
         "  return before[1], before[2], before[3], before[4], before[5], splash.webgl_enabled,\n"
         "    splash.http2_enabled, refused\nend",
         webkit ? json::array({true, false, false, false, false, false, true,
                               "request_body_enabled: request bodies are not kept in the network log, their sizes "
                               "are"})
                : json::array({false, false, true, true, false, false, true,
                               "request_body_enabled: the chromium engine cannot turn it on"})},
        {"function main(splash, args)\n  local treat = require('treat')\n  local bodies = treat.as_array({})\n"
         "  splash.response_body_enabled = true\n"
         "  splash:on_response(function (r) bodies[#bodies + 1] = #treat.as_string(r.body) > 0 end)\n"
         "  assert(splash:go(args.url))\n  local content = splash:har().log.entries[1].response.content\n"
         "  return bodies[1], splash.response_body_enabled, #content.text > 0, content.encoding\nend",
         json::array({true, true, true, "base64"})},
    };
    const json arguments = {
        {"url", server.Url("/page-forms")}, {"tall", server.Url("/tall")}, {"script", server.Url("/autoload.js")}};
    ExpectAnswers(table, "", "", arguments);
    const HttpClient::Response numbered = Execute("function main(splash)\n  splash:set_result_header('X-Count', 5)\n"
                                                  "  splash:set_result_content_type('text/plain')\n"
                                                  "  return {n = 1}\nend");
    EXPECT_EQ("5", numbered.headers.count("x-count") != 0 ? numbered.headers.at("x-count") : "") << numbered.body;
    EXPECT_EQ("application/json", numbered.headers.at("content-type")) << "a table is JSON whatever the type set";
    const HttpClient::Response binary = Execute("function main(splash)\n  splash:set_result_content_type('text/plain')\n"
                                                "  return require('treat').as_binary('GIF89a', 'image/gif')\nend");
    EXPECT_EQ("image/gif", binary.headers.at("content-type")) << "a binary object's own type comes first";
    const HttpClient::Response fresh = Execute("function main(splash, args)\n  splash.private_mode_enabled = false\n"
                                               "  assert(splash:go(args.url))\n"
                                               "  return tostring(splash:evaljs('localStorage.getItem(\"k\") === null'))\nend",
                                               arguments);
    EXPECT_EQ("true", fresh.body) << "another script's storage is its own";
    EXPECT_EQ(0, Stop());
}

// The element object as the reference describes it: text trimmed,
// element.node's properties read and written and its methods called (a
// node property gives an element), focused, field_value as ok and the
// value, computed styles; the node's properties and methods on the element
// itself (a node or a list of them that a method returns as elements), and
// inner_id the same for the same node.
TEST_P(EachEngine, TheElementObjectIsAsTheReferenceDescribesIt) {
    Start({"--workers", "1"});
    const std::string page = "local list = require('treat').as_array\n"
                             "function main(splash)\n"
                             "  assert(splash:set_content([[<html><body>\n"
                             "    <p id='p' class='a b' data-x='1'>  spaced  </p><input id='q' value='v'>\n"
                             "    <input type='checkbox' id='c' checked><div id='box' style='font-size: 13px'>box</div>\n"
                             "    <select id='m' multiple><option value='1' selected>1</option>\n"
                             "      <option value='2' selected>2</option></select></body></html>]]))\n";
    const Table table = {
        {"  return list({splash:select('#p'):text()})\n", json::array({"spaced"})},
        {"  local n = splash:select('#p').node\n"
         "  return n.id, n.className, n.attributes['data-x'], n.classList, n.tagName\n",
         json::array({"p", "a b", "1", json::array({"a", "b"}), "P"})},
        {"  local n = splash:select('#p').node\n"
         "  return n:hasAttribute('data-x'), n:getAttribute('data-x'), n.parentNode:info().nodeName\n",
         json::array({true, "1", "body"})},
        {"  local n = splash:select('#p').node\n  n.innerHTML = '<b>new</b>'\n  n.title = 't'\n"
         "  return splash:select('#p b'):text(), n.title\n",
         json::array({"new", "t"})},
        {"  local q = splash:select('#q')\n  q:focus()\n"
         "  return q:focused(), splash:select('#p'):focused(), list({q:field_value()}),\n"
         "         list({splash:select('#c'):field_value()}), list({splash:select('#m'):field_value()})\n",
         json::array({true, false, json::array({true, "v"}), json::array({true, true}),
                      json::array({true, json::array({"1", "2"})})})},
        {"  return list({splash:select('#box'):styles()['font-size']})\n", json::array({"13px"})},
        {"  local p = splash:select('#p')\n  p.innerHTML = 'x'\n  p.style.color = 'red'\n"
         "  return p:hasAttribute('data-x'), p.nodeName, p.innerHTML, p.node.innerHTML, p.style.color,\n"
         "         p:styles().color\n",
         json::array({true, "P", "x", "x", "red", "rgb(255, 0, 0)"})},
        {"  local body = splash:select('body')\n"
         "  return body:querySelector('#p'):text(), #body:querySelectorAll('input'),\n"
         "         body:querySelector('#p').inner_id == splash:select('#p').inner_id,\n"
         "         splash:select('#q').inner_id == splash:select('#p').inner_id\n",
         json::array({"spaced", 2, true, false})},
    };
    ExpectAnswers(table, page, "end");
    // An element lives in the page: sent back, it is refused by name rather
    // than sent as its handles.
    const std::vector<std::pair<std::string, std::string>> kept = {
        {"splash:select('#p')", "an element object"},
        {"{p = splash:select('#p').node}", "an element's node"},
        {"require('json').encode(splash:select('#box').style)", "an element's style"},
    };
    for (const auto& row : kept) {
        SCOPED_TRACE(row.first);
        const json error = ScriptError(Execute(page + "  return " + row.first + "\nend"));
        const std::string says = row.second + " has no JSON form";
        EXPECT_NE(std::string::npos, error.value("message", error.value("error", "")).find(says)) << error.dump();
    }
    EXPECT_EQ(0, Stop());
}

// form_values in each of its modes on the reference's example forms, and
// the field values of radio buttons.
TEST_P(EachEngine, FormValuesComeInTheModesTheReferenceShows) {
    Start({"--workers", "1"});
    const std::string page =
        "function main(splash)\n"
        "  assert(splash:set_content([[<html><body><form id='f'>\n"
        "    <input type='text' name='foo[]' value='coffee'/><input type='text' name='foo[]' value='milk'/>\n"
        "    <input type='text' name='baz' value='foo'/>\n"
        "    <input type='radio' name='choice' value='yes'/><input type='radio' name='choice' value='no' checked/>\n"
        "    <input type='checkbox' name='check' checked/>\n"
        "    <select multiple name='selection'><option value='1' selected>1</option>\n"
        "      <option value='2'>2</option><option value='3' selected>3</option></select></form>\n"
        "    <p id='p'>not a form</p></body></html>]]))\n"
        "  local form = splash:select('#f')\n";
    const Table table = {
        {"  return form:form_values()\n",
         {{"foo[]", {"coffee", "milk"}}, {"baz", "foo"}, {"choice", "no"}, {"check", true}, {"selection", {"1", "3"}}}},
        {"  return form:form_values{values = 'list'}\n",
         {{"foo[]", {"coffee", "milk"}}, {"baz", {"foo"}}, {"choice", {"no"}}, {"check", {"on"}},
          {"selection", {"1", "3"}}}},
        {"  return form:form_values{values = 'first'}\n",
         {{"foo[]", "coffee"}, {"baz", "foo"}, {"choice", "no"}, {"check", true}, {"selection", "1"}}},
        {"  return form:form_values(false).selection\n", "1"},
        {"  return form:form_values(true).baz\n", "foo"},
        {"  return splash:select('#p'):form_values()\n", json::array({nullptr, "the element is not a form"})},
        {"  return tostring(select(2, splash:select('input[value=yes]'):field_value())),\n"
         "         select(2, splash:select('input[value=no]'):field_value())\n",
         json::array({"nil", "no"})},
    };
    ExpectAnswers(table, page, "end");
    const json refused = ScriptError(Execute(page + "  return form:form_values{values = 'some'}\nend"));
    EXPECT_EQ("form_values: values must be 'auto', 'list' or 'first'", refused.at("message"));
    EXPECT_EQ(0, Stop());
}

// send_keys reads the reference's key sequences: whitespace separates,
// characters are typed as they are, <Name> is a named key, held modifiers
// come before it (<Ctrl+A>).
TEST_P(EachEngine, KeySequencesAreTypedAsTheReferenceWritesThem) {
    Start({"--workers", "1"});
    const std::vector<std::pair<std::string, std::string>> table = {
        {"Hello World", "HelloWorld"},
        {"Hello <Space> World", "Hello World"},
        {"< S p a c e >", "<Space>"},
        {"Hello <Home> <Delete>", "ello"},
        {"Hello <Backspace>", "Hell"},
        {"a<Left>b", "ba"},
        {"a<b>c", "a<b>c"},
        {"<Shift+A>b", "Ab"},
        {"abc <Ctrl+A> <Delete> x", "x"},
    };
    json keys = json::array();
    json expected = json::array();
    for (const auto& row : table) {
        keys.push_back(row.first);
        expected.push_back(row.second);
    }
    const json typed = Answer(Execute("function main(splash, args)\n"
                                      "  assert(splash:set_content('<html><body><input id=i></body></html>'))\n"
                                      "  local typed = require('treat').as_array({})\n"
                                      "  for _, keys in ipairs(args.keys) do\n"
                                      "    splash:runjs('var i = document.getElementById(\"i\"); i.value = \"\"; i.focus()')\n"
                                      "    splash:send_keys(keys)\n"
                                      "    splash:wait(0)\n"
                                      "    typed[#typed + 1] = splash:evaljs('document.getElementById(\"i\").value')\n"
                                      "  end\n"
                                      "  return typed\n"
                                      "end",
                                      {{"keys", keys}}));
    ASSERT_EQ(expected.size(), typed.size()) << typed;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_EQ(expected[k], typed[k]) << keys[k];
    }
    // Each key is an event the page handles while the worker waits: one
    // call presses a bounded number of them.
    const json limits = Answer(Execute("function main(splash)\n"
                                       "  local _, text = pcall(splash.send_text, splash, string.rep('a', 5001))\n"
                                       "  local _, keys = pcall(splash.send_keys, splash, string.rep('<Tab>', 5001))\n"
                                       "  return {text = text.message, keys = keys.message,\n"
                                       "          fine = splash:send_text(string.rep('a', 5000)) == nil}\n"
                                       "end"));
    EXPECT_EQ("send_text: at most 5000 keys at a time", limits.at("text"));
    EXPECT_EQ("send_keys: at most 5000 keys at a time", limits.at("keys"));
    EXPECT_EQ(true, limits.at("fine"));
    EXPECT_EQ(0, Stop());
}

// Lua functions listen to the page's events as the reference shows: added
// with addEventListener or as an on<event> property, called while the
// event is dispatched (preventDefault keeps a checkbox from being checked),
// removed with removeEventListener; the page's own scripts cannot call
// them, and deleting the object they call silences the listeners made
// before, not the worker nor those made after.
TEST_P(EachEngine, LuaFunctionsListenToThePagesEvents) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash)\n"
        "  assert(splash:set_content([[<html><body style='margin:0'>\n"
        "    <input type='checkbox' id='a' style='display:block; margin:0; width:100px; height:40px'>\n"
        "    </body></html>]]))\n"
        "  local a = splash:select('#a')\n"
        "  local seen, kept = require('treat').as_array({}), nil\n"
        "  local listener = function (event)\n"
        "    event:preventDefault()\n"
        "    seen[#seen + 1] = event.type .. ' at ' .. event.clientX .. ',' .. event.clientY\n"
        "    kept = event\n"
        "  end\n"
        "  a:addEventListener('click', listener)\n"
        "  a.onclick = function (event) seen[#seen + 1] = 'onclick' end\n"
        "  assert(a:mouse_click())\n"
        "  local prevented = a.checked\n"
        "  splash:runjs('__orvoEvents.fire(\"forged\", 0, {type: \"forged\"})')\n"
        "  splash:runjs('var __orvoFired = {token: \"forged\", number: 0, event: {type: \"forged\"}};'\n"
        "    .. 'debugger; window.afterPause = 1')\n"
        "  a:removeEventListener('click', listener)\n"
        "  assert(a:mouse_click())\n"
        "  local _, late = pcall(kept.preventDefault, kept)\n"
        "  splash:runjs('__orvoEvents.deleteLater()')\n"
        "  splash:wait(0.05)\n"
        "  a:addEventListener('change', function (event) seen[#seen + 1] = event.type end)\n"
        "  assert(a:mouse_click())\n"
        "  return seen, prevented, a.checked, late.message, splash:evaljs('window.afterPause')\n"
        "end"));
    json expected = {"click at 50,20", "onclick", "onclick"};
    if (engine == "chromium") {
        // The page has no object of the listeners' to delete.
        expected.push_back("onclick");
    }
    expected.push_back("change");
    EXPECT_EQ(expected, answer[0]) << "once the page deleted the object they call, listeners made later work";
    EXPECT_EQ(1, answer[4]) << "the page's own pause went on";
    EXPECT_EQ(false, answer[1]) << "the first click's default was prevented";
    EXPECT_EQ(false, answer[2]) << "checked by the second click, unchecked by the third";
    EXPECT_EQ("the event's listener has returned: it can be changed no more", answer[3]);
    EXPECT_EQ(0, Stop());
}

// http_get and http_post fetch aside from the page: its document stays.
TEST_P(EachEngine, FetchesAsideFromThePage) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  local treat = require('treat')\n"
        "  local got = splash:http_get(args.page)\n"
        "  local missing = splash:http_get{args.missing}\n"
        "  local posted = splash:http_post{args.echo, body = 'a=1', headers = {['X-Custom'] = 'x'}}\n"
        "  local moved = splash:http_get{args.moved, follow_redirects = false}\n"
        "  local followed = splash:http_get(args.moved)\n"
        "  splash:add_cookie{'jar', 'kept', '/', domain = args.page}\n"
        "  splash:http_get(args.sets)\n"
        "  local sent = treat.as_string(splash:http_get(args.echo).body)\n"
        "  local kept = {}\n"
        "  for _, cookie in ipairs(splash:get_cookies()) do kept[cookie.name] = cookie.value end\n"
        "  local ok = splash:go(args.page)\n"
        "  return {status = got.status, ok = got.ok, type = got.headers['Content-Type'],\n"
        "          body = treat.as_string(got.body), missing = missing.status, missing_ok = missing.ok,\n"
        "          posted = treat.as_string(posted.body), moved = moved.status,\n"
        "          location = moved.headers['Location'], followed = followed.url, go = ok,\n"
        "          sent = sent, kept = kept}\n"
        "end",
        {{"page", server.Url("/page-fetched")},
         {"missing", server.Url("/missing")},
         {"echo", server.Url("/echo")},
         {"sets", server.Url("/sets-cookie")},
         {"moved", server.Url("/moved")}}));
    const std::string sent = answer.at("sent");
    EXPECT_NE(std::string::npos, sent.find("jar=kept")) << "the page's cookies go with a fetch: " << sent;
    EXPECT_NE(std::string::npos, sent.find("flavour=oat")) << "and those a fetch was given: " << sent;
    EXPECT_EQ((json{{"jar", "kept"}, {"flavour", "oat"}}), answer.at("kept"));
    EXPECT_EQ(200, answer.at("status"));
    EXPECT_EQ(true, answer.at("ok"));
    EXPECT_EQ("text/html; charset=utf-8", answer.at("type"));
    EXPECT_EQ(Site({"GET", "/page-fetched", {}, ""}).body, answer.at("body"));
    EXPECT_EQ(404, answer.at("missing"));
    EXPECT_EQ(false, answer.at("missing_ok"));
    const std::string posted = answer.at("posted");
    EXPECT_NE(std::string::npos, posted.find("<p id=\"method\">POST</p><p id=\"body\">a=1")) << posted;
    EXPECT_EQ(302, answer.at("moved"));
    EXPECT_EQ("/other/landing", answer.at("location"));
    EXPECT_EQ(server.Url("/other/landing"), answer.at("followed"));
    EXPECT_EQ(true, answer.at("go")) << "the fetches did not take the page's place";
    EXPECT_EQ(0, Stop());
}

// However a script gives a header, one that is not a token with a value of
// one line is never sent: the request it belongs to fails instead.
TEST_P(EachEngine, HeadersWithLineBreaksAreNeverSent) {
    Start({"--workers", "1"});
    const std::vector<std::string> fetches = {
        "splash:set_custom_headers({['X-A'] = 'b\\r\\nInjected: 1'})\n"
        "  return {ok = splash:go(args.page) or false}",
        "return {ok = splash:http_get{args.page, headers = {['X-A'] = 'b\\r\\nInjected: 1'}}.ok}",
        "return {ok = splash:http_get{args.page, headers = {['Injected: 1\\r\\nX-A'] = 'b'}}.ok}",
        "splash:on_request(function(request) request:set_header('X-A', 'b\\nInjected: 1') end)\n"
        "  return {ok = splash:go(args.page) or false}",
    };
    for (std::size_t k = 0; k < fetches.size(); ++k) {
        const std::string page = "/page-header" + std::to_string(k);
        const json answer = Answer(Execute("function main(splash, args)\n  " + fetches[k] + "\nend",
                                           {{"page", server.Url(page)}}));
        EXPECT_EQ(json({{"ok", false}}), answer) << fetches[k];
        EXPECT_FALSE(server.Got(page)) << fetches[k];
    }
    for (const TestHttpServer::Request& request : server.Received()) {
        EXPECT_EQ(0u, request.headers.count("injected")) << request.target;
    }
    if (engine == "webkit") {
        EXPECT_NE(std::string::npos, Log().find("RefuseUnsafeHeaders => not sent: " + server.Url("/page-header0")));
    }
    EXPECT_EQ(0, Stop());
}

// set_content, autoload, lock_navigation, the mouse and the keyboard.
TEST_P(EachEngine, ThePageIsDrivenAsAUserWould) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  splash:autoload('window.autoloaded = 42')\n"
        "  assert(splash:autoload{url = args.script})\n"
        "  local _, failed = splash:autoload{url = args.missing}\n"
        "  assert(splash:set_content([[<html><body style='margin:0'>\n"
        "    <button id='b' style='position:absolute; left:0; top:0; width:100px; height:50px'\n"
        "            onclick='document.title = \"clicked\"' onmouseover='window.hovered = true'>b</button>\n"
        "    <input id='i' style='position:absolute; left:0; top:100px'></body></html>]]))\n"
        "  splash:mouse_hover(50, 25)\n"
        "  splash:mouse_click{x = 50, y = 25}\n"
        "  splash:runjs('document.getElementById(\"i\").focus()')\n"
        "  splash:send_text('abc')\n"
        "  splash:send_keys('<Left> <Backspace>')\n"
        "  local typed = splash:evaljs('document.getElementById(\"i\").value')\n"
        "  local fetched = splash:evaljs('window.fetchedScript')\n"
        "  local result = {title = splash:evaljs('document.title'), hovered = splash:evaljs('window.hovered'),\n"
        "                  typed = typed, autoloaded = splash:evaljs('window.autoloaded')}\n"
        "  assert(splash:go(args.first))\n"
        "  splash:lock_navigation()\n"
        "  splash:runjs('location.href = \"/page-elsewhere\"')\n"
        "  splash:wait(0.3)\n"
        "  result.locked = splash:url()\n"
        "  splash:unlock_navigation()\n"
        "  splash:autoload_reset()\n"
        "  assert(splash:go(args.first))\n"
        "  result.reset = splash:evaljs('window.autoloaded') == nil\n"
        "  result.version = splash:get_version()\n"
        "  result.rss = splash:get_perf_stats().maxrss > 10 * 1024 * 1024\n"
        "  local ok, error = pcall(splash.send_keys, splash, '<NoSuchKey>')\n"
        "  result.unknown = error.message\n"
        "  result.fetched, result.failed = fetched, failed\n"
        "  return result\n"
        "end",
        {{"first", server.Url("/page-first")},
         {"script", server.Url("/autoload.js")},
         {"missing", server.Url("/missing.js")}}));
    EXPECT_EQ("from a URL", answer.at("fetched"));
    EXPECT_TRUE(answer.at("failed").is_string()) << answer.at("failed");
    EXPECT_EQ("clicked", answer.at("title"));
    EXPECT_EQ(true, answer.at("hovered"));
    EXPECT_EQ("ac", answer.at("typed"));
    EXPECT_EQ(42, answer.at("autoloaded"));
    EXPECT_EQ(server.Url("/page-first"), answer.at("locked"));
    EXPECT_FALSE(server.Got("/page-elsewhere"));
    EXPECT_EQ(true, answer.at("reset"));
    EXPECT_EQ("0.1.0", answer.at("version").at("orvo"));
    EXPECT_EQ("Lua 5.2.4", answer.at("version").at("lua"));
    EXPECT_EQ(true, answer.at("rss"));
    EXPECT_EQ("send_keys: no key is called <NoSuchKey>", answer.at("unknown"));
    EXPECT_EQ(0, Stop());
}

// on_request sees each request before it goes out and may change or
// abort it; on_response_headers and on_response see each response.
TEST_P(EachEngine, CallbacksSeeEveryRequestAndResponse) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash, args)\n"
        "  local treat = require('treat')\n"
        "  local seen, heads, ends, kept = treat.as_array({}), {}, {}, nil\n"
        "  splash:on_request(function (request)\n"
        "    seen[#seen + 1] = request.method .. ' ' .. request.url\n"
        "    kept = request\n"
        "    if request.url:find('elsewhere') then request:abort() end\n"
        "    if request.url:find('style.css') then\n"
        "      request:set_header('X-Custom', 'from-callback')\n"
        "      request:enable_response_body()\n"
        "    end\n"
        "    if request.url:find('page%-a') then request:set_url(args.b) end\n"
        "  end)\n"
        "  splash:on_response_headers(function (response)\n"
        "    heads[#heads + 1] = response.status .. ' ' .. response.request.url\n"
        "  end)\n"
        "  splash:on_response(function (response)\n"
        "    if response.body then ends.css = treat.as_string(response.body) end\n"
        "    ends[#ends + 1] = (response.status or 0) .. ' ' .. response.request.url\n"
        "  end)\n"
        "  assert(splash:go(args.styled))\n"
        "  assert(splash:wait(0.2))\n"
        "  local late, error = pcall(kept.abort, kept)\n"
        "  assert(splash:go(args.a))\n"
        "  local redirected = splash:html()\n"
        "  splash:on_request_reset()\n"
        "  splash:on_response_reset()\n"
        "  splash:on_response_headers_reset()\n"
        "  local count = #seen\n"
        "  assert(splash:go(args.styled))\n"
        "  return {seen = seen, heads = heads, ends = ends, late = error.message, redirected = redirected,\n"
        "          reset = #seen == count}\n"
        "end",
        {{"styled", server.Url("/styled")}, {"a", server.Url("/page-a")}, {"b", server.Url("/page-b")}}));
    std::string elsewhere = server.Url("/elsewhere.png");
    elsewhere.replace(elsewhere.find("127.0.0.1"), 9, "localhost");
    // Chromium asks for the page's icon, and may ask again for an image
    // whose request failed.
    const auto seen = [](const json& list) {
        std::set<std::string> distinct;
        for (const json& item : list) {
            if (item.get<std::string>().find("/favicon.ico") == std::string::npos) {
                distinct.insert(item.get<std::string>());
            }
        }
        return distinct;
    };
    EXPECT_EQ(std::set<std::string>({"GET " + server.Url("/styled"), "GET " + server.Url("/style.css"),
                                     "GET " + elsewhere, "GET " + server.Url("/page-a")}),
              seen(answer.at("seen")));
    EXPECT_EQ("body { background-color: rgb(255, 0, 0) }", answer.at("ends").at("css"));
    EXPECT_NE(std::string::npos, answer.at("redirected").get<std::string>().find("text of /page-b"));
    EXPECT_EQ("the request's callback has returned: it can be changed no more", answer.at("late"));
    EXPECT_EQ(true, answer.at("reset"));
    EXPECT_FALSE(server.Got("/page-a")) << "sent to page-b instead";
    int styles = 0;
    int images = 0;
    for (const auto& request : server.Received()) {
        if (request.target == "/style.css" && styles++ == 0) {
            EXPECT_EQ("from-callback", request.headers.at("x-custom"));
        }
        images += request.target == "/elsewhere.png" ? 1 : 0;
    }
    EXPECT_EQ(1, images) << "aborted before it went out, and sent once the callback was reset";
    EXPECT_EQ(std::set<std::string>({"200 " + server.Url("/styled"), "200 " + server.Url("/style.css"),
                                     "200 " + server.Url("/page-b")}),
              seen(answer.at("heads")))
        << "the page, its style sheet and page-b, whose request is page-a's as its callback left it";

    // A callback's error fails the script; so does a callback that waits.
    const Table failing = {{"error('from the callback')", "from the callback"},
                           {"splash:wait(1)", "a call that waits cannot be made in this callback"}};
    for (const auto& row : failing) {
        const json failed = ScriptError(Execute("function main(splash, args)\n"
                                                "  splash:on_request(function () " + row.first + " end)\n"
                                                "  splash:go(args.url)\n"
                                                "end",
                                                {{"url", server.Url("/page-c")}}));
        EXPECT_NE(std::string::npos, failed.at("error").get<std::string>().find(row.second.get<std::string>()))
            << failed;
    }

    // The page's own requests after its load are seen too, and a callback
    // may reset itself.
    const json late = Answer(Execute("function main(splash, args)\n"
                                     "  local seen = require('treat').as_array({})\n"
                                     "  assert(splash:go(args.url))\n"
                                     "  splash:on_request(function (r) seen[#seen + 1] = r.url; splash:on_request_reset() end)\n"
                                     "  splash:runjs(\"function get(url, then) { var x = new XMLHttpRequest();\"\n"
                                     "    .. \"x.onload = then; x.open('GET', url); x.send() }\"\n"
                                     "    .. \"get('/late.txt', function () { get('/later.txt') })\")\n"
                                     "  assert(splash:wait(0.5))\n"
                                     "  return seen\n"
                                     "end",
                                     {{"url", server.Url("/page-c")}}));
    EXPECT_EQ(json::array({server.Url("/late.txt")}), late);
    EXPECT_TRUE(server.Got("/later.txt"));
    EXPECT_EQ(0, Stop());
}

// A request's callback may send it through a proxy of its own (here a
// server of the test's that answers as a proxy would), a POST with its
// body; the page's other requests go directly.
TEST_P(EachEngine, ARequestGoesThroughTheProxyItsCallbackSets) {
    TestHttpServer proxy([](const TestHttpServer::Request& request) {
        return Html("<html><body><p>proxied " + request.method + " " + request.target + " " + request.body
                    + "</p><img src=\"/direct.png\"></body></html>");
    });
    Start({"--workers", "1"});
    const std::string port = proxy.Url("").substr(proxy.Url("").rfind(':') + 1);
    const json answer = Answer(Execute("function main(splash, args)\n"
                                       "  splash:on_request(function (request)\n"
                                       "    if request.url:find('via%-proxy') then\n"
                                       "      request:set_proxy{host = '127.0.0.1', port = tonumber(args.port)}\n"
                                       "    end\n"
                                       "  end)\n"
                                       "  assert(splash:go(args.url))\n"
                                       "  local got = splash:html()\n"
                                       "  assert(splash:go{args.url, http_method = 'POST', body = 'a=1&b=2'})\n"
                                       "  return {html = got, posted = splash:html()}\n"
                                       "end",
                                       {{"url", server.Url("/via-proxy")}, {"port", port}}));
    EXPECT_NE(std::string::npos,
              answer.at("html").get<std::string>().find("proxied GET " + server.Url("/via-proxy") + " <"))
        << answer;
    EXPECT_NE(std::string::npos,
              answer.at("posted").get<std::string>().find("proxied POST " + server.Url("/via-proxy") + " a=1&amp;b=2<"))
        << answer;
    EXPECT_FALSE(server.Got("/via-proxy")) << "no direct fetch";
    EXPECT_TRUE(server.Got("/direct.png")) << "the image's request set no proxy";
    EXPECT_FALSE(proxy.Got(server.Url("/direct.png")));

    const json refused = ScriptError(Execute("function main(splash, args)\n"
                                             "  splash:on_request(function (request)\n"
                                             "    request:set_proxy{host = '127.0.0.1', port = 1, type = 'FTP'}\n"
                                             "  end)\n"
                                             "  splash:go(args.url)\n"
                                             "end",
                                             {{"url", server.Url("/via-proxy")}}));
    EXPECT_EQ("set_proxy: give a host, a whole port from 1 to 65535 and a type HTTP or SOCKS5", refused.at("message"));
    EXPECT_EQ(0, Stop());
}

// A request's callback may give it a time-out of its own: a reply silent
// for longer is aborted (a document's go says network5), one that comes
// within it arrives whole, and 0 is no limit. Sent elsewhere as well, it
// still reaches no local file.
TEST_P(EachEngine, ARequestFailsPastTheTimeOutItsCallbackSets) {
    Start({"--workers", "1"});
    const std::string script =
        "function main(splash, args)\n"
        "  splash:on_request(function (request)\n"
        "    if request.url:find('slow') then\n"
        "      request:set_timeout(tonumber(args.limit))\n"
        "      if args.elsewhere then request:set_url(args.elsewhere) end\n"
        "    end\n"
        "  end)\n"
        "  assert(splash:go(args.url))\n"
        "  splash:runjs(\"var x = new XMLHttpRequest(); x.onload = function () { window.got = x.responseText };\"\n"
        "    .. \"x.onerror = x.onabort = function () { window.got = 'failed' }; x.open('GET', '/slow'); x.send()\")\n"
        "  for i = 1, 100 do\n"
        "    if splash:evaljs('window.got') then break end\n"
        "    splash:wait(0.1)\n"
        "  end\n"
        "  return {got = splash:evaljs('window.got')}\n"
        "end";
    const std::string loaded = "<html><body><p>slow /slow</p></body></html>";
    const Table table = {{"0.3", "failed"}, {"10", loaded}, {"0", loaded}};
    for (const auto& row : table) {
        const json answer = Answer(Execute(script, {{"url", server.Url("/page-a")}, {"limit", row.first}}));
        EXPECT_EQ((json{{"got", row.second}}), answer) << "set_timeout(" << row.first << ")";
    }
    const json local = Answer(
        Execute(script, {{"url", server.Url("/page-a")}, {"limit", "5"}, {"elsewhere", "file:///etc/hostname"}}));
    EXPECT_EQ((json{{"got", "failed"}}), local);
    const json document = Answer(Execute("function main(splash, args)\n"
                                         "  splash:on_request(function (request) request:set_timeout(0.3) end)\n"
                                         "  local ok, reason = splash:go(args.url)\n"
                                         "  return {ok = ok or false, reason = reason}\n"
                                         "end",
                                         {{"url", server.Url("/slow-document")}}));
    EXPECT_EQ((json{{"ok", false}, {"reason", "network5"}}), document);
    EXPECT_EQ(0, Stop());
}

// select and select_all give element objects that read, click, type into,
// fill and picture their node.
TEST_P(EachEngine, ElementsAreSelectedAndDriven) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash)\n"
        "  assert(splash:set_content([[<html><body style='margin:0'>\n"
        "    <p class='item'>one</p><p class='item'>two</p>\n"
        "    <div id='box' style='width:40px; height:20px; margin-left:10px; background:#0000ff'\n"
        "         onclick='this.setAttribute(\"data-clicked\", \"yes\")'></div>\n"
        "    <form id='f'><input name='q' value='start'><input type='checkbox' name='c' value='on'>\n"
        "      <select name='s' multiple><option value='a'>a</option><option value='b'>b</option></select>\n"
        "    </form></body></html>]]))\n"
        "  local items = splash:select_all('.item')\n"
        "  local box = splash:select('#box')\n"
        "  box:mouse_click()\n"
        "  local form = splash:select('#f')\n"
        "  local before = form:form_values()\n"
        "  form:fill({q = 'filled', c = true, s = {'b'}})\n"
        "  local input = splash:select('input[name=q]')\n"
        "  input:send_text('!')\n"
        "  local picture = box:png()\n"
        "  local padded = box:png{pad = 5, scale_method = 'vector'}\n"
        "  local uneven = box:jpeg(nil, 'raster', 90, {1, 2, 3, 4})\n"
        "  local info = box:info()\n"
        "  local upper = items[1]:node_method('toString')()\n"
        "  return {count = #items, second = items[2]:text(), missing = splash:select('#none') == nil,\n"
        "          clicked = box:node_property('dataset').clicked, bounds = box:bounds(),\n"
        "          visible = box:visible(), before = before, after = form:form_values(),\n"
        "          tag = info.nodeName, id = info.attributes.id, picture = picture, upper = upper,\n"
        "          exists = box:exists(), padded = padded, uneven = uneven}\n"
        "end"));
    EXPECT_EQ(2, answer.at("count"));
    EXPECT_EQ("two", answer.at("second"));
    EXPECT_EQ(true, answer.at("missing"));
    EXPECT_EQ("yes", answer.at("clicked"));
    EXPECT_EQ(40, answer.at("bounds").at("width"));
    EXPECT_EQ(20, answer.at("bounds").at("height"));
    EXPECT_EQ(true, answer.at("visible"));
    EXPECT_EQ(json::parse(R"({"q": "start", "c": false, "s": []})"), answer.at("before"));
    EXPECT_EQ(json::parse(R"({"q": "filled!", "c": true, "s": ["b"]})"), answer.at("after"));
    EXPECT_EQ("div", answer.at("tag"));
    EXPECT_EQ("box", answer.at("id"));
    EXPECT_EQ("[object HTMLParagraphElement]", answer.at("upper"));
    EXPECT_EQ(true, answer.at("exists"));
    const std::string png = answer.at("picture");
    const QImage picture = Picture(QByteArray::fromBase64(QByteArray::fromStdString(png)).toStdString());
    EXPECT_EQ(QSize(40, 20), picture.size());
    EXPECT_EQ(qRgb(0, 0, 255), picture.pixel(20, 10));
    const QImage padded = Picture(QByteArray::fromBase64(QByteArray::fromStdString(answer.at("padded"))).toStdString());
    EXPECT_EQ(QSize(50, 30), padded.size());
    EXPECT_EQ(qRgb(255, 255, 255), padded.pixel(2, 2)) << "the page around the box";
    EXPECT_EQ(qRgb(0, 0, 255), padded.pixel(25, 15));
    const QImage uneven = Picture(QByteArray::fromBase64(QByteArray::fromStdString(answer.at("uneven"))).toStdString());
    EXPECT_EQ(QSize(44, 26), uneven.size()) << "left 1, top 2, right 3, bottom 4";

    const json gone = ScriptError(Execute("function main(splash)\n"
                                          "  assert(splash:set_content('<p id=\"p\">x</p>'))\n"
                                          "  local p = splash:select('#p')\n"
                                          "  splash:runjs('document.body.innerHTML = \"\"')\n"
                                          "  return p:text()\n"
                                          "end"));
    EXPECT_EQ("JS_ERROR", gone.at("type"));
    EXPECT_EQ("the element is gone from the page", gone.at("js_error_message"));
    EXPECT_EQ(0, Stop());
}

// Callbacks of call_later and functions of with_timeout are coroutines of
// their own beside main's: they wait without holding main up, and main
// hears of their errors only when it asks.
TEST_P(EachEngine, TimersAndTimeoutsRunFunctionsAlongside) {
    Start({"--workers", "1"});
    const json answer = Answer(Execute(
        "function main(splash)\n"
        "  local list = require('treat').as_array\n"
        "  local seen = list({})\n"
        "  local timer = splash:call_later(function ()\n"
        "    seen[#seen + 1] = 'first'\n"
        "    splash:wait(0.1)\n"
        "    seen[#seen + 1] = 'after its wait'\n"
        "  end, 0.05)\n"
        "  splash:call_later(function () seen[#seen + 1] = 'cancelled' end, 0.1):cancel()\n"
        "  local failing = splash:call_later(function () error('callback broke') end)\n"
        "  splash:wait(0.4)\n"
        "  timer:reraise()\n"
        "  local caught, err = pcall(failing.reraise, failing)\n"
        "  local ok, a, b = splash:with_timeout(function () splash:wait(0.05) return 1, 'two' end, 2)\n"
        "  local late = false\n"
        "  local timedOut, why = splash:with_timeout(function () splash:wait(0.5) late = true end, 0.1)\n"
        "  local failedOk, failure = splash:with_timeout(function () error({code = 7}) end, 1)\n"
        "  local outer, inner, value = splash:with_timeout{timeout = 2, func = function ()\n"
        "    return splash:with_timeout(function () return 'inner' end, 1)\n"
        "  end}\n"
        "  splash:wait(0.7)\n"
        "  return {seen = seen, caught = caught, err = err, ok = ok, a = a, b = b, timedOut = timedOut,\n"
        "          why = why, late = late, failedOk = failedOk, failure = failure,\n"
        "          nested = list({outer, inner, value})}\n"
        "end"));
    EXPECT_EQ(json::parse(R"(["first", "after its wait"])"), answer.at("seen")) << "the cancelled one never ran";
    EXPECT_EQ(false, answer.at("caught"));
    EXPECT_NE(std::string::npos, answer.at("err").get<std::string>().find("callback broke")) << answer;
    EXPECT_EQ(true, answer.at("ok"));
    EXPECT_EQ(1, answer.at("a"));
    EXPECT_EQ("two", answer.at("b"));
    EXPECT_EQ(false, answer.at("timedOut"));
    EXPECT_EQ("timeout_over", answer.at("why"));
    EXPECT_EQ(false, answer.at("late")) << "a function past its timeout is never resumed";
    EXPECT_EQ(false, answer.at("failedOk"));
    EXPECT_EQ(json::parse(R"({"code": 7})"), answer.at("failure"));
    EXPECT_EQ(json::parse(R"([true, true, "inner"])"), answer.at("nested"));

    const json limited = Answer(Execute("function main(splash)\n"
                                        "  for i = 1, 1000 do splash:call_later(function () end, 60) end\n"
                                        "  local ok, err = pcall(splash.call_later, splash, function () end, 60)\n"
                                        "  return {ok = ok, message = err.message}\n"
                                        "end"));
    EXPECT_EQ(json::parse(R"({"ok": false, "message": "call_later: at most 1000 callbacks may wait at once"})"),
              limited);

    const json unfinished = Answer(Execute("function main(splash)\n"
                                           "  splash:call_later(function () splash:wait(30) end)\n"
                                           "  splash:wait(0.05)\n"
                                           "  return {done = true}\n"
                                           "end"));
    EXPECT_EQ(true, unfinished.at("done")) << "main's end is the script's, whatever its callbacks still wait for";
    EXPECT_EQ(0, Stop());
}

TEST_P(EachEngine, ErrorsSayWhatFailedAndWhere) {
    Start({"--workers", "1"});
    const json syntax = ScriptError(Execute("function main(splash)\n  return {\nend"));
    EXPECT_EQ("LUA_INIT_ERROR", syntax.at("type"));
    EXPECT_EQ(3, syntax.at("line_number"));

    const json missing = ScriptError(Execute("function helper() end"));
    EXPECT_EQ("LUA_INIT_ERROR", missing.at("type"));
    EXPECT_EQ("function main is not found", missing.at("message"));

    const json runtime = ScriptError(Execute("function main(splash)\n  local t = nil\n  return t.field\nend"));
    EXPECT_EQ("LUA_ERROR", runtime.at("type"));
    EXPECT_EQ(3, runtime.at("line_number"));
    EXPECT_EQ("attempt to index local 't' (a nil value)", runtime.at("error"));
    EXPECT_EQ("[string \"function main(splash)...\"]", runtime.at("source"));

    const json thrown = ScriptError(Execute("function main(splash)\n\n  return splash:evaljs('null.x')\nend"));
    EXPECT_EQ("JS_ERROR", thrown.at("type"));
    EXPECT_EQ("TypeError", thrown.at("js_error_type"));
    EXPECT_EQ(3, thrown.at("line_number"));

    const json unconvertible = ScriptError(Execute("function main(splash)\n  return {f = print or error}\nend"));
    EXPECT_EQ("LUA_CONVERT_ERROR", unconvertible.at("type"));

    const json badUrl = ScriptError(Execute("function main(splash)\n  splash:go('ftp://127.0.0.1/')\nend"));
    EXPECT_EQ("SPLASH_LUA_ERROR", badUrl.at("type")) << "a splash method used wrongly";
    EXPECT_EQ("go: ftp://127.0.0.1/ is not an http or https URL", badUrl.at("message"));
    EXPECT_EQ(2, badUrl.at("line_number"));

    const json split = ScriptError(Execute("function main(splash)\n"
                                           "  splash:set_result_content_type('text/html\\r\\n\\r\\nHTTP/1.1 200 OK')\n"
                                           "  return 'forged'\n"
                                           "end"));
    EXPECT_EQ("SPLASH_LUA_ERROR", split.at("type")) << "no answer is split";
    EXPECT_EQ("set_result_content_type: the type must be one line", split.at("message"));

    const json handled = Answer(Execute("function main(splash)\n"
                                        "  local failed, why = xpcall(error, function (m) return 'seen ' .. m end, 'x', 0)\n"
                                        "  local ok, value = xpcall(function (a) splash:wait(0.01) return a * 2 end,\n"
                                        "                           error, 21)\n"
                                        "  return {failed = failed, why = why, ok = ok, value = value}\n"
                                        "end"));
    EXPECT_EQ(json::parse(R"({"failed": false, "why": "seen x", "ok": true, "value": 42})"), handled)
        << "xpcall hands the error to its handler, and its function may wait";

    const json caught = Answer(Execute("function main(splash)\n"
                                       "  local ok, error = pcall(splash.wait, splash, -1)\n"
                                       "  return {ok = ok, type = error.type}\n"
                                       "end"));
    EXPECT_EQ(json::parse(R"({"ok": false, "type": "SPLASH_LUA_ERROR"})"), caught) << "scripts can catch them";
    EXPECT_EQ(0, Stop());
}

// The engine's script limit is shortened to 1 s for the endless JavaScript.
TEST_P(EachEngine, TheSandboxHoldsAndBudgetsStopRunawayScripts) {
    Start({"--workers", "1"}, {"JSC_watchdog=1000"});
    const json refused = Answer(Execute(
        "function main(splash)\n"
        "  local loaded = load(string.char(27) .. 'LuaQ')\n"
        "  return {io = type(io), debug = type(debug), package = type(package), coroutine = type(coroutine),\n"
        "          dofile = type(dofile), loadfile = type(loadfile), execute = type(os.execute),\n"
        "          getenv = type(os.getenv), dump = type(string.dump), time = type(os.time),\n"
        "          bytecode = type(loaded), required = pcall(require, 'io'), text = load('return 6 * 7')()}\n"
        "end"));
    EXPECT_EQ(json::parse(R"({"io": "nil", "debug": "nil", "package": "nil", "coroutine": "nil", "dofile": "nil",
                               "loadfile": "nil", "execute": "nil", "getenv": "nil", "dump": "nil",
                               "time": "function", "bytecode": "nil", "required": false, "text": 42})"),
              refused);

    const json endless = ScriptError(Execute("function main(splash)\n  while true do end\nend"));
    EXPECT_NE(std::string::npos, endless.at("error").get<std::string>().find("the script ran")) << endless;
    const json stubborn = ScriptError(
        Execute("function main(splash)\n  while true do pcall(function () while true do end end) end\nend"));
    EXPECT_NE(std::string::npos, stubborn.at("error").get<std::string>().find("the script ran")) << stubborn;
    const json handled = ScriptError(Execute(
        "function main(splash)\n  xpcall(function () error('x') end, function (m) while true do end end)\nend"));
    EXPECT_NE(std::string::npos, handled.at("error").get<std::string>().find("the script ran")) << handled;
    const json backtracking = ScriptError(
        Execute("function main(splash)\n  return string.rep('a', 30000):find('.-.-.-.-.-.-b')\nend"));
    EXPECT_NE(std::string::npos, backtracking.at("error").get<std::string>().find("the script ran")) << backtracking;
    const json endlessJs = Answer(Execute("function main(splash)\n"
                                          "  local ok, error = pcall(splash.evaljs, splash, 'while (true) {}')\n"
                                          "  return {ok = ok, type = error.type, message = error.js_error_message,\n"
                                          "          after = splash:evaljs('6 * 7')}\n"
                                          "end"));
    EXPECT_EQ(json::parse(R"({"ok": false, "type": "JS_ERROR", "after": 42,
                               "message": "the script was interrupted: it ran past the engine's time limit"})"),
              endlessJs);
    const json bomb = ScriptError(
        Execute("function main(splash)\n  local t = {}\n  for i = 1, 1e9 do t[i] = ('x'):rep(4096) .. i end\nend"));
    EXPECT_EQ("the script used more than 128 MiB of memory", bomb.at("error")) << bomb;

    const HttpClient::Response after = client->Get("/run?lua_source=" + HttpClient::Encode("return 'still here'"));
    EXPECT_EQ("still here", after.body);
    EXPECT_TRUE(MetricsShow("orvo_serve_workers_restarted_total 0\n")) << "the worker lived through them all";
    EXPECT_EQ(0, Stop());
}

// One worker runs the scripts side by side: each waits two seconds within a
// ten-second deadline, which eight in a row could not keep.
TEST_P(EachEngine, ManyScriptsRunAtOnceOnOneWorker) {
    Start({"--workers", "1", "--in-flight", "8"});
    // The test's engine's worker is up before the deadlines start counting;
    // starting it may take long on a busy machine.
    const json probe = {{"lua_source", "return 'ready'"}, {"engine", engine}, {"timeout", 90}};
    ASSERT_EQ("ready", client->Post("/run", probe.dump(), "application/json").body);
    std::vector<std::thread> threads;
    std::vector<HttpClient::Response> answers(8);
    for (std::size_t k = 0; k < answers.size(); ++k) {
        threads.emplace_back([this, k, &answers] {
            HttpClient own(port);
            const json request = {{"lua_source", "function main(splash, args)\n"
                                                 "  assert(splash:go(args.url))\n"
                                                 "  assert(splash:wait(2))\n"
                                                 "  return splash:evaljs('document.title')\n"
                                                 "end"},
                                  {"url", server.Url("/page-" + std::to_string(k))},
                                  {"timeout", 10}};
            answers[k] = own.Post("/execute", request.dump(), "application/json");
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (std::size_t k = 0; k < answers.size(); ++k) {
        EXPECT_EQ(200, answers[k].status) << answers[k].body;
        EXPECT_EQ("Page & </page-" + std::to_string(k) + ">", answers[k].body);
    }
    EXPECT_EQ(0, Stop());
}

TEST_P(EachEngine, AScriptPastItsDeadlineIs504AndOneLostWithItsWorkerIsSentAgain) {
    Start({"--workers", "1"});
    const json runaway = {{"lua_source", "splash:wait(30)"}, {"timeout", 1}, {"engine", engine}};
    ExpectError(client->Post("/run", runaway.dump(), "application/json"), 504, "GlobalTimeoutError");

    // The worker of the test's engine, beside the WebKit one on Chromium.
    const auto engineWorker = [&]() -> pid_t {
        for (const pid_t pid : Workers()) {
            std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
            const std::string command((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if ((command.find("chromium") != std::string::npos) == (engine == "chromium")) {
                return pid;
            }
        }
        return 0;
    };
    ASSERT_TRUE(WaitFor([&] { return Workers().size() == (engine == "chromium" ? 2u : 1u); }));
    const pid_t doomed = engineWorker();
    ASSERT_NE(0, doomed);
    HttpClient other(port);
    std::thread slow([&] {
        const json request = {{"lua_source", "function main(splash, args)\n"
                                             "  assert(splash:go(args.url))\n"
                                             "  return splash:html()\n"
                                             "end"},
                              {"url", server.Url("/slow")},
                              {"engine", engine}};
        const HttpClient::Response response = other.Post("/execute", request.dump(), "application/json");
        EXPECT_EQ(200, response.status) << response.body;
        EXPECT_NE(std::string::npos, response.body.find("slow /slow"));
    });
    ASSERT_TRUE(WaitFor([&] { return server.Got("/slow"); }));
    ::kill(doomed, SIGKILL);
    slow.join();
    EXPECT_TRUE(MetricsShow("orvo_serve_workers_restarted_total 1\n"));
    EXPECT_TRUE(MetricsShow("orvo_serve_requests_total{endpoint=\"run\",outcome=\"timeout\"} 1\n"));
    EXPECT_EQ(0, Stop());
}

} // namespace
