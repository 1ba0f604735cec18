#include "cpu_usage.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// A thread's CPU time in seconds: the scheduler's nanoseconds when the
// kernel keeps them, else user and system ticks.
double ThreadSeconds(const std::string& task)
{
    std::ifstream schedstat(task + "/schedstat");
    unsigned long long nanoseconds = 0;
    if (schedstat >> nanoseconds) {
        return nanoseconds / 1e9;
    }
    std::ifstream stat(task + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            user = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

CpuSplit ReadCpuSplit()
{
    CpuSplit split;
    const std::string self = std::to_string(getpid());
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
        return split;
    }
    while (const dirent* entry = readdir(tasks)) {
        const std::string id = entry->d_name;
        if (id == "." || id == "..") {
            continue;
        }
        const std::string task = "/proc/self/task/" + id;
        std::string name;
        std::getline(std::ifstream(task + "/comm") >> std::ws, name);
        const double seconds = ThreadSeconds(task);
        if (name.rfind("ke-", 0) == 0) {
            split.kernel += seconds;
        } else if (id == self) {
            split.run += seconds;
        } else {
            split.applications += seconds;
        }
    }
    closedir(tasks);
    return split;
}
