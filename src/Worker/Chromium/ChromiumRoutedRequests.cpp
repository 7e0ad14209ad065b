#include "Chromium/ChromiumRoutedRequests.h"

#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

// The Fetch domain's name for why a request failed.
const char* FailureReason(QNetworkReply::NetworkError error) {
    switch (error) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        // Nothing cancels a reply but its time-out; a request past it is
        // aborted, as the WebKit engine's are.
        return "Aborted";
    case QNetworkReply::ConnectionRefusedError:
        return "ConnectionRefused";
    case QNetworkReply::RemoteHostClosedError:
        return "ConnectionClosed";
    case QNetworkReply::HostNotFoundError:
        return "NameNotResolved";
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return "ConnectionFailed";
    default:
        return "Failed";
    }
}

// Whether error says the reply has no whole HTTP answer: the network, the
// proxy or the protocol failed, not the server's status.
bool Failed(QNetworkReply::NetworkError error) {
    const int code = static_cast<int>(error);
    return (code > 0 && code < 200) || (code >= 300 && code < 400);
}

// Headers that describe the body as it travelled, not as it is given.
bool OfTransfer(const QByteArray& name) {
    for (const char* transfer : {"Content-Encoding", "Content-Length", "Transfer-Encoding"}) {
        if (name.compare(transfer, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

// A finished reply as ChromiumPage::PostAnswer takes it.
nlohmann::json Answer(QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid() || Failed(reply->error())) {
        return {{"errorReason", FailureReason(reply->error())}};
    }
    nlohmann::json headers = nlohmann::json::array();
    for (const auto& header : reply->rawHeaderPairs()) {
        if (OfTransfer(header.first)) {
            continue;
        }
        // Qt joins a repeated Set-Cookie's values with line breaks.
        for (const QByteArray& value : header.second.split('\n')) {
            headers.push_back({{"name", header.first.toStdString()}, {"value", value.toStdString()}});
        }
    }
    return {{"responseCode", status.toInt()},
            {"responsePhrase", reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().toStdString()},
            {"responseHeaders", headers},
            {"body", reply->readAll().toBase64().toStdString()}};
}

// A proxy as a name: its manager's among the home's children.
QString ProxyKey(const QNetworkProxy& proxy) {
    return QStringLiteral("%1 %2 %3 %4 %5")
        .arg(proxy.type())
        .arg(proxy.hostName())
        .arg(proxy.port())
        .arg(proxy.user(), proxy.password());
}

QNetworkRequest QtRequest(const ChromiumPage::Outgoing& outgoing, const QByteArray& cookies, int timeoutMs) {
    QNetworkRequest request(QUrl(QString::fromStdString(outgoing.url), QUrl::StrictMode));
    for (const auto& header : outgoing.headers) {
        // Qt asks for the encodings it decodes itself.
        if (QByteArray::fromStdString(header.first).compare("Accept-Encoding", Qt::CaseInsensitive) != 0) {
            request.setRawHeader(QByteArray::fromStdString(header.first), QByteArray::fromStdString(header.second));
        }
    }
    if (!cookies.isEmpty() && !request.hasRawHeader("Cookie")) {
        request.setRawHeader("Cookie", cookies);
    }
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(timeoutMs);
    return request;
}

} // namespace

ChromiumRoutedRequests::ChromiumRoutedRequests(ChromiumPage& page) : page(page), home(new QObject) {
    home->moveToThread(&thread);
    QObject::connect(&thread, &QThread::finished, home, &QObject::deleteLater);
    thread.start();
}

ChromiumRoutedRequests::~ChromiumRoutedRequests() {
    thread.quit();
    thread.wait();
}

// A reply asks its manager for the proxy as it starts, which a body to
// send puts off: each proxy has a manager of its own, so no reply can take
// another's.
void ChromiumRoutedRequests::Send(const ChromiumPage::Outgoing& outgoing, const QByteArray& cookies,
                                  const Route& route) {
    const QNetworkRequest request = QtRequest(outgoing, cookies, route.timeoutMs);
    const QString scheme = request.url().scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        // Qt's client reads local files too: a page's request, whatever a
        // callback made of its URL, reaches the web only.
        page.PostAnswer(outgoing.pauseId, {{"errorReason", "AccessDenied"}});
        return;
    }
    const QByteArray method = QByteArray::fromStdString(outgoing.method);
    const QByteArray body = QByteArray::fromStdString(outgoing.body);
    const std::string pauseId = outgoing.pauseId;
    ChromiumPage* const answered = &page;
    QObject* const manager = home;
    QMetaObject::invokeMethod(home, [=]() {
        const QString key = ProxyKey(route.proxy);
        QNetworkAccessManager* network = manager->findChild<QNetworkAccessManager*>(key, Qt::FindDirectChildrenOnly);
        if (network == nullptr) {
            network = new QNetworkAccessManager(manager);
            network->setObjectName(key);
            network->setProxy(route.proxy);
        }
        QNetworkReply* reply = body.isEmpty() ? network->sendCustomRequest(request, method)
                                              : network->sendCustomRequest(request, method, body);
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, answered, pauseId]() {
            answered->PostAnswer(pauseId, Answer(reply));
            reply->deleteLater();
        });
    });
}
