// Small pieces the benchmarks and the soak share on top of testing/harness: what /proc
// says about a process, and the result rows that scripts/bench turns into its table.
//
// Everything here is for measuring, not for the service: failures are reported as false
// or empty values, and every wait has a deadline so a broken run ends by itself.
#ifndef WARDEX_BENCH_BENCH_SUPPORT_H_
#define WARDEX_BENCH_BENCH_SUPPORT_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/harness/files.h"
#include "testing/harness/process.h"
#include "testing/harness/simulators.h"

namespace kv {
namespace bench {

using harness::Clock;
using harness::ReadFile;
using harness::WriteFile;

// A scratch folder for one run, kept afterwards when WARDEX_BENCH_KEEP is set.
class ScratchDir : public harness::ScratchDir {
public:
    ScratchDir() : harness::ScratchDir("wardex-bench", std::getenv("WARDEX_BENCH_KEEP") != nullptr) {}
};

// The receiver simulator for raw capacity: no records, standard error in `scratch`.
harness::ReceiverOptions QuietReceiver(const std::string& scratch);

// What /proc tells about a running process; -1 when it cannot be read.
double CpuSeconds(pid_t pid);       // user + system time so far
// One "kB" figure of /proc/<pid>/status (VmRSS, RssAnon, RssFile, ...); -1 when absent.
long StatusKiB(pid_t pid, const std::string& field);
long ResidentKiB(pid_t pid);        // VmRSS
int OpenDescriptors(pid_t pid);     // entries in /proc/<pid>/fd
double OwnCpuSeconds();             // this process, through getrusage
// Over every thread of the process (/proc/<pid>/task): the times a thread went to sleep
// and woke again (voluntary plus involuntary context switches), and the CPU time run so
// far in nanoseconds-precise seconds (schedstat). -1 when nothing can be read.
long ContextSwitches(pid_t pid);
double ThreadCpuSeconds(pid_t pid);

// The p-th percentile (0..100) of `values`, nearest rank; 0 for none.
double Percentile(std::vector<double> values, double p);

// One line of the final table: "row<TAB>figure<TAB>value<TAB>baseline<TAB>ratio<TAB>target<TAB>verdict".
// `ratio` is printed only when positive; the verdict is free text ("met", "missed", "-").
void Row(const std::string& figure, const std::string& value, const std::string& baseline, double ratio,
         const std::string& target, const std::string& verdict);
// Progress and details for the reader of the run, on standard error.
void Note(const std::string& text);
std::string Fixed(double value, int decimals);

}  // namespace bench
}  // namespace kv

#endif  // WARDEX_BENCH_BENCH_SUPPORT_H_
