#include "Impl/QRequestHandler.h"

#include <algorithm>
#include <vector>

#include <QApplication>
#include <QDesktopWidget>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QPainter>
#include <QTimer>
#include <QWebElement>
#include <QWebFrame>
#include <QWebSettings>
#include <log4cplus/loggingmacros.h>

#include "Impl/PageScripts.h"
#include "Impl/QMyNetworkAccessManager.h"
#include "Impl/QMyWebPage.h"
#include "Kernel/ServerMediator.h"
#include "Kernel/ServerTimes.h"
#include "Protocol/ServerOptionGetter.h"
#include "Support/LoggerFactory.h"

namespace Option = Orvo::Browser::Option;

namespace {

const char* const Blank = "about:blank";
const char* const LastModifiedPattern = "MM/dd/yyyy hh:mm:ss";
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
    return (code >= 400 && code <= 415) || code == 449 || (code >= 500 && code <= 505);
}

QRequestHandler::QRequestHandler(QObject* parent)
    : QObject(parent),
      currentUrl(QString::fromLatin1(Blank)),
      progressed(false),
      finished(false),
      layoutCompleted(false),
      documentCompleted(false),
      logger(Orvo::Logging::LoggerFactory::GetLogger("QRequestHandler")),
      requestSet(false) {
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::InitValue());
    page = new QMyWebPage(this);
    networkManager = new QMyNetworkAccessManager(page->networkAccessManager(), this);
    page->setNetworkAccessManager(networkManager);
}

bool QRequestHandler::ProcessRequest(const std::string& requestUrl, const std::string& name,
                                     const boost::unordered_map<std::string, std::string>& requestOptions) {
    url = QString::fromStdString(requestUrl);
    requestName = QString::fromStdString(name);
    LOG4CPLUS_INFO(logger, "RequestHandler::ProcessRequest => " << requestUrl << " (" << name << ")");
    Option::ForEach(options, Orvo::Browser::ServerOptionGetter::GetOption(requestOptions));
    requestSet = true;
    return Navigate(url);
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
    const QRect screen = QApplication::desktop()->screenGeometry(-1);
    page->setViewportSize(QSize(screen.right() - screen.left() + 1, screen.bottom() - screen.top() + 1));

    bool posted = false;
    if (requestSet && url != QLatin1String(Blank)) {
        ApplyOptions(request, posted);
    }
    if (!posted) {
        frame->load(request, QNetworkAccessManager::GetOperation, QByteArray());
    }
    if (url != QLatin1String(Blank)) {
        QTimer::singleShot(Orvo::Browser::ServerTimes::PageTimeOutMs(), this, SLOT(OnTimeOutTimer()));
    }
    return true;
}

void QRequestHandler::ApplyOptions(QNetworkRequest& request, bool& posted) {
    ApplyDisable();
    ApplyCookies();
    const std::string& post = Option::Get<Option::Post>(options);
    if (!post.empty()) {
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

void QRequestHandler::ApplyCookies() {
    const std::string& cookie = Option::Get<Option::Cookie>(options);
    if (cookie.empty()) {
        return;
    }
    QNetworkCookieJar* jar = new QNetworkCookieJar(this);
    networkManager->setCookieJar(jar);
    QString lines = QString::fromStdString(cookie);
    lines.replace(QLatin1Char(';'), QLatin1Char('\n'));
    jar->setCookiesFromUrl(QNetworkCookie::parseCookies(lines.toUtf8()), QUrl(url));
}

void QRequestHandler::OnLoadProgress(int progress) {
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
        }
    }
}

void QRequestHandler::OnUrlChanged(QUrl changed) {
    LOG4CPLUS_DEBUG(logger, "OnUrlChanged => " << Utf8(changed.toString()));
    currentUrl = changed.toString();
}

void QRequestHandler::OnDocumentComplete(bool) {
    currentUrl = page->mainFrame()->requestedUrl().toString();
    documentCompleted = true;
    LOG4CPLUS_DEBUG(logger, "OnDocumentComplete for " << Utf8(currentUrl) << " (progressed => " << (progressed ? 1 : 0)
                                                       << ")");
    TryPush();
}

