#ifndef ORVO_WORKER_CHROMIUM_CHROMIUMWORKER_H
#define ORVO_WORKER_CHROMIUM_CHROMIUMWORKER_H

#include <chrono>
#include <csignal>
#include <cstddef>
#include <utility>

#include <QByteArray>
#include <QNetworkProxy>

#include <log4cplus/logger.h>

#include "Chromium/ChromiumPage.h"
#include "Chromium/DevToolsPipe.h"
#include "Kernel/RecyclePolicy.h"
#include "Kernel/ServerMediator.h"
#include "Network/DeniedNetworks.h"
#include "Protocol/Option.h"
#include "Protocol/ServerRequest.h"

class ChromiumScriptPage;
class QImage;
class QScriptRunner;

namespace Orvo {
namespace Browser {
class Configurator;
}
}

// The main thread of a worker started with --engine chromium: takes the
// requests the serving kernel hands over, renders each in a ChromiumPage of
// its own, one at a time, and answers as the WebKit worker does: the page's
// address after redirects, its Last-Modified date (MM/dd/yyyy hh:mm:ss) as
// the detail, the HTML as the body and, with the snapshot option, the whole
// page's picture; a failed navigation answers its status (or nothing) as
// the detail and no body (with pageInfo, the page's description, as the
// body of every answer). It applies the options the schema marks as
// Chromium's; any other given is logged at WARN and left aside. The worker
// ends once it has been idle for its first request's keep, when stop is
// set or when the process that started it ended (ParentWatch); with
// ExitStatus::BrowserLost when its browser ended, so that its clients
// start a fresh worker; with ExitStatus::Recycled once retired past its
// recycling limits (--recycle-pages, --recycle-rss) and done.
//
// The worker answers through mediator, which it starts and stops, and
// reads its settings from configuration once, when it is made.
class ChromiumWorker {
public:
    ChromiumWorker(DevToolsPipe& browser, Orvo::Browser::ServerMediator& mediator,
                   const Orvo::Browser::Configurator& configuration);

    // Serves until the end; returns the exit status.
    int Run(const volatile std::sig_atomic_t& stop);

    // How often an idle worker looks for a request and a stop.
    static constexpr int PollMs = 50;
    static constexpr int RetireSettleMs = 1000;
    // The viewport of a request that names none: the WebKit worker's on
    // its own offscreen screen.
    static constexpr int DefaultWidth = 800;
    static constexpr int DefaultHeight = 600;
    // Below this much shared memory the browser keeps its shared
    // buffers in files instead: a small /dev/shm (a container's 64 MB)
    // makes its renderers crash.
    static constexpr unsigned long long SmallSharedMemoryBytes = 512ull << 20;

    // The browser as a rendering worker runs it: no GPU, extensions,
    // first-run, crash reports, background networking, sync or sound, and
    // /dev/shm only when it is large enough.
    static DevToolsPipe::Options BrowserOptions();


private:
    void Serve(const Orvo::Browser::ServerRequest& request);
    // Runs the request's script with a page of its own until it finishes
    // or the request's time runs out, and answers its result as the
    // WebKit worker does; a browser lost meanwhile answers as a crashed
    // page. Needs a QCoreApplication.
    void ServeScript(const Orvo::Browser::ServerRequest& request, const Orvo::Browser::Option::Tuple& options);
    // Runs runner's script in Qt's event loop until it finishes, its time
    // runs out or its page is gone; the script's detail and body (empty
    // when it did not finish).
    static std::pair<QByteArray, QByteArray> RunLua(QScriptRunner& runner, ChromiumScriptPage& page,
                                                    const Orvo::Browser::Option::Tuple& options);
    void Answer(const Orvo::Browser::ServerRequest& request, const std::string& url, const QString& detail,
                const std::string& body, const QImage& snapshot);
    void AnswerDead(const Orvo::Browser::ServerRequest& request);
    // Retires the worker once past its recycling limits (its ready marker
    // goes, so that clients send it nothing more; the browser's memory
    // counts); true once a retired worker holds nothing unanswered and
    // RetireSettleMs have passed.
    bool RetiredAndDone();
    void WarnUnsupported(const Orvo::Browser::ServerRequest& request);
    bool Loadable(const std::string& url) const;
    // How long a script's JavaScript may run at a time.
    static int JavaScriptLimitMs();
    // Why a request to url is not sent: host's address in a network of
    // --denied-networks (logged at WARN); empty when it may go.
    std::string RefuseDeniedNetwork(const std::string& host, const std::string& url) const;
    static Orvo::Browser::Option::Tuple OptionsOf(const Orvo::Browser::ServerRequest& request);
    static ChromiumPage::Proxy ProxyOf(const Orvo::Browser::Option::Tuple& options);
    static QNetworkProxy QtProxyOf(const Orvo::Browser::Option::Tuple& options);
    ChromiumPage::Load LoadOf(const Orvo::Browser::ServerRequest& request,
                              const Orvo::Browser::Option::Tuple& options) const;
    void AnswerRendered(const Orvo::Browser::ServerRequest& request, const Orvo::Browser::Option::Tuple& options,
                        ChromiumPage& page, const ChromiumPage::Rendered& rendered);
    nlohmann::json RunScript(ChromiumPage& page, const std::string& script);
    static QImage Snapshot(const Orvo::Browser::Option::Tuple& options, ChromiumPage& page);
    static std::string Content(const Orvo::Browser::Option::Tuple& options, ChromiumPage& page,
                               const ChromiumPage::Rendered& rendered, bool changed);
    static std::string Body(const Orvo::Browser::Option::Tuple& options, ChromiumPage& page,
                            const ChromiumPage::Rendered& rendered, const std::string& html, bool ok,
                            const nlohmann::json& scriptValue);

    DevToolsPipe& browser;
    Orvo::Browser::ServerMediator& mediator;
    log4cplus::Logger logger;
    // Whether file URLs may be loaded (--allow-file-urls).
    const bool fileUrlsAllowed;
    const DeniedNetworks deniedNetworks;
    // The keep of the first request served; the default until then.
    int keepMs;
    bool served = false;
    // The browser ended: the worker answers what it holds and ends.
    bool browserLost = false;
    const Orvo::Browser::RecyclePolicy recycle;
    std::size_t taken = 0;
    bool retiring = false;
    std::chrono::steady_clock::time_point retiredAt;
};

#endif
