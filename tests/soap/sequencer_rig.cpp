#include "tests/soap/sequencer_rig.h"

namespace kv {
namespace test {

SequencerRig::SequencerRig(const std::string& endpoint, const SequencerSetup& setup)
    : work_(new boost::asio::io_service::work(io_)), sequencer_(new kv::soap::SoapSequencer(io_)) {
    sequencer_->SetTimingForTesting(setup.heartbeat, setup.retry_base, setup.retry_cap);
    if (setup.window != 0) sequencer_->SetWindowForTesting(setup.window);
    if (setup.outbox_cap != 0) sequencer_->SetOutboxCapForTesting(setup.outbox_cap);
    if (setup.summary.count() != 0) sequencer_->SetSummaryPeriodForTesting(setup.summary);
    if (setup.refusal_base.count() != 0) {
        sequencer_->SetRefusalTimingForTesting(setup.refusal_base, setup.refusal_cap, setup.refusal_keep);
    }
    if (setup.reopen.count() != 0) sequencer_->SetOutboxReopenForTesting(setup.reopen, setup.reopen * 4);
    if (setup.deadline.count() != 0) sequencer_->SetExchangeDeadlineForTesting(setup.deadline);
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
