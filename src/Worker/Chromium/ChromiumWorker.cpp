#include "Chromium/ChromiumWorker.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include <QByteArray>
#include <QEventLoop>
#include <QTimer>
#include <QDateTime>
#include <QImage>
#include <QUrl>
#include <log4cplus/loggingmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "Chromium/ChromiumCookies.h"
#include "Chromium/ChromiumDescription.h"
#include "Chromium/ChromiumPage.h"
#include "Chromium/ChromiumScriptPage.h"
#include "Kernel/Configurator.h"
#include "Kernel/NavigationStatus.h"
#include "Kernel/ParentWatch.h"
#include "Kernel/ServerMediator.h"
#include "Kernel/ServerTimes.h"
#include "Protocol/TimeDivisor.h"
#include "Kernel/StringHolder.h"
#include "Kernel/ViewHolder.h"
#include "Network/DeniedNetworks.h"
#include "Page/PageScripts.h"
#include "Scripts/QScriptRunner.h"
#include "Scripts/SplashScript.h"
#include "Protocol/ExitStatus.h"
#include "Protocol/ServerOptionGetter.h"
#include "Protocol/WireFormat.h"
#include "Support/LoggerFactory.h"

namespace Option = Orvo::Browser::Option;

namespace {

// A Last-Modified header in the detail's form, in UTC; empty for a text
// that is no date.
QString DetailDate(const std::string& header) {
    const QDateTime date = QDateTime::fromString(QString::fromStdString(header), Qt::RFC2822Date);
    const QLatin1String pattern(Orvo::Browser::WireFormat::LastModifiedPattern);
    return date.isValid() ? date.toUTC().toString(pattern) : QString();
}

// A value the page gave as text: empty unless it is a string.
std::string TextOf(const nlohmann::json& value) {
    return value.is_string() ? value.get<std::string>() : std::string();
}

// An XML document that no HTML or XHTML type names, serialised as XML;
// null for any other page. The browser shows such a document through its
// XML viewer, which keeps the document's own elements in one of its own.
const char* const XmlScript =
    "(function () {"
    "  var type = document.contentType || '';"
    "  var source = document.getElementById('webkit-xml-viewer-source-xml');"
    "  var root = source && source.firstElementChild ? source.firstElementChild : document.documentElement;"
    "  if (/xhtml/i.test(type) || !/[/+]xml/i.test(type) || !root || root.tagName.toLowerCase() === 'html') {"
    "    return null;"
    "  }"
    "  return new XMLSerializer().serializeToString(root);"
    "})()";

} // namespace

DevToolsPipe::Options ChromiumWorker::BrowserOptions() {
    DevToolsPipe::Options options;
    options.arguments = {"--disable-gpu",
                         "--disable-extensions",
                         "--disable-component-update",
                         "--disable-background-networking",
                         "--disable-default-apps",
                         "--disable-sync",
                         "--disable-breakpad",
                         "--disable-domain-reliability",
                         "--metrics-recording-only",
                         "--no-first-run",
                         "--no-default-browser-check",
                         "--mute-audio"};
    struct statvfs shared {};
    if (::statvfs("/dev/shm", &shared) != 0
        || static_cast<unsigned long long>(shared.f_blocks) * shared.f_frsize < SmallSharedMemoryBytes) {
        options.arguments.push_back("--disable-dev-shm-usage");
    }
    return options;
}

ChromiumWorker::ChromiumWorker(DevToolsPipe& browser, Orvo::Browser::ServerMediator& mediator,
                               const Orvo::Browser::Configurator& configuration)
    : browser(browser),
      mediator(mediator),
      logger(Orvo::Logging::LoggerFactory::GetLogger("ChromiumWorker")),
      fileUrlsAllowed(configuration.AllowFileUrls()),
      deniedNetworks(DeniedNetworks::Parse(QString::fromStdString(configuration.DeniedNetworks()))),
      keepMs(Option::Keep::Default()),
      recycle(Orvo::Browser::RecyclePolicy::Of(configuration)) {}

