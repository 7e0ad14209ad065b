#include "Request/QRequestHandler.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QDesktopWidget>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QWebElement>
#include <QWebFrame>
#include <QWebSettings>
#include <log4cplus/loggingmacros.h>

#include "Kernel/Configurator.h"
#include "Kernel/NavigationStatus.h"
#include "Kernel/ServerMediator.h"
#include "Kernel/ServerTimes.h"
#include "Network/QMyNetworkAccessManager.h"
#include "Network/QPageCookieJar.h"
#include "Page/PagePicture.h"
#include "Page/PageScripts.h"
#include "Page/PageJavaScript.h"
#include "Page/QEngineGaps.h"
#include "Page/QPageConsole.h"
#include "Page/QMyWebPage.h"
#include "Protocol/ServerOptionGetter.h"
#include "Protocol/WireFormat.h"
#include "Scripts/QScriptRunner.h"
#include "Scripts/SplashScript.h"
#include "Support/LoggerFactory.h"

namespace Option = Orvo::Browser::Option;

namespace {

const char* const Blank = "about:blank";
const char* const LastModifiedScript = "document.lastModified;";
const char* const XmlScript = "new XMLSerializer().serializeToString(    document.documentElement);";
const char* const XmlDocumentScript = "(document instanceof XMLDocument) && !(document instanceof HTMLDocument);";
const char* const ScriptSuffix = "\n1;";

std::string Utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

// Timers take no negative times; a negative option means at once.
int NonNegative(int ms) {
    return std::max(0, ms);
}

} // namespace

bool QRequestHandler::IsInvalidHttpStatus(int code) {
    return Orvo::Browser::IsFailedNavigationStatus(code);
}

QRequestHandler::QRequestHandler(QObject* parent)
    : QObject(parent),
      currentUrl(QString::fromLatin1(Blank)),
      progressed(false),
      layoutCompleted(false),
      documentCompleted(false),
      state(State::Idle),
      logger(Orvo::Logging::LoggerFactory::GetLogger("QRequestHandler")),
      requestSet(false),
      deadlineTimer(new QTimer(this)),
      delayTimer(new QTimer(this)) {
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::InitValue());
    page = new QMyWebPage(this);
    networkManager = new QMyNetworkAccessManager(page->networkAccessManager(), this);
    networkManager->SetFileUrlsAllowed(FileUrlsAllowed());
    networkManager->SetDeniedNetworks(DeniedNetworks::Configured());
    page->setNetworkAccessManager(networkManager);
    deadlineTimer->setSingleShot(true);
    delayTimer->setSingleShot(true);
    connect(deadlineTimer, SIGNAL(timeout()), this, SLOT(OnTimeOutTimer()));
    connect(delayTimer, SIGNAL(timeout()), this, SLOT(OnDelayTimer()));
}

bool QRequestHandler::ProcessRequest(const std::string& requestUrl, const std::string& name,
                                     const boost::unordered_map<std::string, std::string>& requestOptions) {
    url = QString::fromStdString(requestUrl);
    requestName = QString::fromStdString(name);
    LOG4CPLUS_INFO(logger, "RequestHandler::ProcessRequest => " << requestUrl << " (" << name << ")");
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::GetOption(requestOptions));
    const std::string ignored = Option::Ignored({requestOptions.begin(), requestOptions.end()});
    if (!ignored.empty()) {
        LOG4CPLUS_WARN(logger, "RequestHandler::ProcessRequest => options ignored: " << ignored);
    }
    if (requestOptions.find(Option::Timeout::Name()) == requestOptions.end()) {
        Option::Get<Option::Timeout>(options) = Orvo::Browser::ServerTimes::PageTimeOutMs();
    }
    ClampOptions();
    if (Option::Get<Option::NetworkLog>(options) || Option::Get<Option::ResponseBodies>(options)) {
        networkManager->RecordNetwork(Option::Get<Option::ResponseBodies>(options));
    }
    if (Option::Get<Option::EngineGaps>(options) && Option::Get<Option::PageInfo>(options) && gaps == nullptr) {
        gaps = new QEngineGaps(page, networkManager, this);
    }
    if (Option::Get<Option::ConsoleLog>(options) && Option::Get<Option::PageInfo>(options) && console == nullptr) {
        console = new QPageConsole(page, Option::ConsoleLog::MaxMessages, Option::ConsoleLog::MaxBytes, this);
    }
    requestSet = true;
    state = State::Loading;
    if (!Option::Get<Option::LuaSource>(options).empty()) {
        RunScript();
        return true;
    }
    const QUrl target(url);
    if (!IsLoadable(target)) {
        LOG4CPLUS_INFO(logger, "RequestHandler::ProcessRequest => unusable URL: " << requestUrl);
        currentUrl = url;
        PushOnNavigateError();
        return true;
    }
    return Navigate(url);
}

