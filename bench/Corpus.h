#ifndef ORVO_BENCH_CORPUS_H
#define ORVO_BENCH_CORPUS_H

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "Common/TestHttpServer.h"

namespace OrvoBench {

// Saved pages served by path: the file NAME of the corpus directory as
// "/NAME", as text/html; any other path is a 404.
class Corpus {
public:
    // ORVO_CORPUS_DIR, or the shared corpus beside the project.
    static std::string Directory() {
        const char* configured = std::getenv("ORVO_CORPUS_DIR");
        return configured != nullptr ? configured : ORVO_CORPUS_DIR;
    }

    // Points the page's links to other hosts at the server that serves it,
    // where they fail at once: without outside network, name look-ups
    // that time out would otherwise make the figures measure the resolver.
    static std::string PointLinksHere(const std::string& page) {
        static const std::regex otherHost("(https?:)?//[A-Za-z0-9.-]+\\.[A-Za-z]{2,}(:[0-9]+)?(?=[/\"' ])");
        return std::regex_replace(page, otherHost, "");
    }

    // Reads every file of directory, each through edit; false when there
    // is no such directory.
    bool Load(const std::string& directory,
              const std::function<std::string(const std::string&)>& edit = [](const std::string& page) {
                  return page;
              }) {
        if (!boost::filesystem::is_directory(directory)) {
            return false;
        }
        for (const auto& entry : boost::filesystem::directory_iterator(directory)) {
            std::ifstream file(entry.path().string(), std::ios::binary);
            pages["/" + entry.path().filename().string()] =
                edit(std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
        }
        return true;
    }

    // Loads the configured corpus with its links to other hosts pointed
    // here; says so on standard error when there is none.
    bool LoadPointingHere() {
        if (Load(Directory(), &PointLinksHere)) {
            return true;
        }
        std::fprintf(stderr, "no corpus at %s\n", Directory().c_str());
        return false;
    }

    OrvoTest::TestHttpServer::Response Serve(const OrvoTest::TestHttpServer::Request& request) const {
        OrvoTest::TestHttpServer::Response response;
        const auto page = pages.find(request.target);
        if (page == pages.end()) {
            response.status = 404;
            return response;
        }
        response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
        response.body = page->second;
        return response;
    }

    // The URL of every page on server, in path order.
    std::vector<std::string> Urls(const OrvoTest::TestHttpServer& server) const {
        std::vector<std::string> urls;
        for (const auto& page : pages) {
            urls.push_back(server.Url(page.first));
        }
        return urls;
    }

    // Path to page text.
    std::map<std::string, std::string> pages;
};

} // namespace OrvoBench

#endif
