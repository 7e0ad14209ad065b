#ifndef ORVO_WORKER_SCRIPTS_SPLASHSCRIPT_H
#define ORVO_WORKER_SCRIPTS_SPLASHSCRIPT_H

#include <QObject>

class QMyNetworkAccessManager;
class QMyWebPage;
class QPageCookieJar;
class QScriptRunner;
class ScriptPage;

// Puts a script's runner together: the splash object's method groups
// (SplashPage, SplashNetwork, SplashElements, SplashJavaScript,
// SplashTimers). The runner itself knows none of them.
class SplashScript {
public:
    // A runner for a WebKit page, owned by parent; network is the page's
    // manager and cookies its jar.
    static QScriptRunner* Create(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                                 QObject* parent);
    // A runner for page (which it owns), owned by parent.
    static QScriptRunner* Create(ScriptPage* page, QObject* parent);
};

#endif