// No request may pin its page or its worker: the delay ends by the page's
// time-out, and a worker lingers an hour at most.
void QRequestHandler::ClampOptions() {
    int& delay = Option::Get<Option::Delay>(options);
    delay = std::min(delay, Option::Get<Option::Timeout>(options));
    int& keep = Option::Get<Option::Keep>(options);
    keep = std::min(keep, Option::Keep::MaxMs);
}

bool QRequestHandler::FileUrlsAllowed() {
    const boost::shared_ptr<Orvo::Browser::Configurator> configurator = Orvo::Browser::Configurator::instance;
    return configurator && configurator->AllowFileUrls();
}

// Read from the command line once; the worker checked it at start.
bool QRequestHandler::IsLoadable(const QUrl& target) const {
    if (url == QLatin1String(Blank)) {
        return true;
    }
    if (url.isEmpty() || !target.isValid() || target.isRelative()) {
        return false;
    }
    const QString scheme = target.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https")
           || (scheme == QLatin1String("file") && FileUrlsAllowed());
}

// The script drives the page itself; the handler gives it the page as the
// request's options set it up, answers with what it finishes with, and
// keeps the request's deadline.
void QRequestHandler::RunScript() {
    QWebFrame* frame = page->mainFrame();
    frame->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);
    frame->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    page->setViewportSize(ViewportSize());
    QNetworkRequest unused;
    bool posted = false;
    ApplyOptions(unused, posted);
    networkManager->RecordNetwork(Option::Get<Option::ResponseBodies>(options));
    // A script's page keeps nothing beyond itself unless the script says so.
    page->settings()->setAttribute(QWebSettings::PrivateBrowsingEnabled, true);
    script = SplashScript::Create(page, networkManager, CookieJar(), this);
    connect(script, &QScriptRunner::Finished, this, [this](const QByteArray& detail, const QByteArray& body) {
        const QString at = page != nullptr ? page->mainFrame()->url().toString() : url;
        DoPush(StringHolder(requestName.toUtf8()), StringHolder(at.toUtf8()), StringHolder(detail),
               StringHolder(body), SnapshotHolder());
    });
    deadlineTimer->start(NonNegative(Option::Get<Option::Timeout>(options)));
    LuaState::Budget budget;
    budget.slice = std::chrono::milliseconds(Orvo::Browser::ServerTimes::ScriptLimitMs());
    script->Start(QByteArray::fromStdString(Option::Get<Option::LuaSource>(options)),
                  QByteArray::fromStdString(Option::Get<Option::LuaArguments>(options)), budget);
}

bool QRequestHandler::Navigate(QString& target) {
    LOG4CPLUS_DEBUG(logger, "Navigate " << Utf8(target));
    QNetworkRequest request;
    request.setUrl(QUrl(target));
    QWebFrame* frame = page->mainFrame();
    connect(page, SIGNAL(loadProgress(int)), this, SLOT(OnLoadProgress(int)));
    connect(page, SIGNAL(loadFinished(bool)), this, SLOT(OnDocumentComplete(bool)));
    connect(frame, SIGNAL(initialLayoutCompleted()), this, SLOT(OnInitialLayoutCompleted()));
    connect(frame, SIGNAL(urlChanged(QUrl)), this, SLOT(OnUrlChanged(QUrl)));
    frame->evaluateJavaScript(QString());
    connect(frame, SIGNAL(javaScriptWindowObjectCleared()), this, SLOT(OnJavaScriptWindowObjectCleared()));
    frame->setScrollBarPolicy(Qt::Horizontal, Qt::ScrollBarAlwaysOff);
    frame->setScrollBarPolicy(Qt::Vertical, Qt::ScrollBarAlwaysOff);
    page->setViewportSize(ViewportSize());

    bool posted = false;
    if (requestSet && url != QLatin1String(Blank)) {
        ApplyOptions(request, posted);
    }
    const std::string& base = Option::Get<Option::BaseUrl>(options);
    if (!posted && requestSet && !base.empty()) {
        page->LoadWithBase(networkManager, request, QUrl(QString::fromStdString(base)));
    } else if (!posted) {
        frame->load(request, QNetworkAccessManager::GetOperation, QByteArray());
    }
    if (url != QLatin1String(Blank) && state == State::Loading) {
        deadlineTimer->start(NonNegative(Option::Get<Option::Timeout>(options)));
    }
    return true;
}

