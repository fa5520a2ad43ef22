// The outbox alone, as the service drains it: 60,000 alarms stored, taken and deleted in
// batches of 256 (one take and one delete transaction each), with no refused alarm and
// with one. The drain rate must not depend on refused rows sitting in the file.
//
//   wardex-bench-outbox     prints its row for scripts/bench
#include <chrono>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "src/outbox.h"

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

int Main() {
    const double none = DrainRate(0);
    const double one = DrainRate(1);
    Note("outbox: drained " + Fixed(none, 0) + " alarms/s without a refused row, " + Fixed(one, 0) + " with one");
    const bool met = none > 0 && one >= 0.9 * none;
    Row("8 Outbox drain of 60000, alarms/s with one refused (baseline: none)", Fixed(one, 0), Fixed(none, 0),
        none > 0 ? one / none : 0.0, ">= 0.9", met ? "met" : "MISSED");
    return met ? 0 : 1;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main() { return kv::bench::Main(); }