void ChromiumWorker::Answer(const Orvo::Browser::ServerRequest& request, const std::string& url,
                            const QString& detail, const std::string& body, const QImage& snapshot) {
    mediator.SendResponse(StringHolder(QByteArray::fromStdString(request.name)),
                          StringHolder(QByteArray::fromStdString(url)), StringHolder(detail.toUtf8()),
                          StringHolder(QByteArray::fromStdString(body)),
                          snapshot.isNull() ? ViewHolder() : ViewHolder(snapshot));
}

int ChromiumWorker::Run(const volatile std::sig_atomic_t& stop) {
    typedef std::chrono::steady_clock Clock;
    mediator.StartServer();
    Clock::time_point idleSince = Clock::now();
    const Orvo::Browser::ParentWatch parent;
    bool recycled = false;
    while (stop == 0 && !browserLost && !recycled) {
        if (parent.Gone()) {
            // Nobody would collect what the worker renders now.
            LOG4CPLUS_INFO(logger, "ChromiumWorker::Run => the process that started this worker ended");
            break;
        }
        boost::shared_ptr<Orvo::Browser::ServerRequest> request;
        try {
            request = mediator.GetRequest(PollMs);
        } catch (const Orvo::Browser::ServerStoppedException&) {
            break;
        }
        if (request) {
            Serve(*request);
            ++taken;
            idleSince = Clock::now();
        }
        recycled = RetiredAndDone();
        if (request || recycled) {
            continue;
        }
        // Before its first request the worker waits as long as the serving
        // thread does, as the WebKit worker does: a client may send it late.
        if (taken > 0 && Clock::now() - idleSince > std::chrono::milliseconds(keepMs)
            && !mediator.HasUnfinishedRequest()) {
            break;
        }
    }
    mediator.StopServer(true, true);
    if (browserLost) {
        LOG4CPLUS_ERROR(logger, "ChromiumWorker::Run => the browser ended");
        return Orvo::Browser::ExitStatus::BrowserLost;
    }
    if (recycled) {
        LOG4CPLUS_INFO(logger, "ChromiumWorker::Retire => every request answered after " << taken);
        return Orvo::Browser::ExitStatus::Recycled;
    }
    LOG4CPLUS_INFO(logger, "ChromiumWorker::Run => " << (stop != 0 ? "stopped" : "idle"));
    return 0;
}

bool ChromiumWorker::RetiredAndDone() {
    typedef std::chrono::steady_clock Clock;
    if (!recycle.Enabled() || browserLost) {
        return false;
    }
    if (!retiring) {
        typedef Orvo::Browser::RecyclePolicy Policy;
        const std::size_t resident =
            recycle.WatchesMemory() ? Policy::ResidentBytes() + Policy::TreeResidentBytes(browser.Pid()) : 0;
        const std::string why = recycle.Due(taken, resident);
        if (!why.empty()) {
            mediator.Retire();
            LOG4CPLUS_INFO(logger, "ChromiumWorker::Retire => " << why);
            retiring = true;
            retiredAt = Clock::now();
        }
        return false;
    }
    const std::chrono::milliseconds settle(Orvo::Browser::TimeDivisor::Scaled(RetireSettleMs));
    return !mediator.HasUnfinishedRequest() && Clock::now() - retiredAt > settle;
}

void ChromiumWorker::WarnUnsupported(const Orvo::Browser::ServerRequest& request) {
    std::string ignored = Option::Ignored({request.options.begin(), request.options.end()});
    const std::map<std::string, std::string> sorted(request.options.begin(), request.options.end());
    for (const auto& option : sorted) {
        const Option::Row* row = Option::Find(option.first);
        if (row != nullptr && !row->spec.chromium) {
            ignored += (ignored.empty() ? "" : ", ") + option.first + " (not on the chromium engine)";
        }
    }
    if (!ignored.empty()) {
        LOG4CPLUS_WARN(logger, "ChromiumWorker::Serve => options ignored: " << ignored);
    }
}

