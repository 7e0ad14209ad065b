#ifndef ORVO_WORKER_SCRIPTS_SPLASHSCRIPT_H
#define ORVO_WORKER_SCRIPTS_SPLASHSCRIPT_H

#include <QObject>

class QMyNetworkAccessManager;
class QMyWebPage;
class QPageCookieJar;
class QScriptRunner;

// Puts a script's runner together: the splash object's method groups
// (SplashPage, SplashNetwork, SplashElements, SplashTimers) and the
// network hooks through which on_request and the response callbacks see
// the page's requests. The runner itself knows none of them.
class SplashScript {
public:
    // A runner for page, owned by parent; network is the page's manager
    // and cookies its jar.
    static QScriptRunner* Create(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                                 QObject* parent);
};

#endif
