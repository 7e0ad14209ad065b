// The client's snapshot decoding on any snapshot field: it fails with a
// reason or gives an image whose pixels match its size; it never allocates
// what the field cannot hold (the fuzzer's memory limit sees that).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Client/Snapshot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using Orvo::Browser::Client::Snapshot;
    Snapshot snapshot;
    std::string error;
    const bool decoded = Snapshot::Decode(std::string(reinterpret_cast<const char*>(data), size), snapshot, error);
    if (decoded ? snapshot.rgb.size() != static_cast<std::size_t>(snapshot.width) * static_cast<std::size_t>(snapshot.height) * 3
                : error.empty()) {
        std::abort();
    }
    return 0;
}
