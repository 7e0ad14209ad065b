#include "Scripts/ScriptPage.h"

#include "Network/QNetworkLog.h"

QJsonObject ScriptPage::HistoryEntry(const QString& method, const QString& url, int status, const QString& reason,
                                     const QJsonArray& headers) {
    return QJsonObject{{"request", QJsonObject{{"method", method}, {"url", url}}},
                       {"response", QJsonObject{{"url", url},
                                                {"status", status},
                                                {"statusText", reason},
                                                {"headers", headers}}}};
}

QJsonObject ScriptPage::RequestDescription(const QString& method, const QUrl& url,
                                           const QList<QPair<QByteArray, QByteArray>>& headers,
                                           const QList<QNetworkCookie>& cookies) {
    QJsonObject named;
    for (const auto& header : headers) {
        named.insert(QString::fromLatin1(header.first), QString::fromUtf8(header.second));
    }
    const bool bodiless = method == QLatin1String("GET") || method == QLatin1String("HEAD");
    return QJsonObject{{"url", url.toString()},
                       {"method", method},
                       {"headers", named},
                       {"info", QNetworkLog::HarRequest(method, url, headers, cookies, bodiless ? 0 : -1)}};
}