// The request's script runs in the page before it is read; its exception
// is logged and the page answered all the same. Its value; null when it
// threw.
nlohmann::json ChromiumWorker::RunScript(ChromiumPage& page, const std::string& script) {
    try {
        return page.Evaluate(script);
    } catch (const DevToolsError& e) {
        LOG4CPLUS_WARN(logger, "ChromiumWorker::RunScript => " << e.what());
        return nlohmann::json();
    }
}

void ChromiumWorker::Serve(const Orvo::Browser::ServerRequest& request) {
    LOG4CPLUS_INFO(logger, "ChromiumWorker::Serve => " << request.url << " (" << request.name << ")");
    WarnUnsupported(request);
    const Option::Tuple options = OptionsOf(request);
    if (!served) {
        keepMs = std::clamp(Option::Get<Option::Keep>(options), 0, Option::Keep::MaxMs);
        served = true;
    }
    if (!Option::Get<Option::LuaSource>(options).empty()) {
        return ServeScript(request, options);
    }
    if (!Loadable(request.url)) {
        LOG4CPLUS_INFO(logger, "ChromiumWorker::Serve => unusable URL: " << request.url);
        return Answer(request, request.url, QString(), std::string(), QImage());
    }
    try {
        ChromiumPage page(browser, ProxyOf(options));
        const ChromiumPage::Rendered rendered = page.Render(LoadOf(request, options));
        if (rendered.crashed) {
            LOG4CPLUS_ERROR(logger, "ChromiumWorker::Serve => the page's renderer crashed: " << request.url);
            return AnswerDead(request);
        }
        if (rendered.stoppedLoading) {
            LOG4CPLUS_INFO(logger, "ChromiumWorker::Serve => loading stopped, sub-resources silent for "
                                       << Option::Get<Option::ResourceTimeout>(options) << " ms: " << request.url);
        }
        if (!rendered.ok || rendered.status == 0 || Orvo::Browser::IsFailedNavigationStatus(rendered.status)) {
            const QString status = rendered.status != 0 ? QString::number(rendered.status) : QString();
            LOG4CPLUS_INFO(logger, "ChromiumWorker::Serve => failed: " << rendered.url << " " << rendered.error);
            return Answer(request, rendered.url, status,
                          Body(options, page, rendered, std::string(), false, nlohmann::json()), QImage());
        }
        AnswerRendered(request, options, page, rendered);
    } catch (const DevToolsError& e) {
        LOG4CPLUS_ERROR(logger, "ChromiumWorker::Serve => " << request.url << ": " << e.what());
        Answer(request, request.url, QString(), std::string(), QImage());
        browserLost = !browser.Running();
    } catch (const nlohmann::json::exception& e) {
        // An answer of the browser's without what it should hold fails the
        // page, not the worker.
        LOG4CPLUS_ERROR(logger, "ChromiumWorker::Serve => " << request.url << ": the browser answered " << e.what());
        Answer(request, request.url, QString(), std::string(), QImage());
    }
}

