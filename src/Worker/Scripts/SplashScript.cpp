#include "Scripts/SplashScript.h"

#include <QPointer>

#include "Network/QMyNetworkAccessManager.h"
#include "Scripts/QScriptRunner.h"
#include "Scripts/SplashElements.h"
#include "Scripts/SplashJavaScript.h"
#include "Scripts/SplashNetwork.h"
#include "Scripts/SplashPage.h"
#include "Scripts/SplashTimers.h"

QScriptRunner* SplashScript::Create(QMyWebPage* page, QMyNetworkAccessManager* network, QPageCookieJar* cookies,
                                    QObject* parent) {
    QScriptRunner* runner = new QScriptRunner(page, network, cookies, parent);
    for (const luaL_Reg* group : {SplashPage::Methods, SplashNetwork::Methods, SplashElements::Methods,
                                  SplashJavaScript::Methods, SplashTimers::Methods}) {
        runner->AddMethods(group);
    }
    const QPointer<QScriptRunner> self(runner);
    network->SetRequestHook([self](QNetworkRequest& request, QNetworkAccessManager::Operation operation,
                                   QMyNetworkAccessManager::RequestDecision& decision) {
        if (self != nullptr) {
            SplashNetwork::OnPageRequest(self, request, operation, decision);
        }
    });
    network->SetReplyHook([self](QNetworkReply* reply, QNetworkAccessManager::Operation operation, const QUrl& asked) {
        if (self != nullptr) {
            SplashNetwork::OnPageReply(self, reply, operation, asked);
        }
    });
    return runner;
}
