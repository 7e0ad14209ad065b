#ifndef ORVO_IMPL_QPAGECOOKIEJAR_H
#define ORVO_IMPL_QPAGECOOKIEJAR_H

#include <QJsonArray>
#include <QList>
#include <QNetworkCookie>
#include <QNetworkCookieJar>

// One page's cookie jar, whose cookies can all be read and replaced (a
// plain jar shows them only to subclasses).
class QPageCookieJar : public QNetworkCookieJar {
public:
    explicit QPageCookieJar(QObject* parent) : QNetworkCookieJar(parent) {}

    QList<QNetworkCookie> All() const { return allCookies(); }
    void Replace(const QList<QNetworkCookie>& cookies) { setAllCookies(cookies); }

    // Every cookie as {"name", "value", "domain", "path", "expires" (ISO
    // 8601 UTC, or null for a session cookie), "httpOnly", "secure"}.
    QJsonArray ToJson() const;
};

#endif
