#include "CommandLine.h"

#include <fstream>
#include <iterator>
#include <istream>
#include <stdexcept>

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>

#include "Protocol/Option.h"
#include "queue/RedisConnection.h"

namespace Orvo {
namespace Render {

namespace {

struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw UsageError("cannot read " + path);
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int Number(const std::string& flag, const std::string& text, int least) {
    std::size_t used = 0;
    int value = 0;
    try {
        value = std::stoi(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < least) {
        throw UsageError(flag + " takes a whole number" + (least > 0 ? " of at least " + std::to_string(least) : "")
                         + ", not '" + text + "'");
    }
    return value;
}

int Range(const std::string& flag, const std::string& text, int least, int most) {
    int value = least - 1;
    try {
        value = Number(flag, text, least);
    } catch (const UsageError&) {
    }
    if (value < least || value > most) {
        throw UsageError(flag + " takes a whole number from " + std::to_string(least) + " to " + std::to_string(most)
                         + ", not '" + text + "'");
    }
    return value;
}

void ReadUrls(std::istream& input, std::vector<std::string>& urls) {
    std::string line;
    while (std::getline(input, line)) {
        boost::algorithm::trim(line);
        if (!line.empty() && line[0] != '#') {
            urls.push_back(CommandLine::ToUrl(line));
        }
    }
}

// Walks the arguments; flags that take a value read the next one.
class Reader {
public:
    Reader(const std::vector<std::string>& args, std::istream& standardInput, Settings& settings)
        : args(args), standardInput(standardInput), settings(settings) {}

    CommandLine::Action Run() {
        for (position = 0; position < args.size(); ++position) {
            const std::string& arg = args[position];
            if (arg == "--help" || arg == "-h") {
                return CommandLine::Action::Help;
            }
            if (arg == "--version") {
                return CommandLine::Action::Version;
            }
            if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
                Flag(arg);
            } else {
                settings.urls.push_back(CommandLine::ToUrl(arg));
            }
        }
        if (settings.urls.empty()) {
            throw UsageError("no URL given");
        }
        if (!settings.queue.empty()) {
            CheckQueue();
        }
        if (settings.workerPid != 0 && (settings.recyclePages != 0 || settings.recycleRssMb != 0)) {
            throw UsageError("--max-pages and --max-rss replace the run's own workers, not one given by --worker-pid");
        }
        for (const std::string& url : settings.urls) {
            settings.allowFileUrls = settings.allowFileUrls || url.rfind("file:", 0) == 0;
        }
        return CommandLine::Action::Run;
    }

private:
    std::string Value(const std::string& flag) {
        if (position + 1 >= args.size()) {
            throw UsageError(flag + " needs a value");
        }
        return args[++position];
    }

    void Flag(const std::string& flag) {
        auto& options = settings.options;
        if (flag == "--snapshot" || flag == "--no-snapshot") {
            options["snapshot"] = flag == "--snapshot";
        } else if (flag == "--coordinate") {
            options["coordinate"] = true;
        } else if (flag == "--tiva") {
            options["tiva"] = true;
        } else if (flag == "--keep") {
            options["keep"] = Number(flag, Value(flag), 0);
        } else if (flag == "--delay") {
            options["delay"] = Number(flag, Value(flag), 0);
        } else if (flag == "--post") {
            options["post"] = Value(flag);
        } else if (flag == "--post-file") {
            options["post"] = ReadFile(Value(flag));
        } else if (flag == "--script") {
            options["script"] = Value(flag);
        } else if (flag == "--script-file") {
            options["script"] = ReadFile(Value(flag));
        } else if (flag == "--cookie") {
            options["cookie"] = Value(flag);
        } else if (flag == "--disable") {
            options["disable"] = Value(flag);
        } else if (flag == "--page-timeout") {
            options["timeout"] = Number(flag, Value(flag), 0);
        } else if (flag == "--resource-timeout") {
            options["resourceTimeout"] = Number(flag, Value(flag), 0);
        } else if (flag == "--max-height") {
            options["maxHeight"] = Number(flag, Value(flag), 1);
        } else if (flag == "--viewport") {
            options["viewport"] = Viewport(flag, Value(flag));
        } else {
            Own(flag);
        }
    }

    // What a fleet cannot do: the HTTP API has no such argument, or the
    // flag is about the run's own workers.
    void CheckQueue() const {
        try {
            Queue::RedisAddress::Parse(settings.queue);
        } catch (const std::invalid_argument& e) {
            throw UsageError(std::string("--queue: ") + e.what());
        }
        for (const char* option : {"coordinate", "tiva", "maxHeight"}) {
            if (settings.options.count(option) != 0) {
                throw UsageError(std::string("--queue cannot ask for ") + option);
            }
        }
        for (const std::string& flag : given) {
            if (flag == "--workers" || flag == "--in-flight" || flag == "--worker-pid" || flag == "--raw"
                || flag == "--max-pages" || flag == "--max-rss") {
                throw UsageError(flag + " does not go with --queue: the fleet's instances render");
            }
        }
    }

    static std::string Viewport(const std::string& flag, const std::string& text) {
        int width = 0;
        int height = 0;
        if (!Browser::Option::Viewport::Parse(text, width, height)) {
            throw UsageError(flag + " must be WIDTHxHEIGHT, each from 1 to "
                             + std::to_string(Browser::Option::Viewport::MaxSide));
        }
        return text;
    }

    void Own(const std::string& flag) {
        given.push_back(flag);
        if (flag == "--out") {
            settings.outDirectory = Value(flag);
        } else if (flag == "--input") {
            Input(Value(flag));
        } else if (flag == "--workers") {
            settings.workers = Number(flag, Value(flag), 1);
        } else if (flag == "--in-flight") {
            settings.inFlight = Number(flag, Value(flag), 1);
        } else if (flag == "--worker-pid") {
            settings.workerPid = Number(flag, Value(flag), 1);
        } else if (flag == "--max-pages") {
            settings.recyclePages = static_cast<std::size_t>(Number(flag, Value(flag), 0));
        } else if (flag == "--max-rss") {
            settings.recycleRssMb = static_cast<std::size_t>(Number(flag, Value(flag), 0));
        } else if (flag == "--timeout") {
            settings.timeoutSeconds = Number(flag, Value(flag), 1);
            settings.timeoutSet = true;
        } else if (flag == "--image") {
            settings.imageFormat = Value(flag);
            if (settings.imageFormat != "png" && settings.imageFormat != "jpeg" && settings.imageFormat != "bmp") {
                throw UsageError("--image takes png, jpeg or bmp, not '" + settings.imageFormat + "'");
            }
        } else if (flag == "--png-level") {
            settings.pngLevel = Range(flag, Value(flag), 0, 9);
        } else if (flag == "--quality") {
            settings.jpegQuality = Range(flag, Value(flag), 1, 100);
        } else if (flag == "--writers") {
            settings.writers = Number(flag, Value(flag), 1);
        } else if (flag == "--raw") {
            settings.raw = true;
        } else if (flag == "--quiet") {
            settings.quiet = true;
        } else if (flag == "--queue") {
            settings.queue = Value(flag);
        } else if (flag == "--queue-name") {
            settings.queueName = Value(flag);
        } else {
            throw UsageError("unknown option " + flag);
        }
    }

    void Input(const std::string& source) {
        if (source == "-") {
            ReadUrls(standardInput, settings.urls);
            return;
        }
        std::ifstream file(source);
        if (!file) {
            throw UsageError("cannot read " + source);
        }
        ReadUrls(file, settings.urls);
    }

    const std::vector<std::string>& args;
    std::istream& standardInput;
    Settings& settings;
    std::size_t position = 0;
    // The client flags given, in order.
    std::vector<std::string> given;
};

} // namespace

CommandLine::Action CommandLine::Parse(const std::vector<std::string>& args, std::istream& standardInput,
                                       Settings& settings, std::string& error) {
    try {
        return Reader(args, standardInput, settings).Run();
    } catch (const UsageError& e) {
        error = e.what();
        return Action::UsageError;
    }
}

std::string CommandLine::ToUrl(const std::string& text) {
    if (text.find("://") != std::string::npos || text.rfind("about:", 0) == 0 || text.rfind("data:", 0) == 0) {
        return text;
    }
    if (boost::filesystem::exists(text)) {
        return "file://" + boost::filesystem::absolute(text).lexically_normal().string();
    }
    return text;
}

std::string CommandLine::Usage() {
    return "usage: orvo-render [options] URL...\n"
           "Renders each URL with the Orvo Browser worker and writes the results to a directory.\n"
           "A local file path is taken as a file: URL; workers then start with --allow-file-urls,\n"
           "so that they load file: URLs (without it they load http and https only).\n"
           "\n"
           "Request options:\n"
           "  --snapshot, --no-snapshot   take a full-page snapshot (default: on)\n"
           "  --coordinate                annotate element regions\n"
           "  --keep MS                   worker's idle time before it ends (default 2000)\n"
           "  --tiva                      compact body serialisation\n"
           "  --delay MS                  wait after the page is ready (default 100)\n"
           "  --post DATA, --post-file FILE   POST this body\n"
           "  --script JS, --script-file FILE run this script before extraction\n"
           "  --cookie 'a=1; b=2'         cookies for the URL\n"
           "  --disable LIST              e.g. images,javascript\n"
           "  --page-timeout MS           answer the page with what it has after this (default 300000)\n"
           "  --resource-timeout MS       abort a sub-resource silent this long; 0 never (default 15000)\n"
           "  --max-height PX             cut the snapshot at this height (default 65535)\n"
           "  --viewport WxH              the page's viewport (default: the screen's size)\n"
           "\n"
           "Client options:\n"
           "  --out DIR                   output directory (default orvo-out)\n"
           "  --input FILE                more URLs, one per line; - for standard input\n"
           "  --workers N                 workers to start (default 1)\n"
           "  --in-flight N               requests outstanding per worker (default 8)\n"
           "  --worker-pid PID            use a running worker\n"
           "  --max-pages N               replace a worker after it took N requests (default 0: never)\n"
           "  --max-rss MB                replace a worker once its resident memory passes MB (default 0: never)\n"
           "  --timeout SEC               limit per page (default 310)\n"
           "  --image png|jpeg|bmp        snapshot file format (default png)\n"
           "  --png-level 0-9             zlib level of PNG files (default 1: fast)\n"
           "  --quality 1-100             JPEG quality (default 80)\n"
           "  --writers N                 threads writing files (default: one per core)\n"
           "  --raw                       also keep the record's fields as received\n"
           "  --quiet                     no progress line or summary\n"
           "  --queue redis://HOST:PORT[/DB]  let a fleet of orvo-serve --queue instances render\n"
           "  --queue-name NAME           the fleet's queue (default orvo)\n"
           "  --help, --version\n"
           "\n"
           "Exit status: 0 when every URL got a result from a worker, 1 when any did not, 2 for a usage error.\n";
}

} // namespace Render
} // namespace Orvo
