#include "bench/bench_support.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace kv {
namespace bench {

harness::ReceiverOptions QuietReceiver(const std::string& scratch) {
    harness::ReceiverOptions options;
    options.record = false;
    options.lifetime = std::chrono::seconds(900);
    options.error_path = scratch + "/receiver-stderr.txt";
    return options;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return -1.0;
    // The command name may hold blanks; the fields after it are fixed.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1.0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
        if (index == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long StatusKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = field + ":";
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

long ResidentKiB(pid_t pid) { return StatusKiB(pid, "VmRSS"); }

int OpenDescriptors(pid_t pid) {
    DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

namespace {

// Calls `each` with the path of every thread of `pid` (/proc/<pid>/task/<tid>); false
// when the folder cannot be read.
template <typename Each>
bool ForEachThread(pid_t pid, Each each) {
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') each(folder + "/" + entry->d_name);
    }
    ::closedir(dir);
    return true;
}

}  // namespace

long ContextSwitches(pid_t pid) {
    long total = 0;
    const bool read = ForEachThread(pid, [&total](const std::string& thread) {
        std::ifstream in(thread + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) total += std::strtol(line.c_str() + 24, nullptr, 10);
            if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0) {
                total += std::strtol(line.c_str() + 27, nullptr, 10);
            }
        }
    });
    return read ? total : -1;
}

double ThreadCpuSeconds(pid_t pid) {
    unsigned long long total_ns = 0;
    const bool read = ForEachThread(pid, [&total_ns](const std::string& thread) {
        std::ifstream in(thread + "/schedstat");
        unsigned long long run_ns = 0;
        if (in >> run_ns) total_ns += run_ns;
    });
    return read ? static_cast<double>(total_ns) / 1e9 : -1.0;
}

double OwnCpuSeconds() {
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1.0 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

void Row(const std::string& figure, const std::string& value, const std::string& baseline, double ratio,
         const std::string& target, const std::string& verdict) {
    std::cout << "row\t" << figure << '\t' << value << '\t' << baseline << '\t'
              << (ratio > 0.0 ? Fixed(ratio, 2) : std::string("-")) << '\t' << target << '\t' << verdict << std::endl;
}

void Note(const std::string& text) { std::cerr << "  " << text << std::endl; }

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

}  // namespace bench
}  // namespace kv
