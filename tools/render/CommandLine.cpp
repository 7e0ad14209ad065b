#include "CommandLine.h"

#include <fstream>
#include <iterator>
#include <istream>
#include <limits>
#include <stdexcept>

#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem.hpp>

#include "Protocol/Option.h"
#include "QueueJob.h"
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
        if (settings.engine == "chromium") {
            CheckChromium();
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
        for (const Browser::Option::Row& row : Browser::Option::Schema()) {
            if (TakeOption(row, flag)) {
                return;
            }
        }
        Own(flag);
    }

    // Sets row's option when flag is one of its flags; false otherwise.
    bool TakeOption(const Browser::Option::Row& row, const std::string& flag) {
        const Browser::Option::Spec& spec = row.spec;
        boost::any value;
        if (spec.offFlag != nullptr && flag == spec.offFlag) {
            value = false;
        } else if (spec.fileFlag != nullptr && flag == spec.fileFlag) {
            value = ReadFile(Value(flag));
        } else if (spec.flag == nullptr || flag != spec.flag) {
            return false;
        } else if (row.kind == Browser::Option::Row::Kind::Bool) {
            value = true;
        } else if (row.kind == Browser::Option::Row::Kind::Int) {
            value = spec.most == std::numeric_limits<int>::max() ? Number(flag, Value(flag), spec.least)
                                                                 : Range(flag, Value(flag), spec.least, spec.most);
        } else {
            value = Text(spec, flag, Value(flag));
        }
        settings.options[row.key] = value;
        return true;
    }

    // The engine is that of the workers the run starts.
    void CheckChromium() const {
        if (settings.workerPid != 0 || !settings.queue.empty()) {
            throw UsageError("--engine chooses the engine of the run's own workers, "
                             "not of --worker-pid's or a fleet's");
        }
    }

    static std::string Text(const Browser::Option::Spec& spec, const std::string& flag, const std::string& text) {
        if (spec.form != nullptr && !text.empty() && !spec.form(text)) {
            throw UsageError(flag + " must be " + spec.formText);
        }
        return text;
    }

    // What a fleet cannot do: the HTTP API has no such argument, or the
    // flag is about the run's own workers.
    void CheckQueue() const {
        try {
            Queue::RedisAddress::Parse(settings.queue);
        } catch (const std::invalid_argument& e) {
            throw UsageError(std::string("--queue: ") + e.what());
        }
        for (const Browser::Option::Row& row : Browser::Option::Schema()) {
            if (settings.options.count(row.key) != 0 && !QueueJob::Carries(row)) {
                throw UsageError(std::string("--queue cannot ask for ") + row.key);
            }
        }
        for (const std::string& flag : given) {
            if (flag == "--workers" || flag == "--in-flight" || flag == "--worker-pid" || flag == "--raw"
                || flag == "--max-pages" || flag == "--max-rss") {
                throw UsageError(flag + " does not go with --queue: the fleet's instances render");
            }
        }
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
        } else if (flag == "--engine") {
            settings.engine = Value(flag);
            if (settings.engine != "webkit" && settings.engine != "chromium") {
                throw UsageError("--engine takes webkit or chromium, not '" + settings.engine + "'");
            }
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

std::string CommandLine::RequestOptionLines() {
    static const std::size_t Column = 30;
    std::string lines;
    for (const Browser::Option::Row& row : Browser::Option::Schema()) {
        const Browser::Option::Spec& spec = row.spec;
        if (spec.flag == nullptr) {
            continue;
        }
        std::string flags = std::string("  ") + spec.flag;
        flags += spec.metavar != nullptr ? std::string(" ") + spec.metavar : "";
        flags += spec.offFlag != nullptr ? std::string(", ") + spec.offFlag : "";
        flags += spec.fileFlag != nullptr ? std::string(", ") + spec.fileFlag + " FILE" : "";
        flags += std::string(flags.size() < Column ? Column - flags.size() : 1, ' ');
        const bool number = row.kind == Browser::Option::Row::Kind::Int;
        lines += flags + spec.help + (number ? " (default " + row.defaultText + ")" : "") + "\n";
    }
    return lines;
}

std::string CommandLine::Usage() {
    return "usage: orvo-render [options] URL...\n"
           "Renders each URL with the Orvo Browser worker and writes the results to a directory.\n"
           "A local file path is taken as a file: URL; workers then start with --allow-file-urls,\n"
           "so that they load file: URLs (without it they load http and https only).\n"
           "\n"
           "Request options:\n"
           + RequestOptionLines()
           +"\n"
           "Client options:\n"
           "  --out DIR                   output directory (default orvo-out)\n"
           "  --input FILE                more URLs, one per line; - for standard input\n"
           "  --workers N                 workers to start (default 1)\n"
           "  --in-flight N               requests outstanding per worker (default 8)\n"
           "  --worker-pid PID            use a running worker\n"
           "  --engine webkit|chromium    the page engine of the workers started (default webkit)\n"
           "  --max-pages N               replace a worker after it took N requests (default 0: never)\n"
           "  --max-rss MB                replace a worker once its resident memory passes MB (default 0: never)\n"
           "  --timeout SEC               limit per page (default 310)\n"
           "  --image png|jpeg|bmp        snapshot file format (default png)\n"
           "  --png-level 0-9             PNG compression: 1 fast (ISA-L, default), 0 and 2-9 zlib's\n"
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