// The request's viewport when it names a usable one, else the screen's size.
QSize QRequestHandler::ViewportSize() const {
    int width = 0;
    int height = 0;
    if (Option::Viewport::Parse(Option::Get<Option::Viewport>(options), width, height)) {
        return QSize(width, height);
    }
    const QRect screen = QApplication::desktop()->screenGeometry(-1);
    return QSize(screen.right() - screen.left() + 1, screen.bottom() - screen.top() + 1);
}

void QRequestHandler::ApplyOptions(QNetworkRequest& request, bool& posted) {
    networkManager->SetResourceTimeout(Option::Get<Option::ResourceTimeout>(options));
    if (Option::Get<Option::PageInfo>(options)) {
        // The description lists the page's cookies: they go into a jar of
        // its own from the start.
        CookieJar();
    }
    ApplyDisable();
    ApplyCookies();
    ApplySetCookies();
    ApplyHeaders(request);
    ApplyProxy();
    ApplyFilters();
    const std::string& post = Option::Get<Option::Post>(options);
    if (!post.empty() || Option::Get<Option::HttpMethod>(options) == "POST") {
        LOG4CPLUS_INFO(logger, "POST => " << post);
        // The body goes out byte for byte as the client sent it.
        page->mainFrame()->load(request, QNetworkAccessManager::PostOperation, QByteArray::fromStdString(post));
        posted = true;
    }
}

void QRequestHandler::ApplyDisable() {
    const std::string& disable = Option::Get<Option::Disable>(options);
    if (disable.empty()) {
        return;
    }
    std::vector<std::string> words;
    Option::Disable::Parse(disable, words);
    const auto listed = [&words](const char* word) { return std::find(words.begin(), words.end(), word) != words.end(); };
    QWebSettings* settings = page->settings();
    if (listed("flash")) {
        settings->setAttribute(QWebSettings::PluginsEnabled, false);
    }
    if (listed("images")) {
        settings->setAttribute(QWebSettings::AutoLoadImages, false);
    }
    if (listed("java")) {
        settings->setAttribute(QWebSettings::JavaEnabled, false);
    }
    if (listed("javascript")) {
        settings->setAttribute(QWebSettings::JavascriptEnabled, false);
    }
}

// The main request carries the headers; a User-Agent among them goes with
// every request of the page.
void QRequestHandler::ApplyHeaders(QNetworkRequest& request) {
    std::vector<std::pair<std::string, std::string>> headers;
    Option::Headers::Parse(Option::Get<Option::Headers>(options), headers);
    for (const auto& header : headers) {
        const QByteArray name = QByteArray::fromStdString(header.first);
        const QByteArray value = QByteArray::fromStdString(header.second);
        request.setRawHeader(name, value);
        if (name.toLower() == "user-agent") {
            page->SetUserAgent(QString::fromUtf8(value));
        }
    }
}

// What the page may load: hosts and content types.
void QRequestHandler::ApplyFilters() {
    networkManager->SetRules(Orvo::Browser::RequestRules(Option::Get<Option::AllowedDomains>(options),
                                                         Option::Get<Option::AllowedContentTypes>(options),
                                                         Option::Get<Option::ForbiddenContentTypes>(options)));
}

