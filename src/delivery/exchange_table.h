// The payloads in progress: each one's place in its three-step exchange, as a value, and
// the table that finds them by guid.
//
// Network thread only, like the sequencer that owns the table.
#ifndef WARDEX_SRC_EXCHANGE_TABLE_H_
#define WARDEX_SRC_EXCHANGE_TABLE_H_

#include <iterator>
#include <list>
#include <string>
#include <unordered_map>
#include <utility>

#include "src/delivery/answer.h"
#include "src/delivery/delivery_backlog.h"
#include "src/delivery/delivery_route.h"

namespace kv {
namespace delivery {

// A payload's place in its exchange: one sequence, under its own guid, and the step whose
// answer it awaits. The LastMessage belongs to no payload: once the application message
// is answered the payload is done, and the LastMessage is only logged. Its three steps
// all go to `path`, the receiver it started on, whatever the route does meanwhile.
struct SequenceExchange {
    SequenceExchange(std::string guid_in, Payload held_in, PathId path_in, bool probe_in, bool windowed_in)
        : guid(std::move(guid_in)), held(std::move(held_in)), path(path_in), probe(probe_in), windowed(windowed_in) {}

    std::string guid;
    Payload held;  // method, payload text, outbox id, failures
    std::string sequence_id;
    soap::Step step = soap::Step::kCreateSequence;
    PathId path;
    bool probe;     // the path's breaker's one exchange while that receiver counts as down
    bool windowed;  // holds a place of the backlog's window (a heartbeat per path does not)
};

// The payloads in progress, in admission order, found by guid without a scan: a burst
// keeps thousands in progress, and every answer looks its payload up.
class ExchangeTable {
public:
    using iterator = std::list<SequenceExchange>::iterator;

    void emplace_back(const std::string& guid, Payload held, PathId path, bool probe, bool windowed) {
        entries_.emplace_back(guid, std::move(held), path, probe, windowed);
        index_[guid] = std::prev(entries_.end());
    }
    iterator find(const std::string& guid) {
        const auto found = index_.find(guid);
        return found == index_.end() ? entries_.end() : found->second;
    }
    void erase(iterator entry) {
        index_.erase(entry->guid);
        entries_.erase(entry);
    }
    iterator begin() { return entries_.begin(); }
    iterator end() { return entries_.end(); }
    size_t size() const { return entries_.size(); }
    void clear() {
        index_.clear();
        entries_.clear();
    }

private:
    std::list<SequenceExchange> entries_;
    std::unordered_map<std::string, iterator> index_;
};

}  // namespace delivery
}  // namespace kv

#endif  // WARDEX_SRC_EXCHANGE_TABLE_H_
