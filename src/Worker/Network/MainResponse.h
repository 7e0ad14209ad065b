#ifndef ORVO_WORKER_NETWORK_MAINRESPONSE_H
#define ORVO_WORKER_NETWORK_MAINRESPONSE_H

#include <QDateTime>
#include <QList>
#include <QNetworkReply>
#include <QString>
#include <QVariant>

// What a page's main resource replied, as the network manager saw it: a
// value that the request handler and the scripts read, and only the
// manager writes.
struct MainResponse {
    // One response of the main resource, a redirect or the last.
    struct Response {
        QString url;
        QString method;
        QVariant status;
        QString reason;
        QList<QNetworkReply::RawHeaderPair> headers;
    };

    // Whether the main reply finished, and its content type, status and
    // Last-Modified date.
    bool replied = false;
    QString contentType;
    QString statusCode;
    QDateTime lastModified;
    // Every response of the main resource in order, as its headers came,
    // over all the page's navigations.
    QList<Response> history;
    // Why the main reply failed, when it did (a refused proxy, say), and
    // its QNetworkReply::NetworkError (0 when it did not).
    QString error;
    int errorCode = 0;
    // The main reply was aborted for its content type: whatever its status,
    // the page failed.
    bool refused = false;

    // Forgets the reply for a new navigation; the history stays.
    void ForgetReply() {
        MainResponse next;
        next.history = history;
        *this = next;
    }
};

#endif
