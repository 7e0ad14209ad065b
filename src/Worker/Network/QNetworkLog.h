#ifndef ORVO_WORKER_NETWORK_QNETWORKLOG_H
#define ORVO_WORKER_NETWORK_QNETWORKLOG_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QObject>
#include <QString>

// Everything one page asks of the network, in the order it asks: for each
// request its method, URL, headers, cookies and body size, and, as they
// come, its response's status, headers, cookies, content type and size,
// the time its headers took and the time its body took, and why it failed.
// With bodies, each reply that finishes leaves its whole body here too
// (the reply must then be a QRecordingReply).
//
// Archive() gives the log as an HTTP Archive (HAR 1.2). Times are
// measured from the log's start; the network layer tells no more than when
// a request left, when its headers came and when it ended, so DNS, connect
// and SSL times are -1 (unknown) and the whole wait is "wait".
class QNetworkLog : public QObject {
    Q_OBJECT

public:
    QNetworkLog(bool bodies, QObject* parent);

    bool RecordsBodies() const { return bodies; }

    // Opens an entry for reply, made for request, whose body has bodySize
    // bytes (0 for none) and which carries cookies; follows the reply until
    // it ends.
    void Watch(QNetworkReply* reply, const QNetworkRequest& request, QNetworkAccessManager::Operation operation,
               qint64 bodySize, const QList<QNetworkCookie>& cookies);

    // The page finished loading now (the first call counts).
    void MarkLoaded();

    // Forgets every entry and starts again from now; replies still open
    // are followed no further.
    void Reset();

    // {"log": {"version": "1.2", "creator", "pages": [the page, titled
    // title, with its load time], "entries": [...]}}.
    QJsonObject Archive(const QString& title) const;

    // A request in HAR's shape ({method, url, httpVersion, cookies,
    // headers, queryString, headersSize, bodySize}), and a response
    // ({status, statusText, httpVersion, cookies, headers, content,
    // redirectURL, headersSize, bodySize}); a reply's response as far as
    // it came, its content's size the announced one.
    static QJsonObject HarRequest(const QString& method, const QUrl& url,
                                  const QList<QNetworkReply::RawHeaderPair>& headers,
                                  const QList<QNetworkCookie>& cookies, qint64 bodySize);
    static QJsonObject HarResponse(const QUrl& url, int status, const QString& reason,
                                   const QList<QNetworkReply::RawHeaderPair>& headers,
                                   const QList<QNetworkCookie>& cookies, const QJsonObject& content,
                                   const QString& redirectUrl);
    static QJsonObject HarResponseOf(const QNetworkReply* reply);

    // request's headers, in their order.
    static QList<QNetworkReply::RawHeaderPair> RequestHeaders(const QNetworkRequest& request);

    // The HTTP method of a request made with operation.
    static QString MethodName(QNetworkAccessManager::Operation operation, const QNetworkRequest& request);

private:
    struct Entry {
        QDateTime started;
        qint64 startMs = 0;
        qint64 headersMs = -1;  // -1 until the response's headers came
        qint64 endMs = -1;      // -1 until the reply ended
        QString method;
        QUrl url;
        QList<QNetworkReply::RawHeaderPair> requestHeaders;
        QList<QNetworkCookie> requestCookies;
        qint64 requestBodySize = 0;
        int status = 0;
        QString reason;
        QList<QNetworkReply::RawHeaderPair> responseHeaders;
        QList<QNetworkCookie> responseCookies;
        QString mimeType;
        QString redirectUrl;
        qint64 received = 0;
        QByteArray body;
        bool bodyKept = false;
        QString error;
    };

    void OnHeaders(Entry& entry, QNetworkReply* reply);
    void OnFinished(Entry& entry, QNetworkReply* reply);
    QJsonObject ToJson(const Entry& entry) const;

    const bool bodies;
    QDateTime started;
    QElapsedTimer clock;
    // Milliseconds from the start to the page's load; -1 before it.
    qint64 loadedMs = -1;
    // Bumped by Reset: replies of an earlier generation are not followed.
    int generation = 0;
    // Entries never move once made: the replies' slots hold them by index.
    QList<Entry> entries;
};

#endif