// Every request of the page goes through the proxy. A proxy text that does
// not parse makes every request fail rather than go out directly.
void QRequestHandler::ApplyProxy() {
    const std::string& text = Option::Get<Option::Proxy>(options);
    if (text.empty()) {
        return;
    }
    Option::Proxy::Address address;
    if (!Option::Proxy::Parse(text, address)) {
        LOG4CPLUS_INFO(logger, "RequestHandler::ApplyProxy => unusable proxy: " << text);
        networkManager->SetPageProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("unusable-proxy.invalid"), 1));
        return;
    }
    networkManager->SetPageProxy(QNetworkProxy(address.socks ? QNetworkProxy::Socks5Proxy : QNetworkProxy::HttpProxy,
                                               QString::fromStdString(address.host),
                                               static_cast<quint16>(address.port), QString::fromStdString(address.user),
                                               QString::fromStdString(address.password)));
}

// The page's own cookie jar, made on first use, so that a page shares no
// cookie with another.
QPageCookieJar* QRequestHandler::CookieJar() {
    if (cookieJar == nullptr) {
        cookieJar = new QPageCookieJar(this);
        // The manager takes the jar as its child.
        networkManager->setCookieJar(cookieJar);
    }
    return cookieJar;
}

void QRequestHandler::ApplyCookies() {
    const std::string& cookie = Option::Get<Option::Cookie>(options);
    if (cookie.empty()) {
        return;
    }
    QString lines = QString::fromStdString(cookie);
    lines.replace(QLatin1Char(';'), QLatin1Char('\n'));
    CookieJar()->setCookiesFromUrl(QNetworkCookie::parseCookies(lines.toUtf8()), QUrl(url));
}

// Cookies of any host and path: a redirect to another path or host of the
// site carries those meant for it. One without a domain is the page's.
void QRequestHandler::ApplySetCookies() {
    const std::string& setCookies = Option::Get<Option::SetCookies>(options);
    if (setCookies.empty()) {
        return;
    }
    const QUrl address(url);
    for (QNetworkCookie cookie : QNetworkCookie::parseCookies(QByteArray::fromStdString(setCookies))) {
        if (cookie.domain().isEmpty()) {
            cookie.setDomain(address.host());
        }
        if (cookie.path().isEmpty()) {
            cookie.setPath(QStringLiteral("/"));
        }
        CookieJar()->insertCookie(cookie);
    }
}

void QRequestHandler::OnLoadProgress(int progress) {
    if (state != State::Loading) {
        return;
    }
    const QString requested = page->mainFrame()->requestedUrl().toString();
    LOG4CPLUS_DEBUG(logger, "OnProgressChange for " << Utf8(requested) << " (Progress => " << progress << ")");
    if (progress != 100) {
        return;
    }
    if (requested != page->mainFrame()->url().toString()) {
        currentUrl = requested;
    }
    if (currentUrl == requested) {
        if (currentUrl != QLatin1String(Blank) || url == QLatin1String(Blank)) {
            progressed = true;
            NoteLoaded();
        }
    }
    // A response without a document (204 No Content) reports its load
    // finished before its progress: nothing else would come to try again.
    if (progressed && documentCompleted) {
        TryPush();
    }
}

void QRequestHandler::OnUrlChanged(QUrl changed) {
    if (state == State::Answered) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "OnUrlChanged => " << Utf8(changed.toString()));
    currentUrl = changed.toString();
}

void QRequestHandler::NoteLoaded() {
    if (QNetworkLog* log = networkManager->Log()) {
        log->MarkLoaded();
    }
}

void QRequestHandler::OnDocumentComplete(bool) {
    if (state != State::Loading) {
        return;
    }
    currentUrl = page->mainFrame()->requestedUrl().toString();
    documentCompleted = true;
    NoteLoaded();
    LOG4CPLUS_DEBUG(logger, "OnDocumentComplete for " << Utf8(currentUrl) << " (progressed => " << (progressed ? 1 : 0)
                                                       << ")");
    TryPush();
}

void QRequestHandler::OnInitialLayoutCompleted() {
    if (state != State::Loading) {
        return;
    }
    layoutCompleted = true;
    TryPush();
}

void QRequestHandler::OnJavaScriptWindowObjectCleared() {}

