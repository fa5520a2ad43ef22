// What a hostile receiver's answers cost to read, and to hold.
//
//   wardex-bench-answers cost     each hostile shape at 256 KiB and at the answer cap, read
//                                 as the sequencer reads an answer: time per kilobyte at
//                                 the cap, and how it grew from 256 KiB (flat means linear)
//   wardex-bench-answers memory   256 exchanges in flight against wardex-receiver-sim, each
//                                 answer just under the cap: the peak resident size
//
// Prints its rows for scripts/bench. Exits non-zero when a target is missed.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "bench/bench_support.h"
#include "common/logger.h"
#include "src/soap/answer_class.h"
#include "src/http_work_queue.h"
#include "src/soap/soap_messages.h"

namespace kv {
namespace bench {
namespace {

const std::string kEnvelopeOpen =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:a=\"http://www.w3.org/2005/08/addressing\">";

// `unit` repeated to at most `size` bytes.
std::string Repeated(const std::string& unit, size_t size) {
    std::string out;
    while (out.size() + unit.size() <= size) out += unit;
    return out;
}

std::string ElementWithAttributes(size_t count) {
    std::string out = "<x:Decoy";
    for (size_t i = 0; i < count; ++i) out += " a" + std::to_string(i) + "=''";
    return out + "/>";
}

struct Shape {
    const char* name;
    soap::Step step;
    std::function<std::string(size_t)> make;  // an answer of about the given size
};

const Shape kShapes[] = {
    {"many attributes", soap::Step::kCreateSequence,
     [](size_t size) {
         return kEnvelopeOpen + Repeated(ElementWithAttributes(soap::kMaxAttributesPerElement), size) +
                "<s:Header><a:RelatesTo>r</a:RelatesTo></s:Header><s:Body/></s:Envelope>";
     }},
    {"many siblings", soap::Step::kCreateSequence,
     [](size_t size) {
         return kEnvelopeOpen + Repeated("<x:Header/>", size / 2) + "<s:Header>" + Repeated("<x:RelatesTo/>", size / 2) +
                "<a:RelatesTo>r</a:RelatesTo></s:Header><s:Body/></s:Envelope>";
     }},
    {"long texts", soap::Step::kApplicationMessage,
     [](size_t size) {
         return kEnvelopeOpen + "<s:Header><a:RelatesTo>" + Repeated("&amp;&#x41;", size / 2) +
                "</a:RelatesTo></s:Header><s:Body><SendAlarmResponse xmlns=\"http://tempuri.org/\"><SendAlarmResult>" +
                Repeated("&lt;x", size / 2) + "</SendAlarmResult></SendAlarmResponse></s:Body></s:Envelope>";
     }},
    {"deep nesting", soap::Step::kApplicationMessage,
     [](size_t size) {
         std::string deep;
         for (int i = 0; i < 90; ++i) deep += "<d>";
         for (int i = 0; i < 90; ++i) deep += "</d>";
         return kEnvelopeOpen + "<s:Header>" + Repeated(deep, size) + "<a:RelatesTo>r</a:RelatesTo></s:Header>" +
                "<s:Body/></s:Envelope>";
     }},
};

// Microseconds per kilobyte to classify and read `answer`, over `rounds` readings: the
// two sizes are compared over the same number of bytes, so that neither is favoured by
// caches or by the allocator's memory.
double MicrosPerKiB(const Shape& shape, const std::string& answer, int rounds) {
    const std::vector<char> body(answer.begin(), answer.end());
    soap::ClassifyAnswer(shape.step, http::ErrorCode::Ok, 200, body);  // the allocator's memory, warmed
    const Clock::time_point start = Clock::now();
    for (int round = 0; round < rounds; ++round) soap::ClassifyAnswer(shape.step, http::ErrorCode::Ok, 200, body);
    const double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    return micros / (static_cast<double>(answer.size()) * rounds / 1024.0);
}

// The deep time-server JSON at the result bound.
double NtpMicrosPerKiB(size_t size) {
    const std::string json = "{\"NTPServerIP\":\"127.0.0.1\",\"X\":" + std::string(size - 40, '[');
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
        soap::NtpInfo info;
        const Clock::time_point start = Clock::now();
        soap::detail::ParseNtpInfo(json, info);
        best = std::min(best, std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return best / (static_cast<double>(json.size()) / 1024.0);
}

int Cost() {
    logger::get_logger().set_level(CRITICAL);
    // Memory freed after one reading serves the next, whatever its size: otherwise only
    // the larger documents go back to the kernel each time and pay its page faults, a
    // cost per byte that hides (or fakes) how the reading itself grows.
    ::mallopt(M_TRIM_THRESHOLD, 1 << 30);
    ::mallopt(M_MMAP_THRESHOLD, 1 << 30);
    bool met = true;
    // A quarter of the cap: above the size whose document the readers keep, so that every
    // round parses, and large enough that the allocator serves both sizes alike.
    const size_t small = 256 * 1024;
    const size_t cap = soap::kMaxAnswerBytes - 4096;
    for (const Shape& shape : kShapes) {
        const double at_small = MicrosPerKiB(shape, shape.make(small), 32);
        const double at_cap = MicrosPerKiB(shape, shape.make(cap), 8);
        const double growth = at_cap / std::max(at_small, 1e-3);
        // Well under a millisecond per kilobyte, and flat: at four times the size a
        // quadratic cost would be four times as high per kilobyte.
        const bool ok = at_cap < 250.0 && growth < 2.0;
        met = met && ok;
        Row(std::string("answer read, ") + shape.name + " at the cap (us/KiB)", Fixed(at_cap, 2),
            Fixed(at_small, 2) + " at 256 KiB", growth, "< 250, growth < 2", ok ? "met" : "missed");
    }
    const double json_small = NtpMicrosPerKiB(4096);
    const double json_cap = NtpMicrosPerKiB(soap::kMaxResultBytes);
    const double growth = json_cap / std::max(json_small, 1e-3);
    const bool ok = json_cap < 250.0 && growth < 2.0;
    Row("time answer, deep JSON at the result bound (us/KiB)", Fixed(json_cap, 2), Fixed(json_small, 2) + " at 4 KiB",
        growth, "< 250, growth < 2", ok ? "met" : "missed");
    return met && ok ? 0 : 1;
}

long PeakResidentKiB() { return StatusKiB(::getpid(), "VmHWM"); }

int Memory() {
    logger::get_logger().set_level(CRITICAL);
    ScratchDir scratch;
    harness::ReceiverSim receiver;
    if (!receiver.Start(QuietReceiver(scratch.path()))) return 1;
    const size_t exchanges = 256;
    // Every answer just under the cap, and held back so that all are in flight together.
    receiver.Command("fault create long-identifier size=" + std::to_string(soap::kMaxAnswerBytes - 2048));
    receiver.Command("delay create 1000");

    boost::asio::io_service io;
    http::WorkQueue queue(io, static_cast<long>(exchanges));
    std::atomic<size_t> done{0};
    std::atomic<size_t> complete{0};
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = PeakResidentKiB();
    for (size_t i = 0; i < exchanges; ++i) {
        auto body = std::make_shared<std::string>();
        const std::string guid = "00000000-0000-4000-8000-" + std::string(12 - std::to_string(i).size(), '0') +
                                 std::to_string(i);
        soap::detail::MessageCreateSequence(guid, receiver.url(), *body);
        queue.Post(soap::MakeSoapRequest(guid, receiver.url(), body),
                   [&](const http::Request&, http::Response& response, const http::Error& error) {
                       if (!error && response.body.size() > soap::kMaxAnswerBytes / 2) ++complete;
                       soap::ClassifyAnswer(soap::Step::kCreateSequence, error.Code(), response.status, response.body);
                       if (++done == exchanges) io.stop();
                   });
    }
    boost::asio::io_service::work work(io);
    std::thread network([&io] { io.run(); });
    network.join();
    const long peak = PeakResidentKiB() - before;
    const double bound_mib = static_cast<double>(exchanges * soap::kMaxAnswerBytes) / (1024.0 * 1024.0) + 64.0;
    const bool ok = complete == exchanges && peak / 1024.0 < bound_mib;
    Note(std::to_string(complete.load()) + " of " + std::to_string(exchanges) + " answers arrived whole");
    Row("memory, 256 exchanges with answers at the cap (peak MiB above start)", Fixed(peak / 1024.0, 1), "-", 0.0,
        "< " + Fixed(bound_mib, 0) + " (answers + 64)", ok ? "met" : "missed");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace bench
}  // namespace kv

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "cost") return kv::bench::Cost();
    if (what == "memory") return kv::bench::Memory();
    std::fprintf(stderr, "usage: wardex-bench-answers cost|memory\n");
    return 2;
}
