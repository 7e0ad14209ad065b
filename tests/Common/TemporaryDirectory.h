#ifndef ORVO_TESTS_TEMPORARYDIRECTORY_H
#define ORVO_TESTS_TEMPORARYDIRECTORY_H

#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <boost/filesystem.hpp>

#include "Common/ChildProcess.h"

namespace OrvoTest {

// A fresh directory under /tmp, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory() : path("/tmp/" + UniqueName("orvo_test_dir")) { boost::filesystem::create_directory(path); }
    ~TemporaryDirectory() { boost::filesystem::remove_all(path); }

    void Write(const std::string& name, const std::string& contents) const {
        std::ofstream(path + "/" + name) << contents;
    }

    std::string Read(const std::string& name) const {
        std::ifstream file(path + "/" + name);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    // Waits until the file name holds text, at most timeoutMs; whether it
    // does.
    bool AwaitText(const std::string& name, const std::string& text, int timeoutMs) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Read(name).find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    bool Exists(const std::string& name) const { return boost::filesystem::exists(path + "/" + name); }

    // The names of the entries in the directory.
    std::set<std::string> Names() const {
        std::set<std::string> names;
        for (const auto& entry : boost::filesystem::directory_iterator(path)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    const std::string path;
};

} // namespace OrvoTest

#endif
