#include "Scripts/SplashScript.h"

#include <QPointer>

#include "Network/QMyNetworkAccessManager.h"
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
    QScriptRunner* runner = Create(new QWebKitScriptPage(page, network, cookies, nullptr), parent);
    const QPointer<QScriptRunner> self(runner);
    network->SetRequestHook([self, cookies](QNetworkRequest& request, QNetworkAccessManager::Operation operation,
                                            QMyNetworkAccessManager::RequestDecision& decision) {
        if (self != nullptr) {
            SplashNetwork::OnPageRequest(self, cookies, request, operation, decision);
        }
    });
    network->SetReplyHook([self, cookies](QNetworkReply* reply, QNetworkAccessManager::Operation operation,
                                          const QUrl& asked) {
        if (self != nullptr) {
            SplashNetwork::OnPageReply(self, cookies, reply, operation, asked);
        }
    });
    return runner;
}