void QRequestHandler::OnInitialLayoutCompleted() {
    layoutCompleted = true;
    TryPush();
}

void QRequestHandler::OnJavaScriptWindowObjectCleared() {}

bool QRequestHandler::TryPush() {
    const bool ready = progressed || (layoutCompleted && documentCompleted && currentUrl != QLatin1String(Blank));
    if (!ready) {
        return false;
    }
    bool numeric = false;
    const int status = networkManager->statusCode.toInt(&numeric, 10);
    if (networkManager->replied && numeric && !IsInvalidHttpStatus(status)) {
        QTimer::singleShot(NonNegative(Option::Get<Option::Delay>(options)), this, SLOT(OnDelayTimer()));
        return true;
    }
    LOG4CPLUS_DEBUG(logger, "OnNavigateError for " << Utf8(currentUrl));
    return PushOnNavigateError();
}

void QRequestHandler::OnDelayTimer() {
    PushOnDocumentComplete();
}

void QRequestHandler::OnTimeOutTimer() {
    LOG4CPLUS_DEBUG(logger, "OnTimeOutTimer");
    if (progressed) {
        OnDocumentComplete(false);
        return;
    }
    LOG4CPLUS_INFO(logger, Utf8(url) << " TIMEOUT");
    finished = true;
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
    ViewHolder view;
    if (!xml && Option::Get<Option::Snapshot>(options)) {
        GetSnapshot(view);
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
                  StringHolder(lastModified.toUtf8()), StringHolder(content.toUtf8()), view);
}

bool QRequestHandler::PushOnNavigateError() {
    return DoPush(StringHolder(requestName.toUtf8()), StringHolder(currentUrl.toUtf8()),
                  StringHolder(networkManager->statusCode.toUtf8()), StringHolder(QByteArray()), ViewHolder());
}

bool QRequestHandler::DoPush(const StringHolder& name, const StringHolder& pageUrl, const StringHolder& detail,
                             const StringHolder& body, const ViewHolder& view) {
    const boost::shared_ptr<Orvo::Browser::ServerMediator> mediator = Orvo::Browser::ServerMediator::instance;
    try {
        mediator->SendResponse(name, pageUrl, detail, body, view);
        currentUrl = QString::fromLatin1(Blank);
        finished = true;
        Destroy();
        return true;
    } catch (...) {
        Destroy();
        return false;
    }
}

void QRequestHandler::Destroy() {
    LOG4CPLUS_DEBUG(logger, "DestroyWindow for " << Utf8(url));
    deleteLater();
}

QVariant QRequestHandler::Evaluate(const QString& script) {
    return page->mainFrame()->evaluateJavaScript(script);
}

bool QRequestHandler::GetMimeType(QString& out) {
    if (!networkManager->replied) {
        return false;
    }
    out = networkManager->contentType;
    return true;
}

bool QRequestHandler::GetLastModified(QString& out) {
    if (!networkManager->replied) {
        return false;
    }
    if (networkManager->lastModified.isValid()) {
        out = networkManager->lastModified.toString(QLatin1String(LastModifiedPattern));
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

bool QRequestHandler::ProcessOptScript() {
    Evaluate(QString::fromUtf8(QByteArray::fromStdString(Option::Get<Option::Script>(options)) + ScriptSuffix));
    return true;
}

bool QRequestHandler::ProcessOptCoordinate() {
    Evaluate(QString::fromUtf8(PageScripts::RegionAnnotator()));
    return true;
}

// The image starts white, so that what the page does not paint shows as a
// blank page would.
bool QRequestHandler::GetSnapshot(ViewHolder& view) {
    page->setViewportSize(page->mainFrame()->contentsSize());
    QImage image(page->viewportSize(), QImage::Format_RGB888);
    image.fill(Qt::white);
    QPainter painter(&image);
    page->mainFrame()->render(&painter);
    painter.end();
    view = ViewHolder(image);
    return true;
}
