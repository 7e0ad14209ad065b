#include "Scheduler/QMainRequestHandler.h"

#include <algorithm>

#include <QCoreApplication>
#include <QTimer>
#include <log4cplus/loggingmacros.h>
#include <unistd.h>

#include "Kernel/Configurator.h"
#include "Kernel/ServerStoppedException.h"
#include "Kernel/UnhandledRequestException.h"
#include "Protocol/ExitStatus.h"
#include "Protocol/TimeDivisor.h"
#include "Protocol/TimeOutException.h"
#include "Support/LoggerFactory.h"

namespace Option = Orvo::Browser::Option;

QMainRequestHandler::QMainRequestHandler(QObject*)
    : QRequestHandler(nullptr),
      pollTimer(nullptr),
      logger(Orvo::Logging::LoggerFactory::GetLogger("QMainRequestHandler")),
      spawned(0),
      serverStopped(false),
      maxPages(MaxPagesOfConfiguration()),
      idleTimer(new QTimer(this)),
      channelTimer(new QTimer(this)),
      stopping(false),
      stopGraceTimer(new QTimer(this)),
      recycle(Orvo::Browser::RecyclePolicy::OfConfiguration()),
      taken(0),
      retiring(false),
      exitStatus(0) {
    idleTimer->setSingleShot(true);
    connect(idleTimer, SIGNAL(timeout()), this, SLOT(OnSuicideTimer()));
    stopGraceTimer->setSingleShot(true);
    connect(stopGraceTimer, SIGNAL(timeout()), this, SLOT(OnStopGraceTimer()));
    connect(channelTimer, SIGNAL(timeout()), this, SLOT(OnChannelCheckTimer()));
    connect(this, SIGNAL(Answered()), this, SLOT(OnMayTake()), Qt::QueuedConnection);
    channelTimer->start(Orvo::Browser::TimeDivisor::Scaled(ChannelCheckMs));
    serverMediator = Orvo::Browser::ServerMediator::Create(::getpid());
    serverMediator->SetRequestArrivedHook(
        [this]() { QMetaObject::invokeMethod(this, "OnMayTake", Qt::QueuedConnection); });
    serverMediator->StartServer();
}

QMainRequestHandler::~QMainRequestHandler() {
    LOG4CPLUS_DEBUG(logger, "QMainRequestHandler::~");
    if (serverMediator) {
        serverMediator->SetRequestArrivedHook(boost::function<void()>());
        try {
            serverMediator->StopServer(true, true);
        } catch (const Orvo::Browser::UnhandledRequestException&) {
            LOG4CPLUS_ERROR(logger, "QMainRequestHandler::~ => UnhandledRequestException");
        }
        serverMediator.reset();
        LOG4CPLUS_DEBUG(logger, "QMainRequestHandler::~ => serverMediator.reset();");
    }
    if (pollTimer != nullptr) {
        pollTimer->stop();
    }
    for (const QPointer<QRequestHandler>& handler : handlers) {
        if (!handler.isNull()) {
            handler->Destroy();
        }
    }
    handlers.clear();
    LOG4CPLUS_DEBUG(logger, "PostQuitMessage");
    QCoreApplication::exit(exitStatus);
}

std::size_t QMainRequestHandler::MaxPagesOfConfiguration() {
    const boost::shared_ptr<Orvo::Browser::Configurator> configurator = Orvo::Browser::Configurator::instance;
    return static_cast<std::size_t>(configurator ? configurator->MaxPages()
                                                 : Orvo::Browser::Configurator::DefaultMaxPages);
}

void QMainRequestHandler::Destroy() {
    ReleasePage();
}

void QMainRequestHandler::OnPollTimer() {
    LOG4CPLUS_DEBUG(logger, "OnPollTimer");
    if (stopping) {
        EndStopWhenQuiet();
        return;
    }
    TakeOne();
    memoryRelease.Tick(OpenPages());
    CheckRecycling();
}

void QMainRequestHandler::OnMayTake() {
    if (!stopping) {
        TakeOne();
    }
}

void QMainRequestHandler::TakeOne() {
    handlers.remove_if(&QMainRequestHandler::Destroyed);
    if (OpenPages() >= maxPages) {
        idleTimer->stop();
        return;
    }
    boost::shared_ptr<Orvo::Browser::ServerRequest> request;
    try {
        request = serverMediator->GetRequest(0);
    } catch (const Orvo::Browser::ServerStoppedException&) {
        LOG4CPLUS_ERROR(logger, "OnPollTimer => ServerStoppedException");
        serverStopped = true;
    }
    if (request) {
        idleTimer->stop();
        Dispatch(*request);
        // The limit is met at the request that reaches it.
        CheckRecycling();
        return;
    }
    TrackIdleness();
}

void QMainRequestHandler::Dispatch(const Orvo::Browser::ServerRequest& request) {
    ++taken;
    if (state != State::Idle) {
        QRequestHandler* handler = new QRequestHandler(this);
        connect(handler, SIGNAL(Answered()), this, SLOT(OnMayTake()), Qt::QueuedConnection);
        handlers.push_back(QPointer<QRequestHandler>(handler));
        LOG4CPLUS_DEBUG(logger, "Spawn " << ++spawned << " => ProcessRequest");
        handler->ProcessRequest(request.url, request.name, request.options);
    } else {
        LOG4CPLUS_DEBUG(logger, "MainThread => ProcessRequest");
        ProcessRequest(request.url, request.name, request.options);
    }
}

