#ifndef ORVO_WORKER_NETWORK_QPAGECOOKIEJAR_H
#define ORVO_WORKER_NETWORK_QPAGECOOKIEJAR_H

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>
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

    // Adds a cookie given in that shape ("expires" may also be seconds
    // since 1970, "domain" a URL whose host it is; "path" is "/" and
    // "domain" page's host when not given);
    // false, with why, for one without a name or with an unusable field.
    // A cookie without a domain while the page has no host yet waits for
    // the page's next address (see Settle).
    bool Add(const QJsonObject& cookie, const QUrl& page, QString& error);

    // The page goes to url: the cookies waiting for a host become cookies
    // of url's host alone.
    void Settle(const QUrl& url);

    // Removes the cookies named name (any name when empty) that would be
    // sent to url (any when empty), and those of the name waiting for a
    // host when url is empty; returns how many went.
    int Remove(const QString& name, const QUrl& url);

    // The expiry a cookie's fields give ("expires": an ISO 8601 date or
    // seconds since 1970), left null when they give none; false, with why,
    // for a text that is no date.
    static bool ExpiryOf(const QJsonObject& fields, QDateTime& expiry, QString& error);

    // A cookie's domain as given: a URL ("http://example.com/", as scripts
    // write it) stands for its host.
    static QString DomainOf(const QString& given);

private:

    QList<QNetworkCookie> awaitingHost;
};

#endif
