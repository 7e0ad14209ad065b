#include "Scripts/ScriptPage.h"

QJsonObject ScriptPage::HistoryEntry(const QString& method, const QString& url, int status, const QString& reason,
                                     const QJsonArray& headers) {
    return QJsonObject{{"request", QJsonObject{{"method", method}, {"url", url}}},
                       {"response", QJsonObject{{"url", url},
                                                {"status", status},
                                                {"statusText", reason},
                                                {"headers", headers}}}};
}