bool QMainRequestHandler::OwnPageOpen() const {
    return state == State::Loading || state == State::Ready;
}

std::size_t QMainRequestHandler::OpenPages() const {
    const auto open = [](const QPointer<QRequestHandler>& handler) {
        return !handler.isNull() && handler->GetState() != State::Answered;
    };
    return std::count_if(handlers.begin(), handlers.end(), open) + (OwnPageOpen() ? 1 : 0);
}

bool QMainRequestHandler::OwnRequestOver() const {
    return state == State::Answered || serverStopped;
}

void QMainRequestHandler::TrackIdleness() {
    if (!OwnRequestOver() || !handlers.empty()) {
        idleTimer->stop();
    } else if (!idleTimer->isActive()) {
        idleTimer->start(std::max(0, Option::Get<Option::Keep>(options)));
    }
}

void QMainRequestHandler::OnSuicideTimer() {
    LOG4CPLUS_DEBUG(logger, "OnSuicideTimer");
    handlers.remove_if(&QMainRequestHandler::Destroyed);
    if (!handlers.empty()) {
        return;
    }
    try {
        if (!serverMediator->HasUnfinishedRequest()) {
            deleteLater();
        }
    } catch (const Orvo::Interprocess::TimeOutException&) {
        GiveUpWedgedChannel();
    }
}

void QMainRequestHandler::OnChannelCheckTimer() {
    try {
        serverMediator->ProbeRequestChannel();
    } catch (const Orvo::Interprocess::TimeOutException&) {
        GiveUpWedgedChannel();
    }
}

void QMainRequestHandler::GiveUpWedgedChannel() {
    serverMediator->GiveUp("QMainRequestHandler::GiveUpWedgedChannel => the request channel's lock is held past "
                           "its deadline; no request can reach this worker",
                           std::string(), Orvo::Browser::ExitStatus::ChannelWedged, false);
}

void QMainRequestHandler::CheckRecycling() {
    if (!recycle.Enabled() || stopping) {
        return;
    }
    if (!retiring) {
        const std::size_t resident = recycle.WatchesMemory() ? Orvo::Browser::RecyclePolicy::ResidentBytes() : 0;
        const std::string why = recycle.Due(taken, resident);
        if (!why.empty()) {
            serverMediator->Retire();
            LOG4CPLUS_INFO(logger, "QMainRequestHandler::Retire => " << why);
            retiring = true;
            sinceRetired.start();
        }
        return;
    }
    handlers.remove_if(&QMainRequestHandler::Destroyed);
    if (OpenPages() == 0 && sinceRetired.hasExpired(Orvo::Browser::TimeDivisor::Scaled(RetireSettleMs))
        && !HoldsUnanswered()) {
        LOG4CPLUS_INFO(logger, "QMainRequestHandler::Retire => every request answered after " << taken);
        exitStatus = Orvo::Browser::ExitStatus::Recycled;
        Stop();
    }
}

// Requests sent and not yet delivered: in the channel, waiting, or being
// answered.
bool QMainRequestHandler::HoldsUnanswered() {
    try {
        return serverMediator->HasUnfinishedRequest();
    } catch (const Orvo::Interprocess::TimeOutException&) {
        GiveUpWedgedChannel();
    }
}

void QMainRequestHandler::StopOnSignal(const QString& signalName) {
    if (stopping) {
        return;
    }
    LOG4CPLUS_INFO(logger, "QMainRequestHandler::StopOnSignal => " << signalName.toStdString());
    Stop();
}

void QMainRequestHandler::StopOnParentGone() {
    if (stopping) {
        return;
    }
    LOG4CPLUS_WARN(logger, "QMainRequestHandler::StopOnParentGone => the process that started this worker ended");
    Stop();
}

void QMainRequestHandler::Stop() {
    stopping = true;
    idleTimer->stop();
    channelTimer->stop();
    serverMediator->StopServer(true, true);
    serverStopped = true;
    stopGraceTimer->start(Orvo::Browser::TimeDivisor::Scaled(StopGraceMs));
    EndStopWhenQuiet();
}

void QMainRequestHandler::EndStopWhenQuiet() {
    handlers.remove_if(&QMainRequestHandler::Destroyed);
    if (OpenPages() == 0) {
        EndStop();
    }
}

void QMainRequestHandler::OnStopGraceTimer() {
    LOG4CPLUS_DEBUG(logger, "OnStopGraceTimer => " << OpenPages() << " pages open");
    EndStop();
}

// Every page still open answers dead; those that answered before are
// being delivered already.
void QMainRequestHandler::EndStop() {
    stopGraceTimer->stop();
    if (pollTimer != nullptr) {
        pollTimer->stop();
    }
    handlers.remove_if(&QMainRequestHandler::Destroyed);
    for (const QPointer<QRequestHandler>& handler : handlers) {
        handler->PushDead();
    }
    if (OwnPageOpen()) {
        PushDead();
    }
    deleteLater();
}
