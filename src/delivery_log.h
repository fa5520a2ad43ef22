// The delivery's own log lines: the receiver going away and coming back, the summary while
// it is away, and what the outbox has to say. While the receiver is down these are the
// only lines the delivery writes: one when it goes, one a period (a minute), one when it
// answers again. Alarms the full outbox refused are counted into the same summary.
//
// Network thread only. The summary timer runs on the io_service and never outlives this
// object's state.
#ifndef WARDEX_SRC_DELIVERY_LOG_H_
#define WARDEX_SRC_DELIVERY_LOG_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>

namespace kv {
namespace delivery {

class DeliveryLog {
public:
    // What the summary reports, asked for when it is written.
    struct Source {
        std::function<size_t()> waiting;                     // alarms not yet delivered
        std::function<bool()> receiver_down;                 // the breaker is open
        std::function<std::chrono::milliseconds()> down_for;  // since it opened
    };

    DeliveryLog(boost::asio::io_service& io_service, Source source);
    ~DeliveryLog();

    DeliveryLog(const DeliveryLog&) = delete;
    DeliveryLog& operator=(const DeliveryLog&) = delete;

    void SetSummaryPeriod(std::chrono::milliseconds period);

    // `error` and `status`: the failure that opened the breaker.
    void ReceiverDown(int error, int status);
    void ReceiverBack(std::chrono::milliseconds away, size_t moving);
    void RefusedByCap(size_t count, size_t cap);

    static void OutboxUnusable(const std::string& path, const std::string& reason);
    static void OutboxSetAside(const std::string& path, const std::string& aside);
    static void OutboxResumed(size_t count);
    static void OutboxLeft(size_t count);

    // No summary after this.
    void Stop();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_LOG_H_
