#ifndef ORVO_IMPL_QNETWORKLOG_H
#define ORVO_IMPL_QNETWORKLOG_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
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
// Entries() gives the log as HTTP Archive (HAR 1.2) entries. Times are
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

    // When the log started, and how many milliseconds ago.
    const QDateTime& Started() const { return started; }
    qint64 Elapsed() const { return clock.elapsed(); }

    QJsonArray Entries() const;

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
    const QDateTime started;
    QElapsedTimer clock;
    // Entries never move once made: the replies' slots hold them by index.
    QList<Entry> entries;
};

#endif
