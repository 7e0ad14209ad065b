#ifndef ORVO_WORKER_PAGE_QMYWEBPAGE_H
#define ORVO_WORKER_PAGE_QMYWEBPAGE_H

#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QUrl>
#include <QWebPage>
#include <log4cplus/logger.h>

// A web page for unattended use: it never shows anything or waits for a
// user. File choosers get no file, confirmations are accepted, prompts
// answered at once with their answer untouched, alerts only logged at
// DEBUG, console messages dropped, and a script that runs too long is
// stopped without asking. A user agent set with SetUserAgent is the one of
// every request the page makes.
class QMyWebPage : public QWebPage {
    Q_OBJECT

public:
    explicit QMyWebPage(QObject* parent);

    // An empty agent keeps the engine's own.
    void SetUserAgent(const QString& agent) { userAgent = agent; }
    // While locked, the main frame goes nowhere else.
    void SetNavigationLocked(bool locked) { navigationLocked = locked; }
    bool NavigationLocked() const { return navigationLocked; }
    // Public: a document fetched for the page goes out with it too.
    QString userAgentForUrl(const QUrl& url) const override;

    // Fetches request's document through network (redirects followed) and
    // lays it out in the main frame with base as its address, so that its
    // relative references resolve against base; nothing once the page is
    // gone.
    void LoadWithBase(QNetworkAccessManager* network, QNetworkRequest request, const QUrl& base);

public slots:
    bool shouldInterruptJavaScript() override;

protected:
    QString chooseFile(QWebFrame* originatingFrame, const QString& oldFile) override;
    void javaScriptAlert(QWebFrame* originatingFrame, const QString& message) override;
    bool javaScriptConfirm(QWebFrame* originatingFrame, const QString& message) override;
    bool javaScriptPrompt(QWebFrame* originatingFrame, const QString& message, const QString& defaultValue,
                          QString* result) override;
    void javaScriptConsoleMessage(const QString& message, int lineNumber, const QString& sourceId) override;
    bool acceptNavigationRequest(QWebFrame* frame, const QNetworkRequest& request, NavigationType type) override;

private:
    log4cplus::Logger logger;
    QString userAgent;
    bool navigationLocked = false;
};

#endif
