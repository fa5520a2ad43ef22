// Every log line of the delivery: each exchange's failures, the receiver going away and
// coming back, the summary while it is away, refusals, and what the outbox has to say.
// The quiet rule lives here: while the receiver is down the per-exchange lines are not
// written, and the delivery writes one line when it goes, one a period (a minute), one
// when it answers again. Alarms the full outbox refused are counted into the summary.
//
// With a backup receiver the quiet rule holds per path: the caller says when an
// exchange's own path is down (`path_down`), and the summary runs while both are. One
// line marks each change of the route (src/delivery/delivery_route.h), with its counts.
//
// Network thread only. The summary timer runs on the io_service and never outlives this
// object's state.
#ifndef WARDEX_SRC_DELIVERY_LOG_H_
#define WARDEX_SRC_DELIVERY_LOG_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
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
        std::function<size_t()> refused;                     // alarms the receiver refused
    };

    DeliveryLog(boost::asio::io_service& io_service, Source source);
    ~DeliveryLog();

    DeliveryLog(const DeliveryLog&) = delete;
    DeliveryLog& operator=(const DeliveryLog&) = delete;

    void SetSummaryPeriod(std::chrono::milliseconds period);

    // The summary speaks of both receivers.
    void SetTwoReceivers(bool two);

    // Per exchange; not written while `path_down`. The caller applies the quiet rule (the
    // courier leaves out the notes of a path that is down, or while every path is).
    void CreateSequenceFailed(const std::string& guid, const std::string& url, int error, int status,
                              bool path_down = false);
    void PostFailed(const std::string& guid, int error, int status, bool path_down = false);
    void LastMessageFailed(const std::string& guid, int error, int status, bool path_down = false);
    void Redirected(const std::string& guid, int status, const std::string& location, bool path_down = false);
    void NotSoap(const std::string& guid, int status, const std::string& content_type, size_t bytes,
                 bool path_down = false);
    // An answer cut off at `limit` bytes; `content_length` as the receiver announced it, if it did.
    void AnswerTooLarge(const std::string& guid, const std::string& content_length, size_t limit,
                        bool path_down = false);
    void Abandoning(const std::string& guid, const std::string& method, bool retried, bool path_down = false);
    // Answers that need no quiet rule: they are not failures of the receiver.
    static void InvalidAnswer(const std::string& guid, bool application_step, const std::string& relates_to);
    static void Unmatched(const std::string& guid);
    static void SequenceUnmatched(const std::string& guid, const std::string& relates_to);
    static void ApplicationAnswerUnmatched(const std::string& guid, int error, int status);
    // Payloads that found no place in memory, one line each.
    static void WindowFull(size_t count);
    // After a refusal: written whatever the receiver's state.
    void AbandoningRefused(const std::string& guid, const std::string& method);
    static void RefusalKept(int64_t id, const std::string& reason, int64_t next_in_seconds);
    // `kept`: how long refusals were borne (7 days).
    static void RefusalDropped(int64_t id, const std::string& method, const std::string& payload,
                               const std::string& reason, std::chrono::seconds kept);

    // `error` and `status`: the failure that opened the breaker.
    void ReceiverDown(int error, int status);
    void ReceiverBack(std::chrono::milliseconds away, size_t moving);
    void RefusedByCap(size_t count, size_t cap);

    // The route's changes with a backup receiver. `waiting`: alarms not yet delivered.
    void PrimaryDown(int error, int status, size_t waiting, const std::string& backup_url);
    // `backup_failed`: the backup failed last (the primary was down already).
    void BothDown(bool backup_failed, int error, int status, size_t waiting);
    // `on_backup`: alarms the backup took since the switch; `maybe_twice`: alarms since
    // start that may have reached both receivers (an exchange in flight at a switch).
    void PrimaryBack(std::chrono::milliseconds away, size_t waiting, uint64_t on_backup, uint64_t maybe_twice);
    void BackupDown(int error, int status);
    void BackupBack(std::chrono::milliseconds away, bool carrying, size_t waiting);

    static void OutboxUnusable(const std::string& path, const std::string& reason);
    static void OutboxSetAside(const std::string& path, const std::string& aside);
    static void OutboxResumed(size_t count);
    static void OutboxLeft(size_t count);
    static void OutboxSalvaged(const std::string& path, const std::string& aside, size_t recovered,
                               size_t unreadable);
    static void OutboxBack(const std::string& path, size_t stored_from_memory, size_t on_disk);
    static void OutboxDamagedRows(const std::string& path, size_t count);
    static void OutboxLostAtStop(const std::string& path, const std::string& reason, size_t count);

    // No summary after this.
    void Stop();

    struct State;

private:
    bool Quiet(bool path_down) const;

    std::shared_ptr<State> state_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_DELIVERY_LOG_H_
