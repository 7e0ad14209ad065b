#include "Network/QNetworkLog.h"

#include <QJsonObject>
#include <QNetworkRequest>
#include <QUrlQuery>

#include "Network/QRecordingReply.h"

namespace {

QJsonArray Pairs(const QList<QNetworkReply::RawHeaderPair>& headers) {
    QJsonArray pairs;
    for (const QNetworkReply::RawHeaderPair& header : headers) {
        pairs.append(QJsonObject{{"name", QString::fromLatin1(header.first)},
                                 {"value", QString::fromUtf8(header.second)}});
    }
    return pairs;
}

QJsonArray Cookies(const QList<QNetworkCookie>& cookies) {
    QJsonArray list;
    for (const QNetworkCookie& cookie : cookies) {
        QJsonObject item{{"name", QString::fromUtf8(cookie.name())},
                         {"value", QString::fromUtf8(cookie.value())},
                         {"httpOnly", cookie.isHttpOnly()},
                         {"secure", cookie.isSecure()}};
        if (!cookie.path().isEmpty()) {
            item.insert("path", cookie.path());
        }
        if (!cookie.domain().isEmpty()) {
            item.insert("domain", cookie.domain());
        }
        if (!cookie.isSessionCookie()) {
            item.insert("expires", cookie.expirationDate().toUTC().toString(Qt::ISODateWithMs));
        }
        list.append(item);
    }
    return list;
}

QJsonArray QueryString(const QUrl& url) {
    QJsonArray pairs;
    for (const auto& item : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        pairs.append(QJsonObject{{"name", item.first}, {"value", item.second}});
    }
    return pairs;
}

// HTTP's version for a URL of http or https that was answered, else none.
QString HttpVersion(const QUrl& url, bool answered) {
    return answered && url.scheme().startsWith(QLatin1String("http")) ? QStringLiteral("HTTP/1.1") : QString();
}

} // namespace

QNetworkLog::QNetworkLog(bool bodies, QObject* parent)
    : QObject(parent), bodies(bodies), started(QDateTime::currentDateTimeUtc()) {
    clock.start();
}

QList<QNetworkReply::RawHeaderPair> QNetworkLog::RequestHeaders(const QNetworkRequest& request) {
    QList<QNetworkReply::RawHeaderPair> headers;
    for (const QByteArray& name : request.rawHeaderList()) {
        headers.append({name, request.rawHeader(name)});
    }
    return headers;
}

QString QNetworkLog::MethodName(QNetworkAccessManager::Operation operation, const QNetworkRequest& request) {
    switch (operation) {
    case QNetworkAccessManager::HeadOperation:
        return QStringLiteral("HEAD");
    case QNetworkAccessManager::GetOperation:
        return QStringLiteral("GET");
    case QNetworkAccessManager::PutOperation:
        return QStringLiteral("PUT");
    case QNetworkAccessManager::PostOperation:
        return QStringLiteral("POST");
    case QNetworkAccessManager::DeleteOperation:
        return QStringLiteral("DELETE");
    default:
        return QString::fromLatin1(request.attribute(QNetworkRequest::CustomVerbAttribute).toByteArray());
    }
}

void QNetworkLog::Watch(QNetworkReply* reply, const QNetworkRequest& request,
                        QNetworkAccessManager::Operation operation, qint64 bodySize,
                        const QList<QNetworkCookie>& cookies) {
    Entry entry;
    entry.started = QDateTime::currentDateTimeUtc();
    entry.startMs = clock.elapsed();
    entry.method = MethodName(operation, request);
    entry.url = request.url();
    entry.requestHeaders = RequestHeaders(request);
    entry.requestCookies = cookies;
    entry.requestBodySize = bodySize;
    const int index = entries.size();
    const int born = generation;
    entries.append(entry);
    connect(reply, &QNetworkReply::metaDataChanged, this, [this, index, born, reply]() {
        if (born == generation) {
            OnHeaders(entries[index], reply);
        }
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this, index, born](qint64 received, qint64) {
        if (born == generation) {
            entries[index].received = received;
        }
    });
    connect(reply, &QNetworkReply::finished, this, [this, index, born, reply]() {
        if (born == generation) {
            OnFinished(entries[index], reply);
        }
    });
}

void QNetworkLog::MarkLoaded() {
    if (loadedMs < 0) {
        loadedMs = clock.elapsed();
    }
}

void QNetworkLog::Reset() {
    ++generation;
    entries.clear();
    started = QDateTime::currentDateTimeUtc();
    clock.restart();
    loadedMs = -1;
}

void QNetworkLog::OnHeaders(Entry& entry, QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && entry.headersMs < 0) {
        entry.headersMs = clock.elapsed();
    }
    entry.status = status.toInt();
    entry.reason = QString::fromUtf8(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
    entry.responseHeaders = reply->rawHeaderPairs();
    entry.responseCookies = reply->header(QNetworkRequest::SetCookieHeader).value<QList<QNetworkCookie>>();
    entry.mimeType = reply->header(QNetworkRequest::ContentTypeHeader).toString();
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    entry.redirectUrl = target.isEmpty() ? QString() : reply->url().resolved(target).toString();
}

