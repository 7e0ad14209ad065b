#ifndef ORVO_WORKER_NETWORK_QREQUESTPROXIES_H
#define ORVO_WORKER_NETWORK_QREQUESTPROXIES_H

#include <map>

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QString>
#include <QUrl>

// The proxies of a page's requests: the page's own, and for a request that
// a hook gave a proxy of its own, that one. A reply asks for its proxy as
// it starts, which a body to read first puts off past the moment it was
// made, so a request's own proxy waits, by URL, for the first start of a
// request for that URL. Used on the page's thread only.
class QRequestProxies : public QNetworkProxyFactory {
public:
    explicit QRequestProxies(const QNetworkProxy& page);

    void SetPageProxy(const QNetworkProxy& proxy) { page = proxy; }
    // The page's proxy; DefaultProxy when none was set (none is used).
    const QNetworkProxy& PageProxy() const { return page; }
    // The next request for url to start goes through proxy.
    void Give(const QUrl& url, const QNetworkProxy& proxy);

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

private:
    QNetworkProxy page;
    std::multimap<QString, QNetworkProxy> given;
};

#endif
