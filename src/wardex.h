// kv::WardexIntegration: the one object that ties the service together.
//
// It owns the stop flag, the io_service run by the network thread, and (as the service
// grows) the sequencer, the recording-server connection and the configuration.
// RunWebhookService() and RunCallback() are the bodies of the two worker threads;
// Stop() may be called from any thread and makes both return.
#ifndef WARDEX_SRC_WARDEX_H_
#define WARDEX_SRC_WARDEX_H_

#include <mutex>

#include <boost/asio/io_service.hpp>

namespace kv {

class WardexIntegration {
public:
    WardexIntegration();
    ~WardexIntegration();

    WardexIntegration(const WardexIntegration&) = delete;
    WardexIntegration& operator=(const WardexIntegration&) = delete;

    void Stop();
    bool IsStopped();

    // Network thread: runs io_service_ until the stop flag is set.
    void RunWebhookService();
    // Client-library thread: connects to the recording server and turns its events.
    void RunCallback();

private:
    bool stopped_ = false;
    std::mutex mutex_;
    boost::asio::io_service io_service_;
};

}  // namespace kv

#endif  // WARDEX_SRC_WARDEX_H_