bool QRequestHandler::TryPush() {
    const bool ready = progressed || (layoutCompleted && documentCompleted && currentUrl != QLatin1String(Blank));
    if (!ready) {
        return false;
    }
    if (DocumentArrived()) {
        state = State::Ready;
        delayTimer->start(NonNegative(Option::Get<Option::Delay>(options)));
        return true;
    }
    LOG4CPLUS_DEBUG(logger, "OnNavigateError for " << Utf8(currentUrl));
    return PushOnNavigateError();
}

// about:blank arrives without any reply.
bool QRequestHandler::DocumentArrived() const {
    if (url == QLatin1String(Blank)) {
        return true;
    }
    bool numeric = false;
    const int status = networkManager->Main().statusCode.toInt(&numeric, 10);
    return networkManager->Main().replied && !networkManager->Main().refused && numeric && !IsInvalidHttpStatus(status);
}

void QRequestHandler::OnDelayTimer() {
    if (state == State::Ready) {
        PushOnDocumentComplete();
    }
}

// The deadline answers whatever state the page is in: a document that
// arrived is extracted as it stands, sub-resources still loading or not.
void QRequestHandler::OnTimeOutTimer() {
    LOG4CPLUS_DEBUG(logger, "OnTimeOutTimer");
    if (state != State::Loading && state != State::Ready) {
        return;
    }
    LOG4CPLUS_INFO(logger, Utf8(url) << " TIMEOUT");
    if (script != nullptr) {
        script->Abandon();
        return;
    }
    if (DocumentArrived()) {
        PushOnDocumentComplete();
        return;
    }
    currentUrl = page->mainFrame()->requestedUrl().toString();
    if (currentUrl.isEmpty()) {
        currentUrl = url;
    }
    LOG4CPLUS_DEBUG(logger, "OnNavigateError for " << Utf8(currentUrl));
    PushOnNavigateError();
}

bool QRequestHandler::IsXmlMode() {
    QString mimeType;
    if (!GetMimeType(mimeType)) {
        return false;
    }
    const bool xmlType = !mimeType.contains(QLatin1String("xhtml"), Qt::CaseInsensitive)
                         && (mimeType.contains(QLatin1String("/xml"), Qt::CaseInsensitive)
                             || mimeType.contains(QLatin1String("+xml"), Qt::CaseInsensitive));
    return xmlType && IsXMLDocument();
}

bool QRequestHandler::PushOnDocumentComplete() {
    QString lastModified;
    GetLastModified(lastModified);
    const bool xml = IsXmlMode();
    if (!xml && !Option::Get<Option::Script>(options).empty()) {
        ProcessOptScript();
    }
    SnapshotHolder snapshot;
    if (!xml && Option::Get<Option::Snapshot>(options)) {
        GetSnapshot(snapshot);
    }
    if (Option::Get<Option::Coordinate>(options)) {
        ProcessOptCoordinate();
    }
    QString content;
    if (xml) {
        GetXML(content);
    } else {
        GetRenderedHTML(content);
    }
    LOG4CPLUS_INFO(logger, "RequestHandler::PushOnDocumentComplete => " << Utf8(currentUrl) << " ("
                                                                         << Utf8(requestName) << ")");
    return DoPush(StringHolder(requestName.toUtf8()), StringHolder(currentUrl.toUtf8()),
                  StringHolder(lastModified.toUtf8()), StringHolder(Body(content, true)), snapshot);
}

bool QRequestHandler::PushOnNavigateError() {
    return DoPush(StringHolder(requestName.toUtf8()), StringHolder(currentUrl.toUtf8()),
                  StringHolder(networkManager->Main().statusCode.toUtf8()), StringHolder(Body(QString(), false)),
                  SnapshotHolder());
}

