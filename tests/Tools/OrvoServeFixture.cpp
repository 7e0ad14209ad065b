#include "OrvoServeFixture.h"

#include <fstream>
#include <map>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

namespace OrvoServeTest {

TestHttpServer::Response Html(const std::string& body, int status) {
    TestHttpServer::Response response;
    response.status = status;
    response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    response.body = body;
    return response;
}

// The pages the tests render; see the tests for what each shows.
TestHttpServer::Response Site(const TestHttpServer::Request& request) {
    const std::string& target = request.target;
    if (boost::starts_with(target, "/page")) {
        return Html("<html><head><title>Page &amp; &lt;" + target + "&gt;</title></head><body><p id=\"p\">text of "
                    + target + "</p></body></html>");
    }
    // Pages that need what the WebKit engine lacks, each of one kind.
    if (boost::starts_with(target, "/lacks/")) {
        static const std::map<std::string, std::string> pages = {
            {"/lacks/syntax", "<script>var a = {b: 1}; document.body.id = a?.b ?? 'none';</script>"},
            {"/lacks/throws", "<script>new IntersectionObserver(function () {});</script>"},
            {"/lacks/module", "<script type=\"module\">document.body.id = 'module';</script>"},
            {"/lacks/grid", "<style>.g { display: grid }</style><div class=\"g\"></div>"},
            {"/lacks/gap", "<div style=\"display:flex; gap:4px\"></div>"},
            {"/lacks/linked", "<link rel=\"stylesheet\" href=\"/grid.css\">"},
            {"/lacks/broken", "<script>&lt;!-- x --&gt;</script><script>var a = null ?? 1;</script>"},
            {"/lacks/nothing", "<div style=\"display:flex; column-gap:4px\"></div><script>document.body.id = 'x'"
                               "</script><script>jQuery('#p').hide();</script><script>&lt;!-- x --&gt;</script>"},
        };
        const auto page = pages.find(target);
        if (page != pages.end()) {
            return Html("<html><body><p id=\"p\">" + target + "</p>" + page->second + "</body></html>");
        }
    }
    if (target == "/framed") {
        const std::string elsewhere = "http://localhost:" + request.headers.at("host").substr(10);
        return Html("<html><head><title>outer</title></head><body style=\"margin:0\"><iframe name=\"inner\""
                    " src=\"/page-inner\" style=\"position:absolute; left:10px; top:20px; width:300px;"
                    " height:150px; border:0\"></iframe><iframe name=\"away\" src=\"" + elsewhere
                    + "/page-away\" style=\"position:absolute; top:300px\"></iframe></body></html>");
    }
    if (target == "/logs") {
        return Html("<html><body><p id=\"p\">logs</p><script>console.log('from the page');"
                    " console.error('an error')</script></body></html>");
    }
    if (target == "/grid.css") {
        TestHttpServer::Response style;
        style.headers = {{"Content-Type", "text/css"}};
        style.body = "body { margin: 0 }\n.cards{display:inline-grid}";
        return style;
    }
    if (target == "/tall") {
        return Html("<html><body style=\"margin:0\"><div style=\"background:#ff0000;width:100%;height:2000px\">"
                    "</div><div style=\"background:#0000ff;height:1000px\"></div></body></html>");
    }
    const auto header = [&request](const char* name) {
        const auto found = request.headers.find(name);
        return found == request.headers.end() ? std::string() : found->second;
    };
    if (target == "/echo") {
        return Html("<html><body><p id=\"method\">" + request.method + "</p><p id=\"body\">" + request.body
                    + "</p><p id=\"cookie\">" + header("cookie") + "</p><p id=\"type\">" + header("content-type")
                    + "</p></body></html>");
    }
    if (target == "/headers") {
        return Html("<html><body><p id=\"agent\">" + header("user-agent") + "</p><p id=\"custom\">"
                    + header("x-custom") + "</p><img src=\"/agent.png\" width=\"1\" height=\"1\"></body></html>");
    }
    if (target == "/moved") {
        TestHttpServer::Response moved = Html("", 302);
        moved.headers.emplace_back("Location", "/other/landing");
        return moved;
    }
    if (target == "/styled") {
        const std::string elsewhere = "http://localhost:" + request.headers.at("host").substr(10);
        return Html("<html><head><link rel=\"stylesheet\" href=\"/style.css\"></head><body><img src=\"" + elsewhere
                    + "/elsewhere.png\"></body></html>");
    }
    if (target == "/late-image") {
        return Html("<html><body><script>setTimeout(function () {"
                    " var image = new Image(); image.src = '/missing.png'; document.body.appendChild(image);"
                    " }, 100)</script></body></html>");
    }
    if (target == "/autoload.js") {
        TestHttpServer::Response script;
        script.headers = {{"Content-Type", "application/javascript"}};
        script.body = "window.fetchedScript = 'from a URL';";
        return script;
    }
    if (target == "/style.css") {
        TestHttpServer::Response style;
        style.headers = {{"Content-Type", "text/css"}};
        style.body = "body { background-color: rgb(255, 0, 0) }";
        return style;
    }
    if (target == "/relative") {
        return Html("<html><head><link rel=\"stylesheet\" href=\"relative.css\"></head><body><p id=\"p\">based"
                    "</p></body></html>");
    }
    if (target == "/nocontent") {
        return Html("", 204);
    }
    if (target == "/teapot") {
        return Html("<html><body>short and stout</body></html>", 418);
    }
    if (target == "/sets-cookie") {
        TestHttpServer::Response response =
            Html("<html><body><script>document.cookie = 'scripted=yes; path=/'</script></body></html>");
        response.headers.emplace_back("Set-Cookie", "flavour=oat; Path=/; HttpOnly");
        return response;
    }
    if (target == "/other/landing") {
        return Html("<html><body><p id=\"cookie\">" + header("cookie") + "</p></body></html>");
    }
    if (boost::starts_with(target, "/pictured")) {
        // The picture's address carries the page's query.
        const std::size_t query = target.find('?');
        const std::string tail = query == std::string::npos ? std::string() : target.substr(query);
        return Html("<html><body><img src=\"/picture.png" + tail + "\" width=\"10\" height=\"10\"></body></html>");
    }
    if (boost::starts_with(target, "/held")) {
        TestHttpServer::Response held;
        held.hold = true;
        return held;
    }
    if (boost::starts_with(target, "/paced")) {
        TestHttpServer::Response paced = Html("<html><body><p>paced " + target + "</p></body></html>");
        paced.delayMs = 200;
        return paced;
    }
    if (boost::starts_with(target, "/slow")) {
        TestHttpServer::Response slow = Html("<html><body><p>slow " + target + "</p></body></html>");
        slow.delayMs = 1500;
        return slow;
    }
    return Html("<html><body>not found</body></html>", 404);
}

// The process ids of pid's children.
std::vector<pid_t> Children(pid_t pid) {
    std::vector<pid_t> children;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator task(tasks, error), end; !error && task != end; task.increment(error)) {
        std::ifstream list(task->path().string() + "/children");
        for (pid_t child = 0; list >> child;) {
            children.push_back(child);
        }
    }
    return children;
}

bool Alive(pid_t pid) {
    return ::kill(pid, 0) == 0;
}


// The names in /dev/shm that name pid: its workers' and its clients'.
std::vector<std::string> SharedObjectsOf(const std::vector<pid_t>& pids) {
    std::vector<std::string> found;
    for (boost::filesystem::directory_iterator entry("/dev/shm"), end; entry != end; ++entry) {
        const std::string name = entry->path().filename().string();
        for (const pid_t pid : pids) {
            if (name.find("_" + std::to_string(pid) + "_") != std::string::npos) {
                found.push_back(name);
            }
        }
    }
    return found;
}

QImage Picture(const std::string& bytes) {
    return QImage::fromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
}


void ExpectError(const HttpClient::Response& response, int status, const std::string& type) {
    EXPECT_EQ(status, response.status) << response.body;
    EXPECT_EQ("application/json", response.headers.at("content-type"));
    const json error = json::parse(response.body);
    EXPECT_EQ(status, error.at("error"));
    EXPECT_EQ(type, error.at("type"));
    EXPECT_TRUE(error.at("description").is_string());
    EXPECT_TRUE(error.at("info").is_object());
}

} // namespace OrvoServeTest
