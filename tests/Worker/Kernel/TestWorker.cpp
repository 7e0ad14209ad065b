// A worker without WebKit for the kernel's tests and benchmarks: this
// program plays the main thread, polling the mediator and answering each
// request as its URL says, while the real serving kernel runs beneath.
//
// test://host/echo          body lists the URL and the options
// test://host/snapshot?width=W&height=H   a W × H image, pixel (x, y) =
//                           (x % 256, y % 256, (x + y) % 256)
// test://host/delay?ms=N    answered N ms later
// test://host/status?code=N a navigation error with status N
// test://host/twice         two answers, "first" and "second"
// test://host/big?bytes=N[&width=W&height=H]   a body of N bytes
// test://host/block?ms=N    blocks the main thread N ms, then answers
// test://host/stop?ms=N     blocks the main thread N ms, then stops
// test://host/hold?file=F   blocks the main thread until file F exists
// test://host/await?file=F  answered once file F exists
// test://host/never         no answer
//
// With ORVO_TEST_WORKER_IGNORE_STOP set, the main thread never notices a
// stop, so the serving thread's grace period ends the process.

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <QImage>
#include <QUrl>
#include <QUrlQuery>
#include <log4cplus/loggingmacros.h>
#include <unistd.h>

#include "Kernel/ServerMediator.h"
#include "Kernel/StringHolder.h"
#include "Kernel/ViewHolder.h"
#include "Shell/Initializer.h"
#include "Support/LoggerFactory.h"

namespace {

using Orvo::Browser::ServerMediator;
using Orvo::Browser::ServerRequest;

const char* const LastModified = "12/07/2026 09:00:00";
const int IdleWaitMs = 20;

struct Answer {
    std::chrono::steady_clock::time_point due;
    std::string name;
    std::string url;
    std::string detail;
    std::string body;
    QImage image;
    // A file that must exist before the answer goes; empty for none.
    std::string release;
};

QImage TestImage(int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar* line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            line[3 * x] = static_cast<uchar>(x % 256);
            line[3 * x + 1] = static_cast<uchar>(y % 256);
            line[3 * x + 2] = static_cast<uchar>((x + y) % 256);
        }
    }
    return image;
}

std::string Echo(const ServerRequest& request) {
    std::string body = "echo " + request.url + " " + request.name;
    const std::map<std::string, std::string> sorted(request.options.begin(), request.options.end());
    for (const auto& option : sorted) {
        body += " " + option.first + "=" + option.second;
    }
    return body;
}

void Send(const Answer& answer) {
    ServerMediator::instance->SendResponse(StringHolder(QByteArray::fromStdString(answer.name)),
                                           StringHolder(QByteArray::fromStdString(answer.url)),
                                           StringHolder(QByteArray::fromStdString(answer.detail)),
                                           StringHolder(QByteArray::fromStdString(answer.body)),
                                           answer.image.isNull() ? ViewHolder() : ViewHolder(answer.image));
}

class MainThread {
public:
    // Polls until the server stops; returns the exit status.
    int Run() {
        for (;;) {
            try {
                // Waiting in GetRequest answers at once when a request comes.
                const boost::shared_ptr<ServerRequest> request =
                    ServerMediator::instance->GetRequest(answers.empty() ? IdleWaitMs : 1);
                if (request) {
                    Handle(*request);
                }
            } catch (const Orvo::Browser::ServerStoppedException&) {
                if (std::getenv("ORVO_TEST_WORKER_IGNORE_STOP") == nullptr) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(IdleWaitMs));
            }
            SendDue();
        }
        ServerMediator::instance->StopServer(true, true);
        return 0;
    }

private:
    void Handle(const ServerRequest& request) {
        const QUrl url(QString::fromStdString(request.url));
        const QUrlQuery query(url);
        const QString command = url.path().mid(1);
        const int number =
            query.queryItemValue(command == "status" ? "code" : command == "big" ? "bytes" : "ms").toInt();
        Answer answer{std::chrono::steady_clock::now(), request.name, request.url, LastModified, Echo(request),
                      QImage(), std::string()};
        const int width = query.queryItemValue("width").toInt();
        const int height = query.queryItemValue("height").toInt();
        if (width > 0 && height > 0) {
            answer.image = TestImage(width, height);
        }
        if (command == "never") {
            return;
        } else if (command == "delay") {
            answer.due += std::chrono::milliseconds(number);
        } else if (command == "status") {
            answer.detail = std::to_string(number);
            answer.body.clear();
        } else if (command == "big") {
            answer.body.assign(static_cast<std::size_t>(number), 'b');
        } else if (command == "twice") {
            answer.body = "first";
            Send(answer);
            answer.body = "second";
        } else if (command == "block") {
            std::this_thread::sleep_for(std::chrono::milliseconds(number));
        } else if (command == "await") {
            answer.release = query.queryItemValue("file").toStdString();
        } else if (command == "hold") {
            const std::string file = query.queryItemValue("file").toStdString();
            while (::access(file.c_str(), F_OK) != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } else if (command == "stop") {
            std::this_thread::sleep_for(std::chrono::milliseconds(number));
            ServerMediator::instance->StopServer(true, true);
            return;
        }
        answers.push_back(answer);
    }

    void SendDue() {
        const auto now = std::chrono::steady_clock::now();
        for (auto answer = answers.begin(); answer != answers.end();) {
            if (answer->due <= now && (answer->release.empty() || ::access(answer->release.c_str(), F_OK) == 0)) {
                Send(*answer);
                answer = answers.erase(answer);
            } else {
                ++answer;
            }
        }
    }

    std::vector<Answer> answers;
};

} // namespace

int main(int argc, char** argv) {
    Orvo::Browser::Initializer::InitServerMain(argc, argv);
    log4cplus::Logger root = Orvo::Logging::LoggerFactory::GetLogger("");
    ServerMediator::Create(::getpid())->StartServer();
    const int code = MainThread().Run();
    LOG4CPLUS_INFO(root, "Exit Main: " << code);
    ServerMediator::instance.reset();
    Orvo::Browser::Server::instance.reset();
    return code;
}