QByteArray QRequestHandler::Body(const QString& content, bool ok) const {
    if (!Option::Get<Option::PageInfo>(options)) {
        return content.toUtf8();
    }
    QJsonArray history;
    for (const MainResponse::Response& response : networkManager->Main().history) {
        QJsonArray headers;
        for (const QNetworkReply::RawHeaderPair& header : response.headers) {
            headers.append(QJsonArray{QString::fromLatin1(header.first), QString::fromUtf8(header.second)});
        }
        history.append(QJsonObject{{"url", response.url},
                                   {"method", response.method},
                                   {"status", response.status.toInt()},
                                   {"reason", response.reason},
                                   {"headers", headers}});
    }
    // Without any response, status and reason are null.
    const QJsonObject last = history.isEmpty() ? QJsonObject() : history.last().toObject();
    const QString finalUrl = page != nullptr ? page->mainFrame()->url().toString() : QString();
    const QString& error = networkManager->Main().error;
    QJsonObject info{{"html", content},
                     {"ok", ok},
                     {"url", !finalUrl.isEmpty() ? finalUrl : last.value("url").toString(url)},
                     {"status", history.isEmpty() ? QJsonValue() : last.value("status")},
                     {"reason", history.isEmpty() ? QJsonValue() : last.value("reason")},
                     {"error", error.isEmpty() ? QJsonValue() : error},
                     {"cookies", cookieJar != nullptr ? cookieJar->ToJson() : QJsonArray()},
                     {"history", history}};
    if (const QNetworkLog* log = networkManager->Log()) {
        info.insert("har", log->Archive(page != nullptr ? page->mainFrame()->title() : QString()));
    }
    if (gaps != nullptr) {
        info.insert("lacks", QJsonArray::fromStringList(gaps->Found()));
    }
    if (console != nullptr) {
        info.insert("console", console->Messages());
    }
    if (Option::Get<Option::ScriptResult>(options)) {
        info.insert("script", scriptValue);
    }
    if (Option::Get<Option::FrameTree>(options) && page != nullptr) {
        info.insert("frames", ChildFrames(page->mainFrame()));
    }
    return QJsonDocument(info).toJson(QJsonDocument::Compact);
}

// The engine tells a child frame's address by the one it was asked for.
QJsonArray QRequestHandler::ChildFrames(const QWebFrame* frame) {
    QJsonArray frames;
    for (const QWebFrame* child : frame->childFrames()) {
        const QRect place = child->geometry();
        const QUrl address = child->url().isEmpty() ? child->requestedUrl() : child->url();
        frames.append(QJsonObject{{"url", address.toString()},
                                  {"title", child->title()},
                                  {"name", child->frameName()},
                                  {"geometry", QJsonArray{place.x(), place.y(), place.width(), place.height()}},
                                  {"html", child->toHtml()},
                                  {"frames", ChildFrames(child)}});
    }
    return frames;
}

bool QRequestHandler::PushDead() {
    const StringHolder dead(QByteArray(Orvo::Browser::WireFormat::Dead));
    return DoPush(StringHolder(requestName.toUtf8()), StringHolder(url.toUtf8()), dead, dead, SnapshotHolder());
}

bool QRequestHandler::DoPush(const StringHolder& name, const StringHolder& pageUrl, const StringHolder& detail,
                             const StringHolder& body, const SnapshotHolder& snapshot) {
    if (state == State::Answered) {
        return false;
    }
    state = State::Answered;
    const boost::shared_ptr<Orvo::Browser::ServerMediator> mediator = Orvo::Browser::ServerMediator::instance;
    bool sent = false;
    try {
        mediator->SendResponse(name, pageUrl, detail, body, snapshot);
        currentUrl = QString::fromLatin1(Blank);
        sent = true;
    } catch (const std::exception& e) {
        LOG4CPLUS_ERROR(logger, "QRequestHandler::DoPush => not answered: " << Utf8(url) << " (" << e.what() << ")");
    } catch (...) {
        LOG4CPLUS_ERROR(logger, "QRequestHandler::DoPush => not answered: " << Utf8(url) << " (an unknown exception)");
    }
    Destroy();
    emit Answered();
    return sent;
}

void QRequestHandler::Destroy() {
    LOG4CPLUS_DEBUG(logger, "DestroyWindow for " << Utf8(url));
    ReleasePage();
    deleteLater();
}

void QRequestHandler::ReleasePage() {
    deadlineTimer->stop();
    delayTimer->stop();
    if (script != nullptr) {
        script->Stop();
    }
    if (page != nullptr) {
        page->disconnect(this);
        page->mainFrame()->disconnect(this);
        page->deleteLater();
        page = nullptr;
    }
    if (networkManager != nullptr) {
        networkManager->deleteLater();
        networkManager = nullptr;
        cookieJar = nullptr;
    }
}

