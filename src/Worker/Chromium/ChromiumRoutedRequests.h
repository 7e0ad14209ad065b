#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMROUTEDREQUESTS_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMROUTEDREQUESTS_H

#include <QByteArray>
#include <QNetworkProxy>
#include <QThread>

#include "Chromium/ChromiumPage.h"

// Fetches the requests of a Chromium page that a script's request callback
// gave a proxy or a time-out of their own, which the browser cannot give
// one request. Qt's network manager fetches them on a thread of the
// object's, so the page's thread, which waits on the browser, never waits
// on them; each answer goes to the page through ChromiumPage::PostAnswer.
// No redirect is followed here: the browser follows the answer's and asks
// again. A response comes whole, its body decoded. The fetches in flight
// end, unanswered, with the object. One thread calls it.
class ChromiumRoutedRequests {
public:
    struct Route {
        QNetworkProxy proxy = QNetworkProxy(QNetworkProxy::NoProxy);
        // How long the reply may receive nothing, in ms; 0 for no limit.
        int timeoutMs = 0;
    };

    explicit ChromiumRoutedRequests(ChromiumPage& page);
    ~ChromiumRoutedRequests();
    ChromiumRoutedRequests(const ChromiumRoutedRequests&) = delete;
    ChromiumRoutedRequests& operator=(const ChromiumRoutedRequests&) = delete;

    // Fetches request (see ChromiumPage::Outgoing::send) with cookies as
    // its Cookie header, unless it has one, as route says; a request for
    // anything but http or https fails (AccessDenied).
    void Send(const ChromiumPage::Outgoing& request, const QByteArray& cookies, const Route& route);

private:
    ChromiumPage& page;
    QThread thread;
    // Lives on thread, the parent of a network manager for each proxy;
    // deleted as thread ends.
    QObject* const home;
};

#endif
