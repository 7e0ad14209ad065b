#include "Network/QRequestProxies.h"

QRequestProxies::QRequestProxies(const QNetworkProxy& page) : page(page) {}

void QRequestProxies::Give(const QUrl& url, const QNetworkProxy& proxy) {
    given.emplace(url.toString(QUrl::FullyEncoded), proxy);
}

QList<QNetworkProxy> QRequestProxies::queryProxy(const QNetworkProxyQuery& query) {
    const auto own = given.find(query.url().toString(QUrl::FullyEncoded));
    if (own != given.end()) {
        const QNetworkProxy proxy = own->second;
        given.erase(own);
        return {proxy};
    }
    return {page.type() == QNetworkProxy::DefaultProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : page};
}