QVariant QRequestHandler::Evaluate(const QString& script) {
    return page->mainFrame()->evaluateJavaScript(script);
}

bool QRequestHandler::GetMimeType(QString& out) {
    if (!networkManager->Main().replied) {
        return false;
    }
    out = networkManager->Main().contentType;
    return true;
}

bool QRequestHandler::GetLastModified(QString& out) {
    if (!networkManager->Main().replied) {
        return false;
    }
    if (networkManager->Main().lastModified.isValid()) {
        out = networkManager->Main().lastModified.toString(
            QLatin1String(Orvo::Browser::WireFormat::LastModifiedPattern));
    }
    if (!out.isEmpty()) {
        return true;
    }
    const QVariant value = Evaluate(QLatin1String(LastModifiedScript));
    if (!value.isValid()) {
        return false;
    }
    out = value.toString();
    return true;
}

bool QRequestHandler::IsXMLDocument() {
    if (page->mainFrame()->documentElement().tagName().toLower() == QLatin1String("html")) {
        return false;
    }
    const QVariant value = Evaluate(QLatin1String(XmlDocumentScript));
    return value.isValid() && value.toBool();
}

bool QRequestHandler::GetXML(QString& out) {
    const QVariant value = Evaluate(QLatin1String(XmlScript));
    if (!value.isValid()) {
        return false;
    }
    out = value.toString();
    return true;
}

bool QRequestHandler::GetRenderedHTML(QString& out) {
    if (!Option::Get<Option::Tiva>(options)) {
        out = page->mainFrame()->toHtml();
        return true;
    }
    const QVariant value = Evaluate(QString::fromUtf8(PageScripts::BodySerializer()));
    if (!value.isValid()) {
        return false;
    }
    out = value.toString();
    return true;
}

// The script's value is kept only when asked for: it then leaves the page
// as plain JSON data.
bool QRequestHandler::ProcessOptScript() {
    const QByteArray script = QByteArray::fromStdString(Option::Get<Option::Script>(options));
    if (!Option::Get<Option::ScriptResult>(options)) {
        Evaluate(QString::fromUtf8(script + ScriptSuffix));
        return true;
    }
    const QVariantMap result = PageJavaScript::Evaluate(page->mainFrame(), QString::fromUtf8(script));
    scriptValue = result.value(QStringLiteral("ok")).toBool()
                      ? PageJavaScript::ToJson(result.value(QStringLiteral("value")))
                      : QJsonValue();
    return true;
}

bool QRequestHandler::ProcessOptCoordinate() {
    Evaluate(QString::fromUtf8(PageScripts::RegionAnnotator()));
    return true;
}

// The picture starts white, so that what the page does not paint shows as a
// blank page would. A page taller than the height cap is cut there. A page
// answered before its first layout has no contents size yet: it is drawn
// at its viewport's size, blank as a browser would show it.
bool QRequestHandler::GetSnapshot(SnapshotHolder& snapshot) {
    QSize size = page->mainFrame()->contentsSize();
    if (size.isEmpty()) {
        size = page->viewportSize();
    }
    if (size.width() > PagePicture::MaxWidth) {
        LOG4CPLUS_INFO(logger, "GetSnapshot => cut at " << PagePicture::MaxWidth << " of " << size.width()
                                                        << " px wide for " << Utf8(url));
        size.setWidth(PagePicture::MaxWidth);
    }
    const int cap = std::min(PagePicture::MaxHeight, std::max(1, Option::Get<Option::MaxHeight>(options)));
    if (size.height() > cap) {
        LOG4CPLUS_INFO(logger, "GetSnapshot => cut at " << cap << " of " << size.height() << " px for "
                                                        << Utf8(url));
        size.setHeight(cap);
    }
    page->setViewportSize(size);
    try {
        std::uint32_t length = 0;
        boost::shared_array<char> bytes = PagePicture::Snapshot(page->mainFrame(), &length);
        snapshot = SnapshotHolder(std::move(bytes), length);
        return true;
    } catch (const std::exception& e) {
        LOG4CPLUS_INFO(logger, "GetSnapshot => no snapshot of " << size.width() << "x" << size.height() << " for "
                                                                << Utf8(url) << ": " << e.what());
    }
    return false;
}