void ChromiumWorker::ServeScript(const Orvo::Browser::ServerRequest& request, const Option::Tuple& options) {
    const int timeoutMs = std::max(0, Option::Get<Option::Timeout>(options));
    const long long deadline = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count()
                               + timeoutMs;
    std::pair<QByteArray, QByteArray> answer;
    std::string url = request.url;
    bool gone = true;
    try {
        ChromiumPage page(browser, ProxyOf(options));
        const ChromiumPage::Load load = LoadOf(request, options);
        ChromiumScriptPage::Settings settings;
        settings.deadlineMs = deadline;
        settings.javaScriptLimitMs = JavaScriptLimitMs();
        settings.fileUrls = fileUrlsAllowed;
        settings.proxy = QtProxyOf(options);
        ChromiumScriptPage* scripted = new ChromiumScriptPage(page, load, settings, nullptr);
        scripted->SetViewportSize(QSize(load.width, load.height));
        const std::unique_ptr<QScriptRunner> runner(SplashScript::Create(scripted, nullptr));
        answer = RunLua(*runner, *scripted, options);
        gone = scripted->Gone();
        url = gone ? url : scripted->Url().toString().toStdString();
    } catch (const DevToolsError& e) {
        LOG4CPLUS_ERROR(logger, "ChromiumWorker::ServeScript => " << e.what());
    }
    browserLost = !browser.Running();
    if (gone) {
        LOG4CPLUS_ERROR(logger, "ChromiumWorker::ServeScript => the page was lost: " << request.name);
        return AnswerDead(request);
    }
    Answer(request, url, QString::fromUtf8(answer.first), answer.second.toStdString(), QImage());
}

std::pair<QByteArray, QByteArray> ChromiumWorker::RunLua(QScriptRunner& runner, ChromiumScriptPage& page,
                                                          const Option::Tuple& options) {
    std::pair<QByteArray, QByteArray> answer;
    QEventLoop loop;
    QObject::connect(&runner, &QScriptRunner::Finished, &loop,
                     [&answer, &loop](const QByteArray& detail, const QByteArray& body) {
                         answer = {detail, body};
                         loop.quit();
                     });
    QTimer expiry;
    expiry.setSingleShot(true);
    QObject::connect(&expiry, &QTimer::timeout, &runner, &QScriptRunner::Abandon);
    expiry.start(std::max(0, Option::Get<Option::Timeout>(options)));
    // The page's events are taken while the script waits; a browser that
    // stopped answering ends the script.
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, &loop, [&page, &loop]() {
        page.TakePending();
        if (page.Gone()) {
            loop.quit();
        }
    });
    pump.start(PollMs);
    LuaState::Budget budget;
    budget.slice = std::chrono::milliseconds(Orvo::Browser::ServerTimes::ScriptLimitMs());
    runner.Start(QByteArray::fromStdString(Option::Get<Option::LuaSource>(options)),
                 QByteArray::fromStdString(Option::Get<Option::LuaArguments>(options)), budget);
    if (runner.GetState() != QScriptRunner::State::Done) {
        loop.exec();
    }
    runner.Stop();
    return answer;
}

// As for a worker that died: its client sends the request again.
void ChromiumWorker::AnswerDead(const Orvo::Browser::ServerRequest& request) {
    const QString dead = QString::fromLatin1(Orvo::Browser::WireFormat::Dead);
    Answer(request, request.url, dead, Orvo::Browser::WireFormat::Dead, QImage());
}

// The WebKit engine's watchdog setting (JSC_watchdog, in ms) when it is
// given, so that both engines stop a script's JavaScript alike.
int ChromiumWorker::JavaScriptLimitMs() {
    const QByteArray given = qgetenv("JSC_watchdog");
    bool number = false;
    const int ms = given.toInt(&number);
    return number && ms > 0 ? ms : Orvo::Browser::ServerTimes::ScriptLimitMs();
}

// http and https, about:blank, and file only with --allow-file-urls: the
// WebKit worker's rule.
bool ChromiumWorker::Loadable(const std::string& url) const {
    const QUrl target(QString::fromStdString(url));
    const QString scheme = target.scheme().toLower();
    const bool files = fileUrlsAllowed;
    return url == "about:blank"
           || (target.isValid() && !target.isRelative()
               && (scheme == QLatin1String("http") || scheme == QLatin1String("https")
                   || (scheme == QLatin1String("file") && files)));
}

