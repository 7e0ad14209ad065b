#include "Page/QMyWebPage.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QWebFrame>
#include <log4cplus/loggingmacros.h>

#include "Support/LoggerFactory.h"

QMyWebPage::QMyWebPage(QObject* parent)
    : QWebPage(parent), logger(Orvo::Logging::LoggerFactory::GetLogger("QMyWebPage")) {}

QString QMyWebPage::userAgentForUrl(const QUrl& url) const {
    return userAgent.isEmpty() ? QWebPage::userAgentForUrl(url) : userAgent;
}

QString QMyWebPage::chooseFile(QWebFrame*, const QString&) {
    return QString();
}

void QMyWebPage::javaScriptAlert(QWebFrame*, const QString& message) {
    LOG4CPLUS_DEBUG(logger, "[alert] " << message.toUtf8().constData());
}

bool QMyWebPage::javaScriptConfirm(QWebFrame*, const QString&) {
    return true;
}

bool QMyWebPage::javaScriptPrompt(QWebFrame*, const QString&, const QString&, QString*) {
    return true;
}

void QMyWebPage::javaScriptConsoleMessage(const QString&, int, const QString&) {}

bool QMyWebPage::acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request, NavigationType type) {
    if (navigationLocked && frame == mainFrame()) {
        LOG4CPLUS_DEBUG(logger, "navigation locked: " << request.url().toString().toUtf8().constData());
        return false;
    }
    return QWebPage::acceptNavigationRequest(frame, request, type);
}

bool QMyWebPage::shouldInterruptJavaScript() {
    return true;
}

// The document is fetched as the page's main resource (so its status and
// headers count as usual), then laid out with base as its address.
void QMyWebPage::LoadWithBase(QNetworkAccessManager* network, QNetworkRequest request, const QUrl& base) {
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgentForUrl(request.url()));
    QNetworkReply* reply = network->get(request);
    const QPointer<QMyWebPage> target(this);
    connect(reply, &QNetworkReply::finished, this, [target, reply, base]() {
        reply->deleteLater();
        if (target == nullptr) {
            return;
        }
        const QString type = reply->header(QNetworkRequest::ContentTypeHeader).toString();
        target->mainFrame()->setContent(reply->readAll(), type, base);
    });
}
