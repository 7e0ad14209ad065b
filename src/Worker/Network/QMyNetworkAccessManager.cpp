#include "Network/QMyNetworkAccessManager.h"

#include <algorithm>

#include <QNetworkCookieJar>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <log4cplus/loggingmacros.h>

#include "Network/QRecordingReply.h"
#include "Support/LoggerFactory.h"

QMyNetworkAccessManager::QMyNetworkAccessManager(QNetworkAccessManager* pageManager, QObject* parent)
    : QNetworkAccessManager(parent),
      logger(Orvo::Logging::LoggerFactory::GetLogger("QMyNetworkAccessManager")),
      mainReply(nullptr),
      resourceTimeoutMs(0),
      fileUrlsAllowed(false),
      proxies(new QRequestProxies(pageManager->proxy())) {
    setCache(pageManager->cache());
    setCookieJar(pageManager->cookieJar());
    setProxyFactory(proxies);
}

void QMyNetworkAccessManager::SetPageProxy(const QNetworkProxy& proxy) {
    proxies->SetPageProxy(proxy);
}

void QMyNetworkAccessManager::SetResourceTimeout(int milliseconds) {
    resourceTimeoutMs = milliseconds;
}

void QMyNetworkAccessManager::SetFileUrlsAllowed(bool allowed) {
    fileUrlsAllowed = allowed;
}

void QMyNetworkAccessManager::SetRules(const Orvo::Browser::RequestRules& given) {
    rules = given;
}

void QMyNetworkAccessManager::SetDeniedNetworks(const DeniedNetworks& networks) {
    deniedNetworks = networks;
}

// A request to a host not allowed goes to a scheme no manager knows, so that
// it fails as any failed request does.
void QMyNetworkAccessManager::RefuseHostNotAllowed(QNetworkRequest& request, bool main) {
    if (rules.AllowsHost(request.url().host().toStdString())) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::createRequest => host not allowed: "
                                << request.url().toString().toUtf8().constData());
    if (main && mainResponse.error.isEmpty()) {
        mainResponse.error =
            QString::fromStdString(Orvo::Browser::RequestRules::HostRefusal(request.url().host().toStdString()));
    }
    request.setUrl(QUrl(QStringLiteral("refused-domain:")));
}

// Every request of a page, and every fetch of a script, passes here with
// the headers that anyone gave it: a header name that is not a token, or a
// value with a line break, would let its giver write further headers or a
// second request. Such a request is not sent.
void QMyNetworkAccessManager::RefuseUnsafeHeaders(QNetworkRequest& request, bool main) {
    for (const QByteArray& name : request.rawHeaderList()) {
        if (Orvo::Browser::RequestRules::SafeHeader(name.toStdString(), request.rawHeader(name).toStdString())) {
            continue;
        }
        LOG4CPLUS_WARN(logger, "QMyNetworkAccessManager::RefuseUnsafeHeaders => not sent: "
                                   << request.url().toString().toUtf8().constData() << " (header "
                                   << QString::fromLatin1(name.toPercentEncoding()).toUtf8().constData() << ")");
        if (main && mainResponse.error.isEmpty()) {
            mainResponse.error = QString::fromStdString(Orvo::Browser::RequestRules::HeaderRefusal(name.toStdString()));
        }
        request.setUrl(QUrl(QStringLiteral("refused-header:")));
        return;
    }
}

// The check every request of a page, every redirection and every fetch of
// a script passes, so that a page cannot reach what the worker's networks
// hold (the service's own port, a cloud's metadata address).
void QMyNetworkAccessManager::RefuseDeniedNetwork(QNetworkRequest& request, bool main) {
    QString address;
    if (!deniedNetworks.Denies(request.url().host(), address)) {
        return;
    }
    LOG4CPLUS_WARN(logger, "QMyNetworkAccessManager::RefuseDeniedNetwork => not sent: "
                               << request.url().toString().toUtf8().constData() << " ("
                               << address.toUtf8().constData() << ")");
    if (main && mainResponse.error.isEmpty()) {
        mainResponse.error = DeniedNetworks::Refusal(address, request.url().host());
    }
    request.setUrl(QUrl(QStringLiteral("refused-network:")));
}

void QMyNetworkAccessManager::WatchContentType(QNetworkReply* reply) {
    if (rules.FiltersTypes()) {
        connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply]() { CheckContentType(reply); });
    }
}

void QMyNetworkAccessManager::CheckContentType(QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300 && status < 400) {
        // A redirection's own body is not what the page loads.
        return;
    }
    const std::string type = reply->header(QNetworkRequest::ContentTypeHeader).toString().toStdString();
    if (rules.AllowsType(type)) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::CheckContentType => aborted "
                                << reply->url().toString().toUtf8().constData() << " (" << type << ")");
    if (reply == mainReply) {
        mainResponse.error = QString::fromStdString(Orvo::Browser::RequestRules::TypeRefusal(type));
        mainResponse.refused = true;
    }
    reply->abort();
}

