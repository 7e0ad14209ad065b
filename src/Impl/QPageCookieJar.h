#ifndef ORVO_IMPL_QPAGECOOKIEJAR_H
#define ORVO_IMPL_QPAGECOOKIEJAR_H

#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>

// One page's cookie jar, whose cookies can all be read once the page is
// rendered (a plain jar shows them only to subclasses).
class QPageCookieJar : public QNetworkCookieJar {
public:
    explicit QPageCookieJar(QObject* parent) : QNetworkCookieJar(parent) {}

    QList<QNetworkCookie> All() const { return allCookies(); }
};

#endif
