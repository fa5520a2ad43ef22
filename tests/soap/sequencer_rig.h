// The sequencer on an io_service run by a thread of its own, as the service's network
// thread runs it, with the test seams a delivery test sets before the first payload.
// Callers wait for the exchanges they started to finish first: an exchange still in
// flight keeps the sequencer alive past the io_service.
#ifndef WARDEX_TESTS_SOAP_SEQUENCER_RIG_H_
#define WARDEX_TESTS_SOAP_SEQUENCER_RIG_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_service.hpp>

#include "src/soap_helper.h"

namespace kv {
namespace test {

struct SequencerSetup {
    std::chrono::milliseconds heartbeat{std::chrono::hours(1)};
    std::chrono::milliseconds retry_base{50};
    std::chrono::milliseconds retry_cap{500};
    std::string outbox;                      // path of the outbox; empty: memory only
    size_t window = 0;                       // 0: the service's
    size_t outbox_cap = 0;                   // 0: the service's
    std::chrono::milliseconds summary{0};    // 0: the service's
    std::chrono::seconds refusal_base{0};    // 0: the service's refusal timing
    std::chrono::seconds refusal_cap{0};
    std::chrono::seconds refusal_keep{0};
    std::chrono::milliseconds reopen{0};     // 0: the service's outbox reopen back-off
    std::chrono::milliseconds deadline{0};   // 0: the service's exchange deadline
    std::string backup;                      // the backup receiver's URL; empty: none
};

class SequencerRig {
public:
    SequencerRig(const std::string& endpoint, const SequencerSetup& setup);
    ~SequencerRig();

    SequencerRig(const SequencerRig&) = delete;
    SequencerRig& operator=(const SequencerRig&) = delete;

    kv::soap::SoapSequencer& sequencer() { return *sequencer_; }
    kv::soap::SequencerStats Stats() const { return sequencer_->Stats(); }
    // The thread that runs the io_service, once it has started.
    std::thread::id thread_id() const { return thread_id_; }

private:
    boost::asio::io_service io_;
    std::unique_ptr<boost::asio::io_service::work> work_;
    std::unique_ptr<kv::soap::SoapSequencer> sequencer_;
    std::thread thread_;
    std::atomic<std::thread::id> thread_id_{};
};

}  // namespace test
}  // namespace kv

#endif  // WARDEX_TESTS_SOAP_SEQUENCER_RIG_H_