QNetworkReply* QMyNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest& original,
                                                      QIODevice* outgoingData) {
    QNetworkRequest request(original);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, http2);
    for (const auto& header : customHeaders) {
        if (!request.hasRawHeader(header.first)) {
            request.setRawHeader(header.first, header.second);
        }
    }
    const bool aside = request.attribute(AsideAttribute).toBool();
    RequestDecision decision;
    if (requestHook && !aside) {
        // A hook may set the hooks anew while it runs.
        const RequestHook hook = requestHook;
        hook(request, operation, decision);
    }
    const QUrl asked = request.url();
    if (decision.abort) {
        LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::createRequest => aborted by the script: "
                                    << asked.toString().toUtf8().constData());
        request.setUrl(QUrl(QStringLiteral("aborted-by-script:")));
    }
    if (request.url().isLocalFile() && !fileUrlsAllowed) {
        // A scheme no manager knows: the reply fails as any failed request
        // does, and the file is never opened.
        LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::createRequest => file URL refused: "
                                    << request.url().toString().toUtf8().constData());
        request.setUrl(QUrl(QStringLiteral("refused-file:")));
    }
    if (aside) {
        RefuseHostNotAllowed(request, false);
        RefuseUnsafeHeaders(request, false);
        RefuseDeniedNetwork(request, false);
        return Issue(operation, request, outgoingData, asked, decision);
    }
    const bool watched = operation == HeadOperation || operation == GetOperation || operation == PostOperation;
    if (watched && IsRedirectionOfMainReply(request.url())) {
        // The engine follows a redirection as soon as the headers are in,
        // before the redirected reply has finished: the request for the
        // target becomes the main one. The old reply is the engine's still.
        LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::OnNetworkReplyFinished REDIRECT TO => "
                                    << request.url().toString().toUtf8().constData());
        disconnect(mainReply, nullptr, this, nullptr);
        mainReply = nullptr;
    }
    // Once the main document has replied, its reply may be gone (the engine
    // deletes it), and every further request is a sub-resource.
    const bool main = watched && mainReply == nullptr && !mainResponse.replied;
    RefuseHostNotAllowed(request, main);
    RefuseUnsafeHeaders(request, main);
    RefuseDeniedNetwork(request, main);
    if (!main) {
        QNetworkReply* reply = Issue(operation, request, outgoingData, asked, decision);
        WatchSubResource(reply, decision.timeoutMs >= 0 ? decision.timeoutMs : resourceTimeoutMs);
        WatchContentType(reply);
        return reply;
    }
    LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::createRequest => "
                                << request.url().toString().toUtf8().constData());
    mainReply = Issue(operation, request, outgoingData, asked, decision);
    connect(mainReply, SIGNAL(finished()), this, SLOT(OnNetworkReplyFinished()));
    QNetworkReply* reply = mainReply;
    connect(mainReply, &QNetworkReply::metaDataChanged, this,
            [this, reply, operation]() { Remember(reply, operation); });
    WatchContentType(mainReply);
    // The page's own document waits for ever unless its request says.
    WatchSubResource(mainReply, decision.timeoutMs);
    return mainReply;
}

void QMyNetworkAccessManager::SetRequestHook(RequestHook hook) {
    requestHook = std::move(hook);
}

void QMyNetworkAccessManager::SetReplyHook(ReplyHook hook) {
    replyHook = std::move(hook);
}

void QMyNetworkAccessManager::SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers) {
    customHeaders = headers;
}

void QMyNetworkAccessManager::ForgetMainReply() {
    if (mainReply != nullptr) {
        disconnect(mainReply, nullptr, this, nullptr);
    }
    mainReply = nullptr;
    lastRemembered = nullptr;
    mainResponse.ForgetReply();
}

void QMyNetworkAccessManager::RecordNetwork(bool bodies) {
    if (log == nullptr) {
        log = new QNetworkLog(bodies, this);
    }
}

