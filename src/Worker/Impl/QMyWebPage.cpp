#include "Impl/QMyWebPage.h"

#include <QNetworkRequest>
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