Option::Tuple ChromiumWorker::OptionsOf(const Orvo::Browser::ServerRequest& request) {
    Option::Tuple options;
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::InitValue());
    if (request.options.count(Option::Timeout::Name()) == 0) {
        Option::Get<Option::Timeout>(options) = Orvo::Browser::ServerTimes::PageTimeOutMs();
    }
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::GetOption(request.options));
    return options;
}

// As ProxyOf, for Qt's network.
QNetworkProxy ChromiumWorker::QtProxyOf(const Option::Tuple& options) {
    const std::string& text = Option::Get<Option::Proxy>(options);
    Option::Proxy::Address address;
    if (text.empty()) {
        return QNetworkProxy(QNetworkProxy::NoProxy);
    }
    if (!Option::Proxy::Parse(text, address)) {
        return QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("unusable-proxy.invalid"), 1);
    }
    return QNetworkProxy(address.socks ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy,
                         QString::fromStdString(address.host), static_cast<quint16>(address.port),
                         QString::fromStdString(address.user), QString::fromStdString(address.password));
}

// A proxy text that does not parse sends every request to a proxy that
// does not exist, so that nothing goes out directly.
ChromiumPage::Proxy ChromiumWorker::ProxyOf(const Option::Tuple& options) {
    ChromiumPage::Proxy proxy;
    const std::string& text = Option::Get<Option::Proxy>(options);
    if (text.empty()) {
        return proxy;
    }
    Option::Proxy::Address address;
    if (!Option::Proxy::Parse(text, address)) {
        proxy.server = "http://unusable-proxy.invalid:1";
        return proxy;
    }
    const std::string host = address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
    proxy.server = (address.socks ? "socks5://" : "http://") + host + ":" + std::to_string(address.port);
    proxy.user = address.user;
    proxy.password = address.password;
    return proxy;
}

ChromiumPage::Load ChromiumWorker::LoadOf(const Orvo::Browser::ServerRequest& request,
                                          const Option::Tuple& options) const {
    ChromiumPage::Load load;
    load.url = request.url;
    load.timeoutMs = std::max(0, Option::Get<Option::Timeout>(options));
    load.delayMs = std::clamp(Option::Get<Option::Delay>(options), 0, load.timeoutMs);
    if (!Option::Viewport::Parse(Option::Get<Option::Viewport>(options), load.width, load.height)) {
        load.width = DefaultWidth;
        load.height = DefaultHeight;
    }
    Option::Headers::Parse(Option::Get<Option::Headers>(options), load.headers);
    load.cookies = ChromiumCookies::OfHeader(Option::Get<Option::Cookie>(options), request.url);
    for (const nlohmann::json& cookie :
         ChromiumCookies::OfSetCookieLines(Option::Get<Option::SetCookies>(options), request.url)) {
        load.cookies.push_back(cookie);
    }
    load.rules = Orvo::Browser::RequestRules(Option::Get<Option::AllowedDomains>(options),
                                             Option::Get<Option::AllowedContentTypes>(options),
                                             Option::Get<Option::ForbiddenContentTypes>(options));
    if (!deniedNetworks.Empty()) {
        load.refuseHost = [this](const std::string& host, const std::string& url) {
            return RefuseDeniedNetwork(host, url);
        };
    }
    std::vector<std::string> disabled;
    Option::Disable::Parse(Option::Get<Option::Disable>(options), disabled);
    const auto off = [&disabled](const char* word) {
        return std::find(disabled.begin(), disabled.end(), word) != disabled.end();
    };
    load.images = !off("images");
    load.javascript = !off("javascript");
    load.baseUrl = Option::Get<Option::BaseUrl>(options);
    load.resourceTimeoutMs = std::max(0, Option::Get<Option::ResourceTimeout>(options));
    load.networkLog = Option::Get<Option::NetworkLog>(options);
    load.console = Option::Get<Option::ConsoleLog>(options) && Option::Get<Option::PageInfo>(options);
    load.responseBodies = Option::Get<Option::ResponseBodies>(options);
    load.body = Option::Get<Option::Post>(options);
    if (!load.body.empty() || Option::Get<Option::HttpMethod>(options) == "POST") {
        load.method = "POST";
    }
    return load;
}

