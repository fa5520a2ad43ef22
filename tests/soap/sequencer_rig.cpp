#include "tests/soap/sequencer_rig.h"

namespace kv {
namespace test {

namespace {

kv::soap::SequencerOptions OptionsFor(const SequencerSetup& setup) {
    kv::soap::SequencerOptions options;
    options.heartbeat_period = setup.heartbeat;
    options.retry_base = setup.retry_base;
    options.retry_cap = setup.retry_cap;
    if (setup.window != 0) options.window = setup.window;
    if (setup.outbox_cap != 0) options.outbox_cap = setup.outbox_cap;
    if (setup.summary.count() != 0) options.summary_period = setup.summary;
    if (setup.refusal_base.count() != 0) {
        options.refusal_base = setup.refusal_base;
        options.refusal_cap = setup.refusal_cap;
        options.refusal_keep = setup.refusal_keep;
    }
    if (setup.reopen.count() != 0) {
        options.reopen_base = setup.reopen;
        options.reopen_cap = setup.reopen * 4;
    }
    if (setup.deadline.count() != 0) options.exchange_deadline = setup.deadline;
    return options;
}

}  // namespace

SequencerRig::SequencerRig(const std::string& endpoint, const SequencerSetup& setup)
    : work_(new boost::asio::io_service::work(io_)), sequencer_(new kv::soap::SoapSequencer(io_, OptionsFor(setup))) {
    if (!setup.outbox.empty()) sequencer_->UseOutbox(setup.outbox);
    if (!endpoint.empty()) sequencer_->UpdateServiceEndpoint(endpoint);
    if (!setup.backup.empty()) sequencer_->UpdateBackupEndpoint(setup.backup);
    thread_ = std::thread([this] {
        thread_id_ = std::this_thread::get_id();
        io_.run();
    });
}

SequencerRig::~SequencerRig() {
    sequencer_->StopHeartbeat();
    work_.reset();
    io_.stop();
    thread_.join();
    sequencer_->Abandon();
    sequencer_.reset();
}

}  // namespace test
}  // namespace kv
