#ifndef ORVO_WORKER_NETWORK_QMYNETWORKACCESSMANAGER_H
#define ORVO_WORKER_NETWORK_QMYNETWORKACCESSMANAGER_H

#include <functional>

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QString>
#include <log4cplus/logger.h>

#include "Kernel/RequestRules.h"
#include "Network/DeniedNetworks.h"
#include "Network/MainResponse.h"
#include "Network/QNetworkLog.h"
#include "Network/QRequestProxies.h"

#include <QList>
#include <QPointer>
#include <QStringList>
#include <QNetworkReply>
#include <QVariant>

// A page's network access manager that watches the page's main resource:
// the first HEAD, GET or POST request is the main one; when its reply is
// redirected, the next such request (the engine's request for the target)
// takes its place (also when the engine asks for the target before the
// redirected reply has finished). When the main reply finishes without
// redirection, its Content-Type, HTTP status and Last-Modified date are kept
// and replied is set, for good.
//
// Every other request is a sub-resource: it is aborted once it has received
// nothing for the resource time-out, so that one server that never answers
// cannot keep a page from completing. A request hook (a script's) may
// change each request before it goes out, abort it, give it a time-out of
// its own or keep its body; a reply hook hears of each reply. Requests
// marked aside (a script's own fetches) are neither main nor sub-resources. No request may use HTTP/2: Qt's
// HTTP/2 queue loses queued requests when a host look-up fails or one of
// them is aborted, and a lost reply never finishes.
class QMyNetworkAccessManager : public QNetworkAccessManager {
    Q_OBJECT

public:
    // A request whose attribute this is true goes aside: never the page's
    // main one nor watched as a sub-resource (a script's own fetch).
    static constexpr QNetworkRequest::Attribute AsideAttribute =
        static_cast<QNetworkRequest::Attribute>(QNetworkRequest::User + 1);

    // Takes over the cache, cookie jar and proxy of the page's own
    // manager. Its proxies are its own to set (SetPageProxy, and a request
    // hook's), never through setProxy.
    QMyNetworkAccessManager(QNetworkAccessManager* pageManager, QObject* parent);

    // Every request of the page goes through proxy, but those a request
    // hook gives one of their own.
    void SetPageProxy(const QNetworkProxy& proxy);

    // How long a sub-resource may receive nothing; 0 or less waits for ever.
    void SetResourceTimeout(int milliseconds);
    int ResourceTimeout() const { return resourceTimeoutMs; }

    // Without this, every file: request fails: no page reads local files.
    void SetFileUrlsAllowed(bool allowed);
    bool FileUrlsAllowed() const { return fileUrlsAllowed; }
    // Networks no request reaches; a request for them fails as a refused
    // one, and for the main document the page's error says which address.
    void SetDeniedNetworks(const DeniedNetworks& networks);

    // Requests to a host the rules do not allow fail; responses of a
    // content type they do not allow are aborted.
    void SetRules(const Orvo::Browser::RequestRules& rules);

    // From now on every request of the page goes into a network log, with
    // its response's body when bodies is true. Once only: the first call
    // decides.
    void RecordNetwork(bool bodies);

    // From now on each style sheet the page loads (a request that accepts
    // text/css first, as the engine asks for style sheets) is given to
    // StyleSheetLoaded once it has come.
    void WatchStyleSheets() { watchStyleSheets = true; }

    // Whether every response's body is kept from now on (then read where
    // its reply finishes, and in the network log), and whether requests
    // may use HTTP/2.
    void KeepBodies(bool keep) { keepBodies = keep; }
    bool KeepsBodies() const { return keepBodies; }
    void AllowHttp2(bool allow) { http2 = allow; }
    bool AllowsHttp2() const { return http2; }

    // Sent with every request from now on, unless the request sets the
    // header itself.
    void SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers);

    // What a request hook decided for one request.
    struct RequestDecision {
        bool abort = false;
        // How long the reply may receive nothing; -1: the resource
        // time-out for a sub-resource, none for the main document.
        int timeoutMs = -1;
        // Keep the response's body, to be read when the reply finishes
        // (the reply is then a QRecordingReply).
        bool keepBody = false;
        // The proxy of this request alone; DefaultProxy: the page's.
        QNetworkProxy proxy;
    };
    // Called for each request of the page but those aside, before it goes
    // out: it may change the request, and decides.
    typedef std::function<void(QNetworkRequest& request, Operation operation, RequestDecision& decision)> RequestHook;
    // Called with each reply as soon as it is made, with the URL it was
    // asked for.
    typedef std::function<void(QNetworkReply* reply, Operation operation, const QUrl& asked)> ReplyHook;
    void SetRequestHook(RequestHook hook);
    void SetReplyHook(ReplyHook hook);

    // Forgets the main resource and what it replied: the page's next
    // HEAD, GET or POST request is the main one again (a new navigation).
    void ForgetMainReply();

    // The page's network log; null unless RecordNetwork was called.
    QNetworkLog* Log() const { return log; }

    // What the main resource replied.
    const MainResponse& Main() const { return mainResponse; }

signals:
    // The body of a style sheet that came, as WatchStyleSheets asks.
    void StyleSheetLoaded(const QByteArray& text);

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private slots:
    void OnNetworkReplyFinished();

private:
    // Makes the reply for a request, in front of it the recording reply and
    // in the log when the network is recorded; the log shows the URL the
    // page asked for, also when a refusal sent the request elsewhere.
    QNetworkReply* Issue(Operation operation, const QNetworkRequest& request, QIODevice* outgoingData,
                         const QUrl& asked, const RequestDecision& decision);
    // Whether url is where the main reply, not finished yet, redirects to.
    bool IsRedirectionOfMainReply(const QUrl& url) const;
    // Aborts reply once it has been silent for timeoutMs (0 or less: never).
    void WatchSubResource(QNetworkReply* reply, int timeoutMs);
    // Keeps the main reply's response in history once its headers are in.
    void Remember(QNetworkReply* reply, Operation operation);
    // Sends a request whose header is not a token with a value of one line
    // nowhere; for the main request, says why.
    void RefuseUnsafeHeaders(QNetworkRequest& request, bool main);
    void RefuseDeniedNetwork(QNetworkRequest& request, bool main);
    void RefuseHostNotAllowed(QNetworkRequest& request, bool main);
    // Aborts reply once its headers show a content type not allowed.
    void WatchContentType(QNetworkReply* reply);
    void CheckContentType(QNetworkReply* reply);

    log4cplus::Logger logger;
    // Guarded: the engine deletes a reply once it is done with it.
    QPointer<QNetworkReply> mainReply;
    // The reply whose response history holds last.
    QPointer<QNetworkReply> lastRemembered;
    int resourceTimeoutMs;
    bool fileUrlsAllowed;
    // Its proxy factory, owned by the manager.
    QRequestProxies* const proxies;
    DeniedNetworks deniedNetworks;
    Orvo::Browser::RequestRules rules;
    QNetworkLog* log = nullptr;
    MainResponse mainResponse;
    QList<QPair<QByteArray, QByteArray>> customHeaders;
    RequestHook requestHook;
    ReplyHook replyHook;
    bool watchStyleSheets = false;
    bool keepBodies = false;
    bool http2 = false;
};

#endif