// As the WebKit worker: the script runs first, then the snapshot is taken,
// the regions annotated and the document read. An XML document runs no
// script, has no snapshot and is read as XML.
void ChromiumWorker::AnswerRendered(const Orvo::Browser::ServerRequest& request, const Option::Tuple& options,
                                    ChromiumPage& page, const ChromiumPage::Rendered& rendered) {
    const nlohmann::json asXml = page.Evaluate(XmlScript);
    const bool xml = asXml.is_string();
    const bool script = !xml && !Option::Get<Option::Script>(options).empty();
    const nlohmann::json scriptValue = script ? RunScript(page, Option::Get<Option::Script>(options)) : nullptr;
    QString detail = DetailDate(rendered.lastModified);
    if (detail.isEmpty()) {
        detail = QString::fromStdString(TextOf(page.Evaluate("document.lastModified")));
    }
    const QImage snapshot = !xml && Option::Get<Option::Snapshot>(options) ? Snapshot(options, page) : QImage();
    const bool coordinate = Option::Get<Option::Coordinate>(options);
    if (coordinate) {
        page.Evaluate(PageScripts::RegionAnnotator().toStdString());
    }
    const std::string content = xml ? asXml.get<std::string>() : Content(options, page, rendered, script || coordinate);
    Answer(request, rendered.url, detail, Body(options, page, rendered, content, true, scriptValue), snapshot);
}

// The whole page at the viewport's width, cut at the height the request
// allows.
QImage ChromiumWorker::Snapshot(const Option::Tuple& options, ChromiumPage& page) {
    const int maxHeight = std::clamp(Option::Get<Option::MaxHeight>(options), 1, Option::MaxHeight::Default());
    const QByteArray png = QByteArray::fromBase64(QByteArray::fromStdString(page.SnapshotBase64(maxHeight)));
    return QImage::fromData(png, "PNG");
}

// The compact body serialisation with tiva, else the HTML: read again when
// the page changed since it was rendered.
std::string ChromiumWorker::Content(const Option::Tuple& options, ChromiumPage& page,
                                    const ChromiumPage::Rendered& rendered, bool changed) {
    if (Option::Get<Option::Tiva>(options)) {
        return TextOf(page.Evaluate(PageScripts::BodySerializer().toStdString()));
    }
    return changed ? page.Html() : rendered.html;
}

// The HTML, or with the pageInfo option the page's description, with the
// script's value and the console's messages when asked.
std::string ChromiumWorker::Body(const Option::Tuple& options, ChromiumPage& page,
                                 const ChromiumPage::Rendered& rendered, const std::string& html, bool ok,
                                 const nlohmann::json& scriptValue) {
    if (!Option::Get<Option::PageInfo>(options)) {
        return html;
    }
    nlohmann::json description = ChromiumDescription::Of(rendered, html, ok, page.Cookies(), page.NetworkArchive());
    if (Option::Get<Option::ConsoleLog>(options)) {
        description["console"] = page.Console();
    }
    if (Option::Get<Option::ScriptResult>(options)) {
        description["script"] = scriptValue;
    }
    if (Option::Get<Option::FrameTree>(options)) {
        description["frames"] = ok ? page.Frames() : nlohmann::json::array();
    }
    return description.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ChromiumWorker::RefuseDeniedNetwork(const std::string& host, const std::string& url) const {
    QString address;
    if (!deniedNetworks.Denies(QString::fromStdString(host), address)) {
        return std::string();
    }
    LOG4CPLUS_WARN(logger, "ChromiumWorker::RefuseDeniedNetwork => not sent: " << url << " (" << address.toStdString() << ")");
    return DeniedNetworks::Refusal(address, QString::fromStdString(host)).toStdString();
}
