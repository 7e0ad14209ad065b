#ifndef ORVO_WORKER_REQUEST_QREQUESTHANDLER_H
#define ORVO_WORKER_REQUEST_QREQUESTHANDLER_H

#include <string>

#include <QJsonArray>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QSize>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <boost/unordered_map.hpp>
#include <log4cplus/logger.h>

#include "Kernel/StringHolder.h"
#include "Kernel/SnapshotHolder.h"
#include "Protocol/Option.h"

class DeniedNetworks;
class QMyNetworkAccessManager;
class QEngineGaps;
class QPageConsole;
class QPageCookieJar;
class QScriptRunner;
class QMyWebPage;
class QImage;
class QWebFrame;
class QTimer;

// Serves one request on the GUI thread with a page of its own: applies the
// request's options, loads its URL, decides when the page is ready (load
// progress 100 on the requested URL, or layout and load both reported) or
// has failed (no usable HTTP status), waits the request's delay, extracts
// the results and pushes them to the server mediator; then it deletes
// itself. about:blank is an empty page; any other URL that is not http or
// https (or file, where the worker allows it) is answered at once as a
// navigation error. When the request's
// timeout passes first, the page is answered with what it has if its
// document arrived with a good status, else as a navigation error.
//
// A handler answers at most once: its state only moves forward, Idle ->
// Loading -> Ready (delay running) -> Answered, and Answered may also be
// reached from Loading by a failure or the deadline.
//
// Extraction runs in a fixed order, since some steps change the page: the
// last-modified date, the MIME type and XML decision, the request's script,
// the snapshot (the viewport grows to the whole document, up to the size
// caps), the region annotator, then the HTML or XML text.
class QRequestHandler : public QObject {
    Q_OBJECT

public:
    enum class State { Idle, Loading, Ready, Answered };

    // The status codes of a failed navigation: 400-415, 449, 500-505.
    static bool IsInvalidHttpStatus(int code);

    // Whether the worker was started with --allow-file-urls: requests load
    // http and https URLs only without it.
    static bool FileUrlsAllowed();

    explicit QRequestHandler(QObject* parent);

    // Starts serving a request; url and the option texts are UTF-8.
    bool ProcessRequest(const std::string& url, const std::string& name,
                        const boost::unordered_map<std::string, std::string>& options);

    // Schedules the handler's deletion.
    virtual void Destroy();

    // Answers the request DEAD at once, so that its client sends it again
    // (the worker is stopping), and releases the page; false when it was
    // answered already.
    bool PushDead();

    State GetState() const { return state; }
    const QString& RequestName() const { return requestName; }
    const QString& RequestUrl() const { return url; }

signals:
    // The request was answered (or could not be): its page is closing.
    void Answered();

protected slots:
    void OnDocumentComplete(bool ok);
    void OnInitialLayoutCompleted();
    void OnUrlChanged(QUrl url);
    void OnLoadProgress(int progress);
    void OnJavaScriptWindowObjectCleared();
    void OnTimeOutTimer();
    void OnDelayTimer();

protected:
    bool Navigate(QString& url);
    // Serves a script request: the script drives the page.
    void RunScript();
    // Keeps when the page finished loading (the first of its progress
    // reaching 100 and its load event), for the network log's timings.
    void NoteLoaded();

    bool TryPush();
    bool PushOnDocumentComplete();
    bool PushOnNavigateError();
    // What the answer's body holds: content, or with the pageInfo option
    // the JSON object describing the page, content among it.
    QByteArray Body(const QString& content, bool ok) const;
    // The child frames of frame, as the description gives them.
    static QJsonArray ChildFrames(const QWebFrame* frame);
    bool DoPush(const StringHolder& name, const StringHolder& pageUrl, const StringHolder& detail,
                const StringHolder& body, const SnapshotHolder& snapshot);

    bool GetMimeType(QString& out);
    bool GetLastModified(QString& out);
    bool IsXMLDocument();
    bool GetXML(QString& out);
    bool GetRenderedHTML(QString& out);
    bool ProcessOptScript();
    bool ProcessOptCoordinate();
    bool GetSnapshot(SnapshotHolder& snapshot);

    // Stops the handler's timers and deletes its page and network manager;
    // nothing of the page runs afterwards.
    void ReleasePage();

    QMyWebPage* page;
    QMyNetworkAccessManager* networkManager;
    QString currentUrl;
    QString url;
    QString requestName;
    bool progressed;
    bool layoutCompleted;
    bool documentCompleted;
    State state;
    log4cplus::Logger logger;
    Orvo::Browser::Option::Tuple options;
    bool requestSet;

private:
    QSize ViewportSize() const;
    void ApplyOptions(QNetworkRequest& request, bool& posted);
    void ApplyDisable();
    void ApplyCookies();
    void ApplySetCookies();
    void ApplyHeaders(QNetworkRequest& request);
    void ApplyProxy();
    void ApplyFilters();
    QPageCookieJar* CookieJar();
    void ClampOptions();
    QVariant Evaluate(const QString& script);
    bool IsXmlMode();
    // The main reply has finished with a status that is not a failure.
    bool DocumentArrived() const;
    // Whether the engine can load target at all.
    bool IsLoadable(const QUrl& target) const;


    QTimer* deadlineTimer;
    QTimer* delayTimer;
    // The page's cookie jar once a cookie option made it; a child of the
    // network manager.
    QPageCookieJar* cookieJar = nullptr;
    // The request's script, when it is a script request.
    QScriptRunner* script = nullptr;
    // What the page lacks on this engine, and what its JavaScript logs,
    // when the request asks.
    QEngineGaps* gaps = nullptr;
    QPageConsole* console = nullptr;
    // The script option's value, when the request asks for it.
    QJsonValue scriptValue;
};

#endif
