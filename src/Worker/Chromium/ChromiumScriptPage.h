#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMSCRIPTPAGE_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMSCRIPTPAGE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include "Chromium/ChromiumPage.h"
#include "Chromium/ChromiumScriptHooks.h"
#include "Page/KeySequence.h"
#include "Scripts/ScriptListeners.h"
#include "Scripts/ScriptPage.h"

// A Chromium page as a script drives it, over the DevTools protocol. Each
// go renders the page as the request's own load says (its headers,
// cookies, rules and proxy), with the script's switches, viewport and
// resource timeout, and no delay; the call blocks the worker's one thread
// until the page has loaded or the request's deadline came, which is
// how the Chromium worker serves every page. Between renders the page's
// own navigations are followed as they happen. No call throws: a browser
// that stopped answering makes the page gone, and a script's JavaScript
// runs at most until the deadline.
//
// What the engine has no means for yet is refused with an error naming
// it: a request's own proxy and time-out, and content other than HTML
// over about 1.5 MB without a base URL.
class ChromiumScriptPage : public ScriptPage {
    Q_OBJECT

public:
    struct Settings {
        // The request's deadline, on the steady clock in ms.
        long long deadlineMs = 0;
        // How long the script's JavaScript runs at a time, as WebKit's
        // watchdog allows it.
        int javaScriptLimitMs = 10000;
        bool fileUrls = false;
        // Where fetches aside from the page go: the request's proxy.
        QNetworkProxy proxy = QNetworkProxy(QNetworkProxy::NoProxy);
    };

    // page renders as request asks; its cookies go with the first load
    // only.
    ChromiumScriptPage(ChromiumPage& page, const ChromiumPage::Load& request, const Settings& settings,
                       QObject* parent);
    ~ChromiumScriptPage() override;

    // Takes the page's events that came meanwhile (see
    // ChromiumPage::TakePending).
    void TakePending();

    const char* Engine() const override { return "chromium"; }
    bool Gone() const override { return lost; }
    void Navigate(const Navigation& navigation) override;
    QString SetContent(const QByteArray& data, const QString& type, const QUrl& base) override;
    bool FileUrlsAllowed() const override { return settings.fileUrls; }
    bool NavigationLocked() const override { return locked; }
    QString SetNavigationLocked(bool locked) override;
    QUrl Url() override;
    QString Html() override;
    QVariantMap Evaluate(const QString& snippet) override;
    bool HasSwitch(const QString& name) const override;
    bool Switch(const QString& name) override;
    QString SetSwitch(const QString& name, bool on) override;
    int ResourceTimeoutMs() const override { return load.resourceTimeoutMs; }
    void SetResourceTimeoutMs(int ms) override { load.resourceTimeoutMs = ms; }
    QPoint ScrollPosition() override;
    void SetScrollPosition(const QPoint& position) override;
    QSize ViewportSize() override { return QSize(load.width, load.height); }
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
    QJsonArray History() override { return history; }
    QJsonArray Cookies() override;
    bool AddCookie(const QJsonObject& cookie, QString& error) override;
    int RemoveCookies(const QString& name, const QUrl& url) override;
    void AddAutoload(const QString& source) override;
    void ResetAutoloads() override;
    QString Listener(lua_State* lua, int index, const Callback& callback) override;
    void SetNetworkHooks(const NetworkHooks& hooks) override;

    // The longest data URL that content set without a base goes through
    // (the browser takes URLs of at most 2 MiB).
    static constexpr int MaxDataUrlBytes = 2 * 1024 * 1024 - 1024;

    // The reason a script gives for a navigation the browser failed with
    // error ("net::ERR_CONNECTION_REFUSED"): "network" and the number Qt's
    // network layer has for such a failure (network1), network99 for one
    // it has none for; network301, as on WebKit, for a request this worker
    // refused (its host, a header, a denied network: error is the refusal).
    static QString NetworkReason(const std::string& error);

private:
    // Sends a command to the page; a browser that ended, or did not
    // answer, makes the page gone (a null answer).
    nlohmann::json Call(const std::string& method, const nlohmann::json& params = nlohmann::json::object());
    // The value of expression in the page; null when it failed.
    nlohmann::json Value(const std::string& expression);
    long long RemainingMs() const;
    // The next load of url, as the script has set the page up.
    ChromiumPage::Load Next(const std::string& url);
    // Renders next, blocking; Loaded (and UrlChanged when the page moved)
    // follow from the event loop.
    void Render(const ChromiumPage::Load& next);
    // Keeps a navigation's responses as History gives them.
    void Keep(const std::vector<ChromiumPage::Response>& responses);
    // Between renders: tells of the main frame's navigations, and of a
    // document that failed to load; a crashed renderer makes the page
    // gone.
    void OnEvent(const std::string& method, const nlohmann::json& params);
    void Press(const KeySequence::Key& key);
    static int Modifiers(Qt::KeyboardModifiers modifiers);
    // The cookies the browser would send to url, their names and values.
    QList<QNetworkCookie> SentCookies(const QUrl& url);
    // A pause of the page's JavaScript: a listener's call-out, handed to
    // the script's listeners, or another, which goes on at once.
    void OnPause(const nlohmann::json& params);
    // Keeps the cookies a reply of a fetch aside sets.
    void KeepCookies(QNetworkReply* reply);
    // A cookie of the browser's (Network.Cookie) as scripts see it, and as
    // Storage.setCookies takes it back.
    static QJsonObject CookieOf(const nlohmann::json& cookie);
    static nlohmann::json ParamOf(const nlohmann::json& cookie);
    // Whether the browser sends cookie to url.
    static bool SentTo(const nlohmann::json& cookie, const QUrl& url);

    ChromiumPage& page;
    // The next load: the request's, with the script's switches and
    // viewport.
    ChromiumPage::Load load;
    const Settings settings;
    // Fetches aside from the page (http_get, autoload of a URL): Qt's, with
    // the browser's cookies.
    QNetworkAccessManager* const aside;
    bool rendering = false;
    // How many renders have begun.
    int renders = 0;
    // The request of the document the page itself went to.
    std::string documentRequest;
    bool lost = false;
    bool locked = false;
    std::map<std::string, bool> switches;
    // The latest navigation's responses (see ScriptPage::History).
    QJsonArray history;
    // Cookies without a domain, added while the page had no host: the
    // next page's (CookieParam objects without their place).
    nlohmann::json awaitingHost = nlohmann::json::array();
    // Headers each request of the page gets, set_custom_headers's.
    std::vector<std::pair<std::string, std::string>> customHeaders;
    // The identifiers of the scripts each new document runs first.
    std::vector<std::string> autoloads;
    // What the script's network callbacks see; unhooks the page first as
    // this goes.
    ChromiumScriptHooks network;
    // The script's event listeners; null until it has one.
    std::unique_ptr<ScriptListeners> listeners;
};

#endif
