#include "Network/QPageCookieJar.h"

#include <QDateTime>
#include <QJsonObject>

QJsonArray QPageCookieJar::ToJson() const {
    QJsonArray cookies;
    for (const QNetworkCookie& cookie : allCookies()) {
        const QJsonValue expires =
            cookie.isSessionCookie() ? QJsonValue() : cookie.expirationDate().toUTC().toString(Qt::ISODate);
        cookies.append(QJsonObject{{"name", QString::fromUtf8(cookie.name())},
                                   {"value", QString::fromUtf8(cookie.value())},
                                   {"domain", cookie.domain()},
                                   {"path", cookie.path()},
                                   {"expires", expires},
                                   {"httpOnly", cookie.isHttpOnly()},
                                   {"secure", cookie.isSecure()}});
    }
    return cookies;
}

// A domain given as a URL ("http://example.com/", as scripts write it) is
// its host.
QString QPageCookieJar::DomainOf(const QString& given) {
    if (!given.contains(QLatin1String("://"))) {
        return given;
    }
    return QUrl(given).host();
}

bool QPageCookieJar::Add(const QJsonObject& fields, const QUrl& page, QString& error) {
    const QString name = fields.value("name").toString();
    if (name.isEmpty() || !fields.value("value").isString()) {
        error = QStringLiteral("a cookie needs a name and a text value");
        return false;
    }
    QNetworkCookie cookie(name.toUtf8(), fields.value("value").toString().toUtf8());
    cookie.setPath(fields.value("path").toString(QStringLiteral("/")));
    cookie.setDomain(DomainOf(fields.value("domain").toString(page.host())));
    QDateTime expiry;
    if (!ExpiryOf(fields, expiry, error)) {
        return false;
    }
    cookie.setExpirationDate(expiry);
    cookie.setHttpOnly(fields.value("httpOnly").toBool());
    cookie.setSecure(fields.value("secure").toBool());
    if (cookie.domain().isEmpty()) {
        awaitingHost.append(cookie);
    } else {
        insertCookie(cookie);
    }
    return true;
}

bool QPageCookieJar::ExpiryOf(const QJsonObject& fields, QDateTime& expiry, QString& error) {
    const QJsonValue expires = fields.value("expires");
    if (expires.isString()) {
        expiry = QDateTime::fromString(expires.toString(), Qt::ISODate);
        if (!expiry.isValid()) {
            error = QStringLiteral("the cookie %1 expires at no date: %2")
                        .arg(fields.value("name").toString(), expires.toString());
            return false;
        }
    } else if (expires.isDouble()) {
        expiry = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(expires.toDouble()), Qt::UTC);
    }
    return true;
}

void QPageCookieJar::Settle(const QUrl& url) {
    if (url.host().isEmpty()) {
        return;
    }
    for (QNetworkCookie cookie : awaitingHost) {
        cookie.setDomain(url.host());
        insertCookie(cookie);
    }
    awaitingHost.clear();
}

int QPageCookieJar::Remove(const QString& name, const QUrl& url) {
    const QList<QNetworkCookie> sent = url.isEmpty() ? allCookies() : cookiesForUrl(url);
    int removed = 0;
    for (int k = awaitingHost.size() - 1; k >= 0 && url.isEmpty(); --k) {
        if (name.isEmpty() || QString::fromUtf8(awaitingHost[k].name()) == name) {
            awaitingHost.removeAt(k);
            ++removed;
        }
    }
    for (const QNetworkCookie& cookie : sent) {
        if (name.isEmpty() || QString::fromUtf8(cookie.name()) == name) {
            removed += deleteCookie(cookie) ? 1 : 0;
        }
    }
    return removed;
}
