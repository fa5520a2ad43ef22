// The outbox alone. Its drain as the service drains it: 60,000 alarms stored, taken and
// deleted in batches of 256 (one take and one delete transaction each), with no refused
// alarm and with one; the drain rate must not depend on refused rows sitting in the file.
// And the salvage of a damaged file of 200,000 alarms: its peak memory must not grow with
// the file.
//
//   wardex-bench-outbox     prints its rows for scripts/bench
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "src/outbox/outbox.h"

namespace kv {
namespace bench {
namespace {

constexpr int kStored = 60000;
constexpr size_t kBatch = 256;

// Alarms per second drained from a fresh outbox of kStored, `refused` of them refused
// first; 0 on failure.
double DrainRate(int refused) {
    ScratchDir dir;
    Outbox outbox(dir.File("outbox.db"));
    if (!outbox.Open().ok()) return 0;
    std::vector<Outbox::Item> items;
    for (int i = 0; i < kStored; ++i) {
        items.push_back(Outbox::Item{0, "SendAlarm", "{\"alarm\":" + std::to_string(i) + std::string(300, ' ') + "}",
                                     0, 0, ""});
    }
    size_t over_cap = 0;
    if (!outbox.StoreBatch(items, over_cap).ok()) return 0;
    for (int i = 0; i < refused; ++i) {
        if (!outbox.MarkRefused(items[static_cast<size_t>(i)].id, "SOAP fault", 1, 4102444800).ok()) return 0;
    }
    const auto begun = std::chrono::steady_clock::now();
    int64_t after = items[static_cast<size_t>(refused)].id - 1;
    size_t drained = 0;
    for (;;) {
        std::vector<Outbox::Item> taken;
        size_t damaged = 0;
        if (!outbox.TakeOldest(after, kBatch, taken, damaged).ok()) return 0;
        if (taken.empty()) break;
        std::vector<int64_t> ids;
        for (const Outbox::Item& item : taken) ids.push_back(item.id);
        if (!outbox.Delete(ids).ok()) return 0;
        after = ids.back();
        drained += ids.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    return drained / seconds;
}

// Runs `work` in a child process: its peak resident size in KiB, -1 when it failed.
template <typename Work>
long PeakKiBOf(Work work) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) ::_exit(work() ? 0 : 1);
    int status = 0;
    struct rusage usage {};
    if (::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return usage.ru_maxrss;
}

// Gives the table leaf page in the middle of the file an invalid type: SQLite reports it
// damaged when it is reached.
bool DamageMiddleLeaf(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    const off_t pages = ::lseek(fd, 0, SEEK_END) / 4096;
    bool done = false;
    for (off_t page = pages / 2; page < pages && !done; ++page) {
        unsigned char type = 0;
        if (::pread(fd, &type, 1, page * 4096) != 1 || type != 0x0D) continue;
        type = 0;
        done = ::pwrite(fd, &type, 1, page * 4096) == 1;
    }
    ::close(fd);
    return done;
}

int SalvageMemory() {
    constexpr int kRows = 200000;
    ScratchDir dir;
    const std::string path = dir.File("outbox.db");
    const long built = PeakKiBOf([&] {
        Outbox outbox(path);
        if (!outbox.Open().ok()) return false;
        for (int part = 0; part < kRows / 10000; ++part) {
            std::vector<Outbox::Item> items;
            for (int i = 0; i < 10000; ++i) {
                items.push_back(Outbox::Item{0, "SendAlarm", "{\"alarm\":" + std::to_string(i) + std::string(600, ' ') + "}",
                                             0, 0, ""});
            }
            size_t over_cap = 0;
            if (!outbox.StoreBatch(items, over_cap).ok()) return false;
        }
        return true;
    });
    const long healthy = PeakKiBOf([&] { return Outbox(path).Open().ok(); });
    if (built < 0 || healthy < 0 || !DamageMiddleLeaf(path)) return 1;
    const auto begun = std::chrono::steady_clock::now();
    const long salvage = PeakKiBOf([&] {
        Outbox outbox(path);
        return outbox.Open().ok() && outbox.salvaged() && outbox.TakeSalvage().recovered + 100 > kRows;
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    Note("outbox: salvage of " + std::to_string(kRows) + " rows in " + Fixed(seconds, 1) + " s" +
         (salvage < 0 ? ", failed" : ""));
    const bool met = salvage > 0 && salvage <= healthy + 20 * 1024;
    Row("10b Salvage of 200000 rows, peak RSS, MiB (baseline: opening them undamaged)", Fixed(salvage / 1024.0, 1),
        Fixed(healthy / 1024.0, 1), healthy > 0 ? static_cast<double>(salvage) / healthy : 0.0, "<= +20 MiB",
        met ? "met" : "MISSED");
    return met ? 0 : 1;
}

int Main() {
    const int salvage = SalvageMemory();
    const double none = DrainRate(0);
    const double one = DrainRate(1);
    Note("outbox: drained " + Fixed(none, 0) + " alarms/s without a refused row, " + Fixed(one, 0) + " with one");
    const bool met = none > 0 && one >= 0.9 * none;
    Row("10 Outbox drain of 60000, alarms/s with one refused (baseline: none)", Fixed(one, 0), Fixed(none, 0),
        none > 0 ? one / none : 0.0, ">= 0.9", met ? "met" : "MISSED");
    return met && salvage == 0 ? 0 : 1;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main() { return kv::bench::Main(); }
