#ifndef ORVO_TESTS_TESTDATA_H
#define ORVO_TESTS_TESTDATA_H

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace OrvoTest {

// The contents of a file under tests/data.
inline std::vector<unsigned char> ReadTestData(const std::string& relativePath) {
    std::ifstream file(std::string(ORVO_TEST_DATA_DIR) + "/" + relativePath, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace OrvoTest

#endif