QNetworkReply* QMyNetworkAccessManager::Issue(Operation operation, const QNetworkRequest& request,
                                              QIODevice* outgoingData, const QUrl& asked,
                                              const RequestDecision& decision) {
    if (decision.proxy.type() != QNetworkProxy::DefaultProxy) {
        proxies->Give(request.url(), decision.proxy);
    }
    QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    const bool styleSheet = watchStyleSheets && request.rawHeader("Accept").startsWith("text/css");
    if (decision.keepBody || keepBodies || styleSheet || (log != nullptr && log->RecordsBodies())) {
        reply = new QRecordingReply(reply, this);
    }
    if (styleSheet) {
        const QRecordingReply* recording = static_cast<QRecordingReply*>(reply);
        connect(reply, &QNetworkReply::finished, this, [this, recording]() { emit StyleSheetLoaded(recording->Body()); });
    }
    if (replyHook) {
        const ReplyHook hook = replyHook;
        hook(reply, operation, asked);
    }
    if (log == nullptr) {
        return reply;
    }
    QNetworkRequest logged(request);
    logged.setUrl(asked);
    const QList<QNetworkCookie> cookies =
        cookieJar() != nullptr ? cookieJar()->cookiesForUrl(asked) : QList<QNetworkCookie>();
    // The engine's body device is sequential and tells no size; the
    // request's Content-Length does.
    const QVariant length = request.header(QNetworkRequest::ContentLengthHeader);
    const qint64 bodySize =
        length.isValid() ? length.toLongLong() : (outgoingData != nullptr ? outgoingData->size() : 0);
    log->Watch(reply, logged, operation, bodySize, cookies);
    return reply;
}

void QMyNetworkAccessManager::WatchSubResource(QNetworkReply* reply, int timeoutMs) {
    if (timeoutMs <= 0 || reply->isFinished()) {
        return;
    }
    QTimer* silence = new QTimer(reply);
    silence->setSingleShot(true);
    const auto heard = [silence]() { silence->start(); };
    connect(reply, &QNetworkReply::metaDataChanged, silence, heard);
    connect(reply, &QNetworkReply::downloadProgress, silence, heard);
    connect(reply, &QNetworkReply::uploadProgress, silence, heard);
    connect(reply, &QNetworkReply::finished, silence, &QTimer::stop);
    connect(silence, &QTimer::timeout, reply, [this, reply]() {
        LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::ResourceTimeout => "
                                    << reply->url().toString().toUtf8().constData());
        reply->abort();
    });
    silence->start(timeoutMs);
}

void QMyNetworkAccessManager::Remember(QNetworkReply* reply, Operation operation) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        return;
    }
    MainResponse::Response response;
    response.url = reply->url().toString();
    response.method = QNetworkLog::MethodName(operation, reply->request());
    response.status = status;
    response.reason = QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
    response.headers = reply->rawHeaderPairs();
    // A reply may announce its headers more than once: its last word counts.
    if (reply == lastRemembered && !mainResponse.history.isEmpty()) {
        mainResponse.history.last() = response;
    } else {
        mainResponse.history.append(response);
    }
    lastRemembered = reply;
}

bool QMyNetworkAccessManager::IsRedirectionOfMainReply(const QUrl& url) const {
    if (mainReply == nullptr || mainResponse.replied) {
        return false;
    }
    const QUrl target = mainReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    return !target.isEmpty() && mainReply->url().resolved(target) == url;
}

void QMyNetworkAccessManager::OnNetworkReplyFinished() {
    if (mainReply == nullptr || mainResponse.replied) {
        return;
    }
    LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::OnNetworkReplyFinished => "
                                << mainReply->url().toString().toUtf8().constData());
    const QUrl target = mainReply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (!target.isEmpty()) {
        LOG4CPLUS_DEBUG(logger, "QMyNetworkAccessManager::OnNetworkReplyFinished REDIRECT TO => "
                                    << target.toString().toUtf8().constData());
        mainReply->deleteLater();
        mainReply = nullptr;
        return;
    }
    const QNetworkReply::NetworkError failure = mainReply->error();
    mainResponse.errorCode = static_cast<int>(failure);
    if (failure != QNetworkReply::NoError && mainResponse.error.isEmpty()) {
        // Through a proxy, a failure to connect or of the proxy itself is the
        // proxy's: the page's server was never reached.
        const QNetworkProxy& page = proxies->PageProxy();
        const bool proxied = page.type() != QNetworkProxy::NoProxy && page.type() != QNetworkProxy::DefaultProxy
                             && failure < QNetworkReply::ContentAccessDenied;
        const QString through =
            proxied ? QStringLiteral("the proxy %1:%2 failed: ").arg(page.hostName()).arg(page.port()) : QString();
        mainResponse.error = through + mainReply->errorString();
    }
    const QVariant type = mainReply->header(QNetworkRequest::ContentTypeHeader);
    if (type.isValid() && !type.isNull()) {
        mainResponse.contentType = type.toString();
    }
    const QVariant status = mainReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !status.isNull()) {
        mainResponse.statusCode = status.toString();
    }
    const QVariant modified = mainReply->header(QNetworkRequest::LastModifiedHeader);
    if (modified.isValid() && !modified.isNull()) {
        mainResponse.lastModified = modified.toDateTime();
    }
    mainResponse.replied = true;
}
