#ifndef ORVO_WORKER_SCRIPTS_QWEBKITSCRIPTPAGE_H
#define ORVO_WORKER_SCRIPTS_QWEBKITSCRIPTPAGE_H

#include <memory>

#include <QPointer>

#include "Network/QMyNetworkAccessManager.h"
#include "Network/QPageCookieJar.h"
#include "Page/QMyWebPage.h"
#include "Scripts/ScriptListeners.h"
#include "Scripts/ScriptPage.h"

class QEventBridge;

// A QtWebKit page as a script drives it: the page, its network manager,
// which records a network log, and its cookie jar, all owned elsewhere.
// A navigation's failure is read from the main document's response: its
// HTTP status from 400 on, a network error, or no response at all.
class QWebKitScriptPage : public ScriptPage {
    Q_OBJECT

public:
    QWebKitScriptPage(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                      QObject* parent);

    // The parts of the page that only WebKit's own script methods use
    // (network hooks, cookies, the network log); null once gone.
    QMyWebPage* Web() const { return page; }
    QMyNetworkAccessManager* Network() const { return network; }
    QPageCookieJar* Cookies() const { return cookies; }

    const char* Engine() const override { return "webkit"; }
    bool Gone() const override;
    void Navigate(const Navigation& navigation) override;
    QString SetContent(const QByteArray& data, const QString& type, const QUrl& base) override;
    bool FileUrlsAllowed() const override;
    bool NavigationLocked() const override;
    QString SetNavigationLocked(bool locked) override;
    QUrl Url() override;
    QString Html() override;
    QVariantMap Evaluate(const QString& snippet) override;
    bool HasSwitch(const QString& name) const override;
    bool Switch(const QString& name) override;
    QString SetSwitch(const QString& name, bool on) override;
    int ResourceTimeoutMs() const override;
    void SetResourceTimeoutMs(int ms) override;
    QPoint ScrollPosition() override;
    void SetScrollPosition(const QPoint& position) override;
    QSize ViewportSize() override;
    void SetViewportSize(const QSize& size) override;
    QSize ContentsSize() override;
    QByteArray Picture(const PagePicture::Request& request, QString& error) override;
    void SendMouse(Mouse action, const QPointF& at) override;
    QString Type(const QString& input, bool keys) override;
    QNetworkReply* FetchAside(QNetworkRequest request, const QByteArray* body) override;
    void SetUserAgent(const QString& agent) override;
    void SetCustomHeaders(const QList<QPair<QByteArray, QByteArray>>& headers) override;
    QJsonObject NetworkArchive() override;
    void ResetNetworkLog() override;
    QJsonArray History() override;
    QJsonArray Cookies() override;
    bool AddCookie(const QJsonObject& cookie, QString& error) override;
    int RemoveCookies(const QString& name, const QUrl& url) override;
    void AddAutoload(const QString& source) override;
    void ResetAutoloads() override;
    QString Listener(lua_State* lua, int index, const Callback& callback) override;
    void SetNetworkHooks(const NetworkHooks& hooks) override;

private:
    void OnLoadFinished(bool ok);
    void OnWindowCleared();
    // Why the main document failed; empty when it did not.
    QString Failure(bool ok) const;
    // Shows reply, which answers a request for asked, to the response
    // hooks as its headers come and as it ends.
    void WatchReply(QNetworkReply* reply, QNetworkAccessManager::Operation operation, const QUrl& asked);

    QPointer<QMyWebPage> page;
    QPointer<QMyNetworkAccessManager> network;
    QPointer<QPageCookieJar> cookies;
    // The script's event listeners, and the object they call, which the
    // page may delete.
    std::unique_ptr<ScriptListeners> listeners;
    QPointer<QEventBridge> bridge;
    QStringList autoloads;
    // A document this object asked for is loading.
    bool loading = false;
    NetworkHooks hooks;
};

#endif
