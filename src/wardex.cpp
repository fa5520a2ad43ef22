#include "src/wardex.h"

#include <chrono>
#include <memory>
#include <thread>

#include "common/logger.h"

namespace kv {

WardexIntegration::WardexIntegration() = default;
WardexIntegration::~WardexIntegration() = default;

void WardexIntegration::Stop() {
    logger& log = logger::get_logger();
    log.log(INFO, "Received stop signal");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    log.log(INFO, "Stopping io_service");
    io_service_.stop();
}

bool WardexIntegration::IsStopped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

void WardexIntegration::RunWebhookService() {
    logger& log = logger::get_logger();
    log.log(INFO, "Starting io service thread");
    auto work = std::make_unique<boost::asio::io_service::work>(io_service_);
    for (;;) {
        if (IsStopped()) {
            log.log(INFO, "Completed io service thread");
            work.reset();
            return;
        }
        boost::system::error_code error;
        io_service_.run(error);
        if (IsStopped()) continue;
        log.log(ERROR, "io_service error: " + error.message());
    }
}

void WardexIntegration::RunCallback() {
    logger::set_thread_name("kvapi_callback");
    while (!IsStopped()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace kv
