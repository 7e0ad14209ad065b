#ifndef ORVO_IMPL_QMYNETWORKACCESSMANAGER_H
#define ORVO_IMPL_QMYNETWORKACCESSMANAGER_H

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QString>
#include <log4cplus/logger.h>

class QNetworkReply;

// A page's network access manager that watches the page's main resource:
// the first HEAD, GET or POST request is the main one; when its reply is
// redirected, the next such request (the engine's request for the target)
// takes its place (also when the engine asks for the target before the
// redirected reply has finished). When the main reply finishes without redirection, its
// Content-Type, HTTP status and Last-Modified date are kept and replied is
// set, for good. Every other request passes through unwatched.
class QMyNetworkAccessManager : public QNetworkAccessManager {
    Q_OBJECT

public:
    // Takes over the cache, cookie jar, proxy and proxy factory of the
    // page's own manager.
    QMyNetworkAccessManager(QNetworkAccessManager* pageManager, QObject* parent);

    bool replied;
    QString contentType;
    QString statusCode;
    QDateTime lastModified;

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private slots:
    void OnNetworkReplyFinished();

private:
    // Whether url is where the main reply, not finished yet, redirects to.
    bool IsRedirectionOfMainReply(const QUrl& url) const;

    log4cplus::Logger logger;
    QNetworkReply* mainReply;
};

#endif
