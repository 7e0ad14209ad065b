#ifndef ORVO_BENCH_PROCESSCPU_H
#define ORVO_BENCH_PROCESSCPU_H

#include <fstream>
#include <sstream>
#include <string>

#include <sys/types.h>
#include <unistd.h>

namespace OrvoBench {

// The CPU time a process has used so far, user and system, in seconds; 0
// when it is not there.
inline double CpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are counted
    // from its closing parenthesis: utime and stime are the 12th and 13th.
    const std::size_t end = stat.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(stat.substr(end + 2));
    std::string skipped;
    for (int k = 0; k < 11; ++k) {
        fields >> skipped;
    }
    double user = 0;
    double system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

} // namespace OrvoBench

#endif
