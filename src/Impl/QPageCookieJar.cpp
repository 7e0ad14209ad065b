#include "Impl/QPageCookieJar.h"

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