void QNetworkLog::OnFinished(Entry& entry, QNetworkReply* reply) {
    if (entry.endMs >= 0) {
        return;
    }
    OnHeaders(entry, reply);
    entry.endMs = clock.elapsed();
    if (reply->error() != QNetworkReply::NoError) {
        entry.error = reply->errorString();
    }
    if (const QRecordingReply* recording = qobject_cast<const QRecordingReply*>(reply)) {
        entry.body = recording->Body();
        entry.bodyKept = true;
    }
    entry.received = qMax<qint64>(entry.received, entry.body.size());
}

QJsonObject QNetworkLog::Archive(const QString& title) const {
    static const QString PageId = QStringLiteral("page_1");
    QJsonArray list;
    for (const Entry& entry : entries) {
        QJsonObject item = ToJson(entry);
        item.insert("pageref", PageId);
        list.append(item);
    }
    const QJsonObject page{{"startedDateTime", started.toString(Qt::ISODateWithMs)},
                           {"id", PageId},
                           {"title", title},
                           {"pageTimings", QJsonObject{{"onContentLoad", -1}, {"onLoad", loadedMs}}}};
    return QJsonObject{
        {"log", QJsonObject{{"version", "1.2"},
                            {"creator", QJsonObject{{"name", "orvo-browser"}, {"version", ORVO_VERSION}}},
                            {"pages", QJsonArray{page}},
                            {"entries", list}}}};
}

QJsonObject QNetworkLog::HarRequest(const QString& method, const QUrl& url,
                                    const QList<QNetworkReply::RawHeaderPair>& headers,
                                    const QList<QNetworkCookie>& cookies, qint64 bodySize) {
    return QJsonObject{{"method", method},
                       {"url", url.toString()},
                       {"httpVersion", HttpVersion(url, true)},
                       {"cookies", Cookies(cookies)},
                       {"headers", Pairs(headers)},
                       {"queryString", QueryString(url)},
                       {"headersSize", -1},
                       {"bodySize", bodySize}};
}

QJsonObject QNetworkLog::HarResponse(const QUrl& url, int status, const QString& reason,
                                     const QList<QNetworkReply::RawHeaderPair>& headers,
                                     const QList<QNetworkCookie>& cookies, const QJsonObject& content,
                                     const QString& redirectUrl) {
    return QJsonObject{{"status", status},
                       {"statusText", reason},
                       {"httpVersion", HttpVersion(url, status != 0)},
                       {"cookies", Cookies(cookies)},
                       {"headers", Pairs(headers)},
                       {"content", content},
                       {"redirectURL", redirectUrl},
                       {"headersSize", -1},
                       {"bodySize", -1}};
}

QJsonObject QNetworkLog::HarResponseOf(const QNetworkReply* reply) {
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    const QJsonObject content{{"size", length.isValid() ? length.toLongLong() : reply->bytesAvailable()},
                              {"mimeType", reply->header(QNetworkRequest::ContentTypeHeader).toString()}};
    const QUrl redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    return HarResponse(reply->url(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                       reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString(),
                       reply->rawHeaderPairs(),
                       reply->header(QNetworkRequest::SetCookieHeader).value<QList<QNetworkCookie>>(), content,
                       redirect.isEmpty() ? QString() : reply->url().resolved(redirect).toString());
}

QJsonObject QNetworkLog::ToJson(const Entry& entry) const {
    // A reply still open when the log is read counts until now.
    const qint64 end = entry.endMs >= 0 ? entry.endMs : clock.elapsed();
    const qint64 headers = entry.headersMs >= 0 ? entry.headersMs : end;
    QJsonObject content{{"size", entry.received}, {"mimeType", entry.mimeType}};
    if (entry.bodyKept) {
        content.insert("text", QString::fromLatin1(entry.body.toBase64()));
        content.insert("encoding", QStringLiteral("base64"));
    }
    QJsonObject item{
        {"startedDateTime", entry.started.toString(Qt::ISODateWithMs)},
        {"time", end - entry.startMs},
        {"request",
         HarRequest(entry.method, entry.url, entry.requestHeaders, entry.requestCookies, entry.requestBodySize)},
        {"response", HarResponse(entry.url, entry.status, entry.reason, entry.responseHeaders,
                                 entry.responseCookies, content, entry.redirectUrl)},
        {"cache", QJsonObject()},
        {"timings",
         QJsonObject{{"blocked", -1},
                     {"dns", -1},
                     {"connect", -1},
                     {"send", 0},
                     {"wait", headers - entry.startMs},
                     {"receive", end - headers},
                     {"ssl", -1}}}};
    if (!entry.error.isEmpty()) {
        item.insert("_error", entry.error);
    } else if (entry.endMs < 0) {
        item.insert("_error", QStringLiteral("unfinished when the page was answered"));
    }
    return item;
}
