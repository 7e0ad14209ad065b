#ifndef ORVO_BENCH_ROUNDS_H
#define ORVO_BENCH_ROUNDS_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "Median.h"

namespace OrvoBench {

// A program that renders the benchmark's URL list once per run: command,
// with DIR standing for its run's output directory, writes there a file
// (output) with one line holding renderedMark per page rendered.
struct Contender {
    std::string name;
    std::string command;
    std::string output;
    std::string renderedMark;
};

inline std::size_t CountLines(const std::string& path, const std::string& mark) {
    std::ifstream file(path);
    std::size_t count = 0;
    for (std::string line; std::getline(file, line);) {
        count += line.find(mark) != std::string::npos ? 1 : 0;
    }
    return count;
}

// The first `running` contenders take turns, round after round, each run
// timed whole into its directory under work (run0, run1, ...), so that
// none pays alone for what the machine does meanwhile. Prints a line per
// run; returns each contender's pages per second, by name.
inline std::map<std::string, std::vector<double>> RunRounds(const std::vector<Contender>& contenders,
                                                            std::size_t running, int rounds, std::size_t pages,
                                                            const std::string& work) {
    std::printf("%zu pages, %d rounds\n%-6s %-44s %9s %9s %9s\n", pages, rounds, "round", "contender", "rendered",
                "seconds", "pages/s");
    std::map<std::string, std::vector<double>> rates;
    for (int round = 1; round <= rounds; ++round) {
        for (std::size_t k = 0; k < running && k < contenders.size(); ++k) {
            const std::string directory = work + "/run" + std::to_string(k);
            boost::filesystem::remove_all(directory);
            std::string command = contenders[k].command;
            for (std::size_t at = command.find("DIR"); at != std::string::npos; at = command.find("DIR", at)) {
                command.replace(at, 3, directory);
            }
            const auto start = std::chrono::steady_clock::now();
            if (std::system(command.c_str()) == -1) {
                std::fprintf(stderr, "cannot run: %s\n", command.c_str());
                continue;
            }
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const std::size_t rendered = CountLines(directory + "/" + contenders[k].output, contenders[k].renderedMark);
            if (rendered == 0) {
                // A contender that could not run would otherwise count as
                // the fastest.
                std::printf("%-6d %-44s %9zu %9.1f %9s\n", round, contenders[k].name.c_str(), rendered, seconds,
                            "none");
                continue;
            }
            rates[contenders[k].name].push_back(pages / seconds);
            std::printf("%-6d %-44s %9zu %9.1f %9.2f\n", round, contenders[k].name.c_str(), rendered, seconds,
                        rates[contenders[k].name].back());
            std::fflush(stdout);
        }
    }
    return rates;
}

} // namespace OrvoBench

#endif
