#ifndef ORVO_TESTS_SHAREDOBJECTS_H
#define ORVO_TESTS_SHAREDOBJECTS_H

#include <string>
#include <vector>

#include <boost/filesystem.hpp>

namespace OrvoTest {

// Entries of /dev/shm (segments, and semaphores as sem.NAME) whose names
// contain text.
inline std::vector<std::string> SharedObjects(const std::string &text) {
  std::vector<std::string> found;
  for (const auto &entry : boost::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename().string();
    if (name.find(text) != std::string::npos) {
      found.push_back(name);
    }
  }
  return found;
}

} // namespace OrvoTest

#endif
