// A plain keep-alive load client for the receiver: the same three POSTs per payload as
// the service (CreateSequence, the application message, LastMessage), over the same HTTP
// engine (kv::http::WorkQueue), but with documents printed once and filled in by string
// splicing, identifiers from a counter and the sequence identifier found by a text
// search. What it reaches is the receiver's raw capacity on this machine: the baseline
// that the sequencer's throughput and latency are measured against.
//
// Each run owns its io_service and runs it on the calling thread until the run ends.
#ifndef WARDEX_BENCH_LOAD_CLIENT_H_
#define WARDEX_BENCH_LOAD_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kv {
namespace bench {

struct LoadResult {
    size_t completed = 0;  // payloads whose three exchanges all answered 200
    size_t failed = 0;     // payloads given up at some step
    double seconds = 0.0;  // wall time of the run
    double cpu_seconds = 0.0;
    std::vector<double> latencies_ms;  // paced runs: start to the application answer
};

class LoadClient {
public:
    LoadClient(const std::string& url, const std::string& method, const std::string& payload);

    // `count` payloads, at most `concurrency` in progress at a time.
    LoadResult RunClosedLoop(size_t count, size_t concurrency, std::chrono::seconds limit);
    // One payload every `interval`, `count` in all, each timed on its own.
    LoadResult RunPaced(size_t count, std::chrono::microseconds interval, std::chrono::seconds limit);

    // A document printed once with placeholders, filled per payload.
    class Template {
    public:
        explicit Template(const std::string& printed);
        std::string Fill(const std::string& guid, const std::string& sequence_id) const;

    private:
        std::vector<std::string> parts_;  // text, hole, text, hole, ...
        std::vector<int> holes_;          // 0: guid, 1: sequence identifier
    };

private:
    std::string NextGuid();

    std::string url_;
    Template create_;
    Template application_;
    Template last_;
    uint32_t guid_prefix_;
    uint64_t guid_counter_ = 0;
};

}  // namespace bench
}  // namespace kv

#endif  // WARDEX_BENCH_LOAD_CLIENT_H_
