#include "Scripts/SplashScript.h"

#include "Scripts/QScriptRunner.h"
#include "Scripts/QWebKitScriptPage.h"
#include "Scripts/SplashElements.h"
#include "Scripts/SplashJavaScript.h"
#include "Scripts/SplashNetwork.h"
#include "Scripts/SplashPage.h"
#include "Scripts/SplashTimers.h"

QScriptRunner* SplashScript::Create(ScriptPage* page, QObject* parent) {
    QScriptRunner* runner = new QScriptRunner(page, parent);
    for (const luaL_Reg* group : {SplashPage::Methods, SplashNetwork::Methods, SplashElements::Methods,
                                  SplashJavaScript::Methods, SplashTimers::Methods}) {
        runner->AddMethods(group);
    }
    return runner;
}

QScriptRunner* SplashScript::Create(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                                    QObject* parent) {
    return Create(new QWebKitScriptPage(page, network, cookies, nullptr), parent);
}
